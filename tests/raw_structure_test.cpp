// Carving by the files' own structure: real files of every default type, made by real tools and planted
// in noise, come back at their exact offsets and lengths; damaged files fall back to the block rule and
// are marked partial; look-alike start bytes make no file; nested and back-to-back starts cost one pass.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <fstream>
#include <map>
#include <nlohmann/json.hpp>

#include "platform/bytes.h"
#include "platform/files.h"
#include "platform/text.h"
#include "raw/carve_names.h"
#include "raw/my_jpg.h"
#include "raw/structure_ends.h"
#include "support/fixtures.h"
#include "support/hfsplus_builder.h"
#include "support/raw_volume.h"
#include "support/recording_sink.h"
#include "support/sha256.h"

namespace tessary {
namespace {

using test::ByteVector;

constexpr std::int64_t kMib = 1048576;

std::string defaultSignatures() { return std::string(TESSARY_BINARY_DIR) + "/FileSetting.txt"; }

ByteVector hostBytes(const std::string& path) {
  const std::string text = test::readHostFile(path);
  ByteVector out(text.size());
  std::memcpy(out.data(), text.data(), text.size());
  return out;
}

// The default signatures loaded into an engine over a volume held in memory.
class DefaultCarving {
 public:
  explicit DefaultCarving(ByteVector disk) : m_disk(std::move(disk)) {
    ImageFile file;
    if (!file.open(defaultSignatures())) return;
    SignatureRecordBytes bytes{};
    for (std::uint64_t k = 0; k < file.size() / kSignatureRecordSize; ++k) {
      if (!file.readExact(k * kSignatureRecordSize, bytes)) return;
      engine.appendRecord(*decodeSignatureRecord(bytes));
    }
    loaded = engine.signatureCount() > 0;
  }
  bool run() {
    engine.view = VolumeView(m_reader, 0, m_disk.size() / 512);
    engine.sink = &m_sink;
    engine.tree = &tree;
    engine.volumeLength = static_cast<std::int64_t>(m_disk.size()) / kMib * kMib;
    return engine.scan();
  }
  std::map<std::int64_t, FoundItem> byOffset() const {
    std::map<std::int64_t, FoundItem> out;
    for (const FoundItem& f : engine.foundItems()) out[f.offset] = f;
    return out;
  }
  ByteVector& disk() { return m_disk; }

  bool loaded = false;
  myJpg engine;
  CXHtmlTree tree;

