// crash_test.cpp: the tessorel command killed outright at random moments of a large sort, and of a
// sort of a folder of archives; whatever the moment, the original bytes keep a name and the dropped
// file's name never holds a torn file, for every archive.
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <functional>
#include <random>
#include <thread>

#include "support.h"

extern char** environ;

namespace {

using Clock = std::chrono::steady_clock;

pid_t StartSort(const fs::path& file) {
    const std::string path = file.string();
    char* argv[] = {const_cast<char*>(TESSOREL_CLI), const_cast<char*>(path.c_str()), nullptr};
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
    pid_t pid = -1;
    const int rc = posix_spawn(&pid, TESSOREL_CLI, &actions, nullptr, argv, environ);
    posix_spawn_file_actions_destroy(&actions);
    return rc == 0 ? pid : -1;
}

// Kills the command sorting `target` at random moments, up to a little past a whole run's time,
// the names laid out anew before each run; then holds each end against the promise, as the kill
// left it, and where `again` says so after a second sort too.
void KillAtRandom(const fs::path& target, unsigned seed, const std::function<void()>& layOut,
                  const std::function<void(bool sortedAgain)>& judge, const std::function<bool(int)>& again) {
    layOut();
    const auto start = Clock::now();
    ASSERT_EQ(std::system(("'" TESSOREL_CLI "' '" + target.string() + "' >/dev/null").c_str()), 0);
    const auto took = Clock::now() - start;
    std::mt19937 rng(seed);
    std::uniform_int_distribution<long long> when(
        0, std::chrono::duration_cast<std::chrono::microseconds>(took).count() * 11 / 10);
    const char* kills = std::getenv("TESSOREL_CRASH_KILLS");
    for (int i = 0; i < (kills ? std::atoi(kills) : 12); ++i) {
        layOut();
        const long long delay = when(rng);
        SCOPED_TRACE("kill " + std::to_string(i) + " after " + std::to_string(delay) + " us");
        const pid_t pid = StartSort(target);
        ASSERT_GT(pid, 0);
        std::this_thread::sleep_for(std::chrono::microseconds(delay));
        kill(pid, SIGKILL);
        waitpid(pid, nullptr, 0);
        judge(false);
        if (!again(i)) continue;
        std::system(("'" TESSOREL_CLI "' '" + target.string() + "' >/dev/null 2>&1").c_str());
        judge(true);
    }
}

TEST(CrashConsistency, KilledSortNeverLosesOrTearsTheArchive) {
    TempDir dir;
    // 256 entries of 1 MiB, keys descending so that every one moves, laid out in chain order.
    std::vector<TestEntry> entries;
    for (uint32_t k = 0; k < 256; ++k) {
        std::string data(1u << 20, static_cast<char>(k));
        data[0] = static_cast<char>(k >> 1);
        entries.push_back({255 - k, k % 7, std::move(data)});
    }
    const std::string original = BuildArchive(entries);
    entries.clear();
    WriteBytes(dir / "original", original);
    const fs::path dropped = dir / "fx.snd";
    std::string sorted;  // from the whole run
    // The dropped file shares the original's bytes; the sorter never writes into it.
    const auto layOut = [&] {
        if (sorted.empty() && fs::exists(dir / "fx_old.snd")) sorted = ReadBytes(dropped);
        for (const char* name : {"fx.snd", "fx_old.snd", "fx_new.snd"}) fs::remove(dir / name);
        fs::create_hard_link(dir / "original", dropped);
    };
    const auto judge = [&](bool sortedAgain) {
        ASSERT_FALSE(sorted.empty() || sorted == original) << "the whole run sorted nothing";
        SortEnd end;
        end.original = original;
        end.homes = {"original"};
        end.tornWork = !sortedAgain;  // a second sort must take an earlier run's torn work for its own
        end.files = FilesWithBytes(dir.path());
        EXPECT_EQ(BrokenPromise(end, [&](const std::string& v) { return v == original ? sorted : ""; }), "")
            << (sortedAgain ? "after a second sort" : "");
    };
    // A second sort after the first kill only: each costs a sort of 256 MiB.
    KillAtRandom(dropped, 20261208, layOut, judge, [](int i) { return i == 0; });
}

// Sixteen archives of one folder, sorted together, killed at random moments: each archive is judged
// as a sort of its own would be.
TEST(CrashConsistency, KilledBatchNeverLosesOrTearsAnArchive) {
    TempDir dir;
    std::vector<TestEntry> entries;
    for (uint32_t k = 0; k < 16; ++k) entries.push_back({15 - k, k, std::string(64u << 10, static_cast<char>(k))});
    const std::string original = BuildArchive(entries);
    const std::string sorted = SortedOf(original);
    const fs::path folder = dir / "sounds";
    std::vector<std::string> bases;
    for (int k = 0; k < 16; ++k) bases.push_back(std::string(1, 'a').append(std::to_string(10 + k)));
    const auto layOut = [&] {  // copies: links to one file would all be locked by the first sort
        fs::remove_all(folder);
        fs::create_directory(folder);
        for (const std::string& base : bases) WriteBytes(folder / (base + ".snd"), original);
    };
    const auto judge = [&](bool sortedAgain) {
        const auto files = FilesWithBytes(folder);
        for (const std::string& base : bases) {
            SortEnd end;
            end.original = original;
            end.tornWork = !sortedAgain;
            end.files = FilesOf(files, base, bases);
            EXPECT_EQ(BrokenPromise(end, [&](const std::string& v) { return v == original ? sorted : ""; }), "")
                << base << (sortedAgain ? ", after a second sort" : "");
        }
    };
    KillAtRandom(folder, 20261211, layOut, judge, [](int) { return true; });
}

}  // namespace
