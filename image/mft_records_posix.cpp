// The records of an NTFS volume's MFT through The Sleuth Kit (see
// mft_records_posix.h).
#include "image/mft_records_posix.h"

#include <tsk/libtsk.h>

#include <cstdio>
#include <cstring>
#include <vector>

namespace {

const char* LibraryError() {
  const char* text = tsk_error_get();
  return text && *text ? text : "The Sleuth Kit could not read it";
}

struct RecordWalk {
  MftRecordEach each;
  void* context;
  std::vector<MftName> names;
  std::vector<MftStream> streams;
  char trouble[kMftTroubleCapacity];
  int ended;  // by `each`
};

// 0 with `trouble` set when the record holds more than this listing keeps.
int Describe(RecordWalk* walk, TSK_FS_FILE* file, MftRecord* out) {
  const TSK_FS_META* meta = file->meta;
  walk->names.clear();
  walk->streams.clear();
  out->record = meta->addr;
  out->sequence = meta->seq;
  out->folder = meta->type == TSK_FS_META_TYPE_DIR;
  out->reparse = 0;
  out->size = 0;
  for (const TSK_FS_META_NAME_LIST* n = meta->name2; n; n = n->next) {
    // The library keeps a name in a fixed field: one that fills it may have
    // been cut, and a cut name is another file's.
    size_t length = strnlen(n->name, sizeof n->name);
    if (length + 1 >= sizeof n->name || walk->names.size() >= kMaxMftNames) {
      std::snprintf(walk->trouble, sizeof walk->trouble, "record %llu has a name or names longer than it reads",
                    static_cast<unsigned long long>(meta->addr));
      return 0;
    }
    if (length) walk->names.push_back(MftName{n->name, n->par_inode, n->par_seq});
  }
  int count = tsk_fs_file_attr_getsize(file);
  int unnamedSeen = 0;
  for (int i = 0; i < count; ++i) {
    const TSK_FS_ATTR* a = tsk_fs_file_attr_get_idx(file, i);
    if (!a) continue;
    if (a->type == TSK_FS_ATTR_TYPE_NTFS_REPARSE) out->reparse = 1;
    if (a->type != TSK_FS_ATTR_TYPE_NTFS_DATA) continue;
    if (!a->name || !a->name[0]) {
      if (!unnamedSeen) out->size = static_cast<uint64_t>(a->size);
      unnamedSeen = 1;
    } else if (walk->streams.size() < kMaxMftStreams) {
      walk->streams.push_back(MftStream{a->name, static_cast<uint64_t>(a->size), a->id});
    } else {
      std::snprintf(walk->trouble, sizeof walk->trouble, "record %llu has more streams than it reads",
                    static_cast<unsigned long long>(meta->addr));
      return 0;
    }
  }
  out->names = walk->names.data();
  out->nameCount = static_cast<uint32_t>(walk->names.size());
  out->streams = walk->streams.data();
  out->streamCount = static_cast<uint32_t>(walk->streams.size());
  return 1;
}

TSK_WALK_RET_ENUM OnRecord(TSK_FS_FILE* file, void* context) {
  RecordWalk* walk = static_cast<RecordWalk*>(context);
  if (!file || !file->meta) return TSK_WALK_CONT;
  const TSK_FS_META* meta = file->meta;
  // What the library makes up ($OrphanFiles) is no record.
  if (meta->type != TSK_FS_META_TYPE_REG && meta->type != TSK_FS_META_TYPE_DIR) return TSK_WALK_CONT;
  if (!(meta->flags & TSK_FS_META_FLAG_ALLOC)) return TSK_WALK_CONT;
  MftRecord record;
  if (!Describe(walk, file, &record)) return TSK_WALK_ERROR;
  if (!walk->each(walk->context, record)) {
    walk->ended = 1;
    return TSK_WALK_STOP;
  }
  return TSK_WALK_CONT;
}

}  // namespace

int OpenMftVolume(const char* device, MftVolume* volume, char* why, size_t capacity) {
  std::memset(volume, 0, sizeof *volume);
  tsk_error_reset();
  volume->img = tsk_img_open_sing(device, TSK_IMG_TYPE_RAW, 0);
  if (!volume->img) {
    std::snprintf(why, capacity, "its device cannot be read: %s", LibraryError());
    return 0;
  }
  tsk_error_reset();
  volume->fs = tsk_fs_open_img(volume->img, 0, TSK_FS_TYPE_NTFS);
  if (!volume->fs) {
    std::snprintf(why, capacity, "its device holds no NTFS file system the reader accepts: %s", LibraryError());
    CloseMftVolume(volume);
    return 0;
  }
  volume->bytes = static_cast<uint64_t>(volume->fs->block_count) * volume->fs->block_size;
  volume->records = static_cast<uint64_t>(volume->fs->last_inum);
  return 1;
}

void CloseMftVolume(MftVolume* volume) {
  if (volume->fs) tsk_fs_close(volume->fs);
  if (volume->img) tsk_img_close(volume->img);
  volume->fs = nullptr;
  volume->img = nullptr;
}

int WalkMftRecords(MftVolume* volume, MftRecordEach each, void* context, char* why, size_t capacity) {
  RecordWalk walk{each, context, {}, {}, "", 0};
  tsk_error_reset();
  uint8_t failed = tsk_fs_meta_walk(volume->fs, volume->fs->first_inum, volume->fs->last_inum,
                                    TSK_FS_META_FLAG_ALLOC, OnRecord, &walk);
  if (walk.ended) return -1;
  if (failed || walk.trouble[0]) {
    std::snprintf(why, capacity, "its MFT could not be read through: %s",
                  walk.trouble[0] ? walk.trouble : LibraryError());
    return 0;
  }
  return 1;
}

int64_t ReadMftStream(MftVolume* volume, uint64_t record, uint16_t id, uint64_t offset, void* buffer,
                      size_t capacity) {
  tsk_error_reset();
  TSK_FS_FILE* file = tsk_fs_file_open_meta(volume->fs, nullptr, record);
  if (!file) return -1;
  ssize_t got = tsk_fs_file_read_type(file, TSK_FS_ATTR_TYPE_NTFS_DATA, id, static_cast<TSK_OFF_T>(offset),
                                      static_cast<char*>(buffer), capacity, TSK_FS_FILE_READ_FLAG_NONE);
  tsk_fs_file_close(file);
  return got < 0 ? -1 : static_cast<int64_t>(got);
}
