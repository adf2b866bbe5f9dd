// The format an image is opened as (see image_layers_posix.h).
#include "sys/image_layers_posix.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "sys/image_format.h"
#include "sys/owned_fd_posix.h"
#include "sys/regular_file_posix.h"

int ReadImageHead(const char* path, unsigned char* head, size_t* length, char* why, size_t capacity) {
  // A regular file only: a FIFO would hold the open, a device is no image.
  OwnedFd file;
  struct stat st;
  char reason[128];
  if (!OpenRegularFile(path, O_RDONLY, 0, &file, &st, reason, sizeof reason)) {
    snprintf(why, capacity, "cannot be read: %s", reason);
    return 0;
  }
  ssize_t got = pread(file.get(), head, kImageHeadSize, 0);
  if (got < 0) {
    snprintf(why, capacity, "cannot be read: %s", strerror(errno));
    return 0;
  }
  *length = static_cast<size_t>(got);
  return 1;
}

int ImageLayersAgree(const char* image, const unsigned char* head, size_t length, char* why, size_t capacity) {
  std::string above = image;
  unsigned char layer[kImageHeadSize];
  memcpy(layer, head, length);
  for (int depth = 0; depth < 16; ++depth) {
    char file[kImageBackingNameCapacity], stated[32];
    if (!ImageBackingFile(layer, length, file, sizeof file, stated, sizeof stated)) return 1;
    std::string path = file[0] == '/' ? std::string(file) : above.substr(0, above.rfind('/') + 1) + file;
    char reason[512];
    if (!ReadImageHead(path.c_str(), layer, &length, reason, sizeof reason)) {
      snprintf(why, capacity, "its backing file %s %s", path.c_str(), reason);
      return 0;
    }
    const char* format = ImageFormatOf(path.c_str(), stated, 1, layer, length, reason, sizeof reason);
    if (!format) {
      snprintf(why, capacity, "its backing file %s: %s", path.c_str(), reason);
      return 0;
    }
    if (strcmp(format, "qcow2") != 0) return 1;
    above = path;
  }
  snprintf(why, capacity, "%s", "its backing files go more than 16 deep");
  return 0;
}

const char* ChooseImageFormat(const char* image, const char* given, int allowBackingFile, char* canonical,
                              size_t canonicalCapacity, char* why, size_t capacity) {
  unsigned char head[kImageHeadSize];
  size_t length = 0;
  if (!ReadImageHead(image, head, &length, why, capacity)) return nullptr;
  char formatWhy[512] = "";
  const char* format = ImageFormatOf(image, given, allowBackingFile, head, length, formatWhy, sizeof formatWhy);
  if (!format) {
    snprintf(why, capacity, "%s", formatWhy);
    return nullptr;
  }
  char resolved[PATH_MAX];
  if (!realpath(image, resolved)) {
    snprintf(why, capacity, "cannot be read: %s", strerror(errno));
    return nullptr;
  }
  if (snprintf(canonical, canonicalCapacity, "%s", resolved) >= static_cast<int>(canonicalCapacity)) {
    snprintf(why, capacity, "%s", "its name is too long");
    return nullptr;
  }
  // Only a qcow2 the person's format opens has layers: a raw image's
  // bytes are the guest's, and nothing they name is looked at.
  if (strcmp(format, "qcow2") == 0 && !ImageLayersAgree(canonical, head, length, why, capacity)) return nullptr;
  return format;
}
