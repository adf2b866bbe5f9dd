// Quarantine and restore against a crafted quarantine folder: a restore
// writes only beneath its root, through no link, never a setuid file, never
// from a copy that is no plain file of the recorded SHA-256; the manifest
// line is on the disk before the original goes; the folders and output
// files written are trusted ones.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>

#include "remedy/file_removal_posix.h"
#include "remedy/quarantine_posix.h"
#include "remedy/trusted_folder_posix.h"

namespace {

std::string Fresh(const char* name) {
  std::string dir = "/tmp/qx-quarantine-" + std::string(name) + "-" + std::to_string(getpid());
  EXPECT_EQ(0, system(("rm -rf '" + dir + "' && mkdir -p '" + dir + "'").c_str()));
  return dir;
}

std::string Read(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

void Put(const std::string& path, const std::string& text) { std::ofstream(path, std::ios::binary) << text; }

bool Exists(const std::string& path) {
  struct stat st;
  return lstat(path.c_str(), &st) == 0;
}

std::string Replace(std::string text, const std::string& from, const std::string& to) {
  size_t at = text.find(from);
  EXPECT_NE(std::string::npos, at) << from << " in " << text;
  if (at != std::string::npos) text.replace(at, from.size(), to);
  return text;
}

// A volume root with one file quarantined from "sub/worm.exe" (mode 0644):
// the manifest line that records it, and the quarantine folder's descriptor.
struct Quarantined {
  std::string base, root, q, line, hex;
  int qfd;
};

Quarantined QuarantineOne(const char* name) {
  Quarantined r;
  r.base = Fresh(name);
  r.root = r.base + "/volume";
  r.q = r.base + "/q";
  EXPECT_EQ(0, system(("mkdir -p '" + r.root + "/sub' '" + r.base + "/outside'").c_str()));
  std::string original = r.root + "/sub/worm.exe";
  Put(original, "worm bytes");
  chmod(original.c_str(), 0644);
  QuarantineStore store;
  const char* roots[] = {r.root.c_str()};
  const char* why = nullptr;
  EXPECT_TRUE(OpenQuarantine(r.q.c_str(), roots, 1, &store, &why)) << (why ? why : strerror(errno));
  int dir = open((r.root + "/sub").c_str(), O_RDONLY | O_DIRECTORY);
  FileIdentity id{};
  EXPECT_TRUE(IdentityAt(dir, "worm.exe", &id));
  char hex[kSha256HexSize];
  EXPECT_EQ(kQuarantineDone, QuarantineFile(&store, dir, "worm.exe", original.c_str(), id, "Worm.Test", hex));
  close(dir);
  CloseQuarantine(&store);
  r.hex = hex;
  r.line = Read(r.q + "/manifest.jsonl");
  r.qfd = open(r.q.c_str(), O_RDONLY | O_DIRECTORY);
  EXPECT_FALSE(Exists(original));
  return r;
}

struct Restored {
  RestoreOutcome outcome;
  std::string path, why;
};

Restored Restore(const Quarantined& r, const std::string& line, const char* to = nullptr, int force = 0) {
  char path[kQuarantinePathCapacity];
  const char* why = nullptr;
  Restored out;
  out.outcome = RestoreManifestLine(r.qfd, line.c_str(), RestoreRequest{to, force}, path, &why);
  out.path = path;
  out.why = why ? why : "";
  return out;
}

void RestoreWritesOnlyBeneathItsRoot(const char* name) {
  Quarantined r = QuarantineOne(name);
  ASSERT_EQ(0, symlink((r.base + "/outside").c_str(), (r.root + "/linked").c_str()));
  ASSERT_EQ(0, mkdir((r.root + "/real").c_str(), 0755));
  const std::string relative = "\"relative\":\"sub/worm.exe\"";
  struct Row {
    const char* crafted;  // the relative path the line is given
    const char* why;      // part of the refusal
  } rows[] = {
      {"../outside/worm.exe", "leave its root"},
      {"sub/../../outside/worm.exe", "leave its root"},
      {"/tmp/worm.exe", "leave its root"},
      {"./worm.exe", "leave its root"},
      {"sub//worm.exe", "leave its root"},
      {"", "leave its root"},
      {"linked/worm.exe", "symbolic link"},
      {"real/../linked/worm.exe", "leave its root"},
  };
  for (const Row& row : rows) {
    std::string line = Replace(r.line, relative, "\"relative\":\"" + std::string(row.crafted) + "\"");
    for (int force = 0; force <= 1; ++force) {
      Restored got = Restore(r, line, nullptr, force);
      EXPECT_EQ(kRestoreFailed, got.outcome) << row.crafted;
      EXPECT_NE(std::string::npos, got.why.find(row.why)) << row.crafted << ": " << got.why << strerror(errno);
    }
  }
  EXPECT_FALSE(Exists(r.base + "/outside/worm.exe"));
  EXPECT_FALSE(Exists("/tmp/worm.exe"));

  // --force never replaces a file through a linked folder either.
  Put(r.base + "/outside/victim", "keep me");
  std::string victim = Replace(r.line, relative, "\"relative\":\"linked/victim\"");
  EXPECT_EQ(kRestoreFailed, Restore(r, victim, nullptr, 1).outcome);
  EXPECT_EQ("keep me", Read(r.base + "/outside/victim"));

  // A line whose root is another folder than the one recorded by device
  // and inode is refused; a line without a root too.
  std::string moved = Replace(r.line, "\"root\":\"" + r.root + "\"", "\"root\":\"" + r.base + "/outside\"");
  Restored other = Restore(r, moved);
  EXPECT_EQ(kRestoreFailed, other.outcome);
  EXPECT_NE(std::string::npos, other.why.find("not the folder it was")) << other.why;
  std::string rootless = Replace(r.line, "\"root\":", "\"rooted\":");
  EXPECT_EQ(kRestoreFailed, Restore(r, rootless).outcome);
  EXPECT_FALSE(Exists(r.base + "/outside/sub"));

  // Setuid, setgid and sticky never come back.
  std::string setuid = Replace(r.line, "\"mode\":\"0644\"", "\"mode\":\"7755\"");
  Restored done = Restore(r, setuid);
  ASSERT_EQ(kRestoreDone, done.outcome) << done.why << strerror(errno);
  EXPECT_EQ(r.root + "/sub/worm.exe", done.path);
  struct stat st;
  ASSERT_EQ(0, stat(done.path.c_str(), &st));
  EXPECT_EQ(0755u, st.st_mode & 07777);
  EXPECT_EQ("worm bytes", Read(done.path));

  // --to: the same relative path beneath another root (the volume mounted elsewhere).
  std::string elsewhere = r.base + "/mounted-elsewhere";
  ASSERT_EQ(0, system(("mkdir -p '" + elsewhere + "/sub'").c_str()));
  Restored moved2 = Restore(r, r.line, elsewhere.c_str());
  EXPECT_EQ(kRestoreDone, moved2.outcome) << moved2.why;
  EXPECT_EQ("worm bytes", Read(elsewhere + "/sub/worm.exe"));
  close(r.qfd);
}

TEST(QuarantinePosix, RestoreWritesOnlyBeneathItsRoot) {
  RestoreWritesOnlyBeneathItsRoot("beneath");
  // The same where the kernel has no openat2: one folder at a time.
  gWithoutOpenat2ForTests = 1;
  RestoreWritesOnlyBeneathItsRoot("beneath-old-kernel");
  gWithoutOpenat2ForTests = 0;
}

TEST(QuarantinePosix, ACopyMustBeAPlainFileOfItsRecordedSizeAndHash) {
  Quarantined r = QuarantineOne("copies");
  std::string copy = r.q + "/" + r.hex;
  std::string saved = Read(copy);
  ASSERT_EQ(0, unlink(copy.c_str()));
  struct Row {
    const char* what;
    int (*make)(const std::string& path);
  } rows[] = {
      {"fifo", [](const std::string& p) { return mkfifo(p.c_str(), 0600); }},
      {"device", [](const std::string& p) { return mknod(p.c_str(), S_IFCHR | 0600, makedev(1, 5)); }},
      {"link to a device", [](const std::string& p) { return symlink("/dev/zero", p.c_str()); }},
      {"folder", [](const std::string& p) { return mkdir(p.c_str(), 0700); }},
  };
  for (const Row& row : rows) {
    ASSERT_EQ(0, row.make(copy)) << row.what;
    alarm(20);  // a read that blocks fails the test instead of hanging it
    Restored got = Restore(r, r.line);
    alarm(0);
    EXPECT_EQ(kRestoreBadCopy, got.outcome) << row.what;
    EXPECT_FALSE(Exists(r.root + "/sub/worm.exe")) << row.what;
    ASSERT_EQ(0, system(("rm -rf '" + copy + "'").c_str()));
  }
  // Longer than recorded, or other bytes of the same length.
  Put(copy, saved + "more");
  EXPECT_EQ(kRestoreBadCopy, Restore(r, r.line).outcome);
  std::string other = saved;
  other[other.size() - 1] ^= 1;
  Put(copy, other);
  EXPECT_EQ(kRestoreBadCopy, Restore(r, r.line).outcome);
  EXPECT_FALSE(Exists(r.root + "/sub/worm.exe"));
  Put(copy, saved);
  EXPECT_EQ(kRestoreDone, Restore(r, r.line).outcome);
  close(r.qfd);
}

int NoRenameNoReplace(int, const char*, int, const char*) {
  errno = EINVAL;
  return -1;
}

TEST(QuarantinePosix, WithoutRenameNoReplaceANewLinkPlacesTheFile) {
  Quarantined r = QuarantineOne("noreplace");
  gRenameNoReplaceForTests = NoRenameNoReplace;
  Restored done = Restore(r, r.line);
  EXPECT_EQ(kRestoreDone, done.outcome) << strerror(errno);
  EXPECT_EQ("worm bytes", Read(r.root + "/sub/worm.exe"));
  struct stat st;
  ASSERT_EQ(0, stat((r.root + "/sub/worm.exe").c_str(), &st));
  EXPECT_EQ(1u, st.st_nlink) << "the temporary name is gone";
  // Something there still wins.
  Put(r.root + "/sub/worm.exe", "new");
  EXPECT_EQ(kRestoreExists, Restore(r, r.line).outcome);
  EXPECT_EQ("new", Read(r.root + "/sub/worm.exe"));
  gRenameNoReplaceForTests = nullptr;
  EXPECT_EQ(kRestoreDone, Restore(r, r.line, nullptr, 1).outcome);
  EXPECT_EQ("worm bytes", Read(r.root + "/sub/worm.exe"));
  close(r.qfd);
}

TEST(QuarantinePosix, TheOriginalGoesOnlyOnceItsLineIsOnTheDisk) {
  std::string base = Fresh("writeahead");
  std::string root = base + "/volume";
  ASSERT_EQ(0, mkdir(root.c_str(), 0755));
  Put(root + "/worm.exe", "worm bytes");
  QuarantineStore store;
  const char* roots[] = {root.c_str()};
  const char* why = nullptr;
  ASSERT_TRUE(OpenQuarantine((base + "/q").c_str(), roots, 1, &store, &why));
  // A full disk under the manifest.
  int full = open("/dev/full", O_WRONLY | O_APPEND);
  ASSERT_GE(full, 0);
  close(store.manifestFd);
  store.manifestFd = full;
  int dir = open(root.c_str(), O_RDONLY | O_DIRECTORY);
  FileIdentity id{};
  ASSERT_TRUE(IdentityAt(dir, "worm.exe", &id));
  char hex[kSha256HexSize];
  EXPECT_EQ(kQuarantineFailed,
            QuarantineFile(&store, dir, "worm.exe", (root + "/worm.exe").c_str(), id, "Worm.Test", hex));
  EXPECT_EQ(ENOSPC, errno);
  EXPECT_EQ("worm bytes", Read(root + "/worm.exe"));
  EXPECT_STREQ("", hex);
  EXPECT_EQ(0, system(("test -z \"$(ls '" + base + "/q' | grep -v manifest.jsonl)\"").c_str())) << "no stray copy";
  close(dir);
  CloseQuarantine(&store);
}

TEST(QuarantinePosix, ASingleFileScannedHasItsFolderAsRoot) {
  std::string base = Fresh("single");
  Put(base + "/worm.exe", "worm bytes");
  char cwd[4096];
  ASSERT_NE(nullptr, getcwd(cwd, sizeof cwd));
  ASSERT_EQ(0, chdir(base.c_str()));
  QuarantineStore store;
  const char* roots[] = {"worm.exe"};
  const char* why = nullptr;
  ASSERT_TRUE(OpenQuarantine("q", roots, 1, &store, &why));
  int dir = open(".", O_RDONLY | O_DIRECTORY);
  FileIdentity id{};
  ASSERT_TRUE(IdentityAt(dir, "worm.exe", &id));
  char hex[kSha256HexSize];
  EXPECT_EQ(kQuarantineDone, QuarantineFile(&store, dir, "worm.exe", "worm.exe", id, "Worm.Test", hex));
  close(dir);
  CloseQuarantine(&store);
  ASSERT_EQ(0, chdir(cwd));
  std::string line = Read(base + "/q/manifest.jsonl");
  EXPECT_NE(std::string::npos, line.find("\"root\":\"" + base + "\"")) << line;
  EXPECT_NE(std::string::npos, line.find("\"relative\":\"worm.exe\"")) << line;
  Quarantined r{base, base, base + "/q", line, hex, open((base + "/q").c_str(), O_RDONLY | O_DIRECTORY)};
  EXPECT_EQ(kRestoreDone, Restore(r, line).outcome);
  EXPECT_EQ("worm bytes", Read(base + "/worm.exe"));
  close(r.qfd);
}

TEST(QuarantinePosix, QuarantineAndOutputFilesAreTrusted) {
  std::string base = Fresh("trusted");
  const char* why = nullptr;
  QuarantineStore store;
  ASSERT_EQ(0, mkdir((base + "/elsewhere").c_str(), 0700));
  ASSERT_EQ(0, symlink((base + "/elsewhere").c_str(), (base + "/link").c_str()));
  EXPECT_FALSE(OpenQuarantine((base + "/link").c_str(), nullptr, 0, &store, &why));
  ASSERT_EQ(0, mkdir((base + "/shared").c_str(), 0777));
  chmod((base + "/shared").c_str(), 0777);
  EXPECT_FALSE(OpenQuarantine((base + "/shared").c_str(), nullptr, 0, &store, &why));
  EXPECT_STREQ("others may write to it", why);
  // Someone else's manifest is not appended to; this tool's folder is.
  ASSERT_EQ(0, mkdir((base + "/foreign").c_str(), 0700));
  Put(base + "/foreign/manifest.jsonl", "{\"path\":\"/etc/passwd\"}\n");
  EXPECT_FALSE(OpenQuarantine((base + "/foreign").c_str(), nullptr, 0, &store, &why));
  EXPECT_EQ("{\"path\":\"/etc/passwd\"}\n", Read(base + "/foreign/manifest.jsonl"));
  ASSERT_TRUE(OpenQuarantine((base + "/ours").c_str(), nullptr, 0, &store, &why));
  CloseQuarantine(&store);
  ASSERT_TRUE(OpenQuarantine((base + "/ours").c_str(), nullptr, 0, &store, &why));
  CloseQuarantine(&store);

  // --json FILE: never through a link, never over a file that is there.
  Put(base + "/precious", "precious");
  ASSERT_EQ(0, symlink((base + "/precious").c_str(), (base + "/out.jsonl").c_str()));
  OwnedStream out;
  EXPECT_FALSE(OpenOutputStream((base + "/out.jsonl").c_str(), &out));
  EXPECT_FALSE(OpenOutputStream((base + "/precious").c_str(), &out));
  EXPECT_EQ("precious", Read(base + "/precious"));
  ASSERT_TRUE(OpenOutputStream((base + "/new.jsonl").c_str(), &out));
  fputs("{}\n", out.get());
  EXPECT_TRUE(out.close());
  EXPECT_EQ("{}\n", Read(base + "/new.jsonl"));
  EXPECT_TRUE(OpenOutputStream("-", &out));
}

}  // namespace
