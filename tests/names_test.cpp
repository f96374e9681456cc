// names_test.cpp: hostile file names and paths, from the shortest to the longest the system takes.
#include <gtest/gtest.h>

#include <algorithm>

#include "drop.h"
#include "pathutil.h"
#include "platform.h"
#include "support.h"

namespace {

const std::vector<TestEntry> kEntries = {{2, 0, "late"}, {1, 0, "early"}};

struct NameCase {
    std::string name;      // the dropped file's own name
    DropResult result;
    std::string backup;    // the backup's name when sorted, else ""
};

// Runs one drop of `name` inside a fresh folder and checks the messages and what is left there. The
// name is dropped as it is, with no folder before it (so that names up to the longest a file may
// have fit in the 259 bytes of a path), and must resolve where it was opened.
void Drop(const NameCase& c) {
    SCOPED_TRACE(std::to_string(c.name.size()) + "-byte name " + c.name.substr(0, 40));
    TempDir dir;
    const std::string original = BuildArchive(kEntries);
    WriteBytes(dir / c.name, original);
    fs::current_path(dir.path());
    MessageLog log;
    EXPECT_EQ(SortDroppedFile(c.name.c_str()), c.result);
    if (c.result == DropResult::Sorted) {
        EXPECT_EQ(log.shown, Shown{M(kMsgDone)});
        ExpectSorted(dir.path(), c.name, c.backup, original, {kEntries[1], kEntries[0]});
    } else {
        EXPECT_TRUE(log.shown.empty());
        ExpectUntouched(dir.path(), {c.name}, c.name, original);
    }
}

std::string Base(size_t n) { return std::string(n, 'n'); }

TEST(HostileNames, Table) {
    const NameCase cases[] = {
        {"fx.snd", DropResult::Sorted, "fx_old.snd"},
        {"FX.SND", DropResult::Sorted, "FX_old.snd"},
        {"fX.SnD", DropResult::Sorted, "fX_old.snd"},
        {".snd", DropResult::Sorted, "_old.snd"},
        {".SND", DropResult::Sorted, "_old.snd"},
        {"a.snd.snd", DropResult::Sorted, "a.snd_old.snd"},
        {"with space.snd", DropResult::Sorted, "with space_old.snd"},
        // The longest name whose derived names still fit in a 255-byte name: base of 247 bytes.
        {Base(247) + ".snd", DropResult::Sorted, Base(247) + "_old.snd"},
        // One byte more and the new name passes what a file name may hold: nothing is written.
        {Base(248) + ".snd", DropResult::CreateFailed, ""},
        {Base(251) + ".snd", DropResult::CreateFailed, ""},  // a name of exactly 255 bytes
    };
    for (const NameCase& c : cases) Drop(c);
}

TEST(HostileNames, NameOf256BytesCannotBeOpened) {
    TempDir dir;
    fs::current_path(dir.path());
    MessageLog log;
    EXPECT_EQ(SortDroppedFile((Base(252) + ".snd").c_str()), DropResult::OpenFailed);
    EXPECT_TRUE(log.shown.empty());
    EXPECT_TRUE(FilesIn(dir.path()).empty());
}

// The longest path a path buffer holds (PATH_MAX - 1 bytes on Linux) sorts; one byte more is
// refused before anything is written. On Windows the folder counts with each derived name, whose
// "_new.snd" is 4 bytes longer than ".snd": there the longest is 255 bytes.
TEST(HostileNames, LongestFullPathFitsAndNoLonger) {
    // The systems' own limits, terminating zero included: Windows' MAX_PATH, and Linux's PATH_MAX.
    const size_t system = kPlatPathSeparator == '\\' ? 260 : 4096;
    const size_t longest = system - 1 - (kPlatFullPathLimitsRelativeNames ? 4 : 0);
    for (const size_t total : {longest, longest + 1}) {
        SCOPED_TRACE(std::to_string(total) + "-byte path");
        TempDir dir;
        const std::string name = "fx.snd";
        // Folders of at most 200 bytes each, so that no single name is too long for the system.
        fs::path folder = dir.path();
        size_t room = total - folder.string().size() - 1 - name.size();
        while (room > 0) {
            size_t n = std::min<size_t>(200, room - 1);
            if (room - n - 1 == 1) --n;  // never leave room for a separator alone
            folder /= std::string(n, 'd');
            room -= n + 1;
        }
        fs::create_directories(folder);
        const std::string path = (folder / name).string();
        ASSERT_EQ(path.size(), total);
        fs::current_path(folder);  // the longer path may be too long to open from elsewhere
        WriteBytes(name, BuildArchive(kEntries));
        MessageLog log;
        const DropResult result = SortDroppedFile(path.c_str());
        if (total == longest) {
            EXPECT_EQ(result, DropResult::Sorted);
            EXPECT_EQ(FilesIn("."), (std::vector<std::string>{"fx.snd", "fx_old.snd"}));
        } else {
            // The system cannot open it, or the path does not fit the path buffer.
            EXPECT_TRUE(result == DropResult::NameTooLong || result == DropResult::OpenFailed);
            EXPECT_EQ(FilesIn("."), std::vector<std::string>{"fx.snd"});
        }
    }
}

}  // namespace
