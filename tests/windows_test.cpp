// windows_test.cpp: behaviour that only Windows has: double-byte file names in code page 932, short
// names, renames written through to the disk, rights, attributes, encryption and share modes.
#include <windows.h>
#include <aclapi.h>
#include <sddl.h>

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <tuple>
#include <vector>

#include "drop.h"
#include "import_patch.h"
#include "messages.h"
#include "pathutil.h"
#include "platform.h"
#include "support.h"

namespace {

// Double-byte characters whose second byte is 5C, the backslash: ソ (83 5C), 表 (95 5C), 能 (94 5C).
#define SO "\x83\x5C"
#define HYO "\x95\x5C"
#define NO "\x94\x5C"

class CodePage932 : public ::testing::Test {
protected:
    void SetUp() override {
        if (GetACP() != 932) GTEST_SKIP() << "needs the ANSI code page 932 (a Japanese locale)";
    }
};

TEST_F(CodePage932, TrailBytesAreNeverSeparators) {
    struct Case {
        const char* path;
        const char* directory;
        const char* name;
    } const cases[] = {
        {"C:\\data\\" SO "\x81\x5B\x83\x67.snd", "C:\\data\\", SO "\x81\x5B\x83\x67.snd"},
        {"C:\\" HYO "\\x.snd", "C:\\" HYO "\\", "x.snd"},
        {"C:\\" NO NO "\\" SO ".snd", "C:\\" NO NO "\\", SO ".snd"},
        {"C:\\a\\" SO, "C:\\a\\", SO},  // the name is a single character ending in 5C
    };
    for (const Case& c : cases) {
        char directory[kPathBufferSize] = {};
        char name[kPathBufferSize] = {};
        EXPECT_TRUE(GetDirectoryPart(c.path, directory)) << c.path;
        EXPECT_TRUE(GetFileNamePart(c.path, name)) << c.path;
        EXPECT_STREQ(directory, c.directory);
        EXPECT_STREQ(name, c.name);
    }
    // Without any real separator after position 0, a trail byte does not make one.
    char out[kPathBufferSize] = {};
    EXPECT_FALSE(GetDirectoryPart(SO ".snd", out));
    EXPECT_FALSE(GetFileNamePart(SO ".snd", out));
    EXPECT_FALSE(EndsWithSeparator("C:\\" SO));
    EXPECT_TRUE(EndsWithSeparator("C:\\" SO "\\"));
    // 雲 (89 5F) and ダ (83 5F) end in the underscore's byte: "雲new.snd" is no work file.
    for (const auto& [name, suffix, ends] : {std::tuple{"\x89\x5Fnew.snd", "_new.snd", false},
                                             {"\x83\x5Fold.snd", "_old.snd", false},
                                             {"\x83\x5F_old.snd", "_old.snd", true},
                                             {"x_OLD.SND", "_old.snd", true}}) {
        EXPECT_EQ(EndsWithNoCase(name, suffix), ends) << name;
    }
}

TEST_F(CodePage932, SortsAFileWhoseNameEndsInATrailByteBackslash) {
    TempDir dir;
    const std::string folder = dir.path().string() + "\\" HYO;
    ASSERT_TRUE(CreateDirectoryA(folder.c_str(), nullptr));
    const std::string path = folder + "\\" SO "\x81\x5B\x83\x67.snd";
    const std::string original = BuildArchive({{1, 0, "b"}, {0, 0, "a"}});
    HANDLE h = CreateFileA(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, 0, nullptr);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    DWORD written = 0;
    WriteFile(h, original.data(), static_cast<DWORD>(original.size()), &written, nullptr);
    CloseHandle(h);

    MessageLog log;
    EXPECT_EQ(SortDroppedFile(path.c_str()), DropResult::Sorted);
    const std::string backup = folder + "\\" SO "\x81\x5B\x83\x67_old.snd";
    EXPECT_NE(GetFileAttributesA(backup.c_str()), INVALID_FILE_ATTRIBUTES);
    char cwd[MAX_PATH] = {};
    GetCurrentDirectoryA(MAX_PATH, cwd);
    EXPECT_EQ(std::string(cwd), folder);
}

// A short (8.3) name is sorted under its long name: derived from the short one, the names would
// rename the archive away from its own name.
TEST(WindowsNames, ShortNameIsSortedUnderItsLongName) {
    TempDir dir;
    const std::string original = BuildArchive(kRoad);
    WriteBytes(dir / "longname archive.snd", original);
    char shortPath[MAX_PATH] = {};
    ASSERT_NE(GetShortPathNameA(dir.str("longname archive.snd").c_str(), shortPath, MAX_PATH), 0u);
    if (std::string(shortPath) == dir.str("longname archive.snd")) GTEST_SKIP() << "no short names here";
    MessageLog log;
    EXPECT_EQ(SortDroppedFile(shortPath), DropResult::Sorted);
    ExpectSorted(dir.path(), "longname archive.snd", "longname archive_old.snd", original);
}

// Hidden and system archives stay so, as an application's save keeps them.
TEST(WindowsAttributes, SortedArchiveKeepsHiddenAndSystem) {
    TempDir dir;
    WriteBytes(dir / "fx.snd", BuildArchive(kRoad));
    const DWORD kept = FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM;
    ASSERT_TRUE(SetFileAttributesA(dir.str("fx.snd").c_str(), kept));
    if ((GetFileAttributesA(dir.str("fx.snd").c_str()) & kept) != kept) {
        GTEST_SKIP() << "this file system keeps no hidden or system attribute (Wine stores them in "
                        "extended attributes)";
    }
    MessageLog log;
    EXPECT_EQ(SortDroppedFile(dir.str("fx.snd").c_str()), DropResult::Sorted);
    for (const char* name : {"fx.snd", "fx_old.snd"}) {
        EXPECT_EQ(GetFileAttributesA(dir.str(name).c_str()) & kept, kept) << name;
    }
}

decltype(&MoveFileExA) gMoveFileExA = nullptr;
std::vector<DWORD> gMoveFlags;
bool gSecondMoveShared = false;  // the second rename meets a sharing violation (a scanner's handle)

BOOL WINAPI RecordingMoveFileExA(LPCSTR from, LPCSTR to, DWORD flags) {
    gMoveFlags.push_back(flags);
    if (gSecondMoveShared && gMoveFlags.size() == 2) {
        SetLastError(ERROR_SHARING_VIOLATION);
        return FALSE;
    }
    return gMoveFileExA(from, to, flags);
}

// The second rename's warning comes with its own cause, not with what a later look at the names
// left behind.
TEST(WindowsRename, TheSecondRenamesCauseIsItsOwn) {
    gMoveFileExA = ReplaceImport("MoveFileExA", &RecordingMoveFileExA);
    ASSERT_NE(gMoveFileExA, nullptr);
    gMoveFlags.clear();
    gSecondMoveShared = true;
    std::string cause;
    PlatSetMessageSink([](const char* text, const char*, void* out) {
        if (std::strcmp(text, kMsgDefRename.text) == 0) *static_cast<std::string*>(out) = PlatErrorText();
    }, &cause);
    TempDir dir;
    WriteBytes(dir / "fx.snd", BuildArchive(kRoad));
    const DropResult result = SortDroppedFile(dir.str("fx.snd").c_str());
    PlatSetMessageSink(nullptr, nullptr);
    gSecondMoveShared = false;
    ReplaceImport("MoveFileExA", gMoveFileExA);
    EXPECT_EQ(result, DropResult::RenameFailed);
    // The words for a sharing violation, from a rename that meets one here and now.
    gMoveFileExA = ReplaceImport("MoveFileExA", &RecordingMoveFileExA);
    gMoveFlags.assign(1, 0);
    gSecondMoveShared = true;
    EXPECT_FALSE(PlatRenameNoReplace(dir.str("fx_new.snd").c_str(), dir.str("fx_moved.snd").c_str()));
    gSecondMoveShared = false;
    ReplaceImport("MoveFileExA", gMoveFileExA);
    EXPECT_EQ(cause, PlatErrorText());
}

// Windows has no folder to flush: each rename must itself be on the disk when it returns, and
// must never replace a file.
TEST(WindowsRename, EveryRenameIsWrittenThroughAndNeverReplaces) {
    gMoveFileExA = ReplaceImport("MoveFileExA", &RecordingMoveFileExA);
    ASSERT_NE(gMoveFileExA, nullptr) << "the program does not rename through MoveFileExA";
    gMoveFlags.clear();
    TempDir dir;
    MessageLog log;
    const DropResult result = DropIn(dir, BuildArchive({{1, 0, "b"}, {0, 0, "a"}}));
    ReplaceImport("MoveFileExA", gMoveFileExA);
    EXPECT_EQ(result, DropResult::Sorted);
    EXPECT_EQ(gMoveFlags, (std::vector<DWORD>{MOVEFILE_WRITE_THROUGH, MOVEFILE_WRITE_THROUGH}));
}

decltype(&DeleteFileA) gDeleteFileA = nullptr;

// Deletes the file, and another program takes its name at once.
BOOL WINAPI DeleteThenPlant(LPCSTR path) {
    const BOOL deleted = gDeleteFileA(path);
    if (deleted) WriteBytes(path, "planted");
    return deleted;
}

// A name taken in the moment after the leftover new archive was deleted is refused, never written.
TEST(WindowsCreate, NameTakenRightAfterTheLeftoverWentIsLeftAlone) {
    gDeleteFileA = ReplaceImport("DeleteFileA", &DeleteThenPlant);
    ASSERT_NE(gDeleteFileA, nullptr) << "the program does not delete through DeleteFileA";
    TempDir dir;
    const std::string original = BuildArchive({{1, 0, "b"}, {0, 0, "a"}});
    WriteBytes(dir / "fx.snd", original);
    WriteBytes(dir / "fx_new.snd", SortedOf(original).substr(0, 600));  // an earlier run's, torn
    MessageLog log;
    EXPECT_EQ(SortDroppedFile(dir.str("fx.snd").c_str()), DropResult::CreateFailed);
    ReplaceImport("DeleteFileA", gDeleteFileA);
    EXPECT_EQ(ReadBytes(dir / "fx_new.snd"), "planted");
    EXPECT_EQ(FilesIn(dir.path()), (std::vector<std::string>{"fx.snd", "fx_new.snd"}));
}

// A security descriptor's DACL in the security descriptor string language, protection flag
// included; "" where there is none.
std::string DaclText(PSECURITY_DESCRIPTOR sd) {
    char* text = nullptr;
    std::string dacl;
    if (sd != nullptr && ConvertSecurityDescriptorToStringSecurityDescriptorA(
                             sd, SDDL_REVISION_1, DACL_SECURITY_INFORMATION, &text, nullptr)) {
        dacl = text;
    }
    LocalFree(text);
    return dacl;
}

std::string Dacl(const std::string& path) {
    PSECURITY_DESCRIPTOR sd = nullptr;
    GetNamedSecurityInfoA(path.c_str(), SE_FILE_OBJECT, DACL_SECURITY_INFORMATION, nullptr, nullptr,
                          nullptr, nullptr, &sd);
    const std::string dacl = DaclText(sd);
    LocalFree(sd);
    return dacl;
}

// What the program asks of Windows for each new file, where Wine cannot show the result: the DACL
// it is made with, its attributes, what it shows once made, and the DACL given to it after.
decltype(&CreateFileA) gCreateFileA = nullptr;
decltype(&GetSecurityInfo) gGetSecurityInfo = nullptr;
decltype(&SetSecurityInfo) gSetSecurityInfo = nullptr;
decltype(&GetFileInformationByHandle) gGetFileInformationByHandle = nullptr;
std::vector<std::string> gCreatedWith;  // the DACL each new file was made with
std::vector<std::string> gSetTo;        // each DACL set on a file after
DWORD gCreatedAttributes = 0;
HANDLE gCreated = INVALID_HANDLE_VALUE;
std::string gMadeShows;   // what a new file's DACL shows once made; "" for what it was made with
bool gEncrypted = false;  // every file opened shows itself encrypted; a new one, if `gEncrypts`
bool gEncrypts = false;

HANDLE WINAPI RecordingCreateFileA(LPCSTR path, DWORD access, DWORD share,
                                   LPSECURITY_ATTRIBUTES attributes, DWORD how, DWORD flags,
                                   HANDLE from) {
    if (how != CREATE_NEW) return gCreateFileA(path, access, share, attributes, how, flags, from);
    gCreatedWith.push_back(DaclText(attributes ? attributes->lpSecurityDescriptor : nullptr));
    gCreatedAttributes = flags;
    // Wine has no encryption: the flag is asked for, and not passed on.
    gCreated = gCreateFileA(path, access, share, attributes, how, flags & ~FILE_ATTRIBUTE_ENCRYPTED, from);
    return gCreated;
}

DWORD WINAPI ShowingGetSecurityInfo(HANDLE h, SE_OBJECT_TYPE type, SECURITY_INFORMATION what,
                                    PSID* owner, PSID* group, PACL* dacl, PACL* sacl,
                                    PSECURITY_DESCRIPTOR* sd) {
    if (h != gCreated) return gGetSecurityInfo(h, type, what, owner, group, dacl, sacl, sd);
    const std::string shows = gMadeShows.empty() ? gCreatedWith.back() : gMadeShows;
    BOOL present = FALSE, defaulted = FALSE;
    if (!ConvertStringSecurityDescriptorToSecurityDescriptorA(shows.c_str(), SDDL_REVISION_1, sd,
                                                              nullptr) ||
        !GetSecurityDescriptorDacl(*sd, &present, dacl, &defaulted)) {
        return GetLastError();
    }
    return ERROR_SUCCESS;
}

DWORD WINAPI RecordingSetSecurityInfo(HANDLE h, SE_OBJECT_TYPE type, SECURITY_INFORMATION what,
                                      PSID owner, PSID group, PACL dacl, PACL sacl) {
    SECURITY_DESCRIPTOR sd;
    InitializeSecurityDescriptor(&sd, SECURITY_DESCRIPTOR_REVISION);
    SetSecurityDescriptorDacl(&sd, TRUE, dacl, FALSE);
    const bool protect = (what & PROTECTED_DACL_SECURITY_INFORMATION) != 0;
    SetSecurityDescriptorControl(&sd, SE_DACL_PROTECTED, protect ? SE_DACL_PROTECTED : 0);
    gSetTo.push_back(DaclText(&sd));
    return gSetSecurityInfo(h, type, what, owner, group, dacl, sacl);
}

BOOL WINAPI ShowingGetFileInformationByHandle(HANDLE h, LPBY_HANDLE_FILE_INFORMATION info) {
    const BOOL got = gGetFileInformationByHandle(h, info);
    if (got && gEncrypted && (h != gCreated || gEncrypts)) info->dwFileAttributes |= FILE_ATTRIBUTE_ENCRYPTED;
    return got;
}

// Puts the recording functions in place for the life of a test.
struct AskedOfWindows {
    AskedOfWindows() {
        gCreateFileA = ReplaceImport("CreateFileA", &RecordingCreateFileA);
        gGetSecurityInfo = ReplaceImport("GetSecurityInfo", &ShowingGetSecurityInfo);
        gSetSecurityInfo = ReplaceImport("SetSecurityInfo", &RecordingSetSecurityInfo);
        gGetFileInformationByHandle =
            ReplaceImport("GetFileInformationByHandle", &ShowingGetFileInformationByHandle);
        gCreatedWith.clear();
        gSetTo.clear();
    }
    ~AskedOfWindows() {
        ReplaceImport("CreateFileA", gCreateFileA);
        ReplaceImport("GetSecurityInfo", gGetSecurityInfo);
        ReplaceImport("SetSecurityInfo", gSetSecurityInfo);
        ReplaceImport("GetFileInformationByHandle", gGetFileInformationByHandle);
        gCreated = INVALID_HANDLE_VALUE;
        gMadeShows.clear();
        gEncrypted = gEncrypts = false;
    }
};

// The sorted archive is made with the original's rights, not its folder's: an archive readable by
// fewer people than the folder lets in stays so. Windows merges a folder's inheritable entries into
// a DACL a file is made with, unless it is protected: where they are not the entries the original
// inherited (it was moved here from a more private folder), the original's DACL is given again,
// protected. Wine keeps no DACL as it is set: it shows one made from the file's Unix mode. So what
// is checked is what the new file is made and given, against the DACL the original shows.
TEST(WindowsRights, SortedArchiveIsMadeWithTheOriginalsDacl) {
    const struct {
        const char* sddl;
        const char* madeShows;  // "" for what the file was made with
        bool setAgain;
    } cases[] = {
        {"D:P(A;;FA;;;BA)(A;;FR;;;SY)", "", false},
        {"D:(A;;FA;;;WD)", "", false},  // the folder hands on what the original inherited
        {"D:(A;;FA;;;WD)", "D:(A;;FA;;;WD)(A;ID;FA;;;BU)", true},  // it hands on more
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.sddl) + " made showing " + c.madeShows);
        AskedOfWindows asked;
        ASSERT_NE(gCreateFileA, nullptr) << "the program does not create files through CreateFileA";
        gMadeShows = c.madeShows;
        TempDir dir;
        WriteBytes(dir / "fx.snd", BuildArchive(kRoad));
        PSECURITY_DESCRIPTOR sd = nullptr;
        ASSERT_TRUE(ConvertStringSecurityDescriptorToSecurityDescriptorA(c.sddl, SDDL_REVISION_1, &sd,
                                                                         nullptr));
        ASSERT_TRUE(SetFileSecurityA(dir.str("fx.snd").c_str(), DACL_SECURITY_INFORMATION, sd));
        LocalFree(sd);
        const std::string dacl = Dacl(dir.str("fx.snd"));
        ASSERT_NE(dacl, "");
        MessageLog log;
        EXPECT_EQ(SortDroppedFile(dir.str("fx.snd").c_str()), DropResult::Sorted);
        EXPECT_EQ(gCreatedWith, std::vector<std::string>{dacl});
        const bool isProtected = dacl.starts_with("D:P");
        EXPECT_EQ(gSetTo, c.setAgain && !isProtected ? std::vector<std::string>{"D:P" + dacl.substr(2)}
                                                     : std::vector<std::string>{});
        EXPECT_EQ(Dacl(dir.str("fx_old.snd")), dacl);
    }
}

