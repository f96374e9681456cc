// cp932_win32.cpp: converts the messages' code page 932 bytes to UTF-8 with Windows' own converters,
// which every Windows has for code page 932.
#include <windows.h>

#include "cp932.h"

std::string Cp932ToUtf8(const char* text) {
    const int wideCount = MultiByteToWideChar(932, 0, text, -1, nullptr, 0);
    if (wideCount <= 0) return Cp932ToUtf8Builtin(text);
    std::wstring wide(static_cast<size_t>(wideCount), L'\0');
    MultiByteToWideChar(932, 0, text, -1, wide.data(), wideCount);
    const int count = WideCharToMultiByte(CP_UTF8, 0, wide.c_str(), -1, nullptr, 0, nullptr, nullptr);
    std::string out(static_cast<size_t>(count > 0 ? count : 1), '\0');
    WideCharToMultiByte(CP_UTF8, 0, wide.c_str(), -1, out.data(), count, nullptr, nullptr);
    out.resize(out.size() - 1);  // the terminating zero
    return out;
}
