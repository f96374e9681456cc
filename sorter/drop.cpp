// drop.cpp: the whole job for one dropped file, from the extension test to the confirmation.
#include "drop.h"

#include <cstring>
#include <memory>
#include <new>

#include "messages.h"
#include "pathutil.h"
#include "platform.h"

namespace {

constexpr char kExtension[] = ".snd";
constexpr size_t kExtensionSize = 4;
constexpr char kNewSuffix[] = "_new.snd";
constexpr size_t kNewSuffixSize = 8;

DropResult Tell(const Message& message, DropResult result) {
    PlatShowMessage(message.text, message.caption);
    return result;
}

// The names every file of one drop is known by, each in its own path buffer, zero-terminated.
struct DropNames {
    char directory[kPathBufferSize];  // empty when the path has no separator after position 0
    char pDefFile[kPathBufferSize];
    char pNewFile[kPathBufferSize];
    char pOldFile[kPathBufferSize];
};

// Fills names from the full path; false when any of them would not fit. Without a separator the
// full path stands as the dropped file's name, so every name resolves where the path was opened.
bool BuildNames(const char* fullPath, const char* oldSuffix, DropNames* names) {
    names->directory[0] = names->pDefFile[0] = names->pNewFile[0] = names->pOldFile[0] = '\0';
    const size_t fullLength = std::strlen(fullPath);
    if (fullLength >= kPathBufferSize) return false;
    GetDirectoryPart(fullPath, names->directory);
    if (!GetFileNamePart(fullPath, names->pDefFile)) {
        std::memcpy(names->pDefFile, fullPath, fullLength + 1);
    }
    // The name ends in the four extension bytes, which the base leaves out whatever their case.
    const size_t nameLength = std::strlen(names->pDefFile);
    if (nameLength < kExtensionSize) return false;  // the extension test makes this impossible
    const size_t baseLength = nameLength - kExtensionSize;
    const size_t oldSuffixSize = std::strlen(oldSuffix);
    const size_t suffixSize = oldSuffixSize > kNewSuffixSize ? oldSuffixSize : kNewSuffixSize;
    if (baseLength + suffixSize >= kPathBufferSize) return false;
    // Where relative names resolve to a full path that must fit as well, the folder counts too.
    if (kPlatFullPathLimitsRelativeNames &&
        std::strlen(names->directory) + baseLength + suffixSize >= kPathBufferSize) {
        return false;
    }
    std::memcpy(names->pNewFile, names->pDefFile, baseLength);
    std::memcpy(names->pNewFile + baseLength, kNewSuffix, kNewSuffixSize + 1);  // with its zero
    std::memcpy(names->pOldFile, names->pDefFile, baseLength);
    std::memcpy(names->pOldFile + baseLength, oldSuffix, oldSuffixSize + 1);
    return true;
}

bool HasExtension(const char* fullPath) {
    const size_t length = std::strlen(fullPath);
    return length >= kExtensionSize &&
           EqualNoCase(fullPath + length - kExtensionSize, kExtension, kExtensionSize);
}

// The table of an open archive, with the warnings its reading may give.
DropResult ReadTable(PlatFile* source, EntryTable* table) {
    switch (ReadEntryTable(source, table)) {
        case ReadResult::Ok: return DropResult::Checked;
        case ReadResult::ReadFailed: return DropResult::ReadFailed;
        case ReadResult::BadSignature: return Tell(kMsgBadSignature, DropResult::BadSignature);
        case ReadResult::BadCount: return Tell(kMsgBadCount, DropResult::BadCount);
        case ReadResult::Damaged: return Tell(kMsgDamaged, DropResult::Damaged);
    }
    return DropResult::ReadFailed;
}

// True when `path` names the file `was` describes, as it was then, and stores in *now what it
// shows now. A rename changes the ctime, and on some systems the file index, so of a file
// `renamed` since they do not count.
bool Matches(const PlatFileState& now, const PlatFileState& was, bool renamed) {
    return now.volume == was.volume &&
           (now.index == was.index || (renamed && !kPlatFileIndexSurvivesRename)) &&
           now.size == was.size && now.writeTime == was.writeTime &&
           (renamed || now.changeTime == was.changeTime);
}

bool Names(const char* path, const PlatFileState& was, bool renamed, PlatFileState* now) {
    return PlatStateAt(path, now) && Matches(*now, was, renamed);
}

bool Names(const char* path, const PlatFileState& was, bool renamed) {
    PlatFileState now;
    return Names(path, was, renamed, &now);
}

// True when `path` leads to the very file `file` describes, whatever its state, and stores in
// *now what it shows now.
bool LeadsTo(const char* path, const PlatFileState& file, PlatFileState* now) {
    return PlatStateAt(path, now) && now->volume == file.volume && now->index == file.index;
}

bool LeadsTo(const char* path, const PlatFileState& file) {
    PlatFileState now;
    return LeadsTo(path, file, &now);
}

// What one sort knows of its files once the dropped file is open and locked.
struct Sort {
    DropNames names;
    PlatFile* source;
    PlatFileState read;      // the dropped file as it was opened
    PlatFileState written;   // the new archive, once closed
    bool backedUp;           // the first rename went through
    bool backupSeen;         // and `backup` holds what the backup name led to right after it:
    PlatFileState backup;    // the file the first rename carried, whoever's it is
    PlatFileState sorted;    // the new archive under the dropped file's name, right after that
    SortMode mode;
    const BackupName* rule;  // how the backup name is taken
    EntryTable table;
    PlatFile* out;           // the new archive, written, until it is flushed and closed
    bool renamed;            // both renames went through
};

// Ends an operation whose files changed under it, giving back exactly what this run's own renames
// moved, and nothing on a guess: the file the first rename carried to the backup name (the
// original, or a save that landed just before it) goes back to the dropped name, where the backup
// name still leads to it and the dropped name is free. A file under the dropped name after the
// second rename stays where it is: its rename and another program's save cannot be told apart.
// The new archive goes where its name still leads to it, unchanged.
DropResult Undo(const Sort& s) {
    const DropNames& n = s.names;
    const bool givenBack = !s.backedUp || (s.backupSeen && LeadsTo(n.pOldFile, s.backup) &&
                                           PlatRenameNoReplace(n.pOldFile, n.pDefFile));
    if (Names(n.pNewFile, s.written, false)) PlatRemove(n.pNewFile);
    if (!givenBack) return DropResult::ChangedBackedUp;
    const bool theRead = s.backup.volume == s.read.volume && s.backup.index == s.read.index;
    return s.backedUp && !theRead ? DropResult::ChangedGivenBack : DropResult::Changed;
}

// What bears the new archive's name before it is written: nothing, or an earlier sort's work on
// these very bytes, whole or torn, which may go (*leftover then holds its state, and *found is
// true). Anything else is another program's, and is left alone.
DropResult CheckWorkName(const Sort& s, const EntryTable& table, PlatFileState* leftover,
                         bool* found) {
    *found = false;
    PlatFile* there = PlatOpenRead(s.names.pNewFile);
    if (there == nullptr) return DropResult::Checked;  // nothing, or what PlatCreate refuses by kind
    const bool ours = HoldsOnlySortedBytes(s.source, there, table) && PlatStateOf(there, leftover);
    PlatClose(there);  // read only
    *found = ours;
    return ours ? DropResult::Checked : DropResult::WorkNameTaken;
}

// A sort in three steps, with the waits for the disk between them, which a run over many archives
// shares: Write, up to the new archive written but not flushed; Rename, from its flush to the
// renames; Finish, from the flush of the folder's names to the confirmation. Each returns Checked
// to go on, or how the sort ended (the dropped file then let go).

// Everything once the dropped file is open and locked, up to the new archive written.
DropResult Write(const char* fullPath, Sort* s) {
    EntryTable& table = s->table;
    const DropResult checked = ReadTable(s->source, &table);
    if (checked != DropResult::Checked) return checked;
    if (s->mode == SortMode::LeaveSorted && CompareWithSorted(table).kind == Layout::Sorted) {
        return DropResult::AlreadySorted;
    }

    DropNames& names = s->names;
    if (!BuildNames(fullPath, s->rule->suffix, &names)) return DropResult::NameTooLong;
    // Every name below is relative: were the directory change to fail, they would name files of
    // some other directory, so the operation stops instead.
    if (names.directory[0] != '\0' && !PlatSetCurrentDirectory(names.directory)) {
        return DropResult::DirectoryFailed;
    }
    // The dropped name may be a link to a file that bears one of the derived names: a leftover to
    // delete, or a backup name to rename onto, would then be the archive's only copy.
    // Where the backup name is to be free, a name that is not there at all leads nowhere either.
    const bool oldThere = !s->rule->refuseTaken || PlatKindAt(names.pOldFile, false) != PlatKind::None;
    if (LeadsTo(names.pNewFile, s->read) || (oldThere && LeadsTo(names.pOldFile, s->read))) {
        return DropResult::NameIsArchive;
    }
    if (s->rule->refuseTaken && oldThere) return DropResult::BackupTaken;
    // Only what this tool wrote is ever removed: a file under the new archive's name goes only
    // where it holds nothing but bytes this sort writes too.
    PlatFileState leftover;
    bool found = false;
    const DropResult work = CheckWorkName(*s, table, &leftover, &found);
    if (work != DropResult::Checked) return work;

    switch (BeginSortedArchive(s->source, names.pNewFile, table, &s->out, found ? &leftover : nullptr)) {
        case WriteResult::Ok: return DropResult::Checked;
        case WriteResult::CreateFailed: return DropResult::CreateFailed;
        case WriteResult::SourceChanged: return DropResult::Changed;
        case WriteResult::WriteFailed: break;
    }
    return PlatInterrupted() ? DropResult::Interrupted : DropResult::WriteFailed;
}

// From the new archive's flush (made here, or together with others' where `flushedTogether`) to
// the renames.
DropResult Rename(Sort* s, bool flushedTogether) {
    DropNames& names = s->names;
    PlatFile* out = s->out;
    s->out = nullptr;
    if (EndSortedArchive(out, names.pNewFile, flushedTogether, &s->written) != WriteResult::Ok) {
        return PlatInterrupted() ? DropResult::Interrupted : DropResult::WriteFailed;
    }
    // Another program may have saved the archive anew (in place, or under its name) or taken the
    // new archive's name since: then the names are left to it. Each check comes right before the
    // rename it guards, and each rename is checked again after it, since a save can land between
    // a check and a rename. Some file systems set the last write time when a file is closed: the
    // new archive is known by what its name shows now, once the name is seen to lead to the file
    // written. A stop asked for before the first rename ends here, and removes the new archive.
    PlatFileState closed;
    if (!LeadsTo(names.pNewFile, s->written, &closed) || closed.size != s->written.size ||
        !Names(names.pDefFile, s->read, false)) {
        return Undo(*s);
    }
    s->written = closed;
    if (PlatInterrupted()) {
        PlatRemove(names.pNewFile);
        return DropResult::Interrupted;
    }
    // Both renames always run, in this order; neither ever replaces a file, so whatever fails,
    // the dropped file's bytes keep a name. A first rename that fails because the dropped name no
    // longer leads to the file read is another program's doing, not a refusal to warn of.
    s->renamed = true;
    s->backedUp = PlatRenameNoReplace(names.pDefFile, names.pOldFile);
    if (s->backedUp) {
        s->backupSeen = PlatStateAt(names.pOldFile, &s->backup);
        if (!(s->backupSeen && Matches(s->backup, s->read, true))) return Undo(*s);
    } else if (!Names(names.pDefFile, s->read, false)) {
        return Undo(*s);
    } else {
        s->renamed = false;
        PlatShowMessage(kMsgOldRename.text, kMsgOldRename.caption);
    }
    if (!Names(names.pNewFile, s->written, false)) return Undo(*s);
    if (PlatRenameNoReplace(names.pNewFile, names.pDefFile)) {
        // The name must now lead to this run's archive: a file put in its place just before the
        // rename would otherwise bear the archive's name. What is there stays there.
        if (!Names(names.pDefFile, s->written, true, &s->sorted)) return Undo(*s);
    } else if (!Names(names.pNewFile, s->written, false)) {
        return Undo(*s);  // gone, or another file in its place: not a plain refusal
    } else {
        s->renamed = false;
        PlatShowMessage(kMsgDefRename.text, kMsgDefRename.caption);
    }
    return DropResult::Checked;
}

// The confirmation promises both names: they must survive a power cut that follows it. The folder
// is flushed after a failed rename too, so that what the warnings describe is what a power cut
// leaves. The folder is the one that holds the names: the dropped file's, which is the current
// directory now, or the root for a name whose only separator is its first byte.
bool FlushFolder(const Sort& s) {
    const char root[] = {kPlatPathSeparator, '\0'};
    const bool inRoot = s.names.directory[0] == '\0' && s.names.pDefFile[0] == kPlatPathSeparator;
    return PlatFlushDirectory(inRoot ? root : ".", s.source);
}

// Once the folder's names are flushed (`flushed`: they are), the end, and its confirmation.
DropResult Finish(Sort* s, bool flushed) {
    DropResult result = !s->renamed ? DropResult::RenameFailed
                        : !flushed  ? DropResult::FlushFailed
                                    : DropResult::Sorted;
    PlatClose(s->source);  // read only, so a failing close loses nothing
    s->source = nullptr;
    // The last look before the confirmation, once the archive is let go (so that no other program
    // waits on it behind the box): both names still lead to the files the renames gave them,
    // unchanged. Whatever changed them since was another program's doing, and is left to it.
    if (result == DropResult::Sorted && !(Names(s->names.pDefFile, s->sorted, false) &&
                                          Names(s->names.pOldFile, s->backup, false))) {
        result = DropResult::ChangedBackedUp;
    }
    return result == DropResult::Sorted ? Tell(kMsgDone, result) : result;
}

// Ends a sort that ended before its confirmation, letting the dropped file go.
DropResult LetGo(Sort* s, DropResult result) {
    if (s->source != nullptr) PlatClose(s->source);  // read only, so a failing close loses nothing
    s->source = nullptr;
    return result;
}

// Opens and locks the dropped file and writes its new archive: Checked with the sort under way, or
// how it ended. The derived names are built from the long name: made from a short (8.3) one, they
// would rename the archive away from its own name. A short name's ".SND" may stand for a longer
// extension, so the long name is tested again.
DropResult Start(const char* givenPath, SortMode mode, const BackupName& backup, Sort* s) {
    if (!HasExtension(givenPath)) return Tell(kMsgNotSnd, DropResult::WrongExtension);
    char longPath[kPathBufferSize];
    const char* fullPath = PlatLongPath(givenPath, longPath);
    if (fullPath == nullptr) return DropResult::OpenFailed;
    if (!HasExtension(fullPath)) return Tell(kMsgNotSnd, DropResult::WrongExtension);
    // One handle for the table and the copy, so that both come from the same file; it holds the
    // lock against other runs until the names are settled.
    s->read = s->written = s->backup = s->sorted = PlatFileState{};
    s->backedUp = s->backupSeen = s->renamed = false;
    s->out = nullptr;
    s->mode = mode;
    s->rule = &backup;
    s->source = PlatOpenRead(fullPath);
    if (s->source == nullptr) return DropResult::OpenFailed;
    DropResult result = DropResult::Busy;
    switch (PlatLock(s->source)) {
        case PlatLockResult::Locked:
            result = PlatStateOf(s->source, &s->read) ? Write(fullPath, s) : DropResult::ReadFailed;
            break;
        case PlatLockResult::Held: break;
        case PlatLockResult::Refused: result = DropResult::LockRefused; break;
    }
    return result == DropResult::Checked ? result : LetGo(s, result);
}

}  // namespace

