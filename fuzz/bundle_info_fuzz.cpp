// A bundle's Info.plist as the workspace names the application and the launch reads its version.
#include "FuzzSupport.h"
#include "platform/Bundle.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string bundle = fuzz::scratch() + "/Fuzz.app";
    fuzz::inputFile(data, size, "Fuzz.app/Contents/Info.plist");
    (void)tallyvane::bundleInfoDictionary(fuzz::files(), bundle);
    (void)tallyvane::bundleShortVersion(fuzz::files(), bundle);
    return 0;
}
