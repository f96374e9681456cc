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

enum class ReadOnceResult { Ok, OpenFailed, ReadFailed };

// Opens `path`, reads up to n bytes at `offset` into buf and closes it again: the source is never
// held open between reads. *got is the count read (short at the end of the file); *size, when
// asked for, the file's size as this open saw it.
ReadOnceResult ReadOnce(const char* path, uint32_t offset, void* buf, uint32_t n, uint32_t* got,
                        uint64_t* size) {
    *got = 0;
    PlatFile* file = PlatOpenRead(path);
    if (file == nullptr) return ReadOnceResult::OpenFailed;
    bool ok = (size == nullptr || PlatFileSize(file, size)) && PlatSeek(file, offset) &&
              PlatRead(file, buf, n, got);
    PlatClose(file);  // nothing was written, so a failing close loses nothing
    return ok ? ReadOnceResult::Ok : ReadOnceResult::ReadFailed;
}

ReadResult FromReadOnce(ReadOnceResult r) {
    return r == ReadOnceResult::OpenFailed ? ReadResult::OpenFailed : ReadResult::ReadFailed;
}

// Row indexes in ascending (group, item) order, rows of equal keys in table order.
void SortedOrder(const EntryTable& table, uint16_t* order) {
    for (uint32_t k = 0; k < table.cntList; ++k) order[k] = static_cast<uint16_t>(k);
    std::stable_sort(order, order + table.cntList, [&table](uint16_t a, uint16_t b) {
        const EntryRow& ra = table.rows[a];
        const EntryRow& rb = table.rows[b];
        return ra.group != rb.group ? ra.group < rb.group : ra.item < rb.item;
    });
}

// Appends one entry: its fresh header, then its data copied from the source in buffer-sized
// pieces. Every piece must arrive whole: the table was read from this file, so a short read means
// the file changed or failed underneath us.
bool CopyEntry(const char* sourceName, PlatFile* out, const EntryRow& row, uint32_t nextOffset,
               unsigned char* buffer, uint32_t bufferSize) {
    unsigned char header[kEntryHeaderSize];
    PutLe32(header, nextOffset);
    PutLe32(header + 4, row.length);
    PutLe32(header + 8, row.group);
    PutLe32(header + 12, row.item);
    if (!PlatWrite(out, header, kEntryHeaderSize)) return false;
    if (row.length == 0) return true;

    PlatFile* source = PlatOpenRead(sourceName);
    if (source == nullptr) return false;
    // ReadEntryTable checked that offset + 16 + length lies inside the file, so no sum overflows.
    bool ok = PlatSeek(source, row.offset + kEntryHeaderSize);
    for (uint32_t left = row.length; ok && left > 0;) {
        const uint32_t piece = std::min(left, bufferSize);
        uint32_t got = 0;
        ok = PlatRead(source, buffer, piece, &got) && got == piece && PlatWrite(out, buffer, piece);
        left -= piece;
    }
    PlatClose(source);
    return ok;
}

}  // namespace

ReadResult ReadEntryTable(const char* fullPath, EntryTable* table) {
    std::memset(table, 0, sizeof *table);
    uint32_t got = 0;

    char signature[kSignatureSize] = {};
    ReadOnceResult r = ReadOnce(fullPath, kSignatureOffset, signature, kSignatureSize, &got, nullptr);
    if (r != ReadOnceResult::Ok) return FromReadOnce(r);
    if (!EqualNoCase(signature, kSignature, kSignatureSize)) return ReadResult::BadSignature;

    unsigned char numbers[kHeaderNumbersSize] = {};
    r = ReadOnce(fullPath, kCountOffset, numbers, kHeaderNumbersSize, &got, nullptr);
    if (r != ReadOnceResult::Ok) return FromReadOnce(r);
    const uint32_t count = GetLe32(numbers);
    if (count < 1 || count > kMaxEntries) return ReadResult::BadCount;

    uint32_t offset = GetLe32(numbers + 4);
    uint64_t outputSize = kHeaderSize;
    for (uint32_t k = 0; k < count; ++k) {
        unsigned char header[kEntryHeaderSize] = {};
        uint64_t fileSize = 0;
        r = ReadOnce(fullPath, offset, header, kEntryHeaderSize, &got, &fileSize);
        if (r != ReadOnceResult::Ok) return FromReadOnce(r);
        // Checked by subtraction, so that no offset or length near 2^32 can wrap a sum.
        if (got < kEntryHeaderSize || offset > fileSize || fileSize - offset < kEntryHeaderSize) {
            return ReadResult::Damaged;
        }
        EntryRow& row = table->rows[k];
        row = {offset, GetLe32(header + 4), GetLe32(header + 8), GetLe32(header + 12)};
        if (row.length > fileSize - offset - kEntryHeaderSize) return ReadResult::Damaged;
        // The sorted archive's offsets are 32-bit: it may end at 2^32 - 1 at the most.
        outputSize += uint64_t{kEntryHeaderSize} + row.length;
        if (outputSize > UINT32_MAX) return ReadResult::Damaged;
        table->maxGroup = std::max(table->maxGroup, row.group);
        table->maxItem = std::max(table->maxItem, row.item);
        offset = GetLe32(header);
    }
    table->cntList = count;
    return ReadResult::Ok;
}

WriteResult WriteSortedArchive(const char* sourceName, const char* outputName,
                               const EntryTable& table) {
    unsigned char header[kHeaderSize] = {};
    uint32_t got = 0;
    const ReadOnceResult r = ReadOnce(sourceName, 0, header, kHeaderSize, &got, nullptr);
    if (r == ReadOnceResult::OpenFailed) return WriteResult::OpenFailed;
    if (r == ReadOnceResult::ReadFailed) return WriteResult::WriteFailed;

    uint32_t longest = 0;
    for (uint32_t k = 0; k < table.cntList; ++k) longest = std::max(longest, table.rows[k].length);
    const uint32_t bufferSize = std::max(1u, std::min(longest, kCopyBufferSize));
    std::unique_ptr<unsigned char[]> buffer(new (std::nothrow) unsigned char[bufferSize]());
    if (!buffer) return WriteResult::WriteFailed;

    uint16_t order[kMaxEntries];
    SortedOrder(table, order);

    PlatFile* out = PlatCreate(outputName);
    if (out == nullptr) return WriteResult::CreateFailed;
    bool ok = PlatWrite(out, header, kHeaderSize);
    uint32_t position = kHeaderSize;  // ReadEntryTable saw that the whole archive fits in 32 bits
    for (uint32_t k = 0; ok && k < table.cntList; ++k) {
        const EntryRow& row = table.rows[order[k]];
        position += kEntryHeaderSize + row.length;
        ok = CopyEntry(sourceName, out, row, position, buffer.get(), bufferSize);
    }
    // On stable storage before anyone renames it: a crash must never leave a renamed archive
    // whose bytes never reached the disk.
    ok = ok && PlatFlush(out);
    ok = PlatClose(out) && ok;
    if (!ok) {
        PlatRemove(outputName);
        return WriteResult::WriteFailed;
    }
    return WriteResult::Ok;
}
