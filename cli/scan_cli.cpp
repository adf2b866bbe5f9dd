// Command line, words and exit status of the console scanners (see scan_cli.h).
#include "cli/scan_cli.h"

#include <cstdio>
#include <cstring>

#include "sys/image_format.h"

const char kScanProgramName[] = "quellix-scan";
#ifndef QX_SCAN_VERSION
#define QX_SCAN_VERSION "0"
#endif
const char kScanVersion[] = QX_SCAN_VERSION;

// The options both programs take, then those of each one alone (a program
// lists only what it takes); each line fits 80 columns.
#define QX_SCAN_OPTIONS                                                              \
  "Options:\n"                                                                        \
  "  -h, --help              show this help and exit\n"                                \
  "  -V, --version           show the version and exit\n"                              \
  "      --remove            delete every detected file\n"                             \
  "      --quarantine DIR    move detected files into DIR instead, each named by\n"    \
  "                          its SHA-256, read-only, listed in its manifest.jsonl;\n"  \
  "                          keep DIR off the scanned volume\n"                        \
  "  -x, --exclude PATTERN   do not examine files whose path below the root\n"         \
  "                          matches PATTERN (* ? [...]; * also matches the\n"         \
  "                          separator; without a leading separator it may match\n"    \
  "                          any tail of the path), nor the tree of a folder it\n"     \
  "                          matches (a trailing / matches folders only); case\n"     \
  "                          as Windows ignores it; repeatable, and said when it\n"   \
  "                          matched nothing\n"                                        \
  "      --files-from FILE   also scan each PATH listed in FILE, one a line\n"         \
  "                          (- is standard input)\n"                                  \
  "  -0, --null              the --files-from list is NUL-separated\n"                 \
  "      --signatures FILE   also detect the rows of the signature list FILE\n"     \
  "                          (repeatable; see docs/signatures.md); it must be\n"   \
  "                          a regular file that only its owner, this user or\n"   \
  "                          an administrator, may write\n"                         \
  "      --finish FILE       finish the clean of an earlier run: FILE is its\n"     \
  "                          --json output; the Run values that start files it\n"   \
  "                          took away (still gone, below a PATH) are cleaned\n"    \
  "                          too (repeatable)\n"                                     \
  "  -j, --json FILE         write JSON Lines to FILE: a run record, one per\n"        \
  "                          row and Run value, the totals last (- is standard\n"      \
  "                          output; the text then goes to standard error)\n"          \
  "  -l, --log FILE          append a plain-text record of the run to FILE (a\n"      \
  "                          file of this user's with one link, not -)\n"          \
  "  -q, --quiet             no progress line\n"                                       \
  "  -r, --recursive         accepted for habit's sake: scans always recurse\n"        \
  "      --force             restore: replace files that exist again\n"                \
  "      --to ROOT           restore: put files back beneath ROOT instead of the\n"    \
  "                          scanned root the quarantine recorded (needed for\n"     \
  "                          entries this host's key does not prove)\n"              \
  "      --only PATH         restore: only the file that was at PATH\n"             \
  "      --run ID            restore: only the files of that run\n"                 \
  "      --list              restore: show what the quarantine holds, change\n"     \
  "                          nothing\n"

#define QX_VOLUME_OPTIONS                                                             \
  "      --windows-root DIR  the mounted Windows system volume (found by\n"      \
  "                          itself when a PATH holds WINDOWS or WINNT)\n"             \
  "      --drive L=DIR       the mounted volume of drive L (repeatable)\n"       \
  "      --backup DIR        where hives are copied before their first\n"        \
  "                          change and deleted Run values saved as .reg files\n"      \
  "                          (default: a new folder quellix-backup-DATE-TIME in\n"  \
  "                          /var/lib/quellix-scan/backups for root, else in\n"     \
  "                          ~/.local/state/quellix-scan/backups)\n"                 \
  "      --cross-file-systems  also walk file systems mounted below a PATH\n"    \
  "      --walk HOW          auto (default): list a PATH on an NTFS mount by\n"   \
  "                          reading its volume's MFT from the device, where\n"    \
  "                          the mount confirms it (else folder by folder);\n"   \
  "                          mft: the same, saying why when it cannot; dirs:\n"  \
  "                          folder by folder\n"                                   \
  "      --image FILE        scan a virtual machine's disk image instead of\n"      \
  "                          PATHs, without mounting it (repeatable); rows read\n"  \
  "                          FILE:C:\\WINDOWS\\...; restore: put files taken\n"     \
  "                          from an image back into FILE\n"                         \
  "      --format FMT        every --image after it is FMT: raw, qcow2, qcow,\n"    \
  "                          vmdk, vpc (or vhd), vhdx or vdi, until the next\n"    \
  "                          --format; without one, a name ending .qcow2, .qcow,\n" \
  "                          .vmdk, .vhd, .vhdx or .vdi says the format and any\n"  \
  "                          other name is raw; the image's header must agree\n"  \
  "                          (its first bytes never choose)\n"                      \
  "      --allow-backing-file  open a qcow2 image's backing files when each\n"     \
  "                          header states the format of the one below\n"           \
  ""

