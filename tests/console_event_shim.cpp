// console_event_shim.cpp: the Windows command built again for its tests, with one console event
// (Ctrl+C, Ctrl+Break, a closing console) delivered before a chosen system call, as Windows itself
// delivers it. TESSOREL_SYSCALLS=CALL=EVENT names them; CALL is FlushFileBuffers, MoveFileExA or
// WriteFile, EVENT is CTRL_C_EVENT, CTRL_BREAK_EVENT or CTRL_CLOSE_EVENT. The event comes once,
// before the first such call.
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <utility>

#include "import_patch.h"
#include "platform.h"

namespace {

DWORD gEvent = 0;
bool gPending = false;

// Windows ends a process once its handlers have returned from a closing console's event.
DWORD WINAPI EndOnceHandled(LPVOID routine) {
    WaitForSingleObject(static_cast<HANDLE>(routine), INFINITE);
    TerminateProcess(GetCurrentProcess(), STATUS_CONTROL_C_EXIT);
    return 0;
}

// Windows delivers a console event by starting kernelbase's CtrlRoutine on a new thread of the
// process, which calls the handlers. The call waits until they have seen it (it is noted, or the
// routine has returned), so that the event lands before the call and not at some later moment.
void Deliver() {
    if (!gPending) return;
    gPending = false;
    const auto routine = reinterpret_cast<LPTHREAD_START_ROUTINE>(reinterpret_cast<void*>(
        GetProcAddress(GetModuleHandleA("kernelbase.dll"), "CtrlRoutine")));
    HANDLE thread = routine ? CreateThread(nullptr, 0, routine, reinterpret_cast<LPVOID>(
                                               static_cast<DWORD_PTR>(gEvent)), 0, nullptr)
                            : nullptr;
    if (thread == nullptr) {
        std::fprintf(stderr, "TESSOREL_SYSCALLS: cannot start the console's CtrlRoutine\n");
        ExitProcess(99);
    }
    for (int ms = 0; ms < 60000 && !PlatInterrupted(); ++ms) {
        if (WaitForSingleObject(thread, 1) != WAIT_TIMEOUT) break;
    }
    if (gEvent == CTRL_CLOSE_EVENT) CreateThread(nullptr, 0, EndOnceHandled, thread, 0, nullptr);
}

decltype(&FlushFileBuffers) gFlushFileBuffers = nullptr;
decltype(&MoveFileExA) gMoveFileExA = nullptr;
decltype(&WriteFile) gWriteFile = nullptr;

BOOL WINAPI FlushAfterEvent(HANDLE file) {
    Deliver();
    return gFlushFileBuffers(file);
}
BOOL WINAPI MoveAfterEvent(LPCSTR from, LPCSTR to, DWORD flags) {
    Deliver();
    return gMoveFileExA(from, to, flags);
}
BOOL WINAPI WriteAfterEvent(HANDLE file, LPCVOID data, DWORD size, LPDWORD written, LPOVERLAPPED at) {
    Deliver();
    return gWriteFile(file, data, size, written, at);
}

// Puts the event before the calls named, and tells whether the call is one the program makes.
bool Replace(const std::string& call) {
    if (call == "FlushFileBuffers") {
        return (gFlushFileBuffers = ReplaceImport("FlushFileBuffers", &FlushAfterEvent)) != nullptr;
    }
    if (call == "MoveFileExA") return (gMoveFileExA = ReplaceImport("MoveFileExA", &MoveAfterEvent)) != nullptr;
    if (call == "WriteFile") return (gWriteFile = ReplaceImport("WriteFile", &WriteAfterEvent)) != nullptr;
    return false;
}

bool SetPlan(const char* plan) {
    static const std::pair<const char*, DWORD> events[] = {
        {"CTRL_C_EVENT", CTRL_C_EVENT}, {"CTRL_BREAK_EVENT", CTRL_BREAK_EVENT},
        {"CTRL_CLOSE_EVENT", CTRL_CLOSE_EVENT}};
    const char* equals = std::strchr(plan, '=');
    if (equals == nullptr) return false;
    for (const auto& [name, event] : events) {
        if (std::strcmp(equals + 1, name) == 0) gEvent = event, gPending = true;
    }
    return gPending && Replace(std::string(plan, equals));
}

// Before main: the plan is read and the imports replaced once.
const bool gPlanned = [] {
    const char* plan = std::getenv("TESSOREL_SYSCALLS");
    if (plan != nullptr && *plan != '\0' && !SetPlan(plan)) {
        std::fprintf(stderr, "TESSOREL_SYSCALLS: cannot understand %s\n", plan);
        std::exit(99);
    }
    return true;
}();

}  // namespace
