#include "report/ReportRun.h"

#include <exception>

#include "base/Utf8.h"
#include "usage/UsageRules.h"

namespace tallyvane::report {

ReportRun::ReportRun(Services services, std::string launchDataPath, std::string postDataPath)
    : services_(services),
      launchDataPath_(std::move(launchDataPath)),
      postDataPath_(std::move(postDataPath)) {}

std::string ReportRun::run(const std::function<void()>& settle) {
    // One report run at a time, or both would post the same figures: a second one waits, then
    // reports what came since. Monitors never take this lock.
    FileSystem& files = services_.files.fileSystem();
    const std::string dataFolder = services_.settings.text(Setting::vornagentDataDictPath);
    auto running = files.lockFolderIfFree(dataFolder);
    if (!running && files.exists(dataFolder)) {
        services_.log.write(
            "generateAndPostXML: another report run is in progress; waiting for it to end");
        running = files.lockFolder(dataFolder);
    }
    settle();
    return buildAndPost();
}

std::optional<ReportRun::Report> ReportRun::build() {
    LogSink& log = services_.log;
    const AccountValues account = readAccountValues(services_.settings);
    Report report{reportHead(account), nullptr, {}};
    auto root = services_.files.view(launchDataPath_);
    const plist::Dict* launchData = root ? plist::asDict(**root) : nullptr;
    if (launchData == nullptr) {
        log.write("generateAndPostXML: Failed to read plist file from URL.");
        return std::nullopt;
    }
    appendUsageRows(report.document, *launchData, log, services_.printed);
    report.agent = readAgentValues(services_.settings);
    report.document += reportTail(report.agent);
    // Grown by doubling, it may have as much room spare as it uses; it is held through the reset.
    report.document.shrink_to_fit();
    report.records = std::move(*root);

    // Record texts come from property lists and are UTF-8 already; settings could hold any bytes.
    if (isUtf8(report.document))
        log.write("generateAndPostXML: Full XML String: ", report.document);
    else
        log.write("generateAndPostXML: Failed to convert Data back to String.");
    return report;
}

void ReportRun::post(Report& report) {
    LogSink& log = services_.log;
    const std::string path =
        requestPath(report.agent, services_.settings.get(Setting::encodedLocalNameSpace));
    log.write("generateAndPostXML: addAgentParams: URL to send: " + path);
    if (services_.uploader.send(path, report.document) != 0) {
        log.write("generateAndPostXML: Software Metering data not 404 sent successfully");
        return;
    }
    log.write("generateAndPostXML: Software Metering data sent successfully");
    services_.files.updateAddedTime(postDataPath_, usage::secondsOf(services_.clock.now()));
    // Only what this report took is cleared: our monitors may have counted more meanwhile.
    services_.files.resetSoftwareMeteringRules(
        meteringPath(services_.settings, "AppLaunchData.plist"), std::move(report.records));
}

std::string ReportRun::buildAndPost() {
    try {
        auto report = build();
        if (!report) return "nil";
        post(*report);
        return std::move(report->document);
    } catch (const std::exception& e) {
        // Out of memory or a library fault: the report run ends without sending or clearing.
        services_.log.write(std::string("generateAndPostXML: report abandoned: ") + e.what());
        return "nil";
    }
}

}  // namespace tallyvane::report
