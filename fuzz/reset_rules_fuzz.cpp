// The rule reset over a launch-data file of any content, alone and with the records a report
// was built from (the input's second half, also of any content).
#include "FuzzSupport.h"
#include "plist/Plist.h"
#include "store/MeteringFiles.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    tallyvane::store::MeteringFiles store(fuzz::files());
    store.resetSoftwareMeteringRules(fuzz::inputFile(data, size, "AppLaunchData.plist"));

    const std::size_t half = size / 2;
    const std::string path = fuzz::inputFile(data, half, "AppLaunchData.plist");
    auto reported = tallyvane::plist::parse(
        std::string_view(reinterpret_cast<const char*>(data) + half, size - half));
    if (reported)
        if (const auto* records = tallyvane::plist::asDict(*reported))
            store.resetSoftwareMeteringRules(path, records);
    return 0;
}
