// The quarantine's Linux file calls against real folders: a restore writes
// only beneath its root, through no link, never a setuid file, never from a
// copy that is no plain file of the recorded SHA-256; the manifest line is
// on the disk before the original goes; the key, the folders and the output
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
#include "remedy/json_lines.h"
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

// A quarantine folder over the real file calls, with this test's own key.
struct Folder {
  PosixQuarantineFolder folder;
  QuarantineFolderPort port;
  QuarantineStore store;
};

void UseKeyIn(const std::string& base) { setenv("QUELLIX_SCAN_KEY", (base + "/key/quarantine.key").c_str(), 1); }

int OpenToQuarantine(const std::string& q, Folder* f, std::string* why = nullptr) {
  char reason[kQuarantineReasonCapacity] = "";
  unsigned char key[kQuarantineKeySize];
  int missing = 0;
  int ok = LoadPosixQuarantineKey(1, key, &missing, reason, sizeof reason) &&
           OpenPosixQuarantineFolder(q.c_str(), &f->folder, &f->port, reason, sizeof reason);
  if (ok && !OpenQuarantineStore(f->port, key, &f->store, reason, sizeof reason)) {
    CloseQuarantineStore(&f->store);
    ClosePosixQuarantineFolder(&f->folder);
    ok = 0;
  }
  if (why) *why = reason;
  return ok;
}

void Close(Folder* f) {
  CloseQuarantineStore(&f->store);
  ClosePosixQuarantineFolder(&f->folder);
}

// The manifest line re-signed with this host's key, as if this host had
// written it: what the file calls then still refuse is theirs to refuse.
std::string Sign(const std::string& base, std::string line) {
  std::string key = Read(base + "/key/quarantine.key");
  size_t mac = line.rfind(",\"mac\":\"");
  EXPECT_NE(std::string::npos, mac);
  unsigned char digest[kSha256DigestSize];
  HmacSha256(reinterpret_cast<const unsigned char*>(key.data()), key.size(), line.data(), mac, digest);
  char hex[kSha256HexSize];
  Sha256Hex(digest, hex);
  return line.substr(0, mac) + ",\"mac\":\"" + hex + "\"}\n";
}

// A volume root with one file quarantined from "sub/worm.exe" (mode 0644).
struct Quarantined {
  std::string base, root, q, line, hex;
};

Quarantined QuarantineOne(const char* name) {
  Quarantined r;
  r.base = Fresh(name);
  UseKeyIn(r.base);
  r.root = r.base + "/volume";
  r.q = r.base + "/q";
  EXPECT_EQ(0, system(("mkdir -p '" + r.root + "/sub' '" + r.base + "/outside'").c_str()));
  std::string original = r.root + "/sub/worm.exe";
  Put(original, "worm bytes");
  chmod(original.c_str(), 0644);
  Folder f;
  std::string why;
  EXPECT_TRUE(OpenToQuarantine(r.q, &f, &why)) << why;
  const char* paths[] = {r.root.c_str()};
  QuarantineRoots roots;
  EXPECT_TRUE(ResolveQuarantineRoots(paths, 1, &roots));
  int dir = open((r.root + "/sub").c_str(), O_RDONLY | O_DIRECTORY);
  FileIdentity id{};
  EXPECT_TRUE(IdentityAt(dir, "worm.exe", &id));
  char reason[kQuarantineReasonCapacity] = "";
  EXPECT_EQ(kQuarantineDone, QuarantinePosixFile(&f.store, roots, dir, "worm.exe", original.c_str(), id, "Worm.Test",
                                                 reason, sizeof reason))
      << reason;
  close(dir);
  FreeQuarantineRoots(&roots);
  Close(&f);
  r.line = Read(r.q + "/manifest.jsonl");
  char hex[kSha256HexSize];
  EXPECT_TRUE(FindJsonString(r.line.c_str(), "sha256", hex, sizeof hex));
  r.hex = hex;
  EXPECT_FALSE(Exists(original));
  return r;
}

struct Restored {
  RestoreOutcome outcome;
  std::string path, why;
};

