// platform_win32.cpp: the operating-system interface on Windows, through kernel32 and user32.
#include <windows.h>
#include <aclapi.h>

#include <cstring>
#include <cwchar>
#include <new>
#include <string>

#include "display_message.h"
#include "platform.h"

struct PlatFile {
    HANDLE handle;
    uint64_t size;                    // as seen when opened
    DWORD attributes;                 // as seen when opened
    bool readOnlyOnClose;             // made by PlatCreate like a read-only file
    char path[kPlatPathBufferSize];   // made by PlatCreate: its path, to set attributes once closed
    DWORD flushError;                 // the last PlatFlushTogether's outcome: 0, its error, or
                                      // kNeverFlushed
};

namespace {

constexpr DWORD kNeverFlushed = 0xFFFFFFFFu;

// Why the last failed call failed: its own words where the last error cannot say it, or else the
// last error as the failing system call left it, before any later call could change it.
const char* gWhy = nullptr;
DWORD gError = 0;

// Notes the cause of a failure, at the failing call; false, for the caller to return.
bool Fail(const char* why = nullptr) {
    gWhy = why;
    gError = GetLastError();
    return false;
}

PlatFileState StateOf(const BY_HANDLE_FILE_INFORMATION& info) {
    return {info.dwVolumeSerialNumber, uint64_t{info.nFileIndexHigh} << 32 | info.nFileIndexLow,
            uint64_t{info.nFileSizeHigh} << 32 | info.nFileSizeLow,
            static_cast<int64_t>(uint64_t{info.ftLastWriteTime.dwHighDateTime} << 32 |
                                 info.ftLastWriteTime.dwLowDateTime),
            0};
}

// Takes over an open handle and what it leads to; closes it when no handle can be made.
PlatFile* Wrap(HANDLE handle) {
    if (handle == INVALID_HANDLE_VALUE) return Fail(), nullptr;
    BY_HANDLE_FILE_INFORMATION info;
    PlatFile* file = nullptr;
    if (GetFileInformationByHandle(handle, &info)) {
        file = new (std::nothrow) PlatFile{handle, StateOf(info).size, info.dwFileAttributes, false, {},
                                           kNeverFlushed};
    }
    if (file == nullptr) {
        Fail();
        CloseHandle(handle);
    }
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
PlatLockResult PlatLock(PlatFile* file) {
    OVERLAPPED at = {};
    at.Offset = 0xFFFFFFFEu;
    at.OffsetHigh = 0x7FFFFFFFu;
    const DWORD flags = LOCKFILE_EXCLUSIVE_LOCK | LOCKFILE_FAIL_IMMEDIATELY;
    if (LockFileEx(file->handle, flags, 0, 1, 0, &at)) return PlatLockResult::Locked;
    const DWORD error = GetLastError();
    if (error != ERROR_LOCK_VIOLATION && error != ERROR_IO_PENDING) return PlatLockResult::Locked;
    Fail("another program holds a lock on it (another sort, or a reader)");
    return PlatLockResult::Held;
}

bool PlatStateOf(PlatFile* file, PlatFileState* state) {
    BY_HANDLE_FILE_INFORMATION info;
    if (!GetFileInformationByHandle(file->handle, &info)) return Fail();
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
    PACL dacl = nullptr;                  // in it
    bool inherits = false;                // like's DACL takes the entries its folder hands on
    SECURITY_DESCRIPTOR given;
    SECURITY_ATTRIBUTES attributes;
};

bool RightsOf(PlatFile* like, Rights* rights) {
    PACL& dacl = rights->dacl;
    SECURITY_DESCRIPTOR_CONTROL control = 0;
    DWORD revision = 0;
    const DWORD read = GetSecurityInfo(like->handle, SE_FILE_OBJECT, DACL_SECURITY_INFORMATION,
                                       nullptr, nullptr, &dacl, nullptr, &rights->read);
    if (read != ERROR_SUCCESS) {
        SetLastError(read);  // GetSecurityInfo returns its error instead of setting it
        return false;
    }
    const SECURITY_DESCRIPTOR_CONTROL isProtected = SE_DACL_PROTECTED;
    if (!GetSecurityDescriptorControl(rights->read, &control, &revision) ||
        !InitializeSecurityDescriptor(&rights->given, SECURITY_DESCRIPTOR_REVISION) ||
        !SetSecurityDescriptorDacl(&rights->given, TRUE, dacl, FALSE) ||
        !SetSecurityDescriptorControl(&rights->given, isProtected, control & isProtected)) {
        return false;
    }
    rights->inherits = dacl != nullptr && (control & isProtected) == 0;
    rights->attributes = {sizeof rights->attributes, &rights->given, FALSE};
    return true;
}

// True when two DACLs hold the same entries in the same order.
bool SameDacl(const ACL* a, const ACL* b) {
    return a != nullptr && b != nullptr && a->AclSize == b->AclSize &&
           std::memcmp(a, b, a->AclSize) == 0;
}

// Gives a new file `like`'s rights and no wider. Made with like's DACL, it took its folder's
// inheritable entries in place of the inherited entries like's DACL holds: the same ones where
// like's came from this folder, and so the file keeps inheriting; others where like was moved here
// from a folder that handed on other rights, and then like's entries are given as they are,
// protected, so that the folder adds none. False when that cannot be done.
bool NoWiderThan(HANDLE file, const Rights& rights) {
    if (!rights.inherits) return true;  // made protected: it holds like's entries and no other
    PACL made = nullptr;
    PSECURITY_DESCRIPTOR sd = nullptr;
    const DWORD read = GetSecurityInfo(file, SE_FILE_OBJECT, DACL_SECURITY_INFORMATION, nullptr,
                                       nullptr, &made, nullptr, &sd);
    const bool same = read == ERROR_SUCCESS && SameDacl(made, rights.dacl);
    LocalFree(sd);
    if (same) return true;
    const DWORD set = SetSecurityInfo(file, SE_FILE_OBJECT,
                                      DACL_SECURITY_INFORMATION | PROTECTED_DACL_SECURITY_INFORMATION,
                                      nullptr, nullptr, rights.dacl, nullptr);
    SetLastError(set);  // it returns its error instead of setting it
    return set == ERROR_SUCCESS || Fail();
}

// The attributes a save keeps, besides read-only, which PlatClose sets: hidden, system, not
// content-indexed, and encrypted, which Windows gives a new file only when it is made so.
constexpr DWORD kKeptAttributes = FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM |
                                  FILE_ATTRIBUTE_NOT_CONTENT_INDEXED | FILE_ATTRIBUTE_ENCRYPTED;

// A new file takes the access rights and the attributes of `like` from the moment it is made, as
// an application's save keeps them, and the read-only attribute, which PlatClose sets once it is
// written. An encrypted archive's sorted copy is never written in the clear: where it cannot be
// made encrypted, nothing is written.
PlatFile* PlatCreate(const char* path, PlatFile* like, const PlatFileState* leftover) {
    if (std::strlen(path) >= kPlatPathBufferSize) {
        SetLastError(ERROR_FILENAME_EXCED_RANGE);
        return Fail(), nullptr;
    }
    // A leftover is deleted, never emptied and reused. Only the plain file of this one name that
    // the caller saw and checked goes: through a link, or under another name, it may be the
    // dropped archive itself or a backup, and anything else there is another program's.
    const DWORD shareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
    const DWORD asItIs = FILE_FLAG_OPEN_REPARSE_POINT | FILE_FLAG_BACKUP_SEMANTICS;
    HANDLE existing = CreateFileA(path, 0, shareAll, nullptr, OPEN_EXISTING, asItIs, nullptr);
    if (existing != INVALID_HANDLE_VALUE) {
        BY_HANDLE_FILE_INFORMATION info;
        BY_HANDLE_FILE_INFORMATION likeInfo;
        const char* why = nullptr;
        if (!GetFileInformationByHandle(existing, &info) ||
            !GetFileInformationByHandle(like->handle, &likeInfo)) {
            why = "its state cannot be read, and it is left alone";
        } else if (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
            why = "a folder has its name";
        } else if (info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) {
            why = "a link has its name, and is left alone";
        } else if (info.nNumberOfLinks != 1) {
            why = "a file that has other names too has its name, and is left alone";
        } else if (info.dwVolumeSerialNumber == likeInfo.dwVolumeSerialNumber &&
                   info.nFileIndexHigh == likeInfo.nFileIndexHigh &&
                   info.nFileIndexLow == likeInfo.nFileIndexLow) {
            why = "its name leads to the archive itself, and is left alone";
        } else {
            const PlatFileState now = StateOf(info);
            if (leftover == nullptr || now.volume != leftover->volume ||
                now.index != leftover->index || now.size != leftover->size ||
                now.writeTime != leftover->writeTime) {
                why = "another file took its name, and is left alone";
            }
        }
        CloseHandle(existing);
        if (why != nullptr) {
            SetLastError(ERROR_ALREADY_EXISTS);
            return Fail(why), nullptr;
        }
        if (!PlatRemove(path)) return Fail(), nullptr;
    }
    // CREATE_NEW fails if anything took the name since: a link planted there is never followed.
    Rights rights;
    const bool known = RightsOf(like, &rights);
    if (!known) Fail();
    const DWORD attributes = FILE_ATTRIBUTE_ARCHIVE | (like->attributes & kKeptAttributes);
    PlatFile* file = known ? Wrap(CreateFileA(path, GENERIC_WRITE | WRITE_DAC, 0, &rights.attributes,
                                              CREATE_NEW, attributes, nullptr))
                           : nullptr;
    const char* refused = nullptr;
    if (file != nullptr && (attributes & FILE_ATTRIBUTE_ENCRYPTED) != 0 &&
        (file->attributes & FILE_ATTRIBUTE_ENCRYPTED) == 0) {
        refused = "the archive is encrypted, and this folder cannot hold an encrypted copy of it";
    }
    if (file != nullptr && (refused != nullptr || !NoWiderThan(file->handle, rights))) {
        if (refused != nullptr) {
            SetLastError(ERROR_ENCRYPTION_FAILED);
            Fail(refused);
        }
        CloseHandle(file->handle);
        DeleteFileA(path);
        delete file;
        file = nullptr;
    }
    LocalFree(rights.read);
    if (file != nullptr) {
        file->readOnlyOnClose = (like->attributes & FILE_ATTRIBUTE_READONLY) != 0;
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
    if (low == INVALID_SET_FILE_POINTER && GetLastError() != NO_ERROR) return Fail();
    char* p = static_cast<char*>(buf);
    while (*got < n) {
        DWORD read = 0;
        if (!ReadFile(file->handle, p + *got, n - *got, &read, nullptr)) {
            *got = 0;
            return Fail();
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
        if (!WriteFile(file->handle, p, n, &written, nullptr)) return Fail();
        if (written == 0) return Fail("nothing could be written");
        p += written;
        n -= written;
    }
    return true;
}

PlatCopyResult PlatCopyRange(PlatFile*, uint64_t, PlatFile*, uint32_t) {
    return PlatCopyResult::Unsupported;  // Windows has no copy between open handles
}

bool PlatFlush(PlatFile* file) { return FlushFileBuffers(file->handle) != 0 || Fail(); }

namespace {

// The files of one PlatFlushTogether, taken one at a time by each of its threads.
struct Flushes {
    PlatFile* const* files;
    size_t n;
    volatile LONG next;
};

DWORD WINAPI FlushSome(void* flushes) {
    Flushes& f = *static_cast<Flushes*>(flushes);
    for (size_t k; (k = static_cast<size_t>(InterlockedIncrement(&f.next) - 1)) < f.n;) {
        f.files[k]->flushError = FlushFileBuffers(f.files[k]->handle) ? 0 : GetLastError();
    }
    return 0;
}

constexpr size_t kFlushThreads = 16;

}  // namespace

void PlatFlushTogether(PlatFile* const* files, size_t n) {
    for (size_t k = 0; k < n; ++k) files[k]->flushError = kNeverFlushed;
    Flushes flushes{files, n, 0};
    HANDLE threads[kFlushThreads];
    size_t started = 0;
    // Where no thread can be had, this one flushes what is left alone.
    while (started + 1 < (n < kFlushThreads ? n : kFlushThreads) &&
           (threads[started] = CreateThread(nullptr, 64 << 10, FlushSome, &flushes, 0, nullptr)) != nullptr) {
        ++started;
    }
    FlushSome(&flushes);
    if (started > 0) WaitForMultipleObjects(static_cast<DWORD>(started), threads, TRUE, INFINITE);
    for (size_t t = 0; t < started; ++t) CloseHandle(threads[t]);
}

bool PlatFlushed(PlatFile* file) {
    if (file->flushError == 0) return true;
    if (file->flushError == kNeverFlushed) return Fail("it was never flushed");
    SetLastError(file->flushError);
    return Fail();
}

bool PlatClose(PlatFile* file) {
    bool ok = CloseHandle(file->handle) != 0 || Fail();
    // Set only once the file is written and closed: a read-only file takes no more writes.
    if (ok && file->readOnlyOnClose) {
        const DWORD attributes = GetFileAttributesA(file->path);
        ok = (attributes != INVALID_FILE_ATTRIBUTES &&
              SetFileAttributesA(file->path, attributes | FILE_ATTRIBUTE_READONLY) != 0) ||
             Fail();
    }
    delete file;
    return ok;
}

// Written through: the new name is on the disk when it returns. MOVEFILE_REPLACE_EXISTING is never
// given, so an existing `to` makes it fail.
bool PlatRenameNoReplace(const char* from, const char* to) {
    return MoveFileExA(from, to, MOVEFILE_WRITE_THROUGH) != 0 || Fail();
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

bool PlatSetCurrentDirectory(const char* dir) { return SetCurrentDirectoryA(dir) != 0 || Fail(); }

namespace {
wchar_t gStartingDirectory[32768];  // the longest path Windows takes, with its zero
}  // namespace

bool PlatHoldStartingDirectory() {
    const DWORD n = GetCurrentDirectoryW(32768, gStartingDirectory);
    return (n > 0 && n < 32768) || Fail();
}

bool PlatReturnToStartingDirectory() {
    return SetCurrentDirectoryW(gStartingDirectory) != 0 || Fail();
}

bool PlatIsAbsolutePath(const char* path) {
    const auto separator = [](char c) { return c == '\\' || c == '/'; };
    return (separator(path[0]) && separator(path[1])) ||
           (path[0] != '\0' && path[1] == ':' && separator(path[2]));
}

namespace {
PlatKind KindOf(DWORD attributes) {
    if ((attributes & (FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_DEVICE)) != 0) return PlatKind::Other;
    return (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0 ? PlatKind::Folder : PlatKind::File;
}

// A name in the ANSI code page as UTF-16; empty when it is not one.
std::wstring Widened(const char* text) {
    const int n = MultiByteToWideChar(CP_ACP, 0, text, -1, nullptr, 0);
    std::wstring wide(static_cast<size_t>(n > 0 ? n : 1), L'\0');
    if (n > 0) MultiByteToWideChar(CP_ACP, 0, text, -1, wide.data(), n);
    wide.resize(wide.size() - 1);
    return wide;
}
}  // namespace

const char* PlatLongPath(const char* path, char* out) {
    const DWORD n = GetLongPathNameA(path, out, kPlatPathBufferSize);
    if (n == 0) return Fail(), nullptr;
    if (n >= kPlatPathBufferSize) {
        SetLastError(ERROR_FILENAME_EXCED_RANGE);
        return Fail(), nullptr;
    }
    return out;
}

PlatKind PlatKindAt(const char* path, bool follow) {
    const DWORD attributes = GetFileAttributesA(path);
    if (attributes == INVALID_FILE_ATTRIBUTES) return Fail(), PlatKind::None;
    if (!follow || (attributes & FILE_ATTRIBUTE_REPARSE_POINT) == 0) return KindOf(attributes);
    // What the link leads to: its target's own attributes, through a handle opened on it.
    const HANDLE handle = CreateFileA(path, 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                      nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (handle == INVALID_HANDLE_VALUE) return Fail(), PlatKind::None;
    BY_HANDLE_FILE_INFORMATION info;
    const bool known = GetFileInformationByHandle(handle, &info) != 0 || Fail();
    CloseHandle(handle);
    return known ? KindOf(info.dwFileAttributes & ~FILE_ATTRIBUTE_REPARSE_POINT) : PlatKind::None;
}

bool PlatListFolder(const char* dir, PlatFolderEntry each, void* context) {
    // Listed in UTF-16, so that a name the ANSI code page cannot hold is told apart rather than
    // handed on with look-alikes ("best fit") that could name another file.
    std::wstring pattern = Widened(dir);
    if (pattern.empty()) return Fail("the folder's name is not in this system's code page");
    if (pattern.back() != L'\\' && pattern.back() != L'/' && pattern.back() != L':') pattern += L'\\';
    pattern += L'*';
    WIN32_FIND_DATAW found;
    const HANDLE find = FindFirstFileExW(pattern.c_str(), FindExInfoBasic, &found,
                                         FindExSearchNameMatch, nullptr, 0);
    if (find == INVALID_HANDLE_VALUE) return GetLastError() == ERROR_FILE_NOT_FOUND || Fail();
    do {
        const wchar_t* wide = found.cFileName;
        if (std::wcscmp(wide, L".") == 0 || std::wcscmp(wide, L"..") == 0) continue;
        char name[kPlatPathBufferSize * 2];
        BOOL usedDefault = FALSE;
        const bool utf8 = GetACP() == CP_UTF8;
        const int n = WideCharToMultiByte(CP_ACP, utf8 ? 0 : WC_NO_BEST_FIT_CHARS, wide, -1, name,
                                          sizeof name, nullptr, utf8 ? nullptr : &usedDefault);
        const bool exact = n > 0 && !usedDefault && Widened(name) == wide;
        if (n == 0) std::strcpy(name, "?");
        each(name, exact ? KindOf(found.dwFileAttributes) : PlatKind::Unnameable, context);
    } while (FindNextFileW(find, &found));
    const bool ok = GetLastError() == ERROR_NO_MORE_FILES || Fail();
    FindClose(find);
    return ok;
}

const char* PlatErrorText() {
    if (gWhy != nullptr) return gWhy;
    static char text[512];
    wchar_t wide[256];
    const DWORD flags = FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS;
    const DWORD error = gError;
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
