// powerloss_test.cpp: the command sorts an archive on a file system that records every call it
// makes; then every state that a power cut after any one of those calls could leave is built and
// held against what the user was promised.
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

// Every state a power cut after each call (and before the first) can leave, held against the
// promise: the original bytes keep a name, fx.snd or fx_old.snd; fx.snd holds the original or the
// whole sorted archive and fx_old.snd the original, never a torn file; and after the last call,
// which comes after the confirmation, exactly what was confirmed.
Verdict CheckEveryCut(const std::vector<Op>& ops, const State& before, const std::string& original,
                      const std::string& sorted) {
    Verdict v;
    const auto sortedOf = [&](const std::string& bytes) { return bytes == original ? sorted : ""; };
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
            SortEnd end;
            end.original = original;
            end.tornWork = true;
            for (const auto& [name, inode] : s.names) end.files[name] = s.bytes.at(inode);
            // After the last call, which follows the confirmation: the confirmed state, alone.
            if (cut == ops.size()) end.confirmed.emplace_back(end.files["fx.snd"], end.files["fx_old.snd"]);
            std::string fault = BrokenPromise(end, sortedOf);
            if (fault.empty() && cut == ops.size() && s.names.size() != 2) {
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
    std::string sorted;  // fx.snd after the run
    State before;        // the folder as the run found it, fx.snd under its real inode number
};

// Mounts recordfs over a folder holding fx.snd, sorts it there with the command (with `environment`
// before it), unmounts, and reads what was recorded. recordfs goes to the background once mounted;
// it records each call before it answers, so the log is whole once the command has ended.
Recorded SortOnRecordFs(const TempDir& dir, const std::string& original,
                        const std::string& environment) {
    Recorded run;
    const fs::path backing = dir / "backing";
    const fs::path point = dir / "mount";
    fs::create_directories(backing);
    fs::create_directories(point);
    WriteBytes(backing / "fx.snd", original);
    struct stat st;
    stat((backing / "fx.snd").c_str(), &st);
    run.before.names["fx.snd"] = st.st_ino;
    run.before.bytes[st.st_ino] = original;
    // Built by appending: GCC 12 at -O3 takes "'" + string for an overlapping copy (-Wrestrict).
    const auto quoted = [](const fs::path& p) {
        return std::string(1, '\'').append(p.string()).append(1, '\'');
    };
    run.mounted = std::system((quoted(TESSOREL_RECORDFS) + " " + quoted(backing) + " " +
                               quoted(dir / "log") + " " + quoted(point)).c_str()) == 0;
    if (!run.mounted) return run;
    const int raw = std::system((environment + " " + quoted(TESSOREL_CLI) + " " +
                                 quoted(point / "fx.snd") + " >/dev/null").c_str());
    run.status = WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
    umount2(point.c_str(), 0);
    run.ops = ReadLog(dir / "log");
    run.sorted = ReadBytes(backing / "fx.snd");
    return run;
}

TEST(PowerLoss, EveryCutLeavesTheOriginalOrTheSortedArchive) {
    // Entries larger than one write, out of order, one empty.
    const std::vector<TestEntry> entries = {{3, 0, std::string(300000, 'c')},
                                            {1, 0, std::string(70000, 'a')},
                                            {2, 0, ""},
                                            {0, 9, std::string(5000, 'z')}};
    const std::string original = BuildArchive(entries);

    TempDir dir;
    const Recorded run = SortOnRecordFs(dir, original, "");
    if (!run.mounted) {
        if (geteuid() != 0) GTEST_SKIP() << "cannot mount a FUSE file system here (not root)";
        FAIL() << "recordfs could not mount a FUSE file system: /dev/fuse cannot be used";
    }
    ASSERT_EQ(run.status, 0);
    ASSERT_TRUE(SortedLayoutEntries(run.sorted) ==
                (std::vector<TestEntry>{entries[3], entries[1], entries[2], entries[0]}));
    const Verdict v = CheckEveryCut(run.ops, run.before, original, run.sorted);
    std::printf("power loss: %zu calls recorded, %zu cut points, %zu states checked\n",
                run.ops.size(), v.cuts, v.states);
    for (const std::string& fault : v.faults) ADD_FAILURE() << fault;

    // The same sort where every flush is dropped: the check must see what that loses.
    TempDir again;
    const Recorded unflushed = SortOnRecordFs(
        again, original, "LD_PRELOAD='" TESSOREL_NOFSYNC "' ASAN_OPTIONS=verify_asan_link_order=0");
    ASSERT_TRUE(unflushed.mounted);
    ASSERT_EQ(unflushed.status, 0);
    const Verdict lossy = CheckEveryCut(unflushed.ops, unflushed.before, original, unflushed.sorted);
    EXPECT_FALSE(lossy.faults.empty())
        << "a sort that flushes nothing passed the power-loss check";
}

}  // namespace
