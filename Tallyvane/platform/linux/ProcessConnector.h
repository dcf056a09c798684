#pragma once
// The kernel's process event connector: forks, execs and exits of every process as they happen.
// It needs CAP_NET_ADMIN in the initial network namespace.
#include <sys/types.h>

#include <optional>

#include "platform/linux/ProcessEventSource.h"
#include "posix/UniqueFd.h"

namespace tallyvane::linux_platform {

class ProcessConnector final : public ProcessEventSource {
  public:
    // Subscribed to process events; nothing when this process may not (or the kernel does not
    // acknowledge the subscription).
    static std::optional<ProcessConnector> open();

    int fd() const override { return socket_.get(); }
    // Reads what is waiting (up to a bound) and hands each event over; a socket that overflowed
    // lost events. False when the socket failed otherwise.
    bool receive(Events& events) override;

  private:
    static void handOver(const char* buffer, ssize_t n, Events& events);
    explicit ProcessConnector(UniqueFd socket) : socket_(std::move(socket)) {}
    UniqueFd socket_;
};

}  // namespace tallyvane::linux_platform
