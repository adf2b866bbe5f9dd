// See guestfs_loader_posix.h. Every forwarder's pointer has the type of the
// header's own prototype (decltype), so the compiler checks each call.
#include "sys/guestfs_loader_posix.h"

#include <dlfcn.h>
#include <guestfs.h>
#include <stdarg.h>
#include <stdio.h>

#include <mutex>

const char kGuestfsSoname[] = "libguestfs.so.0";

namespace {

#define QX_GUESTFS_FUNCTIONS(X) \
  X(guestfs_add_drive_opts_va) \
  X(guestfs_checksum) \
  X(guestfs_close) \
  X(guestfs_create) \
  X(guestfs_disk_create_va) \
  X(guestfs_download) \
  X(guestfs_find0) \
  X(guestfs_free_statns) \
  X(guestfs_free_statns_list) \
  X(guestfs_inspect_get_drive_mappings) \
  X(guestfs_inspect_get_type) \
  X(guestfs_inspect_get_windows_systemroot) \
  X(guestfs_inspect_os) \
  X(guestfs_last_errno) \
  X(guestfs_last_error) \
  X(guestfs_launch) \
  X(guestfs_list_filesystems) \
  X(guestfs_ls) \
  X(guestfs_lstatns) \
  X(guestfs_lstatnslist) \
  X(guestfs_mkmountpoint) \
  X(guestfs_mount) \
  X(guestfs_mount_ro) \
  X(guestfs_pread) \
  X(guestfs_rename) \
  X(guestfs_rm) \
  X(guestfs_rm_f) \
  X(guestfs_set_error_handler) \
  X(guestfs_shutdown) \
  X(guestfs_sync) \
  X(guestfs_umount) \
  X(guestfs_umount_all) \
  X(guestfs_upload)

struct GuestfsTable {
#define X(name) decltype(&::name) name = nullptr;
  QX_GUESTFS_FUNCTIONS(X)
#undef X
};

std::mutex gLoadLock;
bool gLoaded = false;
GuestfsTable gTable;

}  // namespace

