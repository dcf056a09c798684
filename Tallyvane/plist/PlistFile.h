#pragma once
// Reading and writing property-list files through libplist.
#include <optional>
#include <string>
#include <string_view>

#include "plist/Value.h"

namespace tallyvane::plist {

// Why a read or write failed, in words for the log.
struct Error {
    std::string description;
};

// Parses bytes in any property-list format (XML or binary). A hostile, truncated or empty
// input gives an error, never a crash.
std::optional<Value> parse(std::string_view bytes, Error* error = nullptr);
// The whole file at path, parsed.
std::optional<Value> readFile(const std::string& path, Error* error = nullptr);
// The whole file at path as bytes; nothing when it is missing or unreadable.
std::optional<std::string> readBytes(const std::string& path, Error* error = nullptr);

// The value as an XML property list (version 1.0). The document is remembered, so that reading
// back the file it is written to costs no parse; a value handed over is kept without a copy.
std::optional<std::string> toXml(const Value& value, Error* error = nullptr);
std::optional<std::string> toXml(Value&& value, Error* error = nullptr);

// Writes bytes over the file, in place: the file is truncated and rewritten.
bool writeInPlace(const std::string& path, std::string_view bytes, Error* error = nullptr);
// Writes bytes to a temporary file beside path that then replaces it.
bool writeAtomically(const std::string& path, std::string_view bytes, Error* error = nullptr);

}  // namespace tallyvane::plist
