// The built-in signature table. Its rows live in signature_rows.inc, the one
// data file that a lab extends with rows printed by the fingerprint tool.
#include "engine/signature_table.h"

#define SIGNATURE_ROW(name, size, weighted, head) {name, size, weighted, head},
const SignatureRecord kSignatureTable[] = {
#include "engine/signature_rows.inc"
    {nullptr, 0, 0, 0},
};
#undef SIGNATURE_ROW

const uint32_t kSignatureCount = sizeof(kSignatureTable) / sizeof(kSignatureTable[0]) - 1;

SignatureTable BuiltInSignatures() { return SignatureTable{kSignatureTable, kSignatureCount}; }

int HasSignatureOfSize(SignatureTable table, uint32_t size) {
  for (uint32_t i = 0; i < table.count; ++i)
    if (table.rows[i].fileSize == size) return 1;
  return 0;
}

const SignatureRecord* FindSignature(SignatureTable table, const FileFingerprint& fingerprint) {
  for (uint32_t i = 0; i < table.count; ++i) {
    const SignatureRecord& row = table.rows[i];
    if (row.fileSize == fingerprint.length && row.weightedSum == fingerprint.weightedSum &&
        row.headSum == fingerprint.headSum)
      return &row;
  }
  return nullptr;
}
