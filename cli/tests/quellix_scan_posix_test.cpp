// quellix-scan end to end on planted volumes: forged specimens of every
// published row, decoys, clean files, links that must not be followed;
// clean files byte for byte and time for time unchanged; every exit status.
#include <gtest/gtest.h>

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "cli/tests/start_program_posix.h"
#include "engine/signature_table.h"
#include "engine/testing/specimen_forge.h"
#include "remedy/name_escape.h"
#include "remedy/testing/minimal_hive.h"
#include "remedy/testing/profile_hive_posix.h"
#include "sys/owned_fd_posix.h"

namespace {

std::string Fresh(const std::string& name) {
  char cwd[4096];
  EXPECT_NE(nullptr, getcwd(cwd, sizeof cwd));
  std::string dir = std::string(cwd) + "/quellix-scan-volumes/" + name;
  EXPECT_EQ(0, system(("rm -rf '" + dir + "' && mkdir -p '" + dir + "'").c_str()));
  return dir;
}

void Write(const std::string& path, const std::vector<unsigned char>& bytes) {
  std::string dir = path.substr(0, path.rfind('/'));
  EXPECT_EQ(0, system(("mkdir -p '" + dir + "'").c_str()));
  FILE* f = fopen(path.c_str(), "wb");
  ASSERT_NE(nullptr, f) << path;
  if (!bytes.empty()) {
    ASSERT_EQ(bytes.size(), fwrite(bytes.data(), 1, bytes.size(), f));
  }
  fclose(f);
}

// Without touching the access time, which the snapshots compare.
std::string Read(const std::string& path) {
  int fd = open(path.c_str(), O_RDONLY | O_NOATIME);
  if (fd < 0) fd = open(path.c_str(), O_RDONLY);
  std::string text;
  char block[65536];
  ssize_t got;
  while (fd >= 0 && (got = read(fd, block, sizeof block)) > 0) text.append(block, static_cast<size_t>(got));
  if (fd >= 0) close(fd);
  return text;
}

struct Outcome {
  int status;
  std::string out, err;
};

Outcome Scan(const std::vector<std::string>& args, const std::string& where) {
  std::string outPath = where + ".out", errPath = where + ".err";
  pid_t pid = StartProgram(QX_SCAN_PROGRAM, args, outPath, errPath);
  int status = 0;
  waitpid(pid, &status, 0);
  return Outcome{WIFEXITED(status) ? WEXITSTATUS(status) : -1, Read(outPath), Read(errPath)};
}

// Everything that must come through a run unchanged: bytes, mode, times.
struct Snapshot {
  std::string bytes;
  mode_t mode;
  struct timespec atime, mtime, ctime;
};

void Take(const std::string& path, std::map<std::string, Snapshot>* into) {
  struct stat st;
  ASSERT_EQ(0, lstat(path.c_str(), &st)) << path;
  if (S_ISDIR(st.st_mode)) {
    DIR* d = opendir(path.c_str());
    ASSERT_NE(nullptr, d);
    while (struct dirent* e = readdir(d)) {
      std::string n = e->d_name;
      if (n != "." && n != "..") Take(path + "/" + n, into);
    }
    closedir(d);
  }
  Snapshot s{S_ISREG(st.st_mode) ? Read(path) : std::string(), st.st_mode, st.st_atim, st.st_mtim, st.st_ctim};
  // A directory's times change when a removed file leaves it: only entries count.
  if (!S_ISDIR(st.st_mode)) (*into)[path] = s;
}

bool Same(const Snapshot& a, const Snapshot& b) {
  auto eq = [](const timespec& x, const timespec& y) { return x.tv_sec == y.tv_sec && x.tv_nsec == y.tv_nsec; };
  return a.bytes == b.bytes && a.mode == b.mode && eq(a.atime, b.atime) && eq(a.mtime, b.mtime) &&
         eq(a.ctime, b.ctime);
}

// A volume: every row's specimen in a place of its own (names with spaces
// and non-ASCII bytes among them), a decoy per row, clean files, a link
// cycle, links that leave the volume towards another specimen.
struct Volume {
  std::string root, outside;
  std::vector<std::string> specimens;
  std::vector<std::string> names;  // detection name of each specimen
};

Volume Plant(const std::string& name) {
  Volume v;
  std::string base = Fresh(name);
  v.root = base + "/volume";
  v.outside = base + "/outside";
  SignatureTable table = BuiltInSignatures();
  const char* places[] = {"WINDOWS/system32/", "Documents and Settings/alice/Local Settings/Temp/",
                          "Program Files/caf\xc3\xa9 \xe6\x97\xa5/", "raw \xe9\xff/", ""};
  for (uint32_t i = 0; i < table.count; ++i) {
    std::vector<unsigned char> bytes;
    EXPECT_TRUE(ForgeSpecimenForRow(table.rows[i], 100 + i, &bytes));
    std::string path = v.root + "/" + places[i % 5] + "row " + std::to_string(i) + ".exe";
    Write(path, bytes);
    v.specimens.push_back(path);
    v.names.push_back(table.rows[i].detectionName);
    EXPECT_TRUE(ForgeDecoyForRow(table.rows[i], 200 + i, &bytes));
    Write(v.root + "/" + places[(i + 1) % 5] + "decoy " + std::to_string(i) + ".dll", bytes);
  }
  Write(v.root + "/WINDOWS/notepad.exe", std::vector<unsigned char>(66000, 'n'));
  Write(v.root + "/empty.txt", {});
  Write(v.root + "/boot.ini", std::vector<unsigned char>(200, 'b'));
  std::vector<unsigned char> far;
  EXPECT_TRUE(ForgeSpecimenForRow(table.rows[0], 999, &far));
  Write(v.outside + "/far.exe", far);
  EXPECT_EQ(0, symlink("..", (v.root + "/WINDOWS/system32/loop").c_str()));
  EXPECT_EQ(0, symlink(v.outside.c_str(), (v.root + "/WINDOWS/out").c_str()));
  EXPECT_EQ(0, symlink((v.outside + "/far.exe").c_str(), (v.root + "/far link.exe").c_str()));
  return v;
}

size_t Count(const std::string& text, const std::string& piece) {
  size_t n = 0;
  for (size_t at = text.find(piece); at != std::string::npos; at = text.find(piece, at + 1)) ++n;
  return n;
}

TEST(QuellixScan, DetectionOnlyListsEverythingAndChangesNothing) {
  Volume v = Plant("detect");
  std::map<std::string, Snapshot> before, after;
  Take(v.root, &before);
  Take(v.outside, &before);
  Outcome run = Scan({"--quiet", v.root}, v.root);
  EXPECT_EQ(1, run.status) << run.err;
  // Names are shown as data: what is not UTF-8 is escaped.
  for (size_t i = 0; i < v.specimens.size(); ++i) {
    std::vector<char> shown(EscapeNameForTerminal(v.specimens[i].c_str(), nullptr, 0) + 1);
    EscapeNameForTerminal(v.specimens[i].c_str(), shown.data(), shown.size());
    EXPECT_NE(std::string::npos, run.out.find(std::string(shown.data()) + ": " + v.names[i] + " (left in place)\n"))
        << run.out;
  }
  EXPECT_EQ(v.specimens.size(), Count(run.out, "(left in place)"));
  EXPECT_NE(std::string::npos, run.out.find("Detections: " + std::to_string(v.specimens.size())));
  EXPECT_EQ("", run.err);
  Take(v.root, &after);
  Take(v.outside, &after);
  ASSERT_EQ(before.size(), after.size());
  for (const auto& [path, snap] : before) EXPECT_TRUE(Same(snap, after[path])) << path;
}

TEST(QuellixScan, RemoveTakesOnlySpecimensAndLeavesEverythingElseAsItWas) {
  Volume v = Plant("remove");
  std::map<std::string, Snapshot> before, after;
  Take(v.root, &before);
  Take(v.outside, &before);
  std::string json = v.root + ".jsonl";
  // A file named twice, and inside a PATH too, is examined once: no row says
  // the removed file could not be examined.
  Outcome run = Scan({"--remove", "--json", json, v.specimens[0], v.root, v.specimens[0]}, v.root);
  EXPECT_EQ(1, run.status) << run.err;
  EXPECT_EQ(std::string::npos, run.out.find("not examined")) << run.out;
  for (const std::string& s : v.specimens) {
    struct stat st;
    EXPECT_NE(0, lstat(s.c_str(), &st)) << s << " should be gone";
    before.erase(s);
  }
  EXPECT_EQ(v.specimens.size(), Count(run.out, "(removed)"));
  Take(v.root, &after);
  Take(v.outside, &after);
  ASSERT_EQ(before.size(), after.size());
  for (const auto& [path, snap] : before) EXPECT_TRUE(Same(snap, after[path])) << path;

  std::string lines = Read(json);
  EXPECT_EQ(v.specimens.size(), Count(lines, "{\"type\":\"detection\""));
  EXPECT_EQ(v.specimens.size(), Count(lines, "\"action\":\"removed\""));
  EXPECT_EQ(1u, Count(lines, "{\"type\":\"summary\""));
  EXPECT_NE(std::string::npos, lines.find("\"exit_status\":1}"));
  // The raw Latin-1 bytes of a name are kept as escaped bytes.
  EXPECT_NE(std::string::npos, lines.find("raw \\udce9\\udcff/row 3.exe"));

  // Nothing left: a second run finds nothing.
  Outcome again = Scan({"--remove", v.root}, v.root);
  EXPECT_EQ(0, again.status) << again.out;
}

// A tree of `specimens` forged files among decoys of their sizes, spread
// over folders; their paths in walk-independent order.
std::vector<std::string> PlantMany(const std::string& root, int specimens, int decoysEach) {
  SignatureTable table = BuiltInSignatures();
  std::vector<std::string> paths;
  std::vector<unsigned char> bytes;
  for (int i = 0; i < specimens; ++i) {
    const SignatureRecord& row = table.rows[static_cast<uint32_t>(i) % table.count];
    std::string folder = root + "/d" + std::to_string(i % 7) + "/e" + std::to_string(i % 3);
    EXPECT_TRUE(ForgeSpecimenForRow(row, 300 + static_cast<uint32_t>(i), &bytes));
    paths.push_back(folder + "/w" + std::to_string(i) + ".exe");
    Write(paths.back(), bytes);
    for (int j = 0; j < decoysEach; ++j) {
      EXPECT_TRUE(ForgeDecoyForRow(row, 5000 + static_cast<uint32_t>(i * decoysEach + j), &bytes));
      Write(folder + "/c" + std::to_string(i) + "-" + std::to_string(j) + ".dll", bytes);
    }
  }
  return paths;
}

// A writing run proves its backup folder before anything goes: one that
// cannot be used refuses the run; the default one is named, lies outside
// the scanned volume and goes again when no hive needed it.
TEST(QuellixScan, AWritingRunProvesItsBackupFolderFirst) {
  Volume v = Plant("preflight");
  std::string open = v.root + "/../open", json = v.root + "/../run.jsonl";
  ASSERT_EQ(0, mkdir(open.c_str(), 0700));
  ASSERT_EQ(0, chmod(open.c_str(), 0777));
  Outcome refused = Scan({"--remove", "--backup", open, "--json", json, v.root}, v.root);
  EXPECT_EQ(2, refused.status);
  EXPECT_NE(std::string::npos, refused.err.find("others may write to it")) << refused.err;
  EXPECT_NE(std::string::npos, Read(json).find("\"type\":\"refused\"")) << Read(json);
  for (const std::string& path : v.specimens) EXPECT_EQ(0, access(path.c_str(), F_OK)) << path;

  Outcome run = Scan({"--remove", v.root}, v.root);
  EXPECT_EQ(1, run.status) << run.err;
  const std::string said = "hives are backed up to ";
  size_t at = run.err.find(said);
  ASSERT_NE(std::string::npos, at) << run.err;
  std::string folder = run.err.substr(at + said.size(), run.err.find(" before", at) - at - said.size());
  EXPECT_NE(std::string::npos, folder.find("/backups/quellix-backup-")) << folder;
  EXPECT_NE(0, access(folder.c_str(), F_OK)) << folder << " was left behind though no hive changed";
}

// A --remove run killed at any point (SIGKILL: no chance to tidy up) has
// named every file it took away in its JSON and its log.
TEST(QuellixScan, AKilledRemoveRunHasNamedEveryFileItTookAway) {
  const int kSpecimens = 32;
  // Killed once the first file is gone, and once a quarter, half and three
  // quarters of them are.
  for (int quarter : {0, 1, 2, 3}) {
    std::string base = Fresh("killed-" + std::to_string(quarter));
    std::vector<std::string> specimens = PlantMany(base + "/volume", kSpecimens, 4);
    std::vector<std::string> args{"-q", "--remove", "--json", base + "/run.jsonl", "--log", base + "/run.log",
                                  base + "/volume"};
    pid_t pid = StartProgram(QX_SCAN_PROGRAM, args, base + "/out", base + "/err");
    size_t wanted = std::max<size_t>(1, specimens.size() * static_cast<size_t>(quarter) / 4), gone = 0;
    int status = 0;
    while (gone < wanted && waitpid(pid, &status, WNOHANG) == 0) {
      gone = 0;
      for (const std::string& path : specimens) gone += access(path.c_str(), F_OK) != 0;
    }
    kill(pid, SIGKILL);
    waitpid(pid, &status, 0);
    std::string records = Read(base + "/run.jsonl"), log = Read(base + "/run.log");
    gone = 0;
    for (const std::string& path : specimens) {
      if (access(path.c_str(), F_OK) == 0) continue;
      ++gone;
      // Its intent went out before the file did; its row, unless the kill
      // came between the two.
      EXPECT_NE(std::string::npos, records.find("{\"type\":\"intent\",\"path\":\"" + path + "\""))
          << quarter << ": " << path;
      EXPECT_NE(std::string::npos, log.find("removing " + path + " (")) << quarter << ": " << path;
    }
    EXPECT_LE(wanted, gone) << quarter;
  }
}

TEST(QuellixScan, SomethingNotExaminedIsStatusTwo) {
  std::string root = Fresh("unexamined");
  std::string dir = root;
  for (int i = 0; i < 25; ++i) dir += "/" + std::string(200, 'n');
  EXPECT_EQ(0, system(("mkdir -p '" + dir + "'").c_str()));
  Outcome run = Scan({root}, root);
  EXPECT_EQ(2, run.status);
  EXPECT_NE(std::string::npos, run.out.find(": not examined (File name too long)\n")) << run.out;
  EXPECT_NE(std::string::npos, run.out.find("Not examined: 1"));
  Outcome missing = Scan({root + "/no such dir"}, root);
  EXPECT_EQ(2, missing.status);
  // A path longer than PATH_MAX left behind breaks cp -a and tar of the build tree.
  EXPECT_EQ(0, system(("rm -rf '" + root + "'").c_str()));
}

TEST(QuellixScan, UsageAndHelp) {
  std::string where = Fresh("usage");
  struct Case {
    std::vector<std::string> args;
    int status;
    const char* out;
    const char* err;
  } cases[] = {
      {{}, 64, "", "quellix-scan: no PATH to scan\nTry 'quellix-scan --help' for more information.\n"},
      {{"--frobnicate", "/"}, 64, "", "quellix-scan: unknown option '--frobnicate'\nTry 'quellix-scan --help' for more information.\n"},
      {{"--help"}, 0, "Usage: quellix-scan [OPTIONS] PATH...\n", ""},
      {{"--version"}, 0, "quellix-scan ", ""},
  };
  for (const Case& c : cases) {
    Outcome run = Scan(c.args, where + "/run");
    EXPECT_EQ(c.status, run.status);
    EXPECT_EQ(0u, run.out.find(c.out)) << run.out;
    EXPECT_EQ(c.err, run.err);
  }
  Outcome clean = Scan({"--quiet", where}, where + "/clean");
  EXPECT_EQ(0, clean.status) << clean.out << clean.err;
  // A word of the command line quoted back is shown escaped: controls at
  // its start, middle and end, long enough to be cut.
  const std::string controls = "\x1b]0;t\x07\x9b" "2J\xc2\x9b" "1m\r\n";
  const std::string word = "--" + controls + std::string(300, 'w') + controls + std::string(300, 'w') + controls;
  Outcome usage = Scan({word, where}, where + "/run");
  EXPECT_EQ(64, usage.status);
  EXPECT_EQ(0u, usage.err.find("quellix-scan: unknown option '--\\x1b]0;t\\x07\\x9b2J\\xc2\\x9b1m\\x0d\\x0a")) << usage.err;
  std::string first = usage.err.substr(0, usage.err.find('\n'));
  for (char c : first) {
    unsigned char u = static_cast<unsigned char>(c);
    EXPECT_TRUE(u >= 0x20 && u < 0x7F) << static_cast<int>(u) << " in " << first;
  }
}

}  // namespace

