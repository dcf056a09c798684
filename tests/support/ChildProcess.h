#pragma once
// Real child processes for end-to-end tests.
#include <sys/types.h>

#include <chrono>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace tallyvane::test {

class ChildProcess {
  public:
    // Starts argv[0] with argv, the current environment plus env (an empty value removes the
    // variable), standard output and standard error appended to outputPath (when given).
    ChildProcess(const std::vector<std::string>& argv,
                 const std::map<std::string, std::string>& env, const std::string& outputPath = "");
    // Starts program with arguments in the current environment.
    ChildProcess(const std::string& program, const std::vector<std::string>& arguments);
    // Kills the process if it still runs, and reaps it.
    ~ChildProcess();
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    pid_t pid() const { return pid_; }
    // The exit status once it has exited within timeout; nothing if it still runs or was killed.
    std::optional<int> waitExit(std::chrono::milliseconds timeout = std::chrono::seconds(30));
    bool running();
    void signal(int signalNumber) const;
    // Sends SIGKILL and reaps the process.
    void kill();
    // Waits for the process to end by itself.
    void wait();

  private:
    pid_t pid_ = -1;
    std::optional<int> status_;
};

// Polls until condition holds or timeout passes; returns the last answer.
bool eventually(const std::function<bool()>& condition,
                std::chrono::milliseconds timeout = std::chrono::seconds(10));

// The whole file, or "" when it cannot be read.
std::string slurp(const std::string& path);

// The lines of text, without their line feeds.
std::vector<std::string> linesOf(const std::string& text);

// The messages of log records, without their "date time tallyvane[PID:TID] " prefix; a line
// that begins with a tab continues the message before it.
std::vector<std::string> logMessagesOf(const std::string& text);

// A fresh folder under the system's temporary folder, removed with everything in it at the end.
class ScratchDir {
  public:
    ScratchDir();
    ~ScratchDir();
    ScratchDir(const ScratchDir&) = delete;
    ScratchDir& operator=(const ScratchDir&) = delete;
    const std::string& path() const { return path_; }

  private:
    std::string path_;
};

}  // namespace tallyvane::test
