// Files through POSIX calls. Existence and folder creation go through the agent library, which
// decides how its permission values apply.
#include <fcntl.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstring>
#include <vector>

#include "lvornutils/FileUtils.h"
#include "platform/FileSystem.h"
#include "platform/posix/UniqueFd.h"

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

class PosixFileSystem final : public FileSystem {
  public:
    bool exists(const std::string& path) override { return FileUtils().isFileExist(path); }

    Result<std::string> readFile(const std::string& path) override {
        // Non-blocking so that a FIFO planted at the path cannot hang the reader.
        UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY));
        if (!fd) return errnoFailure("Cannot open", path, errno);
        struct stat st {};
        if (::fstat(fd.get(), &st) != 0) return errnoFailure("Cannot inspect", path, errno);
        if (!S_ISREG(st.st_mode))
            return Status::error("Cannot read \"" + path + "\": not a regular file");
        const auto tooLarge = [&] {
            return Status::error("Cannot read \"" + path + "\": the file is too large");
        };
        if (static_cast<std::uint64_t>(st.st_size) > kMaxFileBytes) return tooLarge();
        std::string bytes;
        bytes.reserve(static_cast<std::size_t>(st.st_size));
        char buffer[65536];
        for (;;) {
            const ssize_t n = ::read(fd.get(), buffer, sizeof buffer);
            if (n < 0) {
                if (errno == EINTR) continue;
                return errnoFailure("Cannot read", path, errno);
            }
            if (n == 0) break;
            // The file may grow while it is read; the limit holds regardless.
            if (bytes.size() + static_cast<std::size_t>(n) > kMaxFileBytes) return tooLarge();
            bytes.append(buffer, static_cast<std::size_t>(n));
        }
        return bytes;
    }

    Status writeInPlace(const std::string& path, std::string_view bytes) override {
        UniqueFd fd(::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644));
        if (!fd) return errnoFailure("Cannot open for writing", path, errno);
        if (!writeAll(fd.get(), bytes)) return errnoFailure("Cannot write", path, errno);
        if (fd.close() != 0) return errnoFailure("Cannot finish writing", path, errno);
        return {};
    }

    Status writeAtomically(const std::string& path, std::string_view bytes) override {
        const auto slash = path.rfind('/');
        const std::string folder = slash == std::string::npos ? "" : path.substr(0, slash + 1);
        const std::string base = slash == std::string::npos ? path : path.substr(slash + 1);
        std::string temp = folder + "." + base + ".XXXXXX";
        std::vector<char> name(temp.begin(), temp.end());
        name.push_back('\0');
        UniqueFd fd(::mkstemp(name.data()));
        if (!fd) return errnoFailure("Cannot create a temporary file for", path, errno);
        temp = name.data();
        const auto abandon = [&](const std::string& what, int err) {
            ::unlink(temp.c_str());
            return errnoFailure(what, path, err);
        };
        // mkstemp creates 0600; the file it replaces is an ordinary readable plist.
        if (::fchmod(fd.get(), 0644) != 0) return abandon("Cannot set the mode for", errno);
        if (!writeAll(fd.get(), bytes)) return abandon("Cannot write", errno);
        if (::fsync(fd.get()) != 0) return abandon("Cannot flush", errno);
        if (fd.close() != 0) return abandon("Cannot finish writing", errno);
        if (::rename(temp.c_str(), path.c_str()) != 0) return abandon("Cannot replace", errno);
        return {};
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