namespace {

std::string Sha256Of(const std::string& path) {
  // A second implementation: coreutils'.
  EXPECT_EQ(0, system(("sha256sum '" + path + "' | cut -c1-64 > '" + path + ".sha'").c_str()));
  std::string out = Read(path + ".sha");
  unlink((path + ".sha").c_str());
  return out.substr(0, 64);
}

std::string Sha256OfBytes(const std::string& bytes) {
  char path[] = "/tmp/qx-sha-XXXXXX";
  int fd = mkstemp(path);
  EXPECT_GE(fd, 0);
  EXPECT_EQ(static_cast<ssize_t>(bytes.size()), write(fd, bytes.data(), bytes.size()));
  close(fd);
  std::string hex = Sha256Of(path);
  unlink(path);
  return hex;
}

TEST(QuellixScan, QuarantineAndRestoreRoundTrip) {
  Volume v = Plant("quarantine");
  std::map<std::string, Snapshot> before;
  Take(v.root, &before);
  std::vector<std::string> sums;
  for (const std::string& s : v.specimens) sums.push_back(Sha256Of(s));
  std::string q = v.root + "/../quarantine";

  Outcome run = Scan({"--quarantine", q, v.root}, v.root);
  EXPECT_EQ(1, run.status) << run.err;
  EXPECT_EQ(v.specimens.size(), Count(run.out, "(quarantined)"));
  std::string manifest = Read(q + "/manifest.jsonl");
  EXPECT_EQ(v.specimens.size(), Count(manifest, "\n"));
  for (size_t i = 0; i < v.specimens.size(); ++i) {
    struct stat st;
    EXPECT_NE(0, lstat(v.specimens[i].c_str(), &st)) << v.specimens[i];
    ASSERT_EQ(0, stat((q + "/" + sums[i]).c_str(), &st)) << sums[i];
    EXPECT_EQ(0400u, st.st_mode & 07777);
    // The copy is the file behind a 16-byte header, so that it is no detection itself.
    std::string copy = Read(q + "/" + sums[i]);
    EXPECT_EQ(0u, copy.find("QUELLIX-COPY-1\n"));
    EXPECT_TRUE(copy.size() > 16 && before[v.specimens[i]].bytes == copy.substr(16)) << sums[i];
    EXPECT_NE(std::string::npos, manifest.find("\"detection\":\"" + v.names[i] + "\",\"sha256\":\"" + sums[i]));
  }

  // --list shows every entry and changes nothing.
  Outcome list = Scan({"restore", "--list", q}, v.root);
  EXPECT_EQ(0, list.status) << list.err;
  EXPECT_EQ(v.specimens.size(), Count(list.out, "  quarantined  ")) << list.out;
  for (const std::string& s : v.specimens) {
    struct stat st;
    EXPECT_NE(0, lstat(s.c_str(), &st)) << s;
  }

  // One file first, then the rest: content, mode and modification time.
  Outcome one = Scan({"restore", "--only", v.specimens[0], q}, v.root);
  EXPECT_EQ(0, one.status) << one.out << one.err;
  EXPECT_EQ(1u, Count(one.out, ": restored\n")) << one.out;
  Outcome back = Scan({"restore", q}, v.root);
  EXPECT_EQ(0, back.status) << back.out << back.err;
  EXPECT_EQ(v.specimens.size() - 1, Count(back.out, ": restored\n")) << back.out;
  EXPECT_EQ(1u, Count(back.out, ": already restored\n")) << back.out;
  for (const std::string& s : v.specimens) {
    struct stat st;
    ASSERT_EQ(0, lstat(s.c_str(), &st)) << s;
    EXPECT_EQ(before[s].bytes, Read(s));
    EXPECT_EQ(before[s].mode, st.st_mode);
    EXPECT_EQ(before[s].mtime.tv_sec, st.st_mtim.tv_sec);
    EXPECT_EQ(before[s].mtime.tv_nsec, st.st_mtim.tv_nsec);
  }

  // Again: every entry was put back once; a file changed since is left.
  Write(v.specimens[0], {'n', 'e', 'w'});
  Outcome again = Scan({"restore", q}, v.root);
  EXPECT_EQ(0, again.status) << again.out;
  EXPECT_EQ(v.specimens.size(), Count(again.out, ": already restored\n")) << again.out;
  EXPECT_EQ("new", Read(v.specimens[0]));
}

// A second run into the same folder: its restore takes one run or one
// file, a file in the way needs --force, and a damaged copy never comes back.
TEST(QuellixScan, RestoreByRunAndForce) {
  Volume v = Plant("restore-runs");
  std::string q = v.root + "/../quarantine";
  std::string first = v.specimens[0], second = v.specimens[1];
  std::string firstBytes = Read(first), secondBytes = Read(second);
  ASSERT_EQ(1, Scan({"--quarantine", q, "--windows-root", v.root, first}, v.root).status);
  ASSERT_EQ(1, Scan({"--quarantine", q, "--windows-root", v.root, second}, v.root).status);
  std::string manifest = Read(q + "/manifest.jsonl");
  std::string run = manifest.substr(manifest.rfind("\"run\":\"") + 7);
  run = run.substr(0, run.find('"'));
  Outcome latest = Scan({"restore", "--run", run, q}, v.root);
  EXPECT_EQ(0, latest.status) << latest.out << latest.err;
  EXPECT_EQ(secondBytes, Read(second));
  EXPECT_EQ("", Read(first)) << "the other run's file stays in the quarantine";

  Write(first, {'n', 'e', 'w'});
  Outcome blocked = Scan({"restore", q}, v.root);
  EXPECT_EQ(2, blocked.status);
  EXPECT_EQ(1u, Count(blocked.out, "not restored: a file is in its place")) << blocked.out;
  EXPECT_EQ("new", Read(first));
  Outcome forced = Scan({"restore", "--force", "--only", first, q}, v.root);
  EXPECT_EQ(0, forced.status) << forced.out;
  EXPECT_EQ(firstBytes, Read(first));

  // A damaged copy is never put back.
  Volume w = Plant("restore-damaged");
  std::string q2 = w.root + "/../quarantine";
  ASSERT_EQ(1, Scan({"--quarantine", q2, "--windows-root", w.root, w.specimens[1]}, w.root).status);
  std::string line = Read(q2 + "/manifest.jsonl");
  std::string copy = q2 + "/" + line.substr(line.find("\"sha256\":\"") + 10, 64);
  chmod(copy.c_str(), 0600);
  Write(copy, {'x'});
  Outcome damaged = Scan({"restore", q2}, w.root);
  EXPECT_EQ(2, damaged.status);
  EXPECT_NE(std::string::npos, damaged.out.find(w.specimens[1] + ": not restored: the quarantined copy does not have its recorded SHA-256"));
  struct stat st;
  EXPECT_NE(0, lstat(w.specimens[1].c_str(), &st));
}

// A quarantine folder this host did not write decides nothing: owned by
// another user, open to all, brought in on a volume, with a manifest line
// that names a host folder by its device and inode and a copy of the right
// SHA-256, it plants nothing, --force or not; --quarantine does not add to
// it; an image line names no image restore writes.
TEST(QuellixScan, AForeignQuarantinePlantsNothing) {
  std::string base = Fresh("foreign-quarantine");
  std::string cron = base + "/etc/cron.d", q = base + "/q";
  ASSERT_EQ(0, system(("mkdir -p '" + cron + "' '" + q + "' && chmod 0777 '" + q + "' && chown nobody '" + q +
                       "' && touch '" + q + "/.quellix-quarantine'").c_str()));
  const std::string payload = "* * * * * root sh -c planted\n";
  std::string hex = Sha256OfBytes(payload);
  Write(q + "/" + hex, std::vector<unsigned char>(payload.begin(), payload.end()));
  struct stat root;
  ASSERT_EQ(0, stat(cron.c_str(), &root));
  std::string rootFields = "\"root\":\"" + cron + "\",\"root_device\":" + std::to_string(root.st_dev) +
                           ",\"root_inode\":" + std::to_string(root.st_ino);
  std::string earlier = "{\"path\":\"" + cron + "/planted\"," + rootFields + ",\"relative\":\"planted\",\"size\":" +
                        std::to_string(payload.size()) + ",\"mode\":\"0644\",\"atime_ns\":0,\"mtime_ns\":0,"
                        "\"detection\":\"Worm.Quellix\",\"sha256\":\"" + hex + "\"}\n";
  std::string forged = "{\"v\":3,\"id\":\"x/1\",\"run\":\"x\",\"path\":\"" + cron + "/planted2\"," + rootFields +
                       ",\"relative\":\"planted2\",\"size\":" + std::to_string(payload.size()) +
                       ",\"detection\":\"Worm.Quellix\",\"sha256\":\"" + hex +
                       "\",\"mac\":\"" + std::string(64, '0') + "\"}\n";
  std::string image = base + "/other.img";
  Write(image, std::vector<unsigned char>(4096, 0));
  std::string imageLine = "{\"path\":\"" + image + ":C:\\\\x.exe\",\"image\":\"" + image +
                          "\",\"windows_path\":\"C:\\\\x.exe\",\"size\":" + std::to_string(payload.size()) +
                          ",\"format\":2,\"sha256\":\"" + hex + "\"}\n";
  std::string loop = "{\"path\":\"/dev/loop0:C:\\\\x.exe\",\"image\":\"/dev/loop0\",\"windows_path\":\"C:\\\\x.exe\","
                     "\"size\":" + std::to_string(payload.size()) + ",\"format\":2,\"sha256\":\"" + hex + "\"}\n";
  std::string manifest = earlier + forged + imageLine + loop;
  Write(q + "/manifest.jsonl", std::vector<unsigned char>(manifest.begin(), manifest.end()));
  struct stat imageBefore;
  ASSERT_EQ(0, stat(image.c_str(), &imageBefore));

  for (const char* force : {"--quiet", "--force"}) {
    Outcome restore = Scan({"restore", force, q}, base);
    EXPECT_EQ(2, restore.status) << restore.out << restore.err;
    EXPECT_EQ(2u, Count(restore.out, "name one with --to ROOT")) << restore.out;
    EXPECT_EQ(2u, Count(restore.out, "name one with --image FILE")) << restore.out;
    struct stat st;
    EXPECT_NE(0, lstat((cron + "/planted").c_str(), &st));
    EXPECT_NE(0, lstat((cron + "/planted2").c_str(), &st));
  }
  struct stat imageAfter;
  ASSERT_EQ(0, stat(image.c_str(), &imageAfter));
  EXPECT_EQ(imageBefore.st_mtim.tv_nsec, imageAfter.st_mtim.tv_nsec);
  EXPECT_EQ(std::string(4096, '\0'), Read(image));
  // Named by the person, the earlier line goes there, beneath the root named.
  std::string named = base + "/named";
  ASSERT_EQ(0, mkdir(named.c_str(), 0700));
  Outcome moved = Scan({"restore", "--only", cron + "/planted", "--to", named, q}, base);
  EXPECT_EQ(0, moved.status) << moved.out << moved.err;
  EXPECT_EQ(payload, Read(named + "/planted"));
  struct stat st;
  EXPECT_NE(0, lstat((cron + "/planted").c_str(), &st));

  // --quarantine into it is refused, and its manifest stays as it was.
  Volume v = Plant("foreign-quarantine-scan");
  Outcome scan = Scan({"--quarantine", q, v.root}, v.root);
  EXPECT_EQ(2, scan.status) << scan.out << scan.err;
  EXPECT_EQ(manifest, Read(q + "/manifest.jsonl"));
  for (const std::string& s : v.specimens) EXPECT_NE("", Read(s)) << s;
}

// More PATHs than 64 (from --files-from) are quarantined and restored.
TEST(QuellixScan, ManyRootsQuarantine) {
  Volume v = Plant("many-roots");
  std::string list = v.root + "/../list", q = v.root + "/../quarantine";
  std::string text;
  for (int i = 0; i < 70; ++i) {
    std::string folder = v.root + "/../extra/" + std::to_string(i);
    EXPECT_EQ(0, system(("mkdir -p '" + folder + "'").c_str()));
    text += folder + "\n";
  }
  text += v.specimens[0] + "\n";
  Write(list, std::vector<unsigned char>(text.begin(), text.end()));
  Outcome run = Scan({"--quarantine", q, "--windows-root", v.root, "--files-from", list}, v.root);
  EXPECT_EQ(1, run.status) << run.out << run.err;
  EXPECT_EQ(1u, Count(run.out, "(quarantined)")) << run.out;
  Outcome back = Scan({"restore", q}, v.root);
  EXPECT_EQ(0, back.status) << back.out;
  EXPECT_NE("", Read(v.specimens[0]));
}

}  // namespace

