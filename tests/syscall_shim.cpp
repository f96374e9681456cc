// syscall_shim.cpp: system calls of the real POSIX layer made to fail as some kernels and file
// systems make them fail, through the linker's --wrap; see tests/CMakeLists.txt.
#include "syscall_shim.h"

#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#include <limits.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iterator>
#include <string>

extern "C" {
int __real_renameat2(int, const char*, int, const char*, unsigned);
ssize_t __real_copy_file_range(int, off_t*, int, off_t*, size_t, unsigned);
ssize_t __real_pread(int, void*, size_t, off_t);
int __real_link(const char*, const char*);
int __real_unlink(const char*);
ssize_t __real_write(int, const void*, size_t);
int __real_fsync(int);
int __real_fchown(int, uid_t, gid_t);
int __real_open(const char*, int, ...);
int __real_chdir(const char*);
int __real_syncfs(int);
int __real_fsetxattr(int, const char*, const void*, size_t, int);
int __real_flock(int, int);
void* __real_iconv_open(const char*, const char*);
ssize_t __real_fgetxattr(int, const char*, void*, size_t);
int __real_fremovexattr(int, const char*);
}

namespace {

// The calls that can be made to fail, by their names in a plan (see syscall_shim.h).
enum Call { kRenameat2, kCopyFileRange, kPread, kWrite, kFsync, kFsyncDirectory, kFchown,
            kUnlinkAfterLink, kOpenDirectory, kOpenPath, kChdir, kFsetxattr, kLink, kIconvOpen,
            kXattr, kOpenWrite, kCalls };
const char* const kCallNames[kCalls] = {"renameat2", "copy_file_range", "pread", "write", "fsync",
                                        "fsync-directory", "fchown", "unlink-after-link",
                                        "open-directory", "open-path", "chdir", "fsetxattr",
                                        "link", "iconv_open", "xattr", "open-write"};
struct Plan {
    int errors[kCalls] = {};  // the errno each call fails with, or 0
    bool shortWrites = false;  // write and copy_file_range move at most half of what is asked
    bool plant = false;        // a successful unlink of a name is followed by another's link there
    bool save = false;         // each fsync of a file comes after another program saved `reading`
    bool squeeze = false;      // a path too long to open is opened with its runs of '/' squeezed
    bool nfs = false;          // an exclusive flock needs a descriptor open for writing
    bool saveAfterLink = false;  // each successful link is followed by a save of its old name
    bool ended = false;        // copy_file_range finds the source ended
    int raiseAt = -1;          // the call before which `signal` is raised, once
    int signal = 0;
    int reading = -1;          // the last file opened for reading alone
    unsigned modeAtFchown = 0;
    std::string flushed;       // see SyscallFlushedFolder
    bool linked = false;       // the first link went through, and no unlink came after it yet
    bool linkedOnce = false;   // a link went through
    bool interrupted = false;  // the last pread or write was interrupted
    int made = 0;
};
Plan gPlan;

// The errno named `name` ("EIO", ...), or 0.
int ErrnoNamed(const std::string& name) {
    for (int e = 1; e < 256; ++e) {
        if (strerrorname_np(e) != nullptr && name == strerrorname_np(e)) return e;
    }
    return 0;
}

// True, with errno set and the failure counted, where `call` is to fail now (and `also` holds).
// EINTR interrupts every other call, so that each is first interrupted, then made again. A signal
// planned before the call is raised first; for a copy, it interrupts the call.
bool Fails(Call call, bool also = true) {
    if (gPlan.raiseAt == call && also) {
        gPlan.raiseAt = -1;
        ++gPlan.made;
        raise(gPlan.signal);
        if (call == kCopyFileRange) {
            errno = EINTR;
            return true;
        }
    }
    const int error = gPlan.errors[call];
    if (error == 0 || !also) return false;
    if (error == EINTR && (call == kPread || call == kWrite || call == kCopyFileRange)) {
        gPlan.interrupted = !gPlan.interrupted;
        if (!gPlan.interrupted) return false;
    }
    ++gPlan.made;
    errno = error;
    return true;
}

const bool gFromEnvironment = [] {
    const char* plan = std::getenv("TESSOREL_SYSCALLS");
    if (plan != nullptr && !SetSyscallFaults(plan)) {
        std::fprintf(stderr, "TESSOREL_SYSCALLS: cannot understand %s\n", plan);
        std::exit(2);
    }
    return true;
}();

}  // namespace