// Restores the first entry of `q` after its manifest is replaced by `line`.
Restored Restore(const Quarantined& r, const std::string& line, const char* to = nullptr, int force = 0) {
  Put(r.q + "/manifest.jsonl", line);
  Restored out{kRestoreFailed, "", ""};
  PosixQuarantineFolder folder;
  QuarantineFolderPort port;
  char why[kQuarantineReasonCapacity] = "";
  unsigned char key[kQuarantineKeySize];
  int missing = 0;
  int keyed = LoadPosixQuarantineKey(0, key, &missing, why, sizeof why);
  if (!OpenPosixQuarantineToRead(r.q.c_str(), &folder, &port, why, sizeof why)) {
    out.why = why;
    return out;
  }
  QuarantineStore store;
  PosixRestoreTarget target;
  RestoreTargetPort targetPort;
  PosixRestoreTargetPort(&target, &targetPort);
  static QuarantineRecord record;
  int readable = 0, restored = 0;
  if (OpenQuarantineForRestore(port, keyed ? key : nullptr, &store, why, sizeof why) &&
      NextQuarantineEntry(&store, &record, &readable, &restored)) {
    char shown[kQuarantineTextCapacity] = "";
    if (readable) {
      out.outcome = RestoreQuarantined(&store, record, RestoreRequest{to, nullptr, force}, targetPort, shown,
                                       sizeof shown, why, sizeof why);
    } else {
      snprintf(why, sizeof why, "%s", "unreadable");
    }
    out.path = shown;
  }
  out.why = why;
  CloseQuarantineStore(&store);
  EndPosixRestoreTarget(&target);
  ClosePosixQuarantineFolder(&folder);
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
      {"../outside/worm.exe", "unreadable"},
      {"sub/../../outside/worm.exe", "unreadable"},
      {"/tmp/worm.exe", "unreadable"},
      {"./worm.exe", "unreadable"},
      {"sub//worm.exe", "unreadable"},
      {"", "unreadable"},
      {"linked/worm.exe", "symbolic link"},
      {"real/../linked/worm.exe", "unreadable"},
  };
  for (const Row& row : rows) {
    std::string line = Sign(r.base, Replace(r.line, relative, "\"relative\":\"" + std::string(row.crafted) + "\""));
    for (int force = 0; force <= 1; ++force) {
      Restored got = Restore(r, line, nullptr, force);
      EXPECT_EQ(kRestoreFailed, got.outcome) << row.crafted;
      EXPECT_NE(std::string::npos, got.why.find(row.why)) << row.crafted << ": " << got.why;
    }
  }
  EXPECT_FALSE(Exists(r.base + "/outside/worm.exe"));
  EXPECT_FALSE(Exists("/tmp/worm.exe"));

  // --force never replaces a file through a linked folder either.
  Put(r.base + "/outside/victim", "keep me");
  std::string victim = Sign(r.base, Replace(r.line, relative, "\"relative\":\"linked/victim\""));
  EXPECT_EQ(kRestoreFailed, Restore(r, victim, nullptr, 1).outcome);
  EXPECT_EQ("keep me", Read(r.base + "/outside/victim"));

  // A root that is another folder than the one recorded by device and
  // inode is refused, even in a line this host wrote.
  std::string moved =
      Sign(r.base, Replace(r.line, "\"root\":\"" + r.root + "\"", "\"root\":\"" + r.base + "/outside\""));
  Restored other = Restore(r, moved);
  EXPECT_EQ(kRestoreFailed, other.outcome);
  EXPECT_NE(std::string::npos, other.why.find("not the folder it was")) << other.why;
  EXPECT_FALSE(Exists(r.base + "/outside/sub"));

  // Setuid, setgid and sticky never come back.
  std::string setuid = Sign(r.base, Replace(r.line, "\"mode\":\"0644\"", "\"mode\":\"7755\""));
  Restored done = Restore(r, setuid);
  ASSERT_EQ(kRestoreDone, done.outcome) << done.why;
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
  // No copy has the size of what it holds.
  EXPECT_EQ(std::string("worm bytes").size() + 16, saved.size());
  ASSERT_EQ(0, chmod(copy.c_str(), 0600));
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
}

int NoRenameNoReplace(int, const char*, int, const char*) {
  errno = EINVAL;
  return -1;
}

TEST(QuarantinePosix, WithoutRenameNoReplaceANewLinkPlacesTheFile) {
  Quarantined r = QuarantineOne("noreplace");
  gRenameNoReplaceForTests = NoRenameNoReplace;
  Restored done = Restore(r, r.line);
  EXPECT_EQ(kRestoreDone, done.outcome) << done.why;
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
}

TEST(QuarantinePosix, ASingleFileScannedHasItsFolderAsRoot) {
  std::string base = Fresh("single");
  UseKeyIn(base);
  Put(base + "/worm.exe", "worm bytes");
  char cwd[4096];
  ASSERT_NE(nullptr, getcwd(cwd, sizeof cwd));
  ASSERT_EQ(0, chdir(base.c_str()));
  Folder f;
  ASSERT_TRUE(OpenToQuarantine("q", &f));
  const char* paths[] = {"worm.exe"};
  QuarantineRoots roots;
  ASSERT_TRUE(ResolveQuarantineRoots(paths, 1, &roots));
  int dir = open(".", O_RDONLY | O_DIRECTORY);
  FileIdentity id{};
  ASSERT_TRUE(IdentityAt(dir, "worm.exe", &id));
  char why[kQuarantineReasonCapacity];
  EXPECT_EQ(kQuarantineDone,
            QuarantinePosixFile(&f.store, roots, dir, "worm.exe", "worm.exe", id, "Worm.Test", why, sizeof why));
  close(dir);
  FreeQuarantineRoots(&roots);
  Close(&f);
  ASSERT_EQ(0, chdir(cwd));
  std::string line = Read(base + "/q/manifest.jsonl");
  EXPECT_NE(std::string::npos, line.find("\"root\":\"" + base + "\"")) << line;
  EXPECT_NE(std::string::npos, line.find("\"relative\":\"worm.exe\"")) << line;
  Quarantined r{base, base, base + "/q", line, ""};
  EXPECT_EQ(kRestoreDone, Restore(r, line).outcome);
  EXPECT_EQ("worm bytes", Read(base + "/worm.exe"));
}

