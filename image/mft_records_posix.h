// The records of an NTFS volume's MFT, read in record order by The Sleuth
// Kit straight from the device or image file the volume lives on: one
// sequential read where a folder-by-folder walk costs a seek per folder.
// Each record in use comes with its names (8.3 aliases left out: they
// name the same file again), each name's parent folder by record and
// sequence number, the size of its unnamed data and its named data streams.
// Read only. POSIX.
#pragma once
#include <cstddef>
#include <cstdint>

struct TSK_IMG_INFO;
struct TSK_FS_INFO;
struct TSK_FS_FILE;

enum : uint32_t {
  kMftRootRecord = 5,
  // Records below this one are the file system's own ($MFT, $Extend...).
  kMftFirstUserRecord = 16,
  kMaxMftNames = 1024,    // hard links of one record; more ends the listing
  kMaxMftStreams = 256,   // named streams of one record; likewise
  kMftTroubleCapacity = 256,
};

struct MftVolume {
  TSK_IMG_INFO* img;  // owned
  TSK_FS_INFO* fs;    // owned
  uint64_t bytes;     // the file system's size
  uint64_t records;   // records the MFT has room for
};

// Opens the NTFS file system that starts at byte 0 of `device` (a block
// device, a regular file, or /proc/self/fd/N). 0 with the reason in `why`
// when it cannot be read or holds no NTFS file system.
int OpenMftVolume(const char* device, MftVolume* volume, char* why, size_t capacity);
void CloseMftVolume(MftVolume* volume);

struct MftName {
  const char* name;  // UTF-8
  uint64_t parent;
  uint32_t parentSequence;
};

struct MftStream {
  const char* name;  // UTF-8, never empty
  uint64_t size;
  uint16_t id;       // the attribute's, for ReadMftStream
};

struct MftRecord {
  uint64_t record;
  uint32_t sequence;
  int folder;
  int reparse;      // a reparse point: a link or junction, never followed
  uint64_t size;    // of the unnamed data (0 without one)
  const MftName* names;
  uint32_t nameCount;
  const MftStream* streams;
  uint32_t streamCount;
};

// Calls `each` for every record in use, in record order, until it returns
// 0. 1 when every record was seen, -1 when `each` ended it, 0 with the
// reason in `why` when the MFT could not be read through (a record the
// library rejects ends the listing: what it held cannot be told).
typedef int (*MftRecordEach)(void* context, const MftRecord& record);
int WalkMftRecords(MftVolume* volume, MftRecordEach each, void* context, char* why, size_t capacity);

// Up to `capacity` bytes of the named stream `id` of `record` from
// `offset`: the count read, or -1.
int64_t ReadMftStream(MftVolume* volume, uint64_t record, uint16_t id, uint64_t offset, void* buffer,
                      size_t capacity);
