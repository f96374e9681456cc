// archive.cpp: reads a sound archive's entry table and writes the archive anew in key order.
#include "archive.h"

#include <algorithm>
#include <cstring>
#include <memory>
#include <new>

#include "pathutil.h"
#include "platform.h"

namespace {

// Entry data is copied through a buffer of at most this size, whatever an entry's length.
constexpr uint32_t kCopyBufferSize = 1u << 20;
// An archive of at most this size is read whole, once, and its sorted form written in one piece:
// for the many small archives of a folder, the calls per entry would cost more than the bytes.
constexpr uint32_t kWholeArchive = 64u << 10;

uint32_t GetLe32(const unsigned char* p) {
    return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 |
           static_cast<uint32_t>(p[2]) << 16 | static_cast<uint32_t>(p[3]) << 24;
}

void PutLe32(unsigned char* p, uint32_t v) {
    p[0] = static_cast<unsigned char>(v);
    p[1] = static_cast<unsigned char>(v >> 8);
    p[2] = static_cast<unsigned char>(v >> 16);
    p[3] = static_cast<unsigned char>(v >> 24);
}

bool KeyBefore(const EntryRow& a, const EntryRow& b) {
    return a.group != b.group ? a.group < b.group : a.item < b.item;
}

// Row indexes in ascending (group, item) order, rows of equal keys in table order.
void SortedOrder(const EntryTable& table, uint16_t* order) {
    for (uint32_t k = 0; k < table.cntList; ++k) order[k] = static_cast<uint16_t>(k);
    std::stable_sort(order, order + table.cntList, [&table](uint16_t a, uint16_t b) {
        return KeyBefore(table.rows[a], table.rows[b]);
    });
}

// An entry's fresh header in the sorted archive: its next-entry offset, then the row's length,
// group and item.
void PutEntryHeader(unsigned char* header, const EntryRow& row, uint32_t nextOffset) {
    PutLe32(header, nextOffset);
    PutLe32(header + 4, row.length);
    PutLe32(header + 8, row.group);
    PutLe32(header + 12, row.item);
}

// The source's header as the sorted archive holds it; false when it cannot be read whole. The
// entries now start right after the header; a first-entry offset left pointing where the source
// had its first entry would send every reader of the chain into the middle of data. Fewer header
// bytes than the file had when its table was read: it shrank underneath.
WriteResult SortedHeader(PlatFile* source, const EntryTable& table, unsigned char* header) {
    uint32_t got = 0;
    if (!PlatReadAt(source, 0, header, kHeaderSize, &got)) return WriteResult::WriteFailed;
    if (got != std::min<uint64_t>(kHeaderSize, table.fileSize)) return WriteResult::SourceChanged;
    PutLe32(header + kFirstEntryOffset, kHeaderSize);
    return WriteResult::Ok;
}

// Reads a piece of an entry's data, which must arrive whole: the table was read from this file,
// so a short read means another program shrank it.
WriteResult ReadPiece(PlatFile* source, uint64_t at, unsigned char* buffer, uint32_t piece) {
    uint32_t got = 0;
    if (PlatInterrupted() || !PlatReadAt(source, at, buffer, piece, &got)) {
        return WriteResult::WriteFailed;
    }
    return got == piece ? WriteResult::Ok : WriteResult::SourceChanged;
}

// Appends one entry: its fresh header, then its data, copied by the system where it can and
// otherwise through `buffer`, in pieces of at most `bufferSize` bytes; an interruption stops it
// between pieces.
WriteResult CopyEntry(PlatFile* source, PlatFile* out, const EntryRow& row, uint32_t nextOffset,
                      unsigned char* buffer, uint32_t bufferSize) {
    unsigned char header[kEntryHeaderSize];
    PutEntryHeader(header, row, nextOffset);
    if (!PlatWrite(out, header, kEntryHeaderSize)) return WriteResult::WriteFailed;
    if (row.length == 0) return WriteResult::Ok;

    // In a file past 4 GiB the data of an entry near 2^32 starts, or runs on, beyond 32 bits: every
    // position is 64-bit. ReadEntryTable checked that it lies inside the file.
    const uint64_t start = uint64_t{row.offset} + kEntryHeaderSize;
    switch (PlatCopyRange(source, start, out, row.length)) {
        case PlatCopyResult::Copied: return WriteResult::Ok;
        case PlatCopyResult::Ended: return WriteResult::SourceChanged;
        case PlatCopyResult::Failed: return WriteResult::WriteFailed;
        case PlatCopyResult::Unsupported: break;
    }
    for (uint32_t done = 0; done < row.length;) {
        const uint32_t piece = std::min(row.length - done, bufferSize);
        const WriteResult read = ReadPiece(source, start + done, buffer, piece);
        if (read != WriteResult::Ok) return read;
        if (!PlatWrite(out, buffer, piece)) return WriteResult::WriteFailed;
        done += piece;
    }
    return WriteResult::Ok;
}

// Reads of a file's first bytes, served from one read of them: the table of a small archive is read
// in one call instead of one per entry. Past them, each read is the file's own.
struct Head {
    PlatFile* file;
    uint32_t size = 0;  // how many of them the file had when they were read
    unsigned char bytes[kWholeArchive];
};

bool ReadAt(const Head& head, uint64_t at, void* buffer, uint32_t n, uint32_t* got) {
    if (at > head.size || head.size - at < n) return PlatReadAt(head.file, at, buffer, n, got);
    std::memcpy(buffer, head.bytes + at, n);
    *got = n;
    return true;
}

// Everything ReadEntryTable does once the file is open.
ReadResult ReadOpenTable(PlatFile* file, EntryTable* table) {
    uint64_t fileSize = 0;
    uint32_t got = 0;
    if (!PlatFileSize(file, &fileSize)) return ReadResult::ReadFailed;
    table->fileSize = fileSize;
    std::unique_ptr<Head> head(new (std::nothrow) Head);  // its bytes are read before they are used
    if (!head) return ReadResult::ReadFailed;
    head->file = file;
    if (fileSize <= kWholeArchive &&
        !PlatReadAt(file, 0, head->bytes, static_cast<uint32_t>(fileSize), &head->size)) {
        return ReadResult::ReadFailed;
    }

    // A file too short for these reads is compared and counted with zeros for the missing bytes.
    char signature[kSignatureSize] = {};
    if (!ReadAt(*head, kSignatureOffset, signature, kSignatureSize, &got)) {
        return ReadResult::ReadFailed;
    }
    if (!EqualNoCase(signature, kSignature, kSignatureSize)) return ReadResult::BadSignature;
    unsigned char numbers[kHeaderNumbersSize] = {};
    if (!ReadAt(*head, kCountOffset, numbers, kHeaderNumbersSize, &got)) {
        return ReadResult::ReadFailed;
    }
    const uint32_t count = GetLe32(numbers);
    if (count < 1 || count > kMaxEntries) return ReadResult::BadCount;

    uint32_t offset = GetLe32(numbers + (kFirstEntryOffset - kCountOffset));
    uint64_t outputSize = kHeaderSize;
    for (uint32_t k = 0; k < count; ++k) {
        // Checked by subtraction, so that no offset or length near 2^32 can wrap a sum.
        if (offset > fileSize || fileSize - offset < kEntryHeaderSize) return ReadResult::Damaged;
        unsigned char header[kEntryHeaderSize] = {};
        if (!ReadAt(*head, offset, header, kEntryHeaderSize, &got)) return ReadResult::ReadFailed;
        if (got < kEntryHeaderSize) return ReadResult::Damaged;  // shorter than it was
        EntryRow& row = table->rows[k];
        row = {offset, GetLe32(header + 4), GetLe32(header + 8), GetLe32(header + 12)};
        if (row.length > fileSize - offset - kEntryHeaderSize) return ReadResult::Damaged;
        // The sorted archive's offsets are 32-bit: it may end at 2^32 - 1 at the most.
        outputSize += uint64_t{kEntryHeaderSize} + row.length;
        if (outputSize > UINT32_MAX) return ReadResult::Damaged;
        offset = GetLe32(header);
    }
    table->cntList = count;
    table->lastNext = offset;
    return ReadResult::Ok;
}

// CopyArchive for an archive read whole: the sorted archive is made in memory and written at once.
// The source must still hold every byte it held when its table was read.
WriteResult CopyWhole(PlatFile* source, PlatFile* out, const EntryTable& table, const uint16_t* order,
                      uint32_t outputSize) {
    const uint32_t size = static_cast<uint32_t>(table.fileSize);
    std::unique_ptr<unsigned char[]> data(new (std::nothrow) unsigned char[size + outputSize]);
    if (!data) return WriteResult::WriteFailed;
    unsigned char* const in = data.get();
    unsigned char* const sorted = in + size;
    uint32_t got = 0;
    if (PlatInterrupted() || !PlatReadAt(source, 0, in, size, &got)) return WriteResult::WriteFailed;
    if (got != size) return WriteResult::SourceChanged;
    // Zeros stand for the header bytes a short source lacks.
    std::memset(sorted, 0, kHeaderSize);
    std::memcpy(sorted, in, std::min<uint32_t>(size, kHeaderSize));
    PutLe32(sorted + kFirstEntryOffset, kHeaderSize);
    uint32_t position = kHeaderSize;
    for (uint32_t k = 0; k < table.cntList; ++k) {
        const EntryRow& row = table.rows[order[k]];
        const uint32_t at = position;
        position += kEntryHeaderSize + row.length;
        PutEntryHeader(sorted + at, row, position);
        // ReadEntryTable saw the entry lie inside the file, as `size` still has it.
        std::memcpy(sorted + at + kEntryHeaderSize, in + row.offset + kEntryHeaderSize, row.length);
    }
    return PlatWrite(out, sorted, outputSize) ? WriteResult::Ok : WriteResult::WriteFailed;
}

// Writes the header and every entry in `order` to `out`, reading from `source`.
WriteResult CopyArchive(PlatFile* source, PlatFile* out, const EntryTable& table,
                        const uint16_t* order) {
    uint64_t outputSize = kHeaderSize;
    for (uint32_t k = 0; k < table.cntList; ++k) outputSize += kEntryHeaderSize + uint64_t{table.rows[k].length};
    if (table.fileSize <= kWholeArchive && outputSize <= kWholeArchive) {
        return CopyWhole(source, out, table, order, static_cast<uint32_t>(outputSize));
    }
    unsigned char header[kHeaderSize] = {};  // zeros stand for what a short source lacks
    const WriteResult read = SortedHeader(source, table, header);
    if (read != WriteResult::Ok) return read;
    if (!PlatWrite(out, header, kHeaderSize)) return WriteResult::WriteFailed;
    uint32_t longest = 0;
    for (uint32_t k = 0; k < table.cntList; ++k) longest = std::max(longest, table.rows[k].length);
    const uint32_t bufferSize = std::max(1u, std::min(longest, kCopyBufferSize));
    std::unique_ptr<unsigned char[]> buffer(new (std::nothrow) unsigned char[bufferSize]());
    if (!buffer) return WriteResult::WriteFailed;

    uint32_t position = kHeaderSize;  // ReadEntryTable saw that the whole archive fits in 32 bits
    for (uint32_t k = 0; k < table.cntList; ++k) {
        const EntryRow& row = table.rows[order[k]];
        position += kEntryHeaderSize + row.length;
        const WriteResult copied = CopyEntry(source, out, row, position, buffer.get(), bufferSize);
        if (copied != WriteResult::Ok) return copied;
    }
    return WriteResult::Ok;
}

// Compares the next n bytes of `other` from *at, as far as it goes (`size`), with `bytes`, reading
// them into `scratch`; moves *at past them.
bool SameAs(PlatFile* other, uint64_t size, uint64_t* at, const unsigned char* bytes, uint32_t n,
            unsigned char* scratch) {
    const uint32_t compared = static_cast<uint32_t>(std::min<uint64_t>(n, size - *at));
    uint32_t got = 0;
    if (compared == 0) return true;
    if (!PlatReadAt(other, *at, scratch, compared, &got) || got != compared) return false;
    *at += compared;
    return std::memcmp(bytes, scratch, compared) == 0;
}

}  // namespace

