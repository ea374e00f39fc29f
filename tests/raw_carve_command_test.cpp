// `tessary carve` with the default signature file on a partitioned disk whose second partition is noise
// with planted files of every listed type, and `tessary signatures add` feeding a carve of its own.
#include <gtest/gtest.h>

#include <sys/resource.h>

#include <csignal>
#include <filesystem>
#include <map>
#include <set>

#include "platform/files.h"
#include "support/cli_runner.h"
#include "support/fixtures.h"
#include "support/raw_volume.h"
#include "support/vhdx_builder.h"

namespace tessary {
namespace {

using test::ByteVector;

constexpr std::uint64_t kStartSector = 4096;
constexpr std::uint64_t kVolumeBytes = 6u << 20;
constexpr std::uint64_t kDiskBytes = 10u << 20;

struct Plan {
  std::string ext;
  std::size_t offset;  // inside the volume
  ByteVector bytes;
};

class CarveCommandTest : public ::testing::Test {
 protected:
  void SetUp() override {
    m_dir = test::makeTempDir("tessary-carve-");
    test::NoiseVolume disk(kDiskBytes, 2024);
    // MBR: a small first partition and the carved one after it.
    ByteVector& d = disk.bytes();
    auto entry = [&d](int index, std::uint8_t type, std::uint32_t first, std::uint32_t count) {
      std::byte* e = d.data() + 446 + 16 * index;
      std::fill(e, e + 16, std::byte{0});
      e[4] = static_cast<std::byte>(type);
      for (int i = 0; i < 4; ++i) {
        e[8 + i] = static_cast<std::byte>((first >> (8 * i)) & 0xFF);
        e[12 + i] = static_cast<std::byte>((count >> (8 * i)) & 0xFF);
      }
    };
    std::fill(d.begin() + 446, d.begin() + 510, std::byte{0});
    entry(0, 0x83, 2048, 2048);
    entry(1, 0x83, kStartSector, kVolumeBytes / 512);
    d[510] = std::byte{0x55};
    d[511] = std::byte{0xAA};

    // One file of every type 160 KiB apart, then the particular cases.
    const std::vector<std::string> types = {"jpg", "png", "gif", "bmp", "tif", "psd", "pdf", "rtf", "odt", "db",
                                            "zip", "rar", "7z",  "gz",  "mp3", "wav", "avi", "mov", "mp4", "exe"};
    std::size_t at = 0;
    std::uint32_t seed = 100;
    for (const std::string& ext : types) {
      const bool aligned = ext == "jpg" || ext == "pdf";  // their end markers begin a block
      const std::size_t size = aligned ? test::lengthWithEndAtBlockStart(ext, 4000) : 3000 + 200 * seed % 7000;
      add(ext, at, test::makeTypedFile(ext, size, seed));
      ++seed;
      at += 160 * 1024;
    }
    // Back to back: three PNGs, each starting at the block after the one before.
    for (int i = 0; i < 3; ++i) {
      ByteVector png = test::makeTypedFile("png", 2500 + 700 * static_cast<std::size_t>(i), seed++);
      add("png", at, png);
      at += (png.size() + 511) / 512 * 512;
    }
    at = (at / 65536 + 1) * 65536;
    // Nested: a stored JPEG inside a ZIP, on a block of its own.
    ByteVector inner = test::makeTypedFile("jpg", 5000, seed++);
    ByteVector zip = test::makeTypedFile("zip", 512 + inner.size() + 700, seed++);
    std::copy(inner.begin(), inner.end(), zip.begin() + 512);
    add("zip", at, zip);
    m_plans.push_back({"jpg", at + 512, inner});
    at += 64 * 1024;
    // Not on a block start: never a start.
    m_offBlock = at + 100;
    plantOnly(m_offBlock, test::makeTypedFile("gif", 3000, seed++));
    at += 64 * 1024;
    // A truncated file near the end of the volume: its start without an end.
    add("pdf", kVolumeBytes - 8192, test::makeTypedFile("pdf", 6000, seed++, false));
    // Outside the volume, before it: never carved.
    std::copy_n(test::makeTypedFile("png", 1000, 1).begin(), 1000, d.begin() + 2048 * 512 + 4096);

    m_disk = std::move(d);
    writeImage();
  }

  void add(const std::string& ext, std::size_t offset, const ByteVector& bytes) {
    plantOnly(offset, bytes);
    m_plans.push_back({ext, offset, bytes});
  }
  void plantOnly(std::size_t offset, const ByteVector& bytes) {
    std::copy(bytes.begin(), bytes.end(), m_pending.begin() + static_cast<std::ptrdiff_t>(offset));
    m_planted.emplace_back(offset, bytes.size());
  }
  void writeImage() {
    std::copy(m_pending.begin(), m_pending.end(), m_disk.begin() + static_cast<std::ptrdiff_t>(kStartSector * 512));
    test::VhdxShape shape;
    shape.diskSize = kDiskBytes;
    for (std::uint64_t b = 0; b < kDiskBytes / shape.blockSize; ++b)
      shape.blocks[b] = ByteVector(m_disk.begin() + static_cast<std::ptrdiff_t>(b * shape.blockSize),
                                   m_disk.begin() + static_cast<std::ptrdiff_t>((b + 1) * shape.blockSize));
    m_image = m_dir + "/disk.vhdx";
    test::writeBytes(m_image, test::buildVhdx(shape));
  }
  std::vector<std::string> volumeArgs() const {
    return {"--start-sector", std::to_string(kStartSector), "--end-sector",
            std::to_string(kStartSector + kVolumeBytes / 512 - 1)};
  }
  // Every file below `folder`, by name.
  static std::map<std::string, std::string> filesBelow(const std::string& folder) {
    std::map<std::string, std::string> out;
    for (const auto& e : std::filesystem::recursive_directory_iterator(folder))
      if (e.is_regular_file()) out[e.path().filename().string()] = e.path().string();
    return out;
  }

