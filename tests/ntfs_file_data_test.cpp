// NTFS file data from records built byte by byte: run lists, attribute lists, the plain and compressed
// writers with their clipping and their mends, and LZNT1 on hand-built chunks.
#include <gtest/gtest.h>

#include <cstring>

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

ByteVector filled(std::size_t size, char c) { return ByteVector(size, static_cast<std::byte>(c)); }

class NtfsFileData : public ::testing::Test {
 protected:
  void SetUp() override { m_out = test::makeTempDir("tessary-ntfs-data-"); }
  void TearDown() override { test::removeTree(m_out); }
  std::string dump(ParsedNtfs& p, std::int64_t index) {
    p.parser.setOutputFolder(m_out + "/");
    p.parser.dumpEntry(std::to_string(index));
    return test::readHostFile(p.parser.lastDumpPath());
  }
  std::string m_out;
};

// --- Run lists ---------------------------------------------------------------------------------------

TEST_F(NtfsFileData, RunListDeltasAreSignedAndSparseRunsStartAtZero) {
  NtfsVolumeBuilder b;
  // Run list bytes: 0x11 len 4 delta +100 | 0x01 len 2 (sparse) | 0x21 len 3 delta -40 (0xFFD8) | 0
  const ByteVector runs{std::byte{0x11}, std::byte{4}, std::byte{100}, std::byte{0x01}, std::byte{2},
                        std::byte{0x21}, std::byte{3}, std::byte{0xD8}, std::byte{0xFF}, std::byte{0}};
  b.record(20, RecordBuilder().fileName(5, u"f").nonResident(0x80, runs, 0, 8, 9 * 4096).build());
  ParsedNtfs p;
  p.openMemory(b.build());
  const auto list = p.parser.detail().getRun2(p.parser.entries()[20].recordOffset, 0x80);
  EXPECT_EQ(list, (std::vector<tessary::Run>{{100, 4}, {0, 2}, {60, 3}}));
  EXPECT_EQ(p.parser.detail().totalClusterCount(), 9u);
  EXPECT_EQ(p.parser.detail().getRun(p.parser.entries()[20].recordOffset),
            (std::vector<std::uint32_t>{100, 101, 102, 103, 0, 0, 60, 61, 62}));
}

TEST_F(NtfsFileData, RunsBeyondTheAttributesOwnClusterCountAreDropped) {
  NtfsVolumeBuilder b;
  b.record(20, RecordBuilder().fileName(5, u"f").nonResident(0x80, encodeRuns({{40, 2}, {50, 2}, {60, 2}}), 0, 3, 4 * 4096).build());
  ParsedNtfs p;
  p.openMemory(b.build());
  EXPECT_EQ(p.parser.detail().getRun2(p.parser.entries()[20].recordOffset, 0x80), (std::vector<tessary::Run>{{40, 2}, {50, 2}}));
}

TEST_F(NtfsFileData, CorruptRunListInFourWaysEndsWithoutReadingPastTheAttribute) {
  const ByteVector lists[] = {
      {std::byte{0x48}, std::byte{1}},                      // a pair whose sizes run past the list
      {std::byte{0xFF}, std::byte{1}, std::byte{2}},        // 15-byte fields
      {std::byte{0x18}, std::byte{1}},                      // 8-byte count cut short
      ByteVector(40, std::byte{0x11}),                      // no terminating 0 at all
  };
  for (const auto& list : lists) {
    NtfsVolumeBuilder b;
    b.record(20, RecordBuilder().fileName(5, u"f").nonResident(0x80, list, 0, 0xFFFF, 4096).build());
    ParsedNtfs p;
    p.openMemory(b.build());
    const auto runs = p.parser.detail().getRun2(p.parser.entries()[20].recordOffset, 0x80);
    EXPECT_LE(runs.size(), 40u);
    dump(p, 20);
  }
}

// --- Resident data and streams ------------------------------------------------------------------------

TEST_F(NtfsFileData, UnnamedDataIsTheContentWhateverNamedStreamsComeAfterIt) {
  NtfsVolumeBuilder b;
  b.record(20, RecordBuilder().fileName(5, u"f").residentData(bytesOf("main")).residentData(bytesOf("stream"), u"ads").build());
  // A named non-resident stream after a resident unnamed $DATA.
  b.cluster(40, filled(4096, 's'));
  b.record(21, RecordBuilder()
                   .fileName(5, u"g")
                   .residentData(bytesOf("own"))
                   .nonResident(0x80, encodeRuns({{40, 1}}), 0, 0, 4096, 0, 0, u"big")
                   .build());
  ParsedNtfs p;
  p.openMemory(b.build());
  EXPECT_EQ(dump(p, 20), "main");
  EXPECT_EQ(dump(p, 21), "own");
  EXPECT_EQ(p.parser.entryDataSize(21), 3u);
}

