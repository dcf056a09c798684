#pragma once
// Draining an inotify descriptor: the one loop the folder and unit watches share.
#include <sys/inotify.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstring>
#include <string_view>

namespace tallyvane::linux_platform {

// Each whole event waiting on the non-blocking descriptor fd, with its name (empty for the
// watched object itself), until none is left; an event cut short by the buffer is dropped.
template <typename Visit>
void eachInotifyEvent(int fd, Visit visit) {
    alignas(inotify_event) std::array<char, 4096> buffer;
    for (;;) {
        const ssize_t n = ::read(fd, buffer.data(), buffer.size());
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return;
        for (ssize_t at = 0; at + static_cast<ssize_t>(sizeof(inotify_event)) <= n;) {
            inotify_event event;
            std::memcpy(&event, buffer.data() + at, sizeof event);
            const char* name = buffer.data() + at + sizeof event;
            at += static_cast<ssize_t>(sizeof event + event.len);
            if (at > n) break;
            visit(event, event.len ? std::string_view(name, ::strnlen(name, event.len))
                                   : std::string_view());
        }
    }
}

}  // namespace tallyvane::linux_platform
