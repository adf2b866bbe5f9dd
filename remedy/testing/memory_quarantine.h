// A quarantine folder and a restore target held in memory, for the tests
// of the quarantine's rules and of the console driver's restore loop.
#pragma once
#include <map>
#include <string>

#include "remedy/quarantine.h"

struct MemoryFolder {
  std::map<std::string, std::string> files;
  int failWritesTo = 0;  // writes to the manifest fail (a full disk)
  unsigned char noise = 0;
  std::string reason;
};

QuarantineFolderPort MemoryFolderPort(MemoryFolder* folder);

// The file taken away, and whether it was.
struct MemoryOriginal {
  std::string bytes;
  size_t at = 0;
  int removed = 0;
};

// Where files go back: "ROOT|RELATIVE" (or "IMAGE:ROOT|RELATIVE") to bytes.
// A destination listed in `failing` fails with "no room".
struct MemoryTarget {
  std::map<std::string, std::string> written;
  std::map<std::string, int> failing;
  std::string pending, bytes;
  int begun = 0;
};

RestoreTargetPort MemoryTargetPort(MemoryTarget* target);

extern const unsigned char kMemoryKey[kQuarantineKeySize];

// Quarantines `bytes` as `relative` beneath `root` with kMemoryKey. The
// outcome; `why` and `taken` (may be null) get the reason and the original.
QuarantineOutcome QuarantineIntoMemory(MemoryFolder* folder, const std::string& root, const std::string& relative,
                                       const std::string& bytes, std::string* why = nullptr,
                                       MemoryOriginal* taken = nullptr);