// An encrypted original's sorted archive is made encrypted; where the folder cannot hold it so,
// nothing is written, and the cause says why. Wine has no encryption: the original is made to show
// itself encrypted, and the new file to show what Windows would have made of it.
TEST(WindowsAttributes, EncryptedArchiveIsNeverCopiedInTheClear) {
    for (const bool encrypts : {true, false}) {
        SCOPED_TRACE(encrypts ? "the folder encrypts" : "the folder cannot encrypt");
        AskedOfWindows asked;
        gEncrypted = true;
        gEncrypts = encrypts;
        TempDir dir;
        const std::string original = BuildArchive(kRoad);
        WriteBytes(dir / "fx.snd", original);
        MessageLog log;
        EXPECT_EQ(SortDroppedFile(dir.str("fx.snd").c_str()),
                  encrypts ? DropResult::Sorted : DropResult::CreateFailed);
        EXPECT_TRUE(gCreatedAttributes & FILE_ATTRIBUTE_ENCRYPTED);
        if (!encrypts) {
            EXPECT_STREQ(PlatErrorText(), "the archive is encrypted, and this folder cannot hold an "
                                          "encrypted copy of it");
            ExpectUntouched(dir.path(), {"fx.snd"}, "fx.snd", original);
        }
    }
}

// The archive a sort holds open may be read by other programs, and written by none.
TEST(WindowsShare, OpenArchiveMayBeReadButNotWritten) {
    TempDir dir;
    WriteBytes(dir / "fx.snd", "held");
    const std::string path = dir.str("fx.snd");
    PlatFile* held = PlatOpenRead(path.c_str());
    ASSERT_NE(held, nullptr);
    const DWORD shareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
    for (const DWORD access : {DWORD{GENERIC_READ}, DWORD{GENERIC_WRITE}}) {
        HANDLE other = CreateFileA(path.c_str(), access, shareAll, nullptr, OPEN_EXISTING, 0, nullptr);
        EXPECT_EQ(other != INVALID_HANDLE_VALUE, access == GENERIC_READ) << access;
        if (other != INVALID_HANDLE_VALUE) CloseHandle(other);
    }
    PlatClose(held);
    EXPECT_EQ(ReadBytes(dir / "fx.snd"), "held");
}

}  // namespace
