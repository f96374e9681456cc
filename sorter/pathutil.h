// pathutil.h: byte-level helpers for the extension and signature tests and for splitting a path.
#pragma once

#include <cstddef>

#include "platform.h"

// Size of every path buffer: the longest path the system takes and a terminating zero (260 bytes
// on Windows, PATH_MAX on POSIX).
inline constexpr size_t kPathBufferSize = kPlatPathBufferSize;

// True when the n bytes of a and b are equal once the ASCII letters A-Z are mapped to a-z. Every
// other byte, zero and 80-FF included, compares as it is; all n positions are always compared.
bool EqualNoCase(const char* a, const char* b, size_t n);

// True when `name` ends in `suffix` (ASCII letters in any case, as EqualNoCase) and the suffix
// begins a character: in a double-byte code page the byte it begins with must not be the second
// byte of a character ("雲new.snd" in code page 932 ends in the bytes of "_new.snd", not in the
// suffix).
bool EndsWithNoCase(const char* name, const char* suffix);

// True when the last character of `path` is a separator; the second byte of a double-byte
// character never is one.
bool EndsWithSeparator(const char* path);

// Finds the last path separator of `path` after position 0 and copies everything up to and
// including it into `out` (a kPathBufferSize buffer), ending it with a zero. The second byte of a double-byte
// character is never taken for a separator. False, with `out` untouched, when there is none.
bool GetDirectoryPart(const char* path, char* out);

// Like GetDirectoryPart, but copies what follows the separator: the file's own name.
bool GetFileNamePart(const char* path, char* out);
