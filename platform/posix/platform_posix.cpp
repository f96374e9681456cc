// platform_posix.cpp: the operating-system interface on Linux (POSIX, and a few Linux calls).
#include <errno.h>
#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <stdio.h>
#include <string.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <dirent.h>

#include <algorithm>
#include <atomic>
#include <new>
#include <string>

#include "cp932.h"
#include "display_message.h"
#include "platform.h"

// Positions in a file are 64-bit, so that a file past 4 GiB is read where it is asked to be.
static_assert(sizeof(off_t) == 8, "the build must have 64-bit file offsets");

struct PlatFile {
    int fd;
    dev_t device;      // with `inode`, which file it is
    ino_t inode;
    uint64_t size;     // as seen when opened
    mode_t mode;       // permission bits as seen when opened
    gid_t group;       // as seen when opened
    uint64_t written;  // bytes written through this handle
    uint64_t kicked;   // bytes whose write-back to the disk has been started
    int lockFd;        // a second descriptor, open for writing, that holds the lock; or -1
    int flushError;    // the last PlatFlushTogether's outcome: 0, its errno, or -1 for none
};

namespace {

// Why the last failed call failed: its own words where errno cannot say it, or else errno as the
// failing system call left it, before any later call could change it. Set only by Fail.
const char* gWhy = nullptr;
int gError = 0;

// Notes the cause of a failure, at the failing call; false, for the caller to return.
bool Fail(const char* why = nullptr) {
    gWhy = why;
    gError = errno;
    return false;
}

// The directory relative names resolve in, held by PlatHoldStartingDirectory.
int gStartingDirectory = -1;

// The signal that asked the program to stop, or 0; PlatCatchInterrupts notes these.
volatile sig_atomic_t gInterruption = 0;
void Note(int signal) { gInterruption = signal; }
constexpr int kInterruptions[] = {SIGINT, SIGTERM, SIGHUP};

// Write-back of a file being written starts in steps of this size, so that the disk works while
// the copy goes on and the final flush has little left to wait for.
constexpr uint64_t kWriteBackStep = 8u << 20;

// The most one in-kernel copy call is asked to move.
constexpr size_t kCopyStep = 64u << 20;

void Written(PlatFile* file, uint64_t n) {
    file->written += n;
    if (file->written - file->kicked >= kWriteBackStep) {
        sync_file_range(file->fd, static_cast<off_t>(file->kicked),
                        static_cast<off_t>(file->written - file->kicked), SYNC_FILE_RANGE_WRITE);
        file->kicked = file->written;
    }
}

int64_t Nanoseconds(const timespec& t) { return int64_t{t.tv_sec} * 1000000000 + t.tv_nsec; }

PlatFileState StateOf(const struct stat& st) {
    return {static_cast<uint64_t>(st.st_dev), static_cast<uint64_t>(st.st_ino),
            static_cast<uint64_t>(st.st_size), Nanoseconds(st.st_mtim), Nanoseconds(st.st_ctim)};
}

// Takes over an open descriptor; closes it when no handle can be made.
PlatFile* Wrap(int fd, const struct stat& st) {
    PlatFile* file = new (std::nothrow) PlatFile{
        fd, st.st_dev, st.st_ino, static_cast<uint64_t>(st.st_size), st.st_mode & 07777, st.st_gid,
        0, 0, -1, -1};
    if (file == nullptr) close(fd);
    return file;
}

// The process's umask, which can only be read by setting it; the program has one thread.
// Read once: nothing in the program changes it.
mode_t Umask() {
    static const mode_t mask = [] {
        const mode_t was = umask(077);
        umask(was);
        return was;
    }();
    return mask;
}

// A file's access control list, as the kernel keeps it in this extended attribute: a 4-byte
// version, then 8-byte entries of a 16-bit tag, 16-bit permission bits and a 32-bit id.
constexpr char kAccessAcl[] = "system.posix_acl_access";
constexpr size_t kAclHeaderSize = 4;
constexpr size_t kAclEntrySize = 8;
enum AclTag : uint16_t { kUserObj = 0x01, kGroupObj = 0x04, kMask = 0x10, kOther = 0x20 };

// The access ACL of an open file into *acl, empty where it has none or its file system keeps
// none. False when it cannot be read.
bool AccessAclOf(int fd, std::string* acl) {
    acl->clear();
    for (;;) {
        const ssize_t size = fgetxattr(fd, kAccessAcl, nullptr, 0);
        if (size < 0) return errno == ENODATA || errno == ENOTSUP;
        acl->resize(static_cast<size_t>(size));
        const ssize_t got = fgetxattr(fd, kAccessAcl, acl->data(), acl->size());
        if (got >= 0) {
            acl->resize(static_cast<size_t>(got));
            return true;
        }
        if (errno != ERANGE) return false;  // ERANGE: it grew meanwhile; again
    }
}

// Calls visit(tag, permission byte) for each entry of an ACL; the permissions are the low three
// bits of that byte, the rest of the entry's permission field being zero.
template <typename Acl, typename Visit>
void EachAclEntry(Acl& acl, Visit visit) {
    for (size_t at = kAclHeaderSize; at + kAclEntrySize <= acl.size(); at += kAclEntrySize) {
        const auto byte = [&](size_t k) { return static_cast<unsigned char>(acl[at + k]); };
        visit(static_cast<uint16_t>(byte(0) | byte(1) << 8), acl[at + 2]);
    }
}

// The permission bits of the entries of an ACL with the given tag, or-ed; `none` where there is none.
unsigned AclBits(const std::string& acl, uint16_t tag, unsigned none) {
    unsigned bits = 0;
    bool found = false;
    EachAclEntry(acl, [&](uint16_t t, char permissions) {
        if (t == tag) bits |= static_cast<unsigned char>(permissions) & 07u;
        found = found || t == tag;
    });
    return found ? bits : none;
}

// Gives the new file `fd` the original's access rights: `acl`, the original's ACL, exactly, or
// none where it has none (the folder's default ACL, which the file took when it was made, may let
// in people the original kept out), and otherwise `mode`. Where its group is not the original's,
// that group may do no more than everyone. Where the ACL cannot be given (a file system without
// them, a refusal), the permission bits stand for it, so that nobody may read the file who could
// not read the original: named users and groups lose their access, the owning group keeps what
// the mask left it.
bool GiveRights(int fd, const std::string& acl, mode_t mode, bool grouped) {
    if (acl.empty()) {
        if (fremovexattr(fd, kAccessAcl) != 0 && errno != ENODATA && errno != ENOTSUP) return false;
        return fchmod(fd, mode) == 0;
    }
    std::string given = acl;
    const unsigned other = AclBits(acl, kOther, 0);
    if (!grouped) {
        EachAclEntry(given, [other](uint16_t tag, char& permissions) {
            if (tag == kGroupObj) permissions = static_cast<char>(permissions & other);
        });
    }
    if (fsetxattr(fd, kAccessAcl, given.data(), given.size(), 0) == 0) return true;
    const unsigned group = AclBits(acl, kGroupObj, 0) & AclBits(acl, kMask, 07) &
                           (grouped ? 07 : other);
    return fchmod(fd, AclBits(acl, kUserObj, 0) << 6 | group << 3 | other) == 0;
}

}  // namespace