TEST_F(NtfsFileData, EmptyResidentFileAndRecordWithoutDataGiveEmptyFilesWithTimes) {
  NtfsVolumeBuilder b;
  const std::uint64_t t = (std::uint64_t{1600000000} + 11644473600ull) * 10000000ull;
  b.record(20, RecordBuilder().standardInformation(t, t + 10000000ull * 60, t + 10000000ull * 120).fileName(5, u"e").residentData({}).build());
  b.record(21, RecordBuilder().standardInformation(t, t, t).fileName(5, u"nodata").build());
  ParsedNtfs p;
  p.openMemory(b.build());
  EXPECT_EQ(dump(p, 20), "");
  EXPECT_EQ(*fileSize(p.parser.lastDumpPath()), 0u);
  EXPECT_EQ(dump(p, 21), "");
}

TEST_F(NtfsFileData, EntryWithoutANameOrOutOfRangeWritesNothing) {
  NtfsVolumeBuilder b;
  ParsedNtfs p;
  p.openMemory(b.build());
  p.parser.setOutputFolder(m_out + "/");
  p.parser.dumpEntry("3");
  EXPECT_TRUE(p.parser.lastDumpPath().empty());
  p.parser.dumpEntry("999999");
  EXPECT_TRUE(p.parser.lastDumpPath().empty());
  p.parser.dumpEntry("-4");
  EXPECT_TRUE(p.parser.lastDumpPath().empty());
}

// --- The plain path -------------------------------------------------------------------------------------

TEST_F(NtfsFileData, PlainDataIsClippedToItsSizeAndHolesAreZeros) {
  NtfsVolumeBuilder b;
  b.cluster(40, filled(4096, 'a'));
  b.cluster(41, filled(4096, 'b'));
  b.cluster(50, filled(4096, 'c'));
  b.record(20, RecordBuilder().fileName(5, u"f").nonResident(0x80, encodeRuns({{40, 2}, {0, 1}, {50, 1}}), 0, 3, 3 * 4096 + 5).build());
  ParsedNtfs p;
  p.openMemory(b.build());
  const std::string data = dump(p, 20);
  ASSERT_EQ(data.size(), 3u * 4096 + 5);
  EXPECT_EQ(data.substr(0, 4096), std::string(4096, 'a'));
  EXPECT_EQ(data.substr(4096, 4096), std::string(4096, 'b'));
  EXPECT_EQ(data.substr(8192, 4096), std::string(4096, '\0'));
  EXPECT_EQ(data.substr(12288), "ccccc");
}

TEST_F(NtfsFileData, ClusterThatCannotBeReadKeepsItsPlaceAsZeros) {
  // The second run lies past the end of the volume and the disk: its clusters come out as zeros of
  // their full length, so the third run's bytes stay at their offsets.
  NtfsVolumeBuilder b;
  b.cluster(40, filled(4096, 'a'));
  b.cluster(60, filled(4096, 'z'));
  b.record(20, RecordBuilder().fileName(5, u"f").nonResident(0x80, encodeRuns({{40, 1}, {5000, 2}, {60, 1}}), 0, 3, 4 * 4096).build());
  ParsedNtfs p;
  p.openMemory(b.build());
  const std::string data = dump(p, 20);
  ASSERT_EQ(data.size(), 4u * 4096);
  EXPECT_EQ(data.substr(4096, 8192), std::string(8192, '\0'));
  EXPECT_EQ(data.substr(12288), std::string(4096, 'z'));
}

TEST_F(NtfsFileData, RunsClaimingMoreClustersThanTheVolumeHoldsEndAtTheVolumeSize) {
  NtfsVolumeBuilder b;
  // A sparse run of 2^32 - 1 clusters and a data size of 2^62: the writer stops at the volume's size.
  b.record(20, RecordBuilder().fileName(5, u"f").nonResident(0x80, encodeRuns({{0, 0xFFFFFFFFull}}), 0, 0xFFFFFFFEll, std::int64_t{1} << 62).build());
  ParsedNtfs p;
  p.openMemory(b.build());
  p.parser.setOutputFolder(m_out + "/");
  p.parser.dumpEntry("20");
  EXPECT_LE(p.parser.lastDumpWritten(), 256u * 4096);
  EXPECT_EQ(p.parser.entryDataSize(20), p.parser.lastDumpWritten());
}

