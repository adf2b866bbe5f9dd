// plant-hives: the registry of the Windows the rescue image's test boots
// with, written through the shared test hive makers.
//   plant-hives DIR DISK_SIGNATURE C_OFFSET D_OFFSET
// DIR/SYSTEM names C: and D: in MountedDevices as Windows names the
// partitions of an MBR disk (its signature, the partition's offset in
// bytes); DIR/SOFTWARE's Run key starts a specimen on each drive beside a
// clean program; DIR/NTUSER.DAT is a profile whose Run key does the same.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "remedy/testing/profile_hive_posix.h"

static std::string Le(uint64_t value, int bytes) {
  std::string out;
  for (int i = 0; i < bytes; ++i) out.push_back(static_cast<char>((value >> (8 * i)) & 0xff));
  return out;
}

int main(int argc, char** argv) {
  if (argc != 5) {
    std::fprintf(stderr, "usage: plant-hives DIR DISK_SIGNATURE C_OFFSET D_OFFSET\n");
    return 64;
  }
  std::string dir = argv[1];
  uint64_t signature = std::strtoull(argv[2], nullptr, 16);
  uint64_t c_offset = std::strtoull(argv[3], nullptr, 10);
  uint64_t d_offset = std::strtoull(argv[4], nullptr, 10);
  int ok = WriteTestHive(dir + "/SYSTEM",
                         {{{"Select"}, {{"Current", 4, Le(1, 4)}}},
                          {{"ControlSet001", "Control", "ComputerName", "ComputerName"},
                           {{"ComputerName", 1, "RESCUED"}}},
                          {{"MountedDevices"},
                           {{"\\DosDevices\\C:", 3, Le(signature, 4) + Le(c_offset, 8)},
                            {"\\DosDevices\\D:", 3, Le(signature, 4) + Le(d_offset, 8)}}}}) &&
           WriteXpSoftwareHive(dir + "/SOFTWARE",
                               {{"WormM", 2, "%SystemRoot%\\system32\\row 0.exe"},
                                {"WormD", 1, "\"D:\\tools\\row 2.exe\" /s"},
                                {"KeepM", 1, "C:\\WINDOWS\\notepad.exe"}}) &&
           WriteProfileHive(dir + "/NTUSER.DAT",
                            {{"Worm1", 2, "%USERPROFILE%\\Local Settings\\Temp\\row 1.exe"},
                             {"ctfmon", 1, "C:\\WINDOWS\\system32\\ctfmon.exe"}},
                            {});
  if (!ok) std::fprintf(stderr, "plant-hives: the hives could not be written in %s\n", dir.c_str());
  return ok ? 0 : 1;
}
