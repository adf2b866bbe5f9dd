// quellix-scan --image end to end: small Windows disk images made here
// through libguestfs itself (an MBR disk, one NTFS partition, a WINDOWS
// folder with what inspection reads: system32\cmd.exe, the SOFTWARE and
// SYSTEM hives), forged specimens, decoys and two profile hives, in raw and
// qcow2 form. Software emulation is forced: every appliance launch costs
// tens of seconds, so one appliance builds every image and one reads back
// every result.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <guestfs.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "cli/tests/minimal_pe.h"
#include "cli/tests/start_program_posix.h"
#include "engine/signature_table.h"
#include "remedy/json_lines.h"
#include "engine/testing/specimen_forge.h"
#include "engine/sha256.h"
#include "remedy/testing/minimal_hive.h"
#include "remedy/testing/profile_hive_posix.h"

namespace {

std::string gBase;  // the test's folder

void Write(const std::string& path, const std::vector<unsigned char>& bytes) {
  FILE* f = fopen(path.c_str(), "wb");
  ASSERT_NE(nullptr, f) << path;
  if (!bytes.empty()) ASSERT_EQ(bytes.size(), fwrite(bytes.data(), 1, bytes.size(), f));
  ASSERT_EQ(0, fclose(f));
}

std::string Read(const std::string& path) { return ReadWholeFile(path); }

std::string Sha256OfFile(const std::string& path) {
  std::string bytes = Read(path);
  Sha256State sha;
  BeginSha256(&sha);
  AddSha256(&sha, reinterpret_cast<const unsigned char*>(bytes.data()), bytes.size());
  unsigned char digest[kSha256DigestSize];
  EndSha256(&sha, digest);
  char hex[kSha256HexSize];
  Sha256Hex(digest, hex);
  return std::string(hex) + "/" + std::to_string(bytes.size());
}

struct Outcome {
  int status;
  std::string out, err;
  double seconds;
};

// A run started in the background: runs on different images go side by
// side, each appliance starting while the others do.
struct Started {
  pid_t pid;
  std::string name;
  std::chrono::steady_clock::time_point at;
};

Started Start(const std::vector<std::string>& args, const std::string& name) {
  std::string outPath = gBase + "/" + name + ".out", errPath = gBase + "/" + name + ".err";
  auto started = std::chrono::steady_clock::now();
  return Started{StartProgram(QX_SCAN_PROGRAM, args, outPath, errPath), name, started};
}

Outcome Finish(const Started& run) {
  int status = 0;
  waitpid(run.pid, &status, 0);
  double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - run.at).count();
  return Outcome{WIFEXITED(status) ? WEXITSTATUS(status) : -1, Read(gBase + "/" + run.name + ".out"),
                 Read(gBase + "/" + run.name + ".err"), seconds};
}

Outcome Scan(const std::vector<std::string>& args, const std::string& name) { return Finish(Start(args, name)); }

size_t Count(const std::string& text, const std::string& what) {
  size_t n = 0;
  for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + what.size())) ++n;
  return n;
}

std::vector<unsigned char> Little(uint64_t value, int bytes) {
  std::vector<unsigned char> out;
  for (int i = 0; i < bytes; ++i) out.push_back(static_cast<unsigned char>(value >> (8 * i)));
  return out;
}

std::string Text(const std::vector<unsigned char>& bytes) { return std::string(bytes.begin(), bytes.end()); }

// Where the specimens lie on C:, and what Run values start them.
struct Planted {
  std::vector<std::string> specimens;  // Windows paths below C:\ ("WINDOWS\system32\row 0.exe")
  std::vector<std::string> decoys;
};

const char* const kPlaces[] = {"WINDOWS/system32/", "Documents and Settings/alice/Local Settings/Temp/",
                               "Program Files/caf\xc3\xa9/", ""};

std::string Windows(std::string path) {
  for (char& c : path)
    if (c == '/') c = '\\';
  return path;
}

