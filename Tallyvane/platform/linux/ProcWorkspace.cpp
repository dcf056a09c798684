#include <linux/cn_proc.h>
#include <linux/connector.h>
#include <linux/netlink.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <fcntl.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <map>
#include <memory>
#include <thread>

#include "lvornutils/Log.h"
#include "platform/linux/LinuxPlatform.h"
#include "platform/linux/ProcFs.h"

namespace tallyvane::linux_platform {
namespace {

using SteadyClock = std::chrono::steady_clock;

// What is known of one process; identified by its PID and start time in ticks.
struct Tracked {
    std::uint64_t startTicks = 0;
    std::string comm;
    std::string exe;
    bool isApplication = false;
    RunningApplication application;
    // Scan mode: /proc/PID/comm held open. Re-reading it is cheap, an exec changes it, and
    // once the process is gone it fails even if the PID has been reused.
    UniqueFd commFd;
};

struct Event {
    WorkspaceEvent kind;
    RunningApplication application;
};

// Opens the kernel's process event connector and subscribes; nothing when this process may not
// (it needs CAP_NET_ADMIN in the initial namespaces) or the kernel does not answer.
// The event inside a connector message. The kernel packs it 4 bytes into the message, short of
// its own 8-byte alignment, so it is copied out rather than read in place.
proc_event eventIn(const cn_msg& message) {
    proc_event event{};
    std::memcpy(&event, message.data, sizeof event);
    return event;
}

UniqueFd openConnector() {
    UniqueFd sock(::socket(PF_NETLINK, SOCK_DGRAM | SOCK_CLOEXEC, NETLINK_CONNECTOR));
    if (!sock) return {};
    // A burst of forks must not overflow the buffer; SO_RCVBUFFORCE passes the limit if root.
    const int size = 8 * 1024 * 1024;
    if (::setsockopt(sock.get(), SOL_SOCKET, SO_RCVBUFFORCE, &size, sizeof size) != 0)
        ::setsockopt(sock.get(), SOL_SOCKET, SO_RCVBUF, &size, sizeof size);
    sockaddr_nl address{};
    address.nl_family = AF_NETLINK;
    address.nl_groups = CN_IDX_PROC;
    if (::bind(sock.get(), reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) return {};

    // nlmsghdr, then cn_msg, then the operation: laid out by hand since cn_msg ends in a
    // flexible array.
    alignas(nlmsghdr) char request[NLMSG_SPACE(sizeof(cn_msg) + sizeof(proc_cn_mcast_op))]{};
    auto* header = reinterpret_cast<nlmsghdr*>(request);
    header->nlmsg_len = NLMSG_LENGTH(sizeof(cn_msg) + sizeof(proc_cn_mcast_op));
    header->nlmsg_type = NLMSG_DONE;
    header->nlmsg_pid = static_cast<__u32>(::getpid());
    auto* message = static_cast<cn_msg*>(NLMSG_DATA(header));
    message->id.idx = CN_IDX_PROC;
    message->id.val = CN_VAL_PROC;
    message->len = sizeof(proc_cn_mcast_op);
    const proc_cn_mcast_op op = PROC_CN_MCAST_LISTEN;
    std::memcpy(message->data, &op, sizeof op);
    if (::send(sock.get(), request, header->nlmsg_len, 0) !=
        static_cast<ssize_t>(header->nlmsg_len))
        return {};

    // The kernel acknowledges a subscription it accepts; outside the initial PID namespace it
    // stays silent and no events would ever come.
    const auto deadline = SteadyClock::now() + std::chrono::milliseconds(1000);
    alignas(nlmsghdr) char buffer[4096];
    for (;;) {
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - SteadyClock::now());
        if (left.count() <= 0) return {};
        pollfd fd{sock.get(), POLLIN, 0};
        if (::poll(&fd, 1, static_cast<int>(left.count())) <= 0) continue;
        const ssize_t n = ::recv(sock.get(), buffer, sizeof buffer, 0);
        if (n <= 0) continue;
        auto length = static_cast<unsigned>(n);
        for (auto* h = reinterpret_cast<nlmsghdr*>(buffer); NLMSG_OK(h, length);
             h = NLMSG_NEXT(h, length)) {
            const auto* message = static_cast<const cn_msg*>(NLMSG_DATA(h));
            if (h->nlmsg_len < NLMSG_LENGTH(sizeof(cn_msg) + sizeof(proc_event))) continue;
            const proc_event event = eventIn(*message);
            if (event.what == proc_event::PROC_EVENT_NONE)
                return event.event_data.ack.err == 0 ? std::move(sock) : UniqueFd();
        }
    }
}

class ProcWorkspace final : public Workspace {
  public:
    ProcWorkspace(MainLoop& mainLoop, WorkspaceOptions options)
        : mainLoop_(mainLoop),
          options_(options),
          center_(std::make_shared<WorkspaceNotificationCenter>()),
          uid_(::getuid()),
          stop_(::eventfd(0, EFD_CLOEXEC)) {
        // Report mode only lists what runs: no watcher, no connector, no first scan.
        if (options_.events == ProcessEvents::None) return;
        if (options_.events != ProcessEvents::Scan) connector_ = openConnector();
        // Leave most descriptors to the rest of the program; beyond the cap the scan reads
        // stat by path instead.
        rlimit limit{};
        if (!connector_ && ::getrlimit(RLIMIT_NOFILE, &limit) == 0 &&
            limit.rlim_cur != RLIM_INFINITY)
            maxCommFds_ = static_cast<std::size_t>(std::max<rlim_t>(limit.rlim_cur / 2, 64) - 64);
        else if (!connector_)
            maxCommFds_ = 4096;
        if (!connector_ && options_.events == ProcessEvents::Connector)
            VornLog("Workspace: the process event connector cannot be opened");
        // What runs now was not launched after us: the first look posts nothing.
        if (connector_ || options_.events != ProcessEvents::Connector) scan(false);
        thread_ = std::thread([this] { watch(); });
    }