// --- Attribute lists ------------------------------------------------------------------------------------

TEST_F(NtfsFileData, DataInTwoExtensionRecordsIsJoinedInListOrderWithTheFirstPiecesSize) {
  NtfsVolumeBuilder b;
  b.cluster(40, filled(4096, '1'));
  b.cluster(41, filled(4096, '2'));
  b.cluster(70, filled(4096, '3'));
  const ByteVector list = test::encodeAttributeList({{0x10, 20, 0}, {0x30, 20, 0}, {0x80, 21, 0}, {0x80, 22, 2}});
  b.record(20, RecordBuilder().standardInformation(0, 0, 0).residentAttribute(0x20, list).fileName(5, u"joined").build());
  b.record(21, RecordBuilder().baseRecord(20).nonResident(0x80, encodeRuns({{40, 2}}), 0, 1, 2 * 4096 + 100).build());
  b.record(22, RecordBuilder().baseRecord(20).nonResident(0x80, encodeRuns({{70, 1}}), 2, 2, 0).build());
  ParsedNtfs p;
  p.openMemory(b.build());
  const std::string data = dump(p, 20);
  ASSERT_EQ(data.size(), 2u * 4096 + 100);
  EXPECT_EQ(data.substr(0, 4096), std::string(4096, '1'));
  EXPECT_EQ(data.substr(8192), std::string(100, '3'));
  EXPECT_EQ(p.parser.detail().extensionList().size(), 0u) << "the lists are emptied after the dump";
  EXPECT_EQ(p.parser.entryDataSize(20), 2u * 4096 + 100);
}

TEST_F(NtfsFileData, FirstPieceInTheBaseRecordStillJoinsTheListedPieces) {
  // The base record keeps $DATA from VCN 0 after its $ATTRIBUTE_LIST; the rest is in an extension record.
  NtfsVolumeBuilder b;
  b.cluster(40, filled(4096, 'x'));
  b.cluster(80, filled(4096, 'y'));
  const ByteVector list = test::encodeAttributeList({{0x10, 20, 0}, {0x30, 20, 0}, {0x80, 20, 0}, {0x80, 23, 1}});
  b.record(20, RecordBuilder()
                   .recordNumber(20)
                   .standardInformation(0, 0, 0)
                   .residentAttribute(0x20, list)
                   .fileName(5, u"split")
                   .nonResident(0x80, encodeRuns({{40, 1}}), 0, 0, 2 * 4096)
                   .build());
  b.record(23, RecordBuilder().baseRecord(20).nonResident(0x80, encodeRuns({{80, 1}}), 1, 1, 0).build());
  ParsedNtfs p;
  p.openMemory(b.build());
  EXPECT_EQ(dump(p, 20), std::string(4096, 'x') + std::string(4096, 'y'));
}

TEST_F(NtfsFileData, ListEntriesOfNamedStreamsAndPiecesGoingBackAreNotJoined) {
  NtfsVolumeBuilder b;
  b.cluster(40, filled(4096, 'm'));
  b.cluster(90, filled(4096, 'n'));
  const ByteVector list = test::encodeAttributeList({{0x80, 21, 0}, {0x80, 24, 0, u"ads"}, {0x80, 21, 0}});
  b.record(20, RecordBuilder().residentAttribute(0x20, list).fileName(5, u"f").build());
  b.record(21, RecordBuilder().baseRecord(20).nonResident(0x80, encodeRuns({{40, 1}}), 0, 0, 4096).build());
  b.record(24, RecordBuilder().baseRecord(20).nonResident(0x80, encodeRuns({{90, 1}}), 0, 0, 4096, 0, 0, u"ads").build());
  ParsedNtfs p;
  p.openMemory(b.build());
  EXPECT_EQ(dump(p, 20), std::string(4096, 'm'));
}