 private:
  ByteVector m_disk;
  test::BufferReader m_reader{m_disk};
  RecordingSink m_sink;
};

TEST(StructureCarvingTest, EveryDefaultTypeMadeByARealToolComesBackWholeAndNothingElse) {
  if (!test::haveFixture("carve_samples.img")) GTEST_SKIP() << "carve_samples.img missing";
  if (!isRegularFile(defaultSignatures())) GTEST_SKIP() << "FileSetting.txt not built";
  std::ifstream in(test::fixturePath("carve_samples.json"));
  const nlohmann::json manifest = nlohmann::json::parse(in);
  DefaultCarving carving(hostBytes(test::fixturePath("carve_samples.img")));
  ASSERT_TRUE(carving.loaded);
  ASSERT_TRUE(carving.run());
  const std::map<std::int64_t, FoundItem> found = carving.byOffset();
  for (const auto& file : manifest["files"]) {
    const std::string name = file["name"];
    const auto it = found.find(file["offset"].get<std::int64_t>());
    ASSERT_NE(it, found.end()) << name << " was not carved";
    EXPECT_EQ(it->second.size, file["size"].get<std::int64_t>()) << name;
    EXPECT_TRUE(it->second.exact) << name;
    EXPECT_FALSE(it->second.partial) << name;
  }
  // The JPEGs inside the ZIP and the AVI, the ZIP's other local headers, the stray end after the first
  // JPEG: none of them is a file of its own.
  EXPECT_EQ(found.size(), manifest["files"].size());
}

// A JPEG cut short, its start bytes in noise, and a ZIP whose stored member holds a look-alike end record.
TEST(StructureCarvingTest, BrokenFilesFallBackMarkedPartialAndLookAlikesMakeNoFile) {
  if (!test::haveFixture("carve_samples.img")) GTEST_SKIP() << "carve_samples.img missing";
  if (!isRegularFile(defaultSignatures())) GTEST_SKIP() << "FileSetting.txt not built";
  std::ifstream in(test::fixturePath("carve_samples.json"));
  const nlohmann::json manifest = nlohmann::json::parse(in);
  const ByteVector samples = hostBytes(test::fixturePath("carve_samples.img"));
  auto sample = [&](const std::string& wanted) {
    for (const auto& file : manifest["files"])
      if (file["name"] == wanted) {
        const auto at = samples.begin() + file["offset"].get<std::int64_t>();
        return ByteVector(at, at + file["size"].get<std::int64_t>());
      }
    return ByteVector{};
  };
  const ByteVector jpeg = sample("progressive.jpg");
  ASSERT_FALSE(jpeg.empty());
  test::NoiseVolume volume(2 * kMib, 5);
  // The first half of the JPEG, then noise; an end pair at a block start 8 blocks later closes it.
  volume.plant(0, ByteVector(jpeg.begin(), jpeg.begin() + static_cast<std::ptrdiff_t>(jpeg.size() / 2)), "jpg");
  volume.plant(8 * 512, test::textBytes("\xFF\xD9"), "end");
  // "MZ" and "BM" at block starts without the headers behind them.
  volume.plant(64 * 512, test::textBytes("MZ"), "exe");
  volume.plant(65 * 512, test::textBytes("BM"), "bmp");
  // A ZIP whose members (one a stored JPEG) lie at block starts of their own in this volume.
  const ByteVector zip = sample("multi.zip");
  ASSERT_FALSE(zip.empty());
  volume.plant(kMib, zip, "zip");
  DefaultCarving carving(volume.bytes());
  ASSERT_TRUE(carving.run());
  const std::map<std::int64_t, FoundItem> found = carving.byOffset();
  ASSERT_TRUE(found.count(0));
  EXPECT_TRUE(found.at(0).partial);
  EXPECT_FALSE(found.at(0).exact);
  EXPECT_EQ(found.at(0).size, 8 * 512 + 2 + 1);
  EXPECT_FALSE(found.count(64 * 512));
  EXPECT_FALSE(found.count(65 * 512));
  ASSERT_TRUE(found.count(kMib));
  EXPECT_EQ(found.at(kMib).size, static_cast<std::int64_t>(zip.size()));
}

// Each walk's reader sees only the bytes below its limit.
std::optional<std::int64_t> lengthOf(StructureRule rule, const ByteVector& bytes, std::int64_t limit = -1) {
  FileBytes file(
      [&bytes](std::int64_t at, std::span<std::byte> out) {
        // Reads come in whole sectors; what lies past the bytes reads as zeros, as past a file's end.
        std::fill(out.begin(), out.end(), std::byte{0});
        if (at < 0 || static_cast<std::uint64_t>(at) >= bytes.size()) return false;
        const std::size_t n = std::min(out.size(), bytes.size() - static_cast<std::size_t>(at));
        std::memcpy(out.data(), bytes.data() + at, n);
        return true;
      },
      limit < 0 ? static_cast<std::int64_t>(bytes.size()) : limit);
  return structureLength(rule, file);
}

ByteVector concat(std::initializer_list<std::string> parts) {
  std::string all;
  for (const std::string& p : parts) all += p;
  return test::textBytes(all);
}

// No free tool writes RAR archives, so these follow the published block layouts: a RAR 4 archive with one
// stored file block, and a RAR 5 archive with a file header carrying a data area.
TEST(StructureEndsTest, RarBlocksAreWalkedToTheEndOfArchiveBlock) {
  using namespace std::string_literals;
  const ByteVector rar4 = concat({"Rar!\x1A\x07\x00"s,
                                  "\x00\x00\x73\x00\x00\x0D\x00"s + std::string(6, '\0'),            // main header
                                  "\x00\x00\x74\x00\x80\x20\x00"s + "\x05\x00\x00\x00"s + std::string(21, 'h'),
                                  "hello"s,                                                           // file data
                                  "\x00\x00\x7B\x00\x40\x07\x00"s,                                    // end block
                                  "trailing noise"s});
  EXPECT_EQ(lengthOf(StructureRule::Rar, rar4), 7 + 13 + 32 + 5 + 7);
  const ByteVector rar5 = concat({"Rar!\x1A\x07\x01\x00"s,
                                  "CRC!\x03\x01\x00\x00"s,                   // main: size 3, type 1, flags 0, 0
                                  "CRC!\x04\x02\x02\x06\x00"s + "abcdef"s,   // file: data area of 6 bytes
                                  "CRC!\x03\x05\x00\x00"s,                   // end of archive
                                  "noise"s});
  EXPECT_EQ(lengthOf(StructureRule::Rar, rar5), 8 + 8 + 9 + 6 + 8);
  // The end block beyond the limit, or a block type no archive has: no length.
  EXPECT_FALSE(lengthOf(StructureRule::Rar, rar4, 50).has_value());
  ByteVector bad = rar5;
  bad[8 + 5] = std::byte{9};
  EXPECT_FALSE(lengthOf(StructureRule::Rar, bad).has_value());
}

TEST(StructureEndsTest, LengthsFromHeadersNeverPassTheLimitAndHostileCountsStop) {
  using namespace std::string_literals;
  // A RIFF size that claims 4 GiB, a SQLite header whose page count is stale, a GIF without its trailer.
  const ByteVector riff = concat({"RIFF\xF0\xFF\xFF\xFF" "WAVEfmt "s, std::string(64, 'x')});
  EXPECT_FALSE(lengthOf(StructureRule::Riff, riff).has_value());
  std::string db = "SQLite format 3"s + '\0' + "\x10\x00"s + std::string(100, '\0');
  db[31] = 4;   // four pages
  db[27] = 7;   // change counter 7, "valid for" 0: the count is stale
  EXPECT_FALSE(lengthOf(StructureRule::Sqlite, test::textBytes(db)).has_value());
  db[95] = 7;
  EXPECT_EQ(lengthOf(StructureRule::Sqlite, test::textBytes(db + std::string(4 * 4096, '\0'))), 4 * 4096);
  const ByteVector gif = concat({"GIF89a\x02\x00\x02\x00\x00\x00\x00"s, "\x2C"s + std::string(9, '\0') + "\x02\x02\xAB\xCD\x00"s});
  EXPECT_FALSE(lengthOf(StructureRule::Gif, gif).has_value());
  EXPECT_FALSE(lengthOf(StructureRule::Gif, concat({std::string(gif.size(), '\0')})).has_value());
  // A JPEG whose segment length runs past the limit.
  EXPECT_FALSE(lengthOf(StructureRule::Jpeg, concat({"\xFF\xD8\xFF\xE1\xFF\xF0"s, std::string(100, 'a'), "\xFF\xD9"s}))
                   .has_value());
  // A PDF: updates that follow an %%EOF move the end on; what is not an update does not.
  const std::string first = "%PDF-1.4\n1 0 obj\n<<>>\nendobj\ntrailer\n<<>>\n%%EOF\n"s;
  const std::string update = "2 0 obj\n<<>>\nendobj\nxref\n0 1\ntrailer\n<<>>\n%%EOF\r\n"s;
  EXPECT_EQ(lengthOf(StructureRule::Pdf, concat({first, update, "\x93\x11 noise %%EOF\n"s})),
            static_cast<std::int64_t>(first.size() + update.size()));
  EXPECT_EQ(lengthOf(StructureRule::Pdf, concat({first, "%PDF-1.4\n"s, update})), static_cast<std::int64_t>(first.size()));
}

// 16,000 JPEG starts one after another, each closed by an end pair at a block start, and the same starts
// nested (every start first, every end after): both take one pass, not one per start.
TEST(StructureCarvingTest, NestedAndBackToBackStartsCostOnePass) {
  if (!isRegularFile(defaultSignatures())) GTEST_SKIP() << "FileSetting.txt not built";
  static constexpr std::size_t kStarts = 16000;
  auto timeOf = [](bool nested) {
    ByteVector disk(((3 * kStarts * 512) / kMib + 1) * kMib);
    auto put = [&disk](std::size_t block, std::initializer_list<std::uint8_t> bytes) {
      std::size_t i = 0;
      for (std::uint8_t b : bytes) disk[block * 512 + i++] = std::byte{b};
    };
    for (std::size_t k = 0; k < kStarts; ++k) {
      // A start whose first segment checks out but whose data never reaches an end marker. An end moves
      // the scan on by two blocks, so ends keep a block between them.
      const std::size_t startBlock = nested ? k : 3 * k;
      const std::size_t endBlock = nested ? kStarts + 2 * k : 3 * k + 1;
      put(startBlock, {0xFF, 0xD8, 0xFF, 0xE0, 0x00, 0x04, 0x00, 0x00, 0x77});
      put(endBlock, {0xFF, 0xD9});
    }
    DefaultCarving carving(std::move(disk));
    const auto began = std::chrono::steady_clock::now();
    EXPECT_TRUE(carving.run());
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - began).count();
    EXPECT_EQ(carving.engine.foundItems().size(), kStarts);
    return seconds;
  };
  const double backToBack = timeOf(false);
  const double nested = timeOf(true);
  EXPECT_LT(nested, 4 * backToBack + 1.0) << "nested " << nested << " s, back to back " << backToBack << " s";
}

// RTF by brace depth: pandoc's document (escaped braces and backslash, a \u escape) comes back whole
// from noise; \bin data is skipped whatever braces it holds; 8-bit bytes or a group never closed before
// the limit make no length, and the carver then falls back to the block rule and marks the file partial.
TEST(StructureCarvingTest, RtfEndsAtTheBraceThatClosesItsOuterGroup) {
  if (!test::haveFixture("carve_rtf.rtf")) GTEST_SKIP() << "carve_rtf.rtf missing";
  if (!isRegularFile(defaultSignatures())) GTEST_SKIP() << "FileSetting.txt not built";
  std::ifstream in(test::fixturePath("carve_rtf.json"));
  const nlohmann::json manifest = nlohmann::json::parse(in);
  const ByteVector rtf = hostBytes(test::fixturePath("carve_rtf.rtf"));
  ASSERT_EQ(rtf.size(), manifest["size"].get<std::size_t>());
  test::NoiseVolume volume(kMib, 31);
  volume.plant(4096, rtf, "rtf");
  // Cut before its last brace, with noise after it.
  volume.plant(64 * 512, ByteVector(rtf.begin(), rtf.end() - 3), "rtf");
  DefaultCarving carving(volume.bytes());
  ASSERT_TRUE(carving.run());
  const std::map<std::int64_t, FoundItem> found = carving.byOffset();
  ASSERT_TRUE(found.count(4096));
  EXPECT_EQ(found.at(4096).size, static_cast<std::int64_t>(rtf.size()));
  EXPECT_TRUE(found.at(4096).exact);
  ASSERT_TRUE(found.count(64 * 512));
  EXPECT_TRUE(found.at(64 * 512).partial);

  auto length = [](const std::string& text) { return lengthOf(StructureRule::Rtf, test::textBytes(text)); };
  EXPECT_EQ(length("{\\rtf1 {\\pict\\bin4 }}}}}text}\r\n"), 31);
  EXPECT_EQ(length("{\\rtf1 \\{ \\} \\\\}\n"), 17);
  EXPECT_EQ(length("{\\rtf1 caf\xE9}"), std::nullopt);
  EXPECT_EQ(length("{\\rtf1 {open}"), std::nullopt);
  EXPECT_EQ(length("{\\rtf1 \\bin99 }}"), std::nullopt);
}

TEST(DefaultSignatureFileTest, EveryDefaultTypeNamesAStructureRule) {
  if (!isRegularFile(defaultSignatures())) GTEST_SKIP() << "FileSetting.txt not built";
  DefaultCarving carving{ByteVector(kMib)};
  ASSERT_TRUE(carving.loaded);
  for (std::size_t s = 0; s < carving.engine.signatureCount(); ++s) {
    const std::u16string ext = carving.engine.signatures()[s].extension.data();
    EXPECT_NE(carving.engine.rules()[s].structure, StructureRule::None) << utf8FromUtf16(ext);
  }
}

}  // namespace
}  // namespace tessary

