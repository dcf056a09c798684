#pragma once
// An operating system in memory for the monitor's unit tests: a workspace whose applications the
// test starts and ends, a process table, a main loop the test drives by hand, a settable clock
// and a log and printed lines kept in memory.
#include <chrono>
#include <map>
#include <vector>

#include "base/LogSink.h"
#include "platform/FileSystem.h"
#include "platform/Platform.h"
#include "support/SettableClock.h"

namespace tallyvane::test {

class MemoryWorkspace final : public Workspace {
  public:
    std::vector<RunningApplication> applications;
    WorkspaceNotificationCenter center;

    std::vector<RunningApplication> runningApplications() override { return applications; }
    WorkspaceNotificationCenter& notificationCenter() override { return center; }
    // The test says what runs: every application it starts is one.
    void meterApplicationsNamed(const std::vector<std::string>&) override {}

    void launch(const RunningApplication& application) {
        applications.push_back(application);
        center.post(WorkspaceEvent::DidLaunchApplication, {application});
    }
    void terminate(const RunningApplication& application) {
        std::erase_if(applications, [&](const RunningApplication& a) {
            return a.processIdentifier == application.processIdentifier;
        });
        center.post(WorkspaceEvent::DidTerminateApplication, {application});
    }
};

class MemoryProcessTable final : public ProcessTable {
  public:
    std::map<std::int32_t, double> starts;
    std::optional<double> startTime(std::int32_t pid) const override {
        auto it = starts.find(pid);
        return it == starts.end() ? std::nullopt : std::optional<double>(it->second);
    }
};

// Holds delayed work until the test runs it; repeating work never runs.
class ManualMainLoop final : public MainLoop {
  public:
    std::vector<Task> delayed;

    void post(Task task) override { task(); }
    void postAfter(std::chrono::milliseconds, Task task) override {
        delayed.push_back(std::move(task));
    }
    void every(std::chrono::milliseconds, Task) override {}
    void run() override {}
    void stop() override {}

    // Runs the delayed work that is due (all of it).
    void runDelayed() {
        auto due = std::move(delayed);
        delayed.clear();
        for (auto& task : due) task();
    }
};

struct MemoryPlatform {
    SettableClock clock;
    ManualMainLoop loop;
    MemoryWorkspace workspace;
    MemoryProcessTable processes;
    FileSystem* files = &posixFileSystem();
    MemoryLogSink log, printed;
    Platform platform() {
        return Platform{clock,     loop,    workspace,
                        processes, *files,  nullptr,
                        log,       nullptr, agentLibraryUploader(),
                        printed};
    }
};

}  // namespace tallyvane::test
