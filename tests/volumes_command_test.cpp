// `tessary volumes`: the listing of real sfdisk/sgdisk images in every scan, the JSON fields docs/cli.md gives, and the
// volume choice (--volume, --start-sector, --end-sector, --fs) that later commands make.
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>
#include <sstream>

#include "cli_app.h"
#include "support/disk_image_builder.h"
#include "support/fixtures.h"
#include "support/volume_rows.h"

namespace tessary {
namespace {

using test::DiskImage;
using test::Row;

struct CommandRun {
  int status = -1;
  std::string out;
  std::string err;
};

CommandRun tessary(std::vector<std::string> args) {
  args.insert(args.begin(), "tessary");
  std::vector<const char*> argv;
  for (const auto& a : args) argv.push_back(a.c_str());
  std::ostringstream out;
  std::ostringstream err;
  CommandRun run;
  run.status = cli::run(static_cast<int>(argv.size()), argv.data(), out, err);
  run.out = out.str();
  run.err = err.str();
  return run;
}

std::vector<nlohmann::json> jsonLines(const std::string& text) {
  std::vector<nlohmann::json> out;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);)
    if (!line.empty()) out.push_back(nlohmann::json::parse(line));
  return out;
}

std::vector<Row> listedRows(const CommandRun& run) {
  std::vector<Row> out;
  for (const auto& object : jsonLines(run.out))
    if (object.contains("file_system"))
      out.push_back({object["file_system"].get<std::string>(), object["size"].get<std::string>(),
                     object["start_sector"].get<std::int64_t>()});
  return out;
}

class VolumesCommandTest : public ::testing::Test {
 protected:
  void SetUp() override { m_dir = test::makeTempDir("tessary-volumes-"); }
  void TearDown() override { test::removeTree(m_dir); }

  std::string write(const DiskImage& disk, const std::string& name = "disk.vhdx") {
    const std::string path = m_dir + "/" + name;
    test::writeDiskVhdx(path, disk);
    return path;
  }

  // The sample's layout: a 64 MiB disk, NTFS (type 0x07) at 2048 and FAT32 (0x0C) after it.
  std::string sample() {
    DiskImage disk(1 << 17);
    disk.tableEntry(0, 0, 0x07, 2048, 129024 - 8192);
    disk.ntfsBoot(2048, 129024 - 8192 - 1);
    disk.tableEntry(0, 1, 0x0C, 2048 + 129024 - 8192, 8192);
    disk.fatBoot(2048 + 129024 - 8192, 0, 0, 8192, "MSDOS5.0", 0x58);
    disk.tableEntry(0, 2, 0xDA, 130000, 1000);
    return write(disk, "sample.vhdx");
  }

  std::string m_dir;
};

TEST_F(VolumesCommandTest, JsonRowsAreTheContractsObjectsInListOrder) {
  const CommandRun run = tessary({"volumes", sample(), "--json"});
  ASSERT_EQ(run.status, 0) << run.err;
  EXPECT_EQ(run.out,
            "{\"volume\":0,\"file_system\":\"NTFS\",\"size\":\"59   MB\",\"start_sector\":2048,\"size_bytes\":61865984}\n"
            "{\"volume\":1,\"file_system\":\"FAT32\",\"size\":\"4   MB\",\"start_sector\":122880,\"size_bytes\":4194304}\n"
            "{\"volume\":2,\"file_system\":\"Unknown\",\"size\":\"0   MB\",\"start_sector\":130000,\"size_bytes\":0}\n");
}

TEST_F(VolumesCommandTest, TextOutputIsATableUnderTheFourColumnHeaders) {
  const CommandRun run = tessary({"volumes", sample()});
  ASSERT_EQ(run.status, 0) << run.err;
  EXPECT_EQ(run.out,
            "VOLUME  FILE_SYSTEM  VOLUME_SIZE  START_SECTOR\n"
            "0       NTFS         59   MB      2048\n"
            "1       FAT32        4   MB       122880\n"
            "2       Unknown      0   MB       130000\n");
}

