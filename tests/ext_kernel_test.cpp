// ext volumes that mke2fs made and the running kernel filled and thinned through a loop mount
// (ext_kernel.vhdx): 1, 2 and 4 KiB blocks with folders whose odd files were deleted, hard links,
// sparse files, meta_bg, inline data and ext3. `tessary ls` and `recover` against the mounted tree the
// manifest keeps and against fls, and the parser on copies whose superblock, volume record or inodes
// were damaged.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <set>
#include <sstream>

#include "fs/ext/ext2.h"
#include "platform/bytes.h"
#include "platform/file_time.h"
#include "support/cli_runner.h"
#include "support/fixtures.h"
#include "support/ntfs_builder.h"
#include "support/ntfs_harness.h"
#include "support/recording_sink.h"
#include "support/sha256.h"

namespace tessary {
namespace {

using nlohmann::json;

constexpr const char* kImage = "ext_kernel.vhdx";
enum Volume { kK1 = 0, kK2, kK4, kMetaBg, kMetaBg1, kInline, kExt3, kVolumeCount };
const char* const kVolumeNames[] = {"ext4_1k", "ext4_2k", "ext4_4k_64bit_flexbg", "meta_bg", "meta_bg_first1",
                                    "inline_data", "ext3_1k"};

json loadManifest() {
  std::ifstream in(test::fixturePath("ext_kernel.json"));
  return json::parse(in);
}

std::string listTime(std::int64_t seconds) { return formatListFileTime(fileTimeFromUnix(seconds)); }

bool haveFixture() { return test::haveFixture(kImage) && test::haveFixture("ext_kernel.json"); }

class ExtKernelTest : public ::testing::TestWithParam<int> {
 protected:
  void SetUp() override {
    if (!haveFixture()) GTEST_SKIP() << "no kernel ext fixture";
    test::useUtc();
    m_volume = loadManifest()["volumes"][static_cast<std::size_t>(GetParam())];
    for (const auto& e : m_volume["entries"]) m_entries[e["path"].get<std::string>()] = e;
  }
  // The listing, live entries and deleted ones apart.
  void list(std::map<std::string, json>& live, std::map<std::string, json>& deleted) {
    const auto result = test::runTessary({"ls", test::fixturePath(kImage), "--volume", std::to_string(GetParam()),
                                          "--json", "--quiet"});
    ASSERT_EQ(result.status, 0) << result.err;
    for (const auto& object : result.objects()) {
      const std::string path = object["path"];
      auto& into = object["deleted"].get<bool>() ? deleted : live;
      EXPECT_TRUE(into.emplace(path, object).second) << "listed twice: " << path;
    }
  }
  json m_volume;
  std::map<std::string, json> m_entries;
};

// Every live entry of the mounted tree is listed once with its kind, size and times, and nothing live
// that the tree lacks. Catches a walk that stops at a wiped record (the live files after it in the
// block vanish), a lost second name of a hard-linked file, meta groups whose descriptors are read from
// the contiguous table, and inline folders read as block maps.
TEST_P(ExtKernelTest, LiveListingMatchesTheMountedTree) {
  std::map<std::string, json> live, deleted;
  list(live, deleted);
  for (const auto& [path, e] : m_entries) {
    const auto it = live.find(path);
    ASSERT_NE(it, live.end()) << path;
    const json& got = it->second;
    EXPECT_EQ(got["folder"], e["folder"]) << path;
    if (!e["folder"].get<bool>()) {
      EXPECT_EQ(got["size"], e["size"]) << path;
    }
    EXPECT_EQ(got["modified"], listTime(e["modified"])) << path;
    EXPECT_EQ(got["accessed"], listTime(e["accessed"])) << path;
  }
  for (const auto& [path, object] : live) EXPECT_TRUE(m_entries.count(path)) << "not in the volume: " << path;
  for (const auto& [path, object] : deleted) EXPECT_FALSE(m_entries.count(path)) << "live name listed as deleted: " << path;
}

// Every live file is written byte for byte with its times (holes, inline tails, every hard-link name),
// and a sparse file comes out with holes rather than written zeros.
TEST_P(ExtKernelTest, RecoverWritesEveryLiveFileByteForByteAndSparseFilesSparse) {
  const std::string out = test::makeTempDir("tessary-extk-");
  const auto result = test::runTessary({"recover", test::fixturePath(kImage), "--volume",
                                        std::to_string(GetParam()), "--out", out, "--json", "--quiet"});
  ASSERT_EQ(result.status, 0) << result.err;
  for (const auto& [path, e] : m_entries) {
    const std::string host = out + "/" + path;
    const auto st = test::hostEntry(host);
    ASSERT_TRUE(st) << path;
    if (e["folder"].get<bool>()) {
      EXPECT_TRUE(st->folder) << path;
      continue;
    }
    ASSERT_TRUE(st->regular) << path;
    EXPECT_EQ(st->size, e["size"].get<std::uint64_t>()) << path;
    EXPECT_EQ(st->modification, e["modified"].get<std::int64_t>()) << path;
    EXPECT_EQ(st->access, e["accessed"].get<std::int64_t>()) << path;
    EXPECT_EQ(test::fileSha256(host), e["sha256"].get<std::string>()) << path;
    if (path == "sparse.bin") {
      // 16 MiB of which 13 KiB hold data.
      EXPECT_LT(st->allocated, 2u << 20) << "holes written as zeros";
    }
  }
  test::removeTree(out);
}

INSTANTIATE_TEST_SUITE_P(Volumes, ExtKernelTest, ::testing::Range(0, static_cast<int>(kVolumeCount)),
                         [](const auto& info) { return std::string(kVolumeNames[info.param]); });

// fls on the raw twin now: on the volumes it reads fully (not meta_bg), our live paths are fls's live
// paths, and every deleted name fls finds in the thinned folder is listed as deleted.
TEST(ExtKernelSleuthKitTest, LiveAndDeletedNamesAgreeWithFls) {
  if (!haveFixture() || !test::haveSleuthKit()) GTEST_SKIP() << "no fixture or no Sleuth Kit";
  const std::string dir = test::makeTempDir("tessary-extk-tsk-");
  const std::string raw = test::rawVolume(kImage, dir);
  if (raw.empty()) GTEST_SKIP() << "qemu-img cannot make the raw twin";
  const json manifest = loadManifest();
  for (int v : {kK1, kK2, kK4, kInline, kExt3}) {
    const std::string start = std::to_string(manifest["volumes"][static_cast<std::size_t>(v)]["start_sector"].get<int>());
    std::string text;
    test::runCommand("fls -r -p -o " + start + " '" + raw + "'", &text);
    std::set<std::string> flsLive, flsDeleted;
    std::istringstream lines(text);
    for (std::string line; std::getline(lines, line);) {
      const auto tab = line.find('\t');
      if (tab == std::string::npos || line.rfind("V/V", 0) == 0) continue;
      std::string path = line.substr(tab + 1);
      if (path.rfind("$OrphanFiles", 0) == 0) continue;
      if (const auto arrow = path.find(" -> "); arrow != std::string::npos) path.resize(arrow);
      if (line.find('*') > tab) {
        flsLive.insert(path);
      } else if (line.rfind("r/r", 0) == 0 && line.find("(realloc)") > tab) {
        // Deleted files whose inode is not in use again; fls also shows records it reads as garbage.
        flsDeleted.insert(path);
      }
    }
    const auto result = test::runTessary({"ls", test::fixturePath(kImage), "--volume", std::to_string(v), "--json", "--quiet"});
    ASSERT_EQ(result.status, 0) << result.err;
    std::set<std::string> live, deleted;
    for (const auto& object : result.objects())
      (object["deleted"].get<bool>() ? deleted : live).insert(object["path"].get<std::string>());
    EXPECT_EQ(live, flsLive) << kVolumeNames[v];
    for (const std::string& path : flsDeleted) {
      if (path.rfind("many/", 0) == 0 && !flsLive.count(path)) {
        EXPECT_TRUE(deleted.count(path)) << kVolumeNames[v] << ": " << path;
      }
    }
  }
  test::removeTree(dir);
}

// One volume of the fixture in memory, to be damaged and parsed as the results page's worker does.
class ExtKernelMemoryTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!haveFixture()) GTEST_SKIP() << "no kernel ext fixture";
    m_dir = test::makeTempDir("tessary-extk-mem-");
    m_raw = test::rawVolume(kImage, m_dir);
    if (m_raw.empty()) GTEST_SKIP() << "qemu-img cannot make the raw twin";
    m_manifest = loadManifest();
    m_disk = test::readHostFile(m_raw);
  }
  void TearDown() override {
    if (!m_dir.empty()) test::removeTree(m_dir);
  }

  test::ByteVector volumeBytes(int v) {
    const json& volume = m_manifest["volumes"][static_cast<std::size_t>(v)];
    const std::size_t start = volume["start_sector"].get<std::size_t>() * 512;
    const std::size_t size = volume["sector_count"].get<std::size_t>() * 512;
    test::ByteVector bytes(size);
    std::memcpy(bytes.data(), m_disk.data() + start, size);
    return bytes;
  }

  struct Parsed {
    explicit Parsed(test::ByteVector bytes) : disk(std::move(bytes)) {}
    test::MemoryDisk disk;
    CXHtmlTree tree;
    RecordingSink sink;
    ext2Class parser;
    bool found = false;
    // Paths below ROOT of the named live files and folders.
    std::map<std::string, std::int64_t> paths() const {
      std::map<std::string, std::int64_t> out;
      std::vector<std::pair<std::int64_t, std::string>> stack{{ext2Class::kRootKey, ""}};
      while (!stack.empty()) {
        auto [key, prefix] = stack.back();
        stack.pop_back();
        for (std::int64_t c : parser.childEntries(key)) {
          if (parser.isDeleted(c)) continue;
          const std::string path = prefix + parser.entryName(c);
          if (out.emplace(path, c).second && ext2Class::isDirectoryMode(parser.entry(c)->mode))
            stack.push_back({c, path + "/"});
        }
      }
      return out;
    }
  };

  // The volume record may say fewer bytes than the volume has (`recordBytes`).
  std::unique_ptr<Parsed> parse(test::ByteVector bytes, std::uint64_t recordBytes = 0) {
    auto p = std::make_unique<Parsed>(std::move(bytes));
    const std::uint64_t size = recordBytes ? recordBytes : p->disk.bytes().size();
    p->parser.setSink(&p->sink);
    p->parser.setTree(&p->tree, "ROOT");
    p->parser.attachVolume(VolumeView(p->disk, 0, size / 512), static_cast<std::int64_t>(size >> 20));
    p->found = p->parser.findSuperblock() && p->parser.readGroupDescriptors();
    if (!p->found) return p;
    p->parser.readInodeTables();
    p->parser.readDirectories();
    p->parser.buildEntryMap();
    p->parser.linkParentsAndChildren();
    p->parser.fillRootEntries();
    return p;
  }

  std::set<std::string> manifestPaths(int v) {
    std::set<std::string> out;
    for (const auto& e : m_manifest["volumes"][static_cast<std::size_t>(v)]["entries"]) out.insert(e["path"].get<std::string>());
    return out;
  }
  static std::set<std::string> keys(const std::map<std::string, std::int64_t>& m) {
    std::set<std::string> out;
    for (const auto& [k, v] : m) out.insert(k);
    return out;
  }

  static void put32(test::ByteVector& b, std::size_t at, std::uint32_t v) {
    for (int i = 0; i < 4; ++i) b[at + i] = static_cast<std::byte>((v >> (8 * i)) & 0xFF);
  }
  static std::uint64_t inodeOffset(const ExtEntry& e, std::uint32_t blockSize, std::uint32_t inodeSize) {
    return e.inodeTableBlock * blockSize + std::uint64_t{e.slot} * inodeSize;
  }

  std::string m_dir, m_raw, m_disk;
  json m_manifest;
};

