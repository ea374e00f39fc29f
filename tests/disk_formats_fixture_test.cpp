// The VHD, VDI, VMDK, qcow2 and flat readers against the twins qemu-img made of the VHDX fixtures: the same raw disk
// byte for byte, the same volumes, listings and recovered files as the VHDX twin, and an export that is
// qemu-img's raw disk.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "disk/image_format.h"
#include "support/cli_runner.h"
#include "support/fixtures.h"
#include "support/recording_sink.h"
#include "support/sha256.h"

namespace tessary {
namespace {

namespace fs = std::filesystem;

class FormatTwinTest : public ::testing::TestWithParam<const char*> {
 protected:
  void SetUp() override {
    const std::string name = GetParam();
    if (!test::haveFixture(name) || !test::haveFixture(name + ".json")) GTEST_SKIP() << "fixture " << name << " is not unpacked";
#ifndef TESSARY_WITH_ZSTD
    if (name.find("zstd") != std::string::npos) GTEST_SKIP() << "this build reads no zstd clusters (no libzstd)";
#endif
    m_manifest = nlohmann::json::parse(test::readHostFile(test::fixturePath(name + ".json")));
    m_image = test::fixturePath(name);
    m_twin = test::fixturePath(m_manifest.at("twin").get<std::string>());
    if (!test::haveFixture(m_manifest.at("twin").get<std::string>())) GTEST_SKIP() << "twin is not unpacked";
    for (const auto& extent : m_manifest.at("extent_files"))
      if (!test::haveFixture(extent.get<std::string>())) GTEST_SKIP() << "extent " << extent << " is not unpacked";
    m_context.messages = &m_sink;
  }
  void TearDown() override {
    if (!m_dir.empty()) fs::remove_all(m_dir);
  }
  const std::string& dir() {
    if (m_dir.empty()) m_dir = test::makeTempDir("tessary-formats-");
    return m_dir;
  }

