// ext2, ext3 and ext4 volumes made by mke2fs -d (ext_volumes.vhdx): `tessary ls` and `recover` against the
// manifest and The Sleuth Kit, and the parser on copies of those volumes corrupted in various ways.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <set>
#include <sstream>

#include "disk/image_format.h"
#include "fs/ext/ext2.h"
#include "platform/bytes.h"
#include "platform/file_time.h"
#include "support/cli_runner.h"
#include "support/failing_range.h"
#include "support/fixtures.h"
#include "support/ntfs_builder.h"
#include "support/ntfs_harness.h"
#include "support/recording_sink.h"
#include "support/sha256.h"

namespace tessary {
namespace {

using nlohmann::json;

constexpr const char* kImage = "ext_volumes.vhdx";

json loadManifest() {
  std::ifstream in(test::fixturePath("ext_volumes.json"));
  return json::parse(in);
}

std::string listTime(std::int64_t seconds) { return formatListFileTime(fileTimeFromUnix(seconds)); }

class ExtFixtureTest : public ::testing::TestWithParam<int> {
 protected:
  void SetUp() override {
    if (!test::haveFixture(kImage) || !test::haveFixture("ext_volumes.json")) GTEST_SKIP() << "no ext fixture";
    test::useUtc();
    m_volume = loadManifest()["volumes"][static_cast<std::size_t>(GetParam())];
    for (const auto& e : m_volume["entries"]) m_entries[e["path"].get<std::string>()] = e;
  }
  json m_volume;
  std::map<std::string, json> m_entries;
};

// Every live entry fls sees is listed once with its kind, size and times; nothing else is listed
// (deleted names, the root's own ".", devices). Catches lost groups (the partial last one), every
// second descriptor read from the wrong place on 64-bit volumes, and inodes read from the wrong slot.
TEST_P(ExtFixtureTest, ListingMatchesTheManifestEntryForEntry) {
  const auto result = test::runTessary({"ls", test::fixturePath(kImage), "--volume", std::to_string(GetParam()),
                                        "--json", "--quiet"});
  ASSERT_EQ(result.status, 0) << result.err;
  std::map<std::string, json> listed;
  std::set<std::string> deleted;
  for (const auto& object : result.objects()) {
    const std::string path = object["path"];
    if (object["deleted"].get<bool>()) {
      deleted.insert(path);
      continue;
    }
    EXPECT_TRUE(listed.emplace(path, object).second) << "listed twice: " << path;
  }
  for (const auto& [path, e] : m_entries) {
    const auto it = listed.find(path);
    ASSERT_NE(it, listed.end()) << path;
    const json& got = it->second;
    EXPECT_EQ(got["folder"], e["folder"]) << path;
    EXPECT_FALSE(got["deleted"].get<bool>()) << path;
    if (!e["folder"].get<bool>()) {
      EXPECT_EQ(got["size"], e["size"]) << path;
    }
    EXPECT_EQ(got["modified"], listTime(e["modified"])) << path;
    EXPECT_EQ(got["accessed"], listTime(e["accessed"])) << path;
    EXPECT_EQ(got["created"], listTime(e["changed"])) << path;
  }
  for (const auto& [path, object] : listed) EXPECT_TRUE(m_entries.count(path)) << "not in the volume: " << path;
  // debugfs rm folds the record into the one before it and leaves the inode's map: the name is
  // listed, as deleted (ext4's folders were rebuilt by e2fsck -D since, which drops the slack).
  EXPECT_FALSE(listed.count("docs/todelete.txt") && GetParam() != 1) << "a deleted name was listed as live";
  if (GetParam() == 0) {
    EXPECT_TRUE(deleted.count("docs/todelete.txt")) << "the deleted name in the slack";
  }
}

// Every file is written byte for byte (holes as zeros, fragments in order, indirect blocks of every
// level, links as their target) with its modification and access times.
TEST_P(ExtFixtureTest, RecoverWritesEveryFileByteForByteWithItsTimes) {
  const std::string out = test::makeTempDir("tessary-ext-");
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
  }
  test::removeTree(out);
}

INSTANTIATE_TEST_SUITE_P(Volumes, ExtFixtureTest, ::testing::Values(0, 1, 2),
                         [](const auto& info) { return std::string("ext") + std::to_string(info.param + 2); });

// The Sleuth Kit on the raw twin, now: the same live paths as the listing, and icat's bytes for the
// files whose data is hardest to place (triple indirect, sparse, fragmented extent tree).
TEST(ExtSleuthKitTest, LiveNamesAndContentsAgreeWithFlsAndIcat) {
  if (!test::haveFixture(kImage) || !test::haveSleuthKit()) GTEST_SKIP() << "no fixture or no Sleuth Kit";
  const std::string dir = test::makeTempDir("tessary-ext-tsk-");
  const std::string raw = test::rawVolume(kImage, dir);
  if (raw.empty()) GTEST_SKIP() << "qemu-img cannot make the raw twin";
  const json manifest = loadManifest();
  const std::map<int, std::vector<std::string>> hardFiles = {
      {0, {"triple.bin", "dense300k.bin", "sparse.bin", "many/file23.txt"}},
      {2, {"fragmented.bin", "sparse.bin", "big.bin", "htree/entry_with_a_rather_long_name_0123.txt"}}};
  for (int v = 0; v < 3; ++v) {
    const std::string start = std::to_string(manifest["volumes"][static_cast<std::size_t>(v)]["start_sector"].get<int>());
    std::string text;
    test::runCommand("fls -r -p -o " + start + " '" + raw + "'", &text);
    std::set<std::string> fls;
    std::istringstream lines(text);
    for (std::string line; std::getline(lines, line);) {
      const auto tab = line.find('\t');
      if (tab == std::string::npos || line.find('*') < tab || line.rfind("V/V", 0) == 0) continue;
      std::string path = line.substr(tab + 1);
      if (path.rfind("$OrphanFiles", 0) == 0) continue;
      if (const auto arrow = path.find(" -> "); arrow != std::string::npos) path.resize(arrow);
      fls.insert(path);
    }
    const auto result = test::runTessary({"ls", test::fixturePath(kImage), "--volume", std::to_string(v), "--json", "--quiet"});
    ASSERT_EQ(result.status, 0) << result.err;
    std::set<std::string> ours;
    for (const auto& object : result.objects())
      if (!object["deleted"].get<bool>()) ours.insert(object["path"].get<std::string>());
    EXPECT_EQ(ours, fls) << "volume " << v;

    const auto hard = hardFiles.find(v);
    if (hard == hardFiles.end()) continue;
    const std::string out = dir + "/out" + std::to_string(v);
    std::vector<std::string> args = {"recover", test::fixturePath(kImage), "--volume", std::to_string(v), "--out", out, "--quiet"};
    args.insert(args.end(), hard->second.begin(), hard->second.end());
    ASSERT_EQ(test::runTessary(args).status, 0);
    for (const std::string& path : hard->second) {
      std::int64_t inode = -1;
      for (const auto& e : manifest["volumes"][static_cast<std::size_t>(v)]["entries"])
        if (e["path"] == path) inode = e["inode"];
      ASSERT_GE(inode, 0) << path;
      const std::string icat = dir + "/icat.bin";
      ASSERT_EQ(test::runCommand("icat -o " + start + " '" + raw + "' " + std::to_string(inode) + " > '" + icat + "'"), 0);
      EXPECT_EQ(test::fileSha256(out + "/" + path), test::fileSha256(icat)) << path;
    }
  }
  test::removeTree(dir);
}

// One volume of the fixture in memory, to be corrupted and parsed as the results page's worker does.
class ExtCorruptTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!test::haveFixture(kImage)) GTEST_SKIP() << "no ext fixture";
    test::useUtc();
    m_dir = test::makeTempDir("tessary-ext-mem-");
    m_raw = test::rawVolume(kImage, m_dir);
    if (m_raw.empty()) GTEST_SKIP() << "qemu-img cannot make the raw twin";
    m_manifest = loadManifest();
  }
  void TearDown() override {
    if (!m_dir.empty()) test::removeTree(m_dir);
  }

  test::ByteVector volumeBytes(int v) {
    const json& volume = m_manifest["volumes"][static_cast<std::size_t>(v)];
    const std::string disk = test::readHostFile(m_raw);
    const std::size_t start = volume["start_sector"].get<std::size_t>() * 512;
    const std::size_t size = volume["sector_count"].get<std::size_t>() * 512;
    test::ByteVector bytes(size);
    std::memcpy(bytes.data(), disk.data() + start, size);
    return bytes;
  }

  struct Parsed {
    explicit Parsed(test::ByteVector bytes) : disk(std::move(bytes)) {}
    test::MemoryDisk disk;
    CXHtmlTree tree;
    RecordingSink sink;
    ext2Class parser;
    bool found = false;
    // Paths below ROOT of the named files and folders.
    std::map<std::string, std::int64_t> paths() const {
      std::map<std::string, std::int64_t> out;
      std::vector<std::pair<std::int64_t, std::string>> stack{{ext2Class::kRootKey, ""}};
      while (!stack.empty()) {
        auto [key, prefix] = stack.back();
        stack.pop_back();
        for (std::int64_t c : parser.childEntries(key)) {
          const std::string path = prefix + parser.entryName(c);
          if (out.emplace(path, c).second && ext2Class::isDirectoryMode(parser.entry(c)->mode))
            stack.push_back({c, path + "/"});
        }
      }
      return out;
    }
  };

  std::unique_ptr<Parsed> parse(test::ByteVector bytes) {
    auto p = std::make_unique<Parsed>(std::move(bytes));
    const std::uint64_t size = p->disk.bytes().size();
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

  static void put32(test::ByteVector& b, std::size_t at, std::uint32_t v) {
    for (int i = 0; i < 4; ++i) b[at + i] = static_cast<std::byte>((v >> (8 * i)) & 0xFF);
  }
  static void put16(test::ByteVector& b, std::size_t at, std::uint16_t v) {
    for (int i = 0; i < 2; ++i) b[at + i] = static_cast<std::byte>((v >> (8 * i)) & 0xFF);
  }

  std::string m_dir, m_raw;
  json m_manifest;
};