namespace {

// A Windows XP volume: the planted tree plus two profiles whose Run values
// start some specimens (by every spelling the dialog accepts), and clean ones.
struct XpVolume {
  Volume v;
  std::string alice, bob;
};

XpVolume PlantXp(const std::string& name) {
  XpVolume x{Plant(name), "", ""};
  x.alice = x.v.root + "/Documents and Settings/alice/NTUSER.DAT";
  x.bob = x.v.root + "/Documents and Settings/bob/NTUSER.DAT";
  EXPECT_EQ(0, system(("mkdir -p '" + x.v.root + "/Documents and Settings/bob'").c_str()));
  // Row 0 lives in WINDOWS/system32, row 1 in alice's Temp folder.
  EXPECT_TRUE(WriteProfileHive(x.alice,
                               {{"ctfmon", 1, "C:\\WINDOWS\\system32\\ctfmon.exe"},
                                {"Worm0", 1, "\"C:\\WINDOWS\\system32\\row 0.exe\" -s"},
                                {"Worm1", 2, "%TEMP%\\row 1.exe"},
                                {"Lookalike", 1, "C:\\WINDOWS\\system32\\row 00.exe"},
                                {"Argument", 1, "rundll32.exe C:\\WINDOWS\\system32\\row 0.exe"}},
                               {{"TEMP", 2, "%USERPROFILE%\\Local Settings\\Temp"}}));
  EXPECT_TRUE(WriteProfileHive(x.bob, {{"Worm0", 2, "%SystemRoot%/System32/ROW 0.EXE"}, {"Keep", 1, "notepad.exe"}},
                               {}));
  return x;
}

TEST(QuellixScan, RemoveCleansTheRunValuesOfEveryProfileAfterABackup) {
  XpVolume x = PlantXp("hives");
  std::string aliceBefore = Read(x.alice), bobBefore = Read(x.bob);
  std::string backup = x.v.root + "/../backup", json = x.v.root + "/../run.jsonl";
  Outcome run = Scan({"--remove", "--backup", backup, "--json", json, x.v.root}, x.v.root);
  EXPECT_EQ(1, run.status) << run.out << run.err;
  EXPECT_NE(std::string::npos, run.out.find("Run values deleted: 3 in 2 hive(s)")) << run.out;
  std::string alice = ReglookupOf(x.alice), bob = ReglookupOf(x.bob);
  ASSERT_NE("", alice);
  ASSERT_NE("", bob);
  EXPECT_EQ(std::string::npos, alice.find("/Run/Worm0,"));
  EXPECT_EQ(std::string::npos, alice.find("/Run/Worm1,"));
  EXPECT_EQ(std::string::npos, bob.find("/Run/Worm0,"));
  for (const char* kept : {"/Run/ctfmon,", "/Run/Lookalike,", "/Run/Argument,"}) EXPECT_NE(std::string::npos, alice.find(kept));
  EXPECT_NE(std::string::npos, bob.find("/Run/Keep,SZ,notepad.exe"));
  EXPECT_EQ(aliceBefore, Read(backup + "/1-alice-NTUSER.DAT") + Read(backup + "/2-alice-NTUSER.DAT"));
  EXPECT_EQ(bobBefore, Read(backup + "/1-bob-NTUSER.DAT") + Read(backup + "/2-bob-NTUSER.DAT"));
  std::string lines = Read(json);
  EXPECT_EQ(3u, Count(lines, "{\"type\":\"run_value\""));
  EXPECT_EQ(1u, Count(lines, "\"refers_to\":\"C:\\\\Documents and Settings\\\\alice\\\\Local Settings\\\\Temp\\\\row 1.exe\""));
}

TEST(QuellixScan, DetectionOnlyLeavesHivesAlone) {
  XpVolume x = PlantXp("hives-detect");
  std::string alice = Read(x.alice);
  Outcome run = Scan({"--quiet", x.v.root}, x.v.root);
  EXPECT_EQ(1, run.status);
  EXPECT_EQ(alice, Read(x.alice));
}

TEST(QuellixScan, HibernatedVolumeIsNotWritten) {
  for (const char* head : {"hibr", "HIBR"}) {
    XpVolume x = PlantXp("hibernated");
    Write(x.v.root + "/hiberfil.sys", std::vector<unsigned char>(head, head + 4));
    std::map<std::string, Snapshot> before, after;
    Take(x.v.root, &before);
    Outcome run = Scan({"--remove", x.v.root}, x.v.root);
    EXPECT_EQ(2, run.status) << head;
    EXPECT_NE(std::string::npos, run.err.find("hiberfil.sys holds a hibernated Windows")) << run.err;
    Take(x.v.root, &after);
    ASSERT_EQ(before.size(), after.size());
    for (const auto& [path, snap] : before) EXPECT_TRUE(Same(snap, after[path])) << path;
    // Listing writes nothing: allowed.
    EXPECT_EQ(1, Scan({x.v.root}, x.v.root).status);
  }
  XpVolume woken = PlantXp("woken");
  Write(woken.v.root + "/HIBERFIL.SYS", {'w', 'a', 'k', 'e'});
  EXPECT_EQ(1, Scan({"--remove", woken.v.root}, woken.v.root).status);
  // One that cannot be read (a FIFO, which not even root reads without a
  // writer) is no answer: nothing is written, and the reason is said.
  XpVolume unknown = PlantXp("hibernation-unknown");
  ASSERT_EQ(0, mkfifo((unknown.v.root + "/hiberfil.sys").c_str(), 0600));
  std::map<std::string, Snapshot> before, after;
  Take(unknown.v.root, &before);
  Outcome run = Scan({"--remove", unknown.v.root}, unknown.v.root);
  EXPECT_EQ(2, run.status);
  EXPECT_NE(std::string::npos, run.err.find("cannot tell whether " + unknown.v.root + " is on a hibernated Windows: " +
                                            unknown.v.root + "/hiberfil.sys: it is not a regular file"))
      << run.err;
  Take(unknown.v.root, &after);
  ASSERT_EQ(before.size(), after.size());
  for (const auto& [path, snap] : before) EXPECT_TRUE(Same(snap, after[path])) << path;
  EXPECT_EQ(1, Scan({unknown.v.root}, unknown.v.root).status);
}

// A worm named "App\app.exe" (one name, as Linux and a damaged NTFS allow)
// goes, but the Run value of the clean "App" folder's "app.exe" stays: no
// Windows path names a file whose name holds a backslash.
TEST(QuellixScan, ABackslashInANameIsNoSeparator) {
  XpVolume x = PlantXp("backslash");
  std::vector<unsigned char> bytes;
  ASSERT_TRUE(ForgeSpecimenForRow(BuiltInSignatures().rows[0], 41, &bytes));
  std::string worm = x.v.root + "/Program Files/App\\app.exe";
  Write(worm, bytes);
  Write(x.v.root + "/Program Files/App/app.exe", std::vector<unsigned char>(5000, 'a'));
  ASSERT_TRUE(WriteProfileHive(x.bob, {{"App", 1, "\"C:\\Program Files\\App\\app.exe\" /tray"}}, {}));
  Outcome run = Scan({"--remove", "--backup", x.v.root + "/../backup", x.v.root}, x.v.root);
  EXPECT_EQ(1, run.status) << run.out << run.err;
  EXPECT_NE(0, access(worm.c_str(), F_OK));
  EXPECT_NE(std::string::npos, ReglookupOf(x.bob).find("/Run/App,")) << run.out;
  // Its row shows the backslash escaped, never as a separator.
  EXPECT_NE(std::string::npos, run.out.find("/Program Files/App\\x5cx5capp.exe: ")) << run.out;
  EXPECT_EQ(std::string::npos, run.out.find("App\\app.exe")) << run.out;
}

TEST(QuellixScan, HiveWithAPendingLogIsRefusedOthersAreCleaned) {
  XpVolume x = PlantXp("pending");
  std::string bytes = Read(x.alice);
  StampHiveSequences(reinterpret_cast<unsigned char*>(&bytes[0]), 5, 4);
  Write(x.alice, std::vector<unsigned char>(bytes.begin(), bytes.end()));
  std::string json = x.v.root + "/../first.jsonl";
  Outcome run = Scan({"--remove", "--backup", x.v.root + "/../backup", "--json", json, x.v.root}, x.v.root);
  EXPECT_EQ(2, run.status);
  EXPECT_NE(std::string::npos, run.err.find("alice/NTUSER.DAT: Run values not cleaned: its transaction log is not applied"))
      << run.err;
  EXPECT_EQ(bytes, Read(x.alice));
  EXPECT_EQ(std::string::npos, ReglookupOf(x.bob).find("/Run/Worm0,"));
  struct stat st;
  EXPECT_NE(0, lstat(x.v.specimens[0].c_str(), &st)) << "files are still removed";

  // Once the log is applied (Windows does that at its next start), a run
  // given the first one's record finishes the clean it could not.
  StampHiveSequences(reinterpret_cast<unsigned char*>(&bytes[0]), 5, 5);
  Write(x.alice, std::vector<unsigned char>(bytes.begin(), bytes.end()));
  Outcome again = Scan({"--remove", x.v.root}, x.v.root);
  EXPECT_EQ(0, again.status) << again.err;
  EXPECT_NE(std::string::npos, ReglookupOf(x.alice).find("/Run/Worm0,")) << "without --finish nothing is known";
  Outcome finished = Scan({"--remove", "--finish", json, x.v.root}, x.v.root);
  EXPECT_EQ(0, finished.status) << finished.err;
  std::string started = Read(json).substr(Read(json).find("\"started\":\"") + 11, 20);
  EXPECT_NE(std::string::npos, finished.err.find("finishing the clean of the run started " + started)) << finished.err;
  std::string alice = ReglookupOf(x.alice);
  EXPECT_EQ(std::string::npos, alice.find("/Run/Worm0,")) << alice;
  EXPECT_EQ(std::string::npos, alice.find("/Run/Worm1,")) << alice;
  EXPECT_NE(std::string::npos, alice.find("/Run/ctfmon,")) << alice;
  EXPECT_NE(std::string::npos, finished.out.find("Run values deleted: 2 in 1 hive(s)")) << finished.out;
}

TEST(QuellixScan, ReadOnlyMountIsRefused) {
  std::string base = Fresh("readonly");
  std::string mountPoint = base + "/mnt";
  ASSERT_EQ(0, mkdir(mountPoint.c_str(), 0755));
  if (mount("tmpfs", mountPoint.c_str(), "tmpfs", 0, "size=16m") != 0) GTEST_SKIP() << "no mounting here";
  std::vector<unsigned char> bytes;
  ASSERT_TRUE(ForgeSpecimenForRow(BuiltInSignatures().rows[0], 5, &bytes));
  Write(mountPoint + "/WINDOWS/worm.exe", bytes);
  ASSERT_EQ(0, mount("tmpfs", mountPoint.c_str(), "tmpfs", MS_REMOUNT | MS_RDONLY, "size=16m"));
  Outcome run = Scan({"--remove", mountPoint}, base + "/run");
  EXPECT_EQ(2, run.status);
  EXPECT_NE(std::string::npos, run.err.find("refusing to write to " + mountPoint + ": it is on a read-only mount"));
  Outcome listed = Scan({mountPoint}, base + "/run");
  EXPECT_EQ(1, listed.status);
  EXPECT_EQ(0, umount(mountPoint.c_str()));
}

TEST(QuellixScan, Windows9xFilesGoRunValuesAreReportedNotCleaned) {
  std::string root = Fresh("win98") + "/c";
  std::vector<unsigned char> bytes;
  ASSERT_TRUE(ForgeSpecimenForRow(BuiltInSignatures().rows[0], 5, &bytes));
  Write(root + "/WINDOWS/SYSTEM/worm.exe", bytes);
  Write(root + "/WINDOWS/USER.DAT", {'C', 'R', 'E', 'G', 0, 0, 1, 0});
  Outcome run = Scan({"--remove", root}, root);
  EXPECT_EQ(2, run.status);
  EXPECT_NE(std::string::npos, run.out.find("worm.exe: Worm.Quellix.c (removed)"));
  EXPECT_NE(std::string::npos, run.err.find(root + "/WINDOWS: Run values not cleaned: holds Windows 9x")) << run.err;
}

TEST(QuellixScan, OtherDrivesMapThroughDriveOption) {
  XpVolume x = PlantXp("drives");
  std::string d = x.v.root + "/../d";
  std::vector<unsigned char> bytes;
  ASSERT_TRUE(ForgeSpecimenForRow(BuiltInSignatures().rows[2], 77, &bytes));
  Write(d + "/Tools/agent.exe", bytes);
  ASSERT_TRUE(WriteProfileHive(x.bob, {{"Agent", 1, "d:\\tools\\AGENT.EXE"}, {"Keep", 1, "notepad.exe"}}, {}));
  Outcome run = Scan({"--remove", "--backup", x.v.root + "/../backup", "--drive", "D=" + d, x.v.root, d}, x.v.root);
  EXPECT_EQ(1, run.status) << run.err;
  std::string bob = ReglookupOf(x.bob);
  EXPECT_EQ(std::string::npos, bob.find("/Run/Agent,"));
  EXPECT_NE(std::string::npos, bob.find("/Run/Keep,"));
  // Without the mapping, D's file has no Windows path: said, and status 2.
  ASSERT_TRUE(WriteProfileHive(x.bob, {{"Agent", 1, "d:\\tools\\AGENT.EXE"}}, {}));
  Write(d + "/Tools/agent.exe", bytes);
  Outcome unmapped = Scan({"--remove", "--backup", x.v.root + "/../backup2", x.v.root, d}, x.v.root);
  EXPECT_EQ(2, unmapped.status);
  EXPECT_NE(std::string::npos, unmapped.err.find("no drive letter holds it"));
  EXPECT_NE(std::string::npos, ReglookupOf(x.bob).find("/Run/Agent,"));
}

}  // namespace

