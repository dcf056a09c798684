#include "support/AppBundle.h"
#include "store/DurableFile.h"

#include <gtest/gtest.h>
#include <filesystem>
#include <fstream>

#include "platform/FileSystem.h"
#include "plist/Plist.h"

namespace tallyvane::test {

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
        EXPECT_TRUE(xml && store::replaceAtomically(posixFileSystem(),
                                                    (contents / "Info.plist").string(), *xml)
                               .ok())
            << "cannot write the Info.plist of " << name;
    }
    return executable.string();
}

void writeScript(const std::string& path, const std::string& body) {
    std::ofstream(path) << "#!/bin/sh\n" << body;
    std::filesystem::permissions(path, std::filesystem::perms::owner_all);
}

}  // namespace tallyvane::test
