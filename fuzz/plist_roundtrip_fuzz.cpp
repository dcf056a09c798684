// Any bytes: parse, describe, serialize, parse again.
#include <cstdint>
#include <string_view>

#include "plist/Plist.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace tallyvane::plist;
    auto value = parse(std::string_view(reinterpret_cast<const char*>(data), size));
    if (!value) return 0;
    (void)describe(*value);
    if (auto xml = toXml(*value)) (void)parse(*xml);
    return 0;
}
