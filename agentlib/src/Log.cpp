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
#include "lvornutils/VornUtilMac.h"

namespace {

using lvornutils::detail::NoDestructor;
using lvornutils::detail::writeAll;

// The log file's descriptor once startLoggingTo has run, -1 before (records then go to standard
// error). The number stays the same for the life of the process: a later startLoggingTo moves
// the new file onto it with dup3, so a signal handler never writes to a closed or reused number.
std::atomic<int> g_logFd{-1};

// Local time minus UTC in seconds, as the normal logger last saw it; read by the signal path,
// which must not call localtime.
std::atomic<long> g_utcOffsetSeconds{0};
static_assert(std::atomic<long>::is_always_lock_free && std::atomic<int>::is_always_lock_free);

void refreshUtcOffset(std::time_t when) {
    struct tm local {};
    if (::localtime_r(&when, &local) != nullptr) {
        g_utcOffsetSeconds.store(local.tm_gmtoff, std::memory_order_relaxed);
    }
}

// Caches the offset as early as possible, so that a signal before the first record still gets
// local time.
[[maybe_unused]] const bool g_offsetPrimed = [] {
    refreshUtcOffset(std::time(nullptr));
    return true;
}();

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

// ---- record formatting, also async-signal-safe ----

// Appends text to a fixed buffer, cutting it off at the end of the buffer.
struct FixedBuffer {
    char* data;
    std::size_t capacity;
    std::size_t size = 0;

    void append(const char* text, std::size_t length) noexcept {
        if (length > capacity - size) length = capacity - size;
        for (std::size_t i = 0; i < length; ++i) data[size + i] = text[i];
        size += length;
    }
    void append(char c) noexcept { append(&c, 1); }
    void appendDigits(long long value, int minWidth) noexcept {
        char digits[24];
        int n = 0;
        const bool negative = value < 0;
        unsigned long long v = negative ? 0ULL - static_cast<unsigned long long>(value)
                                        : static_cast<unsigned long long>(value);
        do {
            digits[n++] = static_cast<char>('0' + v % 10);
            v /= 10;
        } while (v != 0 && n < 24);
        while (n < minWidth && n < 24) digits[n++] = '0';
        if (negative) append('-');
        while (n > 0) append(digits[--n]);
    }
};

// Days since 1970-01-01 to a proleptic Gregorian date (H. Hinnant's civil_from_days).
void civilFromDays(long long days, long long& year, int& month, int& day) noexcept {
    days += 719468;
    const long long era = (days >= 0 ? days : days - 146096) / 146097;
    const long long doe = days - era * 146097;
    const long long yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    const long long doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    const long long mp = (5 * doy + 2) / 153;
    day = static_cast<int>(doy - (153 * mp + 2) / 5 + 1);
    month = static_cast<int>(mp < 10 ? mp + 3 : mp - 9);
    year = yoe + era * 400 + (month <= 2 ? 1 : 0);
}

// The record prefix "YYYY-MM-DD HH:MM:SS.mmm tallyvane[PID:TID] " for a moment in UTC, in the
// local time of the offset the logger last saw.
void appendPrefix(FixedBuffer& out, long long utcSeconds, long millisecond, long pid,
                  long tid) noexcept {
    const long long local = utcSeconds + g_utcOffsetSeconds.load(std::memory_order_relaxed);
    long long days = local / 86400;
    long long secondOfDay = local % 86400;
    if (secondOfDay < 0) {
        secondOfDay += 86400;
        --days;
    }
    long long year = 0;
    int month = 0;
    int day = 0;
    civilFromDays(days, year, month, day);
    out.appendDigits(year, 4);
    out.append('-');
    out.appendDigits(month, 2);
    out.append('-');
    out.appendDigits(day, 2);
    out.append(' ');
    out.appendDigits(secondOfDay / 3600, 2);
    out.append(':');
    out.appendDigits(secondOfDay / 60 % 60, 2);
    out.append(':');
    out.appendDigits(secondOfDay % 60, 2);
    out.append('.');
    out.appendDigits(millisecond, 3);
    static constexpr char kName[] = " tallyvane[";
    out.append(kName, sizeof kName - 1);
    out.appendDigits(pid, 1);
    out.append(':');
    out.appendDigits(tid, 1);
    out.append("] ", 2);
}

// Longest prefix: a 64-bit year and two 64-bit ids leave room to spare.
constexpr std::size_t kPrefixBytes = 128;

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

}  // namespace

namespace {

// A message given in two parts, read as one text without joining them.
struct Joined {
    std::string_view first, rest;
    std::size_t size() const { return first.size() + rest.size(); }
    unsigned char at(std::size_t i) const {
        if (i < first.size()) return static_cast<unsigned char>(first[i]);
        return i - first.size() < rest.size() ? static_cast<unsigned char>(rest[i - first.size()])
                                              : 0;
    }
    // The part from i up to its end.
    std::string_view from(std::size_t i) const {
        return i < first.size() ? first.substr(i) : rest.substr(i - first.size());
    }
};

constexpr std::string_view kBreakStarts = "\r\n\v\f\xC2\xE2";

// The length of the line break that starts at text[i] (CR LF, LF, CR, VT, FF, NEL, U+2028,
// U+2029), or 0.
std::size_t lineBreakAt(const Joined& text, std::size_t i) {
    switch (text.at(i)) {
        case '\r':
            return text.at(i + 1) == '\n' ? 2 : 1;
        case '\n':
        case '\v':
        case '\f':
            return 1;
        case 0xC2:
            return text.at(i + 1) == 0x85 ? 2 : 0;
        case 0xE2:
            return text.at(i + 1) == 0x80 && (text.at(i + 2) == 0xA8 || text.at(i + 2) == 0xA9) ? 3
                                                                                                : 0;
        default:
            return 0;
    }
}

// Hands emit the message in pieces, each line break replaced by a line feed and a tab, so that
// no part of a message can read as the start of another record.
template <typename Emit>
void eachContinuedPiece(const Joined& text, Emit emit) {
    for (std::size_t i = 0; i < text.size();) {
        const std::string_view part = text.from(i);
        const std::size_t run = std::min(part.find_first_of(kBreakStarts), part.size());
        if (run > 0) {
            emit(part.substr(0, run));
            i += run;
        } else if (const std::size_t length = lineBreakAt(text, i)) {
            emit(std::string_view("\n\t"));
            i += length;
        } else {
            emit(part.substr(0, 1));
            ++i;
        }
    }
}

// The message with its line breaks continued, built once at its exact size.
std::string continued(const Joined& text) {
    std::size_t size = 0;
    eachContinuedPiece(text, [&](std::string_view piece) { size += piece.size(); });
    std::string out;
    out.reserve(size);
    eachContinuedPiece(text, [&](std::string_view piece) { out.append(piece); });
    return out;
}

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
