// The format an image is opened as: --format, then a name that says one,
// else raw; a header a guest wrote to its raw disk never decides.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "sys/image_format.h"
#include "sys/testing/image_head.h"

namespace {

std::string Format(const char* name, const ImageHead& head, const char* given = nullptr, int allow = 0) {
  char why[256] = "";
  const char* format = ImageFormatOf(name, given, allow, head.bytes, sizeof head.bytes, why, sizeof why);
  return format ? format : std::string("refused: ") + why;
}

struct Row {
  const char* name;
  const char* given;
  ImageHead head;
  const char* expected;  // a format, or the start of the refusal
};

void Check(const Row* rows, size_t count, int allow) {
  for (size_t i = 0; i < count; ++i) {
    const Row& r = rows[i];
    std::string got = Format(r.name, r.head, r.given, allow);
    EXPECT_EQ(0u, got.find(r.expected)) << "row " << i << ": " << r.name << " --format " << (r.given ? r.given : "-")
                                        << " gave: " << got;
  }
}

TEST(ImageFormat, GivenThenNameElseRaw) {
  const ImageHead none, qcow2 = Qcow2Head(), vmdk = MagicHead("KDMV"), ntfs = MagicHead("\xeb\x52\x90NTFS    ");
  const Row rows[] = {
      // A raw disk's guest wrote an image header to its first sector: no
      // name that says nothing, nor a raw one, lets it choose.
      {"/vm/pc17.raw", nullptr, qcow2, "raw"},
      {"/vm/PC17.DD", nullptr, vmdk, "raw"},
      {"/var/lib/libvirt/images/pc17.img", nullptr, qcow2, "raw"},
      {"/vm/pc17", nullptr, qcow2, "raw"},
      {"/vm/pc17.qcow2.bak", nullptr, qcow2, "raw"},
      {"/vm/a.img", nullptr, ntfs, "raw"},
      // A name that says a format must carry its header.
      {"/vm/pc17.qcow2", nullptr, qcow2, "qcow2"},
      {"/vm/old.qcow2", nullptr, MagicHead("QFI\xfb\0\0\0\1", 0, 8), "qcow"},
      {"/vm/pc17.qcow2", nullptr, none, "refused: named as qcow2 but its first bytes are no image header"},
      {"/vm/a.vdi", nullptr, vmdk, "refused: named as vdi but its first bytes are a header of vmdk"},
      {"/vm/a.vdi", nullptr, MagicHead("\x7f\x10\xda\xbe", 0x40), "vdi"},
      {"/vm/a.VHDX", nullptr, MagicHead("vhdxfile"), "vhdx"},
      {"/vm/fixed.vhd", nullptr, none, "raw"},
      {"/vm/dynamic.vhd", nullptr, MagicHead("conectix"), "vpc"},
      // --format overrides the name, and its header must agree too, but
      // raw is raw whatever the bytes.
      {"/vm/pc17.img", "qcow2", qcow2, "qcow2"},
      {"/vm/pc17", "qcow2", none, "refused: given as qcow2 but its first bytes are no image header"},
      {"/vm/pc17.qcow2", "raw", qcow2, "raw"},
      {"/vm/pc17.vmdk", "vdi", vmdk, "refused: given as vdi but its first bytes are a header of vmdk"},
      {"/vm/disk", "vhd", MagicHead("conectix"), "vpc"},
      {"/vm/disk", "vmdk", vmdk, "vmdk"},
      {"/vm/disk", "vvfat", none, "refused: no image format is called vvfat"},
  };
  Check(rows, sizeof rows / sizeof rows[0], 0);
  // A short file has no header to agree.
  char why[64];
  EXPECT_STREQ("raw", ImageFormatOf("/vm/tiny", nullptr, 0, reinterpret_cast<const unsigned char*>("QF"), 2, why,
                                    sizeof why));
  EXPECT_EQ(nullptr, ImageFormatOf("/vm/tiny.qcow2", nullptr, 1, reinterpret_cast<const unsigned char*>("QF"), 2,
                                   why, sizeof why));
}

// A header that has the emulator open another file (a host file the guest
// may have named) is refused; a backing file only opens when the person
// allows it and the header states its format.
TEST(ImageFormat, OtherFilesOnlyAsThePersonAllows) {
  ImageHead vhd = MagicHead("conectix");
  vhd.BigEndian(60, 4, 4);  // disk type 4: differencing
  ImageHead vdi = MagicHead("\x7f\x10\xda\xbe", 0x40);
  vdi.bytes[0x4c] = 4;  // image type 4: differencing
  ImageHead dataFile = Qcow2Head();
  dataFile.bytes[79] = 4;  // incompatible feature: an external data file
  ImageHead sparse = MagicHead("KDMV");
  sparse.bytes[28] = 1;  // the embedded descriptor at sector 1
  ImageHead parented = sparse;
  parented.Put(512, "# Disk DescriptorFile\nparentCID=1\nparentFileNameHint=\"/etc/shadow\"\n");
  sparse.Put(512, "# Disk DescriptorFile\nparentCID=ffffffff\ncreateType=\"monolithicSparse\"\n");
  const ImageHead unstated = Qcow2Head("/vm/base.raw"), stated = Qcow2Head("base.qcow2", "qcow2");
  ImageHead farExtensions = stated;
  farExtensions.BigEndian(100, 0xFFFFFFFC, 4);  // extensions past anything read
  const Row always[] = {
      {"/vm/a.vmdk", nullptr, MagicHead("# Disk DescriptorFile\nRW 1 FLAT \"/etc/shadow\" 0"),
       "refused: it is a VMDK descriptor"},
      {"/vm/a.vmdk", nullptr, parented, "refused: it is a VMDK that names its parent disk"},
      {"/vm/a.vmdk", nullptr, sparse, "vmdk"},
      {"/vm/a.vhd", nullptr, vhd, "refused: it is a differencing VHD"},
      {"/vm/a.vdi", nullptr, vdi, "refused: it is a differencing VDI"},
      {"/vm/a.qcow2", nullptr, dataFile, "refused: it names an external data file"},
      {"/vm/a.qcow", nullptr, MagicHead("QFI\xfb\0\0\0\1\0\0\0\0\0\0\x02\0", 0, 16), "refused: it names a backing file, "},
      {"/vm/a.qcow2", nullptr, unstated, "refused: it names a backing file without stating its format"},
      {"/vm/a.qcow2", nullptr, Qcow2Head("nbd:127.0.0.1:10809", "raw"), "refused: it names a backing file that is no"},
      {"/vm/a.qcow2", nullptr, Qcow2Head("/srv/host", "vvfat"), "refused: it names a backing file of a format not"},
      {"/vm/a.qcow2", nullptr, stated, "qcow2"},
      {"/vm/a.qcow2", nullptr, farExtensions, "refused: it names a backing file whose name or format is not within"},
      {"/vm/a", "qcow2", Qcow2Head("/vm/base.raw", "raw"), "qcow2"},
      // The guest's own bytes: raw by name, nothing in them is followed.
      {"/vm/a.img", nullptr, stated, "raw"},
      {"/vm/a", nullptr, unstated, "raw"},
  };
  Check(always, sizeof always / sizeof always[0], 1);
  EXPECT_EQ(0u, Format("/vm/a.qcow2", stated).find("refused: it names a backing file (--allow-backing-file"));
  EXPECT_EQ(0u, Format("/vm/a", stated, "qcow2").find("refused: it names a backing file (--allow-backing-file"));
  EXPECT_EQ("raw", Format("/vm/a", stated, "raw"));

  char file[kImageBackingNameCapacity], format[32];
  ASSERT_TRUE(ImageBackingFile(stated.bytes, sizeof stated.bytes, file, sizeof file, format, sizeof format));
  EXPECT_STREQ("base.qcow2", file);
  EXPECT_STREQ("qcow2", format);
  ASSERT_TRUE(ImageBackingFile(unstated.bytes, sizeof unstated.bytes, file, sizeof file, format, sizeof format));
  EXPECT_STREQ("", format);
  // A name reaching past what was read is no name to open.
  EXPECT_FALSE(ImageBackingFile(stated.bytes, 520, file, sizeof file, format, sizeof format));
  EXPECT_STREQ("", file);
}

// What the name alone says, for a PATH that is no folder: the bytes a
// guest wrote never decide.
TEST(ImageFormat, NamesThatSayADiskImage) {
  for (const char* name : {"/vm/pc17.raw", "disk.IMG", "a.dd", "b.bin", "c.iso", "d.qcow2", "e.QCOW", "f.vmdk",
                           "g.vhd", "h.vhdx", "i.vdi"})
    EXPECT_TRUE(NameSaysDiskImage(name)) << name;
  for (const char* name : {"worm.exe", "img", "a.img.exe", "notes.txt", "vdi", "", "/vm/pc17.raw/"})
    EXPECT_FALSE(NameSaysDiskImage(name)) << name;
  for (const char* word : {"raw", "qcow2", "qcow", "vmdk", "vpc", "vhdx", "vdi"})
    EXPECT_STREQ(word, ImageFormatNamed(word));
  EXPECT_STREQ("vpc", ImageFormatNamed("vhd"));
  EXPECT_EQ(nullptr, ImageFormatNamed("QCOW2"));
  EXPECT_EQ(nullptr, ImageFormatNamed("host_device"));
}

}  // namespace
