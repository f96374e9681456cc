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
    "Usage: " TESSOREL_COMMAND " [--force] FILE...\n"
    "       " TESSOREL_COMMAND " --check [--verbose | --names [--null]] [--force] FILE...\n"
    "       " TESSOREL_COMMAND " --list [--force] FILE...\n"
    "Sorts each sound archive FILE (.snd) into ascending (group, item) order, exactly as a drop on\n"
    "the window would: the sorted archive takes FILE's name and the original is kept as\n"
    "BASE_old.snd beside it. An archive that is sorted already is left as it is. Names ending in\n"
    "_old.snd or _new.snd (the backups and work files of earlier sorts) are skipped.\n"
    "\n"
    "  --check       tell whether each archive is sorted already (a sort would write the very\n"
    "                bytes it holds); print the first difference of each that is not; change\n"
    "                nothing\n"
    "  --verbose     with --check, print \"FILE: sorted\" for each sorted archive too\n"
    "  --names       with --check, print only the name of each archive a sort would change, one\n"
    "                per line, ready for xargs " TESSOREL_COMMAND "\n"
    "  --null        with --names, end each name with a NUL byte instead (xargs -0)\n"
    "  --list        print each archive's entries in chain order; change nothing\n"
    "  --force       take names ending in _old.snd or _new.snd too\n"
    "  -h, --help    show this help\n"
    "  -V, --version show the version\n"
    "\n"
    "Exit status: sorting and --list, 0 when every FILE was sorted, left as sorted, skipped or\n"
    "listed, 1 when any was not; --check, 0 when every FILE is sorted, 1 when a sort would change\n"
    "one, 2 when one could not be checked; 2 for a usage error.\n"
    "Every message, and what it means: the manual (man tessorel; on Windows, tessorel-cli.txt\n"
    "beside the program).\n";

// Prints each message as "FILE: CAPTION: TEXT": warnings to standard error, the confirmation to
// standard output. A rename warning is followed by its cause and where the files are now.
void PrintMessage(const char* text, const char* caption, void* context) {
    const char* file = static_cast<const Argument*>(context)->shown.c_str();
    const bool confirm = std::strcmp(caption, kCaptionConfirm) == 0;
    std::string line =
        std::string(file) + ": " + Cp932ToUtf8(caption) + ": " + Cp932ToUtf8(text) + "\n";
    // Rename warnings come only for names that end in the four extension bytes.
    const auto base = [file] { return std::string(file, std::strlen(file) - 4); };
    if (std::strcmp(text, kMsgOldRename.text) == 0) {
        line += std::string(file) + ": cannot rename it to " + base() + "_old.snd: " + PlatErrorText() +
                "; it keeps its name\n";
    } else if (std::strcmp(text, kMsgDefRename.text) == 0) {
        line += std::string(file) + ": cannot give the sorted archive its name: " + PlatErrorText() +
                "; the sorted archive is in " + base() + "_new.snd\n";
    }
    Write(confirm ? stdout : stderr, line);
    std::fflush(confirm ? stdout : stderr);
}

// A short reason for the ends that show no message, nullptr for those that do, and whether the
// system's own words for the cause follow it. "BASE" in it stands for the file's name without
// its last four bytes, which the work and backup names are made of.
struct Reason {
    const char* text;
    bool cause;
};

std::string WithBase(std::string text, const char* file) {
    const size_t at = text.find("BASE");
    if (at != std::string::npos) text.replace(at, 4, std::string(file, std::strlen(file) - 4));
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

struct Options {
    bool list = false;
    bool check = false;
    bool verbose = false;
    bool names = false;
    bool null = false;
    bool force = false;
};

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
    if (errno != EPIPE) {
        Say(stderr, "tessorel: cannot write standard output: %s\n", std::strerror(errno));
    }
    return 1;
}

// "a backup" or "a work file" for a name that ends as this tool's own files do, in any case;
// nullptr for any other.
const char* OwnFile(const char* file) {
    const size_t length = std::strlen(file);
    if (length < 8) return nullptr;
    if (EqualNoCase(file + length - 8, "_old.snd", 8)) return "a backup";
    if (EqualNoCase(file + length - 8, "_new.snd", 8)) return "a work file";
    return nullptr;
}

