// platform_win32.cpp: the operating-system interface on Windows, through kernel32 and user32.
#include <windows.h>
#include <aclapi.h>

#include <cstring>
#include <new>

#include "display_message.h"
#include "platform.h"

struct PlatFile {
    HANDLE handle;
    uint64_t size;                    // as seen when opened
    bool readOnly;                    // opened for reading: the file bears the read-only attribute
    bool readOnlyOnClose;             // made by PlatCreate like a read-only file
    char path[kPlatPathBufferSize];   // made by PlatCreate: its path, to set attributes once closed
};

namespace {

PlatFileState StateOf(const BY_HANDLE_FILE_INFORMATION& info) {
    return {info.dwVolumeSerialNumber, uint64_t{info.nFileIndexHigh} << 32 | info.nFileIndexLow,
            uint64_t{info.nFileSizeHigh} << 32 | info.nFileSizeLow,
            static_cast<int64_t>(uint64_t{info.ftLastWriteTime.dwHighDateTime} << 32 |
                                 info.ftLastWriteTime.dwLowDateTime),
            0};
}

// Takes over an open handle and what it leads to; closes it when no handle can be made.
PlatFile* Wrap(HANDLE handle) {
    if (handle == INVALID_HANDLE_VALUE) return nullptr;
    BY_HANDLE_FILE_INFORMATION info;
    PlatFile* file = nullptr;
    if (GetFileInformationByHandle(handle, &info)) {
        const bool readOnly = (info.dwFileAttributes & FILE_ATTRIBUTE_READONLY) != 0;
        file = new (std::nothrow) PlatFile{handle, StateOf(info).size, readOnly, false, {}};
    }
    if (file == nullptr) CloseHandle(handle);
    return file;
}

// A code page 932 string as UTF-16, so that it reads the same on a system of any code page.
// Stops short rather than overflow; a message is at most a few dozen characters.
void ToWide(const char* text, wchar_t* out, int outCount) {
    const int n = MultiByteToWideChar(932, 0, text, -1, out, outCount);
    if (n == 0) out[0] = L'\0';
    out[outCount - 1] = L'\0';
}

}  // namespace

const char kPlatPathSeparator = '\\';

PlatFile* PlatOpenRead(const char* path) {
    // Without FILE_FLAG_BACKUP_SEMANTICS a directory cannot be opened, as an archive never is one.
    // Nobody may write the file while it is open; it may be renamed, by this program too.
    return Wrap(CreateFileA(path, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_DELETE, nullptr,
                            OPEN_EXISTING, FILE_ATTRIBUTE_ARCHIVE, nullptr));
}

// A lock far past the end of any file: it keeps out the same lock of another run, and no reader.
bool PlatLock(PlatFile* file) {
    OVERLAPPED at = {};
    at.Offset = 0xFFFFFFFEu;
    at.OffsetHigh = 0x7FFFFFFFu;
    const DWORD flags = LOCKFILE_EXCLUSIVE_LOCK | LOCKFILE_FAIL_IMMEDIATELY;
    if (LockFileEx(file->handle, flags, 0, 1, 0, &at)) return true;
    const DWORD error = GetLastError();
    return error != ERROR_LOCK_VIOLATION && error != ERROR_IO_PENDING;
}

bool PlatStateOf(PlatFile* file, PlatFileState* state) {
    BY_HANDLE_FILE_INFORMATION info;
    if (!GetFileInformationByHandle(file->handle, &info)) return false;
    *state = StateOf(info);
    return true;
}

