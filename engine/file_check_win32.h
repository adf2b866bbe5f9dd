// Reading files for their fingerprint and checking them against the
// signature table (Win32).
#pragma once
#include <windows.h>
#include <cstdint>
#include "engine/candidate_check.h"
#include "engine/file_identity.h"
#include "engine/fingerprint.h"
#include "engine/signature_table.h"

// Room for a wide directory part of up to 259 characters, a file name of up
// to 259 characters and the terminator.
enum : uint32_t { kWidePathCapacity = 520 };

// Finds the file that an ANSI path stands for when its name holds "?" for
// characters the code page cannot represent: the entry (not a directory)
// whose ANSI form is the name given, not a neighbour the "?" also matches.
// The one such resolution: reading and removal both use it. Fills `found` and, when
// `widePath` is given, the file's full wide path: the directory part of
// `path` followed by the real name, so the directory that happens to be
// current never decides which file is meant. Returns 1 when a file was found;
// on failure the outputs are not written.
int OpenWideFallback(const char* path, WIN32_FIND_DATAW* found, wchar_t* widePath);

// Opens a file for shared reading by its ANSI path, retrying through the wide
// name on ERROR_INVALID_NAME. `widePath` (kWidePathCapacity characters, may be
// null) receives the wide path when the retry was taken and is set to the
// empty text otherwise. INVALID_HANDLE_VALUE on failure.
HANDLE OpenForReading(const char* path, wchar_t* widePath);

// Fingerprint of the bytes start..end (end < 0: to the end of the file).
// `out` is zeroed first, so a failure leaves zeros. 1 on success; 0 also for
// a file of 2 GiB or more and for a read that delivered fewer bytes than asked.
int ComputeFingerprint(const char* path, int32_t start, int32_t end, FileFingerprint* out);

// Reads `length` bytes from the start of an open file into a fingerprint.
// 1 when every byte was read; otherwise 0 and `out` is all zeros, so a
// failed read never fingerprints what the buffer held before.
int FingerprintOpenFile(HANDLE file, uint32_t length, FileFingerprint* out);

// Which file an open handle reads: volume serial number and file index.
// Unknown (known 0) on Windows 9x, whose file index is not stable, and where
// the system gives none.
FileIdentity IdentifyOpenFile(HANDLE file);

// 1 when the file matches a row of the built-in table; its detection name is
// copied to nameOut (at least kDetectionNameCapacity bytes), which is the
// empty text otherwise. The content is read at most once.
int CheckFile(const char* path, char* nameOut);

// CheckFile that also tells which file it read: on a match `identity` (may
// be null) is the identity of the very file that matched, for the removal.
int CheckFileIdentified(const char* path, char* nameOut, FileIdentity* identity);

// CheckFile against another set (tests, the measurement tool).
int CheckFileAgainst(const SignatureSet& signatures, const char* path, char* nameOut, FileIdentity* identity = nullptr);

// The same, telling a file that could not be opened or read in full
// (kCandidateUnreadable) apart from a clean one.
CandidateOutcome CheckFileOutcome(const SignatureSet& signatures, const char* path, char* nameOut, FileIdentity* identity);