// Reads the options; -1 when the command is to go on, else the status to end with.
int ParseOptions(const std::vector<Argument>& arguments, Options* o, std::vector<Argument>* files) {
    bool options = true;
    for (const Argument& argument : arguments) {
        const char* arg = argument.shown.c_str();
        const auto is = [options, arg](const char* a, const char* b = "") {
            return options && (std::strcmp(arg, a) == 0 || std::strcmp(arg, b) == 0);
        };
        if (is("--")) {
            options = false;
        } else if (is("-h", "--help")) {
            Write(stdout, kUsage);
            return FinishOutput(0);
        } else if (is("-V", "--version")) {
            Say(stdout, "tessorel %s\n", TESSOREL_VERSION);
            return FinishOutput(0);
        } else if (bool* flag = is("--list")      ? &o->list
                                : is("--check")   ? &o->check
                                : is("--verbose") ? &o->verbose
                                : is("--names")   ? &o->names
                                : is("--null")    ? &o->null
                                : is("--force")   ? &o->force
                                                  : nullptr) {
            *flag = true;
        } else if (options && arg[0] == '-' && arg[1] != '\0') {
            Say(stderr, "tessorel: unknown option %s\n%s", arg, kUsage);
            return 2;
        } else {
            files->push_back(argument);
        }
    }
    const char* wrong = o->list && o->check              ? "--list and --check do not go together"
                        : o->verbose && !o->check        ? "--verbose goes with --check"
                        : o->names && !o->check          ? "--names goes with --check"
                        : o->names && o->verbose         ? "--names and --verbose do not go together"
                        : o->null && !o->names           ? "--null goes with --names"
                        : files->empty()                 ? "no FILE"
                                                         : nullptr;
    if (wrong != nullptr) {
        Say(stderr, "tessorel: %s\n%s", wrong, kUsage);
        return 2;
    }
    return -1;
}

}  // namespace

int main(int argc, char** argv) {
    SetUpStreams();
    Options o;
    std::vector<Argument> files;
    const int parsed = ParseOptions(CommandLine(argc, argv), &o, &files);
    if (parsed >= 0) return parsed;

    // Names stay as given, relative ones too: the command goes back to the starting directory before
    // each file, so that one file's change of directory never moves the next.
    const bool held = PlatHoldStartingDirectory();
    // Interrupted, a sort removes its own new archive before the first rename and finishes the
    // renames after it; the command then ends as the signal would have ended it.
    PlatCatchInterrupts();

    int status = 0;
    const int unchecked = o.check ? 2 : 1;  // the status of a FILE that cannot be taken at all
    for (const Argument& argument : files) {
        const char* file = argument.path.c_str();
        const char* shown = argument.shown.c_str();
        if (!argument.exact) {
            Say(stderr, "%s: this system's code page cannot hold the name; it could name another "
                        "file, and is left alone\n", shown);
            status = std::max(status, unchecked);
            continue;
        }
        if (held ? !PlatReturnToStartingDirectory() : !PlatIsAbsolutePath(file)) {
            Say(stderr, "%s: cannot find the starting directory\n", shown);
            status = std::max(status, unchecked);
            continue;
        }
        if (const char* own = OwnFile(file); own != nullptr && !o.force) {
            Say(stderr, "%s: skipped: %s of an earlier sort (--force takes it)\n", shown, own);
            continue;
        }
        PlatSetMessageSink(PrintMessage, const_cast<Argument*>(&argument));
        DropResult result;
        int failed = 0;  // the status this file gives
        if (o.list || o.check) {
            static EntryTable table;
            result = CheckDroppedFile(file, &table);
            if (result != DropResult::Checked) {
                failed = unchecked;
            } else if (o.list) {
                ListTable(shown, table);
            } else if (!CheckTable(shown, table, o)) {
                failed = 1;
            }
        } else {
            result = SortDroppedFile(file, SortMode::LeaveSorted);
            if (result == DropResult::AlreadySorted) Say(stdout, "%s: already sorted; left as it is\n", shown);
            failed = result == DropResult::Sorted || result == DropResult::AlreadySorted ? 0 : 1;
        }
        const Reason reason = SilentReason(result);
        if (reason.text != nullptr) {
            Say(stderr, "%s: %s%s%s\n", shown, WithBase(reason.text, shown).c_str(),
                reason.cause ? ": " : "", reason.cause ? PlatErrorText() : "");
        }
        status = std::max(status, failed);
        if (std::ferror(stdout) || PlatInterrupted()) break;  // nobody would learn of the rest
    }
    if (PlatInterrupted()) {
        std::fflush(stdout);
        PlatEndInterrupted();
    }
    PlatSetMessageSink(nullptr, nullptr);
    return FinishOutput(status);
}
