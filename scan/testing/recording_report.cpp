// The recording report (see recording_report.h).
#include "scan/testing/recording_report.h"

namespace {

RecordingReport* Of(void* context) { return static_cast<RecordingReport*>(context); }

void Progress(void* context, const ScanPosition* position) { Of(context)->positions.push_back(*position); }
void CurrentPath(void* context, const char* path) { Of(context)->paths.push_back(path); }
void ResultRow(void* context, const char* path, const char* name, ScanRowStatus status) {
  Of(context)->rows.push_back(RecordedRow{path, name, status});
}
void RunEnded(void* context, const ScanTotals* totals) { Of(context)->ends.push_back(*totals); }
int StopRequested(void* context) {
  RecordingReport* r = Of(context);
  r->stopQuestions += 1;
  return r->stopAtQuestion && r->stopQuestions >= r->stopAtQuestion;
}

}  // namespace

ScanReport RecordingScanReport(RecordingReport* recording) {
  return ScanReport{Progress, CurrentPath, ResultRow, RunEnded, StopRequested, recording};
}
