// The exFAT parser on volumes made by mkfs.exfat and exfat-fuse (checked against the manifest and The
// Sleuth Kit), its Advanced mode on the same volume with its boot sector zeroed, and hand-built volumes
// for what real tools do not write.
#include <gtest/gtest.h>

#include <ctime>
#include <filesystem>
#include <fstream>
#include <map>
#include <set>
#include <sstream>

#include <nlohmann/json.hpp>

#include "disk/vhdx_reader.h"
#include "fs/exfat/fat64.h"
#include "fs/registry.h"
#include "platform/file_time.h"
#include "platform/text.h"
#include "fs/candidate_scan.h"
#include "fs/parser_slot.h"
#include "results/save_engine.h"
#include "support/cli_runner.h"
#include "support/fixtures.h"
#include "support/ntfs_builder.h"
#include "support/ntfs_harness.h"
#include "support/recording_sink.h"
#include "support/sha256.h"

namespace tessary {
namespace {

using nlohmann::json;

std::int64_t isoToUnix(const std::string& iso) {
  return test::unixFromIso(iso);
}

// The detail list's text of a time stamp written in UTC (exFAT stamps are shown as stored).
std::string listText(const std::string& iso) {
  const std::int64_t s = isoToUnix(iso);
  const std::time_t t = static_cast<std::time_t>(s);
  std::tm tm{};
#ifdef _WIN32
  ::gmtime_s(&tm, &t);
#else
  ::gmtime_r(&t, &tm);
#endif
  CalendarTime c;
  c.year = tm.tm_year + 1900;
  c.month = tm.tm_mon + 1;
  c.day = tm.tm_mday;
  c.hour = tm.tm_hour;
  c.minute = tm.tm_min;
  return formatListTime(c);
}

// The path the tree shows: a "$R" file under the name its "$I" record gives.
std::string shownPath(const json& e) {
  const std::string path = e["path"];
  if (!e.contains("recycled_name")) return path;
  return path.substr(0, path.rfind('/') + 1) + e["recycled_name"].get<std::string>();
}

struct ExfatVolume {
  DiskContext context;
  std::unique_ptr<readWriteInterface> reader;
  json volume;
  VolumeEntry entry;

  bool open(const std::string& name) {
    if (!test::haveFixture(name + ".vhdx") || !test::haveFixture(name + ".json")) return false;
    auto vhdx = std::make_unique<FileReadSeekVHDX>(context);
    if (!vhdx->open(test::fixturePath(name + ".vhdx"))) return false;
    reader = std::move(vhdx);
    std::ifstream in(test::fixturePath(name + ".json"));
    volume = json::parse(in)["volumes"][0];
    entry.fileSystem = "FAT64";
    entry.volumeName = "0";
    entry.volumeSizeText = std::to_string(volume["sector_count"].get<std::int64_t>() / 2048) + "  MB";
    entry.startSector = volume["start_sector"];
    return true;
  }
  VolumeView view() const { return VolumeView(*reader, entry.startSector, context.diskSectorCount); }
  std::uint64_t bytes() const { return volume["sector_count"].get<std::uint64_t>() * 512; }
};

// Every entry below `index` as path -> index, through the parser's links.
void listBelow(const Fat64Class& fs, std::int64_t index, const std::string& prefix,
               std::map<std::string, std::int64_t>& out) {
  for (std::int64_t c : fs.childEntries(index)) {
    const std::string path = (prefix.empty() ? "" : prefix + "/") + utf8FromUtf16(fs.entries()[c].name);
    out[path] = c;
    if (fs.entries()[c].folder()) listBelow(fs, c, path, out);
  }
}

std::string sha256Of(const std::vector<std::byte>& bytes) {
  return test::sha256Hex(std::string(reinterpret_cast<const char*>(bytes.data()), bytes.size()));
}

class ExfatTreeTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!m_volume.open("exfat_tree")) GTEST_SKIP() << "no exfat_tree fixture";
    m_image = test::fixturePath("exfat_tree.vhdx");
  }
  ExfatVolume m_volume;
  std::string m_image;
};

