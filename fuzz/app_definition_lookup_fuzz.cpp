// The app definition lookup in a rule mapping file of any content.
#include "FuzzSupport.h"
#include "store/MeteringFiles.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    tallyvane::store::MeteringFiles store(fuzz::files());
    auto path = fuzz::inputFile(data, size, "AppRuleData.plist");
    for (const char* name : {"Safari", "1", ""}) (void)store.getAppDefinitionId(path, name);
    return 0;
}
