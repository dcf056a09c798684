#include "store/DurableFile.h"

#include <atomic>
#include <random>

namespace tallyvane::store {
namespace {

// A temporary name beside path that nothing else uses yet: ".NAME.XXXXXX".
std::string temporaryBeside(const std::string& path, unsigned attempt) {
    static std::atomic<unsigned> counter{std::random_device{}()};
    static constexpr char kLetters[] =
        "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789";
    unsigned n = counter.fetch_add(1 + attempt) * 2654435761u;
    std::string suffix(6, 'A');
    for (char& c : suffix) {
        c = kLetters[n % (sizeof kLetters - 1)];
        n /= sizeof kLetters - 1;
    }
    const auto slash = path.rfind('/');
    const std::string folder = slash == std::string::npos ? "" : path.substr(0, slash + 1);
    const std::string base = slash == std::string::npos ? path : path.substr(slash + 1);
    return folder + "." + base + "." + suffix;
}

}  // namespace

Status writeWhole(FileSystem& files, const std::string& path, std::string_view bytes) {
    auto out = files.create(path);
    if (!out) return out.status();
    if (Status written = (*out)->append(bytes); !written) return written;
    return (*out)->finish();
}

Status replaceAtomically(FileSystem& files, const std::string& path, std::string_view bytes) {
    Result<std::unique_ptr<FileSystem::Output>> out = Status::error("");
    std::string temp;
    // A name someone else took meanwhile is never opened: another one is tried.
    for (unsigned attempt = 0; attempt < 100; ++attempt) {
        temp = temporaryBeside(path, attempt);
        out = files.create(temp, FileSystem::Creation::New);
        if (out || !files.exists(temp)) break;
    }
    if (!out)
        return Status::error("Cannot create a temporary file for \"" + path +
                             "\": " + out.status().description());
    Status written = (*out)->append(bytes);
    if (written) written = (*out)->finish();
    if (written) written = files.rename(temp, path);
    if (!written) (void)files.remove(temp);
    return written;
}

DurableFile::DurableFile(FileSystem& files, std::string path)
    : files_(files), path_(std::move(path)), sidecar_(sidecarOf(path_)) {}

Status DurableFile::rewrite(const std::function<Status(const Sink&)>& produce) {
    // A link, FIFO or folder planted at the path is refused before anything is written.
    const bool present = files_.exists(path_);
    if (present && !files_.isRegularFile(path_))
        return Status::error("Cannot write \"" + path_ + "\": not a regular file");
    auto out = files_.create(sidecar_);
    Status saved = out ? Status() : out.status();
    if (out) {
        Status made = produce([&](std::string_view piece) {
            if (saved) saved = (*out)->append(piece);
        });
        if (!made) saved = made;
        if (saved) saved = (*out)->finish();
    }
    if (!saved) {
        (void)files_.remove(sidecar_);  // the file is as it was
        return saved;
    }
    Status written = files_.copyInto(path_, sidecar_);
    // On failure the sidecar stays: the next reader completes the save from it.
    if (!written) return written;
    (void)files_.remove(sidecar_);
    return written;
}

std::optional<std::string> DurableFile::recover(const std::function<bool(std::string_view)>& valid,
                                                LogSink& log) {
    if (!files_.exists(sidecar_)) return std::nullopt;
    auto saved = files_.readFile(sidecar_);
    const bool present = files_.exists(path_);
    if (present && !files_.isRegularFile(path_)) {
        (void)files_.remove(sidecar_);
        log.write("Removed " + sidecar_ + ": " + path_ + " is no longer a regular file");
        return std::nullopt;
    }
    if (!saved || !valid(*saved)) {
        // Cut short while the sidecar was written: the file itself was never touched.
        (void)files_.remove(sidecar_);
        log.write("Removed " + sidecar_ + ": a save interrupted before it reached " + path_);
        return std::nullopt;
    }
    Status restored = present ? files_.overwrite(path_, *saved) : writeWhole(files_, path_, *saved);
    if (!restored) {
        log.write("Cannot recover " + path_ + " from " + sidecar_ + ": " + restored.description());
        return std::move(*saved);
    }
    (void)files_.remove(sidecar_);
    log.write("Recovered " + path_ + " from " + sidecar_ + " after an interrupted save");
    return std::nullopt;
}

}  // namespace tallyvane::store
