// support.h: archives, temporary folders and a message recorder for the tests.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <utility>
#include <vector>

namespace fs = std::filesystem;

struct TestEntry {
    uint32_t group;
    uint32_t item;
    std::string data;
    bool operator==(const TestEntry&) const = default;
};

uint32_t GetLe32(const std::string& bytes, size_t at);
void PutLe32(std::string& bytes, size_t at, uint32_t value);

// An archive holding `entries` in chain order. Without `offsets` the entries follow one another
// from 512; with them, entry k's header starts at offsets[k] and gaps hold 0xEE bytes. The last
// entry's next offset points just past its data. The header's uninterpreted bytes hold a pattern,
// so that a test sees whether they were copied.
std::string BuildArchive(const std::vector<TestEntry>& entries, std::vector<uint32_t> offsets = {});

// The entries of an archive laid out as the sorter writes it: contiguous from 512, each next
// offset pointing just past its own data, the last one at the end of the file. Fails the calling
// test (and returns what it could read) when the layout is anything else.
std::vector<TestEntry> SortedLayoutEntries(const std::string& archive);

std::string ReadBytes(const fs::path& path);
void WriteBytes(const fs::path& path, const std::string& bytes);

// Reads n bytes at a 64-bit offset, and writes bytes there (the file must exist; a gap before them
// stays a hole, so files of several GiB cost no disk).
std::string ReadBytesAt(const fs::path& path, uint64_t offset, size_t n);
void WriteBytesAt(const fs::path& path, uint64_t offset, const std::string& bytes);

// Renames through the platform layer in a new folder: onto a name that exists it must fail and
// change nothing; onto a free name it must move the file.
void ExpectRenameNeverReplaces();

// The names of the files in a folder, sorted.
std::vector<std::string> FilesIn(const fs::path& dir);

// A new empty folder for one test; it and everything in it are removed, and the current directory
// is put back, when the test ends.
class TempDir {
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    const fs::path& path() const { return path_; }
    fs::path operator/(const std::string& name) const { return path_ / name; }
    std::string str(const std::string& name) const { return (path_ / name).string(); }

private:
    fs::path path_;
    fs::path savedCwd_;
};

// Records every message shown while it lives, as (text, caption) in code page 932 bytes.
class MessageLog {
public:
    MessageLog();
    ~MessageLog();
    MessageLog(const MessageLog&) = delete;
    MessageLog& operator=(const MessageLog&) = delete;
    std::vector<std::pair<std::string, std::string>> shown;
};