// Builds the raw images in one appliance: `plain`, `hibernated` (the same
// with a hiberfil.sys that holds a hibernated system), `pending` (the same
// with a third profile whose hive's transaction log is not applied and
// starts a specimen, and a fourth that is a link) and `bare`: NTFS on the
// whole disk, a Windows folder whose SYSTEM hive is cut short (inspection
// fails on it), one specimen and that hive. The first three also hold a
// specimen named "App\app.exe" (one name, as Linux and a damaged NTFS
// allow) in Program Files, beside the clean App folder's app.exe, which
// alice's Run value "App" starts.
Planted BuildImages(const std::string& plain, const std::string& hibernated, const std::string& pending,
                    const std::string& bare) {
  Planted planted;
  std::string staging = gBase + "/staging";
  EXPECT_EQ(0, system(("rm -rf '" + staging + "' && mkdir -p '" + staging + "'").c_str()));
  SignatureTable table = BuiltInSignatures();
  std::vector<std::pair<std::string, std::string>> files;  // host file, path on C:
  for (uint32_t i = 0; i < table.count; ++i) {
    std::vector<unsigned char> bytes;
    EXPECT_TRUE(ForgeSpecimenForRow(table.rows[i], 100 + i, &bytes));
    std::string host = staging + "/specimen" + std::to_string(i);
    Write(host, bytes);
    std::string inside = std::string(kPlaces[i % 4]) + "row " + std::to_string(i) + ".exe";
    files.push_back({host, inside});
    planted.specimens.push_back(Windows(inside));
    EXPECT_TRUE(ForgeDecoyForRow(table.rows[i], 200 + i, &bytes));
    host = staging + "/decoy" + std::to_string(i);
    Write(host, bytes);
    inside = std::string(kPlaces[(i + 1) % 4]) + "decoy " + std::to_string(i) + ".dll";
    files.push_back({host, inside});
    planted.decoys.push_back(Windows(inside));
  }
  std::vector<unsigned char> odd;
  EXPECT_TRUE(ForgeSpecimenForRow(table.rows[0], 41, &odd));
  Write(staging + "/odd", odd);
  files.push_back({staging + "/odd", "Program Files/App\\app.exe"});
  Write(staging + "/app", std::vector<unsigned char>(5000, 'a'));
  files.push_back({staging + "/app", "Program Files/App/app.exe"});
  Write(staging + "/cmd.exe", MinimalPe());
  files.push_back({staging + "/cmd.exe", "WINDOWS/system32/cmd.exe"});
  EXPECT_TRUE(WriteXpSoftwareHive(staging + "/SOFTWARE",
                                  {{"WormM", 2, "%SystemRoot%\\system32\\row 0.exe"},
                                   {"KeepM", 1, "C:\\WINDOWS\\system32\\ctfmon.exe"}}));
  files.push_back({staging + "/SOFTWARE", "WINDOWS/system32/config/software"});
  EXPECT_TRUE(WriteProfileHive(staging + "/alice",
                               {{"ctfmon", 1, "C:\\WINDOWS\\system32\\ctfmon.exe"},
                                {"Worm0", 1, "\"C:\\WINDOWS\\system32\\row 0.exe\" -s"},
                                {"Worm1", 2, "%TEMP%\\row 1.exe"},
                                {"Lookalike", 1, "C:\\WINDOWS\\system32\\row 00.exe"},
                                {"App", 1, "\"C:\\Program Files\\App\\app.exe\" /tray"}},
                               {{"TEMP", 2, "%USERPROFILE%\\Local Settings\\Temp"}}));
  files.push_back({staging + "/alice", "Documents and Settings/alice/NTUSER.DAT"});
  EXPECT_TRUE(WriteProfileHive(staging + "/bob", {{"Worm0", 2, "%SystemRoot%/System32/ROW 0.EXE"}, {"Keep", 1, "notepad.exe"}},
                               {}));
  files.push_back({staging + "/bob", "Documents and Settings/bob/ntuser.dat"});
  Write(staging + "/notepad", std::vector<unsigned char>(66000, 'n'));
  files.push_back({staging + "/notepad", "WINDOWS/notepad.exe"});
  std::vector<unsigned char> hibr(8192, 0);
  memcpy(hibr.data(), "hibr", 4);
  Write(staging + "/hiberfil", hibr);

  guestfs_h* g = guestfs_create();
  EXPECT_NE(nullptr, g);
  if (!g) return planted;
  std::string logged = staging + "/carol";
  EXPECT_TRUE(WriteProfileHive(logged, {{"Worm0", 1, "C:\\WINDOWS\\system32\\row 0.exe"}}, {}));
  std::string bytes = Read(logged);
  StampHiveSequences(reinterpret_cast<unsigned char*>(&bytes[0]), 5, 4);
  Write(logged, std::vector<unsigned char>(bytes.begin(), bytes.end()));
  const char* images[] = {plain.c_str(), hibernated.c_str(), pending.c_str(), bare.c_str()};
  for (const char* image : images) {
    EXPECT_EQ(0, guestfs_disk_create(g, image, "raw", 96ll << 20, -1));
    EXPECT_EQ(0, guestfs_add_drive_opts(g, image, GUESTFS_ADD_DRIVE_OPTS_FORMAT, "raw", -1));
  }
  EXPECT_EQ(0, guestfs_launch(g));
  const char* devices[] = {"/dev/sda", "/dev/sdb", "/dev/sdc"};
  for (int d = 0; d < 3; ++d) {
    std::string device = devices[d], partition = device + "1";
    EXPECT_EQ(0, guestfs_part_disk(g, device.c_str(), "mbr"));
    EXPECT_EQ(0, guestfs_mkfs(g, "ntfs", partition.c_str()));
    // C: as the SYSTEM hive maps it: the disk's signature and the
    // partition's first byte.
    size_t got = 0;
    char* signature = guestfs_pread_device(g, device.c_str(), 4, 0x1b8, &got);
    EXPECT_EQ(4u, got);
    struct guestfs_partition_list* parts = guestfs_part_list(g, device.c_str());
    EXPECT_TRUE(parts && parts->len == 1);
    std::vector<unsigned char> blob(signature, signature + 4);
    std::vector<unsigned char> start = Little(parts ? static_cast<uint64_t>(parts->val[0].part_start) : 0, 8);
    blob.insert(blob.end(), start.begin(), start.end());
    free(signature);
    if (parts) guestfs_free_partition_list(parts);
    std::string system = staging + "/SYSTEM" + std::to_string(d);
    EXPECT_TRUE(WriteTestHive(system, {{{"Select"}, {{"Current", 4, Text(Little(1, 4))}}},
                                       {{"MountedDevices"}, {{"\\DosDevices\\C:", 3, Text(blob)}}},
                                       {{"ControlSet001", "Control", "ComputerName", "ComputerName"},
                                        {{"ComputerName", 1, "VM" + std::to_string(d)}}}}));
    EXPECT_EQ(0, guestfs_mount(g, partition.c_str(), "/"));
    std::vector<std::pair<std::string, std::string>> all = files;
    all.push_back({system, "WINDOWS/system32/config/system"});
    if (d == 1) all.push_back({staging + "/hiberfil", "HIBERFIL.SYS"});
    if (d == 2) all.push_back({logged, "Documents and Settings/carol/NTUSER.DAT"});
    for (const auto& [host, inside] : all) {
      std::string path = "/" + inside;
      std::string folder = path.substr(0, path.rfind('/'));
      if (!folder.empty()) EXPECT_EQ(0, guestfs_mkdir_p(g, folder.c_str())) << folder;
      EXPECT_EQ(0, guestfs_upload(g, host.c_str(), path.c_str())) << path;
    }
    // A guest's link on the name the tool once staged a cleaned hive under:
    // what is put back must never go through it to the SYSTEM hive.
    if (d == 0)
      EXPECT_EQ(0, guestfs_ln_s(g, "../../WINDOWS/system32/config/system",
                                "/Documents and Settings/alice/.quellix-incoming-NTUSER.DAT"));
    // A profile folder that is a link is said, not passed over.
    if (d == 2) EXPECT_EQ(0, guestfs_ln_s(g, "alice", "/Documents and Settings/dave"));
    EXPECT_EQ(0, guestfs_umount_all(g));
  }
  EXPECT_EQ(0, guestfs_mkfs(g, "ntfs", "/dev/sdd"));
  EXPECT_EQ(0, guestfs_mount(g, "/dev/sdd", "/"));
  EXPECT_EQ(0, guestfs_mkdir_p(g, "/Documents and Settings/carol"));
  EXPECT_EQ(0, guestfs_upload(g, logged.c_str(), "/Documents and Settings/carol/NTUSER.DAT"));
  EXPECT_EQ(0, guestfs_upload(g, (staging + "/specimen0").c_str(), "/row 0.exe"));
  std::string cut = Read(staging + "/SYSTEM0").substr(0, 4096);
  Write(staging + "/SYSTEM-cut", std::vector<unsigned char>(cut.begin(), cut.end()));
  EXPECT_EQ(0, guestfs_mkdir_p(g, "/WINDOWS/system32/config"));
  EXPECT_EQ(0, guestfs_upload(g, (staging + "/cmd.exe").c_str(), "/WINDOWS/system32/cmd.exe"));
  EXPECT_EQ(0, guestfs_upload(g, (staging + "/SOFTWARE").c_str(), "/WINDOWS/system32/config/software"));
  EXPECT_EQ(0, guestfs_upload(g, (staging + "/SYSTEM-cut").c_str(), "/WINDOWS/system32/config/system"));
  EXPECT_EQ(0, guestfs_umount_all(g));
  EXPECT_EQ(0, guestfs_shutdown(g));
  guestfs_close(g);
  return planted;
}

