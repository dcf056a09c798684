// Versions of programs outside bundles, from the package database, a snap or a Flatpak sandbox.
#include <sys/stat.h>

#include <filesystem>
#include <fstream>

#include <gtest/gtest.h>

#include "platform/linux/PackageVersions.h"
#include "support/ChildProcess.h"

namespace tallyvane::test {
namespace {

using linux_platform::PackageVersions;
namespace fs = std::filesystem;

void write(const std::string& path, const std::string& text) {
    fs::create_directories(fs::path(path).parent_path());
    std::ofstream(path, std::ios::binary) << text;
}

// The metered program's own version, through the monitor, is monitor_e2e_test's.
TEST(PackageVersions, EachSourceAnswersForItsOwnAndTheCacheFollowsTheDatabase) {
    ScratchDir dir;
    const std::string dpkg = dir.path() + "/root/var/lib/dpkg", proc = dir.path() + "/proc";
    const auto process = [&](int pid, const std::string& exe) {
        fs::create_directories(proc + "/" + std::to_string(pid) + "/root/app/share/metainfo");
        fs::create_symlink(exe, proc + "/" + std::to_string(pid) + "/exe");
        return proc + "/" + std::to_string(pid) + "/root";
    };
    write(dpkg + "/status",
          "Package: hello\nStatus: deinstall ok config-files\nArchitecture: i386\nVersion: 1.0\n\n"
          "Package: hello\nStatus: install ok installed\nArchitecture: amd64\nVersion: 2.12-1\n\n"
          "Package: coreutils\nStatus: install ok installed\nVersion: 9.1-1\n");
    write(dpkg + "/info/hello:amd64.list", "/usr\n/usr/bin\n/usr/bin/hello\n");
    write(dpkg + "/info/coreutils.list", "/bin\n/bin/ls");  // merged /usr
    write(dir.path() + "/root/snap/editor/12/meta/snap.yaml", "name: editor\nversion: '3.4'\n");
    process(10, "/usr/bin/hello");
    process(11, "/usr/bin/ls (deleted)");
    process(12, "/snap/editor/12/usr/bin/editor");
    const std::string tool = process(13, "/app/bin/tool") + "/app/share/metainfo/";
    write(proc + "/13/root/.flatpak-info",
          "[Application]\nname=org.example.Tool\n\n[Instance]\napp-commit=abc\n");
    write(tool + "org.example.Tool.metainfo.xml",
          "<component><releases><release version=\"5.0.1\" date=\"2026-01-01\"/>"
          "<release version=\"5.0\"/></releases></component>");
    process(14, "/usr/local/bin/own");
    // A sandbox whose files are a FIFO and a link: refused without waiting, not followed.
    ASSERT_EQ(::mkfifo((process(15, "/usr/bin/hello") + "/.flatpak-info").c_str(), 0600), 0);
    const std::string linked = process(16, "/app/bin/tool");
    write(linked + "/.flatpak-info", "[Application]\nname=org.example.Linked\n");
    fs::create_symlink(tool + "org.example.Tool.metainfo.xml",
                       linked + "/app/share/metainfo/org.example.Linked.metainfo.xml");

    PackageVersions versions({.system = dir.path() + "/root", .proc = proc});
    // Processes known only by their PID, as a scan that has not resolved their program gives them:
    // 10 has the installed one of its architecture, 99 is gone.
    const auto at = [](int pid) { return RunningApplication{{}, {}, pid}; };
    const std::pair<int, std::optional<std::string>> rows[] = {
        {10, "2.12-1"}, {11, "9.1-1"},  {12, "3.4"}, {13, "5.0.1"},
        {14, {}},       {15, "2.12-1"}, {16, {}},    {99, {}}};
    for (const auto& [pid, expected] : rows)
        EXPECT_EQ(versions.versionOf(at(pid)), expected) << pid;
    // What was launched answers, not what runs it, even once its process has ended.
    EXPECT_EQ(versions.versionOf({{}, {}, 99, "/usr/bin/hello"}), "2.12-1");

    // Kept per executable until the database changes, then looked up again.
    fs::remove(dpkg + "/info/hello:amd64.list");
    EXPECT_EQ(versions.versionOf(at(10)), "2.12-1");
    write(dpkg + "/info/hello:amd64.list", "/usr/bin/hello\n");
    write(dpkg + "/status.new",
          "Package: hello\nStatus: install ok installed\nArchitecture: amd64\nVersion: 2.13\n");
    fs::rename(dpkg + "/status.new", dpkg + "/status");
    EXPECT_EQ(versions.versionOf(at(10)), "2.13");
}

}  // namespace
}  // namespace tallyvane::test
