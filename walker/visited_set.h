// What a walk has entered already, by a key of two 64-bit numbers (a
// directory's device and inode), so that a cycle through bind mounts ends
// and overlapping roots are walked once. One table of second keys per first
// key, open addressing: eight bytes an entry, the largest part of a walk's
// memory on a big volume. Not thread-safe: the walk guards it.
// Platform-neutral.
#pragma once
#include <cstddef>
#include <cstdint>

struct VisitedGroup {
  uint64_t first;
  uint64_t* seconds;  // open addressing; 0 marks a free slot
  size_t capacity;    // slots, a power of two
  size_t count;
  int zeroSeen;       // second key 0, kept apart from the free mark
};

struct VisitedSet {
  VisitedGroup* groups;
  size_t groupCount;
};

void InitVisitedSet(VisitedSet* set);
void FreeVisitedSet(VisitedSet* set);

// 1 when the key is new and now held, 0 when it was held already, -1 when
// memory ran out (the set is as it was).
int AddToVisitedSet(VisitedSet* set, uint64_t first, uint64_t second);
// 1 when the key is held.
int InVisitedSet(const VisitedSet* set, uint64_t first, uint64_t second);
// The keys held.
size_t VisitedSetCount(const VisitedSet* set);