#define QX_LIVE_OPTIONS                                                               \
  "      --no-memory         do not examine the running processes\n"             \
  "      --all-users         also clean the Run key of every other loaded\n"     \
  "                          user hive (HKEY_USERS)\n"                                 \
  ""

#define QX_SCAN_OPTIONS_END                                                           \
  "Long options may be shortened to any unique prefix; short ones may be\n"            \
  "bundled (-qj FILE); -- ends the options.\n"

const char kScanHelpText[] =
    "Usage: quellix-scan [OPTIONS] PATH...\n"
    "  or:  quellix-scan [OPTIONS] [--format FMT] --image FILE [--image FILE]...\n"
    "  or:  quellix-scan restore [--list] [--force] [--to ROOT] [--format FMT]\n"
    "                            [--image FILE] [--only PATH] [--run ID]\n"
    "                            QUARANTINE_DIR\n"
    "Find the Worm.Quellix and Worm.Mail.Drimo worm files under each PATH (for\n"
    "example the mount point of a Windows volume) and, when asked, remove them and\n"
    "the Run values of every user's registry hive that would start them again.\n"
    "\n"
    "By default nothing is changed: every detection is listed with its path, its\n"
    "detection name and what was done, then a summary.\n"
    "\n" QX_SCAN_OPTIONS QX_VOLUME_OPTIONS QX_SCAN_OPTIONS_END
    "\n"
    "With --remove or --quarantine, the values of\n"
    "Software\\Microsoft\\Windows\\CurrentVersion\\Run in every profile hive\n"
    "(Documents and Settings/*/NTUSER.DAT, Users/*/NTUSER.DAT) that start a\n"
    "removed file are deleted. Nothing is written to a volume whose hiberfil.sys\n"
    "holds a hibernated system, to a hive whose transaction log is not applied,\n"
    "or through a read-only mount. Symbolic links are never followed. Restore\n"
    "puts copies back and keeps them in the quarantine.\n"
    "\n"
    "Exit status:\n"
    "  0   nothing found, and at least one file examined\n"
    "  1   detections found, all handled as asked\n"
    "  2   something could not be examined or handled, or no file was examined\n"
    "  64  bad usage\n";

const char kLiveScanProgramName[] = "quellix-scan.exe";

const char kLiveScanHelpText[] =
    "Usage: quellix-scan.exe [OPTIONS] [PATH...]\n"
    "  or:  quellix-scan.exe restore [--list] [--force] [--to ROOT] [--only PATH]\n"
    "                                [--run ID] QUARANTINE_DIR\n"
    "Find the Worm.Quellix and Worm.Mail.Drimo worm files on this Windows system\n"
    "and, when asked, remove them and the Run values that would start them again.\n"
    "\n"
    "Without PATH every fixed drive is scanned; with PATH only those folders.\n"
    "First the running processes are examined: the resident worm is terminated\n"
    "and removed with its companion file and folder (when changes are asked).\n"
    "By default nothing is changed: every detection is listed with its path, its\n"
    "detection name and what was done, then a summary. /? shows this help.\n"
    "\n" QX_SCAN_OPTIONS QX_LIVE_OPTIONS QX_SCAN_OPTIONS_END
    "\n"
    "With --remove a file in use is deleted at the next restart. Run values of\n"
    "the current user that start a removed file are deleted; each is first saved\n"
    "to QuellixRemover-restore.reg in the folder %TEMP% names, which regedit\n"
    "imports to bring it back. Ctrl+C stops the scan: what was done so far is\n"
    "reported. Restore puts copies back and keeps them.\n"
    "\n"
    "Exit status:\n"
    "  0   nothing found, and at least one file examined\n"
    "  1   detections found, all handled as asked (a restart may be needed)\n"
    "  2   something could not be examined or handled, the scan was stopped,\n"
    "      or no file was examined\n"
    "  64  bad usage\n";

