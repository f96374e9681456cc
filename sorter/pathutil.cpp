// pathutil.cpp: byte-level helpers for the extension and signature tests and for splitting a path.
#include "pathutil.h"

#include <cstring>

#include "platform.h"

namespace {

unsigned char LowerAscii(unsigned char c) {
    return (c >= 'A' && c <= 'Z') ? static_cast<unsigned char>(c - 'A' + 'a') : c;
}

// Position of the last separator after position 0, or -1. The scan runs forward so that the
// second byte of a double-byte character (which may be 5C in code page 932) is stepped over
// rather than mistaken for a backslash; a lead byte just before the terminating zero has no
// second byte and counts as a single byte.
ptrdiff_t FindLastSeparator(const char* path, size_t len) {
    ptrdiff_t found = -1;
    for (size_t i = 0; i < len; ++i) {
        const unsigned char c = static_cast<unsigned char>(path[i]);
        if (PlatIsLeadByte(c) && i + 1 < len) {
            ++i;
            continue;
        }
        if (i > 0 && c == static_cast<unsigned char>(kPlatPathSeparator)) {
            found = static_cast<ptrdiff_t>(i);
        }
    }
    return found;
}

// True when byte `at` of the first `len` bytes of `text` begins a character (or is the end).
bool BeginsCharacter(const char* text, size_t len, size_t at) {
    size_t i = 0;
    while (i < at) {
        const bool pair = PlatIsLeadByte(static_cast<unsigned char>(text[i])) && i + 1 < len;
        i += pair ? 2 : 1;
    }
    return i == at;
}

// Copies n bytes into a kPathBufferSize buffer and ends them with a zero; false if they would not
// fit (callers hand in at most 259 bytes, so this only guards against misuse).
bool CopyPart(const char* from, size_t n, char* out) {
    if (n >= kPathBufferSize) return false;
    std::memcpy(out, from, n);
    out[n] = '\0';
    return true;
}

}  // namespace

bool EqualNoCase(const char* a, const char* b, size_t n) {
    bool equal = true;
    for (size_t i = 0; i < n; ++i) {
        if (LowerAscii(static_cast<unsigned char>(a[i])) !=
            LowerAscii(static_cast<unsigned char>(b[i]))) {
            equal = false;
        }
    }
    return equal;
}

bool EndsWithNoCase(const char* name, const char* suffix) {
    const size_t length = std::strlen(name);
    const size_t n = std::strlen(suffix);
    return length >= n && EqualNoCase(name + length - n, suffix, n) &&
           BeginsCharacter(name, length, length - n);
}

bool EndsWithSeparator(const char* path) {
    const size_t length = std::strlen(path);
    return length > 0 && path[length - 1] == kPlatPathSeparator &&
           BeginsCharacter(path, length, length - 1);
}

bool GetDirectoryPart(const char* path, char* out) {
    const size_t len = std::strlen(path);
    const ptrdiff_t sep = FindLastSeparator(path, len);
    if (sep < 0) return false;
    return CopyPart(path, static_cast<size_t>(sep) + 1, out);
}

bool GetFileNamePart(const char* path, char* out) {
    const size_t len = std::strlen(path);
    const ptrdiff_t sep = FindLastSeparator(path, len);
    if (sep < 0) return false;
    return CopyPart(path + sep + 1, len - 1 - static_cast<size_t>(sep), out);
}