// A zeroed primary superblock on a journaled volume: the copy the journal keeps names group 0 and lies
// elsewhere, so it is passed over; group 1's backup is taken and its own descriptor table read, and the
// whole tree comes back (ext3 with 1 KiB blocks, ext4 with 4 KiB blocks and 64-byte descriptors).
TEST_F(ExtKernelMemoryTest, ZeroedPrimarySuperblockIsReadFromGroupOnesBackup) {
  for (const auto& [v, backup] : std::vector<std::pair<int, std::int64_t>>{{kExt3, 8193 * 1024}, {kK4, 2048 * 4096}}) {
    test::ByteVector bytes = volumeBytes(v);
    std::fill(bytes.begin() + 1024, bytes.begin() + 2048, std::byte{0});
    auto p = parse(std::move(bytes));
    ASSERT_TRUE(p->found) << kVolumeNames[v];
    EXPECT_EQ(p->parser.superblockOffset(), backup) << kVolumeNames[v];
    EXPECT_EQ(keys(p->paths()), manifestPaths(v)) << kVolumeNames[v];
  }
  // Group 16 (no superblock copy) keeps the second meta group's block right at its start: zeroed, the
  // copy in group 17 is read instead.
  test::ByteVector bytes = volumeBytes(kMetaBg);
  std::fill_n(bytes.begin() + (16 * 8192 + 1) * 1024, 1024, std::byte{0});
  auto p = parse(std::move(bytes));
  ASSERT_TRUE(p->found);
  EXPECT_EQ(p->parser.unreadableGroups(), 0u);
  EXPECT_EQ(keys(p->paths()), manifestPaths(kMetaBg));
}