TEST_F(ExfatTreeTest, ListingHoldsEveryEntryWithSizeTimesAndDeletedMarkAsFlsDoes) {
  const auto result = test::runTessary({"ls", m_image, "--volume", "0", "--json", "--quiet"});
  ASSERT_EQ(result.status, 0) << result.err;
  std::map<std::string, json> listed;
  for (const auto& o : result.objects()) listed[o["path"].get<std::string>()] = o;
  for (const auto& e : m_volume.volume["entries"]) {
    const std::string path = shownPath(e);
    const auto it = listed.find(path);
    ASSERT_NE(it, listed.end()) << path;
    EXPECT_EQ(it->second["folder"], e["folder"]) << path;
    EXPECT_EQ(it->second["deleted"], e["deleted"]) << path;
    if (e["folder"].get<bool>()) continue;
    EXPECT_EQ(it->second["size"], e["size"]) << path;
    EXPECT_EQ(it->second["modified"], listText(e["modified"])) << path;
    EXPECT_EQ(it->second["accessed"], listText(e["accessed"])) << path;
  }
  EXPECT_EQ(listed.count("ORPHAN ENTRY"), 0u);  // the standard parse has no orphans' folder

  if (!test::haveSleuthKit()) GTEST_SKIP() << "no fls";
  const std::string dir = test::makeTempDir("tessary-exfat-fls-");
  const std::string raw = test::rawVolume("exfat_tree.vhdx", dir);
  ASSERT_FALSE(raw.empty());
  std::string text;
  test::runCommand("fls -o 2048 -r -p '" + raw + "'", &text);
  std::istringstream lines(text);
  std::size_t seen = 0;
  for (std::string line; std::getline(lines, line);) {
    const auto tab = line.find('\t');
    if (tab == std::string::npos) continue;
    const std::string head = line.substr(0, tab);
    const std::string path = line.substr(tab + 1);
    // The volume's own files and the label, which the tree does not show.
    if (head[0] == 'v' || head[0] == 'V' || path.rfind("$OrphanFiles", 0) == 0 || path == "$ALLOC_BITMAP" ||
        path == "$UPCASE_TABLE" || path.find("(Volume Label Entry)") != std::string::npos)
      continue;
    ++seen;
    std::string shown = path;
    if (path.find("/$RAB12CD.txt") != std::string::npos) shown = path.substr(0, path.rfind('/') + 1) + "budget 2023.txt";
    const auto it = listed.find(shown);
    ASSERT_NE(it, listed.end()) << path;
    EXPECT_EQ(it->second["deleted"].get<bool>(), head.find('*') != std::string::npos) << path;
    EXPECT_EQ(it->second["folder"].get<bool>(), head[0] == 'd') << path;
  }
  EXPECT_EQ(seen, listed.size());
}

TEST_F(ExfatTreeTest, RecoverWritesEveryFileByteForByteWithItsTimesAsIcatReadsIt) {
  const std::string out = test::makeTempDir("tessary-exfat-recover-");
  const auto result = test::runTessary({"recover", m_image, "--volume", "0", "--out", out, "--json", "--quiet"});
  ASSERT_EQ(result.status, 0) << result.err;
  for (const auto& e : m_volume.volume["entries"]) {
    const std::string host = out + "/" + shownPath(e);
    const auto st = test::hostEntry(host);
    ASSERT_TRUE(st) << host;
    if (e["folder"].get<bool>()) {
      EXPECT_TRUE(st->folder) << host;
      continue;
    }
    // Deleted files come back whole: nothing was written after they went.
    EXPECT_EQ(test::fileSha256(host), e["sha256"].get<std::string>()) << host;
    EXPECT_EQ(st->modification, isoToUnix(e["modified"])) << host;
    EXPECT_EQ(st->access, isoToUnix(e["accessed"])) << host;
  }

  if (!test::haveSleuthKit()) GTEST_SKIP() << "no icat";
  const std::string dir = test::makeTempDir("tessary-exfat-icat-");
  const std::string raw = test::rawVolume("exfat_tree.vhdx", dir);
  ASSERT_FALSE(raw.empty());
  const std::map<std::string, std::int64_t> live = test::flsLiveEntries(raw);
  int compared = 0;
  for (const std::string name : {"frag_a.bin", "frag_b.bin", "contiguous.bin", "big_contiguous.bin",
                                  "Docs/Sub/Deep/deep.bin", "Many/file_with_a_longer_name_119.txt",
                                  "r_149.txt", "keeper.txt"}) {
    const auto it = live.find(name);
    ASSERT_NE(it, live.end()) << name;
    std::string sha;
    test::runCommand("icat -o 2048 '" + raw + "' " + std::to_string(it->second) + " | sha256sum", &sha);
    EXPECT_EQ(sha.substr(0, 64), test::fileSha256(out + "/" + name)) << name;
    ++compared;
  }
  EXPECT_EQ(compared, 8);
}

TEST_F(ExfatTreeTest, ChainedAndContiguousFoldersAndFilesAreReadWhole) {
  Fat64Class fs;
  fs.attach(m_volume.view(), m_volume.bytes());
  ASSERT_TRUE(fs.checkBootSector());
  ASSERT_TRUE(fs.readRoot());
  fs.parseRootDirectory();
  fs.linkEntries();
  std::map<std::string, std::int64_t> all;
  listBelow(fs, 0, "", all);
  const auto& r = fs.entries();
  const std::uint64_t c = fs.clusterSize();
  // The root spans several clusters: its last entries are there.
  ASSERT_TRUE(all.count("r_149.txt"));
  ASSERT_TRUE(all.count("keeper.txt"));
  // A folder along its FAT chain and one over consecutive clusters without a chain, both of several clusters.
  const ExFatRecord& many = r[all.at("Many")];
  EXPECT_EQ(many.streamFlags, 1);
  EXPECT_GT(many.dataLength, c);
  EXPECT_EQ(fs.childEntries(all.at("Many")).size(), 120u);
  const ExFatRecord& wide = r[all.at("Wide")];
  EXPECT_EQ(wide.streamFlags, 3);
  EXPECT_GT(wide.dataLength, 2 * c);
  EXPECT_EQ(fs.childEntries(all.at("Wide")).size(), 100u);
  // The two files grown in turns interleave along their chains.
  const ExFatRecord& a = r[all.at("frag_a.bin")];
  const ExFatRecord& b = r[all.at("frag_b.bin")];
  EXPECT_EQ(a.streamFlags, 1);
  EXPECT_EQ(b.streamFlags, 1);
  EXPECT_NE(fs.nextCluster(a.firstCluster), a.firstCluster + 1);
  EXPECT_EQ(r[all.at("contiguous.bin")].streamFlags, 3);
  // Names: one over two File Name entries (16 characters) and a long one over seven.
  EXPECT_TRUE(all.count("sixteen_chars.ab"));
  EXPECT_TRUE(all.count("A very long file name that goes well past the fifteen characters of one entry - 0123456789.txt"));
  // The deleted folder is walked: its deleted files are its children.
  EXPECT_TRUE(r[all.at("OldFolder")].deleted());
  EXPECT_TRUE(r[all.at("OldFolder/old2.bin")].deleted());
  // Detail-list texts.
  const Fat64Texts t = fs.formatTimes(r[all.at("readme.txt")]);
  EXPECT_EQ(t.modification, "03/04/2021  05:06 AM");
  EXPECT_EQ(t.attributes, "-A");
  EXPECT_EQ(fs.formatSize(r[all.at("big_contiguous.bin")]), "300.12 KB");
  EXPECT_EQ(fs.formatSize(r[all.at("readme.txt")]), "360 Bytes");
}