TEST_F(VolumesCommandTest, AdvancedScanWithItsRangeAndSkipOptions) {
  const std::string image = sample();
  EXPECT_EQ(listedRows(tessary({"volumes", image, "--advanced", "--json"})),
            (std::vector<Row>{{"NTFS", "58   MB", 2048}, {"FAT32", "4  MB", 122880}}));
  EXPECT_EQ(listedRows(tessary({"volumes", image, "--advanced", "--start-sector", "4096", "--json"})),
            (std::vector<Row>{{"FAT32", "4  MB", 122880}}));
  EXPECT_EQ(listedRows(tessary({"volumes", image, "--advanced", "--end-sector", "100000", "--json"})),
            (std::vector<Row>{{"NTFS", "58   MB", 2048}}));
  // --no-skip only counts with --advanced: the standard scan ignores it.
  EXPECT_EQ(listedRows(tessary({"volumes", image, "--no-skip", "--json"})).size(), 3u);
}

TEST_F(VolumesCommandTest, VolumeOptionPicksTheRowAndTellsWhereNextLeads) {
  const std::string image = sample();
  const CommandRun run = tessary({"volumes", image, "--volume", "1", "--json"});
  ASSERT_EQ(run.status, 0) << run.err;
  const auto lines = jsonLines(run.out);
  ASSERT_EQ(lines.size(), 4u);
  EXPECT_EQ(lines.back().dump(),
            "{\"next_page\":\"recovery-mode\",\"selected\":{\"file_system\":\"FAT32\",\"size\":\"4   MB\","
            "\"start_sector\":122880,\"volume\":1}}");

  const CommandRun text = tessary({"volumes", image, "--volume", "0"});
  EXPECT_NE(text.out.find("Selected: VOLUME 0, FILE_SYSTEM NTFS, VOLUME_SIZE 59   MB, START_SECTOR 2048 -> "
                          "recovery-mode page\n"),
            std::string::npos)
      << text.out;
}

TEST_F(VolumesCommandTest, RefusalsExitOneWithThePagesMessage) {
  const std::string image = sample();
  const CommandRun missing = tessary({"volumes", image, "--volume", "7"});
  EXPECT_EQ(missing.status, 1);
  // The page's message is the first line; the next step follows it.
  EXPECT_EQ(missing.err.substr(0, missing.err.find('\n') + 1), "please select a valid volume.\n");
  EXPECT_NE(missing.err.find("\nhint: there is no volume 7; the list holds: 0 NTFS 59 MB at sector 2048; "),
            std::string::npos)
      << missing.err;
  EXPECT_TRUE(missing.out.empty());
  const CommandRun unknown = tessary({"volumes", image, "--volume", "2"});
  EXPECT_EQ(unknown.status, 1);
  EXPECT_EQ(unknown.err.substr(0, unknown.err.find('\n') + 1), "can not parse unknown volume\n");
  EXPECT_NE(unknown.err.find("\nhint: read it as a file system with --fs LABEL"), std::string::npos) << unknown.err;
  const CommandRun noImage = tessary({"volumes", m_dir + "/absent.vhdx"});
  EXPECT_EQ(noImage.status, 1);
  EXPECT_EQ(noImage.err, "Please select valid path to continue the recovery process.\n");
  const CommandRun noFlatImage = tessary({"volumes", m_dir + "/disk.img"});
  EXPECT_EQ(noFlatImage.status, 1);
  EXPECT_EQ(noFlatImage.err, "Please select valid path to continue the recovery process.\n");
}

TEST_F(VolumesCommandTest, UnknownTreatAsLabelIsBadUsage) {
  EXPECT_EQ(tessary({"volumes", sample(), "--volume", "0", "--fs", "XFS"}).status, 2);
  EXPECT_EQ(tessary({"volumes", sample(), "--volume", "0", "--fs", "ntfs"}).status, 0);
}

