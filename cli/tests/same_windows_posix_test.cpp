// One Windows, three forms: a folder given as PATH, a raw NTFS image filled
// through an ntfs-3g mount from that folder, and the same image as qcow2.
// quellix-scan must say the same of each: rows (below the drive), the Run
// values a writing run would delete, troubles, totals and exit status; then
// again with a profile folder that is a link; then a writing run on the
// folder and on the raw image (the appliance), which must take the same.
// Needs root (ntfs-3g mounts), /dev/fuse and the image tools; skipped
// without them.
#include <gtest/gtest.h>

#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "cli/tests/minimal_pe.h"
#include "cli/tests/start_program_posix.h"
#include "engine/signature_table.h"
#include "engine/testing/specimen_forge.h"
#include "remedy/json_lines.h"
#include "remedy/testing/profile_hive_posix.h"

namespace {

std::string gBase;
int gReady = 0;

int Sh(const std::string& command) { return std::system(command.c_str()); }

std::string Read(const std::string& path) { return ReadWholeFile(path); }

void Write(const std::string& path, const std::vector<unsigned char>& bytes) {
  ASSERT_EQ(0, Sh("mkdir -p '" + path.substr(0, path.rfind('/')) + "'"));
  FILE* f = std::fopen(path.c_str(), "wb");
  ASSERT_NE(nullptr, f) << path;
  if (!bytes.empty()) EXPECT_EQ(bytes.size(), std::fwrite(bytes.data(), 1, bytes.size(), f));
  EXPECT_EQ(0, std::fclose(f));
}

// What a run said, each record a line of its fields with the path below the
// drive ('/' between names), sorted: the JSON's order is the walk's.
struct Said {
  int status = -1;
  std::vector<std::string> records;
  std::string out, err;
};

// `shown` without the form's prefix, '\' made '/'; marked when the prefix
// is not there, so that it cannot compare equal by chance.
std::string Below(const std::string& shown, const std::string& prefix) {
  if (shown.compare(0, prefix.size(), prefix) != 0) return "(elsewhere) " + shown;
  std::string below = shown.substr(prefix.size());
  std::replace(below.begin(), below.end(), '\\', '/');
  return below;
}

std::string Field(const std::string& line, const char* key) {
  std::vector<char> value(8192);
  return FindJsonString(line.c_str(), key, value.data(), value.size()) ? std::string(value.data()) : "-";
}

std::string Number(const std::string& line, const char* key) {
  int64_t value = 0;
  return FindJsonNumber(line.c_str(), key, &value) ? std::to_string(value) : "-";
}

// `prefix` is what the form puts before a path on the drive: "ROOT/" for the
// folder, "IMAGE:C:\" for an image.
Said ScanAs(const std::vector<std::string>& args, const std::string& prefix, const std::string& name) {
  std::string json = gBase + "/" + name + ".jsonl";
  std::vector<std::string> all = {"--quiet", "--json", json};
  all.insert(all.end(), args.begin(), args.end());
  Said said;
  pid_t pid = StartProgram(QX_SCAN_PROGRAM, all, gBase + "/" + name + ".out", gBase + "/" + name + ".err");
  int status = 0;
  waitpid(pid, &status, 0);
  said.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  said.out = Read(gBase + "/" + name + ".out");
  said.err = Read(gBase + "/" + name + ".err");
  std::string lines = Read(json);
  for (size_t at = 0, end; at < lines.size(); at = end + 1) {
    end = lines.find('\n', at);
    if (end == std::string::npos) end = lines.size();
    std::string line = lines.substr(at, end - at);
    std::string type = Field(line, "type");
    if (type == "detection")
      said.records.push_back("row " + Below(Field(line, "path"), prefix) + " | " + Field(line, "detection") + " | " +
                             Field(line, "action"));
    else if (type == "not_examined")
      said.records.push_back("not examined " + Below(Field(line, "path"), prefix));
    else if (type == "run_value")
      said.records.push_back("run value " + Below(Field(line, "hive"), prefix) + " | " + Field(line, "key") + " | " +
                             Field(line, "value") + " | " + Field(line, "refers_to") + " | " + Field(line, "action"));
    else if (type == "registry_trouble")
      said.records.push_back("trouble " + Field(line, "kind") + " " + Below(Field(line, "where"), prefix) + ": " +
                             Field(line, "reason"));
    else if (type == "refused")
      said.records.push_back("refused " + Field(line, "where") + ": " + Field(line, "reason"));
    else if (type == "summary")
      for (const char* key : {"files", "bytes", "detections", "removed", "left_in_place", "failed", "not_examined",
                              "run_values_deleted", "run_values_would_delete", "registry_troubles", "exit_status"})
        said.records.push_back(std::string("summary ") + key + " " + Number(line, key));
  }
  std::sort(said.records.begin(), said.records.end());
  return said;
}

size_t Count(const std::vector<std::string>& records, const std::string& start) {
  return static_cast<size_t>(std::count_if(records.begin(), records.end(), [&](const std::string& r) {
    return r.compare(0, start.size(), start) == 0;
  }));
}

int Has(const std::vector<std::string>& records, const std::string& record) {
  return std::find(records.begin(), records.end(), record) != records.end();
}

// The Windows: specimens in the system folder, a profile's temporary
// folder, Program Files and the root; a decoy of each; clean programs;
// SYSTEM and SOFTWARE hives; two profiles whose Run values start a
// specimen beside clean ones, the machine's Run key too.
void PlantWindows(const std::string& root) {
  SignatureTable table = BuiltInSignatures();
  const char* const places[] = {"WINDOWS/system32/", "Documents and Settings/alice/Local Settings/Temp/",
                                "Program Files/caf\xc3\xa9/", ""};
  for (uint32_t i = 0; i < 4 && i < table.count; ++i) {
    std::vector<unsigned char> bytes;
    ASSERT_TRUE(ForgeSpecimenForRow(table.rows[i], 300 + i, &bytes));
    Write(root + "/" + places[i] + "row " + std::to_string(i) + ".exe", bytes);
    ASSERT_TRUE(ForgeDecoyForRow(table.rows[i], 400 + i, &bytes));
    Write(root + "/" + places[(i + 1) % 4] + "decoy " + std::to_string(i) + ".dll", bytes);
  }
  Write(root + "/WINDOWS/notepad.exe", std::vector<unsigned char>(66000, 'n'));
  // What the appliance's inspection reads to recognise a Windows.
  Write(root + "/WINDOWS/system32/cmd.exe", MinimalPe());
  ASSERT_EQ(0, Sh("mkdir -p '" + root + "/WINDOWS/system32/config' '" + root + "/Documents and Settings/bob'"));
  ASSERT_TRUE(WriteTestHive(root + "/WINDOWS/system32/config/SYSTEM",
                            {{{"Select"}, {{"Current", 4, std::string("\x01\0\0\0", 4)}}},
                             {{"ControlSet001", "Control", "ComputerName", "ComputerName"},
                              {{"ComputerName", 1, "SAME"}}}}));
  ASSERT_TRUE(WriteXpSoftwareHive(root + "/WINDOWS/system32/config/SOFTWARE",
                                  {{"WormM", 2, "%SystemRoot%\\system32\\row 0.exe"},
                                   {"KeepM", 1, "C:\\WINDOWS\\notepad.exe"}}));
  ASSERT_TRUE(WriteProfileHive(root + "/Documents and Settings/alice/NTUSER.DAT",
                               {{"Worm1", 2, "%USERPROFILE%\\Local Settings\\Temp\\row 1.exe"},
                                {"ctfmon", 1, "C:\\WINDOWS\\system32\\ctfmon.exe"}},
                               {}));
  ASSERT_TRUE(WriteProfileHive(root + "/Documents and Settings/bob/NTUSER.DAT",
                               {{"Worm2", 1, "\"C:\\Program Files\\caf\xc3\xa9\\row 2.exe\" /s"},
                                {"Keep", 1, "C:\\WINDOWS\\notepad.exe"}},
                               {}));
}

// A symbolic link as Windows makes one (a reparse point, relative, to
// "alice"): ntfs-3g's own links are Interix files, plain files to Windows.
const char kLinkToAlice[] =
    "0x0c0000a02000000000000a000a000a000100000061006c00690063006500"
    "61006c00690063006500";

class SameWindows : public testing::Test {
 protected:
  static void SetUpTestSuite() {
    if (geteuid() != 0 || Sh("command -v mkntfs ntfs-3g qemu-img qemu-nbd setfattr >/dev/null") != 0 ||
        access("/dev/fuse", R_OK | W_OK) != 0)
      return;
    char cwd[4096];
    ASSERT_NE(nullptr, getcwd(cwd, sizeof cwd));
    gBase = std::string(cwd) + "/same-windows";
    Sh("umount '" + gBase + "/mnt' 2>/dev/null");
    ASSERT_EQ(0, Sh("rm -rf '" + gBase + "' && mkdir -p '" + gBase + "/mnt'"));
    PlantWindows(gBase + "/folder");
    if (HasFatalFailure()) return;
    std::string raw = gBase + "/x.raw", mnt = gBase + "/mnt";
    ASSERT_EQ(0, Sh("truncate -s 64M '" + raw + "' && mkntfs -F -Q -q '" + raw + "' >/dev/null 2>&1"));
    ASSERT_EQ(0, Sh("ntfs-3g '" + raw + "' '" + mnt + "'"));
    int copied = Sh("cp -r '" + gBase + "/folder/.' '" + mnt + "/'");
    ASSERT_EQ(0, Sh("umount '" + mnt + "'"));
    ASSERT_EQ(0, copied);
    ASSERT_EQ(0, Sh("qemu-img convert -f raw -O qcow2 '" + raw + "' '" + gBase + "/x.qcow2'"));

    // The same with a profile folder, carol, that is a link to alice's.
    ASSERT_EQ(0, Sh("cp -a '" + gBase + "/folder' '" + gBase + "/linked' && ln -s alice '" + gBase +
                    "/linked/Documents and Settings/carol'"));
    ASSERT_EQ(0, Sh("cp --sparse=always '" + raw + "' '" + gBase + "/linked.raw'"));
    ASSERT_EQ(0, Sh("ntfs-3g '" + gBase + "/linked.raw' '" + mnt + "'"));
    int linked = Sh("mkdir '" + mnt + "/Documents and Settings/carol' && setfattr -h -n system.ntfs_reparse_data -v " +
                    kLinkToAlice + " '" + mnt + "/Documents and Settings/carol'");
    ASSERT_EQ(0, Sh("umount '" + mnt + "'"));
    ASSERT_EQ(0, linked);
    ASSERT_EQ(0, Sh("qemu-img convert -f raw -O qcow2 '" + gBase + "/linked.raw' '" + gBase + "/linked.qcow2'"));
    gReady = 1;
  }
  void SetUp() override {
    if (!gReady) GTEST_SKIP() << "needs root, /dev/fuse, ntfs-3g, attr and qemu-utils";
  }
};

TEST_F(SameWindows, AFolderARawImageAndAQcow2ImageSayTheSame) {
  Said folder = ScanAs({gBase + "/folder"}, gBase + "/folder/", "folder");
  Said raw = ScanAs({"--image", gBase + "/x.raw"}, gBase + "/x.raw:C:\\", "raw");
  Said qcow2 = ScanAs({"--image", gBase + "/x.qcow2"}, gBase + "/x.qcow2:C:\\", "qcow2");
  EXPECT_EQ(1, folder.status) << folder.out << folder.err;
  EXPECT_EQ(folder.status, raw.status) << raw.out << raw.err;
  EXPECT_EQ(folder.status, qcow2.status) << qcow2.out << qcow2.err;
  // What the three must agree on is itself right: every specimen, no decoy,
  // the three Run values that start one and none of the clean ones.
  EXPECT_EQ(4u, Count(folder.records, "row ")) << testing::PrintToString(folder.records);
  EXPECT_EQ(0u, Count(folder.records, "row decoy"));
  EXPECT_EQ(3u, Count(folder.records, "run value ")) << testing::PrintToString(folder.records);
  EXPECT_TRUE(Has(folder.records, "run value Documents and Settings/alice/NTUSER.DAT | "
                                  "Software\\Microsoft\\Windows\\CurrentVersion\\Run | Worm1 | "
                                  "C:\\Documents and Settings\\alice\\Local Settings\\Temp\\row 1.exe | would_delete"))
      << testing::PrintToString(folder.records);
  EXPECT_TRUE(Has(folder.records, "summary registry_troubles 0"));
  EXPECT_EQ(folder.records, raw.records);
  EXPECT_EQ(folder.records, qcow2.records);
}

TEST_F(SameWindows, AProfileFolderThatIsALinkIsTheSameTroubleInEachForm) {
  Said folder = ScanAs({gBase + "/linked"}, gBase + "/linked/", "linked");
  Said raw = ScanAs({"--image", gBase + "/linked.raw"}, gBase + "/linked.raw:C:\\", "linked-raw");
  Said qcow2 = ScanAs({"--image", gBase + "/linked.qcow2"}, gBase + "/linked.qcow2:C:\\", "linked-qcow2");
  EXPECT_EQ(2, folder.status) << folder.out << folder.err;
  EXPECT_EQ(2, raw.status) << raw.out << raw.err;
  EXPECT_EQ(2, qcow2.status) << qcow2.out << qcow2.err;
  EXPECT_TRUE(Has(folder.records, "trouble not_cleaned Documents and Settings/carol/NTUSER.DAT: its profile folder "
                                  "is a symbolic link"))
      << testing::PrintToString(folder.records);
  // alice's hive is still read through her own folder, once.
  EXPECT_EQ(3u, Count(folder.records, "run value ")) << testing::PrintToString(folder.records);
  EXPECT_EQ(folder.records, raw.records);
  EXPECT_EQ(folder.records, qcow2.records);
}

// Tears the MFT record `record` of the NTFS image `image` as a write cut
// short leaves it: its first sector's last two bytes no longer match the
// record's update sequence.
int TearRecord(const std::string& image, uint64_t record) {
  std::string boot = Read(image).substr(0, 512);
  if (boot.size() < 512) return 0;
  auto byte = [&](size_t i) { return static_cast<uint64_t>(static_cast<unsigned char>(boot[i])); };
  uint64_t cluster = (byte(0x0b) | byte(0x0c) << 8) * byte(0x0d);
  uint64_t mft = 0;
  for (int i = 7; i >= 0; --i) mft = mft << 8 | byte(0x30 + static_cast<size_t>(i));
  int8_t perRecord = static_cast<int8_t>(byte(0x40));
  uint64_t size = perRecord < 0 ? 1ull << -perRecord : static_cast<uint64_t>(perRecord) * cluster;
  uint64_t at = mft * cluster + record * size;
  return Sh("printf ZZ | dd of='" + image + "' bs=1 seek=" + std::to_string(at + 510) +
            " conv=notrunc status=none") == 0;
}

// bob's folder record torn: the folder is the ntfs-3g mount of the torn
// image, where it cannot be looked at; each form says it is not examined
// and not cleaned, and still reads alice's hive beside it.
TEST_F(SameWindows, AProfileFolderWhoseRecordIsTornIsTheSameTroubleInEachForm) {
  std::string torn = gBase + "/torn.raw", mnt = gBase + "/mnt";
  ASSERT_EQ(0, Sh("cp --sparse=always '" + gBase + "/x.raw' '" + torn + "'"));
  ASSERT_EQ(0, Sh("ntfs-3g -o ro '" + torn + "' '" + mnt + "' && stat -c %i '" + mnt +
                  "/Documents and Settings/bob' > '" + gBase + "/bob.record'; umount '" + mnt + "'"));
  uint64_t record = std::strtoull(Read(gBase + "/bob.record").c_str(), nullptr, 10);
  ASSERT_LT(15u, record) << "no system file's record";
  ASSERT_TRUE(TearRecord(torn, record));
  ASSERT_EQ(0, Sh("qemu-img convert -f raw -O qcow2 '" + torn + "' '" + gBase + "/torn.qcow2'"));
  ASSERT_EQ(0, Sh("ntfs-3g -o ro '" + torn + "' '" + mnt + "'"));
  Said folder = ScanAs({mnt}, mnt + "/", "torn");
  Sh("umount '" + mnt + "'");
  Said raw = ScanAs({"--image", torn}, torn + ":C:\\", "torn-raw");
  Said qcow2 = ScanAs({"--image", gBase + "/torn.qcow2"}, gBase + "/torn.qcow2:C:\\", "torn-qcow2");
  EXPECT_EQ(2, folder.status) << folder.out << folder.err;
  EXPECT_TRUE(Has(folder.records, "not examined Documents and Settings/bob")) << testing::PrintToString(folder.records);
  EXPECT_EQ(1u, Count(folder.records, "trouble not_cleaned Documents and Settings/bob/NTUSER.DAT: "))
      << testing::PrintToString(folder.records);
  EXPECT_EQ(2u, Count(folder.records, "run value ")) << "alice's and the machine's";
  EXPECT_EQ(folder.records, raw.records);
  EXPECT_EQ(folder.records, qcow2.records);
}

// Values under a Run key of a hive, as reglookup lists them.
std::vector<std::string> RunValuesOf(const std::string& hive) {
  std::vector<std::string> values;
  std::string all = ReglookupOf(hive);
  for (size_t at = 0, end; at < all.size(); at = end + 1) {
    end = all.find('\n', at);
    if (end == std::string::npos) end = all.size();
    std::string line = all.substr(at, end - at);
    if (line.find("/CurrentVersion/Run/") != std::string::npos) values.push_back(line.substr(0, line.find(',')));
  }
  std::sort(values.begin(), values.end());
  return values;
}

TEST_F(SameWindows, AWritingRunTakesTheSameFromTheFolderAndTheImage) {
  std::string folder = gBase + "/removed", image = gBase + "/removed.raw", mnt = gBase + "/mnt";
  ASSERT_EQ(0, Sh("rm -rf '" + folder + "' && cp -a '" + gBase + "/folder' '" + folder + "' && cp --sparse=always '" +
                  gBase + "/x.raw' '" + image + "'"));
  Said onFolder = ScanAs({"--remove", "--backup", gBase + "/backup-folder", folder}, folder + "/", "remove-folder");
  Said onImage = ScanAs({"--remove", "--backup", gBase + "/backup-image", "--image", image}, image + ":C:\\",
                     "remove-image");
  EXPECT_EQ(1, onFolder.status) << onFolder.out << onFolder.err;
  EXPECT_EQ(1, onImage.status) << onImage.out << onImage.err;
  EXPECT_EQ(4u, Count(onFolder.records, "row ")) << testing::PrintToString(onFolder.records);
  EXPECT_TRUE(Has(onFolder.records, "summary run_values_deleted 3")) << testing::PrintToString(onFolder.records);
  EXPECT_EQ(onFolder.records, onImage.records);

  // What is left is the same: every other file byte for byte, and in each
  // hive the same Run values.
  ASSERT_EQ(0, Sh("ntfs-3g -o ro '" + image + "' '" + mnt + "'"));
  EXPECT_EQ(0, Sh("diff -r -q -x NTUSER.DAT -x SOFTWARE -x SYSTEM '" + folder + "' '" + mnt + "'"));
  for (const char* hive : {"WINDOWS/system32/config/SOFTWARE", "WINDOWS/system32/config/SYSTEM",
                           "Documents and Settings/alice/NTUSER.DAT", "Documents and Settings/bob/NTUSER.DAT"}) {
    std::vector<std::string> left = RunValuesOf(folder + "/" + hive);
    EXPECT_EQ(left, RunValuesOf(mnt + "/" + hive)) << hive;
    EXPECT_EQ(0u, std::count_if(left.begin(), left.end(),
                                [](const std::string& v) { return v.find("/Worm") != std::string::npos; }))
        << hive;
  }
  EXPECT_EQ(2u, RunValuesOf(folder + "/Documents and Settings/alice/NTUSER.DAT").size() +
                    RunValuesOf(folder + "/Documents and Settings/bob/NTUSER.DAT").size());
  Sh("umount '" + mnt + "'");
}

}  // namespace
