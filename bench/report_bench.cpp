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

#include "lvornutils/VornUtilMac.h"
#include "platform/Clock.h"
#include "platform/FileSystem.h"
#include "plist/Plist.h"
#include "plist/Value.h"
#include "report/ReportUpload.h"
#include "settings/AgentSettings.h"
#include "store/MeteringFiles.h"
#include "usage/UsageRules.h"

extern char** environ;

namespace {

namespace fs = std::filesystem;
using namespace tallyvane;

constexpr int kRecords = 10000;

class FixedClock final : public Clock {
  public:
    double now() const override { return 1714696200.0; }
};

std::string slurp(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream out;
    out << in.rdbuf();
    return out.str();
}

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

        plist::Dict root;
        for (int i = 0; i < kRecords; ++i) {
            const std::string id = std::to_string(100000 + i);
            root.emplace(id, plist::Dict{{"AppDefinitionId", id},
                                         {"FileName", "App" + std::to_string(i) + ".app"},
                                         {"PRODUCT_NAME", "App" + std::to_string(i)},
                                         {"PRODUCT_VERSION", "1.0"},
                                         {"FILE_VERSION", "1.0"},
                                         {"LAUNCH_TIME", 1714550400},
                                         {"LAST_USED", 1714550400},
                                         {"TOTAL_RUN_COUNT", 3},
                                         {"TOTAL_RUN_TIME", 7200}});
        }
        files.write(pristine, plist::Value(root), store::MeteringFiles::Write::InPlace);
        files.write(postData, plist::Value(plist::Dict{}), store::MeteringFiles::Write::InPlace);

        const std::string port = startServer();
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

    // Starts mgmt_server from beside this program and returns the port it listens on.
    std::string startServer() {
        const fs::path self = fs::read_symlink("/proc/self/exe");
        const std::string program = (self.parent_path() / "mgmt_server").string();
        const std::string out = (agent / "server.out").string();
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_addopen(&actions, 1, out.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                         0644);
        posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
        char* argv[] = {const_cast<char*>(program.c_str()), nullptr};
        if (posix_spawn(&server, program.c_str(), &actions, nullptr, argv, environ) != 0)
            server = -1;
        posix_spawn_file_actions_destroy(&actions);
        const std::string mark = "listening on 127.0.0.1:";
        for (int i = 0; i < 500; ++i) {
            const std::string text = slurp(out);
            const auto at = text.find(mark);
            const auto end = text.find('\n', at);
            if (at != std::string::npos && end != std::string::npos)
                return text.substr(at + mark.size(), end - at - mark.size());
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        return "1";  // no server: the posts are refused
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
        const std::string bytes = slurp(s.launchData);
        plist_t root = nullptr;
        plist_from_memory(bytes.data(), static_cast<uint32_t>(bytes.size()), &root);
        char* xml = nullptr;
        uint32_t length = 0;
        plist_to_xml(root, &xml, &length);
        std::ofstream(s.launchData, std::ios::binary | std::ios::trunc).write(xml, length);
        plist_to_xml_free(xml);
        plist_free(root);
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
        const std::string document = report::buildAndPostReport(
            s.files, agentLibrarySettings(), s.launchData, s.postData, s.launchData, clock);
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
            posixFileSystem().writeInPlace(s.launchData, *plist::toXml(*root));
        }
    }
    state.SetLabel(safely ? "sidecar, reserved, flushed" : "in place, unflushed");
}
BENCHMARK(BM_RewriteLaunchData)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
