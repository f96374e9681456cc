// drop.h: the whole job for one dropped file, from the extension test to the confirmation.
#pragma once

#include <cstddef>

#include "archive.h"

// How one operation ended. The user learns it from the messages shown and the files left; the
// result is for front ends that also report silent ends.
enum class DropResult {
    Sorted,           // both renames done, confirmation shown
    Checked,          // CheckDroppedFile only: the checks passed and the table is read
    WrongExtension,   // warning shown: the name does not end in ".snd"
    BadSignature,     // warning shown
    BadCount,         // warning shown
    Damaged,          // warning shown; nothing written
    RenameFailed,     // one or both rename warnings shown, no confirmation
    OpenFailed,       // silent: the file cannot be opened
    ReadFailed,       // silent: reading the file failed
    NameTooLong,      // silent: a path or derived name does not fit in a path buffer
    DirectoryFailed,  // silent: the dropped file's directory cannot be made current
    CreateFailed,     // silent: the new archive cannot be created
    WriteFailed,      // silent: writing the new archive failed; it has been removed
    FlushFailed,      // silent: both renames done, but the folder's new names could not be
                      // forced to the disk, so no confirmation
    Busy,             // silent: another run (or a reader) holds a lock on the archive; nothing
                      // touched
    LockRefused,      // silent: the file system would not lock the archive (NFS, for a file this
                      // user may not write); nothing touched
    Changed,          // silent: another program changed the archive or one of its names while it
                      // was sorted; what this run renamed is given back, its new archive removed,
                      // the original under its own name (or gone by the other program's doing), no
                      // confirmation
    ChangedBackedUp,  // silent: as Changed, but the dropped name holds what another program put
                      // there after the first rename, so the original keeps the backup name
    ChangedGivenBack, // silent: as Changed, but what the first rename carried, and went back to the
                      // dropped name, was not the file read: a save that landed just before the
                      // rename, or another program's file put under the backup name just after it
    WorkNameTaken,    // silent: "<base>_new.snd" holds something this sort would not write (another
                      // program's file, not an earlier sort's work on these bytes); left alone,
                      // nothing written
    NameIsArchive,    // silent: the new archive's or the backup's name already leads to the
                      // archive itself (the dropped name is a link to it); nothing written
    BackupTaken,      // silent: with BackupName::refuseTaken only: a file that is not the archive
                      // itself bears the backup name; nothing written
    Interrupted,      // silent: the program was asked to stop before the first rename; the new
                      // archive, if any, removed
    NotTaken,         // SortTogether only: not begun, as the program was asked to stop first
    AlreadySorted,    // SortDroppedFile with LeaveSorted only: a sort would write the very bytes
                      // the archive holds, so nothing was written; silent
};

// What SortDroppedFile does with an archive that is sorted already.
enum class SortMode {
    Always,       // rewrites it all the same, as a drop always does
    LeaveSorted,  // leaves it as it is, and ends as AlreadySorted
};

// The backup name a sort gives the dropped file: "<base>" and `suffix`. The window takes
// "<base>_old.snd" as it comes, and warns when it cannot be had; the command may ask for a taken
// name to be seen before anything is written, or name a numbered backup ("_1_old.snd").
struct BackupName {
    const char* suffix = "_old.snd";  // what follows the base; ends in "_old.snd"
    bool refuseTaken = false;         // a file (or anything else) already bearing the name, and not
                                      // the archive itself, ends the sort as BackupTaken
};

// The extension test and the reading of the table, with their warnings. Changes nothing on disk
// and leaves the current directory alone. Returns Checked when the table is ready.
DropResult CheckDroppedFile(const char* fullPath, EntryTable* table);

// Sorts the archive at fullPath in place: writes "<base>_new.snd" beside it in key order, renames
// the dropped file to "<base>_old.snd" and the new archive to the dropped file's name, and tells
// the user. Leaves the current directory at the dropped file's directory once the checks passed.
// A failure never leaves the dropped file's bytes without a name, nor a partly written archive.
// The file is opened once and locked against other runs for the whole operation; the sorted bytes
// are the bytes of the file the table was read from, and the names are renamed only while they
// still lead to that file, unchanged, and to the archive this run wrote.
DropResult SortDroppedFile(const char* fullPath, SortMode mode = SortMode::Always,
                           const BackupName& backup = {});

// Sorts the archives `names` of the current directory, each a name without a folder, each as
// SortDroppedFile does with LeaveSorted and backups[k], with every check and give-back of its own,
// but sharing the waits for the disk: every new archive is written first, then all of them are
// flushed together, then each one's renames are made, then the folder's names are flushed once,
// and only then is each confirmed. `step(k, true, context)` comes before every step taken for
// archive k and `step(k, false, context)` right after it, so that a front end knows whose messages
// follow, and whose cause PlatErrorText gives. A stop asked for removes the new archives not yet
// renamed, finishes the renames begun, and takes no archive further (NotTaken). results[k] holds
// how archive k's sort ended.
void SortTogether(const char* const* names, size_t n, const BackupName* backups,
                  void (*step)(size_t index, bool begins, void* context), void* context,
                  DropResult* results);