namespace {

enum OptionId : uint32_t {
  kOptHelp, kOptVersion, kOptRemove, kOptQuarantine, kOptExclude, kOptFilesFrom, kOptNull, kOptJson, kOptLog,
  kOptQuiet, kOptRecursive, kOptForce, kOptTo, kOptNoMemory, kOptAllUsers, kOptWindowsRoot, kOptDrive,
  kOptBackup, kOptCrossFileSystems, kOptImage, kOptOnly, kOptRun, kOptList, kOptSignatures, kOptFinish,
  kOptFormat, kOptAllowBackingFile, kOptWalk,
};

enum : uint32_t {
  kBoth = 3,
  kVolumeOnly = 1u << kFlavourMountedVolume,
  kLiveOnly = 1u << kFlavourLiveSystem,
};

struct OptionSpec {
  const char* name;  // without "--"
  char shortName;    // 0: none
  int takesValue;
  OptionId id;
  uint32_t flavours;
};

const OptionSpec kOptions[] = {
    {"help", 'h', 0, kOptHelp, kBoth},
    {"version", 'V', 0, kOptVersion, kBoth},
    {"remove", 0, 0, kOptRemove, kBoth},
    {"quarantine", 0, 1, kOptQuarantine, kBoth},
    {"exclude", 'x', 1, kOptExclude, kBoth},
    {"files-from", 0, 1, kOptFilesFrom, kBoth},
    {"null", '0', 0, kOptNull, kBoth},
    {"json", 'j', 1, kOptJson, kBoth},
    {"log", 'l', 1, kOptLog, kBoth},
    {"quiet", 'q', 0, kOptQuiet, kBoth},
    {"recursive", 'r', 0, kOptRecursive, kBoth},
    {"force", 0, 0, kOptForce, kBoth},
    {"to", 0, 1, kOptTo, kBoth},
    {"no-memory", 0, 0, kOptNoMemory, kLiveOnly},
    {"all-users", 0, 0, kOptAllUsers, kLiveOnly},
    {"windows-root", 0, 1, kOptWindowsRoot, kVolumeOnly},
    {"drive", 0, 1, kOptDrive, kVolumeOnly},
    {"backup", 0, 1, kOptBackup, kVolumeOnly},
    {"cross-file-systems", 0, 0, kOptCrossFileSystems, kVolumeOnly},
    {"image", 0, 1, kOptImage, kVolumeOnly},
    {"format", 0, 1, kOptFormat, kVolumeOnly},
    {"allow-backing-file", 0, 0, kOptAllowBackingFile, kVolumeOnly},
    {"walk", 0, 1, kOptWalk, kVolumeOnly},
    {"only", 0, 1, kOptOnly, kBoth},
    {"run", 0, 1, kOptRun, kBoth},
    {"list", 0, 0, kOptList, kBoth},
    {"signatures", 0, 1, kOptSignatures, kBoth},
    {"finish", 0, 1, kOptFinish, kBoth},
};

int Fail(char* reason, size_t capacity, const char* format, const char* detail) {
  if (capacity) snprintf(reason, capacity, format, detail);
  return 0;
}

int Applies(const OptionSpec& spec, ScanFlavour flavour) { return (spec.flavours >> flavour) & 1u; }

// The long option `word` names (up to '='): an exact name, else the one
// option it is a prefix of. Null with the reason when none or several (the
// reason names them, or the program an option belongs to).
const OptionSpec* FindLong(const char* word, ScanFlavour flavour, char* reason, size_t capacity) {
  size_t length = 0;
  while (word[length] && word[length] != '=') ++length;
  const OptionSpec* found = nullptr;
  int candidates = 0;
  char names[256] = "";
  size_t used = 0;
  for (const OptionSpec& spec : kOptions) {
    if (!Applies(spec, flavour) || strncmp(spec.name, word, length) != 0) continue;
    if (spec.name[length] == 0) return &spec;
    found = &spec;
    candidates += 1;
    int n = snprintf(names + used, sizeof names - used, "%s--%s", used ? ", " : "", spec.name);
    if (n > 0 && static_cast<size_t>(n) < sizeof names - used) used += static_cast<size_t>(n);
  }
  if (candidates == 1) return found;
  char shown[64];
  snprintf(shown, sizeof shown, "--%.*s", static_cast<int>(length < 40 ? length : 40), word);
  if (candidates) {
    if (capacity) snprintf(reason, capacity, "option '%s' is ambiguous: %s", shown, names);
    return nullptr;
  }
  for (const OptionSpec& spec : kOptions) {
    if (strncmp(spec.name, word, length) != 0 || spec.name[length] != 0) continue;
    if (capacity)
      snprintf(reason, capacity, "%s applies to %s only", shown,
               flavour == kFlavourMountedVolume ? kLiveScanProgramName : kScanProgramName);
    return nullptr;
  }
  Fail(reason, capacity, "unknown option '%s'", shown);
  return nullptr;
}

const OptionSpec* FindShort(char letter, ScanFlavour flavour) {
  for (const OptionSpec& spec : kOptions)
    if (spec.shortName == letter && Applies(spec, flavour)) return &spec;
  return nullptr;
}

// Takes one option into `o`. 1, or 0 with the reason.
int Apply(ScanOptions* o, const OptionSpec& spec, const char* value, char* reason, size_t capacity) {
  char name[32];
  snprintf(name, sizeof name, "--%s", spec.name);
  if (spec.takesValue && (!value || !*value)) return Fail(reason, capacity, "%s needs a value", name);
  switch (spec.id) {
    case kOptHelp: o->command = kCommandHelp; break;
    case kOptVersion:
      if (o->command != kCommandHelp) o->command = kCommandVersion;
      break;
    case kOptRemove:
      if (o->action == kActionQuarantine)
        return Fail(reason, capacity, "--remove and --quarantine exclude each other%s", "");
      o->action = kActionRemove;
      break;
    case kOptQuarantine:
      if (o->action == kActionRemove)
        return Fail(reason, capacity, "--remove and --quarantine exclude each other%s", "");
      o->action = kActionQuarantine;
      o->quarantineDirectory = value;
      break;
    case kOptExclude:
      if (o->excludeCount >= kMaxExcludes) return Fail(reason, capacity, "too many --exclude (at most %s)", "64");
      o->excludes[o->excludeCount++] = value;
      break;
    case kOptFilesFrom: o->filesFrom = value; break;
    case kOptNull: o->nulSeparated = 1; break;
    case kOptJson: o->jsonPath = value; break;
    case kOptLog:
      // '-' is standard output for --json and --files-from; the log would
      // only repeat standard output, and a file named '-' surprises.
      if (strcmp(value, "-") == 0)
        return Fail(reason, capacity, "--log wants a file (the text already goes to standard output; ./- %s)",
                    "names a file called -");
      o->logPath = value;
      break;
    case kOptQuiet: o->quiet = 1; break;
    case kOptRecursive: break;
    case kOptForce: o->force = 1; break;
    case kOptTo: o->restoreRoot = value; break;
    case kOptNoMemory: o->noMemory = 1; break;
    case kOptAllUsers: o->allUsers = 1; break;
    case kOptWindowsRoot: o->windowsRoot = value; break;
    case kOptBackup: o->backupDirectory = value; break;
    case kOptCrossFileSystems: o->crossFileSystems = 1; break;
    case kOptOnly: o->restoreOnly = value; break;
    case kOptRun: o->restoreRun = value; break;
    case kOptList: o->listOnly = 1; break;
    case kOptFinish:
      if (o->earlierRunCount >= kMaxEarlierRuns)
        return Fail(reason, capacity, "too many --finish (at most %s)", "16");
      o->earlierRuns[o->earlierRunCount++] = value;
      break;
    case kOptSignatures:
      if (o->signatureFileCount >= kMaxSignatureFiles)
        return Fail(reason, capacity, "too many --signatures (at most %s)", "64");
      o->signatureFiles[o->signatureFileCount++] = value;
      break;
    case kOptImage:
      if (o->imageCount >= kMaxScanPaths) return Fail(reason, capacity, "too many images (at most %s)", "64");
      o->imageFormats[o->imageCount] = o->format;
      o->images[o->imageCount++] = value;
      o->formatUsed = 1;
      break;
    case kOptFormat:
      if (o->format && !o->formatUsed)
        return Fail(reason, capacity, "--format %s applies to no --image (give it before the images it is for)",
                    o->format);
      o->format = ImageFormatNamed(value);
      if (!o->format)
        return Fail(reason, capacity, "--format wants raw, qcow2, qcow, vmdk, vpc (or vhd), vhdx or vdi, not '%s'",
                    value);
      o->formatUsed = 0;
      break;
    case kOptAllowBackingFile: o->allowBackingFile = 1; break;
    case kOptWalk:
      if (!ParseWalkMode(value, &o->walkMode))
        return Fail(reason, capacity, "--walk wants auto, mft or dirs, not '%s'", value);
      o->walkGiven = 1;
      break;
    case kOptDrive: {
      char letter = value[0];
      if (letter >= 'a' && letter <= 'z') letter = static_cast<char>(letter - 'a' + 'A');
      if (letter < 'A' || letter > 'Z' || value[1] != '=' || value[2] == 0)
        return Fail(reason, capacity, "--drive wants L=DIR, not '%s'", value);
      for (uint32_t d = 0; d < o->driveCount; ++d)
        if (o->drives[d].letter == letter) return Fail(reason, capacity, "drive %s given twice", value);
      o->drives[o->driveCount++] = DriveMapping{letter, value + 2};
      break;
    }
  }
  return 1;
}

}  // namespace

