#pragma once
// Shared set-up of the fuzz targets: input files in memory, the agent log sent to /dev/null,
// standard output silenced.
#include <fcntl.h>
#include <lvornutils/Log.h>
#include <lvornutils/VornUtilMac.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <filesystem>
#include <string>
#include <string_view>

#include "platform/memory/MemoryFileSystem.h"

namespace fuzz {

inline const std::string& scratch() {
    static const std::string dir = [] {
        std::string name = "/tmp/tallyvane_fuzz.XXXXXX";
        if (!mkdtemp(name.data())) abort();
        setenv("VORNAGENT_PATH", name.c_str(), 1);
        // Every record goes to /dev/null: the log would otherwise grow by megabytes a second.
        std::string logs = name + "/logs";
        mkdir(logs.c_str(), 0700);
        if (symlink("/dev/null", (logs + "/AppMonitor.log").c_str()) != 0) abort();
        static std::string removeAtExit = name;
        atexit([] {
            std::error_code ignored;
            std::filesystem::remove_all(removeAtExit, ignored);
        });
        VornUtilMac util;
        util.initializeVornGlobal();
        util.startLoggingTo("AppMonitor.log", true);
        int devNull = open("/dev/null", O_WRONLY);
        dup2(devNull, STDOUT_FILENO);
        close(devNull);
        return name;
    }();
    return dir;
}

// The files the targets read and write.
inline tallyvane::MemoryFileSystem& files() {
    static tallyvane::MemoryFileSystem memory;
    return memory;
}

// The fuzz input as the file another program left at path.
inline std::string inputFile(const std::uint8_t* data, std::size_t size, const char* name) {
    std::string path = scratch() + "/" + name;
    files().put(path, std::string(reinterpret_cast<const char*>(data), size));
    return path;
}

// The fuzz input as a file on disk under the scratch folder, for readers outside the file system
// seam (the agent library's, /proc's).
inline std::string diskFile(const std::uint8_t* data, std::size_t size, const char* name) {
    const std::string path = scratch() + "/" + name;
    std::filesystem::create_directories(std::filesystem::path(path).parent_path());
    const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    if (fd < 0 || write(fd, data, size) != static_cast<ssize_t>(size)) abort();
    close(fd);
    return path;
}

}  // namespace fuzz
