/* recordfs.c: a file system in user space that passes the calls a sort makes through to a backing
 * folder and records, in call order, every call that changes what a power cut could keep: creating,
 * writing, truncating, renaming, linking and unlinking files, and each flush of a file or a folder.
 *
 * Usage: recordfs BACKING LOG MOUNTPOINT [FUSE options]
 * LOG gets one line per call, of fixed fields: "KIND INO OFFSET LENGTH AT FROM TO", where KIND is
 * create, write (LENGTH bytes at OFFSET, which stand at AT in LOG.data), truncate (to OFFSET),
 * rename, link (FROM to TO), unlink, fsync or fsyncdir, and a name not given is "-". INO is the
 * backing file's inode number; names are paths below the mount point, without the leading slash
 * ("." for the root). Each call is recorded before it is answered. Returns once the file system is
 * mounted (exit status 0) or could not be (1), and serves it from the background, one call at a
 * time, until it is unmounted. */
#define FUSE_USE_VERSION 31
#define _GNU_SOURCE
#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <fuse.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

static int backing = -1;
static FILE* logFile;
static FILE* dataFile;

static const char* Rel(const char* path) { return path[1] == '\0' ? "." : path + 1; }

/* One line of fixed fields: KIND INO OFFSET LENGTH AT FROM TO, "-" for a name not given. */
static void Note(const char* kind, unsigned long long ino, long long offset, long long length,
                 long at, const char* from, const char* to) {
    fprintf(logFile, "%s %llu %lld %lld %ld %s %s\n", kind, ino, offset, length, at,
            from ? from : "-", to ? to : "-");
    fflush(logFile);
}

static unsigned long long InodeOf(int fd) {
    struct stat st;
    return fstat(fd, &st) == 0 ? (unsigned long long)st.st_ino : 0;
}

static int Result(int r) { return r < 0 ? -errno : r; }

static void* Init(struct fuse_conn_info* conn, struct fuse_config* cfg) {
    (void)conn;
    /* Nothing cached: every call reaches this process, in the order the program made it. */
    cfg->entry_timeout = 0;
    cfg->attr_timeout = 0;
    cfg->negative_timeout = 0;
    cfg->direct_io = 1;
    return NULL;
}

static int GetAttr(const char* path, struct stat* st, struct fuse_file_info* fi) {
    if (fi != NULL) return Result(fstat((int)fi->fh, st));
    return Result(fstatat(backing, Rel(path), st, AT_SYMLINK_NOFOLLOW));
}

static int Open(const char* path, struct fuse_file_info* fi) {
    const int fd = openat(backing, Rel(path), fi->flags & ~O_CREAT);
    if (fd < 0) return -errno;
    fi->fh = (uint64_t)fd;
    if (fi->flags & O_TRUNC) Note("truncate", InodeOf(fd), 0, 0, 0, NULL, NULL);
    return 0;
}

static int Create(const char* path, mode_t mode, struct fuse_file_info* fi) {
    const int fd = openat(backing, Rel(path), fi->flags | O_CREAT, mode);
    if (fd < 0) return -errno;
    fi->fh = (uint64_t)fd;
    Note("create", InodeOf(fd), 0, 0, 0, Rel(path), NULL);
    return 0;
}

static int Read(const char* path, char* buf, size_t n, off_t offset, struct fuse_file_info* fi) {
    (void)path;
    return Result((int)pread((int)fi->fh, buf, n, offset));
}

static int Write(const char* path, const char* buf, size_t n, off_t offset,
                 struct fuse_file_info* fi) {
    (void)path;
    const ssize_t r = pwrite((int)fi->fh, buf, n, offset);
    if (r < 0) return -errno;
    const long at = ftell(dataFile);
    fwrite(buf, 1, (size_t)r, dataFile);
    fflush(dataFile);
    Note("write", InodeOf((int)fi->fh), (long long)offset, (long long)r, at, NULL, NULL);
    return (int)r;
}

static int Truncate(const char* path, off_t size, struct fuse_file_info* fi) {
    int fd = fi != NULL ? (int)fi->fh : openat(backing, Rel(path), O_WRONLY);
    if (fd < 0) return -errno;
    const int r = ftruncate(fd, size);
    if (r == 0) Note("truncate", InodeOf(fd), (long long)size, 0, 0, NULL, NULL);
    const int error = errno;
    if (fi == NULL) close(fd);
    return r < 0 ? -error : 0;
}

