// console_windows.cpp: the command line and the terminal on Windows: arguments as UTF-16, output to
// a console as UTF-16 and to a file or a pipe as UTF-8.
#include <windows.h>
#include <fcntl.h>
#include <io.h>
#include <shellapi.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cwchar>
#include <string>

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

// The names a wildcard argument ("*.snd", "sounds\\fx*.snd") matches, in the order of their
// names, with the folder it gave; none where it matches nothing. Only the last part may hold a
// wildcard, as the C runtime's own expansion has it; a name cannot hold '*' or '?', so an argument
// that does is never a file's own name.
std::vector<std::wstring> Matches(const wchar_t* pattern) {
    std::vector<std::wstring> names;
    if (std::wcspbrk(pattern, L"*?") == nullptr) return names;
    const std::wstring whole = pattern;
    const size_t cut = whole.find_last_of(L"\\/:");
    const std::wstring folder = cut == std::wstring::npos ? L"" : whole.substr(0, cut + 1);
    if (std::wcspbrk(folder.c_str(), L"*?") != nullptr) return names;
    WIN32_FIND_DATAW found;
    const HANDLE find = FindFirstFileExW(pattern, FindExInfoBasic, &found, FindExSearchNameMatch,
                                         nullptr, 0);
    if (find == INVALID_HANDLE_VALUE) return names;
    do {
        if (std::wcscmp(found.cFileName, L".") != 0 && std::wcscmp(found.cFileName, L"..") != 0) {
            names.push_back(found.cFileName);
        }
    } while (FindNextFileW(find, &found));
    FindClose(find);
    std::sort(names.begin(), names.end(),
              [](const std::wstring& a, const std::wstring& b) { return _wcsicmp(a.c_str(), b.c_str()) < 0; });
    for (std::wstring& name : names) name = folder + name;
    return names;
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
    // cmd hands wildcards on as they are: each program expands its own. One that matches nothing
    // stays as given, and is reported as a name that cannot be opened.
    for (int i = 1; wide != nullptr && i < count; ++i) {
        const std::vector<std::wstring> matches = Matches(wide[i]);
        if (matches.empty()) arguments.push_back(FromWide(wide[i]));
        for (const std::wstring& match : matches) arguments.push_back(FromWide(match.c_str()));
    }
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

std::string ShownName(const std::string& path) {
    const int n = MultiByteToWideChar(CP_ACP, 0, path.c_str(), -1, nullptr, 0);
    std::wstring wide(static_cast<size_t>(n > 0 ? n : 1), L'\0');
    if (n > 0) MultiByteToWideChar(CP_ACP, 0, path.c_str(), -1, wide.data(), n);
    return Narrow(wide.c_str(), CP_UTF8, 0, nullptr);
}

// Windows fails a write to a pipe whose reader has gone with ERROR_NO_DATA ("the pipe is being
// closed"), Wine with ERROR_PIPE_NOT_CONNECTED; the C runtime keeps it in _doserrno.
bool ReaderLeft(int error) {
    const unsigned long system = _doserrno;
    return error == EPIPE || (error == EINVAL && (system == ERROR_NO_DATA || system == ERROR_BROKEN_PIPE ||
                                                  system == ERROR_PIPE_NOT_CONNECTED));
}

int EndOfRun(int status) {
    // A console of its own has no other process on it: one a shell runs in lists the shell too.
    // Made for the program, it bears the program's path (or its shortcut's name) as its title;
    // one that stands for a terminal of another system (Wine's, on a Unix terminal) bears none.
    DWORD processes[2];
    DWORD mode = 0;
    wchar_t title[2];
    const HANDLE in = GetStdHandle(STD_INPUT_HANDLE);
    if (GetConsoleProcessList(processes, 2) != 1 || GetConsoleTitleW(title, 2) == 0 ||
        !GetConsoleMode(in, &mode) || !GetConsoleMode(GetStdHandle(STD_OUTPUT_HANDLE), &mode)) {
        return status;
    }
    Write(stdout, "\nPress any key to close this window.\n");
    FlushConsoleInputBuffer(in);
    INPUT_RECORD record;
    DWORD n = 0;
    while (ReadConsoleInputW(in, &record, 1, &n) && n == 1 &&
           !(record.EventType == KEY_EVENT && record.Event.KeyEvent.bKeyDown)) {
    }
    return status;
}