TEST_F(VolumesCommandTest, OverridesOfARowAndCustomVolumesGoThroughTheCustomSettings) {
  const std::string image = sample();
  // The unknown row, treated as NTFS, with its own start and end fields.
  auto lines = jsonLines(tessary({"volumes", image, "--volume", "2", "--fs", "NTFS", "--json"}).out);
  ASSERT_FALSE(lines.empty());
  EXPECT_EQ(lines.back()["selected"]["file_system"], "ntfs");
  EXPECT_EQ(lines.back()["selected"]["start_sector"], 130000);
  EXPECT_EQ(lines.back()["selected"]["size"], "0");  // start + 0 x 2048 - 1 lies before the start
  // A row with a new range: clicking the row picked "NTFS" in "Treat file system as:", which Next applies.
  lines = jsonLines(tessary({"volumes", image, "--volume", "0", "--start-sector", "4096", "--end-sector", "8191",
                             "--json"}).out);
  ASSERT_FALSE(lines.empty());
  EXPECT_EQ(lines.back()["selected"]["file_system"], "ntfs");
  EXPECT_EQ(lines.back()["selected"]["size"], "2");
  EXPECT_EQ(lines.back()["selected"]["start_sector"], 4096);
  // A custom volume, without --volume.
  lines = jsonLines(tessary({"volumes", image, "--start-sector", "2048", "--end-sector", "4095", "--fs", "FAT32",
                             "--json"}).out);
  ASSERT_FALSE(lines.empty());
  EXPECT_EQ(lines.back().dump(), "{\"next_page\":\"recovery-mode\",\"selected\":{\"file_system\":\"fat32\","
                                 "\"size\":\"1\",\"start_sector\":2048,\"volume\":3}}");
  // RAW leads to the raw page; after an advanced scan too (there the sector options name the volume).
  lines = jsonLines(tessary({"volumes", image, "--advanced", "--start-sector", "0", "--end-sector", "131071", "--fs",
                             "RAW", "--json"}).out);
  ASSERT_FALSE(lines.empty());
  EXPECT_EQ(lines.back()["next_page"], "raw");
  EXPECT_EQ(lines.back()["selected"]["size"], "64");
  EXPECT_EQ(listedRows(tessary({"volumes", image, "--advanced", "--start-sector", "0", "--end-sector", "131071",
                                "--fs", "RAW", "--json"}))
                .size(),
            2u);  // the whole disk was scanned
}

TEST_F(VolumesCommandTest, CraftedChainsOfSixtyLinksAndLoopsListCleanly) {
  DiskImage chain(1 << 19);
  chain.tableEntry(0, 0, 0x05, 2048, 60 * 4096);
  for (std::uint32_t link = 0; link < 60; ++link) {
    chain.tableEntry(2048 + link * 4096, 0, 0x83, 2048, 2048);
    chain.tableEntry(2048 + link * 4096, 1, 0x05, (link + 1) * 4096, 4096);
  }
  EXPECT_EQ(listedRows(tessary({"volumes", write(chain, "chain.vhdx"), "--json"})).size(), 50u);

  DiskImage loop(1 << 17);
  loop.tableEntry(0, 0, 0x07, 2048, 2048);
  loop.tableEntry(0, 1, 0x0F, 8192, 8192);
  loop.tableEntry(8192, 0, 0x0C, 2048, 4096);
  loop.tableEntry(8192, 1, 0x05, 0, 8192);  // back to itself
  EXPECT_EQ(listedRows(tessary({"volumes", write(loop, "loop.vhdx"), "--json"})),
            (std::vector<Row>{{"NTFS", "1   MB", 2048}, {"FAT32", "2   MB", 10240}}));
}

// ---- Images made by sfdisk, sgdisk and the file systems' own tools -----------------------------------

struct FixtureCase {
  const char* image;
  std::vector<std::string> options;
  std::vector<Row> rows;
};

