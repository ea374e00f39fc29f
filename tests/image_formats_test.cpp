// qcow2, stream-optimized VMDK and flat images beyond what the twins show: broken and hostile tables and
// compressed clusters, the choice of reader by content whatever the name, and block devices.
#include <gtest/gtest.h>
#include <zlib.h>
#include <zstd.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "disk/decompress.h"
#include "disk/image_format.h"
#include "disk/qcow2_reader.h"
#include "support/cli_runner.h"
#include "support/fixtures.h"
#include "support/recording_sink.h"

namespace tessary {
namespace {

namespace fs = std::filesystem;
using ByteVector = std::vector<std::byte>;

ByteVector pattern(std::size_t size, unsigned seed) {
  ByteVector out(size);
  for (std::size_t i = 0; i < size; ++i) out[i] = static_cast<std::byte>((i * 7 + seed * 13 + i / 97) & 0xFF);
  return out;
}

// A raw deflate stream (windowBits -12 as qemu-img writes), a zlib stream, a zstd frame.
ByteVector deflated(const ByteVector& data, int windowBits = -12) {
  z_stream stream{};
  EXPECT_EQ(deflateInit2(&stream, 6, Z_DEFLATED, windowBits, 8, Z_DEFAULT_STRATEGY), Z_OK);
  ByteVector out(deflateBound(&stream, data.size()) + 16);
  stream.next_in = reinterpret_cast<Bytef*>(const_cast<std::byte*>(data.data()));
  stream.avail_in = static_cast<uInt>(data.size());
  stream.next_out = reinterpret_cast<Bytef*>(out.data());
  stream.avail_out = static_cast<uInt>(out.size());
  EXPECT_EQ(deflate(&stream, Z_FINISH), Z_STREAM_END);
  out.resize(stream.total_out);
  deflateEnd(&stream);
  return out;
}

ByteVector zstdFrame(const ByteVector& data) {
  ByteVector out(ZSTD_compressBound(data.size()));
  const std::size_t size = ZSTD_compress(out.data(), out.size(), data.data(), data.size(), 3);
  EXPECT_FALSE(ZSTD_isError(size));
  out.resize(size);
  return out;
}

TEST(Decompress, FillsExactlyTheTargetAndRefusesStreamsThatEndShortOrGoOnPastIt) {
  const ByteVector data = pattern(4096, 1);
  ByteVector out(4096);
  // Unused bytes after the stream (the rest of its last sector) are fine.
  ByteVector raw = deflated(data);
  raw.resize(raw.size() + 100, std::byte{0x5A});
  EXPECT_TRUE(inflateRawDeflate(raw, out));
  EXPECT_EQ(out, data);
  EXPECT_TRUE(inflateZlib(deflated(data, 15), out));
  EXPECT_EQ(out, data);
  ByteVector frame = zstdFrame(data);
  frame.resize(frame.size() + 37, std::byte{0});
  EXPECT_TRUE(inflateZstd(frame, out));
  EXPECT_EQ(out, data);

  ByteVector bigger = pattern(4097, 1);
  ByteVector smaller = pattern(4095, 1);
  EXPECT_FALSE(inflateRawDeflate(deflated(bigger), out));
  EXPECT_FALSE(inflateRawDeflate(deflated(smaller), out));
  EXPECT_FALSE(inflateZlib(deflated(bigger, 15), out));
  EXPECT_FALSE(inflateZstd(zstdFrame(bigger), out));
  EXPECT_FALSE(inflateZstd(zstdFrame(smaller), out));
  // Cut short, or with a wrong checksum.
  ByteVector cut = deflated(data);
  cut.resize(cut.size() / 2);
  EXPECT_FALSE(inflateRawDeflate(cut, out));
  ByteVector zlibbed = deflated(data, 15);
  zlibbed.back() ^= std::byte{1};
  EXPECT_FALSE(inflateZlib(zlibbed, out));
  ByteVector frameCut = zstdFrame(data);
  frameCut.resize(frameCut.size() - 3);
  EXPECT_FALSE(inflateZstd(frameCut, out));
  EXPECT_FALSE(inflateZstd(pattern(300, 9), out));
}

void putBe32(ByteVector& image, std::size_t at, std::uint32_t value) {
  for (int i = 0; i < 4; ++i) image[at + i] = static_cast<std::byte>(value >> (24 - 8 * i));
}
void putBe64(ByteVector& image, std::size_t at, std::uint64_t value) {
  for (int i = 0; i < 8; ++i) image[at + i] = static_cast<std::byte>(value >> (56 - 8 * i));
}

// A small version 3 qcow2 image with 512-byte clusters: header in cluster 0, L1 table in cluster 1, one L2
// table in cluster 2 covering the first 64 clusters, data from cluster 3 on. The disk has 128 clusters
// (two L2 tables' worth; the second has none).
class Qcow2Image {
 public:
  static constexpr std::uint64_t kCluster = 512;