TEST_F(NtfsFileData, NonResidentAttributeListIsReadWholeAcrossItsClusters) {
  // 512-byte clusters; the list's second entry crosses the boundary between its two clusters.
  NtfsVolumeBuilder b;
  b.sectorsPerCluster = 1;
  b.clusters = 2048;
  b.mftCluster = 64;
  ByteVector list = test::encodeAttributeList({{0x10, 20, 0}});
  ByteVector pad(512 - list.size() - 8);
  pad[0] = std::byte{0x40};  // an $OBJECT_ID entry as filler
  pad[4] = static_cast<std::byte>(pad.size() & 0xFF);
  pad[5] = static_cast<std::byte>(pad.size() >> 8);
  list.insert(list.end(), pad.begin(), pad.end());
  const ByteVector data = test::encodeAttributeList({{0x80, 21, 0}});
  list.insert(list.end(), data.begin(), data.end());
  ByteVector clusters(1024);
  std::copy(list.begin(), list.end(), clusters.begin());
  b.cluster(1000, ByteVector(clusters.begin(), clusters.begin() + 512));
  b.cluster(1001, ByteVector(clusters.begin() + 512, clusters.end()));
  b.cluster(1500, filled(512, 'q'));
  b.record(20, RecordBuilder()
                   .nonResident(0x20, encodeRuns({{1000, 2}}), 0, 1, static_cast<std::int64_t>(list.size()))
                   .fileName(5, u"f")
                   .build());
  b.record(21, RecordBuilder().baseRecord(20).nonResident(0x80, encodeRuns({{1500, 1}}), 0, 0, 512).build());
  ParsedNtfs p;
  p.openMemory(b.build());
  EXPECT_EQ(dump(p, 20), std::string(512, 'q'));
}

// --- LZNT1 ----------------------------------------------------------------------------------------------

class Lznt1 : public ::testing::Test {
 protected:
  Lznt1() { m_parser.setClusterSize(4096); }
  // Decompresses `input` as one 16-cluster unit; returns the bytes produced.
  std::string run(const ByteVector& input) {
    ByteVector in(16 * 4096);
    std::copy(input.begin(), input.end(), in.begin());
    ByteVector out(16 * 4096, std::byte{0x77});
    Lznt1State state;
    EXPECT_TRUE(m_parser.ntfs_uncompress_setup(state, 16, in, out));
    EXPECT_EQ(state.outputPosition, 0u);
    EXPECT_EQ(out[0], std::byte{0}) << "setup clears the output";
    state.inputLength = input.size();
    ntfs_detail::DataWriter::ntfs_uncompress_compunit(state);
    return std::string(reinterpret_cast<const char*>(out.data()), static_cast<std::size_t>(state.outputPosition));
  }
  static void header(ByteVector& b, std::uint16_t h) {
    b.push_back(static_cast<std::byte>(h & 0xFF));
    b.push_back(static_cast<std::byte>(h >> 8));
  }
  ntfs_detail::DataWriter m_parser;
};

TEST_F(Lznt1, SetupFailsWithoutBuffersOrWithBuffersSmallerThanTheUnit) {
  Lznt1State state;
  ByteVector small(100);
  ByteVector unit(16 * 4096);
  EXPECT_FALSE(m_parser.ntfs_uncompress_setup(state, 16, {}, unit));
  EXPECT_FALSE(m_parser.ntfs_uncompress_setup(state, 16, unit, {}));
  EXPECT_FALSE(m_parser.ntfs_uncompress_setup(state, 16, small, unit));
  EXPECT_FALSE(m_parser.ntfs_uncompress_setup(state, 16, unit, small));
  EXPECT_TRUE(m_parser.ntfs_uncompress_setup(state, 16, unit, unit));
  EXPECT_EQ(state.capacity, 16u * 4096);
}

TEST_F(Lznt1, StoredChunkIsCopiedAsItIs) {
  ByteVector in;
  header(in, 0x3FFF);  // bit 15 clear, size 0xFFF + 3 = 4098: stored
  for (int i = 0; i < 4096; ++i) in.push_back(static_cast<std::byte>('A' + i % 26));
  header(in, 0);
  const std::string out = run(in);
  ASSERT_EQ(out.size(), 4096u);
  EXPECT_EQ(out.substr(0, 3), "ABC");
  EXPECT_EQ(out[4095], static_cast<char>('A' + 4095 % 26));
}