bool PlatStateAt(const char* path, PlatFileState* state) {
    // No access asked for, so that no share mode of another handle is in the way.
    const DWORD shareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
    HANDLE handle = CreateFileA(path, 0, shareAll, nullptr, OPEN_EXISTING,
                                FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (handle == INVALID_HANDLE_VALUE) return false;
    BY_HANDLE_FILE_INFORMATION info;
    const bool ok = GetFileInformationByHandle(handle, &info) != 0;
    CloseHandle(handle);
    if (ok) *state = StateOf(info);
    return ok;
}

// The access rights of `like` for a file made in its place: its DACL, protected from inheritance
// where like's is. False when they cannot be read.
struct Rights {
    PSECURITY_DESCRIPTOR read = nullptr;  // like's own, to be freed with LocalFree
    SECURITY_DESCRIPTOR given;
    SECURITY_ATTRIBUTES attributes;
};

bool RightsOf(PlatFile* like, Rights* rights) {
    PACL dacl = nullptr;
    SECURITY_DESCRIPTOR_CONTROL control = 0;
    DWORD revision = 0;
    if (GetSecurityInfo(like->handle, SE_FILE_OBJECT, DACL_SECURITY_INFORMATION, nullptr, nullptr,
                        &dacl, nullptr, &rights->read) != ERROR_SUCCESS) {
        return false;
    }
    const SECURITY_DESCRIPTOR_CONTROL isProtected = SE_DACL_PROTECTED;
    if (!GetSecurityDescriptorControl(rights->read, &control, &revision) ||
        !InitializeSecurityDescriptor(&rights->given, SECURITY_DESCRIPTOR_REVISION) ||
        !SetSecurityDescriptorDacl(&rights->given, TRUE, dacl, FALSE) ||
        !SetSecurityDescriptorControl(&rights->given, isProtected, control & isProtected)) {
        return false;
    }
    rights->attributes = {sizeof rights->attributes, &rights->given, FALSE};
    return true;
}

// A new file takes the access rights of `like` from the moment it is made, as an application's
// save keeps a file's rights, and the read-only attribute, which PlatClose sets once it is written.
PlatFile* PlatCreate(const char* path, PlatFile* like) {
    if (std::strlen(path) >= kPlatPathBufferSize) return nullptr;
    // A leftover is deleted, never emptied and reused. Only a plain file of this one name goes:
    // through a link, or under another name, it may be the dropped archive itself or a backup.
    const DWORD shareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
    const DWORD asItIs = FILE_FLAG_OPEN_REPARSE_POINT | FILE_FLAG_BACKUP_SEMANTICS;
    HANDLE existing = CreateFileA(path, 0, shareAll, nullptr, OPEN_EXISTING, asItIs, nullptr);
    if (existing != INVALID_HANDLE_VALUE) {
        // Nor is `like` itself ever deleted, whatever name leads to it.
        BY_HANDLE_FILE_INFORMATION info;
        BY_HANDLE_FILE_INFORMATION likeInfo;
        const bool kept = !GetFileInformationByHandle(existing, &info) ||
                          !GetFileInformationByHandle(like->handle, &likeInfo) ||
                          (info.dwVolumeSerialNumber == likeInfo.dwVolumeSerialNumber &&
                           info.nFileIndexHigh == likeInfo.nFileIndexHigh &&
                           info.nFileIndexLow == likeInfo.nFileIndexLow) ||
                          info.nNumberOfLinks != 1 ||
                          (info.dwFileAttributes &
                           (FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_DIRECTORY)) != 0;
        CloseHandle(existing);
        if (kept) SetLastError(ERROR_ALREADY_EXISTS);
        if (kept || !PlatRemove(path)) return nullptr;
    }
    // CREATE_NEW fails if anything took the name since: a link planted there is never followed.
    Rights rights;
    const bool known = RightsOf(like, &rights);
    PlatFile* file = known ? Wrap(CreateFileA(path, GENERIC_WRITE, 0, &rights.attributes,
                                              CREATE_NEW, FILE_ATTRIBUTE_ARCHIVE, nullptr))
                           : nullptr;
    LocalFree(rights.read);
    if (file != nullptr) {
        file->readOnlyOnClose = like->readOnly;
        std::strcpy(file->path, path);
    }
    return file;
}

bool PlatFileSize(PlatFile* file, uint64_t* size) {
    *size = file->size;
    return true;
}

bool PlatReadAt(PlatFile* file, uint64_t offset, void* buf, uint32_t n, uint32_t* got) {
    *got = 0;
    // With a high part given, the low part counts as unsigned and the two make a 64-bit position.
    LONG high = static_cast<LONG>(offset >> 32);
    const DWORD low = SetFilePointer(file->handle, static_cast<LONG>(offset & 0xFFFFFFFFu), &high,
                                     FILE_BEGIN);
    if (low == INVALID_SET_FILE_POINTER && GetLastError() != NO_ERROR) return false;
    char* p = static_cast<char*>(buf);
    while (*got < n) {
        DWORD read = 0;
        if (!ReadFile(file->handle, p + *got, n - *got, &read, nullptr)) {
            *got = 0;
            return false;
        }
        if (read == 0) break;  // the end of the file
        *got += read;
    }
    return true;
}

bool PlatWrite(PlatFile* file, const void* buf, uint32_t n) {
    const char* p = static_cast<const char*>(buf);
    while (n > 0) {
        DWORD written = 0;
        if (!WriteFile(file->handle, p, n, &written, nullptr) || written == 0) return false;
        p += written;
        n -= written;
    }
    return true;
}

PlatCopyResult PlatCopyRange(PlatFile*, uint64_t, PlatFile*, uint32_t) {
    return PlatCopyResult::Unsupported;  // Windows has no copy between open handles
}

bool PlatFlush(PlatFile* file) { return FlushFileBuffers(file->handle) != 0; }

bool PlatClose(PlatFile* file) {
    bool ok = CloseHandle(file->handle) != 0;
    // Set only once the file is written and closed: a read-only file takes no more writes.
    if (ok && file->readOnlyOnClose) {
        const DWORD attributes = GetFileAttributesA(file->path);
        ok = attributes != INVALID_FILE_ATTRIBUTES &&
             SetFileAttributesA(file->path, attributes | FILE_ATTRIBUTE_READONLY) != 0;
    }
    delete file;
    return ok;
}

// Written through: the new name is on the disk when it returns. MOVEFILE_REPLACE_EXISTING is never
// given, so an existing `to` makes it fail.
bool PlatRenameNoReplace(const char* from, const char* to) {
    return MoveFileExA(from, to, MOVEFILE_WRITE_THROUGH) != 0;
}

bool PlatRemove(const char* path) {
    // A read-only file cannot be deleted until the attribute is cleared; it is put back if the
    // file stays.
    const DWORD attributes = GetFileAttributesA(path);
    const bool readOnly =
        attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_READONLY) != 0;
    if (readOnly && !SetFileAttributesA(path, attributes & ~DWORD{FILE_ATTRIBUTE_READONLY})) {
        return false;
    }
    if (DeleteFileA(path)) return true;
    if (readOnly) SetFileAttributesA(path, attributes);
    return false;
}

