// A file named by the person that must be a regular file: --log, --json,
// --image, an image a quarantine line names. Opened without waiting: a FIFO
// or a device would otherwise hold the open (or the first write) until
// someone came to its other end, and no signal would end the wait. POSIX.
#pragma once
#include <sys/stat.h>
#include <sys/types.h>

#include <cstddef>
#include <cstdint>

#include "sys/owned_fd_posix.h"

// Opens `path` with `flags` (O_NONBLOCK, O_NOCTTY and O_CLOEXEC added;
// `mode` for O_CREAT), refuses what is no regular file, then clears
// O_NONBLOCK. 1 with the descriptor in `file` and its status in `st`; 0
// with the reason in `why` ("it is not a regular file", "it is a symbolic
// link" under O_NOFOLLOW, else the system's) and errno kept.
int OpenRegularFile(const char* path, int flags, mode_t mode, OwnedFd* file, struct stat* st, char* why,
                    size_t capacity);

// Writes all `length` bytes to `fd`, going on after an interrupted call.
// 0 with errno (ENOSPC when the file system took nothing).
int WriteAllBytes(int fd, const void* data, size_t length);

// Appends the first `size` bytes of `from` (read by offset) to `to`. 0 with
// errno (EIO when `from` is shorter than `size`).
int CopyFileBytes(int from, uint64_t size, int to);
