// quellix-scan end to end on planted volumes: forged specimens of every
// published row, decoys, clean files, links that must not be followed;
// clean files byte for byte and time for time unchanged; every exit status.
#include <gtest/gtest.h>

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <map>
#include <string>
#include <vector>

#include "engine/signature_table.h"
#include "engine/testing/specimen_forge.h"

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
  if (!bytes.empty()) ASSERT_EQ(bytes.size(), fwrite(bytes.data(), 1, bytes.size(), f));
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
  pid_t pid = fork();
  if (pid == 0) {
    int out = open(outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    int err = open(errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    dup2(out, 1);
    dup2(err, 2);
    std::vector<char*> argv;
    argv.push_back(const_cast<char*>(QX_SCAN_PROGRAM));
    for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    execv(QX_SCAN_PROGRAM, argv.data());
    _exit(127);
  }
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
  for (size_t i = 0; i < v.specimens.size(); ++i)
    EXPECT_NE(std::string::npos, run.out.find(v.specimens[i] + ": " + v.names[i] + " (left in place)\n")) << run.out;
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
  Outcome run = Scan({"--remove", "--json", json, v.root}, v.root);
  EXPECT_EQ(1, run.status) << run.err;
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

TEST(QuellixScan, SomethingNotExaminedIsStatusTwo) {
  std::string root = Fresh("unexamined");
  std::string dir = root;
  for (int i = 0; i < 25; ++i) dir += "/" + std::string(200, 'n');
  EXPECT_EQ(0, system(("mkdir -p '" + dir + "'").c_str()));
  Outcome run = Scan({root}, root);
  EXPECT_EQ(2, run.status);
  EXPECT_NE(std::string::npos, run.err.find("File name too long"));
  EXPECT_NE(std::string::npos, run.out.find("Not examined: 1"));
  Outcome missing = Scan({root + "/no such dir"}, root);
  EXPECT_EQ(2, missing.status);
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
    EXPECT_EQ(before[v.specimens[i]].bytes, Read(q + "/" + sums[i]));
    EXPECT_NE(std::string::npos, manifest.find("\"detection\":\"" + v.names[i] + "\",\"sha256\":\"" + sums[i]));
  }

  // Back where they were: content, mode and modification time.
  Outcome back = Scan({"restore", q}, v.root);
  EXPECT_EQ(0, back.status) << back.out << back.err;
  EXPECT_EQ(v.specimens.size(), Count(back.out, ": restored\n"));
  for (const std::string& s : v.specimens) {
    struct stat st;
    ASSERT_EQ(0, lstat(s.c_str(), &st)) << s;
    EXPECT_EQ(before[s].bytes, Read(s));
    EXPECT_EQ(before[s].mode, st.st_mode);
    EXPECT_EQ(before[s].mtime.tv_sec, st.st_mtim.tv_sec);
    EXPECT_EQ(before[s].mtime.tv_nsec, st.st_mtim.tv_nsec);
  }

  // Again: every file is in its place; nothing is overwritten without --force.
  Write(v.specimens[0], {'n', 'e', 'w'});
  Outcome again = Scan({"restore", q}, v.root);
  EXPECT_EQ(2, again.status);
  EXPECT_EQ(v.specimens.size(), Count(again.out, "not restored: a file is in its place"));
  EXPECT_EQ("new", Read(v.specimens[0]));
  Outcome forced = Scan({"restore", "--force", q}, v.root);
  EXPECT_EQ(0, forced.status) << forced.out;
  EXPECT_EQ(before[v.specimens[0]].bytes, Read(v.specimens[0]));

  // A damaged copy is never put back.
  unlink(v.specimens[1].c_str());
  std::string copy = q + "/" + sums[1];
  chmod(copy.c_str(), 0600);
  Write(copy, {'x'});
  Outcome damaged = Scan({"restore", q}, v.root);
  EXPECT_EQ(2, damaged.status);
  EXPECT_NE(std::string::npos, damaged.out.find(v.specimens[1] + ": not restored: the quarantined copy does not have its recorded SHA-256"));
  struct stat st;
  EXPECT_NE(0, lstat(v.specimens[1].c_str(), &st));
}

}  // namespace
