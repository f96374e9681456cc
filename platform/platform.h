// platform.h: the narrow operating-system interface the sorting core and its front ends stand on.
//
// One implementation per operating system lives in its own folder (posix/, windows/); CMake links
// exactly one. Paths are 8-bit strings in the system's code page (UTF-8 on POSIX), zero-terminated.
// No function here throws, and none keeps state between calls except the message sink.
#pragma once

#include <cstddef>
#include <cstdint>

// kPlatPathBufferSize, the size of a path buffer, kPlatFullPathLimitsRelativeNames and
// kPlatFileIndexSurvivesRename come from the chosen platform folder's own header, which the build
// names.
#include TESSOREL_PLATFORM_LIMITS

// An open file. Opaque: only the functions below look inside.
struct PlatFile;

// Opens an existing file for reading. Others may read it meanwhile, and rename or delete it (the
// handle follows the file), but not write it where the system can refuse that (Windows).
// Returns nullptr when the path does not exist, names a directory or cannot be opened.
PlatFile* PlatOpenRead(const char* path);

enum class PlatLockResult {
    Locked,   // the lock is held, or the file system has no locks at all (no other run to keep out)
    Held,     // another handle holds a lock on the file: another run, or any program that locked
              // it, a reader's shared lock too
    Refused,  // the file system has locks but would not give this one (NFS, which takes it only
              // through a descriptor open for writing, for a file this user may not write);
              // PlatErrorText says why
};

// Takes an exclusive lock on the open file for as long as the handle stays open; it follows the
// file through renames and keeps no reader out. Every run of this program takes it on the archive
// it sorts, so that two runs never work on one file.
PlatLockResult PlatLock(PlatFile* file);

// Which file a handle or a name leads to, and the state it was in: enough to tell whether a name
// still names the file that was read, unchanged.
struct PlatFileState {
    uint64_t volume;     // the device (POSIX) or the volume's serial number (Windows)
    uint64_t index;      // the inode (POSIX) or the file index (Windows); with `volume`, the file
                         // (on Windows, until a rename: see kPlatFileIndexSurvivesRename)
    uint64_t size;
    int64_t writeTime;   // the last write to the data, in the system's finest unit
    int64_t changeTime;  // POSIX: the last change of the data, the attributes or a name (ctime);
                         // Windows: 0
};

// Stores in *state the state of an open file, now. False when it cannot be had.
bool PlatStateOf(PlatFile* file, PlatFileState* state);

// Stores in *state the state of the file that `path` names now, following symbolic links. False
// when nothing is there or its state cannot be had.
bool PlatStateAt(const char* path, PlatFileState* state);

// Creates a new file for writing and shares it with nobody while it is open. Whatever already
// bears the name is removed only when it is `leftover`: the state the caller saw of the file there
// (an earlier run's work, checked to hold nothing but what the new file will), still unchanged, a
// plain file with no other name that is not `like` itself. Anything else there is left untouched
// and the call returns nullptr, with PlatErrorText naming it: a folder, a symbolic link, something
// that is not a plain file (a pipe, a device, a socket), a file that has other names too, `like`
// itself reached through a link, or a file that is not the leftover, or changed since it was seen.
// The new file is created exclusively, failing if anything took the name meanwhile. Returns
// nullptr too when it cannot be created (no such directory, no permission, ...).
// The new file belongs to the user who runs the program and is readable by no more people than
// `like` (an open file) is. On POSIX it is private (0600) until it has like's group, then gets
// like's access ACL exactly where like has one, and otherwise no ACL (whatever default ACL its
// folder has) and like's permission bits less the umask; where the system refuses like's group,
// its group may read and write no more than everyone may; where an ACL cannot be given, the
// permission bits stand for it, no wider than what the ACL gave its owner, owning group and
// everyone. On Windows it takes like's access rights (its DACL, protected or inheriting as like's
// is), and PlatClose makes it read-only when `like` is.
PlatFile* PlatCreate(const char* path, PlatFile* like, const PlatFileState* leftover);

// Stores in *size the size in bytes the file had when it was opened. False when it cannot be had.
bool PlatFileSize(PlatFile* file, uint64_t* size);

// Reads up to n bytes starting `offset` bytes from the start of the file into buf, and stores the
// count read in *got. Every offset a file of up to 2^63 - 1 bytes has is reachable, past 4 GiB too;
// none is taken as a signed 32-bit distance. A count below n means the end of the file was
// reached. False on an I/O error, in which case *got is 0.
bool PlatReadAt(PlatFile* file, uint64_t offset, void* buf, uint32_t n, uint32_t* got);

// Writes n bytes at the end of what this handle has written so far (files are written from the
// start, in order). False unless every byte was written.
bool PlatWrite(PlatFile* file, const void* buf, uint32_t n);

enum class PlatCopyResult {
    Copied,       // all n bytes were copied
    Unsupported,  // nothing was copied: this system cannot copy between these files by itself, so
                  // the caller copies by reading and writing
    Ended,        // the source ended before n bytes (it shrank); `out` may hold some of them
    Failed,       // an I/O error; `out` may hold some of them
};

// Copies n bytes of `source`, starting `offset` bytes from its start (any offset, as PlatReadAt), to
// the end of what has been written to `out`, inside the operating system where it can (as a file
// copy does), without passing them through the caller's memory.
PlatCopyResult PlatCopyRange(PlatFile* source, uint64_t offset, PlatFile* out, uint32_t n);

