// A Landlock sandbox for a child that must change files only beneath one
// directory: it may create, write, rename and remove regular files,
// directories and symbolic links there, create no device node, FIFO or
// socket anywhere, and read everything.
#pragma once

// The Landlock ABI the kernel offers: 1 or more, 0 when the kernel has none
// (ENOSYS, EOPNOTSUPP), -1 with errno on any other failure (EPERM where a
// seccomp profile forbids the call).
int landlock_abi();

// Confines the calling process (and what it execs) to writing beneath the
// directory `dir_fd`, with the rights of `abi`; 0, or -1 on failure.
int confine_writes_to(int dir_fd, int abi);
