// The agent's log (spdlog behind a sink that writes each record with one writev(2)), the printed
// lines, their async-signal-safe variants and VornUtilMac::startLoggingTo.
#include "lvornutils/Log.h"

#include <spdlog/details/log_msg.h>
#include <spdlog/logger.h>
#include <spdlog/sinks/base_sink.h>

#include <fcntl.h>
#include <pthread.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/uio.h>
#include <unistd.h>
#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <ctime>
#include <mutex>
#include <string>

#include "Internal.h"
#include "LogFormat.h"
#include "lvornutils/VornUtilMac.h"

namespace {

using lvornutils::detail::appendPrefix;
using lvornutils::detail::continued;
using lvornutils::detail::FixedBuffer;
using lvornutils::detail::Joined;
using lvornutils::detail::kBreakStarts;
using lvornutils::detail::kPrefixBytes;
using lvornutils::detail::NoDestructor;
using lvornutils::detail::refreshUtcOffset;
using lvornutils::detail::writeAll;

// The log file's descriptor once startLoggingTo has run, -1 before (records then go to standard
// error). The number stays the same for the life of the process: a later startLoggingTo moves
// the new file onto it with dup3, so a signal handler never writes to a closed or reused number.
std::atomic<int> g_logFd{-1};
static_assert(std::atomic<int>::is_always_lock_free);

int logDestination() noexcept {
    const int fd = g_logFd.load(std::memory_order_acquire);
    return fd >= 0 ? fd : STDERR_FILENO;
}

// The ids of the record prefix, asked of the kernel once per process and per thread rather than
// on every record. A child made by fork has new ones: the fork handler makes every cache stale.
std::atomic<long> g_pid{0};
std::atomic<unsigned> g_forks{0};

void forgetIdsInChild() noexcept {
    g_pid.store(0, std::memory_order_relaxed);
    g_forks.fetch_add(1, std::memory_order_relaxed);
}

long processId() noexcept {
    [[maybe_unused]] static const bool handled =
        ::pthread_atfork(nullptr, nullptr, forgetIdsInChild) == 0;
    long pid = g_pid.load(std::memory_order_relaxed);
    if (pid == 0) {
        pid = static_cast<long>(::getpid());
        g_pid.store(pid, std::memory_order_relaxed);
    }
    return pid;
}

long threadId() noexcept {
    thread_local unsigned askedAfter = ~0u;
    thread_local long tid = 0;
    const unsigned forks = g_forks.load(std::memory_order_relaxed);
    if (askedAfter != forks) {
        tid = static_cast<long>(::syscall(SYS_gettid));
        askedAfter = forks;
    }
    return tid;
}

// Writes prefix, text and a line feed with one writev(2), so that records of other threads and
// processes appending to the same file never land inside this one.
bool writeRecord(int fd, std::string_view prefix, std::string_view text) noexcept {
    char lineFeed = '\n';
    iovec parts[3] = {{const_cast<char*>(prefix.data()), prefix.size()},
                      {const_cast<char*>(text.data()), text.size()},
                      {&lineFeed, 1}};
    iovec* next = parts;
    int left = 3;
    while (left > 0) {
        const ssize_t n = ::writev(fd, next, left);
        if (n < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        auto done = static_cast<std::size_t>(n);
        while (left > 0 && done >= next->iov_len) {
            done -= next->iov_len;
            ++next;
            --left;
        }
        if (left > 0) {
            next->iov_base = static_cast<char*>(next->iov_base) + done;
            next->iov_len -= done;
        }
    }
    return true;
}

// Records logged before startLoggingTo are also kept (up to this much) and written at the head
// of the log file when it opens, so that the start-up lines written before the log was started
// (the signal guard's "Enabled", say) are in the file too, in their order.
constexpr std::size_t kMaxPendingBytes = 256 * 1024;

// Hands each record to the kernel whole in one writev(2), so a record is never split (a stdio
// file sink splits records larger than its buffer) and records of other threads and of the
// signal path, all appending to the same O_APPEND file, never land inside it.
class AgentLogSink final : public spdlog::sinks::base_sink<std::mutex> {
  public:
    // Makes fd the log file's descriptor: the first time, writes the records kept so far to it
    // and publishes it; later, moves fd onto the published number. Takes fd over. Runs under the
    // sink's lock, so no record is written between the kept ones and the switch.
    bool attach(int fd) {
        std::lock_guard lock(mutex_);
        const int current = g_logFd.load(std::memory_order_acquire);
        if (current < 0) {
            writeAll(fd, pending_.data(), pending_.size());
            pending_.clear();
            pending_.shrink_to_fit();
            g_logFd.store(fd, std::memory_order_release);
            return true;
        }
        int moved;
        do {
            moved = ::dup3(fd, current, O_CLOEXEC);
        } while (moved < 0 && errno == EINTR);
        ::close(fd);
        return moved == current;
    }

  protected:
    void sink_it_(const spdlog::details::log_msg& msg) override {
        const auto sinceEpoch = msg.time.time_since_epoch();
        const auto second = std::chrono::duration_cast<std::chrono::seconds>(sinceEpoch);
        if (second.count() != lastOffsetSecond_) {
            refreshUtcOffset(static_cast<std::time_t>(second.count()));
            lastOffsetSecond_ = second.count();
        }
        const auto millisecond =
            std::chrono::duration_cast<std::chrono::milliseconds>(sinceEpoch - second).count();
        char storage[kPrefixBytes];
        FixedBuffer prefix{storage, sizeof storage};
        appendPrefix(prefix, second.count(), static_cast<long>(millisecond), processId(),
                     threadId());
        const std::string_view head(storage, prefix.size);
        const std::string_view text(msg.payload.data(), msg.payload.size());
        const int fd = g_logFd.load(std::memory_order_acquire);
        if (fd >= 0) {
            writeRecord(fd, head, text);
            return;
        }
        writeRecord(STDERR_FILENO, head, text);
        if (!pendingFull_ && pending_.size() + head.size() + text.size() + 1 <= kMaxPendingBytes) {
            pending_.append(head).append(text).push_back('\n');
        } else {
            pendingFull_ = true;  // keep no later record either: the kept ones stay in order
        }
    }
    void flush_() override {}  // nothing is buffered

  private:
    long long lastOffsetSecond_ = -1;
    std::string pending_;  // records written before the log file opened
    bool pendingFull_ = false;
};

const std::shared_ptr<AgentLogSink>& theSink() {
    static NoDestructor<std::shared_ptr<AgentLogSink>> sink(std::make_shared<AgentLogSink>());
    return *sink;
}

spdlog::logger& theLogger() {
    static NoDestructor<std::shared_ptr<spdlog::logger>> logger([] {
        auto made = std::make_shared<spdlog::logger>("tallyvane", theSink());
        made->set_level(spdlog::level::trace);
        made->flush_on(spdlog::level::trace);
        return made;
    }());
    return **logger;
}

std::mutex& printMutex() {
    static NoDestructor<std::mutex> mutex;
    return *mutex;
}

// Longest record the signal path writes; a longer message is cut off (the line feed stays).
constexpr std::size_t kSignalRecordBytes = 4096;

void logRecord(const Joined& message) {
    try {
        const bool breaks = message.first.find_first_of(kBreakStarts) != std::string_view::npos ||
                            message.rest.find_first_of(kBreakStarts) != std::string_view::npos;
        // The logger takes one text: two parts are joined, once, only when there are two.
        const std::string marked =
            breaks || !message.rest.empty() ? continued(message) : std::string();
        const std::string_view text = marked.empty() ? message.first : std::string_view(marked);
        theLogger().log(spdlog::source_loc{}, spdlog::level::info,
                        spdlog::string_view_t(text.data(), text.size()));
    } catch (...) {
        // Logging never raises to its caller.
    }
}

}  // namespace

void VornLog(std::string_view message) {
    logRecord(Joined{message, {}});
}

void VornLog(std::string_view message, std::string_view more) {
    logRecord(Joined{message, more});
}

void VornPrint(std::string_view line) {
    try {
        std::string text;
        text.reserve(line.size() + 1);
        text.append(line);
        text.push_back('\n');
        std::lock_guard lock(printMutex());
        writeAll(STDOUT_FILENO, text.data(), text.size());
    } catch (...) {
        // Printing never raises to its caller.
    }
}

void VornLogFromSignal(const char* message, std::size_t length) {
    const int savedErrno = errno;
    char storage[kSignalRecordBytes];
    FixedBuffer out{storage, sizeof storage - 1};  // keep room for the line feed
    struct timespec now {};
    ::clock_gettime(CLOCK_REALTIME, &now);
    appendPrefix(out, static_cast<long long>(now.tv_sec), now.tv_nsec / 1000000,
                 static_cast<long>(::getpid()), static_cast<long>(::syscall(SYS_gettid)));
    if (message != nullptr) out.append(message, length);
    out.capacity = sizeof storage;
    out.append('\n');
    writeAll(logDestination(), storage, out.size);
    errno = savedErrno;
}

void VornPrintFromSignal(const char* line, std::size_t length) {
    const int savedErrno = errno;
    char storage[kSignalRecordBytes];
    if (line == nullptr) length = 0;
    if (length < sizeof storage) {
        FixedBuffer out{storage, sizeof storage};
        out.append(line, length);
        out.append('\n');
        writeAll(STDOUT_FILENO, storage, out.size);
    } else {
        writeAll(STDOUT_FILENO, line, length);
        writeAll(STDOUT_FILENO, "\n", 1);
    }
    errno = savedErrno;
}

bool VornUtilMac::startLoggingTo(std::string_view fileName, bool /*userLog*/) {
    const std::string name(fileName);
    if (!lvornutils::detail::isPlainFileName(name)) return false;
    const auto directory = lvornutils::detail::agentDirectory();
    if (!directory) return false;
    const std::string logs = *directory + "/logs";
    // Only logs/ itself is made: a missing agent folder is not this program's to create.
    if (::mkdir(logs.c_str(), 0755) != 0 && errno != EEXIST) return false;

    const std::string path = logs + "/" + name;
    // O_NONBLOCK so that a FIFO at the path fails instead of hanging; cleared again below.
    int fd = ::open(path.c_str(),
                    O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC | O_NOFOLLOW | O_NOCTTY | O_NONBLOCK,
                    0644);
    if (fd < 0) return false;
    struct stat st {};
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || ::fcntl(fd, F_SETFL, O_APPEND) != 0) {
        ::close(fd);
        return false;
    }

    refreshUtcOffset(std::time(nullptr));
    return theSink()->attach(fd);
}
