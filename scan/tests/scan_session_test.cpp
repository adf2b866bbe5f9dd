// The scan session over a fake port table, watched through the recording report.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "scan/scan_session.h"
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

CandidateOutcome Check(void* c, const SignatureSet&, const FoundFile* f, char* name, FileIdentity* identity) {
  Of(c)->checked.push_back(f->path);
  if (Of(c)->outcome == kCandidateMatched) strcpy(name, "Worm.Quellix.c");
  *identity = FileIdentity{7, 42, 1};
  return Of(c)->outcome;
}
ScanRowStatus Remove(void* c, const FoundFile* f, const FileIdentity* identity, char* why, size_t capacity) {
  if (Of(c)->removal == kRowRemovalFailed) snprintf(why, capacity, "%s", "held open");
  Of(c)->removed.push_back(f->path);
  Of(c)->seen = *identity;
  return Of(c)->removal;
}
ScanRowStatus Quarantine(void* c, const FoundFile* f, const FileIdentity* identity, const char* name, char*, size_t) {
  Of(c)->quarantined.push_back(std::string(f->path) + "|" + name);
  Of(c)->seen = *identity;
  return Of(c)->quarantine;
}
void Clean(void* c, const char* path, const RunValueListener* listener) {
  Of(c)->cleaned.push_back(std::string(RunValuesPreviewed(listener) ? "preview " : "") + path);
}

ScanPorts FakePorts(Ports* ports) {
  ScanPorts p{};
  p.check = Check;
  p.remove = Remove;
  p.quarantine = Quarantine;
  p.cleanRunValuesOf = Clean;
  p.context = ports;
  return p;
}

const uint32_t kCandidate = 15872;  // the size of row 0

TEST(ScanSession, WhatHappensToOneFile) {
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
      {"detection only: a preview", kActionLeave, kCandidate, kCandidateMatched, kRowRemoved, 1, kRowLeftInPlace, 0, 1},
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
    ScanSession run;
    BeginScanSession(&run, BuiltInSignatureSet(), c.action, FakePorts(&ports), &report, 0);
    FoundFile file{"/v/WINDOWS/a b.exe", c.size, nullptr};
    EXPECT_EQ(1, SessionFile(&run, &file)) << c.what;
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
    if (c.cleaned) {
      EXPECT_EQ(std::string(c.action == kActionLeave ? "preview " : "") + "/v/WINDOWS/a b.exe", ports.cleaned[0])
          << c.what;
    }
    const ScanTotals& t = run.ledger;
    // An unreadable file counts as not examined, never as examined.
    EXPECT_EQ(c.status == kRowNotExamined && c.rows ? 0u : 1u, t.filesExamined) << c.what;
    EXPECT_EQ(c.status == kRowNotExamined && c.rows ? 0u : c.size, t.bytesExamined) << c.what;
    EXPECT_EQ(c.status == kRowScheduledAtRestart ? 1u : 0u, t.restartNeeded) << c.what;
    EXPECT_EQ(c.rows && c.status != kRowNotExamined ? 1u : 0u, t.detections) << c.what;
    EXPECT_EQ(c.status == kRowRemovalFailed && c.rows ? 1u : 0u, t.failures) << c.what;
    EXPECT_EQ(c.status == kRowNotExamined && c.rows ? 1u : 0u, t.notExamined) << c.what;
    EXPECT_EQ(t.detections, t.removed + t.quarantined + t.leftInPlace + t.failures) << c.what;
    ASSERT_EQ(1u, recording.positions.size()) << c.what;
    EXPECT_EQ(t.filesExamined, recording.positions[0].filesExamined) << c.what;
    EndScanSession(&run);
  }
  // The quarantine hears the detection name it stores in its manifest.
  Ports ports{kCandidateMatched, kRowQuarantined, kRowQuarantined, {}, {}, {}, {}, {}};
  ScanSession run;
  BeginScanSession(&run, BuiltInSignatureSet(), kActionQuarantine, FakePorts(&ports), nullptr, 0);
  FoundFile file{"/v/x.exe", kCandidate, nullptr};
  SessionFile(&run, &file);
  EndScanSession(&run);
  ASSERT_EQ(1u, ports.quarantined.size());
  EXPECT_EQ("/v/x.exe|Worm.Quellix.c", ports.quarantined[0]);
}