namespace {

TEST(QuellixScan, SystemRootComesFromTheSoftwareHive) {
  // A system installed as D:\WINNT: the Run value names D:, and the volume
  // mounted here is the one the SOFTWARE hive calls home.
  std::string root = Fresh("software") + "/d";
  std::vector<unsigned char> bytes;
  ASSERT_TRUE(ForgeSpecimenForRow(BuiltInSignatures().rows[0], 5, &bytes));
  Write(root + "/WINNT/System32/worm.exe", bytes);
  EXPECT_EQ(0, system(("mkdir -p '" + root + "/WINNT/system32/config' '" + root + "/Documents and Settings/eve'").c_str()));
  ASSERT_TRUE(WriteTestHive(root + "/WINNT/system32/config/software",
                            {{{"Microsoft", "Windows NT", "CurrentVersion"}, {{"SystemRoot", 1, "D:\\WINNT"}}}}));
  std::string hive = root + "/Documents and Settings/eve/NTUSER.DAT";
  ASSERT_TRUE(WriteProfileHive(hive, {{"A", 2, "%windir%\\system32\\worm.exe"}, {"B", 1, "D:\\WINNT\\System32\\worm"},
                                      {"C", 1, "C:\\WINNT\\System32\\worm.exe"}},
                               {}));
  Outcome run = Scan({"--remove", "--backup", root + "/../backup", root}, root);
  EXPECT_EQ(1, run.status) << run.err;
  std::string after = ReglookupOf(hive);
  EXPECT_EQ(std::string::npos, after.find("/Run/A,"));
  EXPECT_EQ(std::string::npos, after.find("/Run/B,"));
  EXPECT_NE(std::string::npos, after.find("/Run/C,")) << "another drive's file of the same name";
}

// The machine's Run keys (the SOFTWARE hive) by the same rule as a
// profile's: a detection-only run shows what would go and changes nothing,
// a writing run deletes it after a backup; the clean value stays.
TEST(QuellixScan, TheSoftwareHivesRunValuesArePreviewedThenDeleted) {
  XpVolume x = PlantXp("machine");
  std::string software = x.v.root + "/WINDOWS/system32/config/Software";
  EXPECT_EQ(0, system(("mkdir -p '" + x.v.root + "/WINDOWS/system32/config'").c_str()));
  ASSERT_TRUE(WriteTestHive(software, {{{"Microsoft", "Windows", "CurrentVersion", "Run"},
                                        {{"SysWorm", 2, "%SystemRoot%\\system32\\row 0.exe"},
                                         {"Clean", 1, "C:\\WINDOWS\\system32\\notepad.exe"}}}}));
  std::string before = Read(software);
  std::string json = x.v.root + "/../look.jsonl";
  Outcome look = Scan({"--json", json, x.v.root}, x.v.root);
  EXPECT_EQ(1, look.status) << look.out << look.err;
  EXPECT_NE(std::string::npos, look.out.find("Software: Run value \"SysWorm\" would be deleted (")) << look.out;
  EXPECT_NE(std::string::npos, look.out.find("NTUSER.DAT: Run value \"Worm0\" would be deleted (")) << look.out;
  EXPECT_NE(std::string::npos, look.out.find("Run values a writing run would delete: 4")) << look.out;
  EXPECT_EQ(4u, Count(Read(json), "\"action\":\"would_delete\""));
  EXPECT_EQ(0u, Count(Read(json), "\"action\":\"deleted\""));
  EXPECT_EQ(before, Read(software));

  std::string backup = x.v.root + "/../backup";
  Outcome run = Scan({"--remove", "--backup", backup, x.v.root}, x.v.root);
  EXPECT_EQ(1, run.status) << run.out << run.err;
  EXPECT_NE(std::string::npos, run.out.find("Run values deleted: 4 in 3 hive(s)")) << run.out;
  std::string after = ReglookupOf(software);
  ASSERT_NE("", after);
  EXPECT_EQ(std::string::npos, after.find("/Run/SysWorm,"));
  EXPECT_NE(std::string::npos, after.find("/Microsoft/Windows/CurrentVersion/Run/Clean,SZ,")) << after;
  EXPECT_EQ(before, Read(backup + "/3-system-SOFTWARE"));
}

TEST(QuellixScan, OtherFileSystemsOnlyWhenAsked) {
  Volume v = Plant("crossfs");
  std::string inner = v.root + "/mounted";
  ASSERT_EQ(0, mkdir(inner.c_str(), 0755));
  if (mount("tmpfs", inner.c_str(), "tmpfs", 0, "size=4m") != 0) GTEST_SKIP() << "no mounting here";
  std::vector<unsigned char> bytes;
  ASSERT_TRUE(ForgeSpecimenForRow(BuiltInSignatures().rows[4], 9, &bytes));
  Write(inner + "/inner.exe", bytes);
  Outcome stay = Scan({"--quiet", v.root}, v.root);
  EXPECT_EQ(std::string::npos, stay.out.find("inner.exe"));
  Outcome cross = Scan({"--quiet", "--cross-file-systems", v.root}, v.root);
  EXPECT_NE(std::string::npos, cross.out.find(inner + "/inner.exe: " + BuiltInSignatures().rows[4].detectionName));
  EXPECT_EQ(Count(stay.out, "(left in place)") + 1, Count(cross.out, "(left in place)"));
  EXPECT_EQ(0, umount(inner.c_str()));
}

}  // namespace

