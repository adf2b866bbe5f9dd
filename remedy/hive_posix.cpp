// Offline Run-value cleaning through libhivex (see hive_posix.h).
#include "remedy/hive_posix.h"

#include <fcntl.h>
#include <hivex.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "remedy/reg_export.h"

namespace {

const char* const kRunKey[] = {"Software", "Microsoft", "Windows", "CurrentVersion", "Run"};
const char kRunKeyText[] = "HKEY_CURRENT_USER\\Software\\Microsoft\\Windows\\CurrentVersion\\Run";

int Say(char* reason, size_t capacity, const char* format, const char* detail) {
  if (capacity) snprintf(reason, capacity, format, detail);
  return 0;
}

hive_node_h Descend(hive_h* hive, const char* const* parts, uint32_t depth) {
  hive_node_h node = hivex_root(hive);
  // hivex_node_get_child compares names without regard to case, as Windows does.
  for (uint32_t i = 0; node && i < depth; ++i) node = hivex_node_get_child(hive, node, parts[i]);
  return node;
}

// The text a value is examined as: string types as UTF-8, every other type
// as the bytes it holds up to the first zero byte. Malloc'ed; null when it
// cannot be read.
char* ValueText(hive_h* hive, hive_value_h value) {
  hive_type type;
  size_t length = 0;
  if (hivex_value_type(hive, value, &type, &length) != 0) return nullptr;
  if (type == hive_t_REG_SZ || type == hive_t_REG_EXPAND_SZ) return hivex_value_string(hive, value);
  char* raw = hivex_value_value(hive, value, &type, &length);
  if (!raw) return nullptr;
  char* text = static_cast<char*>(malloc(length + 1));
  if (text) {
    memcpy(text, raw, length);
    text[length] = 0;
  }
  free(raw);
  return text;
}

// Copies a file byte for byte; the copy is created new (never replaces).
int CopyFile(const char* from, const char* to) {
  int in = open(from, O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
  if (in < 0) return 0;
  int out = open(to, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
  if (out < 0) {
    int error = errno;
    close(in);
    errno = error;
    return 0;
  }
  static char block[65536];
  int ok = 1;
  for (;;) {
    ssize_t got = read(in, block, sizeof block);
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) {
      ok = got == 0;
      break;
    }
    for (ssize_t done = 0; ok && done < got;) {
      ssize_t put = write(out, block + done, static_cast<size_t>(got - done));
      if (put < 0 && errno == EINTR) continue;
      if (put <= 0) ok = 0;
      else done += put;
    }
    if (!ok) break;
  }
  ok = ok && fsync(out) == 0;
  int error = errno;
  close(in);
  close(out);
  errno = error;
  return ok;
}

int EnsureFolder(HiveBackup* backup) {
  if (backup->created) return 1;
  if (mkdir(backup->folder, 0700) != 0 && errno != EEXIST) return 0;
  backup->created = 1;
  return 1;
}

// A UTF-8 string value as the ANSI bytes REGEDIT4 wants, when it is plain
// ASCII; 0 otherwise (the raw bytes are exported instead).
int AsciiString(const char* text, size_t* length) {
  size_t n = 0;
  for (const unsigned char* p = reinterpret_cast<const unsigned char*>(text); *p; ++p, ++n)
    if (*p >= 0x80) return 0;
  *length = n;
  return 1;
}

struct Collected {
  char* name;
  hive_type type;
  size_t length;
  char* data;
  int remove;
  const char* refersTo;
  char* text;
};

void FreeCollected(Collected* values, size_t count) {
  for (size_t i = 0; i < count; ++i) {
    free(values[i].name);
    free(values[i].data);
    free(values[i].text);
  }
  free(values);
}

}  // namespace

void InitHiveBackup(HiveBackup* backup, const char* requested) {
  backup->created = 0;
  backup->serial = 0;
  if (requested) {
    snprintf(backup->folder, sizeof backup->folder, "%s", requested);
    return;
  }
  time_t now = time(nullptr);
  struct tm local;
  localtime_r(&now, &local);
  strftime(backup->folder, sizeof backup->folder, "quellix-backup-%Y%m%d-%H%M%S", &local);
}

long ReadFileHead(const char* path, unsigned char* bytes, size_t length) {
  // Looking must not leave a trace, the access time included.
  int fd = open(path, O_RDONLY | O_NOFOLLOW | O_CLOEXEC | O_NOATIME);
  if (fd < 0 && errno == EPERM) fd = open(path, O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
  if (fd < 0) return -1;
  ssize_t got = read(fd, bytes, length);
  int error = errno;
  close(fd);
  errno = error;
  return static_cast<long>(got);
}

int ReadHiveString(const char* hivePath, const char* const* keyPath, uint32_t depth, const char* valueName, char* out,
                   size_t capacity) {
  hive_h* hive = hivex_open(hivePath, 0);
  if (!hive) return 0;
  int found = 0;
  hive_node_h node = Descend(hive, keyPath, depth);
  hive_value_h value = node ? hivex_node_get_value(hive, node, valueName) : 0;
  char* text = value ? hivex_value_string(hive, value) : nullptr;
  if (text && strlen(text) + 1 <= capacity) {
    memcpy(out, text, strlen(text) + 1);
    found = 1;
  }
  free(text);
  hivex_close(hive);
  return found;
}

HiveCleanOutcome CleanHiveRunValues(const HiveCleanRequest& request, const HiveValueListener& listener,
                                    uint32_t* deleted, char* reason, size_t capacity) {
  *deleted = 0;
  if (capacity) reason[0] = 0;
  unsigned char head[512];
  long got = ReadFileHead(request.hivePath, head, sizeof head);
  if (got < 0) return Say(reason, capacity, "cannot be read: %s", strerror(errno)), kHiveCleanFailed;
  HiveHeaderState state = CheckHiveHeader(head, static_cast<size_t>(got));
  if (state == kHiveHeaderNotRegf) return Say(reason, capacity, "not a registry hive%s", ""), kHiveNotNt;

  hive_h* hive = hivex_open(request.hivePath, 0);
  if (!hive) return Say(reason, capacity, "libhivex cannot open it: %s", strerror(errno)), kHiveCleanFailed;

  // The environment: what the volume tells, then the user's own variables.
  OfflineEnvironment* environment = static_cast<OfflineEnvironment*>(malloc(sizeof(OfflineEnvironment)));
  if (!environment) {
    hivex_close(hive);
    return Say(reason, capacity, "out of memory%s", ""), kHiveCleanFailed;
  }
  *environment = *request.volumeEnvironment;
  hive_node_h environmentKey = hivex_node_get_child(hive, hivex_root(hive), "Environment");
  hive_value_h* variables = environmentKey ? hivex_node_values(hive, environmentKey) : nullptr;
  for (size_t i = 0; variables && variables[i]; ++i) {
    char* name = hivex_value_key(hive, variables[i]);
    char* value = ValueText(hive, variables[i]);
    if (name && value && *name) SetOfflineVariable(environment, name, value);
    free(name);
    free(value);
  }
  free(variables);
  CommandLineHost host = OfflineCommandLineHost(environment);

  // Which Run values start a removed file.
  HiveCleanOutcome outcome = kHiveCleanDone;
  hive_node_h run = Descend(hive, kRunKey, 5);
  hive_value_h* values = run ? hivex_node_values(hive, run) : nullptr;
  size_t count = 0;
  while (values && values[count]) ++count;
  Collected* collected = static_cast<Collected*>(calloc(count ? count : 1, sizeof(Collected)));
  size_t toDelete = 0;
  for (size_t i = 0; collected && i < count; ++i) {
    Collected& c = collected[i];
    c.name = hivex_value_key(hive, values[i]);
    c.data = hivex_value_value(hive, values[i], &c.type, &c.length);
    c.text = ValueText(hive, values[i]);
    if (!c.name || !c.data) {
      outcome = kHiveCleanFailed;
      Say(reason, capacity, "a Run value cannot be read%s", "");
      break;
    }
    for (uint32_t k = 0; c.text && k < request.removedCount && !c.remove; ++k) {
      if (CommandLineRefersTo(c.text, request.removedWindowsPaths[k], &host)) {
        c.remove = 1;
        c.refersTo = request.removedWindowsPaths[k];
      }
    }
    toDelete += c.remove;
  }
  free(values);
  free(environment);
  hivex_close(hive);
  if (!collected) return Say(reason, capacity, "out of memory%s", ""), kHiveCleanFailed;
  if (outcome != kHiveCleanDone || toDelete == 0) {
    FreeCollected(collected, count);
    return outcome;
  }

  // Something goes: first every reason not to write.
  if (state == kHiveHeaderLogPending) {
    FreeCollected(collected, count);
    return Say(reason, capacity,
               "its transaction log is not applied (the two sequence numbers of its header differ)%s", ""),
           kHiveRefusedLog;
  }
  struct statvfs volume;
  if (statvfs(request.hivePath, &volume) == 0 && (volume.f_flag & ST_RDONLY)) {
    FreeCollected(collected, count);
    return Say(reason, capacity, "it is on a read-only mount%s", ""), kHiveRefusedReadOnly;
  }

  // The copy of the hive and the .reg of what goes, before the first write.
  HiveBackup* backup = request.backup;
  char copy[kMountedPathCapacity + 64], regPath[kMountedPathCapacity + 64];
  backup->serial += 1;
  snprintf(copy, sizeof copy, "%s/%u-%s-NTUSER.DAT", backup->folder, backup->serial, request.user);
  snprintf(regPath, sizeof regPath, "%s/%u-%s-Run.reg", backup->folder, backup->serial, request.user);
  FILE* reg = nullptr;
  if (!EnsureFolder(backup) || !CopyFile(request.hivePath, copy) || !(reg = fopen(regPath, "wbx"))) {
    Say(reason, capacity, "no backup could be made, so it is not changed: %s", strerror(errno));
    FreeCollected(collected, count);
    return kHiveCleanFailed;
  }
  fputs(kRegeditFileHeader, reg);
  fprintf(reg, "; Run values deleted from %s\r\n", request.hivePath);
  char line[16384];
  if (FormatRegKeyLine(line, sizeof line, kRunKeyText) < sizeof line) fputs(line, reg);
  for (size_t i = 0; i < count; ++i) {
    const Collected& c = collected[i];
    if (!c.remove) continue;
    size_t asciiLength = 0;
    size_t length;
    if ((c.type == hive_t_REG_SZ || c.type == hive_t_REG_EXPAND_SZ) && c.text && AsciiString(c.text, &asciiLength)) {
      length = FormatRegValueLine(line, sizeof line, c.name, c.type, reinterpret_cast<const unsigned char*>(c.text),
                                  static_cast<uint32_t>(asciiLength + 1));
    } else {
      length = FormatRegValueLine(line, sizeof line, c.name, c.type, reinterpret_cast<const unsigned char*>(c.data),
                                  static_cast<uint32_t>(c.length));
    }
    if (length < sizeof line) fputs(line, reg);
  }
  int written = fflush(reg) == 0 && fsync(fileno(reg)) == 0;
  written = fclose(reg) == 0 && written;
  if (!written) {
    FreeCollected(collected, count);
    return Say(reason, capacity, "the .reg backup could not be written: %s", strerror(errno)), kHiveCleanFailed;
  }

  // The write: the kept values, in their order, replace the key's values.
  hive = hivex_open(request.hivePath, HIVEX_OPEN_WRITE);
  run = hive ? Descend(hive, kRunKey, 5) : 0;
  hive_set_value* kept = static_cast<hive_set_value*>(calloc(count, sizeof(hive_set_value)));
  size_t keptCount = 0;
  for (size_t i = 0; kept && i < count; ++i) {
    if (collected[i].remove) continue;
    kept[keptCount++] = hive_set_value{collected[i].name, collected[i].type, collected[i].length, collected[i].data};
  }
  if (!hive || !run || !kept || hivex_node_set_values(hive, run, keptCount, kept, 0) != 0 ||
      hivex_commit(hive, nullptr, 0) != 0) {
    Say(reason, capacity, "libhivex could not write it (a copy is in the backup folder): %s", strerror(errno));
    outcome = kHiveCleanFailed;
  } else {
    for (size_t i = 0; i < count; ++i) {
      if (!collected[i].remove) continue;
      *deleted += 1;
      if (listener.deleted)
        listener.deleted(listener.context, request.hivePath, collected[i].name, collected[i].text ? collected[i].text : "",
                         collected[i].refersTo);
    }
  }
  free(kept);
  if (hive) hivex_close(hive);
  FreeCollected(collected, count);
  return outcome;
}