// The step statuses in order, the partial last group counted (ext4's only group is partial), and the
// detail texts: a 5000-byte file, 0644 and 0755 permission strings.
TEST_F(ExtCorruptTest, StatusesGroupsAndDetailTexts) {
  auto p = parse(volumeBytes(2));
  ASSERT_TRUE(p->found);
  EXPECT_EQ(p->parser.groupCount(), 1u);
  EXPECT_EQ(p->parser.blockSize(), 4096u);
  const std::vector<std::string> statuses = p->sink.statuses();
  const std::vector<std::string> expected = {"parsing group 1  of 1 ", "parsing inode entry 1  of 6144 ",
                                             "parsed inode entry 6144  of 6144 ", "clearing vector....",
                                             "Maintaining Parent Child....", "filling root entries in  tree...."};
  for (const std::string& s : expected)
    EXPECT_NE(std::find(statuses.begin(), statuses.end(), s), statuses.end()) << s;
  const auto paths = p->paths();
  const ExtEntry* letter = p->parser.entry(paths.at("docs/letter.txt"));
  ASSERT_NE(letter, nullptr);
  EXPECT_EQ(ext2Class::describeSize(*letter), "4.88 KB");
  const ExtEntryTexts file = p->parser.describeTimesAndPermissions(*letter);
  EXPECT_EQ(file.permissions, "-OR-GR-UW-UR");
  EXPECT_EQ(file.modification, "01/01/2020  03:00 AM");
  const ExtEntryTexts folder = p->parser.describeTimesAndPermissions(*p->parser.entry(paths.at("docs")));
  EXPECT_EQ(folder.permissions, "-OE-OR-GE-GR-UE-UW-UR");
  EXPECT_EQ(p->tree.itemText(p->parser.topItem()), "ROOT");
  EXPECT_TRUE(p->tree.GetCheck(p->parser.topItem()));
  EXPECT_FALSE(paths.count(".")) << "the root's own entry is no folder of ROOT";
  // 5000 bytes with 4096-byte blocks: 4096 + 904.
  MemorySink sink(1 << 20);
  EXPECT_TRUE(p->parser.saveFileData(*letter, sink));
  EXPECT_EQ(sink.written(), 5000u);
}

