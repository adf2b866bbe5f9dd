// A file a disk image's Windows needs for libguestfs's inspection to
// recognise it, beside its hives. Tests only.
#pragma once
#include <cstring>
#include <vector>

// What `file` calls a 32-bit Windows console program, and nothing more:
// inspection reads the system's architecture from system32\cmd.exe.
inline std::vector<unsigned char> MinimalPe() {
  std::vector<unsigned char> pe(1024, 0);
  pe[0] = 'M';
  pe[1] = 'Z';
  pe[0x18] = 0x40;  // a new-style executable
  pe[0x3c] = 0x80;
  const unsigned char header[] = {'P', 'E', 0, 0, 0x4c, 0x01, 0, 0};
  memcpy(&pe[0x80], header, sizeof header);
  pe[0x80 + 20] = 0xe0;  // the optional header's size
  pe[0x80 + 22] = 0x02;  // executable
  pe[0x80 + 23] = 0x01;  // 32-bit machine
  pe[0x98] = 0x0b;       // PE32
  pe[0x99] = 0x01;
  pe[0x98 + 68] = 3;  // console
  return pe;
}