TEST(VolumesFixtureTest, RealTablesListEveryVolumeInEveryScan) {
  const FixtureCase cases[] = {
      {"mbr_extended.vhdx", {}, {{"NTFS", "16   MB", 2048}, {"FAT32", "40   MB", 36864}, {"extX", "16   MB", 120832},
                                 {"FAT64", "16   MB", 155648}}},
      // The ext superblock is found 1024 bytes in; NTFS totals leave out the backup boot sector.
      {"mbr_extended.vhdx", {"--advanced"}, {{"NTFS", "15   MB", 2048}, {"FAT32", "40  MB", 36864},
                                             {"extX", "16  MB", 120832}, {"FAT64", "16  MB", 155648}}},
      // Type 0xAF names nothing the table knows: the HFS+ header names it.
      {"mbr_types.vhdx", {}, {{"FAT12", "4   MB", 2048}, {"FAT16", "25   MB", 10240}, {"NTFS", "8   MB", 63488},
                              {"FAT64", "8   MB", 83968}, {"FAT32", "40   MB", 102400}, {"extX", "8   MB", 186368},
                              {"HFS+", "4   MB", 204800}}},
      // The FAT12 is found by its geometry and goes to the FAT16 parser; the FAT16's 16-bit total is 0xC8C0.
      {"mbr_types.vhdx", {"--advanced"}, {{"FAT16", "4  MB", 2048}, {"FAT16", "25  MB", 10240},
                                          {"NTFS", "7   MB", 63488}, {"FAT64", "8  MB", 83968},
                                          {"FAT32", "40  MB", 102400}, {"extX", "8  MB", 186368},
                                          {"HFS+", "2  MB", 204800}}},
      // Without the GPT box the protective entry is the one volume.
      {"gpt_volumes.vhdx", {}, {{"Unknown", "255   MB", 1}}},
      // The reserved entry is skipped; ext4 and HFS+ are named by their headers and sized by their entries
      // (first to last LBA); the FAT16 with 128 sectors per FAT is listed by its geometry.
      {"gpt_volumes.vhdx", {"--gpt"}, {{"NTFS", "15   MB", 4096}, {"FAT32", "40  MB", 36864},
                                       {"FAT64", "16  MB", 118784}, {"extX", "16", 151552},
                                       {"HFS+", "4", 184320}, {"FAT16", "16  MB", 192512}}},
      // exFAT right behind the FAT32 is found at its own start.
      {"gpt_volumes.vhdx", {"--advanced"}, {{"NTFS", "15   MB", 4096}, {"FAT32", "40  MB", 36864},
                                            {"FAT64", "16  MB", 118784}, {"extX", "16  MB", 151552},
                                            {"HFS+", "2  MB", 184320}, {"FAT16", "16  MB", 192512}}},
  };
  for (const auto& c : cases) {
    if (!test::haveFixture(c.image)) GTEST_SKIP() << "fixture " << c.image << " missing";
    std::vector<std::string> args = {"volumes", test::fixturePath(c.image), "--json"};
    args.insert(args.end(), c.options.begin(), c.options.end());
    const CommandRun run = tessary(args);
    ASSERT_EQ(run.status, 0) << c.image << ": " << run.err;
    EXPECT_EQ(listedRows(run), c.rows) << c.image << (c.options.empty() ? "" : " " + c.options[0]);
  }
}

TEST(VolumesFixtureTest, ManifestStartsAreTheListedStarts) {
  // The listing and what sfdisk and sgdisk wrote agree on every formatted volume's start.
  for (const char* image : {"mbr_extended.vhdx", "mbr_types.vhdx"}) {
    if (!test::haveFixture(image)) GTEST_SKIP() << "fixture " << image << " missing";
    const auto manifest = nlohmann::json::parse(test::readHostFile(test::fixturePath(std::string(image) + ".json")));
    const auto rows = listedRows(tessary({"volumes", test::fixturePath(image), "--json"}));
    ASSERT_EQ(rows.size(), manifest["volumes"].size()) << image;
    for (std::size_t i = 0; i < rows.size(); ++i)
      EXPECT_EQ(rows[i].start, manifest["volumes"][i]["start_sector"].get<std::int64_t>()) << image << " " << i;
  }
}

}  // namespace
}  // namespace tessary
