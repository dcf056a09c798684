// What the package lookup reads: the dpkg status database, a snap's snap.yaml, and a Flatpak
// sandbox's .flatpak-info and metainfo, which whoever runs the sandbox can write.
#include "FuzzSupport.h"
#include "platform/linux/PackageVersions.h"
#include "platform/linux/TextLines.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace tallyvane::linux_platform;
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    (void)installedVersion(text, "hello");
    (void)installedVersion(text, "hello:amd64");
    (void)snapYamlVersion(text);
    (void)metainfoVersion(text);
    (void)iniValue(text, "Application", "name");
    return 0;
}
