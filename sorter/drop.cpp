// drop.cpp: the whole job for one dropped file, from the extension test to the confirmation.
#include "drop.h"

#include <cstring>

#include "messages.h"
#include "pathutil.h"
#include "platform.h"

namespace {

constexpr char kExtension[] = ".snd";
constexpr size_t kExtensionSize = 4;
constexpr char kNewSuffix[] = "_new.snd";
constexpr char kOldSuffix[] = "_old.snd";
constexpr size_t kSuffixSize = 8;

DropResult Tell(const Message& message, DropResult result) {
    PlatShowMessage(message.text, message.caption);
    return result;
}

// The names every file of one drop is known by, each in its own zero-filled path buffer.
struct DropNames {
    char directory[kPathBufferSize];  // empty when the path has no separator after position 0
    char pDefFile[kPathBufferSize];
    char pNewFile[kPathBufferSize];
    char pOldFile[kPathBufferSize];
};

// Fills names from the full path; false when any of them would not fit. Without a separator the
// full path stands as the dropped file's name, so every name resolves where the path was opened.
bool BuildNames(const char* fullPath, DropNames* names) {
    std::memset(names, 0, sizeof *names);
    const size_t fullLength = std::strlen(fullPath);
    if (fullLength >= kPathBufferSize) return false;
    GetDirectoryPart(fullPath, names->directory);
    if (!GetFileNamePart(fullPath, names->pDefFile)) {
        std::memcpy(names->pDefFile, fullPath, fullLength);
    }
    // The name ends in the four extension bytes, which the base leaves out whatever their case.
    const size_t nameLength = std::strlen(names->pDefFile);
    if (nameLength < kExtensionSize) return false;  // the extension test makes this impossible
    const size_t baseLength = nameLength - kExtensionSize;
    if (baseLength + kSuffixSize >= kPathBufferSize) return false;
    std::memcpy(names->pNewFile, names->pDefFile, baseLength);
    std::memcpy(names->pNewFile + baseLength, kNewSuffix, kSuffixSize);
    std::memcpy(names->pOldFile, names->pDefFile, baseLength);
    std::memcpy(names->pOldFile + baseLength, kOldSuffix, kSuffixSize);
    return true;
}

}  // namespace

DropResult CheckDroppedFile(const char* fullPath, EntryTable* table) {
    const size_t length = std::strlen(fullPath);
    if (length < kExtensionSize ||
        !EqualNoCase(fullPath + length - kExtensionSize, kExtension, kExtensionSize)) {
        return Tell(kMsgNotSnd, DropResult::WrongExtension);
    }
    switch (ReadEntryTable(fullPath, table)) {
        case ReadResult::Ok: return DropResult::Checked;
        case ReadResult::OpenFailed: return DropResult::OpenFailed;
        case ReadResult::ReadFailed: return DropResult::ReadFailed;
        case ReadResult::BadSignature: return Tell(kMsgBadSignature, DropResult::BadSignature);
        case ReadResult::BadCount: return Tell(kMsgBadCount, DropResult::BadCount);
        case ReadResult::Damaged: return Tell(kMsgDamaged, DropResult::Damaged);
    }
    return DropResult::ReadFailed;
}

DropResult SortDroppedFile(const char* fullPath) {
    EntryTable table;
    const DropResult checked = CheckDroppedFile(fullPath, &table);
    if (checked != DropResult::Checked) return checked;

    DropNames names;
    if (!BuildNames(fullPath, &names)) return DropResult::NameTooLong;
    // Every name below is relative: were the directory change to fail, they would name files of
    // some other directory, so the operation stops instead.
    if (names.directory[0] != '\0' && !PlatSetCurrentDirectory(names.directory)) {
        return DropResult::DirectoryFailed;
    }

    switch (WriteSortedArchive(names.pDefFile, names.pNewFile, table)) {
        case WriteResult::Ok: break;
        case WriteResult::OpenFailed: return DropResult::OpenFailed;
        case WriteResult::CreateFailed: return DropResult::CreateFailed;
        case WriteResult::WriteFailed: return DropResult::WriteFailed;
    }

    // Both renames always run, in this order; neither ever replaces a file, so whatever fails,
    // the dropped file's bytes keep a name.
    bool renamed = true;
    if (!PlatRenameNoReplace(names.pDefFile, names.pOldFile)) {
        renamed = false;
        PlatShowMessage(kMsgOldRename.text, kMsgOldRename.caption);
    }
    if (!PlatRenameNoReplace(names.pNewFile, names.pDefFile)) {
        renamed = false;
        PlatShowMessage(kMsgDefRename.text, kMsgDefRename.caption);
    }
    // The confirmation promises both names: they must survive a power cut that follows it. Flushed
    // after a failed rename too, so that what the warnings describe is what a power cut leaves.
    const bool flushed = PlatFlushDirectory(".");
    if (!renamed) return DropResult::RenameFailed;
    if (!flushed) return DropResult::FlushFailed;
    return Tell(kMsgDone, DropResult::Sorted);
}
