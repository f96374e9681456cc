// posix_test.cpp: behaviour that needs POSIX to provoke or to see: failing writes, owners, groups
// and modes, the messages' UTF-8 and refused renames.
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "cp932.h"
#include "drop.h"
#include "messages.h"
#include "platform.h"
#include "support.h"

namespace {

TEST(PosixDrop, FailedWriteRemovesThePartialArchiveAndRenamesNothing) {
    TempDir dir;
    const std::string original =
        BuildArchive({{2, 0, std::string(40000, 'a')}, {1, 0, std::string(40000, 'b')}});
    WriteBytes(dir / "fx.snd", original);
    MessageLog log;
    // Files of this process are capped at 60000 bytes: writes past it fail with EFBIG.
    rlimit saved, limit;
    getrlimit(RLIMIT_FSIZE, &saved);
    limit = {60000, saved.rlim_max};
    const sighandler_t handler = signal(SIGXFSZ, SIG_IGN);
    setrlimit(RLIMIT_FSIZE, &limit);
    const DropResult result = SortDroppedFile(dir.str("fx.snd").c_str());
    setrlimit(RLIMIT_FSIZE, &saved);
    signal(SIGXFSZ, handler);
    EXPECT_EQ(result, DropResult::WriteFailed);
    EXPECT_TRUE(log.shown.empty());
    ExpectUntouched(dir.path(), {"fx.snd"}, "fx.snd", original);
}

TEST(PosixDrop, PipesAndDevicesAreNotArchives) {
    TempDir dir;
    ASSERT_EQ(mkfifo(dir.str("pipe.snd").c_str(), 0600), 0);
    fs::create_symlink("/dev/zero", dir / "zero.snd");
    MessageLog log;
    // A pipe with no writer must not hang the operation.
    EXPECT_EQ(SortDroppedFile(dir.str("pipe.snd").c_str()), DropResult::OpenFailed);
    EXPECT_EQ(SortDroppedFile(dir.str("zero.snd").c_str()), DropResult::OpenFailed);
    EXPECT_TRUE(log.shown.empty());
    EXPECT_EQ(FilesIn(dir.path()), (std::vector<std::string>{"pipe.snd", "zero.snd"}));
    // Nor is a pipe in the new archive's place waited on.
    WriteBytes(dir / "fx.snd", BuildArchive({{1, 0, "x"}}));
    ASSERT_EQ(mkfifo(dir.str("fx_new.snd").c_str(), 0600), 0);
    EXPECT_EQ(SortDroppedFile(dir.str("fx.snd").c_str()), DropResult::CreateFailed);
    EXPECT_TRUE(log.shown.empty());
}

// The sorted archive takes the original's place: it must be no more readable than the original.
TEST(PosixDrop, SortedArchiveKeepsTheOriginalsPermissions) {
    const mode_t savedMask = umask(022);
    for (const mode_t mode : {0600, 0640, 0644, 0444}) {
        SCOPED_TRACE(mode);
        TempDir dir;
        WriteBytes(dir / "fx.snd", BuildArchive({{1, 0, "x"}, {0, 0, "y"}}));
        ASSERT_EQ(chmod(dir.str("fx.snd").c_str(), mode), 0);
        MessageLog log;
        EXPECT_EQ(SortDroppedFile(dir.str("fx.snd").c_str()), DropResult::Sorted);
        struct stat st;
        ASSERT_EQ(stat(dir.str("fx.snd").c_str(), &st), 0);
        EXPECT_EQ(st.st_mode & 07777, mode);
    }
    umask(savedMask);
}

// In a shared folder another user may leave a NAME_new.snd of their own, open to everyone. The
// sorted archive must belong to the user who sorts, with the original's mode and group.
TEST(PosixDrop, LeftoverOfAnotherUserLendsNothing) {
    if (geteuid() != 0) GTEST_SKIP() << "needs root, to make files of another user";
    const uid_t stranger = 4242;
    const gid_t strangersGroup = 4242;
    const gid_t originalGroup = 4343;
    const mode_t savedMask = umask(022);
    TempDir dir;
    chmod(dir.path().c_str(), 01777);
    const std::string original = BuildArchive({{1, 0, "x"}, {0, 0, "y"}});
    WriteBytes(dir / "fx.snd", original);
    ASSERT_EQ(chown(dir.str("fx.snd").c_str(), 0, originalGroup), 0);
    ASSERT_EQ(chmod(dir.str("fx.snd").c_str(), 0640), 0);
    WriteBytes(dir / "fx_new.snd", SortedOf(original).substr(0, 100));  // a sort's, torn
    ASSERT_EQ(chown(dir.str("fx_new.snd").c_str(), stranger, strangersGroup), 0);
    ASSERT_EQ(chmod(dir.str("fx_new.snd").c_str(), 0666), 0);
    MessageLog log;
    EXPECT_EQ(SortDroppedFile(dir.str("fx.snd").c_str()), DropResult::Sorted);
    umask(savedMask);
    struct stat st;
    ASSERT_EQ(stat(dir.str("fx.snd").c_str(), &st), 0);
    EXPECT_EQ(st.st_uid, 0u);
    EXPECT_EQ(st.st_gid, originalGroup);
    EXPECT_EQ(st.st_mode & 07777, 0640u);
}

// The sorted archive carries exactly the original's access ACL, and none where it has none,
// whatever default ACL its folder has: nobody reads it who could not read the original, and
// everybody who could still can.
TEST(PosixDrop, SortedArchiveHasTheOriginalsAccessAcl) {
    struct Case {
        const char* original;  // setfacl --set for the original, after chmod 0640; "" for none
        const char* folder;    // setfacl -d -m for the folder, after the original is made
    } const cases[] = {
        {"u::rw-,u:4343:r--,g::---,m::r--,o::---", ""},
        {"", "u:4343:rwx"},
        {"u::rw-,g::r--,g:4242:rw-,m::rw-,o::---", "u:4343:rwx,g::rwx,o::r--"},
    };
    const mode_t savedMask = umask(022);
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.original) + " in a folder with " + c.folder);
        TempDir dir;
        WriteBytes(dir / "fx.snd", BuildArchive(kRoad));
        ASSERT_EQ(chmod(dir.str("fx.snd").c_str(), 0640), 0);
        if ((*c.original && !SetFacl(std::string("--set=") + c.original + " '" + dir.str("fx.snd") + "'")) ||
            (*c.folder && !SetFacl(std::string("-d -m ") + c.folder + " '" + dir.path().string() + "'"))) {
            std::printf("  skipped: no setfacl, or no ACLs on this file system\n");
            continue;
        }
        const std::string acl = Acl(dir / "fx.snd");
        MessageLog log;
        EXPECT_EQ(SortDroppedFile(dir.str("fx.snd").c_str()), DropResult::Sorted);
        EXPECT_EQ(Acl(dir / "fx.snd"), acl);
        EXPECT_EQ(Acl(dir / "fx_old.snd"), acl);
    }
    umask(savedMask);
}

