// Changes inside a disk image through the libguestfs appliance: a detected
// file removed only while it is still the file that was checked (inode and
// size read back), the refusal of a hibernated system, and every profile
// hive's Run values cleaned with the offline rules: the hive is downloaded,
// cleaned and verified on the host by the offline hive code (its backup
// and .reg land on the host), then uploaded whole beside the old one and
// renamed over it. POSIX.
#pragma once
#include <cstddef>
#include <cstdint>

#include "engine/file_identity.h"
#include "remedy/file_removal_posix.h"
#include "remedy/hive_posix.h"
#include "remedy/offline_volume_posix.h"
#include "remedy/quarantine_posix.h"
#include "remedy/run_value_events.h"
#include "sys/guest_disk_posix.h"

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
// ("C:\x\y.exe") of the image: only on a mounted drive of that letter,
// never through a link or a "." or ".." part, beside the place first and
// compared before it takes the name (replacing what is there only with
// `force`). `why` gets a fixed reason for a refusal.
RestoreOutcome RestoreGuestFile(GuestDisk* disk, const char* windowsPath, int sourceFd, uint64_t size, int force,
                                const char** why);

// kHibernated when a mounted drive's root holds a hiberfil.sys, in any
// spelling, whose header says the system is hibernated; kHibernationUnknown
// when a root cannot be listed or such a file read. `where` names it.
HibernationState GuestHibernated(GuestDisk* disk, char* where, size_t capacity);

// Copies the regular file `appliancePath` to the new host file `hostFd`
// (opened for writing). 1 when every byte came.
int DownloadGuestFile(GuestDisk* disk, const char* appliancePath, int hostFd);

// Deletes the Run values of every profile hive of the system drive
// ("Documents and Settings\*\NTUSER.DAT", "Users\*\NTUSER.DAT", names in
// any case) that start one of `removedWindowsPaths` ("C:\x\y.exe"). Hives
// are named "IMAGE:C:\Users\alice\NTUSER.DAT" to the listener; a value is
// told deleted only once its hive is back in the image.
void CleanGuestRunValues(GuestDisk* disk, const char* imageName, const char* const* removedWindowsPaths,
                         uint32_t count, HiveBackup* backup, const RunValueListener& listener);