// A primary superblock that is gone: the search goes on in 512-byte steps to group 1's backup
// (ext2, 1 KiB blocks) and lists the same tree.
TEST_F(ExtCorruptTest, BackupSuperblockFoundWhenThePrimaryIsZeroed) {
  auto good = parse(volumeBytes(0));
  test::ByteVector bytes = volumeBytes(0);
  std::fill(bytes.begin() + 1024, bytes.begin() + 2048, std::byte{0});
  auto p = parse(std::move(bytes));
  ASSERT_TRUE(p->found);
  EXPECT_EQ(p->parser.superblockOffset(), 8193 * 1024);
  EXPECT_EQ(p->paths(), good->paths());
}

// Superblock fields that would size reads wrongly, each refused (ext4 has no backup copy to fall back
// on): block size, inodes per group, inode size, a block count beyond the groups, descriptor size.
TEST_F(ExtCorruptTest, SuperblockCorruptedInFiveWaysIsRefused) {
  const test::ByteVector clean = volumeBytes(2);
  const std::vector<std::pair<const char*, std::function<void(test::ByteVector&)>>> corruptions = {
      {"block size 2^17", [](test::ByteVector& b) { put32(b, 1024 + 24, 7); }},
      {"no inodes per group", [](test::ByteVector& b) { put32(b, 1024 + 40, 0); }},
      {"inode size 100", [](test::ByteVector& b) { put16(b, 1024 + 88, 100); }},
      {"block count that disagrees with the inode count", [](test::ByteVector& b) { put32(b, 1024 + 4, 0x00F00000); }},
      {"descriptor size 40", [](test::ByteVector& b) { put16(b, 1024 + 254, 40); }},
  };
  for (const auto& [what, corrupt] : corruptions) {
    test::ByteVector bytes = clean;
    corrupt(bytes);
    auto p = parse(std::move(bytes));
    EXPECT_FALSE(p->found) << what;
    EXPECT_EQ(p->tree.rootItem(), kNoItem) << what;
  }
}

