// The JSON Lines of a console run (see json_records.h).
#include "cli/json_records.h"

#include <cstdlib>
#include <cstring>
#include <ctime>

#include "cli/scan_cli.h"

void BeginRecord(JsonRecord* r, JsonRecords* records, const char* type, size_t textBytes) {
  r->records = records;
  // Every byte may become a six-byte escape.
  size_t capacity = textBytes * 6 + 1024;
  r->buffer = records->file ? static_cast<char*>(std::malloc(capacity)) : nullptr;
  BeginJsonLine(&r->line, r->buffer, r->buffer ? capacity : 0);
  if (r->buffer) AddJsonString(&r->line, "type", type);
}

void AddText(JsonRecord* r, const char* key, const char* text) {
  if (!r->buffer) return;
  size_t capacity = std::strlen(text) * 3 + 4;
  char* utf8 = static_cast<char*>(std::malloc(capacity));
  if (utf8 && r->records->toUtf8(text, utf8, capacity)) {
    AddJsonString(&r->line, key, utf8);
  } else {
    r->line.overflow = 1;
  }
  std::free(utf8);
}

void EndRecord(JsonRecord* r) {
  JsonRecords* records = r->records;
  if (records->file) {
    if (r->buffer && EndJsonLine(&r->line)) {
      std::fputs(r->line.text, records->file);
      if (records->flushEach) std::fflush(records->file);
    } else {
      records->lost = 1;
    }
  }
  std::free(r->buffer);
  r->buffer = nullptr;
}

namespace {

const char* ActionKey(FoundFileAction action) {
  switch (action) {
    case kActionRemove: return "remove";
    case kActionQuarantine: return "quarantine";
    case kActionLeave: break;
  }
  return "detect";
}

const char* TroubleKey(RunValueTrouble kind) {
  switch (kind) {
    case kRunValuesRefused: return "refused";
    case kRunValuesFailed: return "failed";
    case kRunValuesNotCleaned: break;
  }
  return "not_cleaned";
}

}  // namespace

void WriteRunRecord(JsonRecords* records, const char* tool, const char* host, int argc, const char* const* argv,
                    const char* command, FoundFileAction action, const char* const* roots, uint32_t rootCount,
                    int rootsAreImages, const SignatureSet* signatures) {
  if (!records->file) return;
  size_t textBytes = 512;
  for (int i = 0; i < argc; ++i) textBytes += std::strlen(argv[i]) + 1;
  JsonRecord r;
  BeginRecord(&r, records, "run", textBytes);
  AddJsonString(&r.line, "tool", tool);
  AddJsonString(&r.line, "version", kScanVersion);
  AddText(&r, "host", host);
  char started[32] = "";
  std::time_t now = std::time(nullptr);
  std::tm utc{};
  const std::tm* broken = std::gmtime(&now);
  if (broken) utc = *broken;
  std::strftime(started, sizeof started, "%Y-%m-%dT%H:%M:%SZ", &utc);
  AddJsonString(&r.line, "started", started);
  AddJsonString(&r.line, "command", command);
  // The arguments joined by blanks, as a person would read them.
  char* line = static_cast<char*>(std::malloc(textBytes));
  if (line) {
    size_t used = 0;
    line[0] = 0;
    for (int i = 0; i < argc; ++i) {
      size_t length = std::strlen(argv[i]);
      if (used + length + 2 > textBytes) break;
      if (i) line[used++] = ' ';
      std::memcpy(line + used, argv[i], length + 1);
      used += length;
    }
    AddText(&r, "command_line", line);
  }
  std::free(line);
  AddJsonString(&r.line, "action", ActionKey(action));
  const SignatureLists* lists = signatures ? signatures->lists : nullptr;
  if (signatures) {
    char version[kSignatureVersionCapacity];
    BuiltInSignatureVersion(signatures->builtIn, version);
    AddJsonNumber(&r.line, "builtin_rows", signatures->builtIn.count);
    AddJsonString(&r.line, "builtin_version", version);
    AddJsonNumber(&r.line, "signature_lists", lists ? lists->listCount : 0);
  }
  EndRecord(&r);
  for (size_t i = 0; lists && i < lists->listCount; ++i) {
    const SignatureListInfo& list = lists->lists[i];
    JsonRecord record;
    BeginRecord(&record, records, "signature_list", std::strlen(list.path) + kSha256HexSize);
    AddText(&record, "path", list.path);
    AddJsonString(&record.line, "sha256", list.sha256Hex);
    AddJsonNumber(&record.line, "rows", list.rowCount);
    EndRecord(&record);
  }
  for (uint32_t i = 0; i < rootCount; ++i) {
    JsonRecord root;
    BeginRecord(&root, records, "root", std::strlen(roots[i]));
    AddText(&root, "path", roots[i]);
    if (rootsAreImages) AddJsonNumber(&root.line, "image", 1);
    EndRecord(&root);
  }
}

void WriteRowRecord(JsonRecords* records, const char* path, const char* name, ScanRowStatus status,
                    const char* reason, ScanPass pass) {
  if (!records->file) return;
  JsonRecord r;
  BeginRecord(&r, records, status == kRowNotExamined ? "not_examined" : "detection",
              std::strlen(path) + std::strlen(name) + std::strlen(reason));
  AddText(&r, "path", path);
  if (status != kRowNotExamined) {
    AddJsonString(&r.line, "detection", name);
    AddJsonString(&r.line, "action", RowStatusKey(status));
    AddJsonString(&r.line, "pass", pass == kPassMemory ? "memory" : "file");
  }
  if (reason[0]) AddText(&r, "reason", reason);
  EndRecord(&r);
}

