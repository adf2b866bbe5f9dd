// Folders and files this tool writes on the host: the quarantine and backup
// folders, the JSON output, the backup copies and the manifest. A folder is
// trusted when it is no link, is owned by the running user and nobody else
// may write to it (so no one else can swap what is inside); a file is always
// created new, never through a link, and never truncates one it did not
// create. POSIX.
#pragma once
#include <cstddef>

#include "sys/owned_fd_posix.h"

// Opens `path` as a trusted folder, creating it (mode 0700, parents too)
// when missing. `*created` says whether this call made it. 1 on success;
// 0 with a reason in `why` (a fixed text) or errno.
int OpenTrustedFolder(const char* path, OwnedFd* folder, int* created, const char** why);

// The folder's descriptor is trusted: 1, else 0 with a reason in `why`.
int IsTrustedFolder(int folderFd, const char** why);

// Creates `name` in `folderFd` (AT_FDCWD: a path), open for reading and
// writing: a new file,
// never through a link. 1 on success; 0 with errno (EEXIST when something
// is there already).
int CreateNewFile(int folderFd, const char* name, int mode, OwnedFd* file);

// The --json output: "-" is standard output (a descriptor of its own), any
// other path a new regular file, never through a link, opened without
// waiting. 1 on success; 0 with errno (EEXIST when something is there).
int OpenOutputStream(const char* path, OwnedStream* stream);

// This host's own folder for what the tool keeps between runs (the
// quarantine key, the hives' backups): the folder of QUELLIX_SCAN_KEY when
// it names one, /var/lib/quellix-scan for root, else $XDG_STATE_HOME (or
// ~/.local/state) /quellix-scan. 1 when there is one and it fit.
int HostStateFolder(char* out, size_t capacity);
