// Command line, words and exit status of the console scanners (see scan_cli.h).
#include "cli/scan_cli.h"

#include <cstdio>
#include <cstring>

const char kScanProgramName[] = "quellix-scan";
#ifndef QX_SCAN_VERSION
#define QX_SCAN_VERSION "0"
#endif
const char kScanVersion[] = QX_SCAN_VERSION;

const char kScanHelpText[] =
    "Usage: quellix-scan [OPTIONS] PATH...\n"
    "  or:  quellix-scan [OPTIONS] --image FILE [--image FILE]...\n"
    "  or:  quellix-scan restore [--force] [--to ROOT] QUARANTINE_DIR\n"
    "Find the Worm.Quellix and Worm.Mail.Drimo worm files under each PATH (for\n"
    "example the mount point of a Windows volume) and, when asked, remove them and\n"
    "the Run values of every user's registry hive that would start them again.\n"
    "\n"
    "By default nothing is changed: every detection is listed with its path, its\n"
    "detection name and what was done, then a summary.\n"
    "\n"
    "Options:\n"
    "      --remove              delete every detected file\n"
    "      --quarantine DIR      move detected files into DIR instead, each named\n"
    "                            by its SHA-256, read-only, listed in\n"
    "                            DIR/manifest.jsonl\n"
    "      --windows-root DIR    the mounted Windows system volume (found by\n"
    "                            itself when a PATH holds WINDOWS or WINNT)\n"
    "      --drive L=DIR         the mounted volume of drive letter L (repeatable)\n"
    "      --backup DIR          where hives are copied before their first change\n"
    "                            and deleted Run values are saved as .reg files\n"
    "                            (default: quellix-backup-DATE-TIME in the current\n"
    "                            directory)\n"
    "      --cross-file-systems  also walk file systems mounted below a PATH\n"
    "      --image FILE          scan a virtual machine's disk image (raw, qcow2,\n"
    "                            VMDK, VHD, VDI...) instead of PATHs, without\n"
    "                            mounting it (repeatable); rows read\n"
    "                            FILE:C:\\WINDOWS\\...\n"
    "      --json FILE           write JSON Lines: one object per detection, one\n"
    "                            per hive change, one summary\n"
    "      --quiet               no progress line\n"
    "      --force               restore: replace files that exist again\n"
    "      --to ROOT             restore: put files back beneath ROOT instead of\n"
    "                            the scanned root the quarantine recorded\n"
    "      --help                show this help and exit\n"
    "      --version             show the version and exit\n"
    "\n"
    "With --remove or --quarantine, the values of\n"
    "Software\\Microsoft\\Windows\\CurrentVersion\\Run in every profile hive\n"
    "(Documents and Settings/*/NTUSER.DAT, Users/*/NTUSER.DAT) that start a\n"
    "removed file are deleted. Nothing is written to a volume whose hiberfil.sys\n"
    "holds a hibernated system, to a hive whose transaction log is not applied,\n"
    "or through a read-only mount. Symbolic links are never followed.\n"
    "\n"
    "Exit status:\n"
    "  0   nothing found\n"
    "  1   detections found, all handled as asked\n"
    "  2   something could not be examined or handled\n"
    "  64  bad usage\n";

const char kLiveScanProgramName[] = "quellix-scan.exe";

const char kLiveScanHelpText[] =
    "Usage: quellix-scan.exe [OPTIONS] [PATH...]\n"
    "  or:  quellix-scan.exe restore [--force] QUARANTINE_DIR\n"
    "Find the Worm.Quellix and Worm.Mail.Drimo worm files on this Windows system\n"
    "and, when asked, remove them and the Run values that would start them again.\n"
    "\n"
    "Without PATH every fixed drive is scanned; with PATH only those folders.\n"
    "First the running processes are examined: the resident worm is terminated\n"
    "and removed with its companion file and folder (when changes are asked).\n"
    "By default nothing is changed: every detection is listed with its path, its\n"
    "detection name and what was done, then a summary.\n"
    "\n"
    "Options:\n"
    "      --remove              delete every detected file; a file in use is\n"
    "                            deleted at the next restart\n"
    "      --quarantine DIR      move detected files into DIR instead, each named\n"
    "                            by its SHA-256, read-only, listed in\n"
    "                            DIR\\manifest.jsonl\n"
    "      --no-memory           do not examine the running processes\n"
    "      --all-users           also clean the Run key of every other loaded\n"
    "                            user hive (HKEY_USERS), where this account may\n"
    "      --json FILE           write JSON Lines (UTF-8): one object per\n"
    "                            detection, one summary\n"
    "      --quiet               no progress line\n"
    "      --force               restore: replace files that exist again\n"
    "      --help                show this help and exit\n"
    "      --version             show the version and exit\n"
    "\n"
    "Run values of the current user that start a removed file are deleted; each\n"
    "is first saved to QuellixRemover-restore.reg in the folder %TEMP% names,\n"
    "which regedit imports to bring it back. Ctrl+C stops the scan: what was\n"
    "done so far is reported.\n"
    "\n"
    "Exit status:\n"
    "  0   nothing found\n"
    "  1   detections found, all handled as asked (a restart may be needed)\n"
    "  2   something could not be examined or handled, or the scan was stopped\n"
    "  64  bad usage\n";

