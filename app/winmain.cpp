// winmain.cpp: the process entry and the main window, which hands each dropped file to the sorter.
#include <windows.h>
#include <shellapi.h>

#include <cwchar>

#include "drop.h"
#include "pathutil.h"

namespace {

constexpr char kClassName[] = "Default Class Name";
constexpr char kTitle[] = "Tessorel";
constexpr int kWindowSize = 200;

// True while a drop is being worked off. Its message boxes keep dispatching the thread's messages,
// so a second drop can arrive meanwhile; it must not run, since both would share the current
// directory and the same files.
bool gDropInProgress = false;
// The window was asked to close while a drop was worked off: it closes once the drop has ended.
// Closed at once, it would post the quit message that ends the open box and every later box of
// the drop before the user could read them.
bool gCloseAfterDrop = false;

// The dropped file's name in the ANSI code page, exactly: false when a character of it has no
// form there. Asked for as UTF-16, since the ANSI form Windows would hand over puts a look-alike
// ("best fit") or '?' in such a character's place, and so names another file: "café.snd" would
// be "cafe.snd", and "x¥fx.snd", in code page 932, "x\fx.snd". The name converts back to the
// same UTF-16, or it is not the same name. `path` is a zero-filled path buffer.
bool DroppedName(HDROP drop, char* path) {
    const UINT length = DragQueryFileW(drop, 0, nullptr, 0);
    if (length == 0 || length >= kPathBufferSize) return false;  // bytes are at least characters
    wchar_t wide[kPathBufferSize] = {};
    wchar_t back[kPathBufferSize] = {};
    BOOL usedDefault = FALSE;
    if (DragQueryFileW(drop, 0, wide, kPathBufferSize) != length) return false;
    // A UTF-8 code page holds every character, and takes neither the flag nor the question.
    const bool utf8 = GetACP() == CP_UTF8;
    const int bytes = WideCharToMultiByte(CP_ACP, utf8 ? 0 : WC_NO_BEST_FIT_CHARS, wide, -1, path,
                                          kPathBufferSize, nullptr, utf8 ? nullptr : &usedDefault);
    return bytes > 0 && !usedDefault &&
           MultiByteToWideChar(CP_ACP, MB_ERR_INVALID_CHARS, path, -1, back, kPathBufferSize) ==
               static_cast<int>(length) + 1 &&
           std::wcscmp(wide, back) == 0;
}

void OnDropFiles(HWND window, HDROP drop) {
    if (gDropInProgress) {
        DragFinish(drop);
        return;
    }
    gDropInProgress = true;
    // The first file only; the drop handle is released before any work starts. A path too long
    // for the buffer (259 bytes in the ANSI code page) would come back cut short, and cut short it
    // may name another file (a cut "x.snd.bak" is "x.snd"), so such a drop ends here, as a name
    // that does not fit does; so does a name that the code page cannot hold.
    char* path = static_cast<char*>(GlobalAlloc(GPTR, kPathBufferSize));
    const bool named = path != nullptr && DroppedName(drop, path);
    DragFinish(drop);
    if (named) SortDroppedFile(path);
    if (path != nullptr) GlobalFree(path);
    gDropInProgress = false;
    if (gCloseAfterDrop) DestroyWindow(window);
}

LRESULT CALLBACK WindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    switch (message) {
        case WM_CLOSE:
            if (!gDropInProgress) return DefWindowProcA(window, message, wParam, lParam);
            gCloseAfterDrop = true;
            return 0;
        case WM_DESTROY:
            PostQuitMessage(0);
            return 0;
        case WM_DROPFILES:
            OnDropFiles(window, reinterpret_cast<HDROP>(wParam));
            return 0;
        default:
            return DefWindowProcA(window, message, wParam, lParam);
    }
}

}  // namespace

int WINAPI WinMain(HINSTANCE instance, HINSTANCE, LPSTR, int) {
    HANDLE icon = LoadImageA(nullptr, MAKEINTRESOURCEA(32512), IMAGE_ICON, 0, 0,
                             LR_SHARED | LR_DEFAULTSIZE);
    WNDCLASSEXA windowClass = {};
    windowClass.cbSize = sizeof windowClass;
    windowClass.style = CS_HREDRAW | CS_VREDRAW;
    windowClass.lpfnWndProc = WindowProc;
    windowClass.cbClsExtra = 0;
    windowClass.cbWndExtra = 0;
    windowClass.hInstance = instance;
    windowClass.hIcon = static_cast<HICON>(icon);
    windowClass.hIconSm = static_cast<HICON>(icon);
    windowClass.hCursor = static_cast<HCURSOR>(LoadImageA(
        nullptr, MAKEINTRESOURCEA(32512), IMAGE_CURSOR, 0, 0, LR_SHARED | LR_DEFAULTSIZE));
    windowClass.hbrBackground = static_cast<HBRUSH>(GetStockObject(WHITE_BRUSH));
    windowClass.lpszMenuName = nullptr;
    windowClass.lpszClassName = kClassName;
    if (RegisterClassExA(&windowClass) == 0) return 1;

    // Signed halving that rounds toward zero: only a screen under 199 pixels gives a negative place.
    const int left = (GetSystemMetrics(SM_CXSCREEN) - kWindowSize) / 2;
    const int top = (GetSystemMetrics(SM_CYSCREEN) - kWindowSize) / 2;
    HWND window = CreateWindowExA(0, kClassName, kTitle, WS_OVERLAPPEDWINDOW, left, top, kWindowSize,
                                  kWindowSize, nullptr, nullptr, instance, nullptr);
    if (window == nullptr) return 1;

    ShowWindow(window, SW_SHOW);
    UpdateWindow(window);
    DragAcceptFiles(window, TRUE);

    MSG message;
    for (;;) {
        const BOOL got = GetMessageA(&message, nullptr, 0, 0);
        if (got == 0 || got == -1) break;
        TranslateMessage(&message);
        DispatchMessageA(&message);
    }
    return 0;
}
