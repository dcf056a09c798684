#include "support/AppBundle.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>

#include <cstdlib>
#include <filesystem>

#include "plist/PlistFile.h"

extern char** environ;

namespace tallyvane::test_support {

namespace fs = std::filesystem;

std::string makeBundle(const std::string& dir, const std::string& name, const BundleInfo& info) {
    const fs::path contents = fs::path(dir) / (name + ".app") / "Contents";
    fs::create_directories(contents / "MacOS");
    const fs::path executable = contents / "MacOS" / name;
    fs::copy_file("/bin/sleep", executable, fs::copy_options::overwrite_existing);
    fs::permissions(executable, fs::perms::owner_all | fs::perms::group_read |
                                    fs::perms::group_exec | fs::perms::others_read |
                                    fs::perms::others_exec);
    if (info.writeInfoPlist) {
        plist::Dict dict{{"CFBundleExecutable", name}};
        if (info.displayName) dict["CFBundleDisplayName"] = *info.displayName;
        if (info.bundleName) dict["CFBundleName"] = *info.bundleName;
        if (info.shortVersion) dict["CFBundleShortVersionString"] = *info.shortVersion;
        const auto xml = plist::toXml(plist::Value(dict));
        EXPECT_TRUE(xml && plist::writeAtomically((contents / "Info.plist").string(), *xml))
            << "cannot write the Info.plist of " << name;
    }
    return executable.string();
}

ScratchDir::ScratchDir() {
    std::string pattern = (fs::temp_directory_path() / "tallyvane-XXXXXX").string();
    if (::mkdtemp(pattern.data())) path_ = pattern;
    EXPECT_FALSE(path_.empty()) << "cannot make a scratch directory";
}

ScratchDir::~ScratchDir() {
    std::error_code ignored;
    if (!path_.empty()) fs::remove_all(path_, ignored);
}

ChildProcess::ChildProcess(const std::string& program, const std::vector<std::string>& arguments) {
    std::vector<std::string> argv{program};
    argv.insert(argv.end(), arguments.begin(), arguments.end());
    std::vector<char*> pointers;
    for (auto& a : argv) pointers.push_back(a.data());
    pointers.push_back(nullptr);
    const int error =
        ::posix_spawn(&pid_, program.c_str(), nullptr, nullptr, pointers.data(), environ);
    if (error != 0) pid_ = -1;
    EXPECT_GT(pid_, 0) << "cannot start " << program;
}

ChildProcess::~ChildProcess() {
    kill();
}

void ChildProcess::kill() {
    if (pid_ <= 0) return;
    ::kill(pid_, SIGKILL);
    wait();
}

void ChildProcess::wait() {
    if (pid_ <= 0) return;
    int status = 0;
    while (::waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
    }
    pid_ = -1;
}

}  // namespace tallyvane::test_support
