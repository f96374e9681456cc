// syscall_test.cpp: the real POSIX layer where the kernel or the file system refuses a call: renames
// without replacing, the in-kernel copy, interrupted reads and writes, failing flushes.
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "drop.h"
#include "platform.h"
#include "support.h"
#include "syscall_shim.h"

namespace {

class Syscalls : public ::testing::Test {
protected:
    // Back to what the environment asked for, as the other suites of this program run under it.
    void TearDown() override {
        const char* plan = std::getenv("TESSOREL_SYSCALLS");
        SetSyscallFaults(plan != nullptr ? plan : "");
    }
};

const std::vector<TestEntry> kEntries = {{2, 0, std::string(70000, 'b')}, {1, 0, "a"}};

TEST_F(Syscalls, RenameWithoutNoReplaceFallsBackToLinkAndUnlink) {
    for (const char* plan : {"renameat2=EINVAL", "renameat2=ENOSYS", "renameat2=EOPNOTSUPP"}) {
        SCOPED_TRACE(plan);
        ASSERT_TRUE(SetSyscallFaults(plan));
        ExpectRenameNeverReplaces();
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

// A name taken in the moment after the leftover new archive was deleted is refused, never written.
TEST_F(Syscalls, NameTakenRightAfterTheLeftoverWentIsLeftAlone) {
    ASSERT_TRUE(SetSyscallFaults("unlink=PLANT"));
    TempDir dir;
    const std::string original = BuildArchive(kEntries);
    WriteBytes(dir / "fx.snd", original);
    WriteBytes(dir / "fx_new.snd", SortedOf(original).substr(0, 600));  // an earlier run's, torn
    WriteBytes(dir / "kept", "kept");
    MessageLog log;
    EXPECT_EQ(SortDroppedFile(dir.str("fx.snd").c_str()), DropResult::CreateFailed);
    EXPECT_EQ(SyscallFaultsMade(), 1);
    ExpectUntouched(dir.path(), {"fx.snd", "fx_new.snd", "kept"}, "kept", "kept");
    EXPECT_EQ(ReadBytes(dir / "fx.snd"), original);
}

// Where the system cannot copy between the files, the data goes through a buffer; an interrupted
// call is made again; a folder that cannot be listed is flushed with its file system; every other
// refusal, and a save of the archive by another program, ends the sort as its own failure, never
// confirmed, and with the original's bytes under its name. The new archive is private until it
// has the original's group; where it cannot have it, its group gets no more than everyone.
TEST_F(Syscalls, RefusedCallsEndTheSortAsTheyMust) {
    struct Case {
        const char* plan;
        DropResult result;
        bool strangeGroup;  // the original belongs to a group the new file does not get by itself
        mode_t mode = 0644;
        mode_t sortedMode = 0644;
        const char* acl = nullptr;    // the original's access ACL, for setfacl --set
        const char* shows = nullptr;  // a line the sorted archive's ACL must hold
    } const cases[] = {
        {"copy_file_range=EXDEV", DropResult::Sorted, false},
        {"copy_file_range=EINVAL", DropResult::Sorted, false},
        {"copy_file_range=EOPNOTSUPP", DropResult::Sorted, false},
        {"copy_file_range=ENOSYS", DropResult::Sorted, false},
        {"copy_file_range=EIO", DropResult::WriteFailed, false},
        {"pread=EINTR", DropResult::Sorted, false},
        {"copy_file_range=EINTR", DropResult::Sorted, false},
        {"pread=EINTR,copy_file_range=EXDEV", DropResult::Sorted, false},
        {"write=EINTR", DropResult::Sorted, false},
        {"write=SHORT", DropResult::Sorted, false},
        {"copy_file_range=SHORT", DropResult::Sorted, false},
        {"pread=EIO", DropResult::ReadFailed, false},
        {"write=EIO", DropResult::WriteFailed, false},
        {"fsync=EIO", DropResult::WriteFailed, false},
        {"fsync-directory=EIO", DropResult::FlushFailed, false},
        {"fchown=EPERM", DropResult::Sorted, true},  // the group is kept where allowed, no more
        {"fchown=EPERM", DropResult::Sorted, true, 0640, 0600},
        {"fchown=EPERM", DropResult::Sorted, true, 0664, 0644},
        {"open-directory=EACCES", DropResult::Sorted, false},
        {"fsync=SAVE", DropResult::Changed, false},  // nothing renamed, and the new archive gone
        {"copy_file_range=END", DropResult::Changed, false},  // it shrank while it was copied
        {"xattr=EOPNOTSUPP", DropResult::Sorted, false},  // a file system without extended attributes
        // An ACL that cannot be given: the bits stand for it, the named user loses its access.
        {"fsetxattr=EOPNOTSUPP", DropResult::Sorted, false, 0640, 0600,
         "u::rw-,u:4343:r--,g::---,m::r--,o::---"},
        {"fsetxattr=EOPNOTSUPP", DropResult::Sorted, false, 0640, 0640,
         "u::rw-,g::rw-,m::r--,o::---"},
        // Neither the group nor the ACL can be given: the folder's group gets no more than everyone.
        {"fchown=EPERM,fsetxattr=EOPNOTSUPP", DropResult::Sorted, true, 0640, 0600,
         "u::rw-,g::r--,m::r--,o::---"},
        // The ACL given, but its owning group is the folder's: it may do no more than everyone.
        {"fchown=EPERM", DropResult::Sorted, true, 0640, 0640,
         "u::rw-,u:4343:r--,g::r--,m::r--,o::---", "group::---"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.plan);
        TempDir dir;
        const std::string original = BuildArchive(kEntries);
        WriteBytes(dir / "fx.snd", original);
        if (c.strangeGroup && chown(dir.str("fx.snd").c_str(), static_cast<uid_t>(-1), 4343) != 0) {
            std::printf("  skipped %s: needs root, to give a file another group\n", c.plan);
            continue;
        }
        ASSERT_EQ(chmod(dir.str("fx.snd").c_str(), c.mode), 0);
        if (c.acl && !SetFacl("--set=" + std::string(c.acl) + " '" + dir.str("fx.snd") + "'")) {
            std::printf("  skipped %s: no setfacl, or no ACLs on this file system\n", c.plan);
            continue;
        }
        ASSERT_TRUE(SetSyscallFaults(c.plan));
        MessageLog log;
        const mode_t savedMask = umask(0);
        EXPECT_EQ(SortDroppedFile(dir.str("fx.snd").c_str()), c.result);
        umask(savedMask);
        EXPECT_GT(SyscallFaultsMade(), 0);
        // The renamed names' folder is flushed, or where it cannot be opened, its file system.
        if (c.result == DropResult::Sorted) {
            EXPECT_STREQ(SyscallFlushedFolder(), std::strcmp(c.plan, "open-directory=EACCES") == 0
                                                     ? "(its file system)"
                                                     : fs::canonical(dir.path()).c_str());
        }
        if (c.strangeGroup) {
            EXPECT_EQ(SyscallModeAtFchown(), 0600u) << "readable by the folder's group meanwhile";
        }
        struct stat st;
        if (c.result == DropResult::Sorted && stat(dir.str("fx.snd").c_str(), &st) == 0) {
            EXPECT_EQ(st.st_mode & 07777, c.sortedMode);
        }
        const std::string acl = c.shows ? Acl(dir / "fx.snd") : "";
        EXPECT_NE(c.shows ? acl.find(c.shows) : 0, std::string::npos) << acl;
        EXPECT_EQ(log.shown.size(), c.result == DropResult::Sorted ? 1u : 0u);
        if (c.result == DropResult::Sorted || c.result == DropResult::FlushFailed) {
            ExpectSorted(dir.path(), "fx.snd", "fx_old.snd", original, {kEntries[1], kEntries[0]});
        } else {
            ExpectUntouched(dir.path(), {"fx.snd"}, "fx.snd", original);
        }
    }
}

// The folder flushed is the one that holds the names, however the name was given: a bare name (the
// commonest command line) is the current folder's; a file right under the root, sorted from
// elsewhere, has its only separator as its first byte, so the whole path stands as its name and
// the root is flushed. (The rows of RefusedCallsEndTheSortAsTheyMust check a full path's folder.)
TEST_F(Syscalls, TheFolderFlushedHoldsTheNames) {
    TempDir elsewhere, dir;
    const std::string original = BuildArchive(kEntries);
    const std::string root = "/tessorel-test-" + std::to_string(getpid());
    const bool rootWritable = access("/", W_OK) == 0;
    for (const auto& [name, folder] : {std::pair{std::string("fx.snd"), fs::canonical(dir.path()).string()},
                                       {root + ".snd", std::string("/")}}) {
        if (name[0] == '/' && !rootWritable) continue;  // the root folder is not writable here
        SCOPED_TRACE(name);
        const fs::path at = name[0] == '/' ? fs::path(name) : dir / name;
        WriteBytes(at, original);
        fs::current_path(name[0] == '/' ? elsewhere.path() : dir.path());
        MessageLog log;
        EXPECT_EQ(SortDroppedFile(name.c_str()), DropResult::Sorted);
        EXPECT_EQ(SyscallFlushedFolder(), folder);
        const std::string base = at.string().substr(0, at.string().size() - 4);
        EXPECT_EQ(ReadBytes(base + "_old.snd"), original);
        for (const char* suffix : {".snd", "_old.snd"}) fs::remove(base + suffix);
    }
}

// Without RENAME_NOREPLACE the name is linked first and dropped after: a save that lands on the
// old name between the two is another program's file, and keeps the name it gave it.
TEST_F(Syscalls, SaveBetweenTheLinkAndTheDropKeepsItsName) {
    ASSERT_TRUE(SetSyscallFaults("renameat2=EINVAL,link=SAVE"));
    TempDir dir;
    const std::string original = BuildArchive(kEntries);
    WriteBytes(dir / "fx.snd", original);
    MessageLog log;
    const DropResult result = SortDroppedFile(dir.str("fx.snd").c_str());
    EXPECT_GT(SyscallFaultsMade(), 0);
    EXPECT_FALSE(log.confirmed());
    SortEnd end;
    end.original = original;
    end.theirs = {{"fx.snd", "saved"}};
    end.files = FilesWithBytes(dir.path());
    EXPECT_EQ(BrokenPromise(end, SortedOf), "") << static_cast<int>(result);
    EXPECT_EQ(end.files["fx.snd"], "saved");
    EXPECT_EQ(end.files["fx_old.snd"], original);
}

}  // namespace
