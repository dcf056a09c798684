#pragma once
#include <memory>
#include <optional>
#include <string>
#include <string_view>

// Reads one property-list file (any format) and answers key look-ups on its root dictionary.
class Proplisthandler {
  public:
    // What GetValueForKey found: its kind, and its text when it is a string. Integers, reals and
    // keyed-archive UIDs are all Number.
    struct Object {
        enum class Kind { String, Number, Boolean, Date, Data, Array, Dictionary } kind;
        std::string string;  // the value when kind == String
        std::optional<std::string> stringValue() const {
            return kind == Kind::String ? std::optional<std::string>(string) : std::nullopt;
        }
    };

    Proplisthandler();
    ~Proplisthandler();
    Proplisthandler(const Proplisthandler&) = delete;
    Proplisthandler& operator=(const Proplisthandler&) = delete;

    // Loads the file. False when it is missing, unreadable or not a property list.
    bool InitwithFile(const std::string& path);
    // The root dictionary's value under key; nothing when absent or nothing was loaded.
    std::optional<Object> GetValueForKey(std::string_view key) const;

  private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};