int ParseScanOptions(int argc, const char* const* argv, ScanOptions* options, char* reason, size_t capacity,
                     ScanFlavour flavour) {
  ScanOptions o{};
  o.signatures = BuiltInSignatureSet();
  const int live = flavour == kFlavourLiveSystem;
  int restore = 0;
  int afterDashes = 0;
  int first = 1;
  if (argc > 1 && strcmp(argv[1], "restore") == 0) {
    restore = 1;
    first = 2;
  }
  for (int i = first; i < argc; ++i) {
    const char* arg = argv[i];
    if (!afterDashes && live && strcmp(arg, "/?") == 0) {
      o.command = kCommandHelp;
      continue;
    }
    if (afterDashes || arg[0] != '-' || arg[1] == 0) {
      if (o.pathCount >= kMaxScanPaths) return Fail(reason, capacity, "too many paths (at most %s)", "64");
      if (arg[0] == 0) return Fail(reason, capacity, "an empty path%s", "");
      o.argumentPaths[o.pathCount++] = arg;
      continue;
    }
    if (strcmp(arg, "--") == 0) {
      afterDashes = 1;
      continue;
    }
    if (arg[1] == '-') {
      const OptionSpec* spec = FindLong(arg + 2, flavour, reason, capacity);
      if (!spec) return 0;
      const char* equals = strchr(arg, '=');
      const char* value = nullptr;
      if (equals) {
        if (!spec->takesValue) return Fail(reason, capacity, "--%s takes no value", spec->name);
        value = equals + 1;
      } else if (spec->takesValue && i + 1 < argc) {
        value = argv[++i];
      }
      if (!Apply(&o, *spec, value, reason, capacity)) return 0;
      continue;
    }
    // Bundled short options; one that takes a value takes the rest of the
    // word or the next argument.
    for (const char* c = arg + 1; *c; ++c) {
      const OptionSpec* spec = FindShort(*c, flavour);
      if (!spec) {
        char shown[3] = {'-', *c, 0};
        return Fail(reason, capacity, "unknown option '%s'", shown);
      }
      const char* value = nullptr;
      if (spec->takesValue) {
        if (c[1]) {
          value = c + 1;
        } else if (i + 1 < argc) {
          value = argv[++i];
        }
      }
      if (!Apply(&o, *spec, value, reason, capacity)) return 0;
      if (spec->takesValue) break;
    }
  }
  if (o.command == kCommandHelp || o.command == kCommandVersion) {
    *options = o;
    options->paths = options->argumentPaths;
    return 1;
  }
  // The format of the images after it: one after the last would apply to
  // none, which the person did not mean.
  if (o.format && !o.formatUsed)
    return Fail(reason, capacity, "--format %s applies to no --image (give it before the images it is for)",
                o.format);
  if (o.allowBackingFile && !o.imageCount) return Fail(reason, capacity, "--allow-backing-file belongs to --image%s", "");
  if (restore) {
    if (o.pathCount != 1) return Fail(reason, capacity, "restore wants one quarantine directory%s", "");
    if (o.action != kActionLeave || o.windowsRoot || o.driveCount || o.backupDirectory || o.noMemory || o.allUsers ||
        o.excludeCount || o.filesFrom || o.nulSeparated || o.imageCount > 1 || o.signatureFileCount ||
        o.earlierRunCount)
      return Fail(reason, capacity,
                  "restore takes only --list, --force, --to, --image, --format, --allow-backing-file, --only, --run, "
                  "--json, --log and --quiet%s", "");
    o.command = kCommandRestore;
    o.restoreImage = o.imageCount ? o.images[0] : nullptr;
    o.restoreImageFormat = o.imageCount ? o.imageFormats[0] : nullptr;
    o.imageCount = 0;
    o.quarantineDirectory = o.argumentPaths[0];
  } else {
    if (o.imageCount && (o.pathCount || o.filesFrom || o.windowsRoot || o.driveCount || o.crossFileSystems ||
                         o.earlierRunCount || o.walkGiven))
      return Fail(reason, capacity,
                  "--image takes no PATH, --files-from, --windows-root, --drive, --cross-file-systems, --walk or "
                  "--finish%s",
                  "");
    if (o.pathCount == 0 && !o.filesFrom && !o.imageCount && !live)
      return Fail(reason, capacity, "no PATH to scan%s", "");
    if (o.force) return Fail(reason, capacity, "--force belongs to restore%s", "");
    if (o.restoreRoot) return Fail(reason, capacity, "--to belongs to restore%s", "");
    if (o.restoreOnly || o.restoreRun || o.listOnly)
      return Fail(reason, capacity, "--only, --run and --list belong to restore%s", "");
    if (o.nulSeparated && !o.filesFrom) return Fail(reason, capacity, "-0 belongs to --files-from%s", "");
  }
  *options = o;
  options->paths = options->argumentPaths;
  return 1;
}

