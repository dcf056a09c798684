#pragma once
// Reads a descriptor to its end, bounded: what every reader of a small file (/proc, a
// registration, a hand-over) needs, and what a hostile file must not turn into unbounded memory.
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <optional>
#include <string>

namespace tallyvane {

// The bytes of the file open at fd, at most limit of them.
inline std::optional<std::string> readAll(int fd, std::size_t limit) {
    std::string bytes;
    char chunk[65536];
    for (;;) {
        const ssize_t n = ::read(fd, chunk, sizeof chunk);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return std::nullopt;
        if (n == 0) return bytes;
        bytes.append(chunk, static_cast<std::size_t>(n));
        if (bytes.size() > limit) return std::nullopt;
    }
}

}  // namespace tallyvane