// Group 1's inode table outside the volume: its inodes cannot be read, every other entry keeps its
// inode (no entry of group 0 moves), and the parse goes on. A name of group 1 is still listed from its
// directory entry, but its data is reported unreadable rather than written from another inode.
TEST_F(ExtCorruptTest, UnreadableInodeTableKeepsOtherEntriesInPlace) {
  auto good = parse(volumeBytes(0));
  test::ByteVector bytes = volumeBytes(0);
  // ext2, 1 KiB blocks: descriptors in block 2, 32 bytes each; bg_inode_table at +8.
  put32(bytes, 2048 + 32 + 8, 0x7FFFFFF0);
  auto p = parse(std::move(bytes));
  ASSERT_TRUE(p->found);
  EXPECT_EQ(p->parser.unreadableGroups(), 1u);
  const auto paths = p->paths();
  EXPECT_EQ(paths.at("docs/letter.txt"), good->paths().at("docs/letter.txt"));
  ASSERT_TRUE(paths.count("readme.txt")) << "inode 51 lives in group 1";
  MemorySink lost(1 << 20);
  EXPECT_FALSE(p->parser.saveFileData(*p->parser.entry(paths.at("readme.txt")), lost));
  const ExtEntry* letter = p->parser.entry(paths.at("docs/letter.txt"));
  EXPECT_EQ(p->parser.describeTimesAndPermissions(*letter).modification, "01/01/2020  03:00 AM");
}