namespace {

int Fail(char* reason, size_t capacity, const char* format, const char* detail) {
  if (capacity) snprintf(reason, capacity, format, detail);
  return 0;
}

// "--name=value" or "--name value": the value, or null when missing.
const char* ValueOf(int argc, const char* const* argv, int* i, const char* arg, size_t nameLength) {
  if (arg[nameLength] == '=') return arg + nameLength + 1;
  if (*i + 1 >= argc) return nullptr;
  *i += 1;
  return argv[*i];
}

int Matches(const char* arg, const char* name, size_t* nameLength) {
  size_t n = strlen(name);
  if (strncmp(arg, name, n) != 0 || (arg[n] != 0 && arg[n] != '=')) return 0;
  *nameLength = n;
  return 1;
}

}  // namespace

int ParseScanOptions(int argc, const char* const* argv, ScanOptions* options, char* reason, size_t capacity,
                     ScanFlavour flavour) {
  ScanOptions o{};
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
    size_t n = 0;
    if (afterDashes || arg[0] != '-' || arg[1] == 0) {
      if (o.pathCount >= kMaxScanPaths) return Fail(reason, capacity, "too many paths (at most %s)", "64");
      if (arg[0] == 0) return Fail(reason, capacity, "an empty path%s", "");
      o.paths[o.pathCount++] = arg;
      continue;
    }
    if (strcmp(arg, "--") == 0) {
      afterDashes = 1;
    } else if (strcmp(arg, "--help") == 0 || strcmp(arg, "-h") == 0) {
      o.command = kCommandHelp;
    } else if (strcmp(arg, "--version") == 0) {
      if (o.command != kCommandHelp) o.command = kCommandVersion;
    } else if (strcmp(arg, "--remove") == 0) {
      if (o.action == kActionQuarantine) return Fail(reason, capacity, "--remove and --quarantine exclude each other%s", "");
      o.action = kActionRemove;
    } else if (strcmp(arg, "--quiet") == 0 || strcmp(arg, "-q") == 0) {
      o.quiet = 1;
    } else if (strcmp(arg, "--cross-file-systems") == 0 && !live) {
      o.crossFileSystems = 1;
    } else if (strcmp(arg, "--no-memory") == 0 && live) {
      o.noMemory = 1;
    } else if (strcmp(arg, "--all-users") == 0 && live) {
      o.allUsers = 1;
    } else if (strcmp(arg, "--force") == 0) {
      o.force = 1;
    } else if (Matches(arg, "--quarantine", &n) || Matches(arg, "--json", &n) || Matches(arg, "--to", &n) ||
               (!live && (Matches(arg, "--windows-root", &n) || Matches(arg, "--backup", &n) ||
                          Matches(arg, "--drive", &n)))) {
      const char* value = ValueOf(argc, argv, &i, arg, n);
      char name[32];
      snprintf(name, sizeof name, "%.*s", static_cast<int>(n), arg);
      if (!value || !*value) return Fail(reason, capacity, "%s needs a value", name);
      if (strcmp(name, "--quarantine") == 0) {
        if (o.action == kActionRemove) return Fail(reason, capacity, "--remove and --quarantine exclude each other%s", "");
        o.action = kActionQuarantine;
        o.quarantineDirectory = value;
      } else if (strcmp(name, "--windows-root") == 0) {
        o.windowsRoot = value;
      } else if (strcmp(name, "--backup") == 0) {
        o.backupDirectory = value;
      } else if (strcmp(name, "--json") == 0) {
        o.jsonPath = value;
      } else if (strcmp(name, "--to") == 0) {
        o.restoreRoot = value;
      } else {
        char letter = value[0];
        if (letter >= 'a' && letter <= 'z') letter = static_cast<char>(letter - 'a' + 'A');
        if (letter < 'A' || letter > 'Z' || value[1] != '=' || value[2] == 0)
          return Fail(reason, capacity, "--drive wants L=DIR, not '%s'", value);
        for (uint32_t d = 0; d < o.driveCount; ++d)
          if (o.drives[d].letter == letter) return Fail(reason, capacity, "drive %s given twice", value);
        o.drives[o.driveCount++] = DriveMapping{letter, value + 2};
      }
    } else if (!live && Matches(arg, "--image", &n)) {
      const char* value = ValueOf(argc, argv, &i, arg, n);
      if (!value || !*value) return Fail(reason, capacity, "%s needs a value", "--image");
      if (o.imageCount >= kMaxScanPaths) return Fail(reason, capacity, "too many images (at most %s)", "64");
      o.images[o.imageCount++] = value;
    } else {
      return Fail(reason, capacity, "unknown option '%s'", arg);
    }
  }
  if (o.command == kCommandHelp || o.command == kCommandVersion) {
    *options = o;
    return 1;
  }
  if (restore) {
    if (o.pathCount != 1) return Fail(reason, capacity, "restore wants one quarantine directory%s", "");
    if (o.action != kActionLeave || o.windowsRoot || o.driveCount || o.backupDirectory || o.noMemory || o.allUsers ||
        o.imageCount)
      return Fail(reason, capacity, "restore takes only --force, --json and --quiet%s", "");
    o.command = kCommandRestore;
    o.quarantineDirectory = o.paths[0];
  } else {
    if (o.imageCount && (o.pathCount || o.windowsRoot || o.driveCount || o.crossFileSystems))
      return Fail(reason, capacity, "--image takes no PATH, --windows-root, --drive or --cross-file-systems%s", "");
    if (o.pathCount == 0 && !o.imageCount && !live) return Fail(reason, capacity, "no PATH to scan%s", "");
    if (o.force) return Fail(reason, capacity, "--force belongs to restore%s", "");
    if (o.restoreRoot) return Fail(reason, capacity, "--to belongs to restore%s", "");
  }
  *options = o;
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
