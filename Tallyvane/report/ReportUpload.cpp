#include "report/ReportUpload.h"

#include <exception>

#include "base/Utf8.h"
#include "lvornutils/HttpHandlermac.h"
#include "lvornutils/Log.h"
#include "report/UsageReport.h"
#include "usage/UsageRules.h"

namespace tallyvane::report {
namespace {

std::string build(store::MeteringFiles& files, const AgentSettings& settings,
                  const std::string& launchDataPath, const std::string& postDataPath,
                  const std::string& resetPath, const Clock& clock) {
    const AccountValues account = readAccountValues(settings);
    std::string document = reportHead(account);
    auto root = files.view(launchDataPath);
    const plist::Dict* launchData = root ? plist::asDict(**root) : nullptr;
    if (launchData == nullptr) {
        VornLog("generateAndPostXML: Failed to read plist file from URL.");
        return "nil";
    }
    appendUsageRows(document, *launchData);
    const AgentValues agent = readAgentValues(settings);
    document += reportTail(agent);
    // Grown by doubling, it may have as much room spare as it uses; it is held through the reset.
    document.shrink_to_fit();

    // Record texts come from property lists and are UTF-8 already; settings could hold any bytes.
    if (isUtf8(document))
        VornLog("generateAndPostXML: Full XML String: ", document);
    else
        VornLog("generateAndPostXML: Failed to convert Data back to String.");

    const std::string path = requestPath(agent, settings.get(Setting::encodedLocalNameSpace));
    VornLog("generateAndPostXML: addAgentParams: URL to send: " + path);
    const int result = HttpHandlermac::initWithGlobals().VornSendData(path, document);
    if (result == 0) {
        VornLog("generateAndPostXML: Software Metering data sent successfully");
        files.updateAddedTime(postDataPath, usage::secondsOf(clock.now()));
        // Only what this report took is cleared: our monitors may have counted more meanwhile.
        files.resetSoftwareMeteringRules(resetPath, std::move(*root));
    } else {
        VornLog("generateAndPostXML: Software Metering data not 404 sent successfully");
    }
    return document;
}

}  // namespace

std::string buildAndPostReport(store::MeteringFiles& files, const AgentSettings& settings,
                               const std::string& launchDataPath, const std::string& postDataPath,
                               const std::string& resetPath, const Clock& clock) {
    try {
        return build(files, settings, launchDataPath, postDataPath, resetPath, clock);
    } catch (const std::exception& e) {
        // Out of memory or a library fault: the report run ends without sending or clearing.
        VornLog(std::string("generateAndPostXML: report abandoned: ") + e.what());
        return "nil";
    }
}

}  // namespace tallyvane::report