namespace tessary {
namespace {

// A FAT16 volume written by mkfs.fat and mtools whose files were deleted with mdel: each carved file that
// starts where a deleted entry's data began takes its name, folder and times; the live file keeps its
// offset name (its entry is no deleted one).
TEST(CarvedNamesTest, DeletedEntriesOfAFatVolumeNameTheFilesCarvedAtTheirFirstClusters) {
  if (!test::haveFixture("carve_fat.img")) GTEST_SKIP() << "carve_fat.img missing";
  if (!isRegularFile(defaultSignatures())) GTEST_SKIP() << "FileSetting.txt not built";
  std::ifstream in(test::fixturePath("carve_fat.json"));
  const nlohmann::json manifest = nlohmann::json::parse(in);
  DefaultCarving carving(hostBytes(test::fixturePath("carve_fat.img")));
  ASSERT_TRUE(carving.run());
  std::map<std::string, const FoundItem*> named;
  std::size_t unnamedPng = 0;
  for (const FoundItem& f : carving.engine.foundItems()) {
    if (f.remembered)
      named[f.remembered->folder.empty() ? f.remembered->name : f.remembered->folder + "/" + f.remembered->name] = &f;
    else if (f.offsetName.ends_with(".png"))
      ++unnamedPng;
  }
  for (const auto& entry : manifest["entries"]) {
    if (!entry["deleted"].get<bool>()) continue;
    std::string path = entry["path"];
    // An 8.3 name without a long name loses its first character to the deleted mark.
    if (!named.count(path)) path.replace(path.rfind('/') + 1, 1, "_");
    std::string seen;
    for (const auto& [name, item] : named) seen += name + "; ";
    ASSERT_TRUE(named.count(path)) << path << " not among " << seen;
    const FoundItem& f = *named.at(path);
    EXPECT_EQ(f.size, entry["size"].get<std::int64_t>()) << path;
    EXPECT_TRUE(f.exact) << path;
    ASSERT_TRUE(f.remembered->modificationNs.has_value()) << path;
    EXPECT_GT(*f.remembered->modificationNs, 0) << path;
  }
  EXPECT_EQ(named.size(), 5u);
  // Short names come without the blanks that pad them ("DATA    .DB" is "_ata.db").
  for (const auto& [path, item] : named) EXPECT_EQ(path.find(" ."), std::string::npos) << path;
  EXPECT_EQ(unnamedPng, 1u);
  // In the tree: Images (n) / Photos / 2020 / _MG_0042.JPG.
  const TreeItem images = carving.tree.children(carving.engine.rootNode()).at(0);
  bool sawPhotos = false;
  for (TreeItem child : carving.tree.children(images)) {
    if (carving.tree.itemText(child) != "Photos") continue;
    sawPhotos = true;
    EXPECT_EQ(carving.tree.itemIcon(child), TreeIcon::Folder);
  }
  EXPECT_TRUE(sawPhotos);
}

}  // namespace
}  // namespace tessary