TEST(ExfatAdvancedTest, ZeroedBootSectorIsParsedFromFatAndHeapCandidates) {
  ExfatVolume v;
  if (!v.open("exfat_noboot")) GTEST_SKIP() << "no exfat_noboot fixture";
  const FileSystemRow* row = fileSystemForLabel("exFat");
  ASSERT_TRUE(row && row->createCandidateScan && row->createParser && row->restoresRecycleBinNames);
  EXPECT_TRUE(modeBuilt("fat64", 2));
  EXPECT_FALSE(modeBuilt("fat64", 3));
  std::unique_ptr<CandidateScan> scan = row->createCandidateScan();
  EXPECT_EQ(scan->counterCaption(), "Total fat64 Entries Found:");
  RecordingSink sink;
  ParserLinks links;
  links.reader = v.reader.get();
  links.view = v.view();
  links.volume = v.entry;
  links.sink = &sink;
  links.control = WorkerControl(&scan->parser().stopFlag(), nullptr);
  const CandidateLists lists = scan->search(links, 0, false);
  EXPECT_TRUE(sink.sawStatus("Finding Fat64 entries...."));
  EXPECT_EQ(lists.status, "Parsing done.Click Next to continue.");
  ASSERT_FALSE(lists.candidates.empty());
  EXPECT_LE(lists.candidates.size(), 3u);
  EXPECT_LE(lists.heapOffsets.size(), 4u);
  EXPECT_EQ(lists.candidates[0].text, "FAT64_ENTRY:0");
  EXPECT_EQ(lists.message, format("Number of FAT64-ENTRY found = %d and Number of HeapOffset-ENTRY found =  %d  . "
                                  "Please select the choice from ( Entry and Heap ) Combobox and click Parse button "
                                  "to proceed.",
                                  static_cast<int>(lists.candidates.size()), static_cast<int>(lists.heapOffsets.size())));
  // Without a boot sector the cluster sizes start with the large ones.
  ASSERT_GE(lists.clusterSizes.size(), 4u);
  EXPECT_EQ(lists.clusterSizes[0].text, "8");
  auto indexOf = [](const std::vector<CandidateItem>& items, auto match) {
    for (std::size_t i = 0; i < items.size(); ++i)
      if (match(items[i])) return static_cast<int>(i);
    return -1;
  };
  const std::uint64_t fatOffset = v.volume["fat_offset"];
  const std::uint64_t heapOffset = v.volume["heap_offset"];
  const int fat = indexOf(lists.candidates, [&](const CandidateItem& i) { return i.offset == fatOffset; });
  const int heap = indexOf(lists.heapOffsets, [&](const CandidateItem& i) { return i.offset == heapOffset; });
  const int cluster = indexOf(lists.clusterSizes, [](const CandidateItem& i) { return i.text == "3"; });
  ASSERT_GE(fat, 0);
  ASSERT_GE(heap, 0) << "the heap is not among the heap-offset candidates";
  ASSERT_GE(cluster, 0);
  EXPECT_EQ(lists.heapOffsets[static_cast<std::size_t>(heap)].text, format("HEAP_OFFSET_ENTRY:%d", heap));
  scan->choose(fat, cluster, heap);

  CXHtmlTree tree;
  CCheckListCtrl list;
  StopFlag stop{0};
  SaveEngine engine(tree, list, sink, stop);
  ParserSlot& parser = scan->parser();
  links.tree = &tree;
  links.mode = 2;
  const ParserSlot::WorkerOutcome outcome = parser.runWorker(links);
  EXPECT_EQ(outcome.message, "Scanning process completed...");
  EXPECT_EQ(outcome.status, "Processing done...");
  EXPECT_TRUE(sink.sawStatus("Maintaining TreeStructure for Tree Control"));
  const TreeItem top = parser.topItem();
  ASSERT_NE(top, kNoItem);
  // Every live file is found below the top item or below the orphans' folder, whole.
  std::map<std::string, std::int64_t> found;
  for (TreeItem item = tree.childItem(top); item != kNoItem; item = tree.nextSiblingItem(item)) {
    const std::int64_t data = tree.itemData(item);
    const std::string name = parser.name(data);
    if (name == "ORPHAN ENTRY") {
      EXPECT_FALSE(tree.isDeletedItem(item));
      for (std::int64_t c : parser.children(data)) found[parser.name(c)] = c;
    }
    found[name] = data;
  }
  std::function<void(std::int64_t, const std::string&)> walk = [&](std::int64_t at, const std::string& prefix) {
    for (std::int64_t c : parser.children(at)) {
      const std::string path = prefix + "/" + parser.name(c);
      found[path] = c;
      if (parser.isFolder(c)) walk(c, path);
    }
  };
  for (const auto& [name, data] : std::map<std::string, std::int64_t>(found))
    if (parser.isFolder(data) && name != "ORPHAN ENTRY") walk(data, name);
  int files = 0;
  for (const auto& e : v.volume["entries"]) {
    if (e["deleted"].get<bool>() || e["folder"].get<bool>()) continue;
    const std::string path = e["path"];
    const auto it = found.find(path);
    ASSERT_NE(it, found.end()) << path;
    MemorySink data(1 << 20);
    EXPECT_TRUE(parser.writeContent(it->second, data)) << path;
    EXPECT_EQ(sha256Of(data.bytes()), e["sha256"].get<std::string>()) << path;
    ++files;
  }
  EXPECT_GT(files, 380);
}

