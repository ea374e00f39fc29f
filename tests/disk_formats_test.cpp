// The VHD, VDI and VMDK readers on images built byte by byte for the cases real tools do not write: blocks
// without data and zero blocks, tables away from their usual place, offsets inside a block, descriptors
// with several extents, and headers corrupted in the ways that would size an allocation or a loop.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#ifdef __linux__
#include <fcntl.h>
#include <unistd.h>
#endif

#include "disk/flat_reader.h"
#include "disk/image_format.h"
#include "disk/vdi_reader.h"
#include "disk/vhd_reader.h"
#include "disk/vmdk_reader.h"
#include "support/fixtures.h"
#include "support/recording_sink.h"
#include "support/vhdx_builder.h"

namespace tessary {
namespace {

namespace fs = std::filesystem;
using Bytes = std::vector<std::byte>;

void putBe(Bytes& b, std::size_t at, std::uint64_t value, int size) {
  if (b.size() < at + size) b.resize(at + size);
  for (int i = 0; i < size; ++i) b[at + i] = std::byte(static_cast<std::uint8_t>(value >> (8 * (size - 1 - i))));
}
void putLe(Bytes& b, std::size_t at, std::uint64_t value, int size) {
  if (b.size() < at + size) b.resize(at + size);
  for (int i = 0; i < size; ++i) b[at + i] = std::byte(static_cast<std::uint8_t>(value >> (8 * i)));
}
void putText(Bytes& b, std::size_t at, const std::string& text) {
  if (b.size() < at + text.size()) b.resize(at + text.size());
  for (std::size_t i = 0; i < text.size(); ++i) b[at + i] = std::byte(static_cast<std::uint8_t>(text[i]));
}
// Sector s of a disk is filled with the byte (s % 251) + 1: never zero, different from its neighbours.
Bytes diskBytes(std::uint64_t firstSector, std::uint64_t sectors) {
  Bytes out(sectors * 512);
  for (std::uint64_t s = 0; s < sectors; ++s)
    std::fill_n(out.begin() + static_cast<std::ptrdiff_t>(s * 512), 512, std::byte(static_cast<std::uint8_t>((firstSector + s) % 251 + 1)));
  return out;
}
bool allZero(const Bytes& b) { return std::all_of(b.begin(), b.end(), [](std::byte x) { return x == std::byte{0}; }); }

class DiskFormatTest : public ::testing::Test {
 protected:
  void SetUp() override {
    m_dir = test::makeTempDir("tessary-disk-formats-");
    m_context.messages = &m_sink;
  }
  void TearDown() override { fs::remove_all(m_dir); }
  std::string write(const Bytes& bytes, const std::string& name) {
    const std::string path = m_dir + "/" + name;
    test::writeBytes(path, bytes);
    return path;
  }
  void writeText(const std::string& name, const std::string& text) {
    std::ofstream(m_dir + "/" + name, std::ios::binary) << text;
  }
  Bytes readAt(readWriteInterface& reader, std::int64_t offset, std::size_t length) {
    Bytes out(length, std::byte{0x5A});
    EXPECT_TRUE(reader.readAt(offset, out)) << "read at " << offset;
    return out;
  }