const char kPlatPathSeparator = '/';

PlatFile* PlatOpenRead(const char* path) {
    // Not blocking: opening a named pipe would otherwise wait for a writer forever.
    const int fd = open(path, O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0) return Fail(), nullptr;
    struct stat st;
    // Only a regular file can be an archive: not a folder, a pipe or a device.
    const bool stated = fstat(fd, &st) == 0;
    if (!stated || !S_ISREG(st.st_mode) || fcntl(fd, F_SETFL, 0) != 0) {
        Fail(!stated || S_ISREG(st.st_mode) ? nullptr
             : S_ISDIR(st.st_mode)          ? "it is a folder"
                                            : "not a plain file");
        close(fd);
        return nullptr;
    }
    PlatFile* file = Wrap(fd, st);
    if (file == nullptr) Fail("out of memory");
    return file;
}

PlatLockResult PlatLock(PlatFile* file) {
    bool locked = flock(file->fd, LOCK_EX | LOCK_NB) == 0;
    if (!locked && errno == EBADF) {
        // NFS takes an exclusive flock as a lock on the file's bytes, which needs a descriptor
        // open for writing: one is opened for the lock alone, and nothing is written through it.
        // Where it cannot be had (a file this user may not write), the run ends rather than go
        // on unguarded.
        const std::string self = "/proc/self/fd/" + std::to_string(file->fd);
        file->lockFd = open(self.c_str(), O_WRONLY | O_CLOEXEC | O_NONBLOCK);
        if (file->lockFd < 0) {
            Fail(errno == EACCES || errno == EPERM || errno == EROFS
                     ? "this file system locks only files this user may write, and this user may "
                       "not write it"
                     : nullptr);
            return PlatLockResult::Refused;
        }
        locked = flock(file->lockFd, LOCK_EX | LOCK_NB) == 0;
    }
    if (!locked && errno == EWOULDBLOCK) {
        Fail("another program holds a lock on it (another sort, or a reader)");
        return PlatLockResult::Held;
    }
    // ENOLCK, EINVAL, ENOTSUP: no locks on this file system, so nobody else holds one either.
    return PlatLockResult::Locked;
}

