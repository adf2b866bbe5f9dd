// The file systems of a disk image through The Sleuth Kit (see
// tsk_volume_posix.h).
#include "image/tsk_volume_posix.h"

#include <string.h>
#include <strings.h>
#include <tsk/libtsk.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

// What The Sleuth Kit reads through: its image record first, as it wants.
struct NbdImage {
  TSK_IMG_INFO info;
  NbdDisk* disk;
};

ssize_t ReadThroughNbd(TSK_IMG_INFO* img, TSK_OFF_T offset, char* buffer, size_t length) {
  NbdDisk* disk = reinterpret_cast<NbdImage*>(img)->disk;
  if (offset < 0) return -1;
  uint64_t at = static_cast<uint64_t>(offset);
  // Its cache asks in whole blocks, the last one past the end.
  if (at >= disk->size) return 0;
  size_t count = length < disk->size - at ? length : static_cast<size_t>(disk->size - at);
  if (!ReadNbdDisk(disk, at, buffer, count)) {
    tsk_error_reset();
    tsk_error_set_errno(TSK_ERR_IMG_READ);
    tsk_error_set_errstr("the image could not be read at byte %llu", static_cast<unsigned long long>(at));
    return -1;
  }
  return static_cast<ssize_t>(count);
}

void FreeNbdImage(TSK_IMG_INFO* img) { std::free(reinterpret_cast<NbdImage*>(img)); }

void NoStatus(TSK_IMG_INFO*, FILE*) {}

const char* LibraryError() {
  const char* text = tsk_error_get();
  return text && *text ? text : "The Sleuth Kit could not read it";
}

void Say(char* why, size_t capacity, const char* text) { std::snprintf(why, capacity, "%s", text); }

// A partition whose type says it is Windows': one that cannot be opened is
// trouble, not another system's.
int WindowsPartitionType(const char* description) {
  if (!description) return 1;
  for (const char* word : {"NTFS", "FAT", "Basic data", "Microsoft", "Win95", "Hidden"})
    if (strcasestr(description, word)) return 1;
  return 0;
}

// The number Linux gives the partition: the slot of a primary one; a DOS
// logical one counts on from 5, one per extended table.
uint32_t LinuxPartitionNumber(const TSK_VS_INFO* vs, const TSK_VS_PART_INFO* part) {
  if (vs->vstype == TSK_VS_TYPE_DOS && part->table_num > 0) return 4u + static_cast<uint32_t>(part->table_num);
  return static_cast<uint32_t>(part->slot_num) + 1u;
}

int AddVolume(ImageDisk* disk, TSK_FS_INFO* fs, const char* label, uint64_t offset, const char* trouble) {
  if (disk->volumeCount >= kMaxImageVolumes) {
    if (fs) tsk_fs_close(fs);
    return 0;
  }
  ImageVolume& v = disk->volumes[disk->volumeCount++];
  std::memset(&v, 0, sizeof v);
  v.fs = fs;
  std::snprintf(v.label, sizeof v.label, "%s", label);
  v.offset = offset;
  if (fs) {
    v.ntfs = TSK_FS_TYPE_ISNTFS(fs->ftype);
    v.root = fs->root_inum;
  }
  if (trouble) std::snprintf(v.trouble, sizeof v.trouble, "%s", trouble);
  return 1;
}

int IsWindowsFileSystem(const TSK_FS_INFO* fs) { return TSK_FS_TYPE_ISNTFS(fs->ftype) || TSK_FS_TYPE_ISFAT(fs->ftype); }

// The unnamed $DATA of an NTFS file, the default stream of a FAT one; null
// when the file has none.
const TSK_FS_ATTR* UnnamedData(ImageVolume* volume, TSK_FS_FILE* file, int* reparse) {
  *reparse = 0;
  if (!volume->ntfs) return tsk_fs_file_attr_get(file);
  const TSK_FS_ATTR* data = nullptr;
  int count = tsk_fs_file_attr_getsize(file);
  for (int i = 0; i < count; ++i) {
    const TSK_FS_ATTR* a = tsk_fs_file_attr_get_idx(file, i);
    if (!a) continue;
    if (a->type == TSK_FS_ATTR_TYPE_NTFS_REPARSE) *reparse = 1;
    if (a->type == TSK_FS_ATTR_TYPE_NTFS_DATA && (!a->name || !a->name[0]) && !data) data = a;
  }
  return data;
}

