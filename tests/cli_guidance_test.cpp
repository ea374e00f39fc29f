// The command line as a newcomer meets it: usage errors and suggestions, refusals followed by the next step,
// GPT disks read without --gpt, summaries and empty results, paths compared as the file system compares
// names, machine times in JSON and the timeline body file.
#include <gtest/gtest.h>

#include <array>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>

#include <nlohmann/json.hpp>

#include "platform/files.h"
#include "results/name_search.h"
#include "support/cli_runner.h"
#include "support/disk_image_builder.h"
#include "support/fixtures.h"
#include "support/raw_volume.h"
#include "volumes/partition.h"

namespace tessary {
namespace {

namespace fs = std::filesystem;
using test::runTessary;

bool has(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

std::string firstLine(const std::string& text) { return text.substr(0, text.find('\n')); }

std::vector<std::string> lines(const std::string& text) {
  std::vector<std::string> out;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) out.push_back(line);
  return out;
}

std::vector<std::string> fields(const std::string& line) {
  std::vector<std::string> out;
  std::size_t start = 0;
  for (std::size_t bar = line.find('|'); bar != std::string::npos; bar = line.find('|', start)) {
    out.push_back(line.substr(start, bar - start));
    start = bar + 1;
  }
  out.push_back(line.substr(start));
  return out;
}

nlohmann::json manifest(const std::string& name) {
  std::ifstream in(test::fixturePath(name));
  return nlohmann::json::parse(in);
}

class CliGuidanceTest : public ::testing::Test {
 protected:
  void SetUp() override { m_dir = test::makeTempDir("tessary-guidance-"); }
  void TearDown() override { fs::remove_all(m_dir); }
  std::string m_dir;
};

TEST_F(CliGuidanceTest, MistypedCommandsAndOptionsAreUsageErrorsWithASuggestion) {
  const auto version = runTessary({"--version"});
  EXPECT_EQ(version.status, 0);
  EXPECT_EQ(version.out.rfind("tessary ", 0), 0u) << version.out;

  const auto command = runTessary({"lst", "x.vhdx"});
  EXPECT_EQ(command.status, 2);
  EXPECT_TRUE(has(command.err, "did you mean \"ls\"")) << command.err;

  const auto option = runTessary({"ls", "x.vhdx", "--volme", "1"});
  EXPECT_EQ(option.status, 2);
  EXPECT_TRUE(has(option.err, "did you mean --volume")) << option.err;

  // A volume is a number; a word is bad usage before any page opens.
  const auto word = runTessary({"ls", "x.vhdx", "--volume", "abc"});
  EXPECT_EQ(word.status, 2);
  EXPECT_TRUE(has(word.err, "abc")) << word.err;

  // Nothing close enough: no guess.
  const auto far = runTessary({"frobnicate"});
  EXPECT_EQ(far.status, 2);
  EXPECT_FALSE(has(far.err, "did you mean")) << far.err;
}

TEST_F(CliGuidanceTest, VolumeRefusalsKeepThePagesTextAndNameTheVolumesThereAre) {
  if (!test::haveFixture("sample.vhdx")) GTEST_SKIP() << "no sample";
  const std::string image = test::fixturePath("sample.vhdx");
  const auto missing = runTessary({"ls", image, "--volume", "5", "--quiet"});
  EXPECT_EQ(missing.status, 1);
  EXPECT_EQ(firstLine(missing.err), "please select a valid volume.");
  EXPECT_TRUE(has(missing.err, "hint: there is no volume 5; the list holds: 0 NTFS")) << missing.err;
  EXPECT_TRUE(has(missing.err, "1 FAT32")) << missing.err;

  const auto none = runTessary({"ls", image, "--quiet"});
  EXPECT_EQ(none.status, 1);
  EXPECT_EQ(firstLine(none.err), "please select a valid volume.");
  EXPECT_TRUE(has(none.err, "hint: name a volume with --volume N: 0 NTFS")) << none.err;

  // An MBR disk read as GPT: no header there, and the scan finds nothing.
  const auto gpt = runTessary({"volumes", image, "--gpt", "--quiet"});
  EXPECT_EQ(gpt.status, 0);
  EXPECT_TRUE(has(gpt.err, "the scan found no volumes")) << gpt.err;
  EXPECT_TRUE(has(gpt.err, "hint: the disk's sector 1 holds no GPT header")) << gpt.err;
}

TEST_F(CliGuidanceTest, ADiskWithoutVolumesIsCarvedByTheSectorRangeTheHintGives) {
  test::DiskImage disk(8192);
  const std::string image = m_dir + "/blank.vhdx";
  test::writeDiskVhdx(image, disk);

  const auto volumes = runTessary({"volumes", image, "--quiet"});
  EXPECT_EQ(volumes.status, 0);
  EXPECT_TRUE(has(volumes.err, "the scan found no volumes")) << volumes.err;

  const auto carve = runTessary({"carve", image, "--out", m_dir + "/carved", "--quiet"});
  EXPECT_EQ(carve.status, 1);
  EXPECT_EQ(firstLine(carve.err), "zero size volume..");
  EXPECT_TRUE(has(carve.err, "hint: the disk holds no volumes")) << carve.err;
  EXPECT_TRUE(has(carve.err, "--start-sector 0 --end-sector 8191 for the whole disk (8192 sectors)")) << carve.err;

  // What the hint says works, and an empty result says so.
  const auto ranged = runTessary({"carve", image, "--out", m_dir + "/carved", "--start-sector", "0", "--end-sector",
                                  "8191", "--quiet"});
  EXPECT_EQ(ranged.status, 0) << ranged.err;
  EXPECT_EQ(ranged.out, "");
  EXPECT_TRUE(has(ranged.err, "no files carved")) << ranged.err;

  const auto ls = runTessary({"ls", image, "--quiet"});
  EXPECT_EQ(ls.status, 1);
  EXPECT_TRUE(has(ls.err, "hint: the scan found no volumes; name a range of the disk's 8192 sectors")) << ls.err;
}

// A partition need not end on a MiB: a file in its last partial MiB is carved whether the volume comes
// from the partition table or from a typed sector range, and nothing past the range's end is.
TEST_F(CliGuidanceTest, APartitionsLastPartialMibIsCarvedFromTheTableAndFromATypedRange) {
  test::DiskImage disk(8192);
  disk.tableEntry(0, 0, 0xDA, 2048, 2304);  // 1.125 MiB
  auto plant = [&disk](std::uint64_t firstSector, const test::ByteVector& file) {
    for (std::size_t at = 0; at < file.size(); at += 512) {
      auto& sector = disk.sector(firstSector + at / 512);
      std::copy_n(file.begin() + static_cast<std::ptrdiff_t>(at), std::min<std::size_t>(512, file.size() - at),
                  sector.begin());
    }
  };
  plant(2048 + 2048 + 64, test::makeTypedFile("png", 3000, 7));  // 32 KiB into the last partial MiB
  plant(2048 + 2304, test::makeTypedFile("png", 3000, 8));       // just past the partition
  const std::string image = m_dir + "/tail.vhdx";
  test::writeDiskVhdx(image, disk);

  auto offsets = [](const test::CliResult& run) {
    std::vector<std::int64_t> out;
    for (const std::string& line : lines(run.out)) out.push_back(nlohmann::json::parse(line).at("offset").get<std::int64_t>());
    return out;
  };
  const std::vector<std::int64_t> expected{(2048 + 64) * 512};
  const auto byTable = runTessary({"carve", image, "--volume", "0", "--out", m_dir + "/t", "--json", "--quiet"});
  ASSERT_EQ(byTable.status, 0) << byTable.err;
  EXPECT_EQ(offsets(byTable), expected);
  const auto byRange = runTessary({"carve", image, "--start-sector", "2048", "--end-sector", "4351", "--out",
                                   m_dir + "/r", "--json", "--quiet"});
  ASSERT_EQ(byRange.status, 0) << byRange.err;
  EXPECT_EQ(offsets(byRange), expected);
}

TEST(ProtectiveMbr, OnlyASingleProtectiveEntryMarksAGptDisk) {
  std::array<std::byte, 512> sector{};
  auto entry = [&](int index, std::uint8_t type) { sector[446 + 16 * index + 4] = std::byte{type}; };
  entry(0, 0xEE);
  EXPECT_FALSE(mbrHoldsOnlyProtectiveEntry(sector)) << "no boot signature";
  sector[510] = std::byte{0x55};
  sector[511] = std::byte{0xAA};
  EXPECT_TRUE(mbrHoldsOnlyProtectiveEntry(sector));
  entry(3, 0x07);
  EXPECT_FALSE(mbrHoldsOnlyProtectiveEntry(sector)) << "a hybrid table lists real volumes too";
  entry(3, 0xEE);
  EXPECT_FALSE(mbrHoldsOnlyProtectiveEntry(sector));
  entry(0, 0x00);
  entry(3, 0x00);
  EXPECT_FALSE(mbrHoldsOnlyProtectiveEntry(sector)) << "an empty table";
}

TEST_F(CliGuidanceTest, AGptDiskReadAsMbrKeepsItsUnknownRowAndSuggestsGpt) {
  if (!test::haveFixture("gpt_volumes.vhdx")) GTEST_SKIP() << "no gpt_volumes";
  const std::string image = test::fixturePath("gpt_volumes.vhdx");
  const auto mbr = runTessary({"volumes", image, "--json", "--quiet"});
  ASSERT_EQ(mbr.status, 0) << mbr.err;
  const auto rows = mbr.objects();
  ASSERT_EQ(rows.size(), 1u);
  EXPECT_EQ(rows[0]["file_system"], "Unknown");
  EXPECT_TRUE(has(mbr.err, "hint: the MBR holds only a protective entry (type 0xEE)")) << mbr.err;
  EXPECT_TRUE(has(mbr.err, "add --gpt")) << mbr.err;

  const auto ls = runTessary({"ls", image, "--volume", "0", "--quiet"});
  EXPECT_EQ(ls.status, 1);
  EXPECT_EQ(firstLine(ls.err), "can not parse unknown volume");
  EXPECT_TRUE(has(ls.err, "add --gpt")) << ls.err;

  // Read as GPT, the Linux partition is labelled by its superblock and lists without --fs.
  const auto gpt = runTessary({"volumes", image, "--gpt", "--json", "--quiet"});
  ASSERT_EQ(gpt.status, 0) << gpt.err;
  EXPECT_FALSE(has(gpt.err, "hint:")) << gpt.err;
  std::string extVolume;
  for (const auto& row : gpt.objects())
    if (row["start_sector"] == 151552) {
      EXPECT_EQ(row["file_system"], "extX");
      EXPECT_EQ(row["size_bytes"], 16u << 20);
      extVolume = std::to_string(row["volume"].get<int>());
    }
  ASSERT_FALSE(extVolume.empty());
  const auto ext = runTessary({"ls", image, "--gpt", "--volume", extVolume, "--json", "--quiet"});
  EXPECT_EQ(ext.status, 0) << ext.err;
}

TEST_F(CliGuidanceTest, AFileThatIsNoImageSaysSo) {
  const std::string text = m_dir + "/notes.vhdx";
  std::ofstream(text) << "These are notes, not a disk.\n";
  const auto info = runTessary({"info", text});
  EXPECT_EQ(info.status, 1);
  // Named like a VHDX but holding no header of any format: the hint says how to read it after all.
  EXPECT_TRUE(has(info.err, "holds no VHDX, VHD, VDI, VMDK or qcow2 header")) << info.err;
  EXPECT_TRUE(has(info.err, ".img")) << info.err;
}

TEST_F(CliGuidanceTest, SearchNamesTheRegexFormAndCountsItsHits) {
  if (!test::haveFixture("sample.vhdx")) GTEST_SKIP() << "no sample";
  if (!NamePattern::automatonAvailable()) GTEST_SKIP() << "this build has no automaton matcher (no RE2)";
  const std::string image = test::fixturePath("sample.vhdx");
  const auto glob = runTessary({"search", image, "--volume", "0", "*.txt", "--quiet"});
  EXPECT_EQ(glob.status, 1);
  EXPECT_EQ(firstLine(glob.err), "such characters are not allowed for search.Try again with different pattern.");
  EXPECT_TRUE(has(glob.err, "'\\.jpg$'")) << glob.err;

  const auto none = runTessary({"search", image, "--volume", "0", "jpg|png", "--quiet"});
  EXPECT_EQ(none.status, 0);
  EXPECT_EQ(none.out, "");
  EXPECT_TRUE(has(none.err, "no file name matches jpg|png")) << none.err;

  // Letters: six files, one of them deleted; a header row above them.
  const auto hits = runTessary({"search", image, "--volume", "0", "^letter-|to-delete", "--quiet"});
  ASSERT_EQ(hits.status, 0) << hits.err;
  const auto shown = lines(hits.out);
  ASSERT_EQ(shown.size(), 7u) << hits.out;
  EXPECT_TRUE(has(shown[0], "MODIFIED") && has(shown[0], "PATH")) << shown[0];
  EXPECT_TRUE(has(hits.err, "6 files match")) << hits.err;
  EXPECT_TRUE(has(hits.err, "1 of them deleted")) << hits.err;
}

TEST_F(CliGuidanceTest, RecoverCountsWhatItSavedAndMatchesNamesAsFatDoes) {
  if (!test::haveFixture("fat16.vhdx")) GTEST_SKIP() << "no fat16";
  const std::string image = test::fixturePath("fat16.vhdx");
  // The 8.3 folder is listed without its padding blanks.
  const auto ls = runTessary({"ls", image, "--volume", "0", "--quiet"});
  ASSERT_EQ(ls.status, 0) << ls.err;
  EXPECT_TRUE(has(ls.out, " DOCS/\n")) << ls.out;
  EXPECT_TRUE(has(ls.out, " DOCS/NOTES.TXT\n")) << ls.out;
  EXPECT_TRUE(has(firstLine(ls.out), "PATH"));

  // Case and padding do not matter on FAT.
  const std::string out = m_dir + "/out";
  const auto one = runTessary({"recover", image, "--volume", "0", "--out", out, "docs/notes.txt", "--quiet"});
  ASSERT_EQ(one.status, 0) << one.err;
  EXPECT_EQ(fs::file_size(out + "/DOCS/NOTES.TXT"), 1200u);
  EXPECT_TRUE(has(one.err, "saved 1 files (1200 bytes, 0 of them deleted)")) << one.err;
  const auto padded = runTessary({"recover", image, "--volume", "0", "--out", out, "DOCS   /NOTES.TXT", "--quiet"});
  EXPECT_EQ(padded.status, 0) << padded.err;

  const auto wrong = runTessary({"recover", image, "--volume", "0", "--out", out, "DOCS/NOPE.TXT", "--quiet"});
  EXPECT_EQ(wrong.status, 1);
  EXPECT_TRUE(has(wrong.err, "no such entry: DOCS/NOPE.TXT\nhint: `tessary ls` lists the paths")) << wrong.err;

}

TEST_F(CliGuidanceTest, RecoverSumsUpWhatItSavedAndADeletedShortNameKeepsItsDeletionMark) {
  if (!test::haveFixture("sample.vhdx")) GTEST_SKIP() << "no sample";
  const std::string image = test::fixturePath("sample.vhdx");
  // The FAT32 volume's files from the manifest: their count, bytes and deleted ones.
  std::uint64_t files = 0, bytes = 0, deleted = 0;
  const nlohmann::json sample = manifest("sample.json");
  for (const auto& e : sample["volumes"][1]["entries"]) {
    if (e["folder"].get<bool>()) continue;
    ++files;
    bytes += e["size"].get<std::uint64_t>();
    if (e["deleted"].get<bool>()) ++deleted;
  }
  const auto all = runTessary({"recover", image, "--volume", "1", "--out", m_dir + "/all", "--quiet"});
  ASSERT_EQ(all.status, 0) << all.err;
  std::ostringstream summary;
  summary << "saved " << files << " files (" << bytes << " bytes, " << deleted << " of them deleted) below " << m_dir
          << "/all; 0 failed\n";
  EXPECT_EQ(all.err, summary.str());
  // "removed.txt" kept no long name: its short name lost the first character to the deletion mark, which
  // the FAT tree shows as U+FFE5.
  EXPECT_TRUE(pathExists(m_dir + "/all/Docs/\xEF\xBF\xA5" "emoved.txt"));  // a UTF-8 name: the host layer's call
  const auto ls = runTessary({"ls", image, "--volume", "1", "--json", "--quiet"});
  bool listed = false;
  for (const auto& o : ls.objects()) listed = listed || (o["path"] == "Docs/\xEF\xBF\xA5" "emoved.txt" && o["deleted"] == true);
  EXPECT_TRUE(listed) << ls.out;

  // No default signature matches what this volume holds.
  const auto empty = runTessary({"carve", image, "--volume", "1", "--out", m_dir + "/carved", "--quiet"});
  EXPECT_EQ(empty.status, 0) << empty.err;
  EXPECT_TRUE(has(empty.err, "no files carved")) << empty.err;
}

TEST_F(CliGuidanceTest, JsonTimesAreTheStoredTimesInUtc) {
  if (!test::haveFixture("sample.vhdx") || !test::haveFixture("fat16.vhdx")) GTEST_SKIP() << "no fixtures";
  // NTFS against the manifest's ISO times.
  const auto ntfs = runTessary({"ls", test::fixturePath("sample.vhdx"), "--volume", "0", "--json", "--quiet"});
  ASSERT_EQ(ntfs.status, 0) << ntfs.err;
  std::map<std::string, nlohmann::json> listed;
  for (const auto& o : ntfs.objects()) listed[o["path"].get<std::string>()] = o;
  int compared = 0;
  const nlohmann::json sample = manifest("sample.json");
  for (const auto& e : sample["volumes"][0]["entries"]) {
    const auto it = listed.find(e["path"].get<std::string>());
    ASSERT_NE(it, listed.end()) << e["path"];
    EXPECT_EQ(it->second["created_utc"], e["created"]) << e["path"];
    EXPECT_EQ(it->second["accessed_utc"], e["accessed"]) << e["path"];
    EXPECT_EQ(it->second["modified_utc"], e["modified"]) << e["path"];
    EXPECT_TRUE(it->second["size"].is_number());
    ++compared;
  }
  EXPECT_EQ(compared, 39);

  // FAT keeps two-second steps, read as given.
  const auto fat = runTessary({"ls", test::fixturePath("fat16.vhdx"), "--volume", "0", "--json", "--quiet"});
  ASSERT_EQ(fat.status, 0) << fat.err;
  for (const auto& o : fat.objects())
    if (o["path"] == "DOCS/NOTES.TXT") {
      const std::int64_t seconds = 1590018310;  // the manifest's modification time
      char text[32];
      const std::time_t t = seconds;
      std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", std::gmtime(&t));
      EXPECT_EQ(o["modified_utc"], text);
      ++compared;
    }
  EXPECT_EQ(compared, 40);
}

TEST_F(CliGuidanceTest, TheBodyFileCarriesTheInodesAndUnixTimesAndMactimeReadsIt) {
  if (!test::haveFixture("ext_kernel.vhdx")) GTEST_SKIP() << "no ext_kernel";
  const nlohmann::json volumeManifest = manifest("ext_kernel.json")["volumes"][0];
  // The manifest's volume is found by its start sector.
  const auto volumes = runTessary({"volumes", test::fixturePath("ext_kernel.vhdx"), "--json", "--quiet"});
  ASSERT_EQ(volumes.status, 0) << volumes.err;
  std::string volume;
  for (const auto& row : volumes.objects())
    if (row["start_sector"] == volumeManifest["start_sector"]) volume = std::to_string(row["volume"].get<int>());
  ASSERT_FALSE(volume.empty());
  const auto body = runTessary({"ls", test::fixturePath("ext_kernel.vhdx"), "--volume", volume, "--bodyfile", "--quiet"});
  ASSERT_EQ(body.status, 0) << body.err;
  std::map<std::string, std::vector<std::string>> byName;
  for (const std::string& line : lines(body.out)) {
    const auto f = fields(line);
    ASSERT_EQ(f.size(), 11u) << line;
    EXPECT_EQ(f[0], "0");
    byName[f[1]] = f;
  }
  int compared = 0;
  for (const auto& e : volumeManifest["entries"]) {
    if (e["deleted"].get<bool>()) continue;
    const auto it = byName.find("/" + e["path"].get<std::string>());
    if (it == byName.end()) continue;
    const auto& f = it->second;
    EXPECT_EQ(f[2], std::to_string(e["inode"].get<std::uint64_t>())) << f[1];
    if (e["folder"].get<bool>()) {
      EXPECT_EQ(f[3].substr(0, 3), "d/d") << f[1];
    } else if (!e["symlink"].get<bool>()) {
      EXPECT_EQ(f[3].substr(0, 3), "r/r") << f[1];
      EXPECT_EQ(f[6], std::to_string(e["size"].get<std::uint64_t>())) << f[1];
    }
    EXPECT_EQ(f[7], std::to_string(e["accessed"].get<std::int64_t>())) << f[1];
    EXPECT_EQ(f[8], std::to_string(e["modified"].get<std::int64_t>())) << f[1];
    EXPECT_EQ(f[9], std::to_string(e["changed"].get<std::int64_t>())) << f[1];
    ++compared;
  }
  EXPECT_GT(compared, 10);

  if (test::runCommand("command -v mactime > /dev/null") != 0) GTEST_SKIP() << "no mactime";
  const std::string file = m_dir + "/body.txt";
  std::ofstream(file) << body.out;
  std::string timeline;
  ASSERT_EQ(test::runCommand("mactime -z UTC -d -b '" + file + "' 2>&1", &timeline), 0) << timeline;
  EXPECT_TRUE(has(timeline, "/docs/letter.txt")) << timeline.substr(0, 2000);
  // 2020-01-01 03:00:00 UTC is letter.txt's modification (1577847600).
  EXPECT_TRUE(has(timeline, "2020")) << timeline.substr(0, 2000);
}

TEST_F(CliGuidanceTest, SectorsPerClusterIsTakenByValueOrByPosition) {
  if (!test::haveFixture("fat16.vhdx")) GTEST_SKIP() << "no fat16";
  const std::string image = test::fixturePath("fat16.vhdx");
  // The list starts with the boot sector's own 1, then 4, 8, ...
  const auto one = runTessary({"ls", image, "--volume", "0", "--mode", "advanced", "--sectors-per-cluster", "1",
                               "--json", "--quiet"});
  ASSERT_EQ(one.status, 0) << one.err;
  const auto first = runTessary({"ls", image, "--volume", "0", "--mode", "advanced", "--sectors-per-cluster-item",
                                 "0", "--json", "--quiet"});
  ASSERT_EQ(first.status, 0) << first.err;
  EXPECT_EQ(one.out, first.out);
  EXPECT_FALSE(one.objects().empty());

  const auto absent = runTessary({"ls", image, "--volume", "0", "--mode", "advanced", "--sectors-per-cluster", "3",
                                  "--quiet"});
  EXPECT_EQ(absent.status, 1);
  EXPECT_EQ(firstLine(absent.err).rfind("\"Sector Per Cluster :\" offers no 3; it lists 1, 4", 0), 0u) << absent.err;
  const auto both = runTessary({"ls", image, "--volume", "0", "--mode", "advanced", "--sectors-per-cluster", "1",
                                "--sectors-per-cluster-item", "0"});
  EXPECT_EQ(both.status, 2);
}

TEST_F(CliGuidanceTest, ExportNamesTheFileAfterARelativeImagePath) {
  if (!test::haveFixture("sample.vhdx")) GTEST_SKIP() << "no sample";
  fs::copy_file(test::fixturePath("sample.vhdx"), m_dir + "/sample.vhdx");
  const fs::path before = fs::current_path();
  fs::current_path(m_dir);
  const auto run = runTessary({"export", "sample.vhdx", "--out", "exp", "--quiet"});
  fs::current_path(before);
  ASSERT_EQ(run.status, 0) << run.err;
  EXPECT_EQ(run.out, "exp/sample.vhdx.img\n");
  EXPECT_TRUE(fs::exists(m_dir + "/exp/sample.vhdx.img"));
  EXPECT_FALSE(fs::exists(m_dir + "/exp/Recovered_diskimg.img"));
}

}  // namespace
}  // namespace tessary
