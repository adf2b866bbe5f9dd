// The per-file decision over fake ports, watched through the recording report.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "scan/found_file.h"
#include "scan/testing/recording_report.h"

namespace {

struct Ports {
  CandidateOutcome outcome;
  ScanRowStatus removal;
  ScanRowStatus quarantine;
  std::vector<std::string> checked, removed, quarantined, cleaned;
  FileIdentity seen;
};

Ports* Of(void* c) { return static_cast<Ports*>(c); }

CandidateOutcome Check(void* c, const FoundFile* f, char* name, FileIdentity* identity) {
  Of(c)->checked.push_back(f->path);
  if (Of(c)->outcome == kCandidateMatched) strcpy(name, "Worm.Quellix.c");
  *identity = FileIdentity{7, 42, 1};
  return Of(c)->outcome;
}
ScanRowStatus Remove(void* c, const FoundFile* f, const FileIdentity* identity) {
  Of(c)->removed.push_back(f->path);
  Of(c)->seen = *identity;
  return Of(c)->removal;
}
ScanRowStatus Quarantine(void* c, const FoundFile* f, const FileIdentity* identity, const char* name) {
  Of(c)->quarantined.push_back(std::string(f->path) + "|" + name);
  Of(c)->seen = *identity;
  return Of(c)->quarantine;
}
void Clean(void* c, const char* path) { Of(c)->cleaned.push_back(path); }

const uint32_t kCandidate = 15872;  // the size of row 0

TEST(FoundFile, WhatHappensToOneFile) {
  struct Case {
    const char* what;
    FoundFileAction action;
    uint64_t size;
    CandidateOutcome outcome;
    ScanRowStatus removal;
    int rows;
    ScanRowStatus status;
    int acted;    // remove or quarantine port called
    int cleaned;  // Run values cleaned
  } cases[] = {
      {"not a signature size: not even checked", kActionRemove, 15873, kCandidateMatched, kRowRemoved, 0, kRowRemoved, 0, 0},
      {"too large to be checked", kActionRemove, kMaxCheckedFileSize + 1, kCandidateMatched, kRowRemoved, 0, kRowRemoved, 0, 0},
      {"candidate, clean", kActionRemove, kCandidate, kCandidateClean, kRowRemoved, 0, kRowRemoved, 0, 0},
      {"detection only", kActionLeave, kCandidate, kCandidateMatched, kRowRemoved, 1, kRowLeftInPlace, 0, 0},
      {"removed", kActionRemove, kCandidate, kCandidateMatched, kRowRemoved, 1, kRowRemoved, 1, 1},
      {"scheduled at restart", kActionRemove, kCandidate, kCandidateMatched, kRowScheduledAtRestart, 1, kRowScheduledAtRestart, 1, 1},
      {"removal failed: Run values stay", kActionRemove, kCandidate, kCandidateMatched, kRowRemovalFailed, 1, kRowRemovalFailed, 1, 0},
      {"quarantined", kActionQuarantine, kCandidate, kCandidateMatched, kRowQuarantined, 1, kRowQuarantined, 1, 1},
      {"quarantine failed", kActionQuarantine, kCandidate, kCandidateMatched, kRowRemovalFailed, 1, kRowRemovalFailed, 1, 0},
      {"unreadable", kActionRemove, kCandidate, kCandidateUnreadable, kRowRemoved, 1, kRowNotExamined, 0, 0},
  };
  for (const Case& c : cases) {
    Ports ports{c.outcome, c.removal, c.removal, {}, {}, {}, {}, {}};
    RecordingReport recording{};
    ScanReport report = RecordingScanReport(&recording);
    FoundFileRun run = BeginFoundFileRun(BuiltInSignatures(), c.action,
                                         FoundFilePorts{Check, Remove, Quarantine, Clean, &ports}, &report, 0);
    FoundFile file{"/v/WINDOWS/a b.exe", c.size, nullptr};
    EXPECT_EQ(1, DecideFoundFile(&run, &file)) << c.what;
    ASSERT_EQ(static_cast<size_t>(c.rows), recording.rows.size()) << c.what;
    if (c.rows) {
      EXPECT_EQ(c.status, recording.rows[0].status) << c.what;
      EXPECT_EQ("/v/WINDOWS/a b.exe", recording.rows[0].path) << c.what;
      EXPECT_EQ(c.status == kRowNotExamined ? "" : "Worm.Quellix.c", recording.rows[0].detectionName) << c.what;
    }
    EXPECT_EQ(static_cast<size_t>(c.acted), ports.removed.size() + ports.quarantined.size()) << c.what;
    if (c.acted) {
      EXPECT_TRUE(SameFileIdentity(FileIdentity{7, 42, 1}, ports.seen)) << c.what;
    }
    ASSERT_EQ(static_cast<size_t>(c.cleaned), ports.cleaned.size()) << c.what;
    const ScanTotals& t = run.totals;
    EXPECT_EQ(1u, t.filesExamined) << c.what;
    EXPECT_EQ(c.size, t.bytesExamined) << c.what;
    EXPECT_EQ(c.rows && c.status != kRowNotExamined ? 1u : 0u, t.detections) << c.what;
    EXPECT_EQ(c.status == kRowRemovalFailed && c.rows ? 1u : 0u, t.failures) << c.what;
    EXPECT_EQ(c.status == kRowNotExamined && c.rows ? 1u : 0u, t.notExamined) << c.what;
    EXPECT_EQ(t.detections, t.removed + t.quarantined + t.leftInPlace + t.failures) << c.what;
    ASSERT_EQ(1u, recording.positions.size()) << c.what;
    EXPECT_EQ(1u, recording.positions[0].filesExamined) << c.what;
  }
  // The quarantine hears the detection name it stores in its manifest.
  Ports ports{kCandidateMatched, kRowQuarantined, kRowQuarantined, {}, {}, {}, {}, {}};
  FoundFileRun run = BeginFoundFileRun(BuiltInSignatures(), kActionQuarantine,
                                       FoundFilePorts{Check, Remove, Quarantine, Clean, &ports}, nullptr, 0);
  FoundFile file{"/v/x.exe", kCandidate, nullptr};
  DecideFoundFile(&run, &file);
  ASSERT_EQ(1u, ports.quarantined.size());
  EXPECT_EQ("/v/x.exe|Worm.Quellix.c", ports.quarantined[0]);
}

TEST(FoundFile, PathEveryNthFileStopAndEnd) {
  Ports ports{kCandidateClean, kRowRemoved, kRowRemoved, {}, {}, {}, {}, {}};
  RecordingReport recording{};
  recording.stopAtQuestion = 25;
  ScanReport report = RecordingScanReport(&recording);
  FoundFileRun run = BeginFoundFileRun(BuiltInSignatures(), kActionRemove,
                                       FoundFilePorts{Check, Remove, Quarantine, Clean, &ports}, &report, 10);
  int files = 0;
  for (;;) {
    std::string path = "/v/f" + std::to_string(files + 1);
    FoundFile file{path.c_str(), 100, nullptr};
    ++files;
    if (!DecideFoundFile(&run, &file)) break;
  }
  EXPECT_EQ(25, files);
  EXPECT_EQ((std::vector<std::string>{"/v/f10", "/v/f20"}), recording.paths);
  EXPECT_EQ(0, NoteNotExamined(&run, "/v/locked"));  // the stop answer holds
  EndFoundFileRun(&run);
  ASSERT_EQ(1u, recording.ends.size());
  EXPECT_EQ(25u, recording.ends[0].filesExamined);
  EXPECT_EQ(2500u, recording.ends[0].bytesExamined);
  EXPECT_EQ(1u, recording.ends[0].notExamined);
  EXPECT_TRUE(ports.checked.empty());
}

// The platform's estimate rides on every position; checking every file
// reaches the check for sizes no row has.
uint32_t ShareOfSize(void*, const FoundFile* file) { return static_cast<uint32_t>(file->size / 100); }

TEST(FoundFile, EstimateHookAndCheckingEveryFile) {
  Ports ports{kCandidateClean, kRowRemoved, kRowRemoved, {}, {}, {}, {}, {}};
  RecordingReport recording{};
  ScanReport report = RecordingScanReport(&recording);
  FoundFileRun run = BeginFoundFileRun(BuiltInSignatures(), kActionRemove,
                                       FoundFilePorts{Check, Remove, Quarantine, Clean, &ports}, &report, 0);
  FoundFile plain{"/v/plain", 4200, nullptr};
  DecideFoundFile(&run, &plain);
  EXPECT_TRUE(ports.checked.empty());
  ASSERT_EQ(1u, recording.positions.size());
  EXPECT_EQ(kUnknownShare, recording.positions[0].percent);

  run.share = ShareOfSize;
  run.checkEveryFile = 1;
  DecideFoundFile(&run, &plain);
  EXPECT_EQ((std::vector<std::string>{"/v/plain"}), ports.checked);
  ASSERT_EQ(2u, recording.positions.size());
  EXPECT_EQ(42u, recording.positions[1].percent);
  EXPECT_EQ(2u, recording.positions[1].filesExamined);
}

}  // namespace