namespace tessary {
namespace {

// Volumes that mkntfs + ntfs-3g, mkfs.exfat + exfat-fuse, mkfs.ext2 + debugfs and mkfs.ext3 + the kernel
// wrote and then thinned: each deleted file whose entry still says where its data began is carved under
// its own path, whole, with its times; the live file keeps its offset name. The kernel's ext3 leaves no
// block map in a deleted inode, so nothing there is named (and nothing is named wrongly).
class NamedVolumes : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!test::haveFixture("carve_named.img")) GTEST_SKIP() << "carve_named.img missing";
    if (!isRegularFile(defaultSignatures())) GTEST_SKIP() << "FileSetting.txt not built";
    std::ifstream in(test::fixturePath("carve_named.json"));
    manifest = nlohmann::json::parse(in);
    all = hostBytes(test::fixturePath("carve_named.img"));
  }
  ByteVector volume(const nlohmann::json& v) const {
    const auto from = all.begin() + v["offset"].get<std::ptrdiff_t>();
    return ByteVector(from, from + v["bytes"].get<std::ptrdiff_t>());
  }
  // Carved path (folder/name) -> the carved item, for the items a deleted entry named.
  static std::map<std::string, FoundItem> named(const DefaultCarving& carving) {
    std::map<std::string, FoundItem> out;
    for (const FoundItem& f : carving.engine.foundItems())
      if (f.remembered)
        out[f.remembered->folder.empty() ? f.remembered->name : f.remembered->folder + "/" + f.remembered->name] = f;
    return out;
  }
  nlohmann::json manifest;
  ByteVector all;
};

