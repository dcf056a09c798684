// What the store and the report run cost against the floor: libplist parsing, serialising and
// writing the same launch-data file with the durability our saves have (new bytes to a flushed
// sidecar, then the file overwritten and flushed). N records, K metered applications running.
//
//   BM_Floor/N             one libplist read and durable write of the file
//   BM_ReportRun/N/K       `tallyvane postxmldata` from start to exit; counters: peak RSS (MB)
//   BM_CountedLaunch/N     one launch counted into the file by the monitor's save
//   BM_MonitorMemory/N     monitor mode's peak RSS after start-up and 20 counted launches
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <plist/plist.h>
#include <signal.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <sstream>
#include <thread>

#include "BenchSupport.h"
#include "lvornutils/VornUtilMac.h"
#include "platform/FileSystem.h"
#include "plist/Value.h"
#include "store/MeteringFiles.h"
#include "usage/UsageRules.h"

namespace {

namespace fs = std::filesystem;
using namespace tallyvane::bench;
using namespace tallyvane;
using Write = store::MeteringFiles::Write;

// An agent folder with N records, a local server answering 200, and K metered programs running.
struct Agent {
    fs::path dir;
    std::string launchData, pristine;
    pid_t server = -1;
    std::vector<pid_t> running;

    explicit Agent(int records) {
        dir = fs::temp_directory_path() /
              ("store_bench." + std::to_string(getpid()) + "." + std::to_string(records));
        fs::create_directories(dir / "data/SoftwareMetering");
        fs::create_directories(dir / "config");
        fs::create_directories(dir / "apps");
        launchData = (dir / "data/SoftwareMetering/AppLaunchData.plist").string();
        pristine = (dir / "pristine.plist").string();
        // Launched an hour ago: a settlement charges the rest of today, no extra days.
        store::MeteringFiles files(posixFileSystem());
        files.write(pristine, plist::Value(sampleLaunchData(records, std::time(nullptr) - 3600)),
                    Write::InPlace);
        const std::string port = startServer((dir / "server.out").string(), server);
        files.write((dir / "config/agent.plist").string(),
                    plist::Value(plist::Dict{{"ServerURL", "http://127.0.0.1:" + port},
                                             {"TrustedParentPath", "/usr/bin/time"}}),
                    Write::InPlace);
        setenv("VORNAGENT_PATH", dir.c_str(), 1);
        VornUtilMac util;  // our own saves log where the program's do
        util.initializeVornGlobal();
        util.startLoggingTo("AppMonitor.log", false);
    }
    ~Agent() {
        run(0);
        if (server > 0) kill(server, SIGTERM), waitpid(server, nullptr, 0);
        std::error_code ignored;
        fs::remove_all(dir, ignored);
    }
    // The file as it was made, and the program pointed at this folder.
    void fresh() const {
        fs::copy_file(pristine, launchData, fs::copy_options::overwrite_existing);
        setenv("VORNAGENT_PATH", dir.c_str(), 1);
    }
    // Exactly k metered programs running, named App0 .. App(k-1).
    void run(std::size_t k) {
        while (running.size() > k) {
            kill(running.back(), SIGKILL);
            waitpid(running.back(), nullptr, 0);
            running.pop_back();
        }
        while (running.size() < k) {
            const fs::path copy = dir / "apps" / ("App" + std::to_string(running.size()));
            if (!fs::exists(copy)) fs::copy_file("/bin/sleep", copy);
            running.push_back(spawn({copy.string(), "3600"}));
        }
    }
};

// The agent of N records. The others' programs are stopped: they bear the same names, and a
// report run would settle them too.
Agent& agent(int records) {
    static std::map<int, std::unique_ptr<Agent>> agents;
    for (auto& [n, other] : agents)
        if (n != records && other) other->run(0);
    auto& made = agents[records];
    if (!made) made = std::make_unique<Agent>(records);
    return *made;
}

void durably(const std::string& path, const char* bytes, std::size_t size) {
    const std::string sidecar = path + ".saving";
    for (const std::string& target : {sidecar, path}) {
        const int fd = ::open(target.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0644);
        if (fd < 0) return;
        (void)!::pwrite(fd, bytes, size, 0);
        (void)!::ftruncate(fd, static_cast<off_t>(size));
        ::fsync(fd);
        ::close(fd);
    }
    ::unlink(sidecar.c_str());
}

void BM_Floor(benchmark::State& state) {
    Agent& a = agent(static_cast<int>(state.range(0)));
    a.fresh();
    for (auto _ : state) {
        libplistRewrite(a.launchData, [&](const char* xml, std::uint32_t length) {
            durably(a.launchData, xml, length);
        });
    }
}

void BM_ReportRun(benchmark::State& state) {
    Agent& a = agent(static_cast<int>(state.range(0)));
    a.run(static_cast<std::size_t>(state.range(1)));
    double peak = 0, cpu = 0;
    const std::string program = (here() / "tallyvane").string();
    const std::string measured = (a.dir / "time.out").string();
    for (auto _ : state) {
        state.PauseTiming();
        a.fresh();
        state.ResumeTiming();
        // GNU time's own small process starts the run, so the peak is the program's alone.
        const pid_t pid =
            spawn({"/usr/bin/time", "-f", "%M %U %S", "-o", measured, program, "postxmldata"});
        int status = 0;
        ::waitpid(pid, &status, 0);
        state.PauseTiming();
        // The figures are the last line; report mode's status 1 is noted above them.
        std::string text = slurp(measured);
        while (!text.empty() && text.back() == '\n') text.pop_back();
        std::istringstream figures(text.substr(text.rfind('\n') + 1));
        double kilobytes = 0, user = 0, system = 0;
        figures >> kilobytes >> user >> system;
        peak = std::max(peak, kilobytes / 1024.0);
        cpu += (user + system) * 1000.0;
        state.ResumeTiming();
    }
    state.counters["peak_rss_MB"] = peak;
    state.counters["cpu_ms"] = benchmark::Counter(cpu, benchmark::Counter::kAvgIterations);
}

void BM_CountedLaunch(benchmark::State& state) {
    Agent& a = agent(static_cast<int>(state.range(0)));
    a.fresh();
    store::MeteringFiles files(posixFileSystem());
    UsageRecords table = files.loadAppLaunchDataToUpdate(a.launchData);
    int i = 0;
    for (auto _ : state) {
        const std::string name = "App" + std::to_string(i++ % state.range(0));
        const UsageRecord before = table[name];
        UsageRecord record = before;
        const usage::Change count{usage::Change::Launch{1714600000, "App", "1.0", 1714600000}};
        count.apply(record);
        const std::string id = record.appDefinitionId()->str();
        if (auto merged = files.saveAppsData(a.launchData, id, record, {before, count}))
            record = std::move(*merged);
        table[name] = std::move(record);
    }
}

void BM_MonitorMemory(benchmark::State& state) {
    Agent& a = agent(static_cast<int>(state.range(0)));
    for (auto _ : state) {
        a.fresh();
        a.run(0);
        // Started through GNU time, the trusted parent here, which gives the monitor's own peak.
        const std::string measured = (a.dir / "monitor-time.out").string();
        const pid_t timer = spawn({"/usr/bin/time", "-f", "%M", "-o", measured,
                                   (here() / "tallyvane").string(), "startMonitoring"});
        std::this_thread::sleep_for(std::chrono::seconds(3));  // start-up and registration
        for (int launch = 0; launch < 20; ++launch) {
            a.run(1);
            std::this_thread::sleep_for(std::chrono::milliseconds(150));
            a.run(0);
            std::this_thread::sleep_for(std::chrono::milliseconds(150));
        }
        // Monitor mode ignores SIGTERM: its one child is ended by SIGKILL.
        const std::string children = slurp("/proc/" + std::to_string(timer) + "/task/" +
                                           std::to_string(timer) + "/children");
        if (!children.empty()) kill(static_cast<pid_t>(std::stol(children)), SIGKILL);
        waitpid(timer, nullptr, 0);
        std::string text = slurp(measured);
        while (!text.empty() && text.back() == '\n') text.pop_back();
        const std::string last = text.substr(text.rfind('\n') + 1);
        state.counters["peak_rss_MB"] = last.empty() ? 0 : std::stod(last) / 1024.0;
    }
}

BENCHMARK(BM_Floor)->Arg(10)->Arg(100)->Arg(1000)->Arg(10000)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ReportRun)
    ->ArgsProduct({{10, 100, 1000, 10000}, {0, 10, 100}})
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();
BENCHMARK(BM_CountedLaunch)->Arg(1000)->Arg(10000)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_MonitorMemory)->Arg(10000)->Iterations(1)->Unit(benchmark::kSecond)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