  std::string m_dir;
  std::string m_image;
  ByteVector m_disk;
  ByteVector m_pending = ByteVector(kVolumeBytes);
  std::vector<Plan> m_plans;
  std::vector<std::pair<std::size_t, std::size_t>> m_planted;
  std::size_t m_offBlock = 0;
};

TEST_F(CarveCommandTest, TheDefaultSignaturesRecoverEveryPlantedFileFromTheVolumesBytes) {
  if (!isRegularFile(executableDirectory() + "/FileSetting.txt")) GTEST_SKIP() << "FileSetting.txt not beside the tests";
  // The noise between the planted files stays what SetUp drew.
  std::vector<std::string> args = {"carve", m_image, "--out", m_dir + "/out", "--json", "--quiet"};
  for (const std::string& a : volumeArgs()) args.push_back(a);
  const test::CliResult result = test::runTessary(args);
  ASSERT_EQ(result.status, 0) << result.err;
  const auto rows = result.objects();
  ASSERT_FALSE(rows.empty());
  const auto files = filesBelow(m_dir + "/out/RAW RECOVERY");
  std::map<std::int64_t, nlohmann::json> byOffset;
  for (const auto& row : rows) {
    byOffset[row["offset"].get<std::int64_t>()] = row;
    const std::int64_t size = row["size"].get<std::int64_t>();
    EXPECT_GT(size, 0);
    EXPECT_LE(row["offset"].get<std::int64_t>() + size, static_cast<std::int64_t>(kVolumeBytes)) << row.dump();
    // Names come from the position and the extension only.
    const std::string name = row["name"];
    EXPECT_EQ(name.find('/'), std::string::npos);
    ASSERT_TRUE(files.count(name)) << name;
    // A file whose structure gave its length is saved to the byte, any other in whole blocks.
    EXPECT_EQ(fileSize(files.at(name)), static_cast<std::uint64_t>(row["exact"].get<bool>() ? size : (size + 511) / 512 * 512));
  }
  for (const Plan& plan : m_plans) {
    SCOPED_TRACE(plan.ext + " at " + std::to_string(plan.offset));
    // "MZ" and noise without a PE header behind it is no program: two bytes meet a block start by chance.
    if (plan.ext == "exe") {
      EXPECT_FALSE(byOffset.count(static_cast<std::int64_t>(plan.offset)));
      continue;
    }
    ASSERT_TRUE(byOffset.count(static_cast<std::int64_t>(plan.offset)));
    const auto& row = byOffset[static_cast<std::int64_t>(plan.offset)];
    const std::string name = row["name"];
    EXPECT_EQ(name.substr(name.rfind('.') + 1), plan.ext);
    const std::string carved = test::readHostFile(files.at(name));
    ASSERT_GE(carved.size(), plan.bytes.size());
    EXPECT_EQ(carved.substr(0, plan.bytes.size()),
              std::string(reinterpret_cast<const char*>(plan.bytes.data()), plan.bytes.size()));
  }
  // Every file with an end marker is whole: to the byte where its structure holds, and where these
  // hand-laid headers break it (noise where chunks or a central directory should be) marked partial and
  // sized by the block rule, never short. The truncated PDF runs to the volume's end.
  const std::map<std::string, std::int64_t> endLength = {{"jpg", 2}, {"png", 8}, {"pdf", 5}, {"odt", 4}, {"zip", 4}};
  for (const Plan& plan : m_plans) {
    const auto known = endLength.find(plan.ext);
    if (known == endLength.end()) continue;
    SCOPED_TRACE(plan.ext + " at " + std::to_string(plan.offset));
    const auto& row = byOffset[static_cast<std::int64_t>(plan.offset)];
    const std::int64_t size = row["size"].get<std::int64_t>();
    const auto planted = static_cast<std::int64_t>(plan.bytes.size());
    if (plan.offset == kVolumeBytes - 8192) {
      EXPECT_EQ(size, 8192);
      continue;
    }
    if (row["exact"].get<bool>()) {
      EXPECT_EQ(size, planted);
    } else {
      EXPECT_TRUE(row["partial"].get<bool>());
      EXPECT_GE(size, planted);
    }
  }
  EXPECT_FALSE(byOffset.count(static_cast<std::int64_t>(m_offBlock)));
  EXPECT_FALSE(byOffset.count(static_cast<std::int64_t>(m_offBlock - 100)));
  // A JPEG and a PDF whose end markers begin a block end with their marker, or, when the block rule
  // closed them, one byte after it.
  for (const Plan& plan : m_plans) {
    if ((plan.ext == "jpg" || plan.ext == "pdf") && plan.offset % (160 * 1024) == 0 && plan.offset < 20 * 160 * 1024) {
      const auto& row = byOffset[static_cast<std::int64_t>(plan.offset)];
      EXPECT_EQ(row["size"].get<std::int64_t>(),
                static_cast<std::int64_t>(plan.bytes.size()) + (row["exact"].get<bool>() ? 0 : 1));
    }
  }
  EXPECT_TRUE(std::filesystem::is_directory(m_dir + "/out/RAW RECOVERY/Images (" +
                                            std::to_string(std::count_if(rows.begin(), rows.end(), [](const auto& r) {
                                              return r["category"] == "Images";
                                            })) + ")"));
}

TEST_F(CarveCommandTest, SignaturesAddWritesRecordsThatACarveOfItsOwnUses) {
  const std::string sig = m_dir + "/mine.txt";
  auto add = [&](std::vector<std::string> more) {
    std::vector<std::string> args = {"signatures", "add", sig};
    args.insert(args.end(), more.begin(), more.end());
    return test::runTessary(args);
  };
  ASSERT_EQ(add({"--ext", "bmp", "--start", "0x42,0x4D", "--size-offset", "2", "--size-bytes", "4", "--header-size",
                 "54", "--size-includes-header", "--approx-size", "65536", "--category", "Pictures"}).status, 0);
  ASSERT_EQ(add({"--ext", "rtf", "--start", "0x7B,0x5C,0x72,0x74,0x66", "--approx-size", "10000", "--skip", "1024",
                 "--category", "Text"}).status, 0);
  const test::CliResult refused = add({"--ext", "x", "--start", ",,"});
  EXPECT_EQ(refused.status, 1);
  EXPECT_NE(refused.err.find("signature length is zero.."), std::string::npos);
  EXPECT_EQ(fileSize(sig), 2u * 177u);

  std::vector<std::string> args = {"carve", m_image, "--out", m_dir + "/mine", "--json", "--quiet",
                                   "--signatures", sig, "--no-default-signatures"};
  for (const std::string& a : volumeArgs()) args.push_back(a);
  const test::CliResult result = test::runTessary(args);
  ASSERT_EQ(result.status, 0) << result.err;
  std::set<std::string> categories;
  std::set<std::int64_t> offsets;
  for (const auto& row : result.objects()) {
    categories.insert(row["category"].get<std::string>());
    offsets.insert(row["offset"].get<std::int64_t>());
  }
  EXPECT_TRUE(categories.count("Pictures"));
  EXPECT_TRUE(categories.count("Text"));
  for (const Plan& plan : m_plans)
    if (plan.ext == "bmp" || plan.ext == "rtf") {
      EXPECT_TRUE(offsets.count(static_cast<std::int64_t>(plan.offset))) << plan.ext;
    }
  EXPECT_TRUE(std::filesystem::is_directory(m_dir + "/mine/RAW RECOVERY"));
  // A carve needs a volume and refuses a signature file that cannot be opened.
  args[7] = m_dir + "/absent.txt";
  const test::CliResult missing = test::runTessary(args);
  EXPECT_EQ(missing.status, 1);
  EXPECT_NE(missing.err.find("Cannot open the selected file"), std::string::npos);
}

// A carved file the output refuses part-way (a file-size limit here) is a counted failure: the command
// names the first one and its reason and exits 1; the results that fit are still written whole.
TEST_F(CarveCommandTest, ACarvedFileTheOutputCutsShortIsCountedNamedAndExitsOne) {
  if (!isRegularFile(executableDirectory() + "/FileSetting.txt")) GTEST_SKIP() << "FileSetting.txt not beside the tests";
  std::vector<std::string> args = {"carve", m_image, "--out", m_dir + "/out", "--quiet"};
  for (const std::string& a : volumeArgs()) args.push_back(a);
  struct rlimit old {};
  ASSERT_EQ(::getrlimit(RLIMIT_FSIZE, &old), 0);
  const auto oldHandler = std::signal(SIGXFSZ, SIG_IGN);
  struct rlimit small = old;
  small.rlim_cur = 4096;
  ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &small), 0);
  const test::CliResult result = test::runTessary(args);
  ::setrlimit(RLIMIT_FSIZE, &old);
  std::signal(SIGXFSZ, oldHandler);
  EXPECT_EQ(result.status, 1);
  EXPECT_NE(result.err.find("files could not be written; the first: " + m_dir + "/out/RAW RECOVERY/"), std::string::npos)
      << result.err;
  EXPECT_NE(result.err.find("(File too large)"), std::string::npos) << result.err;
  std::size_t smallFiles = 0;
  for (const auto& [name, path] : filesBelow(m_dir + "/out/RAW RECOVERY"))
    if (fileSize(path) <= 4096) ++smallFiles;
  EXPECT_GT(smallFiles, 0u);
}

}  // namespace
}  // namespace tessary
