// fault_test.cpp: one sort with each of its file calls failing in turn, to prove that no failure
// loses the dropped file's bytes, leaves a partial archive, or ends in a confirmation.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <fstream>
#include <set>

#include "drop.h"
#include "faulty_platform.h"
#include "messages.h"
#include "platform.h"
#include "support.h"

namespace {

using namespace std::chrono_literals;

// Several entries out of order, an empty one, and one that takes several pieces of the 1 MiB copy
// buffer.
std::string Original() {
    return BuildArchive({{3, 1, Pattern(300, 1)},
                         {0, 9, ""},
                         {2, 0, Pattern((5u << 19) + 77, 2)},
                         {0, 2, Pattern(4000, 3)},
                         {3, 0, Pattern(17, 4)}},
                        {3000000, 600, 1200, 4000000, 700});
}

// A second run on the same archive, started at one moment of the first.
DropResult gSecondRun;
void SecondRun(const std::string& path) { gSecondRun = SortDroppedFile(path.c_str()); }

struct Mode {
    const char* name;
    Fault fault;
    bool copyInKernel;
    bool secondRun;  // instead of breaking call n, start another sort of the archive before it
};

void PrintTo(const Mode& mode, std::ostream* os) { *os << mode.name; }

class FaultInjection : public ::testing::TestWithParam<Mode> {};

TEST_P(FaultInjection, EveryCallFailingInTurnLeavesTheOriginalSafe) {
    const Mode mode = GetParam();
    const std::string original = Original();

    // A run without faults: the calls a sort makes, and the archive it writes.
    std::string sorted;
    std::vector<std::string> calls;
    {
        TempDir dir;
        MessageLog log;
        SetFaultPlan({0, mode.fault, mode.copyInKernel, 0, {}});
        ASSERT_EQ(DropIn(dir, original), DropResult::Sorted);
        calls = FaultCalls();
        EXPECT_TRUE(UnflushedRenames().empty());
        sorted = ReadBytes(dir / "fx.snd");
    }
    const std::set<std::string> kinds(calls.begin(), calls.end());
    for (const char* kind : {"PlatOpenRead", "PlatLock", "PlatStateOf", "PlatStateAt",
                             "PlatReadAt", "PlatCreate", "PlatWrite", "PlatFlush",
                             "PlatClose", "PlatRenameNoReplace", "PlatSetCurrentDirectory",
                             "PlatFlushDirectory"}) {
        EXPECT_TRUE(kinds.count(kind)) << "a sort makes no call of " << kind;
    }
    EXPECT_EQ(kinds.count("PlatCopyRange"), mode.copyInKernel ? 1u : 0u);

    for (int n = 1; n <= static_cast<int>(calls.size()); ++n) {
        SCOPED_TRACE("call " + std::to_string(n) + " of " + std::to_string(calls.size()) + ", " +
                     calls[n - 1] + " broken");
        TempDir dir;
        WriteBytes(dir / "fx.snd", original);
        // The sort starts elsewhere, beside a decoy of the same name: were a failed change of
        // directory ignored, the relative names would sort and rename the decoy.
        TempDir elsewhere;
        WriteBytes(elsewhere / "fx.snd", original);
        fs::current_path(elsewhere.path());
        MessageLog log;
        const std::string path = dir.str("fx.snd");
        gSecondRun = DropResult::Checked;
        SetFaultPlan(mode.secondRun
                         ? FaultPlan{0, mode.fault, mode.copyInKernel, n, [path] { SecondRun(path); }}
                         : FaultPlan{n, mode.fault, mode.copyInKernel, 0, {}});
        const DropResult result = SortDroppedFile(dir.str("fx.snd").c_str());
        const std::string hit = FaultHit();
        const std::vector<std::string> unflushed = UnflushedRenames();
        SetFaultPlan({});

        std::string atName, atOld, atNew;
        const std::string* held[] = {Held(dir / "fx.snd", atName), Held(dir / "fx_old.snd", atOld),
                                     Held(dir / "fx_new.snd", atNew)};
        EXPECT_EQ(hit, mode.secondRun ? "" : calls[n - 1]);
        // The second run ends at once while the first holds the archive. Started before the first
        // took the lock, it sorts, and the first finds the archive changed or, started before the
        // first opened it, sorts the sorted archive and finds the backup's name taken; started
        // once the first renamed it, it is the one to find the name taken.
        const bool sortedOnce = result == DropResult::Sorted || gSecondRun == DropResult::Sorted;
        const bool sortedTwice =
            result == DropResult::RenameFailed || gSecondRun == DropResult::RenameFailed;
        const auto first = [&calls](const char* kind) {
            return std::find(calls.begin(), calls.end(), kind) - calls.begin() + 1;
        };
        if (mode.secondRun && n > first("PlatLock") && n <= first("PlatRenameNoReplace")) {
            EXPECT_EQ(gSecondRun, DropResult::Busy) << "a second run went on beside the first";
        } else if (mode.secondRun) {
            EXPECT_TRUE(gSecondRun == DropResult::Busy || gSecondRun == DropResult::OpenFailed ||
                        (sortedOnce && (sortedTwice || result == DropResult::Changed)))
                << "first run " << static_cast<int>(result) << ", second "
                << static_cast<int>(gSecondRun);
        }
        EXPECT_EQ(BrokenPromise(held[0], held[1], original, sorted, log.confirmed()), "");
        EXPECT_EQ(log.confirmed(), sortedOnce);
        if (held[2] != nullptr) {
            EXPECT_TRUE(hit == "PlatRenameNoReplace" || sortedTwice)
                << "a partial archive is left behind";
            EXPECT_TRUE(atNew == sorted) << "the archive left under the new name is not whole";
        }
        EXPECT_TRUE(unflushed.empty()) << "renamed before it was on the disk: " << unflushed[0];
        ExpectUntouched(elsewhere.path(), {"fx.snd"}, "fx.snd", original);  // a file elsewhere
    }
}

INSTANTIATE_TEST_SUITE_P(Modes, FaultInjection,
                         ::testing::Values(Mode{"Fail", Fault::Fail, true, false},
                                           Mode{"Short", Fault::Short, true, false},
                                           Mode{"FailBuffered", Fault::Fail, false, false},
                                           Mode{"ShortBuffered", Fault::Short, false, false},
                                           Mode{"SecondRun", Fault::Fail, true, true}),
                         [](const ::testing::TestParamInfo<Mode>& info) { return info.param.name; });

// Another program at work in the folder at one moment of a sort: a save of the archive, in place
// (seconds later, as a person saves) or as a new file renamed over it, or a file of its own under
// the new archive's name. The sort renames nothing that is not what it read and wrote, gives back
// a name it took, and never confirms. Windows refuses a save in place, and may refuse one under
// the archive's name, while the sort has the archive open; the sort then goes on.
TEST(Interleavings, ChangesUnderTheSortKeepTheirFilesAndAreNeverConfirmed) {
    const std::string original = Original();
    const std::string saved = BuildArchive({{7, 7, Pattern(original.size() - 528, 9)}});
    ASSERT_EQ(saved.size(), original.size());
    std::vector<std::string> calls;
    {
        TempDir dir;
        MessageLog log;
        SetFaultPlan({});
        ASSERT_EQ(DropIn(dir, original), DropResult::Sorted);
        calls = FaultCalls();
    }
    enum Act { InPlace, Anew, NewNameTaken };
    struct Case {
        const char* what;
        Act act;
        const char* before;  // the call it comes before
        int nth;             // which of them
        int renames;         // how many the sort makes: none where a check saw it coming
    } const cases[] = {
        {"saved in place before the copy", InPlace, "PlatCreate", 1, 0},
        {"saved anew before the copy", Anew, "PlatCreate", 1, 0},
        {"saved in place after the copy", InPlace, "PlatStateAt", 1, 0},
        {"saved anew after the copy", Anew, "PlatStateAt", 1, 0},
        {"saved anew between the last check and the rename", Anew, "PlatRenameNoReplace", 1, 2},
        {"new name taken after the copy", NewNameTaken, "PlatStateAt", 1, 0},
        {"new name taken after the first rename", NewNameTaken, "PlatStateAt", 4, 2},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        TempDir dir;
        WriteBytes(dir / "fx.snd", original);
        int at = 0;
        for (int seen = 0; at < static_cast<int>(calls.size()) && seen < c.nth; ++at) {
            seen += calls[at] == c.before;
        }
        bool refused = false;
        const auto act = [&] {
            if (c.act == InPlace) {
                std::ofstream out(dir / "fx.snd", std::ios::binary | std::ios::in);
                refused = !(out << saved && out.flush());
                out.close();
                if (!refused) {
                    fs::last_write_time(dir / "fx.snd", fs::last_write_time(dir / "fx.snd") + 5s);
                }
            } else if (c.act == Anew) {
                WriteBytes(dir / "fx.tmp", saved);
                std::error_code error;
                fs::rename(dir / "fx.tmp", dir / "fx.snd", error);
                refused = static_cast<bool>(error);
                if (refused) fs::remove(dir / "fx.tmp");
            } else {
                fs::remove(dir / "fx_new.snd");
                WriteBytes(dir / "fx_new.snd", "theirs");
            }
        };
        MessageLog log;
        SetFaultPlan({0, Fault::Fail, true, at, act});
        const DropResult result = SortDroppedFile(dir.str("fx.snd").c_str());
        const auto renames = std::count(FaultCalls().begin(), FaultCalls().end(),
                                        std::string("PlatRenameNoReplace"));
        SetFaultPlan({});
        // Windows refuses every write of the open archive; it may refuse a rename over it too.
        const bool windows = kPlatPathSeparator == '\\';
        EXPECT_TRUE(c.act == InPlace ? refused == windows : !refused || windows);
        if (refused) {
            EXPECT_EQ(result, DropResult::Sorted);
            ExpectUntouched(dir.path(), {"fx.snd", "fx_old.snd"}, "fx_old.snd", original);
            continue;
        }
        EXPECT_EQ(result, DropResult::Changed);
        EXPECT_EQ(renames, c.renames);
        EXPECT_TRUE(log.shown.empty());
        if (c.act == NewNameTaken) {
            ExpectUntouched(dir.path(), {"fx.snd", "fx_new.snd"}, "fx.snd", original);
            EXPECT_EQ(ReadBytes(dir / "fx_new.snd"), "theirs");
        } else {
            ExpectUntouched(dir.path(), {"fx.snd"}, "fx.snd", saved);  // the save keeps its name
        }
    }
}

}  // namespace
