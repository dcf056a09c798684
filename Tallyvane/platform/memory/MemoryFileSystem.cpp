#include "platform/memory/MemoryFileSystem.h"

#include <cstring>

namespace tallyvane {
namespace {

std::string parentOf(const std::string& path) {
    const auto slash = path.rfind('/');
    return slash == std::string::npos || slash == 0 ? std::string() : path.substr(0, slash);
}

}  // namespace

bool MemoryFileSystem::exists(const std::string& path) {
    std::lock_guard lock(mutex_);
    return files_.count(path) || folders_.count(path);
}

bool MemoryFileSystem::isRegularFile(const std::string& path) {
    std::lock_guard lock(mutex_);
    return files_.count(path) > 0;
}

Result<std::string> MemoryFileSystem::readFile(const std::string& path) {
    std::lock_guard lock(mutex_);
    const auto it = files_.find(path);
    if (it == files_.end()) {
        const char* why = folders_.count(path) ? "not a regular file" : std::strerror(ENOENT);
        return Status::error("Cannot read \"" + path + "\": " + why);
    }
    if (it->second.size() > kMaxFileBytes)
        return Status::error("Cannot read \"" + path + "\": the file is too large");
    return it->second;
}

Status MemoryFileSystem::readInPieces(const std::string& path,
                                      const std::function<void(std::string_view)>& take) {
    auto bytes = readFile(path);
    if (!bytes) return bytes.status();
    take(*bytes);
    return {};
}

Result<std::unique_ptr<FileSystem::Output>> MemoryFileSystem::create(const std::string& path,
                                                                     Creation how) {
    {
        std::lock_guard lock(mutex_);
        if (!parentOf(path).empty() && !folders_.count(parentOf(path)))
            return Status::error("Cannot open for writing \"" + path +
                                 "\": " + std::strerror(ENOENT));
        if (how == Creation::New && (files_.count(path) || folders_.count(path)))
            return Status::error("Cannot open for writing \"" + path +
                                 "\": " + std::strerror(EEXIST));
        // After a crash nothing more of ours reaches a file.
        if (crashed_) return Status::error("Cannot write \"" + path + "\": the process is gone");
        files_[path].clear();
    }
    struct Pending final : Output {
        Pending(MemoryFileSystem& f, std::string p) : files(f), path(std::move(p)) {}
        Status append(std::string_view more) override {
            bytes.append(more);
            return {};
        }
        Status finish() override { return files.store(path, bytes); }
        MemoryFileSystem& files;
        std::string path, bytes;
    };
    return std::unique_ptr<Output>(std::make_unique<Pending>(*this, path));
}

Status MemoryFileSystem::copyInto(const std::string& path, const std::string& source) {
    auto bytes = readFile(source);
    if (!bytes) return bytes.status();
    return exists(path) ? overwrite(path, *bytes) : store(path, *bytes);
}

Status MemoryFileSystem::faulted(std::string_view& bytes, const std::string& path) {
    ++writes_;
    if (crashed_) return Status::error("Cannot write \"" + path + "\": the process is gone");
    if (!fault_) return {};
    if (fault_->writesFirst > 0) {
        --fault_->writesFirst;
        return {};
    }
    const Fault fault = *fault_;
    fault_.reset();
    if (bytes.size() <= fault.afterBytes) return {};
    bytes = bytes.substr(0, fault.afterBytes);
    if (fault.error == 0) crashed_ = true;
    return Status::error("Cannot write \"" + path +
                         "\": " + std::strerror(fault.error ? fault.error : EIO));
}

Status MemoryFileSystem::store(const std::string& path, std::string_view bytes) {
    std::lock_guard lock(mutex_);
    if (!parentOf(path).empty() && !folders_.count(parentOf(path)))
        return Status::error("Cannot open for writing \"" + path + "\": " + std::strerror(ENOENT));
    if (crashed_) return faulted(bytes, path);
    Status status = faulted(bytes, path);
    files_[path] = std::string(bytes);
    return status;
}

Status MemoryFileSystem::rename(const std::string& from, const std::string& to) {
    std::lock_guard lock(mutex_);
    if (crashed_) return Status::error("Cannot replace \"" + to + "\": the process is gone");
    auto it = files_.find(from);
    if (it == files_.end())
        return Status::error("Cannot replace \"" + to + "\": " + std::strerror(ENOENT));
    std::string bytes = std::move(it->second);
    files_.erase(it);
    files_[to] = std::move(bytes);
    return {};
}

Status MemoryFileSystem::createDirectory(const std::string& path, int) {
    std::lock_guard lock(mutex_);
    for (std::string folder = path; !folder.empty(); folder = parentOf(folder)) {
        if (files_.count(folder)) return Status::error("Cannot create the folder \"" + path + "\"");
        folders_.insert(folder);
    }
    return {};
}

void MemoryFileSystem::inject(Fault fault) {
    std::lock_guard lock(mutex_);
    fault_ = fault;
}

void MemoryFileSystem::clearFault() {
    std::lock_guard lock(mutex_);
    fault_.reset();
    crashed_ = false;
}

std::optional<std::string> MemoryFileSystem::contents(const std::string& path) const {
    std::lock_guard lock(mutex_);
    const auto it = files_.find(path);
    return it == files_.end() ? std::nullopt : std::optional<std::string>(it->second);
}

void MemoryFileSystem::put(const std::string& path, std::string bytes) {
    std::lock_guard lock(mutex_);
    for (std::string folder = parentOf(path); !folder.empty(); folder = parentOf(folder))
        folders_.insert(folder);
    files_[path] = std::move(bytes);
}

Status MemoryFileSystem::remove(const std::string& path) {
    std::lock_guard lock(mutex_);
    if (crashed_) return Status::error("Cannot remove \"" + path + "\": the process is gone");
    files_.erase(path);
    return {};
}

Status MemoryFileSystem::overwrite(const std::string& path, std::string_view bytes) {
    std::lock_guard lock(mutex_);
    const auto it = files_.find(path);
    if (it == files_.end())
        return Status::error("Cannot open for writing \"" + path + "\": " + std::strerror(ENOENT));
    if (crashed_) return faulted(bytes, path);
    if (fault_ && fault_->error == ENOSPC && fault_->writesFirst == 0) {
        fault_.reset();
        ++writes_;
        return Status::error("Cannot make room for \"" + path + "\": " + std::strerror(ENOSPC));
    }
    const std::size_t size = bytes.size();
    Status status = faulted(bytes, path);
    // What was written lies over the old content; the new length is set only at the end.
    std::string& content = it->second;
    if (content.size() < bytes.size()) content.resize(bytes.size());
    content.replace(0, bytes.size(), bytes);
    if (status.ok()) content.resize(size);
    return status;
}

std::unique_ptr<FileSystem::Lock> MemoryFileSystem::lock(const std::string& path, bool wait) {
    std::unique_lock guard(mutex_);
    if (!folders_.count(path)) return nullptr;
    if (!wait && locked_.count(path)) return nullptr;
    unlocked_.wait(guard, [&] { return !locked_.count(path); });
    locked_.insert(path);
    struct Held final : Lock {
        Held(MemoryFileSystem& f, std::string p) : files(f), path(std::move(p)) {}
        ~Held() override {
            {
                std::lock_guard guard(files.mutex_);
                files.locked_.erase(path);
            }
            files.unlocked_.notify_all();
        }
        MemoryFileSystem& files;
        std::string path;
    };
    return std::make_unique<Held>(*this, path);
}

std::unique_ptr<FileSystem::Lock> MemoryFileSystem::lockFolder(const std::string& path) {
    return lock(path, true);
}

std::unique_ptr<FileSystem::Lock> MemoryFileSystem::lockFolderIfFree(const std::string& path) {
    return lock(path, false);
}

std::size_t MemoryFileSystem::writes() const {
    std::lock_guard lock(mutex_);
    return writes_;
}

}  // namespace tallyvane
