// archive_test.cpp: reading entry tables and writing sorted archives, on archives built here.
#include "archive.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
#include <initializer_list>

#include "platform.h"
#include "support.h"

namespace {

// `bytes` with 32-bit numbers written at the given offsets.
std::string Patch(std::string bytes, std::initializer_list<std::pair<size_t, uint32_t>> numbers) {
    for (const auto& [at, value] : numbers) PutLe32(bytes, at, value);
    return bytes;
}

ReadResult Read(const TempDir& dir, const std::string& bytes, EntryTable* table) {
    WriteBytes(dir / "a.snd", bytes);
    return ReadTableOf(dir.str("a.snd"), table);
}

// Reads and sorts a.snd into b.snd and returns b.snd's bytes.
std::string SortFile(const TempDir& dir) {
    EntryTable table;
    EXPECT_EQ(ReadTableOf(dir.str("a.snd"), &table), ReadResult::Ok);
    fs::remove(dir / "b.snd");  // the writer replaces no file it was not shown
    EXPECT_EQ(WriteSortedOf(dir.str("a.snd"), dir.str("b.snd"), table), WriteResult::Ok);
    return ReadBytes(dir / "b.snd");
}

std::string Sort(const TempDir& dir, const std::string& bytes) {
    WriteBytes(dir / "a.snd", bytes);
    return SortFile(dir);
}

TEST(ReadEntryTable, FollowsTheChain) {
    TempDir dir;
    EntryTable table;
    ASSERT_EQ(Read(dir, BuildArchive({{1, 9, "ab"}, {7, 0, ""}, {2, 3, "xyz"}}, {900, 600, 2000}),
                   &table),
              ReadResult::Ok);
    ASSERT_EQ(table.cntList, 3u);
    EXPECT_EQ(table.rows[0].offset, 900u);
    EXPECT_EQ(table.rows[1].offset, 600u);
    EXPECT_EQ(table.rows[2].offset, 2000u);
    EXPECT_EQ(table.rows[2].length, 3u);
    EXPECT_EQ(table.rows[2].group, 2u);
    EXPECT_EQ(table.rows[2].item, 3u);
}

TEST(ReadEntryTable, ReadsWhatItMayAndRefusesTheRest) {
    const std::string one = BuildArchive({{0, 0, "x"}});
    const std::string two = BuildArchive({{0, 0, "abcd"}, {1, 0, "efgh"}});  // 552 bytes
    const auto signature = [&one](const char* twelve) {
        return std::string(twelve, 12) + one.substr(12);
    };
    struct Case {
        const char* what;
        std::string bytes;
        ReadResult expected;
    } const cases[] = {
        // cntList lies in 1..1024. The one entry links to itself, so the chain holds any count.
        {"count 0", Patch(one, {{16, 0}, {512, 512}}), ReadResult::BadCount},
        {"count 1", Patch(one, {{16, 1}, {512, 512}}), ReadResult::Ok},
        {"count 1024", Patch(one, {{16, 1024}, {512, 512}}), ReadResult::Ok},
        {"count 1025", Patch(one, {{16, 1025}, {512, 512}}), ReadResult::BadCount},
        {"count 2^32 - 1", Patch(one, {{16, 0xFFFFFFFFu}, {512, 512}}), ReadResult::BadCount},
        // The signature ignores the case of its letters, and only of them.
        {"signature in lower case", signature("vorlindesnd\0"), ReadResult::Ok},
        {"signature in upper case", signature("VORLINDESND\0"), ReadResult::Ok},
        {"signature ending in a space", signature("VorlindeSnd "), ReadResult::BadSignature},
        {"signature ending in 01", signature("VorlindeSnd\x01"), ReadResult::BadSignature},
        {"signature with one letter off", signature("VorlindeSne\0"), ReadResult::BadSignature},
        // A file too short reads zeros for the header bytes it lacks.
        {"empty file", "", ReadResult::BadSignature},
        {"the signature's letters alone", "VorlindeSnd", ReadResult::BadCount},
        {"18 bytes, count 0", std::string("VorlindeSnd\0\0\0\0\0\0\0", 18), ReadResult::BadCount},
        // A count of 1 from two bytes; the first-entry offset reads as 0, and the "entry" there
        // claims a length the file cannot hold.
        {"18 bytes, count 1", std::string("VorlindeSnd\0\0\0\0\0\1\0", 18), ReadResult::Damaged},
        // An entry header or data that lies past the end of the file is damaged.
        {"data ends exactly at the end", two, ReadResult::Ok},
        {"first entry past the end", Patch(two, {{20, 552}}), ReadResult::Damaged},
        {"first entry far past the end", Patch(two, {{20, 0xFFFFFFF8u}}), ReadResult::Damaged},
        {"entry header cut short", Patch(two, {{20, 540}}), ReadResult::Damaged},
        {"second entry past the end", Patch(two, {{512, 9000}}), ReadResult::Damaged},
        {"data one byte too long", Patch(two, {{536, 5}}), ReadResult::Damaged},
        {"data length at its largest", Patch(two, {{536, 0xFFFFFFFFu}}), ReadResult::Damaged},
        {"data length that wraps with the offset", Patch(two, {{536, 0xFFFFFFFFu - 540}}),
         ReadResult::Damaged},
    };
    TempDir dir;
    for (const Case& c : cases) {
        EntryTable table;
        EXPECT_EQ(Read(dir, c.bytes, &table), c.expected) << c.what;
    }
}

// The sorted archive may end at 2^32 - 1 and no later: its offsets are 32-bit. A chain of 1024 rows,
// one small entry then a large one named 1023 times (it names itself as the next), reaches both
// sides of that limit from a source of about 4 MiB.
TEST(ReadEntryTable, SortedArchiveMayEndAt4GiBLessOne) {
    TempDir dir;
    constexpr uint32_t kLarge = 4198387;  // 512 + (16 + 498) + 1023 * (16 + kLarge) = 2^32 - 1
    for (const auto& [small, expected] :
         {std::pair{498u, ReadResult::Ok}, {499u, ReadResult::Damaged}}) {
        std::string bytes = BuildArchive({{0, 0, std::string(small, 's')}, {0, 0, std::string(kLarge, 'l')}});
        PutLe32(bytes, 16, 1024);
        const uint32_t large = 512 + 16 + small;
        PutLe32(bytes, large, large);
        EntryTable table;
        EXPECT_EQ(Read(dir, bytes, &table), expected) << "small entry of " << small << " bytes";
    }
}

TEST(PlatOpenRead, MissingFileOrFolderCannotBeOpened) {
    TempDir dir;
    fs::create_directory(dir / "folder.snd");
    EXPECT_EQ(PlatOpenRead(dir.str("none.snd").c_str()), nullptr);
    EXPECT_EQ(PlatOpenRead(dir.str("folder.snd").c_str()), nullptr);
}

// Each source sorts to its entries in stable (group, item) order, unsigned, contiguous from 512;
// the header is copied as it stood but for the first-entry offset; and the sorted archive, sorted
// again, comes back byte for byte.
TEST(WriteSortedArchive, OrdersByUnsignedKeysKeepingChainOrderOfEqualOnes) {
    // Many rows of equal keys: an unstable sort keeps a few in order, but not dozens.
    std::vector<TestEntry> many;
    for (uint32_t k = 0; k < 60; ++k) many.push_back({k % 3 == 0 ? 1u : 0u, 5, std::to_string(k)});
    const struct Case {
        const char* what;
        std::vector<TestEntry> entries;
        std::vector<uint32_t> offsets;
    } cases[] = {
        {"equal keys", {{3, 0, "A"}, {0, 7, "B"}, {3, 0, "C"}, {0, 2, "D"}}, {}},
        {"sixty rows of two keys", many, {}},
        {"keys over the full 32 bits",
         {{0xFFFFFFFFu, 0xFFFFFFFFu, "e"}, {0x80000000u, 0, "d"}, {0x7FFFFFFFu, 0xFFFFFFFFu, "c"},
          {0, 0x80000000u, "b"}, {0, 1, "a"}},
         {}},
        {"scattered and backward chain",
         {{5, 0, Pattern(100, 1)}, {4, 0, ""}, {3, 0, Pattern(3, 2)}, {2, 0, Pattern(70, 3)}},
         {5000, 3000, 2999 - 19 - 50, 600}},
        {"already sorted",
         {{0, 0, Pattern(10, 5)}, {0, 1, ""}, {0, 1, Pattern(33, 6)}, {9, 0, Pattern(1, 7)}}, {}},
        {"larger than the copy buffer",
         {{2, 0, Pattern((5u << 19) + 3, 9)}, {1, 0, Pattern(1u << 20, 4)}}, {}},
    };
    TempDir dir;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        std::vector<TestEntry> expected = c.entries;
        std::stable_sort(expected.begin(), expected.end(), [](const TestEntry& a, const TestEntry& b) {
            return std::pair(a.group, a.item) < std::pair(b.group, b.item);
        });
        const std::string source = BuildArchive(c.entries, c.offsets);
        const std::string out = Sort(dir, source);
        EXPECT_TRUE(SortedLayoutEntries(out) == expected);
        EXPECT_EQ(out.substr(0, 20), source.substr(0, 20));
        EXPECT_EQ(GetLe32(out, 20), 512u);
        EXPECT_EQ(out.substr(24, 488), source.substr(24, 488));
        EXPECT_TRUE(Sort(dir, out) == out) << "a sorted archive did not come back byte for byte";
    }
}