bool PlatStateOf(PlatFile* file, PlatFileState* state) {
    struct stat st;
    if (fstat(file->fd, &st) != 0) return Fail();
    *state = StateOf(st);
    return true;
}

bool PlatStateAt(const char* path, PlatFileState* state) {
    struct stat st;
    if (stat(path, &st) != 0) return false;
    *state = StateOf(st);
    return true;
}

PlatFile* PlatCreate(const char* path, PlatFile* like, const PlatFileState* leftover) {
    // A leftover is deleted, never emptied and reused: reused, it would lend the new archive the
    // owner and mode of whoever made it. Only the plain file of this one name that the caller saw
    // and checked goes: through a link, or under another name, it may be the dropped archive
    // itself or a backup, and anything else there is another program's.
    struct stat st;
    if (lstat(path, &st) == 0) {
        const bool isLike = st.st_dev == like->device && st.st_ino == like->inode;
        const PlatFileState now = StateOf(st);
        const bool isLeftover = leftover != nullptr && now.volume == leftover->volume &&
                                now.index == leftover->index && now.size == leftover->size &&
                                now.writeTime == leftover->writeTime;
        if (!S_ISREG(st.st_mode) || st.st_nlink != 1 || isLike || !isLeftover) {
            return Fail(S_ISDIR(st.st_mode) ? "a folder has its name"
                        : S_ISLNK(st.st_mode) ? "a symbolic link has its name, and is left alone"
                        : !S_ISREG(st.st_mode)
                            ? "something that is not a plain file (a pipe, a device or a socket) "
                              "has its name, and is left alone"
                        : st.st_nlink != 1 ? "a file that has other names too has its name, and "
                                             "is left alone"
                        : isLike ? "its name leads to the archive itself, and is left alone"
                                 : "another file took its name, and is left alone"),
                   nullptr;
        }
        if (unlink(path) != 0) return Fail(), nullptr;
    } else if (errno != ENOENT) {
        return Fail(), nullptr;
    }
    // Exclusive: whatever appeared in the name since (a link planted there, say) is refused, not
    // followed. Private until it has the original's group: the folder's group, which it carries
    // at first, may be one that could not read the original.
    const int fd = open(path, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (fd < 0) return Fail(errno == EEXIST ? "another file took its name, and is left alone" : nullptr),
                       nullptr;
    // The original's group where this user may give it. Where not, the folder's group stays, and
    // may do no more than everyone may: 0640 becomes 0600, 0644 stays.
    mode_t mode = like->mode & 0777 & ~Umask();
    std::string acl;
    const bool grouped = fstat(fd, &st) == 0 &&
                         (st.st_gid == like->group ||
                          fchown(fd, static_cast<uid_t>(-1), like->group) == 0);
    if (!grouped) mode &= ~070 | (mode & 07) << 3;
    if (!AccessAclOf(like->fd, &acl) || !GiveRights(fd, acl, mode, grouped) || fstat(fd, &st) != 0) {
        Fail();
        close(fd);
        unlink(path);
        return nullptr;
    }
    PlatFile* file = Wrap(fd, st);
    if (file == nullptr) {
        Fail("out of memory");
        unlink(path);
    }
    return file;
}

bool PlatFileSize(PlatFile* file, uint64_t* size) {
    *size = file->size;
    return true;
}

bool PlatReadAt(PlatFile* file, uint64_t offset, void* buf, uint32_t n, uint32_t* got) {
    *got = 0;
    char* p = static_cast<char*>(buf);
    while (*got < n) {
        const ssize_t r = pread(file->fd, p + *got, n - *got, static_cast<off_t>(offset + *got));
        if (r == 0) break;
        if (r < 0) {
            if (errno == EINTR) continue;
            *got = 0;
            return Fail();
        }
        *got += static_cast<uint32_t>(r);
    }
    return true;
}

bool PlatWrite(PlatFile* file, const void* buf, uint32_t n) {
    const char* p = static_cast<const char*>(buf);
    while (n > 0) {
        const ssize_t r = write(file->fd, p, n);
        if (r < 0 && errno == EINTR) continue;
        if (r <= 0) return Fail(r == 0 ? "nothing could be written" : nullptr);
        p += r;
        n -= static_cast<uint32_t>(r);
        Written(file, static_cast<uint64_t>(r));
    }
    return true;
}

PlatCopyResult PlatCopyRange(PlatFile* source, uint64_t offset, PlatFile* out, uint32_t n) {
    off_t from = static_cast<off_t>(offset);
    uint32_t done = 0;
    while (done < n) {
        if (PlatInterrupted()) return Fail("interrupted"), PlatCopyResult::Failed;
        // In steps, so that an interruption, which restarts the call, stops the copy soon.
        const size_t step = std::min<size_t>(n - done, kCopyStep);
        const ssize_t r = copy_file_range(source->fd, &from, out->fd, nullptr, step, 0);
        if (r < 0 && errno == EINTR) continue;
        if (r < 0 && done == 0 &&
            (errno == ENOSYS || errno == EXDEV || errno == EINVAL || errno == EOPNOTSUPP)) {
            return PlatCopyResult::Unsupported;  // some filesystems cannot; nothing was copied
        }
        if (r == 0) return PlatCopyResult::Ended;
        if (r < 0) return Fail(), PlatCopyResult::Failed;
        done += static_cast<uint32_t>(r);
        Written(out, static_cast<uint64_t>(r));
    }
    return PlatCopyResult::Copied;
}

// A flush or a close interrupted by a signal (on NFS or FUSE) is made again, not taken for a
// failure: the signals the command catches are installed with SA_RESTART too.
bool PlatFlush(PlatFile* file) {
    int r;
    while ((r = fsync(file->fd)) != 0 && errno == EINTR) {
    }
    return r == 0 || Fail();
}

namespace {

// The files of one PlatFlushTogether, taken one at a time by each of its threads.
struct Flushes {
    PlatFile* const* files;
    size_t n;
    std::atomic<size_t> next;
};

void* FlushSome(void* flushes) {
    Flushes& f = *static_cast<Flushes*>(flushes);
    for (size_t k; (k = f.next++) < f.n;) {
        int r;
        while ((r = fsync(f.files[k]->fd)) != 0 && errno == EINTR) {
        }
        f.files[k]->flushError = r == 0 ? 0 : errno;
    }
    return nullptr;
}

// Enough waits at a time for a journal to take them in one commit, few enough to cost little.
constexpr size_t kFlushThreads = 32;

}  // namespace

void PlatFlushTogether(PlatFile* const* files, size_t n) {
    for (size_t k = 0; k < n; ++k) files[k]->flushError = -1;
    Flushes flushes{files, n, {0}};
    pthread_t threads[kFlushThreads];
    size_t started = 0;
    // Where no thread can be had, this one flushes what is left alone.
    pthread_attr_t small;  // a flush needs little stack
    const bool made = pthread_attr_init(&small) == 0;
    const bool sized = made && pthread_attr_setstacksize(&small, 64u << 10) == 0;
    while (started + 1 < std::min(n, kFlushThreads) &&
           pthread_create(&threads[started], sized ? &small : nullptr, FlushSome, &flushes) == 0) {
        ++started;
    }
    if (made) pthread_attr_destroy(&small);
    FlushSome(&flushes);
    for (size_t t = 0; t < started; ++t) pthread_join(threads[t], nullptr);
}

bool PlatFlushed(PlatFile* file) {
    if (file->flushError == 0) return true;
    errno = file->flushError > 0 ? file->flushError : 0;
    return Fail(file->flushError > 0 ? nullptr : "it was never flushed");
}

bool PlatClose(PlatFile* file) {
    if (file->lockFd >= 0) close(file->lockFd);
    // Linux frees the descriptor even where close reports EINTR: it is never closed twice.
    const bool ok = close(file->fd) == 0 || errno == EINTR || Fail();
    delete file;
    return ok;
}

namespace {

// Drops the name `name` where it leads to the file `file` (lstat's device and inode), and only
// then: unlinked at once, it could take with it a file another program saved under the name since
// it was last looked at. So the name is first moved, with rename(2), onto a file of this call's
// own made in the same folder under a name nobody else uses, and that name is removed only where
// it leads to `file`; another program's file goes back to `name` by a link, which never replaces.
// True when `name` led to `file` and is gone.
bool DropName(const char* name, const struct stat& file) {
    static unsigned made = 0;
    const char* slash = strrchr(name, '/');
    const std::string parked = std::string(name, slash != nullptr ? slash + 1 - name : 0) +
                               ".tessorel-parked-" + std::to_string(getpid()) + "-" +
                               std::to_string(++made);
    const int fd = open(parked.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (fd < 0) return Fail();
    close(fd);
    if (rename(name, parked.c_str()) != 0) {
        Fail();
        unlink(parked.c_str());
        return false;
    }
    struct stat st;
    const bool isFile =
        lstat(parked.c_str(), &st) == 0 && st.st_dev == file.st_dev && st.st_ino == file.st_ino;
    if (isFile && unlink(parked.c_str()) == 0) return true;
    if (isFile) Fail();
    // Another program's file, or the name could not be dropped after all: it gets its name back,
    // or where that was taken again meanwhile, keeps the parked name.
    if (link(parked.c_str(), name) == 0) unlink(parked.c_str());
    return false;
}

}  // namespace

bool PlatRenameNoReplace(const char* from, const char* to) {
    if (renameat2(AT_FDCWD, from, AT_FDCWD, to, RENAME_NOREPLACE) == 0) return true;
    if (errno != EINVAL && errno != ENOSYS && errno != ENOTSUP) return Fail();
    // The filesystem cannot rename without replacing: a hard link refuses an existing target just
    // the same, and only once it stands is the old name dropped, while it still leads to the file
    // linked. A file system that has neither cannot rename safely at all.
    if (link(from, to) != 0) {
        return Fail(errno == EPERM || errno == ENOSYS || errno == ENOTSUP
                        ? "this file system can neither rename without replacing nor make hard links"
                        : nullptr);
    }
    struct stat linked;
    if (lstat(to, &linked) != 0) return Fail();
    if (DropName(from, linked)) return true;
    // `from` led to another file by the time it was dropped, or to none: the file linked keeps
    // `to`, and that other file `from`, as if it was saved there right after the rename.
    struct stat st;
    if (lstat(from, &st) != 0 || !(st.st_dev == linked.st_dev && st.st_ino == linked.st_ino)) {
        return true;
    }
    // `from` could not be dropped at all: the link is taken back, so that the file keeps the one
    // name it had.
    const int error = errno;
    const char* why = gWhy;
    DropName(to, linked);
    errno = error;
    return Fail(why);
}

bool PlatRemove(const char* path) { return unlink(path) == 0; }

bool PlatFlushDirectory(const char* dir, PlatFile* inIt) {
    const int fd = open(dir, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    // A folder that may be written but not listed cannot be opened: the whole file system can
    // still be flushed, its names with it.
    if (fd < 0) return errno == EACCES ? syncfs(inIt->fd) == 0 || Fail() : Fail();
    int r;
    while ((r = fsync(fd)) != 0 && errno == EINTR) {
    }
    const bool ok = r == 0 || Fail();
    close(fd);  // read only: its close loses nothing
    return ok;
}

bool PlatSetCurrentDirectory(const char* dir) { return chdir(dir) == 0 || Fail(); }

bool PlatHoldStartingDirectory() {
    gStartingDirectory = open(".", O_PATH | O_DIRECTORY | O_CLOEXEC);
    return gStartingDirectory >= 0 || Fail();
}

bool PlatReturnToStartingDirectory() { return fchdir(gStartingDirectory) == 0 || Fail(); }

bool PlatIsAbsolutePath(const char* path) { return path[0] == '/'; }

namespace {
PlatKind KindOf(mode_t mode) {
    return S_ISREG(mode) ? PlatKind::File : S_ISDIR(mode) ? PlatKind::Folder : PlatKind::Other;
}
}  // namespace

PlatKind PlatKindAt(const char* path, bool follow) {
    struct stat st;
    if ((follow ? stat(path, &st) : lstat(path, &st)) != 0) return Fail(), PlatKind::None;
    return KindOf(st.st_mode);
}

const char* PlatLongPath(const char* path, char*) { return path; }

bool PlatListFolder(const char* dir, PlatFolderEntry each, void* context) {
    const int fd = open(dir, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    DIR* folder = fd >= 0 ? fdopendir(fd) : nullptr;
    if (folder == nullptr) {
        Fail();
        if (fd >= 0) close(fd);
        return false;
    }
    bool ok = true;
    for (;;) {
        errno = 0;
        const dirent* entry = readdir(folder);
        if (entry == nullptr) {
            ok = errno == 0 || Fail();
            break;
        }
        const char* name = entry->d_name;
        if (strcmp(name, ".") == 0 || strcmp(name, "..") == 0) continue;
        // Not every file system fills d_type in; the name's own state says it then.
        struct stat st;
        const PlatKind kind = entry->d_type == DT_REG ? PlatKind::File
                              : entry->d_type == DT_DIR ? PlatKind::Folder
                              : entry->d_type != DT_UNKNOWN ? PlatKind::Other
                              : fstatat(fd, name, &st, AT_SYMLINK_NOFOLLOW) == 0 ? KindOf(st.st_mode)
                                                                                  : PlatKind::None;
        each(name, kind, context);
    }
    closedir(folder);
    return ok;
}

const char* PlatErrorText() { return gWhy != nullptr ? gWhy : strerror(gError); }

void PlatCatchInterrupts() {
    struct sigaction action = {};
    action.sa_handler = Note;
    // Restarted, so that no call of the sort fails with EINTR for a signal it only notes.
    action.sa_flags = SA_RESTART;
    sigemptyset(&action.sa_mask);
    for (const int signal : kInterruptions) {
        struct sigaction was;
        // A signal ignored from the start (nohup's SIGHUP) stays ignored.
        if (sigaction(signal, &action, &was) == 0 && was.sa_handler == SIG_IGN) {
            sigaction(signal, &was, nullptr);
        }
    }
}

bool PlatInterrupted() { return gInterruption != 0; }

void PlatEndInterrupted() {
    const int signal = gInterruption;
    struct sigaction action = {};
    action.sa_handler = SIG_DFL;
    sigemptyset(&action.sa_mask);
    sigaction(signal, &action, nullptr);
    raise(signal);
    _exit(128 + signal);  // where the signal is ignored or blocked, the status a shell would show
}

bool PlatIsLeadByte(unsigned char) { return false; }

void PlatDisplayMessage(const char* text, const char* caption) {
    std::string line = Cp932ToUtf8(caption) + ": " + Cp932ToUtf8(text) + "\n";
    fputs(line.c_str(), stderr);
}
