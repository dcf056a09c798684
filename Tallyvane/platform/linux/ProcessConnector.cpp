#include "platform/linux/ProcessConnector.h"

#include <linux/cn_proc.h>
#include <linux/connector.h>
#include <linux/netlink.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <chrono>
#include <cstring>

namespace tallyvane::linux_platform {
namespace {

// Hands each process event in a received datagram to handle. The event inside a connector
// message is packed 4 bytes into it, short of its own 8-byte alignment, so it is copied out
// rather than read in place.
template <typename Handle>
void forEachEvent(const char* buffer, ssize_t received, Handle&& handle) {
    auto length = static_cast<unsigned>(received);
    for (auto* h = reinterpret_cast<const nlmsghdr*>(buffer); NLMSG_OK(h, length);
         h = NLMSG_NEXT(h, length)) {
        if (h->nlmsg_type == NLMSG_ERROR || h->nlmsg_type == NLMSG_NOOP) continue;
        if (h->nlmsg_len < NLMSG_LENGTH(sizeof(cn_msg) + sizeof(proc_event))) continue;
        const auto* message = static_cast<const cn_msg*>(NLMSG_DATA(h));
        proc_event event{};
        std::memcpy(&event, message->data, sizeof event);
        handle(event);
    }
}

bool subscribe(int socket) {
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
    return ::send(socket, request, header->nlmsg_len, 0) == static_cast<ssize_t>(header->nlmsg_len);
}

// The kernel acknowledges a subscription it accepts; outside the initial PID namespace it stays
// silent and no events would ever come.
bool acknowledged(int socket) {
    using Clock = std::chrono::steady_clock;
    const auto deadline = Clock::now() + std::chrono::milliseconds(1000);
    alignas(nlmsghdr) char buffer[4096];
    for (;;) {
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
        if (left.count() <= 0) return false;
        pollfd fd{socket, POLLIN, 0};
        if (::poll(&fd, 1, static_cast<int>(left.count())) <= 0) continue;
        const ssize_t n = ::recv(socket, buffer, sizeof buffer, 0);
        if (n <= 0) continue;
        std::optional<bool> answer;
        forEachEvent(buffer, n, [&](const proc_event& event) {
            if (event.what == proc_event::PROC_EVENT_NONE && !answer)
                answer = event.event_data.ack.err == 0;
        });
        if (answer) return *answer;
    }
}

}  // namespace

std::optional<ProcessConnector> ProcessConnector::open() {
    UniqueFd socket(::socket(PF_NETLINK, SOCK_DGRAM | SOCK_CLOEXEC, NETLINK_CONNECTOR));
    if (!socket) return std::nullopt;
    // A burst of forks must not overflow the buffer; SO_RCVBUFFORCE passes the limit if root.
    const int size = 8 * 1024 * 1024;
    if (::setsockopt(socket.get(), SOL_SOCKET, SO_RCVBUFFORCE, &size, sizeof size) != 0)
        ::setsockopt(socket.get(), SOL_SOCKET, SO_RCVBUF, &size, sizeof size);
    sockaddr_nl address{};
    address.nl_family = AF_NETLINK;
    address.nl_groups = CN_IDX_PROC;
    if (::bind(socket.get(), reinterpret_cast<sockaddr*>(&address), sizeof address) != 0)
        return std::nullopt;
    if (!subscribe(socket.get()) || !acknowledged(socket.get())) return std::nullopt;
    return ProcessConnector(std::move(socket));
}

bool ProcessConnector::receive(Events& events) {
    // An event is a datagram of about a hundred bytes: many are taken in one call.
    constexpr std::size_t kSlots = 64, kSlotSize = 1024;
    alignas(nlmsghdr) static thread_local char buffers[kSlots][kSlotSize];
    std::array<iovec, kSlots> vectors{};
    std::array<mmsghdr, kSlots> messages{};
    // A bound, so that a storm of forks cannot hold the caller here for good.
    for (int call = 0; call < 16; ++call) {
        for (std::size_t i = 0; i < kSlots; ++i) {
            vectors[i] = {buffers[i], kSlotSize};
            messages[i] = {};
            messages[i].msg_hdr.msg_iov = &vectors[i];
            messages[i].msg_hdr.msg_iovlen = 1;
        }
        const int n = ::recvmmsg(socket_.get(), messages.data(), kSlots, MSG_DONTWAIT, nullptr);
        if (n < 0) {
            if (errno == EINTR) continue;
            if (errno != ENOBUFS) return errno == EAGAIN || errno == EWOULDBLOCK;
            events.lost();
            continue;
        }
        for (int i = 0; i < n; ++i)
            handOver(buffers[i], static_cast<ssize_t>(messages[i].msg_len), events);
        if (static_cast<std::size_t>(n) < kSlots) return true;
    }
    return true;
}

void ProcessConnector::handOver(const char* buffer, ssize_t n, Events& events) {
    forEachEvent(buffer, n, [&](const proc_event& event) {
        switch (event.what) {
            case proc_event::PROC_EVENT_FORK: {
                const auto& fork = event.event_data.fork;
                if (fork.child_pid == fork.child_tgid)
                    events.forked(fork.child_tgid, fork.parent_tgid);
                break;
            }
            case proc_event::PROC_EVENT_EXEC:
                events.execed(event.event_data.exec.process_tgid);
                break;
            case proc_event::PROC_EVENT_EXIT: {
                const auto& exit = event.event_data.exit;
                if (exit.process_pid == exit.process_tgid) events.exited(exit.process_tgid);
                break;
            }
            default:
                break;
        }
    });
}

}  // namespace tallyvane::linux_platform