LayoutDifference CompareWithSorted(const EntryTable& table) {
    const uint32_t n = table.cntList;
    for (uint32_t k = 1; k < n; ++k) {
        if (KeyBefore(table.rows[k], table.rows[k - 1])) return {Layout::OutOfOrder, k + 1, 0, 0};
    }
    uint64_t at = kHeaderSize;  // where the sorted archive has entry k
    for (uint32_t k = 0; k < n; ++k) {
        if (table.rows[k].offset != at) return {Layout::Misplaced, k + 1, table.rows[k].offset, at};
        at += kEntryHeaderSize + table.rows[k].length;
    }
    if (table.lastNext != at) return {Layout::LastNext, n, table.lastNext, at};
    // ReadEntryTable saw every entry inside the file, so the file ends at `at` or after it.
    if (table.fileSize != at) return {Layout::Trailing, n, table.fileSize - at, 0};
    return {Layout::Sorted, 0, 0, 0};
}

ReadResult ReadEntryTable(PlatFile* source, EntryTable* table) {
    // Rows are filled as they are read; none past cntList is ever looked at.
    table->cntList = 0;
    table->fileSize = 0;
    table->lastNext = 0;
    return ReadOpenTable(source, table);
}

WriteResult BeginSortedArchive(PlatFile* source, const char* outputName, const EntryTable& table,
                               PlatFile** out, const PlatFileState* leftover) {
    uint16_t order[kMaxEntries];
    SortedOrder(table, order);

    *out = PlatCreate(outputName, source, leftover);
    if (*out == nullptr) return WriteResult::CreateFailed;
    const WriteResult result = CopyArchive(source, *out, table, order);
    if (result != WriteResult::Ok) {
        PlatClose(*out);
        *out = nullptr;
        PlatRemove(outputName);
    }
    return result;
}

