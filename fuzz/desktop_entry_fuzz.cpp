// What the application catalog reads: desktop entries, which any package or the user writes, and
// the command lines in them.
#include "FuzzSupport.h"
#include "platform/linux/ApplicationCatalog.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace tallyvane::linux_platform;
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    (void)entryPrograms(text);
    if (auto arguments = execArguments(text)) (void)launchedProgram(std::move(*arguments));
    return 0;
}
