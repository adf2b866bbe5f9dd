// The visited set (see visited_set.h).
#include "walker/visited_set.h"

#include <cstdlib>

namespace {

enum : size_t { kFirstCapacity = 1024 };

size_t Slot(uint64_t key, size_t capacity) {
  uint64_t h = key * 0x9E3779B97F4A7C15ull;
  h ^= h >> 29;
  return static_cast<size_t>(h) & (capacity - 1);
}

// 1 when put in a free slot, 0 when there already. The table has a free slot.
int InsertSlot(uint64_t* slots, size_t capacity, uint64_t key) {
  for (size_t i = Slot(key, capacity);; i = (i + 1) & (capacity - 1)) {
    if (slots[i] == 0) {
      slots[i] = key;
      return 1;
    }
    if (slots[i] == key) return 0;
  }
}

const VisitedGroup* FindGroup(const VisitedSet* set, uint64_t first) {
  for (size_t i = 0; i < set->groupCount; ++i)
    if (set->groups[i].first == first) return &set->groups[i];
  return nullptr;
}

}  // namespace

void InitVisitedSet(VisitedSet* set) { *set = VisitedSet{nullptr, 0}; }

void FreeVisitedSet(VisitedSet* set) {
  for (size_t i = 0; i < set->groupCount; ++i) std::free(set->groups[i].seconds);
  std::free(set->groups);
  InitVisitedSet(set);
}

int InVisitedSet(const VisitedSet* set, uint64_t first, uint64_t second) {
  const VisitedGroup* g = FindGroup(set, first);
  if (!g) return 0;
  if (second == 0) return g->zeroSeen;
  if (!g->capacity) return 0;
  for (size_t i = Slot(second, g->capacity); g->seconds[i]; i = (i + 1) & (g->capacity - 1))
    if (g->seconds[i] == second) return 1;
  return 0;
}

int AddToVisitedSet(VisitedSet* set, uint64_t first, uint64_t second) {
  VisitedGroup* g = const_cast<VisitedGroup*>(FindGroup(set, first));
  if (!g) {
    VisitedGroup* groups =
        static_cast<VisitedGroup*>(std::realloc(set->groups, (set->groupCount + 1) * sizeof(VisitedGroup)));
    if (!groups) return -1;
    set->groups = groups;
    g = &set->groups[set->groupCount++];
    *g = VisitedGroup{first, nullptr, 0, 0, 0};
  }
  if (second == 0) {
    if (g->zeroSeen) return 0;
    g->zeroSeen = 1;
    return 1;
  }
  if (InVisitedSet(set, first, second)) return 0;
  // At most three quarters full, so a probe always meets a free slot.
  if ((g->count + 1) * 4 > g->capacity * 3) {
    size_t capacity = g->capacity ? g->capacity * 2 : kFirstCapacity;
    uint64_t* slots = static_cast<uint64_t*>(std::calloc(capacity, sizeof(uint64_t)));
    if (!slots) return -1;
    for (size_t i = 0; i < g->capacity; ++i)
      if (g->seconds[i]) InsertSlot(slots, capacity, g->seconds[i]);
    std::free(g->seconds);
    g->seconds = slots;
    g->capacity = capacity;
  }
  InsertSlot(g->seconds, g->capacity, second);
  g->count += 1;
  return 1;
}

size_t VisitedSetCount(const VisitedSet* set) {
  size_t count = 0;
  for (size_t i = 0; i < set->groupCount; ++i) count += set->groups[i].count + (set->groups[i].zeroSeen ? 1 : 0);
  return count;
}
