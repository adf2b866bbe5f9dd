// libguestfs loaded at run time: a library that is missing, or that lacks a
// function --image calls, is refused with how to install it and leaves
// nothing loaded; the real one is found whole. In this order: a success is
// kept for the rest of the process.
#include "sys/guestfs_loader_posix.h"

#include <gtest/gtest.h>

#include <string>

TEST(GuestfsLoader, RefusesWhatIsNotLibguestfsThenLoadsIt) {
  struct Row {
    const char* soname;
    const char* says;
  } rows[] = {
      {"libquellix-no-such-library.so.0", "cannot open shared object file"},
      {"libc.so.6", "libc.so.6 has no guestfs_add_drive_opts_va"},
  };
  for (const Row& row : rows) {
    char why[512] = "";
    EXPECT_EQ(0, GuestfsLoad(row.soname, why, sizeof why)) << row.soname;
    EXPECT_NE(std::string::npos, std::string(why).find(row.says)) << row.soname << ": " << why;
    EXPECT_NE(std::string::npos, std::string(why).find("libguestfs0")) << row.soname << ": " << why;
  }
  char why[512] = "";
  EXPECT_EQ(1, GuestfsLoad(kGuestfsSoname, why, sizeof why)) << why;
  // Kept: a later call, whatever it names, finds it loaded.
  EXPECT_EQ(1, GuestfsLoad("libquellix-no-such-library.so.0", why, sizeof why));
}
