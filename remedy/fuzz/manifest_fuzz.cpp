// Fuzzes the quarantine manifest's reader with any bytes: each line alone,
// then the whole text as a folder's manifest, entries read one by one.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>

#include "remedy/quarantine.h"

namespace {

const unsigned char kKey[kQuarantineKeySize] = {7};

struct Text {
  const std::string* bytes;
  size_t at;
};

int Open(void* context, const char* name, QuarantineOpen how, void** file) {
  if (how != kOpenRead || strcmp(name, kQuarantineManifestName) != 0) return 0;
  static Text text;
  text = Text{static_cast<const std::string*>(context), 0};
  *file = &text;
  return 1;
}

int Read(void*, void* file, void* data, size_t capacity, size_t* got) {
  Text* t = static_cast<Text*>(file);
  *got = t->at < t->bytes->size() ? (capacity < t->bytes->size() - t->at ? capacity : t->bytes->size() - t->at) : 0;
  memcpy(data, t->bytes->data() + t->at, *got);
  t->at += *got;
  return 1;
}

int Size(void*, void* file, uint64_t* size) { return *size = static_cast<Text*>(file)->bytes->size(), 1; }
int Close(void*, void*, int) { return 1; }
int Exists(void*, const char* name) { return strcmp(name, kQuarantineMarkerName) == 0; }
void Reason(void*, char* out, size_t capacity) { snprintf(out, capacity, "%s", "no"); }
void Now(void*, char out[32]) { snprintf(out, 32, "%s", "2026-12-09T12:00:00Z"); }
void Noise(void*, unsigned char* out, size_t count) { memset(out, 0, count); }

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string text(reinterpret_cast<const char*>(data), size);
  static QuarantineRecord record;
  ReadQuarantineLine(text.c_str(), strlen(text.c_str()), kKey, &record);
  // Only what reading needs; the rest stays null.
  QuarantineFolderPort port{&text,  Open,    Read,    nullptr, nullptr, Size,   nullptr, nullptr,
                            Close,  Exists,  nullptr, nullptr, Reason,  Now,    Noise};
  QuarantineStore store;
  char why[kQuarantineReasonCapacity];
  if (OpenQuarantineForRestore(port, kKey, &store, why, sizeof why)) {
    int readable = 0, restored = 0;
    while (NextQuarantineEntry(&store, &record, &readable, &restored)) {
    }
  }
  CloseQuarantineStore(&store);
  return 0;
}
