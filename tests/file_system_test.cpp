// One contract for the operating system's files and the memory ones the other tests run on:
// what the saves are built from must behave the same in both.
#include <gtest/gtest.h>

#include <chrono>
#include <future>

#include "platform/FileSystem.h"
#include "platform/memory/MemoryFileSystem.h"
#include "store/DurableFile.h"
#include "support/ChildProcess.h"

namespace tallyvane::test {
namespace {

using namespace std::chrono_literals;

class FileSystemContract : public testing::TestWithParam<bool> {
  protected:
    FileSystemContract() { (void)memory.createDirectory("/data", 755); }
    ScratchDir dir;
    MemoryFileSystem memory;
    FileSystem& fs = GetParam() ? posixFileSystem() : static_cast<FileSystem&>(memory);
    const std::string folder = GetParam() ? dir.path() : "/data";
    const std::string a = folder + "/a", b = folder + "/b";
    std::string read(const std::string& path) {
        auto bytes = fs.readFile(path);
        return bytes ? *bytes : "<none>";
    }
};

TEST_P(FileSystemContract, WritesReplaceExactlyAndNewFilesNeverOpenWhatIsThere) {
    ASSERT_TRUE(store::writeWhole(fs, a, "a long first content"));
    ASSERT_TRUE(store::writeWhole(fs, a, "short"));
    EXPECT_EQ(read(a), "short");
    EXPECT_FALSE(fs.create(a, FileSystem::Creation::New));
    EXPECT_EQ(read(a), "short");
    ASSERT_TRUE(fs.overwrite(a, "xy"));
    EXPECT_EQ(read(a), "xy");
    EXPECT_FALSE(fs.overwrite(b, "no file"));
    EXPECT_FALSE(fs.exists(b));

    ASSERT_TRUE(fs.copyInto(b, a));  // made, then replaced where it stands
    ASSERT_TRUE(store::writeWhole(fs, a, "third"));
    ASSERT_TRUE(fs.copyInto(b, a));
    EXPECT_EQ(read(b), "third");
    ASSERT_TRUE(fs.rename(b, a));
    EXPECT_FALSE(fs.exists(b));
    EXPECT_EQ(read(a), "third");
    EXPECT_TRUE(fs.remove(b));  // nothing there is no failure

    EXPECT_FALSE(fs.isRegularFile(folder));
    EXPECT_FALSE(fs.readFile(folder));
    EXPECT_FALSE(store::writeWhole(fs, folder + "/none/c", "x"));
}

TEST_P(FileSystemContract, SavesLeaveTheNewContentOrOnFailureTheOld) {
    ASSERT_TRUE(store::replaceAtomically(fs, a, "one"));
    ASSERT_TRUE(store::replaceAtomically(fs, a, "two"));
    EXPECT_EQ(read(a), "two");
    store::DurableFile durable(fs, a);
    ASSERT_TRUE(durable.rewrite([](const store::DurableFile::Sink& sink) {
        sink("thr");
        sink("ee");
        return Status();
    }));
    EXPECT_EQ(read(a), "three");
    EXPECT_FALSE(durable.interrupted());
    // A producer that fails changes nothing.
    EXPECT_FALSE(durable.rewrite([](const store::DurableFile::Sink& sink) {
        sink("half");
        return Status::error("cut");
    }));
    EXPECT_EQ(read(a), "three");
    EXPECT_FALSE(durable.interrupted());
}

TEST_P(FileSystemContract, TheFolderLockRefusesAndWaitsWhileAnotherHoldsIt) {
    auto held = fs.lockFolderIfFree(folder);
    ASSERT_TRUE(held);
    EXPECT_FALSE(fs.lockFolderIfFree(folder));
    EXPECT_FALSE(fs.lockFolder(folder + "/missing"));
    auto waiter = std::async(std::launch::async, [&] { return fs.lockFolder(folder); });
    EXPECT_EQ(waiter.wait_for(200ms), std::future_status::timeout);
    held.reset();
    ASSERT_EQ(waiter.wait_for(10s), std::future_status::ready);
    EXPECT_TRUE(waiter.get());
    EXPECT_TRUE(fs.lockFolderIfFree(folder));
}

INSTANTIATE_TEST_SUITE_P(Both, FileSystemContract, testing::Bool(),
                         [](const auto& info) { return info.param ? "Posix" : "Memory"; });

}  // namespace
}  // namespace tallyvane::test