TEST(WriteSortedArchive, EmptyEntryIsItsHeaderAlone) {
    TempDir dir;
    const std::string out = Sort(dir, BuildArchive({{1, 0, "zz"}, {0, 0, ""}}));
    ASSERT_EQ(out.size(), 512u + 16 + 16 + 2);
    EXPECT_EQ(GetLe32(out, 512), 528u);  // next offset: its own offset plus 16
    EXPECT_EQ(GetLe32(out, 516), 0u);
    EXPECT_EQ(GetLe32(out, 528), 546u);  // the last one names the size of the file
}

TEST(WriteSortedArchive, EntriesBeyond2GiBAreReached) {
    // A sparse source: entries at 2^31 + 16 and just below 2^32, read with unsigned offsets.
    TempDir dir;
    const uint32_t high = 0x80000010u;
    const uint32_t top = 0xFFFFFF00u;
    std::string head = BuildArchive({{0, 0, "lo"}});
    PutLe32(head, 16, 2);
    PutLe32(head, 20, high);
    WriteBytes(dir / "a.snd", head);
    // Written past the end, which leaves holes: no disk space is taken.
    WriteBytesAt(dir / "a.snd", high, EntryHeader(top, 4, 7, 0) + "HIGH");
    WriteBytesAt(dir / "a.snd", top, EntryHeader(0, 3, 6, 0) + "TOP");
    EXPECT_EQ(SortedLayoutEntries(SortFile(dir)),
              (std::vector<TestEntry>{{6, 0, "TOP"}, {7, 0, "HIGH"}}));
}

