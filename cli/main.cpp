// main.cpp: the command-line front end: sorts or lists sound archives named on the command line.
#include <errno.h>
#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "archive.h"
#include "cp932.h"
#include "drop.h"
#include "messages.h"
#include "platform.h"

#ifndef TESSOREL_VERSION
#error "the build defines TESSOREL_VERSION"
#endif

namespace {

constexpr char kUsage[] =
    "Usage: tessorel [--list | --check [--verbose]] FILE...\n"
    "Sorts each sound archive FILE (.snd) into ascending (group, item) order, exactly as a drop on\n"
    "the window would: the sorted archive takes FILE's name and the original is kept as\n"
    "BASE_old.snd beside it.\n"
    "\n"
    "  --list     print each archive's entries in chain order; change nothing\n"
    "  --check    tell whether each archive is sorted already (a sort would write the very bytes\n"
    "             it holds); print the first difference of each that is not; change nothing\n"
    "  --verbose  with --check, print \"FILE: sorted\" for each sorted archive too\n"
    "  --help     show this help\n"
    "  --version  show the version\n"
    "\n"
    "Exit status: 0 when every FILE was sorted (or listed, or is sorted), 1 when any was not,\n"
    "2 for a usage error.\n";

// Prints each message as "FILE: CAPTION: TEXT": warnings to standard error, the confirmation to
// standard output. A rename warning is followed by its cause and where the files are now.
void PrintMessage(const char* text, const char* caption, void* context) {
    const char* file = static_cast<const char*>(context);
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
    std::fputs(line.c_str(), confirm ? stdout : stderr);
    std::fflush(confirm ? stdout : stderr);
}

// A short reason for the ends that show no message, nullptr for those that do, and whether the
// system's own words for the cause follow it.
struct Reason {
    const char* text;
    bool cause;
};
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
        case DropResult::Busy:
            return {"busy: another program holds a lock on it (another sort, or a reader)", false};
        case DropResult::Changed:
            return {"changed by another program while it was sorted; its changes are kept, "
                    "nothing is confirmed", false};
        case DropResult::NameIsArchive:
            return {"its work or backup name already leads to the archive itself (through a "
                    "link); nothing written", false};
        case DropResult::Interrupted:
            return {"interrupted; nothing renamed, the sorted archive removed", false};
        default: return {nullptr, false};
    }
}

void ListTable(const char* file, const EntryTable& table) {
    std::printf("%s: %u entries (index offset length group item)\n", file, table.cntList);
    for (uint32_t k = 0; k < table.cntList; ++k) {
        const EntryRow& row = table.rows[k];
        std::printf("%u %u %u %u %u\n", k + 1, row.offset, row.length, row.group, row.item);
    }
}

// With --check: prints nothing for a sorted archive (but with --verbose), else its first
// difference from the archive a sort would write; true when sorted.
bool CheckTable(const char* file, const EntryTable& table, bool verbose) {
    const LayoutDifference d = CompareWithSorted(table);
    const EntryRow* rows = table.rows;
    switch (d.kind) {
        case Layout::Sorted:
            if (verbose) std::printf("%s: sorted\n", file);
            return true;
        case Layout::OutOfOrder:
            std::printf("%s: not sorted: entry %u (%u,%u) follows (%u,%u)\n", file, d.entry,
                        rows[d.entry - 1].group, rows[d.entry - 1].item, rows[d.entry - 2].group,
                        rows[d.entry - 2].item);
            break;
        case Layout::Misplaced:
            std::printf("%s: not laid out as sorted: entry %u starts at %llu, not %llu\n", file,
                        d.entry, static_cast<unsigned long long>(d.found),
                        static_cast<unsigned long long>(d.expected));
            break;
        case Layout::LastNext:
            std::printf("%s: not laid out as sorted: entry %u's next-entry offset is %llu, not %llu\n",
                        file, d.entry, static_cast<unsigned long long>(d.found),
                        static_cast<unsigned long long>(d.expected));
            break;
        case Layout::Trailing:
            std::printf("%s: %llu bytes after the last entry\n", file,
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
        std::fprintf(stderr, "tessorel: cannot write standard output: %s\n", std::strerror(errno));
    }
    return 1;
}

}  // namespace

int main(int argc, char** argv) {
    bool list = false;
    bool check = false;
    bool verbose = false;
    bool options = true;
    std::vector<const char*> files;
    for (int i = 1; i < argc; ++i) {
        const char* arg = argv[i];
        if (options && std::strcmp(arg, "--") == 0) {
            options = false;
        } else if (options && std::strcmp(arg, "--help") == 0) {
            std::fputs(kUsage, stdout);
            return FinishOutput(0);
        } else if (options && std::strcmp(arg, "--version") == 0) {
            std::printf("tessorel %s\n", TESSOREL_VERSION);
            return FinishOutput(0);
        } else if (options && std::strcmp(arg, "--list") == 0) {
            list = true;
        } else if (options && std::strcmp(arg, "--check") == 0) {
            check = true;
        } else if (options && std::strcmp(arg, "--verbose") == 0) {
            verbose = true;
        } else if (options && arg[0] == '-' && arg[1] != '\0') {
            std::fprintf(stderr, "tessorel: unknown option %s\n%s", arg, kUsage);
            return 2;
        } else {
            files.push_back(arg);
        }
    }
    if ((list && check) || (verbose && !check)) {
        std::fprintf(stderr, "tessorel: %s\n%s",
                     list && check ? "--list and --check do not go together"
                                   : "--verbose goes with --check",
                     kUsage);
        return 2;
    }
    if (files.empty()) {
        std::fputs(kUsage, stderr);
        return 2;
    }

    // Names stay as given, relative ones too: the command goes back to the starting directory before
    // each file, so that one file's change of directory never moves the next.
    const int startDirectory = open(".", O_PATH | O_DIRECTORY | O_CLOEXEC);
    // Interrupted, a sort removes its own new archive before the first rename and finishes the
    // renames after it; the command then ends as the signal would have ended it.
    PlatCatchInterrupts();

    int status = 0;
    for (const char* file : files) {
        if (startDirectory >= 0 ? fchdir(startDirectory) != 0 : file[0] != '/') {
            std::fprintf(stderr, "%s: cannot find the starting directory\n", file);
            status = 1;
            continue;
        }
        PlatSetMessageSink(PrintMessage, const_cast<char*>(file));
        DropResult result;
        bool ok;
        if (list || check) {
            static EntryTable table;
            result = CheckDroppedFile(file, &table);
            ok = result == DropResult::Checked;
            if (ok && list) ListTable(file, table);
            if (ok && check) ok = CheckTable(file, table, verbose);
        } else {
            result = SortDroppedFile(file);
            ok = result == DropResult::Sorted;
        }
        const Reason reason = SilentReason(result);
        if (reason.text != nullptr) {
            std::fprintf(stderr, "%s: %s%s%s\n", file, reason.text, reason.cause ? ": " : "",
                         reason.cause ? PlatErrorText() : "");
        }
        if (!ok) status = 1;
        if (std::ferror(stdout) || PlatInterrupted()) break;  // nobody would learn of the rest
    }
    if (PlatInterrupted()) {
        std::fflush(stdout);
        PlatEndInterrupted();
    }
    PlatSetMessageSink(nullptr, nullptr);
    return FinishOutput(status);
}