    ~ProcWorkspace() override {
        const std::uint64_t one = 1;
        if (::write(stop_.get(), &one, sizeof one) < 0) {
            // Nothing else can wake the thread; it would hang the join.
            VornLog("Workspace: cannot stop the watcher thread");
        }
        if (thread_.joinable()) thread_.join();
    }

    std::vector<RunningApplication> runningApplications() override {
        std::vector<RunningApplication> applications;
        for (pid_t pid : listPids()) {
            const auto exe = readExe(pid);
            if (!exe) continue;
            const auto uid = readRealUid(pid);
            if (uid && *uid == uid_) applications.push_back(describeApplication(pid, *exe));
        }
        return applications;
    }

    WorkspaceNotificationCenter& notificationCenter() override { return *center_; }

    bool usesConnector() const { return static_cast<bool>(connector_); }

  private:
    void watch() {
        if (connector_)
            watchConnector();
        else if (options_.events != ProcessEvents::Connector)
            watchByScan();
    }

    // Fixed-rate scans; waits on the stop descriptor so the destructor need not wait a period.
    void watchByScan() {
        auto next = SteadyClock::now() + options_.scanPeriod;
        for (;;) {
            const auto wait =
                std::chrono::ceil<std::chrono::milliseconds>(next - SteadyClock::now());
            pollfd fd{stop_.get(), POLLIN, 0};
            const int ready =
                ::poll(&fd, 1, static_cast<int>(std::max<long long>(0, wait.count())));
            if (ready > 0) return;
            if (ready < 0 && errno != EINTR) return;
            if (SteadyClock::now() < next) continue;
            scan(true);
            next += options_.scanPeriod;
            // After a long stall (suspend) start afresh rather than scan in a burst.
            if (next < SteadyClock::now()) next = SteadyClock::now() + options_.scanPeriod;
        }
    }