// A hand-built volume: 512-byte sectors, clusters of 2^clusterShift sectors (one unless told), the FAT
// at sector 8, the heap at sector 16, the root at cluster 2.
class ExfatBuilder {
 public:
  static constexpr std::size_t kSectors = 256;
  static constexpr std::size_t kFat = 8 * 512;
  static constexpr std::size_t kHeap = 16 * 512;

  explicit ExfatBuilder(std::size_t sectors = kSectors, unsigned clusterShift = 0)
      : clusterBytes(std::size_t{512} << clusterShift), bytes(sectors * 512) {
    put(3, std::string("EXFAT   "));
    put64(72, sectors);
    put32(80, 8);
    put32(88, 16);
    put32(92, static_cast<std::uint32_t>((sectors - 16) >> clusterShift));
    put32(96, 2);
    bytes[108] = std::byte{9};
    bytes[109] = static_cast<std::byte>(clusterShift);
    put32(kFat, 0xFFFFFFF8);
    put32(kFat + 4, 0xFFFFFFFF);
    fat(2, 0xFFFFFFFF);
  }
  void put(std::size_t at, const std::string& s) {
    for (std::size_t i = 0; i < s.size(); ++i) bytes[at + i] = static_cast<std::byte>(s[i]);
  }
  void put16(std::size_t at, std::uint16_t v) {
    for (int i = 0; i < 2; ++i) bytes[at + i] = static_cast<std::byte>(v >> (8 * i));
  }
  void put32(std::size_t at, std::uint32_t v) {
    for (int i = 0; i < 4; ++i) bytes[at + i] = static_cast<std::byte>(v >> (8 * i));
  }
  void put64(std::size_t at, std::uint64_t v) {
    for (int i = 0; i < 8; ++i) bytes[at + i] = static_cast<std::byte>(v >> (8 * i));
  }
  static std::size_t cluster(std::uint32_t c) { return kHeap + (c - 2) * 512; }
  std::size_t clusterAt(std::uint32_t c) const { return kHeap + (c - 2) * clusterBytes; }
  void fat(std::uint32_t c, std::uint32_t next) { put32(kFat + 4 * c, next); }
  // A set at byte `at`: File, Stream Extension (unless `stream` is false) and the name's entries;
  // returns the byte after it.
  std::size_t set(std::size_t at, const std::u16string& name, std::uint16_t attributes, std::uint32_t first,
                  std::uint64_t size, std::uint8_t flags, bool deleted = false, bool stream = true,
                  std::uint32_t stamp = 0x52643C24) {
    const std::uint8_t bit = deleted ? 0 : 0x80;
    const std::size_t names = (name.size() + 14) / 15;
    bytes[at] = std::byte{static_cast<std::uint8_t>(0x05 | bit)};
    bytes[at + 1] = static_cast<std::byte>(names + 1);
    put16(at + 4, attributes);
    put32(at + 8, stamp);
    put32(at + 12, stamp);
    put32(at + 16, stamp);
    at += 32;
    if (stream) {
      bytes[at] = std::byte{static_cast<std::uint8_t>(0x40 | bit)};
      bytes[at + 1] = std::byte{flags};
      bytes[at + 3] = static_cast<std::byte>(std::min<std::size_t>(name.size(), 255));
      put64(at + 8, size);
      put32(at + 20, first);
      put64(at + 24, size);
      at += 32;
    }
    for (std::size_t k = 0; k < names; ++k, at += 32) {
      bytes[at] = std::byte{static_cast<std::uint8_t>(0x41 | bit)};
      for (std::size_t u = 0; u < 15 && k * 15 + u < name.size(); ++u) put16(at + 2 + 2 * u, name[k * 15 + u]);
    }
    return at;
  }
  void fill(std::uint32_t c, std::size_t length, std::uint8_t value) {
    for (std::size_t i = 0; i < length; ++i) bytes[cluster(c) + i] = std::byte{value};
  }

  std::size_t clusterBytes;
  test::ByteVector bytes;
};

