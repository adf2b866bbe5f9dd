// The quarantine of every scanner (see quarantine.h).
#include "remedy/quarantine.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "remedy/json_lines.h"
#include "remedy/offline_windows.h"

const char kQuarantineManifestName[] = "manifest.jsonl";
const char kQuarantineMarkerName[] = ".quellix-quarantine";
const char kQuarantineOldMarkerName[] = "quellix-quarantine.mark";

namespace {

// Every copy starts with this header, so that no copy has the size of what
// it holds: a later scan of a tree holding the quarantine finds nothing in it.
const char kCopyHeader[16] = {'Q', 'U', 'E', 'L', 'L', 'I', 'X', '-', 'C', 'O', 'P', 'Y', '-', '1', '\n', 0};

enum : uint32_t {
  kCopyBlock = 65536,
  kLineCapacity = kQuarantineTextCapacity * 4 * 6 + 4096,
  kMaxManifestBytes = 1u << 30,
};

// The MAC closes every line written since format 3: `,"mac":"<hex>"}`.
const char kMacKey[] = ",\"mac\":\"";

void Say(char* why, size_t capacity, const char* text) {
  if (capacity) snprintf(why, capacity, "%s", text);
}

void SayWithCause(char* why, size_t capacity, const char* text, const char* cause) {
  if (capacity) snprintf(why, capacity, "%s: %s", text, cause);
}

void FolderReason(const QuarantineFolderPort& folder, char* out, size_t capacity) {
  if (!capacity) return;
  out[0] = 0;
  folder.reason(folder.context, out, capacity);
  if (!out[0]) snprintf(out, capacity, "%s", "failed");
}

void MacHex(const unsigned char key[kQuarantineKeySize], const char* text, size_t length, char hex[kSha256HexSize]) {
  unsigned char mac[kSha256DigestSize];
  HmacSha256(key, kQuarantineKeySize, text, length, mac);
  Sha256Hex(mac, hex);
}

int IsHexDigest(const char* text) { return strlen(text) == 64 && strspn(text, "0123456789abcdef") == 64; }

// Constant time: a forger learns nothing from how long a refusal takes.
int SameText(const char* a, const char* b, size_t length) {
  unsigned char differ = 0;
  for (size_t i = 0; i < length; ++i) differ |= static_cast<unsigned char>(a[i] ^ b[i]);
  return differ == 0;
}

// The line's MAC is this host's: it ends in `,"mac":"<hex>"}` and the hex is
// the MAC of everything before `,"mac"` under `key`.
int ProvenLine(const char* line, size_t length, const unsigned char* key) {
  if (!key) return 0;
  while (length && (line[length - 1] == '\n' || line[length - 1] == '\r')) --length;
  const size_t tail = sizeof kMacKey - 1 + 64 + 2;  // `,"mac":"` hex `"}`
  if (length < tail + 1) return 0;
  size_t at = length - tail;
  if (memcmp(line + at, kMacKey, sizeof kMacKey - 1) != 0 || line[length - 2] != '"' || line[length - 1] != '}')
    return 0;
  char expected[kSha256HexSize];
  MacHex(key, line, at, expected);
  return SameText(expected, line + at + sizeof kMacKey - 1, 64);
}

// Ends a line with its MAC (when keyed) and "}\n".
int SealLine(JsonLine* line, const unsigned char* key) {
  if (!key) return EndJsonLine(line);
  if (line->overflow) return 0;
  char hex[kSha256HexSize];
  MacHex(key, line->text, line->length, hex);
  AddJsonString(line, "mac", hex);
  return EndJsonLine(line);
}

// Each part of a '/'-separated path: not empty, not "." or "..", no NUL.
int IsPlainRelative(const char* relative) {
  if (!*relative) return 0;
  const char* p = relative;
  for (;;) {
    const char* end = strchr(p, '/');
    size_t n = end ? static_cast<size_t>(end - p) : strlen(p);
    if (n == 0 || (n == 1 && p[0] == '.') || (n == 2 && p[0] == '.' && p[1] == '.')) return 0;
    if (!end) return 1;
    p = end + 1;
  }
}

// Copies what `read` gives into `write` (null: hashing only), at most
// `limit` bytes, hashing them; `copied` counts them. 0 on a failed call.
struct Reader {
  int (*read)(void* context, void* file, void* data, size_t capacity, size_t* got);
  void* context;
  void* file;
};

int OriginalRead(void* context, void*, void* data, size_t capacity, size_t* got) {
  const QuarantineOriginal* original = static_cast<const QuarantineOriginal*>(context);
  return original->read(original->context, data, capacity, got);
}

struct Writer {
  int (*write)(void* context, void* file, const void* data, size_t length);
  void* context;
  void* file;
};

int TargetWrite(void* context, void*, const void* data, size_t length) {
  const RestoreTargetPort* target = static_cast<const RestoreTargetPort*>(context);
  return target->write(target->context, data, length);
}

enum CopyResult : uint32_t { kCopyReadFailed = 0, kCopyWriteFailed = 1, kCopyDone = 2 };

// The one copy loop: quarantining (original to copy) and restoring (copy to
// its place) alike, hashing what passes.
CopyResult CopyHashing(const Reader& from, const Writer* to, uint64_t limit, unsigned char digest[kSha256DigestSize],
                       uint64_t* copied) {
  static unsigned char block[kCopyBlock];
  Sha256State sha;
  BeginSha256(&sha);
  *copied = 0;
  while (*copied < limit) {
    size_t want = limit - *copied < sizeof block ? static_cast<size_t>(limit - *copied) : sizeof block;
    size_t got = 0;
    if (!from.read(from.context, from.file, block, want, &got)) return kCopyReadFailed;
    if (got == 0) break;
    if (got > want) return kCopyReadFailed;
    AddSha256(&sha, block, got);
    if (to && !to->write(to->context, to->file, block, got)) return kCopyWriteFailed;
    *copied += got;
  }
  EndSha256(&sha, digest);
  return kCopyDone;
}

// Reads the whole of `name` (the manifest) into a new buffer whose lines
// each end in a terminator instead of a newline.
int ReadWhole(const QuarantineFolderPort& folder, const char* name, char** text, size_t* length, char* why,
              size_t capacity) {
  *text = nullptr;
  *length = 0;
  void* file = nullptr;
  if (!folder.open(folder.context, name, kOpenRead, &file)) {
    char cause[kQuarantineReasonCapacity];
    FolderReason(folder, cause, sizeof cause);
    SayWithCause(why, capacity, "its manifest cannot be read", cause);
    return 0;
  }
  uint64_t size = 0;
  int ok = folder.size(folder.context, file, &size);
  if (ok && size > kMaxManifestBytes) {
    folder.close(folder.context, file, 0);
    Say(why, capacity, "its manifest is larger than 1 GiB");
    return 0;
  }
  char* buffer = ok ? static_cast<char*>(malloc(static_cast<size_t>(size) + 1)) : nullptr;
  size_t have = 0;
  while (buffer && have < size) {
    size_t got = 0;
    if (!folder.read(folder.context, file, buffer + have, static_cast<size_t>(size) - have, &got) || got == 0) break;
    have += got;
  }
  char cause[kQuarantineReasonCapacity] = "";
  if (buffer && have < size) FolderReason(folder, cause, sizeof cause);
  folder.close(folder.context, file, 0);
  if (!buffer || have < size) {
    free(buffer);
    SayWithCause(why, capacity, "its manifest cannot be read", cause[0] ? cause : "it changed while read");
    return 0;
  }
  for (size_t i = 0; i < have; ++i)
    if (buffer[i] == '\n') buffer[i] = 0;
  buffer[have] = 0;
  *text = buffer;
  *length = have;
  return 1;
}

// The next line of the text from `*at` (blank ones skipped). 0 at the end.
int NextLine(const char* text, size_t length, size_t* at, const char** line, size_t* lineLength) {
  while (*at < length && (text[*at] == 0 || text[*at] == '\r')) ++*at;
  if (*at >= length) return 0;
  *line = text + *at;
  *lineLength = strlen(*line);
  *at += *lineLength + 1;
  return 1;
}

int CompareIds(const void* a, const void* b) {
  return strcmp(*static_cast<char* const*>(a), *static_cast<char* const*>(b));
}

void FreeRestoredIds(QuarantineStore* store) {
  for (size_t i = 0; i < store->restoredCount; ++i) free(store->restoredIds[i]);
  free(store->restoredIds);
  store->restoredIds = nullptr;
  store->restoredCount = 0;
}

int IsRestored(const QuarantineStore& store, const char* id) {
  if (!id[0] || !store.restoredCount) return 0;
  const char* key = id;
  return bsearch(&key, store.restoredIds, store.restoredCount, sizeof(char*), CompareIds) != nullptr;
}

// Write-ahead: the line is on the disk before what it records happens. A
// line that did not get there whole is cut off again, so that the next one
// starts on a line of its own.
int AppendLine(QuarantineStore* store, const JsonLine& line, char* why, size_t capacity) {
  const QuarantineFolderPort& folder = store->folder;
  uint64_t before = 0;
  if (folder.size(folder.context, store->manifest, &before) &&
      folder.write(folder.context, store->manifest, line.text, line.length) &&
      folder.flush(folder.context, store->manifest))
    return 1;
  FolderReason(folder, why, capacity);
  folder.truncate(folder.context, store->manifest, before);
  return 0;
}

void InitStore(QuarantineStore* store, const QuarantineFolderPort& folder) {
  memset(store, 0, sizeof *store);
  store->folder = folder;
}

// The run's name: the time and a few unpredictable bytes, so that partial
// names and ids never meet another run's.
void NameRun(QuarantineStore* store) {
  char now[32] = "";
  store->folder.utcNow(store->folder.context, now);
  unsigned char noise[4] = {0, 0, 0, 0};
  store->folder.randomBytes(store->folder.context, noise, sizeof noise);
  char compact[32];
  size_t n = 0;
  for (const char* c = now; *c && n + 1 < sizeof compact; ++c)
    if (*c != '-' && *c != ':') compact[n++] = *c;
  compact[n] = 0;
  snprintf(store->run, sizeof store->run, "%s-%02x%02x%02x%02x", compact, noise[0], noise[1], noise[2], noise[3]);
}

int HasMarker(const QuarantineFolderPort& folder) {
  return folder.exists(folder.context, kQuarantineMarkerName) ||
         folder.exists(folder.context, kQuarantineOldMarkerName);
}

}  // namespace