TEST(QuarantinePosix, TheKeyIsThisUsersAloneAndMadeOnce) {
  std::string base = Fresh("key");
  UseKeyIn(base);
  unsigned char key[kQuarantineKeySize], again[kQuarantineKeySize];
  char why[kQuarantineReasonCapacity] = "";
  int missing = 0;
  EXPECT_FALSE(LoadPosixQuarantineKey(0, key, &missing, why, sizeof why));
  EXPECT_EQ(1, missing) << "restore without a key proves nothing but goes on";
  ASSERT_TRUE(LoadPosixQuarantineKey(1, key, &missing, why, sizeof why)) << why;
  ASSERT_TRUE(LoadPosixQuarantineKey(1, again, &missing, why, sizeof why)) << why;
  EXPECT_EQ(0, memcmp(key, again, sizeof key)) << "made once, then read";
  std::string file = base + "/key/quarantine.key";
  struct stat st;
  ASSERT_EQ(0, stat(file.c_str(), &st));
  EXPECT_EQ(0600u, st.st_mode & 07777);
  // A key others may read, or a link in its place, is no key of ours.
  ASSERT_EQ(0, chmod(file.c_str(), 0644));
  EXPECT_FALSE(LoadPosixQuarantineKey(0, key, &missing, why, sizeof why));
  EXPECT_EQ(0, missing);
  ASSERT_EQ(0, rename(file.c_str(), (file + ".old").c_str()));
  ASSERT_EQ(0, chmod((file + ".old").c_str(), 0600));
  ASSERT_EQ(0, symlink((file + ".old").c_str(), file.c_str()));
  EXPECT_FALSE(LoadPosixQuarantineKey(1, key, &missing, why, sizeof why));
  EXPECT_EQ(0, missing);
}

TEST(QuarantinePosix, QuarantineAndOutputFilesAreTrusted) {
  std::string base = Fresh("trusted");
  UseKeyIn(base);
  Folder f;
  std::string why;
  ASSERT_EQ(0, mkdir((base + "/elsewhere").c_str(), 0700));
  ASSERT_EQ(0, symlink((base + "/elsewhere").c_str(), (base + "/link").c_str()));
  EXPECT_FALSE(OpenToQuarantine(base + "/link", &f));
  ASSERT_EQ(0, mkdir((base + "/shared").c_str(), 0777));
  chmod((base + "/shared").c_str(), 0777);
  EXPECT_FALSE(OpenToQuarantine(base + "/shared", &f, &why));
  EXPECT_EQ("others may write to it", why);
  // A folder to restore from that is not there is said to be missing.
  PosixQuarantineFolder reading;
  QuarantineFolderPort readPort;
  char missingWhy[kQuarantineReasonCapacity] = "";
  EXPECT_FALSE(OpenPosixQuarantineToRead((base + "/never").c_str(), &reading, &readPort, missingWhy,
                                         sizeof missingWhy));
  EXPECT_STREQ("there is no such folder: nothing was quarantined there", missingWhy);
  // Someone else's manifest is not appended to, marked or not; this tool's folder is.
  ASSERT_EQ(0, mkdir((base + "/foreign").c_str(), 0700));
  Put(base + "/foreign/manifest.jsonl", "{\"path\":\"/etc/passwd\"}\n");
  EXPECT_FALSE(OpenToQuarantine(base + "/foreign", &f));
  Put(base + "/foreign/.quellix-quarantine", "");
  EXPECT_FALSE(OpenToQuarantine(base + "/foreign", &f, &why));
  EXPECT_NE(std::string::npos, why.find("does not prove")) << why;
  EXPECT_EQ("{\"path\":\"/etc/passwd\"}\n", Read(base + "/foreign/manifest.jsonl"));
  ASSERT_TRUE(OpenToQuarantine(base + "/ours", &f));
  Close(&f);
  ASSERT_TRUE(OpenToQuarantine(base + "/ours", &f));
  Close(&f);

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