TEST_F(Lznt1, HeaderWithLowBitsZeroEndsTheUnit) {
  ByteVector in;
  header(in, 0xB000 | 2);  // compressed chunk of 5 bytes: flag byte 0, two literals
  in.push_back(std::byte{0});
  in.push_back(std::byte{'h'});
  in.push_back(std::byte{'i'});
  header(in, 0xB000);  // low 12 bits 0
  header(in, 0xB000 | 2);
  in.push_back(std::byte{0});
  in.push_back(std::byte{'n'});
  in.push_back(std::byte{'o'});
  EXPECT_EQ(run(in), "hi");
}

TEST_F(Lznt1, BackReferenceEarlyInAChunkUsesFourDisplacementBits) {
  // "abcdefgh" then a reference (displacement 8, length 10) at 8 bytes produced: 4/12 split,
  // token = (8 - 1) << 12 | (10 - 3) = 0x7007. The copy overlaps itself and repeats the text.
  ByteVector in;
  ByteVector data{std::byte{0x00}};  // flags: eight literals
  for (char c : std::string("abcdefgh")) data.push_back(static_cast<std::byte>(c));
  data.push_back(std::byte{0x01});  // flags: item 0 is a reference
  data.push_back(std::byte{0x07});
  data.push_back(std::byte{0x70});
  header(in, static_cast<std::uint16_t>(0xB000 | (data.size() - 1)));
  in.insert(in.end(), data.begin(), data.end());
  EXPECT_EQ(run(in), "abcdefghabcdefghab");
}

TEST_F(Lznt1, BackReferenceAfter2048BytesUsesElevenDisplacementBits) {
  // 2048 literals, then a reference back 2048 bytes for 18 bytes: 11/5 split,
  // token = (2048 - 1) << 5 | (18 - 3) = 0xFFEF.
  ByteVector data;
  std::string text;
  for (int i = 0; i < 2048; ++i) {
    if (i % 8 == 0) data.push_back(std::byte{0});
    const char c = static_cast<char>('a' + (i * 7) % 26);
    text.push_back(c);
    data.push_back(static_cast<std::byte>(c));
  }
  data.push_back(std::byte{0x01});
  data.push_back(std::byte{0xEF});
  data.push_back(std::byte{0xFF});
  ByteVector in;
  header(in, static_cast<std::uint16_t>(0xB000 | (data.size() - 1)));
  in.insert(in.end(), data.begin(), data.end());
  const std::string out = run(in);
  ASSERT_EQ(out.size(), 2048u + 18);
  EXPECT_EQ(out.substr(2048), text.substr(0, 18));
}

TEST_F(Lznt1, CorruptChunksInFiveWaysKeepWhatWasProducedAndNeverLeaveTheBuffers) {
  // 1: a reference before anything was produced; 2: a token cut off by the chunk's end; 3: a chunk that
  // would end past the input; 4: a reference reaching before the chunk; 5: a chunk producing more than
  // 4096 bytes.
  {
    ByteVector in;
    header(in, 0xB000 | 2);
    in.push_back(std::byte{0x01});
    in.push_back(std::byte{0x00});
    in.push_back(std::byte{0x10});
    EXPECT_EQ(run(in), "");
  }
  {
    ByteVector in;
    header(in, 0xB000 | 2);
    in.push_back(std::byte{0x02});
    in.push_back(std::byte{'k'});
    in.push_back(std::byte{0x00});
    EXPECT_EQ(run(in), "k");
  }
  {
    ByteVector in;
    header(in, 0xB000 | 0x0FFF);
    in.push_back(std::byte{0});
    in.push_back(std::byte{'z'});
    EXPECT_EQ(run(in), "");
  }
  {
    ByteVector in;
    header(in, 0xB000 | 2);
    in.push_back(std::byte{0});
    in.push_back(std::byte{'a'});
    in.push_back(std::byte{'b'});
    header(in, 0xB000 | 3);
    in.push_back(std::byte{0x01});
    in.push_back(std::byte{0x00});
    in.push_back(std::byte{0x20});  // displacement 3 with nothing produced in this chunk
    EXPECT_EQ(run(in), "ab");
  }
  {
    ByteVector data;
    data.push_back(std::byte{0});
    data.push_back(std::byte{'r'});
    for (int i = 0; i < 400; ++i) {
      data.push_back(std::byte{0xFF});
      for (int k = 0; k < 8; ++k) {
        data.push_back(std::byte{0x0F});  // displacement 1, maximal length
        data.push_back(std::byte{0x00});
      }
    }
    data.resize(4000);
    ByteVector in;
    header(in, static_cast<std::uint16_t>(0xB000 | (data.size() - 1)));
    in.insert(in.end(), data.begin(), data.end());
    const std::string out = run(in);
    EXPECT_LE(out.size(), 4096u + 18);
  }
}

