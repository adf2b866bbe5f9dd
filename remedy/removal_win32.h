// Taking a detected worm file off the disk: deleted now, or registered for
// deletion at the next restart when it cannot be deleted now (Win32).
#pragma once
#include "engine/file_identity.h"

enum : int { kRemovedNow = 1, kRemovedAtRestart = 2 };

// Clears the file's attributes and deletes it. Non-zero when the file is
// removed: kRemovedNow when deleted now, kRemovedAtRestart when its deletion
// is registered for the next restart. 0 when it stays. A path whose ANSI form
// cannot name the file (characters outside the code page) is removed through
// its full wide path.
int RemoveFile(const char* path);

// RemoveFile for a file that a check identified: the file is removed only
// when the file that `path` names now is the one that was checked and no
// component of the path is a reparse point; otherwise 0 and nothing happens.
// Where the system allows, the file is deleted through the very handle whose
// identity was compared. With `identity` null or unknown the path alone is
// trusted, as on Windows 9x, which gives no identity and has no links.
int RemoveIdentifiedFile(const char* path, const FileIdentity* identity);

// 1 when the path, or a directory on the way to it, is a reparse point (a
// junction, mount point or directory link) as far as the system tells. A
// path of MAX_PATH characters or more is checked through its wide "\\?\"
// form; where that cannot be done (Windows 9x, a relative path, a directory
// whose attributes cannot be read) the answer is 1, so callers refuse.
int PathCrossesReparsePoint(const char* path);
