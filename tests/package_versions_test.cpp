// Versions of programs outside bundles, from the package database, a snap or a Flatpak sandbox.
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>

#include <gtest/gtest.h>

#include "platform/linux/PackageVersions.h"
#include "support/AgentInstallation.h"

namespace tallyvane::test {
namespace {

using namespace std::chrono_literals;
using linux_platform::PackageVersions;

void write(const std::string& path, const std::string& text) {
    std::filesystem::create_directories(std::filesystem::path(path).parent_path());
    std::ofstream(path, std::ios::binary) << text;
}

void fakeProcess(const std::string& proc, int pid, const std::string& exe) {
    std::filesystem::create_directories(proc + "/" + std::to_string(pid));
    std::filesystem::create_symlink(exe, proc + "/" + std::to_string(pid) + "/exe");
}

const char* const kStatus =
    "Package: hello\nStatus: deinstall ok config-files\nArchitecture: i386\nVersion: 1.0\n\n"
    "Package: hello\nStatus: install ok installed\nArchitecture: amd64\nVersion: 2.12-1\n\n"
    "Package: coreutils\nStatus: install ok installed\nVersion: 9.1-1\n";

// A process known only by its PID, as a scan that has not resolved its program gives it.
RunningApplication at(int pid) {
    RunningApplication application;
    application.processIdentifier = pid;
    return application;
}

TEST(PackageVersions, EachSourceAnswersForItsOwnAndTheCacheFollowsTheDatabase) {
    ScratchDir dir;
    const std::string root = dir.path() + "/root", proc = dir.path() + "/proc";
    write(root + "/var/lib/dpkg/status", kStatus);
    write(root + "/var/lib/dpkg/info/hello:amd64.list", "/usr\n/usr/bin\n/usr/bin/hello\n");
    write(root + "/var/lib/dpkg/info/coreutils.list", "/bin\n/bin/ls");  // merged /usr
    write(root + "/snap/editor/12/meta/snap.yaml", "name: editor\nversion: '3.4'\n");
    fakeProcess(proc, 10, "/usr/bin/hello");
    fakeProcess(proc, 11, "/usr/bin/ls (deleted)");
    fakeProcess(proc, 12, "/snap/editor/12/usr/bin/editor");
    fakeProcess(proc, 13, "/app/bin/tool");
    write(proc + "/13/root/.flatpak-info",
          "[Application]\nname=org.example.Tool\n\n[Instance]\napp-commit=abc\n");
    write(proc + "/13/root/app/share/metainfo/org.example.Tool.metainfo.xml",
          "<component><releases><release version=\"5.0.1\" date=\"2026-01-01\"/>"
          "<release version=\"5.0\"/></releases></component>");
    fakeProcess(proc, 14, "/usr/local/bin/own");
    // A sandbox whose files are a FIFO and a link: refused without waiting, not followed.
    fakeProcess(proc, 15, "/usr/bin/hello");
    std::filesystem::create_directories(proc + "/15/root/app/share/metainfo");
    ASSERT_EQ(::mkfifo((proc + "/15/root/.flatpak-info").c_str(), 0600), 0);
    fakeProcess(proc, 16, "/app/bin/tool");
    write(proc + "/16/root/.flatpak-info", "[Application]\nname=org.example.Linked\n");
    std::filesystem::create_directories(proc + "/16/root/app/share/metainfo");
    std::filesystem::create_symlink(
        proc + "/13/root/app/share/metainfo/org.example.Tool.metainfo.xml",
        proc + "/16/root/app/share/metainfo/org.example.Linked.metainfo.xml");

    PackageVersions versions({.system = root, .proc = proc});
    EXPECT_EQ(versions.versionOf(at(10)), "2.12-1");  // the installed one of its architecture
    EXPECT_EQ(versions.versionOf(at(11)), "9.1-1");
    EXPECT_EQ(versions.versionOf(at(12)), "3.4");
    EXPECT_EQ(versions.versionOf(at(13)), "5.0.1");
    EXPECT_EQ(versions.versionOf(at(14)), std::nullopt);
    EXPECT_EQ(versions.versionOf(at(15)), "2.12-1");
    EXPECT_EQ(versions.versionOf(at(16)), std::nullopt);
    EXPECT_EQ(versions.versionOf(at(99)), std::nullopt);  // gone
    // What was launched answers, not what runs it, even once its process has ended.
    auto launched = at(99);
    launched.executableURL = "/usr/bin/hello";
    EXPECT_EQ(versions.versionOf(launched), "2.12-1");

    // Kept per executable until the database changes, then looked up again.
    std::filesystem::remove(root + "/var/lib/dpkg/info/hello:amd64.list");
    EXPECT_EQ(versions.versionOf(at(10)), "2.12-1");
    write(root + "/var/lib/dpkg/info/hello:amd64.list", "/usr/bin/hello\n");
    write(root + "/var/lib/dpkg/status.new",
          "Package: hello\nStatus: install ok installed\nArchitecture: amd64\nVersion: 2.13\n");
    std::filesystem::rename(root + "/var/lib/dpkg/status.new", root + "/var/lib/dpkg/status");
    EXPECT_EQ(versions.versionOf(at(10)), "2.13");
}

// The version dpkg itself gives for a package of this machine.
std::string dpkgVersion(const std::string& package) {
    ScratchDir out;
    ChildProcess query(
        std::vector<std::string>{"/usr/bin/dpkg-query", "-W", "-f", "${Version}", package},
        std::map<std::string, std::string>{}, out.path() + "/version");
    EXPECT_EQ(query.waitExit(), 0);
    return slurp(out.path() + "/version");
}

TEST(PackageVersions, AMeteredProgramOutsideABundleIsCountedWithItsPackagesVersion) {
    const std::string expected = dpkgVersion("coreutils");
    ChildProcess sleeper(std::vector<std::string>{"/usr/bin/sleep", "30"},
                         std::map<std::string, std::string>{});
    // Execed before the monitor's sweep looks.
    ASSERT_TRUE(eventually([&] {
        return std::filesystem::read_symlink("/proc/" + std::to_string(sleeper.pid()) + "/exe") ==
               "/usr/bin/sleep";
    }));
    AgentInstallation agent;
    const std::string launchData = agent.meteringPath("AppLaunchData.plist");
    writePlist(launchData,
               plist::Dict{{"7", plist::Dict{{"FileName", "sleep"}, {"AppDefinitionId", "7"}}}});
    auto monitor = agent.start({"startMonitoring"});
    ASSERT_TRUE(eventually([&] { return agent.logHas("Inside checkAlreadyRunningApps"); }));
    // Already running at start-up: counted by the sweep with its version.
    ASSERT_TRUE(eventually(
        [&] { return plist::integerFor(launchRecord(launchData, "7"), "TOTAL_RUN_COUNT") == 1; }));
    const plist::Dict record = launchRecord(launchData, "7");
    EXPECT_EQ(*plist::stringFor(record, "PRODUCT_VERSION"), expected);
    EXPECT_EQ(*plist::stringFor(record, "FILE_VERSION"), expected);
}

}  // namespace
}  // namespace tallyvane::test
