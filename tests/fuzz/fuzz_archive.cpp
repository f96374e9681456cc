// fuzz_archive.cpp: feeds arbitrary bytes as a dropped archive through the whole sort, and checks
// every outcome against an independent reading of the same bytes: either the right warning with
// nothing changed, or a sorted archive holding exactly the input's header and entries in stable
// (group, item) order, with the input kept as the backup.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "drop.h"
#include "memory_platform.h"
#include "messages.h"
#include "platform.h"

namespace {

struct Entry {
    uint32_t group;
    uint32_t item;
    std::string data;
};

// A byte of the input, or zero past its end (as a short file reads).
unsigned Byte(const std::string& in, uint64_t at) {
    return at < in.size() ? static_cast<unsigned char>(in[at]) : 0u;
}

uint32_t Word(const std::string& in, uint64_t at) {
    return Byte(in, at) | Byte(in, at + 1) << 8 | Byte(in, at + 2) << 16 |
           static_cast<uint32_t>(Byte(in, at + 3)) << 24;
}

void PutWord(std::string& out, uint32_t v) {
    for (int i = 0; i < 4; ++i) out += static_cast<char>(v >> (8 * i));
}

// What the sorter must show for `in`, and on success the archive it must write.
const Message* Expect(const std::string& in, std::string* sorted) {
    const char signature[] = "vorlindesnd";
    for (int i = 0; i < 12; ++i) {
        unsigned c = Byte(in, i);
        if (c >= 'A' && c <= 'Z') c += 'a' - 'A';
        if (c != static_cast<unsigned char>(signature[i])) return &kMsgBadSignature;
    }
    const uint32_t count = Word(in, 16);
    if (count == 0 || count > 1024) return &kMsgBadCount;
    std::vector<Entry> entries;
    uint64_t at = Word(in, 20);
    uint64_t total = 512;
    for (uint32_t k = 0; k < count; ++k) {
        if (at + 16 > in.size()) return &kMsgDamaged;
        const uint64_t length = Word(in, at + 4);
        if (at + 16 + length > in.size()) return &kMsgDamaged;
        total += 16 + length;
        if (total > 0xFFFFFFFFull) return &kMsgDamaged;
        Entry e{Word(in, at + 8), Word(in, at + 12), in.substr(at + 16, length)};
        // Insertion after every entry of a smaller or equal key keeps equal keys in chain order.
        size_t place = entries.size();
        while (place > 0 && (entries[place - 1].group > e.group ||
                             (entries[place - 1].group == e.group && entries[place - 1].item > e.item))) {
            --place;
        }
        entries.insert(entries.begin() + static_cast<long>(place), std::move(e));
        at = Word(in, at);
    }
    for (uint64_t i = 0; i < 512; ++i) sorted->push_back(static_cast<char>(Byte(in, i)));
    sorted->replace(20, 4, std::string("\x00\x02\x00\x00", 4));
    for (const Entry& e : entries) {
        PutWord(*sorted, static_cast<uint32_t>(sorted->size() + 16 + e.data.size()));
        PutWord(*sorted, static_cast<uint32_t>(e.data.size()));
        PutWord(*sorted, e.group);
        PutWord(*sorted, e.item);
        *sorted += e.data;
    }
    return &kMsgDone;
}

void Record(const char* text, const char* caption, void* context) {
    static_cast<std::vector<std::string>*>(context)->push_back(std::string(caption) + "|" + text);
}

void Check(bool ok, const char* what) {
    if (!ok) {
        std::fprintf(stderr, "fuzz_archive: %s\n", what);
        std::abort();
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string in(reinterpret_cast<const char*>(data), size);
    std::string sorted;
    const Message* expected = Expect(in, &sorted);

    MemoryFiles().clear();
    MemoryFiles()["fx.snd"] = in;
    std::vector<std::string> shown;
    PlatSetMessageSink(Record, &shown);
    const DropResult result = SortDroppedFile("fx.snd");
    PlatSetMessageSink(nullptr, nullptr);

    Check(shown.size() == 1, "not exactly one message");
    Check(shown[0] == std::string(expected->caption) + "|" + expected->text, "the wrong message");
    if (expected == &kMsgDone) {
        Check(result == DropResult::Sorted, "confirmed but not sorted");
        Check(MemoryFiles().size() == 2, "files other than the archive and its backup");
        Check(MemoryFiles()["fx_old.snd"] == in, "the backup is not the input");
        Check(MemoryFiles()["fx.snd"] == sorted, "the sorted archive is wrong");
    } else {
        Check(MemoryFiles().size() == 1 && MemoryFiles()["fx.snd"] == in, "a refusal changed files");
    }
    return 0;
}
