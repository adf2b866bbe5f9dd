// The rows held until the walk ends (see held_rows.h).
#include "cli/held_rows.h"

#include <cstdlib>
#include <cstring>

namespace {

char* Copy(const char* text) {
  size_t length = std::strlen(text) + 1;
  char* copy = static_cast<char*>(std::malloc(length));
  if (copy) std::memcpy(copy, text, length);
  return copy;
}

int CompareRows(const void* a, const void* b) {
  const HeldRow* x = static_cast<const HeldRow*>(a);
  const HeldRow* y = static_cast<const HeldRow*>(b);
  if (x->pass != y->pass) return x->pass == kPassMemory ? -1 : 1;
  int byPath = x->pass == kPassMemory ? 0 : std::strcmp(x->path, y->path);
  if (byPath) return byPath;
  return x->order < y->order ? -1 : x->order > y->order ? 1 : 0;
}

}  // namespace

int HoldRow(HeldRows* held, const ScanRow& row) {
  if (held->count == held->capacity) {
    size_t capacity = held->capacity ? held->capacity * 2 : 64;
    void* grown = std::realloc(held->rows, capacity * sizeof(HeldRow));
    if (grown) {
      held->rows = static_cast<HeldRow*>(grown);
      held->capacity = capacity;
    }
  }
  HeldRow copy{Copy(row.path), Copy(row.detectionName), Copy(row.reason), row.status, row.pass, held->count};
  if (held->count < held->capacity && copy.path && copy.detectionName && copy.reason) {
    held->rows[held->count++] = copy;
    return 1;
  }
  std::free(copy.path);
  std::free(copy.detectionName);
  std::free(copy.reason);
  return 0;
}

void SortHeldRows(HeldRows* held) {
  // qsort is not stable: ties fall back on the order the rows came in.
  if (held->count) std::qsort(held->rows, held->count, sizeof(HeldRow), CompareRows);
}

void FreeHeldRows(HeldRows* held) {
  for (size_t i = 0; i < held->count; ++i) {
    std::free(held->rows[i].path);
    std::free(held->rows[i].detectionName);
    std::free(held->rows[i].reason);
  }
  std::free(held->rows);
  *held = HeldRows{};
}