int GuestfsLoad(const char* soname, char* why, size_t capacity) {
  std::lock_guard<std::mutex> hold(gLoadLock);
  if (gLoaded) return 1;
  // Kept loaded for the rest of the run once every function is found.
  void* library = dlopen(soname, RTLD_NOW | RTLD_LOCAL);
  if (!library) {
    snprintf(why, capacity, "--image needs libguestfs, which could not be loaded (%s): install the libguestfs0 package",
             dlerror());
    return 0;
  }
  GuestfsTable found;
#define X(name)                                                                                          \
  found.name = reinterpret_cast<decltype(&::name)>(dlsym(library, #name));                               \
  if (!found.name) {                                                                                     \
    snprintf(why, capacity, "--image needs libguestfs, but %s has no %s: install Debian's libguestfs0", \
             soname, #name);                                                                             \
    dlclose(library);                                                                                    \
    return 0;                                                                                            \
  }
  QX_GUESTFS_FUNCTIONS(X)
#undef X
  gTable = found;
  gLoaded = true;
  return 1;
}

// The --image code's calls, each to the loaded library. Only guestfs_create
// can come first (every other call takes its handle), so it alone loads.
extern "C" {

guestfs_h* guestfs_create(void) {
  char why[512];
  if (!GuestfsLoad(kGuestfsSoname, why, sizeof why)) {
    fprintf(stderr, "%s\n", why);
    return nullptr;
  }
  return gTable.guestfs_create();
}

int guestfs_add_drive_opts(guestfs_h* g, const char* filename, ...) {
  va_list options;
  va_start(options, filename);
  int result = gTable.guestfs_add_drive_opts_va(g, filename, options);
  va_end(options);
  return result;
}

int guestfs_disk_create(guestfs_h* g, const char* filename, const char* format, int64_t size, ...) {
  va_list options;
  va_start(options, size);
  int result = gTable.guestfs_disk_create_va(g, filename, format, size, options);
  va_end(options);
  return result;
}

char* guestfs_checksum(guestfs_h* g, const char* csumtype, const char* path) { return gTable.guestfs_checksum(g, csumtype, path); }
void guestfs_close(guestfs_h* g) { gTable.guestfs_close(g); }
int guestfs_download(guestfs_h* g, const char* remotefilename, const char* filename) { return gTable.guestfs_download(g, remotefilename, filename); }
int guestfs_find0(guestfs_h* g, const char* directory, const char* files) { return gTable.guestfs_find0(g, directory, files); }
void guestfs_free_statns(struct guestfs_statns* list) { gTable.guestfs_free_statns(list); }
void guestfs_free_statns_list(struct guestfs_statns_list* list) { gTable.guestfs_free_statns_list(list); }
char** guestfs_inspect_get_drive_mappings(guestfs_h* g, const char* root) { return gTable.guestfs_inspect_get_drive_mappings(g, root); }
char* guestfs_inspect_get_type(guestfs_h* g, const char* root) { return gTable.guestfs_inspect_get_type(g, root); }
char* guestfs_inspect_get_windows_systemroot(guestfs_h* g, const char* root) { return gTable.guestfs_inspect_get_windows_systemroot(g, root); }
char** guestfs_inspect_os(guestfs_h* g) { return gTable.guestfs_inspect_os(g); }
int guestfs_last_errno(guestfs_h* g) { return gTable.guestfs_last_errno(g); }
const char* guestfs_last_error(guestfs_h* g) { return gTable.guestfs_last_error(g); }
int guestfs_launch(guestfs_h* g) { return gTable.guestfs_launch(g); }
char** guestfs_list_filesystems(guestfs_h* g) { return gTable.guestfs_list_filesystems(g); }
char** guestfs_ls(guestfs_h* g, const char* directory) { return gTable.guestfs_ls(g, directory); }
struct guestfs_statns* guestfs_lstatns(guestfs_h* g, const char* path) { return gTable.guestfs_lstatns(g, path); }
struct guestfs_statns_list* guestfs_lstatnslist(guestfs_h* g, const char* path, char* const* names) { return gTable.guestfs_lstatnslist(g, path, names); }
int guestfs_mkmountpoint(guestfs_h* g, const char* exemptpath) { return gTable.guestfs_mkmountpoint(g, exemptpath); }
int guestfs_mount(guestfs_h* g, const char* mountable, const char* mountpoint) { return gTable.guestfs_mount(g, mountable, mountpoint); }
int guestfs_mount_ro(guestfs_h* g, const char* mountable, const char* mountpoint) { return gTable.guestfs_mount_ro(g, mountable, mountpoint); }
char* guestfs_pread(guestfs_h* g, const char* path, int count, int64_t offset, size_t *size_r) { return gTable.guestfs_pread(g, path, count, offset, size_r); }
int guestfs_rename(guestfs_h* g, const char* oldpath, const char* newpath) { return gTable.guestfs_rename(g, oldpath, newpath); }
int guestfs_rm(guestfs_h* g, const char* path) { return gTable.guestfs_rm(g, path); }
int guestfs_rm_f(guestfs_h* g, const char* path) { return gTable.guestfs_rm_f(g, path); }
void guestfs_set_error_handler(guestfs_h* g, guestfs_error_handler_cb cb, void *opaque) { gTable.guestfs_set_error_handler(g, cb, opaque); }
int guestfs_shutdown(guestfs_h* g) { return gTable.guestfs_shutdown(g); }
int guestfs_sync(guestfs_h* g) { return gTable.guestfs_sync(g); }
int guestfs_umount(guestfs_h* g, const char* pathordevice) { return gTable.guestfs_umount(g, pathordevice); }
int guestfs_umount_all(guestfs_h* g) { return gTable.guestfs_umount_all(g); }
int guestfs_upload(guestfs_h* g, const char* filename, const char* remotefilename) { return gTable.guestfs_upload(g, filename, remotefilename); }

}  // extern "C"
