// support.cpp: archives, temporary folders and a message recorder for the tests.
#include "support.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <random>
#include <sstream>

#include "platform.h"

uint32_t GetLe32(const std::string& bytes, size_t at) {
    uint32_t v = 0;
    for (int i = 3; i >= 0; --i) v = v << 8 | static_cast<unsigned char>(bytes.at(at + i));
    return v;
}

void PutLe32(std::string& bytes, size_t at, uint32_t value) {
    if (bytes.size() < at + 4) bytes.resize(at + 4, '\0');
    for (int i = 0; i < 4; ++i) bytes[at + i] = static_cast<char>(value >> (8 * i));
}

std::string Pattern(size_t n, unsigned seed) {
    std::string s(n, '\0');
    for (size_t i = 0; i < n; ++i) s[i] = static_cast<char>((i * 2654435761u + seed) >> 13);
    return s;
}

std::string EntryHeader(uint32_t next, uint32_t length, uint32_t group, uint32_t item) {
    std::string h;
    for (const uint32_t v : {next, length, group, item}) PutLe32(h, h.size(), v);
    return h;
}

std::string BuildArchive(const std::vector<TestEntry>& entries, std::vector<uint32_t> offsets) {
    std::string out(512, '\0');
    for (size_t i = 0; i < 512; ++i) out[i] = static_cast<char>(0xA0 + i % 53);
    const std::string signature("VorlindeSnd\0", 12);
    out.replace(0, 12, signature);
    if (offsets.empty()) {
        uint32_t at = 512;
        for (const TestEntry& e : entries) {
            offsets.push_back(at);
            at += 16 + static_cast<uint32_t>(e.data.size());
        }
    }
    PutLe32(out, 16, static_cast<uint32_t>(entries.size()));
    PutLe32(out, 20, entries.empty() ? 512 : offsets[0]);
    for (size_t k = 0; k < entries.size(); ++k) {
        const TestEntry& e = entries[k];
        const size_t end = offsets[k] + 16 + e.data.size();
        if (out.size() < end) out.resize(end, '\xEE');
        const uint32_t next = k + 1 < entries.size() ? offsets[k + 1] : static_cast<uint32_t>(end);
        out.replace(offsets[k], 16 + e.data.size(),
                    EntryHeader(next, static_cast<uint32_t>(e.data.size()), e.group, e.item) + e.data);
    }
    return out;
}

std::vector<TestEntry> SortedLayoutEntries(const std::string& archive) {
    std::vector<TestEntry> entries;
    size_t at = 512;
    while (at < archive.size()) {
        if (archive.size() - at < 16) {
            ADD_FAILURE() << "a partial entry header at " << at;
            break;
        }
        const uint32_t next = GetLe32(archive, at);
        const uint32_t length = GetLe32(archive, at + 4);
        if (archive.size() - at - 16 < length || next != at + 16 + length) {
            ADD_FAILURE() << "entry at " << at << " has length " << length << ", next " << next;
            break;
        }
        entries.push_back({GetLe32(archive, at + 8), GetLe32(archive, at + 12),
                           archive.substr(at + 16, length)});
        at = next;
    }
    return entries;
}

std::string ReadBytes(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    EXPECT_TRUE(in.good()) << "cannot read " << path;
    std::ostringstream bytes;  // in pieces, not byte by byte: some files are hundreds of MiB
    bytes << in.rdbuf();
    return std::move(bytes).str();
}

void WriteBytes(const fs::path& path, const std::string& bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    ASSERT_TRUE(out.good()) << "cannot write " << path;
}

std::string ReadBytesAt(const fs::path& path, uint64_t offset, size_t n) {
    std::ifstream in(path, std::ios::binary);
    in.seekg(static_cast<std::streamoff>(offset));
    std::string bytes(n, '\0');
    in.read(bytes.data(), static_cast<std::streamsize>(n));
    EXPECT_TRUE(in.good()) << "cannot read " << n << " bytes at " << offset << " of " << path;
    return bytes;
}

void WriteBytesAt(const fs::path& path, uint64_t offset, const std::string& bytes) {
    std::fstream out(path, std::ios::binary | std::ios::in | std::ios::out);
    out.seekp(static_cast<std::streamoff>(offset));
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    ASSERT_TRUE(out.good()) << "cannot write at " << offset << " of " << path;
}