WriteResult EndSortedArchive(PlatFile* out, const char* outputName, bool flushedTogether,
                             PlatFileState* written) {
    // On stable storage before anyone renames it: a crash must never leave a renamed archive
    // whose bytes never reached the disk.
    const bool ok = (flushedTogether ? PlatFlushed(out) : PlatFlush(out)) &&
                    (written == nullptr || PlatStateOf(out, written));  // as written, for good
    const bool closed = PlatClose(out);
    if (ok && closed) return WriteResult::Ok;
    PlatRemove(outputName);
    return WriteResult::WriteFailed;
}

WriteResult WriteSortedArchive(PlatFile* source, const char* outputName, const EntryTable& table,
                               PlatFileState* written, const PlatFileState* leftover) {
    PlatFile* out = nullptr;
    const WriteResult result = BeginSortedArchive(source, outputName, table, &out, leftover);
    return result == WriteResult::Ok ? EndSortedArchive(out, outputName, false, written) : result;
}

bool HoldsOnlySortedBytes(PlatFile* source, PlatFile* other, const EntryTable& table) {
    uint64_t size = 0;
    if (!PlatFileSize(other, &size)) return false;
    uint16_t order[kMaxEntries];
    SortedOrder(table, order);
    constexpr uint32_t kPiece = 64u << 10;
    std::unique_ptr<unsigned char[]> data(new (std::nothrow) unsigned char[2 * kPiece]());
    if (!data) return false;
    unsigned char* const scratch = data.get() + kPiece;

    // The sorted archive's bytes in the order it holds them, each against other's at its offset,
    // until other ends.
    uint64_t at = 0;
    unsigned char header[kHeaderSize] = {};
    if (SortedHeader(source, table, header) != WriteResult::Ok ||
        !SameAs(other, size, &at, header, kHeaderSize, scratch)) {
        return false;
    }
    uint32_t position = kHeaderSize;
    for (uint32_t k = 0; k < table.cntList && at < size; ++k) {
        const EntryRow& row = table.rows[order[k]];
        position += kEntryHeaderSize + row.length;
        PutEntryHeader(header, row, position);
        if (!SameAs(other, size, &at, header, kEntryHeaderSize, scratch)) return false;
        const uint64_t start = uint64_t{row.offset} + kEntryHeaderSize;
        for (uint32_t done = 0; done < row.length && at < size;) {
            const uint32_t piece = std::min(row.length - done, kPiece);
            if (ReadPiece(source, start + done, data.get(), piece) != WriteResult::Ok ||
                !SameAs(other, size, &at, data.get(), piece, scratch)) {
                return false;
            }
            done += piece;
        }
    }
    return at == size;  // nothing past the sorted archive's end
}
