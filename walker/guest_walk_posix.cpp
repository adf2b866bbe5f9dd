// The walk of a disk image (see guest_walk_posix.h).
#include "walker/guest_walk_posix.h"

#include <fcntl.h>
#include <guestfs.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "remedy/name_escape.h"
#include "sys/owned_fd_posix.h"

namespace {

// Names per lstatnslist call: a reply of about 120 bytes a name, well
// within the 4 MiB libguestfs allows a message.
const size_t kNamesPerCall = 4096;

int Unreadable(const WalkVisitor& visitor, const std::string& path, int error) {
  return visitor.unreadable(visitor.context, path.c_str(), static_cast<uint32_t>(error ? error : EIO));
}

// Every name beneath the drive's mount point, relative to it, grouped by
// the folder that holds it. The listing lands in an unlinked host file.
int ListDrive(GuestDisk* disk, const GuestDrive& drive, std::map<std::string, std::vector<std::string>>* folders) {
  const char* tmpdir = getenv("TMPDIR");
  std::string pattern = std::string(tmpdir && *tmpdir ? tmpdir : "/tmp") + "/quellix-listing-XXXXXX";
  std::vector<char> name(pattern.begin(), pattern.end());
  name.push_back(0);
  OwnedFd fd(mkostemp(name.data(), O_CLOEXEC));
  if (!fd.valid()) return 0;
  unlink(name.data());
  char through[64];
  snprintf(through, sizeof through, "/dev/fd/%d", fd.get());
  if (guestfs_find0(disk->handle, drive.mountPoint, through) != 0) return 0;
  std::string text;
  char block[65536];
  ssize_t got;
  off_t at = 0;
  while ((got = pread(fd.get(), block, sizeof block, at)) > 0) {
    text.append(block, static_cast<size_t>(got));
    at += got;
  }
  if (got < 0) return 0;
  size_t start = 0;
  while (start < text.size()) {
    size_t end = text.find('\0', start);
    if (end == std::string::npos) end = text.size();
    std::string entry = text.substr(start, end - start);
    start = end + 1;
    // Names come as "/WINDOWS/system32/x.exe", beneath the mount point.
    size_t first = entry.find_first_not_of('/');
    if (first == std::string::npos) continue;
    entry.erase(0, first);
    size_t slash = entry.rfind('/');
    if (slash == std::string::npos) {
      (*folders)[""].push_back(entry);
    } else {
      (*folders)[entry.substr(0, slash)].push_back(entry.substr(slash + 1));
    }
  }
  return 1;
}

// A name of the guest's as a row shows it (EscapeNonWindowsName).
std::string Shown(const std::string& name) { return NonWindowsNameEscaped(name.c_str()); }

}  // namespace

int WalkGuestDisk(GuestDisk* disk, const char* imageName, const WalkVisitor& visitor, GuestWalkStats* stats) {
  for (uint32_t d = 0; d < disk->driveCount; ++d) {
    const GuestDrive& drive = disk->drives[d];
    std::string driveRow = std::string(imageName) + ":" + drive.label + ":\\";
    if (!drive.mounted) {
      if (!Unreadable(visitor, driveRow, EIO)) return 0;
      continue;
    }
    std::map<std::string, std::vector<std::string>> folders;
    if (!ListDrive(disk, drive, &folders)) {
      if (!Unreadable(visitor, driveRow, guestfs_last_errno(disk->handle))) return 0;
      continue;
    }
    for (const auto& folder : folders) {
      std::string appliance = std::string(drive.mountPoint) + (folder.first.empty() ? "" : "/" + folder.first);
      if (stats) {
        stats->names += folder.second.size();
        stats->directories += 1;
      }
      // Each name escaped before it is joined with '\\': a name holding
      // one must not read as a path of several.
      std::string windows;
      for (size_t at = 0; at < folder.first.size();) {
        size_t slash = folder.first.find('/', at);
        if (slash == std::string::npos) slash = folder.first.size();
        windows += Shown(folder.first.substr(at, slash - at)) + "\\";
        at = slash + 1;
      }
      std::string shown = driveRow + windows;
      // A folder of many names goes in several calls: one reply must stay
      // within the appliance's message limit.
      const std::vector<std::string>& all = folder.second;
      for (size_t first = 0; first < all.size(); first += kNamesPerCall) {
        size_t count = all.size() - first < kNamesPerCall ? all.size() - first : kNamesPerCall;
        std::vector<char*> names;
        for (size_t i = 0; i < count; ++i) names.push_back(const_cast<char*>(all[first + i].c_str()));
        names.push_back(nullptr);
        struct guestfs_statns_list* list = guestfs_lstatnslist(disk->handle, appliance.c_str(), names.data());
        if (!list) {
          if (!Unreadable(visitor, shown, guestfs_last_errno(disk->handle))) return 0;
          break;
        }
        int go = 1;
        for (uint32_t i = 0; go && i < list->len && i < count; ++i) {
          const struct guestfs_statns& st = list->val[i];
          const std::string& name = all[first + i];
          std::string path = shown + Shown(name);
          if (st.st_ino == -1) {
            go = Unreadable(visitor, path, ENOENT);
            continue;
          }
          if (!S_ISREG(static_cast<mode_t>(st.st_mode))) continue;
          std::string inside = appliance + "/" + name;
          GuestEntry entry{disk, d, inside.c_str(), static_cast<uint64_t>(st.st_size),
                           static_cast<uint64_t>(st.st_dev), static_cast<uint64_t>(st.st_ino)};
          WalkEntry walked{path.c_str(), shown.size(), path.c_str() + shown.size(), entry.size, &entry};
          go = visitor.file(visitor.context, &walked);
        }
        guestfs_free_statns_list(list);
        if (!go) return 0;
      }
    }
  }
  return 1;
}
