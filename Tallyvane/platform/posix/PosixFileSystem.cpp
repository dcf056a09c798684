// Files through POSIX calls. Existence and folder creation go through the agent library, which
// decides how its permission values apply.
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <functional>

#include "lvornutils/FileUtils.h"
#include "platform/FileSystem.h"
#include "posix/UniqueFd.h"

namespace tallyvane {
namespace {

Status errnoFailure(const std::string& what, const std::string& path, int err) {
    return Status::error(what + " \"" + path + "\": " + std::strerror(err));
}

bool writeAll(int fd, std::string_view bytes) {
    while (!bytes.empty()) {
        const ssize_t n = ::write(fd, bytes.data(), bytes.size());
        if (n < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        bytes.remove_prefix(static_cast<std::size_t>(n));
    }
    return true;
}

// The regular file at path opened for writing with flags; a symbolic link, FIFO, device or
// folder there is refused without blocking.
Result<UniqueFd> openRegular(const std::string& path, int flags) {
    UniqueFd fd(::open(path.c_str(), flags | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY, 0644));
    if (!fd) return errnoFailure("Cannot open for writing", path, errno);
    struct stat st {};
    if (::fstat(fd.get(), &st) != 0) return errnoFailure("Cannot inspect", path, errno);
    if (!S_ISREG(st.st_mode))
        return Status::error("Cannot write \"" + path + "\": not a regular file");
    return fd;
}

// The regular file at path opened for reading, never through a link and never blocking on a
// FIFO; size learns its size.
Result<UniqueFd> openToRead(const std::string& path, std::uint64_t& size) {
    UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY | O_NOFOLLOW));
    if (!fd) return errnoFailure("Cannot open", path, errno);
    struct stat st {};
    if (::fstat(fd.get(), &st) != 0) return errnoFailure("Cannot inspect", path, errno);
    if (!S_ISREG(st.st_mode))
        return Status::error("Cannot read \"" + path + "\": not a regular file");
    size = static_cast<std::uint64_t>(st.st_size);
    return fd;
}

// The regular file at path, at most kMaxFileBytes, handed to take in pieces; sized, when given,
// learns its size first.
Status readRegular(const std::string& path, const std::function<void(std::size_t)>& sized,
                   const std::function<void(std::string_view)>& take) {
    std::uint64_t size = 0;
    auto fd = openToRead(path, size);
    if (!fd) return fd.status();
    const auto tooLarge = [&] {
        return Status::error("Cannot read \"" + path + "\": the file is too large");
    };
    if (size > FileSystem::kMaxFileBytes) return tooLarge();
    if (sized) sized(static_cast<std::size_t>(size));
    char buffer[65536];
    std::size_t total = 0;
    for (;;) {
        const ssize_t n = ::read(fd->get(), buffer, sizeof buffer);
        if (n < 0) {
            if (errno == EINTR) continue;
            return errnoFailure("Cannot read", path, errno);
        }
        if (n == 0) break;
        // The file may grow while it is read; the limit holds regardless.
        total += static_cast<std::size_t>(n);
        if (total > FileSystem::kMaxFileBytes) return tooLarge();
        take(std::string_view(buffer, static_cast<std::size_t>(n)));
    }
    return {};
}

// Rewrites the open file fd in place to size bytes that body writes: the room is reserved
// first, so that a full disk fails before anything of the file changes; then the body, the new
// length, and a flush.
Status replaceContent(UniqueFd& fd, const std::string& path, std::size_t size,
                      const std::function<bool(int)>& body) {
    // A file system that cannot reserve space (EOPNOTSUPP) is written without the check.
    if (size > 0) {
        const int reserved = ::posix_fallocate(fd.get(), 0, static_cast<off_t>(size));
        if (reserved != 0 && reserved != EOPNOTSUPP && reserved != EINVAL)
            return errnoFailure("Cannot make room for", path, reserved);
    }
    if (!body(fd.get())) return errnoFailure("Cannot write", path, errno);
    if (::ftruncate(fd.get(), static_cast<off_t>(size)) != 0)
        return errnoFailure("Cannot cut", path, errno);
    if (::fsync(fd.get()) != 0) return errnoFailure("Cannot flush", path, errno);
    if (fd.close() != 0) return errnoFailure("Cannot finish writing", path, errno);
    return {};
}

class PosixFileSystem final : public FileSystem {
  public:
    bool exists(const std::string& path) override { return FileUtils().isFileExist(path); }
    bool isRegularFile(const std::string& path) override {
        struct stat st {};
        return ::lstat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
    }

    Result<std::string> readFile(const std::string& path) override {
        std::string bytes;
        Status read = readRegular(
            path, [&](std::size_t size) { bytes.reserve(size); },
            [&](std::string_view piece) { bytes.append(piece); });
        if (!read) return read;
        return bytes;
    }

    Status readInPieces(const std::string& path,
                        const std::function<void(std::string_view)>& take) override {
        return readRegular(path, nullptr, take);
    }

