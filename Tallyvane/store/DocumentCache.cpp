#include "store/DocumentCache.h"

namespace tallyvane::store {

std::list<DocumentCache::Entry>::iterator DocumentCache::lookUp(std::string_view bytes) {
    for (auto it = entries_.begin(); it != entries_.end(); ++it)
        if (it->bytes == bytes) return it;
    return entries_.end();
}

DocumentCache::Shared DocumentCache::find(std::string_view bytes) {
    auto it = lookUp(bytes);
    if (it == entries_.end()) return nullptr;
    entries_.splice(entries_.begin(), entries_, it);
    return entries_.front().value;
}

std::optional<plist::Value> DocumentCache::take(std::string_view bytes) {
    auto it = lookUp(bytes);
    if (it == entries_.end()) return std::nullopt;
    std::shared_ptr<plist::Value> value = std::move(it->value);
    totalBytes_ -= it->bytes.size();
    entries_.erase(it);
    if (value.use_count() == 1) return std::move(*value);
    return *value;  // still looked at elsewhere: theirs stays as it is
}

void DocumentCache::remember(const std::string& path, std::string bytes,
                             std::shared_ptr<plist::Value> value) {
    for (auto it = entries_.begin(); it != entries_.end();) {
        if (it->path != path && it->bytes != bytes) {
            ++it;
            continue;
        }
        totalBytes_ -= it->bytes.size();
        it = entries_.erase(it);
    }
    if (bytes.size() > kMaxRememberedBytes || !value) return;
    totalBytes_ += bytes.size();
    entries_.push_front({path, std::move(bytes), std::move(value)});
    while (entries_.size() > kMaxEntries || totalBytes_ > kMaxRememberedBytes) {
        totalBytes_ -= entries_.back().bytes.size();
        entries_.pop_back();
    }
}

}  // namespace tallyvane::store