// What a listing passes over: names the file system keeps for itself or
// The Sleuth Kit adds, deleted ones, and an NTFS name's 8.3 alias.
int PassedOver(const ImageVolume& volume, uint64_t folder, const TSK_FS_NAME* name) {
  if (!name->name || !name->name[0]) return 1;
  if (std::strcmp(name->name, ".") == 0 || std::strcmp(name->name, "..") == 0) return 1;
  if (name->flags & TSK_FS_NAME_FLAG_UNALLOC) return 1;
  if (name->type == TSK_FS_NAME_TYPE_VIRT || name->type == TSK_FS_NAME_TYPE_VIRT_DIR) return 1;
  if (folder == volume.root && std::strcmp(name->name, "$OrphanFiles") == 0) return 1;
  // $MFT, $LogFile, $Extend...: the records below the first a user's file
  // may have.
  if (volume.ntfs && folder == volume.root && name->name[0] == '$' && name->meta_addr < 16) return 1;
  return 0;
}

// The Sleuth Kit lists a FAT volume's label as an empty file at its root,
// "LABEL (Volume Label Entry)". A file of that name that holds anything is
// still a file (and an empty one is no worm).
int IsVolumeLabel(const ImageVolume& volume, uint64_t folder, const VolumeEntry& entry) {
  static const char kSuffix[] = " (Volume Label Entry)";
  size_t length = std::strlen(entry.name), suffix = sizeof kSuffix - 1;
  return !volume.ntfs && folder == volume.root && entry.kind == kVolumeFile && entry.size == 0 && length > suffix &&
         std::strcmp(entry.name + length - suffix, kSuffix) == 0;
}

// Fills `entry` from the opened file; null, or what is wrong with it.
const char* Describe(ImageVolume* volume, TSK_FS_FILE* file, VolumeEntry* entry) {
  if (!file || !file->meta) return LibraryError();
  const TSK_FS_META* meta = file->meta;
  if (!(meta->flags & TSK_FS_META_FLAG_ALLOC)) return "its record is marked unused";
  int reparse = 0;
  const TSK_FS_ATTR* data = meta->type == TSK_FS_META_TYPE_REG ? UnnamedData(volume, file, &reparse) : nullptr;
  if (meta->type != TSK_FS_META_TYPE_REG && volume->ntfs) UnnamedData(volume, file, &reparse);
  entry->identity = meta->addr;
  entry->size = 0;
  if (reparse || meta->type == TSK_FS_META_TYPE_LNK) {
    entry->kind = kVolumeLink;
  } else if (meta->type == TSK_FS_META_TYPE_REG) {
    entry->kind = kVolumeFile;
    entry->size = data ? static_cast<uint64_t>(data->size) : 0;
  } else if (meta->type == TSK_FS_META_TYPE_DIR) {
    entry->kind = kVolumeFolder;
  } else {
    entry->kind = kVolumeOther;
  }
  return nullptr;
}

// ListImageFolder, or only the entry named `only` when it is not null (in
// any case with `anyCase`).
int ListFolder(ImageVolume* volume, uint64_t folder, const char* only, int anyCase, ImageEntryEach each, void* context,
               char* why, size_t capacity) {
  if (!volume->fs) {
    Say(why, capacity, volume->trouble);
    return 0;
  }
  tsk_error_reset();
  TSK_FS_DIR* dir = tsk_fs_dir_open_meta(volume->fs, folder);
  if (!dir) {
    Say(why, capacity, LibraryError());
    return 0;
  }
  int result = 1;
  size_t count = tsk_fs_dir_getsize(dir);
  for (size_t i = 0; i < count && result == 1; ++i) {
    const TSK_FS_NAME* name = tsk_fs_dir_get_name(dir, i);
    if (!name || PassedOver(*volume, folder, name)) continue;
    if (only && (anyCase ? strcasecmp(only, name->name) : std::strcmp(only, name->name)) != 0) continue;
    VolumeEntry entry{name->name, kVolumeOther, 0, name->meta_addr};
    tsk_error_reset();
    TSK_FS_FILE* file = tsk_fs_dir_get(dir, i);
    const char* trouble = Describe(volume, file, &entry);
    std::string kept = trouble ? trouble : "";
    if (file) tsk_fs_file_close(file);
    if (!trouble && IsVolumeLabel(*volume, folder, entry)) continue;
    if (!each(context, entry, trouble ? kept.c_str() : nullptr)) result = -1;
  }
  tsk_fs_dir_close(dir);
  return result;
}

struct Found {
  VolumeEntry entry;
  int found;
  std::string trouble;
};

int Keep(void* context, const VolumeEntry& entry, const char* trouble) {
  Found* f = static_cast<Found*>(context);
  f->entry = entry;
  f->entry.name = nullptr;
  f->found = 1;
  if (trouble) f->trouble = trouble;
  return 0;
}

}  // namespace