// --- The compressed path ---------------------------------------------------------------------------------

TEST_F(NtfsFileData, CompressedUnitsStoredSparseAndShortKeepTheirPlaces) {
  // Unit size 4 clusters (exponent 2). Unit 0: stored (all four clusters allocated). Unit 1: all sparse.
  // Unit 2: one compressed cluster whose chunk produces 5 bytes: padded with zeros to the unit's size.
  NtfsVolumeBuilder b;
  for (int c = 0; c < 4; ++c) b.cluster(40 + static_cast<std::uint64_t>(c), filled(4096, static_cast<char>('0' + c)));
  ByteVector chunk{std::byte{0x02}, std::byte{0xB0}, std::byte{0}, std::byte{'t'}, std::byte{'a'}};
  chunk[0] = std::byte{0x04};  // size 4 + 3 = 7 bytes: header, flags, four literals
  chunk.push_back(std::byte{'i'});
  chunk.push_back(std::byte{'l'});
  chunk.resize(4096);
  b.cluster(60, chunk);
  const auto runs = encodeRuns({{40, 4}, {0, 4}, {60, 1}, {0, 3}});
  b.record(20, RecordBuilder().fileName(5, u"c").nonResident(0x80, runs, 0, 11, 2 * 16384 + 10, 0x0001, 2).build());
  ParsedNtfs p;
  p.openMemory(b.build());
  const std::string data = dump(p, 20);
  ASSERT_EQ(data.size(), 2u * 16384 + 10);
  EXPECT_EQ(data.substr(0, 4096), std::string(4096, '0'));
  EXPECT_EQ(data.substr(3 * 4096, 4096), std::string(4096, '3'));
  EXPECT_EQ(data.substr(16384, 16384), std::string(16384, '\0'));
  EXPECT_EQ(data.substr(32768), std::string("tail") + std::string(6, '\0'));
}

TEST_F(NtfsFileData, CompressedFileLongerThanTheVolumeKeepsTheClustersOfItsLastUnitWithinTheVolume) {
  // Unit size 4 clusters, a volume of 46 clusters, a file of 48: a stored unit, ten sparse units, and a
  // last unit of which the volume's size leaves two clusters to write. Those two are the file's; the
  // writer reaches the size the listing announces.
  NtfsVolumeBuilder b;
  b.totalSectors = 46 * 8;
  for (int c = 0; c < 4; ++c) b.cluster(40 + static_cast<std::uint64_t>(c), filled(4096, static_cast<char>('a' + c)));
  const std::int64_t size = 46 * 4096 - 100;
  b.record(20, RecordBuilder().fileName(5, u"c").nonResident(0x80, encodeRuns({{40, 4}, {0, 40}, {40, 4}}), 0, 47, size, 0x0001, 2).build());
  ByteVector volume = b.build();
  volume.resize(46 * 4096);
  ParsedNtfs p;
  p.openMemory(volume);
  ASSERT_EQ(p.parser.entryDataSize(20), static_cast<std::uint64_t>(size));
  DiscardSink sink;
  EXPECT_TRUE(p.parser.writeEntryData(20, sink));
  EXPECT_EQ(sink.written(), static_cast<std::uint64_t>(size));
  const std::string data = dump(p, 20);
  ASSERT_EQ(data.size(), static_cast<std::size_t>(size));
  EXPECT_EQ(data.substr(44 * 4096, 4096), std::string(4096, 'a'));
  EXPECT_EQ(data.substr(45 * 4096), std::string(4096 - 100, 'b'));
}

TEST_F(NtfsFileData, CompressionUnitTooLargeForAUnitWritesNothing) {
  NtfsVolumeBuilder b;
  b.record(20, RecordBuilder().fileName(5, u"c").nonResident(0x80, encodeRuns({{40, 1}, {0, 15}}), 0, 15, 4096, 0x0001, 12).build());
  ParsedNtfs p;
  p.openMemory(b.build());
  EXPECT_EQ(dump(p, 20), "");
  EXPECT_EQ(p.parser.entryDataSize(20), 0u);
}

}  // namespace
}  // namespace tessary
