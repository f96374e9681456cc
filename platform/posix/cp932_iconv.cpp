// cp932_iconv.cpp: converts the messages' code page 932 bytes to UTF-8 with the C library's iconv,
// or, where it has no converter for code page 932 (a minimal container image, a static build), with
// the table of the messages' characters.
#include <iconv.h>

#include <cerrno>
#include <cstring>

#include "cp932.h"

std::string Cp932ToUtf8(const char* text) {
    std::string out;
    iconv_t cd = iconv_open("UTF-8", "CP932");
    if (cd == reinterpret_cast<iconv_t>(-1)) return Cp932ToUtf8Builtin(text);
    size_t inLeft = std::strlen(text);
    char* in = const_cast<char*>(text);
    char piece[256];
    while (inLeft > 0) {
        char* to = piece;
        size_t toLeft = sizeof piece;
        const size_t r = iconv(cd, &in, &inLeft, &to, &toLeft);
        out.append(piece, static_cast<size_t>(to - piece));
        if (r == static_cast<size_t>(-1) && errno != E2BIG) {
            out += kCp932Replacement;  // a byte that is not code page 932
            ++in;
            --inLeft;
        }
    }
    iconv_close(cd);
    return out;
}
