// The cost of watching processes by scanning /proc, with 500 extra idle processes running: the
// scan period of the workspace's fallback is chosen from these figures.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>

#include <vector>

#include "platform/linux/LinuxPlatform.h"
#include "platform/linux/ProcFs.h"

extern char** environ;

namespace {

using namespace tallyvane::linux_platform;

// 500 sleeping processes for the life of the benchmark program.
class IdleProcesses {
  public:
    explicit IdleProcesses(int count) {
        char program[] = "/bin/sleep";
        char seconds[] = "3600";
        char* argv[] = {program, seconds, nullptr};
        for (int i = 0; i < count; ++i) {
            pid_t pid = -1;
            if (::posix_spawn(&pid, program, nullptr, nullptr, argv, environ) == 0)
                pids_.push_back(pid);
        }
    }
    ~IdleProcesses() {
        for (pid_t pid : pids_) ::kill(pid, SIGKILL);
        for (pid_t pid : pids_) ::waitpid(pid, nullptr, 0);
    }
    IdleProcesses(const IdleProcesses&) = delete;
    IdleProcesses& operator=(const IdleProcesses&) = delete;

  private:
    std::vector<pid_t> pids_;
};

IdleProcesses& idle() {
    static IdleProcesses processes(500);
    return processes;
}

// One steady-state pass of the workspace's scan: list /proc and re-read the open stat file of
// each tracked application (here every process, the worst case).
void BM_SteadyScan(benchmark::State& state) {
    idle();
    std::vector<tallyvane::UniqueFd> stats;
    for (pid_t pid : ProcFs().pids())
        stats.emplace_back(::open(("/proc/" + std::to_string(pid) + "/stat").c_str(), O_RDONLY));
    for (auto _ : state) {
        benchmark::DoNotOptimize(ProcFs().pids());
        for (const auto& fd : stats) benchmark::DoNotOptimize(readStat(fd));
    }
    state.counters["processes"] = static_cast<double>(stats.size());
}
BENCHMARK(BM_SteadyScan)->Unit(benchmark::kMillisecond);

// The same pass reading stat by path, as the scan does beyond its descriptor cap.
void BM_SteadyScanByPath(benchmark::State& state) {
    idle();
    for (auto _ : state)
        for (pid_t pid : ProcFs().pids()) benchmark::DoNotOptimize(ProcFs().stat(pid));
}
BENCHMARK(BM_SteadyScanByPath)->Unit(benchmark::kMillisecond);

// The first look at every process: stat, the exe link and the real user id.
void BM_FirstLookScan(benchmark::State& state) {
    idle();
    for (auto _ : state) {
        for (pid_t pid : ProcFs().pids()) {
            benchmark::DoNotOptimize(ProcFs().stat(pid));
            benchmark::DoNotOptimize(ProcFs().exe(pid));
            benchmark::DoNotOptimize(ProcFs().realUid(pid));
        }
    }
}
BENCHMARK(BM_FirstLookScan)->Unit(benchmark::kMillisecond);

// The running-application list the sweep asks for.
void BM_RunningApplications(benchmark::State& state) {
    idle();
    tallyvane::DroppingLogSink log;
    auto loop = makeMainLoop(log);
    auto workspace =
        makeWorkspace(*loop, {.events = ProcessEvents::Scan, .scanPeriod = std::chrono::hours(1)});
    for (auto _ : state) benchmark::DoNotOptimize(workspace->runningApplications());
}
BENCHMARK(BM_RunningApplications)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
