// archive.h: the sound archive layout, the entry table read from it, and the sorted rewrite.
//
// An archive is a 512-byte header followed by a chain of entries anywhere in the file. Every number
// is a 32-bit unsigned little-endian integer and every offset counts from the start of the file.
#pragma once

#include <cstdint>

struct PlatFile;
struct PlatFileState;

// Header: the signature, an uninterpreted word, the entry count, the first entry's offset, then
// uninterpreted bytes up to 512. The sorted archive gets the same header, but for a first-entry
// offset of 512, where its entries now start.
inline constexpr uint32_t kHeaderSize = 512;
inline constexpr uint32_t kSignatureOffset = 0;
inline constexpr uint32_t kSignatureSize = 12;  // "VorlindeSnd" and a zero byte
inline constexpr char kSignature[kSignatureSize + 1] = "VorlindeSnd";
inline constexpr uint32_t kCountOffset = 16;       // cntList
inline constexpr uint32_t kFirstEntryOffset = 20;  // where the chain starts
inline constexpr uint32_t kHeaderNumbersSize = 8;  // cntList and the first entry's offset

// Entry: a 16-byte header (next entry's offset, data length, group, item), then the data.
inline constexpr uint32_t kEntryHeaderSize = 16;

// cntList must lie in 1..kMaxEntries; the table holds that many rows without allocating.
inline constexpr uint32_t kMaxEntries = 1024;

struct EntryRow {
    uint32_t offset;  // where the entry header starts in the source
    uint32_t length;  // data length in bytes
    uint32_t group;
    uint32_t item;
};

// What ReadEntryTable leaves for WriteSortedArchive. Rows are in chain order.
struct EntryTable {
    uint32_t cntList;
    uint64_t fileSize;  // the source's size when the table was read
    uint32_t lastNext;  // the last row's next-entry offset, which leads nowhere
    EntryRow rows[kMaxEntries];
};

enum class ReadResult {
    Ok,            // the table is filled and every entry lies wholly inside the file
    ReadFailed,    // the system reported an I/O error while reading
    BadSignature,  // the first 12 bytes are not the signature (ASCII letters in any case)
    BadCount,      // cntList is 0 or above kMaxEntries
    Damaged,       // an entry header or its data lies past the end of the file, or the sorted
                   // archive would be longer than 2^32 - 1 bytes
};

// Reads the header and follows the chain for cntList entries from an open file. A file too short
// for the signature or the header numbers reads as if zero bytes stood in place of the missing
// ones.
ReadResult ReadEntryTable(PlatFile* source, EntryTable* table);

// Where an archive first differs from the one a sort would write of it, if anywhere.
enum class Layout {
    Sorted,      // a sort would write exactly the bytes the archive holds
    OutOfOrder,  // entry `entry` (from 1, in chain order) has a smaller key than the one before
    Misplaced,   // entry `entry` starts at `found`, where the sorted archive has it at `expected`
                 // (for entry 1, the header's first-entry offset)
    LastNext,    // the last entry's next-entry offset is `found`, not `expected`, its end
    Trailing,    // `found` bytes follow the last entry
};
struct LayoutDifference {
    Layout kind;
    uint32_t entry;
    uint64_t found;
    uint64_t expected;
};

// Compares an archive, through its table, with the archive a sort would write of it: keys first,
// in chain order, then where each entry lies, then what follows the last one.
LayoutDifference CompareWithSorted(const EntryTable& table);

enum class WriteResult {
    Ok,             // the sorted archive is complete, on stable storage and closed
    CreateFailed,   // the new archive cannot be created
    WriteFailed,    // a read of the source, a write, the flush or the close failed or came up
                    // short; the partly written new archive has been removed
    SourceChanged,  // the source ended before an entry it held when its table was read: another
                    // program shrank it; the partly written new archive has been removed
};

// Writes outputName with the source's 512 header bytes (the first-entry offset set to 512), then
// every row's entry, one after the other, in ascending (group, item) order, both unsigned, rows of
// equal keys in table order. Each entry's next-entry offset points just past its own data. Entry
// data is copied through a buffer of at most 1 MiB. The table must come from ReadEntryTable on the
// same open file: one that shrank since fails as SourceChanged, as no bytes stand in for those
// that are gone. The new archive is closed before it returns; when Ok, *written (unless null)
// holds its state as written. `leftover`, unless null, is the state of the file now under
// outputName that the caller saw and checked with HoldsOnlySortedBytes: that file, and nothing
// else, is replaced.
WriteResult WriteSortedArchive(PlatFile* source, const char* outputName, const EntryTable& table,
                               PlatFileState* written, const PlatFileState* leftover = nullptr);

// WriteSortedArchive in two steps, for a front end that flushes many new archives together: the
// first writes everything but waits for no disk and leaves *out open (nullptr unless Ok; a failed
// one is removed); the second flushes it (or, `flushedTogether`, takes PlatFlushed's word for the
// flush PlatFlushTogether made of it), notes its state and closes it, and removes it on failure.
WriteResult BeginSortedArchive(PlatFile* source, const char* outputName, const EntryTable& table,
                               PlatFile** out, const PlatFileState* leftover = nullptr);
WriteResult EndSortedArchive(PlatFile* out, const char* outputName, bool flushedTogether,
                             PlatFileState* written);

// True when every byte of `other` is the byte the sorted archive of `source` (through its table)
// holds at the same offset: `other` is that archive, whole or cut short, as an earlier sort of the
// same bytes left it. False for anything else, and where either file cannot be read.
bool HoldsOnlySortedBytes(PlatFile* source, PlatFile* other, const EntryTable& table);