  std::string m_dir;
  RecordingSink m_sink;
  DiskContext m_context;
};

// ---- VHD ----

struct VhdShape {
  std::uint64_t diskSize = 4u << 20;
  std::uint32_t blockSize = 1u << 20;
  std::uint64_t tableOffset = 1536;
  std::optional<std::uint32_t> maxEntries;
  std::vector<std::optional<std::uint32_t>> blocks;  // per block: its order in the file, none = 0xFFFFFFFF
  std::optional<std::uint32_t> rawEntry0;            // a raw value for entry 0
  std::uint32_t diskType = 3;
};

// Footer copy, dynamic header, table, blocks (bitmap + data from diskBytes), footer.
Bytes buildVhd(const VhdShape& shape) {
  Bytes footer(512);
  putText(footer, 0, "conectix");
  putBe(footer, 12, 0x00010000, 4);
  putBe(footer, 16, 512, 8);
  putBe(footer, 40, shape.diskSize, 8);
  putBe(footer, 48, shape.diskSize, 8);
  putBe(footer, 60, shape.diskType, 4);
  Bytes out = footer;
  putText(out, 512, "cxsparse");
  putBe(out, 512 + 8, UINT64_MAX, 8);
  putBe(out, 512 + 16, shape.tableOffset, 8);
  const std::uint64_t blocks = shape.diskSize / shape.blockSize;
  putBe(out, 512 + 28, shape.maxEntries.value_or(static_cast<std::uint32_t>(blocks)), 4);
  putBe(out, 512 + 32, shape.blockSize, 4);
  out.resize(1536);
  const std::uint64_t tableBytes = (blocks * 4 + 511) / 512 * 512;
  const std::uint64_t dataStart = std::max<std::uint64_t>(out.size(), shape.tableOffset + tableBytes);
  const std::uint64_t bitmap = ((shape.blockSize / 512 + 7) / 8 + 511) / 512 * 512;
  out.resize(dataStart);
  for (std::uint64_t b = 0; b < blocks; ++b) {
    const auto order = b < shape.blocks.size() ? shape.blocks[b] : std::nullopt;
    std::uint64_t entry = 0xFFFFFFFF;
    if (order) {
      const std::uint64_t at = dataStart + *order * (bitmap + shape.blockSize);
      entry = at / 512;
      if (out.size() < at + bitmap + shape.blockSize) out.resize(at + bitmap + shape.blockSize);
      std::fill_n(out.begin() + static_cast<std::ptrdiff_t>(at), bitmap, std::byte{0xFF});
      const Bytes data = diskBytes(b * shape.blockSize / 512, shape.blockSize / 512);
      std::copy(data.begin(), data.end(), out.begin() + static_cast<std::ptrdiff_t>(at + bitmap));
    }
    if (b == 0 && shape.rawEntry0) entry = *shape.rawEntry0;
    putBe(out, shape.tableOffset + b * 4, entry, 4);
  }
  out.insert(out.end(), footer.begin(), footer.end());
  return out;
}

// A flat image kept as a sparse file: its holes are skipped and read as zeros, its data and the bytes of
// the last sector past the file's end are not. A read overlay's bytes over a hole count as data.
TEST_F(DiskFormatTest, SparseFlatImageSkipsTheHolesOfItsFile) {
#ifdef __linux__
  const std::string path = m_dir + "/disk.img";
  const Bytes data(64 << 10, std::byte{0x5A});
  {
    const int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_TRUNC, 0644);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(::pwrite(fd, data.data(), data.size(), 0), static_cast<ssize_t>(data.size()));
    ASSERT_EQ(::pwrite(fd, data.data(), data.size(), 3 << 20), static_cast<ssize_t>(data.size()));
    ASSERT_EQ(::ftruncate(fd, (4 << 20) + 100), 0);
    ::close(fd);
  }
  ImageFile file;
  ASSERT_TRUE(file.open(path));
  if (file.dataFrom(1 << 20) == (1u << 20)) GTEST_SKIP() << "the host keeps no holes here";
  EXPECT_EQ(file.dataFrom(100), 100u);
  EXPECT_EQ(file.dataFrom(1 << 20), 3u << 20);
  EXPECT_EQ(file.dataFrom((3 << 20) + (64 << 10)), (4u << 20) + 100) << "a hole up to the end ends at the end";
  EXPECT_EQ(file.dataFrom(5 << 20), 5u << 20);
  auto overlay = std::make_shared<ReadOverlay>();
  overlay->write(2 << 20, data);
  file.setOverlay(overlay);
  EXPECT_EQ(file.dataFrom(1 << 20), 2u << 20);
  EXPECT_EQ(file.dataFrom((2 << 20) + 10), (2u << 20) + 10);