TEST(PosixPlatform, MessagesReadAsUtf8) {
    // Longer than the converter's piece: "ア" (83 41), 3 bytes in UTF-8, 200 times.
    std::string longCp932, longUtf8;
    for (int i = 0; i < 200; ++i) {
        longCp932 += "\x83\x41";
        longUtf8 += "ア";
    }
    struct Case {
        std::string cp932;
        std::string utf8;
    } const cases[] = {
        {kMsgDone.text, "整列を完了しました"},
        {kMsgNotSnd.text, ".sndファイルではありません"},
        {"", ""},
        {"a\x80z", "a\xEF\xBF\xBDz"},  // a byte that is no character stands as U+FFFD
        {"\x82", "\xEF\xBF\xBD"},      // so does a lead byte the text ends on
        {longCp932, longUtf8},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(Cp932ToUtf8(c.cp932.c_str()), c.utf8) << c.cp932.size() << " bytes";
    }
    // Where the C library has no converter, every message still reads the same.
    for (const Message& m : {kMsgNotSnd, kMsgBadSignature, kMsgBadCount, kMsgOldRename,
                             kMsgDefRename, kMsgDone, kMsgDamaged}) {
        for (const char* text : {m.text, m.caption}) {
            EXPECT_EQ(Cp932ToUtf8Builtin(text), Cp932ToUtf8(text));
        }
    }
    EXPECT_EQ(Cp932ToUtf8Builtin("a\x80z\x88\x9f\x82"), "a\xEF\xBF\xBDz\xEF\xBF\xBD\xEF\xBF\xBD");
}

// Without a sink, a message is the line "CAPTION: TEXT" in UTF-8 on standard error.
TEST(PosixPlatform, MessageWithoutASinkGoesToStandardError) {
    testing::internal::CaptureStderr();
    PlatShowMessage(kMsgDone.text, kMsgDone.caption);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "確認: 整列を完了しました\n");
}

TEST(PosixPlatform, RenameNeverReplaces) { ExpectRenameNeverReplaces(); }

}  // namespace
