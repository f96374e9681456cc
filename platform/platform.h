// platform.h: the narrow operating-system interface the sorting core and its front ends stand on.
//
// One implementation per operating system lives in its own folder (posix/, windows/); CMake links
// exactly one. Paths are 8-bit strings in the system's code page (UTF-8 on POSIX), zero-terminated.
// No function here throws, and none keeps state between calls except the message sink.
#pragma once

#include <cstdint>

// An open file. Opaque: only the functions below look inside.
struct PlatFile;

// Opens an existing file for reading, letting others read it at the same time.
// Returns nullptr when the path does not exist, names a directory or cannot be opened.
PlatFile* PlatOpenRead(const char* path);

// Creates the file for writing, emptying one that already exists, and shares it with nobody while
// it is open. A file it creates gets the access rights of `like` (an open file), where the system
// keeps such rights per file, so that a file written to take another's place is readable by no
// more people than that one was. Returns nullptr when it cannot be created (no such directory, no
// permission, a directory of that name, ...), and, leaving it untouched, when the path is a
// symbolic link or names a file that has other names too (hard links), or anything but a plain
// file.
PlatFile* PlatCreate(const char* path, PlatFile* like);

// Stores in *size the size in bytes the file had when it was opened. False when it cannot be had.
bool PlatFileSize(PlatFile* file, uint64_t* size);

// Reads up to n bytes starting `offset` bytes from the start of the file into buf, and stores the
// count read in *got. Every offset from 0 to 2^32 - 1 is reachable; none is taken as a signed
// distance. A count below n means the end of the file was reached. False on an I/O error, in
// which case *got is 0.
bool PlatReadAt(PlatFile* file, uint32_t offset, void* buf, uint32_t n, uint32_t* got);

// Writes n bytes at the end of what this handle has written so far (files are written from the
// start, in order). False unless every byte was written.
bool PlatWrite(PlatFile* file, const void* buf, uint32_t n);

enum class PlatCopyResult {
    Copied,       // all n bytes were copied
    Unsupported,  // nothing was copied: this system cannot copy between these files by itself, so
                  // the caller copies by reading and writing
    Failed,       // an I/O error, or the source ended before n bytes; `out` may hold some of them
};

// Copies n bytes of `source`, starting `offset` bytes from its start, to the end of what has been
// written to `out`, inside the operating system where it can (as a file copy does), without
// passing them through the caller's memory.
PlatCopyResult PlatCopyRange(PlatFile* source, uint32_t offset, PlatFile* out, uint32_t n);

// Forces everything written so far to stable storage, so that it survives a crash or power loss.
// False on failure; the data may then be lost.
bool PlatFlush(PlatFile* file);

// Closes the file and frees the handle, whatever the result. False when the system reported an
// error while closing (for a file being written, data may then be lost).
bool PlatClose(PlatFile* file);

// Gives the file or directory `from` the name `to`. Never replaces: fails when `to` exists, and
// then leaves both names as they were. False on any failure.
bool PlatRenameNoReplace(const char* from, const char* to);

// Deletes the file. False on failure.
bool PlatRemove(const char* path);

// Makes `dir` the process's current directory, against which relative paths resolve from then on.
// False on failure, leaving the current directory as it was.
bool PlatSetCurrentDirectory(const char* dir);

// The byte that separates directories in a path: '\\' on Windows, '/' on POSIX.
extern const char kPlatPathSeparator;

// True when the byte starts a two-byte character in the system's code page, so that the byte after
// it is never a separator. Always false where separators cannot occur inside a character (UTF-8).
bool PlatIsLeadByte(unsigned char byte);

// Shows a message to the user and returns when the user has seen it. `text` and `caption` are
// code page 932 (Shift_JIS) strings. With a sink set, the sink receives them instead; without one,
// Windows shows a modal message box with an OK button and no owner window, and POSIX writes the
// line "CAPTION: TEXT" in UTF-8 to standard error.
void PlatShowMessage(const char* text, const char* caption);

// Receives every message instead of the default display; `context` is passed back unchanged.
typedef void (*PlatMessageSink)(const char* text, const char* caption, void* context);

// Sets the sink for every following PlatShowMessage; a null sink restores the default display.
void PlatSetMessageSink(PlatMessageSink sink, void* context);
