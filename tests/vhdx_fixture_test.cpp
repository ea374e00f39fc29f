// The VHDX reader against images made by qemu-img: whole disks, known runs, the image page's values and
// `tessary info` on the sample image.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>
#include <sstream>
#include <string>
#include <vector>

#include "cli_app.h"
#include "disk/vhdx_reader.h"
#include "platform/page_sink.h"
#include "support/fixtures.h"
#include "support/sha256.h"
#include "support/recording_sink.h"

namespace tessary {
namespace {

constexpr std::uint32_t kMiB = 1u << 20;

std::span<const std::byte> bytesOf(const std::string& text) {
  return std::as_bytes(std::span<const char>(text.data(), text.size()));
}

// ---- The hash the comparisons rest on ----

TEST(Sha256Test, DigestsMatchPublishedVectorsWhateverTheFeedSize) {
  EXPECT_EQ(test::sha256Hex(std::string()), "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");
  EXPECT_EQ(test::sha256Hex(std::string("abc")), "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
  // 56 bytes: the length no longer fits the first block, so padding spills into a second one.
  EXPECT_EQ(test::sha256Hex(std::string("abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq")),
            "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1");
  // One million 'a' fed in pieces that never line up with the 64-byte blocks.
  const std::string million(1000000, 'a');
  test::Sha256 sha;
  for (std::size_t at = 0; at < million.size(); at += 997)
    sha.update(bytesOf(million).subspan(at, std::min<std::size_t>(997, million.size() - at)));
  EXPECT_EQ(sha.finishHex(), "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0");
}

// ---- Images made by qemu-img ----

struct Fixture {
  std::string image;
  nlohmann::json manifest;
};

// Loads IMAGE's manifest (the image name without ".vhdx", plus ".json"); false when either is missing.
bool loadFixture(const std::string& image, Fixture& out) {
  const std::string manifestName = image.substr(0, image.size() - 5) + ".json";
  if (!test::haveFixture(image) || !test::haveFixture(manifestName)) return false;
  out.image = test::fixturePath(image);
  out.manifest = nlohmann::json::parse(test::readHostFile(test::fixturePath(manifestName)), nullptr, false);
  return !out.manifest.is_discarded();
}

class QemuFixtureTest : public ::testing::TestWithParam<const char*> {
 protected:
  void SetUp() override {
    if (!loadFixture(GetParam(), m_fixture)) GTEST_SKIP() << "fixture " << GetParam() << " is not unpacked";
    m_context.messages = &m_sink;
    m_diskSize = m_fixture.manifest.at("disk_size").get<std::uint64_t>();
  }

  // Reads the whole disk from offset 0 in pieces of `piece` bytes, feeding each to `sink`.
  template <typename Sink>
  void readWholeDisk(FileReadSeekVHDX& reader, std::uint32_t piece, Sink&& sink) {
    std::vector<std::byte> buffer(piece);
    ASSERT_TRUE(reader.seek(0));
    for (std::uint64_t at = 0; at < m_diskSize;) {
      const auto length = static_cast<std::uint32_t>(std::min<std::uint64_t>(piece, m_diskSize - at));
      ASSERT_TRUE(reader.read(buffer.data(), length)) << "read of " << length << " bytes at " << at;
      sink(at, std::span<const std::byte>(buffer.data(), length));
      at += length;
    }
  }

  Fixture m_fixture;
  RecordingSink m_sink;
  DiskContext m_context;
  std::uint64_t m_diskSize = 0;
};

// Disks small enough to be read whole.
class QemuWholeDiskTest : public QemuFixtureTest {};

TEST_P(QemuWholeDiskTest, WholeDiskReadInMiBPiecesIsTheRawDisk) {
  FileReadSeekVHDX reader(m_context);
  ASSERT_TRUE(reader.open(m_fixture.image));
  EXPECT_EQ(m_context.diskSectorCount * 512, m_diskSize);

  // With qemu-img at hand, its own raw conversion is the byte-for-byte reference.
  std::ifstream reference;
  std::string referencePath;
  const std::string dir = test::makeTempDir("tessary-qemu-raw-");
  ASSERT_FALSE(dir.empty());
  struct RemoveDir {
    std::string path;
    ~RemoveDir() { test::removeTree(path); }
  } removeDir{dir};
  if (test::runCommand("command -v qemu-img >/dev/null 2>&1") == 0) {
    referencePath = dir + "/disk.raw";
    ASSERT_EQ(test::runCommand("qemu-img convert -f vhdx -O raw '" + m_fixture.image + "' '" + referencePath + "'"), 0);
    reference.open(referencePath, std::ios::binary);
    ASSERT_TRUE(reference.good());
  }

  test::Sha256 sha;
  std::vector<char> expected(kMiB);
  std::uint64_t firstDifference = UINT64_MAX;
  readWholeDisk(reader, kMiB, [&](std::uint64_t at, std::span<const std::byte> got) {
    sha.update(got);
    if (!reference.is_open() || firstDifference != UINT64_MAX) return;
    reference.read(expected.data(), static_cast<std::streamsize>(got.size()));
    const auto want = std::as_bytes(std::span<const char>(expected.data(), got.size()));
    const auto mismatch = std::mismatch(got.begin(), got.end(), want.begin());
    if (mismatch.first != got.end()) firstDifference = at + static_cast<std::uint64_t>(mismatch.first - got.begin());
  });
  EXPECT_EQ(sha.finishHex(), m_fixture.manifest.at("raw_sha256").get<std::string>());
  EXPECT_EQ(firstDifference, UINT64_MAX) << "first byte that differs from qemu-img's raw disk: " << firstDifference;
}

TEST_P(QemuWholeDiskTest, PiecesStraddlingEveryBlockBoundaryGiveTheSameBytes) {
  FileReadSeekVHDX reader(m_context);
  ASSERT_TRUE(reader.open(m_fixture.image));
  // 1 MiB and three sectors: every piece after the first starts at a different place within a block.
  test::Sha256 sha;
  readWholeDisk(reader, kMiB + 3 * 512, [&](std::uint64_t, std::span<const std::byte> got) { sha.update(got); });
  EXPECT_EQ(sha.finishHex(), m_fixture.manifest.at("raw_sha256").get<std::string>());
}

// The made-up disks list the stretches of known bytes they hold.
class QemuRunsTest : public QemuFixtureTest {};

TEST_P(QemuRunsTest, KnownRunsReadBackAtTheirOwnOffsetsAfterAFreshSeek) {
  FileReadSeekVHDX reader(m_context);
  ASSERT_TRUE(reader.open(m_fixture.image));
  const auto& runs = m_fixture.manifest.at("runs");
  // Sectors that hold no byte of any run must read as zeros.
  auto sectorHoldsRunData = [&](std::uint64_t sector) {
    return std::any_of(runs.begin(), runs.end(), [&](const nlohmann::json& run) {
      const auto offset = run.at("offset").get<std::uint64_t>();
      const auto length = run.at("length").get<std::uint64_t>();
      return offset < (sector + 1) * 512 && sector * 512 < offset + length;
    });
  };
  // Back to front, so that no run is reached by simply reading on from the one before.
  for (auto run = runs.rbegin(); run != runs.rend(); ++run) {
    const auto offset = run->at("offset").get<std::uint64_t>();
    const auto length = run->at("length").get<std::uint64_t>();
    const std::uint64_t first = offset / 512 * 512;
    const std::uint64_t end = (offset + length + 511) / 512 * 512;
    std::vector<std::byte> sectors(end - first);
    ASSERT_TRUE(reader.readAt(static_cast<std::int64_t>(first), sectors)) << run->at("name");
    const auto bytes = std::span<const std::byte>(sectors).subspan(offset - first, length);
    EXPECT_EQ(test::sha256Hex(bytes), run->at("sha256").get<std::string>()) << run->at("name");

    for (const std::uint64_t neighbour : {first / 512 - 1, end / 512}) {
      if (first == 0 && neighbour == first / 512 - 1) continue;
      if (neighbour * 512 >= m_diskSize || sectorHoldsRunData(neighbour)) continue;
      std::vector<std::byte> sector(512, std::byte{0x5A});
      ASSERT_TRUE(reader.readAt(static_cast<std::int64_t>(neighbour * 512), sector));
      EXPECT_TRUE(std::all_of(sector.begin(), sector.end(), [](std::byte b) { return b == std::byte{0}; }))
          << "sector " << neighbour << " beside " << run->at("name") << " is not zero";
    }
  }
}

// Every image.
class QemuImagePageTest : public QemuFixtureTest {};

TEST_P(QemuImagePageTest, ImagePageValuesAreTheOnesQemuWrote) {
  ImageInfo info;
  FileReadSeekVHDX reader(m_context);
  ASSERT_TRUE(readImageInfo(m_sink, m_context, &reader, m_fixture.image, info));
  EXPECT_TRUE(info.shown);
  EXPECT_EQ(info.formatVersion, 1);
  EXPECT_EQ(info.diskSize, m_diskSize);
  EXPECT_EQ(info.blockSize, m_fixture.manifest.at("block_size").get<std::uint32_t>());
  EXPECT_EQ(info.logicalSectorSize, m_fixture.manifest.at("logical_sector_size").get<std::uint32_t>());
  EXPECT_FALSE(info.differencing);
  EXPECT_EQ(m_context.diskSectorCount, m_diskSize / 512);
  EXPECT_EQ(reader.imageFileSize, std::filesystem::file_size(m_fixture.image));
  EXPECT_TRUE(m_sink.events().empty()) << "the page showed a message for a sound image";
}

std::string imageTestName(const ::testing::TestParamInfo<const char*>& info) {
  std::string name = info.param;
  name = name.substr(0, name.size() - 5);
  std::replace(name.begin(), name.end(), '-', '_');
  return name;
}

INSTANTIATE_TEST_SUITE_P(Images, QemuWholeDiskTest,
                         ::testing::Values("vhdx-default.vhdx", "vhdx-1m.vhdx", "vhdx-32m.vhdx", "sample.vhdx"),
                         imageTestName);
INSTANTIATE_TEST_SUITE_P(Images, QemuRunsTest,
                         ::testing::Values("vhdx-default.vhdx", "vhdx-1m.vhdx", "vhdx-32m.vhdx", "vhdx-past-4g.vhdx"),
                         imageTestName);
INSTANTIATE_TEST_SUITE_P(Images, QemuImagePageTest,
                         ::testing::Values("vhdx-default.vhdx", "vhdx-1m.vhdx", "vhdx-32m.vhdx", "vhdx-past-4g.vhdx",
                                           "sample.vhdx"),
                         imageTestName);

// ---- The sample image ----

class SampleImageTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!loadFixture("sample.vhdx", m_fixture)) GTEST_SKIP() << "fixture sample.vhdx is not unpacked";
  }
  Fixture m_fixture;
};

