// The JSON Lines of a console run, one record a line, each sized for its
// texts (a Run value's data or a path has no length limit here): the run
// record first, then rows, Run values, registry troubles and notices, and
// the summary last. Texts of the system's own encoding become UTF-8 through
// the platform. Keys and words are snake_case. Platform-neutral.
#pragma once
#include "remedy/quarantine.h"
#include <cstddef>
#include <cstdint>
#include <cstdio>

#include "cli/scan_cli_output.h"
#include "remedy/json_lines.h"
#include "scan/scan_session.h"

struct JsonRecords {
  FILE* file;  // null: no JSON was asked for
  int (*toUtf8)(const char* text, char* out, size_t capacity);
  int flushEach;  // standard output: each record goes out whole at once
  int lost;       // a record could not be written
};

struct JsonRecord {
  JsonLine line;
  char* buffer;
  JsonRecords* records;
};

// A record of `type` with room for `textBytes` bytes of texts.
void BeginRecord(JsonRecord* record, JsonRecords* records, const char* type, size_t textBytes);
// A text of the system's own encoding.
void AddText(JsonRecord* record, const char* key, const char* text);
void EndRecord(JsonRecord* record);

// The run record, then a root record for each PATH or, for a run over disk
// images, for each image (marked "image":1). A scan's run record names its
// `signatures` (the built-in rows' count and version, the number of lists),
// and a signature_list record follows for each list.
void WriteRunRecord(JsonRecords* records, const char* tool, const char* host, int argc, const char* const* argv,
                    const char* command, FoundFileAction action, const char* const* roots, uint32_t rootCount,
                    int rootsAreImages, const SignatureSet* signatures);
void WriteRowRecord(JsonRecords* records, const char* path, const char* name, ScanRowStatus status,
                    const char* reason, ScanPass pass);
// A detection about to be changed: "intent", its path, detection and
// `action` ("removing", "quarantining"); its row follows once it is done.
void WriteIntentRecord(JsonRecords* records, const char* path, const char* name, const char* action);
void WriteRunValueRecord(JsonRecords* records, const RunValueDeletion* deletion);
void WriteTroubleRecord(JsonRecords* records, RunValueTrouble kind, const char* where, const char* reason);
void WriteNoticeRecord(JsonRecords* records, const char* type, const char* where, const char* reason);
void WriteSummaryRecord(JsonRecords* records, const ScanTotals& totals, int withMemory, double seconds, int status);
// One entry of restore --list.
void WriteEntryRecord(JsonRecords* records, const QuarantineRecord& record, int readable, int restored);
// `path` is UTF-8 already (as the manifest keeps it).
void WriteRestoreRecord(JsonRecords* records, const char* path, const char* id, RestoreOutcome outcome,
                        const char* why);
