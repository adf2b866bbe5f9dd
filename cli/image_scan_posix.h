// quellix-scan --image: the third platform behind the scan session's ports.
// Each disk image is opened in its turn through libguestfs (read-only
// unless the run removes or quarantines), refused when another process has
// it open for writing or, for a writing run, when it holds a hibernated
// system; its drives are walked in batches, candidates read through the
// appliance, detections removed or quarantined there, and its profile
// hives' Run values cleaned before the next image is opened. Rows read
// "IMAGE:C:\WINDOWS\x.exe". POSIX.
#pragma once
#include <cstdint>
#include <string>
#include <vector>

#include "cli/console_driver.h"
#include "remedy/hive_posix.h"
#include "remedy/quarantine_posix.h"
#include "sys/guest_disk_posix.h"
#include "walker/guest_walk_posix.h"

struct ImageScanner {
  const ScanOptions* options;
  ConsoleDriver* driver;
  ScanSession* session;
  QuarantineStore* quarantine;  // the console's, open for --quarantine
  GuestDisk disk;
  const char* image;                 // the one open now, as given
  char imageCanonical[4096];         // the same, absolute, as the quarantine records it
  std::string restoring;             // restore: the image open for writing
  std::vector<std::string> removed;  // its Windows paths taken away ("C:\x.exe")
  HiveBackup backup;
  int backupReady;
  GuestWalkStats stats;
};

// Fills the ports; `quarantine` is open already when the run quarantines.
int BeginImageScan(ImageScanner* scanner, const ScanOptions* options, ConsoleDriver* driver,
                   QuarantineStore* quarantine, ScanPorts* ports);
// The session the walk reports Run values and refused images to.
void ImageScanBeforeWalk(ImageScanner* scanner, ScanSession* session);
void EndImageScan(ImageScanner* scanner);

// restore: puts back a manifest line that names an image (its "image"
// key), opening that image for writing the first time a line names it.
// 1 when `line` names an image (and was handled), 0 when it is for the
// host's restore.
int ImageRestoreLine(ImageScanner* scanner, const ScanOptions* options, int quarantineFd, const char* line,
                     RestoreRowKind* kind, char* path, size_t pathCapacity, char* why, size_t whyCapacity);
// Closes the image the restore opened. 0 when its changes may not have
// reached it whole (said on standard error).
int EndImageRestore(ImageScanner* scanner);