int OpenImageDisk(const char* image, const char* format, ImageLocking locking, ImageDisk* disk, char* why,
                  size_t capacity) {
  std::memset(disk, 0, sizeof *disk);
  if (!OpenNbdDisk(image, format, locking, &disk->nbd, why, capacity)) return 0;
  // Zeroed, as The Sleuth Kit expects of a record it did not make; freed by
  // its close.
  NbdImage* record = static_cast<NbdImage*>(std::calloc(1, sizeof(NbdImage)));
  if (!record) {
    CloseImageDisk(disk);
    Say(why, capacity, "out of memory");
    return 0;
  }
  record->disk = &disk->nbd;
  tsk_error_reset();
  disk->img = tsk_img_open_external(record, static_cast<TSK_OFF_T>(disk->nbd.size), 512, ReadThroughNbd, FreeNbdImage,
                                    NoStatus);
  if (!disk->img) {
    std::free(record);
    std::snprintf(why, capacity, "cannot be read: %s", LibraryError());
    CloseImageDisk(disk);
    return 0;
  }
  tsk_error_reset();
  disk->vs = tsk_vs_open(disk->img, 0, TSK_VS_TYPE_DETECT);
  if (!disk->vs) {
    // No partition table: one file system on the whole disk, or nothing.
    tsk_error_reset();
    TSK_FS_INFO* fs = tsk_fs_open_img(disk->img, 0, TSK_FS_TYPE_DETECT);
    if (fs && IsWindowsFileSystem(fs)) {
      AddVolume(disk, fs, "whole disk", 0, nullptr);
    } else if (fs) {
      tsk_fs_close(fs);
    }
  } else {
    disk->mbr = disk->vs->vstype == TSK_VS_TYPE_DOS;
    for (TSK_PNUM_T i = 0; i < disk->vs->part_count; ++i) {
      const TSK_VS_PART_INFO* part = tsk_vs_part_get(disk->vs, i);
      if (!part || !(part->flags & TSK_VS_PART_FLAG_ALLOC)) continue;
      char label[kImageLabelCapacity];
      std::snprintf(label, sizeof label, "partition %u", LinuxPartitionNumber(disk->vs, part));
      uint64_t start = static_cast<uint64_t>(part->start) * disk->vs->block_size;
      tsk_error_reset();
      TSK_FS_INFO* fs = tsk_fs_open_vol(part, TSK_FS_TYPE_DETECT);
      if (fs && IsWindowsFileSystem(fs)) {
        AddVolume(disk, fs, label, start, nullptr);
      } else if (fs) {
        tsk_fs_close(fs);
      } else if (WindowsPartitionType(part->desc)) {
        std::string trouble = std::string("its file system cannot be read: ") + LibraryError();
        AddVolume(disk, nullptr, label, start, trouble.c_str());
      }
    }
  }
  if (disk->volumeCount == 0) {
    Say(why, capacity, "no Windows installation and no NTFS or FAT file system");
    CloseImageDisk(disk);
    return 0;
  }
  return 1;
}

void CloseImageDisk(ImageDisk* disk) {
  for (uint32_t i = 0; i < disk->volumeCount; ++i) {
    if (disk->volumes[i].fs) tsk_fs_close(disk->volumes[i].fs);
    disk->volumes[i].fs = nullptr;
  }
  disk->volumeCount = 0;
  if (disk->vs) tsk_vs_close(disk->vs);
  disk->vs = nullptr;
  if (disk->img) tsk_img_close(disk->img);
  disk->img = nullptr;
  CloseNbdDisk(&disk->nbd);
}

int ListImageFolder(ImageVolume* volume, uint64_t folder, ImageEntryEach each, void* context, char* why,
                    size_t capacity) {
  return ListFolder(volume, folder, nullptr, 0, each, context, why, capacity);
}

int FindImageEntries(ImageVolume* volume, uint64_t folder, const char* name, ImageEntryEach each, void* context,
                     char* why, size_t capacity) {
  return ListFolder(volume, folder, name, 1, each, context, why, capacity);
}

int64_t ReadImageFile(ImageVolume* volume, uint64_t file, uint64_t offset, void* buffer, size_t capacity) {
  if (!volume->fs) return -1;
  tsk_error_reset();
  TSK_FS_FILE* opened = tsk_fs_file_open_meta(volume->fs, nullptr, file);
  if (!opened) return -1;
  int64_t result = -1;
  VolumeEntry entry{};
  if (!Describe(volume, opened, &entry) && entry.kind == kVolumeFile) {
    int reparse = 0;
    const TSK_FS_ATTR* data = UnnamedData(volume, opened, &reparse);
    uint64_t size = data ? static_cast<uint64_t>(data->size) : 0;
    if (offset >= size) {
      result = 0;
    } else {
      size_t count = capacity < size - offset ? capacity : static_cast<size_t>(size - offset);
      ssize_t got = tsk_fs_attr_read(data, static_cast<TSK_OFF_T>(offset), static_cast<char*>(buffer), count,
                                     TSK_FS_FILE_READ_FLAG_NONE);
      // A short read is a failure: the listing said how long it is.
      result = got == static_cast<ssize_t>(count) ? static_cast<int64_t>(count) : -1;
    }
  }
  tsk_fs_file_close(opened);
  return result;
}

