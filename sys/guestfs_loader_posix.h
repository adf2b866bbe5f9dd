// libguestfs, loaded when --image first needs it rather than linked: the
// scanner of mounted volumes then runs, and installs, without libguestfs
// and what it pulls in (an emulator, an appliance builder). This file's
// source defines every guestfs_* function the --image code calls, each
// forwarding to the library's own, so the callers keep libguestfs's API.
#pragma once

#include <stddef.h>

// The library's SONAME (Debian's libguestfs0 package).
extern const char kGuestfsSoname[];

// Loads the library named SONAME and looks up every function the --image
// code calls. Returns 1 once they are all found (and at every later call),
// 0 with the reason in WHY (how to install it) otherwise, nothing kept.
int GuestfsLoad(const char* soname, char* why, size_t capacity);
