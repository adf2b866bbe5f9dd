// FileList: the breadth-first directory walk (see file_list_win32.h).
#include "walker/file_list_win32.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "sys/handle_win32.h"
#include "walker/cursor_list.h"
#include "walker/visited_set.h"

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

// Identity of the current directory. 0 where the system names none: Windows
// 9x cannot open a directory, and has no links either.
int IdentifyCurrentDirectory(uint64_t* volume, uint64_t* file) {
  if (GetVersion() & 0x80000000u) return 0;
  OwnedHandle directory(CreateFileA(".", 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                    OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr));
  if (!directory.valid()) return 0;
  BY_HANDLE_FILE_INFORMATION information;
  if (!GetFileInformationByHandle(directory.get(), &information) ||
      !(information.nFileIndexHigh || information.nFileIndexLow))
    return 0;
  *volume = information.dwVolumeSerialNumber;
  *file = static_cast<uint64_t>(information.nFileIndexHigh) << 32 | information.nFileIndexLow;
  return 1;
}

// Search failures that say the system ran short: reported like any other,
// and remembered in the error text.
bool IsShortOfMemory(DWORD error) {
  return error == ERROR_NOT_ENOUGH_MEMORY || error == ERROR_OUTOFMEMORY ||
         error == ERROR_NO_SYSTEM_RESOURCES;
}

// A search that found nothing at all: a drive root lists no "." or "..".
// Any other directory lists at least ".", so there it is a listing that failed.
bool IsEmptyListing(DWORD error) { return error == ERROR_FILE_NOT_FOUND || error == ERROR_NO_MORE_FILES; }

// Tells the visitor of a directory it could not walk: the first `length`
// characters of `path`, without the trailing backslash except at a drive
// root ("C:\"). The buffer is the caller's and is left as it was.
int ReportUnreadable(const WalkVisitor& visitor, char* path, size_t length, DWORD error) {
  if (!visitor.unreadable) return 1;
  if (length > 0 && path[length - 1] == '\\' && !(length == 3 && path[1] == ':')) --length;
  char kept = path[length];
  path[length] = '\0';
  int goOn = visitor.unreadable(visitor.context, path, error);
  path[length] = kept;
  return goOn;
}

}  // namespace

uint32_t (*FileListFaultForTesting)(const char* directory) = nullptr;

FileList::FileList() : open_(0) {
  errorText_[0] = '\0';
  root_[0] = '\0';
}

void FileList::SetError(const char* text) { CopyText(errorText_, sizeof errorText_, text); }

int FileList::Open(const char* root, int recursive, const WalkVisitor& visitor) {
  char saved[MAX_PATH + 1];
  DWORD savedLength = GetCurrentDirectoryA(sizeof saved, saved);
  const bool haveSaved = savedLength > 0 && savedLength < sizeof saved;

  if (open_) {
    snprintf(errorText_, sizeof errorText_, kOpenedAlreadyFormat, root_);
    return 0;
  }
  CopyText(root_, sizeof root_, root);
  int walked = Walk(root, recursive, visitor);
  if (walked)
    open_ = 1;
  else
    root_[0] = '\0';
  if (haveSaved) SetCurrentDirectoryA(saved);
  return walked;
}

int FileList::Close() {
  if (!open_) {
    SetError(kFileListNotOpen);
    return 0;
  }
  root_[0] = '\0';
  errorText_[0] = '\0';
  open_ = 0;
  return 1;
}

