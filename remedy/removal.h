// Taking a detected worm file off the disk: deleted now, or registered for
// deletion at the next restart when it cannot be deleted now (Win32).
#pragma once

// Clears the file's attributes and deletes it. Non-zero when the file is
// removed: 1 when deleted now, otherwise the non-zero result of registering
// its deletion for the next restart. 0 when it stays. A path whose ANSI form
// cannot name the file (characters outside the code page) is removed through
// its full wide path.
int RemoveFile(const char* path);
