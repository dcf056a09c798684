// The direct reader of plain XML against libplist: whatever it takes must read as libplist reads
// it, and read what the program writes of it back unchanged.
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "plist/Plist.h"
#include "plist/XmlReader.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace tallyvane::plist;
    const std::string_view bytes(reinterpret_cast<const char*>(data), size);
    if (auto direct = readPlainXml(bytes)) {
        auto general = parseWithLibplist(bytes);
        if (!general || !(*general == *direct)) std::abort();
        if (auto xml = toXml(*direct))
            if (auto again = readPlainXml(*xml); again && !(*again == *direct)) std::abort();
    }
    return 0;
}
