// cli_test.cpp: the tessorel command run as a process: output lines, exit status, files.
#include <sys/wait.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <map>

#include "support.h"

namespace {

// The command under test: the Linux command, or, where TESSOREL_CLI_UNDER_TEST names one, another
// build of it (tessorel-cli.exe under Wine, through its wrapper), against which the rows that do
// not need Linux run too.
const char* Command() {
    const char* other = std::getenv("TESSOREL_CLI_UNDER_TEST");
    return other != nullptr ? other : TESSOREL_CLI;
}
bool UnderWindows() { return std::getenv("TESSOREL_CLI_UNDER_TEST") != nullptr; }
// The command over a shim that makes the system act at a chosen call (TESSOREL_SYSCALLS): the
// Windows build of it where TESSOREL_SHIMMED_UNDER_TEST names one.
const char* Shimmed() {
    const char* other = std::getenv("TESSOREL_SHIMMED_UNDER_TEST");
    return UnderWindows() && other != nullptr ? other : TESSOREL_SHIMMED;
}

#define LINUX_ONLY()                                                            \
    if (UnderWindows()) GTEST_SKIP() << "needs the Linux command (a shim, flock, ulimit or PATH_MAX)"

// The system's own words in an expected line, as Windows (Wine) gives them.
std::string AsTheSystemSays(std::string text) {
    if (!UnderWindows()) return text;
    for (const auto& [linux, windows] : {std::pair{"No such file or directory", "File not found"},
                                         {"tessorel: ", "tessorel-cli: "},
                                         {"'tessorel --help'", "'tessorel-cli --help'"}}) {
        for (size_t at; (at = text.find(linux)) != std::string::npos;) text.replace(at, std::strlen(linux), windows);
    }
    return text;
}

// One run of the command (or of `program`) with `args` (already quoted for the shell) inside a
// folder, in the shell command `around`, where "@" stands for the command and its standard output
// goes to the shell's; and what it must print: `out` and `err` whole or, ending in "...", as their
// start.
struct CliCase {
    const char* args;
    int status;
    std::string out;
    std::string err;
    std::string around = "@";
    const char* program = Command();
};

void ExpectRun(const TempDir& dir, const CliCase& c) {
    SCOPED_TRACE(std::string(c.args) + " in " + c.around);
    std::string command = c.around;
    // Built by appending: GCC 12 at -O3 takes "'" + string for an overlapping copy (-Wrestrict).
    command.replace(command.find('@'), 1,
                    std::string(1, '\'').append(c.program).append("' ").append(c.args));
    command = "cd '" + dir.path().string() + "' && { " + command + "; } >'" + dir.str(".out") +
              "' 2>'" + dir.str(".err") + "'";
    const int raw = std::system(command.c_str());
    EXPECT_EQ(WIFEXITED(raw) ? WEXITSTATUS(raw) : -1, c.status);  // a pipe's is that of its reader
    for (const auto& [got, wanted] : {std::pair{ReadBytes(dir / ".out"), c.out},
                                      {ReadBytes(dir / ".err"), AsTheSystemSays(c.err)}}) {
        const bool start = wanted.ends_with("...");
        EXPECT_EQ(start ? got.substr(0, wanted.size() - 3) : got,
                  start ? wanted.substr(0, wanted.size() - 3) : wanted);
    }
    fs::remove(dir / ".out");
    fs::remove(dir / ".err");
}

TEST(Cli, SortsEachFileReportingInUtf8) {
    TempDir dir;
    fs::create_directories(dir / "a" / "b");
    const std::string original = BuildArchive(kRoad);
    WriteBytes(dir / "a" / "fx.snd", original);
    WriteBytes(dir / "a" / "b" / "fx.snd", original);
    // Relative names: the first file's change of directory must not move the second. They are
    // written with the system's own separator, which is what makes the sort enter the folder.
    const std::string a = UnderWindows() ? "a\\fx.snd" : "a/fx.snd";
    const std::string ab = UnderWindows() ? "a\\b\\fx.snd" : "a/b/fx.snd";
    ExpectRun(dir, {("'" + a + "' '" + ab + "'").c_str(), 0,
                    a + ": 確認: 整列を完了しました\n" + ab + ": 確認: 整列を完了しました\n",
                    "2 sorted, 0 already sorted, 0 skipped, 0 failed\n"});
    ExpectSorted(dir / "a" / "b", "fx.snd", "fx_old.snd", original);
    EXPECT_EQ(ReadBytes(dir / "a" / "fx_old.snd"), original);
    EXPECT_EQ(SortedLayoutEntries(ReadBytes(dir / "a" / "fx.snd")), kRoadSorted);
    // On a terminal, which under Windows is a console that takes the text as UTF-16, the line reads
    // the same, under a Western code page too. The terminal's line ends and cursor controls are
    // taken out, and a move to the right is the blanks it passes over.
    WriteBytes(dir / "fx.snd", original);
    ExpectRun(dir, {"fx.snd", 0, "fx.snd: 確認: 整列を完了しました\n", "",
                    "TESSOREL_WINE_LANG=C.UTF-8 script -qec \"@\" /dev/null | "
                    "perl -pe 's/\\e\\[(\\d*)C/\" \" x ($1 || 1)/ge; s/\\e\\[[0-9;?]*[A-Za-z]|\\r//g'"});
    EXPECT_EQ(SortedLayoutEntries(ReadBytes(dir / "fx.snd")), kRoadSorted);
}

// Started in a directory whose name is longer than PATH_MAX, relative names cannot be made absolute;
// the second name must still resolve where the command started, not in the first file's folder.
TEST(Cli, RelativeNamesUnderAVeryDeepStartingDirectory) {
    LINUX_ONLY();
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
    // c/LONG/fx.snd: a relative name longer than Windows' 259 bytes.
    const std::string longName = "c/" + std::string(250, 'c') + "/" + std::string(30, 'c') + "/fx.snd";
    const std::string longFolder = longName.substr(0, longName.size() - 7);
    script += " && mkdir -p a/b b " + longFolder;
    script += " && for f in a b a/b " + longFolder + "; do cp " + up + "fx.snd $f/fx.snd; done";
    script += " && '" TESSOREL_CLI "' a/fx.snd b/fx.snd " + longName + " >out 2>err; echo $? >status";
    script += " && ls -A a a/b b " + longFolder + " >files && cat status out err files";
    // bash, since some shells refuse to enter a folder whose full name passes PATH_MAX.
    WriteBytes(dir / "deep.sh", script + "\n");
    const std::string outPath = dir.str(".out");
    ASSERT_EQ(std::system(("bash '" + dir.str("deep.sh") + "' >'" + outPath + "'").c_str()), 0);
    EXPECT_EQ(ReadBytes(outPath),
              "0\n"
              "a/fx.snd: 確認: 整列を完了しました\n"
              "b/fx.snd: 確認: 整列を完了しました\n" +
                  longName + ": 確認: 整列を完了しました\n"
                  "3 sorted, 0 already sorted, 0 skipped, 0 failed\n"
                  "a:\nb\nfx.snd\nfx_old.snd\n\n"
                  "a/b:\nfx.snd\n\n"
                  "b:\nfx.snd\nfx_old.snd\n\n" +
                  longFolder + ":\nfx.snd\nfx_old.snd\n");
    // The folders nest deeper than the library's own removal reaches.
    EXPECT_EQ(std::system(("cd '" + dir.path().string() + "' && rm -rf " + component).c_str()), 0);
}

TEST(Cli, WarningsAndSilentEndsGoToStandardErrorAndFail) {
    LINUX_ONLY();
    TempDir dir;
    WriteBytes(dir / "fx.wav", BuildArchive(kRoad));
    std::string damaged = BuildArchive(kRoad);
    damaged.pop_back();
    WriteBytes(dir / "bad.snd", damaged);
    WriteBytes(dir / "ok.snd", BuildArchive(kRoad));
    WriteBytes(dir / "taken.snd", BuildArchive(kRoad));
    fs::create_directory(dir / "taken_new.snd");
    WriteBytes(dir / "busy.snd", BuildArchive(kRoad));  // locked as by another run
    WriteBytes(dir / "large.snd", BuildArchive({{1, 0, std::string(300000, 'x')}, {0, 0, "y"}}));
    // Larger than an archive read whole, so that it is copied entry by entry, as the shim's
    // copy_file_range=END needs.
    const std::string next = BuildArchive({{1, 0, std::string(70000, 'x')}, {0, 0, "y"}});
    WriteBytes(dir / "next.snd", next);
    // After "--", a name that looks like an option is a file's; "-" is a file's name too.
    WriteBytes(dir / "pipe.snd", BuildArchive(kRoad));
    ExpectRun(dir, {"fx.wav none.snd bad.snd taken.snd pipe.snd busy.snd large.snd ok.snd -- --list -", 1,
                    "ok.snd: 確認: 整列を完了しました\n",
                    "fx.wav: 警告: .sndファイルではありません\n"
                    "none.snd: cannot open: No such file or directory\n"
                    "bad.snd: 警告: 読込エラー2\n"
                    "taken.snd: cannot create the sorted archive: a folder has its name\n"
                    "pipe.snd: cannot create the sorted archive: something that is not a plain file "
                    "(a pipe, a device or a socket) has its name, and is left alone\n"
                    "busy.snd: busy: another program holds a lock on it (another sort, or a reader)\n"
                    "large.snd: cannot write the sorted archive: File too large\n"
                    "--list: 警告: .sndファイルではありません\n"
                    "-: 警告: .sndファイルではありません\n"
                    "1 sorted, 0 already sorted, 0 skipped, 9 failed\n",
                    // files of at most 100 blocks: large.snd cannot be written
                    "mkfifo pipe_new.snd; trap '' XFSZ; ulimit -f 100; flock busy.snd @"});
    // A file that could not be written is left as it was, and no partial archive stays.
    EXPECT_EQ(FilesIn(dir.path()),
              (std::vector<std::string>{"bad.snd", "busy.snd", "fx.wav", "large.snd", "next.snd",
                                        "ok.snd", "ok_old.snd", "pipe.snd", "pipe_new.snd",
                                        "taken.snd", "taken_new.snd"}));
    // The ends that only a refused system call brings about, each with its own reason.
    for (const auto& [plan, reason] : {std::pair{"pread=EIO", "cannot read: Input/output error"},
                                       {"chdir=EACCES", "cannot enter its directory: Permission denied"},
                                       {"fsync-directory=EIO",
                                        "renamed, but cannot flush its directory to the disk: "
                                        "Input/output error"},
                                       {"fsync=SAVE", "changed by another program while it was "
                                        "sorted; its changes are kept, nothing is confirmed"},
                                       // it shrank while it was copied: not an error of its own
                                       {"copy_file_range=END", "changed by another program while "
                                        "it was sorted; its changes are kept, nothing is confirmed"},
                                       {"flock=NFS,open-write=EACCES", "cannot lock it against "
                                        "other sorts: this file system locks only files this user "
                                        "may write, and this user may not write it"}}) {
        ExpectRun(dir, {"./next.snd", 1, "", ("./next.snd: " + std::string(reason) + "\n").c_str(),
                        "TESSOREL_SYSCALLS=" + std::string(plan) + " @", TESSOREL_SHIMMED});
        fs::remove(dir / "next_old.snd");  // where the renames were done, but not flushed
        WriteBytes(dir / "next.snd", next);
    }
    // A name longer than a path buffer, where the system opens it. Without its starting directory
    // the command cannot find a relative name, but goes on with an absolute one.
    const std::string longName = "." + std::string(4096, '/') + "next.snd";
    ExpectRun(dir, {longName.c_str(), 1, "", (longName + ": name too long\n").c_str(),
                    "TESSOREL_SYSCALLS=open=SQUEEZE @", TESSOREL_SHIMMED});
    const std::string absolute = dir.str("next.snd");
    ExpectRun(dir, {("next.snd " + absolute).c_str(), 1, (absolute + ": 確認...").c_str(),
                    "next.snd: cannot find the starting directory\n"
                    "1 sorted, 0 already sorted, 0 skipped, 1 failed\n",
                    "TESSOREL_SYSCALLS=open-path=EMFILE @", TESSOREL_SHIMMED});
}

// What the command says, and leaves, where a rename cannot be made, where the names lead back to
// the archive itself, on NFS, and when it is asked to stop, by a signal on Linux or a console event
// on Windows: before the first rename it removes its own new archive and ends as the request would
// have ended it; from the first rename on, it finishes the renames first, and takes no further
// file. Windows ends a process whose console closes once its handler returns, so that one must
// wait for the renames. Under Windows only the rows with a plan for it run.
TEST(Cli, CausesLinksLocksAndInterruptions) {
    struct Case {
        const char* plan;  // TESSOREL_SYSCALLS
        CliCase run;
        std::vector<std::string> files;
        const char* windowsPlan = nullptr;
        const char* shellSays = "";  // the shell's own line, that the command ended by the signal
    } const cases[] = {
        {"renameat2=EINVAL,link=EPERM",
         {"fx.snd", 1, "",
          "fx.snd: 警告: pOldFileリネームミリ\n"
          "fx.snd: cannot rename it to fx_old.snd: this file system can neither rename without "
          "replacing nor make hard links; it keeps its name\n"
          "fx.snd: 警告: pDefFileリネームミリ\n"
          "fx.snd: cannot give the sorted archive its name: this file system can neither rename "
          "without replacing nor make hard links; the sorted archive is in fx_new.snd\n"},
         {"fx.snd", "fx_new.snd"}},
        // A taken backup name is seen before anything is written; or the backup is numbered.
        {"", {"fx.snd", 1, "",
              "fx.snd: fx_old.snd is taken (an earlier sort's backup?): nothing written; move it "
              "away, or keep both with --backup=numbered\n", "touch fx_old.snd; @"},
         {"fx.snd", "fx_old.snd"}},
        {"", {"-q --backup=numbered fx.snd", 0, "", "",
              "touch fx_old.snd fx_1_old.snd; @"},
         {"fx.snd", "fx_1_old.snd", "fx_2_old.snd", "fx_old.snd"}},
        {"renameat2=EEXIST", {"--backup=numbered fx.snd", 1, "",
                              "fx.snd: 警告: pOldFileリネームミリ\n"
                              "fx.snd: cannot rename it to fx_1_old.snd: File exists; it keeps its name\n"
                              "fx.snd: 警告: pDefFileリネームミリ\n"
                              "fx.snd: cannot give the sorted archive its name: File exists; the "
                              "sorted archive is in fx_new.snd\n", "touch fx_old.snd; @"},
         {"fx.snd", "fx_new.snd", "fx_old.snd"}},
        {"", {"fx.snd", 1, "",
              "fx.snd: its work or backup name already leads to the archive itself (through a "
              "link); nothing written\n", "mv fx.snd fx_new.snd; ln -s fx_new.snd fx.snd; @"},
         {"fx.snd", "fx_new.snd"}},
        {"flock=NFS", {"fx.snd", 1, "",
                       "fx.snd: busy: another program holds a lock on it (another sort, or a "
                       "reader)\n", "flock fx.snd @"},
         {"fx.snd"}},
        {"flock=NFS", {"fx.snd", 0, "fx.snd: 確認: 整列を完了しました\n", ""}, {"fx.snd", "fx_old.snd"}},
        {"fsync=SIGTERM", {"fx.snd", 143, "", "fx.snd: interrupted; nothing renamed, the sorted "
                                              "archive removed\n"},
         {"fx.snd"}, "FlushFileBuffers=CTRL_CLOSE_EVENT", "Terminated\n"},
        {"copy_file_range=SIGHUP", {"fx.snd next.snd", 129, "", "fx.snd: interrupted; nothing "
                                    "renamed, the sorted archive removed\n"},
         {"fx.snd"}, "WriteFile=CTRL_BREAK_EVENT", "Hangup\n"},
        {"renameat2=SIGINT", {"fx.snd next.snd", 130, "fx.snd: 確認: 整列を完了しました\n", ""},
         {"fx.snd", "fx_old.snd"}, "MoveFileExA=CTRL_C_EVENT"},
        {"renameat2=SIGHUP", {"fx.snd next.snd", 129, "fx.snd: 確認: 整列を完了しました\n", ""},
         {"fx.snd", "fx_old.snd"}, "MoveFileExA=CTRL_CLOSE_EVENT", "Hangup\n"},
        // A signal ignored from the start (nohup) stays ignored: the sort goes on to its end.
        {"copy_file_range=SIGHUP", {"fx.snd", 0, "fx.snd: 確認: 整列を完了しました\n", "",
                                    "trap '' HUP; @"}, {"fx.snd", "fx_old.snd"}},
        // A C library without a converter for code page 932 (a small container image).
        {"iconv_open=EINVAL", {"-v fx.snd fx_new.snd", 0, "fx.snd: 確認: 整列を完了しました\n",
                               "fx_new.snd: skipped: a work file of an earlier sort (--force takes it)\n"
                               "1 sorted, 0 already sorted, 1 skipped, 0 failed\n"},
         {"fx.snd", "fx_old.snd"}},
    };
    for (const Case& c : cases) {
        if (UnderWindows() && c.windowsPlan == nullptr) continue;
        TempDir dir;
        const std::string original = BuildArchive({{1, 0, std::string(70000, 'x')}, {0, 0, "y"}});
        WriteBytes(dir / "fx.snd", original);
        CliCase run = c.run;
        const std::string plan = UnderWindows() ? c.windowsPlan : c.plan;
        // Built by appending: GCC 12 at -O3 takes "text" + string for an overlapping copy.
        run.around.replace(run.around.find('@'), 1,
                           std::string("env TESSOREL_SYSCALLS=").append(plan).append(" @"));
        run.program = Shimmed();
        // Windows' exit code for an end by Ctrl+C, STATUS_CONTROL_C_EXIT, of which Wine keeps the
        // low byte; and no shell's line.
        run.status = UnderWindows() ? 0x3A : run.status;
        run.err += UnderWindows() ? "" : c.shellSays;
        ExpectRun(dir, run);
        EXPECT_EQ(FilesIn(dir.path()), c.files) << plan;
        EXPECT_TRUE(std::any_of(c.files.begin(), c.files.end(), [&](const std::string& name) {
            return ReadBytes(dir / name) == original;
        })) << plan;
    }
}

// Every file below a folder, recursively, with its bytes.
std::map<std::string, std::string> Tree(const fs::path& dir) {
    std::map<std::string, std::string> files;
    for (const auto& item : fs::recursive_directory_iterator(dir)) {
        if (item.is_regular_file()) files[fs::relative(item.path(), dir).string()] = ReadBytes(item.path());
    }
    return files;
}

// A folder is walked: every plain .snd file below it, in any case, in the order of the names, the
// tool's own files skipped, anything else passed over without a word, and a symbolic link not
// followed. By default only what was sorted and what went wrong is told, with a line that counts
// them; run again over the sorted tree, the command changes nothing and says nothing. The find
// recipe of the README agrees, and a walk's status is that of the files in it.
TEST(Cli, RunAgainOverAFolderChangesNothing) {
    TempDir dir;
    fs::create_directories(dir / "sounds" / "sub");
    WriteBytes(dir / "sounds" / "a.snd", BuildArchive(kRoad));
    WriteBytes(dir / "sounds" / "sub" / "B.SND", BuildArchive(kRoad));
    WriteBytes(dir / "sounds" / "sorted.snd", BuildArchive(kRoadSorted));
    WriteBytes(dir / "sounds" / "c_new.snd", BuildArchive(kRoad));  // a work file, left alone
    WriteBytes(dir / "sounds" / "notes.txt", "not an archive");
    if (!UnderWindows()) {  // Wine shows a link to a folder as the folder
        fs::create_directory(dir / "elsewhere");
        WriteBytes(dir / "elsewhere" / "x.snd", BuildArchive(kRoad));
        fs::create_directory_symlink("../elsewhere", dir / "sounds" / "link");
    }
    const auto named = [](std::string path) {  // as the walk joins names: with the system's separator
        if (UnderWindows()) std::replace(path.begin(), path.end(), '/', '\\');
        return path;
    };
    const std::string a = named("sounds/a.snd"), b = named("sounds/sub/B.SND");
    const std::string sorted = named("sounds/sorted.snd");
    ExpectRun(dir, {"--check sounds", 1,
                    a + ": not sorted: entry 2 (0,5) follows (1,0)\n" + b +
                        ": not sorted: entry 2 (0,5) follows (1,0)\n",
                    "2 not sorted, 1 sorted, 1 skipped, 0 failed\n"});
    ExpectRun(dir, {"sounds", 0, a + ": 確認: 整列を完了しました\n" + b + ": 確認: 整列を完了しました\n",
                    "2 sorted, 1 already sorted, 1 skipped, 0 failed\n"});
    const auto tree = Tree(dir / "sounds");
    EXPECT_EQ(tree.size(), 7u);  // no backup of the archive that was sorted already
    const std::string skippedLine = ": skipped: a work file of an earlier sort (--force takes it)\n";
    const CliCase again[] = {
        {"sounds", 0, "", ""},
        {"--check sounds", 0, "", ""},
        {"-v sounds", 0,
         a + ": already sorted; left as it is\n" + sorted + ": already sorted; left as it is\n" + b +
             ": already sorted; left as it is\n",
         named("sounds/a_old.snd: skipped: a backup of an earlier sort (--force takes it)\n") +
             named("sounds/c_new.snd") + skippedLine +
             named("sounds/sub/B_old.snd: skipped: a backup of an earlier sort (--force takes it)\n")},
        // Sorting through find: -iname takes what the command takes; a sort's status is 0 or 1,
        // which find keeps.
        {"", 0, "", "", "find sounds -iname '*.snd' -exec @ {} +"},
    };
    for (const CliCase& c : again) {
        if (!(UnderWindows() && c.around != "@")) ExpectRun(dir, c);
    }
    EXPECT_EQ(Tree(dir / "sounds"), tree);
    // A damaged archive in the tree: its problem, then the count, or with --quiet its problem only.
    std::string damaged = BuildArchive(kRoad);
    damaged.pop_back();
    WriteBytes(dir / "sounds" / "sub" / "bad.snd", damaged);
    const std::string bad = named("sounds/sub/bad.snd") + ": 警告: 読込エラー2\n";
    ExpectRun(dir, {"sounds", 1, "", bad + "0 sorted, 3 already sorted, 3 skipped, 1 failed\n"});
    ExpectRun(dir, {"-q sounds", 1, "", bad});
    ExpectRun(dir, {"--check sounds", 2, "", bad + "0 not sorted, 3 sorted, 3 skipped, 1 failed\n"});
}

TEST(Cli, ListPrintsTheChainAndChangesNothing) {
    TempDir dir;
    const std::string original = BuildArchive(kRoad);
    WriteBytes(dir / "fx.snd", original);
    const char* listed =
        "fx.snd: 3 entries (index offset length group item)\n1 512 8 1 0\n2 536 9 0 5\n3 561 8 0 2\n";
    // A file that cannot be listed says why, lists nothing, and the others are listed still.
    for (const CliCase& c : {CliCase{"--list fx.snd", 0, listed, ""},
                             CliCase{"--list none.snd fx.snd", 1, listed,
                                     "none.snd: cannot open: No such file or directory\n"}}) {
        ExpectRun(dir, c);
    }
    ExpectUntouched(dir.path(), {"fx.snd"}, "fx.snd", original);
}

// Output lost is a failure: one line on standard error and status 1. A reader that stops early
// (a closed pipe) ends the command quietly, also where the signal for it is ignored; on Windows,
// where such a write fails with the pipe's own error, too. /dev/full is Linux's.
TEST(Cli, OutputThatCannotBeWrittenFailsAndAClosedPipeIsQuiet) {
    TempDir dir;
    WriteBytes(dir / "fx.snd", BuildArchive(kRoad));
    const char* full = "tessorel: cannot write standard output: No space left on device\n";
    const char* lost = "@ >/dev/full";
    const CliCase cases[] = {
        {"--list fx.snd", 1, "", full, lost},
        {"--help", 1, "", full, lost},
        {"--version", 1, "", full, lost},
        // Sorted, but the confirmations are lost: the archives of one folder are sorted together,
        // and the command takes none of the next folder's.
        {"fx.snd next.snd later/next.snd", 1, "",
         std::string("2 sorted, 0 already sorted, 0 skipped, 0 failed\n") + full, lost},
        {"--list big.snd big.snd big.snd big.snd", 0, "big.snd: 1", "", "trap '' PIPE; @ | head -c 10"},
        {"--list big.snd big.snd big.snd big.snd", 0, "big.snd: 1", "", "@ | head -c 10"},
    };
    std::vector<TestEntry> many;
    for (uint32_t k = 0; k < 1024; ++k) many.push_back({k, k, ""});
    WriteBytes(dir / "big.snd", BuildArchive(many));
    WriteBytes(dir / "next.snd", BuildArchive(kRoad));
    fs::create_directory(dir / "later");
    WriteBytes(dir / "later" / "next.snd", BuildArchive(kRoad));
    for (const CliCase& c : cases) {
        if (!(UnderWindows() && c.around == std::string(lost))) ExpectRun(dir, c);
    }
    std::vector<std::string> files = {"big.snd", "fx.snd", "fx_old.snd", "later", "next.snd", "next_old.snd"};
    if (UnderWindows()) files = {"big.snd", "fx.snd", "later", "next.snd"};  // /dev/full is Linux's
    EXPECT_EQ(FilesIn(dir / "later"), std::vector<std::string>{"next.snd"});
    EXPECT_EQ(FilesIn(dir.path()), files);
}

// A usage error is one line with its cause, and where help is. An empty argument is a FILE's
// name, never the end of the options: `tessorel "$EMPTY" --check x.snd` must not sort x.snd.
TEST(Cli, UsageErrorsExitWithTwo) {
    TempDir dir;
    WriteBytes(dir / "-dash.snd", BuildArchive(kRoad));
    WriteBytes(dir / "x.snd", BuildArchive(kRoad));
    const std::string help = "\nTry 'tessorel --help' for more information.\n";
    const CliCase cases[] = {
        {"", 2, "", "tessorel: no FILE" + help},
        {"--bogus x.snd", 2, "", "tessorel: unknown option --bogus" + help},
        {"-dash.snd", 2, "", "tessorel: unknown option -dash.snd (to take the file of that name, put "
                             "-- before it)" + help},
        {"--backup=simple x.snd", 2, "", "tessorel: unknown option --backup=simple" + help},
        {"--check --list x.snd", 2, "", "tessorel: --list and --check do not go together" + help},
        {"--list -v x.snd", 2, "", "tessorel: --verbose does not go with --list" + help},
        {"-q --verbose x.snd", 2, "", "tessorel: --quiet and --verbose do not go together" + help},
        {"--names x.snd", 2, "", "tessorel: --names goes with --check" + help},
        {"--check --names --verbose x.snd", 2, "", "tessorel: --names and --verbose do not go together" + help},
        {"--check --null x.snd", 2, "", "tessorel: --null goes with --names" + help},
        {"--check --backup=numbered x.snd", 2, "",
         "tessorel: --backup goes with sorting, not with --check or --list" + help},
        {"'' --check x.snd", 2, "x.snd: not sorted: entry 2 (0,5) follows (1,0)\n",
         "'': cannot open: an empty name names no file\n1 not sorted, 0 sorted, 0 skipped, 1 failed\n"},
        {"--help", 0, "Usage: tessorel...", ""},
        {"-h", 0, "Usage: tessorel...", ""},
        {"--version", 0, "tessorel 1...", ""},
        {"-V", 0, "tessorel 1...", ""},
    };
    for (const CliCase& c : cases) ExpectRun(dir, c);
    EXPECT_EQ(FilesIn(dir.path()), (std::vector<std::string>{"-dash.snd", "x.snd"}));
}

// --check reads each file as a sort would, says where a sort would change it, and changes nothing.
TEST(Cli, CheckTellsWhatASortWouldChange) {
    TempDir dir;
    const std::vector<TestEntry>& inOrder = kRoadSorted;
    std::string damaged = BuildArchive(kRoad);
    damaged.pop_back();
    std::string lastNext = BuildArchive(inOrder);
    PutLe32(lastNext, 512 + 24 + 25, 4);  // the last entry's next-entry offset
    const std::pair<const char*, std::string> files[] = {
        {"sorted.snd", BuildArchive(inOrder)},
        {"unsorted.snd", BuildArchive(kRoad)},
        {"items.snd", BuildArchive({kRoad[1], kRoad[2], kRoad[0]})},
        {"late.snd", BuildArchive(inOrder, {1024, 1048, 1073})},
        {"gap.snd", BuildArchive(inOrder, {512, 540, 565})},
        {"last.snd", lastNext},
        {"trailing.snd", BuildArchive(inOrder) + "xyz"},
        {"bad.snd", damaged},
        {"text.snd", "not an archive at all"},
        {"unsorted_old.snd", BuildArchive(kRoad)},
    };
    for (const auto& [name, bytes] : files) WriteBytes(dir / name, bytes);
    const CliCase cases[] = {
        {"--check sorted.snd", 0, "", ""},
        {"--check --verbose sorted.snd", 0, "sorted.snd: sorted\n", ""},
        {"--check unsorted.snd", 1, "unsorted.snd: not sorted: entry 2 (0,5) follows (1,0)\n", ""},
        {"--check items.snd", 1, "items.snd: not sorted: entry 2 (0,2) follows (0,5)\n", ""},
        {"--check late.snd", 1, "late.snd: not laid out as sorted: entry 1 starts at 1024, not 512\n",
         ""},
        {"--check gap.snd", 1, "gap.snd: not laid out as sorted: entry 2 starts at 540, not 536\n", ""},
        {"--check last.snd", 1,
         "last.snd: not laid out as sorted: entry 3's next-entry offset is 4, not 585\n", ""},
        {"--check trailing.snd", 1, "trailing.snd: 3 bytes after the last entry\n", ""},
        // Exit status: 1 where a sort would change one, 2 where one cannot be checked.
        {"--check bad.snd", 2, "", "bad.snd: 警告: 読込エラー2\n"},
        {"--check none.snd", 2, "", "none.snd: cannot open: No such file or directory\n"},
        {"--check fx.wav", 2, "", "fx.wav: 警告: .sndファイルではありません\n"},
        {"--check text.snd", 2, "", "text.snd: 警告: 読込エラー1\n"},
        {"--check sorted.snd none.snd unsorted.snd fx.wav", 2,
         "unsorted.snd: not sorted: entry 2 (0,5) follows (1,0)\n",
         "none.snd: cannot open: No such file or directory\nfx.wav: 警告: .sndファイルではありません\n"
         "1 not sorted, 1 sorted, 0 skipped, 2 failed\n"},
        // Names only, for a pipeline; the tool's own files are passed over unless forced.
        {"--check --names sorted.snd unsorted.snd late.snd", 1, "unsorted.snd\nlate.snd\n", ""},
        {"--check --names --null unsorted.snd late.snd", 1, std::string("unsorted.snd\0late.snd\0", 22), ""},
        {"--check --names sorted.snd", 0, "", ""},
        {"--check unsorted_old.snd", 0, "", ""},
        {"--check -v unsorted_old.snd", 0, "",
         "unsorted_old.snd: skipped: a backup of an earlier sort (--force takes it)\n"},
        {"--check --force --names unsorted_old.snd", 1, "unsorted_old.snd\n", ""},
        {"--check --verbose UNSORTED_OLD.SND Unsorted_New.Snd", 0, "",
         "UNSORTED_OLD.SND: skipped: a backup of an earlier sort (--force takes it)\n"
         "Unsorted_New.Snd: skipped: a work file of an earlier sort (--force takes it)\n"},
    };
    for (const CliCase& c : cases) ExpectRun(dir, c);
    // cmd hands a wildcard on as it is: the Windows program expands it, in the order of the names.
    // In code page 932, 雲 (89 5F) and ダ (83 5F) end in the underscore's byte: these are no work file
    // and no backup.
    if (UnderWindows()) {
        WriteBytes(dir / "雲new.snd", BuildArchive(kRoad));
        WriteBytes(dir / "ダold.snd", BuildArchive(kRoad));
        ExpectRun(dir, {"--check 雲new.snd ダold.snd", 1,
                        "雲new.snd: not sorted: entry 2 (0,5) follows (1,0)\n"
                        "ダold.snd: not sorted: entry 2 (0,5) follows (1,0)\n",
                        "2 not sorted, 0 sorted, 0 skipped, 0 failed\n"});
        fs::remove(dir / "雲new.snd");
        fs::remove(dir / "ダold.snd");
        ExpectRun(dir, {"--check '*ted.snd'", 1, "unsorted.snd: not sorted: entry 2 (0,5) follows (1,0)\n",
                        "1 not sorted, 1 sorted, 0 skipped, 0 failed\n"});
    }
    for (const auto& [name, bytes] : files) EXPECT_TRUE(ReadBytes(dir / name) == bytes) << name;
    EXPECT_EQ(FilesIn(dir.path()).size(), std::size(files));
    // Keys in order are not enough: what --check calls not laid out as sorted, a sort rewrites.
    for (const char* name : {"late.snd", "gap.snd", "last.snd", "trailing.snd"}) {
        ExpectRun(dir, {name, 0, std::string(name) + ": 確認: 整列を完了しました\n", ""});
    }
}

// A name that the system's code page cannot hold, beside the look-alike it would be taken for
// ("ｆｘ.snd" is "fx.snd" to a Western code page's best fit): it is reported and left alone, and
// so is the look-alike. Only Windows has such a code page; the Linux command takes every name.
TEST(Cli, NameTheCodePageCannotHoldIsLeftAlone) {
    if (!UnderWindows()) GTEST_SKIP() << "only Windows has an ANSI code page";
    TempDir dir;
    const std::string original = BuildArchive(kRoad);
    WriteBytes(dir / "ｆｘ.snd", original);
    WriteBytes(dir / "fx.snd", original);
    ExpectRun(dir, {"ｆｘ.snd", 1, "",
                    "ｆｘ.snd: this system's code page cannot hold the name; it could name another "
                    "file, and is left alone\n",
                    "TESSOREL_WINE_LANG=C.UTF-8 @"});
    ExpectUntouched(dir.path(), {"fx.snd", "ｆｘ.snd"}, "fx.snd", original);
    EXPECT_EQ(ReadBytes(dir / "ｆｘ.snd"), original);
}

}  // namespace