// A candidate whose group number does not match where it lies is refused even with every other field
// sound: the primary moved one block on is no superblock.
TEST_F(ExtKernelMemoryTest, SuperblockCopyOutOfPlaceIsRefused) {
  test::ByteVector bytes = volumeBytes(kK4);
  test::ByteVector moved(bytes.size());
  // Only the primary, 4 KiB further on; no backup is left.
  std::memcpy(moved.data() + 1024 + 4096, bytes.data() + 1024, 1024);
  auto p = parse(std::move(moved));
  EXPECT_FALSE(p->found);
}

// The volume record cut 4 MiB short of the file system: the volume is read, a warning given once, and
// every file whose blocks lie inside the record comes back; files past it are counted as failed reads.
TEST_F(ExtKernelMemoryTest, FileSystemLargerThanItsVolumeRecordIsReadWithOneWarning) {
  test::ByteVector bytes = volumeBytes(kK1);
  const std::uint64_t record = bytes.size() - (4u << 20);
  bytes.resize(record);
  auto p = parse(std::move(bytes), record);
  ASSERT_TRUE(p->found);
  EXPECT_TRUE(p->parser.largerThanVolume());
  EXPECT_EQ(p->sink.messages().size(), 1u);
  EXPECT_EQ(keys(p->paths()), manifestPaths(kK1));
  MemorySink letter(1 << 20);
  EXPECT_TRUE(p->parser.saveFileData(*p->parser.entry(p->paths().at("docs/letter.txt")), letter));
  EXPECT_EQ(letter.written(), 5000u);
}