TEST(ScanSession, PathEveryNthFileStopAndEnd) {
  Ports ports{kCandidateClean, kRowRemoved, kRowRemoved, {}, {}, {}, {}, {}};
  RecordingReport recording{};
  recording.stopAtQuestion = 25;
  ScanReport report = RecordingScanReport(&recording);
  ScanSession run;
  BeginScanSession(&run, BuiltInSignatureSet(), kActionRemove, FakePorts(&ports), &report, 10);
  int files = 0;
  for (;;) {
    std::string path = "/v/f" + std::to_string(files + 1);
    FoundFile file{path.c_str(), 100, nullptr};
    ++files;
    if (!SessionFile(&run, &file)) break;
  }
  EXPECT_EQ(25, files);
  EXPECT_EQ((std::vector<std::string>{"/v/f10", "/v/f20"}), recording.paths);
  EXPECT_EQ(0, SessionUnreadableBecause(&run, "/v/locked", "busy"));  // the stop answer holds
  EndScanSession(&run);
  ASSERT_EQ(1u, recording.ends.size());
  EXPECT_EQ(25u, recording.ends[0].filesExamined);
  EXPECT_EQ(2500u, recording.ends[0].bytesExamined);
  EXPECT_EQ(1u, recording.ends[0].notExamined);
  EXPECT_EQ(1u, recording.ends[0].stopped);
  EXPECT_EQ(kExitTrouble, ExitStatusOf(recording.ends[0]));
  EXPECT_TRUE(ports.checked.empty());
}

// The platform's estimate rides on every position; checking every file
// reaches the check for sizes no row has.
uint32_t ShareOfSize(void*, const FoundFile* file) { return static_cast<uint32_t>(file->size / 100); }

TEST(ScanSession, EstimateHookAndCheckingEveryFile) {
  Ports ports{kCandidateClean, kRowRemoved, kRowRemoved, {}, {}, {}, {}, {}};
  RecordingReport recording{};
  ScanReport report = RecordingScanReport(&recording);
  ScanSession run;
  BeginScanSession(&run, BuiltInSignatureSet(), kActionRemove, FakePorts(&ports), &report, 0);
  FoundFile plain{"/v/plain", 4200, nullptr};
  SessionFile(&run, &plain);
  EXPECT_TRUE(ports.checked.empty());
  ASSERT_EQ(1u, recording.positions.size());
  EXPECT_EQ(kUnknownShare, recording.positions[0].percent);

  run.ports.share = ShareOfSize;
  run.checkEveryFile = 1;
  SessionFile(&run, &plain);
  EXPECT_EQ((std::vector<std::string>{"/v/plain"}), ports.checked);
  ASSERT_EQ(2u, recording.positions.size());
  EXPECT_EQ(42u, recording.positions[1].percent);
  EXPECT_EQ(2u, recording.positions[1].filesExamined);
  EndScanSession(&run);
}

}  // namespace

namespace {

// A walk over a fixed list: names starting with '!' cannot be read.
std::vector<std::string> gListed;
int Walk(void*, const WalkVisitor* visitor) {
  for (const std::string& e : gListed) {
    WalkEntry entry{e.c_str(), 0, e.c_str(), kCandidate, nullptr};
    int goOn = e[0] == '!' ? visitor->unreadable(visitor->context, e.c_str() + 1, 13)
                           : visitor->file(visitor->context, &entry);
    if (!goOn) return 0;
  }
  return 1;
}
void ErrorText(uint32_t error, char* out, size_t capacity) { snprintf(out, capacity, "denied (%u)", error); }

// Deletes one value per path, in the hive "HKCU"; "/v/stuck.exe" is refused.
void CleanOf(void*, const char* path, const RunValueListener* listener) {
  if (strcmp(path, "/v/stuck.exe") == 0) {
    TellRunValueTrouble(listener, kRunValuesRefused, "HKCU", "not ours to change");
    return;
  }
  TellRunValueDeleted(listener, RunValueDeletion{"HKCU", "Run", "updater", path, path, "restore.reg", 0});
  TellRunValuesExamined(listener, "HKCU", 1);
}
std::vector<std::string> gAfter;
void CleanAfter(void*, const char* const* paths, uint32_t count, const RunValueListener* listener) {
  for (uint32_t i = 0; i < count; ++i) gAfter.push_back(paths[i]);
  TellRunValueDeleted(listener, RunValueDeletion{"/v/NTUSER.DAT", "Run", "a", "b", paths[0], "backup", 0});
  TellRunValuesExamined(listener, "/v/NTUSER.DAT", 1);
}

}  // namespace