// A source shorter than its 512 header bytes: what it lacks of them is written as zeros.
TEST(WriteSortedArchive, SourceShorterThanTheHeaderSorts) {
    TempDir dir;
    // The signature, count 1, and the one entry right after the header numbers, ending at 40.
    const std::string source =
        Patch(BuildArchive({{7, 1, ""}}).substr(0, 24), {{20, 24}}) + EntryHeader(40, 0, 7, 1);
    const std::string out = Sort(dir, source);
    std::string header = source + std::string(512 - 40, '\0');
    PutLe32(header, 20, 512);
    EXPECT_EQ(out.substr(0, 512), header);
    EXPECT_EQ(SortedLayoutEntries(out), (std::vector<TestEntry>{{7, 1, ""}}));
}

TEST(WriteSortedArchive, FailuresLeaveNoNewArchive) {
    TempDir dir;
    WriteBytes(dir / "a.snd", BuildArchive({{1, 0, "abc"}, {0, 0, "defg"}}));
    PlatFile* source = PlatOpenRead(dir.str("a.snd").c_str());
    ASSERT_NE(source, nullptr);
    EntryTable table;
    ASSERT_EQ(ReadEntryTable(source, &table), ReadResult::Ok);

    EXPECT_EQ(WriteSortedArchive(source, dir.str("no/b.snd").c_str(), table, nullptr),
              WriteResult::CreateFailed);

    // The source shrank after its table was read: the data can no longer be read whole. (Windows
    // refuses the write while the file is open.)
    const std::string whole = ReadBytes(dir / "a.snd");
    std::ofstream shrink(dir / "a.snd", std::ios::binary | std::ios::trunc);
    if (shrink << whole.substr(0, whole.size() - 1) && shrink.flush()) {
        EXPECT_EQ(WriteSortedArchive(source, dir.str("b.snd").c_str(), table, nullptr),
                  WriteResult::SourceChanged);
        EXPECT_FALSE(fs::exists(dir / "b.snd"));
    }
    PlatClose(source);
}

}  // namespace