TEST_F(NamedVolumes, DeletedEntriesOfNtfsExfatAndExt2NameTheirFilesAndLiveOnesDoNot) {
  for (const auto& v : manifest["volumes"]) {
    const std::string fs = v["fs"];
    SCOPED_TRACE(fs);
    DefaultCarving carving(volume(v));
    ASSERT_TRUE(carving.run());
    const std::map<std::string, FoundItem> byPath = named(carving);
    std::size_t deleted = 0;
    for (const auto& entry : v["entries"]) {
      const std::string path = entry["path"];
      if (!entry["deleted"].get<bool>() || fs == "ext3") {
        EXPECT_FALSE(byPath.count(path)) << path;
        continue;
      }
      ++deleted;
      // The Sleuth Kit lists the same path as deleted.
      const auto& fls = v["fls_deleted"];
      EXPECT_NE(std::find(fls.begin(), fls.end(), path), fls.end()) << path;
      ASSERT_TRUE(byPath.count(path)) << path;
      const FoundItem& f = byPath.at(path);
      EXPECT_EQ(f.size, entry["size"].get<std::int64_t>()) << path;
      EXPECT_TRUE(f.exact) << path;
      // The name went to the file's own bytes (ext2 keeps only a file's first 12 KiB in one piece).
      const std::span<const std::byte> carved = std::span<const std::byte>(carving.disk()).subspan(
          static_cast<std::size_t>(f.offset), static_cast<std::size_t>(f.size));
      EXPECT_EQ(test::sha256Hex(carved.first(1024)), entry["head_sha256"].get<std::string>()) << path;
      if (fs != "ext2") {
        EXPECT_EQ(test::sha256Hex(carved), entry["sha256"].get<std::string>()) << path;
      }
      ASSERT_TRUE(f.remembered->modificationNs.has_value()) << path;
      EXPECT_GT(*f.remembered->modificationNs, 1'700'000'000LL * 1'000'000'000LL) << path;
    }
    EXPECT_EQ(byPath.size(), deleted);
    // The live PNG is carved all the same, under its offset name (on ext2 and ext3 it lies inside the
    // span of a fragmented file carved before it).
    std::size_t pngs = 0;
    for (const FoundItem& f : carving.engine.foundItems()) pngs += f.offsetName.ends_with(".png") && !f.remembered;
    if (fs == "ntfs" || fs == "exfat") {
      EXPECT_EQ(pngs, 1u);
    }
  }
}