class ImageScan : public testing::Test {
 protected:
  static void SetUpTestSuite() {
    setenv("LIBGUESTFS_BACKEND_SETTINGS", "force_tcg", 1);
    char cwd[4096];
    ASSERT_NE(nullptr, getcwd(cwd, sizeof cwd));
    gBase = std::string(cwd) + "/quellix-scan-images";
    ASSERT_EQ(0, system(("rm -rf '" + gBase + "' && mkdir -p '" + gBase + "'").c_str()));
    auto started = std::chrono::steady_clock::now();
    planted_ = new Planted(
        BuildImages(gBase + "/plain.raw", gBase + "/hibernated.raw", gBase + "/pending.raw", gBase + "/bare.raw"));
    std::string convert = "qemu-img convert -f raw -O qcow2 '" + gBase + "/plain.raw' '" + gBase + "/plain.qcow2'";
    ASSERT_EQ(0, system(convert.c_str()));
    // What a guest may write to the start of its raw disk: a qcow2 header
    // naming a file of the host (here an image of specimens) as backing file.
    std::string header = "qemu-img create -q -f qcow2 -b '" + gBase + "/plain.raw' -F raw '" + gBase +
                         "/guest-wrote.img' && cp '" + gBase + "/guest-wrote.img' '" + gBase + "/guest-wrote'";
    ASSERT_EQ(0, system(header.c_str()));
    fprintf(stderr, "images built in %.1f s\n",
            std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count());
  }
  static void TearDownTestSuite() {
    delete planted_;
    planted_ = nullptr;
  }
  // A fresh copy of a built image, for a run that may change it.
  static std::string Copy(const std::string& from, const std::string& to) {
    EXPECT_EQ(0, system(("cp --sparse=always '" + gBase + "/" + from + "' '" + gBase + "/" + to + "'").c_str()));
    return gBase + "/" + to;
  }
  static Planted* planted_;
};