// A size field past what the file system can hold (2^52 bytes for a 6-byte file; one byte past the
// 1 KiB-block extent limit) refuses that file and writes nothing; the limit itself is allowed.
TEST_F(ExtKernelMemoryTest, SizeBeyondTheFileSystemLimitWritesNothing) {
  auto good = parse(volumeBytes(kK1));
  ASSERT_TRUE(good->found);
  const ExtEntry* readme = good->parser.entry(good->paths().at("readme.txt"));
  ASSERT_NE(readme, nullptr);
  const std::uint64_t at = inodeOffset(*readme, 1024, 256);
  EXPECT_EQ(good->parser.maxFileSize(true), std::uint64_t{1} << 42);
  EXPECT_EQ(good->parser.maxFileSize(false), (std::uint64_t{16843020}) << 10);
  for (const std::uint64_t size : {std::uint64_t{1} << 52, (std::uint64_t{1} << 42) + 1}) {
    test::ByteVector bytes = volumeBytes(kK1);
    put32(bytes, at + 4, static_cast<std::uint32_t>(size));
    put32(bytes, at + 108, static_cast<std::uint32_t>(size >> 32));
    auto p = parse(std::move(bytes));
    DiscardSink sink;
    EXPECT_FALSE(p->parser.saveFileData(*p->parser.entry(readme->key), sink)) << size;
    EXPECT_EQ(sink.written(), 0u) << size;
  }
}