namespace {

TEST(QuellixScan, QuarantineInsideTheScannedTreeIsNotWalked) {
  Volume v = Plant("quarantine-inside");
  std::string q = v.root + "/quarantine";
  Outcome first = Scan({"--quarantine", q, v.root}, v.root);
  EXPECT_EQ(1, first.status) << first.err;
  // The copies are detections by design; a second run must not touch them.
  Outcome second = Scan({"--quarantine", q, v.root}, v.root);
  EXPECT_EQ(0, second.status) << second.out << second.err;
  EXPECT_EQ(v.specimens.size(), Count(Read(q + "/manifest.jsonl"), "\n"));
  EXPECT_EQ(0, Scan({"restore", q}, v.root).status);
}

}  // namespace

namespace {

TEST(QuellixScan, QuarantinedCopiesAreNoDetectionsForALaterRun) {
  Volume v = Plant("quarantine-later");
  std::string q = v.root + "/quarantine";
  ASSERT_EQ(1, Scan({"--quarantine", q, v.root}, v.root).status);
  std::string manifest = Read(q + "/manifest.jsonl");
  // A later run that is not told of the quarantine walks it and removes nothing there.
  Outcome later = Scan({"--remove", v.root}, v.root);
  EXPECT_EQ(0, later.status) << later.out << later.err;
  // Restored beneath another root: the volume mounted elsewhere.
  std::string elsewhere = v.root + "/../elsewhere";
  EXPECT_EQ(0, system(("cp -a '" + v.root + "' '" + elsewhere + "'").c_str()));
  Outcome moved = Scan({"restore", "--to", elsewhere, q}, v.root);
  EXPECT_EQ(0, moved.status) << moved.out;
  for (size_t i = 0; i < v.specimens.size(); ++i) {
    std::string there = Read(elsewhere + v.specimens[i].substr(v.root.size()));
    EXPECT_NE("", there);
    EXPECT_EQ(std::string::npos, there.find("QUELLIX-COPY")) << "the content, not the copy";
  }
  // Each entry goes back once.
  Outcome again = Scan({"restore", q}, v.root);
  EXPECT_EQ(0, again.status);
  EXPECT_EQ(v.specimens.size(), Count(again.out, "already restored"));
}

TEST(QuellixScan, OutputFilesAreNewAndNoLinkIsFollowed) {
  Volume v = Plant("outputs");
  std::string precious = v.root + "/../precious";
  Write(precious, {'k', 'e', 'e', 'p'});
  std::string json = v.root + "/../run.jsonl";
  ASSERT_EQ(0, symlink(precious.c_str(), json.c_str()));
  Outcome linked = Scan({"--json", json, v.root}, v.root);
  EXPECT_EQ(2, linked.status);
  EXPECT_EQ("keep", Read(precious));
  Outcome existing = Scan({"--json", precious, v.root}, v.root);
  EXPECT_EQ(2, existing.status);
  EXPECT_EQ("keep", Read(precious));
  // A quarantine folder that is a link is not used.
  std::string target = v.root + "/../target";
  ASSERT_EQ(0, mkdir(target.c_str(), 0700));
  ASSERT_EQ(0, symlink(target.c_str(), (v.root + "/../qlink").c_str()));
  Outcome q = Scan({"--quarantine", v.root + "/../qlink", v.root}, v.root);
  EXPECT_EQ(2, q.status);
  EXPECT_EQ("", Read(target + "/manifest.jsonl"));
  for (const std::string& s : v.specimens) EXPECT_NE("", Read(s)) << s;
}

// The administrator's options on a planted volume: --json - owns standard
// output, --log appends and refuses a link, --exclude leaves a tree out,
// --files-from -0 reads standard input, an empty folder is no clean disk.
TEST(QuellixScan, AdministratorsOptionsEndToEnd) {
  Volume v = Plant("admin");
  Outcome json = Scan({"-qj", "-", v.root}, v.root);
  EXPECT_EQ(1, json.status) << json.err;
  size_t lines = 0;
  for (size_t at = 0; at < json.out.size(); at = json.out.find('\n', at) + 1, ++lines)
    EXPECT_EQ('{', json.out[at]) << json.out.substr(at, 80);
  EXPECT_EQ(0u, json.out.find("{\"type\":\"run\",\"tool\":\"quellix-scan\",\"version\":\""));
  EXPECT_NE(std::string::npos, json.out.find("\"command_line\":\"" QX_SCAN_PROGRAM " -qj - "));
  EXPECT_NE(std::string::npos, json.err.find("Detections: " + std::to_string(v.specimens.size())));
  EXPECT_EQ(v.specimens.size() + 4, lines);  // run, root, walk, the rows, the totals

  std::string log = v.root + "/../scan.log";
  Outcome first = Scan({"-q", "--log", log, "--exclude", "WINDOWS/*", v.root}, v.root);
  Outcome second = Scan({"-ql", log, v.root}, v.root);
  EXPECT_EQ(1, first.status);
  EXPECT_EQ(1, second.status);
  std::string text = Read(log);
  EXPECT_EQ(2u, Count(text, "==== "));
  EXPECT_EQ(2u, Count(text, "Exit status: 1\n"));
  // The first run left WINDOWS/ out; the second listed it.
  EXPECT_EQ(std::string::npos, first.out.find("/WINDOWS/system32/row ")) << first.out;
  EXPECT_NE(std::string::npos, first.out.find("Excluded: ")) << first.out;
  EXPECT_NE(std::string::npos, second.out.find("/WINDOWS/system32/row ")) << second.out;
  EXPECT_EQ(0u, text.find("==== ")) << text;
  // Rows reach the log as they happen; people get them sorted at the end:
  // every line shown is in the log.
  std::string shown = first.out.substr(0, first.out.find("Time: "));
  for (size_t at = 0, end; (end = shown.find('\n', at)) != std::string::npos; at = end + 1)
    EXPECT_NE(std::string::npos, text.find(shown.substr(at, end - at + 1))) << shown.substr(at, end - at);
  std::string precious = v.root + "/../precious.log";
  Write(precious, {'k', 'e', 'e', 'p'});
  ASSERT_EQ(0, symlink(precious.c_str(), (v.root + "/../linked.log").c_str()));
  Outcome linked = Scan({"-l", v.root + "/../linked.log", v.root}, v.root);
  EXPECT_EQ(2, linked.status);
  EXPECT_NE(std::string::npos, linked.err.find("symbolic link")) << linked.err;
  EXPECT_EQ("keep", Read(precious));
  // Nor through a hard link, nor to a file of another user's (as one left in
  // a world-writable folder would be).
  ASSERT_EQ(0, link(precious.c_str(), (v.root + "/../hard.log").c_str()));
  Outcome hard = Scan({"-l", v.root + "/../hard.log", v.root}, v.root);
  EXPECT_EQ(2, hard.status);
  EXPECT_NE(std::string::npos, hard.err.find("it has 2 links")) << hard.err;
  EXPECT_EQ("keep", Read(precious));
  if (geteuid() == 0) {
    std::string theirs = v.root + "/../theirs.log";
    Write(theirs, {'k', 'e', 'e', 'p'});
    ASSERT_EQ(0, chown(theirs.c_str(), 65534, 65534));
    Outcome other = Scan({"-l", theirs, v.root}, v.root);
    EXPECT_EQ(2, other.status);
    EXPECT_NE(std::string::npos, other.err.find("belongs to user 65534")) << other.err;
    EXPECT_EQ("keep", Read(theirs));
  }

  // Two specimens named on standard input, NUL-separated.
  std::string out = v.root + "/../list.jsonl";
  std::string command = "printf '%s\\0%s\\0' '" + v.specimens[0] + "' '" + v.specimens[1] + "' | " +
                        QX_SCAN_PROGRAM + " -q --files-from - -0 --json - > '" + out + "' 2>/dev/null";
  int status = system(command.c_str());
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(1, WEXITSTATUS(status));
  std::string listed = Read(out);
  EXPECT_EQ(2u, Count(listed, "{\"type\":\"root\"")) << listed;
  EXPECT_EQ(2u, Count(listed, "{\"type\":\"detection\"")) << listed;
  EXPECT_NE(std::string::npos, listed.find("\"files\":2,")) << listed;

  std::string empty = Fresh("admin-empty");
  Outcome nothing = Scan({"-q", empty}, v.root + "-empty-run");
  EXPECT_EQ(2, nothing.status);
  EXPECT_NE(std::string::npos, nothing.out.find("Nothing was examined")) << nothing.out;
}

TEST(QuellixScan, LongRowsReachTheJsonFile) {
  std::string root = Fresh("long-rows") + "/v";
  std::string dir = root;
  for (int i = 0; i < 12; ++i) dir += "/" + std::string(200, '\xff');
  std::vector<unsigned char> bytes;
  ASSERT_TRUE(ForgeSpecimenForRow(BuiltInSignatures().rows[0], 5, &bytes));
  Write(dir + "/worm.exe", bytes);
  std::string json = root + "/../rows.jsonl";
  Outcome run = Scan({"--json", json, root}, root);
  EXPECT_EQ(1, run.status) << run.err;
  std::string lines = Read(json);
  EXPECT_EQ(1u, Count(lines, "{\"type\":\"detection\"")) << lines.size();
  EXPECT_GT(lines.size(), 8192u);
  EXPECT_EQ(0, system(("rm -rf '" + root.substr(0, root.rfind('/')) + "'").c_str()));
}

TEST(QuellixScan, TwinHibernationFilesAndLinkedProfilesAreNotPassedOver) {
  XpVolume x = PlantXp("twins");
  Write(x.v.root + "/hiberfil.sys", {'w', 'a', 'k', 'e'});
  Write(x.v.root + "/HIBERFIL.SYS", {'H', 'I', 'B', 'R'});
  std::string alice = Read(x.alice);
  Outcome run = Scan({"--remove", x.v.root}, x.v.root);
  EXPECT_EQ(2, run.status);
  EXPECT_NE(std::string::npos, run.err.find("HIBERFIL.SYS holds a hibernated Windows")) << run.err;
  EXPECT_EQ(alice, Read(x.alice));

  XpVolume y = PlantXp("linked-profile");
  std::string outsideProfile = y.v.root + "/../carol";
  ASSERT_EQ(0, mkdir(outsideProfile.c_str(), 0755));
  ASSERT_TRUE(WriteProfileHive(outsideProfile + "/NTUSER.DAT", {{"Worm0", 1, "C:\\WINDOWS\\system32\\row 0.exe"}}, {}));
  ASSERT_EQ(0, symlink(outsideProfile.c_str(), (y.v.root + "/Documents and Settings/carol").c_str()));
  std::string carol = Read(outsideProfile + "/NTUSER.DAT");
  Outcome linked = Scan({"--remove", "--backup", y.v.root + "/../backup", y.v.root}, y.v.root);
  EXPECT_EQ(2, linked.status);
  EXPECT_NE(std::string::npos, linked.err.find("carol/NTUSER.DAT: Run values not cleaned: its profile folder is a symbolic link")) << linked.err;
  EXPECT_EQ(carol, Read(outsideProfile + "/NTUSER.DAT"));
  EXPECT_EQ(std::string::npos, ReglookupOf(y.alice).find("/Run/Worm0,")) << "the others are cleaned";
}

}  // namespace

