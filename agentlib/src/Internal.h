#pragma once
// Helpers shared by the agent library's sources. Not part of the public interface.
#include <plist/plist.h>

#include <cstddef>
#include <memory>
#include <new>
#include <optional>
#include <string>
#include <utility>

namespace lvornutils::detail {

// Owns one libplist tree.
struct PlistDeleter {
    void operator()(plist_t node) const noexcept {
        if (node != nullptr) plist_free(node);
    }
};
using PlistPtr = std::unique_ptr<void, PlistDeleter>;

// Reads a property-list file of any format. Nothing when the file is missing, unreadable,
// larger than maxBytes, not a regular file, or not a property list (libplist gave no root).
PlistPtr loadPlistFile(const std::string& path, std::size_t maxBytes);

// The text of a PLIST_STRING node (embedded NULs kept), nothing for any other node.
std::optional<std::string> stringOf(plist_t node);

// The agent directory as it stands now: VORNAGENT_PATH when set and non-empty, else the parent of
// the directory that holds the running executable. Nothing when neither can be found.
std::optional<std::string> currentAgentDirectory();

// The agent directory the library works with: the one of gv_globvars when the globals are set
// up, else currentAgentDirectory().
std::optional<std::string> agentDirectory();

// True for a single path component: non-empty, no '/', no NUL, not "." or "..".
bool isPlainFileName(const std::string& name);

// Writes all of data to fd, retrying on EINTR and partial writes. Async-signal-safe.
bool writeAll(int fd, const char* data, std::size_t length) noexcept;

// Creates path and its missing parents; each directory it creates gets exactly mode (umask not
// applied). True when path is a directory afterwards.
bool makeDirectories(const std::string& path, unsigned mode);

// Holds a T that is constructed on first use and never destroyed, so that threads still running
// while the process exits never meet a destroyed object.
template <typename T>
class NoDestructor {
  public:
    template <typename... Args>
    explicit NoDestructor(Args&&... args) {
        ::new (static_cast<void*>(storage_)) T(std::forward<Args>(args)...);
    }
    NoDestructor(const NoDestructor&) = delete;
    NoDestructor& operator=(const NoDestructor&) = delete;
    T& operator*() noexcept { return *std::launder(reinterpret_cast<T*>(storage_)); }
    T* operator->() noexcept { return &**this; }

  private:
    alignas(T) unsigned char storage_[sizeof(T)];
};

}  // namespace lvornutils::detail
