// The recording report (see recording_report.h).
#include "scan/testing/recording_report.h"

namespace {

RecordingReport* Of(void* context) { return static_cast<RecordingReport*>(context); }

void Progress(void* context, const ScanPosition* position) { Of(context)->positions.push_back(*position); }
void CurrentPath(void* context, const char* path) { Of(context)->paths.push_back(path); }
void ResultRow(void* context, const ScanRow* row) {
  Of(context)->rows.push_back(RecordedRow{row->path, row->detectionName, row->status, row->reason, row->pass});
}
void ValueDeleted(void* context, const RunValueDeletion* d) {
  Of(context)->runValuesDeleted.push_back(std::string(d->hive) + "|" + d->valueName + "|" + d->refersTo);
}
void Trouble(void* context, RunValueTrouble kind, const char* where, const char* reason) {
  Of(context)->registryTroubles.push_back(std::to_string(kind) + "|" + where + "|" + reason);
}
void RunEnded(void* context, const ScanTotals* totals) { Of(context)->ends.push_back(*totals); }
int StopRequested(void* context) {
  RecordingReport* r = Of(context);
  r->stopQuestions += 1;
  return r->stopAtQuestion && r->stopQuestions >= r->stopAtQuestion;
}

}  // namespace

ScanReport RecordingScanReport(RecordingReport* recording) {
  return ScanReport{Progress,     CurrentPath, ResultRow, RunEnded, StopRequested,
                    ValueDeleted, Trouble,     nullptr,   recording};
}
