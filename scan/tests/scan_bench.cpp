// Measures the file pass on a large drive next to a bare walk of the same
// drives and next to checking every file, and times the memory pass's full
// sweep. Run by run_scan_bench.sh in a prefix whose D: is a generated drive.
#include <windows.h>

#include <cstdio>
#include <string>

#include "engine/file_check.h"
#include "scan/file_pass.h"
#include "scan/progress.h"
#include "scan/memory_pass.h"
#include "scan/tests/scan_harness.h"

using namespace scantest;

namespace {

int NoOp(const char*, const FindRecord*) { return 1; }

// Where the file pass's time goes: its window traffic alone (progress and
// every 10th path), and its checks alone (signature-size files only).
int WindowTrafficOnly(const char* directory, const FindRecord* record) {
  char path[1024];
  std::snprintf(path, sizeof path, "%s%s", directory, record->name);
  FileProgress progress = AdvanceFileProgress(&gScanCounters, record->size);
  if (progress.moveBar) SetProgressPos(gScanCounters.context, progress.position);
  if (progress.showPath) SetStatusText(gScanCounters.context, path);
  return 1;
}

int ChecksOnly(const char* directory, const FindRecord* record) {
  if (record->size > kMaxCheckedFileSize || !HasSignatureOfSize(BuiltInSignatures(), record->size)) return 1;
  char path[1024];
  std::snprintf(path, sizeof path, "%s%s", directory, record->name);
  char name[64];
  CheckFile(path, name);
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
  FileFoundCallback callback;
  double best = 1e30;
};

}  // namespace

int main() {
  ScanWindow window;
  Variant variants[] = {{"bare walk (no-op callback)", NoOp},
                        {"file pass (size filter)", OnFileFound},
                        {"file pass (CheckFile on every file)", OnFileFoundCheckingEveryFile},
                        {"  part: window traffic alone", WindowTrafficOnly},
                        {"  part: signature-size checks alone", ChecksOnly}};
  uint32_t files = 0;
  for (int round = 0; round < 3; ++round) {
    for (Variant& variant : variants) {
      PlantSpecimens();
      LARGE_INTEGER start, end;
      QueryPerformanceCounter(&start);
      RunRecord run = window.Run([&variant](ScanContext* context) {
        gScanCounters = ScanCounters{};
        gScanCounters.context = context;
        ScanFixedDrivesWith(variant.callback);
      });
      QueryPerformanceCounter(&end);
      window.ClearRows();
      double seconds = Seconds(start, end);
      if (seconds < variant.best) variant.best = seconds;
      if (variant.callback == OnFileFound) files = run.counters.filesScanned;
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
  RunRecord run = window.Run([](ScanContext* context) {
    gScanCounters = ScanCounters{};
    gScanCounters.context = context;
    ScanMemory();
  });
  QueryPerformanceCounter(&end);
  std::printf("memory pass, ids 0..65534: %.2f s, %u executable modules scanned\n", Seconds(start, end),
              run.counters.memoryModulesScanned);
  return 0;
}
