// The disk-image platform of quellix-scan (see image_scan_posix.h).
#include "cli/image_scan_posix.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "engine/guest_check_posix.h"
#include "remedy/guest_remedy_posix.h"
#include "remedy/json_lines.h"
#include "sys/owned_fd_posix.h"

namespace {

ImageScanner* Of(void* context) { return static_cast<ImageScanner*>(context); }

const GuestEntry* EntryOf(const FoundFile* file) { return static_cast<const GuestEntry*>(file->location); }

void Progress(ImageScanner* s, const char* image, const char* text) {
  if (!s->options->quiet && s->driver) ConsoleNotice(s->driver, nullptr, image, text);
}

// The image is not examined: said once as a notice and once as a row, so
// that the exit status tells it.
int Refuse(ImageScanner* s, const char* image, const char* why) {
  ConsoleNotice(s->driver, "refused", image, why);
  return s->session ? SessionUnreadableBecause(s->session, image, why) : 1;
}

void ErrorText(uint32_t error, char* out, size_t capacity) {
  std::snprintf(out, capacity, "%s", std::strerror(static_cast<int>(error)));
}

CandidateOutcome CheckPort(void*, const FoundFile* file, char* nameOut, FileIdentity* identity) {
  const GuestEntry* entry = EntryOf(file);
  return CheckGuestFile(BuiltInSignatures(), entry->disk->handle, entry->appliancePath, nameOut, identity);
}

// A removed file's Run values are looked for by its Windows path; a drive
// that inspection gave no letter has none, as offline a file on no drive.
void RememberRemoved(ImageScanner* s, const FoundFile* file, const GuestEntry* entry) {
  const GuestDrive& drive = entry->disk->drives[entry->drive];
  char windows[kQuarantinePathCapacity];
  if (std::strlen(drive.label) == 1 && GuestWindowsPath(drive, entry->appliancePath, windows, sizeof windows)) {
    s->removed.push_back(windows);
  } else if (s->session) {
    RunValueListener listener = SessionRunValueListener(s->session);
    TellRunValueTrouble(&listener, kRunValuesNotCleaned, file->path,
                        "is on no drive letter (no Windows installation was found in the image), so Run values "
                        "naming it are not looked for");
  }
}

ScanRowStatus RemovePort(void* context, const FoundFile* file, const FileIdentity* identity, char* why,
                         size_t capacity) {
  ImageScanner* s = Of(context);
  const GuestEntry* entry = EntryOf(file);
  RemovalOutcome outcome = RemoveGuestFile(entry->disk, entry->appliancePath, *identity, entry->size);
  if (outcome == kRemovalDone) {
    RememberRemoved(s, file, entry);
    return kRowRemoved;
  }
  std::snprintf(why, capacity, "%s",
                outcome == kRemovalNotSame ? "it is not the file that was checked any more" : GuestError(entry->disk));
  return kRowRemovalFailed;
}

ScanRowStatus QuarantinePort(void* context, const FoundFile* file, const FileIdentity* identity, const char* name,
                             char* why, size_t capacity) {
  ImageScanner* s = Of(context);
  const GuestEntry* entry = EntryOf(file);
  char hex[kSha256HexSize];
  QuarantineOutcome outcome =
      QuarantineGuestFile(s->quarantine, entry->disk, s->imageCanonical, entry->disk->drives[entry->drive],
                          entry->appliancePath, *identity, entry->size, name, hex);
  if (outcome == kQuarantineDone) {
    RememberRemoved(s, file, entry);
    return kRowQuarantined;
  }
  int error = errno;
  QuarantineFailureText(outcome, hex,
                        outcome == kQuarantineKeptCopy || error == EIO ? GuestError(entry->disk) : std::strerror(error),
                        why, capacity);
  return kRowRemovalFailed;
}

int WalkOneImage(ImageScanner* s, const char* image, uint32_t index, uint32_t count, const WalkVisitor* visitor) {
  char text[512];
  std::snprintf(text, sizeof text, "image %u of %u: starting the appliance", index + 1, count);
  Progress(s, image, text);
  long pid = 0;
  if (ImageOpenForWriting(image, &pid)) {
    std::snprintf(text, sizeof text, "in use: process %ld has it open for writing (shut the virtual machine down)",
                  pid);
    return Refuse(s, image, text);
  }
  int writes = s->options->action != kActionLeave;
  char why[1024];
  if (!OpenGuestDisk(image, writes, &s->disk, why, sizeof why)) return Refuse(s, image, why);
  s->image = image;
  if (!realpath(image, s->imageCanonical)) std::snprintf(s->imageCanonical, sizeof s->imageCanonical, "%s", image);
  s->removed.clear();
  if (writes) {
    char hiberfil[1024];
    if (GuestHibernated(&s->disk, hiberfil, sizeof hiberfil)) {
      CloseGuestDisk(&s->disk);
      std::snprintf(text, sizeof text,
                    "refusing to write: %s holds a hibernated Windows; writing to its volume would corrupt it "
                    "(start that Windows and shut it down fully, or scan without --remove and --quarantine)",
                    hiberfil);
      return Refuse(s, image, text);
    }
    if (!RemountGuestDiskWritable(&s->disk, why, sizeof why)) return Refuse(s, image, why);
  }
  std::string drives;
  for (uint32_t i = 0; i < s->disk.driveCount; ++i) {
    const GuestDrive& d = s->disk.drives[i];
    drives += std::string(drives.empty() ? "" : ", ") + d.label + (std::strlen(d.label) == 1 ? ":" : "") + " (" +
              d.device + (d.mounted ? "" : ", not mounted") + ")";
  }
  std::snprintf(text, sizeof text, "%s; listing %s", s->disk.inspected ? "Windows found" :
                "no Windows installation found: every NTFS and FAT file system is scanned", drives.c_str());
  Progress(s, image, text);
  int go = WalkGuestDisk(&s->disk, image, *visitor, &s->stats);
  if (!s->removed.empty() && s->session) {
    if (!s->backupReady) {
      InitHiveBackup(&s->backup, s->options->backupDirectory);
      s->backupReady = 1;
    }
    std::vector<const char*> paths;
    for (const std::string& p : s->removed) paths.push_back(p.c_str());
    RunValueListener listener = SessionRunValueListener(s->session);
    CleanGuestRunValues(&s->disk, image, paths.data(), static_cast<uint32_t>(paths.size()), &s->backup, listener);
  }
  if (!CloseGuestDisk(&s->disk)) {
    std::snprintf(text, sizeof text, "the changes may not have reached the image whole: %s", GuestError(&s->disk));
    if (!Refuse(s, image, text)) go = 0;
  }
  s->image = nullptr;
  Progress(s, image, "done");
  return go;
}

int WalkPort(void* context, const WalkVisitor* visitor) {
  ImageScanner* s = Of(context);
  for (uint32_t i = 0; i < s->options->imageCount; ++i)
    if (!WalkOneImage(s, s->options->images[i], i, s->options->imageCount, visitor)) return 0;
  return 1;
}

}  // namespace