// A sparse file's holes reach the sink as holes (one for the tail past the last data), never as
// written zeros: a sink that refuses zero bytes still takes the whole file.
TEST_F(ExtKernelMemoryTest, HolesReachTheSinkAsHoles) {
  class NoZeros : public DataSink {
   public:
    bool write(std::span<const std::byte> data) override {
      m_written += data.size();
      m_data += data.size();
      return true;
    }
    bool hole(std::uint64_t bytes) override {
      m_written += bytes;
      ++m_holes;
      return true;
    }
    std::uint64_t written() const override { return m_written; }
    std::uint64_t m_written = 0, m_data = 0, m_holes = 0;
  };
  for (int v : {kK1, kK4, kExt3}) {
    auto p = parse(volumeBytes(v));
    ASSERT_TRUE(p->found);
    NoZeros sink;
    EXPECT_TRUE(p->parser.saveFileData(*p->parser.entry(p->paths().at("sparse.bin")), sink)) << kVolumeNames[v];
    EXPECT_EQ(sink.m_written, 16u << 20) << kVolumeNames[v];
    EXPECT_LT(sink.m_data, 64u << 10) << kVolumeNames[v];
    // Before the first piece, between the two, after the second.
    EXPECT_EQ(sink.m_holes, 3u) << kVolumeNames[v];
  }
}

// An inline file whose system.data attribute is gone: the bytes of i_block come out, the rest is
// zeros to keep the size, and the file is reported failed rather than whole.
TEST_F(ExtKernelMemoryTest, InlineFileWithoutItsAttributeIsReportedFailed) {
  auto good = parse(volumeBytes(kInline));
  ASSERT_TRUE(good->found);
  const ExtEntry* small = good->parser.entry(good->paths().at("small_0120.txt"));
  ASSERT_NE(small, nullptr);
  MemorySink whole(1 << 20);
  ASSERT_TRUE(good->parser.saveFileData(*small, whole));
  ASSERT_EQ(whole.written(), 120u);
  test::ByteVector bytes = volumeBytes(kInline);
  const std::uint64_t at = inodeOffset(*small, 4096, 256);
  const std::uint16_t extra = le16At(Bytes(bytes.data(), bytes.size()), at + 128);
  put32(bytes, at + 128 + extra, 0);  // the in-inode attribute magic
  auto p = parse(std::move(bytes));
  MemorySink sink(1 << 20);
  EXPECT_FALSE(p->parser.saveFileData(*p->parser.entry(small->key), sink));
  ASSERT_EQ(sink.written(), 120u);
  EXPECT_TRUE(std::equal(sink.bytes().begin(), sink.bytes().begin() + 60, whole.bytes().begin()));
  EXPECT_TRUE(std::all_of(sink.bytes().begin() + 60, sink.bytes().end(), [](std::byte b) { return b == std::byte{0}; }));
  // The same inode claiming 4 GiB: more than an inode can hold inline, so nothing is written for it.
  test::ByteVector huge = volumeBytes(kInline);
  put32(huge, at + 4, 0xFFFFFFFF);
  auto q = parse(std::move(huge));
  MemorySink none(1 << 20);
  EXPECT_FALSE(q->parser.saveFileData(*q->parser.entry(small->key), none));
  EXPECT_EQ(none.written(), 0u);
}