int LookImagePath(ImageVolume* volume, const char* path, VolumeEntry* entry, int* missing, char* why, size_t capacity) {
  *missing = 0;
  VolumeEntry at{path, kVolumeFolder, 0, volume->root};
  const char* rest = path;
  while (*rest) {
    if (at.kind != kVolumeFolder) {
      Say(why, capacity, at.kind == kVolumeLink ? "a link is on its way" : "a file is on its way");
      *missing = at.kind != kVolumeLink;
      return 0;
    }
    const char* slash = std::strchr(rest, '/');
    std::string name = slash ? std::string(rest, static_cast<size_t>(slash - rest)) : std::string(rest);
    if (name.empty()) {
      Say(why, capacity, "an empty name in the path");
      return 0;
    }
    Found found{};
    if (!ListFolder(volume, at.identity, name.c_str(), 0, Keep, &found, why, capacity)) return 0;
    if (!found.found) {
      Say(why, capacity, "it is not there");
      *missing = 1;
      return 0;
    }
    if (!found.trouble.empty()) {
      Say(why, capacity, found.trouble.c_str());
      return 0;
    }
    at = found.entry;
    at.name = rest;
    rest = slash ? slash + 1 : rest + name.size();
  }
  *entry = at;
  return 1;
}

namespace {

ImageVolume* VolumeOf(void* context) { return static_cast<ImageVolume*>(context); }

struct PortListing {
  int (*each)(void* eachContext, const VolumeEntry& entry);
  void* eachContext;
  int ended;
};

int PassOn(void* context, const VolumeEntry& entry, const char* trouble) {
  PortListing* l = static_cast<PortListing*>(context);
  // One whose record cannot be read is still told, as something never
  // read, as a mounted volume tells one it cannot stat: the rules say it,
  // and its readable neighbours (another profile) are not lost with it.
  VolumeEntry told = entry;
  if (trouble) {
    told.kind = kVolumeOther;
    told.size = 0;
  }
  if (!l->each(l->eachContext, told)) {
    l->ended = 1;
    return 0;
  }
  return 1;
}

int PortList(void* context, const char* folder, int (*each)(void* eachContext, const VolumeEntry& entry),
             void* eachContext, char* why, size_t capacity) {
  ImageVolume* volume = VolumeOf(context);
  VolumeEntry at{};
  int missing = 0;
  if (!LookImagePath(volume, folder, &at, &missing, why, capacity)) return 0;
  if (at.kind != kVolumeFolder) {
    Say(why, capacity, "it is no folder");
    return 0;
  }
  PortListing listing{each, eachContext, 0};
  return ListImageFolder(volume, at.identity, PassOn, &listing, why, capacity) != 0;
}

int PortLook(void* context, const char* path, VolumeEntry* entry, int* missing, char* why, size_t capacity) {
  return LookImagePath(VolumeOf(context), path, entry, missing, why, capacity);
}

int64_t PortRead(void* context, const char* path, uint64_t offset, void* buffer, size_t capacity) {
  ImageVolume* volume = VolumeOf(context);
  VolumeEntry at{};
  int missing = 0;
  char why[kImageTroubleCapacity];
  if (!LookImagePath(volume, path, &at, &missing, why, sizeof why) || at.kind != kVolumeFile) return -1;
  return ReadImageFile(volume, at.identity, offset, buffer, capacity);
}

int PortFetch(void* context, const char* path, int hostFd, char* why, size_t capacity) {
  ImageVolume* volume = VolumeOf(context);
  VolumeEntry at{};
  int missing = 0;
  if (!LookImagePath(volume, path, &at, &missing, why, capacity)) return 0;
  if (at.kind != kVolumeFile) {
    Say(why, capacity, "it is no regular file");
    return 0;
  }
  std::string block(1u << 20, '\0');
  uint64_t done = 0;
  while (done < at.size) {
    int64_t got = ReadImageFile(volume, at.identity, done, &block[0], block.size());
    if (got <= 0) {
      Say(why, capacity, "it cannot be read whole");
      return 0;
    }
    const char* p = block.data();
    size_t left = static_cast<size_t>(got);
    while (left) {
      ssize_t put = write(hostFd, p, left);
      if (put < 0 && errno == EINTR) continue;
      if (put <= 0) {
        Say(why, capacity, std::strerror(put == 0 ? ENOSPC : errno));
        return 0;
      }
      p += put;
      left -= static_cast<size_t>(put);
    }
    done += static_cast<uint64_t>(got);
  }
  return 1;
}

}  // namespace

void ImageVolumePort(ImageVolume* volume, OfflineVolumePort* port) {
  *port = OfflineVolumePort{volume, PortList, PortLook, PortRead, PortFetch, nullptr, nullptr, nullptr};
}