// Every rename was written through.
bool PlatFlushDirectory(const char*, PlatFile*) { return true; }

bool PlatSetCurrentDirectory(const char* dir) { return SetCurrentDirectoryA(dir) != 0; }

namespace {
wchar_t gStartingDirectory[32768];  // the longest path Windows takes, with its zero
}  // namespace

bool PlatHoldStartingDirectory() {
    const DWORD n = GetCurrentDirectoryW(32768, gStartingDirectory);
    return n > 0 && n < 32768;
}

bool PlatReturnToStartingDirectory() { return SetCurrentDirectoryW(gStartingDirectory) != 0; }

bool PlatIsAbsolutePath(const char* path) {
    const auto separator = [](char c) { return c == '\\' || c == '/'; };
    return (separator(path[0]) && separator(path[1])) ||
           (path[0] != '\0' && path[1] == ':' && separator(path[2]));
}

const char* PlatErrorText() {
    static char text[512];
    wchar_t wide[256];
    const DWORD flags = FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS;
    const DWORD error = GetLastError();
    DWORD n = FormatMessageW(flags, nullptr, error, MAKELANGID(LANG_ENGLISH, SUBLANG_ENGLISH_US),
                             wide, 256, nullptr);
    if (n == 0) n = FormatMessageW(flags, nullptr, error, 0, wide, 256, nullptr);
    while (n > 0 && (wide[n - 1] == L'\n' || wide[n - 1] == L'\r' || wide[n - 1] == L'.')) --n;
    const int bytes = WideCharToMultiByte(CP_UTF8, 0, wide, static_cast<int>(n), text,
                                          sizeof text - 1, nullptr, nullptr);
    text[bytes > 0 ? bytes : 0] = '\0';
    return text;
}

namespace {
volatile LONG gInterrupted = 0;
// Runs on a thread of its own: it only notes the request. For a closing console, Windows ends the
// process once this returns, so it waits for the program to reach its safe point first.
BOOL WINAPI Note(DWORD event) {
    InterlockedExchange(&gInterrupted, 1);
    if (event == CTRL_CLOSE_EVENT) Sleep(INFINITE);
    return TRUE;
}
}  // namespace

void PlatCatchInterrupts() { SetConsoleCtrlHandler(Note, TRUE); }

bool PlatInterrupted() { return gInterrupted != 0; }

void PlatEndInterrupted() { ExitProcess(STATUS_CONTROL_C_EXIT); }

bool PlatIsLeadByte(unsigned char byte) { return IsDBCSLeadByteEx(CP_ACP, byte) != 0; }

void PlatDisplayMessage(const char* text, const char* caption) {
    wchar_t wideText[256];
    wchar_t wideCaption[64];
    ToWide(text, wideText, 256);
    ToWide(caption, wideCaption, 64);
    MessageBoxW(nullptr, wideText, wideCaption, MB_OK);
}