// meta_bg: every group's inode table is found (18 groups in two meta groups), with the first meta
// group at 0 and at 1; a damaged primary descriptor block of the second meta group is read from its
// copy in the meta group's second group.
TEST_F(ExtKernelMemoryTest, MetaGroupDescriptorsReadFromTheirGroupsAndCopies) {
  for (int v : {kMetaBg, kMetaBg1}) {
    auto p = parse(volumeBytes(v));
    ASSERT_TRUE(p->found);
    EXPECT_EQ(p->parser.groupCount(), 18u);
    EXPECT_EQ(p->parser.unreadableGroups(), 0u) << kVolumeNames[v];
    EXPECT_EQ(keys(p->paths()), manifestPaths(v)) << kVolumeNames[v];
  }
}

// Records written into a folder block's slack by hand (no tool writes these): a name whose inode is
// past the last one and a name holding a slash are passed over; a whole record naming a never-used
// inode is listed as a deleted file of no bytes that saves as empty. A record length that is not a
// multiple of 4 ends that block's walk without reading past it, and the rest of the volume is listed.
TEST_F(ExtKernelMemoryTest, HandWrittenSlackRecordsAndABadRecordLength) {
  auto good = parse(volumeBytes(kK1));
  ASSERT_TRUE(good->found);
  const ExtEntry* docs = good->parser.entry(good->paths().at("docs"));
  ASSERT_NE(docs, nullptr);
  const test::ByteVector clean = volumeBytes(kK1);
  const Bytes all(clean.data(), clean.size());
  // docs: one extent; "." 12 bytes, ".." 12, "letter.txt" 20, then "letter_hardlink2" over the rest.
  const std::uint64_t inode = inodeOffset(*docs, 1024, 256);
  const std::uint64_t block = std::uint64_t{le32At(all, inode + 40 + 12 + 8)} * 1024;
  ASSERT_EQ(le16At(all, block + 44 + 6) & 0xFF, 16u) << "letter_hardlink2 is the fourth record";
  const std::uint32_t lastInode = good->parser.inodesPerGroup() * good->parser.groupCount();
  const auto record = [](test::ByteVector& b, std::size_t at, std::uint32_t number, const std::string& name) {
    put32(b, at, number);
    b[at + 4] = static_cast<std::byte>((8 + name.size() + 3) & ~std::size_t{3});
    b[at + 5] = std::byte{0};
    b[at + 6] = static_cast<std::byte>(name.size());
    b[at + 7] = std::byte{1};
    std::memcpy(b.data() + at + 8, name.data(), name.size());
  };
  test::ByteVector bytes = clean;
  record(bytes, block + 68, lastInode + 1, "past_last");
  record(bytes, block + 88, 12, "a/b");
  record(bytes, block + 100, lastInode, "ghost.txt");
  auto p = parse(std::move(bytes));
  ASSERT_TRUE(p->found);
  std::map<std::string, std::int64_t> deleted;
  for (std::int64_t c : p->parser.childEntries(docs->key))
    if (p->parser.isDeleted(c)) deleted[p->parser.entryName(c)] = c;
  ASSERT_EQ(deleted.size(), 1u);
  ASSERT_TRUE(deleted.count("ghost.txt"));
  const ExtEntry* ghost = p->parser.entry(deleted.at("ghost.txt"));
  EXPECT_EQ(ghost->size, 0u);
  MemorySink empty(16);
  EXPECT_TRUE(p->parser.saveFileData(*ghost, empty));
  EXPECT_EQ(empty.written(), 0u);
  EXPECT_EQ(keys(p->paths()), manifestPaths(kK1)) << "live names unchanged";

  test::ByteVector broken = clean;
  broken[block + 12 + 4] = std::byte{13};  // "..": 13 bytes
  auto q = parse(std::move(broken));
  ASSERT_TRUE(q->found);
  const auto paths = q->paths();
  EXPECT_FALSE(paths.count("docs/letter.txt"));
  EXPECT_TRUE(paths.count("links/letter_hardlink1"));
  EXPECT_EQ(paths.size(), manifestPaths(kK1).size() - 2);
}

}  // namespace
}  // namespace tessary