const char* RestoreOutcomeWord(RestoreOutcome outcome) {
  switch (outcome) {
    case kRestoreDone: return "restored";
    case kRestoreExists: return "exists";
    case kRestoreBadCopy: return "damaged copy";
    case kRestoreAlready: return "already restored";
    case kRestoreFailed: break;
  }
  return "failed";
}

void ClearQuarantineRecord(QuarantineRecord* record) { memset(record, 0, sizeof *record); }

int ReadQuarantineLine(const char* line, size_t length, const unsigned char* key, QuarantineRecord* r) {
  ClearQuarantineRecord(r);
  if (length == 0 || memchr(line, 0, length) || line[length] != 0) return 0;
  int64_t number = 0;
  if (FindJsonNumber(line, "v", &number)) {
    if (number != kQuarantineFormat) return 0;
    r->format = static_cast<int>(kQuarantineFormat);
  } else if (FindJsonNumber(line, "format", &number)) {
    if (number != 2) return 0;
    r->format = 2;
  } else {
    r->format = FindJsonString(line, "root", r->root, sizeof r->root) ? 1 : 0;
  }
  if (!FindJsonString(line, "sha256", r->sha256, sizeof r->sha256) || !IsHexDigest(r->sha256)) return 0;
  if (!FindJsonNumber(line, "size", &number) || number < 0) return 0;
  r->size = static_cast<uint64_t>(number);
  FindJsonString(line, "path", r->path, sizeof r->path);
  FindJsonString(line, "detection", r->detection, sizeof r->detection);
  FindJsonString(line, "quarantined", r->when, sizeof r->when);
  FindJsonString(line, "id", r->id, sizeof r->id);
  FindJsonString(line, "run", r->run, sizeof r->run);
  FindJsonString(line, "image", r->image, sizeof r->image);

  char windows[kQuarantineTextCapacity];
  if (r->image[0] && r->format < static_cast<int>(kQuarantineFormat)) {
    // An earlier image line: its place is "C:\..." inside the image.
    if (!FindJsonString(line, "windows_path", windows, sizeof windows) || windows[0] == 0 || windows[1] != ':' ||
        windows[2] != '\\')
      return 0;
    snprintf(r->root, sizeof r->root, "%.2s", windows);
    snprintf(r->relative, sizeof r->relative, "%s", windows + 3);
    for (char* c = r->relative; *c; ++c)
      if (*c == '\\') *c = '/';
  } else if (r->format == 0) {
    // The Windows scanner's earlier lines: only "X:\..." recorded.
    if (!(((r->path[0] | 0x20) >= 'a' && (r->path[0] | 0x20) <= 'z') && r->path[1] == ':' && r->path[2] == '\\'))
      return 0;
    snprintf(r->root, sizeof r->root, "%.3s", r->path);
    snprintf(r->relative, sizeof r->relative, "%s", r->path + 3);
    for (char* c = r->relative; *c; ++c)
      if (*c == '\\') *c = '/';
  } else {
    if (!FindJsonString(line, "root", r->root, sizeof r->root) ||
        !FindJsonString(line, "relative", r->relative, sizeof r->relative))
      return 0;
  }
  if (!r->root[0] || !IsPlainRelative(r->relative)) return 0;
  int64_t device = 0, inode = 0;
  if (FindJsonNumber(line, "root_device", &device) && FindJsonNumber(line, "root_inode", &inode)) {
    r->rootIdentified = 1;
    r->rootDevice = static_cast<uint64_t>(device);
    r->rootInode = static_cast<uint64_t>(inode);
  }
  if (FindJsonNumber(line, "image_device", &device) && FindJsonNumber(line, "image_inode", &inode)) {
    r->imageIdentified = 1;
    r->imageDevice = static_cast<uint64_t>(device);
    r->imageInode = static_cast<uint64_t>(inode);
  }
  char mode[16];
  if (FindJsonString(line, "mode", mode, sizeof mode) && mode[0] && strspn(mode, "01234567") == strlen(mode)) {
    r->mode = strtol(mode, nullptr, 8);
    r->meta |= kMetaMode;
  }
  if (FindJsonNumber(line, "uid", &r->uid) && FindJsonNumber(line, "gid", &r->gid)) r->meta |= kMetaOwner;
  if (FindJsonNumber(line, "attributes", &r->attributes)) r->meta |= kMetaAttributes;
  if (FindJsonNumber(line, "atime_ns", &r->atimeNs)) r->meta |= kMetaAtime;
  if (FindJsonNumber(line, "mtime_ns", &r->mtimeNs)) r->meta |= kMetaMtime;
  if (FindJsonNumber(line, "ctime_ns", &r->ctimeNs)) r->meta |= kMetaCtime;
  r->trusted = r->format == static_cast<int>(kQuarantineFormat) && ProvenLine(line, length, key);
  return 1;
}

