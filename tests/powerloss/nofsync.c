/* nofsync.c: a preloaded library under which fsync and fdatasync do nothing and report success, as
 * a disk or a layer that drops flushes would; the power-loss test must catch a program run so. */
int fsync(int fd) {
    (void)fd;
    return 0;
}

int fdatasync(int fd) {
    (void)fd;
    return 0;
}
