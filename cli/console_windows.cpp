// console_windows.cpp: the command line and the terminal on Windows: arguments as UTF-16, output to
// a console as UTF-16 and to a file or a pipe as UTF-8.
#include <windows.h>
#include <fcntl.h>
#include <io.h>
#include <shellapi.h>

#include <cwchar>

#include "console.h"

namespace {

std::string Narrow(const wchar_t* wide, UINT codePage, DWORD flags, BOOL* usedDefault) {
    const int n = WideCharToMultiByte(codePage, flags, wide, -1, nullptr, 0, nullptr, usedDefault);
    std::string out(static_cast<size_t>(n > 0 ? n : 1), '\0');
    WideCharToMultiByte(codePage, flags, wide, -1, out.data(), n, nullptr, usedDefault);
    out.resize(out.size() - 1);  // the terminating zero
    return out;
}

// The name in the ANSI code page, and whether it is the same name there: it must convert back to
// the same UTF-16. A UTF-8 code page holds every character, and takes neither the flag nor the
// question.
Argument FromWide(const wchar_t* wide) {
    const bool utf8 = GetACP() == CP_UTF8;
    BOOL usedDefault = FALSE;
    Argument argument{Narrow(wide, CP_ACP, utf8 ? 0 : WC_NO_BEST_FIT_CHARS, utf8 ? nullptr : &usedDefault),
                      Narrow(wide, CP_UTF8, 0, nullptr), false};
    const int n = MultiByteToWideChar(CP_ACP, MB_ERR_INVALID_CHARS, argument.path.c_str(), -1,
                                      nullptr, 0);
    std::wstring back(static_cast<size_t>(n > 0 ? n : 1), L'\0');
    MultiByteToWideChar(CP_ACP, MB_ERR_INVALID_CHARS, argument.path.c_str(), -1, back.data(), n);
    argument.exact = !usedDefault && n > 0 && std::wcscmp(back.c_str(), wide) == 0;
    return argument;
}

}  // namespace

void SetUpStreams() {
    _setmode(_fileno(stdout), _O_BINARY);
    _setmode(_fileno(stderr), _O_BINARY);
}

std::vector<Argument> CommandLine(int, char**) {
    std::vector<Argument> arguments;
    int count = 0;
    wchar_t** wide = CommandLineToArgvW(GetCommandLineW(), &count);
    for (int i = 1; wide != nullptr && i < count; ++i) arguments.push_back(FromWide(wide[i]));
    LocalFree(wide);
    return arguments;
}

void Write(FILE* stream, const std::string& text) {
    HANDLE handle = GetStdHandle(stream == stderr ? STD_ERROR_HANDLE : STD_OUTPUT_HANDLE);
    DWORD mode = 0;
    if (!GetConsoleMode(handle, &mode)) {
        std::fwrite(text.data(), 1, text.size(), stream);
        return;
    }
    std::fflush(stream);
    const int n = MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
    std::wstring wide(static_cast<size_t>(n), L'\0');
    MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), wide.data(), n);
    DWORD written = 0;
    WriteConsoleW(handle, wide.data(), static_cast<DWORD>(wide.size()), &written, nullptr);
}
