// Measures the file pass on a large drive next to a bare walk of the same
// drives and next to checking every file, and times the memory pass's full
// sweep. Run by run_scan_bench.sh in a prefix whose D: is a generated drive.
#include <windows.h>

#include <cstdio>
#include <string>

#include "engine/file_check_win32.h"
#include "scan/file_pass_win32.h"
#include "scan/progress.h"
#include "scan/memory_pass_win32.h"
#include "scan/tests/scan_harness_win32.h"
#include "walker/find_record.h"

using namespace scantest;

namespace {

int NoOp(void*, const WalkEntry*) { return 1; }

// Where the file pass's time goes: its reporting alone (progress and every
// 10th path), and its checks alone (signature-size files only).
int ReportingOnly(void* pass, const WalkEntry* entry) {
  const ScanReport* report = static_cast<const FilePass*>(pass)->run.report;
  const char* path = entry->path;
  const FindRecord* record = static_cast<const FindRecord*>(entry->native);
  FileProgress progress = AdvanceFileProgress(&gScanCounters, record->size);
  if (progress.moveBar)
    ReportProgress(report, ScanPosition{gScanCounters.filesScanned, gScanCounters.bytesDone, progress.position});
  if (progress.showPath) ReportCurrentPath(report, path);
  return 1;
}

int ChecksOnly(void*, const WalkEntry* entry) {
  const FindRecord* record = static_cast<const FindRecord*>(entry->native);
  if (record->size > kMaxCheckedFileSize || !HasSignatureOfSize(BuiltInSignatures(), record->size)) return 1;
  char name[64];
  CheckFile(entry->path, name);
  return 1;
}

double Seconds(LARGE_INTEGER from, LARGE_INTEGER to) {
  LARGE_INTEGER frequency;
  QueryPerformanceFrequency(&frequency);
  return static_cast<double>(to.QuadPart - from.QuadPart) / static_cast<double>(frequency.QuadPart);
}

// A few specimens at several depths; each pass that checks removes them.
void PlantSpecimens() {
  const char* paths[] = {"D:\\specimens\\a.exe", "D:\\specimens\\b\\c.dll", "D:\\specimens\\b\\d\\e.bin",
                         "D:\\specimens\\f.vbs", "D:\\specimens\\g.dat"};
  const uint32_t rows[] = {0, 1, 5, 4, 8};
  for (int i = 0; i < 5; ++i) {
    std::string path = paths[i];
    MakeDirectories(path.substr(0, path.rfind('\\')));
    WriteFileBytes(path, Specimen(rows[i], 100 + i));
  }
}

struct Variant {
  const char* name;
  WalkFileFunction callback;
  int checkEveryFile;
  double best = 1e30;
};

}  // namespace

int main() {
  ScanRecorder recorder;
  Variant variants[] = {{"bare walk (no-op callback)", NoOp, 0},
                        {"file pass (size filter)", OnFileFound, 0},
                        {"file pass (CheckFile on every file)", OnFileFound, 1},
                        {"  part: reporting alone", ReportingOnly, 0},
                        {"  part: signature-size checks alone", ChecksOnly, 0}};
  uint32_t files = 0;
  for (int round = 0; round < 3; ++round) {
    for (Variant& variant : variants) {
      PlantSpecimens();
      LARGE_INTEGER start, end;
      QueryPerformanceCounter(&start);
      RunRecord run = recorder.Run([&variant](const ScanReport* report) {
        gScanCounters = ScanCounters{};
        FilePass pass = ProgramFilePass(report);
        pass.run.checkEveryFile = variant.checkEveryFile;
        ScanFixedDrivesWith(variant.callback, &pass);
      });
      QueryPerformanceCounter(&end);
      double seconds = Seconds(start, end);
      if (seconds < variant.best) variant.best = seconds;
      if (variant.callback == OnFileFound && !variant.checkEveryFile) files = run.counters.filesScanned;
      std::printf("round %d  %-38s %7.2f s  files %u  detections %u\n", round, variant.name, seconds,
                  run.counters.filesScanned, run.counters.fileDetections);
      std::fflush(stdout);
    }
  }
  std::printf("best of 3, %u files:\n", files);
  for (const Variant& variant : variants)
    std::printf("  %-38s %7.2f s  (%.2fx the bare walk)\n", variant.name, variant.best, variant.best / variants[0].best);

  LARGE_INTEGER start, end;
  QueryPerformanceCounter(&start);
  RunRecord run = recorder.Run([](const ScanReport* report) {
    gScanCounters = ScanCounters{};
    ScanMemory(report);
  });
  QueryPerformanceCounter(&end);
  std::printf("memory pass, ids 0..65534: %.2f s, %u executable modules scanned\n", Seconds(start, end),
              run.counters.memoryModulesScanned);
  return 0;
}
