// fault_test.cpp: one sort with each of its file calls failing in turn, to prove that no failure
// loses the dropped file's bytes, leaves a partial archive, or ends in a confirmation.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <fstream>
#include <map>
#include <sstream>
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

// How a second run on the same archive, started at one moment of the first, ended.
DropResult gSecondRun;

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
        MessageLog log;
        SetFaultPlan({.fault = mode.fault, .copyInKernel = mode.copyInKernel, .act = {}});
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
        SetFaultPlan(
            {.failAt = n, .fault = mode.fault, .copyInKernel = mode.copyInKernel, .act = {}});
        const DropResult result = SortDroppedFile(dir.str("fx.snd").c_str());
        const std::string hit = FaultHit();
        const std::vector<std::string> unflushed = UnflushedRenames();
        SetFaultPlan({});

        std::string atName, atOld, atNew;
        const std::string* held[] = {Held(dir / "fx.snd", atName), Held(dir / "fx_old.snd", atOld),
                                     Held(dir / "fx_new.snd", atNew)};
        EXPECT_EQ(hit, calls[n - 1]);
        EXPECT_EQ(BrokenPromise(held[0], held[1], original, sorted, log.confirmed()), "");
        EXPECT_EQ(log.confirmed(), result == DropResult::Sorted);
        if (held[2] != nullptr) {
            EXPECT_EQ(hit, "PlatRenameNoReplace") << "a partial archive is left behind";
            EXPECT_TRUE(atNew == sorted) << "the archive left under the new name is not whole";
        }
        EXPECT_TRUE(unflushed.empty()) << "renamed before it was on the disk: " << unflushed[0];
        ExpectUntouched(elsewhere.path(), {"fx.snd"}, "fx.snd", original);  // a file elsewhere
    }
}

INSTANTIATE_TEST_SUITE_P(Modes, FaultInjection,
                         ::testing::Values(Mode{"Fail", Fault::Fail, true},
                                           Mode{"Short", Fault::Short, true},
                                           Mode{"FailBuffered", Fault::Fail, false},
                                           Mode{"ShortBuffered", Fault::Short, false}),
                         [](const ::testing::TestParamInfo<Mode>& info) { return info.param.name; });

// Another program at work in the folder at every moment of a sort, from every starting layout of
// the names: before each platform call of the sort, and once it has returned, one act of another
// program or of a second run. After each, whatever any party wrote keeps a name, the dropped
// file's name holds the original, the other program's version or a whole sorted archive, and a
// confirmation is shown only while the dropped file's name holds the sorted archive of the bytes
// under the backup name, and those are the bytes of the original or of another program's save.
enum class Layout { Clean, Leftover, NewLinksToName, NameLinksToNew, NameLinksToOld, NewHardLink,
                    NewFolder };
enum class Act { SaveAnew, EditInPlace, CopyInPlace, OverNew, OverNewSameSize, OverOld, RemoveNew,
                 SecondRun };
constexpr const char* kLayoutNames[] = {"clean", "leftover", "fx_new.snd -> fx.snd",
                                        "fx.snd -> fx_new.snd", "fx.snd -> fx_old.snd",
                                        "fx_new.snd a hard link of fx.snd", "fx_new.snd a folder"};
constexpr const char* kActNames[] = {"saves fx.snd anew", "edits fx.snd in place",
                                     "copies over fx.snd keeping size and time",
                                     "renames its file over fx_new.snd",
                                     "renames its file of the sorted size over fx_new.snd",
                                     "renames its file over fx_old.snd", "removes fx_new.snd",
                                     "starts a second run"};

// The bytes of the plain file a name leads to, links followed; "" for a name that leads to none, or
// to a file that cannot be read now (Windows: the new archive, while the sort writes it).
std::string At(const fs::path& path) {
    std::error_code error;
    std::ifstream in(path, std::ios::binary);
    if (!fs::is_regular_file(path, error) || !in) return "";
    std::ostringstream bytes;
    bytes << in.rdbuf();
    return std::move(bytes).str();
}

