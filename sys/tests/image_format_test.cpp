// The format an image is opened as: its name, then its header; a header a
// guest wrote to its raw disk never decides.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "sys/image_format.h"

namespace {

std::string Format(const char* name, const char* magic, size_t at = 0, size_t magicLength = 0) {
  unsigned char head[kImageHeadSize] = {};
  if (magic) std::memcpy(head + at, magic, magicLength ? magicLength : std::strlen(magic));
  char why[128] = "";
  const char* format = ImageFormatOf(name, head, sizeof head, why, sizeof why);
  return format ? format : std::string("refused: ") + why;
}

TEST(ImageFormat, NameThenHeader) {
  const char qcow2[] = "QFI\xfb\0\0\0\3";
  // A raw disk's guest wrote a qcow2 header to its first sector: the name
  // says raw, so raw it stays.
  EXPECT_EQ("raw", Format("/vm/pc17.raw", qcow2, 0, 8));
  EXPECT_EQ("raw", Format("/vm/PC17.DD", "KDMV"));
  // Names that say a format must carry it.
  EXPECT_EQ("qcow2", Format("/vm/pc17.qcow2", qcow2, 0, 8));
  EXPECT_EQ("refused: named as qcow2 but its first bytes are no image header", Format("/vm/pc17.qcow2", nullptr));
  EXPECT_EQ("refused: named as vdi but its first bytes are a header of vmdk", Format("/vm/a.vdi", "KDMV"));
  EXPECT_EQ("raw", Format("/vm/fixed.vhd", nullptr));
  EXPECT_EQ("vpc", Format("/vm/dynamic.vhd", "conectix"));
  // Other names go by the header.
  EXPECT_EQ("qcow2", Format("/var/lib/libvirt/images/pc17.img", qcow2, 0, 8));
  EXPECT_EQ("qcow", Format("/vm/old", "QFI\xfb\0\0\0\1", 0, 8));
  EXPECT_EQ("vdi", Format("/vm/a.vdi", "\x7f\x10\xda\xbe", 0x40));
  EXPECT_EQ("vmdk", Format("/vm/a", "KDMV"));
  EXPECT_EQ("vhdx", Format("/vm/a.VHDX", "vhdxfile"));
  EXPECT_EQ("raw", Format("/vm/a.img", "\xeb\x52\x90NTFS    "));
  // A short file has no header to go by.
  char why[64];
  EXPECT_STREQ("raw", ImageFormatOf("/vm/tiny.img", reinterpret_cast<const unsigned char*>("QF"), 2, why, sizeof why));
}

// A header that has the emulator open another file (a host file the guest
// may have named) is refused, named or found; without one it is opened.
TEST(ImageFormat, HeadersThatNameAnotherFileAreRefused) {
  const char backed[] = "QFI\xfb\0\0\0\3\0\0\0\0\0\0\x01\x00";  // backing file name at offset 256
  for (const char* name : {"/vm/pc17.qcow2", "/vm/pc17.img", "/vm/pc17"})
    EXPECT_EQ(0u, Format(name, backed, 0, 16).find("refused: it names a backing file (qcow2)")) << name;
  EXPECT_EQ("raw", Format("/vm/pc17.raw", backed, 0, 16));  // the name says raw: the header is only guest bytes
  EXPECT_EQ(0u, Format("/vm/a.vmdk", "# Disk DescriptorFile\nRW 1 FLAT \"/etc/shadow\" 0").find("refused: it is a "
                                                                                               "VMDK descriptor"));
  char vhd[64] = "conectix";
  vhd[63] = 4;  // disk type 4: differencing
  EXPECT_EQ(0u, Format("/vm/a.vhd", vhd, 0, sizeof vhd).find("refused: it is a differencing VHD"));
  vhd[63] = 3;  // dynamic
  EXPECT_EQ("vpc", Format("/vm/a.vhd", vhd, 0, sizeof vhd));
  char vdi[0x50] = {};
  std::memcpy(vdi + 0x40, "\x7f\x10\xda\xbe", 4);
  vdi[0x4c] = 4;  // image type 4: differencing
  EXPECT_EQ(0u, Format("/vm/a.vdi", vdi, 0, sizeof vdi).find("refused: it is a differencing VDI"));
  vdi[0x4c] = 1;  // dynamic
  EXPECT_EQ("vdi", Format("/vm/a.vdi", vdi, 0, sizeof vdi));
}

// What the name alone says, for a PATH that is no folder: the bytes a
// guest wrote never decide.
TEST(ImageFormat, NamesThatSayADiskImage) {
  for (const char* name : {"/vm/pc17.raw", "disk.IMG", "a.dd", "b.bin", "c.iso", "d.qcow2", "e.QCOW", "f.vmdk",
                           "g.vhd", "h.vhdx", "i.vdi"})
    EXPECT_TRUE(NameSaysDiskImage(name)) << name;
  for (const char* name : {"worm.exe", "img", "a.img.exe", "notes.txt", "vdi", "", "/vm/pc17.raw/"})
    EXPECT_FALSE(NameSaysDiskImage(name)) << name;
}

}  // namespace