Planted* ImageScan::planted_ = nullptr;

TEST_F(ImageScan, DetectionOnlyListsEverySpecimenOfRawAndQcow2AndChangesNothing) {
  std::string raw = gBase + "/plain.raw", qcow2 = gBase + "/plain.qcow2";
  std::string rawBefore = Sha256OfFile(raw), qcow2Before = Sha256OfFile(qcow2);
  std::string json = gBase + "/detect.jsonl";
  // Raw images whose first bytes are a qcow2 header naming a host file: by
  // their names raw, and opened so (nothing is on them); as qcow2 only with
  // the backing file allowed.
  std::string wrote = gBase + "/guest-wrote.img", unnamed = gBase + "/guest-wrote";
  std::string wroteBefore = Sha256OfFile(wrote);
  Started asRaw = Start({"--image", wrote, "--image", unnamed, "--format", "qcow2", "--image", wrote}, "guest-header");
  Started allowed = Start({"--format", "qcow2", "--allow-backing-file", "--image", wrote}, "backing-allowed");
  Outcome run = Scan({"--image", raw, "--image", qcow2, "--json", json}, "detect");
  fprintf(stderr, "detection-only, two images: %.1f s\n", run.seconds);
  EXPECT_EQ(1, run.status) << run.out << run.err;
  for (const std::string& image : {raw, qcow2}) {
    for (const std::string& s : planted_->specimens)
      EXPECT_NE(std::string::npos, run.out.find(image + ":C:\\" + s + ": ")) << s << "\n" << run.out;
    for (const std::string& d : planted_->decoys) EXPECT_EQ(std::string::npos, run.out.find(d)) << d;
  }
  EXPECT_EQ(2 * (planted_->specimens.size() + 1), Count(run.out, "(left in place)")) << run.out;
  EXPECT_NE(std::string::npos, run.err.find("Windows found")) << run.err;
  // "App\app.exe" is one name: its row escapes the backslash (and the
  // terminal's escape that escape), and no Run value is said to start it.
  EXPECT_NE(std::string::npos, run.out.find(raw + ":C:\\Program Files\\App\\x5cx5capp.exe: ")) << run.out;
  EXPECT_EQ(std::string::npos, run.out.find("App\\app.exe")) << run.out;
  EXPECT_EQ(std::string::npos, run.out.find("\"App\"")) << run.out;
  EXPECT_NE(std::string::npos, Read(json).find("Program Files\\\\App\\\\x5capp.exe")) << Read(json);

  Outcome header = Finish(asRaw);
  fprintf(stderr, "a guest's qcow2 header, as raw: %.1f s\n", header.seconds);
  EXPECT_EQ(2, header.status) << header.out << header.err;
  EXPECT_EQ(0u, Count(header.out, "(left in place)")) << header.out;
  EXPECT_EQ(2u, Count(header.err, "no Windows installation and no NTFS or FAT file system")) << header.err;
  EXPECT_EQ(1u, Count(header.err, "it names a backing file (--allow-backing-file")) << header.err;
  Outcome backed = Finish(allowed);
  fprintf(stderr, "qcow2 over an allowed backing file: %.1f s\n", backed.seconds);
  EXPECT_EQ(1, backed.status) << backed.out << backed.err;
  EXPECT_EQ(planted_->specimens.size() + 1, Count(backed.out, "(left in place)")) << backed.out;
  EXPECT_NE(std::string::npos, backed.out.find(wrote + ":C:\\" + planted_->specimens[0] + ": ")) << backed.out;
  EXPECT_EQ(wroteBefore, Sha256OfFile(wrote));
  EXPECT_EQ(rawBefore, Sha256OfFile(raw));
  EXPECT_EQ(qcow2Before, Sha256OfFile(qcow2));
  std::string lines = Read(json);
  EXPECT_NE(std::string::npos, lines.find(raw)) << "the run record names the image";
}