// A deleted file's first cluster that the allocation bitmap gives to a file again holds that file's bytes
// now: the deleted entry names nothing there. The bitmap's place comes from istat, fsstat and dumpe2fs.
TEST_F(NamedVolumes, ADeletedEntryWhoseFirstClusterIsInUseAgainNamesNothing) {
  for (const auto& v : manifest["volumes"]) {
    if (!v.contains("bitmap")) continue;
    const std::string fs = v["fs"];
    SCOPED_TRACE(fs);
    ByteVector bytes = volume(v);
    test::BufferReader reader(bytes);
    const auto before = rememberedStarts(VolumeView(reader, 0, bytes.size() / 512), bytes.size());
    std::int64_t photo = -1;
    for (const auto& [offset, entry] : before)
      if (entry.name == "IMG_0042.JPG") photo = offset;
    ASSERT_GE(photo, 0);
    const auto& bitmap = v["bitmap"];
    const std::int64_t unit = (photo - bitmap["origin"].get<std::int64_t>()) / bitmap["unit"].get<std::int64_t>();
    const auto at = static_cast<std::size_t>(bitmap["offset"].get<std::int64_t>() + unit / 8);
    bytes[at] |= static_cast<std::byte>(1u << (unit % 8));
    const auto after = rememberedStarts(VolumeView(reader, 0, bytes.size() / 512), bytes.size());
    EXPECT_FALSE(after.count(photo));
    EXPECT_EQ(after.size(), before.size() - 1);
  }
}