int BeginImageScan(ImageScanner* s, const ScanOptions* options, ConsoleDriver* driver, QuarantineStore* quarantine,
                   ScanPorts* ports) {
  s->options = options;
  s->driver = driver;
  s->session = nullptr;
  s->quarantine = quarantine;
  s->image = nullptr;
  s->backupReady = 0;
  s->stats = GuestWalkStats{0, 0};
  ScanPorts p{};
  p.walk = WalkPort;
  p.check = CheckPort;
  p.remove = RemovePort;
  p.quarantine = quarantine && quarantine->directoryFd >= 0 ? QuarantinePort : nullptr;
  p.errorText = ErrorText;
  p.context = s;
  *ports = p;
  return 1;
}

void ImageScanBeforeWalk(ImageScanner* s, ScanSession* session) { s->session = session; }

void EndImageScan(ImageScanner* s) {
  if (s->disk.handle) CloseGuestDisk(&s->disk);
  if (s->backupReady) CloseHiveBackup(&s->backup);
  s->backupReady = 0;
}

int ImageRestoreLine(ImageScanner* s, const ScanOptions* options, int quarantineFd, const char* line,
                     RestoreRowKind* kind, char* path, size_t pathCapacity, char* why, size_t whyCapacity) {
  char image[kQuarantinePathCapacity], windows[kQuarantinePathCapacity];
  if (!FindJsonString(line, "image", image, sizeof image)) return 0;
  s->options = options;
  s->driver = nullptr;
  *kind = kRestoreRowFailed;
  if (!FindJsonString(line, "path", path, pathCapacity)) path[0] = 0;
  if (!FindJsonString(line, "windows_path", windows, sizeof windows)) {
    std::snprintf(why, whyCapacity, "%s", "the entry names no place in its image");
    return 1;
  }
  if (options->restoreRoot) {
    std::snprintf(why, whyCapacity, "%s", "--to does not apply to a file taken from a disk image");
    return 1;
  }
  if (s->restoring != image) {
    if (!EndImageRestore(s)) {
      std::snprintf(why, whyCapacity, "%s", "not tried: the image before it may not have been written whole");
      return 1;
    }
    long pid = 0;
    char reason[1024];
    if (ImageOpenForWriting(image, &pid)) {
      std::snprintf(why, whyCapacity, "the image is in use: process %ld has it open for writing", pid);
      return 1;
    }
    Progress(s, image, "starting the appliance to put files back");
    if (!OpenGuestDisk(image, 1, &s->disk, reason, sizeof reason)) {
      std::snprintf(why, whyCapacity, "%s", reason);
      return 1;
    }
    if (GuestHibernated(&s->disk, reason, sizeof reason)) {
      CloseGuestDisk(&s->disk);
      std::snprintf(why, whyCapacity, "refusing to write: %s holds a hibernated Windows", reason);
      return 1;
    }
    if (!RemountGuestDiskWritable(&s->disk, reason, sizeof reason)) {
      std::snprintf(why, whyCapacity, "%s", reason);
      return 1;
    }
    s->restoring = image;
  }
  // The copy, checked, to an unlinked host file; then into the image.
  const char* tmpdir = getenv("TMPDIR");
  std::string pattern = std::string(tmpdir && *tmpdir ? tmpdir : "/tmp") + "/quellix-restore-XXXXXX";
  std::vector<char> name(pattern.begin(), pattern.end());
  name.push_back(0);
  OwnedFd staged(mkostemp(name.data(), O_CLOEXEC));
  if (!staged.valid()) {
    std::snprintf(why, whyCapacity, "%s", std::strerror(errno));
    return 1;
  }
  unlink(name.data());
  RestoreOutcome copied = CopyOutOfQuarantine(quarantineFd, line, staged.get());
  if (copied != kRestoreDone) {
    *kind = copied == kRestoreBadCopy ? kRestoreRowBadCopy : kRestoreRowFailed;
    if (copied != kRestoreBadCopy) std::snprintf(why, whyCapacity, "%s", std::strerror(errno));
    return 1;
  }
  struct stat st;
  const char* reason = nullptr;
  RestoreOutcome outcome =
      fstat(staged.get(), &st) == 0
          ? RestoreGuestFile(&s->disk, windows, staged.get(), static_cast<uint64_t>(st.st_size), options->force,
                             &reason)
          : kRestoreFailed;
  *kind = static_cast<RestoreRowKind>(outcome);
  if (outcome == kRestoreFailed)
    std::snprintf(why, whyCapacity, "%s", reason ? reason : GuestError(&s->disk));
  return 1;
}

int EndImageRestore(ImageScanner* s) {
  if (s->restoring.empty()) return 1;
  int whole = CloseGuestDisk(&s->disk);
  // The restore's rows are said already: this goes to standard error.
  if (!whole)
    std::fprintf(stderr, "%s: %s: the files put back may not have reached the image whole\n", kScanProgramName,
                 s->restoring.c_str());
  s->restoring.clear();
  return whole;
}
