// Loading the usage table from a launch-data file.
#include "FuzzSupport.h"
#include "store/MeteringFiles.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    tallyvane::store::MeteringFiles store(fuzz::files());
    auto table =
        store.loadAppLaunchDataToUpdate(fuzz::inputFile(data, size, "AppLaunchData.plist"));
    for (const auto& [name, record] : table) (void)record.describe();
    return 0;
}
