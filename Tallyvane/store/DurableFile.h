#pragma once
// Whole-file saves built once over the file system's primitives, whichever file system it is:
// a new file flushed to the disk, an atomic replacement, and a rewrite in place that a crash, a
// kill or a full disk at any moment leaves with the old or the new content for the next reader.
#include <functional>
#include <optional>
#include <string>
#include <string_view>

#include "base/LogSink.h"
#include "base/Status.h"
#include "platform/FileSystem.h"

namespace tallyvane::store {

// The folder holding path: "." for a bare name, "/" for one at the root.
inline std::string directoryOf(const std::string& path) {
    const auto slash = path.rfind('/');
    if (slash == std::string::npos) return ".";
    if (slash == 0) return "/";
    return path.substr(0, slash);
}

// Creates or truncates the regular file at path, writes bytes and flushes them to the disk.
Status writeWhole(FileSystem& files, const std::string& path, std::string_view bytes);

// Writes bytes to a new temporary file beside path (readable by all) that then replaces it; a
// failure leaves the old file and no temporary one.
Status replaceAtomically(FileSystem& files, const std::string& path, std::string_view bytes);

// A file rewritten where it stands, its new content first written whole to a sidecar: the file
// keeps its identity (owner, mode, every descriptor on it), and an interrupted rewrite is
// completed from the sidecar, or dropped when the sidecar itself was cut short.
class DurableFile {
  public:
    DurableFile(FileSystem& files, std::string path);

    static std::string sidecarOf(const std::string& path) { return path + ".saving"; }

    // Whether a rewrite was interrupted and is still to be recovered.
    bool interrupted() const { return files_.exists(sidecar_); }

    // Writes the pieces that produce hands to its sink, in order, as the new content. produce
    // returns why it could not make them all (nothing of the file then changes).
    using Sink = std::function<void(std::string_view)>;
    Status rewrite(const std::function<Status(const Sink&)>& produce);

    // Completes or drops the rewrite that the sidecar tells of, checking its bytes with valid
    // first; the bytes the file was to hold when they could not be written back. Logs each case.
    std::optional<std::string> recover(const std::function<bool(std::string_view)>& valid,
                                       LogSink& log);

  private:
    FileSystem& files_;
    std::string path_;
    std::string sidecar_;
};

}  // namespace tallyvane::store