  nlohmann::json m_manifest;
  std::string m_image;
  std::string m_twin;
  std::string m_dir;
  RecordingSink m_sink;
  DiskContext m_context;
};

TEST_P(FormatTwinTest, WholeDiskIsQemusRawDiskAndBlocksSaidEmptyAreZeros) {
  auto reader = createDiskReader(imageFormatOf(m_image), m_context);
  ASSERT_TRUE(reader->open(m_image)) << m_sink.lastMessage();
  const auto diskSize = m_manifest.at("disk_size").get<std::uint64_t>();
  EXPECT_EQ(m_context.diskSectorCount * 512, diskSize);
  // Pieces of 1 MiB and three sectors start at a different place in a block or grain every time.
  constexpr std::uint32_t kPiece = (1u << 20) + 3 * 512;
  std::vector<std::byte> buffer(kPiece);
  test::Sha256 sha;
  ASSERT_TRUE(reader->seek(0));
  for (std::uint64_t at = 0; at < diskSize;) {
    const auto length = static_cast<std::uint32_t>(std::min<std::uint64_t>(kPiece, diskSize - at));
    ASSERT_TRUE(reader->read(buffer.data(), length)) << "at " << at;
    sha.update(std::span<const std::byte>(buffer.data(), length));
    at += length;
  }
  EXPECT_EQ(sha.finishHex(), m_manifest.at("raw_sha256").get<std::string>());
  EXPECT_EQ(reader->missingReads.load(), 0u);

  // Whatever nextDataOffset steps over reads as zeros, and the first byte it names lies in the disk.
  std::vector<std::byte> sector(512);
  std::uint64_t skipped = 0;
  for (std::uint64_t at = 0; at < diskSize;) {
    const auto next = reader->nextDataOffset(at);
    const std::uint64_t until = next ? *next : diskSize;
    ASSERT_GE(until, at);
    for (std::uint64_t probe = at; probe < until; probe += 1024 * 1024 + 512) {
      ASSERT_TRUE(reader->readAt(static_cast<std::int64_t>(probe), sector));
      ASSERT_TRUE(std::all_of(sector.begin(), sector.end(), [](std::byte b) { return b == std::byte{0}; }))
          << "sector at " << probe << " was said to hold no data";
    }
    skipped += until - at;
    if (!next) break;
    ASSERT_LT(*next, diskSize);
    at = *next + 512;
  }
  const std::string name = m_manifest.at("image").get<std::string>();
  const bool sparse = name.find("fixed") == std::string::npos && name.find("static") == std::string::npos &&
                      name.find("flat") == std::string::npos && m_manifest.at("qemu_format") != "raw";
  if (sparse) {
    EXPECT_GT(skipped, 0u) << "a sparse image skipped nothing";
  }
}

// A stretch a reader names for a copy inside the host holds, in its file, the very bytes the reader's read
// gives there (never a compressed cluster, a parent's bytes or a block without data). A sparse or
// compressed image may name none; every other image names at least one.
TEST_P(FormatTwinTest, EveryHostStretchHoldsWhatTheReadGives) {
  auto reader = createDiskReader(imageFormatOf(m_image), m_context);
  ASSERT_TRUE(reader->open(m_image)) << m_sink.lastMessage();
  const std::uint64_t diskSize = m_context.diskSectorCount * 512;
  constexpr std::uint64_t kPiece = 256 * 1024 + 3 * 512;
  std::vector<std::byte> read(kPiece), copied(kPiece);
  std::uint64_t named = 0;
  for (std::uint64_t at = 0; at < diskSize; at += kPiece) {
    const auto stretch = reader->hostStretch(at, std::min(kPiece, diskSize - at));
    if (!stretch) continue;
    ASSERT_TRUE(stretch->file != nullptr);
    ASSERT_TRUE(stretch->bytes > 0 && stretch->bytes <= std::min(kPiece, diskSize - at)) << "at " << at;
    const std::span<std::byte> want(read.data(), static_cast<std::size_t>(stretch->bytes));
    const std::span<std::byte> got(copied.data(), want.size());
    ASSERT_TRUE(reader->readAt(static_cast<std::int64_t>(at), want)) << "at " << at;
    ASSERT_TRUE(stretch->file->readExact(stretch->position, got)) << "at " << at;
    ASSERT_TRUE(std::equal(want.begin(), want.end(), got.begin())) << "at " << at;
    named += stretch->bytes;
  }
  const std::string format = m_manifest.at("qemu_format").get<std::string>();
  if (format != "qcow2" && m_image.find("stream") == std::string::npos) {
    EXPECT_GT(named, 0u);
  }
}

TEST_P(FormatTwinTest, ExportIsQemusRawDiskByteForByte) {
  const auto run = test::runTessary({"export", m_image, "--out", dir(), "--quiet"});
  ASSERT_EQ(run.status, 0) << run.err;
  const std::string target = dir() + "/" + fs::path(m_image).filename().string() + ".img";
  EXPECT_EQ(run.out, target + "\n");
  ASSERT_TRUE(fs::exists(target));
  EXPECT_EQ(fs::file_size(target), m_manifest.at("disk_size").get<std::uint64_t>());
  // With qemu-img at hand its own raw output is the reference; without it, the recorded hash.
  if (test::runCommand("command -v qemu-img >/dev/null 2>&1") != 0) {
    EXPECT_EQ(test::sha256Hex(test::readHostFile(target)), m_manifest.at("raw_sha256").get<std::string>());
  } else {
    const std::string raw = dir() + "/qemu.raw";
    const std::string format = m_manifest.at("qemu_format").get<std::string>();
    ASSERT_EQ(test::runCommand("qemu-img convert -f " + format + " -O raw '" + m_image + "' '" + raw + "'"), 0);
    EXPECT_EQ(test::runCommand("cmp -s '" + raw + "' '" + target + "'"), 0);
  }
}

// Paths and hashes of every file below `root`, sorted.
std::vector<std::string> treeOf(const std::string& root) {
  std::vector<std::string> out;
  for (const auto& entry : fs::recursive_directory_iterator(root)) {
    const std::string relative = fs::relative(entry.path(), root).string();
    out.push_back(relative + (entry.is_regular_file() ? " " + test::sha256Hex(test::readHostFile(entry.path().string())) : "/"));
  }
  std::sort(out.begin(), out.end());
  return out;
}

TEST_P(FormatTwinTest, VolumesListingsAndRecoveryAreTheTwins) {
  const auto volumes = test::runTessary({"volumes", m_image, "--json"});
  const auto twinVolumes = test::runTessary({"volumes", m_twin, "--json"});
  ASSERT_EQ(volumes.status, 0) << volumes.err;
  EXPECT_EQ(volumes.out, twinVolumes.out);
  const auto rows = volumes.objects();
  ASSERT_FALSE(rows.empty());
  bool listedOne = false;
  for (const auto& row : rows) {
    const std::string volume = std::to_string(row.at("volume").get<int>());
    const auto listing = test::runTessary({"ls", m_image, "--volume", volume, "--json"});
    const auto twinListing = test::runTessary({"ls", m_twin, "--volume", volume, "--json"});
    EXPECT_EQ(listing.status, twinListing.status) << "volume " << volume << ": " << listing.err;
    EXPECT_EQ(listing.out, twinListing.out) << "volume " << volume;
    if (listing.status != 0) continue;
    listedOne = true;
    EXPECT_FALSE(listing.objects().empty());
    const std::string mine = dir() + "/mine-" + volume;
    const std::string theirs = dir() + "/twin-" + volume;
    fs::create_directories(mine);
    fs::create_directories(theirs);
    const auto saved = test::runTessary({"recover", m_image, "--volume", volume, "--out", mine, "--quiet"});
    const auto twinSaved = test::runTessary({"recover", m_twin, "--volume", volume, "--out", theirs, "--quiet"});
    EXPECT_EQ(saved.status, twinSaved.status) << saved.err;
    EXPECT_EQ(treeOf(mine), treeOf(theirs)) << "volume " << volume;
  }
  EXPECT_TRUE(listedOne) << "no volume of the image could be listed";
}

TEST_P(FormatTwinTest, ImagePageShowsTheDisksSizeAndTheInfoCommandAgrees) {
  ImageInfo info;
  ASSERT_TRUE(readAnyImageInfo(m_sink, m_context, nullptr, m_image, info)) << m_sink.lastMessage();
  EXPECT_TRUE(info.shown);
  EXPECT_EQ(info.diskSize, m_manifest.at("disk_size").get<std::uint64_t>());
  EXPECT_EQ(info.logicalSectorSize, 512u);
  EXPECT_GT(info.blockSize, 0u);
  EXPECT_FALSE(info.differencing);
  EXPECT_TRUE(m_sink.messages().empty()) << m_sink.lastMessage();
  const auto run = test::runTessary({"info", m_image, "--json"});
  ASSERT_EQ(run.status, 0) << run.err;
  ASSERT_EQ(run.objects().size(), 1u);
  EXPECT_EQ(run.objects()[0].at("disk_size_mib").get<std::uint64_t>(), info.diskSize >> 20);
}

std::string twinName(const ::testing::TestParamInfo<const char*>& info) {
  std::string name = info.param;
  std::replace_if(name.begin(), name.end(), [](char c) { return !std::isalnum(static_cast<unsigned char>(c)); }, '_');
  return name;
}

INSTANTIATE_TEST_SUITE_P(Twins, FormatTwinTest,
                         ::testing::Values("sample.vhd", "sample-fixed.vhd", "sample.vdi", "sample-static.vdi",
                                           "sample.vmdk", "ntfs_tree.vmdk", "ntfs_tree-split.vmdk",
                                           "ntfs_tree-flat.vmdk", "sample.qcow2", "sample-v2.qcow2",
                                           "sample-deflate.qcow2", "sample-zstd.qcow2", "ntfs_tree-subclusters.qcow2",
                                           "ntfs_tree-stream.vmdk", "sample-stream.vmdk", "sample.img"),
                         twinName);

}  // namespace
}  // namespace tessary