// ---- signature lists (--signatures) ----

// A harmless file of a size no built-in row has, and what measuring it prints.
struct ListedFile {
  std::string root, file, decoy, list;
  std::vector<unsigned char> bytes;
};

ListedFile PlantListed(const std::string& name) {
  ListedFile l;
  std::string base = Fresh(name);
  l.root = base + "/volume";
  l.file = l.root + "/Program Files/tool/harmless.bin";
  l.decoy = l.root + "/harmless twin.bin";
  l.list = base + "/lists/site.list";
  for (uint32_t i = 0; i < 5001; ++i) l.bytes.push_back(static_cast<unsigned char>(i * 7 + (i >> 5)));
  Write(l.file, l.bytes);
  std::vector<unsigned char> twin = l.bytes;
  twin[4000] ^= 1;
  Write(l.decoy, twin);
  return l;
}

std::string Measured(const std::string& name, const std::string& file) {
  std::string command = std::string(QX_FINGERPRINT_PROGRAM) + " --list " + name + " '" + file + "'";
  FILE* pipe = popen(command.c_str(), "r");
  std::string line;
  char buffer[256];
  while (pipe && fgets(buffer, sizeof buffer, pipe)) line += buffer;
  if (pipe) EXPECT_EQ(0, pclose(pipe)) << command;
  return line;
}

