// A quarantine folder and a restore target in memory (see memory_quarantine.h).
#include "remedy/testing/memory_quarantine.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

namespace {

struct MemoryFile {
  std::string name;
  size_t at;
};

MemoryFolder* Of(void* context) { return static_cast<MemoryFolder*>(context); }
MemoryFile* FileOf(void* file) { return static_cast<MemoryFile*>(file); }

int Open(void* context, const char* name, QuarantineOpen how, void** file) {
  MemoryFolder* f = Of(context);
  auto there = f->files.find(name);
  if (how == kOpenNew && there != f->files.end()) return f->reason = "File exists", 0;
  if (how == kOpenRead && there == f->files.end()) return f->reason = "No such file", 0;
  if (there == f->files.end()) f->files[name] = "";
  *file = new MemoryFile{name, 0};
  return 1;
}

int Read(void* context, void* file, void* data, size_t capacity, size_t* got) {
  const std::string& bytes = Of(context)->files[FileOf(file)->name];
  size_t& at = FileOf(file)->at;
  *got = at < bytes.size() ? std::min(capacity, bytes.size() - at) : 0;
  memcpy(data, bytes.data() + at, *got);
  at += *got;
  return 1;
}

int Write(void* context, void* file, const void* data, size_t length) {
  MemoryFolder* f = Of(context);
  if (f->failWritesTo && FileOf(file)->name == kQuarantineManifestName) {
    f->files[FileOf(file)->name].append(static_cast<const char*>(data), length / 2);  // half of it got there
    return f->reason = "No space left on device", 0;
  }
  f->files[FileOf(file)->name].append(static_cast<const char*>(data), length);
  return 1;
}

int Rewind(void*, void* file) { return FileOf(file)->at = 0, 1; }
int Size(void* context, void* file, uint64_t* size) { return *size = Of(context)->files[FileOf(file)->name].size(), 1; }
int Truncate(void* context, void* file, uint64_t size) { return Of(context)->files[FileOf(file)->name].resize(size), 1; }
int Flush(void*, void*) { return 1; }
int Close(void*, void* file, int) { return delete FileOf(file), 1; }
int Exists(void* context, const char* name) { return Of(context)->files.count(name) ? 1 : 0; }

int Rename(void* context, const char* from, const char* to) {
  MemoryFolder* f = Of(context);
  if (f->files.count(to)) return f->reason = "File exists", 0;
  f->files[to] = f->files[from];
  f->files.erase(from);
  return 1;
}

int Remove(void* context, const char* name) { return Of(context)->files.erase(name) ? 1 : 0; }
void Reason(void* context, char* out, size_t capacity) { snprintf(out, capacity, "%s", Of(context)->reason.c_str()); }
void Now(void*, char out[32]) { snprintf(out, 32, "%s", "2026-12-09T12:00:00Z"); }
void Noise(void* context, unsigned char* out, size_t count) { memset(out, ++Of(context)->noise, count); }

}  // namespace

QuarantineFolderPort MemoryFolderPort(MemoryFolder* folder) {
  return QuarantineFolderPort{folder, Open, Read, Write, Rewind, Size, Truncate, Flush, Close, Exists, Rename, Remove,
                              Reason, Now, Noise};
}

namespace {

int OriginalRead(void* context, void* data, size_t capacity, size_t* got) {
  MemoryOriginal* o = static_cast<MemoryOriginal*>(context);
  *got = std::min(capacity, o->bytes.size() - o->at);
  memcpy(data, o->bytes.data() + o->at, *got);
  o->at += *got;
  return 1;
}

QuarantineOutcome OriginalRemove(void* context, char*, size_t) {
  static_cast<MemoryOriginal*>(context)->removed = 1;
  return kQuarantineDone;
}

void OriginalReason(void*, char* out, size_t capacity) { snprintf(out, capacity, "%s", "read error"); }

RestoreOutcome TargetBegin(void* context, const QuarantineRecord& record, const RestorePlace& place, int force,
                           char* shown, size_t capacity) {
  MemoryTarget* t = static_cast<MemoryTarget*>(context);
  t->pending = std::string(place.image ? std::string(place.image) + ":" : "") + place.root + "|" + record.relative;
  snprintf(shown, capacity, "%s", t->pending.c_str());
  if (t->failing.count(t->pending)) return kRestoreFailed;
  if (!force && t->written.count(t->pending)) return kRestoreExists;
  t->bytes.clear();
  t->begun += 1;
  return kRestoreDone;
}

int TargetWrite(void* context, const void* data, size_t length) {
  static_cast<MemoryTarget*>(context)->bytes.append(static_cast<const char*>(data), length);
  return 1;
}

RestoreOutcome TargetFinish(void* context, const QuarantineRecord&, int) {
  MemoryTarget* t = static_cast<MemoryTarget*>(context);
  t->written[t->pending] = t->bytes;
  return kRestoreDone;
}

void TargetAbandon(void*) {}
void TargetReason(void*, char* out, size_t capacity) { snprintf(out, capacity, "%s", "no room"); }

}  // namespace

RestoreTargetPort MemoryTargetPort(MemoryTarget* t) {
  return RestoreTargetPort{t, TargetBegin, TargetWrite, TargetFinish, TargetAbandon, TargetReason};
}

const unsigned char kMemoryKey[kQuarantineKeySize] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10};

QuarantineOutcome QuarantineIntoMemory(MemoryFolder* folder, const std::string& root, const std::string& relative,
                                       const std::string& bytes, std::string* why, MemoryOriginal* taken) {
  QuarantineStore store;
  char reason[kQuarantineReasonCapacity] = "";
  if (!OpenQuarantineStore(MemoryFolderPort(folder), kMemoryKey, &store, reason, sizeof reason)) {
    CloseQuarantineStore(&store);
    if (why) *why = reason;
    return kQuarantineFailed;
  }
  static QuarantineRecord record;
  ClearQuarantineRecord(&record);
  snprintf(record.path, sizeof record.path, "%s/%s", root.c_str(), relative.c_str());
  snprintf(record.root, sizeof record.root, "%s", root.c_str());
  snprintf(record.relative, sizeof record.relative, "%s", relative.c_str());
  snprintf(record.detection, sizeof record.detection, "%s", "Worm.Test");
  record.size = bytes.size();
  MemoryOriginal original;
  original.bytes = bytes;
  QuarantineOutcome outcome = QuarantineOne(
      &store, &record, QuarantineOriginal{&original, OriginalRead, OriginalRemove, OriginalReason}, reason,
      sizeof reason);
  CloseQuarantineStore(&store);
  if (why) *why = reason;
  if (taken) *taken = original;
  return outcome;
}