struct ParsedMemory {
  std::unique_ptr<test::MemoryDisk> disk;
  Fat64Class fs;
  RecordingSink sink;
  std::map<std::string, std::int64_t> all;
  bool parse(const ExfatBuilder& b, bool formatted = false) {
    disk = std::make_unique<test::MemoryDisk>(b.bytes);
    fs.setSink(&sink);
    fs.setDriveFormatted(formatted);
    fs.attach(VolumeView(*disk, 0, b.bytes.size() / 512), b.bytes.size());
    if (!fs.checkBootSector() || !fs.readRoot()) return false;
    fs.parseRootDirectory();
    fs.linkEntries();
    listBelow(fs, 0, "", all);
    return true;
  }
  std::vector<std::byte> data(const std::string& path) {
    MemorySink out(1 << 20);
    fs.writeFileData(all.at(path), out);
    return out.bytes();
  }
};

class TimesSink : public MemorySink {
 public:
  TimesSink() : MemorySink(1 << 20) {}
  bool setTimes(std::int64_t a, std::int64_t m) override {
    calls.emplace_back(a, m);
    return true;
  }
  bool setCreationTime(std::int64_t c) override {
    created.push_back(c);
    return true;
  }
  std::vector<std::pair<std::int64_t, std::int64_t>> calls;
  std::vector<std::int64_t> created;
};

TEST(ExfatHandBuiltTest, BootSectorFieldsAreCheckedBeforeUse) {
  for (const auto& [at, value] : std::vector<std::pair<std::size_t, std::uint32_t>>{
           {108, 13}, {108, 8}, {109, 17}, {88, 100000}, {80, 0}}) {
    ExfatBuilder b;
    if (at >= 100)
      b.bytes[at] = static_cast<std::byte>(value);
    else
      b.put32(at, value);
    ParsedMemory p;
    EXPECT_FALSE(p.parse(b)) << at << "=" << value;
  }
  // The slot's worker reports the refusal.
  ExfatBuilder b;
  b.put(3, "NTFS    ");
  test::MemoryDisk disk(b.bytes);
  std::unique_ptr<ParserSlot> slot = createParserForLabel("FAT64");
  ASSERT_TRUE(slot);
  CXHtmlTree tree;
  CCheckListCtrl list;
  RecordingSink sink;
  StopFlag stop{0};
  SaveEngine engine(tree, list, sink, stop);
  ParserLinks links;
  links.view = VolumeView(disk, 0, b.bytes.size() / 512);
  links.volume.volumeSizeText = "0";
  links.sink = &sink;
  links.tree = &tree;
  EXPECT_EQ(slot->runWorker(links).message, "Selected Drive is not in exFat Format");
  EXPECT_EQ(slot->topItem(), kNoItem);
}

TEST(ExfatHandBuiltTest, RootChainNameRunsAndSetsWithoutStream) {
  ExfatBuilder b;
  // The root over clusters 2 to 6, whose chain then loops back to 2.
  for (std::uint32_t c = 2; c < 6; ++c) b.fat(c, c + 1);
  b.fat(6, 2);
  std::size_t at = ExfatBuilder::cluster(2);
  // 40 File Name entries: the name keeps the first 32 (480 units) and the set stays.
  const std::u16string longName(40 * 15, u'x');
  at = b.set(at, longName, 0x20, 10, 5, 3);
  b.fill(10, 5, 'L');
  // A File entry without its Stream Extension gets no cluster or size of the set before it.
  at = b.set(at, u"nostream.txt", 0x20, 0, 0, 0, false, false);
  at = b.set(at, u"after.txt", 0x20, 11, 3, 3);
  b.fill(11, 3, 'A');
  // A top-level file with the read-only bit and a folder with attribute 0x31 are listed too.
  at = b.set(at, u"readonly.txt", 0x21, 12, 2, 3);
  at = b.set(at, u"odd folder", 0x31, 13, 512, 3);
  b.set(ExfatBuilder::cluster(13), u"inner.txt", 0x20, 14, 1, 3);
  ParsedMemory p;
  ASSERT_TRUE(p.parse(b));
  const std::string cut(32 * 15, 'x');
  ASSERT_TRUE(p.all.count(cut));
  EXPECT_EQ(p.data(cut), std::vector<std::byte>(5, std::byte{'L'}));
  ASSERT_TRUE(p.all.count("nostream.txt"));
  EXPECT_EQ(p.fs.entries()[p.all.at("nostream.txt")].validDataLength, 0u);
  EXPECT_EQ(p.fs.entries()[p.all.at("nostream.txt")].firstCluster, 0u);
  EXPECT_EQ(p.data("after.txt"), std::vector<std::byte>(3, std::byte{'A'}));
  EXPECT_TRUE(p.all.count("odd folder/inner.txt"));
  // Each entry once, although the chain loops.
  EXPECT_EQ(p.fs.entries().size(), 7u);

  CXHtmlTree tree;
  p.fs.setTree(&tree, "ROOT");
  p.fs.insertTopItem();
  p.fs.fillTopLevel();
  std::set<std::string> top;
  for (TreeItem i = tree.childItem(p.fs.topItem()); i != kNoItem; i = tree.nextSiblingItem(i)) top.insert(tree.itemText(i));
  EXPECT_TRUE(top.count("readonly.txt"));
  EXPECT_TRUE(top.count("odd folder"));
  EXPECT_FALSE(top.count("DUMMY ENTRY"));
}