int OpenQuarantineStore(const QuarantineFolderPort& folder, const unsigned char key[kQuarantineKeySize],
                        QuarantineStore* store, char* why, size_t capacity) {
  InitStore(store, folder);
  memcpy(store->key, key, kQuarantineKeySize);
  store->keyed = 1;
  char cause[kQuarantineReasonCapacity];
  int manifestThere = folder.exists(folder.context, kQuarantineManifestName);
  if (!HasMarker(folder)) {
    // Someone else's manifest is never appended to.
    if (manifestThere) {
      Say(why, capacity, "it holds a manifest this tool did not make; name a new folder");
      return 0;
    }
    void* marker = nullptr;
    if (!folder.open(folder.context, kQuarantineMarkerName, kOpenNew, &marker)) {
      FolderReason(folder, cause, sizeof cause);
      SayWithCause(why, capacity, "its mark cannot be made", cause);
      return 0;
    }
    folder.close(folder.context, marker, 0);
  }
  if (manifestThere) {
    // Every line there must be this host's own: a folder written by another
    // user or brought in on a volume is not added to.
    char* text = nullptr;
    size_t length = 0;
    if (!ReadWhole(folder, kQuarantineManifestName, &text, &length, why, capacity)) return 0;
    size_t at = 0;
    const char* line = nullptr;
    size_t lineLength = 0;
    int proven = 1;
    while (proven && NextLine(text, length, &at, &line, &lineLength)) proven = ProvenLine(line, lineLength, key);
    free(text);
    if (!proven) {
      Say(why, capacity,
          "its manifest holds lines this host's key does not prove (an earlier version's, or another's): name a "
          "new folder");
      return 0;
    }
  }
  if (!folder.open(folder.context, kQuarantineManifestName, kOpenAppend, &store->manifest)) {
    FolderReason(folder, cause, sizeof cause);
    SayWithCause(why, capacity, "its manifest cannot be written", cause);
    return 0;
  }
  NameRun(store);
  return 1;
}

