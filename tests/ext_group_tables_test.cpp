// ext4 volumes whose group descriptors say how much of each inode table was ever used (metadata_csum, or
// uninit_bg with 32-byte descriptors), made at run time by mke2fs and debugfs and recounted by e2fsck:
// the tables passed over hold nothing the listing had, freed inodes e2fsck's recount put past the count
// are still listed, and an earlier file system's inodes that mke2fs left in place are still read.
#include <gtest/gtest.h>

#include <cstring>
#include <fstream>
#include <map>
#include <memory>
#include <set>
#include <sstream>

#include "fs/ext/ext2.h"
#include "support/cli_runner.h"
#include "support/fixtures.h"
#include "support/ntfs_builder.h"
#include "support/recording_sink.h"

namespace tessary {
namespace {

constexpr const char* kTools = "PATH=$PATH:/sbin:/usr/sbin E2FSPROGS_FAKE_TIME=1577836800 ";

class ExtGroupTablesTest : public ::testing::TestWithParam<const char*> {
 protected:
  void SetUp() override {
    if (test::runCommand(std::string(kTools) + "mke2fs -V >/dev/null 2>&1 && " + kTools + "e2fsck -V >/dev/null 2>&1") != 0)
      GTEST_SKIP() << "no e2fsprogs";
    m_dir = test::makeTempDir("tessary-extg-");
    m_image = m_dir + "/volume.img";
    std::ofstream(m_dir + "/content") << std::string(3000, 'x');
  }
  void TearDown() override {
    if (!m_dir.empty()) test::removeTree(m_dir);
  }

  void run(const std::string& command) { ASSERT_EQ(test::runCommand(kTools + command + " >/dev/null 2>&1"), 0) << command; }
  // 8 MiB of 1 KiB blocks: eight groups of 16 inodes of 256 bytes, one UUID (so that an earlier file
  // system's inodes still pass their checksums in a later one).
  void make(const std::string& options = "") {
    run("truncate -s 8M '" + m_image + "' && mke2fs -q -F -t ext4 -b 1024 -N 128 -g 1024 -U 6f3c1a52-7e4b-4d3a-9c1e-2b5d8f0a1c33 " +
        GetParam() + " " + options + " '" + m_image + "'");
  }
  void debugfs(const std::vector<std::string>& commands) {
    std::ofstream script(m_dir + "/commands");
    for (const std::string& c : commands) script << c << "\n";
    script.close();
    run("cd '" + m_dir + "' && debugfs -w -f commands '" + m_image + "'");
  }
  // Folder a holding a/f1 to a/f60 (inodes 13 to 72: groups 0 to 4).
  void fill() {
    std::vector<std::string> commands{"mkdir a"};
    for (int i = 1; i <= 60; ++i) commands.push_back("write content a/f" + std::to_string(i));
    debugfs(commands);
  }
  // Every listed path: whether deleted, and its size.
  std::map<std::string, std::pair<bool, std::uint64_t>> list() {
    std::map<std::string, std::pair<bool, std::uint64_t>> out;
    const auto result = test::runTessary({"ls", m_image, "--start-sector", "0", "--end-sector", "16383", "--fs", "EXTX",
                                          "--json", "--quiet"});
    EXPECT_EQ(result.status, 0) << result.err;
    for (const auto& o : result.objects())
      out[o["path"].get<std::string>()] = {o["deleted"].get<bool>(), o.value("size", std::uint64_t{0})};
    return out;
  }
  struct Parsed {
    explicit Parsed(test::ByteVector bytes) : disk(std::move(bytes)) {}
    test::MemoryDisk disk;
    RecordingSink sink;
    ext2Class parser;
  };
  std::unique_ptr<Parsed> parse() {
    const std::string bytes = test::readHostFile(m_image);
    test::ByteVector copy(bytes.size());
    std::memcpy(copy.data(), bytes.data(), bytes.size());
    auto p = std::make_unique<Parsed>(std::move(copy));
    p->parser.setSink(&p->sink);
    p->parser.attachVolume(VolumeView(p->disk, 0, bytes.size() / 512), static_cast<std::int64_t>(bytes.size() >> 20));
    EXPECT_TRUE(p->parser.findSuperblock() && p->parser.readGroupDescriptors());
    p->parser.readInodeTables();
    return p;
  }

