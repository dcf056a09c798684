// The one place the program reads the agent library's globals.
#include "lvornutils/GlobVars.h"
#include "settings/AgentSettings.h"

namespace tallyvane {
namespace {

class GlobVarsSettings final : public AgentSettings {
  public:
    std::optional<std::string> get(Setting setting) const override {
        const GlobVars* g = gv_globvars;
        if (g == nullptr) return std::nullopt;
        switch (setting) {
            case Setting::vornagentPath:
                return g->vornagentPath();
            case Setting::vornagentDataDictPath:
                return g->vornagentDataDictPath();
            case Setting::localComputerName:
                return g->localComputerName();
            case Setting::currentLocalNamespace:
                return g->currentLocalNamespace();
            case Setting::encodedLocalNameSpace:
                return g->encodedLocalNameSpace();
            case Setting::vornCustomerID:
                return g->vornCustomerID();
            case Setting::vornCustomerName:
                return g->vornCustomerName();
            case Setting::vornMSPName:
                return g->vornMSPName();
            case Setting::vornAgentResourceID:
                return g->vornAgentResourceID();
            case Setting::fqdnName:
                return g->fqdnName();
            case Setting::serialNumber:
                return g->serialNumber();
            case Setting::vornRemoteOffID:
                return g->vornRemoteOffID();
            case Setting::serverURL:
                return g->serverURL();
        }
        return std::nullopt;
    }
};

}  // namespace

const AgentSettings& agentLibrarySettings() {
    static const GlobVarsSettings settings;
    return settings;
}

}  // namespace tallyvane