int OpenQuarantineForRestore(const QuarantineFolderPort& folder, const unsigned char* key, QuarantineStore* store,
                             char* why, size_t capacity) {
  InitStore(store, folder);
  if (key) {
    memcpy(store->key, key, kQuarantineKeySize);
    store->keyed = 1;
  }
  if (!HasMarker(folder)) {
    Say(why, capacity, "it is no quarantine folder this tool made (its mark is missing)");
    return 0;
  }
  if (!ReadWhole(folder, kQuarantineManifestName, &store->text, &store->length, why, capacity)) return 0;
  // Restores are recorded only in a manifest whose every line is ours.
  int allProven = store->keyed;
  size_t at = 0, count = 0;
  const char* line = nullptr;
  size_t lineLength = 0;
  while (NextLine(store->text, store->length, &at, &line, &lineLength)) {
    if (allProven) allProven = ProvenLine(line, lineLength, store->keyed ? store->key : nullptr);
    char id[kQuarantineIdCapacity];
    if (FindJsonString(line, "restored", id, sizeof id)) ++count;
  }
  if (count) {
    store->restoredIds = static_cast<char**>(calloc(count, sizeof(char*)));
    if (!store->restoredIds) {
      CloseQuarantineStore(store);
      Say(why, capacity, "out of memory");
      return 0;
    }
    at = 0;
    while (NextLine(store->text, store->length, &at, &line, &lineLength)) {
      char id[kQuarantineIdCapacity];
      if (!FindJsonString(line, "restored", id, sizeof id) ||
          !ProvenLine(line, lineLength, store->keyed ? store->key : nullptr))
        continue;
      char* copy = static_cast<char*>(malloc(strlen(id) + 1));
      if (!copy) continue;
      memcpy(copy, id, strlen(id) + 1);
      store->restoredIds[store->restoredCount++] = copy;
    }
    qsort(store->restoredIds, store->restoredCount, sizeof(char*), CompareIds);
  }
  if (allProven && folder.open(folder.context, kQuarantineManifestName, kOpenAppend, &store->manifest)) {
    NameRun(store);
  } else {
    store->manifest = nullptr;
  }
  return 1;
}