TEST(ExfatHandBuiltTest, ChainedContiguousDeletedAndOutOfVolumeData) {
  ExfatBuilder b;
  b.fat(2, 3);
  b.fat(3, 0xFFFFFFFF);
  std::size_t at = ExfatBuilder::cluster(2);
  // A chained file over 20, 30, 25; a deleted chained file whose chain is intact (40, 42) and one whose
  // chain was freed (50, 51 follow one another); a contiguous file running past the volume's end.
  at = b.set(at, u"chained.bin", 0x20, 20, 1300, 1);
  b.fat(20, 30);
  b.fat(30, 25);
  b.fat(25, 0xFFFFFFFF);
  b.fill(20, 512, 1);
  b.fill(30, 512, 2);
  b.fill(25, 512, 3);
  at = b.set(at, u"deleted_chain.bin", 0x20, 40, 1000, 1, true);
  b.fat(40, 42);
  b.fat(42, 0xFFFFFFFF);
  b.fill(40, 512, 4);
  b.fill(42, 512, 5);
  b.fill(41, 512, 9);
  at = b.set(at, u"deleted_freed.bin", 0x20, 50, 700, 1, true);
  b.fill(50, 512, 6);
  b.fill(51, 512, 7);
  at = b.set(at, u"past_end.bin", 0x20, 230, 1ull << 40, 3);
  at = b.set(at, u"zero_stamp.txt", 0x20, 60, 1, 3, false, true, 0);
  // A chain whose first clusters follow one another (read as one run) before it jumps.
  at = b.set(at, u"runs.bin", 0x20, 70, 2000, 1);
  b.fat(70, 71);
  b.fat(71, 72);
  b.fat(72, 80);
  b.fat(80, 0xFFFFFFFF);
  b.fill(70, 512, 11);
  b.fill(71, 512, 12);
  b.fill(72, 512, 13);
  b.fill(80, 512, 14);
  ParsedMemory p;
  ASSERT_TRUE(p.parse(b));
  auto run = [](std::initializer_list<std::pair<int, std::size_t>> parts) {
    std::vector<std::byte> v;
    for (auto [value, n] : parts) v.insert(v.end(), n, static_cast<std::byte>(value));
    return v;
  };
  EXPECT_EQ(p.data("chained.bin"), run({{1, 512}, {2, 512}, {3, 276}}));
  EXPECT_EQ(p.data("runs.bin"), run({{11, 512}, {12, 512}, {13, 512}, {14, 464}}));
  EXPECT_EQ(p.data("deleted_chain.bin"), run({{4, 512}, {5, 488}}));
  EXPECT_EQ(p.data("deleted_freed.bin"), run({{6, 512}, {7, 188}}));
  // Data past the volume is never made up: the writer stops at the volume's end and reports it.
  MemorySink past(1 << 20);
  EXPECT_FALSE(p.fs.writeFileData(p.all.at("past_end.bin"), past));
  EXPECT_EQ(past.written(), (ExfatBuilder::kSectors - 16 - 228) * 512u);
  // With the drive formatted, the chain is not followed: consecutive clusters.
  ParsedMemory f;
  ASSERT_TRUE(f.parse(b, true));
  EXPECT_EQ(f.data("chained.bin"), run({{1, 512}, {0, 788}}));
  // Times: a valid stamp sets access and modification; a stamp of 0 leaves the host's times.
  TimesSink timed;
  p.fs.writeFileData(p.all.at("chained.bin"), timed);
  ASSERT_EQ(timed.calls.size(), 1u);
  const std::int64_t expected = unixNanosecondsFromFileTime(*fileTimeFromDos(0x5264, 0x3C24));
  EXPECT_EQ(timed.calls[0], std::make_pair(expected, expected));
  EXPECT_EQ(timed.created, std::vector<std::int64_t>{expected});
  TimesSink zero;
  p.fs.writeFileData(p.all.at("zero_stamp.txt"), zero);
  EXPECT_TRUE(zero.calls.empty());
  EXPECT_TRUE(zero.created.empty());
  EXPECT_EQ(p.fs.formatTimes(p.fs.entries()[p.all.at("zero_stamp.txt")]).creation, "00/00/1980  00:00 AM");
}

TEST(ExfatHandBuiltTest, AdvancedWorkerWithoutChoicesEndsWithoutParsing) {
  ExfatBuilder b;
  test::MemoryDisk disk(b.bytes);
  std::unique_ptr<ParserSlot> slot = createParserForLabel("exfat");
  CXHtmlTree tree;
  CCheckListCtrl list;
  RecordingSink sink;
  StopFlag stop{0};
  SaveEngine engine(tree, list, sink, stop);
  ParserLinks links;
  links.view = VolumeView(disk, 0, b.bytes.size() / 512);
  links.sink = &sink;
  links.tree = &tree;
  links.mode = 2;
  slot->runWorker(links);
  EXPECT_EQ(slot->topItem(), kNoItem);
  EXPECT_FALSE(slot->validItem(0));
}

// ---- The volume's last partial MiB, data past the valid length, deleted fragmented files ----

class HoleSink : public MemorySink {
 public:
  HoleSink() : MemorySink(1 << 24) {}
  bool hole(std::uint64_t bytes) override {
    holes.push_back(bytes);
    return MemorySink::hole(bytes);
  }
  std::vector<std::uint64_t> holes;
};