DropResult CheckDroppedFile(const char* fullPath, EntryTable* table) {
    if (!HasExtension(fullPath)) return Tell(kMsgNotSnd, DropResult::WrongExtension);
    PlatFile* source = PlatOpenRead(fullPath);
    if (source == nullptr) return DropResult::OpenFailed;
    const DropResult result = ReadTable(source, table);
    PlatClose(source);  // nothing was written, so a failing close loses nothing
    return result;
}

DropResult SortDroppedFile(const char* givenPath, SortMode mode, const BackupName& backup) {
    Sort s = {};
    DropResult result = Start(givenPath, mode, backup, &s);
    if (result == DropResult::Checked) result = Rename(&s, false);
    if (result != DropResult::Checked) return LetGo(&s, result);
    return Finish(&s, FlushFolder(s));
}

void SortTogether(const char* const* names, size_t n, const BackupName* backups,
                  void (*step)(size_t index, bool begins, void* context), void* context,
                  DropResult* results) {
    // Not zeroed: Start sets what each sort needs before it is read, and the reading of the table
    // and the building of the names fill their own.
    std::unique_ptr<Sort[]> sorts(new (std::nothrow) Sort[n]);
    std::unique_ptr<PlatFile*[]> written(new (std::nothrow) PlatFile*[n]);
    const bool together = sorts && written;  // else no room to hold them at once: one at a time
    // Every new archive written; then flushed together; then each one's renames.
    size_t count = 0;
    for (size_t k = 0; k < n; ++k) {
        if (PlatInterrupted()) {
            results[k] = DropResult::NotTaken;
            continue;
        }
        step(k, true, context);
        results[k] = together ? Start(names[k], SortMode::LeaveSorted, backups[k], &sorts[k])
                              : SortDroppedFile(names[k], SortMode::LeaveSorted, backups[k]);
        if (together && results[k] == DropResult::Checked) written[count++] = sorts[k].out;
        step(k, false, context);
    }
    if (!together) return;
    PlatFlushTogether(written.get(), count);
    const Sort* renamed = nullptr;  // one whose renames were made, for the folder's flush
    for (size_t k = 0; k < n; ++k) {
        if (results[k] != DropResult::Checked) continue;
        step(k, true, context);
        results[k] = Rename(&sorts[k], true);
        if (results[k] != DropResult::Checked) {
            results[k] = LetGo(&sorts[k], results[k]);
        } else {
            renamed = &sorts[k];
        }
        step(k, false, context);
    }
    // The folder's names once for all, and only then the confirmations.
    const bool flushed = renamed != nullptr && FlushFolder(*renamed);
    for (size_t k = 0; k < n; ++k) {
        if (results[k] != DropResult::Checked) continue;
        step(k, true, context);
        results[k] = Finish(&sorts[k], flushed);
        step(k, false, context);
    }
}