    void watchConnector() {
        alignas(nlmsghdr) char buffer[64 * 1024];
        for (;;) {
            pollfd fds[2] = {{stop_.get(), POLLIN, 0}, {connector_.get(), POLLIN, 0}};
            const int ready = ::poll(fds, 2, -1);
            if (ready < 0) {
                if (errno == EINTR) continue;
                VornLog(std::string("Workspace: poll failed: ") + std::strerror(errno));
                return;
            }
            if (fds[0].revents) return;
            const ssize_t n = ::recv(connector_.get(), buffer, sizeof buffer, 0);
            if (n < 0) {
                if (errno == ENOBUFS) {
                    // Events were dropped: the table itself tells what changed meanwhile.
                    VornLog("Workspace: process events were lost; rescanning /proc");
                    scan(true);
                }
                continue;
            }
            auto length = static_cast<unsigned>(n);
            for (auto* h = reinterpret_cast<nlmsghdr*>(buffer); NLMSG_OK(h, length);
                 h = NLMSG_NEXT(h, length)) {
                if (h->nlmsg_type == NLMSG_ERROR || h->nlmsg_type == NLMSG_NOOP) continue;
                if (h->nlmsg_len < NLMSG_LENGTH(sizeof(cn_msg) + sizeof(proc_event))) continue;
                const auto* message = static_cast<const cn_msg*>(NLMSG_DATA(h));
                handle(eventIn(*message));
            }
        }
    }

    void handle(const proc_event& event) {
        switch (event.what) {
            case proc_event::PROC_EVENT_FORK: {
                const auto& fork = event.event_data.fork;
                if (fork.child_pid == fork.child_tgid) look(fork.child_tgid, true);
                break;
            }
            case proc_event::PROC_EVENT_EXEC:
                look(event.event_data.exec.process_tgid, true);
                break;
            case proc_event::PROC_EVENT_EXIT: {
                const auto& exit = event.event_data.exit;
                if (exit.process_pid == exit.process_tgid) vanish(exit.process_tgid);
                break;
            }
            default:
                break;
        }
    }

    // Brings what is known of pid up to date and posts what changed. With rereadExe the exe
    // link is read even when the start time and command name are unchanged (an exec event).
    void look(pid_t pid, bool rereadExe) {
        const auto stat = readStat(pid);
        if (!stat) {
            vanish(pid);
            return;
        }
        auto known = known_.find(pid);
        const bool samePid = known != known_.end() && known->second.startTicks == stat->startTicks;
        if (samePid && !rereadExe && known->second.comm == stat->comm) return;
        Tracked now;
        now.startTicks = stat->startTicks;
        now.comm = stat->comm;
        if (auto exe = readExe(pid)) {
            now.exe = std::move(*exe);
            const auto uid = readRealUid(pid);
            now.isApplication = uid && *uid == uid_;
        }
        if (samePid && known->second.exe == now.exe) {
            known->second.comm = now.comm;
            return;
        }
        if (now.isApplication) {
            now.application = describeApplication(pid, now.exe);
            if (commFds_ < maxCommFds_) {
                now.commFd.reset(::open(("/proc/" + std::to_string(pid) + "/comm").c_str(),
                                        O_RDONLY | O_CLOEXEC));
                if (now.commFd) ++commFds_;
            }
        }
        if (known != known_.end()) {
            if (known->second.isApplication)
                send(WorkspaceEvent::DidTerminateApplication, known->second.application);
            release(known->second);
            known->second = std::move(now);
        } else {
            known = known_.emplace(pid, std::move(now)).first;
        }
        if (known->second.isApplication)
            send(WorkspaceEvent::DidLaunchApplication, known->second.application);
    }

    void vanish(pid_t pid) {
        const auto known = known_.find(pid);
        if (known == known_.end()) return;
        if (known->second.isApplication)
            send(WorkspaceEvent::DidTerminateApplication, known->second.application);
        release(known->second);
        known_.erase(known);
    }

    void release(Tracked& tracked) {
        if (tracked.commFd) --commFds_;
        tracked.commFd.reset();
    }