// The bytes of every plain file in the folder (links not followed) that can be read now.
std::multiset<std::string> Contents(const fs::path& dir) {
    std::multiset<std::string> held;
    for (const auto& item : fs::directory_iterator(dir)) {
        if (item.is_regular_file() && !item.is_symlink()) held.insert(At(item.path()));
    }
    return held;
}

// Waits until the file system's clock has moved on since the call, so that what is written next
// does not bear the time of what was written before it. The time is the platform's own, in its
// finest unit (the C++ library's may count whole seconds).
void NextTick(const fs::path& probe) {
    const auto now = [&probe] {
        WriteBytes(probe, "");
        PlatFileState state{};
        EXPECT_TRUE(PlatStateAt(probe.string().c_str(), &state));
        return state.writeTime;
    };
    for (const int64_t then = now(); now() == then;) {
    }
}

// A file of another program's, written a while ago.
void Theirs(const fs::path& path, const std::string& bytes) {
    WriteBytes(path, bytes);
    fs::last_write_time(path, fs::last_write_time(path) - 10s);
}

struct Cell {
    fs::path dir;
    fs::path probe;
    Act act = Act::SaveAnew;
    std::vector<std::string> wrote;  // the versions the act wrote, once it took effect
    bool originalBefore = false;     // the original's bytes had a name right before the act
    bool originalAfter = false;      // and right after it
    std::pair<std::string, std::string> before;  // (fx.snd, fx_old.snd) right before the act
    std::vector<std::pair<std::string, std::string>> confirmed;  // (fx.snd, fx_old.snd) then
    Shown shown;
};

void RunAct(Cell& c, const std::string& original, size_t sortedSize) {
    const fs::path name = c.dir / "fx.snd";
    c.originalBefore = Contents(c.dir).count(original) > 0;
    c.before = {At(name), At(c.dir / "fx_old.snd")};
    std::error_code error;
    const auto renameOver = [&](const std::string& bytes, const char* target) {
        Theirs(c.dir / "their.tmp", bytes);
        fs::rename(c.dir / "their.tmp", c.dir / target, error);
        if (error) fs::remove(c.dir / "their.tmp");
        return bytes;
    };
    std::string wrote;
    switch (c.act) {
        case Act::SaveAnew: wrote = renameOver(Pattern(original.size(), 21), "fx.snd"); break;
        case Act::EditInPlace:
        case Act::CopyInPlace: {
            const bool keep = c.act == Act::CopyInPlace && fs::exists(name);
            const auto time = keep ? fs::last_write_time(name) : fs::file_time_type{};
            wrote = Pattern(keep ? fs::file_size(name) : 99, 22);
            NextTick(c.probe);
            std::ofstream out(name, std::ios::binary | (keep ? std::ios::in : std::ios::trunc));
            if (!(out << wrote && out.flush())) error = std::make_error_code(std::errc::io_error);
            out.close();
            if (keep && !error) fs::last_write_time(name, time);
            break;
        }
        case Act::OverNew: wrote = renameOver("theirs", "fx_new.snd"); break;
        case Act::OverNewSameSize: wrote = renameOver(Pattern(sortedSize, 23), "fx_new.snd"); break;
        case Act::OverOld: wrote = renameOver("theirs", "fx_old.snd"); break;
        case Act::RemoveNew: fs::remove(c.dir / "fx_new.snd", error); break;
        case Act::SecondRun: gSecondRun = SortDroppedFile(name.string().c_str()); break;
    }
    if (!error && !wrote.empty()) c.wrote.push_back(wrote);
    c.originalAfter = Contents(c.dir).count(original) > 0;
}

