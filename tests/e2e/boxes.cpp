// boxes.cpp: a console helper for the end-to-end tests that looks at Tessorel's window and answers
// its message boxes from outside the process, as a user would.
//
//   boxes window MS   wait for the main window to accept files; print its class, title, frame,
//                     the screen size and its styles
//   boxes read MS     wait for a message box; print "CAPTION<TAB>TEXT" in UTF-8; leave it open
//   boxes ok MS       the same, then press its OK button and wait until it has gone
//   boxes none MS     watch for MS milliseconds; fail if any message box shows meanwhile
//   boxes close       close the main window
// Exit status 0 on success, 1 when the awaited window never came (or a box came for "none").
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

constexpr wchar_t kMainClass[] = L"Default Class Name";

std::string Utf8(const wchar_t* text) {
    char out[1024];
    const int n = WideCharToMultiByte(CP_UTF8, 0, text, -1, out, sizeof out, nullptr, nullptr);
    return n > 0 ? std::string(out) : std::string();
}

// A window's text through WM_GETTEXT, which also reaches controls of another process.
std::wstring TextOf(HWND window) {
    wchar_t text[512] = {};
    DWORD_PTR result = 0;
    SendMessageTimeoutW(window, WM_GETTEXT, 512, reinterpret_cast<LPARAM>(text), SMTO_BLOCK, 5000,
                        &result);
    return text;
}

BOOL CALLBACK FindBox(HWND window, LPARAM found) {
    wchar_t name[64] = {};
    GetClassNameW(window, name, 64);
    if (std::wcscmp(name, L"#32770") == 0 && IsWindowVisible(window)) {
        *reinterpret_cast<HWND*>(found) = window;
        return FALSE;
    }
    return TRUE;
}

HWND VisibleBox() {
    HWND found = nullptr;
    EnumWindows(FindBox, reinterpret_cast<LPARAM>(&found));
    return found;
}

// Polls `find` every 50 ms for up to `ms` milliseconds.
template <typename Find>
HWND WaitFor(Find find, DWORD ms) {
    const DWORD start = GetTickCount();
    for (;;) {
        if (HWND window = find()) return window;
        if (GetTickCount() - start >= ms) return nullptr;
        Sleep(50);
    }
}

HWND MainWindow() {
    HWND window = FindWindowW(kMainClass, nullptr);
    if (window == nullptr) return nullptr;
    return (GetWindowLongW(window, GWL_EXSTYLE) & WS_EX_ACCEPTFILES) ? window : nullptr;
}

// The message text is the box's Static control with the identifier 0xFFFF.
void PrintBox(HWND box) {
    const std::wstring caption = TextOf(box);
    HWND text = GetDlgItem(box, 0xFFFF);
    const std::wstring body = text ? TextOf(text) : L"";
    std::printf("%s\t%s\n", Utf8(caption.c_str()).c_str(), Utf8(body.c_str()).c_str());
    std::fflush(stdout);
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) return 2;
    const std::string command = argv[1];
    const DWORD ms = argc > 2 ? static_cast<DWORD>(std::strtoul(argv[2], nullptr, 10)) : 10000;

    if (command == "window") {
        HWND window = WaitFor(MainWindow, ms);
        if (window == nullptr) return 1;
        RECT frame;
        GetWindowRect(window, &frame);
        wchar_t name[64] = {};
        GetClassNameW(window, name, 64);
        std::printf("class=%s title=%s frame=%ld,%ld,%ld,%ld screen=%d,%d style=%08lx exstyle=%08lx\n",
                    Utf8(name).c_str(), Utf8(TextOf(window).c_str()).c_str(), frame.left, frame.top,
                    frame.right - frame.left, frame.bottom - frame.top,
                    GetSystemMetrics(SM_CXSCREEN), GetSystemMetrics(SM_CYSCREEN),
                    static_cast<unsigned long>(GetWindowLongW(window, GWL_STYLE)),
                    static_cast<unsigned long>(GetWindowLongW(window, GWL_EXSTYLE)));
        return 0;
    }
    if (command == "read" || command == "ok" || command == "none") {
        HWND box = WaitFor(VisibleBox, ms);
        if (box == nullptr && command != "none") std::printf("no message box\n");
        if (box == nullptr) return command == "none" ? 0 : 1;
        PrintBox(box);
        if (command == "none") return 1;
        if (command == "ok") {
            PostMessageW(box, WM_COMMAND, MAKEWPARAM(IDOK, BN_CLICKED),
                         reinterpret_cast<LPARAM>(GetDlgItem(box, IDOK)));
            const DWORD start = GetTickCount();
            while (IsWindow(box) && GetTickCount() - start < 10000) Sleep(20);
            if (IsWindow(box)) return 1;
        }
        return 0;
    }
    if (command == "close") {
        HWND window = FindWindowW(kMainClass, nullptr);
        if (window == nullptr) return 1;
        PostMessageW(window, WM_CLOSE, 0, 0);
        return 0;
    }
    return 2;
}