    Status overwrite(const std::string& path, std::string_view bytes) override {
        auto fd = openRegular(path, O_WRONLY);
        if (!fd) return fd.status();
        // Opened without truncation or O_APPEND, the file is written from its start.
        return replaceContent(*fd, path, bytes.size(),
                              [&](int out) { return writeAll(out, bytes); });
    }

    Result<std::unique_ptr<Output>> create(const std::string& path, Creation how) override {
        auto fd = openRegular(path, how == Creation::New ? O_WRONLY | O_CREAT | O_EXCL
                                                         : O_WRONLY | O_CREAT | O_TRUNC);
        if (!fd) return fd.status();
        // A new file is an ordinary readable plist whatever the umask.
        if (how == Creation::New && ::fchmod(fd->get(), 0644) != 0) {
            const int err = errno;
            ::unlink(path.c_str());  // made just now by us: nothing is left behind
            return errnoFailure("Cannot set the mode for", path, err);
        }
        struct FileOutput final : Output {
            FileOutput(UniqueFd f, std::string p) : fd(std::move(f)), path(std::move(p)) {}
            Status append(std::string_view bytes) override {
                if (!writeAll(fd.get(), bytes)) return errnoFailure("Cannot write", path, errno);
                return {};
            }
            Status finish() override {
                if (::fsync(fd.get()) != 0) return errnoFailure("Cannot flush", path, errno);
                if (fd.close() != 0) return errnoFailure("Cannot finish writing", path, errno);
                return {};
            }
            UniqueFd fd;
            std::string path;
        };
        return std::unique_ptr<Output>(std::make_unique<FileOutput>(std::move(*fd), path));
    }

    Status copyInto(const std::string& path, const std::string& source) override {
        std::uint64_t length = 0;
        auto in = openToRead(source, length);
        if (!in) return in.status();
        auto fd = openRegular(path, O_WRONLY | O_CREAT);
        if (!fd) return fd.status();
        const auto size = static_cast<std::size_t>(length);
        return replaceContent(*fd, path, size, [&](int out) {
            off_t from = 0, to = 0;
            // The kernel copies page cache to page cache; file systems that cannot are copied
            // through a buffer from where the kernel stopped.
            bool buffered = false;
            while (static_cast<std::size_t>(to) < size) {
                if (!buffered) {
                    const ssize_t n = ::copy_file_range(in->get(), &from, out, &to,
                                                        size - static_cast<std::size_t>(to), 0);
                    if (n > 0) continue;
                    if (n < 0 && errno == EINTR) continue;
                    if (n == 0) errno = EIO;  // the source ended early
                    if (n == 0 || !(errno == EXDEV || errno == EINVAL || errno == ENOSYS ||
                                    errno == EOPNOTSUPP))
                        return false;
                    buffered = true;
                }
                char buffer[65536];
                const ssize_t got = ::pread(in->get(), buffer, sizeof buffer, from);
                if (got < 0 && errno == EINTR) continue;
                if (got == 0) errno = EIO;
                if (got <= 0) return false;
                // A short write goes on from where it stopped, read again.
                const ssize_t put = ::pwrite(out, buffer, static_cast<std::size_t>(got), to);
                if (put < 0 && errno == EINTR) continue;
                if (put == 0) errno = EIO;
                if (put <= 0) return false;
                from += put;
                to += put;
            }
            return true;
        });
    }

    Status rename(const std::string& from, const std::string& to) override {
        if (::rename(from.c_str(), to.c_str()) != 0)
            return errnoFailure("Cannot replace", to, errno);
        return {};
    }

    Status remove(const std::string& path) override {
        if (::unlink(path.c_str()) != 0 && errno != ENOENT)
            return errnoFailure("Cannot remove", path, errno);
        return {};
    }

    std::unique_ptr<Lock> lockFolder(const std::string& path) override {
        return flockFolder(path, LOCK_EX);
    }

    std::unique_ptr<Lock> lockFolderIfFree(const std::string& path) override {
        return flockFolder(path, LOCK_EX | LOCK_NB);
    }

    static std::unique_ptr<Lock> flockFolder(const std::string& path, int operation) {
        UniqueFd fd(::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC | O_NOFOLLOW));
        if (!fd) return nullptr;
        while (::flock(fd.get(), operation) != 0)
            if (errno != EINTR) return nullptr;
        struct Held final : Lock {
            explicit Held(UniqueFd f) : fd(std::move(f)) {}
            UniqueFd fd;  // closing it releases the lock
        };
        return std::make_unique<Held>(std::move(fd));
    }

    Status createDirectory(const std::string& path, int permissions) override {
        if (FileUtils().createDirectoryAtPath(path, permissions)) return {};
        return Status::error("Cannot create the folder \"" + path + "\"");
    }
};

}  // namespace

FileSystem& posixFileSystem() {
    static PosixFileSystem files;
    return files;
}

}  // namespace tallyvane