void Record(const char* text, const char* caption, void* context) {
    Cell& c = *static_cast<Cell*>(context);
    c.shown.emplace_back(text, caption);
    if (M(kMsgDone) == c.shown.back()) {
        c.confirmed.emplace_back(At(c.dir / "fx.snd"), At(c.dir / "fx_old.snd"));
    }
}

// Lays out the names; false where this system cannot make them (symbolic links on Windows).
bool LayOut(const fs::path& dir, Layout layout, const std::string& original) {
    std::error_code error;
    const bool homeNew = layout == Layout::NameLinksToNew, homeOld = layout == Layout::NameLinksToOld;
    const fs::path home = dir / (homeNew ? "fx_new.snd" : homeOld ? "fx_old.snd" : "fx.snd");
    Theirs(home, original);
    if (homeNew || homeOld) fs::create_symlink(home.filename(), dir / "fx.snd", error);
    if (layout == Layout::Leftover) WriteBytes(dir / "fx_new.snd", "left by an earlier run");
    if (layout == Layout::NewLinksToName) fs::create_symlink("fx.snd", dir / "fx_new.snd", error);
    if (layout == Layout::NewHardLink) fs::create_hard_link(home, dir / "fx_new.snd", error);
    if (layout == Layout::NewFolder) fs::create_directory(dir / "fx_new.snd");
    return !error;
}