  Qcow2Image() : m_image(4 * kCluster) {
    putBe32(m_image, 0, FileReadSeekQcow2::kMagic);
    putBe32(m_image, 4, 3);
    putBe32(m_image, 20, 9);
    putBe64(m_image, 24, 128 * kCluster);
    putBe32(m_image, 36, 2);
    putBe64(m_image, 40, kCluster);
    putBe32(m_image, 100, 112);
    putBe64(m_image, kCluster, 2 * kCluster);
  }
  ByteVector& bytes() { return m_image; }
  // Guest cluster `cluster` stored as is at the end of the file.
  void store(std::uint64_t cluster, const ByteVector& data) {
    const std::uint64_t host = append(data);
    l2(cluster, host);
  }
  // Guest cluster stored compressed; the descriptor counts the sectors after the first.
  void storeCompressed(std::uint64_t cluster, const ByteVector& packed) {
    const std::uint64_t host = append(packed);
    const std::uint64_t more = (packed.size() + kSectorSize - 1) / kSectorSize - 1;
    l2(cluster, (1ULL << 62) | (more << 61) | host);
  }
  void l2(std::uint64_t cluster, std::uint64_t entry) { putBe64(m_image, 2 * kCluster + cluster * 8, entry); }
  void incompatible(std::uint64_t bits) { putBe64(m_image, 72, bits); }
  std::string write(const std::string& dir, const std::string& name = "disk.qcow2") const {
    const std::string path = dir + "/" + name;
    std::ofstream(path, std::ios::binary).write(reinterpret_cast<const char*>(m_image.data()), static_cast<std::streamsize>(m_image.size()));
    return path;
  }

 private:
  std::uint64_t append(const ByteVector& data) {
    const std::uint64_t host = m_image.size();
    m_image.insert(m_image.end(), data.begin(), data.end());
    m_image.resize((m_image.size() + kCluster - 1) / kCluster * kCluster);
    return host;
  }
  ByteVector m_image;
};

class Qcow2Hostile : public ::testing::Test {
 protected:
  void SetUp() override {
    m_dir = test::makeTempDir("tessary-qcow2-");
    m_context.messages = &m_sink;
  }
  void TearDown() override { fs::remove_all(m_dir); }
  ByteVector readCluster(readWriteInterface& reader, std::uint64_t cluster) {
    ByteVector out(Qcow2Image::kCluster, std::byte{0xEE});
    EXPECT_TRUE(reader.readAt(static_cast<std::int64_t>(cluster * Qcow2Image::kCluster), out));
    return out;
  }
  static bool zeros(const ByteVector& data) {
    return std::all_of(data.begin(), data.end(), [](std::byte b) { return b == std::byte{0}; });
  }

