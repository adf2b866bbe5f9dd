// quellix-scan --image: the third platform behind the scan session's ports.
// Each disk image is opened in its turn, refused when another process has
// it open for writing, and read in this process (image/: qemu-nbd and The
// Sleuth Kit): its file systems are walked folder by folder and candidates
// read there. A run that only detects previews the Run values of what it
// found from host copies of the hives. A run that removes or quarantines
// refuses a hibernated system first, and starts the libguestfs appliance
// only at the image's first detection: each file is found and checked
// again there before it is taken away through it, and the profile hives'
// Run values are cleaned through it before the next image is opened. Rows
// read "IMAGE:C:\WINDOWS\x.exe". POSIX.
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

enum ApplianceState : uint32_t {
  kApplianceNotStarted = 0,
  kApplianceStarted = 1,
  kApplianceFailed = 2,  // applianceTrouble says why
};

struct ImageScanner {
  const ScanOptions* options;
  ConsoleDriver* driver;
  ScanSession* session;
  QuarantineStore* quarantine;  // the console's, open for --quarantine
  GuestDisk disk;        // the appliance: a writing run's, once something is to go; restore's
  ApplianceState appliance;
  char applianceTrouble[512];
  ImageDisk read;         // the image, read in this process
  ImageSystem system;     // its Windows installation, when one was found
  ImageWalkStats walked;
  const SignatureSet* signatures;     // the session's, for the check again in the appliance
  const ImageFileRecord* checked;     // the detection at hand, as the walk gave it
  char checkedName[kDetectionNameCapacity];
  const char* image;                 // the one open now, as given
  uint32_t imageIndex;
  char imageCanonical[4096];         // the same, absolute, as the quarantine records it
  std::string restoring;             // restore: the image open for writing
  std::vector<std::string> removed;  // its Windows paths taken away ("C:\x.exe")
  HiveBackup backup;
  int backupReady;
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
