// main.cpp: the command-line front end: sorts, checks or lists sound archives named on the command
// line. The same source builds the Linux command and the Windows console program.
#include <algorithm>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "archive.h"
#include "console.h"
#include "cp932.h"
#include "drop.h"
#include "messages.h"
#include "pathutil.h"
#include "platform.h"

#ifndef TESSOREL_VERSION
#error "the build defines TESSOREL_VERSION"
#endif
#ifndef TESSOREL_COMMAND
#define TESSOREL_COMMAND "tessorel"  // the name the command is called by
#endif

namespace {

// printf into `stream`, through Write, so that the text reads right on any terminal.
[[gnu::format(printf, 2, 3)]] void Say(FILE* stream, const char* format, ...) {
    va_list args, again;
    va_start(args, format);
    va_copy(again, args);
    const int n = std::vsnprintf(nullptr, 0, format, args);
    va_end(args);
    std::string text(n > 0 ? static_cast<size_t>(n) : 0, '\0');
    if (n > 0) std::vsnprintf(text.data(), text.size() + 1, format, again);  // room for the zero
    va_end(again);
    Write(stream, text);
}

constexpr char kUsage[] =
    "Usage: " TESSOREL_COMMAND " [-q | -v] [--backup=numbered] [--force] [--] FILE...\n"
    "       " TESSOREL_COMMAND " --check [-q | -v | --names [--null]] [--force] [--] FILE...\n"
    "       " TESSOREL_COMMAND " --list [--force] [--] FILE...\n"
    "Sorts each sound archive FILE (.snd) into ascending (group, item) order, exactly as a drop on\n"
    "the window would: the sorted archive takes FILE's name and the original is kept as\n"
    "BASE_old.snd beside it. An archive that is sorted already is left as it is. A FILE that is a\n"
    "folder is walked: every .snd file in it and below it, in any case, in the order of their names;\n"
    "symbolic links are not followed. Names ending in _old.snd or _new.snd (the backups and work\n"
    "files of earlier sorts) are skipped.\n"
    "\n"
    "  --check       tell whether each archive is sorted already (a sort would write the very\n"
    "                bytes it holds); print the first difference of each that is not; change\n"
    "                nothing\n"
    "  --names       with --check, print only the name of each archive a sort would change, one\n"
    "                per line\n"
    "  --null        with --names, end each name with a NUL byte instead, for xargs -0\n"
    "  --list        print each archive's entries in chain order; change nothing\n"
    "  --backup=numbered\n"
    "                where BASE_old.snd is taken, keep it and back up as BASE_1_old.snd, the next\n"
    "                number free (without it, a taken backup name is reported and nothing written)\n"
    "  --force       take names ending in _old.snd or _new.snd too\n"
    "  -q, --quiet   print problems only: no confirmations and no summary\n"
    "  -v, --verbose print also each archive left as sorted (with --check, \"FILE: sorted\") and\n"
    "                each file skipped\n"
    "  --            take every argument after it as a FILE, one beginning with - too\n"
    "  -h, --help    show this help\n"
    "  -V, --version show the version\n"
    "\n"
    "After more than one FILE, of which a sort changed or failed on one, a line on standard error\n"
    "counts them.\n"
    "Exit status: sorting and --list, 0 when every FILE was sorted, left as sorted, skipped or\n"
    "listed, 1 when any was not; --check, 0 when every FILE is sorted, 1 when a sort would change\n"
    "one, 2 when one could not be checked; 2 for a usage error.\n"
    "Every message, and what it means: the manual (man tessorel; on Windows, tessorel-cli.txt\n"
    "beside the program).\n";

struct Options {
    bool list = false;
    bool check = false;
    bool verbose = false;
    bool quiet = false;
    bool names = false;
    bool null = false;
    bool force = false;
    bool numbered = false;  // --backup=numbered
};

// A file being taken, and what is to be said of it: its lines wait until its sort has ended (in a
// run over many archives, until the folder's names are on the disk), and then come in order.
struct Current {
    std::string path;        // for the file functions
    std::string shownName;   // its name as the user reads it
    std::string oldSuffix;   // its backup name's, after the base
    std::string oldName;     // the name of its backup as the user reads it ("BASE_old.snd")
    const Options* options;
    std::vector<std::pair<FILE*, std::string>> lines;
    std::string cause;       // PlatErrorText once its sort's last step ended
};

// Says the lines a file has waiting, in order.
void Emit(Current* current) {
    for (const auto& [stream, text] : current->lines) {
        Write(stream, text);
        std::fflush(stream);
    }
    current->lines.clear();
}

// Each message as "FILE: CAPTION: TEXT": warnings to standard error, the confirmation (but with
// --quiet) to standard output. A rename warning is followed by its cause and where the files are
// now.
void PrintMessage(const char* text, const char* caption, void* context) {
    Current& current = *static_cast<Current*>(context);
    const char* file = current.shownName.c_str();
    const bool confirm = std::strcmp(caption, kCaptionConfirm) == 0;
    if (confirm && current.options->quiet) return;
    std::string line =
        std::string(file) + ": " + Cp932ToUtf8(caption) + ": " + Cp932ToUtf8(text) + "\n";
    // Rename warnings come only for names that end in the four extension bytes.
    if (std::strcmp(text, kMsgOldRename.text) == 0) {
        line += std::string(file) + ": cannot rename it to " + current.oldName + ": " + PlatErrorText() +
                "; it keeps its name\n";
    } else if (std::strcmp(text, kMsgDefRename.text) == 0) {
        line += std::string(file) + ": cannot give the sorted archive its name: " + PlatErrorText() +
                "; the sorted archive is in " + std::string(file, std::strlen(file) - 4) + "_new.snd\n";
    }
    current.lines.emplace_back(confirm ? stdout : stderr, line);
}

// A short reason for the ends that show no message, nullptr for those that do, and whether the
// system's own words for the cause follow it. "BASE_old.snd" in it stands for the file's backup
// name, and "BASE" for the file's name without its last four bytes, which the work name is made of.
struct Reason {
    const char* text;
    bool cause;
};

std::string WithBase(std::string text, const Current& current) {
    size_t at = text.find("BASE_old.snd");
    if (at != std::string::npos) text.replace(at, 12, current.oldName);
    at = text.find("BASE");
    if (at != std::string::npos) text.replace(at, 4, current.shownName.substr(0, current.shownName.size() - 4));
    return text;
}
Reason SilentReason(DropResult result) {
    switch (result) {
        case DropResult::OpenFailed: return {"cannot open", true};
        case DropResult::ReadFailed: return {"cannot read", true};
        case DropResult::NameTooLong: return {"name too long", false};
        case DropResult::DirectoryFailed: return {"cannot enter its directory", true};
        case DropResult::CreateFailed: return {"cannot create the sorted archive", true};
        case DropResult::WriteFailed: return {"cannot write the sorted archive", true};
        case DropResult::FlushFailed:
            return {"renamed, but cannot flush its directory to the disk", true};
        case DropResult::Busy: return {"busy", true};
        case DropResult::LockRefused: return {"cannot lock it against other sorts", true};
        case DropResult::Changed:
            return {"changed by another program while it was sorted; its changes are kept, "
                    "nothing is confirmed", false};
        case DropResult::ChangedBackedUp:
            return {"changed by another program while it was sorted; what it left keeps this "
                    "name, the original is in BASE_old.snd; nothing is confirmed", false};
        case DropResult::ChangedGivenBack:
            return {"changed by another program while it was sorted; what the backup rename "
                    "carried to BASE_old.snd is back under this name; nothing is confirmed", false};
        case DropResult::WorkNameTaken:
            return {"BASE_new.snd holds something this sort would not write: left alone; "
                    "nothing written", false};
        case DropResult::NameIsArchive:
            return {"its work or backup name already leads to the archive itself (through a "
                    "link); nothing written", false};
        case DropResult::BackupTaken:
            return {"BASE_old.snd is taken (an earlier sort's backup?): nothing written; move it "
                    "away, or keep both with --backup=numbered", false};
        case DropResult::Interrupted:
            return {"interrupted; nothing renamed, the sorted archive removed", false};
        default: return {nullptr, false};
    }
}

void ListTable(const char* file, const EntryTable& table) {
    Say(stdout, "%s: %u entries (index offset length group item)\n", file, table.cntList);
    for (uint32_t k = 0; k < table.cntList; ++k) {
        const EntryRow& row = table.rows[k];
        Say(stdout, "%u %u %u %u %u\n", k + 1, row.offset, row.length, row.group, row.item);
    }
}

// With --check: prints nothing for a sorted archive (but with --verbose), else its first
// difference from the archive a sort would write, or with --names only its name; true when sorted.
bool CheckTable(const char* file, const EntryTable& table, const Options& o) {
    const LayoutDifference d = CompareWithSorted(table);
    const EntryRow* rows = table.rows;
    if (o.names) {
        if (d.kind != Layout::Sorted) Say(stdout, "%s%c", file, o.null ? '\0' : '\n');
        return d.kind == Layout::Sorted;
    }
    switch (d.kind) {
        case Layout::Sorted:
            if (o.verbose) Say(stdout, "%s: sorted\n", file);
            return true;
        case Layout::OutOfOrder:
            Say(stdout, "%s: not sorted: entry %u (%u,%u) follows (%u,%u)\n", file, d.entry,
                        rows[d.entry - 1].group, rows[d.entry - 1].item, rows[d.entry - 2].group,
                        rows[d.entry - 2].item);
            break;
        case Layout::Misplaced:
            Say(stdout, "%s: not laid out as sorted: entry %u starts at %llu, not %llu\n", file,
                        d.entry, static_cast<unsigned long long>(d.found),
                        static_cast<unsigned long long>(d.expected));
            break;
        case Layout::LastNext:
            Say(stdout, "%s: not laid out as sorted: entry %u's next-entry offset is %llu, not %llu\n",
                        file, d.entry, static_cast<unsigned long long>(d.found),
                        static_cast<unsigned long long>(d.expected));
            break;
        case Layout::Trailing:
            Say(stdout, "%s: %llu bytes after the last entry\n", file,
                        static_cast<unsigned long long>(d.found));
            break;
    }
    return false;
}

// Standard output that could not be written fails the command like any other failure, with one
// line on standard error; a reader that went away (a closed pipe) ends it quietly.
int FinishOutput(int status) {
    if (std::fflush(stdout) == 0 && !std::ferror(stdout)) return status;
    if (!ReaderLeft(errno)) {
        Say(stderr, TESSOREL_COMMAND ": cannot write standard output: %s\n", std::strerror(errno));
    }
    return 1;
}

// "a backup" or "a work file" for a name that ends as this tool's own files do, in any case;
// nullptr for any other.
const char* OwnFile(const char* file) {
    if (EndsWithNoCase(file, "_old.snd")) return "a backup";
    if (EndsWithNoCase(file, "_new.snd")) return "a work file";
    return nullptr;
}

// A usage error: one line with its cause, and where help is; status 2.
int Misused(const std::string& why) {
    Say(stderr, TESSOREL_COMMAND ": %s\nTry '" TESSOREL_COMMAND " --help' for more information.\n",
        why.c_str());
    return 2;
}

// Reads the options; -1 when the command is to go on, else the status to end with. An empty
// argument is a FILE's name, never the end of the options.
int ParseOptions(const std::vector<Argument>& arguments, Options* o, std::vector<Argument>* files) {
    bool options = true;
    for (const Argument& argument : arguments) {
        const char* arg = argument.shown.c_str();
        const auto is = [options, arg](const char* a, const char* b = nullptr) {
            return options && (std::strcmp(arg, a) == 0 || (b != nullptr && std::strcmp(arg, b) == 0));
        };
        if (is("--")) {
            options = false;
        } else if (is("-h", "--help")) {
            Write(stdout, kUsage);
            return FinishOutput(0);
        } else if (is("-V", "--version")) {
            Say(stdout, "tessorel %s\n", TESSOREL_VERSION);
            return FinishOutput(0);
        } else if (bool* flag = is("--list")          ? &o->list
                                : is("--check")       ? &o->check
                                : is("-v", "--verbose") ? &o->verbose
                                : is("-q", "--quiet") ? &o->quiet
                                : is("--names")       ? &o->names
                                : is("--null")        ? &o->null
                                : is("--force")       ? &o->force
                                : is("--backup=numbered") ? &o->numbered
                                                      : nullptr) {
            *flag = true;
        } else if (options && arg[0] == '-' && arg[1] != '\0') {
            // A file whose name begins with a dash, as a wildcard hands it on, is told how to name.
            const bool file = argument.exact && PlatKindAt(argument.path.c_str(), false) != PlatKind::None;
            return Misused(std::string("unknown option ").append(arg).append(
                file ? " (to take the file of that name, put -- before it)" : ""));
        } else {
            files->push_back(argument);
        }
    }
    const char* wrong = o->list && o->check              ? "--list and --check do not go together"
                        : o->verbose && o->list          ? "--verbose does not go with --list"
                        : o->quiet && o->verbose         ? "--quiet and --verbose do not go together"
                        : o->names && !o->check          ? "--names goes with --check"
                        : o->names && o->verbose         ? "--names and --verbose do not go together"
                        : o->null && !o->names           ? "--null goes with --names"
                        : o->numbered && (o->check || o->list)
                            ? "--backup goes with sorting, not with --check or --list"
                        : files->empty()                 ? "no FILE"
                                                         : nullptr;
    return wrong != nullptr ? Misused(wrong) : -1;
}

// Archives of one folder waiting to be sorted together, and how much they hold.
constexpr size_t kChunkFiles = 256;
constexpr uint64_t kChunkBytes = 64u << 20;
struct Chunk {
    std::string folder;  // with its separator; "" for the starting directory
    std::vector<Current> files;
    std::vector<std::string> names;  // each one's name in the folder
    uint64_t bytes = 0;
};

// What one run did, for its summary and its status.
struct Run {
    Options o;
    bool held = false;      // the starting directory is held, so relative names resolve in it
    int status = 0;
    int unchecked = 1;      // the status of a FILE that cannot be taken at all
    unsigned changed = 0;   // sorted; with --check, not sorted
    unsigned left = 0;      // already sorted; with --check, sorted
    unsigned skipped = 0;
    unsigned failed = 0;
    bool stop = false;      // nobody would learn of the rest
    Chunk chunk;            // archives waiting to be sorted together
};

void Settle(Run* run);

void Failed(Run* run, int status) {
    ++run->failed;
    run->status = std::max(run->status, status);
}

// Back in the starting directory, where relative names resolve; false, with a line, where it
// cannot be had and the name is relative.
bool AtStart(Run* run, const char* file, const char* shown) {
    if (run->held ? PlatReturnToStartingDirectory() : PlatIsAbsolutePath(file)) return true;
    Settle(run);
    Say(stderr, "%s: cannot find the starting directory\n", shown);
    Failed(run, run->unchecked);
    return false;
}

// The backup name for a sort of `file`, after the base (the name but its last four bytes):
// "_old.snd", or with --backup=numbered and that taken, "_N_old.snd" for the first N from 1 whose
// name is free.
std::string OldSuffix(const Run& run, const std::string& file) {
    const std::string base = file.substr(0, file.size() - 4);
    if (!run.o.numbered || PlatKindAt((base + "_old.snd").c_str(), false) == PlatKind::None) {
        return "_old.snd";
    }
    for (unsigned n = 1; n < 100000; ++n) {
        const std::string suffix = std::string(1, '_').append(std::to_string(n)).append("_old.snd");
        if (PlatKindAt((base + suffix).c_str(), false) == PlatKind::None) return suffix;
    }
    return "_old.snd";  // refused as taken
}

// Tells how one file's sort, check or listing ended, and counts it.
void Report(Run* run, Current* current, DropResult result, int failed) {
    const Options& o = run->o;
    const char* shown = current->shownName.c_str();
    if (result == DropResult::AlreadySorted && o.verbose) {
        current->lines.emplace_back(stdout, current->shownName + ": already sorted; left as it is\n");
    }
    const Reason reason = SilentReason(result);
    if (reason.text != nullptr) {
        std::string line = std::string(shown).append(": ").append(WithBase(reason.text, *current));
        if (reason.cause) line.append(": ").append(current->cause);
        current->lines.emplace_back(stderr, line + "\n");
    }
    Emit(current);
    // With --check, a file a sort would change is what was asked about, not a failure.
    const bool differs = o.check && failed == 1;
    if (failed != 0 && !differs) {
        Failed(run, failed);
    } else {
        ++(differs || result == DropResult::Sorted ? run->changed : run->left);
        run->status = std::max(run->status, failed);
    }
    run->stop = std::ferror(stdout) || PlatInterrupted();
}

int SortFailed(DropResult result) {
    return result == DropResult::Sorted || result == DropResult::AlreadySorted ? 0 : 1;
}

void Step(size_t k, bool begins, void* context) {
    Current& current = static_cast<Chunk*>(context)->files[k];
    if (begins) {
        PlatSetMessageSink(PrintMessage, &current);
    } else {
        current.cause = PlatErrorText();
        PlatSetMessageSink(nullptr, nullptr);
    }
}

// Sorts the archives waiting, together, and tells of each in order; then goes back to the starting
// directory. After a stop, nothing more is taken.
void Settle(Run* run) {
    Chunk& chunk = run->chunk;
    const size_t n = chunk.files.size();
    if (n == 0 || run->stop) {
        chunk = Chunk();
        return;
    }
    std::vector<DropResult> results(n, DropResult::DirectoryFailed);
    if (run->held) PlatReturnToStartingDirectory();
    if (n == 1) {  // alone, as the window sorts it
        Step(0, true, &chunk);
        results[0] = SortDroppedFile(chunk.files[0].path.c_str(), SortMode::LeaveSorted,
                                     {chunk.files[0].oldSuffix.c_str(), true});
        Step(0, false, &chunk);
    } else if (chunk.folder.empty() || PlatSetCurrentDirectory(chunk.folder.c_str())) {
        std::vector<const char*> names;
        std::vector<BackupName> backups;
        for (size_t k = 0; k < n; ++k) {
            names.push_back(chunk.names[k].c_str());
            backups.push_back({chunk.files[k].oldSuffix.c_str(), true});
        }
        SortTogether(names.data(), n, backups.data(), Step, &chunk, results.data());
    } else {
        const std::string cause = PlatErrorText();
        for (Current& current : chunk.files) current.cause = cause;
    }
    for (size_t k = 0; k < n; ++k) {
        if (results[k] != DropResult::NotTaken) Report(run, &chunk.files[k], results[k], SortFailed(results[k]));
    }
    chunk = Chunk();
    if (run->held) PlatReturnToStartingDirectory();
}

// Sorts, checks or lists one file, and tells of it. A short (8.3) name on Windows is taken, and
// told, by its long name, from which the sort builds its names too. An archive to sort that lies in
// a folder waits for others of the same folder, to be sorted together.
void TakeFile(Run* run, const std::string& givenPath, const std::string& givenShown) {
    const Options& o = run->o;
    if (!AtStart(run, givenPath.c_str(), givenShown.c_str())) return;
    static char buffer[kPathBufferSize];
    const char* longPath = PlatLongPath(givenPath.c_str(), buffer);
    const bool spelt = longPath != nullptr && givenPath != longPath;
    Current current;
    current.path = spelt ? longPath : givenPath;
    current.shownName = spelt ? ShownName(current.path) : givenShown;
    current.options = &o;
    const char* file = current.path.c_str();
    if (const char* own = OwnFile(file); own != nullptr && !o.force) {
        if (o.verbose) {
            Settle(run);  // its line comes in order
            Say(stderr, "%s: skipped: %s of an earlier sort (--force takes it)\n",
                current.shownName.c_str(), own);
        }
        ++run->skipped;
        return;
    }
    const bool archive = EndsWithNoCase(file, ".snd");
    current.oldSuffix = archive && !o.check && !o.list ? OldSuffix(*run, current.path) : "_old.snd";
    current.oldName = archive ? current.shownName.substr(0, current.shownName.size() - 4) + current.oldSuffix : "";
    if (!o.check && !o.list) {
        // Sorted together: plain files named with a folder part (or none), which the sort enters
        // once for them all.
        char folder[kPathBufferSize];  // each part comes zero-terminated
        char name[kPathBufferSize];
        folder[0] = name[0] = '\0';
        const bool bare = std::strchr(file, kPlatPathSeparator) == nullptr && std::strchr(file, '/') == nullptr;
        PlatFileState state;
        const bool parts = bare || (GetDirectoryPart(file, folder) && GetFileNamePart(file, name) &&
                                    std::strchr(name, '/') == nullptr);
        Chunk& chunk = run->chunk;
        if (!(parts && PlatStateAt(file, &state))) {
            Settle(run);
            if (run->stop) return;
            chunk.files.push_back(std::move(current));
            chunk.names.push_back("");
            Settle(run);
            return;
        }
        if (!chunk.files.empty() && (chunk.folder != folder || chunk.files.size() >= kChunkFiles ||
                                     chunk.bytes >= kChunkBytes)) {
            Settle(run);
        }
        chunk.folder = folder;
        chunk.names.push_back(bare ? file : name);
        chunk.files.push_back(std::move(current));
        chunk.bytes += state.size;
        return;
    }
    Settle(run);
    PlatSetMessageSink(PrintMessage, &current);
    static EntryTable table;
    const DropResult result = CheckDroppedFile(file, &table);
    int failed = 0;  // the status this file gives
    if (result != DropResult::Checked) {
        failed = run->unchecked;
    } else if (o.list) {
        Emit(&current);
        ListTable(current.shownName.c_str(), table);
    } else if (!CheckTable(current.shownName.c_str(), table, o)) {
        failed = 1;
    }
    current.cause = PlatErrorText();
    PlatSetMessageSink(nullptr, nullptr);
    Report(run, &current, result, failed);
}

// A name found in a folder, and what it is.
struct Found {
    std::string name;
    PlatKind kind;
};

void Note(const char* name, PlatKind kind, void* context) {
    static_cast<std::vector<Found>*>(context)->push_back({name, kind});
}

// Takes every archive in folder `dir` and below it, in the order of their names: a plain file
// whose name ends in ".snd" in any case, the tool's own files skipped as ever; a folder is walked
// in its turn, where met. Anything else (a symbolic link, which is not followed, a pipe, a file of
// another kind) is passed over without a word.
void Walk(Run* run, const std::string& dir, const std::string& shownDir) {
    if (!AtStart(run, dir.c_str(), shownDir.c_str())) return;
    std::vector<Found> found;
    Settle(run);  // what waits is told first: a folder's lines come in the walk's order
    if (!PlatListFolder(dir.c_str(), Note, &found)) {
        Say(stderr, "%s: cannot read the folder: %s\n", shownDir.c_str(), PlatErrorText());
        Failed(run, run->unchecked);
    }
    std::sort(found.begin(), found.end(), [](const Found& a, const Found& b) { return a.name < b.name; });
    const bool joined = EndsWithSeparator(dir.c_str()) || dir.back() == '/';
    const std::string separator = joined ? "" : std::string(1, kPlatPathSeparator);
    for (const Found& entry : found) {
        if (run->stop) return;
        const std::string path = dir + separator + entry.name;
        const std::string shown = shownDir + separator + ShownName(entry.name);
        if (entry.kind == PlatKind::Folder) {
            Walk(run, path, shown);
        } else if ((entry.kind == PlatKind::File || entry.kind == PlatKind::Unnameable) &&
                   EndsWithNoCase(entry.name.c_str(), ".snd")) {
            if (entry.kind == PlatKind::File) {
                TakeFile(run, path, shown);
            } else {
                Settle(run);
                Say(stderr, "%s: this system's code page cannot hold the name; it could name "
                            "another file, and is left alone\n", shown.c_str());
                Failed(run, run->unchecked);
            }
        }
    }
}

// The line that counts what a run over several files did, where it changed or failed on one.
void Summarize(const Run& run) {
    const Options& o = run.o;
    if (o.quiet || o.names || o.list || run.changed + run.failed == 0 ||
        run.changed + run.left + run.skipped + run.failed < 2) {
        return;
    }
    Say(stderr, o.check ? "%u not sorted, %u sorted, %u skipped, %u failed\n"
                        : "%u sorted, %u already sorted, %u skipped, %u failed\n",
        run.changed, run.left, run.skipped, run.failed);
}

}  // namespace

