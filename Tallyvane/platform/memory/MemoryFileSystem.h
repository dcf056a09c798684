#pragma once
// Files in memory, for tests and fuzzing: a write can be made to stop part-way (a crash, a full
// disk, an I/O error) to see what a reader finds afterwards.
#include <cerrno>
#include <condition_variable>
#include <map>
#include <mutex>
#include <optional>
#include <set>

#include "platform/FileSystem.h"

namespace tallyvane {

class MemoryFileSystem final : public FileSystem {
  public:
    // The next write stops after afterBytes bytes have reached the file. error is the errno it
    // then fails with (EIO; ENOSPC, which an overwrite meets while reserving, before it changes
    // anything); 0 stands for a crash: the bytes stay and the write never returns to tell, so
    // every later write fails too until clearFault().
    struct Fault {
        std::size_t afterBytes = 0;
        int error = EIO;
        std::size_t writesFirst = 0;  // writes that go through before the one that fails
    };

    bool exists(const std::string& path) override;
    bool isRegularFile(const std::string& path) override;
    Result<std::string> readFile(const std::string& path) override;
    Status readInPieces(const std::string& path,
                        const std::function<void(std::string_view)>& take) override;
    Status createDirectory(const std::string& path, int permissions) override;
    Status overwrite(const std::string& path, std::string_view bytes) override;
    // What is appended reaches the file when it is finished, as one write.
    Result<std::unique_ptr<Output>> create(const std::string& path, Creation how) override;
    Status copyInto(const std::string& path, const std::string& source) override;
    Status rename(const std::string& from, const std::string& to) override;
    Status remove(const std::string& path) override;
    // Held by one Lock at a time, across threads: lockFolder waits for it, lockFolderIfFree
    // refuses while another holds it.
    std::unique_ptr<Lock> lockFolder(const std::string& path) override;
    std::unique_ptr<Lock> lockFolderIfFree(const std::string& path) override;

    void inject(Fault fault);
    void clearFault();
    // The file's bytes as they stand, or nothing.
    std::optional<std::string> contents(const std::string& path) const;
    void put(const std::string& path, std::string bytes);
    std::size_t writes() const;

  private:
    // Applies the pending fault to a write of bytes: what reaches the file, and the failure.
    Status faulted(std::string_view& bytes, const std::string& path);
    // The file at path made to hold bytes, as far as a fault lets them reach it.
    Status store(const std::string& path, std::string_view bytes);
    std::unique_ptr<Lock> lock(const std::string& path, bool wait);

    mutable std::mutex mutex_;
    std::map<std::string, std::string, std::less<>> files_;
    std::set<std::string, std::less<>> folders_;
    std::optional<Fault> fault_;
    bool crashed_ = false;
    std::size_t writes_ = 0;
    std::set<std::string, std::less<>> locked_;
    std::condition_variable unlocked_;
};

}  // namespace tallyvane
