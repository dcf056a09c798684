// The rule reset over a launch-data file of any content.
#include "FuzzSupport.h"
#include "store/MeteringFiles.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    tallyvane::store::MeteringFiles store(fuzz::files());
    store.resetSoftwareMeteringRules(fuzz::inputFile(data, size, "AppLaunchData.plist"));
    return 0;
}
