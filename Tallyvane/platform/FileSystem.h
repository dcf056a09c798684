#pragma once
// The files the program reads and writes, behind one interface of primitives: the operating
// system's in production, one in memory (with injected faults) in tests. The saves made of them
// are store/DurableFile's.
#include <functional>
#include <memory>
#include <string>
#include <string_view>

#include "base/Status.h"

namespace tallyvane {

class FileSystem {
  public:
    virtual ~FileSystem() = default;

    // Files larger than this are not ours; reading one fails.
    static constexpr std::size_t kMaxFileBytes = 64u << 20;

    // Whether anything exists at path (a dangling symbolic link counts).
    virtual bool exists(const std::string& path) = 0;
    // Whether a regular file (not a link, FIFO, device or folder) is at path.
    virtual bool isRegularFile(const std::string& path) = 0;
    // The whole regular file at path. Never blocks on a FIFO or device and never follows a
    // symbolic link there: anything but a regular file fails, as does one larger than
    // kMaxFileBytes.
    virtual Result<std::string> readFile(const std::string& path) = 0;
    // The same file handed to take in pieces, in order, none of which is kept.
    virtual Status readInPieces(const std::string& path,
                                const std::function<void(std::string_view)>& take) = 0;
    // Replaces the content of the existing regular file at path where it stands (the same file,
    // never through a symbolic link). Its new size is reserved first, so that a full disk fails
    // before anything of the file changes; then the bytes, the new length, and a flush. An I/O
    // error or a crash part-way leaves the file partly rewritten.
    virtual Status overwrite(const std::string& path, std::string_view bytes) = 0;

    // A file written piece by piece.
    class Output {
      public:
        virtual ~Output() = default;
        virtual Status append(std::string_view bytes) = 0;
        // Flushes what was appended to the disk and closes the file.
        virtual Status finish() = 0;
    };
    // Truncate: creates or truncates the regular file at path (never through a symbolic link).
    // New: creates a file readable by all (0644, whatever the umask), failing when anything is
    // at path already.
    enum class Creation { Truncate, New };
    virtual Result<std::unique_ptr<Output>> create(const std::string& path,
                                                   Creation how = Creation::Truncate) = 0;
    // Gives the regular file at path what the regular file at source holds, without reading it
    // into memory: as overwrite does, or as a created file when nothing is at path.
    virtual Status copyInto(const std::string& path, const std::string& source) = 0;
    // Moves the entry at from to to, replacing what is there, in one step.
    virtual Status rename(const std::string& from, const std::string& to) = 0;
    virtual Status remove(const std::string& path) = 0;

    // An advisory lock, held until it is destroyed.
    class Lock {
      public:
        virtual ~Lock() = default;
    };
    // Waits for the exclusive lock on the folder at path, shared by every process of ours that
    // writes there; nothing when the folder cannot be locked (the caller goes on unlocked).
    virtual std::unique_ptr<Lock> lockFolder(const std::string& path) = 0;
    // The same lock without waiting: nothing when another process holds it (or the folder cannot
    // be locked).
    virtual std::unique_ptr<Lock> lockFolderIfFree(const std::string& path) = 0;
    // Creates the folder and its missing parents, permissions given as the digits of the octal
    // mode (777 means rwxrwxrwx), as the agent library applies them.
    virtual Status createDirectory(const std::string& path, int permissions) = 0;
};

// The operating system's files (POSIX calls); one shared instance. Thread-safe.
FileSystem& posixFileSystem();

}  // namespace tallyvane