std::vector<std::string> FilesIn(const fs::path& dir) {
    std::vector<std::string> names;
    for (const auto& item : fs::directory_iterator(dir)) names.push_back(item.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
}

DropResult DropIn(const TempDir& dir, const std::string& bytes, const std::string& name) {
    WriteBytes(dir / name, bytes);
    return SortDroppedFile(dir.str(name).c_str());
}

std::string SortedOf(const std::string& archive) {
    static std::map<std::string, std::string> known;  // the suites ask for a few versions often
    if (const auto it = known.find(archive); it != known.end()) return it->second;
    TempDir scratch;
    PlatSetMessageSink([](const char*, const char*, void*) {}, nullptr);
    const bool sorted = DropIn(scratch, archive) == DropResult::Sorted;
    PlatSetMessageSink(nullptr, nullptr);
    return known[archive] = sorted ? ReadBytes(scratch / "fx.snd") : "";
}

void ExpectSorted(const fs::path& dir, const std::string& name, const std::string& backup,
                  const std::string& original, const std::vector<TestEntry>& sorted) {
    EXPECT_EQ(FilesIn(dir), (std::vector<std::string>{std::min(name, backup), std::max(name, backup)}));
    EXPECT_TRUE(ReadBytes(dir / backup) == original) << "the backup is not the original";
    EXPECT_TRUE(SortedLayoutEntries(ReadBytes(dir / name)) == sorted) << "not sorted: " << name;
}

void ExpectUntouched(const fs::path& dir, const std::vector<std::string>& files,
                     const std::string& name, const std::string& bytes) {
    EXPECT_EQ(FilesIn(dir), files);
    EXPECT_TRUE(ReadBytes(dir / name) == bytes) << name << " changed";
}

std::map<std::string, std::string> FilesOf(const std::map<std::string, std::string>& files,
                                           const std::string& base, const std::vector<std::string>& bases) {
    std::map<std::string, std::string> of;
    for (const auto& [name, bytes] : files) {
        std::string judged = name;
        for (const std::string& b : bases) {
            for (const char* suffix : {".snd", "_old.snd", "_new.snd"}) {
                if (name != b + suffix) continue;
                judged = b == base ? std::string("fx").append(suffix) : "";
            }
        }
        if (!judged.empty()) of[judged] = bytes;
    }
    return of;
}

std::map<std::string, std::string> FilesWithBytes(const fs::path& dir) {
    std::map<std::string, std::string> files;
    for (const auto& item : fs::directory_iterator(dir)) {
        std::error_code error;
        std::ifstream in(item.path(), std::ios::binary);
        // A file that cannot be read now (on Windows, one the sort holds open) is passed over.
        if (item.is_symlink(error) || !item.is_regular_file(error) || !in) continue;
        std::ostringstream bytes;
        bytes << in.rdbuf();
        files[item.path().filename().string()] = std::move(bytes).str();
    }
    return files;
}

std::string BrokenPromise(const SortEnd& end,
                          const std::function<std::string(const std::string&)>& sortedOf) {
    std::vector<std::string> versions = {end.original};
    for (const auto& theirs : end.theirs) versions.push_back(theirs.second);
    const auto isVersion = [&](const std::string& bytes) {
        return std::find(versions.begin(), versions.end(), bytes) != versions.end();
    };
    const auto sortedVersion = [&](const std::string& bytes, bool torn) {
        return std::any_of(versions.begin(), versions.end(), [&](const std::string& v) {
            const std::string sorted = sortedOf(v);
            return !sorted.empty() &&
                   (bytes == sorted || (torn && sorted.compare(0, bytes.size(), bytes) == 0));
        });
    };
    const auto at = [&end](const std::string& name) -> const std::string* {
        const auto it = end.files.find(name);
        return it == end.files.end() ? nullptr : &it->second;
    };
    const auto under = [&at](const std::string& name, const std::string& bytes) {
        return at(name) && *at(name) == bytes;
    };
    // (a)
    std::vector<std::string> places = {"fx.snd", "fx_old.snd"};
    places.insert(places.end(), end.homes.begin(), end.homes.end());
    if (!end.originalTaken && std::none_of(places.begin(), places.end(), [&](const std::string& n) {
            return under(n, end.original);
        })) {
        return "the original's bytes have no name";
    }
    // (b)
    for (const auto& [name, bytes] : end.theirs) {
        if (!under(name, bytes) && std::none_of(end.reported.begin(), end.reported.end(),
                                                [&](const std::string& n) { return under(n, bytes); })) {
            return "another program's file is not under the name it gave it: " + name;
        }
    }
    // (c)
    if (at("fx.snd") && !isVersion(*at("fx.snd")) && !sortedVersion(*at("fx.snd"), false)) {
        return "fx.snd holds something else: a torn archive, or another";
    }
    if (at("fx_old.snd") && !isVersion(*at("fx_old.snd"))) return "fx_old.snd holds something else";
    for (const auto& [name, bytes] : end.files) {
        const bool known = name == "fx.snd" || name == "fx_old.snd" || isVersion(bytes) ||
                           std::find(end.homes.begin(), end.homes.end(), name) != end.homes.end();
        if (name == "fx_new.snd" && !known && !sortedVersion(bytes, end.tornWork)) {
            return "fx_new.snd holds a partial archive, or another";
        }
        if (name != "fx_new.snd" && !known) return "a file the sort left behind: " + name;
    }
    // (d)
    for (const auto& [name, old] : end.confirmed) {
        if (!isVersion(old) || name != sortedOf(old)) {
            return "confirmed, but fx.snd is not the sorted archive of fx_old.snd";
        }
    }
    for (const std::string& atNew : end.promisedNew) {
        if (!sortedVersion(atNew, false)) return "said the sorted archive is in fx_new.snd, but not so";
    }
    return "";
}

ReadResult ReadTableOf(const std::string& path, EntryTable* table) {
    PlatFile* file = PlatOpenRead(path.c_str());
    EXPECT_NE(file, nullptr) << "cannot open " << path;
    if (file == nullptr) return ReadResult::ReadFailed;
    const ReadResult result = ReadEntryTable(file, table);
    PlatClose(file);
    return result;
}

WriteResult WriteSortedOf(const std::string& source, const std::string& output, const EntryTable& table) {
    PlatFile* file = PlatOpenRead(source.c_str());
    EXPECT_NE(file, nullptr) << "cannot open " << source;
    if (file == nullptr) return WriteResult::WriteFailed;
    const WriteResult result = WriteSortedArchive(file, output.c_str(), table, nullptr);
    PlatClose(file);
    return result;
}

bool SetFacl(const std::string& args) {
    return std::system(("setfacl " + args + " 2>/dev/null").c_str()) == 0;
}

std::string Acl(const fs::path& path) {
    const fs::path out = path.string() + ".acl";
    const std::string command = "getfacl -n --omit-header '" + path.string() + "' >'" + out.string() + "' 2>/dev/null";
    const std::string acl = std::system(command.c_str()) == 0 ? ReadBytes(out) : "";
    fs::remove(out);
    return acl;
}

void ExpectRenameNeverReplaces() {
    TempDir dir;
    WriteBytes(dir / "a", "first");
    WriteBytes(dir / "b", "second");
    EXPECT_FALSE(PlatRenameNoReplace(dir.str("a").c_str(), dir.str("b").c_str()));
    EXPECT_EQ(ReadBytes(dir / "a"), "first");
    EXPECT_EQ(ReadBytes(dir / "b"), "second");
    EXPECT_TRUE(PlatRenameNoReplace(dir.str("a").c_str(), dir.str("c").c_str()));
    EXPECT_EQ(FilesIn(dir.path()), (std::vector<std::string>{"b", "c"}));
    EXPECT_EQ(ReadBytes(dir / "c"), "first");
}

TempDir::TempDir() : savedCwd_(fs::current_path()) {
    static std::atomic<unsigned> counter{0};
    // Tests run as parallel processes: the clock and a random number keep their folders apart.
    const auto stamp = std::chrono::steady_clock::now().time_since_epoch().count();
    path_ = fs::temp_directory_path() /
            ("tessorel-test-" + std::to_string(stamp) + "-" + std::to_string(std::random_device{}()) +
             "-" + std::to_string(counter++));
    fs::create_directories(path_);
}

TempDir::~TempDir() {
    std::error_code ec;
    fs::current_path(savedCwd_, ec);
    fs::remove_all(path_, ec);
}

namespace {
void Record(const char* text, const char* caption, void* context) {
    static_cast<MessageLog*>(context)->shown.emplace_back(text, caption);
}
}  // namespace

MessageLog::MessageLog() { PlatSetMessageSink(Record, this); }
MessageLog::~MessageLog() { PlatSetMessageSink(nullptr, nullptr); }
bool MessageLog::confirmed() const {
    return std::find(shown.begin(), shown.end(), M(kMsgDone)) != shown.end();
}