static int Release(const char* path, struct fuse_file_info* fi) {
    (void)path;
    close((int)fi->fh);
    return 0;
}

static int Fsync(const char* path, int dataOnly, struct fuse_file_info* fi) {
    (void)path;
    const int r = dataOnly ? fdatasync((int)fi->fh) : fsync((int)fi->fh);
    if (r == 0) Note("fsync", InodeOf((int)fi->fh), 0, 0, 0, NULL, NULL);
    return Result(r);
}

static int FsyncDir(const char* path, int dataOnly, struct fuse_file_info* fi) {
    (void)dataOnly, (void)fi;
    const int fd = openat(backing, Rel(path), O_RDONLY | O_DIRECTORY);
    if (fd < 0) return -errno;
    const int r = fsync(fd);
    const int error = errno;
    close(fd);
    if (r == 0) Note("fsyncdir", 0, 0, 0, 0, Rel(path), NULL);
    return r < 0 ? -error : 0;
}

static int Rename(const char* from, const char* to, unsigned int flags) {
    const int r = renameat2(backing, Rel(from), backing, Rel(to), flags);
    if (r == 0) Note("rename", 0, 0, 0, 0, Rel(from), Rel(to));
    return Result(r);
}

static int Link(const char* from, const char* to) {
    const int r = linkat(backing, Rel(from), backing, Rel(to), 0);
    if (r == 0) Note("link", 0, 0, 0, 0, Rel(from), Rel(to));
    return Result(r);
}

static int Unlink(const char* path) {
    const int r = unlinkat(backing, Rel(path), 0);
    if (r == 0) Note("unlink", 0, 0, 0, 0, Rel(path), NULL);
    return Result(r);
}

static int Chmod(const char* path, mode_t mode, struct fuse_file_info* fi) {
    if (fi != NULL) return Result(fchmod((int)fi->fh, mode));
    return Result(fchmodat(backing, Rel(path), mode, 0));
}

static int Chown(const char* path, uid_t uid, gid_t gid, struct fuse_file_info* fi) {
    if (fi != NULL) return Result(fchown((int)fi->fh, uid, gid));
    return Result(fchownat(backing, Rel(path), uid, gid, AT_SYMLINK_NOFOLLOW));
}

/* A folder's names, for a walk of it; nothing recorded, as listing changes nothing. */
static int ReadDir(const char* path, void* buf, fuse_fill_dir_t fill, off_t offset,
                   struct fuse_file_info* fi, enum fuse_readdir_flags flags) {
    (void)offset, (void)fi, (void)flags;
    const int fd = openat(backing, Rel(path), O_RDONLY | O_DIRECTORY);
    DIR* folder = fd < 0 ? NULL : fdopendir(fd);
    if (folder == NULL) {
        const int error = errno;
        if (fd >= 0) close(fd);
        return -error;
    }
    for (struct dirent* entry; (entry = readdir(folder)) != NULL;) fill(buf, entry->d_name, NULL, 0, 0);
    closedir(folder);
    return 0;
}

static const struct fuse_operations kOperations = {
    .getattr = GetAttr,
    .unlink = Unlink,
    .rename = Rename,
    .link = Link,
    .chmod = Chmod,
    .chown = Chown,
    .truncate = Truncate,
    .open = Open,
    .read = Read,
    .write = Write,
    .release = Release,
    .fsync = Fsync,
    .fsyncdir = FsyncDir,
    .readdir = ReadDir,
    .init = Init,
    .create = Create,
};

int main(int argc, char** argv) {
    if (argc < 4) {
        fprintf(stderr, "usage: recordfs BACKING LOG MOUNTPOINT [FUSE options]\n");
        return 2;
    }
    backing = open(argv[1], O_RDONLY | O_DIRECTORY);
    char dataName[4096];
    snprintf(dataName, sizeof dataName, "%s.data", argv[2]);
    logFile = fopen(argv[2], "w");
    dataFile = fopen(dataName, "wb");
    if (backing < 0 || logFile == NULL || dataFile == NULL) {
        perror("recordfs");
        return 1;
    }
    /* FUSE sees the mount point and its own options, and runs single-threaded. */
    char* fuseArgs[64];
    int n = 0;
    fuseArgs[n++] = argv[0];
    fuseArgs[n++] = argv[3];
    fuseArgs[n++] = "-s";
    for (int i = 4; i < argc && n < 63; ++i) fuseArgs[n++] = argv[i];
    fuseArgs[n] = NULL;
    return fuse_main(n, fuseArgs, &kOperations, NULL);
}
