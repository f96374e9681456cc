// console.h: the command line and the terminal as the command sees them, on each system; CMake
// builds console_posix.cpp or console_windows.cpp.
#pragma once

#include <cstdio>
#include <string>
#include <vector>

struct Argument {
    std::string path;   // the name for the file functions, in the system's code page
    std::string shown;  // the name in messages, in UTF-8
    bool exact;         // false where the system's code page cannot hold the name as it was given
};

// Sets the standard streams up for Write: on Windows, in binary mode, so that a redirected stream
// holds exactly the UTF-8 bytes written, with LF line ends.
void SetUpStreams();

// The arguments after the program's name. On Windows they are taken as UTF-16 and turned into the
// ANSI code page without look-alikes ("best fit"): a name that does not come back the same is not
// exact, for it could name another file.
std::vector<Argument> CommandLine(int argc, char** argv);

// Writes UTF-8 text to `stream` (stdout or stderr): to a Windows console as UTF-16, so that it reads
// right whatever the console's code page; anywhere else as the bytes given. A failure shows in
// ferror(stream).
void Write(FILE* stream, const std::string& text);

// The name of a file found in a folder (in the system's code page) as messages show it, in UTF-8.
std::string ShownName(const std::string& path);

// True when a write to standard output that failed with `error` (errno) failed because its reader
// went away (a closed pipe), which ends the command quietly: EPIPE, and on Windows the pipe's own
// error (ERROR_NO_DATA), which the C runtime gives as EINVAL.
bool ReaderLeft(int error);

// Called last, with the status the command ends with, which it returns. Where the command's console
// is its own (started from Explorer, by a drag onto its icon: no shell is behind it), it waits for
// a key first, so that the window stays until its lines are read.
int EndOfRun(int status);
