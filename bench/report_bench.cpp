// The report run over a launch-data file of 10,000 records, against libplist alone reading and
// writing the same file once. The report run settles a few running records (each rewrite of the
// file is whole), builds the report, posts it to a local mgmt_server answering 200 and clears
// the file.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <plist/plist.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>

#include "BenchSupport.h"
#include "lvornutils/VornUtilMac.h"
#include "platform/Clock.h"
#include "platform/FileSystem.h"
#include "plist/Plist.h"
#include "plist/Value.h"
#include "report/ReportRun.h"
#include "settings/AgentSettings.h"
#include "store/DurableFile.h"
#include "store/MeteringFiles.h"
#include "usage/UsageRules.h"

namespace {

namespace fs = std::filesystem;
using namespace tallyvane::bench;
using namespace tallyvane;

constexpr int kRecords = 10000;

class FixedClock final : public Clock {
  public:
    double now() const override { return 1714696200.0; }
};

// The agent folder, its settings pointing at a local mgmt_server, and the pristine launch data.
struct Setup {
    fs::path agent;
    std::string launchData, postData, pristine;
    pid_t server = -1;
    // Kept across runs, as the documents the program has read stay known within one process.
    store::MeteringFiles files{posixFileSystem()};

    Setup() {
        agent = fs::temp_directory_path() / ("report_bench." + std::to_string(getpid()));
        fs::create_directories(agent / "data/SoftwareMetering");
        fs::create_directories(agent / "config");
        launchData = (agent / "data/SoftwareMetering/AppLaunchData.plist").string();
        postData = (agent / "data/SoftwareMetering/AppPostData.plist").string();
        pristine = (agent / "pristine.plist").string();

        files.write(pristine, plist::Value(sampleLaunchData(kRecords, 1714550400)),
                    store::MeteringFiles::Write::InPlace);
        files.write(postData, plist::Value(plist::Dict{}), store::MeteringFiles::Write::InPlace);

        const std::string port = startServer((agent / "server.out").string(), server);
        files.write((agent / "config/agent.plist").string(),
                    plist::Value(plist::Dict{{"ServerURL", "http://127.0.0.1:" + port},
                                             {"localComputerName", "bench"},
                                             {"vornCustomerID", "7"}}),
                    store::MeteringFiles::Write::InPlace);
        setenv("VORNAGENT_PATH", agent.c_str(), 1);
        VornUtilMac util;
        util.initializeVornGlobal();
        util.startLoggingTo("AppMonitor.log", false);
    }

    ~Setup() {
        if (server > 0) {
            kill(server, SIGTERM);
            waitpid(server, nullptr, 0);
        }
        std::error_code error;
        fs::remove_all(agent, error);
    }

    void freshCopy() const {
        fs::copy_file(pristine, launchData, fs::copy_options::overwrite_existing);
    }
};

Setup& setup() {
    static Setup s;
    return s;
}

// (a) libplist alone: read the file, parse it, serialize it as XML and write it back.
void BM_LibplistReadWrite(benchmark::State& state) {
    Setup& s = setup();
    for (auto _ : state) {
        state.PauseTiming();
        s.freshCopy();
        state.ResumeTiming();
        libplistRewrite(s.launchData, [&](const char* xml, std::uint32_t length) {
            std::ofstream(s.launchData, std::ios::binary | std::ios::trunc).write(xml, length);
        });
    }
}
BENCHMARK(BM_LibplistReadWrite)->Unit(benchmark::kMillisecond);

// (b) settle state.range(0) running records, then build, post and clear.
void BM_SettleBuildPost(benchmark::State& state) {
    Setup& s = setup();
    FixedClock clock;
    const int settled = static_cast<int>(state.range(0));
    for (auto _ : state) {
        state.PauseTiming();
        s.freshCopy();
        state.ResumeTiming();
        for (int i = 0; i < settled; ++i) {
            const std::string id = std::to_string(100000 + i * 997);
            const UsageRecord record(plist::Dict{{"AppDefinitionId", id},
                                                 {"LAUNCH_TIME", 1714550400},
                                                 {"PRODUCT_NAME", "App"},
                                                 {"TOTAL_RUN_COUNT", 3}});
            auto done = usage::settle(record, clock.now(), clock.now());
            if (done.outcome == usage::Settlement::Outcome::Settled)
                s.files.saveAppsData(s.launchData, id, done.settled);
        }
        const std::string document = report::ReportRun({s.files, agentLibrarySettings(), clock,
                                                        agentLibraryLog(), agentLibraryUploader()},
                                                       s.launchData, s.postData)
                                         .buildAndPost();
        benchmark::DoNotOptimize(document.data());
    }
}
BENCHMARK(BM_SettleBuildPost)->Arg(0)->Arg(1)->Arg(3)->Arg(5)->Unit(benchmark::kMillisecond);

// What the crash safety costs one save: the launch-data file rewritten through the sidecar (two
// flushed writes and a reservation) against the same bytes written plainly over the file.
void BM_RewriteLaunchData(benchmark::State& state) {
    Setup& s = setup();
    s.freshCopy();
    auto root = s.files.read(s.launchData);
    const bool safely = state.range(0) == 1;
    for (auto _ : state) {
        if (safely) {
            s.files.write(s.launchData, *root, store::MeteringFiles::Write::InPlace);
        } else {
            store::writeWhole(posixFileSystem(), s.launchData, *plist::toXml(*root));
        }
    }
    state.SetLabel(safely ? "sidecar, reserved, flushed" : "in place, unflushed");
}
BENCHMARK(BM_RewriteLaunchData)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