// Forces everything written so far to stable storage, so that it survives a crash or power loss.
// False on failure; the data may then be lost.
bool PlatFlush(PlatFile* file);

// PlatFlush for many files at once, for a run over many archives: the flushes are made together
// (on each system from several threads), so that the file system commits them in one go instead
// of waiting for the disk once per file. Each file keeps its own outcome, which PlatFlushed gives.
void PlatFlushTogether(PlatFile* const* files, size_t n);

// The outcome of the file's flush in the last PlatFlushTogether that took it: true when everything
// written to it before that is on stable storage. False, with PlatErrorText giving that flush's own
// cause, where it failed or the file was never flushed together.
bool PlatFlushed(PlatFile* file);

// Closes the file and frees the handle, whatever the result. False when the system reported an
// error while closing (for a file being written, data may then be lost), or when a file made by
// PlatCreate could not be given the access rights it takes from `like` once closed.
bool PlatClose(PlatFile* file);

// Gives the file or directory `from` the name `to`. Never replaces: fails when `to` exists, and
// then leaves both names as they were. False on any failure. On Windows the rename is written
// through to the disk before it returns; elsewhere PlatFlushDirectory makes it lasting. Where the
// file system cannot rename without replacing (POSIX), the file takes `to` as a hard link first;
// `from` is then dropped only while it still leads to that file: it is moved to a name of this
// call's own in the same folder, which is removed only if it leads there, and otherwise (another
// program saved a file under `from` in the meantime) that file gets `from` back. Where `from`
// was taken once more before it could, that file stays under the parked name,
// ".tessorel-parked-" and numbers in from's folder; the call is then true, as `to` leads to the
// file `from` named.
bool PlatRenameNoReplace(const char* from, const char* to);

// Deletes the file, a read-only one too. False on failure.
bool PlatRemove(const char* path);

// Forces the names in directory `dir`, as the renames before it left them, to stable storage, so
// that they survive a crash or power loss. Where `dir` cannot be opened (a folder its user may
// write but not list), it flushes the whole file system that `inIt`, an open file of it, lies on.
// False on failure: the renames are done, but may be lost. Where every rename is written through
// to the disk before it returns (Windows), there is nothing left to flush and it returns true.
bool PlatFlushDirectory(const char* dir, PlatFile* inIt);

// Makes `dir` the process's current directory, against which relative paths resolve from then on.
// False on failure, leaving the current directory as it was.
bool PlatSetCurrentDirectory(const char* dir);

// The directory relative names resolve in, for a front end that takes several names. The first
// remembers the current directory (false where it cannot be held: deeper than the system can
// name, or out of handles); the second makes it current again (false on failure).
bool PlatHoldStartingDirectory();
bool PlatReturnToStartingDirectory();

// What a name in the file system is, for a front end that walks folders.
enum class PlatKind {
    None,        // nothing by that name, or it cannot be reached (PlatErrorText says why)
    File,        // a plain file
    Folder,
    Other,       // a symbolic link (where links are not followed), a pipe, a device, a socket
    Unnameable,  // PlatListFolder on Windows only: a name the ANSI code page cannot hold exactly, given
                 // with '?' for what it cannot hold; the file functions cannot reach it by it
};

// What `path` names now, following symbolic links (on Windows, reparse points) when `follow`.
PlatKind PlatKindAt(const char* path, bool follow);

// Calls `each` once for every name in folder `dir` but "." and "..", in no particular order, with
// what the name itself is: a symbolic link is Other, and is not followed. The names are in the
// system's code page, without the folder. False when the folder cannot be read (PlatErrorText says
// why); names given before a failure may be only some of them.
typedef void (*PlatFolderEntry)(const char* name, PlatKind kind, void* context);
bool PlatListFolder(const char* dir, PlatFolderEntry each, void* context);

// The name `path` has with every part in its long form, for names that are to be derived from
// it: on Windows a short (8.3) name such as "LONGNA~1.SND" is spelt out in `out`, a path buffer, as
// its long name; where a name has only one form (POSIX), `path` itself. nullptr when the long name
// cannot be had (nothing there, a folder on the way that may not be listed, or longer than a path
// buffer), with PlatErrorText saying why.
const char* PlatLongPath(const char* path, char* out);

// True when `path` names its file without the current directory's help.
bool PlatIsAbsolutePath(const char* path);

// The system's own words, in UTF-8, for why the last failed call of this interface failed ("No
// such file or directory", ...), for a front end that reports causes. Each call takes the cause at
// the failing system call, so that no later call's error stands in for it. A refused PlatCreate
// or PlatLock sets it too, in its own words.
const char* PlatErrorText();

// Interruptions: SIGINT, SIGTERM and SIGHUP on POSIX; Ctrl+C, Ctrl+Break and closing the console
// on Windows. Until PlatCatchInterrupts is called they end the process as the system ends it (the
// window never calls it). From then on one is only noted: PlatInterrupted turns true, a copy in
// progress stops at its next piece, and the program ends at its next safe point by calling
// PlatEndInterrupted, which ends the process as the interruption itself would have (on POSIX, by
// the same signal, so that its parent sees which).
void PlatCatchInterrupts();
bool PlatInterrupted();
[[noreturn]] void PlatEndInterrupted();

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

// platform_functions.h lists the file functions above once more, for wrappers to expand; here the
// build checks that the list says what the contract says.
#define PLAT_FUNCTION(result, name, parameters, arguments) \
    static_assert(sizeof(static_cast<result(*) parameters>(&name)) != 0, #name);
#include "platform_functions.h"
#undef PLAT_FUNCTION
