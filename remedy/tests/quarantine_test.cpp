// The quarantine's rules through a folder held in memory: copies carry a
// header, lines carry this host's MAC, a line that is not proven goes back
// only where the person names, a folder that is not ours is not added to,
// a restore is recorded and not done twice, earlier lines still restore,
// and the original goes only once its line is written.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "remedy/quarantine.h"
#include "remedy/testing/memory_quarantine.h"

namespace {

const unsigned char* const kKey = kMemoryKey;
const unsigned char kOtherKey[kQuarantineKeySize] = {42};
using Target = MemoryTarget;
using Original = MemoryOriginal;

QuarantineOutcome Take(MemoryFolder* folder, const std::string& root, const std::string& relative,
                       const std::string& bytes, std::string* why = nullptr, Original* taken = nullptr) {
  return QuarantineIntoMemory(folder, root, relative, bytes, why, taken);
}

struct Row {
  std::string shown, why, id;
  RestoreOutcome outcome;
};

// Restores every entry (or lists them when `target` is null).
std::vector<Row> RestoreAll(MemoryFolder* folder, Target* target, RestoreRequest request = {},
                            const unsigned char* key = kKey, std::string* refusal = nullptr) {
  std::vector<Row> rows;
  QuarantineStore store;
  char why[kQuarantineReasonCapacity] = "";
  if (!OpenQuarantineForRestore(MemoryFolderPort(folder), key, &store, why, sizeof why)) {
    if (refusal) *refusal = why;
    return rows;
  }
  static QuarantineRecord record;
  int readable = 0, restored = 0;
  while (NextQuarantineEntry(&store, &record, &readable, &restored)) {
    Row row{"", "", record.id, kRestoreFailed};
    char shown[kQuarantineTextCapacity] = "";
    if (readable)
      row.outcome = RestoreQuarantined(&store, record, request, MemoryTargetPort(target), shown, sizeof shown, why,
                                       sizeof why);
    row.shown = shown;
    row.why = readable ? why : "unreadable";
    rows.push_back(row);
  }
  CloseQuarantineStore(&store);
  return rows;
}

TEST(Quarantine, RoundTripOnceAndAgain) {
  MemoryFolder folder;
  Original taken;
  ASSERT_EQ(kQuarantineDone, Take(&folder, "/vol", "a/worm.exe", "worm bytes", nullptr, &taken));
  EXPECT_TRUE(taken.removed);
  ASSERT_EQ(kQuarantineDone, Take(&folder, "/vol", "b.exe", "other worm"));
  // Copies: header first, so no copy has the size of what it holds.
  int copies = 0;
  for (const auto& file : folder.files) {
    if (file.first.size() != 64) continue;
    ++copies;
    EXPECT_EQ(0, file.second.compare(0, 8, "QUELLIX-"));
    EXPECT_EQ(16u + 10u, file.second.size());
  }
  EXPECT_EQ(2, copies);
  EXPECT_TRUE(folder.files.count(kQuarantineMarkerName));
  EXPECT_EQ(0u, std::count_if(folder.files.begin(), folder.files.end(),
                              [](const std::pair<const std::string, std::string>& f) { return f.first[0] == '.' &&
                                                                                          f.first != kQuarantineMarkerName; }))
      << "no partial copy stays";

  Target target;
  std::vector<Row> first = RestoreAll(&folder, &target);
  ASSERT_EQ(2u, first.size());
  for (const Row& row : first) EXPECT_EQ(kRestoreDone, row.outcome) << row.shown << ": " << row.why;
  EXPECT_EQ("worm bytes", target.written["/vol|a/worm.exe"]);
  EXPECT_EQ("other worm", target.written["/vol|b.exe"]);
  // Recorded: a second restore says so and writes nothing.
  target.written.clear();
  std::vector<Row> second = RestoreAll(&folder, &target);
  ASSERT_EQ(2u, second.size());
  for (const Row& row : second) EXPECT_EQ(kRestoreAlready, row.outcome);
  EXPECT_TRUE(target.written.empty());
  // Ids name the run and the file; ids differ.
  EXPECT_NE(first[0].id, first[1].id);
  EXPECT_NE(std::string::npos, first[0].id.find('/'));
}

TEST(Quarantine, AnUnprovenLineGoesOnlyWhereThePersonNames) {
  MemoryFolder folder;
  ASSERT_EQ(kQuarantineDone, Take(&folder, "/vol", "worm.exe", "worm bytes"));
  Target target;
  // Another host's key (a folder carried in), or no key at all: refused.
  for (const unsigned char* key : {kOtherKey, static_cast<const unsigned char*>(nullptr)}) {
    std::vector<Row> rows = RestoreAll(&folder, &target, {}, key);
    ASSERT_EQ(1u, rows.size());
    EXPECT_EQ(kRestoreFailed, rows[0].outcome);
    EXPECT_NE(std::string::npos, rows[0].why.find("--to ROOT")) << rows[0].why;
  }
  EXPECT_EQ(0, target.begun) << "nothing was begun at the line's own place";
  // A line edited after it was written is not proven either, whatever it says.
  std::string& manifest = folder.files[kQuarantineManifestName];
  size_t root = manifest.find("\"root\":\"/vol\"");
  ASSERT_NE(std::string::npos, root);
  manifest.replace(root, 13, "\"root\":\"/etc\"");
  std::vector<Row> edited = RestoreAll(&folder, &target);
  ASSERT_EQ(1u, edited.size());
  EXPECT_EQ(kRestoreFailed, edited[0].outcome);
  EXPECT_EQ(0, target.begun);
  // With --to it goes beneath the root named.
  std::vector<Row> named = RestoreAll(&folder, &target, RestoreRequest{"/mnt/elsewhere", nullptr, 0}, kOtherKey);
  ASSERT_EQ(1u, named.size());
  EXPECT_EQ(kRestoreDone, named[0].outcome) << named[0].why;
  EXPECT_EQ("worm bytes", target.written["/mnt/elsewhere|worm.exe"]);
}

// A name that held a '\' was one name where it was taken; put back through
// a Windows path it would land on a clean file ("App\app.exe" on the clean
// "App" folder's "app.exe"), so it is not put back, forced or not.
TEST(Quarantine, ANameNoWindowsNameHoldsIsNotPutBack) {
  MemoryFolder folder;
  ASSERT_EQ(kQuarantineDone, Take(&folder, "/vol", "Program Files/App\\app.exe", "worm bytes"));
  ASSERT_EQ(kQuarantineDone, Take(&folder, "/vol", "x/a:b.exe", "worm two"));
  ASSERT_EQ(kQuarantineDone, Take(&folder, "/vol", "x/ok.exe", "worm three"));
  for (int force : {0, 1}) {
    Target target;
    std::vector<Row> rows = RestoreAll(&folder, &target, RestoreRequest{nullptr, nullptr, force});
    ASSERT_EQ(3u, rows.size());
    EXPECT_EQ(kRestoreFailed, rows[0].outcome);
    EXPECT_NE(std::string::npos, rows[0].why.find("no Windows name holds")) << rows[0].why;
    EXPECT_EQ(kRestoreFailed, rows[1].outcome);
    EXPECT_EQ(force ? kRestoreAlready : kRestoreDone, rows[2].outcome) << rows[2].why;
    EXPECT_EQ(force ? 0u : 1u, target.written.size());
  }
}

TEST(Quarantine, AFolderNotOursIsNotAddedToNorRestoredFrom) {
  MemoryFolder foreign;
  foreign.files[kQuarantineManifestName] = "{\"path\":\"/etc/passwd\"}\n";
  std::string why;
  EXPECT_EQ(kQuarantineFailed, Take(&foreign, "/vol", "worm.exe", "worm bytes", &why));
  EXPECT_NE(std::string::npos, why.find("did not make")) << why;
  foreign.files[kQuarantineMarkerName] = "";
  EXPECT_EQ(kQuarantineFailed, Take(&foreign, "/vol", "worm.exe", "worm bytes", &why));
  EXPECT_NE(std::string::npos, why.find("does not prove")) << why;
  EXPECT_EQ("{\"path\":\"/etc/passwd\"}\n", foreign.files[kQuarantineManifestName]);
  // Restore wants the mark.
  MemoryFolder unmarked;
  unmarked.files[kQuarantineManifestName] = "";
  Target target;
  std::string refusal;
  EXPECT_TRUE(RestoreAll(&unmarked, &target, {}, kKey, &refusal).empty());
  EXPECT_NE(std::string::npos, refusal.find("mark")) << refusal;
}

TEST(Quarantine, TheOriginalGoesOnlyOnceItsLineIsWritten) {
  MemoryFolder folder;
  folder.failWritesTo = 1;
  std::string why;
  Original taken;
  EXPECT_EQ(kQuarantineFailed, Take(&folder, "/vol", "worm.exe", "worm bytes", &why, &taken));
  EXPECT_FALSE(taken.removed);
  EXPECT_NE(std::string::npos, why.find("No space left")) << why;
  EXPECT_EQ("", folder.files[kQuarantineManifestName]) << "the half line is cut off again";
  for (const auto& file : folder.files) EXPECT_NE(64u, file.first.size()) << "no copy without its line";
}

TEST(Quarantine, EarlierLinesAndOddLines) {
  MemoryFolder folder;
  folder.files[kQuarantineMarkerName] = "";
  const std::string hash = "88d4266fd4e6338d13b845fcf289579d209c897823b9217da3e161936f031589";  // "abcd"
  std::string earlierWindows = "{\"path\":\"C:\\\\dir\\\\worm.exe\",\"size\":4,\"sha256\":\"" + hash + "\"}";
  std::string earlierLinux = "{\"path\":\"/v/x\",\"root\":\"/v\",\"relative\":\"x\",\"size\":4,\"format\":2,"
                             "\"sha256\":\"" + hash + "\"}";
  std::string emptyRoot = "{\"root\":\"\",\"relative\":\"x\",\"size\":4,\"sha256\":\"" + hash + "\"}";
  std::string escaping = "{\"root\":\"/v\",\"relative\":\"../etc/x\",\"size\":4,\"sha256\":\"" + hash + "\"}";
  std::string long_line = "{\"root\":\"/v\",\"relative\":\"" + std::string(9000, 'n') + "\",\"size\":4,\"sha256\":\"" +
                          hash + "\"}";
  folder.files[kQuarantineManifestName] =
      earlierWindows + "\n" + earlierLinux + "\n" + emptyRoot + "\n" + escaping + "\n\n" + long_line + "\n";
  static QuarantineRecord record;
  ASSERT_TRUE(ReadQuarantineLine(earlierWindows.c_str(), earlierWindows.size(), kKey, &record));
  EXPECT_EQ(0, record.format);
  EXPECT_STREQ("C:\\", record.root);
  EXPECT_STREQ("dir/worm.exe", record.relative);
  EXPECT_FALSE(record.trusted);
  ASSERT_TRUE(ReadQuarantineLine(earlierLinux.c_str(), earlierLinux.size(), kKey, &record));
  EXPECT_EQ(2, record.format);
  EXPECT_FALSE(record.trusted);
  EXPECT_FALSE(ReadQuarantineLine(emptyRoot.c_str(), emptyRoot.size(), kKey, &record));
  EXPECT_FALSE(ReadQuarantineLine(escaping.c_str(), escaping.size(), kKey, &record));

  // Unproven: refused without --to; a line over 8 KiB is one entry.
  Target target;
  std::vector<Row> rows = RestoreAll(&folder, &target);
  ASSERT_EQ(5u, rows.size());
  EXPECT_EQ(kRestoreFailed, rows[0].outcome);
  EXPECT_NE(std::string::npos, rows[0].why.find("--to")) << rows[0].why;
  EXPECT_EQ("unreadable", rows[2].why);
  EXPECT_EQ("unreadable", rows[3].why);
  // With --to, an earlier Windows copy (no header) comes back as it is;
  // an earlier Linux line wants its copy's header.
  folder.files[hash] = "abcd";
  rows = RestoreAll(&folder, &target, RestoreRequest{"E:\\restored", nullptr, 0});
  ASSERT_EQ(5u, rows.size());
  EXPECT_EQ(kRestoreDone, rows[0].outcome) << rows[0].why;
  EXPECT_EQ("abcd", target.written["E:\\restored|dir/worm.exe"]);
  EXPECT_EQ(kRestoreBadCopy, rows[1].outcome);
}

}  // namespace