bool SetSyscallFaults(const char* plan) {
    gPlan = Plan{};
    std::string rest = plan;
    while (!rest.empty()) {
        const size_t comma = rest.find(',');
        const std::string item = rest.substr(0, comma);
        rest = comma == std::string::npos ? "" : rest.substr(comma + 1);
        const size_t equals = item.find('=');
        if (equals == std::string::npos) return false;
        const std::string call = item.substr(0, equals);
        if (item.substr(equals + 1) == "SHORT" && (call == "write" || call == "copy_file_range")) {
            gPlan.shortWrites = true;
            continue;
        }
        // A signal raised before the first call of one kind: "fsync=SIGTERM".
        if (item.compare(equals + 1, 3, "SIG") == 0) {
            const std::string name = item.substr(equals + 4);
            for (int k = 1; k < NSIG; ++k) {
                if (sigabbrev_np(k) != nullptr && name == sigabbrev_np(k)) gPlan.signal = k;
            }
            const auto named = std::find(std::begin(kCallNames), std::end(kCallNames), call);
            if (gPlan.signal == 0 || named == std::end(kCallNames)) return false;
            gPlan.raiseAt = static_cast<int>(named - std::begin(kCallNames));
            continue;
        }
        // The plans that are acts, not an errno.
        bool* const act = item == "unlink=PLANT"   ? &gPlan.plant
                          : item == "fsync=SAVE"   ? &gPlan.save
                          : item == "open=SQUEEZE" ? &gPlan.squeeze
                          : item == "flock=NFS"    ? &gPlan.nfs
                          : item == "link=SAVE"    ? &gPlan.saveAfterLink
                          : item == "copy_file_range=END" ? &gPlan.ended
                                                   : nullptr;
        if (act != nullptr) {
            *act = true;
            continue;
        }
        const int error = ErrnoNamed(item.substr(equals + 1));
        const auto named = std::find(std::begin(kCallNames), std::end(kCallNames), call);
        if (error == 0 || named == std::end(kCallNames)) return false;
        gPlan.errors[named - std::begin(kCallNames)] = error;
    }
    return true;
}

int SyscallFaultsMade() { return gPlan.made; }

unsigned SyscallModeAtFchown() { return gPlan.modeAtFchown; }

const char* SyscallFlushedFolder() { return gPlan.flushed.c_str(); }

// A count of bytes to move, cut to half (at least one) where writes come up short, as on some
// FUSE, network and special file systems.
size_t Shortened(size_t n) {
    if (gPlan.shortWrites && n > 1) ++gPlan.made;
    return gPlan.shortWrites && n > 1 ? n / 2 : n;
}

