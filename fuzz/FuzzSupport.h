#pragma once
// Shared set-up of the fuzz targets: a scratch folder for the input file, the agent log sent to
// /dev/null, standard output silenced.
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

#include "plist/PlistFile.h"

namespace fuzz {

inline const std::string& scratch() {
    static const std::string dir = [] {
        // In memory when possible: ext4 flushes a truncated-then-rewritten file on close, which
        // would hold each run up on the disk.
        std::string name = access("/dev/shm", W_OK) == 0 ? "/dev/shm/tallyvane_fuzz.XXXXXX"
                                                         : "/tmp/tallyvane_fuzz.XXXXXX";
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

// The fuzz input as the file another program left at path.
inline std::string inputFile(const std::uint8_t* data, std::size_t size, const char* name) {
    std::string path = scratch() + "/" + name;
    if (!tallyvane::plist::writeInPlace(
            path, std::string_view(reinterpret_cast<const char*>(data), size))) {
        abort();
    }
    return path;
}

}  // namespace fuzz
