#include "store/DocumentCache.h"

#include <gcrypt.h>

#include <algorithm>

namespace tallyvane::store {

namespace {

// The library must be asked for its version once before it hashes anything.
void prepareHashing() {
    [[maybe_unused]] static const char* const version = gcry_check_version(nullptr);
}

}  // namespace

DocumentCache::Fingerprint DocumentCache::Fingerprint::of(std::string_view bytes) {
    prepareHashing();
    Fingerprint made;
    made.size = bytes.size();
    gcry_md_hash_buffer(GCRY_MD_SHA256, made.sha256.data(), bytes.data(), bytes.size());
    return made;
}

DocumentCache::Fingerprinting::Fingerprinting() {
    prepareHashing();
    if (gcry_md_open(&handle_, GCRY_MD_SHA256, 0) != 0) handle_ = nullptr;
}

DocumentCache::Fingerprinting::~Fingerprinting() {
    if (handle_) gcry_md_close(handle_);
}

void DocumentCache::Fingerprinting::add(std::string_view piece) {
    size_ += piece.size();
    if (handle_) gcry_md_write(handle_, piece.data(), piece.size());
}

std::optional<DocumentCache::Fingerprint> DocumentCache::Fingerprinting::done() {
    const unsigned char* digest = handle_ ? gcry_md_read(handle_, GCRY_MD_SHA256) : nullptr;
    if (!digest) return std::nullopt;
    Fingerprint made;
    made.size = size_;
    std::copy(digest, digest + made.sha256.size(), made.sha256.begin());
    return made;
}

bool DocumentCache::remembers(const std::string& path) const {
    return std::any_of(entries_.begin(), entries_.end(),
                       [&](const Entry& entry) { return entry.path == path; });
}

std::list<DocumentCache::Entry>::iterator DocumentCache::lookUp(const Fingerprint& fingerprint) {
    for (auto it = entries_.begin(); it != entries_.end(); ++it)
        if (it->fingerprint == fingerprint) return it;
    return entries_.end();
}

DocumentCache::Shared DocumentCache::find(const Fingerprint& fingerprint) {
    auto it = lookUp(fingerprint);
    if (it == entries_.end()) return nullptr;
    entries_.splice(entries_.begin(), entries_, it);
    return entries_.front().value;
}

std::optional<plist::Value> DocumentCache::take(const Fingerprint& fingerprint) {
    auto it = lookUp(fingerprint);
    if (it == entries_.end()) return std::nullopt;
    std::shared_ptr<plist::Value> value = std::move(it->value);
    totalBytes_ -= it->fingerprint.size;
    entries_.erase(it);
    if (value.use_count() == 1) return std::move(*value);
    return *value;  // still looked at elsewhere: theirs stays as it is
}

void DocumentCache::remember(const std::string& path, const Fingerprint& fingerprint,
                             std::shared_ptr<plist::Value> value) {
    for (auto it = entries_.begin(); it != entries_.end();) {
        if (it->path != path && it->fingerprint != fingerprint) {
            ++it;
            continue;
        }
        totalBytes_ -= it->fingerprint.size;
        it = entries_.erase(it);
    }
    if (fingerprint.size > kMaxRememberedBytes || !value) return;
    totalBytes_ += fingerprint.size;
    entries_.push_front({path, fingerprint, std::move(value)});
    while (entries_.size() > kMaxEntries || totalBytes_ > kMaxRememberedBytes) {
        totalBytes_ -= entries_.back().fingerprint.size;
        entries_.pop_back();
    }
}

}  // namespace tallyvane::store