int FileList::Walk(const char* root, int recursive, const WalkVisitor& visitor) {
  CursorList queue(ReleaseBlock);
  OwnedFind search;
  FindRecord found;
  WIN32_FIND_DATAA data;
  // By volume serial number and file index: a link back to an ancestor (or
  // two links to one directory) must not walk a tree again.
  VisitedSet visited;
  InitVisitedSet(&visited);
  // The directory being listed, ending in a backslash, then the file's name.
  char path[kDirectoryPathCapacity + kFindNameCapacity];
  int result = 0;

  size_t rootLength = strlen(root);
  char* first = CopyToHeap(root, rootLength, 1);
  if (first && (rootLength == 0 || first[rootLength - 1] != '\\')) {
    first[rootLength] = '\\';
    first[rootLength + 1] = '\0';
  }
  if (first && !queue.InsertAfterCursor(first)) {
    free(first);
    first = nullptr;
  }
  if (!first) {
    // Nothing of the tree is walked: the caller hears of the root.
    SetError(kWalkOutOfMemory);
    if (visitor.unreadable && !visitor.unreadable(visitor.context, root, ERROR_NOT_ENOUGH_MEMORY)) goto out;
    result = 1;
    goto out;
  }

  for (bool atRoot = true; !queue.IsEmpty(); atRoot = false) {
    queue.Rewind();
    char* pending = static_cast<char*>(queue.RemoveAtCursor());
    size_t directoryLength = strlen(pending);
    bool entered = false;
    DWORD error = ERROR_FILENAME_EXCED_RANGE;
    if (directoryLength < kDirectoryPathCapacity) {
      entered = SetCurrentDirectoryA(pending) != 0;
      error = entered ? ERROR_SUCCESS : GetLastError();
    }
    int goOn = entered ? 1 : ReportUnreadable(visitor, pending, directoryLength, error);
    if (entered) memcpy(path, pending, directoryLength + 1);
    free(pending);
    if (!goOn) goto out;
    if (!entered) continue;

    uint64_t volume = 0, fileIndex = 0;
    if (IdentifyCurrentDirectory(&volume, &fileIndex)) {
      int added = AddToVisitedSet(&visited, volume, fileIndex);
      if (added < 0) {
        // Walked already or not cannot be told: left out, and said so.
        SetError(kWalkOutOfMemory);
        if (!ReportUnreadable(visitor, path, directoryLength, ERROR_NOT_ENOUGH_MEMORY)) goto out;
        continue;
      }
      // Reached again through a link the attributes did not reveal.
      if (added == 0) continue;
    }

    {
      uint32_t fault = FileListFaultForTesting ? FileListFaultForTesting(path) : 0;
      if (fault) {
        SetLastError(fault);
      } else {
        search.reset(FindFirstFileA("*", &data));
      }
    }
    if (!search.valid()) {
      // A shortage of memory or handles ends no walk: this directory is
      // reported with the system's reason and the others are walked.
      DWORD searchError = GetLastError();
      if (IsShortOfMemory(searchError)) SetError(kFindFirstFailure);
      if (!(atRoot && IsEmptyListing(searchError)) && !ReportUnreadable(visitor, path, directoryLength, searchError))
        goto out;
      continue;
    }
    do {
      size_t nameLength = strnlen(data.cFileName, sizeof data.cFileName);
      if (!(data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)) {
        FillFindRecord(data, &found);
        memcpy(path + directoryLength, data.cFileName, nameLength);
        path[directoryLength + nameLength] = '\0';
        uint64_t size = static_cast<uint64_t>(data.nFileSizeHigh) << 32 | data.nFileSizeLow;
        WalkEntry entry = {path, directoryLength, path + directoryLength, size, &found};
        int wanted = visitor.file(visitor.context, &entry);
        path[directoryLength] = '\0';
        if (!wanted) goto out;
      } else if (recursive) {
        if (strcmp(data.cFileName, ".") == 0 || strcmp(data.cFileName, "..") == 0) continue;
        // Junctions, mount points and directory links lead out of the tree:
        // to another volume, a share, or back to an ancestor.
        if (data.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) continue;
        if (memchr(data.cFileName, '\\', nameLength)) continue;
        // A queued path, trailing backslash included, has at most 258 characters.
        if (directoryLength + nameLength + 2 >= kDirectoryPathCapacity) {
          memcpy(path + directoryLength, data.cFileName, nameLength);
          int goOnAfter = ReportUnreadable(visitor, path, directoryLength + nameLength, ERROR_FILENAME_EXCED_RANGE);
          path[directoryLength] = '\0';
          if (!goOnAfter) goto out;
          continue;
        }
        char* subdirectory = CopyToHeap(path, directoryLength, nameLength + 1);
        if (subdirectory) {
          memcpy(subdirectory + directoryLength, data.cFileName, nameLength);
          subdirectory[directoryLength + nameLength] = '\\';
          subdirectory[directoryLength + nameLength + 1] = '\0';
          if (!queue.PushBack(subdirectory)) {
            free(subdirectory);
            subdirectory = nullptr;
          }
        }
        if (!subdirectory) {
          // The subdirectory is not walked; the rest of the tree still is.
          SetError(kWalkOutOfMemory);
          memcpy(path + directoryLength, data.cFileName, nameLength);
          int goOnAfter = ReportUnreadable(visitor, path, directoryLength + nameLength, ERROR_NOT_ENOUGH_MEMORY);
          path[directoryLength] = '\0';
          if (!goOnAfter) goto out;
        }
      }
    } while (FindNextFileA(search.get(), &data));
    {
      // Anything but the end of the listing is a directory not wholly listed.
      DWORD stepError = GetLastError();
      search.reset();
      if (stepError != ERROR_NO_MORE_FILES && !ReportUnreadable(visitor, path, directoryLength, stepError)) goto out;
    }
  }
  result = 1;

out:
  FreeVisitedSet(&visited);
  return result;
}