TEST(ExfatOddTest, FileInTheLastPartialMibAndDeletedFragmentedFileAreRecoveredWhole) {
  ExfatVolume v;
  if (!v.open("exfat_odd")) GTEST_SKIP() << "no exfat_odd fixture";
  // The volume list shows whole MiB; the boot sector's length reaches past them.
  Fat64Class fs;
  fs.attach(v.view(), v.bytes() >> 20 << 20);
  ASSERT_TRUE(fs.checkBootSector());
  EXPECT_EQ(fs.volumeSize(), v.bytes());
  ASSERT_NE(v.bytes() % (1 << 20), 0u);

  const std::string out = test::makeTempDir("exfat-odd");
  std::filesystem::remove_all(out);
  const auto r = test::runTessary({"recover", test::fixturePath("exfat_odd.vhdx"), "--volume", "0", "--out", out,
                                   "--quiet", "--json"});
  ASSERT_EQ(r.status, 0) << r.err;
  std::map<std::string, std::uint64_t> written;
  for (const auto& o : r.objects()) written[o["path"].get<std::string>()] = o["written"].get<std::uint64_t>();
  for (const auto& e : v.volume["entries"]) {
    const std::string path = e["path"];
    SCOPED_TRACE(path);
    EXPECT_EQ(written[path], e["size"].get<std::uint64_t>());
    std::ifstream in(out + "/" + path, std::ios::binary);
    ASSERT_TRUE(in);
    const std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    EXPECT_EQ(test::sha256Hex(bytes), e["sha256"].get<std::string>());
  }
  std::filesystem::remove_all(out);
}

TEST(ExfatOddTest, AdvancedRootIsTheClusterWithLabelBitmapAndUpcaseNotAFileTailThatLooksLikeALabel) {
  ExfatVolume v;
  if (!v.open("exfat_odd")) GTEST_SKIP() << "no exfat_odd fixture";
  test::ByteVector bytes(static_cast<std::size_t>(v.bytes()));
  ASSERT_TRUE(v.view().read(0, bytes));
  Fat64Class standard;
  test::MemoryDisk original(bytes);
  standard.attach(VolumeView(original, 0, bytes.size() / 512), 0);
  ASSERT_TRUE(standard.checkBootSector() && standard.readRoot());
  standard.parseRootDirectory();
  standard.linkEntries();
  std::map<std::string, std::int64_t> live;
  listBelow(standard, 0, "", live);
  ASSERT_TRUE(live.count("filler.bin"));
  const std::uint64_t heap = standard.heapOffset();
  const std::uint64_t fat = standard.fatOffset();
  const std::uint64_t cluster = standard.clusterSize();
  // Inside the filler, far past the root: what the old rule took for the root's volume label.
  const std::uint64_t planted = heap + (standard.entries()[live.at("filler.bin")].firstCluster - 2 + 100) * cluster;
  bytes[planted] = std::byte{0x83};
  for (std::size_t i = 1; i < 32; ++i) bytes[planted + i] = std::byte{0};
  for (std::size_t i = 0; i < 512; ++i) bytes[i] = std::byte{0};
  test::MemoryDisk disk(bytes);
  Fat64Class fs;
  fs.attach(VolumeView(disk, 0, bytes.size() / 512), bytes.size());
  EXPECT_FALSE(fs.checkBootSector());
  ASSERT_TRUE(fs.setAdvancedGeometry(3));
  fs.clearEntries();
  fs.scanEntryCandidates();
  const std::uint64_t rootAt = heap + (5 - 2) * cluster;
  EXPECT_EQ(fs.rootMarker(), rootAt);
  fs.buildFromCandidates(heap, fat);
  fs.linkEntries();
  std::map<std::string, std::int64_t> found;
  listBelow(fs, 0, "", found);
  for (const char* name : {"a.bin", "c.bin", "filler.bin", "tail.bin", "frag.bin"}) EXPECT_TRUE(found.count(name)) << name;
  // The deleted fragmented file is read around the live clusters the bitmap marks, as in the standard mode.
  MemorySink data(1 << 20);
  ASSERT_TRUE(found.count("frag.bin"));
  EXPECT_TRUE(fs.writeFileData(found.at("frag.bin"), data));
  EXPECT_EQ(sha256Of(data.bytes()), v.volume["entries"][4]["sha256"].get<std::string>());
}

