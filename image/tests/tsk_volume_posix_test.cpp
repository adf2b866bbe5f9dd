// The in-process reader against what else knows the same images: an NTFS
// image made with mkntfs and filled through an ntfs-3g mount (hard links, a
// compressed file, a sparse file, a folder of 20 000 entries, a path 30
// folders deep, Unicode names, an 8.3 alias, a reparse point) is listed as
// the mount, mounted read-only, lists it; a FAT image filled by mtools lists
// as the folder copied in (its volume label no file); a partitioned disk, raw and qcow2, is labelled as the
// person knows it; a folder whose record is damaged is trouble, not empty,
// and its neighbours are still listed.
// Needs root (ntfs-3g mounts) and the image tools; skipped without them.
#include "image/tsk_volume_posix.h"

#include <ftw.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "image/image_walk_posix.h"
#include "remedy/volume_hive_posix.h"
#include "remedy/testing/profile_hive_posix.h"

namespace {

std::string gBase;
int gReady = 0;

int Sh(const std::string& command) { return std::system(command.c_str()); }

std::string Read(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream all;
  all << in.rdbuf();
  return all.str();
}

std::map<std::string, uint64_t>* gTree;
size_t gRootLength;

int AddFile(const char* path, const struct stat* st, int type, struct FTW*) {
  if (type == FTW_F && S_ISREG(st->st_mode)) (*gTree)[path + gRootLength] = static_cast<uint64_t>(st->st_size);
  return 0;
}

// Every regular file below `root` by its '/' path below it, links not followed.
std::map<std::string, uint64_t> HostFiles(const std::string& root) {
  std::map<std::string, uint64_t> tree;
  gTree = &tree;
  gRootLength = root.size() + 1;
  EXPECT_EQ(0, nftw(root.c_str(), AddFile, 64, FTW_PHYS));
  return tree;
}

struct Walked {
  std::string image;
  std::map<std::string, uint64_t> files;  // "label/a/b" -> size
  std::map<std::string, ImageFileRecord> records;
  std::vector<std::string> unreadable;
};

int OnFile(void* context, const WalkEntry* entry) {
  Walked* w = static_cast<Walked*>(context);
  std::string row = std::string(entry->path).substr(w->image.size() + 1);  // "C:\a\b"
  const ImageFileRecord* r = static_cast<const ImageFileRecord*>(entry->native);
  std::string label = row.substr(0, row.find(":\\"));
  std::string key = label + "/" + r->below;
  EXPECT_EQ(0u, w->files.count(key)) << "walked twice: " << key;
  w->files[key] = entry->size;
  w->records[key] = *r;
  w->records[key].below = nullptr;
  std::string shown = r->below;
  for (char& c : shown)
    if (c == '/') c = '\\';
  EXPECT_EQ(w->image + ":" + label + ":\\" + shown, entry->path);
  return 1;
}

int OnUnreadable(void* context, const char* path, uint32_t) {
  static_cast<Walked*>(context)->unreadable.push_back(path);
  return 1;
}

Walked WalkAll(ImageDisk* disk, const std::string& image) {
  Walked w;
  w.image = image;
  ImageSystem system;
  FindImageSystem(disk, &system);
  WalkVisitor visitor{OnFile, OnUnreadable, &w};
  EXPECT_EQ(1, WalkImageDisk(disk, system, image.c_str(), visitor, nullptr));
  return w;
}

struct Heard {
  std::vector<std::string> deleted, examined, trouble;
};

void OnWouldDelete(void* context, const RunValueDeletion* d) {
  static_cast<Heard*>(context)->deleted.push_back(std::string(d->hive) + " " + d->valueName +
                                                  (d->wouldDelete ? " would go" : " went"));
}
void OnExamined(void* context, const char* hive, uint32_t deleted) {
  static_cast<Heard*>(context)->examined.push_back(std::string(hive) + " " + std::to_string(deleted));
}
void OnTrouble(void* context, RunValueTrouble, const char* where, const char* reason) {
  static_cast<Heard*>(context)->trouble.push_back(std::string(where) + ": " + reason);
}

std::map<std::string, uint64_t> Prefixed(const std::string& label, const std::map<std::string, uint64_t>& tree) {
  std::map<std::string, uint64_t> out;
  for (const auto& f : tree) out[label + "/" + f.first] = f.second;
  return out;
}

std::string ReadWhole(const ImageFileRecord& r) {
  std::string bytes(static_cast<size_t>(r.size), '\0');
  int64_t got = bytes.empty() ? 0 : ReadImageFile(r.volume, r.identity, 0, &bytes[0], bytes.size());
  EXPECT_EQ(static_cast<int64_t>(r.size), got);
  return bytes;
}

const char kFill[] = R"(
import os, sys
root = sys.argv[1]
def put(path, data):
    os.makedirs(os.path.dirname(os.path.join(root, path)), exist_ok=True)
    with open(os.path.join(root, path), "wb") as f:
        f.write(data)
put("Unicode caf\u00e9 \u65e5\u672c/\u00dcn\u00efc\u00f6d\u00e9 \u2603.txt", "snow \u2603\n".encode() * 100)
put("links/a.bin", bytes(range(256)) * 12)
os.makedirs(os.path.join(root, "links/other"))
os.link(os.path.join(root, "links/a.bin"), os.path.join(root, "links/other/b.bin"))
os.mkdir(os.path.join(root, "link-to-links"))
put("compressed/placeholder", b"")
deep = "/".join("d%02d" % i for i in range(30))
put(deep + "/deep.txt", b"thirty folders down\n")
for i in range(20000):
    put("wide/f%05d.txt" % i, str(i).encode() * (i % 7))
)";

