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

    // One whole run: the sorted archive, and how long a sort takes.
    fs::create_hard_link(dir / "original", dropped);
    const auto start = Clock::now();
    ASSERT_EQ(std::system(("'" TESSOREL_CLI "' '" + dropped.string() + "' >/dev/null").c_str()), 0);
    const auto took = Clock::now() - start;
    const std::string sorted = ReadBytes(dropped);
    ASSERT_NE(sorted, original);
    fs::remove(dropped);
    fs::remove(dir / "fx_old.snd");

    std::mt19937 rng(20261208);
    std::uniform_int_distribution<long long> when(
        0, std::chrono::duration_cast<std::chrono::microseconds>(took).count() * 11 / 10);
    const char* kills = std::getenv("TESSOREL_CRASH_KILLS");
    for (int i = 0; i < (kills ? std::atoi(kills) : 12); ++i) {
        const long long delay = when(rng);
        SCOPED_TRACE("kill " + std::to_string(i) + " after " + std::to_string(delay) + " us");
        // The dropped file shares the original's bytes; the sorter never writes into it.
        fs::create_hard_link(dir / "original", dropped);
        const pid_t pid = StartSort(dropped);
        ASSERT_GT(pid, 0);
        std::this_thread::sleep_for(std::chrono::microseconds(delay));
        kill(pid, SIGKILL);
        waitpid(pid, nullptr, 0);

        // As the kill left it, and (after the first kill only: each costs a sort of 256 MiB) after a
        // second sort, which must take an earlier run's torn work file for its own and remove no
        // other file.
        const auto sortedOf = [&](const std::string& v) { return v == original ? sorted : ""; };
        SortEnd end;
        end.original = original;
        end.homes = {"original"};
        end.tornWork = true;
        end.files = FilesWithBytes(dir.path());
        EXPECT_EQ(BrokenPromise(end, sortedOf), "");
        if (i != 0) {
            for (const char* name : {"fx.snd", "fx_old.snd", "fx_new.snd"}) fs::remove(dir / name);
            continue;
        }
        std::system(("'" TESSOREL_CLI "' '" + dropped.string() + "' >/dev/null 2>&1").c_str());
        end.tornWork = false;
        end.files = FilesWithBytes(dir.path());
        EXPECT_EQ(BrokenPromise(end, sortedOf), "") << "after a second sort";
        for (const char* name : {"fx.snd", "fx_old.snd", "fx_new.snd"}) fs::remove(dir / name);
    }
}

// Sixteen archives of one folder, sorted together, killed at random moments: each archive is judged
// as a sort of its own would be.
TEST(CrashConsistency, KilledBatchNeverLosesOrTearsAnArchive) {
    TempDir dir;
    std::vector<TestEntry> entries;
    for (uint32_t k = 0; k < 16; ++k) entries.push_back({15 - k, k, std::string(64u << 10, static_cast<char>(k))});
    const std::string original = BuildArchive(entries);
    const std::string sorted = SortedOf(original);
    const auto sortedOf = [&](const std::string& v) { return v == original ? sorted : ""; };
    const fs::path folder = dir / "sounds";
    fs::create_directory(folder);
    std::vector<std::string> bases;
    for (int k = 0; k < 16; ++k) bases.push_back("a" + std::to_string(10 + k));
    const auto layOut = [&] {  // copies: links to one file would all be locked by the first sort
        for (const std::string& base : bases) WriteBytes(folder / (base + ".snd"), original);
    };
    layOut();
    const auto start = Clock::now();
    ASSERT_EQ(std::system(("'" TESSOREL_CLI "' '" + folder.string() + "' >/dev/null").c_str()), 0);
    const auto took = Clock::now() - start;
    std::mt19937 rng(20261211);
    std::uniform_int_distribution<long long> when(
        0, std::chrono::duration_cast<std::chrono::microseconds>(took).count() * 11 / 10);
    const char* kills = std::getenv("TESSOREL_CRASH_KILLS");
    for (int i = 0; i < (kills ? std::atoi(kills) : 12); ++i) {
        fs::remove_all(folder);
        fs::create_directory(folder);
        layOut();
        const long long delay = when(rng);
        SCOPED_TRACE("kill " + std::to_string(i) + " after " + std::to_string(delay) + " us");
        const pid_t pid = StartSort(folder);
        ASSERT_GT(pid, 0);
        std::this_thread::sleep_for(std::chrono::microseconds(delay));
        kill(pid, SIGKILL);
        waitpid(pid, nullptr, 0);
        for (const bool again : {false, true}) {  // as the kill left it, then after a second sort
            if (again) std::system(("'" TESSOREL_CLI "' '" + folder.string() + "' >/dev/null 2>&1").c_str());
            const auto files = FilesWithBytes(folder);
            for (const std::string& base : bases) {
                SortEnd end;
                end.original = original;
                end.tornWork = !again;
                end.files = FilesOf(files, base, bases);
                EXPECT_EQ(BrokenPromise(end, sortedOf), "") << base << (again ? ", after a second sort" : "");
            }
        }
    }
}

}  // namespace
