// large_test.cpp: sources past 4 GiB, on sparse files: entries whose header or data lies beyond
// 2^32 are copied from exactly where they are, through the system's copy and through the buffer.
#include <gtest/gtest.h>

#include "archive.h"
#include "faulty_platform.h"
#include "support.h"

namespace {

constexpr uint64_t k4GiB = uint64_t{1} << 32;

// Every place an entry can lie in a file past 4 GiB. The chain runs: a low entry at 512; `cross`,
// whose 3 MiB of data (three pieces of the copy buffer) run across 2^32; `straddle`, whose header
// starts 8 bytes below 2^32 and ends above it, and lies inside the data of `cross`.
struct Layout {
    uint32_t offset;
    uint32_t length;
    uint32_t group;
};
constexpr Layout kLow = {512, 100, 3};
constexpr Layout kCross = {0xFFF00000u, 3u << 20, 2};
constexpr Layout kStraddle = {0xFFFFFFF8u, 256, 1};

class LargeSource : public ::testing::TestWithParam<bool> {
protected:
    void TearDown() override { SetFaultPlan({}); }
};

TEST_P(LargeSource, EntriesAcross4GiBAreCopiedFromWhereTheyAre) {
    SetFaultPlan({.copyInKernel = GetParam(), .act = {}});
    TempDir dir;
    const fs::path source = dir / "a.snd";
    std::string head = BuildArchive({{kLow.group, 0, Pattern(kLow.length, 1)}});
    PutLe32(head, 16, 3);
    PutLe32(head, kLow.offset, kCross.offset);
    WriteBytes(source, head);
    // Written past the end, which leaves a hole: no disk space is taken, nor asked for.
    WriteBytesAt(source, kCross.offset,
                 EntryHeader(kStraddle.offset, kCross.length, kCross.group, 0) +
                     Pattern(kCross.length, 2));
    // Written last, so that these bytes are also part of the data of `cross`.
    WriteBytesAt(source, kStraddle.offset,
                 EntryHeader(0, kStraddle.length, kStraddle.group, 0) +
                     Pattern(kStraddle.length, 3));
    ASSERT_GT(fs::file_size(source), k4GiB);

    EntryTable table;
    ASSERT_EQ(ReadTableOf(source.string(), &table), ReadResult::Ok);
    ASSERT_EQ(WriteSortedOf(source.string(), dir.str("b.snd"), table), WriteResult::Ok);

    // What each entry must hold, read from the source by this test itself.
    std::vector<TestEntry> expected;
    for (const Layout& e : {kStraddle, kCross, kLow}) {
        expected.push_back({e.group, 0, ReadBytesAt(source, uint64_t{e.offset} + 16, e.length)});
    }
    EXPECT_EQ(expected[0].data, Pattern(kStraddle.length, 3));
    EXPECT_TRUE(SortedLayoutEntries(ReadBytes(dir / "b.snd")) == expected)
        << "an entry was copied from the wrong place";
}

INSTANTIATE_TEST_SUITE_P(Copy, LargeSource, ::testing::Values(true, false),
                         [](const ::testing::TestParamInfo<bool>& info) {
                             return info.param ? "InTheSystem" : "ThroughTheBuffer";
                         });

}  // namespace
