// A drive of a disk image mounted in the libguestfs appliance, behind the
// volume table (remedy/offline_volume_port.h), and the changes a writing
// run makes in an image through it: a detected file removed only while it
// is still the file that was checked, the refusal of a hibernated system,
// the Run values of every profile hive and of the SOFTWARE hive cleaned by
// the offline rules (the hive is cleaned and verified on the host, then
// uploaded whole beside the old one and renamed over it), and a quarantined
// file put back. Staging names are of this run and checked, before use and
// again before the rename, to be held by nothing in the guest. POSIX.
#pragma once
#include <cstddef>
#include <cstdint>

#include "engine/file_identity.h"
#include "remedy/file_removal_posix.h"
#include "remedy/hive_posix.h"
#include "remedy/offline_rules.h"
#include "remedy/quarantine_posix.h"
#include "remedy/run_value_events.h"
#include "sys/guest_disk_posix.h"

// The table over one mounted drive. The disk stays the caller's.
struct GuestVolume {
  GuestDisk* disk;
  char mountPoint[16];
};

// Fills `port` for `drive` of `disk`; its writing members are null unless
// the disk was opened writable.
void OpenGuestVolume(GuestDisk* disk, const GuestDrive& drive, GuestVolume* volume, OfflineVolumePort* port);

// Removes `appliancePath` when it still is the regular file `checked` of
// `size` bytes. kRemovalFailed leaves the appliance's words in the disk's
// last error.
RemovalOutcome RemoveGuestFile(GuestDisk* disk, const char* appliancePath, const FileIdentity& checked,
                               uint64_t size);

// Quarantines `appliancePath` of `drive` when it still is `checked` of
// `size` bytes: downloaded, copied into the host store and recorded with
// its image (`imageName`, absolute) and its place beneath the drive, and
// only then removed from the image. `why` gets the reason for anything but
// done.
QuarantineOutcome QuarantineGuestFile(QuarantineStore* store, GuestDisk* disk, const char* imageName,
                                      const GuestDrive& drive, const char* appliancePath,
                                      const FileIdentity& checked, uint64_t size, const char* detectionName,
                                      char* why, size_t capacity);

// Puts the `size` bytes of the host file `sourceFd` back at `windowsPath`
// ("C:\x\y.exe") of the image by the offline restore rule, on the mounted
// drive of that letter. `why` gets the reason for a failure.
RestoreOutcome RestoreGuestFile(GuestDisk* disk, const char* windowsPath, int sourceFd, uint64_t size, int force,
                                char* why, size_t capacity);

// kHibernated when a mounted drive's root holds a hiberfil.sys, in any
// spelling, whose header says the system is hibernated; kHibernationUnknown
// when a root cannot be listed or such a file read. `where` names it.
HibernationState GuestHibernated(GuestDisk* disk, char* where, size_t capacity);

// Copies the regular file `appliancePath` to the new host file `hostFd`
// (opened for writing). 1 when every byte came.
int DownloadGuestFile(GuestDisk* disk, const char* appliancePath, int hostFd);

// Deletes (or, with a previewing listener, previews) the Run values of
// every profile hive and of the SOFTWARE hive of the system drive (of every
// mounted drive when no Windows was found) that start one of
// `removedWindowsPaths` ("C:\x\y.exe"). Hives are named
// "IMAGE:C:\Users\alice\NTUSER.DAT" to the listener; a value is told
// deleted only once its hive is back in the image.
void CleanGuestRunValues(GuestDisk* disk, const char* imageName, const char* const* removedWindowsPaths,
                         uint32_t count, HiveBackup* backup, const RunValueListener& listener);
