// FileList: the breadth-first directory walk (see file_list_win32.h).
#include "walker/file_list_win32.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>

namespace {

// Bounded copy that always terminates the destination.
void CopyText(char* destination, size_t capacity, const char* source) {
  size_t length = strnlen(source, capacity - 1);
  memcpy(destination, source, length);
  destination[length] = '\0';
}

int32_t FileTimeToSeconds(const FILETIME& utc) {
  if (utc.dwLowDateTime == 0 && utc.dwHighDateTime == 0) return -1;
  FILETIME local;
  SYSTEMTIME calendar;
  if (!FileTimeToLocalFileTime(&utc, &local) || !FileTimeToSystemTime(&local, &calendar)) return -1;
  ULARGE_INTEGER utcTicks, localTicks;
  utcTicks.LowPart = utc.dwLowDateTime;
  utcTicks.HighPart = utc.dwHighDateTime;
  localTicks.LowPart = local.dwLowDateTime;
  localTicks.HighPart = local.dwHighDateTime;
  // The bias FileTimeToLocalFileTime applied, so the way back is exact.
  int64_t bias = (static_cast<int64_t>(utcTicks.QuadPart) - static_cast<int64_t>(localTicks.QuadPart)) / 10000000;
  CalendarTime time = {calendar.wYear, calendar.wMonth, calendar.wDay,
                       calendar.wHour, calendar.wMinute, calendar.wSecond};
  return LocalCalendarToSeconds(time, bias);
}

void FillFindRecord(const WIN32_FIND_DATAA& data, FindRecord* record) {
  record->attributes = data.dwFileAttributes == FILE_ATTRIBUTE_NORMAL ? 0 : data.dwFileAttributes;
  record->creationTime = FileTimeToSeconds(data.ftCreationTime);
  record->lastAccessTime = FileTimeToSeconds(data.ftLastAccessTime);
  record->lastWriteTime = FileTimeToSeconds(data.ftLastWriteTime);
  record->size = data.nFileSizeLow;
  record->sizeHigh = data.nFileSizeHigh;
  static_assert(sizeof record->name == sizeof data.cFileName, "name buffers differ");
  CopyText(record->name, sizeof record->name, data.cFileName);
}

char* CopyToHeap(const char* text, size_t length, size_t extra) {
  char* copy = static_cast<char*>(malloc(length + extra + 1));
  if (copy) {
    memcpy(copy, text, length);
    copy[length] = '\0';
  }
  return copy;
}

// Directories already walked, by volume serial number and file index: a link
// back to an ancestor (or two links to one directory) must not walk a tree
// again. Open addressing over a table that doubles when half full.
struct VisitedDirectories {
  uint64_t* slots;  // pairs: volume, file index + 1 (0 marks a free slot)
  size_t capacity;  // pairs
  size_t count;
};

size_t SlotOf(uint64_t volume, uint64_t file, size_t capacity) {
  uint64_t h = (volume * 0x9E3779B97F4A7C15ull) ^ (file * 0xC2B2AE3D27D4EB4Full);
  return static_cast<size_t>(h ^ (h >> 29)) & (capacity - 1);
}

// 1 when added, 0 when it was there already, -1 when memory ran out.
int AddVisited(VisitedDirectories* set, uint64_t volume, uint64_t file) {
  if (2 * (set->count + 1) > set->capacity) {
    size_t capacity = set->capacity ? set->capacity * 2 : 256;
    uint64_t* slots = static_cast<uint64_t*>(calloc(capacity, 2 * sizeof(uint64_t)));
    if (!slots) return -1;
    for (size_t i = 0; i < set->capacity; ++i) {
      if (!set->slots[2 * i + 1]) continue;
      size_t at = SlotOf(set->slots[2 * i], set->slots[2 * i + 1], capacity);
      while (slots[2 * at + 1]) at = (at + 1) & (capacity - 1);
      slots[2 * at] = set->slots[2 * i];
      slots[2 * at + 1] = set->slots[2 * i + 1];
    }
    free(set->slots);
    set->slots = slots;
    set->capacity = capacity;
  }
  uint64_t key = file + 1;
  size_t at = SlotOf(volume, key, set->capacity);
  while (set->slots[2 * at + 1]) {
    if (set->slots[2 * at] == volume && set->slots[2 * at + 1] == key) return 0;
    at = (at + 1) & (set->capacity - 1);
  }
  set->slots[2 * at] = volume;
  set->slots[2 * at + 1] = key;
  ++set->count;
  return 1;
}

// Identity of the current directory. 0 where the system names none: Windows
// 9x cannot open a directory, and has no links either.
int IdentifyCurrentDirectory(uint64_t* volume, uint64_t* file) {
  if (GetVersion() & 0x80000000u) return 0;
  HANDLE directory = CreateFileA(".", 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                 OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  if (directory == INVALID_HANDLE_VALUE) return 0;
  BY_HANDLE_FILE_INFORMATION information;
  int known = GetFileInformationByHandle(directory, &information) &&
              (information.nFileIndexHigh || information.nFileIndexLow);
  CloseHandle(directory);
  if (!known) return 0;
  *volume = information.dwVolumeSerialNumber;
  *file = static_cast<uint64_t>(information.nFileIndexHigh) << 32 | information.nFileIndexLow;
  return 1;
}

// Search failures that say the system ran short, unlike an empty, vanished
// or forbidden directory, which is skipped.
bool IsShortOfMemory(DWORD error) {
  return error == ERROR_NOT_ENOUGH_MEMORY || error == ERROR_OUTOFMEMORY ||
         error == ERROR_NO_SYSTEM_RESOURCES;
}

}  // namespace

void ReleaseFileEntry(void* item) {
  FileEntry* entry = static_cast<FileEntry*>(item);
  if (!entry) return;
  if (entry->directory && --entry->directory->referenceCount <= 0) free(entry->directory);
  free(entry->name);
  free(entry);
}

FileList::FileList() : open_(0), results_(nullptr), callback_(nullptr), callbackContext_(nullptr) {
  errorText_[0] = '\0';
  root_[0] = '\0';
}

FileList::~FileList() { delete results_; }

void FileList::SetError(const char* text) { CopyText(errorText_, sizeof errorText_, text); }

int FileList::Open(const char* root, int recursive, const char* pattern, FileFoundCallback callback,
                   void* context) {
  char saved[MAX_PATH + 1];
  DWORD savedLength = GetCurrentDirectoryA(sizeof saved, saved);
  const bool haveSaved = savedLength > 0 && savedLength < sizeof saved;

  if (open_) {
    snprintf(errorText_, sizeof errorText_, kOpenedAlreadyFormat, root_);
    return 0;
  }
  results_ = new (std::nothrow) CursorList(ReleaseFileEntry);
  if (!results_) {
    SetError(kMemoryNotEnough);
    return 0;
  }
  CopyText(root_, sizeof root_, root);
  callback_ = callback;
  callbackContext_ = context;

  int walked = Walk(root, recursive, pattern);
  if (walked) {
    if (!results_->IsEmpty()) results_->Rewind();
    open_ = 1;
  } else {
    delete results_;
    results_ = nullptr;
    root_[0] = '\0';
    callback_ = nullptr;
  }
  if (haveSaved) SetCurrentDirectoryA(saved);
  return walked;
}

int FileList::Close() {
  if (!open_) {
    SetError(kFileListNotOpen);
    return 0;
  }
  delete results_;
  results_ = nullptr;
  root_[0] = '\0';
  errorText_[0] = '\0';
  open_ = 0;
  callback_ = nullptr;
  return 1;
}

int FileList::Walk(const char* root, int recursive, const char* pattern) {
  // Every name is accepted whatever the pattern.
  (void)pattern;
  CursorList queue(ReleaseBlock);
  DirectoryRecord* record = nullptr;
  HANDLE search = INVALID_HANDLE_VALUE;
  FindRecord found;
  WIN32_FIND_DATAA data;
  VisitedDirectories visited = {nullptr, 0, 0};
  int result = 0;

  size_t rootLength = strlen(root);
  char* first = CopyToHeap(root, rootLength, 1);
  if (!first) {
    SetError(kWalkOutOfMemory);
    goto out;
  }
  if (rootLength == 0 || first[rootLength - 1] != '\\') {
    first[rootLength] = '\\';
    first[rootLength + 1] = '\0';
  }
  if (!queue.InsertAfterCursor(first)) {
    free(first);
    SetError(kWalkOutOfMemory);
    goto out;
  }

  while (!queue.IsEmpty()) {
    queue.Rewind();
    char* path = static_cast<char*>(queue.RemoveAtCursor());
    size_t pathLength = strlen(path);
    // A path that a DirectoryRecord cannot hold is skipped like one that cannot be entered.
    if (pathLength >= kDirectoryPathCapacity || !SetCurrentDirectoryA(path)) {
      free(path);
      continue;
    }
    uint64_t volume = 0, fileIndex = 0;
    if (IdentifyCurrentDirectory(&volume, &fileIndex)) {
      int added = AddVisited(&visited, volume, fileIndex);
      if (added < 0) {
        free(path);
        SetError(kWalkOutOfMemory);
        goto out;
      }
      // Reached again through a link the attributes did not reveal.
      if (added == 0) {
        free(path);
        continue;
      }
    }
    record = static_cast<DirectoryRecord*>(malloc(sizeof(DirectoryRecord)));
    if (!record) {
      free(path);
      SetError(kWalkOutOfMemory);
      goto out;
    }
    record->referenceCount = 0;
    memcpy(record->path, path, pathLength + 1);
    free(path);

    search = FindFirstFileA("*", &data);
    if (search == INVALID_HANDLE_VALUE) {
      DWORD error = GetLastError();
      free(record);
      record = nullptr;
      if (IsShortOfMemory(error)) {
        SetError(kFindFirstFailure);
        goto out;
      }
      // Entered but not listable (or empty): the rest of the tree still counts.
      continue;
    }
    do {
      size_t nameLength = strnlen(data.cFileName, sizeof data.cFileName);
      if (!(data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)) {
        if (callback_) {
          FillFindRecord(data, &found);
          if (!callback_(callbackContext_, record->path, &found)) goto out;
        } else if (nameLength <= kCollectedNameLimit) {
          FileEntry* entry = static_cast<FileEntry*>(malloc(sizeof(FileEntry)));
          char* name = entry ? CopyToHeap(data.cFileName, nameLength, 0) : nullptr;
          if (!name) {
            free(entry);
            SetError(kWalkOutOfMemory);
            goto out;
          }
          entry->directory = record;
          entry->name = name;
          ++record->referenceCount;
          if (!results_->PushBack(entry)) {
            --record->referenceCount;
            free(name);
            free(entry);
            SetError(kWalkOutOfMemory);
            goto out;
          }
        }
      } else if (recursive) {
        if (strcmp(data.cFileName, ".") == 0 || strcmp(data.cFileName, "..") == 0) continue;
        // Junctions, mount points and directory links lead out of the tree:
        // to another volume, a share, or back to an ancestor.
        if (data.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) continue;
        if (memchr(data.cFileName, '\\', nameLength)) continue;
        size_t recordLength = strlen(record->path);
        // A queued path, trailing backslash included, has at most 258 characters.
        if (recordLength + nameLength + 2 >= kDirectoryPathCapacity) continue;
        char* subdirectory = CopyToHeap(record->path, recordLength, nameLength + 1);
        if (!subdirectory) {
          SetError(kWalkOutOfMemory);
          goto out;
        }
        memcpy(subdirectory + recordLength, data.cFileName, nameLength);
        subdirectory[recordLength + nameLength] = '\\';
        subdirectory[recordLength + nameLength + 1] = '\0';
        if (!queue.PushBack(subdirectory)) {
          free(subdirectory);
          SetError(kWalkOutOfMemory);
          goto out;
        }
      }
    } while (FindNextFileA(search, &data));
    // Any error while stepping counts as the end of the directory.
    FindClose(search);
    search = INVALID_HANDLE_VALUE;
    if (record->referenceCount == 0) free(record);
    record = nullptr;
  }
  result = 1;

out:
  if (search != INVALID_HANDLE_VALUE) FindClose(search);
  // Collected entries release their record with the result list.
  if (record && record->referenceCount == 0) free(record);
  free(visited.slots);
  return result;
}
