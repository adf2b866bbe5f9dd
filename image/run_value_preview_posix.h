// What a detection-only run of a disk image read in this process says of
// Run values: each profile hive ("Documents and Settings\*\NTUSER.DAT",
// "Users\*\NTUSER.DAT") and the SOFTWARE hive of the system volume is
// copied through the volume table to a private host folder and read there
// by the offline hive code, which tells every value a writing run would
// delete. Nothing of the image is written. POSIX.
#pragma once
#include <cstdint>

#include "remedy/offline_volume_port.h"
#include "remedy/run_value_events.h"

// `system` is the system volume (drive `letter`, 'C'), whose system folder
// is spelt `systemFolder` ("WINDOWS"); hives are named
// "IMAGE:C:\Users\alice\NTUSER.DAT" to the previewing `listener`.
void PreviewImageRunValues(const OfflineVolumePort& system, char letter, const char* systemFolder,
                           const char* imageName, const char* const* removedWindowsPaths, uint32_t count,
                           const RunValueListener& listener);
