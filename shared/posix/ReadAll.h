#pragma once
// Reads a descriptor to its end, bounded: what every reader of a small file (/proc, a
// registration, a hand-over) needs, and what a hostile file must not turn into unbounded memory.
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <optional>
#include <string>

namespace tallyvane {

// What a file longer than the limit gives: nothing, or its first limit bytes.
enum class Beyond { Fail, Cut };

// The bytes of the file open at fd, at most limit of them.
inline std::optional<std::string> readAll(int fd, std::size_t limit, Beyond beyond = Beyond::Fail) {
    std::string bytes;
    char chunk[65536];
    for (;;) {
        const ssize_t n = ::read(fd, chunk, sizeof chunk);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return std::nullopt;  // ESRCH: a process went away after the open
        if (n == 0) return bytes;
        bytes.append(chunk, static_cast<std::size_t>(n));
        if (bytes.size() > limit) {
            if (beyond == Beyond::Fail) return std::nullopt;
            bytes.resize(limit);
            return bytes;
        }
    }
}

}  // namespace tallyvane
