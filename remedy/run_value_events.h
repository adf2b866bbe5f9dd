// What a Run-value cleaning tells whoever runs it, on every platform: each
// value deleted, each hive or key that was examined, and each one that was
// not cleaned and why. A detection-only run previews: the same sweep, by
// the same rule, tells each value that a writing run would delete and
// changes nothing. The live registry (HKEY_CURRENT_USER, HKEY_USERS) and
// offline hive files report through the same listener, so the front ends
// count and show them the same way. Platform-neutral.
#pragma once
#include <cstdint>

// Texts are UTF-8 on POSIX and in the system's ANSI code page on Windows.
struct RunValueDeletion {
  const char* hive;       // "HKEY_CURRENT_USER", "HKEY_USERS\<sid>", or a hive file's path
  const char* key;        // the key below it
  const char* valueName;
  const char* data;       // the command line it was matched as
  const char* refersTo;   // the removed file it would start
  const char* backup;     // where the value was saved before it went (a .reg file or folder); "" in a preview
  int wouldDelete;        // 1: a preview, nothing was deleted
};

enum RunValueTrouble : uint32_t {
  kRunValuesRefused = 1,     // not written on purpose: hibernated, pending log, read-only, not ours to change
  kRunValuesFailed = 2,      // tried and failed; the hive or key is as it was
  kRunValuesNotCleaned = 3,  // not examined at all (a 9x volume, a linked profile, a file no drive letter holds)
};

struct RunValueListener {
  void (*deleted)(void* context, const RunValueDeletion* deletion);
  // A hive or key examined to the end; `deleted` values went from it.
  void (*examined)(void* context, const char* hive, uint32_t deleted);
  // A hive or key that was not cleaned, with the reason; each is trouble.
  void (*trouble)(void* context, RunValueTrouble kind, const char* where, const char* reason);
  void* context;
  // 1: a preview. The cleaning then opens nothing for writing, saves and
  // deletes nothing, and tells each value it would delete (wouldDelete set);
  // `examined` counts those values.
  int preview;
};

inline int RunValuesPreviewed(const RunValueListener* l) { return l && l->preview; }

inline void TellRunValueDeleted(const RunValueListener* l, const RunValueDeletion& d) {
  if (l && l->deleted) l->deleted(l->context, &d);
}
inline void TellRunValuesExamined(const RunValueListener* l, const char* hive, uint32_t deleted) {
  if (l && l->examined) l->examined(l->context, hive, deleted);
}
inline void TellRunValueTrouble(const RunValueListener* l, RunValueTrouble kind, const char* where,
                                const char* reason) {
  if (l && l->trouble) l->trouble(l->context, kind, where, reason);
}
