// NTFS records built byte by byte: fixup, attribute walks, parent links and the tree they make, the texts
// of the detail list, and hostile volumes that must be refused or walked without a crash or a hang.
#include <gtest/gtest.h>


#include <algorithm>
#include <random>
#include <set>

#include "platform/files.h"
#include "support/fixtures.h"
#include "support/ntfs_harness.h"

namespace tessary {
namespace {

using test::bytesOf;
using test::ByteVector;
using test::encodeRuns;
using test::NtfsVolumeBuilder;
using test::ParsedNtfs;
using test::RecordBuilder;

constexpr std::uint32_t kDir = 0x10000000;

ByteVector recordFile(std::uint64_t parent, const std::u16string& name, const ByteVector& data, std::uint32_t flags = 0x20) {
  return RecordBuilder().standardInformation(0, 0, 0).fileName(parent, name, flags).residentData(data).build();
}
ByteVector recordFolder(std::uint64_t parent, const std::u16string& name) {
  return RecordBuilder().directoryHeaderBit(true).standardInformation(0, 0, 0).fileName(parent, name, kDir | 0x10).build();
}

std::vector<std::string> paths(const ntfs& p) {
  std::vector<std::string> out;
  for (const auto& e : test::listTree(p)) out.push_back(e.path);
  return out;
}

// --- Fixup and attribute walks -------------------------------------------------------------------

TEST(NtfsFixup, SectorEndsGetTheirBytesBackFromTheUpdateSequenceArray) {
  ntfs parser;
  ByteVector raw(1024);
  // Header: update sequence array at 0x30, three entries (sequence number + two sectors).
  raw[4] = std::byte{0x30};
  raw[6] = std::byte{3};
  raw[0x30] = std::byte{0xAA}; raw[0x31] = std::byte{0xBB};  // sequence number
  raw[0x32] = std::byte{0x11}; raw[0x33] = std::byte{0x22};  // true bytes 510-511
  raw[0x34] = std::byte{0x33}; raw[0x35] = std::byte{0x44};  // true bytes 1022-1023
  raw[510] = raw[1022] = std::byte{0xAA};
  raw[511] = raw[1023] = std::byte{0xBB};
  const auto fixed = parser.detail().applyFixup(raw, std::span<const std::byte>(raw.data(), 48));
  EXPECT_EQ(fixed[510], std::byte{0x11});
  EXPECT_EQ(fixed[511], std::byte{0x22});
  EXPECT_EQ(fixed[1022], std::byte{0x33});
  EXPECT_EQ(fixed[1023], std::byte{0x44});
}

TEST(NtfsFixup, CorruptUpdateSequenceInFourWaysPatchesNothingOutsideTheRecord) {
  ntfs parser;
  struct Case {
    std::uint16_t offset;
    std::uint16_t count;
  };
  // Count 0; count far beyond two sectors; array starting past the record; array ending past the record.
  for (const Case c : {Case{0x30, 0}, Case{0x30, 0xFFFF}, Case{0xFFF0, 3}, Case{1022, 3}}) {
    ByteVector raw(1024, std::byte{0x5A});
    raw[4] = static_cast<std::byte>(c.offset & 0xFF);
    raw[5] = static_cast<std::byte>(c.offset >> 8);
    raw[6] = static_cast<std::byte>(c.count & 0xFF);
    raw[7] = static_cast<std::byte>(c.count >> 8);
    const auto fixed = parser.detail().applyFixup(raw, std::span<const std::byte>(raw.data(), 48));
    // Every byte outside the header fields is 0x5A, the array included: whatever the fixup takes from the
    // array, the record comes out as it went in.
    EXPECT_TRUE(std::equal(fixed.begin(), fixed.end(), raw.begin(), raw.end()));
  }
}

TEST(NtfsRecords, AttributeHeaderAtASectorEndIsReadAfterTheFixup) {
  // The $FILE_NAME starts at 506, so the low half of its length field lies on bytes 510..511: as stored,
  // they are the update sequence number; only the fixed-up record gives the true length and the name.
  NtfsVolumeBuilder b;
  RecordBuilder r;
  r.standardInformation(0, 0, 0);
  // Pad with an unnamed attribute of type 0x40 so the $FILE_NAME starts at 506.
  const std::size_t padLength = 506 - 0x38 - 0x48;
  ByteVector pad(padLength);
  pad[0] = std::byte{0x40};
  pad[4] = static_cast<std::byte>(padLength & 0xFF);
  pad[5] = static_cast<std::byte>(padLength >> 8);
  r.raw(pad);
  r.fileName(5, u"edge.txt");
  b.record(20, r.build());
  ParsedNtfs p;
  p.openMemory(b.build());
  EXPECT_EQ(p.parser.entryName(20), "edge.txt");
}

TEST(NtfsRecords, HostileAttributeWalksStayInsideTheRecord) {
  NtfsVolumeBuilder b;
  // 20: first attribute offset 1020, a header copy that reaches past the record.
  b.record(20, RecordBuilder().firstAttributeOffset(1020).build());
  // 21: an attribute whose length jumps far past the record.
  ByteVector jump(0x18);
  jump[0] = std::byte{0x10};
  jump[4] = std::byte{0xFF};
  jump[5] = std::byte{0xFF};
  b.record(21, RecordBuilder().raw(jump).build());
  // 22: a $FILE_NAME whose value starts near the end and claims a 254-unit name.
  ByteVector name(0x18);
  name[0] = std::byte{0x30};
  name[4] = std::byte{0x18};
  name[0x14] = std::byte{0xD0};  // value offset: attribute at 0x38 + 0x3D0 = 1032 > 1024
  name[0x15] = std::byte{0x03};
  b.record(22, RecordBuilder().raw(name).build());
  // 23: name length 254 with the value at 0x38 + 0x18: the name would run past the record.
  b.record(23, RecordBuilder().fileName(5, std::u16string(254, u'n'), 0x20).build());
  // 24: first attribute offset beyond the record.
  b.record(24, RecordBuilder().firstAttributeOffset(0xFFFF).build());
  ParsedNtfs p;
  p.openMemory(b.build());
  EXPECT_EQ(p.parser.entryName(20), "");
  EXPECT_EQ(p.parser.entryName(21), "");
  EXPECT_EQ(p.parser.entryName(22), "");
  EXPECT_EQ(p.parser.entryName(24), "");
  const auto view = p.parser.detail().getMftEntry(21);
  EXPECT_EQ(view.attributes.size(), 1u);
  EXPECT_FALSE(p.parser.getFileTimeStructure(p.parser.entries()[20].recordOffset).hasTimes);
}

TEST(NtfsRecords, NameLength255MeansNoNameAndNoParent) {
  NtfsVolumeBuilder b;
  b.record(20, RecordBuilder().fileName(5, u"hidden", 0x20, 255).build());
  ParsedNtfs p;
  p.openMemory(b.build());
  // Packed fields are copied out before they are compared.
  const char16_t* name = p.parser.entries()[20].name;
  const std::int64_t parent = p.parser.entries()[20].parent;
  EXPECT_EQ(name, nullptr);
  EXPECT_EQ(parent, 0);
}

// --- Links and the tree ---------------------------------------------------------------------------

TEST(NtfsLinks, ChildrenAppearInParseOrderEachOnceEvenWithTwoNames) {
  NtfsVolumeBuilder b;
  b.record(20, recordFolder(5, u"dir"));
  b.record(21, RecordBuilder().dosName(20, u"A~1.TXT").fileName(20, u"a long.txt").build());
  b.record(22, RecordBuilder().dosName(20, u"B~1.TXT").fileName(20, u"b long.txt").build());
  ParsedNtfs p;
  p.openMemory(b.build());
  EXPECT_EQ(p.parser.childEntries(20), (std::vector<std::int64_t>{21, 22}));
  EXPECT_EQ(p.parser.entryName(21), "a long.txt") << "the long name is shown, not its DOS partner";
}

TEST(NtfsLinks, ParentAfterTheChildIsLinkedWhenItTurnsOutAFolder) {
  NtfsVolumeBuilder b;
  b.record(20, recordFile(25, u"early.txt", bytesOf("x")));
  b.record(25, recordFolder(5, u"late"));
  b.record(26, recordFile(25, u"later.txt", bytesOf("y")));
  ParsedNtfs p;
  p.openMemory(b.build());
  EXPECT_EQ(p.parser.childEntries(25), (std::vector<std::int64_t>{20, 26}));
}

TEST(NtfsLinks, ParentAfterTheChildThatIsAFileMakesTheChildAnOrphan) {
  NtfsVolumeBuilder b;
  b.record(20, recordFile(25, u"lost.txt", bytesOf("x")));
  b.record(25, recordFile(5, u"reused.txt", bytesOf("y")));
  ParsedNtfs p;
  p.openMemory(b.build());
  const auto list = paths(p.parser);
  EXPECT_NE(std::find(list.begin(), list.end(), "ORPHAN_ENTRY/lost.txt"), list.end());
  EXPECT_TRUE(p.parser.childEntries(25).empty());
}

TEST(NtfsLinks, ParentBeyondTheTableOrNegativeMakesAnOrphan) {
  NtfsVolumeBuilder b;
  b.record(20, recordFile(0x7FFFFFFF, u"far.txt", bytesOf("x")));
  b.record(21, recordFile(0x0000800000000000ULL, u"negative.txt", bytesOf("y")));  // bit 47: negative
  ParsedNtfs p;
  p.openMemory(b.build());
  const std::int64_t negativeParent = p.parser.entries()[21].parent;
  EXPECT_LT(negativeParent, 0);
  const auto orphans = p.parser.childEntries(p.parser.orphanIndex());
  EXPECT_EQ(std::set<std::int64_t>(orphans.begin(), orphans.end()), (std::set<std::int64_t>{20, 21}));
}

TEST(NtfsLinks, RootThatBecomesItsOwnFirstChildIsNotListedUnderItself) {
  // Without records 1 to 4 the root has no child when it is parsed, and its own "." names it as parent.
  NtfsVolumeBuilder b;
  b.record(20, recordFile(5, u"file.txt", bytesOf("x")));
  ParsedNtfs p;
  p.openMemory(b.build());
  const auto list = paths(p.parser);
  EXPECT_EQ(list, (std::vector<std::string>{"file.txt", "ORPHAN_ENTRY"}));
}

TEST(NtfsLinks, FoldersThatAreEachOthersParentEndTheWalk) {
  NtfsVolumeBuilder b;
  b.record(20, recordFolder(21, u"ping"));
  b.record(21, recordFolder(22, u"pong"));
  b.record(22, recordFolder(20, u"pang"));
  b.record(23, recordFile(21, u"inside.txt", bytesOf("x")));
  ParsedNtfs p;
  p.openMemory(b.build());
  for (std::int64_t i : {20, 21, 22}) {
    const auto children = p.parser.childEntries(i);
    EXPECT_LE(children.size(), 2u);
  }
  EXPECT_LE(paths(p.parser).size(), 8u);
}

TEST(NtfsLinks, RandomParentGraphsNeverLoopAndListEachEntryOnce) {
  // Parent references of every kind: forward, backward, self, beyond the table, negative; folders and
  // files mixed. Whatever the graph, the links form a tree below the root.
  for (unsigned seed = 1; seed <= 12; ++seed) {
    SCOPED_TRACE(seed);
    std::mt19937 rng(seed);
    NtfsVolumeBuilder b;
    b.mftRecords = 160;
    b.clusters = 256;
    for (std::uint32_t r = 16; r < 160; ++r) {
      std::uint64_t parent = rng() % 180;
      if (rng() % 10 == 0) parent = 0x0000800000000000ULL | (rng() % 5);
      if (rng() % 10 == 0) parent = r;
      const bool folder = rng() % 2 == 0;
      b.record(r, RecordBuilder()
                      .inUse(rng() % 4 != 0)
                      .fileName(parent, u"e" + std::u16string(1, static_cast<char16_t>(u'a' + r % 26)),
                                folder ? kDir : 0x20)
                      .build());
    }
    ParsedNtfs p;
    p.openMemory(b.build());
    const ntfs& parser = p.parser;
    std::set<std::int64_t> seen;
    std::vector<std::int64_t> stack{parser.rootIndex()};
    std::size_t steps = 0;
    while (!stack.empty()) {
      const std::int64_t f = stack.back();
      stack.pop_back();
      // Walked naively, as any caller might: each entry is met once, so the walk must end.
      for (std::int64_t c = parser.entries()[static_cast<std::size_t>(f)].firstChild; c > 0;
           c = parser.entries()[static_cast<std::size_t>(c)].nextSibling) {
        ASSERT_LT(++steps, 1000u);
        ASSERT_TRUE(seen.insert(c).second) << "entry " << c << " met twice";
        stack.push_back(c);
      }
    }
    EXPECT_TRUE(seen.count(parser.orphanIndex()));
  }
}

// --- Texts -----------------------------------------------------------------------------------------

TEST(NtfsTexts, SizeTextsAtTheUnitBoundaries) {
  NtfsVolumeBuilder b;
  // Claim a volume large enough for a 1 GiB file; the disk itself stays small.
  b.totalSectors = (std::int64_t{4} << 30) / 512;
  const struct {
    std::uint32_t record;
    std::int64_t size;
  } sizes[] = {{20, 1023}, {21, 1024}, {22, 1048576}, {23, 1073741824}, {24, 1536}};
  for (const auto& s : sizes) {
    const std::uint64_t clusters = (static_cast<std::uint64_t>(s.size) + 4095) / 4096;
    b.record(s.record, RecordBuilder()
                           .fileName(5, u"n")
                           .nonResident(0x80, encodeRuns({{0, clusters}}), 0, static_cast<std::int64_t>(clusters) - 1, s.size)
                           .build());
  }
  ParsedNtfs p;
  p.openMemory(b.build());
  EXPECT_EQ(p.parser.formatEntrySize(20), "1023 Bytes");
  EXPECT_EQ(p.parser.formatEntrySize(21), "1.00 KB");
  EXPECT_EQ(p.parser.formatEntrySize(22), "1.00 MB");
  EXPECT_EQ(p.parser.formatEntrySize(23), "1.00 GB");
  EXPECT_EQ(p.parser.formatEntrySize(24), "1.50 KB");
  EXPECT_EQ(p.parser.entryDataSize(23), 1073741824u);
}

TEST(NtfsTexts, AttributeTextLettersInTheirOrderAndTheLastFileNameWins) {
  NtfsVolumeBuilder b;
  b.record(20, RecordBuilder().standardInformation(0, 0, 0).fileName(5, u"ra", 0x21).build());
  b.record(21, RecordBuilder().standardInformation(0, 0, 0).fileName(5, u"none", 0).build());
  b.record(22, RecordBuilder().standardInformation(0, 0, 0).fileName(5, u"all", 0x4A23).build());
  b.record(23, RecordBuilder().standardInformation(0, 0, 0).fileName(5, u"D~1", 0x1).fileName(5, u"d", 0x20).build());
  ParsedNtfs p;
  p.openMemory(b.build());
  EXPECT_EQ(p.parser.formatEntryTimes(p.parser.entries()[20]).attributes, "-R-A");
  EXPECT_EQ(p.parser.formatEntryTimes(p.parser.entries()[21]).attributes, "");
  EXPECT_EQ(p.parser.formatEntryTimes(p.parser.entries()[22]).attributes, "-R-H-S-A-C-E");
  EXPECT_EQ(p.parser.formatEntryTimes(p.parser.entries()[23]).attributes, "-A");
}

TEST(NtfsTexts, RecordWithoutStandardInformationShowsNoTimes) {
  NtfsVolumeBuilder b;
  b.record(20, RecordBuilder().fileName(5, u"bare").build());
  ParsedNtfs p;
  p.openMemory(b.build());
  const auto texts = p.parser.formatEntryTimes(p.parser.entries()[20]);
  EXPECT_EQ(texts.creation, "");
  EXPECT_EQ(texts.modification, "");
}

// --- Hostile volumes -------------------------------------------------------------------------------

// A resident attribute header whose value starts `valueOffset` bytes after the header.
ByteVector residentHeader(std::uint32_t type, std::uint32_t valueLength, std::uint16_t valueOffset) {
  ByteVector a(0x18);
  a[0] = static_cast<std::byte>(type);
  a[4] = std::byte{0x18};
  for (int i = 0; i < 4; ++i) a[0x10 + i] = static_cast<std::byte>(valueLength >> (8 * i));
  a[0x14] = static_cast<std::byte>(valueOffset & 0xFF);
  a[0x15] = static_cast<std::byte>(valueOffset >> 8);
  return a;
}

TEST(NtfsHostile, ValuesCutShortByTheRecordEndGiveNoNameAndNoTimes) {
  // $STANDARD_INFORMATION at 1008 and $FILE_NAME at 992 of a 1024-byte record: both run past its end.
  NtfsVolumeBuilder b;
  b.record(20, RecordBuilder()
                   .firstAttributeOffset(0x38)
                   .raw(residentHeader(0x10, 0x48, 1008 - 0x38))
                   .raw(residentHeader(0x30, 0x42, 992 - 0x50))
                   .build());
  b.record(21, RecordBuilder().standardInformation(1, 2, 3).fileName(5, u"whole.txt").build());
  ParsedNtfs p;
  p.openMemory(b.build());
  const char16_t* name = p.parser.entries()[20].name;  // a packed field: read by value
  EXPECT_EQ(name, nullptr) << "no empty name from a length byte past the record";
  const std::vector<std::int64_t> orphans = p.parser.childEntries(p.parser.orphanIndex());
  EXPECT_EQ(std::count(orphans.begin(), orphans.end(), 20), 0);
  EXPECT_FALSE(p.parser.getFileTimeStructure(p.parser.entries()[20].recordOffset).hasTimes);
  EXPECT_EQ(p.parser.entryName(21), "whole.txt");
  EXPECT_TRUE(p.parser.getFileTimeStructure(p.parser.entries()[21].recordOffset).hasTimes);
}


TEST(NtfsHostile, UnusableClusterSizesAreRefusedWithAStatusLineAndTheMftIsScannedFor) {
  const struct {
    std::uint16_t bytesPerSector;
    std::uint8_t perCluster;
    const char* status;
  } cases[] = {{512, 0, "cluster size 0 in the boot sector cannot be used."},
               {0, 8, "cluster size 0 in the boot sector cannot be used."},
               {512, 3, "cluster size 1536 in the boot sector cannot be used."},
               {65535, 128, "cluster size 8388480 in the boot sector cannot be used."},
               {4096, 0xF4, "cluster size 16777216 in the boot sector cannot be used."},
               {4096, 0xF0, "cluster size 983040 in the boot sector cannot be used."}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.status);
    NtfsVolumeBuilder b;
    b.record(20, recordFile(5, u"kept.txt", bytesOf("kept")));
    ByteVector volume = b.build();
    volume[0x0B] = static_cast<std::byte>(c.bytesPerSector & 0xFF);
    volume[0x0C] = static_cast<std::byte>(c.bytesPerSector >> 8);
    volume[0x0D] = static_cast<std::byte>(c.perCluster);
    ParsedNtfs p;
    p.openMemory(volume, "1");
    EXPECT_TRUE(p.sink.sawStatus(c.status));
    EXPECT_TRUE(p.sink.sawStatus("boot sector corrupt.Scanning for first mft entry..."));
    // The scan finds the $MFT record, and the 4096-byte clusters it assumes are the volume's own.
    const auto list = paths(p.parser);
    EXPECT_NE(std::find(list.begin(), list.end(), "kept.txt"), list.end());
  }
}

TEST(NtfsHostile, MftStartPastTheVolumeIsRefused) {
  NtfsVolumeBuilder b;
  ByteVector volume = b.build();
  volume[0x30] = std::byte{0xFF};
  volume[0x31] = std::byte{0xFF};
  volume[0x32] = std::byte{0xFF};
  ParsedNtfs p;
  p.openMemory(volume);
  EXPECT_TRUE(p.sink.sawStatus("MFT starting cluster 16777215 lies outside the volume."));
  EXPECT_EQ(p.parser.entryCount(), 1) << "only the orphan folder";
}

TEST(NtfsHostile, MftRunPastTheVolumeIsCutAtTheVolumeEnd) {
  NtfsVolumeBuilder b;
  b.mftRunList = encodeRuns({{16, 8}, {200000, 50}});
  b.mftLastVcn = 57;
  b.record(20, recordFile(5, u"kept.txt", bytesOf("kept")));
  ParsedNtfs p;
  p.openMemory(b.build());
  EXPECT_TRUE(p.sink.sawStatus("MFT run at cluster 200000 lies past the end of the volume."));
  EXPECT_EQ(p.parser.entryCount(), 32 + 1);
  EXPECT_EQ(p.parser.entryName(20), "kept.txt");
}

TEST(NtfsHostile, RecordCountBeyondMemoryIsBoundedByTheVolume) {
  // The $MFT claims 2^32 - 1 clusters of records starting inside the volume.
  NtfsVolumeBuilder b;
  b.mftRunList = encodeRuns({{16, 0xFFFFFFFFull}});
  b.mftLastVcn = 0xFFFFFFFEll;
  b.totalSectors = 0x7FFFFFFFFFFFll;  // and the boot sector claims a volume of 64 PiB
  ParsedNtfs p;
  p.openMemory(b.build());
  // Reads past the disk fail, so records stop where the disk ends; nothing tries to hold 2^32 records.
  EXPECT_LE(p.parser.entryCount(), 256 * 4 + 1);
}

TEST(NtfsHostile, ScanForTheMftEndsAtTheDisksEndWhateverTheBootSectorClaims) {
  // "NTFS", a cluster size that cannot be used (so the MFT is scanned for), a 2^62-byte total and no
  // FILE record anywhere: the scan once tried every 10 MiB piece of the claimed volume.
  NtfsVolumeBuilder b;
  b.totalSectors = 1ll << 53;
  ByteVector volume = b.build();
  volume[0x0D] = std::byte{0};
  for (std::size_t at = 512; at < volume.size(); ++at) volume[at] = std::byte{0};
  ParsedNtfs p;
  p.openMemory(volume, "1");
  EXPECT_TRUE(p.sink.sawStatus("boot sector corrupt.Scanning for first mft entry..."));
  EXPECT_FALSE(p.parser.mftRunKnown());
  auto* disk = dynamic_cast<test::MemoryDisk*>(p.reader.get());
  ASSERT_NE(disk, nullptr);
  EXPECT_LE(disk->seeks, 16u) << "one refused position ends the scan";
}

TEST(NtfsHostile, RecordNamedWithPathStepsIsWrittenInsideTheOutputFolder) {
  NtfsVolumeBuilder b;
  b.record(20, recordFile(5, u"../../x", bytesOf("escape")));
  b.record(21, recordFile(5, u"..", bytesOf("dots")));
  b.record(22, recordFile(5, u"a/b", bytesOf("slash")));
  ParsedNtfs p;
  p.openMemory(b.build());
  const std::string root = test::makeTempDir("tessary-ntfs-escape-");
  // Two levels below the scratch folder, so that "../../x" would land inside it.
  const std::string out = root + "/a/out";
  ASSERT_TRUE(createDirectory(root + "/a") && createDirectory(out));
  for (int i : {20, 21, 22}) {
    p.parser.setOutputFolder(out + "/");
    p.parser.dumpEntry(std::to_string(i));
    const std::string written = p.parser.lastDumpPath();
    ASSERT_FALSE(written.empty());
    EXPECT_EQ(written.rfind(out + "/", 0), 0u) << written;
    EXPECT_EQ(written.find('/', out.size() + 1), std::string::npos) << written;
  }
  EXPECT_EQ(test::readHostFile(out + "/.._.._x"), "escape");
  EXPECT_EQ(test::readHostFile(out + "/_"), "dots");
  EXPECT_EQ(test::readHostFile(out + "/a_b"), "slash");
  EXPECT_FALSE(pathExists(root + "/x"));
  EXPECT_FALSE(pathExists(root + "/a/x"));
  test::removeTree(root);
}

TEST(NtfsHostile, StopFlagEndsTheParseAndStillAppendsTheOrphanFolder) {
  NtfsVolumeBuilder b;
  b.record(20, recordFile(5, u"a.txt", bytesOf("a")));
  ParsedNtfs p;
  p.reader = std::make_unique<test::MemoryDisk>(b.build());
  p.parser.stopFlag().store(1);
  p.parse();
  EXPECT_EQ(p.parser.entryCount(), 1);
  EXPECT_EQ(p.parser.entryName(0), "ORPHAN_ENTRY");
  EXPECT_EQ(p.tree.childCount(p.parser.topItem()), 1u);
}

}  // namespace
}  // namespace tessary