TEST(ExfatHandBuiltTest, BytesPastTheValidLengthAreAHoleAndDeletedChainsPassOverClustersTheBitmapHolds) {
  ExfatBuilder b;
  std::size_t at = ExfatBuilder::cluster(2);
  // The allocation bitmap at cluster 100: clusters 2, 21, 22 and 100 in use.
  b.bytes[at] = std::byte{0x81};
  b.put32(at + 20, 100);
  b.put64(at + 24, 32);
  b.fat(100, 0xFFFFFFFF);
  for (const std::uint32_t used : {2u, 21u, 22u, 100u})
    b.bytes[ExfatBuilder::cluster(100) + (used - 2) / 8] |= std::byte{static_cast<std::uint8_t>(1u << ((used - 2) % 8))};
  at += 32;
  // Valid for 600 of 1300 bytes.
  const std::size_t partial = at;
  at = b.set(at, u"partial.bin", 0x20, 10, 1300, 3);
  b.put64(partial + 32 + 8, 600);
  b.fill(10, 512, 1);
  b.fill(11, 512, 2);
  b.fill(12, 512, 3);
  // A length past the volume is no length: the valid one serves.
  const std::size_t huge = at;
  at = b.set(at, u"huge.bin", 0x20, 10, 100, 3);
  b.put64(huge + 32 + 24, 1ull << 40);
  // Deleted, FAT-chained, its FAT entries cleared: clusters 20, 23, 24, 25 (21 and 22 hold a live file).
  at = b.set(at, u"fragmented.bin", 0x20, 20, 2000, 1, true);
  for (const auto& [c, value] : {std::pair<std::uint32_t, std::uint8_t>{20, 1}, {21, 9}, {22, 9}, {23, 2}, {24, 3}, {25, 4}})
    b.fill(c, 512, value);
  ParsedMemory p;
  ASSERT_TRUE(p.parse(b));
  ASSERT_TRUE(p.fs.bitmapFound());
  EXPECT_TRUE(p.fs.clusterInUse(21));
  EXPECT_FALSE(p.fs.clusterInUse(23));

  HoleSink partialOut;
  EXPECT_TRUE(p.fs.writeFileData(p.all.at("partial.bin"), partialOut));
  std::vector<std::byte> expected(512, std::byte{1});
  expected.insert(expected.end(), 88, std::byte{2});
  expected.insert(expected.end(), 700, std::byte{0});
  EXPECT_EQ(partialOut.bytes(), expected);
  EXPECT_EQ(partialOut.holes, std::vector<std::uint64_t>{700});
  EXPECT_EQ(p.fs.formatSize(p.fs.entries()[p.all.at("partial.bin")]), "1.27 KB");
  EXPECT_EQ(p.fs.fileSize(p.fs.entries()[p.all.at("huge.bin")]), 100u);

  std::vector<std::byte> fragments;
  for (const auto& [value, n] : {std::pair<int, std::size_t>{1, 512}, {2, 512}, {3, 512}, {4, 464}})
    fragments.insert(fragments.end(), n, static_cast<std::byte>(value));
  EXPECT_EQ(p.data("fragmented.bin"), fragments);
}

TEST(ExfatHandBuiltTest, LongFilesComeOutInOrderAndOnlyAFilesOwnBytesMustLieInTheVolume) {
  // 4 KiB clusters on a 4 MiB volume. A chained file whose first 391 clusters follow one another (longer
  // than one read) before the chain jumps, and a contiguous file of 1.2 MiB ending inside a cluster.
  ExfatBuilder b(8192, 3);
  const std::size_t cluster = b.clusterBytes;
  std::size_t at = b.clusterAt(2);
  const std::uint64_t chainedSize = (391 + 51) * cluster - 100;
  at = b.set(at, u"chained.bin", 0x20, 10, chainedSize, 1);
  const std::uint64_t contiguousSize = 307 * cluster - 1000;
  at = b.set(at, u"contiguous.bin", 0x20, 600, contiguousSize, 3);
  // The volume ends halfway into its last cluster, 1023: a chained file over 1022 and 1023 whose bytes
  // end before that is whole; one whose bytes run past it is not.
  b.put64(72, 8188);
  at = b.set(at, u"tail.bin", 0x20, 1022, cluster + 1000, 1);
  b.set(at, u"cut.bin", 0x20, 1022, cluster + 3000, 1);
  b.fat(1022, 1023);
  b.fat(1023, 0xFFFFFFFF);
  std::vector<std::uint32_t> chain;
  for (std::uint32_t c = 10; c <= 400; ++c) chain.push_back(c);
  for (std::uint32_t c = 500; c <= 550; ++c) chain.push_back(c);
  for (std::size_t i = 0; i + 1 < chain.size(); ++i) b.fat(chain[i], chain[i + 1]);
  b.fat(chain.back(), 0xFFFFFFFF);
  // Every 4-byte word holds its own offset in the file, so a piece out of place shows.
  auto pattern = [](std::uint64_t size) {
    std::vector<std::byte> v(size);
    for (std::size_t i = 0; i < size; ++i) v[i] = static_cast<std::byte>((i & ~std::size_t{3}) >> (8 * (i & 3)));
    return v;
  };
  const std::vector<std::byte> chained = pattern(chainedSize);
  for (std::size_t i = 0; i < chained.size(); ++i) b.bytes[b.clusterAt(chain[i / cluster]) + i % cluster] = chained[i];
  const std::vector<std::byte> contiguous = pattern(contiguousSize);
  std::copy(contiguous.begin(), contiguous.end(), b.bytes.begin() + static_cast<std::ptrdiff_t>(b.clusterAt(600)));

  ParsedMemory p;
  ASSERT_TRUE(p.parse(b));
  MemorySink chainedOut(8 << 20);
  EXPECT_TRUE(p.fs.writeFileData(p.all.at("chained.bin"), chainedOut));
  EXPECT_TRUE(chainedOut.bytes() == chained);
  MemorySink contiguousOut(8 << 20);
  EXPECT_TRUE(p.fs.writeFileData(p.all.at("contiguous.bin"), contiguousOut));
  EXPECT_TRUE(contiguousOut.bytes() == contiguous);
  MemorySink tail(8 << 20);
  EXPECT_TRUE(p.fs.writeFileData(p.all.at("tail.bin"), tail));
  EXPECT_EQ(tail.written(), cluster + 1000);
  MemorySink cut(8 << 20);
  EXPECT_FALSE(p.fs.writeFileData(p.all.at("cut.bin"), cut));
}

}  // namespace
}  // namespace tessary
