// The start-up reading of the launch-data file, then the rule mapping written from it.
#include "FuzzSupport.h"
#include "store/MeteringFiles.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    tallyvane::store::MeteringFiles store(fuzz::files());
    auto path = fuzz::inputFile(data, size, "AppLaunchData.plist");
    if (auto rules = store.readRuleData(path)) {
        store.saveAppRuleData(rules->appRuledata, fuzz::scratch() + "/AppRuleData.plist");
    }
    return 0;
}