TEST_F(ImageScan, WritingRunsTakeExactlyTheSpecimensAndTheWormRunValues) {
  std::string removed = Copy("plain.raw", "removed.raw");
  std::string quarantined = Copy("plain.qcow2", "quarantined.qcow2");
  std::string locked = Copy("plain.raw", "locked.raw");
  std::string hibernated = Copy("hibernated.raw", "hibernated-copy.raw");
  std::string bare = gBase + "/bare.raw", pending = gBase + "/pending.raw";
  std::string backup = gBase + "/backup", store = gBase + "/quarantine";

  std::string hibernatedBefore = Sha256OfFile(hibernated);
  std::string spared = Copy("plain.raw", "spared.raw");
  std::string sparedBefore = Sha256OfFile(spared);
  Started sparing = Start({"--remove", "--backup", backup + "-spared", "--exclude", "row *.exe", "--exclude",
                          "Program Files", "--image", spared},
                         "nothing-found");
  Started removing = Start({"--remove", "--backup", backup, "--image", removed}, "remove");
  Started quarantining =
      Start({"--quarantine", store, "--backup", backup + "-q", "--image", quarantined}, "quarantine");
  Started refusing = Start({"--remove", "--image", hibernated}, "hibernated");
  Started falling = Start({"--remove", "--backup", backup + "-bare", "--image", bare}, "bare");
  Started logging = Start({"--remove", "--backup", backup + "-pending", "--image", pending}, "pending");
  Outcome remove = Finish(removing);
  fprintf(stderr, "--remove: %.1f s\n", remove.seconds);
  EXPECT_EQ(1, remove.status) << remove.out << remove.err;
  EXPECT_EQ(planted_->specimens.size() + 1, Count(remove.out, "(removed)")) << remove.out;
  EXPECT_EQ(std::string::npos, remove.out.find("\"App\"")) << remove.out;
  EXPECT_NE(std::string::npos, remove.out.find("Run values deleted: 4 in 3 hive(s)")) << remove.out << remove.err;
  EXPECT_NE(std::string::npos, remove.out.find(removed + ":C:\\WINDOWS\\system32\\config\\software: Run value "
                                                         "\"WormM\" deleted"))
      << remove.out;
  EXPECT_EQ(std::string::npos, remove.out.find("KeepM")) << remove.out;
  EXPECT_NE(std::string::npos,
            remove.out.find(removed + ":C:\\Documents and Settings\\alice\\NTUSER.DAT: Run value \"Worm1\" deleted"))
      << remove.out;
  EXPECT_NE("", Read(backup + "/1-alice-NTUSER.DAT") + Read(backup + "/2-alice-NTUSER.DAT"));
  EXPECT_EQ(1u, Count(remove.err, "starting the appliance")) << remove.err;

  // A writing run that finds nothing (the specimens left out) starts no
  // appliance and says nothing of Run values beyond its summary's count.
  Outcome nothing = Finish(sparing);
  fprintf(stderr, "--remove, nothing found: %.1f s\n", nothing.seconds);
  EXPECT_EQ(0, nothing.status) << nothing.out << nothing.err;
  EXPECT_NE(std::string::npos, nothing.out.find("Detections: 0")) << nothing.out;
  EXPECT_EQ(std::string::npos, nothing.err.find("starting the appliance")) << nothing.err;
  EXPECT_EQ(std::string::npos, nothing.err.find("Run value")) << nothing.err;
  EXPECT_EQ(sparedBefore, Sha256OfFile(spared));

  Outcome quarantine = Finish(quarantining);
  fprintf(stderr, "--quarantine: %.1f s\n", quarantine.seconds);
  EXPECT_EQ(1, quarantine.status) << quarantine.out << quarantine.err;
  EXPECT_EQ(planted_->specimens.size() + 1, Count(quarantine.out, "(quarantined)")) << quarantine.out;
  std::string manifest = Read(store + "/manifest.jsonl");
  EXPECT_EQ(planted_->specimens.size() + 1, Count(manifest, "\"image\":")) << manifest;
  EXPECT_NE(std::string::npos, manifest.find("\"root\":\"C:\",\"relative\":\"WINDOWS/system32/row 0.exe\""))
      << manifest;
  EXPECT_NE(std::string::npos, manifest.find("C:\\\\Program Files\\\\App\\\\x5capp.exe\"")) << manifest;

  Outcome refused = Finish(refusing);
  fprintf(stderr, "hibernated, refused: %.1f s\n", refused.seconds);
  EXPECT_EQ(2, refused.status) << refused.out << refused.err;
  EXPECT_NE(std::string::npos, refused.err.find("C:\\HIBERFIL.SYS holds a hibernated Windows")) << refused.err;
  EXPECT_EQ(0u, Count(refused.out, "(removed)"));
  EXPECT_EQ(hibernatedBefore, Sha256OfFile(hibernated));

  // Where inspection fails on the SYSTEM hive, every NTFS file system is
  // scanned, named as the person knows the image (the whole disk, not the
  // appliance's device); no drive letter is known, so no Run value is
  // touched, and the run says so.
  Outcome fallback = Finish(falling);
  fprintf(stderr, "Windows not recognised, --remove: %.1f s\n", fallback.seconds);
  EXPECT_EQ(2, fallback.status) << fallback.out << fallback.err;
  EXPECT_NE(std::string::npos, fallback.out.find(bare + ":whole disk:\\row 0.exe: ")) << fallback.out;
  EXPECT_EQ(1u, Count(fallback.out, "(removed)")) << fallback.out;
  EXPECT_NE(std::string::npos, fallback.err.find("Windows was not recognised (its inspection failed: ")) << fallback.err;
  EXPECT_NE(std::string::npos, fallback.err.find("row 0.exe: Run values not cleaned: is on no drive letter (Windows "
                                                 "in the image was not recognised"))
      << fallback.err;

  // A hive whose transaction log is not applied is not written; the
  // others are.
  Outcome logged = Finish(logging);
  fprintf(stderr, "pending log, --remove: %.1f s\n", logged.seconds);
  EXPECT_EQ(2, logged.status) << logged.out << logged.err;
  EXPECT_EQ(planted_->specimens.size() + 1, Count(logged.out, "(removed)")) << logged.out;
  EXPECT_NE(std::string::npos,
            logged.err.find("carol\\NTUSER.DAT: Run values not cleaned: its transaction log is not applied"))
      << logged.err;
  EXPECT_NE(std::string::npos,
            logged.err.find("dave\\NTUSER.DAT: Run values not cleaned: its profile folder is a symbolic link"))
      << logged.err;
  EXPECT_NE(std::string::npos, logged.out.find("Run values deleted: 4 in 3 hive(s)")) << logged.out;

  // One appliance reads every result back and, while it holds `locked`
  // for writing, a second process is refused that image.
  guestfs_h* g = guestfs_create();
  ASSERT_NE(nullptr, g);
  ASSERT_EQ(0, guestfs_add_drive_opts(g, removed.c_str(), GUESTFS_ADD_DRIVE_OPTS_READONLY, 1, -1));
  ASSERT_EQ(0, guestfs_add_drive_opts(g, quarantined.c_str(), GUESTFS_ADD_DRIVE_OPTS_READONLY, 1, -1));
  ASSERT_EQ(0, guestfs_add_drive_opts(g, locked.c_str(), GUESTFS_ADD_DRIVE_OPTS_FORMAT, "raw", -1));
  ASSERT_EQ(0, guestfs_add_drive_opts(g, bare.c_str(), GUESTFS_ADD_DRIVE_OPTS_READONLY, 1, -1));
  ASSERT_EQ(0, guestfs_add_drive_opts(g, pending.c_str(), GUESTFS_ADD_DRIVE_OPTS_READONLY, 1, -1));
  ASSERT_EQ(0, guestfs_launch(g));
  std::string lockedBefore = Sha256OfFile(locked);
  Outcome busy = Scan({"--remove", "--image", locked}, "locked");
  EXPECT_EQ(2, busy.status) << busy.out << busy.err;
  EXPECT_NE(std::string::npos, busy.err.find("has it open for writing")) << busy.err;
  EXPECT_EQ(lockedBefore, Sha256OfFile(locked));

  const char* partitions[] = {"/dev/sda1", "/dev/sdb1"};
  for (int d = 0; d < 2; ++d) {
    SCOPED_TRACE(d == 0 ? "removed" : "quarantined");
    ASSERT_EQ(0, guestfs_mount_ro(g, partitions[d], "/"));
    for (const std::string& s : planted_->specimens) {
      std::string path = "/" + s;
      for (char& c : path)
        if (c == '\\') c = '/';
      EXPECT_EQ(0, guestfs_exists(g, path.c_str())) << path;
    }
    for (const std::string& s : planted_->decoys) {
      std::string path = "/" + s;
      for (char& c : path)
        if (c == '\\') c = '/';
      EXPECT_EQ(1, guestfs_exists(g, path.c_str())) << path;
    }
    EXPECT_EQ(1, guestfs_exists(g, "/WINDOWS/notepad.exe"));
    EXPECT_EQ(0, guestfs_exists(g, "/Program Files/App\\app.exe"));
    char* app = guestfs_checksum(g, "sha256", "/Program Files/App/app.exe");
    EXPECT_EQ(Sha256OfFile(gBase + "/staging/app").substr(0, 64), app ? app : "") << "the clean app.exe";
    free(app);
    char* system = guestfs_checksum(g, "sha256", "/WINDOWS/system32/config/system");
    EXPECT_EQ(Sha256OfFile(gBase + "/staging/SYSTEM0").substr(0, 64), system ? system : "")
        << "the SYSTEM hive was written";
    free(system);
    std::string alice = gBase + "/alice-after", bob = gBase + "/bob-after";
    ASSERT_EQ(0, guestfs_download(g, "/Documents and Settings/alice/NTUSER.DAT", alice.c_str()));
    ASSERT_EQ(0, guestfs_download(g, "/Documents and Settings/bob/ntuser.dat", bob.c_str()));
    std::string a = ReglookupOf(alice), b = ReglookupOf(bob);
    ASSERT_NE("", a);
    ASSERT_NE("", b);
    EXPECT_EQ(std::string::npos, a.find("/Run/Worm0,")) << a;
    EXPECT_EQ(std::string::npos, a.find("/Run/Worm1,")) << a;
    EXPECT_EQ(std::string::npos, b.find("/Run/Worm0,")) << b;
    EXPECT_NE(std::string::npos, a.find("/Run/ctfmon,")) << a;
    EXPECT_NE(std::string::npos, a.find("/Run/Lookalike,")) << a;
    EXPECT_NE(std::string::npos, a.find("/Run/App,")) << a;
    EXPECT_NE(std::string::npos, b.find("/Run/Keep,")) << b;
    ASSERT_EQ(0, guestfs_umount_all(g));
  }
  ASSERT_EQ(0, guestfs_mount_ro(g, "/dev/sdd", "/"));
  EXPECT_EQ(0, guestfs_exists(g, "/row 0.exe"));
  std::string carol = gBase + "/carol-after";
  ASSERT_EQ(0, guestfs_download(g, "/Documents and Settings/carol/NTUSER.DAT", carol.c_str()));
  EXPECT_EQ(Read(gBase + "/staging/carol"), Read(carol));
  ASSERT_EQ(0, guestfs_umount_all(g));
  ASSERT_EQ(0, guestfs_mount_ro(g, "/dev/sde1", "/"));
  ASSERT_EQ(0, guestfs_download(g, "/Documents and Settings/carol/NTUSER.DAT", carol.c_str()));
  EXPECT_EQ(Read(gBase + "/staging/carol"), Read(carol)) << "the hive with a pending log is as it was";
  EXPECT_EQ(0, guestfs_exists(g, "/WINDOWS/system32/row 0.exe"));
  guestfs_close(g);

  // restore puts the quarantined files back into their image, byte for
  // byte: one first, then the rest; the Run values stay gone. A third
  // restore says they are back and opens no image.
  std::string lines = Read(store + "/manifest.jsonl");
  char first[4096] = "";
  ASSERT_TRUE(FindJsonString(lines.c_str(), "path", first, sizeof first)) << lines;
  Outcome list = Scan({"restore", "--list", store}, "list");
  EXPECT_EQ(0, list.status) << list.err;
  EXPECT_EQ(planted_->specimens.size() + 1, Count(list.out, "  quarantined  ")) << list.out;
  Outcome one = Scan({"restore", "--only", first, store}, "restore-one");
  EXPECT_EQ(0, one.status) << one.out << one.err;
  EXPECT_EQ(1u, Count(one.out, ": restored\n")) << one.out;
  // "App\app.exe" is not put back, even forced: through its Windows path
  // it would land on the clean app.exe.
  Outcome restore = Scan({"restore", "--force", store}, "restore");
  fprintf(stderr, "restore: %.1f s\n", restore.seconds);
  EXPECT_EQ(2, restore.status) << restore.out << restore.err;
  EXPECT_EQ(planted_->specimens.size() - 1, Count(restore.out, ": restored\n")) << restore.out;
  EXPECT_EQ(1u, Count(restore.out, "not restored: its recorded name holds a character no Windows name holds"))
      << restore.out;
  Outcome again = Scan({"restore", store}, "restore-again");
  EXPECT_EQ(2, again.status) << again.out << again.err;
  EXPECT_EQ(planted_->specimens.size(), Count(again.out, ": already restored\n")) << again.out;
  g = guestfs_create();
  ASSERT_NE(nullptr, g);
  ASSERT_EQ(0, guestfs_add_drive_opts(g, quarantined.c_str(), GUESTFS_ADD_DRIVE_OPTS_READONLY, 1, -1));
  ASSERT_EQ(0, guestfs_launch(g));
  ASSERT_EQ(0, guestfs_mount_ro(g, "/dev/sda1", "/"));
  SignatureTable table = BuiltInSignatures();
  for (size_t i = 0; i < planted_->specimens.size(); ++i) {
    std::string path = "/" + planted_->specimens[i];
    for (char& c : path)
      if (c == '\\') c = '/';
    std::string back = gBase + "/back";
    std::vector<unsigned char> forged;
    ASSERT_TRUE(ForgeSpecimenForRow(table.rows[i], 100 + static_cast<uint32_t>(i), &forged));
    ASSERT_EQ(0, guestfs_download(g, path.c_str(), back.c_str())) << path;
    EXPECT_EQ(Text(forged), Read(back)) << path;
  }
  char* app = guestfs_checksum(g, "sha256", "/Program Files/App/app.exe");
  EXPECT_EQ(Sha256OfFile(gBase + "/staging/app").substr(0, 64), app ? app : "") << "the clean app.exe";
  free(app);
  EXPECT_EQ(0, guestfs_exists(g, "/Program Files/App\\app.exe"));
  std::string alice = gBase + "/alice-restored";
  ASSERT_EQ(0, guestfs_download(g, "/Documents and Settings/alice/NTUSER.DAT", alice.c_str()));
  EXPECT_EQ(std::string::npos, ReglookupOf(alice).find("/Run/Worm0,"));
  guestfs_close(g);
}

TEST_F(ImageScan, UsageOfImage) {
  Outcome both = Scan({"--image", gBase + "/plain.raw", gBase}, "usage");
  EXPECT_EQ(64, both.status) << both.err;
  Outcome missing = Scan({"--image", gBase + "/no-such.raw"}, "missing");
  EXPECT_EQ(2, missing.status) << missing.err;
  EXPECT_NE(std::string::npos, missing.out.find("not examined")) << missing.out;
}

}  // namespace
