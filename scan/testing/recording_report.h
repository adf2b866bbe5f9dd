// A ScanReport that writes down every call, for tests (and any front end
// that only wants the result afterwards). Stops the run after a given
// number of stop questions when asked to.
#pragma once
#include <cstdint>
#include <string>
#include <vector>

#include "scan/scan_report.h"

struct RecordedRow {
  std::string path;
  std::string detectionName;
  ScanRowStatus status;
  std::string reason;
  ScanPass pass;
};

struct RecordingReport {
  std::vector<ScanPosition> positions;
  std::vector<std::string> paths;
  std::vector<RecordedRow> rows;
  std::vector<ScanTotals> ends;
  std::vector<std::string> runValuesDeleted;  // "hive|value|refers to"
  std::vector<std::string> registryTroubles;  // "kind|where|reason"
  uint32_t stopQuestions;
  // The answer turns to "stop" at this question (1-based); 0: never.
  uint32_t stopAtQuestion;
};

// The table of functions that records into `recording`.
ScanReport RecordingScanReport(RecordingReport* recording);
