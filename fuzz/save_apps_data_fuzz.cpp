// Writing one record back into a launch-data file of any content.
#include "FuzzSupport.h"
#include "store/MeteringFiles.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    tallyvane::store::MeteringFiles store(fuzz::files());
    using tallyvane::plist::Value;
    auto path = fuzz::inputFile(data, size, "AppLaunchData.plist");
    const tallyvane::UsageRecord record(
        tallyvane::plist::Dict{{"FileName", Value("Fuzz.app")},
                               {"TOTAL_RUN_COUNT", Value(std::int64_t{-1})},
                               {"TOTAL_RUN_TIME", Value(60.5)}});
    store.saveAppsData(path, "1", record);
    store.saveAppsData(path, "", record);
    return 0;
}
