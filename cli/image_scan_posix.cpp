// The disk-image platform of quellix-scan (see image_scan_posix.h).
#include "cli/image_scan_posix.h"

#include "cli/run_backup_posix.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "engine/guest_check_posix.h"
#include "remedy/command_line.h"
#include "image/guestfs_volume_posix.h"
#include "remedy/json_lines.h"
#include "remedy/offline_windows.h"
#include "remedy/volume_hive_posix.h"
#include "sys/guestfs_loader_posix.h"
#include "sys/image_layers_posix.h"
#include "sys/owned_fd_posix.h"
#include "sys/regular_file_posix.h"

namespace {

ImageScanner* Of(void* context) { return static_cast<ImageScanner*>(context); }

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

// What was found (a preview) or taken away, by its Windows path, for the
// Run values that start it; a file system without a letter has none.
void Remember(ImageScanner* s, const FoundFile* file, const ImageFileRecord* record) {
  const int writes = s->options->action != kActionLeave;
  // A name with a '\' (or another character no Windows name holds) can be
  // started by no Windows path: read as one, it would name another file.
  if (HoldsNonWindowsName(record->below)) return;
  const char* letter = s->system.letters[record->volumeIndex];
  // A preview has nothing to say of what it could not look for.
  if (!letter[0]) {
    if (writes && s->session) {
      RunValueListener listener = SessionRunValueListener(s->session);
      TellRunValueTrouble(&listener, kRunValuesNotCleaned, file->path,
                          s->system.unreadableHive
                              ? "is on no drive letter (Windows in the image was not recognised: its inspection "
                                "failed), so Run values naming it are not looked for"
                              : "is on no drive letter (no Windows installation was found in the image), so Run "
                                "values naming it are not looked for");
    }
    return;
  }
  std::string windows = std::string(letter) + ":\\" + record->below;
  for (char& c : windows)
    if (c == '/') c = '\\';
  if (ReferredPathFits(windows.c_str())) {
    s->removed.push_back(windows);
  } else if (writes && s->session) {
    RunValueListener listener = SessionRunValueListener(s->session);
    TellRunValueTrouble(&listener, kRunValuesNotCleaned, file->path, kReferredPathTooLong);
  }
}

int ReadRecordAt(void* context, uint64_t offset, unsigned char* block, uint32_t length) {
  const ImageFileRecord* r = static_cast<const ImageFileRecord*>(context);
  return ReadImageFile(r->volume, r->identity, offset, block, length) == static_cast<int64_t>(length);
}

// Every file is read in this process; a detection-only run previews the
// Run values of what it found, as a writing run cleans those of what it
// took away.
CandidateOutcome CheckPort(void* context, const SignatureSet& signatures, const FoundFile* file, char* nameOut,
                           FileIdentity* identity) {
  ImageScanner* s = Of(context);
  const ImageFileRecord* record = static_cast<const ImageFileRecord*>(file->location);
  s->signatures = &signatures;
  s->checked = nullptr;
  nameOut[0] = 0;
  *identity = FileIdentity{record->volumeIndex, record->identity, 1};
  CandidateReader reader{ReadRecordAt, const_cast<ImageFileRecord*>(record)};
  const char* found = nullptr;
  CandidateOutcome outcome = CheckCandidate(signatures, record->size, &reader, &found);
  if (found) {
    std::snprintf(nameOut, kDetectionNameCapacity, "%s", found);
    std::snprintf(s->checkedName, sizeof s->checkedName, "%s", found);
  }
  if (outcome != kCandidateMatched) return outcome;
  s->checked = record;
  if (s->options->action == kActionLeave) Remember(s, file, record);
  return outcome;
}

// The appliance, once per image, at its first detection to take away: the
// image opened writable, its own hibernation check, every drive remounted
// for writing. A failure is kept, and said for every detection after it.
int StartAppliance(ImageScanner* s, char* why, size_t capacity) {
  if (s->appliance == kApplianceFailed) return std::snprintf(why, capacity, "%s", s->applianceTrouble), 0;
  if (s->appliance == kApplianceStarted) return 1;
  Progress(s, s->image, "a detection to take away: starting the appliance");
  s->appliance = kApplianceFailed;
  char* trouble = s->applianceTrouble;
  const size_t room = sizeof s->applianceTrouble;
  char reason[1024];
  GuestDiskRequest request{s->options->imageFormats[s->imageIndex], s->options->allowBackingFile, 1};
  if (!OpenGuestDisk(s->image, request, &s->disk, reason, sizeof reason)) {
    std::snprintf(trouble, room, "not taken: the appliance did not open the image: %s", reason);
  } else {
    HibernationState hibernation = GuestHibernated(&s->disk, reason, sizeof reason);
    if (hibernation != kNotHibernated) {
      CloseGuestDisk(&s->disk);
      std::snprintf(trouble, room,
                    hibernation == kHibernated ? "not taken: in the appliance %s holds a hibernated Windows"
                                               : "not taken: in the appliance %s cannot be read, so whether "
                                                 "Windows is hibernated is not known",
                    reason);
    } else if (!RemountGuestDiskWritable(&s->disk, reason, sizeof reason)) {
      std::snprintf(trouble, room, "not taken: the appliance cannot write to the image: %s", reason);
    } else {
      s->appliance = kApplianceStarted;
      return 1;
    }
  }
  ConsoleNotice(s->driver, "refused", s->image, trouble);
  std::snprintf(why, capacity, "%s", trouble);
  return 0;
}

// The detection at hand found again through the appliance, on the drive
// that is its file system: its path there, its drive and the appliance's
// identity of it (FAT's inode numbers there are not the reader's metadata
// addresses, so only the appliance's own identity proves the file removed
// is the one it read).
struct ApplianceFile {
  char path[kQuarantineTextCapacity];
  uint32_t drive;
  FileIdentity identity;
};

int FindInAppliance(ImageScanner* s, const FoundFile* file, ApplianceFile* found, char* why, size_t capacity) {
  const ImageFileRecord* record = static_cast<const ImageFileRecord*>(file->location);
  if (s->checked != record || !s->signatures || !s->checkedName[0])
    return std::snprintf(why, capacity, "%s", "not taken: it was not the file checked"), 0;
  if (!StartAppliance(s, why, capacity)) return 0;
  const char* label = s->read.volumes[record->volumeIndex].label;
  if (!FindGuestDrive(s->disk, label, &found->drive))
    return std::snprintf(why, capacity, "not taken: the appliance did not mount %s", label), 0;
  if (!GuestPathBelow(s->disk.drives[found->drive], record->below, found->path, sizeof found->path))
    return std::snprintf(why, capacity, "%s", "not taken: its path has no place in the appliance"), 0;
  char name[kDetectionNameCapacity];
  CandidateOutcome outcome = CheckGuestFile(*s->signatures, s->disk.handle, found->path, name, &found->identity);
  if (outcome == kCandidateUnreadable)
    return std::snprintf(why, capacity, "not taken: the appliance cannot read it: %s", GuestError(&s->disk)), 0;
  if (outcome != kCandidateMatched || std::strcmp(name, s->checkedName) != 0)
    return std::snprintf(why, capacity, "%s", "not taken: the appliance does not find the same file there"), 0;
  return 1;
}

ScanRowStatus RemovePort(void* context, const FoundFile* file, const FileIdentity*, char* why, size_t capacity) {
  ImageScanner* s = Of(context);
  const ImageFileRecord* record = static_cast<const ImageFileRecord*>(file->location);
  ApplianceFile there;
  if (!FindInAppliance(s, file, &there, why, capacity)) return kRowRemovalFailed;
  RemovalOutcome outcome = RemoveGuestFile(&s->disk, there.path, there.identity, record->size);
  if (outcome == kRemovalDone) {
    Remember(s, file, record);
    return kRowRemoved;
  }
  std::snprintf(why, capacity, "%s",
                outcome == kRemovalNotSame ? "it is not the file that was checked any more" : GuestError(&s->disk));
  return kRowRemovalFailed;
}

ScanRowStatus QuarantinePort(void* context, const FoundFile* file, const FileIdentity*, const char* name, char* why,
                             size_t capacity) {
  ImageScanner* s = Of(context);
  const ImageFileRecord* record = static_cast<const ImageFileRecord*>(file->location);
  ApplianceFile there;
  if (!FindInAppliance(s, file, &there, why, capacity)) return kRowRemovalFailed;
  // The record names the drive as the row does: the reader's letter, which
  // the appliance's inspection may not have given it.
  GuestDrive drive = s->disk.drives[there.drive];
  std::snprintf(drive.label, sizeof drive.label, "%s", ImageDriveLabel(s->read, s->system, record->volumeIndex));
  QuarantineOutcome outcome = QuarantineGuestFile(s->quarantine, &s->disk, s->imageCanonical, drive, there.path,
                                                  there.identity, record->size, name, why, capacity);
  if (outcome != kQuarantineDone) return kRowRemovalFailed;
  Remember(s, file, record);
  return kRowQuarantined;
}

// A writing run refuses a hibernated Windows before the walk, by what this
// process reads of every file system's root; what cannot be read is no
// answer. 0 with the refusal in `text`.
int WritableImage(ImageScanner* s, char* text, size_t capacity) {
  for (uint32_t v = 0; v < s->read.volumeCount; ++v) {
    if (!s->read.volumes[v].fs) continue;
    OfflineVolumePort port;
    ImageVolumePort(&s->read.volumes[v], &port);
    char hiberfil[kImageTroubleCapacity] = "", why[kImageTroubleCapacity] = "";
    HibernationState state = VolumeHibernation(port, hiberfil, sizeof hiberfil, why, sizeof why);
    if (state == kNotHibernated) continue;
    const char* label = ImageDriveLabel(s->read, s->system, v);
    if (state == kHibernated) {
      std::snprintf(text, capacity,
                    "refusing to write: %s:\\%s holds a hibernated Windows; writing to its volume would corrupt it "
                    "(start that Windows and shut it down fully, or scan without --remove and --quarantine)",
                    label, hiberfil);
    } else if (hiberfil[0]) {
      std::snprintf(text, capacity,
                    "refusing to write: cannot tell whether the image holds a hibernated Windows: %s:\\%s cannot be "
                    "read (%s)",
                    label, hiberfil, why);
    } else {
      std::snprintf(text, capacity,
                    "refusing to write: cannot tell whether the image holds a hibernated Windows: the root of %s "
                    "cannot be listed (%s)",
                    label, why);
    }
    return 0;
  }
  return 1;
}

// One image, read in this process, whatever the run does with what it
// finds: a writing run starts the appliance only at its first detection.
int WalkOneImage(ImageScanner* s, const char* image, uint32_t index, uint32_t count, const WalkVisitor* visitor) {
  const int writes = s->options->action != kActionLeave;
  char text[1024];
  std::snprintf(text, sizeof text, "image %u of %u: reading it in this process", index + 1, count);
  Progress(s, image, text);
  long pid = 0;
  if (ImageOpenForWriting(image, &pid)) {
    std::snprintf(text, sizeof text, "in use: process %ld has it open for writing (shut the virtual machine down)",
                  pid);
    return Refuse(s, image, text);
  }
  char why[1024] = "";
  char canonical[4096];
  const char* format = ChooseImageFormat(image, s->options->imageFormats[index], s->options->allowBackingFile,
                                         canonical, sizeof canonical, why, sizeof why);
  // A writing run's appliance may open the image for writing beside this reader.
  if (!format || !OpenImageDisk(canonical, format, writes ? kReaderTakesNoLock : kReaderLocks, &s->read, why,
                                sizeof why))
    return Refuse(s, image, why);
  s->image = image;
  s->imageIndex = index;
  if (!realpath(image, s->imageCanonical)) std::snprintf(s->imageCanonical, sizeof s->imageCanonical, "%s", image);
  s->removed.clear();
  s->appliance = kApplianceNotStarted;
  s->checked = nullptr;
  FindImageSystem(&s->read, &s->system);
  if (writes && !WritableImage(s, text, sizeof text)) {
    CloseImageDisk(&s->read);
    s->image = nullptr;
    return Refuse(s, image, text);
  }
  std::string drives;
  for (uint32_t i = 0; i < s->read.volumeCount; ++i) {
    const char* label = ImageDriveLabel(s->read, s->system, i);
    drives += std::string(drives.empty() ? "" : ", ") + label + (std::strlen(label) == 1 ? ":" : "") +
              (s->read.volumes[i].fs ? "" : " (cannot be read)");
  }
  std::snprintf(text, sizeof text, "%s; listing %s",
                s->system.found            ? "Windows found"
                : s->system.unreadableHive ? "Windows was not recognised (its inspection failed: its SYSTEM hive "
                                             "cannot be read): every NTFS and FAT file system is scanned"
                                           : "no Windows installation found: every NTFS and FAT file system is scanned",
                drives.c_str());
  Progress(s, image, text);
  int go = WalkImageDisk(&s->read, s->system, image, *visitor, &s->walked);
  std::vector<const char*> paths;
  for (const std::string& p : s->removed) paths.push_back(p.c_str());
  if (!writes && go && s->system.found && !paths.empty() && s->session) {
    OfflineVolumePort port;
    ImageVolumePort(&s->read.volumes[s->system.volume], &port);
    RunValueListener listener = SessionRunValueListener(s->session);
    const char letter = s->system.letters[s->system.volume][0];
    std::string prefix = std::string(image) + ":" + letter + ":\\";
    std::string systemRoot = std::string(1, letter) + ":\\" + s->system.systemFolder;
    PreviewVolumeRunValues(port, prefix.c_str(), systemRoot.c_str(), paths.data(), static_cast<uint32_t>(paths.size()),
                           listener);
  }
  CloseImageDisk(&s->read);
  if (s->appliance == kApplianceStarted) {
    if (!paths.empty() && s->session) {
      RunValueListener listener = SessionRunValueListener(s->session);
      CleanGuestRunValues(&s->disk, image, paths.data(), static_cast<uint32_t>(paths.size()), &s->backup, listener);
    }
    if (!CloseGuestDisk(&s->disk)) {
      std::snprintf(text, sizeof text, "the changes may not have reached the image whole: %s", GuestError(&s->disk));
      if (!Refuse(s, image, text)) go = 0;
    }
  }
  s->appliance = kApplianceNotStarted;
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

int ImagesAreFiles(const ScanOptions* options, ConsoleDriver* driver) {
  for (uint32_t i = 0; i < options->imageCount; ++i) {
    OwnedFd file;
    struct stat st;
    char why[256];
    if (OpenRegularFile(options->images[i], O_RDONLY, 0, &file, &st, why, sizeof why)) continue;
    // One missing or unreadable is that image's row, "not examined", when
    // its turn comes; the others are still scanned.
    if (errno != ENXIO && errno != EINVAL) continue;
    ConsoleNotice(driver, "refused", options->images[i], why);
    return 0;
  }
  return 1;
}

int BeginImageScan(ImageScanner* s, const ScanOptions* options, ConsoleDriver* driver, QuarantineStore* quarantine,
                   ScanPorts* ports) {
  s->options = options;
  s->driver = driver;
  s->session = nullptr;
  s->quarantine = quarantine;
  s->image = nullptr;
  s->backupReady = 0;
  s->disk.handle = nullptr;
  s->appliance = kApplianceNotStarted;
  s->signatures = nullptr;
  s->checked = nullptr;
  s->checkedName[0] = 0;
  s->walked = ImageWalkStats{0, 0};
  std::memset(&s->read, 0, sizeof s->read);
  std::memset(&s->system, 0, sizeof s->system);
  if (options->action != kActionLeave) {
    // What a writing run may need is proved before anything is read: the
    // appliance starts only at a detection, too late to learn it is missing.
    char why[512];
    if (!GuestfsLoad(kGuestfsSoname, why, sizeof why)) {
      ConsoleNotice(driver, "refused", "--image", why);
      return 0;
    }
    if (!OpenRunBackup(&s->backup, *options, driver)) return 0;
    s->backupReady = 1;
  }
  ScanPorts p{};
  p.walk = WalkPort;
  p.check = CheckPort;
  p.remove = RemovePort;
  p.quarantine = quarantine ? QuarantinePort : nullptr;
  p.errorText = ErrorText;
  p.context = s;
  *ports = p;
  return 1;
}

void ImageScanBeforeWalk(ImageScanner* s, ScanSession* session) { s->session = session; }

void EndImageScan(ImageScanner* s) {
  if (s->disk.handle) CloseGuestDisk(&s->disk);
  CloseImageDisk(&s->read);
  if (s->backupReady) CloseHiveBackup(&s->backup);
  s->backupReady = 0;
}

namespace {

ImageRestoreTarget* TargetOf(void* context) { return static_cast<ImageRestoreTarget*>(context); }

RestoreOutcome Refuse(ImageRestoreTarget* t, const char* text) {
  std::snprintf(t->reason, sizeof t->reason, "%s", text);
  return kRestoreFailed;
}

// Opens `image` for writing, when it is not the one open already. The
// image must be a regular file (never a device), and the one the line
// recorded unless the person named it.
RestoreOutcome OpenImageToWrite(ImageRestoreTarget* t, const QuarantineRecord& record, const RestorePlace& place) {
  ImageScanner* s = &t->scanner;
  if (s->restoring == place.image) return kRestoreDone;
  if (!EndImageRestoreTarget(t)) return Refuse(t, "not tried: the image before it may not have been written whole");
  struct stat st;
  if ((place.named ? stat(place.image, &st) : lstat(place.image, &st)) != 0) {
    std::snprintf(t->reason, sizeof t->reason, "%s", std::strerror(errno));
    return kRestoreFailed;
  }
  if (!S_ISREG(st.st_mode)) return Refuse(t, "the image it names is no regular file");
  if (!place.named && record.imageIdentified &&
      (static_cast<uint64_t>(st.st_dev) != record.imageDevice || static_cast<uint64_t>(st.st_ino) != record.imageInode))
    return Refuse(t, "the image it names is not the file it was (name it with --image)");
  long pid = 0;
  if (ImageOpenForWriting(place.image, &pid)) {
    std::snprintf(t->reason, sizeof t->reason, "the image is in use: process %ld has it open for writing", pid);
    return kRestoreFailed;
  }
  char reason[1024];
  // The format the person gave with the image named, else its name's.
  const int namedImage = place.named && s->options->restoreImage && std::strcmp(place.image, s->options->restoreImage) == 0;
  GuestDiskRequest request{namedImage ? s->options->restoreImageFormat : nullptr,
                           namedImage && s->options->allowBackingFile, 1};
  if (!OpenGuestDisk(place.image, request, &s->disk, reason, sizeof reason)) return Refuse(t, reason);
  HibernationState hibernation = GuestHibernated(&s->disk, reason, sizeof reason);
  if (hibernation != kNotHibernated) {
    CloseGuestDisk(&s->disk);
    std::snprintf(t->reason, sizeof t->reason,
                  hibernation == kHibernated ? "refusing to write: %s holds a hibernated Windows"
                                             : "refusing to write: cannot tell whether the image is hibernated: %s "
                                               "cannot be read",
                  reason);
    return kRestoreFailed;
  }
  if (!RemountGuestDiskWritable(&s->disk, reason, sizeof reason)) {
    CloseGuestDisk(&s->disk);
    return Refuse(t, reason);
  }
  s->restoring = place.image;
  return kRestoreDone;
}

RestoreOutcome ImageBegin(void* context, const QuarantineRecord& record, const RestorePlace& place, int,
                          char* shown, size_t shownCapacity) {
  ImageRestoreTarget* t = TargetOf(context);
  t->staged.reset();
  // "C:\x\y.exe" inside the image.
  int n = std::snprintf(t->windows, sizeof t->windows, "%s\\%s", place.root, record.relative);
  if (n < 0 || static_cast<size_t>(n) >= sizeof t->windows) return Refuse(t, "its path is too long");
  for (char* c = t->windows; *c; ++c)
    if (*c == '/') *c = '\\';
  std::snprintf(shown, shownCapacity, "%s:%s", place.image, t->windows);
  RestoreOutcome opened = OpenImageToWrite(t, record, place);
  if (opened != kRestoreDone) return opened;
  // The bytes go to an unlinked host file, then into the image.
  const char* tmpdir = getenv("TMPDIR");
  std::string pattern = std::string(tmpdir && *tmpdir ? tmpdir : "/tmp") + "/quellix-restore-XXXXXX";
  std::vector<char> name(pattern.begin(), pattern.end());
  name.push_back(0);
  t->staged.reset(mkostemp(name.data(), O_CLOEXEC));
  if (!t->staged.valid()) {
    std::snprintf(t->reason, sizeof t->reason, "%s", std::strerror(errno));
    return kRestoreFailed;
  }
  unlink(name.data());
  return kRestoreDone;
}

int ImageWrite(void* context, const void* data, size_t length) {
  ImageRestoreTarget* t = TargetOf(context);
  const char* p = static_cast<const char*>(data);
  while (length) {
    ssize_t put = write(t->staged.get(), p, length);
    if (put < 0 && errno == EINTR) continue;
    if (put <= 0) {
      std::snprintf(t->reason, sizeof t->reason, "%s", std::strerror(put == 0 ? ENOSPC : errno));
      return 0;
    }
    p += put;
    length -= static_cast<size_t>(put);
  }
  return 1;
}

RestoreOutcome ImageFinish(void* context, const QuarantineRecord& record, int force) {
  ImageRestoreTarget* t = TargetOf(context);
  t->reason[0] = 0;
  RestoreOutcome outcome = lseek(t->staged.get(), 0, SEEK_SET) == 0
                               ? RestoreGuestFile(&t->scanner.disk, t->windows, t->staged.get(), record.size, force,
                                                  t->reason, sizeof t->reason)
                               : kRestoreFailed;
  if (outcome == kRestoreFailed && !t->reason[0]) std::snprintf(t->reason, sizeof t->reason, "%s", std::strerror(errno));
  t->staged.reset();
  return outcome;
}

void ImageAbandon(void* context) { TargetOf(context)->staged.reset(); }

void ImageReason(void* context, char* out, size_t capacity) {
  std::snprintf(out, capacity, "%s", TargetOf(context)->reason);
}

}  // namespace

void ImageRestoreTargetPort(ImageRestoreTarget* t, const ScanOptions* options, RestoreTargetPort* port) {
  t->scanner.options = options;
  t->scanner.driver = nullptr;
  t->scanner.restoring.clear();
  t->staged.reset();
  t->reason[0] = 0;
  *port = RestoreTargetPort{t, ImageBegin, ImageWrite, ImageFinish, ImageAbandon, ImageReason};
}

int EndImageRestoreTarget(ImageRestoreTarget* t) {
  t->staged.reset();
  ImageScanner* s = &t->scanner;
  if (s->restoring.empty()) return 1;
  int whole = CloseGuestDisk(&s->disk);
  // The restore's rows are said already: this goes to standard error.
  if (!whole)
    std::fprintf(stderr, "%s: %s: the files put back may not have reached the image whole\n", kScanProgramName,
                 s->restoring.c_str());
  s->restoring.clear();
  return whole;
}
