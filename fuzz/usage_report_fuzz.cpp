// Building the usage report from a launch-data file, as report mode reads it.
#include "FuzzSupport.h"
#include "report/UsageReport.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    auto root = tallyvane::plist::readFile(fuzz::inputFile(data, size, "AppLaunchData.plist"));
    const auto* launchData = root ? tallyvane::plist::asDict(*root) : nullptr;
    if (launchData) {
        tallyvane::report::AgentValues agent;
        (void)tallyvane::report::usageReport({}, *launchData, agent);
        (void)tallyvane::report::requestPath(agent, std::nullopt);
    }
    return 0;
}