void WriteIntentRecord(JsonRecords* records, const char* path, const char* name, const char* action) {
  if (!records->file) return;
  JsonRecord r;
  BeginRecord(&r, records, "intent", std::strlen(path) + std::strlen(name));
  AddText(&r, "path", path);
  AddJsonString(&r.line, "detection", name);
  AddJsonString(&r.line, "action", action);
  EndRecord(&r);
}

void WriteRunValueRecord(JsonRecords* records, const RunValueDeletion* v) {
  if (!records->file) return;
  JsonRecord r;
  BeginRecord(&r, records, "run_value",
              std::strlen(v->hive) + std::strlen(v->key) + std::strlen(v->valueName) + std::strlen(v->data) +
                  std::strlen(v->refersTo) + std::strlen(v->backup));
  AddText(&r, "hive", v->hive);
  AddText(&r, "key", v->key);
  AddText(&r, "value", v->valueName);
  AddText(&r, "data", v->data);
  AddText(&r, "refers_to", v->refersTo);
  // A preview saved nothing: no backup to name.
  AddJsonString(&r.line, "action", v->wouldDelete ? "would_delete" : "deleted");
  if (!v->wouldDelete) AddText(&r, "backup", v->backup);
  EndRecord(&r);
}

void WriteTroubleRecord(JsonRecords* records, RunValueTrouble kind, const char* where, const char* reason) {
  if (!records->file) return;
  JsonRecord r;
  BeginRecord(&r, records, "registry_trouble", std::strlen(where) + std::strlen(reason));
  AddJsonString(&r.line, "kind", TroubleKey(kind));
  AddText(&r, "where", where);
  AddText(&r, "reason", reason);
  EndRecord(&r);
}

void WriteNoticeRecord(JsonRecords* records, const char* type, const char* where, const char* reason) {
  if (!records->file) return;
  JsonRecord r;
  BeginRecord(&r, records, type, std::strlen(where) + std::strlen(reason));
  AddText(&r, "where", where);
  AddText(&r, "reason", reason);
  EndRecord(&r);
}

void WriteSummaryRecord(JsonRecords* records, const ScanTotals& t, int withMemory, double seconds, int status) {
  if (!records->file) return;
  JsonRecord r;
  BeginRecord(&r, records, "summary", 0);
  if (withMemory) AddJsonNumber(&r.line, "memory_modules", t.memoryModulesExamined);
  AddJsonNumber(&r.line, "files", t.filesExamined);
  AddJsonNumber(&r.line, "bytes", t.bytesExamined);
  AddJsonNumber(&r.line, "detections", t.detections);
  AddJsonNumber(&r.line, "removed", t.removed);
  AddJsonNumber(&r.line, "quarantined", t.quarantined);
  AddJsonNumber(&r.line, "left_in_place", t.leftInPlace);
  AddJsonNumber(&r.line, "failed", t.failures);
  AddJsonNumber(&r.line, "not_examined", t.notExamined);
  AddJsonNumber(&r.line, "excluded", t.excluded);
  AddJsonNumber(&r.line, "restart_needed", t.restartNeeded);
  AddJsonNumber(&r.line, "run_values_deleted", t.runValuesDeleted);
  AddJsonNumber(&r.line, "run_values_would_delete", t.runValuesWouldDelete);
  AddJsonNumber(&r.line, "registry_troubles", t.registryTroubles);
  AddJsonNumber(&r.line, "stopped", t.stopped);
  AddJsonFixed(&r.line, "seconds", seconds, 3);
  AddJsonNumber(&r.line, "exit_status", static_cast<uint64_t>(status));
  EndRecord(&r);
}

void WriteEntryRecord(JsonRecords* records, const QuarantineRecord& record, int readable, int restored) {
  if (!records->file) return;
  JsonRecord r;
  BeginRecord(&r, records, "entry", std::strlen(record.path) + std::strlen(record.image));
  AddJsonString(&r.line, "path", readable ? record.path : "");
  if (record.image[0]) AddJsonString(&r.line, "image", record.image);
  AddJsonString(&r.line, "id", readable ? record.id : "");
  AddJsonString(&r.line, "run", record.run);
  AddJsonString(&r.line, "state", !readable ? "unreadable" : restored ? "restored" : "quarantined");
  AddJsonString(&r.line, "detection", record.detection);
  AddJsonNumber(&r.line, "size", record.size);
  AddJsonString(&r.line, "sha256", record.sha256);
  AddJsonString(&r.line, "quarantined", record.when);
  AddJsonNumber(&r.line, "proven", record.trusted ? 1 : 0);
  EndRecord(&r);
}

void WriteRestoreRecord(JsonRecords* records, const char* path, const char* id, RestoreOutcome outcome,
                        const char* why) {
  if (!records->file) return;
  JsonRecord r;
  BeginRecord(&r, records, "restore", std::strlen(path) + std::strlen(why));
  AddJsonString(&r.line, "path", path);
  if (id[0]) AddJsonString(&r.line, "id", id);
  AddJsonString(&r.line, "result", RestoreOutcomeWord(outcome));
  if (why[0] && outcome == kRestoreFailed) AddText(&r, "reason", why);
  EndRecord(&r);
}