void CloseQuarantineStore(QuarantineStore* store) {
  if (store->manifest) store->folder.close(store->folder.context, store->manifest, 0);
  store->manifest = nullptr;
  free(store->text);
  store->text = nullptr;
  store->length = 0;
  FreeRestoredIds(store);
  memset(store->key, 0, sizeof store->key);
  store->keyed = 0;
}

QuarantineOutcome QuarantineOne(QuarantineStore* store, QuarantineRecord* record, const QuarantineOriginal& original,
                                char* why, size_t capacity) {
  const QuarantineFolderPort& folder = store->folder;
  if (why && capacity) why[0] = 0;
  if (!store->manifest || !store->keyed || !IsPlainRelative(record->relative) || !record->root[0]) {
    Say(why, capacity, "not quarantined: its place beneath the scanned root is unknown");
    return kQuarantineFailed;
  }
  char partial[kQuarantineRunCapacity + 32];
  snprintf(partial, sizeof partial, ".partial-%s-%u", store->run, ++store->partials);
  void* copy = nullptr;
  char cause[kQuarantineReasonCapacity];
  if (!folder.open(folder.context, partial, kOpenNew, &copy)) {
    FolderReason(folder, cause, sizeof cause);
    SayWithCause(why, capacity, "not quarantined", cause);
    return kQuarantineFailed;
  }
  unsigned char digest[kSha256DigestSize];
  uint64_t copied = 0;
  Reader from{OriginalRead, const_cast<QuarantineOriginal*>(&original), nullptr};
  Writer to{folder.write, folder.context, copy};
  CopyResult result = folder.write(folder.context, copy, kCopyHeader, sizeof kCopyHeader)
                          ? CopyHashing(from, &to, record->size, digest, &copied)
                          : kCopyWriteFailed;
  if (result == kCopyReadFailed) {
    original.reason(original.context, cause, sizeof cause);
  } else if (result == kCopyWriteFailed) {
    FolderReason(folder, cause, sizeof cause);
  } else if (copied != record->size) {
    snprintf(cause, sizeof cause, "%s", "it changed size while copied");
    result = kCopyReadFailed;
  } else if (!folder.flush(folder.context, copy)) {
    FolderReason(folder, cause, sizeof cause);
    result = kCopyWriteFailed;
  }
  int closed = folder.close(folder.context, copy, 1);
  if (result == kCopyDone && !closed) {
    FolderReason(folder, cause, sizeof cause);
    result = kCopyWriteFailed;
  }
  if (result != kCopyDone) {
    folder.remove(folder.context, partial);
    SayWithCause(why, capacity, "not quarantined", cause);
    return kQuarantineFailed;
  }
  Sha256Hex(digest, record->sha256);
  // The same content quarantined before keeps its one copy.
  int placedNow = 0;
  if (folder.rename(folder.context, partial, record->sha256)) {
    placedNow = 1;
  } else if (folder.exists(folder.context, record->sha256)) {
    folder.remove(folder.context, partial);
  } else {
    FolderReason(folder, cause, sizeof cause);
    folder.remove(folder.context, partial);
    SayWithCause(why, capacity, "not quarantined", cause);
    return kQuarantineFailed;
  }

  record->format = static_cast<int>(kQuarantineFormat);
  snprintf(record->run, sizeof record->run, "%s", store->run);
  snprintf(record->id, sizeof record->id, "%s/%u", store->run, ++store->sequence);
  folder.utcNow(folder.context, record->when);
  static char buffer[kLineCapacity];
  JsonLine line;
  BeginJsonLine(&line, buffer, sizeof buffer);
  AddJsonNumber(&line, "v", kQuarantineFormat);
  AddJsonString(&line, "id", record->id);
  AddJsonString(&line, "run", record->run);
  AddJsonString(&line, "path", record->path);
  if (record->image[0]) {
    AddJsonString(&line, "image", record->image);
    if (record->imageIdentified) {
      AddJsonNumber(&line, "image_device", record->imageDevice);
      AddJsonNumber(&line, "image_inode", record->imageInode);
    }
  }
  AddJsonString(&line, "root", record->root);
  if (record->rootIdentified) {
    AddJsonNumber(&line, "root_device", record->rootDevice);
    AddJsonNumber(&line, "root_inode", record->rootInode);
  }
  AddJsonString(&line, "relative", record->relative);
  AddJsonNumber(&line, "size", record->size);
  if (record->meta & kMetaMode) {
    char mode[16];
    snprintf(mode, sizeof mode, "%04o", static_cast<unsigned>(record->mode & 07777));
    AddJsonString(&line, "mode", mode);
  }
  if (record->meta & kMetaOwner) {
    AddJsonSigned(&line, "uid", record->uid);
    AddJsonSigned(&line, "gid", record->gid);
  }
  if (record->meta & kMetaAttributes) AddJsonSigned(&line, "attributes", record->attributes);
  if (record->meta & kMetaCtime) AddJsonSigned(&line, "ctime_ns", record->ctimeNs);
  if (record->meta & kMetaAtime) AddJsonSigned(&line, "atime_ns", record->atimeNs);
  if (record->meta & kMetaMtime) AddJsonSigned(&line, "mtime_ns", record->mtimeNs);
  AddJsonString(&line, "detection", record->detection);
  AddJsonString(&line, "sha256", record->sha256);
  AddJsonString(&line, "quarantined", record->when);
  if (!SealLine(&line, store->key)) {
    snprintf(cause, sizeof cause, "%s", "its entry is too long for the manifest");
  } else if (AppendLine(store, line, cause, sizeof cause)) {
    QuarantineOutcome removal = original.remove(original.context, cause, sizeof cause);
    if (removal == kQuarantineDone || removal == kQuarantineAtRestart) return removal;
    if (removal == kQuarantineNotSame) {
      Say(why, capacity, "it is not the file that was checked any more (its copy stays in the quarantine)");
      return kQuarantineNotSame;
    }
    if (capacity)
      snprintf(why, capacity, "copied to the quarantine as %s but not removed: %s", record->sha256, cause);
    return kQuarantineKeptCopy;
  }
  if (placedNow) folder.remove(folder.context, record->sha256);
  SayWithCause(why, capacity, "not quarantined", cause);
  record->sha256[0] = 0;
  return kQuarantineFailed;
}

