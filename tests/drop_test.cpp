// drop_test.cpp: one dropped file from start to end: messages, files left behind, current folder.
#include "drop.h"

#include <gtest/gtest.h>

#include "messages.h"
#include "support.h"

namespace {

TEST(SortDroppedFile, RoadOfOneDrop) {
    TempDir dir;
    const std::string original = BuildArchive(kRoad);
    MessageLog log;
    EXPECT_EQ(DropIn(dir, original), DropResult::Sorted);
    EXPECT_EQ(log.shown, Shown{M(kMsgDone)});
    ExpectSorted(dir.path(), "fx.snd", "fx_old.snd", original);
    EXPECT_EQ(ReadBytes(dir / "fx.snd").substr(0, 512), original.substr(0, 512));
    EXPECT_TRUE(fs::equivalent(fs::current_path(), dir.path()));
}

TEST(SortDroppedFile, WarningsChangeNothing) {
    std::string badSignature = BuildArchive(kRoad);
    badSignature[3] = 'X';
    std::string badCount = BuildArchive(kRoad);
    PutLe32(badCount, 16, 0);
    std::string damaged = BuildArchive(kRoad);
    damaged.resize(damaged.size() - 1);
    struct Case {
        const char* name;
        std::string bytes;
        DropResult result;
        Message message;
    } const cases[] = {
        {"fx.wav", BuildArchive(kRoad), DropResult::WrongExtension, kMsgNotSnd},
        {"fx.sn", BuildArchive(kRoad), DropResult::WrongExtension, kMsgNotSnd},
        {"snd", BuildArchive(kRoad), DropResult::WrongExtension, kMsgNotSnd},
        // Each of the four bytes counts, whatever the case of the others.
        {"fx_snd", BuildArchive(kRoad), DropResult::WrongExtension, kMsgNotSnd},
        {"fx.SNA", BuildArchive(kRoad), DropResult::WrongExtension, kMsgNotSnd},
        {"fx.sMd", BuildArchive(kRoad), DropResult::WrongExtension, kMsgNotSnd},
        {"fx.Tnd", BuildArchive(kRoad), DropResult::WrongExtension, kMsgNotSnd},
        {"fx.snd", badSignature, DropResult::BadSignature, kMsgBadSignature},
        {"fx.snd", badCount, DropResult::BadCount, kMsgBadCount},
        {"fx.snd", damaged, DropResult::Damaged, kMsgDamaged},
    };
    for (const Case& c : cases) {
        TempDir dir;
        WriteBytes(dir / c.name, c.bytes);
        const fs::path before = fs::current_path();
        MessageLog log;
        EXPECT_EQ(SortDroppedFile(dir.str(c.name).c_str()), c.result) << c.name;
        EXPECT_EQ(log.shown, Shown{M(c.message)}) << c.name;
        ExpectUntouched(dir.path(), {c.name}, c.name, c.bytes);
        EXPECT_EQ(fs::current_path(), before) << c.name;
    }
}

TEST(SortDroppedFile, MessageBytesAreExact) {
    // The Shift_JIS bytes the user must see, spelled out once more independently of the table.
    EXPECT_EQ(std::string(kMsgDamaged.text), "\x93\xc7\x8d\x9e\x83\x47\x83\x89\x81\x5b\x32");
    EXPECT_EQ(std::string(kMsgBadSignature.text), "\x93\xc7\x8d\x9e\x83\x47\x83\x89\x81\x5b\x31");
    EXPECT_EQ(std::string(kMsgDone.caption), "\x8a\x6d\x94\x46");
    EXPECT_EQ(std::string(kMsgNotSnd.text).size(), 26u);
    EXPECT_EQ(std::string(kMsgOldRename.text).substr(0, 8), "pOldFile");
    EXPECT_EQ(std::string(kMsgDefRename.text).substr(0, 8), "pDefFile");
}

TEST(SortDroppedFile, SilentEndsChangeNothing) {
    TempDir dir;
    fs::create_directory(dir / "folder.snd");
    MessageLog log;
    EXPECT_EQ(SortDroppedFile(dir.str("missing.snd").c_str()), DropResult::OpenFailed);
    EXPECT_EQ(SortDroppedFile(dir.str("folder.snd").c_str()), DropResult::OpenFailed);
    EXPECT_TRUE(log.shown.empty());
    EXPECT_EQ(FilesIn(dir.path()), std::vector<std::string>{"folder.snd"});
}

TEST(SortDroppedFile, SecondSortInOneFolderKeepsEveryVersion) {
    TempDir dir;
    const std::string original = BuildArchive(kRoad);
    {
        MessageLog log;
        ASSERT_EQ(DropIn(dir, original), DropResult::Sorted);
    }
    const std::string sorted = ReadBytes(dir / "fx.snd");
    MessageLog log;
    // The backup name is taken, so neither rename may go through, and there is no confirmation.
    EXPECT_EQ(SortDroppedFile(dir.str("fx.snd").c_str()), DropResult::RenameFailed);
    EXPECT_EQ(log.shown, (Shown{M(kMsgOldRename), M(kMsgDefRename)}));
    ExpectUntouched(dir.path(), {"fx.snd", "fx_new.snd", "fx_old.snd"}, "fx_old.snd", original);
    EXPECT_EQ(ReadBytes(dir / "fx.snd"), sorted);
    EXPECT_EQ(ReadBytes(dir / "fx_new.snd"), sorted);
}

bool Writable(const fs::path& path) {
    return (fs::status(path).permissions() & fs::perms::owner_write) != fs::perms::none;
}

void SetWritable(const fs::path& path, bool writable) {
    fs::permissions(path, fs::perms::owner_write | fs::perms::group_write | fs::perms::others_write,
                    writable ? fs::perm_options::add : fs::perm_options::remove);
}

// The sorted archive is as writable as the original was, whatever an earlier run left under the
// new archive's name: a leftover is replaced, never reused with its own access rights.
TEST(SortDroppedFile, SortedArchiveIsAsWritableAsTheOriginalWhateverTheLeftover) {
    enum Leftover { kNone, kWritable, kReadOnly };
    for (const bool originalWritable : {true, false}) {
        for (const Leftover leftover : {kNone, kWritable, kReadOnly}) {
            SCOPED_TRACE(std::string(originalWritable ? "writable" : "read-only") +
                         " original, leftover " + std::to_string(leftover));
            TempDir dir;
            const std::string original = BuildArchive(kRoad);
            WriteBytes(dir / "fx.snd", original);
            SetWritable(dir / "fx.snd", originalWritable);
            if (leftover != kNone) {
                // An earlier sort's work on these bytes, torn: the only kind that may go.
                WriteBytes(dir / "fx_new.snd", SortedOf(original).substr(0, 300));
                SetWritable(dir / "fx_new.snd", leftover == kWritable);
            }
            MessageLog log;
            EXPECT_EQ(SortDroppedFile(dir.str("fx.snd").c_str()), DropResult::Sorted);
            EXPECT_EQ(log.shown, Shown{M(kMsgDone)});
            ExpectSorted(dir.path(), "fx.snd", "fx_old.snd", original);
            EXPECT_EQ(Writable(dir / "fx.snd"), originalWritable);
            EXPECT_EQ(Writable(dir / "fx_old.snd"), originalWritable);
            for (const char* name : {"fx.snd", "fx_old.snd"}) SetWritable(dir / name, true);
        }
    }
}

// A new-archive name that is another name of a file the user keeps (the dropped file itself, or
// its backup from an earlier sort), another program's own file, or a folder, must not be emptied:
// the operation ends silently, before it writes anything, where that name leads to the dropped
// file itself or to a file that holds what this sort would not write.
TEST(SortDroppedFile, NewNameThatIsAnotherNameOfAKeptFileEndsSilently) {
    struct Case {
        const char* what;
        const char* target;  // what fx_new.snd is made another name of; null: it is a folder;
                             // "": a plain file of its own, another program's archive
        bool symbolic;
        DropResult result = DropResult::CreateFailed;
    } const cases[] = {
        {"a folder", nullptr, false},
        {"hard link to the dropped file", "fx.snd", false, DropResult::NameIsArchive},
        {"hard link to an earlier backup", "fx_old.snd", false, DropResult::WorkNameTaken},
        {"symbolic link to the dropped file", "fx.snd", true, DropResult::NameIsArchive},
        {"symbolic link to an earlier backup", "fx_old.snd", true, DropResult::WorkNameTaken},
        {"another program's own archive", "", false, DropResult::WorkNameTaken},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        TempDir dir;
        const std::string original = BuildArchive(kRoad);
        const std::string backup = BuildArchive({{7, 7, "earlier"}});
        WriteBytes(dir / "fx.snd", original);
        WriteBytes(dir / "fx_old.snd", backup);
        std::error_code ec;
        if (!c.target) {
            fs::create_directory(dir / "fx_new.snd");
        } else if (!*c.target) {
            WriteBytes(dir / "fx_new.snd", backup);
        } else if (c.symbolic) {
            fs::create_symlink(c.target, dir / "fx_new.snd", ec);
        } else {
            fs::create_hard_link(dir / c.target, dir / "fx_new.snd", ec);
        }
        if (ec) {
            std::printf("  skipped (%s): %s\n", c.what, ec.message().c_str());
            continue;  // symbolic links need a privilege on Windows
        }
        MessageLog log;
        EXPECT_EQ(SortDroppedFile(dir.str("fx.snd").c_str()), c.result);
        EXPECT_TRUE(log.shown.empty());
        EXPECT_EQ(ReadBytes(dir / "fx.snd"), original);
        ExpectUntouched(dir.path(), {"fx.snd", "fx_new.snd", "fx_old.snd"}, "fx_old.snd", backup);
        if (c.target && !*c.target) {
            EXPECT_EQ(ReadBytes(dir / "fx_new.snd"), backup);
        }
    }
}

}  // namespace