    // A process listed again by a scan: applications are checked for an exec or an end; other
    // processes cannot become one of ours by exec, so their presence is all that counts.
    void recheck(pid_t pid, const Tracked& tracked) {
        if (tracked.commFd) {
            const auto comm = readComm(tracked.commFd);
            if (!comm) {
                vanish(pid);       // that process ended ...
                look(pid, false);  // ... and its PID may already name another
            } else if (*comm != tracked.comm) {
                look(pid, true);
            }
        } else if (tracked.isApplication || connector_) {
            look(pid, false);
        }
    }

    // One pass over /proc; with post false it only records what runs.
    void scan(bool post) {
        // Listing /proc costs as much as the rest of a pass: while no process has been started
        // since the last listing, checking the applications we know finds every change.
        const auto lastPid = lastStartedPid();
        if (post && lastPid && lastPid == listedUpTo_) {
            for (auto it = known_.begin(); it != known_.end();) {
                const auto current = it++;  // a check may drop the entry it looks at
                if (current->second.isApplication) recheck(current->first, current->second);
            }
            return;
        }
        listedUpTo_ = lastPid;
        posting_ = post;
        const auto pids = listPids();
        auto known = known_.begin();
        for (pid_t pid : pids) {
            // Processes gone since the last pass sit between the listed PIDs.
            while (known != known_.end() && known->first < pid) vanish((known++)->first);
            if (known != known_.end() && known->first == pid)
                recheck(pid, (known++)->second);
            else
                look(pid, false);
        }
        while (known != known_.end()) vanish((known++)->first);
        posting_ = true;
    }

    void send(WorkspaceEvent kind, const RunningApplication& application) {
        if (!posting_) return;
        std::weak_ptr<WorkspaceNotificationCenter> center = center_;
        mainLoop_.post([center, kind, application] {
            if (auto alive = center.lock()) alive->post(kind, WorkspaceNotification{application});
        });
    }

    MainLoop& mainLoop_;
    const WorkspaceOptions options_;
    // Tasks already on the loop may outlive the workspace; they find the centre gone.
    std::shared_ptr<WorkspaceNotificationCenter> center_;
    const uid_t uid_;
    UniqueFd stop_;
    UniqueFd connector_;
    bool posting_ = true;
    std::optional<pid_t> listedUpTo_;  // the last PID handed out when /proc was last listed
    std::size_t commFds_ = 0;
    std::size_t maxCommFds_ = 0;
    std::map<pid_t, Tracked> known_;  // the watcher thread's own, after construction
    std::thread thread_;
};

class ProcProcessTable final : public ProcessTable {
  public:
    std::optional<double> startTime(std::int32_t pid) const override {
        if (pid <= 0) return std::nullopt;
        const auto stat = readStat(static_cast<pid_t>(pid));
        const long ticksPerSecond = ::sysconf(_SC_CLK_TCK);
        if (!stat || ticksPerSecond <= 0) return std::nullopt;
        // The boot moment on today's wall clock, to the nanosecond: /proc/stat's btime is the
        // same difference cut to whole seconds, which would cost the start time its fraction.
        timespec wall{}, boot{};
        if (::clock_gettime(CLOCK_REALTIME, &wall) != 0) return std::nullopt;
        if (::clock_gettime(CLOCK_BOOTTIME, &boot) != 0) return std::nullopt;
        const double bootedAt = static_cast<double>(wall.tv_sec - boot.tv_sec) +
                                static_cast<double>(wall.tv_nsec - boot.tv_nsec) / 1e9;
        return bootedAt +
               static_cast<double>(stat->startTicks) / static_cast<double>(ticksPerSecond);
    }
};

}  // namespace

std::unique_ptr<Workspace> makeWorkspace(MainLoop& mainLoop, WorkspaceOptions options) {
    return std::make_unique<ProcWorkspace>(mainLoop, options);
}

bool workspaceUsesConnector(const Workspace& workspace) {
    const auto* proc = dynamic_cast<const ProcWorkspace*>(&workspace);
    return proc && proc->usesConnector();
}

std::unique_ptr<ProcessTable> makeProcessTable() {
    return std::make_unique<ProcProcessTable>();
}

}  // namespace tallyvane::linux_platform
