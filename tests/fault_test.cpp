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

}  // namespace

// The POSIX shim's switch (syscall_shim.h); on Windows a stand-in that cannot set any.
bool SetSyscallFaults(const char* plan);

namespace {

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

        SortEnd end;
        end.files = FilesWithBytes(dir.path());
        end.original = original;
        if (log.confirmed()) end.confirmed.emplace_back(end.files["fx.snd"], end.files["fx_old.snd"]);
        EXPECT_EQ(hit, calls[n - 1]);
        EXPECT_EQ(BrokenPromise(end, [&](const std::string& v) { return v == original ? sorted : ""; }),
                  "");
        EXPECT_EQ(log.confirmed(), result == DropResult::Sorted);
        if (end.files.count("fx_new.snd")) {
            EXPECT_EQ(hit, "PlatRenameNoReplace") << "an archive is left behind";
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
// program or of a second run; then a second sort. After the first sort and again after the second,
// the end is held against the promise (BrokenPromise), each name as the sort last saw it.
enum class Layout { Clean, Leftover, NewLinksToName, NameLinksToNew, NameLinksToOld, NewHardLink,
                    NewFolder, NoSafeRename, NameLinksToFile, TheirsUnderNew, InABatch };
struct LayoutRow {
    const char* name;
    DropResult undisturbed;  // how a sort from it ends with nobody else at work
};
constexpr LayoutRow kLayouts[] = {
    {"clean", DropResult::Sorted},
    {"an earlier sort's torn fx_new.snd", DropResult::Sorted},
    {"fx_new.snd -> fx.snd", DropResult::NameIsArchive},
    {"fx.snd -> fx_new.snd", DropResult::NameIsArchive},
    {"fx.snd -> fx_old.snd", DropResult::NameIsArchive},
    {"fx_new.snd a hard link of fx.snd", DropResult::NameIsArchive},
    {"fx_new.snd a folder", DropResult::CreateFailed},
    {"no RENAME_NOREPLACE (link, then the name dropped)", DropResult::Sorted},
    {"fx.snd -> real.snd", DropResult::Sorted},
    {"another program's own archive as fx_new.snd", DropResult::WorkNameTaken},
    {"after a.snd, sorted together", DropResult::Sorted},
};

// The archives sorted together in the layout InABatch, fx.snd among them, and where the calls of
// fx.snd's own steps begin and end among all the batch's calls.
constexpr const char* kBatch[] = {"a.snd", "fx.snd"};
constexpr size_t kFxInBatch = 1;
size_t gStepOf = kFxInBatch;         // whose step the batch is taking now
bool gActing = false;                // another program's act is under way
std::vector<size_t> gFxSteps;        // the call count at each begin and end of one of fx's steps

void BatchStep(size_t k, bool begins, void*) {
    gStepOf = begins ? k : kFxInBatch;
    if (k == kFxInBatch) gFxSteps.push_back(FaultCalls().size());
}

// Sorts fx.snd in `dir` as the layout has it: alone, or together with a.snd.
DropResult SortIn(const fs::path& dir, Layout layout) {
    if (layout != Layout::InABatch) return SortDroppedFile((dir / "fx.snd").string().c_str());
    fs::current_path(dir);
    const BackupName backups[std::size(kBatch)] = {};
    DropResult results[std::size(kBatch)];
    gFxSteps.clear();
    SortTogether(kBatch, std::size(kBatch), backups, BatchStep, nullptr, results);
    return results[kFxInBatch];
}
enum class Act { SaveAnew, EditInPlace, CopyInPlace, OverNew, OverNewSameSize, OverOld, RemoveNew,
                 RemoveName, IntoNew, SecondRun };
constexpr const char* kActNames[] = {"saves fx.snd anew", "edits fx.snd in place",
                                     "copies over fx.snd keeping size and time",
                                     "renames its file over fx_new.snd",
                                     "renames its file of the sorted size over fx_new.snd",
                                     "renames its file over fx_old.snd", "removes fx_new.snd",
                                     "removes fx.snd", "rewrites the closed fx_new.snd in place",
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

// Whether these bytes have a plain file's name in the folder now.
bool Named(const fs::path& dir, const std::string& bytes) {
    const auto files = FilesWithBytes(dir);
    return std::any_of(files.begin(), files.end(), [&](const auto& f) { return f.second == bytes; });
}

struct Cell {
    fs::path dir;
    fs::path probe;
    Act act = Act::SaveAnew;
    SortEnd end;
    std::string before;  // fx.snd right before the act
};

void RunAct(Cell& c, size_t sortedSize) {
    const fs::path name = c.dir / "fx.snd";
    // What the act itself takes away is the other program's doing.
    const bool originalBefore = Named(c.dir, c.end.original);
    std::vector<std::pair<std::string, std::string>> theirsBefore;
    for (const auto& theirs : c.end.theirs) {
        if (At(c.dir / theirs.first) == theirs.second) theirsBefore.push_back(theirs);
    }
    // A write in place goes to the file the name leads to: through a link, the link's file.
    std::error_code error;
    const std::string edited =
        fs::is_symlink(name, error) ? fs::read_symlink(name, error).filename().string() : "fx.snd";
    c.before = At(name);
    const auto renameOver = [&](const std::string& bytes, const std::string& target) {
        Theirs(c.dir / "their.tmp", bytes);
        fs::rename(c.dir / "their.tmp", c.dir / target, error);
        if (error) fs::remove(c.dir / "their.tmp");
        return bytes;
    };
    const auto inPlace = [&](const fs::path& path, bool keep, size_t size, unsigned seed) {
        if (!fs::is_regular_file(path, error)) return std::string();
        const auto time = keep ? fs::last_write_time(path) : fs::file_time_type{};
        const std::string bytes = Pattern(keep ? fs::file_size(path) : size, seed);
        NextTick(c.probe);
        std::ofstream out(path, std::ios::binary | (keep ? std::ios::in : std::ios::trunc));
        if (!(out << bytes && out.flush())) error = std::make_error_code(std::errc::io_error);
        out.close();
        if (keep && !error) fs::last_write_time(path, time);
        return bytes;
    };
    std::string wrote;
    std::string as = "fx.snd";  // the name it gives what it wrote
    switch (c.act) {
        case Act::SaveAnew: wrote = renameOver(Pattern(c.end.original.size(), 21), "fx.snd"); break;
        case Act::EditInPlace: wrote = inPlace(name, false, 99, 22), as = edited; break;
        case Act::CopyInPlace: wrote = inPlace(name, fs::exists(name), 99, 22), as = edited; break;
        case Act::OverNew: wrote = renameOver("theirs", as = "fx_new.snd"); break;
        case Act::OverNewSameSize: wrote = renameOver(Pattern(sortedSize, 23), as = "fx_new.snd"); break;
        case Act::OverOld: wrote = renameOver("theirs", as = "fx_old.snd"); break;
        case Act::RemoveNew:
        case Act::RemoveName: {
            // What it removes is gone by its doing, also where Windows keeps the name of a file
            // still open until it is closed.
            const fs::path removed = c.act == Act::RemoveNew ? c.dir / "fx_new.snd" : name;
            const std::string bytes = fs::is_symlink(removed, error) ? "" : At(removed);
            if (fs::remove(removed, error) && !bytes.empty()) {
                c.end.originalTaken = c.end.originalTaken || bytes == c.end.original;
                std::erase_if(c.end.theirs, [&](const auto& t) { return t.second == bytes; });
            }
            break;
        }
        case Act::IntoNew: wrote = inPlace(c.dir / (as = "fx_new.snd"), false, 99, 24); break;
        case Act::SecondRun:
            gActing = true;
            gSecondRun = SortDroppedFile(name.string().c_str());
            gActing = false;
            break;
    }
    for (const auto& theirs : theirsBefore) {
        if (At(c.dir / theirs.first) != theirs.second) std::erase(c.end.theirs, theirs);
    }
    if (!error && !wrote.empty()) c.end.theirs.emplace_back(as, wrote);
    c.end.originalTaken = c.end.originalTaken || (originalBefore && !Named(c.dir, c.end.original));
}

void Record(const char* text, const char* caption, void* context) {
    Cell& c = *static_cast<Cell*>(context);
    if (gStepOf != kFxInBatch && !gActing) return;  // another archive's of the batch
    if (M(kMsgDone) == std::pair<std::string, std::string>(text, caption)) {
        c.end.confirmed.emplace_back(At(c.dir / "fx.snd"), At(c.dir / "fx_old.snd"));
    }
    if (M(kMsgDefRename) == std::pair<std::string, std::string>(text, caption)) {
        c.end.promisedNew.push_back(At(c.dir / "fx_new.snd"));
    }
}

// Lays out the names; false where this system cannot make them (symbolic links on Windows, and
// a file system without RENAME_NOREPLACE, which only the POSIX shim plays).
bool LayOut(const fs::path& dir, Layout layout, const std::string& original, Cell* cell) {
    std::error_code error;
    const char* home = layout == Layout::NameLinksToNew    ? "fx_new.snd"
                       : layout == Layout::NameLinksToOld  ? "fx_old.snd"
                       : layout == Layout::NameLinksToFile ? "real.snd"
                                                           : "fx.snd";
    Theirs(dir / home, original);
    if (std::string(home) != "fx.snd") {
        fs::create_symlink(home, dir / "fx.snd", error);
        if (cell) cell->end.homes.push_back(home);
    }
    if (layout == Layout::Leftover) {
        WriteBytes(dir / "fx_new.snd", SortedOf(original).substr(0, 700));
        if (cell) cell->end.tornWork = true;  // and may stay where the sort ends early
    }
    if (layout == Layout::NewLinksToName) fs::create_symlink("fx.snd", dir / "fx_new.snd", error);
    if (layout == Layout::NewHardLink) {
        fs::create_hard_link(dir / home, dir / "fx_new.snd", error);
        if (cell) cell->end.homes.push_back("fx_new.snd");
    }
    if (layout == Layout::NewFolder) fs::create_directory(dir / "fx_new.snd");
    if (layout == Layout::InABatch) {
        WriteBytes(dir / "a.snd", BuildArchive({{1, 0, "a one"}, {0, 0, "a zero"}}));
    }
    if (layout == Layout::TheirsUnderNew) {
        const std::string theirs = BuildArchive({{0, 0, "their own archive"}});
        Theirs(dir / "fx_new.snd", theirs);
        if (cell) cell->end.theirs.emplace_back("fx_new.snd", theirs);
    }
    return !error && SetSyscallFaults(layout == Layout::NoSafeRename ? "renameat2=EINVAL" : "");
}

TEST(Interleavings, AnotherProgramAtEveryCallFromEveryLayout) {
    // Out of order, with a gap, so that the sorted archive is shorter than the original: small
    // enough to be read whole, and large enough to be copied entry by entry.
    const std::string originals[] = {
        BuildArchive({{2, 0, Pattern(3000, 1)}, {0, 1, ""}, {1, 5, Pattern(40, 2)}}, {512, 3600, 3700}),
        BuildArchive({{2, 0, Pattern(70000, 1)}, {0, 1, ""}, {1, 5, Pattern(40, 2)}}, {512, 70600, 70700})};
    TempDir probes;
    SetFaultPlan({});
    int cells = 0;
    for (const std::string& original : originals) {
        const size_t sortedSize = SortedOf(original).size();
        for (int l = 0; l < static_cast<int>(std::size(kLayouts)); ++l) {
            const auto layout = static_cast<Layout>(l);
            // Copied entry by entry, the names are laid out as for one read whole: acts between the
            // copy's calls are what it adds.
            if (&original != originals && layout != Layout::Clean && layout != Layout::InABatch) continue;
            std::vector<std::string> calls;
            {
                TempDir dir;
                MessageLog log;
                if (!LayOut(dir.path(), layout, original, nullptr)) {
                    std::printf("  skipped layout %s: this system cannot make it\n", kLayouts[l].name);
                    continue;
                }
                SetFaultPlan({});
                EXPECT_EQ(SortIn(dir.path(), layout), kLayouts[l].undisturbed) << kLayouts[l].name;
                calls = FaultCalls();
            }
            // fx.snd's own calls: all of them, or in a batch those of its steps, which begin and end
            // where gFxSteps says (its writing, its renames, its confirmation).
            const bool batch = layout == Layout::InABatch;
            const std::vector<size_t> steps = gFxSteps;
            const size_t renaming = batch ? steps.at(2) : 0;
            const auto first = [&calls](const char* kind, size_t from = 0) {
                return std::find(calls.begin() + from, calls.end(), kind) - calls.begin() + 1;
            };
            // The new archive is closed right after its flush; only then may another program write it.
            const long closed = first("PlatClose", first(batch ? "PlatFlushed" : "PlatFlush", renaming));
            const long last = batch ? static_cast<long>(steps.back()) : static_cast<long>(calls.size());
            for (int at = 1; at <= static_cast<int>(calls.size()) + 1; ++at) {
                for (int a = 0; a < static_cast<int>(std::size(kActNames)); ++a) {
                    const bool after = at > static_cast<int>(calls.size());
                    if (static_cast<Act>(a) == Act::IntoNew && at <= closed) continue;
                    SCOPED_TRACE(std::string(kLayouts[l].name) + ": another program " + kActNames[a] +
                                 (after ? " after the sort" : " before call " + std::to_string(at) +
                                                                  ", " + calls[at - 1]));
                    ++cells;
                    TempDir dir;
                    Cell cell;
                    cell.end.original = original;
                    LayOut(dir.path(), layout, original, &cell);
                    cell.dir = dir.path();
                    cell.probe = probes / "probe";
                    cell.act = static_cast<Act>(a);
                    gSecondRun = DropResult::Checked;
                    PlatSetMessageSink(Record, &cell);
                    const auto act = [&] { RunAct(cell, sortedSize); };
                    SetFaultPlan({.actAt = after ? 0 : at, .act = act});
                    const DropResult result = SortIn(dir.path(), layout);
                    gStepOf = kFxInBatch;
                    const auto reports = [](DropResult r) {
                        return r == DropResult::ChangedBackedUp || r == DropResult::ChangedGivenBack;
                    };
                    if (reports(result)) cell.end.reported.push_back("fx.snd");
                    const std::vector<std::string> unflushed = UnflushedRenames();
                    if (after) act();
                    SetFaultPlan({});
                    EXPECT_EQ(cell.end.confirmed.size(), size_t{result == DropResult::Sorted} +
                                                             size_t{gSecondRun == DropResult::Sorted});
                    EXPECT_TRUE(unflushed.empty()) << "renamed before it was on the disk";
                    const long firstRename = first("PlatRenameNoReplace", renaming);
                    if (cell.act == Act::SecondRun && at > first("PlatLock", batch ? steps.at(0) : 0) &&
                        at <= firstRename && firstRename <= last) {
                        EXPECT_EQ(gSecondRun, DropResult::Busy) << "a second run went on beside the first";
                    }
                    // Each name is judged as the sort last saw it: the last call of a confirmed sort looks
                    // at fx_old.snd, the one before it at fx.snd. A write in place that puts back the
                    // size and last write time shows only in the change time, which a rename moves too:
                    // it passes unseen between the last look before a rename and the first after it.
                    const bool unseen = cell.act == Act::CopyInPlace &&
                                        (at == firstRename || at == firstRename + 4);
                    const std::vector<std::string> bases = {"a", "fx"};
                    const auto filesNow = [&] { return FilesOf(FilesWithBytes(dir.path()), "fx", bases); };
                    SortEnd judged = cell.end;
                    judged.files = filesNow();
                    for (auto& [name, old] : judged.confirmed) {
                        if (at == last) name = cell.before;
                        if (unseen) name = SortedOf(old);
                    }
                    if (unseen) judged.reported = cell.end.reported = {"fx.snd", "fx_old.snd"};
                    EXPECT_EQ(BrokenPromise(judged, SortedOf), "");
                    // A second sort of whatever the first left, with nobody else at work.
                    cell.end.confirmed.clear();
                    cell.end.promisedNew.clear();
                    PlatSetMessageSink(Record, &cell);  // SortedOf sets its own
                    if (reports(SortDroppedFile(dir.str("fx.snd").c_str()))) {
                        cell.end.reported.push_back("fx.snd");
                    }
                    cell.end.files = filesNow();
                    EXPECT_EQ(BrokenPromise(cell.end, SortedOf), "") << "after a second sort";
                    PlatSetMessageSink(nullptr, nullptr);
                    SetSyscallFaults("");
                }
            }
        }
    }
    std::printf("  %d cells: layouts, acts of another program, and the moments before each call\n",
                cells);
}

}  // namespace
