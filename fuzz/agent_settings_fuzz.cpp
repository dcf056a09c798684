// The agent's settings file, read as the library sets up its globals, and every setting read.
#include "FuzzSupport.h"
#include "lvornutils/GlobVars.h"
#include "lvornutils/ProcessInfo.h"
#include "settings/AgentSettings.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    fuzz::scratch();
    fuzz::diskFile(data, size, "config/agent.plist");
    VornUtilMac().initializeVornGlobal();
    for (int s = 0; s <= static_cast<int>(tallyvane::Setting::vornRemoteOffID); ++s)
        (void)tallyvane::agentLibrarySettings().get(static_cast<tallyvane::Setting>(s));
    (void)gv_globvars->serverURL();
    (void)gv_globvars->trustedParentPaths();
    return 0;
}