namespace {

// An archive dropped through a symbolic link: the names are the ones the user gave. The file the
// link leads to is read and never changed; the link itself becomes the backup, still leading to
// it, and the dropped name a plain file holding the sorted archive.
TEST(SortDroppedFile, ThroughASymbolicLinkTheLinkIsRenamedAndItsFileKept) {
    TempDir dir;
    fs::create_directory(dir / "store");
    const std::string original = BuildArchive(kRoad);
    WriteBytes(dir / "store" / "real.snd", original);
    std::error_code error;
    fs::create_symlink("store/real.snd", dir / "fx.snd", error);
    if (error) GTEST_SKIP() << "no symbolic links here: " << error.message();
    MessageLog log;
    EXPECT_EQ(SortDroppedFile(dir.str("fx.snd").c_str()), DropResult::Sorted);
    EXPECT_EQ(FilesIn(dir.path()), (std::vector<std::string>{"fx.snd", "fx_old.snd", "store"}));
    EXPECT_FALSE(fs::is_symlink(dir / "fx.snd"));
    EXPECT_EQ(SortedLayoutEntries(ReadBytes(dir / "fx.snd")), kRoadSorted);
    EXPECT_EQ(fs::read_symlink(dir / "fx_old.snd"), "store/real.snd");
    ExpectUntouched(dir / "store", {"real.snd"}, "real.snd", original);
}

}  // namespace