// The rules every front end shares, through the session alone.
TEST(ScanSession, UnreadablePathsRunValuesRestartsAndTheExitStatus) {
  Ports ports{kCandidateMatched, kRowScheduledAtRestart, kRowQuarantined, {}, {}, {}, {}, {}};
  gListed = {"/v/a.exe", "!/v/locked", "/v/b.exe"};
  RecordingReport recording{};
  ScanReport report = RecordingScanReport(&recording);
  ScanPorts p = FakePorts(&ports);
  p.walk = Walk;
  p.errorText = ErrorText;
  p.cleanRunValuesOf = CleanOf;
  p.cleanRunValuesAfter = CleanAfter;
  ScanSession session;
  BeginScanSession(&session, BuiltInSignatureSet(), kActionRemove, p, &report, 0);
  gAfter.clear();
  EXPECT_EQ(1, SessionWalk(&session));
  // A memory pass's scheduled removal counts the same way as a file's.
  SessionMemoryModule(&session);
  SessionMemoryResident(&session);
  SessionMemoryRow(&session, "/v/resident.exe", "Worm.Mail.Drimo.qd", kRowScheduledAtRestart);
  SessionMemoryRow(&session, "/v/stuck.exe", "Worm.Quellix.c", kRowRemoved);
  SessionCleanRunValues(&session);
  EndScanSession(&session);

  ASSERT_EQ(5u, recording.rows.size());
  EXPECT_EQ("/v/locked", recording.rows[1].path);
  EXPECT_EQ(kRowNotExamined, recording.rows[1].status);
  EXPECT_EQ("denied (13)", recording.rows[1].reason);
  EXPECT_EQ(kPassMemory, recording.rows[3].pass);
  const ScanTotals& t = recording.ends.at(0);
  EXPECT_EQ(2u, t.filesExamined);
  EXPECT_EQ(1u, t.notExamined);
  EXPECT_EQ(4u, t.detections);
  EXPECT_EQ(2u, t.fileDetections);
  EXPECT_EQ(1u, t.memoryDetections);
  EXPECT_EQ(3u, t.restartNeeded);
  // Each taken file's values went as it went (three lines), the offline
  // cleaning after the walk saw all four, and the refusal is trouble.
  EXPECT_EQ((std::vector<std::string>{"/v/a.exe", "/v/b.exe", "/v/resident.exe", "/v/stuck.exe"}), gAfter);
  EXPECT_EQ(4u, recording.runValuesDeleted.size());
  EXPECT_EQ(4u, t.runValuesDeleted);
  EXPECT_EQ(4u, t.hivesCleaned);
  EXPECT_EQ(1u, t.registryTroubles);
  EXPECT_EQ((std::vector<std::string>{"1|HKCU|not ours to change"}), recording.registryTroubles);
}

// A detection-only run hands what it found to the same ports, previewing:
// the values a writing run would delete are counted apart, are no trouble
// and leave the exit status a detection's.
namespace {

void PreviewOf(void*, const char* path, const RunValueListener* listener) {
  if (!RunValuesPreviewed(listener)) return;
  TellRunValueDeleted(listener, RunValueDeletion{"HKCU", "Run", "updater", path, path, "", 1});
  TellRunValuesExamined(listener, "HKCU", 1);
}
std::vector<std::string> gPreviewedAfter;
void PreviewAfter(void*, const char* const* paths, uint32_t count, const RunValueListener* listener) {
  for (uint32_t i = 0; i < count; ++i)
    gPreviewedAfter.push_back(std::string(RunValuesPreviewed(listener) ? "preview " : "") + paths[i]);
  if (RunValuesPreviewed(listener))
    TellRunValueDeleted(listener, RunValueDeletion{"/v/NTUSER.DAT", "Run", "a", "b", paths[0], "", 1});
}

}  // namespace

