#pragma once
// The last few documents parsed or written, by the SHA-256 of their exact bytes. A report run
// reads back the launch-data file it has just written once per settled application and again
// for the report and the reset; hashing the bytes costs a small part of parsing 10,000 records
// again, and only the digest is kept, not a second copy of the file. A file that another program
// rewrote differs in its bytes and is parsed anew. Documents are shared, never copied to be
// looked at; one taken out to be changed is moved when nothing else holds it.
#include <array>
#include <cstdint>
#include <list>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "plist/Value.h"

struct gcry_md_handle;  // the hash library's state

namespace tallyvane::store {

class DocumentCache {
  public:
    using Shared = std::shared_ptr<const plist::Value>;
    // What identifies a file's bytes.
    struct Fingerprint {
        std::size_t size = 0;
        std::array<std::uint8_t, 32> sha256{};
        static Fingerprint of(std::string_view bytes);
        bool operator==(const Fingerprint&) const = default;
    };
    // A fingerprint taken of bytes that arrive in pieces, none of which need be kept.
    class Fingerprinting {
      public:
        Fingerprinting();
        ~Fingerprinting();
        Fingerprinting(const Fingerprinting&) = delete;
        Fingerprinting& operator=(const Fingerprinting&) = delete;
        void add(std::string_view piece);
        // Nothing when the hash could not be had.
        std::optional<Fingerprint> done();

      private:
        struct gcry_md_handle* handle_ = nullptr;
        std::size_t size_ = 0;
    };
    // Whether a document of the file at path is remembered.
    bool remembers(const std::string& path) const;
    // The document of the bytes with this fingerprint, if it is remembered.
    Shared find(const Fingerprint& fingerprint);
    // The same, no longer remembered, for a change: moved out when nobody else holds it.
    std::optional<plist::Value> take(const Fingerprint& fingerprint);
    // What the file at path holds now; what was remembered of it before is forgotten.
    void remember(const std::string& path, const Fingerprint& fingerprint,
                  std::shared_ptr<plist::Value> value);

  private:
    static constexpr std::size_t kMaxEntries = 4;
    // Documents of files larger than this together are not kept (a tree is a few times its file).
    static constexpr std::size_t kMaxRememberedBytes = 16u << 20;
    struct Entry {
        std::string path;
        Fingerprint fingerprint;
        std::shared_ptr<plist::Value> value;  // handed out as const only
    };
    std::list<Entry>::iterator lookUp(const Fingerprint& fingerprint);
    std::list<Entry> entries_;  // most recently used first
    std::size_t totalBytes_ = 0;
};

}  // namespace tallyvane::store