extern "C" {

int __wrap_renameat2(int fromDir, const char* from, int toDir, const char* to, unsigned flags) {
    return Fails(kRenameat2) ? -1 : __real_renameat2(fromDir, from, toDir, to, flags);
}

ssize_t __wrap_copy_file_range(int in, off_t* inOffset, int out, off_t* outOffset, size_t n,
                               unsigned flags) {
    if (Fails(kCopyFileRange)) return -1;
    if (gPlan.ended) {
        ++gPlan.made;
        return 0;
    }
    return __real_copy_file_range(in, inOffset, out, outOffset, Shortened(n), flags);
}

ssize_t __wrap_pread(int fd, void* buf, size_t n, off_t offset) {
    return Fails(kPread) ? -1 : __real_pread(fd, buf, n, offset);
}

ssize_t __wrap_write(int fd, const void* buf, size_t n) {
    return Fails(kWrite) ? -1 : __real_write(fd, buf, Shortened(n));
}

int __wrap_fsync(int fd) {
    struct stat st;
    const bool directory = fstat(fd, &st) == 0 && S_ISDIR(st.st_mode);
    if (gPlan.save && !directory && gPlan.reading >= 0) {
        const timespec later[2] = {{0, UTIME_OMIT}, {time(nullptr) + 5, 0}};  // saved 5 s on
        if (futimens(gPlan.reading, later) == 0) ++gPlan.made;
    }
    if (directory) {
        char name[PATH_MAX] = {};
        const std::string link = "/proc/self/fd/" + std::to_string(fd);
        gPlan.flushed = readlink(link.c_str(), name, sizeof name - 1) > 0 ? name : "?";
    }
    return Fails(kFsync) || Fails(kFsyncDirectory, directory) ? -1 : __real_fsync(fd);
}

void* __wrap_iconv_open(const char* to, const char* from) {
    return Fails(kIconvOpen) ? reinterpret_cast<void*>(-1) : __real_iconv_open(to, from);
}

int __wrap_flock(int fd, int operation) {
    if (gPlan.nfs && (operation & LOCK_EX) && (fcntl(fd, F_GETFL) & O_ACCMODE) == O_RDONLY) {
        ++gPlan.made;
        errno = EBADF;
        return -1;
    }
    return __real_flock(fd, operation);
}

int __wrap_syncfs(int fd) {
    gPlan.flushed = "(its file system)";
    return __real_syncfs(fd);
}

int __wrap_fchown(int fd, uid_t owner, gid_t group) {
    struct stat st;
    gPlan.modeAtFchown = fstat(fd, &st) == 0 ? st.st_mode & 07777 : 0;
    return Fails(kFchown) ? -1 : __real_fchown(fd, owner, group);
}

int __wrap_open(const char* path, int flags, mode_t mode) {
    const bool readDirectory =
        (flags & O_DIRECTORY) && (flags & O_ACCMODE) == O_RDONLY && !(flags & O_PATH);
    if (Fails(kOpenDirectory, readDirectory) || Fails(kOpenPath, (flags & O_PATH) != 0) ||
        Fails(kOpenWrite, (flags & O_ACCMODE) == O_WRONLY && !(flags & O_CREAT))) {
        return -1;
    }
    std::string squeezed;  // as a system without PATH_MAX would find the file
    if (gPlan.squeeze && std::strlen(path) >= PATH_MAX) {
        for (const char* p = path; *p != '\0'; ++p) {
            if (*p != '/' || squeezed.empty() || squeezed.back() != '/') squeezed += *p;
        }
    }
    const int fd = __real_open(squeezed.empty() ? path : squeezed.c_str(), flags, mode);
    if (fd >= 0 && (flags & (O_ACCMODE | O_DIRECTORY | O_PATH)) == O_RDONLY) gPlan.reading = fd;
    return fd;
}

int __wrap_chdir(const char* path) { return Fails(kChdir) ? -1 : __real_chdir(path); }

int __wrap_fsetxattr(int fd, const char* name, const void* value, size_t size, int flags) {
    return Fails(kFsetxattr) ? -1 : __real_fsetxattr(fd, name, value, size, flags);
}

int __wrap_link(const char* from, const char* to) {
    if (Fails(kLink)) return -1;
    const int r = __real_link(from, to);
    gPlan.linked = r == 0 && !gPlan.linkedOnce;
    gPlan.linkedOnce = gPlan.linkedOnce || r == 0;
    if (r == 0 && gPlan.saveAfterLink && std::strstr(from, "tessorel-parked") == nullptr) {
        // Another program saves the old name anew: a file of its own renamed over it.
        const std::string temp = std::string(from) + ".saving";
        const int fd = __real_open(temp.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        if (fd >= 0 && __real_write(fd, "saved", 5) == 5 && close(fd) == 0 &&
            rename(temp.c_str(), from) == 0) {
            ++gPlan.made;
        }
    }
    return r;
}

ssize_t __wrap_fgetxattr(int fd, const char* name, void* value, size_t size) {
    return Fails(kXattr) ? -1 : __real_fgetxattr(fd, name, value, size);
}

int __wrap_fremovexattr(int fd, const char* name) {
    return Fails(kXattr) ? -1 : __real_fremovexattr(fd, name);
}

int __wrap_unlink(const char* path) {
    const bool afterLink = gPlan.linked;
    gPlan.linked = false;
    if (Fails(kUnlinkAfterLink, afterLink)) return -1;
    const int r = __real_unlink(path);
    if (r == 0 && gPlan.plant) {
        // Another program takes the name at once: a second name of the file "kept" beside it.
        const std::string name = path;
        const size_t slash = name.rfind('/');
        const std::string kept = (slash == std::string::npos ? "" : name.substr(0, slash + 1)) + "kept";
        __real_link(kept.c_str(), path);
        ++gPlan.made;
    }
    return r;
}

}  // extern "C"
