// Writing one record back into a launch-data file of any content.
#include "FuzzSupport.h"
#include "store/MeteringFiles.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using tallyvane::plist::Value;
    auto path = fuzz::inputFile(data, size, "AppLaunchData.plist");
    tallyvane::UsageRecord record{{"FileName", Value("Fuzz.app")},
                                  {"TOTAL_RUN_COUNT", Value(std::int64_t{-1})},
                                  {"TOTAL_RUN_TIME", Value(60.5)}};
    tallyvane::store::saveAppsData(path, "1", record);
    tallyvane::store::saveAppsData(path, "", record);
    return 0;
}
