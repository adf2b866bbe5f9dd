// The built-in signature table and its lookup. Platform-neutral.
#pragma once
#include <cstdint>
#include "engine/fingerprint.h"

struct SignatureRecord {
  const char* detectionName;  // at most 24 characters
  uint32_t fileSize;
  uint32_t weightedSum;
  uint32_t headSum;
};

enum : uint32_t {
  kMaxCheckedFileSize = 7340032,  // larger files are never read
  kDetectionNameCapacity = 25,    // longest name and its terminator
};

// Rows of the built-in table; kSignatureTable[kSignatureCount] is an all-zero record.
extern const SignatureRecord kSignatureTable[];
extern const uint32_t kSignatureCount;

struct SignatureTable {
  const SignatureRecord* rows;
  uint32_t count;
};

SignatureTable BuiltInSignatures();

// 1 when some row has exactly this size.
int HasSignatureOfSize(SignatureTable table, uint32_t size);

// The first row whose size and both sums equal the fingerprint's, or null.
const SignatureRecord* FindSignature(SignatureTable table, const FileFingerprint& fingerprint);