const char* RowStatusWord(ScanRowStatus status) {
  switch (status) {
    case kRowRemoved: return "removed";
    case kRowRemovalFailed: return "removal failed";
    case kRowLeftInPlace: return "left in place";
    case kRowQuarantined: return "quarantined";
    case kRowNotExamined: return "not examined";
    case kRowScheduledAtRestart: return "removed at restart";
  }
  return "?";
}

const char* RowStatusKey(ScanRowStatus status) {
  switch (status) {
    case kRowRemoved: return "removed";
    case kRowRemovalFailed: return "removal_failed";
    case kRowLeftInPlace: return "left_in_place";
    case kRowQuarantined: return "quarantined";
    case kRowNotExamined: return "not_examined";
    case kRowScheduledAtRestart: return "removed_at_restart";
  }
  return "unknown";
}

size_t FormatByteCount(char* out, size_t capacity, uint64_t bytes) {
  static const char* const units[] = {"KiB", "MiB", "GiB", "TiB"};
  int n;
  if (bytes < 1024) {
    n = snprintf(out, capacity, "%llu bytes", static_cast<unsigned long long>(bytes));
  } else {
    double value = static_cast<double>(bytes) / 1024;
    int unit = 0;
    while (value >= 1024 && unit < 3) {
      value /= 1024;
      ++unit;
    }
    n = snprintf(out, capacity, "%.1f %s", value, units[unit]);
  }
  return n < 0 ? 0 : static_cast<size_t>(n);
}