void MakeNtfs(const std::string& image, const std::string& mount, int fill) {
  ASSERT_EQ(0, Sh("truncate -s 256M '" + image + "' && mkntfs -F -Q -q '" + image + "' >/dev/null 2>&1"));
  ASSERT_EQ(0, Sh("mkdir -p '" + mount + "' && ntfs-3g '" + image + "' '" + mount + "'"));
  if (fill) {
    std::ofstream(gBase + "/fill.py") << kFill;
    EXPECT_EQ(0, Sh("python3 '" + gBase + "/fill.py' '" + mount + "'"));
    // A symbolic link as Windows makes one: a reparse point (ntfs-3g's own
    // links are Interix files, plain files to Windows), relative, to "links".
    EXPECT_EQ(0, Sh("setfattr -h -n system.ntfs_reparse_data -v "
                    "0x0c0000a02000000000000a000a000a00010000006c0069006e006b0073006c0069006e006b007300 '" +
                    mount + "/link-to-links'"));
    // A long name with its 8.3 alias, as Windows gives one.
    EXPECT_EQ(0, Sh("setfattr -h -n system.ntfs_dos_name -v 'UNICOD~1' '" + mount +
                    "/Unicode caf\xc3\xa9 "
                    "\xe6\x97\xa5\xe6\x9c\xac'"));
    // New files of a compressed folder are compressed by ntfs-3g.
    EXPECT_EQ(0, Sh("setfattr -h -n system.ntfs_attrib_be -v 0x00000810 '" + mount + "/compressed'"));
    EXPECT_EQ(0, Sh("python3 -c \"import sys; open(sys.argv[1],'w').write('compress me, ' * 20000)\" '" + mount +
                    "/compressed/big.txt'"));
    EXPECT_EQ(0, Sh("truncate -s 8M '" + mount + "/sparse.bin' && printf tail | dd of='" + mount +
                    "/sparse.bin' bs=1 seek=6291456 conv=notrunc status=none"));
  }
}

