#include "store/DocumentCache.h"

#include <gcrypt.h>

namespace tallyvane::store {

DocumentCache::Fingerprint DocumentCache::Fingerprint::of(std::string_view bytes) {
    // The library must be asked for its version once before it hashes anything.
    [[maybe_unused]] static const char* const version = gcry_check_version(nullptr);
    Fingerprint made;
    made.size = bytes.size();
    gcry_md_hash_buffer(GCRY_MD_SHA256, made.sha256.data(), bytes.data(), bytes.size());
    return made;
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