int main(int argc, char** argv) {
    SetUpStreams();
    Run run;
    std::vector<Argument> files;
    const int parsed = ParseOptions(CommandLine(argc, argv), &run.o, &files);
    if (parsed >= 0) return EndOfRun(parsed);
    run.unchecked = run.o.check ? 2 : 1;

    // Names stay as given, relative ones too: the command goes back to the starting directory before
    // each file, so that one file's change of directory never moves the next.
    run.held = PlatHoldStartingDirectory();
    // Interrupted, a sort removes its own new archive before the first rename and finishes the
    // renames after it; the command then ends as the signal would have ended it.
    PlatCatchInterrupts();

    for (const Argument& argument : files) {
        if (run.stop) break;
        const std::string shown = argument.shown.empty() ? "''" : argument.shown;
        if (!argument.exact || argument.path.empty()) Settle(&run);
        if (!argument.exact) {
            Say(stderr, "%s: this system's code page cannot hold the name; it could name another "
                        "file, and is left alone\n", shown.c_str());
            Failed(&run, run.unchecked);
        } else if (argument.path.empty()) {
            Say(stderr, "%s: cannot open: an empty name names no file\n", shown.c_str());
            Failed(&run, run.unchecked);
        } else if (!AtStart(&run, argument.path.c_str(), shown.c_str())) {
        } else if (PlatKindAt(argument.path.c_str(), true) == PlatKind::Folder) {
            Walk(&run, argument.path, shown);  // a folder named, through a link too
        } else {
            TakeFile(&run, argument.path, shown);
        }
    }
    Settle(&run);
    Summarize(run);
    if (PlatInterrupted()) {
        std::fflush(stdout);
        PlatEndInterrupted();
    }
    return EndOfRun(FinishOutput(run.status));
}
