// An NTFS volume mounted with ntfs-3g, listed from its MFT and folder by
// folder: the same rows and files, whatever the volume holds (hard links,
// compression, sparse and resident data, an attribute list, a 20 000-entry
// folder, a 30-level path, Unicode and backslash names, a file written
// through the mount a moment before); a specimen in a named stream is found
// only from the MFT, and removing it takes the stream alone. A volume the
// MFT cannot be read for is listed folder by folder and says so. The volume
// is bench/ntfs_volume.py's "parity" one, which the benchmark shares. Needs
// root, /dev/fuse, ntfs-3g, attr and python3; skipped without them.
#include <gtest/gtest.h>

#include <sys/wait.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <iterator>
#include <set>
#include <string>
#include <vector>

#include "cli/tests/start_program_posix.h"
#include "remedy/json_lines.h"

namespace {

std::string gBase, gImage;
std::vector<std::string> gExpected;  // paths below the root, streams as FILE:NAME
int gReady = 0;

int Sh(const std::string& command) { return std::system(command.c_str()); }

std::string Read(const std::string& path) { return ReadWholeFile(path); }

std::vector<std::string> Split(const std::string& text, char end) {
  std::vector<std::string> parts;
  for (size_t at = 0, stop; at < text.size(); at = stop + 1) {
    stop = text.find(end, at);
    if (stop == std::string::npos) stop = text.size();
    parts.push_back(text.substr(at, stop - at));
  }
  return parts;
}

std::string Field(const std::string& line, const char* key) {
  std::vector<char> value(8192);
  return FindJsonString(line.c_str(), key, value.data(), value.size()) ? std::string(value.data()) : "-";
}

int IsStream(const std::string& below) { return below.find(':') != std::string::npos; }

// One run: its rows as "path below the root | detection | action", sorted,
// its walk records' reasons and its summary's files.
struct Said {
  int status = -1;
  std::vector<std::string> rows;
  std::vector<std::string> walks;
  int64_t files = -1;
  std::string said;
};

Said Scan(const std::vector<std::string>& args, const std::string& root, const std::string& name) {
  std::string json = gBase + "/" + name + ".jsonl";
  std::vector<std::string> all = {"--quiet", "--json", json};
  all.insert(all.end(), args.begin(), args.end());
  all.push_back(root);
  Said run;
  pid_t pid = StartProgram(QX_SCAN_PROGRAM, all, gBase + "/" + name + ".out", gBase + "/" + name + ".err");
  int status = 0;
  waitpid(pid, &status, 0);
  run.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  run.said = Read(gBase + "/" + name + ".out") + Read(gBase + "/" + name + ".err");
  for (const std::string& line : Split(Read(json), '\n')) {
    std::string type = Field(line, "type");
    if (type == "detection") {
      std::string path = Field(line, "path");
      std::string below = path.compare(0, root.size() + 1, root + "/") == 0 ? path.substr(root.size() + 1)
                                                                             : "(elsewhere) " + path;
      run.rows.push_back(below + " | " + Field(line, "detection") + " | " + Field(line, "action"));
    } else if (type == "walk") {
      EXPECT_EQ(root, Field(line, "where")) << line;
      run.walks.push_back(Field(line, "reason"));
    } else if (type == "summary") {
      FindJsonNumber(line.c_str(), "files", &run.files);
    }
  }
  std::sort(run.rows.begin(), run.rows.end());
  return run;
}

// The rows' paths alone.
std::vector<std::string> Paths(const Said& run) {
  std::vector<std::string> paths;
  for (const std::string& row : run.rows) paths.push_back(row.substr(0, row.find(" | ")));
  return paths;
}

int StartsWith(const std::vector<std::string>& walks, const std::string& start) {
  return walks.size() == 1 && walks[0].compare(0, start.size(), start) == 0;
}

// An ntfs-3g mount of a copy of the parity volume, unmounted at the end.
struct Mount {
  std::string image, at;
  int mounted = 0;
  explicit Mount(const std::string& name) : image(gBase + "/" + name + ".raw"), at(gBase + "/" + name) {
    Sh("umount '" + at + "' 2>/dev/null");
    mounted = Sh("cp --sparse=always '" + gImage + "' '" + image + "' && mkdir -p '" + at + "' && ntfs-3g '" +
                 image + "' '" + at + "'") == 0;
  }
  ~Mount() {
    if (mounted) Sh("umount '" + at + "'");
  }
};

// Every file's SHA-256 below `root`, one "HASH  ./PATH" each, sorted.
std::set<std::string> Hashes(const std::string& root) {
  std::string list = gBase + "/hashes";
  Sh("cd '" + root + "' && find . -type f -print0 | xargs -0 sha256sum --zero > '" + list + "'");
  std::set<std::string> hashes;
  for (const std::string& line : Split(Read(list), '\0'))
    if (!line.empty()) hashes.insert(line);
  return hashes;
}

std::string Stream(const std::string& path, const char* name) {
  std::vector<char> value(65536);
  ssize_t got = getxattr(path.c_str(), name, value.data(), value.size());
  return got < 0 ? std::string("(none)") : std::string(value.data(), static_cast<size_t>(got));
}

class MftWalk : public testing::Test {
 protected:
  static void SetUpTestSuite() {
    if (geteuid() != 0 || Sh("command -v mkntfs ntfs-3g setfattr python3 >/dev/null") != 0 ||
        access("/dev/fuse", R_OK | W_OK) != 0)
      return;
    char cwd[4096];
    ASSERT_NE(nullptr, getcwd(cwd, sizeof cwd));
    gBase = std::string(cwd) + "/mft-walk";
    Sh("for m in '" + gBase + "'/*/; do umount \"$m\" 2>/dev/null; done");
    ASSERT_EQ(0, Sh("rm -rf '" + gBase + "' && mkdir -p '" + gBase + "'"));
    gImage = gBase + "/parity.raw";
    ASSERT_EQ(0, Sh("python3 '" QX_NTFS_VOLUME "' parity '" + gImage + "' '" QX_FORGE_PROGRAM "'"));
    for (const std::string& line : Split(Read(gImage + ".rows"), '\n'))
      if (!line.empty()) gExpected.push_back(line);
    std::sort(gExpected.begin(), gExpected.end());
    ASSERT_EQ(1, std::count_if(gExpected.begin(), gExpected.end(), IsStream));
    gReady = 1;
  }
  void SetUp() override {
    if (!gReady) GTEST_SKIP() << "needs root, /dev/fuse, ntfs-3g, attr and python3";
  }
};

TEST_F(MftWalk, TheMftAndTheFoldersGiveTheSameRowsAndOnlyTheMftReadsStreams) {
  Mount m("same");
  ASSERT_TRUE(m.mounted);
  // Written through the mount a moment before: the device must show it too.
  ASSERT_EQ(0, Sh("'" QX_FORGE_PROGRAM "' 4 '" + m.at + "/Big/written after mounting.exe' 21"));
  std::vector<std::string> expected = gExpected;
  expected.push_back("Big/written after mounting.exe");
  std::sort(expected.begin(), expected.end());
  Said mft = Scan({"--walk=mft"}, m.at, "mft");
  Said dirs = Scan({"--walk", "dirs"}, m.at, "dirs");
  Said automatic = Scan({}, m.at, "auto");
  EXPECT_EQ(1, mft.status) << mft.said;
  EXPECT_EQ(1, dirs.status) << dirs.said;
  EXPECT_TRUE(StartsWith(mft.walks, "listed from the MFT")) << testing::PrintToString(mft.walks);
  EXPECT_TRUE(StartsWith(automatic.walks, "listed from the MFT")) << testing::PrintToString(automatic.walks);
  EXPECT_TRUE(StartsWith(dirs.walks, "listed folder by folder")) << testing::PrintToString(dirs.walks);

  // What the two must agree on is itself right: every specimen by every
  // name it has; the decoys in the big folder and the stream beside it none.
  std::vector<std::string> files;
  std::copy_if(expected.begin(), expected.end(), std::back_inserter(files),
               [](const std::string& p) { return !IsStream(p); });
  EXPECT_EQ(files, Paths(dirs)) << testing::PrintToString(dirs.rows);
  EXPECT_EQ(expected, Paths(mft)) << testing::PrintToString(mft.rows);

  std::vector<std::string> fileRows;
  std::copy_if(mft.rows.begin(), mft.rows.end(), std::back_inserter(fileRows),
               [](const std::string& r) { return !IsStream(r.substr(0, r.find(" | "))); });
  EXPECT_EQ(dirs.rows, fileRows);
  // Each stream of a signature's size is examined as well: the specimen's
  // and the decoy beside it.
  EXPECT_EQ(dirs.files + 2, mft.files);
  EXPECT_LT(20000, dirs.files);
  EXPECT_EQ(mft.rows, automatic.rows);
  EXPECT_EQ(mft.files, automatic.files);

  // A file named as PATH is read from the MFT as well, streams and all.
  std::string carrier = m.at + "/Streams/readme.txt";
  Said one = Scan({}, carrier, "one");
  EXPECT_EQ(1, one.status) << one.said;
  EXPECT_TRUE(StartsWith(one.walks, "listed from the MFT")) << testing::PrintToString(one.walks);
  ASSERT_EQ(1u, one.rows.size()) << testing::PrintToString(one.rows);
  EXPECT_EQ(0u, one.rows[0].find("(elsewhere) " + carrier + ":payload | ")) << one.rows[0];
}

TEST_F(MftWalk, RemovingAStreamSpecimenTakesTheStreamAndLeavesEveryCleanByte) {
  Mount m("remove");
  ASSERT_TRUE(m.mounted);
  std::string carrier = m.at + "/Streams/readme.txt";
  std::string notes = Stream(carrier, "user.notes");
  ASSERT_TRUE(Stream(carrier, "user.payload") != "(none)" && notes != "(none)") << "the volume's two streams";
  std::set<std::string> before = Hashes(m.at);

  Said removed = Scan({"--remove", "--walk=mft"}, m.at, "remove");
  // 2: no Windows on the volume, so its Run values are not examined.
  EXPECT_EQ(2, removed.status) << removed.said;
  EXPECT_TRUE(StartsWith(removed.walks, "listed from the MFT")) << testing::PrintToString(removed.walks);
  EXPECT_EQ(gExpected, Paths(removed)) << testing::PrintToString(removed.rows);
  for (const std::string& row : removed.rows) EXPECT_NE(std::string::npos, row.find("| removed")) << row;

  EXPECT_EQ("(none)", Stream(carrier, "user.payload").substr(0, 6)) << "the specimen's stream is still there";
  EXPECT_TRUE(notes == Stream(carrier, "user.notes")) << "the decoy stream beside it changed";
  // Nothing changed, nothing new; what went is the specimens' files, each
  // name of the hard-linked one.
  std::set<std::string> after = Hashes(m.at);
  std::vector<std::string> gone, added;
  std::set_difference(before.begin(), before.end(), after.begin(), after.end(), std::back_inserter(gone));
  std::set_difference(after.begin(), after.end(), before.begin(), before.end(), std::back_inserter(added));
  EXPECT_TRUE(added.empty()) << testing::PrintToString(added);
  std::vector<std::string> gonePaths;
  for (const std::string& line : gone) gonePaths.push_back(line.substr(line.find("  ./") + 4));
  std::sort(gonePaths.begin(), gonePaths.end());
  std::vector<std::string> files;
  std::copy_if(gExpected.begin(), gExpected.end(), std::back_inserter(files),
               [](const std::string& p) { return !IsStream(p); });
  EXPECT_EQ(files, gonePaths);
  EXPECT_EQ(1, std::count_if(after.begin(), after.end(), [](const std::string& line) {
              return line.size() > 22 && line.compare(line.size() - 22, 22, "  ./Streams/readme.txt") == 0;
            })) << "the stream's file, its main data unchanged";
}

// The listing falls back to the folders, and says so, where the MFT is not
// the mount's to read: a plain folder, a mount whose image is gone. Where
// another volume lies at the mount's source path, nothing the mount shows
// may be missed.
TEST_F(MftWalk, WhereTheMftCannotBeReadTheFoldersAreListedAndSaySo) {
  std::string folder = gBase + "/plain";
  ASSERT_EQ(0, Sh("mkdir -p '" + folder + "/a' && '" QX_FORGE_PROGRAM "' 1 '" + folder + "/a/row 1.exe' 3"));
  Said plain = Scan({"--walk=mft"}, folder, "plain");
  EXPECT_EQ(1, plain.status) << plain.said;
  EXPECT_TRUE(StartsWith(plain.walks, "listed folder by folder")) << testing::PrintToString(plain.walks);
  EXPECT_EQ(std::vector<std::string>{"a/row 1.exe"}, Paths(plain));

  Mount gone("gone");
  ASSERT_TRUE(gone.mounted);
  Said dirs = Scan({"--walk=dirs"}, gone.at, "gone-dirs");
  ASSERT_EQ(0, Sh("mv '" + gone.image + "' '" + gone.image + ".moved'"));
  Said moved = Scan({}, gone.at, "gone-auto");
  Said asked = Scan({"--walk=mft"}, gone.at, "gone-mft");
  EXPECT_EQ(1, moved.status) << moved.said;
  EXPECT_TRUE(StartsWith(moved.walks, "listed folder by folder")) << testing::PrintToString(moved.walks);
  EXPECT_TRUE(StartsWith(asked.walks, "listed folder by folder")) << testing::PrintToString(asked.walks);
  EXPECT_EQ(dirs.rows, moved.rows);
  EXPECT_EQ(dirs.rows, asked.rows);
  EXPECT_EQ(dirs.files, moved.files);

  // An empty NTFS volume where the image was: its MFT is not the mount's.
  ASSERT_EQ(0, Sh("truncate -s 64M '" + gone.image + "' && mkntfs -F -Q -q '" + gone.image + "' >/dev/null 2>&1"));
  Said swapped = Scan({}, gone.at, "swapped");
  EXPECT_EQ(dirs.rows, swapped.rows) << testing::PrintToString(swapped.walks);
  EXPECT_EQ(dirs.files, swapped.files);
  ASSERT_EQ(0, Sh("mv '" + gone.image + ".moved' '" + gone.image + "'"));
}

}  // namespace
