// cli_test.cpp: the tessorel command run as a process: output lines, exit status, files.
#include <sys/wait.h>

#include <gtest/gtest.h>

#include <cstdlib>

#include "support.h"

namespace {

struct CliRun {
    int status;
    std::string out;
    std::string err;
};

// Runs tessorel with `args` (already quoted for the shell) inside `dir`.
CliRun Tessorel(const TempDir& dir, const std::string& args) {
    const std::string command = "cd '" + dir.path().string() + "' && '" TESSOREL_CLI "' " + args +
                                " >'" + dir.str(".out") + "' 2>'" + dir.str(".err") + "'";
    const int raw = std::system(command.c_str());
    CliRun run{WIFEXITED(raw) ? WEXITSTATUS(raw) : -1, ReadBytes(dir / ".out"), ReadBytes(dir / ".err")};
    fs::remove(dir / ".out");
    fs::remove(dir / ".err");
    return run;
}

const std::vector<TestEntry> kRoad = {{1, 0, "one-zero"}, {0, 5, "zero-five"}, {0, 2, "zero-two"}};

TEST(Cli, SortsEachFileReportingInUtf8) {
    TempDir dir;
    fs::create_directories(dir / "a" / "b");
    const std::string original = BuildArchive(kRoad);
    WriteBytes(dir / "a" / "fx.snd", original);
    WriteBytes(dir / "a" / "b" / "fx.snd", original);
    // Relative names: the first file's change of directory must not move the second.
    const CliRun run = Tessorel(dir, "a/fx.snd a/b/fx.snd");
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(run.out, "a/fx.snd: 確認: 整列を完了しました\na/b/fx.snd: 確認: 整列を完了しました\n");
    EXPECT_EQ(run.err, "");
    for (const fs::path& sub : {dir / "a", dir / "a" / "b"}) {
        EXPECT_EQ(ReadBytes(sub / "fx_old.snd"), original);
        const std::vector<TestEntry> expected = {kRoad[2], kRoad[1], kRoad[0]};
        EXPECT_EQ(SortedLayoutEntries(ReadBytes(sub / "fx.snd")), expected);
    }
}

// Started in a directory whose name is longer than PATH_MAX, relative names cannot be made absolute;
// the second name must still resolve where the command started, not in the first file's folder.
TEST(Cli, RelativeNamesUnderAVeryDeepStartingDirectory) {
    TempDir dir;
    const std::string original = BuildArchive(kRoad);
    WriteBytes(dir / "fx.snd", original);
    const std::string component(250, 'd');
    std::string script = "cd '" + dir.path().string() + "'";
    std::string up;
    for (int k = 0; k < 18; ++k) {
        script += " && mkdir " + component + " && cd " + component;
        up += "../";
    }
    script += " && mkdir -p a/b b && for f in a b a/b; do cp " + up + "fx.snd $f/fx.snd; done";
    script += " && '" TESSOREL_CLI "' a/fx.snd b/fx.snd >out 2>err; echo $? >status";
    script += " && ls -A a a/b b >files && cat status out err files";
    // bash, since some shells refuse to enter a folder whose full name passes PATH_MAX.
    WriteBytes(dir / "deep.sh", script + "\n");
    const std::string outPath = dir.str(".out");
    ASSERT_EQ(std::system(("bash '" + dir.str("deep.sh") + "' >'" + outPath + "'").c_str()), 0);
    EXPECT_EQ(ReadBytes(outPath),
              "0\n"
              "a/fx.snd: 確認: 整列を完了しました\n"
              "b/fx.snd: 確認: 整列を完了しました\n"
              "a:\nb\nfx.snd\nfx_old.snd\n\n"
              "a/b:\nfx.snd\n\n"
              "b:\nfx.snd\nfx_old.snd\n");
    // The folders nest deeper than the library's own removal reaches.
    std::system(("cd '" + dir.path().string() + "' && rm -rf " + component).c_str());
}

TEST(Cli, WarningsAndSilentEndsGoToStandardErrorAndFail) {
    TempDir dir;
    WriteBytes(dir / "fx.wav", BuildArchive(kRoad));
    std::string damaged = BuildArchive(kRoad);
    damaged.pop_back();
    WriteBytes(dir / "bad.snd", damaged);
    WriteBytes(dir / "ok.snd", BuildArchive(kRoad));
    const CliRun run = Tessorel(dir, "fx.wav none.snd bad.snd ok.snd");
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(run.out, "ok.snd: 確認: 整列を完了しました\n");
    EXPECT_EQ(run.err,
              "fx.wav: 警告: .sndファイルではありません\n"
              "none.snd: cannot open\n"
              "bad.snd: 警告: 読込エラー2\n");
}

TEST(Cli, ListPrintsTheChainAndChangesNothing) {
    TempDir dir;
    const std::string original = BuildArchive(kRoad);
    WriteBytes(dir / "fx.snd", original);
    const CliRun run = Tessorel(dir, "--list fx.snd");
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(run.out,
              "fx.snd: 3 entries (index offset length group item)\n"
              "1 512 8 1 0\n"
              "2 536 9 0 5\n"
              "3 561 8 0 2\n");
    EXPECT_EQ(FilesIn(dir.path()), std::vector<std::string>{"fx.snd"});
    EXPECT_EQ(ReadBytes(dir / "fx.snd"), original);
}

TEST(Cli, UsageErrorsExitWithTwo) {
    TempDir dir;
    struct Case {
        const char* args;
        int status;
        const char* outStart;
    } const cases[] = {
        {"", 2, ""},
        {"--bogus x.snd", 2, ""},
        {"--help", 0, "Usage: tessorel"},
        {"--version", 0, "tessorel "},
    };
    for (const Case& c : cases) {
        const CliRun run = Tessorel(dir, c.args);
        EXPECT_EQ(run.status, c.status) << c.args;
        EXPECT_EQ(run.out.substr(0, std::string(c.outStart).size()), c.outStart) << c.args;
    }
}

}  // namespace
