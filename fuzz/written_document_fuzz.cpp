// Every document the program writes parses back: equal to what was written when the writer
// says it is exact, and at all in any case.
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "plist/Plist.h"
#include "plist/XmlWriter.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace tallyvane::plist;
    const auto value = parse(std::string_view(reinterpret_cast<const char*>(data), size));
    if (!value) return 0;
    bool exact = false;
    const auto xml = writeXml(*value, &exact);
    if (!xml) return 0;  // nested too deeply, or a date out of range
    const auto back = parse(*xml);
    if (!back || (exact && !(*back == *value))) std::abort();
    return 0;
}
