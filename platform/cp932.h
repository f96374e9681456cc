// cp932.h: converts the messages' code page 932 bytes to UTF-8 for a terminal. Cp932ToUtf8 is the
// platform's (posix/cp932_iconv.cpp, windows/cp932_win32.cpp); the table of Cp932ToUtf8Builtin is
// shared (cp932.cpp).
#pragma once

#include <string>

// U+FFFD in UTF-8, which stands for a byte that does not convert.
inline constexpr char kCp932Replacement[] = "\xEF\xBF\xBD";

// The UTF-8 form of a zero-terminated code page 932 string. Bytes that do not convert come out as
// U+FFFD, so a message is never lost for want of a character.
std::string Cp932ToUtf8(const char* text);

// The same without the C library's converter: right for every character of the messages (the
// ASCII bytes and the double-byte characters they use); any other comes out as U+FFFD. Used where
// the C library has no converter for code page 932.
std::string Cp932ToUtf8Builtin(const char* text);
