#pragma once
// The kernel's process event connector: forks, execs and exits of every process as they happen.
// It needs CAP_NET_ADMIN in the initial network namespace.
#include <sys/types.h>

#include <optional>

#include "platform/posix/UniqueFd.h"

namespace tallyvane::linux_platform {

class ProcessConnector {
  public:
    // Subscribed to process events; nothing when this process may not (or the kernel does not
    // acknowledge the subscription).
    static std::optional<ProcessConnector> open();

    int fd() const { return socket_.get(); }

    struct Events {
        virtual ~Events() = default;
        virtual void forked(pid_t pid, pid_t parent) = 0;  // a new process, not a thread
        virtual void execed(pid_t pid) = 0;
        virtual void exited(pid_t pid) = 0;  // a process, not a thread
        virtual void lost() = 0;             // the socket overflowed: events were dropped
    };
    // Reads what is waiting (up to a bound) and hands each event over. False when the socket
    // failed otherwise.
    bool receive(Events& events);

  private:
    static void handOver(const char* buffer, ssize_t n, Events& events);
    explicit ProcessConnector(UniqueFd socket) : socket_(std::move(socket)) {}
    UniqueFd socket_;
};

}  // namespace tallyvane::linux_platform
