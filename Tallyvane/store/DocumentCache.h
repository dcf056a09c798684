#pragma once
// The last few documents parsed or written, by their exact bytes. A report run reads back the
// launch-data file it has just written once per settled application and again for the report
// and the reset; comparing bytes costs a small part of parsing 10,000 records again. A file that
// another program rewrote differs in its bytes and is parsed anew.
#include <list>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "plist/Value.h"

namespace tallyvane::store {

class DocumentCache {
  public:
    // A copy of the document whose bytes these are, if it is remembered.
    std::optional<plist::Value> find(std::string_view bytes);
    void remember(std::string bytes, plist::Value value);

  private:
    static constexpr std::size_t kMaxEntries = 4;
    static constexpr std::size_t kMaxRememberedBytes = 16u << 20;
    struct Entry {
        std::string bytes;
        std::shared_ptr<const plist::Value> value;
    };
    std::list<Entry> entries_;  // most recently used first
    std::size_t totalBytes_ = 0;
};

}  // namespace tallyvane::store