class ImageReader : public testing::Test {
 protected:
  static void SetUpTestSuite() {
    if (geteuid() != 0 ||
        Sh("command -v mkntfs ntfs-3g mkfs.vfat mcopy sfdisk qemu-nbd qemu-img setfattr "
           ">/dev/null") != 0 ||
        access("/dev/fuse", R_OK | W_OK) != 0)
      return;
    char cwd[4096];
    ASSERT_NE(nullptr, getcwd(cwd, sizeof cwd));
    gBase = std::string(cwd) + "/image-reader";
    Sh("umount '" + gBase + "/mnt' 2>/dev/null");
    ASSERT_EQ(0, Sh("rm -rf '" + gBase + "' && mkdir -p '" + gBase + "'"));
    MakeNtfs(gBase + "/ntfs.raw", gBase + "/mnt", 1);
    ASSERT_EQ(0, Sh("umount '" + gBase + "/mnt' && ntfs-3g -o ro '" + gBase + "/ntfs.raw' '" + gBase + "/mnt'"));

    // FAT: long names, a short one, a deep path, filled from a host folder.
    std::string src = gBase + "/fatsrc";
    ASSERT_EQ(0, Sh("mkdir -p '" + src + "/Long Folder Name/a/b/c' && printf 'long name\\n' > '" + src +
                    "/Long Folder Name/a/b/c/A File With A Long Name.txt' && printf 'short' > '" + src +
                    "/SHORT.TXT' && head -c 70000 /dev/zero | tr '\\0' x > '" + src + "/Long Folder Name/big.dat'"));
    ASSERT_EQ(0, Sh("mkfs.vfat -n QXLABEL -C '" + gBase + "/fat.raw' 32768 >/dev/null && cd '" + src +
                    "' && mcopy -s -i '" + gBase + "/fat.raw' * ::/"));

    // A partitioned disk: FAT in partition 1, an NTFS system volume in 2.
    std::string sys = gBase + "/sys.ntfs";
    MakeNtfs(sys, gBase + "/sysmnt", 0);
    // Its SYSTEM hive gives partition 1 the letter E and the system volume
    // C; partition 5 has only a volume name and a value that is no letter's.
    auto mounted = [](uint64_t sector) {
      std::string value = "\xee\xff\xc0\x51";  // the disk's signature, 0x51c0ffee
      for (int i = 0; i < 8; ++i) value += static_cast<char>((sector * 512) >> (8 * i) & 0xff);
      return value;
    };
    EXPECT_EQ(
        0, Sh("mkdir -p '" + gBase + "/sysmnt/Windows/System32/CONFIG' && printf x > '" + gBase + "/sysmnt/boot.ini'"));
    EXPECT_TRUE(
        WriteTestHive(gBase + "/sysmnt/Windows/System32/CONFIG/system", {{{"MountedDevices"},
                                                                          {{"\\DosDevices\\E:", 3, mounted(2048)},
                                                                           {"\\DosDevices\\C:", 3, mounted(67584)},
                                                                           {"\\DosDevices\\C:x", 3, mounted(593920)},
                                                                           {"\\??\\Volume{5}", 3, mounted(593920)}}}}));
    EXPECT_EQ(0, Sh("mkdir -p '" + gBase + "/sysmnt/Documents and Settings/alice'"));
    EXPECT_TRUE(WriteProfileHive(gBase + "/sysmnt/Documents and Settings/alice/NTUSER.DAT",
                                 {{"Worm0", 1, "C:\\Windows\\System32\\evil.exe -s"}, {"Keep", 1, "notepad.exe"}}, {}));
    ASSERT_EQ(0, Sh("umount '" + gBase + "/sysmnt'"));
    std::string disk = gBase + "/disk.raw";
    // FAT again as a logical partition: Linux numbers it 5.
    ASSERT_EQ(
        0, Sh("truncate -s 400M '" + disk +
              "' && printf 'label: dos\\nlabel-id: 0x51c0ffee\\nstart=2048,size=65536,type=c\\nstart=67584,size=524288,"
              "type=7\\nstart=591872,size=227328,type=5\\nstart=593920,size=65536,type=c\\n' | sfdisk -q '" +
              disk + "' && dd if='" + gBase + "/fat.raw' of='" + disk +
              "' bs=512 seek=2048 conv=notrunc,sparse status=none && dd if='" + sys + "' of='" + disk +
              "' bs=512 seek=67584 conv=notrunc,sparse status=none && dd if='" + gBase + "/fat.raw' of='" + disk +
              "' bs=512 seek=593920 conv=notrunc,sparse status=none"));
    ASSERT_EQ(0, Sh("qemu-img convert -f raw -O qcow2 '" + disk + "' '" + gBase + "/disk.qcow2'"));
    gReady = 1;
  }
  static void TearDownTestSuite() {
    if (gReady) Sh("umount '" + gBase + "/mnt'");
  }
  void SetUp() override {
    if (!gReady) GTEST_SKIP() << "needs root, /dev/fuse, ntfs-3g, dosfstools, mtools, fdisk and qemu-utils";
  }
};