  std::string m_dir, m_image;
};

// The descriptors' checksums are taken and their counts read: groups 5 to 7 were never used and group 4
// holds 8 inodes, so four tables are cut short. Files deleted in groups 0, 1, 2 (all its inodes) and 4
// (its last ones), then e2fsck's recount marks group 2 unused and lowers group 4's count: the listing
// stays what it was before the recount, every deleted name with its inode's size.
TEST_P(ExtGroupTablesTest, FreedInodesPastTheRecountedTablesAreStillListed) {
  make();
  fill();
  {
    auto p = parse();
    EXPECT_EQ(p->parser.declaredSlotsInUse(0), std::optional<std::uint32_t>(16));
    EXPECT_EQ(p->parser.declaredSlotsInUse(4), std::optional<std::uint32_t>(8));
    EXPECT_EQ(p->parser.declaredSlotsInUse(5), std::optional<std::uint32_t>(0));
    EXPECT_EQ(p->parser.shortenedTables(), 4u);
  }
  std::vector<std::string> removals{"rm a/f2"};
  for (int i = 5; i <= 19; i += 2) removals.push_back("rm a/f" + std::to_string(i));
  for (int i = 21; i <= 36; ++i) removals.push_back("rm a/f" + std::to_string(i));
  for (int i = 57; i <= 60; ++i) removals.push_back("rm a/f" + std::to_string(i));
  debugfs(removals);
  const auto before = list();
  std::size_t deleted = 0;
  for (const auto& [path, entry] : before) {
    if (!entry.first) continue;
    ++deleted;
    EXPECT_EQ(entry.second, 3000u) << path;
  }
  EXPECT_EQ(deleted, 29u);

  ASSERT_LE(test::runCommand(std::string(kTools) + "e2fsck -fy '" + m_image + "' >/dev/null 2>&1"), 1);
  {
    auto p = parse();
    ASSERT_EQ(p->parser.declaredSlotsInUse(2), std::optional<std::uint32_t>(0)) << "e2fsck did not mark the group unused";
    ASSERT_EQ(p->parser.declaredSlotsInUse(4), std::optional<std::uint32_t>(4));
  }
  EXPECT_EQ(list(), before);

  // What fls finds deleted is listed deleted.
  std::string text;
  if (test::runCommand("fls -r -p '" + m_image + "' 2>/dev/null", &text) == 0) {
    std::istringstream lines(text);
    for (std::string line; std::getline(lines, line);) {
      const auto tab = line.find('\t');
      if (line.rfind("r/r * ", 0) != 0 || tab == std::string::npos || line.find("(realloc)") < tab) continue;
      const auto it = before.find(line.substr(tab + 1));
      EXPECT_TRUE(it != before.end() && it->second.first) << line;
    }
  }
}

// mke2fs with lazy inode tables and without discarding leaves an earlier file system's tables in place,
// in groups its descriptors mark unused. A table whose first block holds something is read all the same:
// a deleted name pointing at one of the earlier file system's freed inodes is listed with that inode's
// size. Tables that read as zeros are passed over.
TEST_P(ExtGroupTablesTest, InodesOfAnEarlierFileSystemInUnusedGroupsAreRead) {
  make();
  fill();
  debugfs({"rm a/f28"});  // inode 40, in group 2
  make("-E nodiscard,lazy_itable_init=1");
  debugfs({"ln <40> earlier", "unlink earlier"});
  auto p = parse();
  EXPECT_EQ(p->parser.declaredSlotsInUse(2), std::optional<std::uint32_t>(0));
  EXPECT_EQ(p->parser.shortenedTables(), 3u) << "groups 5 to 7";
  const auto listed = list();
  const auto it = listed.find("earlier");
  ASSERT_NE(it, listed.end());
  EXPECT_TRUE(it->second.first);
  EXPECT_EQ(it->second.second, 3000u);
}

// Owner IDs above 65,535 keep the high halves the inode's Linux-specific tail holds.
TEST_P(ExtGroupTablesTest, OwnersAboveSixteenBitsKeepTheirHighHalves) {
  make();
  debugfs({"write content big", "sif big uid 70000", "sif big gid 131073"});
  const auto result = test::runTessary({"ls", m_image, "--start-sector", "0", "--end-sector", "16383", "--fs", "EXTX",
                                        "--bodyfile", "--quiet"});
  ASSERT_EQ(result.status, 0) << result.err;
  const std::size_t at = result.out.find("|/big|");
  ASSERT_NE(at, std::string::npos) << result.out;
  const std::string line = result.out.substr(at, result.out.find('\n', at) - at);
  EXPECT_NE(line.find("|70000|131073|3000|"), std::string::npos) << line;
}

INSTANTIATE_TEST_SUITE_P(Checksums, ExtGroupTablesTest,
                         ::testing::Values("-O 64bit,metadata_csum", "-O ^64bit,^metadata_csum,uninit_bg"),
                         [](const auto& info) { return info.index == 0 ? std::string("MetadataCsum") : std::string("UninitBg"); });

}  // namespace
}  // namespace tessary
