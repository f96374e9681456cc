// windows_test.cpp: behaviour that only Windows has: double-byte file names in code page 932,
// renames written through to the disk, and share modes.
#include <windows.h>
#include <aclapi.h>
#include <sddl.h>

#include <gtest/gtest.h>

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

decltype(&MoveFileExA) gMoveFileExA = nullptr;
std::vector<DWORD> gMoveFlags;

BOOL WINAPI RecordingMoveFileExA(LPCSTR from, LPCSTR to, DWORD flags) {
    gMoveFlags.push_back(flags);
    return gMoveFileExA(from, to, flags);
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

decltype(&CreateFileA) gCreateFileA = nullptr;
std::vector<std::string> gCreatedWith;  // the DACL each new file was made with

HANDLE WINAPI RecordingCreateFileA(LPCSTR path, DWORD access, DWORD share,
                                   LPSECURITY_ATTRIBUTES attributes, DWORD how, DWORD flags,
                                   HANDLE from) {
    if (how == CREATE_NEW) {
        gCreatedWith.push_back(DaclText(attributes ? attributes->lpSecurityDescriptor : nullptr));
    }
    return gCreateFileA(path, access, share, attributes, how, flags, from);
}

// The sorted archive is made with the original's rights, not its folder's: an archive readable by
// fewer people than the folder lets in stays so. Wine keeps no DACL as it is set: it shows one
// made from the file's Unix mode. So what is checked is the DACL the new file is made with, which
// must be the one the original shows.
TEST(WindowsRights, SortedArchiveIsMadeWithTheOriginalsDacl) {
    gCreateFileA = ReplaceImport("CreateFileA", &RecordingCreateFileA);
    ASSERT_NE(gCreateFileA, nullptr) << "the program does not create files through CreateFileA";
    for (const char* sddl : {"D:P(A;;FA;;;BA)(A;;FR;;;SY)", "D:(A;;FA;;;WD)"}) {
        SCOPED_TRACE(sddl);
        TempDir dir;
        WriteBytes(dir / "fx.snd", BuildArchive(kRoad));
        PSECURITY_DESCRIPTOR sd = nullptr;
        ASSERT_TRUE(ConvertStringSecurityDescriptorToSecurityDescriptorA(sddl, SDDL_REVISION_1, &sd,
                                                                         nullptr));
        ASSERT_TRUE(SetFileSecurityA(dir.str("fx.snd").c_str(), DACL_SECURITY_INFORMATION, sd));
        LocalFree(sd);
        const std::string dacl = Dacl(dir.str("fx.snd"));
        ASSERT_NE(dacl, "");
        gCreatedWith.clear();
        MessageLog log;
        EXPECT_EQ(SortDroppedFile(dir.str("fx.snd").c_str()), DropResult::Sorted);
        EXPECT_EQ(gCreatedWith, std::vector<std::string>{dacl});
        EXPECT_EQ(Dacl(dir.str("fx_old.snd")), dacl);
    }
    ReplaceImport("CreateFileA", gCreateFileA);
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
