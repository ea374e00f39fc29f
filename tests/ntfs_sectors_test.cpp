// NTFS volumes as mkntfs and ntfs-3g make them with 512- to 4096-byte sectors and 512-byte to 2 MiB
// clusters, every name of a file (hard links, names kept in extension records), sparse files saved with
// holes, and deep mode on volumes whose boot sectors are gone.
#include <gtest/gtest.h>

#include <cstring>
#include <map>

#include "fs/ntfs/ntfs_layout.h"
#include "platform/data_sink.h"
#include "platform/files.h"
#include "support/fixtures.h"
#include "support/ntfs_harness.h"
#include "support/sha256.h"

namespace tessary {
namespace {

using test::ParsedNtfs;

// Hashes what it is given, holes as the zeros they stand for, and counts the holes.
class HashingSink : public DataSink {
 public:
  bool write(std::span<const std::byte> data) override {
    m_sha.update(data);
    m_written += data.size();
    return true;
  }
  bool hole(std::uint64_t bytes) override {
    m_holes += bytes;
    return DataSink::hole(bytes);
  }
  std::uint64_t written() const override { return m_written; }
  std::string hex() { return m_sha.finishHex(); }
  std::uint64_t holes() const { return m_holes; }

 private:
  test::Sha256 m_sha;
  std::uint64_t m_written = 0;
  std::uint64_t m_holes = 0;
};

// The parsed tree by path. Deep mode reads on past a volume whose size is known only in whole MiB, into
// the next volume of the disk: with `volumeBytes`, entries whose records lie past it are left out.
std::map<std::string, test::ListedEntry> listing(const ntfs& parser, std::uint64_t volumeBytes = UINT64_MAX) {
  std::map<std::string, test::ListedEntry> out;
  for (const auto& e : test::listTree(parser)) {
    const std::int64_t offset = parser.entries()[static_cast<std::size_t>(e.index)].recordOffset;
    if (static_cast<std::uint64_t>(offset) < volumeBytes) out[e.path] = e;
  }
  return out;
}

std::int64_t recordOffsetOf(const ntfs& parser, std::int64_t index) {
  return parser.entries()[static_cast<std::size_t>(index)].recordOffset;
}

std::string sizeText(const test::Manifest& volume) {
  return std::to_string(volume.sectorCount * 512 / 1048576);
}

std::string volumeLabel(const test::Manifest& volume) {
  return "sectors " + std::to_string(volume.bytesPerSector) + ", cluster " + std::to_string(volume.clusterSize);
}

class NtfsSectorSizes : public ::testing::Test {
 protected:
  void SetUp() override {
    m_volumes = test::loadManifestVolumes("ntfs_sectors.json");
    if (m_volumes.empty() || !test::haveFixture("ntfs_sectors.vhdx")) GTEST_SKIP() << "no ntfs_sectors fixture";
  }
  std::unique_ptr<ParsedNtfs> parse(const test::Manifest& volume, int mode = 1) {
    auto parsed = std::make_unique<ParsedNtfs>();
    parsed->mode = mode;
    EXPECT_TRUE(parsed->openFixture("ntfs_sectors.vhdx", volume.startSector, sizeText(volume)));
    return parsed;
  }
  std::vector<test::Manifest> m_volumes;
};

// The fault: records fixed up in 512-byte strides of 1024 bytes whatever the volume, a volume size in
// 512-byte sectors: the tree came out flat under ORPHAN_ENTRY and clusters past the misread end as zeros.
TEST_F(NtfsSectorSizes, EveryNameIsListedUnderItsOwnFolderAndEveryFileSavedWhole) {
  for (const auto& volume : m_volumes) {
    SCOPED_TRACE(volumeLabel(volume));
    const auto parsed = parse(volume);
    const ntfs& parser = parsed->parser;
    EXPECT_EQ(parser.bytesPerSector(), static_cast<std::int64_t>(volume.bytesPerSector));
    EXPECT_EQ(parser.clusterSize(), static_cast<std::int64_t>(volume.clusterSize));
    const auto list = listing(parser);
    int files = 0;
    for (const auto& e : volume.entries) {
      SCOPED_TRACE(e.path);
      const auto it = list.find(e.path);
      ASSERT_NE(it, list.end());
      EXPECT_EQ(it->second.folder, e.folder);
      EXPECT_FALSE(it->second.deleted);
      if (e.folder) continue;
      // Every name of a file stands for the same record, so each saves the same bytes.
      EXPECT_EQ(recordOffsetOf(parser, it->second.index), recordOffsetOf(parser, e.record));
      EXPECT_EQ(parsed->parser.entryDataSize(it->second.index), e.size);
      HashingSink sink;
      EXPECT_TRUE(parsed->parser.writeEntryData(it->second.index, sink));
      EXPECT_EQ(sink.written(), e.size);
      EXPECT_EQ(sink.hex(), e.sha256);
      ++files;
    }
    EXPECT_GE(files, 20);
    for (const auto& [path, entry] : list)
      EXPECT_NE(path.rfind("ORPHAN_ENTRY/", 0), 0u) << path << " of a healthy volume is listed as an orphan";
  }
}

// The fault: a record's names beyond the one kept were dropped (16 names collapsed onto one), and a
// child whose folder's name came later from an extension record was filed as an orphan.
TEST_F(NtfsSectorSizes, HardLinksAndNamesInExtensionRecordsAreEntriesOfTheirOwn) {
  for (const auto& volume : m_volumes) {
    SCOPED_TRACE(volumeLabel(volume));
    const auto parsed = parse(volume);
    const ntfs& parser = parsed->parser;
    const auto list = listing(parser);
    std::size_t named = 0;
    for (const std::string folder : {"many", "many/sub"}) {
      ASSERT_TRUE(list.count(folder));
      for (std::int64_t child : parser.childEntries(list.at(folder).index))
        if (parser.entryName(child).rfind("name", 0) == 0) ++named;
    }
    EXPECT_EQ(named, 16u);
    EXPECT_EQ(parser.childEntries(list.at("many/sub").index).size(), 8u);
    ASSERT_TRUE(list.count("other/one-link.txt"));
    ASSERT_TRUE(list.count("links/one-again.txt"));
    ASSERT_TRUE(list.count("big/child.txt"));
    EXPECT_TRUE(parser.isFolder(list.at("big").index));
  }
}

// What The Sleuth Kit lists is listed, with the same record behind each name.
TEST_F(NtfsSectorSizes, ListingMatchesTheSleuthKit) {
  if (!test::haveSleuthKit()) GTEST_SKIP() << "The Sleuth Kit is not installed";
  const std::string dir = test::makeTempDir("tessary-ntfs-sectors-");
  const std::string raw = test::rawVolume("ntfs_sectors.vhdx", dir);
  if (raw.empty()) GTEST_SKIP() << "qemu-img is not installed";
  for (const auto& volume : m_volumes) {
    SCOPED_TRACE(volumeLabel(volume));
    const auto parsed = parse(volume);
    const ntfs& parser = parsed->parser;
    const auto list = listing(parser);
    const auto fls = test::flsLiveEntries(raw, volume.startSector);
    // The Sleuth Kit reads clusters up to 64 KiB only.
    if (volume.clusterSize > 65536) continue;
    ASSERT_FALSE(fls.empty());
    for (const auto& [path, record] : fls) {
      SCOPED_TRACE(path);
      const auto it = list.find(path);
      ASSERT_NE(it, list.end());
      EXPECT_EQ(recordOffsetOf(parser, it->second.index), recordOffsetOf(parser, record));
    }
  }
  test::removeTree(dir);
}

// The fault: sparse runs were written as zeros, so a saved sparse file took its whole size on the host.
TEST_F(NtfsSectorSizes, SparseRunsAreSavedAsHolesWithTheSameBytes) {
  const std::string dir = test::makeTempDir("tessary-ntfs-sparse-");
  int checked = 0;
  for (const auto& volume : m_volumes) {
    // Holes smaller than the host's blocks cannot show in its block count.
    if (volume.clusterSize < 65536) continue;
    SCOPED_TRACE(volumeLabel(volume));
    const auto parsed = parse(volume);
    const auto list = listing(parsed->parser);
    const auto* e = volume.find("sparse.bin");
    ASSERT_NE(e, nullptr);
    HashingSink sink;
    ASSERT_TRUE(parsed->parser.writeEntryData(list.at("sparse.bin").index, sink));
    EXPECT_EQ(sink.holes(), 4ull * volume.clusterSize) << "the four unstored clusters are holes";
    parsed->parser.setOutputFolder(dir + "/" + std::to_string(volume.clusterSize));
    ASSERT_TRUE(createDirectory(parsed->parser.outputFolder()));
    parsed->parser.dumpEntry(std::to_string(list.at("sparse.bin").index));
    const std::string path = parsed->parser.lastDumpPath();
    ASSERT_FALSE(path.empty());
    EXPECT_EQ(test::fileSha256(path), e->sha256);
    const auto st = test::hostEntry(path);
    ASSERT_TRUE(st);
    EXPECT_EQ(st->size, e->size);
    EXPECT_LT(st->allocated, e->size - 3ull * volume.clusterSize);
    ++checked;
  }
  EXPECT_GE(checked, 2);
  test::removeTree(dir);
}

// The advanced mode takes the record size from the candidate it walks, not 1024.
TEST_F(NtfsSectorSizes, AdvancedModeWalksTheMftOfEverySectorSize) {
  for (const auto& volume : m_volumes) {
    if (volume.clusterSize > 65536) continue;  // the search reads the volume whole: keep it short
    SCOPED_TRACE(volumeLabel(volume));
    const auto parsed = parse(volume, 2);
    const auto list = listing(parsed->parser);
    for (const std::string path : {"big/child.txt", "frag/a.bin", "many/sub/name16.txt"}) {
      SCOPED_TRACE(path);
      const auto it = list.find(path);
      ASSERT_NE(it, list.end());
      HashingSink sink;
      parsed->parser.writeEntryData(it->second.index, sink);
      EXPECT_EQ(sink.hex(), volume.find(path)->sha256);
    }
  }
}

// The fault: deep mode took 4 KiB clusters whenever the boot sector was gone, so every file of a volume
// with other clusters came back with other bytes.
TEST(NtfsDeepClusters, WithoutBootSectorsTheClusterSizeComesFromTheMftRecord) {
  const auto volumes = test::loadManifestVolumes("ntfs_deep_clusters.json");
  if (volumes.empty() || !test::haveFixture("ntfs_deep_clusters.vhdx")) GTEST_SKIP() << "no ntfs_deep_clusters fixture";
  for (const auto& volume : volumes) {
    SCOPED_TRACE(volumeLabel(volume));
    ASSERT_TRUE(volume.bootZeroed);
    ParsedNtfs deep;
    deep.mode = 3;
    ASSERT_TRUE(deep.openFixture("ntfs_deep_clusters.vhdx", volume.startSector, sizeText(volume)));
    EXPECT_EQ(deep.parser.clusterSize(), static_cast<std::int64_t>(volume.clusterSize));
    const auto list = listing(deep.parser, static_cast<std::uint64_t>(volume.sectorCount) * 512);
    int files = 0;
    for (const auto& e : volume.entries) {
      if (e.folder) continue;
      SCOPED_TRACE(e.path);
      const auto it = list.find(e.path);
      ASSERT_NE(it, list.end());
      HashingSink sink;
      EXPECT_TRUE(deep.parser.writeEntryData(it->second.index, sink));
      EXPECT_EQ(sink.hex(), e.sha256);
      ++files;
    }
    EXPECT_GE(files, 12);
  }
}

// Refuses every position inside one range of the disk, as a damaged image's unreadable blocks do.
class RefusingDisk : public test::MemoryDisk {
 public:
  RefusingDisk(test::ByteVector bytes, std::int64_t from, std::int64_t to)
      : MemoryDisk(std::move(bytes)), m_from(from), m_to(to) {}
  bool seek(std::int64_t offset, std::uint32_t origin = 0) override {
    const std::int64_t at = offset + baseOffset;
    if (at >= m_from && at < m_to) return false;
    return MemoryDisk::seek(offset, origin);
  }