TEST_F(ImageReader, NtfsListsAsItsMountAndReadsTheSameBytes) {
  ImageDisk disk;
  char why[512] = "";
  ASSERT_EQ(1, OpenImageDisk((gBase + "/ntfs.raw").c_str(), "raw", kReaderLocks, &disk, why, sizeof why)) << why;
  ASSERT_EQ(1u, disk.volumeCount);
  EXPECT_STREQ("whole disk", disk.volumes[0].label);
  Walked walked = WalkAll(&disk, "ntfs.raw");
  std::map<std::string, uint64_t> mounted = Prefixed("whole disk", HostFiles(gBase + "/mnt"));
  EXPECT_GT(mounted.size(), 20003u);
  EXPECT_EQ(mounted, walked.files);
  EXPECT_TRUE(walked.unreadable.empty()) << walked.unreadable[0];
  const char* const compared[] = {"links/a.bin",
                                  "links/other/b.bin",
                                  "compressed/big.txt",
                                  "sparse.bin",
                                  ("Unicode caf\xc3\xa9 \xe6\x97\xa5\xe6\x9c\xac/\xc3\x9cn\xc3\xaf"
                                   "c\xc3\xb6"
                                   "d\xc3\xa9 "
                                   "\xe2\x98\x83.txt"),
                                  ("d00/d01/d02/d03/d04/d05/d06/d07/d08/d09/d10/d11/d12/d13/d14/d15/d16/d17/d18/d19/"
                                   "d20/d21/d22/d23/d24/d25/d26/d27/d28/d29/deep.txt")};
  for (const char* path : compared) {
    auto found = walked.records.find(std::string("whole disk/") + path);
    ASSERT_NE(walked.records.end(), found) << path;
    EXPECT_EQ(Read(gBase + "/mnt/" + path), ReadWhole(found->second)) << path;
  }
  // One file under two names: the same record, read once for each.
  EXPECT_EQ(walked.records["whole disk/links/a.bin"].identity, walked.records["whole disk/links/other/b.bin"].identity);
  // The compressed file really is (else this compares nothing new).
  EXPECT_EQ(0, Sh("getfattr -h -n system.ntfs_attrib_be -e hex '" + gBase +
                  "/mnt/compressed/big.txt' | grep -q '0x0000.8..'"));
  CloseImageDisk(&disk);
}

TEST_F(ImageReader, TheVolumeTableReadsByExactPathAndFollowsNoLink) {
  ImageDisk disk;
  char why[512] = "";
  ASSERT_EQ(1, OpenImageDisk((gBase + "/ntfs.raw").c_str(), "raw", kReaderLocks, &disk, why, sizeof why)) << why;
  OfflineVolumePort port;
  ImageVolumePort(&disk.volumes[0], &port);
  EXPECT_EQ(nullptr, port.putWhole);
  EXPECT_EQ(nullptr, port.remove);
  EXPECT_EQ(nullptr, port.writeNew);
  VolumeEntry entry{};
  int missing = 0;
  ASSERT_EQ(1, port.look(port.context, "links/other/b.bin", &entry, &missing, why, sizeof why)) << why;
  EXPECT_EQ(kVolumeFile, entry.kind);
  EXPECT_EQ(3072u, entry.size);
  EXPECT_EQ(0, port.look(port.context, "LINKS/a.bin", &entry, &missing, why, sizeof why));
  EXPECT_EQ(1, missing) << "names are matched as spelt";
  ASSERT_EQ(1, port.look(port.context, "link-to-links", &entry, &missing, why, sizeof why)) << why;
  EXPECT_EQ(kVolumeLink, entry.kind);
  EXPECT_EQ(0, port.look(port.context, "link-to-links/a.bin", &entry, &missing, why, sizeof why));
  EXPECT_EQ(0, missing) << "a link on the way is no answer";
  char head[4];
  EXPECT_EQ(-1, port.read(port.context, "link-to-links/a.bin", 0, head, sizeof head));
  EXPECT_EQ(4, port.read(port.context, "links/a.bin", 256, head, sizeof head));
  EXPECT_EQ(0, std::memcmp(head, "\x00\x01\x02\x03", 4));

  std::vector<std::string> root;
  auto each = [](void* context, const VolumeEntry& e) -> int {
    static_cast<std::vector<std::string>*>(context)->push_back(e.name);
    return 1;
  };
  ASSERT_EQ(1, port.list(port.context, "", each, &root, why, sizeof why)) << why;
  for (const std::string& name : root) {
    EXPECT_NE("$MFT", name);
    EXPECT_NE("$OrphanFiles", name);
    EXPECT_NE(".", name);
  }
  EXPECT_NE(root.end(), std::find(root.begin(), root.end(), "links"));

  std::string copy = gBase + "/fetched";
  FILE* out = std::fopen(copy.c_str(), "wbx");
  ASSERT_NE(nullptr, out);
  EXPECT_EQ(1, port.fetch(port.context, "sparse.bin", fileno(out), why, sizeof why)) << why;
  std::fclose(out);
  EXPECT_EQ(Read(gBase + "/mnt/sparse.bin"), Read(copy));
  CloseImageDisk(&disk);
}