  std::string m_dir;
  RecordingSink m_sink;
  DiskContext m_context;
};

TEST_F(Qcow2Hostile, ClustersOfEveryKindReadAsTheyWereStoredAndOnlyDataIsSaidToHoldData) {
  Qcow2Image image;
  const ByteVector plain = pattern(512, 2);
  const ByteVector packed = pattern(512, 3);
  image.store(0, plain);
  image.storeCompressed(5, deflated(packed));
  image.store(6, pattern(512, 4));
  image.l2(6, (6ULL * 512) | 1);  // a zero cluster keeps its place in the file but reads as zeros
  image.store(7, pattern(512, 5));
  image.store(8, pattern(512, 6));  // right behind cluster 7 in the file: one run
  const std::string path = image.write(m_dir, "disk");
  ASSERT_EQ(imageFormatOf(path), ImageFormat::Qcow2);
  FileReadSeekQcow2 reader(m_context);
  ASSERT_TRUE(reader.open(path)) << m_sink.lastMessage();
  EXPECT_EQ(m_context.diskSectorCount, 128u);
  EXPECT_EQ(readCluster(reader, 0), plain);
  EXPECT_EQ(readCluster(reader, 5), packed);
  EXPECT_TRUE(zeros(readCluster(reader, 6)));
  EXPECT_TRUE(zeros(readCluster(reader, 1)));
  EXPECT_TRUE(zeros(readCluster(reader, 100)));  // under an L1 entry without a table
  ByteVector two(1024);
  ASSERT_TRUE(reader.readAt(7 * 512, two));
  EXPECT_EQ(ByteVector(two.begin(), two.begin() + 512), pattern(512, 5));
  EXPECT_EQ(ByteVector(two.begin() + 512, two.end()), pattern(512, 6));
  EXPECT_EQ(reader.missingReads.load(), 0u);
  EXPECT_EQ(reader.nextDataOffset(0), 0u);
  EXPECT_EQ(reader.nextDataOffset(1), 1u);
  EXPECT_EQ(reader.nextDataOffset(512), 5u * 512);
  EXPECT_EQ(reader.nextDataOffset(6 * 512), 7u * 512);
  EXPECT_EQ(reader.nextDataOffset(9 * 512), std::nullopt);
  // Past the end of the disk nothing can be read.
  ByteVector past(512);
  EXPECT_FALSE(reader.readAt(128 * 512, past));
}

TEST_F(Qcow2Hostile, ZstdClustersAreReadWhenTheHeaderNamesZstd) {
  Qcow2Image image;
  image.storeCompressed(3, zstdFrame(pattern(512, 7)));
  image.incompatible(1ULL << 3);
  image.bytes()[104] = std::byte{1};
  FileReadSeekQcow2 reader(m_context);
  ASSERT_TRUE(reader.open(image.write(m_dir))) << m_sink.lastMessage();
  EXPECT_TRUE(reader.zstd);
  EXPECT_EQ(readCluster(reader, 3), pattern(512, 7));
  EXPECT_EQ(reader.missingReads.load(), 0u);
}

TEST_F(Qcow2Hostile, CompressedClustersThatInflateToAnythingButOneClusterReadAsZerosAndAreCounted) {
  Qcow2Image image;
  image.storeCompressed(1, deflated(pattern(700, 8)));  // past its cluster
  image.storeCompressed(2, deflated(pattern(300, 8)));  // short of it
  image.storeCompressed(3, pattern(512, 9));            // not deflate at all
  image.storeCompressed(4, deflated(pattern(512, 10)));
  FileReadSeekQcow2 reader(m_context);
  ASSERT_TRUE(reader.open(image.write(m_dir)));
  for (std::uint64_t cluster : {1, 2, 3}) {
    const std::uint64_t before = reader.missingReads.load();
    EXPECT_TRUE(zeros(readCluster(reader, cluster))) << "cluster " << cluster;
    EXPECT_GT(reader.missingReads.load(), before) << "cluster " << cluster;
  }
  EXPECT_EQ(readCluster(reader, 4), pattern(512, 10));
}

TEST_F(Qcow2Hostile, HeadersAndTablesThatCannotBeReadAreRefusedWithAMessage) {
  struct Case {
    const char* what;
    void (*spoil)(Qcow2Image&);
    const char* message;
  };
  const Case cases[] = {
      {"encrypted", [](Qcow2Image& q) { putBe32(q.bytes(), 32, 1); },
       "This qcow2 image is encrypted; encrypted images cannot be read"},
      {"L2 table past the end", [](Qcow2Image& q) { putBe64(q.bytes(), 512 + 8, 1ULL << 30); },
       "qcow2 L1 entry 1 names an L2 table past the file's end"},
      {"L1 table past the end", [](Qcow2Image& q) { putBe64(q.bytes(), 40, 1ULL << 40); },
       "qcow2 L1 table lies outside the file"},
      {"L1 table too small", [](Qcow2Image& q) { putBe32(q.bytes(), 36, 1); }, "qcow2 L1 table does not cover the disk"},
      {"unknown feature", [](Qcow2Image& q) { q.incompatible(1ULL << 9); }, "qcow2 image uses features that cannot be read"},
      {"external data file", [](Qcow2Image& q) { q.incompatible(1ULL << 2); },
       "qcow2 image keeps its data in an external file, which is not read"},
      {"unknown compression", [](Qcow2Image& q) { q.incompatible(1ULL << 3); q.bytes()[104] = std::byte{7}; },
       "qcow2 compression type 7 cannot be read"},
      {"version 4", [](Qcow2Image& q) { putBe32(q.bytes(), 4, 4); }, "qcow2 version 4 cannot be read (versions 2 and 3 can)"},
      {"huge clusters", [](Qcow2Image& q) { putBe32(q.bytes(), 20, 40); }, "qcow2 cluster size 2^40 cannot be used"},
      {"huge disk", [](Qcow2Image& q) { putBe64(q.bytes(), 24, UINT64_MAX); }, "qcow2 disk size is larger than any disk"},
  };
  for (const Case& c : cases) {
    Qcow2Image image;
    image.store(0, pattern(512, 1));
    c.spoil(image);
    RecordingSink sink;
    DiskContext context;
    context.messages = &sink;
    FileReadSeekQcow2 reader(context);
    EXPECT_FALSE(reader.open(image.write(m_dir))) << c.what;
    EXPECT_EQ(sink.lastMessage(), c.message) << c.what;
    // The image page shows the same refusal, and the command line exits 1 with it.
    const auto run = test::runTessary({"info", m_dir + "/disk.qcow2"});
    EXPECT_EQ(run.status, 1) << c.what;
    EXPECT_NE(run.err.find(c.message), std::string::npos) << c.what << ": " << run.err;
  }
}

TEST_F(Qcow2Hostile, AMissingBackingFileIsNamedAndWhatItWouldHoldReadsAsZeros) {
  Qcow2Image image;
  image.store(0, pattern(512, 11));
  const std::string name = "base.qcow2";
  putBe64(image.bytes(), 8, 400);
  putBe32(image.bytes(), 16, static_cast<std::uint32_t>(name.size()));
  std::memcpy(image.bytes().data() + 400, name.data(), name.size());
  const std::string path = image.write(m_dir);
  ImageInfo info;
  ASSERT_TRUE(readAnyImageInfo(m_sink, m_context, nullptr, path, info));
  EXPECT_TRUE(info.differencing);
  EXPECT_EQ(info.formatName, "QCOW2");
  EXPECT_EQ(info.blockSize, 512u);
  EXPECT_NE(info.missingParent.find("base.qcow2"), std::string::npos) << info.missingParent;
  const auto run = test::runTessary({"info", path, "--json"});
  ASSERT_EQ(run.status, 0) << run.err;
  EXPECT_TRUE(run.objects().at(0).at("differencing").get<bool>());
  EXPECT_NE(run.err.find("\"base.qcow2\""), std::string::npos) << run.err;
  FileReadSeekQcow2 reader(m_context);
  ASSERT_TRUE(reader.open(path));
  EXPECT_EQ(readCluster(reader, 0), pattern(512, 11));
  EXPECT_TRUE(zeros(readCluster(reader, 1)));
}

// A qcow2 chain made by qemu-img and written by qemu-io: a qcow2 base under a qcow2 child that overwrites
// part of it, zeroes another part and leaves the rest to the base. The merged disk equals qemu-img's.
TEST_F(Qcow2Hostile, AChainOverItsBackingFileReadsAsQemuReadsIt) {
  if (test::runCommand("command -v qemu-img >/dev/null && command -v qemu-io >/dev/null") != 0 ||
      !test::haveFixture("sample.vhdx"))
    GTEST_SKIP() << "qemu-img, qemu-io and the sample are needed";
  const std::string base = m_dir + "/base.qcow2", child = m_dir + "/child.qcow2";
  ASSERT_EQ(test::runCommand("qemu-img convert -f vhdx -O qcow2 '" + test::fixturePath("sample.vhdx") + "' '" + base +
                             "' && cd '" + m_dir + "' && qemu-img create -q -f qcow2 -b base.qcow2 -F qcow2 child.qcow2 && "
                             "qemu-io -f qcow2 -c 'write -P 0x5a 1M 192k' -c 'write -z 3M 64k' "
                             "-c 'write -P 0x33 40M 4k' child.qcow2 >/dev/null"),
            0);
  ASSERT_EQ(test::runCommand("qemu-img convert -f qcow2 -O raw '" + child + "' '" + m_dir + "/qemu.raw'"), 0);
  const auto info = test::runTessary({"info", child, "--json"});
  ASSERT_EQ(info.status, 0) << info.err;
  EXPECT_EQ(info.objects().at(0).at("chain").size(), 2u) << info.out;
  const auto exported = test::runTessary({"export", child, "--out", m_dir + "/out", "--quiet"});
  ASSERT_EQ(exported.status, 0) << exported.err;
  EXPECT_EQ(test::runCommand("cmp -s '" + m_dir + "/qemu.raw' '" + m_dir + "/out/child.qcow2.img'"), 0);
  // The volumes of the base are the child's: the child wrote no table.
  const auto volumes = test::runTessary({"volumes", child, "--json"});
  ASSERT_EQ(volumes.status, 0) << volumes.err;
  EXPECT_EQ(volumes.objects().size(), 2u) << volumes.out;
}

// The detection by content: a renamed image is read by its format's reader, a file no header claims is a
// flat disk, and an image extension on such a file keeps that format's refusal with a hint after it.
class Detection : public ::testing::Test {
 protected:
  void SetUp() override { m_dir = test::makeTempDir("tessary-detect-"); }
  void TearDown() override { fs::remove_all(m_dir); }
  std::string copyAs(const std::string& fixture, const std::string& name) {
    const std::string target = m_dir + "/" + name;
    fs::copy_file(test::fixturePath(fixture), target, fs::copy_options::overwrite_existing);
    return target;
  }
  std::string m_dir;
};

TEST_F(Detection, RenamedImagesAreReadByWhatTheyHold) {
  const struct {
    const char* fixture;
    ImageFormat format;
  } images[] = {{"sample.vhdx", ImageFormat::Vhdx},          {"sample.vhd", ImageFormat::Vhd},
                {"sample-fixed.vhd", ImageFormat::Vhd},      {"sample.vdi", ImageFormat::Vdi},
                {"sample.vmdk", ImageFormat::Vmdk},          {"sample.qcow2", ImageFormat::Qcow2},
                {"sample-stream.vmdk", ImageFormat::Vmdk},   {"sample.img", ImageFormat::Flat}};
  const auto reference = test::runTessary({"volumes", test::fixturePath("sample.vhdx"), "--json"});
  ASSERT_EQ(reference.status, 0) << reference.err;
  for (const auto& image : images) {
    if (!test::haveFixture(image.fixture)) GTEST_SKIP() << image.fixture << " is not unpacked";
    // No extension, a foreign one, and another format's extension: the content decides.
    for (const char* name : {"disk", "disk.bin", "disk.vhd", "DISK.VHDX", "disk.vdi"}) {
      const std::string path = copyAs(image.fixture, name);
      const bool foreignFlat = image.format == ImageFormat::Flat && std::string(name).find('.') != std::string::npos &&
                               std::string(name) != "disk.bin";
      if (foreignFlat) continue;  // a flat disk named like an image is that format's (see below)
      EXPECT_EQ(imageFormatOf(path), image.format) << image.fixture << " as " << name;
      const auto run = test::runTessary({"volumes", path, "--json"});
      EXPECT_EQ(run.status, 0) << image.fixture << " as " << name << ": " << run.err;
      EXPECT_EQ(run.out, reference.out) << image.fixture << " as " << name;
      fs::remove(path);
    }
  }
}

TEST_F(Detection, AFileNoHeaderClaimsIsAFlatDiskUnlessItsNameSaysOtherwise) {
  // 1000 bytes: the disk is two sectors, the second padded with zeros past the file's end.
  ByteVector text = pattern(1000, 12);
  const std::string flat = m_dir + "/notes.txt";
  std::ofstream(flat, std::ios::binary).write(reinterpret_cast<const char*>(text.data()), 1000);
  EXPECT_EQ(imageFormatOf(flat), ImageFormat::Flat);
  RecordingSink sink;
  DiskContext context;
  context.messages = &sink;
  auto reader = createDiskReader(ImageFormat::Flat, context);
  ASSERT_TRUE(reader->open(flat));
  EXPECT_EQ(context.diskSectorCount, 2u);
  ByteVector both(1024, std::byte{0xEE});
  ASSERT_TRUE(reader->readAt(0, both));
  EXPECT_TRUE(std::equal(text.begin(), text.end(), both.begin()));
  EXPECT_TRUE(std::all_of(both.begin() + 1000, both.end(), [](std::byte b) { return b == std::byte{0}; }));
  EXPECT_EQ(reader->missingReads.load(), 0u);
  const auto info = test::runTessary({"info", flat});
  EXPECT_EQ(info.status, 0) << info.err;
  EXPECT_NE(info.out.find("Format: Flat"), std::string::npos) << info.out;

  // The same bytes named as a VHDX or VDI get that format's refusal, then the hint.
  for (const char* name : {"notes.vhdx", "notes.vdi", "notes.vmdk", "notes.vhd"}) {
    const std::string named = m_dir + "/" + name;
    fs::copy_file(flat, named);
    const auto run = test::runTessary({"info", named});
    EXPECT_EQ(run.status, 1) << name;
    EXPECT_NE(run.err.find("give it another name"), std::string::npos) << name << ": " << run.err;
  }
  const std::string empty = m_dir + "/empty.img";
  std::ofstream(empty).close();
  const auto run = test::runTessary({"info", empty});
  EXPECT_EQ(run.status, 1);
  EXPECT_NE(run.err.find("The image is empty"), std::string::npos) << run.err;
}

// A stream-optimized VMDK whose grains, markers or footer are broken.
TEST_F(Detection, BrokenStreamOptimizedVmdkIsRefusedOrItsBadGrainsCounted) {
  if (!test::haveFixture("sample-stream.vmdk")) GTEST_SKIP() << "fixture is not unpacked";
  const std::string path = copyAs("sample-stream.vmdk", "stream.vmdk");
  std::string bytes = test::readHostFile(path);
  const auto save = [&](const std::string& data) { std::ofstream(path, std::ios::binary | std::ios::trunc) << data; };
  const auto le32 = [&](std::size_t at) {
    std::uint32_t v = 0;
    std::memcpy(&v, bytes.data() + at, 4);
    return v;
  };
  // The footer names the directory; its first table's first grain with data, and its marker.
  const std::size_t footer = bytes.size() - 1024;
  std::uint64_t gd = 0;
  std::memcpy(&gd, bytes.data() + footer + 56, 8);
  const std::uint32_t table = le32(gd * 512);
  std::uint32_t grain = 0;
  std::size_t index = 0;
  for (; index < 512 && grain < 2; ++index) grain = le32(table * 512 + index * 4);
  ASSERT_GE(grain, 2u);
  --index;

  DiskContext context;
  RecordingSink sink;
  context.messages = &sink;
  {
    // A marker naming another sector: that grain reads as zeros and is counted; the rest still reads.
    std::string spoiled = bytes;
    spoiled[grain * 512] ^= 0x40;
    save(spoiled);
    auto reader = createDiskReader(imageFormatOf(path), context);
    ASSERT_TRUE(reader->open(path)) << sink.lastMessage();
    ByteVector sector(512, std::byte{0xEE});
    ASSERT_TRUE(reader->readAt(static_cast<std::int64_t>(index * 128 * 512), sector));
    EXPECT_TRUE(std::all_of(sector.begin(), sector.end(), [](std::byte b) { return b == std::byte{0}; }));
    EXPECT_GT(reader->missingReads.load(), 0u);
  }
  {
    // A grain table placed past the file's end.
    std::string spoiled = bytes;
    const std::uint32_t far = 0x7FFFFFF0;
    std::memcpy(spoiled.data() + gd * 512, &far, 4);
    save(spoiled);
    auto reader = createDiskReader(imageFormatOf(path), context);
    EXPECT_FALSE(reader->open(path));
    EXPECT_EQ(sink.lastMessage(), "VMDK extent \"stream.vmdk\": grain table 0 lies past the file's end");
  }
  {
    // Cut before its footer.
    save(bytes.substr(0, bytes.size() - 1536));
    auto reader = createDiskReader(imageFormatOf(path), context);
    EXPECT_FALSE(reader->open(path));
    EXPECT_EQ(sink.lastMessage(), "VMDK extent \"stream.vmdk\" places its grain directory in a footer, but has no sound footer");
  }
}

// A read-only loop device over a fixture: every command reads the device as it reads the file.
TEST(BlockDevice, AReadOnlyLoopDeviceWorksThroughEveryCommand) {
  if (!test::haveFixture("sample.img")) GTEST_SKIP() << "fixture is not unpacked";
  const std::string image = test::fixturePath("sample.img");
  std::string device;
  if (test::runCommand("losetup -r -f --show '" + image + "' 2>/dev/null", &device) != 0 || device.empty())
    GTEST_SKIP() << "losetup is not permitted here";
  while (!device.empty() && (device.back() == '\n' || device.back() == ' ')) device.pop_back();
  const std::string dir = test::makeTempDir("tessary-loop-");
  struct Detach {
    std::string device, dir;
    ~Detach() {
      test::runCommand("losetup -d '" + device + "'");
      fs::remove_all(dir);
    }
  } detach{device, dir};

  EXPECT_EQ(imageFormatOf(device), ImageFormat::Flat);
  for (const std::vector<std::string>& args :
       {std::vector<std::string>{"info", "--json"}, {"volumes", "--json"}, {"ls", "--volume", "0", "--json"},
        {"ls", "--volume", "1", "--json"}, {"search", "--volume", "1", "bin", "--json"}}) {
    std::vector<std::string> onDevice = args;
    std::vector<std::string> onFile = args;
    onDevice.insert(onDevice.begin() + 1, device);
    onFile.insert(onFile.begin() + 1, image);
    const auto fromDevice = test::runTessary(onDevice);
    const auto fromFile = test::runTessary(onFile);
    EXPECT_EQ(fromDevice.status, 0) << args[0] << ": " << fromDevice.err;
    EXPECT_EQ(fromDevice.status, fromFile.status) << args[0];
    EXPECT_EQ(fromDevice.out, fromFile.out) << args[0];
  }
  const auto saved = test::runTessary({"recover", device, "--volume", "0", "--out", dir + "/saved", "--quiet"});
  EXPECT_EQ(saved.status, 0) << saved.err;
  EXPECT_FALSE(fs::is_empty(dir + "/saved"));
  const auto carved = test::runTessary({"carve", device, "--volume", "0", "--out", dir + "/carved", "--quiet"});
  EXPECT_EQ(carved.status, 0) << carved.err;
  const auto exported = test::runTessary({"export", device, "--out", dir, "--quiet"});
  ASSERT_EQ(exported.status, 0) << exported.err;
  const std::string target = dir + "/" + fs::path(device).filename().string() + ".img";
  EXPECT_EQ(test::runCommand("cmp -s '" + image + "' '" + target + "'"), 0);
}

}  // namespace
}  // namespace tessary