// The same for FAT16 (mkfs.fat, mdel): the first cluster of a deleted file chained in the first FAT,
// whose place the boot sector gives.
TEST(CarvedNamesTest, AFatEntryWhoseFirstClusterIsChainedAgainNamesNothing) {
  if (!test::haveFixture("carve_fat.img")) GTEST_SKIP() << "carve_fat.img missing";
  ByteVector bytes = hostBytes(test::fixturePath("carve_fat.img"));
  test::BufferReader reader(bytes);
  const auto before = rememberedStarts(VolumeView(reader, 0, bytes.size() / 512), bytes.size());
  ASSERT_FALSE(before.empty());
  const std::int64_t first = before.begin()->first;
  const Bytes boot = asBytes(bytes.data(), 512);
  const std::uint64_t sector = le16At(boot, 11), reserved = le16At(boot, 14);
  const std::uint64_t data = (reserved + u8At(boot, 16) * std::uint64_t{le16At(boot, 22)}) * sector + le16At(boot, 17) * 32u;
  const std::uint64_t cluster = (static_cast<std::uint64_t>(first) - data) / (u8At(boot, 13) * sector) + 2;
  bytes[reserved * sector + cluster * 2] = std::byte{0xFF};
  bytes[reserved * sector + cluster * 2 + 1] = std::byte{0xFF};
  const auto after = rememberedStarts(VolumeView(reader, 0, bytes.size() / 512), bytes.size());
  EXPECT_FALSE(after.count(first));
  EXPECT_EQ(after.size(), before.size() - 1);
}

// No Debian tool deletes files on an HFS+ volume: the catalog is written by hand. A file record of a free
// catalog node whose first block the allocation file marks free names the file carved there; a live file
// and a stale record whose blocks are in use again name nothing.
TEST(CarvedNamesTest, HfsPlusRecordsNameOnlyFilesWhoseFirstBlockIsFree) {
  test::HfsBuilder b(4096, 512, 4096);
  auto file = [&b](std::uint32_t cnid, std::uint32_t parent, std::u16string name, std::size_t size) {
    test::HfsBuildRecord r;
    r.cnid = cnid;
    r.parent = parent;
    r.name = std::move(name);
    r.size = size;
    r.extents = b.placeFragmented(ByteVector(size, std::byte{0x5A}), 1);
    for (const auto& e : r.extents) r.totalBlocks += e.count;
    r.contentModified = 3800000000u;  // 2024
    return r;
  };
  auto folder = [](std::uint32_t cnid, std::uint32_t parent, std::u16string name) {
    test::HfsBuildRecord r;
    r.type = 1;
    r.cnid = cnid;
    r.parent = parent;
    r.name = std::move(name);
    return r;
  };
  const test::HfsBuildRecord live = file(17, 16, u"live.txt", 5000);
  const test::HfsBuildRecord gone = file(18, 16, u"gone.jpg", 9000);
  const test::HfsBuildRecord reused = file(19, 2, u"reused.bin", 3000);
  b.writeCatalog({{folder(2, 1, u"V"), folder(16, 2, u"Photos"), live}, {gone, reused}});
  b.writeExtentsFile({});
  // The allocation file: every block in use but those of gone.jpg.
  const std::uint32_t at = b.allocate(1);
  ByteVector bits(64, std::byte{0xFF});
  for (std::uint32_t k = 0; k < gone.extents[0].count; ++k) {
    const std::uint32_t block = gone.extents[0].start + k;
    bits[block / 8] &= static_cast<std::byte>(~(0x80u >> (block % 8)));
  }
  b.writeBlocks(at, bits);
  b.setHeader32(112 + 4, 64);  // logical size
  b.setHeader32(112 + 12, 1);  // total blocks
  b.setHeader32(112 + 16, at);
  b.setHeader32(112 + 20, 1);
  b.writeHeaders();
  test::BufferReader reader(b.bytes());
  const auto starts = rememberedStarts(VolumeView(reader, 0, b.bytes().size() / 512), b.bytes().size());
  ASSERT_EQ(starts.size(), 1u);
  const auto& [offset, entry] = *starts.begin();
  EXPECT_EQ(offset, std::int64_t{gone.extents[0].start} * 4096);
  EXPECT_EQ(entry.name, "gone.jpg");
  EXPECT_EQ(entry.folder, "Photos");
  EXPECT_EQ(entry.size, 9000u);
  ASSERT_TRUE(entry.modificationNs.has_value());
  EXPECT_EQ(*entry.modificationNs / 1'000'000'000, 3800000000LL - 2082844800LL);
}

}  // namespace
}  // namespace tessary
