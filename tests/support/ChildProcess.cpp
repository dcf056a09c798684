#include "support/ChildProcess.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>
#include <stdexcept>
#include <thread>

extern char** environ;

namespace tallyvane::test {

ChildProcess::ChildProcess(const std::vector<std::string>& argv,
                           const std::map<std::string, std::string>& env,
                           const std::string& outputPath) {
    // Built before fork: the child of a threaded program may only make async-signal-safe calls.
    std::vector<std::string> envStrings;
    for (char** e = environ; *e; ++e)
        if (!env.count(std::string(*e, std::strcspn(*e, "=")))) envStrings.push_back(*e);
    for (const auto& [key, value] : env)
        if (!value.empty()) envStrings.push_back(key + "=" + value);
    std::vector<char*> args, envp;
    for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    for (auto& e : envStrings) envp.push_back(e.data());
    args.push_back(nullptr);
    envp.push_back(nullptr);
    pid_ = fork();
    if (pid_ < 0) throw std::runtime_error("fork failed");
    if (pid_ == 0) {
        // Without an output path open fails, and the failing dup2s leave the output alone.
        const int fd = open(outputPath.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
        dup2(fd, 1);
        dup2(fd, 2);
        // As a fresh process would have it, whatever the test runner ignores.
        ::signal(SIGPIPE, SIG_DFL);
        execve(args[0], args.data(), envp.data());
        _exit(127);
    }
}

ChildProcess::ChildProcess(const std::string& program, const std::vector<std::string>& arguments)
    : ChildProcess(
          [&] {
              auto v = arguments;
              v.insert(v.begin(), program);
              return v;
          }(),
          {}) {}

ChildProcess::~ChildProcess() {
    kill();
}

void ChildProcess::kill() {
    if (running()) ::kill(pid_, SIGKILL);
    wait();
}

void ChildProcess::wait() {
    while (running()) std::this_thread::sleep_for(std::chrono::milliseconds(2));
}

std::optional<int> ChildProcess::waitExit(std::chrono::milliseconds timeout) {
    return eventually([&] { return !running(); }, timeout) ? status_ : std::nullopt;
}

bool ChildProcess::running() {
    int raw = 0;
    if (!status_ && pid_ > 0 && waitpid(pid_, &raw, WNOHANG) != 0)
        status_ = WIFEXITED(raw) ? WEXITSTATUS(raw) : 128 + WTERMSIG(raw);
    return !status_ && pid_ > 0;
}

void ChildProcess::signal(int signalNumber) const {
    ::kill(pid_, signalNumber);
}

bool eventually(const std::function<bool()>& condition, std::chrono::milliseconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    for (; !condition(); std::this_thread::sleep_for(std::chrono::milliseconds(20)))
        if (std::chrono::steady_clock::now() > deadline) return condition();
    return true;
}

std::string slurp(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), {}};
}

std::vector<std::string> linesOf(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
}

std::vector<std::string> logMessagesOf(const std::string& text) {
    std::vector<std::string> messages;
    for (const auto& line : linesOf(text)) {
        const auto mark = line.find("] ");
        if (line.size() >= 34 && line.compare(24, 10, "tallyvane[") == 0 && mark != line.npos)
            messages.push_back(line.substr(mark + 2));
        else if (!messages.empty() && line.starts_with('\t'))
            messages.back() += "\n" + line.substr(1);
    }
    return messages;
}

ScratchDir::ScratchDir()
    : path_((std::filesystem::temp_directory_path() / "tallyvane-XXXXXX").string()) {
    if (!mkdtemp(path_.data())) throw std::runtime_error("mkdtemp failed");
}

ScratchDir::~ScratchDir() {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
}

}  // namespace tallyvane::test
