// powerloss_test.cpp: the command sorts an archive, or a folder of them, on a file system that
// records every call it makes; then every state that a power cut after any one of those calls could
// leave is built and held against what the user was promised, for each archive.
//
// What a power cut keeps: a file's data up to its last flush (fsync) and a folder's names up to its
// last flush; of everything not flushed, any prefix in call order, as the disk may have written
// some of it. So a file created and flushed, in a folder never flushed, may be lost whole.
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <map>
#include <sstream>

#include "support.h"

namespace {

struct Op {
    enum Kind { Create, Write, Truncate, Rename, Link, Unlink, Fsync, FsyncDir } kind;
    uint64_t inode = 0;
    uint64_t offset = 0;  // Write: where; Truncate: the new size
    std::string from;     // Create, Unlink, FsyncDir: the name; Rename, Link: the old name
    std::string to;       // Rename, Link: the new name
    std::string data;     // Write: the bytes
    std::string line;     // as recorded
};

// The calls recordfs wrote to `log` (and their bytes to log.data).
std::vector<Op> ReadLog(const fs::path& log) {
    const std::string data = ReadBytes(log.string() + ".data");
    std::vector<Op> ops;
    std::ifstream in(log);
    const char* const kinds[] = {"create", "write", "truncate", "rename", "link", "unlink", "fsync",
                                 "fsyncdir"};
    for (std::string line; std::getline(in, line);) {
        std::istringstream fields(line);
        std::string kind;
        uint64_t length = 0, at = 0;
        Op op{};
        op.line = line;
        fields >> kind >> op.inode >> op.offset >> length >> at >> op.from >> op.to;
        const auto known = std::find(std::begin(kinds), std::end(kinds), kind);
        if (!fields || known == std::end(kinds)) {
            ADD_FAILURE() << "cannot read the log's line: " << line;
            continue;
        }
        op.kind = static_cast<Op::Kind>(known - std::begin(kinds));
        if (op.kind == Op::Write) op.data = data.substr(at, length);
        ops.push_back(op);
    }
    return ops;
}

// The names of the folder and the bytes of each file.
struct State {
    std::map<std::string, uint64_t> names;
    std::map<uint64_t, std::string> bytes;
};

void Apply(State& s, const Op& op) {
    switch (op.kind) {
        case Op::Create:
            s.names[op.from] = op.inode;
            s.bytes[op.inode];
            break;
        case Op::Write: {
            std::string& b = s.bytes[op.inode];
            if (b.size() < op.offset + op.data.size()) b.resize(op.offset + op.data.size(), '\0');
            b.replace(op.offset, op.data.size(), op.data);
            break;
        }
        case Op::Truncate: s.bytes[op.inode].resize(op.offset, '\0'); break;
        case Op::Rename:
        case Op::Link:
            if (s.names.count(op.from) != 0) {
                s.names[op.to] = s.names[op.from];
                if (op.kind == Op::Rename) s.names.erase(op.from);
            }
            break;
        case Op::Unlink: s.names.erase(op.from); break;
        case Op::Fsync:
        case Op::FsyncDir: break;
    }
}

// True when op i is on the disk for certain once the calls before `cut` are done: a later flush of
// its file (data) or of the folder (names) among them.
bool Flushed(const std::vector<Op>& ops, size_t i, size_t cut) {
    const bool names = ops[i].kind == Op::Create || ops[i].kind == Op::Rename ||
                       ops[i].kind == Op::Link || ops[i].kind == Op::Unlink;
    const bool data = ops[i].kind == Op::Write || ops[i].kind == Op::Truncate;
    for (size_t j = i + 1; j < cut; ++j) {
        if (names && ops[j].kind == Op::FsyncDir) return true;
        if (data && ops[j].kind == Op::Fsync && ops[j].inode == ops[i].inode) return true;
    }
    return false;
}

struct Verdict {
    size_t cuts = 0;
    size_t states = 0;
    std::vector<std::string> faults;
};

// The archives of one run: each one's base name, original bytes and sorted archive.
struct Archives {
    std::vector<std::string> bases;
    std::map<std::string, std::string> original;
    std::map<std::string, std::string> sorted;  // as the run left BASE.snd
};

// Every state a power cut after each call (and before the first) can leave, held against the
// promise for each archive: the original bytes keep a name, BASE.snd or BASE_old.snd; BASE.snd
// holds the original or the whole sorted archive and BASE_old.snd the original, never a torn file;
// and after the last call, which comes after the confirmations, exactly what was confirmed.
Verdict CheckEveryCut(const std::vector<Op>& ops, const State& before, const Archives& archives) {
    Verdict v;
    for (size_t cut = 0; cut <= ops.size(); ++cut) {
        ++v.cuts;
        std::vector<size_t> unflushed;
        for (size_t i = 0; i < cut; ++i) {
            if (!Flushed(ops, i, cut)) unflushed.push_back(i);
        }
        for (size_t kept = 0; kept <= unflushed.size(); ++kept) {
            ++v.states;
            State s = before;
            for (size_t i = 0, u = 0; i < cut; ++i) {
                const bool isUnflushed = u < unflushed.size() && unflushed[u] == i;
                if (isUnflushed) ++u;
                if (!isUnflushed || u <= kept) Apply(s, ops[i]);
            }
            std::map<std::string, std::string> files;
            for (const auto& [name, inode] : s.names) files[name] = s.bytes.at(inode);
            std::string fault;
            for (const std::string& base : archives.bases) {
                SortEnd end;
                end.original = archives.original.at(base);
                end.tornWork = true;
                end.files = FilesOf(files, base, archives.bases);
                // After the last call, which follows the confirmations: the confirmed state, alone.
                if (cut == ops.size()) end.confirmed.emplace_back(end.files["fx.snd"], end.files["fx_old.snd"]);
                const std::string sorted = archives.sorted.at(base);
                const auto sortedOf = [&](const std::string& b) { return b == end.original ? sorted : ""; };
                if (fault.empty()) fault = BrokenPromise(end, sortedOf);
                if (!fault.empty() && archives.bases.size() > 1) fault = base + ": " + fault;
            }
            if (fault.empty() && cut == ops.size() && s.names.size() != 2 * archives.bases.size()) {
                fault = "after the confirmation, other files than the confirmed ones";
            }
            if (!fault.empty() && v.faults.size() < 5) {
                v.faults.push_back(fault + " (power cut after call " + std::to_string(cut) +
                                   (cut ? " \"" + ops[cut - 1].line + "\"" : std::string()) +
                                   ", keeping " + std::to_string(kept) + " of " +
                                   std::to_string(unflushed.size()) + " unflushed calls)");
            } else if (!fault.empty()) {
                v.faults.back() = "...";
            }
        }
    }
    return v;
}

struct Recorded {
    bool mounted = false;
    int status = -1;
    std::vector<Op> ops;
    State before;  // the folder as the run found it, each archive under its real inode number
};

// Mounts recordfs over a folder holding each archive as BASE.snd, sorts there with the command (with
// `environment` before it) fx.snd, or where there are several, the folder, unmounts, and reads what
// was recorded; archives->sorted gets what each BASE.snd holds after. recordfs goes to the
// background once mounted; it records each call before it answers, so the log is whole once the
// command has ended.
Recorded SortOnRecordFs(const TempDir& dir, Archives* archives, const std::string& environment) {
    Recorded run;
    const fs::path backing = dir / "backing";
    const fs::path point = dir / "mount";
    fs::create_directories(backing);
    fs::create_directories(point);
    for (const std::string& base : archives->bases) {
        const fs::path file = backing / (base + ".snd");
        WriteBytes(file, archives->original[base]);
        struct stat st;
        stat(file.c_str(), &st);
        run.before.names[base + ".snd"] = st.st_ino;
        run.before.bytes[st.st_ino] = archives->original[base];
    }
    // Built by appending: GCC 12 at -O3 takes "'" + string for an overlapping copy (-Wrestrict).
    const auto quoted = [](const fs::path& p) {
        return std::string(1, '\'').append(p.string()).append(1, '\'');
    };
    run.mounted = std::system((quoted(TESSOREL_RECORDFS) + " " + quoted(backing) + " " +
                               quoted(dir / "log") + " " + quoted(point)).c_str()) == 0;
    if (!run.mounted) return run;
    const fs::path sorted = archives->bases.size() == 1 ? point / "fx.snd" : point;
    const int raw = std::system((environment + " " + quoted(TESSOREL_CLI) + " " + quoted(sorted) +
                                 " >/dev/null 2>&1").c_str());
    run.status = WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
    umount2(point.c_str(), 0);
    run.ops = ReadLog(dir / "log");
    for (const std::string& base : archives->bases) {
        archives->sorted[base] = ReadBytes(backing / (base + ".snd"));
    }
    return run;
}

// One archive; and three in a folder, sorted together: their new archives flushed together, the
// folder once, then the confirmations.
TEST(PowerLoss, EveryCutLeavesTheOriginalOrTheSortedArchive) {
    // Entries larger than one write, out of order, one empty.
    const std::vector<TestEntry> entries = {{3, 0, std::string(300000, 'c')},
                                            {1, 0, std::string(70000, 'a')},
                                            {2, 0, ""},
                                            {0, 9, std::string(5000, 'z')}};
    Archives one{{"fx"}, {{"fx", BuildArchive(entries)}}, {}};
    // Small ones too, which are read whole and written in one piece.
    Archives three{{"a", "b", "c"},
                   {{"a", BuildArchive(entries)},
                    {"b", BuildArchive({{1, 0, Pattern(3000, 5)}, {0, 0, Pattern(40, 6)}})},
                    {"c", BuildArchive({{2, 2, ""}, {1, 1, Pattern(9, 7)}})}},
                   {}};
    for (Archives* archives : {&one, &three}) {
        SCOPED_TRACE(std::to_string(archives->bases.size()) + " archives");
        TempDir dir;
        const Recorded run = SortOnRecordFs(dir, archives, "");
        if (!run.mounted) {
            if (geteuid() != 0) GTEST_SKIP() << "cannot mount a FUSE file system here (not root)";
            FAIL() << "recordfs could not mount a FUSE file system: /dev/fuse cannot be used";
        }
        ASSERT_EQ(run.status, 0);
        for (const std::string& base : archives->bases) {
            ASSERT_EQ(SortedLayoutEntries(archives->sorted[base]),
                      SortedLayoutEntries(SortedOf(archives->original[base]))) << base;
        }
        ASSERT_TRUE(SortedLayoutEntries(one.sorted["fx"]) ==
                    (std::vector<TestEntry>{entries[3], entries[1], entries[2], entries[0]}));
        const Verdict v = CheckEveryCut(run.ops, run.before, *archives);
        std::printf("power loss, %zu archives: %zu calls recorded, %zu cut points, %zu states checked\n",
                    archives->bases.size(), run.ops.size(), v.cuts, v.states);
        for (const std::string& fault : v.faults) ADD_FAILURE() << fault;

        // The same sort where every flush is dropped: the check must see what that loses.
        TempDir again;
        Archives unflushedArchives = *archives;
        const Recorded unflushed = SortOnRecordFs(
            again, &unflushedArchives,
            "LD_PRELOAD='" TESSOREL_NOFSYNC "' ASAN_OPTIONS=verify_asan_link_order=0");
        ASSERT_TRUE(unflushed.mounted);
        ASSERT_EQ(unflushed.status, 0);
        const Verdict lossy = CheckEveryCut(unflushed.ops, unflushed.before, unflushedArchives);
        EXPECT_FALSE(lossy.faults.empty())
            << "a sort that flushes nothing passed the power-loss check";
    }
}

}  // namespace
