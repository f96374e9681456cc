// syscall_test.cpp: the real POSIX layer where the kernel or the file system refuses a call the
// layer prefers: renames without replacing, the in-kernel copy, reads that are interrupted.
#include <gtest/gtest.h>

#include <cstdlib>

#include "drop.h"
#include "platform.h"
#include "support.h"
#include "syscall_shim.h"

namespace {

class Syscalls : public ::testing::Test {
protected:
    // Back to what the environment asked for, as the other suites of this program run under it.
    void TearDown() override {
        const char* spec = std::getenv("TESSOREL_SYSCALLS");
        SetSyscallFaults(spec != nullptr ? spec : "");
    }
};

const std::vector<TestEntry> kEntries = {{2, 0, std::string(70000, 'b')}, {1, 0, "a"}};

// Sorts fx.snd in `dir`; true when it sorted and every file holds what it must.
void ExpectSorted(const TempDir& dir, const std::string& original) {
    EXPECT_EQ(FilesIn(dir.path()), (std::vector<std::string>{"fx.snd", "fx_old.snd"}));
    EXPECT_EQ(ReadBytes(dir / "fx_old.snd"), original);
    EXPECT_TRUE(SortedLayoutEntries(ReadBytes(dir / "fx.snd")) ==
                (std::vector<TestEntry>{kEntries[1], kEntries[0]}));
}

TEST_F(Syscalls, RenameWithoutNoReplaceFallsBackToLinkAndUnlink) {
    for (const char* spec : {"renameat2=EINVAL", "renameat2=ENOSYS", "renameat2=EOPNOTSUPP"}) {
        SCOPED_TRACE(spec);
        ASSERT_TRUE(SetSyscallFaults(spec));
        TempDir dir;
        WriteBytes(dir / "a", "first");
        WriteBytes(dir / "b", "second");
        EXPECT_FALSE(PlatRenameNoReplace(dir.str("a").c_str(), dir.str("b").c_str()));
        EXPECT_EQ(ReadBytes(dir / "a"), "first");
        EXPECT_EQ(ReadBytes(dir / "b"), "second");
        EXPECT_TRUE(PlatRenameNoReplace(dir.str("a").c_str(), dir.str("c").c_str()));
        EXPECT_EQ(FilesIn(dir.path()), (std::vector<std::string>{"b", "c"}));
        EXPECT_EQ(ReadBytes(dir / "c"), "first");
        EXPECT_EQ(SyscallFaultsMade(), 2);
    }
}

// The new name stands, but the old one cannot be dropped: the rename fails and takes its new name
// back, so that the file has the one name it had.
TEST_F(Syscalls, UnlinkFailingAfterTheLinkLeavesTheOldNameAlone) {
    ASSERT_TRUE(SetSyscallFaults("renameat2=ENOSYS,unlink-after-link=EPERM"));
    TempDir dir;
    WriteBytes(dir / "a", "first");
    EXPECT_FALSE(PlatRenameNoReplace(dir.str("a").c_str(), dir.str("c").c_str()));
    EXPECT_EQ(FilesIn(dir.path()), std::vector<std::string>{"a"});
    EXPECT_EQ(ReadBytes(dir / "a"), "first");
    EXPECT_EQ(SyscallFaultsMade(), 2);  // the rename, and the unlink
}

// Where the system cannot copy between the files, the data goes through a buffer; any other error
// of the copy fails the sort.
TEST_F(Syscalls, CopyTheSystemCannotMakeGoesThroughTheBuffer) {
    struct Case {
        const char* spec;
        DropResult result;
    } const cases[] = {
        {"copy_file_range=EXDEV", DropResult::Sorted},
        {"copy_file_range=EINVAL", DropResult::Sorted},
        {"copy_file_range=EOPNOTSUPP", DropResult::Sorted},
        {"copy_file_range=ENOSYS", DropResult::Sorted},
        {"copy_file_range=EIO", DropResult::WriteFailed},
        {"pread=EINTR", DropResult::Sorted},
        {"pread=EINTR,copy_file_range=EXDEV", DropResult::Sorted},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.spec);
        ASSERT_TRUE(SetSyscallFaults(c.spec));
        TempDir dir;
        const std::string original = BuildArchive(kEntries);
        WriteBytes(dir / "fx.snd", original);
        MessageLog log;
        EXPECT_EQ(SortDroppedFile(dir.str("fx.snd").c_str()), c.result);
        EXPECT_GT(SyscallFaultsMade(), 0);
        if (c.result == DropResult::Sorted) {
            ExpectSorted(dir, original);
        } else {
            EXPECT_EQ(FilesIn(dir.path()), std::vector<std::string>{"fx.snd"});
            EXPECT_EQ(ReadBytes(dir / "fx.snd"), original);
        }
    }
}

}  // namespace
