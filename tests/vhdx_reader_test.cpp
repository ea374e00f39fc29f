// The VHDX reader: block mapping, the region and metadata rules, and hostile files.
#include <gtest/gtest.h>

#include <cstring>

#ifdef __linux__
#include <fcntl.h>
#include <unistd.h>
#endif

#include "disk/vhdx_reader.h"
#include "platform/page_sink.h"
#include "support/fixtures.h"
#include "support/vhdx_builder.h"
#include "support/recording_sink.h"

namespace tessary {
namespace {

using test::VhdxShape;

class VhdxReaderTest : public ::testing::Test {
 protected:
  void SetUp() override {
    m_dir = test::makeTempDir("tessary-vhdx-");
    m_context.messages = &m_sink;
  }
  void TearDown() override { test::removeTree(m_dir); }

  std::string write(const VhdxShape& shape, const std::string& name = "disk.vhdx",
                    test::VhdxLayoutInfo* layout = nullptr) {
    const std::string path = m_dir + "/" + name;
    test::writeBytes(path, test::buildVhdx(shape, layout));
    return path;
  }

  std::string m_dir;
  RecordingSink m_sink;
  DiskContext m_context;
};

// Inside a block with data, a stretch the image file holds as a hole of the host's is skipped like an
// absent block, and reads as the zeros it holds; where the file's own data starts again is found.
TEST_F(VhdxReaderTest, HolesOfTheImageFileInsideBlocksAreSkippedAndReadAsZeros) {
#ifdef __linux__
  VhdxShape shape;
  shape.blockSize = 1u << 20;
  shape.diskSize = 4u << 20;
  std::vector<std::byte> first = test::patternBlock(0, shape.blockSize);
  std::fill(first.begin() + (256 << 10), first.begin() + (768 << 10), std::byte{0});
  shape.blocks[0] = first;
  shape.blocks[2] = test::patternBlock(2, shape.blockSize);
  test::VhdxLayoutInfo layout;
  const std::string path = write(shape, "disk.vhdx", &layout);
  {
    const int fd = ::open(path.c_str(), O_RDWR);
    ASSERT_GE(fd, 0);
    const int punched = ::fallocate(fd, FALLOC_FL_PUNCH_HOLE | FALLOC_FL_KEEP_SIZE,
                                    static_cast<off_t>(layout.blockFileOffset.at(0) + (256 << 10)), 512 << 10);
    ::close(fd);
    ImageFile probe;
    ASSERT_TRUE(probe.open(path));
    if (punched != 0 || probe.dataFrom(layout.blockFileOffset.at(0) + (256 << 10)) == layout.blockFileOffset.at(0) + (256 << 10))
      GTEST_SKIP() << "the host keeps no holes here";
  }
  FileReadSeekVHDX reader(m_context);
  ASSERT_TRUE(reader.open(path)) << m_sink.lastMessage();
  EXPECT_EQ(reader.nextDataOffset(0), std::optional<std::uint64_t>(0));
  EXPECT_EQ(reader.nextDataOffset(256 << 10), std::optional<std::uint64_t>(768 << 10));
  EXPECT_EQ(reader.nextDataOffset((768 << 10) + 512), std::optional<std::uint64_t>((768 << 10) + 512));
  EXPECT_EQ(reader.nextDataOffset(1 << 20), std::optional<std::uint64_t>(2 << 20));
  EXPECT_EQ(reader.nextDataOffset(3 << 20), std::nullopt);
  std::vector<std::byte> got(1 << 20);
  ASSERT_TRUE(reader.readAt(0, got));
  EXPECT_EQ(got, first);
  EXPECT_EQ(reader.missingReads.load(), 0u);
#else
  GTEST_SKIP() << "holes are punched with a Linux call";
#endif
}

TEST_F(VhdxReaderTest, ReadAcrossBlockBoundaryTakesSecondSectorFromNextBlocksOwnPosition) {
  VhdxShape shape;
  shape.blockSize = 1u << 20;
  shape.diskSize = 4u << 20;
  // Blocks are stored out of order in the file, so adjacency in the disk is not adjacency in the file.
  shape.blocks[2] = test::patternBlock(2, shape.blockSize);
  shape.blocks[1] = test::patternBlock(1, shape.blockSize);
  FileReadSeekVHDX reader(m_context);
  ASSERT_TRUE(reader.open(write(shape)));

  std::vector<std::byte> buffer(1024);
  const std::int64_t lastSectorOfBlock1 = 2 * (1 << 20) - 512;
  ASSERT_TRUE(reader.seek(lastSectorOfBlock1));
  ASSERT_TRUE(reader.read(buffer.data(), 1024));
  EXPECT_EQ(buffer[0], test::patternByte(1, 2047, 0));
  EXPECT_EQ(buffer[511], test::patternByte(1, 2047, 511));
  EXPECT_EQ(buffer[512], test::patternByte(2, 0, 0));
  EXPECT_EQ(buffer[1023], test::patternByte(2, 0, 511));

  // Into a block without data: the second sector is zeros.
  const std::int64_t lastSectorOfBlock2 = 3 * (1 << 20) - 512;
  ASSERT_TRUE(reader.seek(lastSectorOfBlock2));
  ASSERT_TRUE(reader.read(buffer.data(), 1024));
  EXPECT_EQ(buffer[0], test::patternByte(2, 2047, 0));
  for (int i = 512; i < 1024; ++i) ASSERT_EQ(buffer[i], std::byte{0}) << i;
}

TEST_F(VhdxReaderTest, BlockWithZeroEntryReadsZerosWhateverLiesInTheFile) {
  VhdxShape shape;
  shape.diskSize = 2u << 20;
  shape.zeroOffsetBlocks = {0};  // state says present, offset 0 points at the file's own header
  FileReadSeekVHDX reader(m_context);
  ASSERT_TRUE(reader.open(write(shape)));
  std::vector<std::byte> buffer(512, std::byte{0x55});
  ASSERT_TRUE(reader.seek(0));
  EXPECT_EQ(reader.blockAllocated, 0);
  ASSERT_TRUE(reader.read(buffer.data(), 512));
  for (auto b : buffer) ASSERT_EQ(b, std::byte{0});
}

TEST_F(VhdxReaderTest, SeekAtTableEndFailsButLastSectorReads) {
  VhdxShape shape;
  shape.blockSize = 1u << 20;
  shape.diskSize = 2u << 20;
  shape.blocks[1] = test::patternBlock(1, shape.blockSize);
  FileReadSeekVHDX reader(m_context);
  ASSERT_TRUE(reader.open(write(shape)));
  const auto tableEnd = static_cast<std::int64_t>(reader.blockTable.size()) * (1 << 20);
  EXPECT_FALSE(reader.seek(tableEnd));
  // The block table is longer than the disk (the region is a whole MiB); the disk's last sector reads.
  std::vector<std::byte> buffer(512);
  ASSERT_TRUE(reader.seek((2 << 20) - 512));
  ASSERT_TRUE(reader.read(buffer.data(), 512));
  EXPECT_EQ(buffer[7], test::patternByte(1, 2047, 7));
  // A read that starts past the table fails and leaves no stale bytes behind.
  std::memset(buffer.data(), 0x77, buffer.size());
  reader.seek(tableEnd);
  EXPECT_FALSE(reader.read(buffer.data(), 512));
  EXPECT_EQ(buffer[0], std::byte{0});
}

TEST_F(VhdxReaderTest, NegativeOffsetsAreRefused) {
  VhdxShape shape;
  FileReadSeekVHDX reader(m_context);
  ASSERT_TRUE(reader.open(write(shape)));
  EXPECT_FALSE(reader.seek(-512));
  reader.baseOffset = 1024;
  EXPECT_FALSE(reader.seek(-2048));
  EXPECT_TRUE(reader.seek(-1024));
}

TEST_F(VhdxReaderTest, PartialSectorAtTheEndOfARequestComesFromTheNextSector) {
  VhdxShape shape;
  shape.blocks[0] = test::patternBlock(0, shape.blockSize);
  FileReadSeekVHDX reader(m_context);
  ASSERT_TRUE(reader.open(write(shape)));
  std::vector<std::byte> buffer(700);
  ASSERT_TRUE(reader.seek(0));
  ASSERT_TRUE(reader.read(buffer.data(), 700));
  EXPECT_EQ(buffer[699], test::patternByte(0, 1, 187));
  // The position advanced by whole sectors: the next read starts at sector 2.
  ASSERT_TRUE(reader.read(buffer.data(), 512));
  EXPECT_EQ(buffer[0], test::patternByte(0, 2, 0));
  EXPECT_EQ(reader.currentOffset, 1536);
}

TEST_F(VhdxReaderTest, BaseOffsetShiftsEverySeek) {
  VhdxShape shape;
  shape.blocks[0] = test::patternBlock(0, shape.blockSize);
  FileReadSeekVHDX reader(m_context);
  ASSERT_TRUE(reader.open(write(shape)));
  reader.baseOffset = 2048 * 512 / 4;  // sector 512
  std::vector<std::byte> buffer(512);
  ASSERT_TRUE(reader.seek(512));
  ASSERT_TRUE(reader.read(buffer.data(), 512));
  EXPECT_EQ(buffer[3], test::patternByte(0, 513, 3));
}

TEST_F(VhdxReaderTest, SectorBitmapEntryAfterEachChunkIsDropped) {
  // 512-byte sectors and 1 MiB blocks: a chunk ratio of 4096, so table entry 4097 is a bitmap entry.
  VhdxShape shape;
  shape.blockSize = 1u << 20;
  shape.diskSize = 4098ULL << 20;
  shape.blocks[4095] = test::patternBlock(4095, shape.blockSize);
  shape.blocks[4096] = test::patternBlock(4096, shape.blockSize);
  shape.blocks[4097] = test::patternBlock(4097, shape.blockSize);
  test::VhdxLayoutInfo layout;
  const std::string path = write(shape, "big.vhdx", &layout);
  ASSERT_EQ(layout.chunkRatio, 4096u);
  FileReadSeekVHDX reader(m_context);
  ASSERT_TRUE(reader.open(path));
  EXPECT_EQ(reader.chunkRatio, 4096u);
  std::vector<std::byte> buffer(512);
  for (std::uint64_t block : {4095u, 4096u, 4097u}) {
    ASSERT_TRUE(reader.seek(static_cast<std::int64_t>(block << 20) + 512));
    ASSERT_TRUE(reader.read(buffer.data(), 512));
    EXPECT_EQ(buffer[9], test::patternByte(block, 1, 9)) << "block " << block;
  }
  EXPECT_EQ(m_context.diskSectorCount, (4098ULL << 20) / 512);
}

TEST_F(VhdxReaderTest, ExtensionTestIgnoresCaseAndOnlyRejectsOtherNamesWithoutTheVhdxSignature) {
  VhdxShape shape;
  const std::string upper = write(shape, "DISK.VHDX");
  FileReadSeekVHDX a(m_context);
  EXPECT_TRUE(a.open(upper));
  // A VHDX under another name is still a VHDX.
  const std::string renamed = write(shape, "disk.vhd");
  FileReadSeekVHDX b(m_context);
  EXPECT_TRUE(b.open(renamed));
  ImageInfo info;
  EXPECT_TRUE(readImageInfo(m_sink, m_context, nullptr, renamed, info));
  // Other bytes under another name are refused by name, as before.
  const std::string vhd = m_dir + "/other.vhd";
  test::writeBytes(vhd, std::vector<std::byte>(4096, std::byte{0x11}));
  FileReadSeekVHDX c(m_context);
  EXPECT_FALSE(c.open(vhd));
  EXPECT_EQ(m_sink.lastMessage(), "not a vhd file");
  EXPECT_FALSE(readImageInfo(m_sink, m_context, nullptr, vhd, info));
  EXPECT_EQ(m_sink.lastMessage(), "Please select valid vhdx file to continue the recovery process.");
}

TEST_F(VhdxReaderTest, MissingFileGivesInvalidHandleOnOpenAndNothingOnThePage) {
  FileReadSeekVHDX reader(m_context);
  EXPECT_FALSE(reader.open(m_dir + "/absent.vhdx"));
  EXPECT_EQ(m_sink.lastMessage(), "invalid handle ...");
  m_sink.clear();
  ImageInfo info;
  EXPECT_TRUE(readImageInfo(m_sink, m_context, nullptr, m_dir + "/absent.vhdx", info));
  EXPECT_FALSE(info.shown);
  EXPECT_TRUE(m_sink.messages().empty());
}

TEST_F(VhdxReaderTest, DamagedRegionTableAt192KiBFallsBackToTheCopy) {
  VhdxShape shape;
  shape.damagePrimaryRegionTable = true;
  shape.blocks[0] = test::patternBlock(0, shape.blockSize);
  FileReadSeekVHDX reader(m_context);
  ASSERT_TRUE(reader.open(write(shape)));
  std::vector<std::byte> buffer(512);
  ASSERT_TRUE(reader.readAt(512 * 3, buffer));
  EXPECT_EQ(buffer[0], test::patternByte(0, 3, 0));
}

TEST_F(VhdxReaderTest, MetadataItemsAreFoundByIdentifierInQemuOrder) {
  // qemu-img puts the page 83 item third; by position it would be read as the logical sector size.
  VhdxShape shape;
  shape.qemuItemOrder = true;
  shape.logicalSectorSize = 4096;
  shape.blockSize = 32u << 20;
  shape.diskSize = 64u << 20;
  ImageInfo info;
  ASSERT_TRUE(readImageInfo(m_sink, m_context, nullptr, write(shape), info));
  EXPECT_EQ(info.logicalSectorSize, 4096u);
  EXPECT_EQ(info.blockSize, 32u << 20);
  EXPECT_EQ(info.diskSize, 64u << 20);
  EXPECT_EQ(info.formatVersion, 1);
  EXPECT_FALSE(info.differencing);
}

TEST_F(VhdxReaderTest, TablesWithoutIdentifiersAreReadByPosition) {
  VhdxShape shape;
  shape.withIds = false;
  shape.regionIds = false;
  shape.qemuItemOrder = false;
  shape.diskSize = 6u << 20;
  shape.blocks[5] = test::patternBlock(5, shape.blockSize);
  FileReadSeekVHDX reader(m_context);
  ASSERT_TRUE(reader.open(write(shape)));
  EXPECT_EQ(m_context.diskSectorCount, (6u << 20) / 512);
  std::vector<std::byte> buffer(512);
  ASSERT_TRUE(reader.readAt((5 << 20) + 512 * 4, buffer));
  EXPECT_EQ(buffer[1], test::patternByte(5, 4, 1));
}

TEST_F(VhdxReaderTest, SixItemTableIsAcceptedByThePageButNotByOpen) {
  VhdxShape shape;
  shape.parentLocatorItem = true;
  shape.hasParent = true;
  ImageInfo info;
  const std::string path = write(shape);
  ASSERT_TRUE(readImageInfo(m_sink, m_context, nullptr, path, info));
  EXPECT_TRUE(info.differencing);
  EXPECT_TRUE(m_sink.sawMessage("This is a differencing VHDX."));
  // Positional tables: open falls back to region entry 0, which does not hold a 5-item table.
  shape.withIds = false;
  shape.regionIds = false;
  FileReadSeekVHDX reader(m_context);
  EXPECT_FALSE(reader.open(write(shape, "positional.vhdx")));
  EXPECT_EQ(m_sink.lastMessage(), "Region entry corrupt");
}

TEST_F(VhdxReaderTest, MetadataFirstWithoutIdentifiersUsesEntryZero) {
  VhdxShape shape;
  shape.withIds = false;
  shape.regionIds = false;
  shape.qemuItemOrder = false;
  shape.metadataRegionFirst = true;
  shape.blocks[0] = test::patternBlock(0, shape.blockSize);
  FileReadSeekVHDX reader(m_context);
  ASSERT_TRUE(reader.open(write(shape)));
  std::vector<std::byte> buffer(512);
  ASSERT_TRUE(reader.readAt(0, buffer));
  EXPECT_EQ(buffer[100], test::patternByte(0, 0, 100));
}

TEST_F(VhdxReaderTest, UserOverridesReplaceTheFilesValues) {
  VhdxShape shape;
  shape.diskSize = 10u << 20;
  m_context.userDiskSize = 10ULL << 20;  // the page shows 10 for a 10.5 MiB disk
  shape.diskSize = (10u << 20) + (1u << 19);
  FileReadSeekVHDX reader(m_context);
  ASSERT_TRUE(reader.open(write(shape)));
  EXPECT_EQ(m_context.diskSectorCount, 20480u);

  m_context.userBlockSize = 2u << 20;
  m_context.userLogicalSectorSize = 4096;
  FileReadSeekVHDX other(m_context);
  ASSERT_TRUE(other.open(write(shape, "b.vhdx")));
  EXPECT_EQ(other.blockSectors, 4096u);
  EXPECT_EQ(other.chunkRatio, (1ULL << 23) * 4096 / (2u << 20));
}

TEST_F(VhdxReaderTest, UnusableBlockSizesAndChunkRatioAreRefused) {
  for (std::uint32_t bad : {0u, 256u, 1000u}) {
    m_sink.clear();
    m_context.userBlockSize = bad;
    VhdxShape shape;
    if (bad == 0) shape.blockSize = 0;  // from the file itself
    FileReadSeekVHDX reader(m_context);
    EXPECT_FALSE(reader.open(write(shape, "bs" + std::to_string(bad) + ".vhdx"))) << bad;
    EXPECT_NE(m_sink.lastMessage().find("Block size"), std::string::npos) << m_sink.lastMessage();
  }
  m_context.userBlockSize = 0;
  m_sink.clear();
  VhdxShape shape;
  shape.logicalSectorSize = 0;
  FileReadSeekVHDX reader(m_context);
  EXPECT_FALSE(reader.open(write(shape, "ratio.vhdx")));
  EXPECT_NE(m_sink.lastMessage().find("Chunk ratio is 0"), std::string::npos);
}

TEST_F(VhdxReaderTest, HostileCountsAndTruncationGiveTheMessageNotACrash) {
  struct Case {
    const char* name;
    VhdxShape shape;
  };
  std::vector<Case> cases;
  {
    VhdxShape s;
    s.regionEntryCount = 0xFFFFFFFF;
    cases.push_back({"huge region count", s});
  }
  {
    VhdxShape s;
    s.regionEntryCount = 1;
    cases.push_back({"one region entry", s});
  }
  {
    VhdxShape s;
    s.metadataItemCountField = 0;
    cases.push_back({"zero metadata items", s});
  }
  {
    VhdxShape s;
    s.metadataItemCountField = 0xFFFF;
    cases.push_back({"huge metadata count", s});
  }
  {
    VhdxShape s;
    s.truncateTo = 0x30008;
    cases.push_back({"cut inside the region table", s});
  }
  {
    VhdxShape s;
    s.truncateTo = (1u << 20) + 100;
    cases.push_back({"cut inside the metadata", s});
  }
  {
    VhdxShape s;
    s.truncateTo = (2u << 20) + 8;
    cases.push_back({"cut inside the block table", s});
  }
  for (auto& c : cases) {
    m_sink.clear();
    FileReadSeekVHDX reader(m_context);
    EXPECT_FALSE(reader.open(write(c.shape, "hostile.vhdx"))) << c.name;
    EXPECT_EQ(m_sink.lastMessage(), "Region entry corrupt") << c.name;
    EXPECT_FALSE(reader.seek(0)) << c.name;
  }
}

TEST_F(VhdxReaderTest, TruncatedPayloadReadsAsZerosPastTheEnd) {
  VhdxShape shape;
  shape.blocks[0] = test::patternBlock(0, shape.blockSize);
  test::VhdxLayoutInfo layout;
  VhdxShape probe = shape;
  test::buildVhdx(probe, &layout);
  shape.truncateTo = layout.blockFileOffset[0] + 512 + 100;
  FileReadSeekVHDX reader(m_context);
  ASSERT_TRUE(reader.open(write(shape)));
  std::vector<std::byte> buffer(1024, std::byte{0x33});
  ASSERT_TRUE(reader.readAt(0, buffer));
  EXPECT_EQ(buffer[512 + 99], test::patternByte(0, 1, 99));
  EXPECT_EQ(buffer[512 + 100], std::byte{0});
  EXPECT_EQ(buffer[1023], std::byte{0});
}

TEST_F(VhdxReaderTest, BlockEntryBeyondTheFileReadsZerosAndHugeEntriesNeverOverflow) {
  VhdxShape shape;
  shape.diskSize = 3u << 20;
  shape.rawEntries[0] = (0x7FFFFULL << 20) | 6;        // far beyond the file
  shape.rawEntries[1] = 0xFFFFFFFFFFF00006ULL;          // the largest offset the field can hold
  FileReadSeekVHDX reader(m_context);
  ASSERT_TRUE(reader.open(write(shape)));
  std::vector<std::byte> buffer(512, std::byte{1});
  ASSERT_TRUE(reader.readAt(0, buffer));
  EXPECT_EQ(buffer[0], std::byte{0});
  // A position past what a signed file offset holds: the seek fails and the block reads as no data.
  EXPECT_FALSE(reader.seek(1 << 20));
  EXPECT_EQ(reader.blockAllocated, 0);
  EXPECT_FALSE(reader.read(buffer.data(), 512));
  EXPECT_EQ(buffer[0], std::byte{0});
}

}  // namespace
}  // namespace tessary