int NextQuarantineEntry(QuarantineStore* store, QuarantineRecord* record, int* readable, int* restored) {
  const char* line = nullptr;
  size_t length = 0;
  for (;;) {
    if (!NextLine(store->text, store->length, &store->next, &line, &length)) return 0;
    char id[kQuarantineIdCapacity];
    if (!FindJsonString(line, "restored", id, sizeof id)) break;  // a restore's own line
  }
  *readable = ReadQuarantineLine(line, length, store->keyed ? store->key : nullptr, record);
  if (!*readable) {
    ClearQuarantineRecord(record);
    snprintf(record->path, sizeof record->path, "%.60s", line);
  }
  // Earlier lines carry no id: their text's digest stands for one.
  if (*readable && !record->id[0]) {
    unsigned char digest[kSha256DigestSize];
    Sha256State sha;
    BeginSha256(&sha);
    AddSha256(&sha, line, length);
    EndSha256(&sha, digest);
    char hex[kSha256HexSize];
    Sha256Hex(digest, hex);
    snprintf(record->id, sizeof record->id, "line-%.32s", hex);
  }
  *restored = *readable && IsRestored(*store, record->id);
  return 1;
}

RestoreOutcome RestoreQuarantined(QuarantineStore* store, const QuarantineRecord& record,
                                  const RestoreRequest& request, const RestoreTargetPort& target, char* shown,
                                  size_t shownCapacity, char* why, size_t whyCapacity) {
  const QuarantineFolderPort& folder = store->folder;
  if (whyCapacity) why[0] = 0;
  if (shownCapacity) snprintf(shown, shownCapacity, "%s", record.path);
  if (IsRestored(*store, record.id)) return kRestoreAlready;

  // A name that holds a '\' (or another character no Windows name holds)
  // was one name where it was taken; put back through a Windows path, into
  // an image or by the Windows scanner, it would name another, clean file.
  if (HoldsNonWindowsName(record.relative)) {
    Say(why, whyCapacity,
        "its recorded name holds a character no Windows name holds ('\\', ':', '*', '?', '\"', '<', '>', '|' or a "
        "control character): put back, it could land on another file");
    return kRestoreFailed;
  }

  // Where it goes: a line proven ours where it says; any other only where
  // the person named.
  RestorePlace place{record.root, nullptr, 0};
  if (record.image[0]) {
    if (request.image) {
      place.image = request.image;
      place.named = 1;
    } else if (record.trusted) {
      place.image = record.image;
    } else {
      Say(why, whyCapacity,
          "this host's key does not prove its entry, so the image it names is not written: name one with --image "
          "FILE");
      return kRestoreFailed;
    }
  } else if (request.toRoot) {
    place.root = request.toRoot;
    place.named = 1;
  } else if (!record.trusted) {
    Say(why, whyCapacity,
        "this host's key does not prove its entry, so the place it names is not written: name one with --to ROOT");
    return kRestoreFailed;
  }

  // The copy: a plain file of the recorded size and SHA-256, checked before
  // anything at the destination is touched.
  char cause[kQuarantineReasonCapacity];
  void* copy = nullptr;
  if (!folder.open(folder.context, record.sha256, kOpenRead, &copy)) {
    FolderReason(folder, cause, sizeof cause);
    SayWithCause(why, whyCapacity, "its copy cannot be read", cause);
    return kRestoreBadCopy;
  }
  uint64_t header = record.format >= 2 ? sizeof kCopyHeader : 0;
  uint64_t size = 0;
  RestoreOutcome outcome = kRestoreBadCopy;
  unsigned char digest[kSha256DigestSize];
  char hex[kSha256HexSize];
  uint64_t copied = 0;
  Reader from{folder.read, folder.context, copy};
  // Reads the header (when there is one) from the start; 1 when it is ours.
  auto HeaderIsOurs = [&]() {
    if (!folder.rewind(folder.context, copy)) return 0;
    if (!header) return 1;
    char head[sizeof kCopyHeader];
    size_t have = 0;
    while (have < sizeof head) {
      size_t got = 0;
      if (!folder.read(folder.context, copy, head + have, sizeof head - have, &got) || got == 0) return 0;
      have += got;
    }
    return memcmp(head, kCopyHeader, sizeof head) == 0 ? 1 : 0;
  };
  if (!folder.size(folder.context, copy, &size) || size != record.size + header || !HeaderIsOurs() ||
      CopyHashing(from, nullptr, record.size, digest, &copied) != kCopyDone || copied != record.size) {
    folder.close(folder.context, copy, 0);
    return kRestoreBadCopy;
  }
  Sha256Hex(digest, hex);
  if (strcmp(hex, record.sha256) != 0) {
    folder.close(folder.context, copy, 0);
    return kRestoreBadCopy;
  }

  outcome = target.begin(target.context, record, place, request.force, shown, shownCapacity);
  if (outcome != kRestoreDone) {
    if (outcome == kRestoreFailed) target.reason(target.context, why, whyCapacity);
    folder.close(folder.context, copy, 0);
    return outcome;
  }
  // The same bytes again, checked again on their way: the copy may have
  // changed between the two readings.
  Writer to{TargetWrite, const_cast<RestoreTargetPort*>(&target), nullptr};
  CopyResult result = HeaderIsOurs() ? CopyHashing(from, &to, record.size, digest, &copied) : kCopyReadFailed;
  if (result == kCopyWriteFailed) target.reason(target.context, why, whyCapacity);
  folder.close(folder.context, copy, 0);
  if (result == kCopyDone) Sha256Hex(digest, hex);
  if (result != kCopyDone || copied != record.size || strcmp(hex, record.sha256) != 0) {
    target.abandon(target.context);
    return result == kCopyWriteFailed ? kRestoreFailed : kRestoreBadCopy;
  }
  outcome = target.finish(target.context, record, request.force);
  if (outcome == kRestoreFailed) target.reason(target.context, why, whyCapacity);
  if (outcome != kRestoreDone) return outcome;

  // Recorded, so that the next restore says "already restored".
  if (store->manifest && store->keyed) {
    static char buffer[1024];
    JsonLine line;
    BeginJsonLine(&line, buffer, sizeof buffer);
    AddJsonNumber(&line, "v", kQuarantineFormat);
    AddJsonString(&line, "restored", record.id);
    AddJsonString(&line, "run", store->run);
    char now[32] = "";
    folder.utcNow(folder.context, now);
    AddJsonString(&line, "when", now);
    if (SealLine(&line, store->key) && AppendLine(store, line, cause, sizeof cause)) {
      char** grown = static_cast<char**>(realloc(store->restoredIds, (store->restoredCount + 1) * sizeof(char*)));
      char* id = static_cast<char*>(malloc(strlen(record.id) + 1));
      if (grown) store->restoredIds = grown;
      if (grown && id) {
        memcpy(id, record.id, strlen(record.id) + 1);
        store->restoredIds[store->restoredCount++] = id;
        qsort(store->restoredIds, store->restoredCount, sizeof(char*), CompareIds);
      } else {
        free(id);
      }
    }
  }
  return kRestoreDone;
}