TEST(ScanSession, DetectionOnlyPreviewsTheRunValuesAWritingRunWouldDelete) {
  Ports ports{kCandidateMatched, kRowRemoved, kRowQuarantined, {}, {}, {}, {}, {}};
  gListed = {"/v/a.exe", "/v/b.exe"};
  gPreviewedAfter.clear();
  RecordingReport recording{};
  ScanReport report = RecordingScanReport(&recording);
  ScanPorts p = FakePorts(&ports);
  p.walk = Walk;
  p.cleanRunValuesOf = PreviewOf;
  p.cleanRunValuesAfter = PreviewAfter;
  ScanSession session;
  BeginScanSession(&session, BuiltInSignatureSet(), kActionLeave, p, &report, 0);
  EXPECT_EQ(1, SessionWalk(&session));
  // The memory pass's row is the walk's file again: not previewed twice.
  SessionMemoryRow(&session, "/v/a.exe", "Worm.Quellix.c", kRowLeftInPlace);
  SessionCleanRunValues(&session);
  EndScanSession(&session);

  EXPECT_TRUE(ports.removed.empty());
  EXPECT_EQ((std::vector<std::string>{"preview /v/a.exe", "preview /v/b.exe"}), gPreviewedAfter);
  const ScanTotals& t = recording.ends.at(0);
  EXPECT_EQ(3u, t.runValuesWouldDelete);
  EXPECT_EQ(3u, recording.runValuesDeleted.size());
  EXPECT_EQ(0u, t.runValuesDeleted);
  EXPECT_EQ(0u, t.hivesCleaned);
  EXPECT_EQ(0u, t.registryTroubles);
  EXPECT_EQ(kExitAllHandled, ExitStatusOf(t));
}

ScanTotals Ledger(uint64_t files, uint32_t detections, uint32_t removed, uint32_t leftInPlace, uint32_t failures,
                  uint32_t notExamined, uint32_t registryTroubles, uint32_t stopped) {
  ScanTotals t{};
  t.filesExamined = files;
  t.detections = detections;
  t.removed = removed;
  t.leftInPlace = leftInPlace;
  t.failures = failures;
  t.notExamined = notExamined;
  t.registryTroubles = registryTroubles;
  t.stopped = stopped;
  return t;
}

TEST(ScanSession, ExitStatusRule) {
  struct Case {
    const char* what;
    ScanTotals t;
    ScanExitStatus status;
  } cases[] = {
      {"clean", Ledger(3, 0, 0, 0, 0, 0, 0, 0), kExitNothingFound},
      {"nothing examined is not clean", Ledger(0, 0, 0, 0, 0, 0, 0, 0), kExitTrouble},
      {"no file left to examine, but the memory pass found one", Ledger(0, 1, 1, 0, 0, 0, 0, 0), kExitAllHandled},
      {"handled", Ledger(3, 1, 1, 0, 0, 0, 0, 0), kExitAllHandled},
      {"left in place as asked", Ledger(3, 1, 0, 1, 0, 0, 0, 0), kExitAllHandled},
      {"not handled", Ledger(3, 1, 0, 0, 1, 0, 0, 0), kExitTrouble},
      {"not examined", Ledger(3, 0, 0, 0, 0, 1, 0, 0), kExitTrouble},
      {"registry refused", Ledger(3, 1, 1, 0, 0, 0, 1, 0), kExitTrouble},
      {"stopped", Ledger(3, 0, 0, 0, 0, 0, 0, 1), kExitTrouble},
  };
  for (const Case& c : cases) EXPECT_EQ(c.status, ExitStatusOf(c.t)) << c.what;
}
