#include "store/DocumentCache.h"

namespace tallyvane::store {

std::optional<plist::Value> DocumentCache::find(std::string_view bytes) {
    for (auto it = entries_.begin(); it != entries_.end(); ++it) {
        if (it->bytes != bytes) continue;
        entries_.splice(entries_.begin(), entries_, it);
        return *entries_.front().value;
    }
    return std::nullopt;
}

void DocumentCache::remember(std::string bytes, plist::Value value) {
    if (bytes.size() > kMaxRememberedBytes) return;
    for (auto it = entries_.begin(); it != entries_.end(); ++it) {
        if (it->bytes != bytes) continue;
        totalBytes_ -= it->bytes.size();
        entries_.erase(it);
        break;
    }
    totalBytes_ += bytes.size();
    entries_.push_front({std::move(bytes), std::make_shared<const plist::Value>(std::move(value))});
    while (entries_.size() > kMaxEntries || totalBytes_ > kMaxRememberedBytes) {
        totalBytes_ -= entries_.back().bytes.size();
        entries_.pop_back();
    }
}

}  // namespace tallyvane::store
