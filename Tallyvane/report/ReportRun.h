#pragma once
// One report run: one at a time, it settles the applications still running, builds the usage
// report from the launch-data file, posts it, and clears what the server accepted.
#include <functional>
#include <optional>
#include <string>

#include "base/LogSink.h"
#include "base/Uploader.h"
#include "platform/Clock.h"
#include "report/UsageReport.h"
#include "settings/AgentSettings.h"
#include "store/DocumentCache.h"
#include "store/MeteringFiles.h"

namespace tallyvane::report {

class ReportRun {
  public:
    struct Services {
        store::MeteringFiles& files;
        const AgentSettings& settings;
        const Clock& clock;
        LogSink& log;
        Uploader& uploader;
        LogSink& printed = agentLibraryPrinter();
    };
    ReportRun(Services services, std::string launchDataPath, std::string postDataPath);

    // The whole run: waits for any other report run of ours to end, settles (the caller's step:
    // it knows what runs), then builds, posts and resets. The document whether or not it was
    // sent, or "nil" when the launch-data file cannot be read. Never throws.
    std::string run(const std::function<void()>& settle);

    // The document built from the launch-data file as it stands, with the records it was built
    // from; nothing when the file cannot be read. Logs as the run does.
    struct Report {
        std::string document;
        store::DocumentCache::Shared records;
        AgentValues agent;
    };
    std::optional<Report> build();

    // Builds and posts; when the server accepts, stamps AddedTime in the post-data file and
    // clears what the report took from the launch-data file, whose path is read afresh from the
    // settings. The document, or "nil". Never throws.
    std::string buildAndPost();

  private:
    void post(Report& report);

    Services services_;
    std::string launchDataPath_;
    std::string postDataPath_;
};

}  // namespace tallyvane::report
