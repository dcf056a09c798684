// Building the usage report from a launch-data file, as report mode reads it.
#include "FuzzSupport.h"
#include "report/UsageReport.h"
#include "store/MeteringFiles.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static tallyvane::DroppingLogSink nowhere;
    tallyvane::store::MeteringFiles store(fuzz::files(), nowhere, nowhere);
    auto root = store.read(fuzz::inputFile(data, size, "AppLaunchData.plist"));
    const auto* launchData = root ? tallyvane::plist::asDict(*root) : nullptr;
    if (launchData) {
        tallyvane::report::AgentValues agent;
        (void)tallyvane::report::usageReport({}, *launchData, agent, nowhere, nowhere);
        (void)tallyvane::report::requestPath(agent, std::nullopt);
    }
    return 0;
}