// The depth-1 extent tree of fragmented.bin corrupted: a leaf that names itself as an index (depth
// mismatch) and a bad magic both give a file of the right size, reported as a failed read.
TEST_F(ExtCorruptTest, BrokenExtentTreeGivesZerosAndAFailure) {
  auto good = parse(volumeBytes(2));
  const ExtEntry* frag = good->parser.entry(good->paths().at("fragmented.bin"));
  ASSERT_NE(frag, nullptr);
  MemorySink clean(1 << 20);
  ASSERT_TRUE(good->parser.saveFileData(*frag, clean));
  // The inode's i_block: header, then one index entry whose leaf is at +4.
  const std::size_t inode = frag->inodeTableBlock * 4096 + frag->slot * 256;
  const std::uint32_t leaf = le32At(Bytes(good->disk.bytes().data(), good->disk.bytes().size()), inode + 40 + 12 + 4);
  for (int way = 0; way < 2; ++way) {
    test::ByteVector bytes = volumeBytes(2);
    if (way == 0) put16(bytes, std::size_t{leaf} * 4096 + 6, 1);  // the leaf claims depth 1
    else put16(bytes, std::size_t{leaf} * 4096, 0x1234);          // bad magic
    auto p = parse(std::move(bytes));
    MemorySink sink(1 << 20);
    EXPECT_FALSE(p->parser.saveFileData(*p->parser.entry(frag->key), sink)) << way;
    EXPECT_EQ(sink.written(), clean.written()) << way;
  }
}

using test::FailingRange;

// Files saved one after another share one read buffer: a file whose blocks cannot be read is written
// as zeros of its size, never with the bytes of the larger file saved before it.
TEST_F(ExtCorruptTest, AFileThatCannotBeReadHoldsZerosNotTheFileSavedBeforeIt) {
  auto good = parse(volumeBytes(2));
  const auto paths = good->paths();
  const ExtEntry* frag = good->parser.entry(paths.at("fragmented.bin"));
  const ExtEntry* letter = good->parser.entry(paths.at("docs/letter.txt"));
  ASSERT_TRUE(frag && letter);
  MemorySink clean(1 << 20);
  ASSERT_TRUE(good->parser.saveFileData(*frag, clean));
  ASSERT_GT(clean.written(), std::uint64_t{letter->size});
  const std::optional<std::uint64_t> first = good->parser.firstBlock(*letter);
  ASSERT_TRUE(first);
  test::MemoryDisk disk(volumeBytes(2));
  const std::uint64_t size = disk.bytes().size();
  FailingRange failing(disk, *first * 4096, *first * 4096 + 4096);
  ext2Class parser;
  parser.attachVolume(VolumeView(failing, 0, size / 512), static_cast<std::int64_t>(size >> 20));
  ASSERT_TRUE(parser.findSuperblock() && parser.readGroupDescriptors());
  parser.readInodeTables();
  parser.readDirectories();
  parser.buildEntryMap();
  parser.linkParentsAndChildren();
  MemorySink again(1 << 20);
  EXPECT_TRUE(parser.saveFileData(*parser.entry(frag->key), again));
  EXPECT_EQ(again.bytes(), clean.bytes());
  MemorySink lost(1 << 20);
  EXPECT_FALSE(parser.saveFileData(*parser.entry(letter->key), lost));
  ASSERT_EQ(lost.bytes().size(), std::size_t{letter->size});
  // Its first block could not be read: zeros, as a fresh buffer would hold.
  const std::size_t unread = std::min<std::size_t>(4096, lost.bytes().size());
  EXPECT_TRUE(std::all_of(lost.bytes().begin(), lost.bytes().begin() + static_cast<std::ptrdiff_t>(unread),
                          [](std::byte b) { return b == std::byte{0}; }));
}