TEST_F(SampleImageTest, InfoJsonPrintsExactlyTheContractLine) {
  const char* argv[] = {"tessary", "info", "--json", m_fixture.image.c_str()};
  std::ostringstream out;
  std::ostringstream err;
  EXPECT_EQ(cli::run(4, argv, out, err), 0) << err.str();
  EXPECT_EQ(out.str(),
            "{\"format_version\":1,\"disk_size_mib\":64,\"block_size\":8388608,\"logical_sector_size\":512,"
            "\"differencing\":false}\n");
}

TEST_F(SampleImageTest, PartitionTableAndBootSectorsLieWhereTheManifestSays) {
  DiskContext context;
  FileReadSeekVHDX reader(context);
  ASSERT_TRUE(reader.open(m_fixture.image));
  std::vector<std::byte> mbr(512);
  ASSERT_TRUE(reader.readAt(0, mbr));
  // MBR: four 16-byte entries from 446 (type at +4, first sector at +8, sector count at +12), then 55 AA.
  EXPECT_EQ(mbr[510], std::byte{0x55});
  EXPECT_EQ(mbr[511], std::byte{0xAA});
  auto le32 = [](std::span<const std::byte> b, std::size_t at) {
    std::uint32_t v = 0;
    for (std::size_t i = 0; i < 4; ++i) v |= std::to_integer<std::uint32_t>(b[at + i]) << (8 * i);
    return v;
  };
  const auto& partitions = m_fixture.manifest.at("partitions");
  ASSERT_EQ(partitions.size(), 2u);
  for (const auto& partition : partitions) {
    const std::size_t entry = 446 + 16 * (partition.at("number").get<std::size_t>() - 1);
    EXPECT_EQ(std::to_integer<int>(mbr[entry + 4]), partition.at("type").get<int>());
    EXPECT_EQ(le32(mbr, entry + 8), partition.at("start_sector").get<std::uint32_t>());
    EXPECT_EQ(le32(mbr, entry + 12), partition.at("sector_count").get<std::uint32_t>());
  }
  for (const auto& volume : m_fixture.manifest.at("volumes")) {
    const auto start = volume.at("start_sector").get<std::int64_t>();
    std::vector<std::byte> boot(512);
    ASSERT_TRUE(reader.readAt(start * 512, boot));
    std::string oem;
    for (std::size_t i = 3; i < 11; ++i) oem += std::to_integer<char>(boot[i]);
    EXPECT_EQ(oem, volume.at("oem_name").get<std::string>());
    // Hidden sectors (32-bit at 28) name the partition start in both file systems.
    EXPECT_EQ(le32(boot, 28), static_cast<std::uint32_t>(start));
    if (volume.at("file_system") == "FAT32") {
      std::vector<std::byte> backup(512);
      ASSERT_TRUE(reader.readAt((start + 6) * 512, backup));
      EXPECT_EQ(backup, boot) << "the FAT32 backup boot sector differs from the boot sector";
    }
  }
}

}  // namespace
}  // namespace tessary
