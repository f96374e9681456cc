// make_archive.cpp: writes a sound archive of random keys and shuffled layout for the benchmarks.
//
// Usage: make_archive PATH COUNT DATA_BYTES SEED
// Entries get keys drawn from the full 32-bit range; they lie in the file in a shuffled order and
// the chain visits them in another shuffled order, the worst case for the sorter's reads.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <vector>

namespace {
void Put(unsigned char* p, uint32_t v) {
    for (int i = 0; i < 4; ++i) p[i] = static_cast<unsigned char>(v >> (8 * i));
}
}  // namespace

int main(int argc, char** argv) {
    if (argc != 5) {
        std::fprintf(stderr, "usage: make_archive PATH COUNT DATA_BYTES SEED\n");
        return 2;
    }
    const uint32_t count = static_cast<uint32_t>(std::strtoul(argv[2], nullptr, 10));
    const uint32_t bytes = static_cast<uint32_t>(std::strtoul(argv[3], nullptr, 10));
    std::mt19937 rng(static_cast<uint32_t>(std::strtoul(argv[4], nullptr, 10)));
    if (count == 0 || count > 1024) return 2;

    // slot[k]: the position in the file of the k-th entry of the chain.
    std::vector<uint32_t> slot(count);
    for (uint32_t k = 0; k < count; ++k) slot[k] = k;
    std::shuffle(slot.begin(), slot.end(), rng);
    const uint64_t stride = 16 + uint64_t{bytes};
    auto offsetOf = [&](uint32_t k) { return static_cast<uint32_t>(512 + slot[k] * stride); };
    std::vector<uint32_t> chainAt(count);  // which chain entry sits in file slot s
    for (uint32_t k = 0; k < count; ++k) chainAt[slot[k]] = k;

    FILE* out = std::fopen(argv[1], "wb");
    if (out == nullptr) return 1;
    unsigned char header[512] = {};
    std::snprintf(reinterpret_cast<char*>(header), 12, "VorlindeSnd");
    Put(header + 16, count);
    Put(header + 20, offsetOf(0));
    std::fwrite(header, 1, sizeof header, out);
    std::vector<unsigned char> entry(stride);
    for (uint32_t s = 0; s < count; ++s) {
        const uint32_t k = chainAt[s];
        Put(entry.data(), k + 1 < count ? offsetOf(k + 1) : static_cast<uint32_t>(512 + count * stride));
        Put(entry.data() + 4, bytes);
        Put(entry.data() + 8, static_cast<uint32_t>(rng()));
        Put(entry.data() + 12, static_cast<uint32_t>(rng()));
        for (uint32_t i = 0; i < bytes; ++i) entry[16 + i] = static_cast<unsigned char>(rng());
        std::fwrite(entry.data(), 1, entry.size(), out);
    }
    return std::fclose(out) == 0 ? 0 : 1;
}
