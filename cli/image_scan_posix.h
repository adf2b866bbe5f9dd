// quellix-scan --image: the third platform behind the scan session's ports.
// Each disk image is opened in its turn, refused when another process has
// it open for writing. A run that only detects reads it in this process
// (image/: qemu-nbd and The Sleuth Kit, no appliance): its file systems are
// walked folder by folder, candidates read there, and the Run values of
// what it found previewed from host copies of the hives. A run that
// removes or quarantines opens it through libguestfs, refused when it holds
// a hibernated system; its drives are walked in batches, detections removed
// or quarantined through the appliance, and its profile hives' Run values
// cleaned before the next image is opened. Rows read
// "IMAGE:C:\WINDOWS\x.exe". POSIX.
#pragma once
#include <cstdint>
#include <string>
#include <vector>

#include "cli/console_driver.h"
#include "image/image_walk_posix.h"
#include "remedy/hive_posix.h"
#include "remedy/quarantine_posix.h"
#include "sys/guest_disk_posix.h"
#include "sys/owned_fd_posix.h"
#include "walker/guest_walk_posix.h"

struct ImageScanner {
  const ScanOptions* options;
  ConsoleDriver* driver;
  ScanSession* session;
  QuarantineStore* quarantine;  // the console's, open for --quarantine
  GuestDisk disk;
  ImageDisk read;         // a detection-only run's image, read in this process
  ImageSystem system;     // its Windows installation, when one was found
  ImageWalkStats walked;
  const char* image;                 // the one open now, as given
  char imageCanonical[4096];         // the same, absolute, as the quarantine records it
  std::string restoring;             // restore: the image open for writing
  std::vector<std::string> removed;  // its Windows paths taken away ("C:\x.exe")
  HiveBackup backup;
  int backupReady;
  GuestWalkStats stats;
};

// 0, after saying which, when an --image is there but no regular file (a
// FIFO, refused at once rather than waited on, or a device), before
// anything is made or scanned; else 1 (a missing image is its own row).
int ImagesAreFiles(const ScanOptions* options, ConsoleDriver* driver);

// Fills the ports; `quarantine` is open already when the run quarantines.
int BeginImageScan(ImageScanner* scanner, const ScanOptions* options, ConsoleDriver* driver,
                   QuarantineStore* quarantine, ScanPorts* ports);
// The session the walk reports Run values and refused images to.
void ImageScanBeforeWalk(ImageScanner* scanner, ScanSession* session);
void EndImageScan(ImageScanner* scanner);

// restore: the place files taken from an image go back to. The image is
// opened for writing the first time a line names it (a regular file, the
// one recorded unless the person named it) and closed when another is
// named or at the end.
struct ImageRestoreTarget {
  ImageScanner scanner;
  char windows[kQuarantineTextCapacity];  // "C:\x\y.exe" of the line at hand
  OwnedFd staged;
  char reason[kQuarantineReasonCapacity];
};
void ImageRestoreTargetPort(ImageRestoreTarget* target, const ScanOptions* options, RestoreTargetPort* port);
// Closes the image the restore opened. 0 when its changes may not have
// reached it whole (said on standard error).
int EndImageRestoreTarget(ImageRestoreTarget* target);