  FileReadSeekFlat reader(m_context);
  ASSERT_TRUE(reader.open(path));
  EXPECT_EQ(reader.nextDataOffset(0), std::optional<std::uint64_t>(0));
  EXPECT_EQ(reader.nextDataOffset(64 << 10), std::optional<std::uint64_t>(3 << 20));
  EXPECT_EQ(reader.nextDataOffset((3 << 20) + (64 << 10)), std::optional<std::uint64_t>((4 << 20) + 100));
  Bytes got((3 << 20) - (64 << 10));
  ASSERT_TRUE(reader.readAt(64 << 10, got));
  EXPECT_TRUE(allZero(got));
#else
  GTEST_SKIP() << "the sparse file is made with POSIX calls";
#endif
}

TEST_F(DiskFormatTest, VhdBlocksWithoutDataReadAsZerosAndOthersFromTheirOwnPlace) {
  VhdShape shape;
  shape.blocks = {1, std::nullopt, 0, std::nullopt};  // blocks 0 and 2 stored in reverse order
  FileReadSeekVHD reader(m_context);
  ASSERT_TRUE(reader.open(write(buildVhd(shape), "disk.vhd")));
  EXPECT_EQ(m_context.diskSectorCount, 8192u);
  EXPECT_EQ(reader.tableEntryCount, 4u);
  // A read that runs from block 0 through the empty block 1 into block 2.
  const Bytes got = readAt(reader, (1u << 20) - 512, (1u << 20) + 1024);
  EXPECT_EQ(Bytes(got.begin(), got.begin() + 512), diskBytes(2047, 1));
  EXPECT_TRUE(allZero(Bytes(got.begin() + 512, got.end() - 512)));
  EXPECT_EQ(Bytes(got.end() - 512, got.end()), diskBytes(4096, 1));
  EXPECT_EQ(reader.nextDataOffset(1u << 20), std::optional<std::uint64_t>(2u << 20));
  EXPECT_EQ(reader.nextDataOffset(3u << 20), std::nullopt);
  // The last sector reads; one past it is outside the disk.
  EXPECT_TRUE(reader.seek((4 << 20) - 512));
  EXPECT_FALSE(reader.seek(4 << 20));
}

TEST_F(DiskFormatTest, VhdTableIsFoundThroughTheHeaderAndEntryZeroReadsPastTheBitmapAtFileStart) {
  VhdShape shape;
  shape.tableOffset = 8192;  // not right after the header
  shape.blocks = {0, 1, 2, 3};
  FileReadSeekVHD reader(m_context);
  ASSERT_TRUE(reader.open(write(buildVhd(shape), "moved.VHD")));
  EXPECT_EQ(readAt(reader, 3 << 20, 512), diskBytes(6144, 1));

  // An entry of 0 is a block at file offset 0: its data starts after the 512-byte bitmap, at the header.
  shape.tableOffset = 1536;
  shape.rawEntry0 = 0;
  FileReadSeekVHD zero(m_context);
  const Bytes image = buildVhd(shape);
  ASSERT_TRUE(zero.open(write(image, "zero.vhd")));
  EXPECT_EQ(readAt(zero, 0, 512), Bytes(image.begin() + 512, image.begin() + 1024));
}

TEST_F(DiskFormatTest, FixedVhdIsTheDataBeforeItsFooter) {
  Bytes image = diskBytes(0, 2048);
  Bytes footer(512);
  putText(footer, 0, "conectix");
  putBe(footer, 16, UINT64_MAX, 8);
  putBe(footer, 48, 1u << 20, 8);
  putBe(footer, 60, 2, 4);
  image.insert(image.end(), footer.begin(), footer.end());
  FileReadSeekVHD reader(m_context);
  ASSERT_TRUE(reader.open(write(image, "fixed.vhd")));
  EXPECT_EQ(m_context.diskSectorCount, 2048u);
  EXPECT_EQ(readAt(reader, 0, 1u << 20), diskBytes(0, 2048));
  EXPECT_FALSE(reader.seek(1 << 20)) << "the footer is not part of the disk";
}

TEST_F(DiskFormatTest, VhdHeadersCorruptedInSixWaysAreRefusedWithoutHugeTables) {
  VhdShape sound;
  sound.blocks = {0};
  struct Case {
    const char* what;
    std::function<void(Bytes&)> corrupt;
    const char* message;
  };
  const std::vector<Case> cases = {
      {"no cookie", [](Bytes& b) { putText(b, 0, "xxxxxxxx"); putText(b, b.size() - 512, "xxxxxxxx"); }, "Not a vhd file"},
      {"block size 0", [](Bytes& b) { putBe(b, 512 + 32, 0, 4); }, "VHD block size 0 cannot be used"},
      {"block size not a power of two", [](Bytes& b) { putBe(b, 512 + 32, 3 * 512, 4); }, "VHD block size 1536 cannot be used"},
      {"table past the file", [](Bytes& b) { putBe(b, 512 + 16, UINT64_MAX - 8, 8); }, "VHD block allocation table lies outside the file"},
      {"no dynamic header", [](Bytes& b) { putText(b, 512, "xxxxxxxx"); }, "VHD dynamic disk header not found"},
      {"unknown disk type", [](Bytes& b) { putBe(b, 60, 7, 4); putBe(b, b.size() - 512 + 60, 7, 4); }, "VHD disk type 7 cannot be read"},
  };
  for (const Case& c : cases) {
    Bytes image = buildVhd(sound);
    c.corrupt(image);
    m_sink.clear();
    FileReadSeekVHD reader(m_context);
    EXPECT_FALSE(reader.open(write(image, "bad.vhd"))) << c.what;
    EXPECT_EQ(m_sink.lastMessage(), c.message) << c.what;
  }
  // A table that claims 2^32 - 1 entries is read only as far as the 4 MiB disk needs.
  sound.maxEntries = UINT32_MAX;
  FileReadSeekVHD capped(m_context);
  ASSERT_TRUE(capped.open(write(buildVhd(sound), "huge.vhd")));
  EXPECT_EQ(capped.blockTable.size(), 4u);
  // The footer decides, whatever the name; without one another name is refused by name.
  FileReadSeekVHD renamed(m_context);
  EXPECT_TRUE(renamed.open(write(buildVhd(sound), "disk.img")));
  FileReadSeekVHD wrongName(m_context);
  EXPECT_FALSE(wrongName.open(write(Bytes(4096), "zeros.img")));
  EXPECT_EQ(m_sink.lastMessage(), "Not a vhd file");
}

// ---- VDI ----

struct VdiShape {
  std::uint64_t diskSize = 3u << 20;
  std::uint32_t blockSize = 1u << 20;
  std::vector<std::uint32_t> map = {1, 0xFFFFFFFF, 0};  // entries; blocks in the file hold diskBytes of their disk block
  std::optional<std::uint32_t> blockCount;
};

Bytes buildVdi(const VdiShape& shape) {
  Bytes out(512);
  putText(out, 0, "<<< Oracle VM VirtualBox Disk Image >>>\n");
  putLe(out, 64, FileReadSeekVdi::kSignature, 4);
  putLe(out, 68, 0x00010001, 4);
  putLe(out, 72, 400, 4);
  putLe(out, 76, 1, 4);
  putLe(out, 340, 512, 4);
  const std::uint32_t dataOffset = 512 + static_cast<std::uint32_t>((shape.map.size() * 4 + 511) / 512 * 512);
  putLe(out, 344, dataOffset, 4);
  putLe(out, 368, shape.diskSize, 8);
  putLe(out, 376, shape.blockSize, 4);
  putLe(out, 384, shape.blockCount.value_or(static_cast<std::uint32_t>(shape.map.size())), 4);
  std::uint32_t allocated = 0;
  for (std::size_t i = 0; i < shape.map.size(); ++i) {
    putLe(out, 512 + i * 4, shape.map[i], 4);
    if (shape.map[i] >= 0xFFFFFFFE) continue;
    ++allocated;
    const Bytes data = diskBytes(i * shape.blockSize / 512, shape.blockSize / 512);
    const std::size_t at = dataOffset + std::size_t{shape.map[i]} * shape.blockSize;
    if (out.size() < at + data.size()) out.resize(at + data.size());
    std::copy(data.begin(), data.end(), out.begin() + static_cast<std::ptrdiff_t>(at));
  }
  putLe(out, 388, allocated, 4);
  return out;
}

TEST_F(DiskFormatTest, VdiZeroBlocksAndUnallocatedBlocksReadAsZerosAndOffsetsInsideABlockAreKept) {
  VdiShape shape;
  shape.map = {1, 0xFFFFFFFE, 0, 0xFFFFFFFF};
  shape.diskSize = 4u << 20;
  FileReadSeekVdi reader(m_context);
  ASSERT_TRUE(reader.open(write(buildVdi(shape), "disk.vdi")));
  EXPECT_EQ(m_context.diskSectorCount, 8192u);
  EXPECT_EQ(readAt(reader, 0, 512), diskBytes(0, 1));
  // 0xFFFFFFFE is a block of zeros, never block 4294967294 of the file.
  EXPECT_TRUE(allZero(readAt(reader, 1 << 20, 1 << 20)));
  EXPECT_TRUE(allZero(readAt(reader, 3 << 20, 1 << 20)));
  EXPECT_EQ(reader.missingReads.load(), 0u);
  EXPECT_EQ(reader.nextDataOffset(1 << 20), std::optional<std::uint64_t>(2u << 20));
  EXPECT_EQ(reader.nextDataOffset(3 << 20), std::nullopt);
  // 100 bytes into block 2: the read starts 100 bytes into that block's data.
  const Bytes inside = readAt(reader, (2 << 20) + 100, 512);
  const Bytes sectors = diskBytes(4096, 2);
  EXPECT_EQ(inside, Bytes(sectors.begin() + 100, sectors.begin() + 612));
}

TEST_F(DiskFormatTest, VdiHeadersThatFailTheTestOrClaimHugeMapsAreRefused) {
  struct Case {
    const char* what;
    std::function<void(Bytes&)> corrupt;
    const char* message;  // none: refused silently by the plausibility test
  };
  const std::vector<Case> cases = {
      {"disk size 0", [](Bytes& b) { putLe(b, 368, 0, 8); }, ""},
      {"block size 0", [](Bytes& b) { putLe(b, 376, 0, 4); }, ""},
      {"header size 0", [](Bytes& b) { putLe(b, 72, 0, 4); }, ""},
      {"no block allocated", [](Bytes& b) { putLe(b, 388, 0, 4); }, ""},
      {"map past the file", [](Bytes& b) { putLe(b, 340, 0xFFFFFF00, 4); }, "VDI block map lies outside the file"},
      {"2^32 - 1 blocks of a huge disk", [](Bytes& b) { putLe(b, 384, UINT32_MAX, 4); putLe(b, 368, UINT64_MAX, 8); },
       "VDI block map lies outside the file"},
  };
  for (const Case& c : cases) {
    Bytes image = buildVdi(VdiShape{});
    c.corrupt(image);
    m_sink.clear();
    FileReadSeekVdi reader(m_context);
    EXPECT_FALSE(reader.open(write(image, "bad.vdi"))) << c.what;
    EXPECT_EQ(m_sink.lastMessage(), c.message) << c.what;
  }
  // A count larger than the disk needs is read only as far as it needs.
  VdiShape big;
  big.blockCount = 1000;
  FileReadSeekVdi capped(m_context);
  ASSERT_TRUE(capped.open(write(buildVdi(big), "big.vdi")));
  EXPECT_EQ(capped.blockMap.size(), 3u);
}

// ---- VMDK ----

struct VmdkShape {
  std::uint64_t capacity = 128;  // sectors
  std::uint64_t grain = 8;       // sectors
  std::uint32_t gtEntries = 4;   // one table covers 32 sectors
  // Per grain: its order among the grains in the file; 0 and 1 are written as such (no data, zero grain).
  std::map<std::uint64_t, std::uint32_t> grains;
  std::map<std::uint64_t, std::uint32_t> rawEntries;  // grain -> raw table entry
  std::uint64_t firstSector = 0;  // diskBytes numbering of the extent's first sector
};

// Header at 0, directory at sector 1, tables at sectors 2.., grains from sector 16.
Bytes buildVmdk(const VmdkShape& shape) {
  Bytes out(512);
  putLe(out, 0, FileReadSeekVmdk::kMagic, 4);
  putLe(out, 4, 1, 4);
  putLe(out, 8, 3, 4);
  putLe(out, 12, shape.capacity, 8);
  putLe(out, 20, shape.grain, 8);
  putLe(out, 44, shape.gtEntries, 4);
  putLe(out, 48, 1, 8);
  putLe(out, 56, 1, 8);
  const std::uint64_t perTable = shape.grain * shape.gtEntries;
  const std::uint64_t tables = (shape.capacity + perTable - 1) / perTable;
  for (std::uint64_t t = 0; t < tables; ++t) putLe(out, 512 + t * 4, 2 + t, 4);
  out.resize(16 * 512);
  for (const auto& [grain, order] : shape.grains) {
    const std::uint64_t sector = 16 + order * shape.grain;
    putLe(out, (2 + grain / shape.gtEntries) * 512 + (grain % shape.gtEntries) * 4, sector, 4);
    const Bytes data = diskBytes(shape.firstSector + grain * shape.grain, shape.grain);
    if (out.size() < sector * 512 + data.size()) out.resize(sector * 512 + data.size());
    std::copy(data.begin(), data.end(), out.begin() + static_cast<std::ptrdiff_t>(sector * 512));
  }
  for (const auto& [grain, entry] : shape.rawEntries)
    putLe(out, (2 + grain / shape.gtEntries) * 512 + (grain % shape.gtEntries) * 4, entry, 4);
  return out;
}

TEST_F(DiskFormatTest, VmdkGrainsWithoutDataAndZeroGrainsReadAsZerosAcrossTables) {
  VmdkShape shape;
  shape.grains = {{0, 2}, {1, 0}, {5, 1}};  // grains 0 and 1 follow each other only in reverse
  shape.rawEntries = {{2, 1}};               // a zero grain
  FileReadSeekVmdk reader(m_context);
  ASSERT_TRUE(reader.open(write(buildVmdk(shape), "disk.vmdk")));
  EXPECT_EQ(m_context.diskSectorCount, 128u);
  const Bytes all = readAt(reader, 0, 128 * 512);
  EXPECT_EQ(Bytes(all.begin(), all.begin() + 16 * 512), diskBytes(0, 16));
  EXPECT_TRUE(allZero(Bytes(all.begin() + 16 * 512, all.begin() + 40 * 512)));
  EXPECT_EQ(Bytes(all.begin() + 40 * 512, all.begin() + 48 * 512), diskBytes(40, 8));
  EXPECT_TRUE(allZero(Bytes(all.begin() + 48 * 512, all.end())));
  EXPECT_EQ(reader.nextDataOffset(16 * 512), std::optional<std::uint64_t>(40 * 512));
  EXPECT_EQ(reader.nextDataOffset(48 * 512), std::nullopt);
  EXPECT_EQ(reader.missingReads.load(), 0u);
}

TEST_F(DiskFormatTest, VmdkHeadersCorruptedInFiveWaysAreRefused) {
  struct Case {
    const char* what;
    std::function<void(Bytes&)> corrupt;
    const char* message;
  };
  const std::vector<Case> cases = {
      {"grain size 0", [](Bytes& b) { putLe(b, 20, 0, 8); }, "VMDK extent \"bad.vmdk\": grain size 0 or grain table size 4 cannot be used"},
      {"grain size not a power of two", [](Bytes& b) { putLe(b, 20, 12, 8); }, "VMDK extent \"bad.vmdk\": grain size 12 or grain table size 4 cannot be used"},
      {"2^32 - 1 table entries", [](Bytes& b) { putLe(b, 44, UINT32_MAX, 4); },
       "VMDK extent \"bad.vmdk\": grain size 8 or grain table size 4294967295 cannot be used"},
      {"a directory past the file for a huge capacity", [](Bytes& b) { putLe(b, 12, 1ull << 50, 8); },
       "VMDK extent \"bad.vmdk\": the grain directory lies outside the file"},
      {"compressed grains without an algorithm", [](Bytes& b) { putLe(b, 8, 0x10003, 4); },
       "VMDK extent \"bad.vmdk\" holds grains compressed in a way that cannot be read"},
      {"an unknown algorithm", [](Bytes& b) { putLe(b, 8, 0x10003, 4); putLe(b, 77, 2, 2); },
       "VMDK extent \"bad.vmdk\" holds grains compressed in a way that cannot be read"},
      {"deflate without the compressed flag", [](Bytes& b) { putLe(b, 77, 1, 2); },
       "VMDK extent \"bad.vmdk\" holds grains compressed in a way that cannot be read"},
      {"a directory at the end without a footer", [](Bytes& b) { putLe(b, 56, UINT64_MAX, 8); },
       "VMDK extent \"bad.vmdk\" places its grain directory in a footer, but has no sound footer"},
  };
  for (const Case& c : cases) {
    Bytes image = buildVmdk(VmdkShape{});
    c.corrupt(image);
    m_sink.clear();
    FileReadSeekVmdk reader(m_context);
    EXPECT_FALSE(reader.open(write(image, "bad.vmdk"))) << c.what;
    EXPECT_EQ(m_sink.lastMessage(), c.message) << c.what;
  }
  FileReadSeekVmdk text(m_context);
  writeText("notes.vmdk", "just some text\n");
  EXPECT_FALSE(text.open(m_dir + "/notes.vmdk"));
  EXPECT_EQ(m_sink.lastMessage(), "Not a vmdk file");
}

std::string descriptorWith(const std::string& extents) {
  return "# Disk DescriptorFile\nversion=1\nCID=12345678\nparentCID=ffffffff\ncreateType=\"custom\"\n\n"
         "# Extent description\n" + extents + "\n# The Disk Data Base\n#DDB\n\nddb.adapterType = \"lsilogic\"\n"
         "ddb.geometry.cylinders = \"3\"\nddb.geometry.heads = \"16\"\nddb.geometry.sectors = \"63\"\n";
}

TEST_F(DiskFormatTest, VmdkDescriptorJoinsFlatSparseAndZeroExtentsFromItsOwnFolder) {
  // 64 sectors flat (starting 8 sectors into its file), 32 zero sectors, 64 sectors sparse in a subfolder.
  Bytes flat(8 * 512, std::byte{0xEE});
  const Bytes first = diskBytes(0, 64);
  flat.insert(flat.end(), first.begin(), first.end());
  write(flat, "part-flat.vmdk");
  fs::create_directories(m_dir + "/sub");
  VmdkShape sparse;
  sparse.capacity = 64;
  sparse.firstSector = 96;
  sparse.grains = {{0, 0}, {7, 1}};
  write(buildVmdk(sparse), "sub/part-s001.vmdk");
  writeText("disk.vmdk", descriptorWith("RW 64 FLAT \"part-flat.vmdk\" 8\nRW 32 ZERO\nRW 64 SPARSE \"sub/part-s001.vmdk\"\n"));

  FileReadSeekVmdk reader(m_context);
  ASSERT_TRUE(reader.open(m_dir + "/disk.vmdk")) << m_sink.lastMessage();
  EXPECT_EQ(m_context.diskSectorCount, 160u) << "the extents' sizes, once";
  EXPECT_EQ(reader.extents.size(), 3u);
  EXPECT_EQ(reader.adapterType, "lsilogic");
  EXPECT_EQ(reader.geometryHeads, "16");
  EXPECT_EQ(reader.cid, "12345678");
  EXPECT_EQ(reader.parentCid, "ffffffff");
  const Bytes all = readAt(reader, 0, 160 * 512);
  EXPECT_EQ(Bytes(all.begin(), all.begin() + 64 * 512), first);
  EXPECT_TRUE(allZero(Bytes(all.begin() + 64 * 512, all.begin() + 96 * 512)));
  EXPECT_EQ(Bytes(all.begin() + 96 * 512, all.begin() + 104 * 512), diskBytes(96, 8));
  EXPECT_TRUE(allZero(Bytes(all.begin() + 104 * 512, all.begin() + 152 * 512)));
  EXPECT_EQ(Bytes(all.begin() + 152 * 512, all.end()), diskBytes(152, 8));
  EXPECT_EQ(reader.nextDataOffset(64 * 512), std::optional<std::uint64_t>(96 * 512));
  EXPECT_EQ(reader.nextDataOffset(97 * 512), std::optional<std::uint64_t>(97 * 512));
  EXPECT_EQ(reader.nextDataOffset(104 * 512), std::optional<std::uint64_t>(152 * 512));
  EXPECT_FALSE(reader.seek(160 * 512));
  // Opening the same disk a second time gives the same diskSectorCount, not twice it.
  FileReadSeekVmdk again(m_context);
  ASSERT_TRUE(again.open(m_dir + "/disk.vmdk"));
  EXPECT_EQ(m_context.diskSectorCount, 160u);
}

TEST_F(DiskFormatTest, VmdkExtentsThatLeaveTheFolderOrAreMissingAreRefusedWithAMessage) {
  fs::create_directories(m_dir + "/inner");
  write(diskBytes(0, 8), "outside-flat.vmdk");
#ifndef _WIN32  // this build's C++ library makes no links on Windows
  fs::create_symlink(m_dir + "/outside-flat.vmdk", m_dir + "/inner/link-flat.vmdk");
  fs::create_symlink(m_dir, m_dir + "/inner/linked");
#endif
  struct Case {
    const char* extents;
    const char* message;
  } cases[] = {
      {"RW 8 FLAT \"../outside-flat.vmdk\" 0", "VMDK extent \"../outside-flat.vmdk\" lies outside the descriptor's folder"},
      {"RW 8 FLAT \"/etc/passwd\" 0", "VMDK extent \"/etc/passwd\" lies outside the descriptor's folder"},
      {"RW 8 FLAT \"a/../../outside-flat.vmdk\" 0", "VMDK extent \"a/../../outside-flat.vmdk\" lies outside the descriptor's folder"},
      {"RW 8 FLAT \"C:\\\\disk-flat.vmdk\" 0", "VMDK extent \"C:\\\\disk-flat.vmdk\" lies outside the descriptor's folder"},
      {"RW 8 FLAT \"absent-flat.vmdk\" 0", "VMDK extent file \"absent-flat.vmdk\" cannot be opened: it does not exist"},
#ifndef _WIN32
      // A link inside the folder that leads out of it, or a linked folder on the way, is never followed.
      {"RW 8 FLAT \"link-flat.vmdk\" 0",
       "VMDK extent file \"link-flat.vmdk\" cannot be opened: it is a link, which is never followed"},
      {"RW 8 FLAT \"linked/outside-flat.vmdk\" 0",
       "VMDK extent file \"linked/outside-flat.vmdk\" cannot be opened: a folder on its way is a link or not a folder"},
      {"RW 8 SPARSE \"link-flat.vmdk\"",
       "VMDK extent file \"link-flat.vmdk\" cannot be opened: it is a link, which is never followed"},
#endif
      {"RW 8 SPARSE \"../outside-flat.vmdk\"", "VMDK extent \"../outside-flat.vmdk\" lies outside the descriptor's folder"},
      {"RW 8 VMFSSPARSE \"x.vmdk\"", "VMDK extent type VMFSSPARSE cannot be read"},
  };
  for (const Case& c : cases) {
    writeText("inner/disk.vmdk", descriptorWith(std::string(c.extents) + "\n"));
    m_sink.clear();
    FileReadSeekVmdk reader(m_context);
    EXPECT_FALSE(reader.open(m_dir + "/inner/disk.vmdk")) << c.extents;
    EXPECT_EQ(m_sink.lastMessage(), c.message) << c.extents;
  }
  EXPECT_EQ(extentPathBelow("/d", "./x/./y.vmdk"), std::optional<std::string>("/d/x/y.vmdk"));
  EXPECT_EQ(extentPathBelow("/d", "x\\y.vmdk"), std::optional<std::string>("/d/x/y.vmdk"));
  EXPECT_EQ(extentPathBelow("/d", "."), std::nullopt);
  EXPECT_EQ(extentPathBelow("/d", ""), std::nullopt);
}

// ---- Choosing the reader ----

TEST_F(DiskFormatTest, FormatIsChosenByContentsThenByExtension) {
  EXPECT_EQ(imageFormatOf(m_dir + "/absent.VHDX"), ImageFormat::Vhdx);
  EXPECT_EQ(imageFormatOf(m_dir + "/absent.Vhd"), ImageFormat::Vhd);
  EXPECT_EQ(imageFormatOf(m_dir + "/absent.vdi"), ImageFormat::Vdi);
  EXPECT_EQ(imageFormatOf(m_dir + "/absent.vmdk"), ImageFormat::Vmdk);
  EXPECT_EQ(imageFormatOf(write(buildVdi(VdiShape{}), "vdi.img")), ImageFormat::Vdi);
  EXPECT_EQ(imageFormatOf(write(buildVmdk(VmdkShape{}), "vmdk.img")), ImageFormat::Vmdk);
  EXPECT_EQ(imageFormatOf(write(buildVhd(VhdShape{}), "vhd.img")), ImageFormat::Vhd);
  EXPECT_EQ(imageFormatOf(write(Bytes(4096), "zeros.img")), ImageFormat::Flat);
  // The content wins over another format's name; a name alone decides only for bytes no header claims.
  EXPECT_EQ(imageFormatOf(write(buildVdi(VdiShape{}), "vdi.vhdx")), ImageFormat::Vdi);
  EXPECT_EQ(imageFormatOf(write(Bytes(4096), "zeros.vmdk")), ImageFormat::Vmdk);
  // A VMDK or VDI under another name reads; other bytes named .img are no VDI.
  FileReadSeekVmdk vmdk(m_context);
  EXPECT_TRUE(vmdk.open(m_dir + "/vmdk.img"));
  ImageInfo info;
  EXPECT_TRUE(readVdiImageInfo(m_sink, m_context, nullptr, m_dir + "/vdi.img", info));
  EXPECT_FALSE(readVdiImageInfo(m_sink, m_context, nullptr, m_dir + "/zeros.img", info));
  EXPECT_EQ(m_sink.lastMessage(), "not a vdi file");
}

TEST_F(DiskFormatTest, ImagePageRoutinesShowEachFormatsValues) {
  ImageInfo info;
  ASSERT_TRUE(readAnyImageInfo(m_sink, m_context, nullptr, write(buildVdi(VdiShape{}), "disk.vdi"), info));
  EXPECT_EQ(info.formatName, "VDI");
  EXPECT_EQ(info.formatVersion, 1);
  EXPECT_EQ(info.diskSize, 3u << 20);
  EXPECT_EQ(info.blockSize, 1u << 20);

  writeText("flat-flat.vmdk", std::string(64 * 512, '\1'));
  writeText("d.vmdk", descriptorWith("RW 64 FLAT \"flat-flat.vmdk\" 0\n"));
  ASSERT_TRUE(readAnyImageInfo(m_sink, m_context, nullptr, m_dir + "/d.vmdk", info));
  EXPECT_EQ(info.formatName, "VMDK");
  EXPECT_EQ(info.adapterType, "lsilogic");
  EXPECT_EQ(info.cylinders, 3u);
  EXPECT_EQ(info.createType, "custom");
  EXPECT_EQ(info.diskSize, 64u * 512);
  EXPECT_EQ(m_context.diskSectorCount, 64u);

  VhdShape vhd;
  vhd.blocks = {0};
  ASSERT_TRUE(readAnyImageInfo(m_sink, m_context, nullptr, write(buildVhd(vhd), "disk.vhd"), info));
  EXPECT_EQ(info.formatName, "VHD");
  EXPECT_EQ(info.blockSize, 1u << 20);
  EXPECT_EQ(info.diskSize, 4u << 20);
  EXPECT_TRUE(m_sink.messages().empty()) << m_sink.lastMessage();
}

}  // namespace
}  // namespace tessary