void WriteList(const std::string& path, const std::string& text, mode_t mode = 0644) {
  Write(path, std::vector<unsigned char>(text.begin(), text.end()));
  ASSERT_EQ(0, chmod(path.c_str(), mode));
}

TEST(QuellixScan, AListRowFindsQuarantinesAndRestoresWithoutARebuild) {
  struct Case {
    const char* what;
    const char* name;
    int hashRow;
  } cases[] = {{"a row measured by fingerprint --list", "Test.Harmless.a", 0},
               {"a SHA-256 row", "Test.Harmless.h", 1}};
  for (const Case& c : cases) {
    ListedFile l = PlantListed(std::string("listed-") + (c.hashRow ? "hash" : "row"));
    std::string bytes(l.bytes.begin(), l.bytes.end());
    std::string row = c.hashRow ? Sha256OfBytes(bytes) + ":5001:" + c.name + "\n" : Measured(c.name, l.file);
    ASSERT_EQ(0u, row.find(c.hashRow ? Sha256OfBytes(bytes) : std::string(c.name) + "\t5001\t0x")) << row;
    std::string text = "# measured on the lab's machine\n\n" + row;
    WriteList(l.list, text);

    Outcome before = Scan({"--quiet", l.root}, l.root);
    EXPECT_EQ(0, before.status) << c.what << before.out;

    std::string q = l.root + "/../quarantine", json = l.root + "/../run.jsonl";
    EXPECT_EQ(0, system(("mkdir -p '" + l.root + "/WINDOWS'").c_str()));
    Outcome run = Scan({"--quiet", "--signatures", l.list, "--quarantine", q, "--json", json, l.root}, l.root);
    EXPECT_EQ(1, run.status) << c.what << run.err;
    EXPECT_NE(std::string::npos, run.out.find(l.file + ": " + c.name + " (quarantined)\n")) << run.out;
    EXPECT_EQ(1u, Count(run.out, "(quarantined)")) << c.what << ": the twin of one changed byte stays";
    struct stat st;
    EXPECT_NE(0, lstat(l.file.c_str(), &st)) << c.what;
    EXPECT_EQ(0, lstat(l.decoy.c_str(), &st)) << c.what;
    std::string records = Read(json);
    EXPECT_NE(std::string::npos, records.find("\"signature_lists\":1")) << records;
    EXPECT_NE(std::string::npos, records.find("{\"type\":\"signature_list\",\"path\":\"" + l.list + "\",\"sha256\":\"" +
                                              Sha256OfBytes(text) + "\",\"rows\":1}"))
        << records;

    Outcome version = Scan({"-V", "--signatures", l.list}, l.root);
    EXPECT_EQ(0, version.status) << version.err;
    EXPECT_NE(std::string::npos, version.out.find("built-in signatures: " +
                                                  std::to_string(BuiltInSignatures().count) + " rows, version "));
    EXPECT_NE(std::string::npos,
              version.out.find("signature list " + l.list + ": 1 rows, SHA-256 " + Sha256OfBytes(text) + "\n"))
        << version.out;

    Outcome back = Scan({"restore", q}, l.root);
    EXPECT_EQ(0, back.status) << c.what << back.out << back.err;
    EXPECT_EQ(bytes, Read(l.file)) << c.what;
  }
}

// A list that cannot be trusted or read whole: refused with its reason,
// exit 64, nothing scanned (the specimen a good list would find stays).
TEST(QuellixScan, AListThatCannotBeTrustedIsRefusedAndNothingIsScanned) {
  ListedFile l = PlantListed("refused-lists");
  const std::string row = Measured("Test.Harmless.a", l.file);
  const std::string other = "Test.Other 77 0x00000001 0x00000002\n";
  struct Case {
    const char* what;
    std::string text;
    mode_t mode;
    int make;  // 0 a file, 1 a link to a good list, 2 a FIFO, 3 a file of another owner
    std::string reason;
  } cases[] = {
      {"group may write", row, 0664, 0, "site.list: others may write it (mode 0664)"},
      {"anyone may write", row, 0646, 0, "site.list: others may write it (mode 0646)"},
      {"a bad line", other + "Test.Bad 77 0x1 0x2\n" + row, 0644, 0,
       "site.list:2: the weighted sum is not 0x and 8 hexadecimal digits"},
      {"a duplicate", row + "# again\n" + row, 0644, 0, "site.list:3: the same size and sums as " + l.list + ":1"},
      {"a name too long", "Test.Harmless.and.longer.a 1 0x00000001 0x00000002\n", 0644, 0,
       "site.list:1: the detection name is longer than 24 characters"},
      {"an empty list", "# nothing yet\n", 0644, 0, "site.list: it holds no row"},
      {"a symbolic link", row, 0644, 1, "site.list: it is a symbolic link"},
      {"a FIFO", "", 0644, 2, "site.list: it is not a regular file"},
      {"another owner", row, 0644, 3, "site.list: it is owned by another user (uid 4242)"},
  };
  for (const Case& c : cases) {
    unlink(l.list.c_str());
    if (c.make == 3 && geteuid() != 0) continue;  // only root can give a file away
    if (c.make == 1) {
      WriteList(l.list + ".real", c.text, c.mode);
      ASSERT_EQ(0, symlink((l.list + ".real").c_str(), l.list.c_str()));
    } else if (c.make == 2) {
      ASSERT_EQ(0, mkfifo(l.list.c_str(), 0600));
    } else {
      WriteList(l.list, c.text, c.mode);
      if (c.make == 3) ASSERT_EQ(0, chown(l.list.c_str(), 4242, 4242));
    }
    std::string q = l.root + "/../quarantine";
    // A good list named first does not carry a bad one after it.
    WriteList(l.list + ".good", other);
    Outcome run = Scan({"--quarantine", q, "--signatures", l.list + ".good", "--signatures", l.list, l.root}, l.root);
    EXPECT_EQ(64, run.status) << c.what;
    EXPECT_NE(std::string::npos, run.err.find("refusing the signature list " + l.list.substr(0, l.list.rfind('/') + 1) +
                                              c.reason))
        << c.what << ": " << run.err;
    EXPECT_NE(std::string::npos, run.err.find("Nothing was scanned.")) << c.what;
    EXPECT_EQ("", run.out) << c.what;
    struct stat st;
    EXPECT_EQ(0, lstat(l.file.c_str(), &st)) << c.what;
    EXPECT_NE(0, lstat(q.c_str(), &st)) << c.what << ": no quarantine was even made";
  }
}

