// Does a Run-key command line start a given file? The test and its expansion
// of environment references, free of the platform: the environment and the
// code page's lead bytes come in through CommandLineHost.
#pragma once
#include <cstdint>

enum : uint32_t {
  // Texts the test builds: the working and compared command lines.
  kCommandTextCapacity = 2600,
  // One environment variable's value, as the lookup is asked to fill it.
  kEnvironmentValueCapacity = 260,
  // Longest file path the test compares: no command line it examines could
  // hold a longer one. Paths of Win32's long form and of mounted volumes
  // exceed MAX_PATH, so the bound is the text's, not the API's.
  kMaxReferredPathLength = kCommandTextCapacity - 1,
  // References replaced at most in one expansion: a variable whose value
  // names itself would otherwise be expanded for ever.
  kMaxExpansions = 64,
  // The last-error code of a lookup that found no such variable.
  kErrorEnvVarNotFound = 203,
};

struct CommandLineHost {
  // Behaves as GetEnvironmentVariableA(name, value, capacity): the value's
  // length when it fit, the size needed (terminator included) when it did not,
  // 0 when there is none. *lastError receives the thread's last-error code as
  // read right after the lookup.
  uint32_t (*lookup)(void* context, const char* name, char* value, uint32_t capacity, uint32_t* lastError);
  // Non-zero when `byte` opens a double-byte character of the code page;
  // null for a single-byte code page.
  int (*isLeadByte)(void* context, unsigned char byte);
  void* context;
};

// Replaces the environment references of `text` (zero-terminated, in a buffer
// of kCommandTextCapacity bytes) one at a time from the left. The expansion
// stops, leaving the rest as written, at a reference that cannot be expanded,
// at one whose replacement would make the text longer than
// kCommandTextCapacity - 1 bytes, or after kMaxExpansions replacements.
// Returns the number of replacements made.
uint32_t ExpandEnvironmentReferences(char* text, const CommandLineHost* host);

// 1 when `commandLine` (may be null) starts the file at `path`, else 0. A
// command line that opens with a double quote starts the file only when the
// text up to the closing quote, expanded, is the file's path, its name or
// its name without the extension (ASCII case ignored). Only
// the first kCommandTextCapacity - 1 bytes of the command line are examined.
// Neither text is modified. A path longer than kMaxReferredPathLength is
// never referred to: see ReferredPathFits.
int CommandLineRefersTo(const char* commandLine, const char* path, const CommandLineHost* host);

// 1 when `path` is short enough for CommandLineRefersTo to compare. Whoever
// looks for the Run values of a longer one reports it as not cleaned rather
// than passing over it in silence.
int ReferredPathFits(const char* path);

// The reason such a path's Run values are not cleaned, for the listener.
extern const char kReferredPathTooLong[];
