// Tables as sfdisk and sgdisk write them (primaries after the extended entry, unused GPT entries between
// used ones, disks of 4096-byte sectors) and volumes in partitions whose type does not name them, read
// through `tessary volumes` and `tessary ls` and held against what the tools wrote (the manifests).
#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <nlohmann/json.hpp>
#include <sstream>

#include "support/cli_runner.h"
#include "support/disk_image_builder.h"
#include "support/fixtures.h"

namespace tessary {
namespace {

using CommandRun = test::CliResult;

CommandRun tessary(std::vector<std::string> args) { return test::runTessary(std::move(args)); }

std::vector<nlohmann::json> jsonLines(const std::string& text) {
  CommandRun lines;
  lines.out = text;
  return lines.objects();
}

struct Listed {
  std::string volume;
  std::string fileSystem;
  std::int64_t start = 0;
};

std::vector<Listed> listed(const CommandRun& run) {
  std::vector<Listed> out;
  for (const auto& o : jsonLines(run.out))
    if (o.contains("file_system"))
      out.push_back({std::to_string(o["volume"].get<std::int64_t>()), o["file_system"].get<std::string>(),
                     o["start_sector"].get<std::int64_t>()});
  return out;
}

// The label each kind of volume the fixture scripts make must be listed with.
const std::map<std::string, std::string>& labels() {
  static const std::map<std::string, std::string> m{
      {"mkfsfat16", "FAT16"}, {"mkfsfat32", "FAT32"}, {"ntfs", "NTFS"},   {"hfsplus", "HFS+"},
      {"hfsplus_small", "HFS+"}, {"ext4", "extX"},    {"ext4k", "extX"}, {"exfat", "FAT64"}};
  return m;
}

nlohmann::json manifest(const std::string& image) {
  return nlohmann::json::parse(test::readHostFile(test::fixturePath(image + ".json")));
}

const char* const kImages[] = {"mbr_out_of_order.vhdx", "gpt_sparse.vhdx", "gpt_4k.vhdx", "mbr_4k.vhdx"};

TEST(PartitionTablesFixtureTest, StandardScanListsEveryVolumeTheToolsWroteWithItsFileSystem) {
  for (const std::string image : kImages) {
    if (!test::haveFixture(image)) GTEST_SKIP() << "fixture " << image << " missing";
    const nlohmann::json m = manifest(image);
    std::vector<std::string> args{"volumes", test::fixturePath(image), "--json"};
    if (m["table"] == "gpt") args.push_back("--gpt");
    const CommandRun run = tessary(args);
    ASSERT_EQ(run.status, 0) << image << ": " << run.err;
    const std::vector<Listed> rows = listed(run);
    // Table order is the manifest's order (primaries, then logical volumes; GPT entries in entry order).
    ASSERT_EQ(rows.size(), m["volumes"].size()) << image << "\n" << run.out;
    for (std::size_t i = 0; i < rows.size(); ++i) {
      const auto& v = m["volumes"][i];
      EXPECT_EQ(rows[i].start, v["start_sector"].get<std::int64_t>()) << image << " " << i;
      EXPECT_EQ(rows[i].fileSystem, labels().at(v["kind"].get<std::string>())) << image << " " << i;
    }
  }
}

TEST(PartitionTablesFixtureTest, AdvancedScanFindsEveryVolumeAtItsStartInTheDisksSectors) {
  for (const std::string image : kImages) {
    if (!test::haveFixture(image)) GTEST_SKIP() << "fixture " << image << " missing";
    const nlohmann::json m = manifest(image);
    const CommandRun run = tessary({"volumes", test::fixturePath(image), "--json", "--advanced"});
    ASSERT_EQ(run.status, 0) << image << ": " << run.err;
    const std::vector<Listed> rows = listed(run);
    for (const auto& v : m["volumes"]) {
      const std::int64_t start = v["start_sector"].get<std::int64_t>();
      const std::string label = labels().at(v["kind"].get<std::string>());
      const bool found = std::any_of(rows.begin(), rows.end(),
                                     [&](const Listed& r) { return r.start == start && r.fileSystem == label; });
      EXPECT_TRUE(found) << image << ": " << label << " at " << start << "\n" << run.out;
    }
  }
}

// What a listing of each kind's volume must show: the file the fixture script put there.
const std::map<std::string, std::string>& shownFiles() {
  static const std::map<std::string, std::string> m{
      {"mkfsfat16", "hello.txt"}, {"ext4k", "hello.txt"}, {"hfsplus_small", "forward:slash"}, {"hfsplus", "big.txt"}};
  return m;
}

std::string lower(std::string s) {
  std::transform(s.begin(), s.end(), s.begin(), [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  return s;
}

TEST(PartitionTablesFixtureTest, VolumesOfUnnamedTypesAndOf4096ByteSectorDisksParseWithoutACustomVolume) {
  for (const std::string image : kImages) {
    if (!test::haveFixture(image)) GTEST_SKIP() << "fixture " << image << " missing";
    const nlohmann::json m = manifest(image);
    for (std::size_t i = 0; i < m["volumes"].size(); ++i) {
      const auto it = shownFiles().find(m["volumes"][i]["kind"].get<std::string>());
      if (it == shownFiles().end()) continue;
      std::vector<std::string> args{"ls", test::fixturePath(image), "--volume", std::to_string(i), "--json"};
      if (m["table"] == "gpt") args.push_back("--gpt");
      const CommandRun run = tessary(args);
      ASSERT_EQ(run.status, 0) << image << " volume " << i << ": " << run.err;
      bool shown = false;
      bool slashName = false;
      for (const auto& entry : jsonLines(run.out)) {
        const std::string path = entry["path"].get<std::string>();
        shown = shown || lower(path).ends_with("/" + it->second) || lower(path) == it->second;
        slashName = slashName || path.find("forward/slash") != std::string::npos;
      }
      EXPECT_TRUE(shown) << image << " volume " << i << " lacks " << it->second << "\n" << run.out;
      EXPECT_FALSE(slashName) << "the catalog's '/' must read as ':'";
    }
  }
}

TEST(PartitionTablesFixtureTest, VhdxMetadataOf4096ByteSectorsReachesTheImagePageAndTheScan) {
  const std::string image = "gpt_4k.vhdx";
  if (!test::haveFixture(image)) GTEST_SKIP() << "fixture " << image << " missing";
  const auto info = jsonLines(tessary({"info", test::fixturePath(image), "--json"}).out);
  ASSERT_FALSE(info.empty());
  EXPECT_EQ(info.front()["logical_sector_size"].get<std::int64_t>(), 4096);
  // The user's 512 on the image page reads the same disk in 512-byte units: no GPT header where it looks.
  const CommandRun as512 =
      tessary({"volumes", test::fixturePath(image), "--json", "--gpt", "--logical-sector-size", "512"});
  EXPECT_NE(listed(as512).size(), manifest(image)["volumes"].size());
}

TEST(PartitionTablesFixtureTest, LogicalSectorSizeOptionScalesATableInAnImageThatStates512) {
  // An MBR written in 2048-byte sectors inside a VHDX whose metadata says 512: only the user's value
  // reads it. Disk sector n starts at 512-byte unit 4n.
  test::DiskImage disk(1 << 17);  // 64 MiB
  disk.tableEntry(0, 0, 0x0C, 512, 20480);  // 40 MiB from sector 512 (byte 1 MiB)
  disk.fatBoot(512 * 4, 0, 0, 81920, "mkfs.fat", 0x58);
  disk.tableEntry(0, 1, 0x05, 21000, 8000);
  disk.tableEntry(21000 * 4, 0, 0xAF, 100, 1024);
  disk.hfsPlusHeader(21100 * 4 + 2, 4096, 512);
  const std::string dir = test::makeTempDir("tessary-sectors-");
  const std::string path = dir + "/disk.vhdx";
  test::writeDiskVhdx(path, disk);
  const CommandRun run = tessary({"volumes", path, "--json", "--logical-sector-size", "2048"});
  ASSERT_EQ(run.status, 0) << run.err;
  const std::vector<Listed> rows = listed(run);
  ASSERT_EQ(rows.size(), 2u) << run.out;
  EXPECT_EQ(rows[0].fileSystem, "FAT32");
  EXPECT_EQ(rows[0].start, 512);
  EXPECT_EQ(rows[1].fileSystem, "HFS+");
  EXPECT_EQ(rows[1].start, 21100);
  const auto sizes = jsonLines(run.out);
  EXPECT_EQ(sizes[0]["size"].get<std::string>(), "40   MB");
  // Without the option the logical volume is not where the chain says.
  const std::vector<Listed> plain = listed(tessary({"volumes", path, "--json"}));
  EXPECT_TRUE(std::none_of(plain.begin(), plain.end(), [](const Listed& r) { return r.fileSystem == "HFS+"; }));
  test::removeTree(dir);
}

}  // namespace
}  // namespace tessary
