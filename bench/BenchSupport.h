#pragma once
// What the benchmark programs share: files read whole, programs started beside this one, the
// local management server, and a launch-data file of any size.
#include <fcntl.h>
#include <spawn.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <plist/plist.h>

#include "plist/Value.h"

extern char** environ;

namespace tallyvane::bench {

inline std::string slurp(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream out;
    out << in.rdbuf();
    return out.str();
}

// The folder of this program, where the other programs of the build are.
inline std::filesystem::path here() {
    return std::filesystem::read_symlink("/proc/self/exe").parent_path();
}

// Starts argv[0] with standard output and error appended to out; -1 when it cannot start.
inline pid_t spawn(const std::vector<std::string>& argv, const std::string& out = "/dev/null") {
    std::vector<char*> args;
    for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, out.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
    posix_spawn_file_actions_adddup2(&actions, 1, 2);
    pid_t pid = -1;
    if (posix_spawn(&pid, args[0], &actions, nullptr, args.data(), environ) != 0) pid = -1;
    posix_spawn_file_actions_destroy(&actions);
    return pid;
}

// Starts mgmt_server on a free port, its output in out; the port, or "1" (refused) without one.
inline std::string startServer(const std::string& out, pid_t& server) {
    server = spawn({(here() / "mgmt_server").string(), "--port", "0"}, out);
    const std::string mark = "listening on 127.0.0.1:";
    for (int i = 0; i < 500; ++i) {
        const std::string text = slurp(out);
        const auto at = text.find(mark);
        const auto end = text.find('\n', at);
        if (at != std::string::npos && end != std::string::npos)
            return text.substr(at + mark.size(), end - at - mark.size());
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return "1";
}

// A launch-data file of the given number of records, each launched at the moment given.
inline plist::Dict sampleLaunchData(int records, std::int64_t launched) {
    plist::Dict root;
    for (int i = 0; i < records; ++i) {
        const std::string id = std::to_string(100000 + i);
        root.emplace(id, plist::Dict{{"AppDefinitionId", id},
                                     {"FileName", "App" + std::to_string(i) + ".app"},
                                     {"PRODUCT_NAME", "App" + std::to_string(i)},
                                     {"PRODUCT_VERSION", "1.0"},
                                     {"FILE_VERSION", "1.0"},
                                     {"LAUNCH_TIME", launched},
                                     {"LAST_USED", launched},
                                     {"TOTAL_RUN_COUNT", 3},
                                     {"TOTAL_RUN_TIME", 7200}});
    }
    return root;
}

// What libplist alone does for a rewrite: the file read and parsed, serialised as XML, and the
// XML handed to write(data, length).
template <typename Write>
void libplistRewrite(const std::string& path, Write write) {
    const std::string bytes = slurp(path);
    plist_t root = nullptr;
    plist_from_memory(bytes.data(), static_cast<uint32_t>(bytes.size()), &root);
    char* xml = nullptr;
    uint32_t length = 0;
    plist_to_xml(root, &xml, &length);
    write(xml, length);
    plist_to_xml_free(xml);
    plist_free(root);
}

}  // namespace tallyvane::bench
