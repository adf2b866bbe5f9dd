// The walker's error texts. This file is compiled with the execution
// character set CP936, so the Chinese text is held as code-page-936 bytes
// whatever the interface language; the others are ASCII.
#include "walker/file_list_win32.h"

const char kOpenedAlreadyFormat[] = "Opened already(%s)!";
const char kWalkOutOfMemory[] = "内存不够!";
const char kFindFirstFailure[] = "findfirst failure,maybe memory not enough!";
const char kFileListNotOpen[] = "file list not open!";
