// fault_test.cpp: one sort with each of its file calls failing in turn, to prove that no failure
// loses the dropped file's bytes, leaves a partial archive, or ends in a confirmation.
#include <gtest/gtest.h>

#include <algorithm>
#include <set>

#include "drop.h"
#include "faulty_platform.h"
#include "messages.h"
#include "support.h"

namespace {

std::string Pattern(size_t n, int seed) {
    std::string s(n, '\0');
    for (size_t i = 0; i < n; ++i) s[i] = static_cast<char>((i * 31 + seed * 7) >> 3);
    return s;
}

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

bool Confirmed(const MessageLog& log) {
    return std::find(log.shown.begin(), log.shown.end(),
                     std::pair<std::string, std::string>(kMsgDone.text, kMsgDone.caption)) !=
           log.shown.end();
}

std::string BytesOrNone(const fs::path& path) {
    return fs::exists(path) ? ReadBytes(path) : std::string("<none>");
}

struct Mode {
    const char* name;
    Fault fault;
    bool copyInKernel;
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
        WriteBytes(dir / "fx.snd", original);
        MessageLog log;
        SetFaultPlan({0, mode.fault, mode.copyInKernel});
        ASSERT_EQ(SortDroppedFile(dir.str("fx.snd").c_str()), DropResult::Sorted);
        calls = FaultCalls();
        EXPECT_TRUE(UnflushedRenames().empty());
        sorted = ReadBytes(dir / "fx.snd");
    }
    const std::set<std::string> kinds(calls.begin(), calls.end());
    for (const char* kind : {"PlatOpenRead", "PlatReadAt", "PlatCreate", "PlatWrite", "PlatFlush",
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
        SetFaultPlan({n, mode.fault, mode.copyInKernel});
        const DropResult result = SortDroppedFile(dir.str("fx.snd").c_str());
        const std::string hit = FaultHit();
        const std::vector<std::string> unflushed = UnflushedRenames();
        SetFaultPlan({});

        const std::string atName = BytesOrNone(dir / "fx.snd");
        const std::string atOld = BytesOrNone(dir / "fx_old.snd");
        const std::string atNew = BytesOrNone(dir / "fx_new.snd");
        EXPECT_EQ(hit, calls[n - 1]);
        EXPECT_TRUE(atName == original || atOld == original) << "the dropped file's bytes are lost";
        EXPECT_TRUE(atName == "<none>" || atName == original || atName == sorted)
            << "the dropped file's name holds neither the original nor the sorted archive";
        if (Confirmed(log)) {
            EXPECT_TRUE(atName == sorted) << "confirmed, but the sorted archive lacks the name";
            EXPECT_TRUE(atOld == original) << "confirmed, but the backup is not the original";
        }
        EXPECT_EQ(Confirmed(log), result == DropResult::Sorted);
        if (atNew != "<none>") {
            EXPECT_EQ(hit, "PlatRenameNoReplace") << "a partial archive is left behind";
            EXPECT_TRUE(atNew == sorted) << "the archive left under the new name is not whole";
        }
        EXPECT_TRUE(unflushed.empty()) << "renamed before it was on the disk: " << unflushed[0];
        EXPECT_EQ(FilesIn(elsewhere.path()), std::vector<std::string>{"fx.snd"});
        EXPECT_TRUE(ReadBytes(elsewhere / "fx.snd") == original) << "a file elsewhere was touched";
    }
}

INSTANTIATE_TEST_SUITE_P(Modes, FaultInjection,
                         ::testing::Values(Mode{"Fail", Fault::Fail, true},
                                           Mode{"Short", Fault::Short, true},
                                           Mode{"FailBuffered", Fault::Fail, false},
                                           Mode{"ShortBuffered", Fault::Short, false}),
                         [](const ::testing::TestParamInfo<Mode>& info) { return info.param.name; });

}  // namespace