TEST(Interleavings, AnotherProgramAtEveryCallFromEveryLayout) {
    // Out of order, with a gap, so that the sorted archive is shorter than the original.
    const std::string original =
        BuildArchive({{2, 0, Pattern(3000, 1)}, {0, 1, ""}, {1, 5, Pattern(40, 2)}}, {512, 3600, 3700});
    TempDir probes;
    std::map<std::string, std::string> sortedOf;  // each version's sorted archive
    const auto sorted = [&](const std::string& bytes) -> const std::string& {
        if (!sortedOf.count(bytes)) {
            TempDir scratch;
            MessageLog log;
            const bool ok = DropIn(scratch, bytes) == DropResult::Sorted;
            sortedOf[bytes] = ok ? ReadBytes(scratch / "fx.snd") : "(not an archive)";
        }
        return sortedOf[bytes];
    };
    SetFaultPlan({});
    const size_t sortedSize = sorted(original).size();
    int cells = 0;
    for (int l = 0; l < static_cast<int>(std::size(kLayoutNames)); ++l) {
        const auto layout = static_cast<Layout>(l);
        std::vector<std::string> calls;
        {
            TempDir dir;
            MessageLog log;
            if (!LayOut(dir.path(), layout, original)) {
                std::printf("  skipped layout %s: this system cannot make it\n", kLayoutNames[l]);
                continue;
            }
            SetFaultPlan({});
            SortDroppedFile(dir.str("fx.snd").c_str());
            calls = FaultCalls();
        }
        const auto first = [&calls](const char* kind) {
            return std::find(calls.begin(), calls.end(), kind) - calls.begin() + 1;
        };
        for (int at = 1; at <= static_cast<int>(calls.size()) + 1; ++at) {
            for (int a = 0; a < static_cast<int>(std::size(kActNames)); ++a) {
                const bool after = at > static_cast<int>(calls.size());
                SCOPED_TRACE(std::string(kLayoutNames[l]) + ": another program " + kActNames[a] +
                             (after ? " after the sort" : " before call " + std::to_string(at) +
                                                              ", " + calls[at - 1]));
                ++cells;
                TempDir dir;
                LayOut(dir.path(), layout, original);
                Cell cell;
                cell.dir = dir.path();
                cell.probe = probes / "probe";
                cell.act = static_cast<Act>(a);
                gSecondRun = DropResult::Checked;
                PlatSetMessageSink(Record, &cell);
                const auto act = [&] { RunAct(cell, original, sortedSize); };
                SetFaultPlan({.actAt = after ? 0 : at, .act = act});
                const DropResult result = SortDroppedFile(dir.str("fx.snd").c_str());
                const std::vector<std::string> unflushed = UnflushedRenames();
                if (after) act();
                PlatSetMessageSink(nullptr, nullptr);
                SetFaultPlan({});

                const auto held = Contents(dir.path());
                EXPECT_TRUE(held.count(original) || (cell.originalBefore && !cell.originalAfter))
                    << "the original's bytes have no name";
                // A file under fx_new.snd before the sort makes its archive there is a leftover, which
                // the sort deletes.
                const bool leftover = (cell.act == Act::OverNew || cell.act == Act::OverNewSameSize) &&
                                      at <= first("PlatCreate");
                for (const std::string& version : cell.wrote) {
                    EXPECT_TRUE(held.count(version) || leftover) << "the other program's file has no name";
                }
                std::vector<std::string> versions = {original};
                versions.insert(versions.end(), cell.wrote.begin(), cell.wrote.end());
                const auto isSorted = [&](const std::string& bytes) {
                    return std::any_of(versions.begin(), versions.end(),
                                       [&](const std::string& v) { return bytes == sorted(v); });
                };
                const std::string atName = At(dir / "fx.snd");
                const bool warned = std::count(cell.shown.begin(), cell.shown.end(), M(kMsgDefRename));
                // Its own save, or its file where fx.snd is a link to the name it put it under.
                const bool theirs = (cell.act <= Act::CopyInPlace || fs::is_symlink(dir / "fx.snd")) &&
                                    !cell.wrote.empty();
                EXPECT_TRUE(atName == original || (theirs && atName == cell.wrote[0]) ||
                            isSorted(atName) ||
                            (atName.empty() && (warned || (cell.originalBefore && !cell.originalAfter))))
                    << "fx.snd holds something else";
                const std::string atOld = At(dir / "fx_old.snd");
                EXPECT_TRUE(atOld.empty() || std::count(versions.begin(), versions.end(), atOld))
                    << "fx_old.snd holds something else";
                if (fs::is_regular_file(dir / "fx_new.snd") && !fs::is_symlink(dir / "fx_new.snd")) {
                    const std::string atNew = ReadBytes(dir / "fx_new.snd");
                    EXPECT_TRUE(std::count(versions.begin(), versions.end(), atNew) ||
                                isSorted(atNew) || atNew == "left by an earlier run")
                        << "a partial archive is left under fx_new.snd";
                }
                // Each name is judged as the sort last saw it: the last call of a confirmed sort looks
                // at fx_old.snd, the one before it at fx.snd. A write in place that puts back the
                // size and last write time shows only in the change time, which a rename moves too:
                // it passes unseen between the last look before a rename and the first after it.
                const long firstRename = first("PlatRenameNoReplace");
                const bool unseen = cell.act == Act::CopyInPlace &&
                                    (at == firstRename || at == firstRename + 4);
                for (auto [name, old] : cell.confirmed) {
                    if (at == static_cast<int>(calls.size())) name = cell.before.first;
                    EXPECT_TRUE((std::count(versions.begin(), versions.end(), old) &&
                                 name == sorted(old)) || unseen)
                        << "confirmed, but fx.snd is not the sorted archive of fx_old.snd";
                }
                EXPECT_EQ(cell.confirmed.size(), size_t{result == DropResult::Sorted} +
                                                     size_t{gSecondRun == DropResult::Sorted});
                EXPECT_TRUE(unflushed.empty()) << "renamed before it was on the disk";
                if (cell.act == Act::SecondRun && at > first("PlatLock") &&
                    at <= first("PlatRenameNoReplace") &&
                    first("PlatRenameNoReplace") <= static_cast<long>(calls.size())) {
                    EXPECT_EQ(gSecondRun, DropResult::Busy) << "a second run went on beside the first";
                }
            }
        }
    }
    std::printf("  %d cells: layouts, acts of another program, and the moments before each call\n",
                cells);
}

}  // namespace
