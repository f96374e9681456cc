// syscall_shim.h: system calls of the real POSIX layer made to fail as some kernels and file systems
// make them fail, through the linker's --wrap; see tests/CMakeLists.txt.
#pragma once

// Sets which calls fail, as a comma-separated list of CALL=ERRNO:
//   renameat2=E, copy_file_range=E, fsync=E, fchown=E, chdir=E, fsetxattr=E, link=E,
//   iconv_open=E                    every call fails with E (any errno's name: EINVAL, EIO, ...)
//   fsync-directory=E               every fsync of a directory fails with E
//   write=SHORT, copy_file_range=SHORT  every call moves at most half the bytes asked for
//   pread=E, write=E, copy_file_range=E  with EINTR, each call is first interrupted, then goes
//                                   through; with another error, every call fails
//   unlink-after-link=E             the first unlink after the first successful link fails with E
//   unlink=PLANT                    each name a successful unlink frees becomes at once a second
//                                   name of the file "kept" in the same folder
//   open-directory=E                every open of a directory for reading fails with E
//   open-path=E                     every open with O_PATH fails with E
//   open=SQUEEZE                    a path of PATH_MAX bytes or more, which Linux refuses, is opened
//                                   with each run of '/' in it made one, as a system without that
//                                   limit would find the file
//   fsync=SAVE                      before each fsync of a file, another program saves the file
//                                   last opened for reading alone: its last write time moves on
//   flock=NFS                       an exclusive flock of a descriptor not open for writing fails
//                                   with EBADF, as on NFS
//   xattr=E                         every fgetxattr and fremovexattr fails with E (EOPNOTSUPP: a file
//                                   system without extended attributes)
//   open-write=E                    every open for writing alone, without O_CREAT, fails with E
//   link=SAVE                       after each successful link, another program saves the file
//                                   under the link's old name anew (a file renamed over it)
//   copy_file_range=END             every in-kernel copy finds the source ended (it shrank)
//   CALL=SIGNAME                    the signal (SIGTERM, ...) is raised once, before the first CALL
//                                   (a copy_file_range is then interrupted by it)
// The empty list lets every call through. At start-up the list comes from TESSOREL_SYSCALLS.
// False when the list cannot be understood.
bool SetSyscallFaults(const char* plan);

// How many calls failed as set since the last SetSyscallFaults.
int SyscallFaultsMade();

// The permission bits of the file that the last fchown was asked to give a group, as they were
// then (0 when none was asked since the last SetSyscallFaults).
unsigned SyscallModeAtFchown();

// The folder whose names the last flush of a directory was for, as the system names it, or
// "(its file system)" where the whole file system was flushed instead (syncfs); "" for none since
// the last SetSyscallFaults.
const char* SyscallFlushedFolder();
