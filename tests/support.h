// support.h: archives, temporary folders and a message recorder for the tests.
#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include "drop.h"
#include "messages.h"

namespace fs = std::filesystem;

struct TestEntry {
    uint32_t group;
    uint32_t item;
    std::string data;
    bool operator==(const TestEntry&) const = default;
};

// The road of one drop: keys (1,0), (0,5), (0,2) in chain order, and the order a sort gives them.
inline const std::vector<TestEntry> kRoad = {
    {1, 0, "one-zero"}, {0, 5, "zero-five"}, {0, 2, "zero-two"}};
inline const std::vector<TestEntry> kRoadSorted = {kRoad[2], kRoad[1], kRoad[0]};

uint32_t GetLe32(const std::string& bytes, size_t at);
void PutLe32(std::string& bytes, size_t at, uint32_t value);

// n bytes of a hash of each position and the seed: no stretch of them repeats at a short distance,
// so that data copied from a little off its place shows.
std::string Pattern(size_t n, unsigned seed);

// A 16-byte entry header: the next entry's offset, the data length, the group and the item.
std::string EntryHeader(uint32_t next, uint32_t length, uint32_t group, uint32_t item);

// An archive holding `entries` in chain order. Without `offsets` the entries follow one another
// from 512; with them, entry k's header starts at offsets[k] and gaps hold 0xEE bytes. The last
// entry's next offset points just past its data. The header's uninterpreted bytes hold a pattern,
// so that a test sees whether they were copied.
std::string BuildArchive(const std::vector<TestEntry>& entries, std::vector<uint32_t> offsets = {});

// The entries of an archive laid out as the sorter writes it: contiguous from 512, each next
// offset pointing just past its own data, the last one at the end of the file. Fails the calling
// test (and returns what it could read) when the layout is anything else.
std::vector<TestEntry> SortedLayoutEntries(const std::string& archive);

// The sorted archive of `archive`, as a sort in a folder of its own writes it; "" where it is no
// archive a sort takes.
std::string SortedOf(const std::string& archive);

std::string ReadBytes(const fs::path& path);
void WriteBytes(const fs::path& path, const std::string& bytes);

// Reads n bytes at a 64-bit offset, and writes bytes there (the file must exist; a gap before them
// stays a hole, so files of several GiB cost no disk).
std::string ReadBytesAt(const fs::path& path, uint64_t offset, size_t n);
void WriteBytesAt(const fs::path& path, uint64_t offset, const std::string& bytes);

// ReadEntryTable and WriteSortedArchive on the file at a path, opened for the call and closed after
// it; a source that cannot be opened fails the calling test.
ReadResult ReadTableOf(const std::string& path, EntryTable* table);
WriteResult WriteSortedOf(const std::string& source, const std::string& output, const EntryTable& table);

// Runs setfacl with `args` (already quoted for the shell); false where it fails: no setfacl, or no
// ACLs on this file system.
bool SetFacl(const std::string& args);

// The access control list of a file, as getfacl prints it (numeric ids, no header), or "" where the
// command fails.
std::string Acl(const fs::path& path);

// Renames through the platform layer in a new folder: onto a name that exists it must fail and
// change nothing; onto a free name it must move the file.
void ExpectRenameNeverReplaces();

// The names of the files in a folder, sorted.
std::vector<std::string> FilesIn(const fs::path& dir);

class TempDir;

// Writes `bytes` as `name` in `dir`, drops it there and returns how the drop ended.
DropResult DropIn(const TempDir& dir, const std::string& bytes, const std::string& name = "fx.snd");

// What a drop must leave: `name` sorted (its entries `sorted`) and `backup` holding `original`, and
// nothing else in `dir`.
void ExpectSorted(const fs::path& dir, const std::string& name, const std::string& backup,
                  const std::string& original, const std::vector<TestEntry>& sorted = kRoadSorted);

// What a drop that changed nothing must leave: exactly `files` in `dir`, and `bytes` in `name`.
void ExpectUntouched(const fs::path& dir, const std::vector<std::string>& files,
                     const std::string& name, const std::string& bytes);

// One end of a sort, however it came about (a fault, a kill, a power cut, another program's act at
// any call, a second sort after any of these), and what the user was told: the one statement of
// the promise that every suite acting around a sort holds its ends against.
struct SortEnd {
    std::map<std::string, std::string> files;  // every plain file of the folder: name, bytes
    std::string original;                      // the bytes the sort was dropped on
    // What another program put in the folder, by the name it gave it, and the names the run said
    // hold another program's file (that it could not keep from taking one of its own names).
    std::vector<std::pair<std::string, std::string>> theirs;
    std::vector<std::string> reported;
    std::vector<std::string> homes;   // other names that may hold the original (a link's file)
    bool originalTaken = false;       // another program itself took the original's last name away
    bool tornWork = false;  // a kill or a power cut: the work file may hold a torn sorted archive
    std::vector<std::pair<std::string, std::string>> confirmed;  // (fx.snd, fx_old.snd) as each
                                                                 // confirmation saw them
    std::vector<std::string> promisedNew;  // fx_new.snd as each warning that the sorted archive is
                                           // there saw it
};

// The plain files of a folder, links not followed, with their bytes: for SortEnd::files.
std::map<std::string, std::string> FilesWithBytes(const fs::path& dir);

// Of the files of a folder where several archives were sorted together, those one archive's end
// is judged by: its own names (BASE.snd, BASE_old.snd, BASE_new.snd) as fx.snd, fx_old.snd and
// fx_new.snd, the other archives' own names left out, and every other file as it is.
std::map<std::string, std::string> FilesOf(const std::map<std::string, std::string>& files,
                                           const std::string& base, const std::vector<std::string>& bases);

// "" when the end keeps the promise, else what broke it:
// (a) the original's bytes keep fx.snd, fx_old.snd or a home, unless another program took them;
// (b) every file another program put stands under the name it gave it, or where no call the
//     kernel offers could keep that one, under a name the run reported; so no file the run did not
//     write is removed;
// (c) fx.snd holds a version (the original or another program's) or the whole sorted archive of
//     one, fx_old.snd a version, fx_new.snd the whole sorted archive of a version (after a kill
//     or a power cut, part of it too), another program's file, or nothing; nothing else is left;
// (d) a confirmation comes only where fx.snd holds the sorted archive of what fx_old.snd holds, a
//     version, and a warning that the sorted archive is in fx_new.snd only where it is.
// `sortedOf` gives a version's sorted archive ("" for bytes no sort takes).
std::string BrokenPromise(const SortEnd& end,
                          const std::function<std::string(const std::string&)>& sortedOf);

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

using Shown = std::vector<std::pair<std::string, std::string>>;
inline std::pair<std::string, std::string> M(const Message& m) { return {m.text, m.caption}; }

// Records every message shown while it lives, as (text, caption) in code page 932 bytes.
struct MessageLog {
    Shown shown;
    bool confirmed() const;  // the confirmation is among them

    MessageLog();
    ~MessageLog();
    MessageLog(const MessageLog&) = delete;
    MessageLog& operator=(const MessageLog&) = delete;
};