TEST_F(ImageReader, FatListsWhatWasCopiedIn) {
  ImageDisk disk;
  char why[512] = "";
  ASSERT_EQ(1, OpenImageDisk((gBase + "/fat.raw").c_str(), "raw", kReaderLocks, &disk, why, sizeof why)) << why;
  Walked walked = WalkAll(&disk, "fat.raw");
  EXPECT_EQ(Prefixed("whole disk", HostFiles(gBase + "/fatsrc")), walked.files);
  EXPECT_TRUE(walked.unreadable.empty());
  EXPECT_EQ(Read(gBase + "/fatsrc/Long Folder Name/big.dat"),
            ReadWhole(walked.records["whole disk/Long Folder Name/big.dat"]));
  CloseImageDisk(&disk);
}

TEST_F(ImageReader, PartitionsAreNamedByMountedDevicesOrAsLinuxNumbersThem) {
  for (const char* name : {"disk.raw", "disk.qcow2"}) {
    SCOPED_TRACE(name);
    ImageDisk disk;
    char why[512] = "";
    std::string format = std::strstr(name, "qcow2") ? "qcow2" : "raw";
    ASSERT_EQ(1, OpenImageDisk((gBase + "/" + name).c_str(), format.c_str(), kReaderLocks, &disk, why, sizeof why)) << why;
    ASSERT_EQ(3u, disk.volumeCount);
    ImageSystem system;
    FindImageSystem(&disk, &system);
    ASSERT_EQ(1, system.found);
    EXPECT_EQ(1u, system.volume);
    EXPECT_STREQ("Windows", system.systemFolder);
    EXPECT_STREQ("E", ImageDriveLabel(disk, system, 0));
    EXPECT_STREQ("C", ImageDriveLabel(disk, system, 1));
    EXPECT_STREQ("partition 5", ImageDriveLabel(disk, system, 2));
    Walked walked = WalkAll(&disk, name);
    std::map<std::string, uint64_t> expected = Prefixed("E", HostFiles(gBase + "/fatsrc"));
    for (const auto& f : Prefixed("partition 5", HostFiles(gBase + "/fatsrc"))) expected.insert(f);
    expected["C/boot.ini"] = 1;
    expected["C/Windows/System32/CONFIG/system"] = walked.files["C/Windows/System32/CONFIG/system"];
    expected["C/Documents and Settings/alice/NTUSER.DAT"] = walked.files["C/Documents and Settings/alice/NTUSER.DAT"];
    EXPECT_EQ(expected, walked.files);

    // The preview reads alice's hive through the volume table.
    OfflineVolumePort port;
    ImageVolumePort(&disk.volumes[1], &port);
    Heard heard;
    RunValueListener listener{OnWouldDelete, OnExamined, OnTrouble, &heard, 1};
    const char* found[] = {"C:\\Windows\\System32\\evil.exe"};
    std::string prefix = std::string(name) + ":C:\\";
    std::string systemRoot = std::string("C:\\") + system.systemFolder;
    PreviewVolumeRunValues(port, prefix.c_str(), systemRoot.c_str(), found, 1, listener);
    std::string hive = std::string(name) + ":C:\\Documents and Settings\\alice\\NTUSER.DAT";
    EXPECT_EQ(std::vector<std::string>{hive + " Worm0 would go"}, heard.deleted);
    EXPECT_EQ(std::vector<std::string>{hive + " 1"}, heard.examined);
    EXPECT_TRUE(heard.trouble.empty()) << heard.trouble[0];
    CloseImageDisk(&disk);
  }
  // The wrong format reads no file system: nothing is taken for clean.
  ImageDisk disk;
  char why[512] = "";
  EXPECT_EQ(0, OpenImageDisk((gBase + "/disk.qcow2").c_str(), "raw", kReaderLocks, &disk, why, sizeof why));
  EXPECT_NE(nullptr, std::strstr(why, "no NTFS or FAT")) << why;
}