// The data writer copies a file's runs from the image file to the output inside the host. Where the image
// file ends in the middle of a block of the file (a truncated VHDX), the copy stops short and the rest is
// read: the output holds the same bytes as the read path gives (the file's bytes, then zeros), and the
// missing bytes are counted.
TEST_F(ExtCorruptTest, ACopyCutShortByTheImagesEndGivesTheBytesOfTheReadPath) {
  const json& volume = m_manifest["volumes"][2];
  const std::uint64_t start = volume["start_sector"].get<std::uint64_t>();
  const std::uint64_t sectors = volume["sector_count"].get<std::uint64_t>();
  const std::string image = m_dir + "/cut.vhdx";
  std::filesystem::copy_file(test::fixturePath(kImage), image);
  struct Opened {
    DiskContext context;
    std::unique_ptr<readWriteInterface> reader;
    ext2Class parser;
    const ExtEntry* big = nullptr;
  };
  const auto open = [&](Opened& o) {
    o.reader = createDiskReader(ImageFormat::Vhdx, o.context);
    ASSERT_TRUE(o.reader->open(image));
    o.parser.attachVolume(VolumeView(*o.reader, start, o.context.diskSectorCount), static_cast<std::int64_t>(sectors >> 11));
    ASSERT_TRUE(o.parser.findSuperblock() && o.parser.readGroupDescriptors());
    o.parser.readInodeTables();
    o.parser.readDirectories();
    o.parser.buildEntryMap();
    o.parser.linkParentsAndChildren();
    for (std::int64_t c : o.parser.childEntries(ext2Class::kRootKey))
      if (o.parser.entryName(c) == "big.bin") o.big = o.parser.entry(c);
    ASSERT_NE(o.big, nullptr);
  };
  Opened whole;
  open(whole);
  MemorySink intact(8 << 20);
  ASSERT_TRUE(whole.parser.saveFileData(*whole.big, intact));
  // The image file is cut 1000 bytes into the file's third block.
  const auto first = whole.parser.firstBlock(*whole.big);
  ASSERT_TRUE(first);
  const auto stretch = whole.reader->hostStretch(start * 512 + (*first + 2) * 4096, 4096);
  ASSERT_TRUE(stretch);
  std::filesystem::resize_file(image, stretch->position + 1000);
  const std::size_t kept = 2 * 4096 + 1000;

  Opened cut;
  open(cut);
  MemorySink read(8 << 20);
  cut.parser.saveFileData(*cut.big, read);
  const std::uint64_t missingBefore = cut.reader->missingReads.load();
  OutputFile out;
  ASSERT_TRUE(out.create(m_dir + "/big.bin"));
  cut.parser.saveFileData(*cut.big, out);
  ASSERT_TRUE(out.close());
  EXPECT_GT(cut.reader->missingReads.load(), missingBefore);
  const std::string copied = test::readHostFile(m_dir + "/big.bin");
  ASSERT_EQ(copied.size(), read.bytes().size());
  EXPECT_TRUE(std::memcmp(copied.data(), read.bytes().data(), copied.size()) == 0);
  EXPECT_TRUE(std::memcmp(copied.data(), intact.bytes().data(), kept) == 0);
  EXPECT_TRUE(std::all_of(copied.begin() + kept, copied.end(), [](char c) { return c == 0; }));
}

// Stop during the superblock search ends it and clears the flag, so the steps after it still run.
TEST_F(ExtCorruptTest, StopEndsTheSearchAndIsCleared) {
  test::MemoryDisk disk(volumeBytes(2));
  ext2Class parser;
  parser.attachVolume(VolumeView(disk, 0, disk.bytes().size() / 512), static_cast<std::int64_t>(disk.bytes().size() >> 20));
  parser.stopFlag() = 1;
  EXPECT_FALSE(parser.findSuperblock());
  EXPECT_EQ(parser.stopFlag().load(), 0);
  EXPECT_TRUE(parser.findSuperblock());
}

TEST(ExtTextsTest, SizeTextsInPowersOf1024) {
  ExtEntry e{};
  e.size = 1023;
  EXPECT_EQ(ext2Class::describeSize(e), "1023 Bytes");
  e.size = 1536;
  EXPECT_EQ(ext2Class::describeSize(e), "1.50 KB");
  e.size = 3 * 1048576;
  EXPECT_EQ(ext2Class::describeSize(e), "3.00 MB");
  e.size = 5ULL << 30;
  EXPECT_EQ(ext2Class::describeSize(e), "5.00 GB");
}

}  // namespace
}  // namespace tessary