 private:
  std::int64_t m_from;
  std::int64_t m_to;
};

// The fault: the deep scan ended at the first piece the reader refused, so everything after an
// unreadable first megabyte was lost.
TEST(NtfsDeepClusters, TheScanGoesOnPastPiecesTheReaderRefuses) {
  const auto volumes = test::loadManifestVolumes("ntfs_deep_clusters.json");
  if (volumes.empty() || !test::haveFixture("ntfs_deep_clusters.vhdx")) GTEST_SKIP() << "no ntfs_deep_clusters fixture";
  const std::string dir = test::makeTempDir("tessary-deep-refused-");
  const std::string raw = test::rawVolume("ntfs_deep_clusters.vhdx", dir);
  if (raw.empty()) GTEST_SKIP() << "qemu-img is not installed";
  const std::string disk = test::readHostFile(raw);
  test::removeTree(dir);
  const auto& volume = volumes.front();
  const auto start = static_cast<std::size_t>(volume.startSector) * 512;
  test::ByteVector bytes(static_cast<std::size_t>(volume.sectorCount) * 512);
  ASSERT_GE(disk.size(), start + bytes.size());
  std::memcpy(bytes.data(), disk.data() + start, bytes.size());
  ParsedNtfs deep;
  deep.mode = 3;
  // The second megabyte is unreadable; the mirror's records lie past it, at 3 MiB.
  deep.reader = std::make_unique<RefusingDisk>(bytes, 1048576, 2 * 1048576);
  deep.volume.fileSystem = "NTFS";
  deep.volume.volumeSizeText = sizeText(volume);
  deep.parse();
  EXPECT_GE(deep.parser.refusedParts(), 1u);
  bool pastRefused = false;
  for (std::int64_t i = 0; i < deep.parser.entryCount(); ++i) {
    const std::int64_t offset = deep.parser.entries()[static_cast<std::size_t>(i)].recordOffset;
    if (offset >= 2 * 1048576 && deep.parser.entryName(i) == "$MFTMirr") pastRefused = true;
  }
  EXPECT_TRUE(pastRefused) << "the records past the refused piece were found";
  // A file kept in its record, before the refused piece, still comes back whole.
  const auto list = listing(deep.parser, bytes.size());
  ASSERT_TRUE(list.count("tiny.txt"));
  HashingSink sink;
  deep.parser.writeEntryData(list.at("tiny.txt").index, sink);
  EXPECT_EQ(sink.hex(), volume.find("tiny.txt")->sha256);
}

// Record geometry read from hostile or unusual headers.
TEST(NtfsRecordGeometry, FixupStrideFollowsTheUpdateSequenceCountOfTheRecord) {
  using namespace ntfs_detail;
  EXPECT_EQ(fixupStride(1024, 3), 512u);
  EXPECT_EQ(fixupStride(4096, 9), 512u);
  EXPECT_EQ(fixupStride(4096, 2), 4096u) << "one stride per 4096-byte sector";
  EXPECT_EQ(fixupStride(4096, 3), 2048u);
  EXPECT_EQ(fixupStride(1024, 0), 512u);
  EXPECT_EQ(fixupStride(1024, 4), 512u) << "a count that divides nothing gives no sector size";
  EXPECT_EQ(fixupStride(1024, 1025), 512u);

  // A 4096-byte record with one stride: only its last two bytes are patched.
  std::vector<std::byte> raw(4096, std::byte{0x11});
  std::array<std::byte, kRecordHeaderCopy> header{};
  header[kRecordUsaOffset] = std::byte{0x30};
  header[kRecordUsaCount] = std::byte{2};
  raw[0x30 + 2] = std::byte{0xAB};
  raw[0x30 + 3] = std::byte{0xCD};
  const auto fixed = fixupRecord(raw, header);
  ASSERT_EQ(fixed.size(), 4096u);
  EXPECT_EQ(fixed[4094], std::byte{0xAB});
  EXPECT_EQ(fixed[4095], std::byte{0xCD});
  EXPECT_EQ(fixed[510], std::byte{0x11});
}

TEST(NtfsRecordGeometry, RecordSizesFromBootSectorAndHeaderAreBounded) {
  using namespace ntfs_detail;
  std::array<std::byte, 512> boot{};
  boot[kBootClustersPerRecord] = std::byte{0xF6};  // -10: 1024 bytes
  EXPECT_EQ(bootRecordSize(boot, 65536), 1024u);
  boot[kBootClustersPerRecord] = std::byte{1};
  EXPECT_EQ(bootRecordSize(boot, 4096), 4096u);
  EXPECT_EQ(bootRecordSize(boot, 65536), 0u) << "a 64 KiB record is none the parser reads";
  boot[kBootClustersPerRecord] = std::byte{0x80};  // -128
  EXPECT_EQ(bootRecordSize(boot, 4096), 0u);
  boot[kBootClustersPerRecord] = std::byte{0};
  EXPECT_EQ(bootRecordSize(boot, 4096), 0u);

  std::array<std::byte, kRecordHeaderCopy> header{};
  header[kRecordAllocatedSize + 1] = std::byte{0x10};  // 4096
  EXPECT_EQ(ownRecordSize(header, 1024), 4096u);
  header[kRecordAllocatedSize + 1] = std::byte{0x11};  // 4352: no power of two
  EXPECT_EQ(ownRecordSize(header, 1024), 1024u);
  header[kRecordAllocatedSize + 1] = std::byte{0};
  header[kRecordAllocatedSize + 3] = std::byte{0x80};  // 2^31
  EXPECT_EQ(ownRecordSize(header, 1024), 1024u);
}

}  // namespace
}  // namespace tessary