TEST_F(ImageReader, AFolderWhoseRecordIsDamagedIsTroubleNotEmpty) {
  std::string broken = gBase + "/broken.raw";
  ASSERT_EQ(0, Sh("cp --sparse=always '" + gBase + "/ntfs.raw' '" + broken + "'"));
  ImageDisk disk;
  char why[512] = "";
  ASSERT_EQ(1, OpenImageDisk(broken.c_str(), "raw", kReaderLocks, &disk, why, sizeof why)) << why;
  VolumeEntry links{};
  int missing = 0;
  ASSERT_EQ(1, LookImagePath(&disk.volumes[0], "links", &links, &missing, why, sizeof why)) << why;
  CloseImageDisk(&disk);
  // Where its MFT record lies, from the boot sector.
  std::string boot = Read(broken).substr(0, 512);
  auto byte = [&](size_t i) { return static_cast<uint64_t>(static_cast<unsigned char>(boot[i])); };
  uint64_t cluster = (byte(0x0b) | byte(0x0c) << 8) * byte(0x0d);
  uint64_t mft = 0;
  for (int i = 7; i >= 0; --i) mft = mft << 8 | byte(0x30 + static_cast<size_t>(i));
  int8_t perRecord = static_cast<int8_t>(byte(0x40));
  uint64_t record = perRecord < 0 ? 1ull << -perRecord : static_cast<uint64_t>(perRecord) * cluster;
  uint64_t at = mft * cluster + links.identity * record;
  // Its first sector's last two bytes no longer match the record's update
  // sequence: a torn write, as NTFS sees one.
  ASSERT_EQ(
      0, Sh("printf ZZ | dd of='" + broken + "' bs=1 seek=" + std::to_string(at + 510) + " conv=notrunc status=none"));
  ASSERT_EQ(1, OpenImageDisk(broken.c_str(), "raw", kReaderLocks, &disk, why, sizeof why)) << why;
  Walked walked = WalkAll(&disk, "broken.raw");
  ASSERT_EQ(1u, walked.unreadable.size());
  EXPECT_EQ("broken.raw:whole disk:\\links", walked.unreadable[0]);
  for (const auto& f : walked.files) EXPECT_NE(0u, f.first.rfind("whole disk/links/", 0)) << f.first;
  EXPECT_EQ(1u, walked.files.count("whole disk/sparse.bin"));
  // Through the volume table it is still told, as something never read
  // (as a mount tells what it cannot stat), beside its readable neighbours.
  OfflineVolumePort port;
  ImageVolumePort(&disk.volumes[0], &port);
  std::map<std::string, VolumeEntryKind> root;
  auto each = [](void* context, const VolumeEntry& e) -> int {
    (*static_cast<std::map<std::string, VolumeEntryKind>*>(context))[e.name] = e.kind;
    return 1;
  };
  ASSERT_EQ(1, port.list(port.context, "", each, &root, why, sizeof why)) << why;
  EXPECT_EQ(kVolumeOther, root["links"]);
  EXPECT_EQ(kVolumeFile, root["sparse.bin"]);
  EXPECT_EQ(kVolumeFolder, root["wide"]);
  EXPECT_EQ(0, port.list(port.context, "links", each, &root, why, sizeof why));
  CloseImageDisk(&disk);
}

}  // namespace