namespace {

// The wait status of `pid`, which must end within `seconds`: one still
// running then is killed, and the hang fails the test.
int WaitWithin(pid_t pid, int seconds, const std::string& what) {
  int status = 0;
  for (int tick = 0; tick < seconds * 100; ++tick) {
    if (waitpid(pid, &status, WNOHANG) == pid) return status;
    usleep(10000);
  }
  kill(pid, SIGKILL);
  waitpid(pid, &status, 0);
  ADD_FAILURE() << what << ": still running after " << seconds << " s";
  return -1;
}

// 1 once `pid` has a handler for `number` (its /proc status says so).
bool Catches(pid_t pid, int number) {
  for (int tick = 0; tick < 3000; ++tick) {
    std::string status = Read("/proc/" + std::to_string(pid) + "/status");
    size_t at = status.find("SigCgt:");
    if (at != std::string::npos && (std::stoull(status.substr(at + 7), nullptr, 16) >> (number - 1)) & 1) return true;
    usleep(10000);
  }
  return false;
}

// A signal in the middle of a run (the PATHs still to come on standard
// input): the scan stops, the summary, the JSON and the log are written
// whole, and the program then ends by that very signal, so that a shell's
// loop stops too. A signal ignored when the program started (nohup) stays
// ignored.
TEST(QuellixScan, ASignalStopsTheRunWhichThenEndsByIt) {
  Volume v = Plant("signals");
  for (int number : {SIGINT, SIGTERM, SIGHUP, 0}) {
    const int ignored = number == 0;
    const int sent = ignored ? SIGHUP : number;
    std::string where = v.root + "/../signal-" + std::to_string(number);
    int in[2];
    ASSERT_EQ(0, pipe2(in, O_CLOEXEC));
    // The child starts with the disposition given here, as from a shell.
    struct sigaction given, before;
    memset(&given, 0, sizeof given);
    given.sa_handler = ignored ? SIG_IGN : SIG_DFL;
    sigaction(sent, &given, &before);
    pid_t pid = StartProgram(QX_SCAN_PROGRAM, {"--files-from", "-", "--json", where + ".jsonl", "--log", where + ".log"},
                             where + ".out", where + ".err", in[0]);
    sigaction(sent, &before, nullptr);
    close(in[0]);
    ASSERT_GT(pid, 0);
    if (!ignored) {
      EXPECT_TRUE(Catches(pid, sent)) << number;
    } else {
      usleep(300000);
    }
    kill(pid, sent);
    // A hang-up or a termination request may come twice (the kernel's and
    // the shell's): the second one still lets the run finish its records.
    if (sent != SIGINT) {
      usleep(100000);
      kill(pid, sent);
    }
    std::string list = v.root + "\n";
    EXPECT_EQ(static_cast<ssize_t>(list.size()), write(in[1], list.data(), list.size()));
    close(in[1]);
    int status = WaitWithin(pid, 120, "after signal " + std::to_string(number));
    std::string json = Read(where + ".jsonl"), log = Read(where + ".log"), out = Read(where + ".out");
    if (ignored) {
      EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 1) << status;
      EXPECT_NE(std::string::npos, json.find("\"stopped\":0,")) << json;
      continue;
    }
    EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == number) << number << ": wait status " << status;
    EXPECT_NE(std::string::npos, out.find("Stopped: the rest was not examined")) << out;
    EXPECT_NE(std::string::npos, json.find("{\"type\":\"summary\",")) << json;
    EXPECT_NE(std::string::npos, json.find("\"stopped\":1,")) << json;
    EXPECT_NE(std::string::npos, json.find("\"exit_status\":2}\n")) << json;
    EXPECT_NE(std::string::npos, log.find("Exit status: 2\n")) << log;
    for (const std::string& s : v.specimens) EXPECT_NE("", Read(s)) << s;
  }
}

// Outputs must be regular files: a FIFO (with or without a reader) or a
// device given as --log, --json or --image is refused at once with the
// reason, exit 2, never waited on. --files-from is input and may be a FIFO.
TEST(QuellixScan, OutputsThatAreNoRegularFilesAreRefusedAtOnce) {
  std::string base = Fresh("fifo-outputs");
  Write(base + "/tree/clean.txt", {'c'});
  std::string fifo = base + "/fifo";
  ASSERT_EQ(0, mkfifo(fifo.c_str(), 0600));
  struct Case {
    std::vector<std::string> args;
    int reader;  // the test holds the FIFO open for reading
    std::string reason;
  } cases[] = {
      {{"--log", fifo, base + "/tree"}, 0, fifo + ": it is not a regular file"},
      {{"--log", fifo, base + "/tree"}, 1, fifo + ": it is not a regular file"},
      {{"--log", "/dev/null", base + "/tree"}, 0, "/dev/null: it is not a regular file"},
      {{"--json", fifo, base + "/tree"}, 1, fifo + ": it exists already"},
      {{"--image", fifo}, 0, fifo + ": it is not a regular file"},
      {{"--image", "/dev/null"}, 0, "/dev/null: it is not a regular file"},
  };
  for (const Case& c : cases) {
    OwnedFd reader(c.reader ? open(fifo.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC) : -1);
    pid_t pid = StartProgram(QX_SCAN_PROGRAM, c.args, base + "/run.out", base + "/run.err");
    int status = WaitWithin(pid, 60, c.args[0] + " " + c.args[1]);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 2) << c.args[0] << ": wait status " << status;
    std::string err = Read(base + "/run.err");
    EXPECT_NE(std::string::npos, err.find("quellix-scan: " + c.reason)) << c.args[0] << ": " << err;
  }
  // A FIFO given to --files-from is read once its writer comes.
  pid_t pid = StartProgram(QX_SCAN_PROGRAM, {"--files-from", fifo}, base + "/run.out", base + "/run.err");
  {
    OwnedFd writer(open(fifo.c_str(), O_WRONLY | O_CLOEXEC));
    std::string list = base + "/tree\n";
    EXPECT_EQ(static_cast<ssize_t>(list.size()), write(writer.get(), list.data(), list.size()));
  }
  int status = WaitWithin(pid, 60, "--files-from FIFO");
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status << Read(base + "/run.err");
  EXPECT_NE(std::string::npos, Read(base + "/run.out").find("Files examined: 1\n"));
}

// A PATH that is a disk image (by its name) or a block device is refused
// before anything is scanned, with what to do instead: scanned as one file
// it matched nothing and passed for clean. Other files stay scannable.
TEST(QuellixScan, APathThatIsADiskOrADiskImageIsRefused) {
  std::string base = Fresh("disk-paths");
  SignatureTable table = BuiltInSignatures();
  std::vector<unsigned char> specimen;
  ASSERT_TRUE(ForgeSpecimenForRow(table.rows[0], 7, &specimen));
  for (const char* name : {"/disk.img", "/pc17.QCOW2", "/usb.raw", "/tree/win.vhd"}) {
    std::string image = base + name;
    Write(image, specimen);
    Outcome run = Scan({"--json", base + "/run.jsonl", image}, base);
    EXPECT_EQ(2, run.status) << name;
    EXPECT_NE(std::string::npos, run.err.find("quellix-scan: " + image + ": its name says a disk image")) << run.err;
    EXPECT_NE(std::string::npos, run.err.find("scan it with --image")) << run.err;
    EXPECT_EQ(std::string::npos, run.out.find("Detections: 0")) << run.out;
    EXPECT_NE(std::string::npos, Read(base + "/run.jsonl").find("{\"type\":\"refused\"")) << name;
    unlink((base + "/run.jsonl").c_str());
  }
  // The folder holding one scans it as a file (the forged bytes are found);
  // so is a file of another name.
  EXPECT_EQ(1, Scan({base + "/tree"}, base).status);
  Write(base + "/single.exe", specimen);
  Outcome single = Scan({base + "/single.exe"}, base);
  EXPECT_EQ(1, single.status) << single.out << single.err;

  // A block device node: made here (root only), else one the system has.
  std::string device = base + "/disk0";
  struct stat st;
  if (mknod(device.c_str(), S_IFBLK | 0600, makedev(7, 0)) != 0) {
    device.clear();
    for (const char* node : {"/dev/loop0", "/dev/sda", "/dev/vda", "/dev/nvme0n1"})
      if (stat(node, &st) == 0 && S_ISBLK(st.st_mode) && device.empty()) device = node;
  }
  if (device.empty()) GTEST_SKIP() << "no block device node: mknod needs root, and /dev holds none known";
  Outcome run = Scan({device}, base);
  EXPECT_EQ(2, run.status);
  EXPECT_NE(std::string::npos, run.err.find("quellix-scan: " + device + ": it is a block device")) << run.err;
  EXPECT_NE(std::string::npos, run.err.find("mount its Windows volume")) << run.err;
  EXPECT_EQ(std::string::npos, run.out.find("Nothing was examined")) << run.out;
  // No device node stays in the build tree for cp -a or tar to copy.
  if (device.rfind(base, 0) == 0) EXPECT_EQ(0, unlink(device.c_str()));
}

}  // namespace
