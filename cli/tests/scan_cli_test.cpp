// The console scanners' command line and exit status.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "cli/scan_cli.h"

namespace {

struct Parsed {
  int ok;
  ScanOptions options;
  std::string reason;
};

Parsed Parse(std::vector<const char*> args, ScanFlavour flavour = kFlavourMountedVolume) {
  args.insert(args.begin(), "quellix-scan");
  Parsed p{};
  char reason[128] = "";
  p.ok = ParseScanOptions(static_cast<int>(args.size()), args.data(), &p.options, reason, sizeof reason, flavour);
  p.reason = reason;
  return p;
}

TEST(ScanCli, BadUsageHasAOneLineReason) {
  struct Case {
    std::vector<const char*> args;
    const char* reason;
  } cases[] = {
      {{}, "no PATH to scan"},
      {{"--remove"}, "no PATH to scan"},
      {{"--bogus", "/mnt"}, "unknown option '--bogus'"},
      {{"--remove", "--quarantine", "/q", "/mnt"}, "--remove and --quarantine exclude each other"},
      {{"--quarantine=/q", "--remove", "/mnt"}, "--remove and --quarantine exclude each other"},
      {{"/mnt", "--json"}, "--json needs a value"},
      {{"--backup=", "/mnt"}, "--backup needs a value"},
      {{"--drive", "D", "/mnt"}, "--drive wants L=DIR, not 'D'"},
      {{"--drive", "1=/x", "/mnt"}, "--drive wants L=DIR, not '1=/x'"},
      {{"--drive", "d=/x", "--drive", "D=/y", "/mnt"}, "drive D=/y given twice"},
      {{"--force", "/mnt"}, "--force belongs to restore"},
      {{"restore"}, "restore wants one quarantine directory"},
      {{"restore", "/q", "/r"}, "restore wants one quarantine directory"},
      {{"restore", "--remove", "/q"}, "restore takes only --list, --force, --to, --image, --format, --allow-backing-file, --only, --run, --json, --log and --quiet"},
      {{"restore", "-x", "*.tmp", "/q"}, "restore takes only --list, --force, --to, --image, --format, --allow-backing-file, --only, --run, --json, --log and --quiet"},
      {{"--re", "/mnt"}, "option '--re' is ambiguous: --remove, --recursive"},
      {{"--f", "x", "/mnt"}, "option '--f' is ambiguous: --files-from, --force, --format, --finish"},
      {{"--log", "-", "/mnt"}, "--log wants a file (the text already goes to standard output; ./- names a file called -)"},
      {{"--quiet=yes", "/mnt"}, "--quiet takes no value"},
      {{"-qz", "/mnt"}, "unknown option '-z'"},
      {{"/mnt", "-j"}, "--json needs a value"},
      {{"-0", "/mnt"}, "-0 belongs to --files-from"},
      {{""}, "an empty path"},
  };
  for (const Case& c : cases) {
    Parsed p = Parse(c.args);
    EXPECT_EQ(0, p.ok) << c.reason;
    EXPECT_EQ(c.reason, p.reason);
    EXPECT_EQ(std::string::npos, p.reason.find('\n'));
  }
}

TEST(ScanCli, OptionsAreRead) {
  Parsed p = Parse({"--quarantine", "/q", "--windows-root=/mnt/c", "--drive", "d=/mnt/d", "--drive=E=/mnt/e",
                    "--backup", "/b", "--json", "/j.jsonl", "--quiet", "--cross-file-systems", "/mnt/c", "--",
                    "--remove"});
  ASSERT_EQ(1, p.ok) << p.reason;
  const ScanOptions& o = p.options;
  EXPECT_EQ(kCommandScan, o.command);
  EXPECT_EQ(kActionQuarantine, o.action);
  EXPECT_STREQ("/q", o.quarantineDirectory);
  EXPECT_STREQ("/mnt/c", o.windowsRoot);
  ASSERT_EQ(2u, o.driveCount);
  EXPECT_EQ('D', o.drives[0].letter);
  EXPECT_STREQ("/mnt/d", o.drives[0].directory);
  EXPECT_EQ('E', o.drives[1].letter);
  EXPECT_STREQ("/b", o.backupDirectory);
  EXPECT_STREQ("/j.jsonl", o.jsonPath);
  EXPECT_TRUE(o.quiet && o.crossFileSystems);
  ASSERT_EQ(2u, o.pathCount);
  EXPECT_STREQ("--remove", o.paths[1]);  // after "--" an option is a path

  Parsed restore = Parse({"restore", "--force", "/q"});
  ASSERT_EQ(1, restore.ok);
  EXPECT_EQ(kCommandRestore, restore.options.command);
  EXPECT_STREQ("/q", restore.options.quarantineDirectory);
  EXPECT_TRUE(restore.options.force);

  EXPECT_EQ(kCommandHelp, Parse({"--help"}).options.command);
  EXPECT_EQ(kActionLeave, Parse({"/mnt"}).options.action);
  EXPECT_EQ(kActionRemove, Parse({"--remove", "/mnt"}).options.action);
}

// The live system's scanner: PATH optional, its own two options, none of
// the mounted volume's; and the other way round.
TEST(ScanCli, FlavoursTakeTheirOwnOptions) {
  Parsed live = Parse({"--remove", "--no-memory", "--all-users"}, kFlavourLiveSystem);
  ASSERT_EQ(1, live.ok) << live.reason;
  EXPECT_EQ(kCommandScan, live.options.command);
  EXPECT_EQ(0u, live.options.pathCount);
  EXPECT_TRUE(live.options.noMemory && live.options.allUsers);
  EXPECT_EQ(kActionRemove, live.options.action);

  struct Case {
    std::vector<const char*> args;
    ScanFlavour flavour;
    const char* reason;
  } cases[] = {
      {{"--no-memory", "/mnt"}, kFlavourMountedVolume, "--no-memory applies to quellix-scan.exe only"},
      {{"--all-users", "/mnt"}, kFlavourMountedVolume, "--all-users applies to quellix-scan.exe only"},
      {{"--windows-root", "C:\\"}, kFlavourLiveSystem, "--windows-root applies to quellix-scan only"},
      {{"--drive=D=x"}, kFlavourLiveSystem, "--drive applies to quellix-scan only"},
      {{"--backup", "C:\\b"}, kFlavourLiveSystem, "--backup applies to quellix-scan only"},
      {{"--cross-file-systems"}, kFlavourLiveSystem, "--cross-file-systems applies to quellix-scan only"},
      {{"restore", "--no-memory", "C:\\q"}, kFlavourLiveSystem,
       "restore takes only --list, --force, --to, --image, --format, --allow-backing-file, --only, --run, --json, --log and --quiet"},
      {{"--force"}, kFlavourLiveSystem, "--force belongs to restore"},
  };
  for (const Case& c : cases) {
    Parsed p = Parse(c.args, c.flavour);
    EXPECT_EQ(0, p.ok) << c.reason;
    EXPECT_EQ(c.reason, p.reason);
  }
}

// The usual rules: unique prefixes, "=value" or the next word, bundled short
// options with a value at the end of the bundle or glued on, "--", "-r" as a
// habit, options after PATHs.
TEST(ScanCli, OptionsByTheUsualRules) {
  struct Case {
    std::vector<const char*> args;
    ScanFlavour flavour;
    const char* json;
    const char* log;
    int quiet;
    uint32_t excludes;
    const char* lastPath;
    ScanCommand command;
    FoundFileAction action;
  } cases[] = {
      {{"--quie", "--js", "o.jsonl", "/mnt"}, kFlavourMountedVolume, "o.jsonl", nullptr, 1, 0, "/mnt", kCommandScan,
       kActionLeave},
      {{"-qrj", "o.jsonl", "-l", "run.log", "/mnt"}, kFlavourMountedVolume, "o.jsonl", "run.log", 1, 0, "/mnt",
       kCommandScan, kActionLeave},
      {{"-jo.jsonl", "--log=run.log", "/mnt", "-q"}, kFlavourMountedVolume, "o.jsonl", "run.log", 1, 0, "/mnt",
       kCommandScan, kActionLeave},
      {{"-x", "*.tmp", "--exclude=cache/*", "-x/pagefile.sys", "/mnt"}, kFlavourMountedVolume, nullptr, nullptr, 0, 3,
       "/mnt", kCommandScan, kActionLeave},
      {{"--rem", "-j", "-", "--", "-odd", "-q"}, kFlavourMountedVolume, "-", nullptr, 0, 0, "-q", kCommandScan,
       kActionRemove},
      {{"--quarantine", "/q", "/mnt"}, kFlavourMountedVolume, nullptr, nullptr, 0, 0, "/mnt", kCommandScan,
       kActionQuarantine},
      {{"-V"}, kFlavourMountedVolume, nullptr, nullptr, 0, 0, nullptr, kCommandVersion, kActionLeave},
      {{"-h", "--bogus-never-read"}, kFlavourMountedVolume, nullptr, nullptr, 0, 0, nullptr, kCommandHelp, kActionLeave},
      {{"--vers"}, kFlavourLiveSystem, nullptr, nullptr, 0, 0, nullptr, kCommandVersion, kActionLeave},
      {{"/?"}, kFlavourLiveSystem, nullptr, nullptr, 0, 0, nullptr, kCommandHelp, kActionLeave},
      {{"--no-m", "-q", "D:\\x"}, kFlavourLiveSystem, nullptr, nullptr, 1, 0, "D:\\x", kCommandScan, kActionLeave},
  };
  for (const Case& c : cases) {
    Parsed p = Parse(c.args, c.flavour);
    std::string row = c.args[0];
    if (c.command == kCommandHelp && c.args.size() > 1) {
      // An unknown option after -h is still bad usage: the rules do not bend for help.
      EXPECT_EQ(0, p.ok) << row;
      continue;
    }
    ASSERT_EQ(1, p.ok) << row << ": " << p.reason;
    const ScanOptions& o = p.options;
    EXPECT_EQ(c.command, o.command) << row;
    EXPECT_EQ(c.action, o.action) << row;
    EXPECT_STREQ(c.json, o.jsonPath) << row;
    EXPECT_STREQ(c.log, o.logPath) << row;
    EXPECT_EQ(c.quiet, o.quiet) << row;
    EXPECT_EQ(c.excludes, o.excludeCount) << row;
    if (c.lastPath) {
      ASSERT_LT(0u, o.pathCount) << row;
      EXPECT_STREQ(c.lastPath, o.paths[o.pathCount - 1]) << row;
    }
  }
  // "/?" is a path to the mounted volume's scanner, as any other word.
  Parsed slash = Parse({"/?"});
  ASSERT_EQ(1, slash.ok);
  EXPECT_EQ(kCommandScan, slash.options.command);
  // A list of PATHs stands in for PATH; -0 reads it NUL-separated.
  Parsed list = Parse({"--files-from", "-", "-0"});
  ASSERT_EQ(1, list.ok) << list.reason;
  EXPECT_STREQ("-", list.options.filesFrom);
  EXPECT_EQ(1, list.options.nulSeparated);
  EXPECT_EQ(0u, list.options.pathCount);
}

// Both programs' help: every line within 80 columns, the options both take
// listed alike, and every option a help lists taken by that program.
TEST(ScanCli, HelpTextsFitAndAgree) {
  struct Help {
    const char* text;
    ScanFlavour flavour;
  } helps[] = {{kScanHelpText, kFlavourMountedVolume}, {kLiveScanHelpText, kFlavourLiveSystem}};
  for (const Help& help : helps) {
    const char* line = help.text;
    while (*line) {
      size_t length = std::strcspn(line, "\n");
      EXPECT_LT(length, 80u) << std::string(line, length);
      std::string word(line, length);
      size_t dashes = word.find("--");
      if (word.compare(0, 2, "  ") == 0 && dashes != std::string::npos && dashes < 8) {
        std::string option = word.substr(dashes, word.find_first_of(" =", dashes) - dashes);
        Parsed p = Parse({option.c_str(), "x", "y"}, help.flavour);
        EXPECT_EQ(std::string::npos, p.reason.find("applies to")) << option << ": " << p.reason;
        EXPECT_EQ(std::string::npos, p.reason.find("unknown")) << option << ": " << p.reason;
      }
      line += length + (line[length] ? 1 : 0);
    }
  }
  std::string volume = kScanHelpText, live = kLiveScanHelpText;
  std::string common = volume.substr(volume.find("Options"), volume.find("nothing\n") - volume.find("Options"));
  EXPECT_NE(std::string::npos, live.find(common));
}

TEST(ScanCli, ByteCountsAndWords) {
  char text[32];
  FormatByteCount(text, sizeof text, 312);
  EXPECT_STREQ("312 bytes", text);
  FormatByteCount(text, sizeof text, 1536 * 1024);
  EXPECT_STREQ("1.5 MiB", text);
  EXPECT_STREQ("left in place", RowStatusWord(kRowLeftInPlace));
  // Help names every option the parser knows.
  for (const char* option : {"--remove", "--quarantine", "--windows-root", "--drive", "--backup",
                             "--cross-file-systems", "--image", "--format", "--allow-backing-file", "--json", "--quiet",
                             "--force", "--help", "restore"})
    EXPECT_NE(nullptr, strstr(kScanHelpText, option)) << option;
  for (const char* option : {"--remove", "--quarantine", "--no-memory", "--all-users", "--json", "--quiet", "--force",
                             "--help", "--version", "restore"})
    EXPECT_NE(nullptr, strstr(kLiveScanHelpText, option)) << option;
}

// --image FILE, repeatable, stands instead of PATHs on the Linux scanner only.
TEST(ScanCli, ImagesStandInsteadOfPaths) {
  Parsed p = Parse({"--remove", "--image", "/vm/a.qcow2", "--image=/vm/b.raw"});
  ASSERT_TRUE(p.ok) << p.reason;
  ASSERT_EQ(2u, p.options.imageCount);
  EXPECT_STREQ("/vm/a.qcow2", p.options.images[0]);
  EXPECT_STREQ("/vm/b.raw", p.options.images[1]);
  EXPECT_EQ(0u, p.options.pathCount);
  EXPECT_NE(nullptr, strstr(kScanHelpText, "--image"));
  EXPECT_EQ(nullptr, p.options.imageFormats[0]);
  EXPECT_FALSE(p.options.allowBackingFile);
  // --format holds for every --image after it, until the next.
  Parsed formats = Parse({"--image", "/vm/a", "--format", "qcow2", "--image", "/vm/b.img", "--image", "/vm/c",
                          "--format=vhd", "--allow-backing-file", "--image", "/vm/d"});
  ASSERT_TRUE(formats.ok) << formats.reason;
  ASSERT_EQ(4u, formats.options.imageCount);
  EXPECT_EQ(nullptr, formats.options.imageFormats[0]);
  EXPECT_STREQ("qcow2", formats.options.imageFormats[1]);
  EXPECT_STREQ("qcow2", formats.options.imageFormats[2]);
  EXPECT_STREQ("vpc", formats.options.imageFormats[3]);
  EXPECT_TRUE(formats.options.allowBackingFile);
  Parsed restore = Parse({"restore", "--format", "vmdk", "--image", "/vm/a", "/q"});
  ASSERT_TRUE(restore.ok) << restore.reason;
  EXPECT_STREQ("/vm/a", restore.options.restoreImage);
  EXPECT_STREQ("vmdk", restore.options.restoreImageFormat);
  struct Case {
    std::vector<const char*> args;
    ScanFlavour flavour;
    const char* reason;
  } cases[] = {
      {{"--image"}, kFlavourMountedVolume, "--image needs a value"},
      {{"--image", "/vm/a.raw", "/mnt"}, kFlavourMountedVolume, "--image takes no PATH"},
      {{"--image", "/vm/a.raw", "--windows-root", "/mnt"}, kFlavourMountedVolume, "--image takes no PATH"},
      {{"--image", "/vm/a.raw", "--drive", "D=/mnt"}, kFlavourMountedVolume, "--image takes no PATH"},
      {{"restore", "--image", "/vm/a.raw", "--image", "/vm/b.raw", "/q"}, kFlavourMountedVolume, "restore takes only"},
      {{"--list", "/mnt"}, kFlavourMountedVolume, "--only, --run and --list belong to restore"},
      {{"--image", "/vm/a.raw"}, kFlavourLiveSystem, "--image applies to quellix-scan only"},
      {{"--format", "qcow3", "--image", "/vm/a"}, kFlavourMountedVolume, "--format wants raw, qcow2,"},
      {{"--image", "/vm/a", "--format", "qcow2"}, kFlavourMountedVolume, "--format qcow2 applies to no --image"},
      {{"--format", "raw", "--format", "vdi", "--image", "/vm/a"}, kFlavourMountedVolume,
       "--format raw applies to no --image"},
      {{"--allow-backing-file", "/mnt"}, kFlavourMountedVolume, "--allow-backing-file belongs to --image"},
      {{"--format", "raw", "--image", "/vm/a"}, kFlavourLiveSystem, "--format applies to quellix-scan only"},
  };
  for (const Case& c : cases) {
    Parsed bad = Parse(c.args, c.flavour);
    EXPECT_FALSE(bad.ok) << c.reason;
    EXPECT_EQ(0u, bad.reason.find(c.reason)) << bad.reason;
  }
}

}  // namespace
