// NTFS without a trusted MFT location: the search for MFT starts (advanced mode) and the deep scan, on
// real volumes and on a volume whose old records lie beside a newer MFT.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <map>
#include <set>

#include "support/cli_runner.h"
#include "support/fixtures.h"
#include "support/ntfs_harness.h"
#include "support/sha256.h"

namespace tessary {
namespace {

using test::ParsedNtfs;

std::map<std::string, test::ListedEntry> listing(const ntfs& parser, bool withOrphans) {
  std::map<std::string, test::ListedEntry> out;
  for (const auto& e : test::listTree(parser))
    if (withOrphans || e.path.rfind("ORPHAN_ENTRY", 0) != 0) out[e.path] = e;
  return out;
}

bool parseFixture(ParsedNtfs& parsed, int mode, const std::string& name = "ntfs_tree") {
  parsed.mode = mode;
  const auto manifest = test::loadManifest(name + ".json");
  return manifest && parsed.openFixture(name + ".vhdx", manifest->startSector, name == "ntfs_tree" ? "39" : "15");
}
bool parseTree(ParsedNtfs& parsed, int mode) { return parseFixture(parsed, mode); }

class NtfsDeepScan : public ::testing::TestWithParam<const char*> {};

TEST_P(NtfsDeepScan, AnIntactVolumeGivesTheStandardTreeApartFromTheOrphans) {
  ParsedNtfs standard;
  ParsedNtfs deep;
  if (!parseFixture(standard, 1, GetParam()) || !parseFixture(deep, 3, GetParam())) GTEST_SKIP() << "no fixture";
  const auto expected = listing(standard.parser, false);
  const auto found = listing(deep.parser, false);
  ASSERT_GT(expected.size(), 10u);
  for (const auto& [path, entry] : expected) {
    SCOPED_TRACE(path);
    const auto it = found.find(path);
    if (it == found.end()) {
      for (const auto& [p, e] : listing(deep.parser, true)) ADD_FAILURE() << "deep: " << p;
    }
    ASSERT_NE(it, found.end());
    EXPECT_EQ(it->second.folder, entry.folder);
    EXPECT_EQ(it->second.deleted, entry.deleted);
    EXPECT_EQ(deep.parser.entryDataSize(it->second.index), standard.parser.entryDataSize(entry.index));
  }
  // The standard tree cannot show record 0 ($MFT): index 0 ends its chains. Nothing else is new.
  for (const auto& [path, entry] : found)
    EXPECT_TRUE(expected.count(path) || path == "$MFT") << path << " only in deep mode";
  EXPECT_TRUE(deep.sink.sawStatus(" scanning for mft entries in deep mode ...."));
  EXPECT_FALSE(deep.parser.mftRunKnown());
}

INSTANTIATE_TEST_SUITE_P(Volumes, NtfsDeepScan, ::testing::Values("ntfs_tree", "ntfs_fragmented", "ntfs_compressed"));

// The boot sector and the MFT's first records (its own, the mirror's, the log's, the volume's) zeroed:
// every file still comes back in its folder with its bytes.
TEST(NtfsDeepScanTree, AVolumeWithoutBootSectorAndMftStartKeepsItsFilesAndFolders) {
  const auto manifest = test::loadManifest("ntfs_tree.json");
  ParsedNtfs standard;
  if (!manifest || !parseTree(standard, 1)) GTEST_SKIP() << "no ntfs_tree fixture";
  const std::string dir = test::makeTempDir("tessary-deep-damaged-");
  const std::string raw = test::rawVolume("ntfs_tree.vhdx", dir);
  if (raw.empty()) GTEST_SKIP() << "qemu-img is not installed";
  const std::string disk = test::readHostFile(raw);
  test::removeTree(dir);
  const auto volumeStart = static_cast<std::size_t>(manifest->startSector) * 512;
  ASSERT_GT(disk.size(), volumeStart);
  test::ByteVector volume(disk.size() - volumeStart);
  std::memcpy(volume.data(), disk.data() + volumeStart, volume.size());
  const auto mftStart = static_cast<std::size_t>(standard.parser.entries()[0].recordOffset);
  std::fill(volume.begin(), volume.begin() + 512, std::byte{0});
  std::fill(volume.begin() + static_cast<std::ptrdiff_t>(mftStart),
            volume.begin() + static_cast<std::ptrdiff_t>(mftStart + 4 * kMftRecordSize), std::byte{0});
  ParsedNtfs deep;
  deep.mode = 3;
  deep.openMemory(volume, "39");
  const auto found = listing(deep.parser, true);
  int files = 0;
  for (const auto& e : manifest->entries) {
    if (e.folder || e.deleted || e.orphan) continue;
    SCOPED_TRACE(e.path);
    const auto it = found.find(e.path);
    ASSERT_NE(it, found.end());
    MemorySink sink(e.size + 1);
    EXPECT_TRUE(deep.parser.writeEntryData(it->second.index, sink));
    EXPECT_EQ(test::sha256Hex(sink.bytes()), e.sha256);
    ++files;
  }
  EXPECT_GT(files, 5);
}

// A disk partitioned again and a new volume quick-formatted over the older one: deep mode brings back
// both generations, each file in its own folder (the old ones below the old root's folders, not hidden
// below that root nor filed into the new folders of the same record numbers) with its bytes.
TEST(NtfsDeepScanReformatted, BothGenerationsComeBackInTheirFoldersWithTheirBytes) {
  const auto manifest = test::loadManifest("ntfs_reformatted.json");
  ParsedNtfs deep;
  deep.mode = 3;
  if (!manifest || !deep.openFixture("ntfs_reformatted.vhdx", manifest->startSector, "47")) GTEST_SKIP();
  const auto found = listing(deep.parser, true);
  int checked[3] = {0, 0, 0};
  for (const auto& e : manifest->entries) {
    if (e.deleted) continue;
    SCOPED_TRACE(e.path);
    const auto it = found.find(e.path);
    ASSERT_NE(it, found.end());
    EXPECT_EQ(it->second.folder, e.folder);
    if (e.folder || !e.intact) continue;
    MemorySink sink(e.size + 1);
    EXPECT_TRUE(deep.parser.writeEntryData(it->second.index, sink));
    EXPECT_EQ(test::sha256Hex(sink.bytes()), e.sha256);
    ++checked[std::clamp(e.generation, 0, 2)];
  }
  EXPECT_GE(checked[1], 15);
  EXPECT_GE(checked[2], 3);
  // The new volume's own MFT knows only the new generation.
  ParsedNtfs standard;
  ASSERT_TRUE(standard.openFixture("ntfs_reformatted.vhdx", manifest->startSector, "47"));
  const auto listed = listing(standard.parser, true);
  EXPECT_TRUE(listed.count("New Projects/plan.txt"));
  EXPECT_FALSE(listed.count("Old Reports"));
}

TEST(NtfsDeepScanTree, AFileWhoseFolderRecordWasReusedIsAnOrphan) {
  ParsedNtfs deep;
  if (!parseTree(deep, 3)) GTEST_SKIP() << "no ntfs_tree fixture";
  EXPECT_TRUE(listing(deep.parser, true).count("ORPHAN_ENTRY/orphan.txt"));
}

TEST(NtfsDeepScanTree, StopEndsTheScanWithWhatWasFound) {
  ParsedNtfs deep;
  deep.parser.stopFlag() = 1;
  if (!parseTree(deep, 3)) GTEST_SKIP() << "no ntfs_tree fixture";
  // Nothing was found; the top level still shows the orphan folder.
  const auto top = deep.tree.children(deep.tree.rootItem());
  ASSERT_EQ(top.size(), 1u);
  EXPECT_EQ(deep.tree.itemText(top[0]), "ORPHAN_ENTRY");
}

TEST(NtfsMftSearch, AHealthyVolumeHasOneCandidateAtItsMftAndTheAdvancedParseMatchesTheStandard) {
  ParsedNtfs standard;
  ParsedNtfs advanced;
  if (!parseTree(standard, 1) || !parseTree(advanced, 2)) GTEST_SKIP() << "no ntfs_tree fixture";
  ASSERT_EQ(advanced.parser.mftCandidates().size(), 1u);
  // The MFT starts at record 0; the standard parse knows where from the boot sector.
  const std::int64_t candidate = advanced.parser.mftCandidates()[0].recordOffset;
  const std::int64_t mftStart = standard.parser.entries()[0].recordOffset;
  EXPECT_EQ(candidate, mftStart);
  EXPECT_TRUE(advanced.sink.sawStatus("MFT ENTRY 8 Found.Parsing it ..."));
  EXPECT_TRUE(advanced.parser.mftRunKnown());
  const auto expected = listing(standard.parser, true);
  const auto found = listing(advanced.parser, true);
  EXPECT_EQ(found.size(), expected.size());
  for (const auto& [path, entry] : expected) EXPECT_TRUE(found.count(path)) << path;
}

TEST(NtfsMftSearch, ACandidateOutOfRangeOrWithoutARunLeavesOnlyTheOrphanFolder) {
  ParsedNtfs advanced;
  if (!parseTree(advanced, 2)) GTEST_SKIP() << "no ntfs_tree fixture";
  EXPECT_FALSE(advanced.parser.selectMftCandidate(1));
  EXPECT_TRUE(advanced.sink.sawStatus("MFT_ENTRY:1 gives no run list of the MFT; only ORPHAN_ENTRY can be listed."));
  EXPECT_FALSE(advanced.parser.selectMftCandidate(-1));
  EXPECT_FALSE(advanced.parser.mftRunKnown());
  EXPECT_TRUE(advanced.parser.selectMftCandidate(0));
}

TEST(NtfsMftSearch, AStopDuringTheSearchIsClearedSoTheParseCanRun) {
  ParsedNtfs advanced;
  advanced.parser.stopFlag() = 1;
  if (!parseTree(advanced, 2)) GTEST_SKIP() << "no ntfs_tree fixture";
  EXPECT_TRUE(advanced.parser.mftCandidates().empty());
  EXPECT_EQ(advanced.parser.stopFlag().load(), 0);
}

// The command line walks the advanced-input page and the recovery-mode page's Deep choice.
TEST(NtfsModesOnTheCommandLine, CandidatesAdvancedAndDeepListingsAgreeWithTheStandardOne) {
  if (!test::haveFixture("ntfs_tree.vhdx")) GTEST_SKIP() << "no ntfs_tree fixture";
  const std::string image = test::fixturePath("ntfs_tree.vhdx");
  const test::CliResult candidates = test::runTessary({"candidates", image, "--volume", "0", "--json"});
  ASSERT_EQ(candidates.status, 0) << candidates.err;
  std::vector<std::string> texts;
  for (const auto& item : candidates.objects()) texts.push_back(item["text"].get<std::string>());
  EXPECT_EQ(texts, (std::vector<std::string>{"MFT_ENTRY:0", "8", "4", "2", "16", "32", "64"}));
  const test::CliResult standard = test::runTessary({"ls", image, "--volume", "0"});
  ASSERT_EQ(standard.status, 0) << standard.err;
  // Candidate 0 with 8 sectors per cluster is this volume's own MFT and cluster size.
  const test::CliResult advanced = test::runTessary({"ls", image, "--volume", "0", "--mode", "advanced"});
  ASSERT_EQ(advanced.status, 0) << advanced.err;
  EXPECT_EQ(advanced.out, standard.out);
  const test::CliResult deep = test::runTessary({"ls", image, "--volume", "0", "--mode", "deep", "--json"});
  ASSERT_EQ(deep.status, 0) << deep.err;
  std::set<std::string> deepPaths;
  for (const auto& e : deep.objects()) deepPaths.insert(e["path"].get<std::string>());
  EXPECT_TRUE(deepPaths.count("Documents"));
  EXPECT_TRUE(deepPaths.count("ORPHAN_ENTRY/orphan.txt"));
}

// Neither a partition table nor a boot sector: the volume is given by hand and parsed in deep mode.
TEST(NtfsModesOnTheCommandLine, DeepModeListsACustomVolumeOfADiskWithoutTableOrBootSector) {
  const auto manifest = test::loadManifest("ntfs_noboot.json");
  if (!manifest || !test::haveFixture("ntfs_noboot.vhdx")) GTEST_SKIP() << "no ntfs_noboot fixture";
  const std::string dir = test::makeTempDir("tessary-deep-notable-");
  const std::string raw = test::rawVolume("ntfs_noboot.vhdx", dir);
  if (raw.empty()) GTEST_SKIP() << "qemu-img is not installed";
  test::runCommand("dd if=/dev/zero of='" + raw + "' bs=512 count=1 conv=notrunc status=none");
  const std::string image = dir + "/notable.vhdx";
  test::runCommand("qemu-img convert -f raw -O vhdx '" + raw + "' '" + image + "'");
  const test::CliResult listed = test::runTessary(
      {"ls", image, "--start-sector", std::to_string(manifest->startSector), "--end-sector",
       std::to_string(manifest->startSector + manifest->sectorCount - 1), "--fs", "NTFS", "--mode", "deep", "--json"});
  test::removeTree(dir);
  ASSERT_EQ(listed.status, 0) << listed.err;
  std::set<std::string> paths;
  for (const auto& e : listed.objects()) paths.insert(e["path"].get<std::string>());
  int found = 0;
  for (const auto& e : manifest->entries) {
    if (e.deleted || e.orphan || !e.recycledName.empty()) continue;
    EXPECT_TRUE(paths.count(e.path)) << e.path;
    ++found;
  }
  EXPECT_GT(found, 10);
}

TEST(NtfsModesOnTheCommandLine, DeepModeRecoversAVolumeWithoutItsBootSector) {
  const auto manifest = test::loadManifest("ntfs_noboot.json");
  if (!manifest || !test::haveFixture("ntfs_noboot.vhdx")) GTEST_SKIP() << "no ntfs_noboot fixture";
  const std::string out = test::makeTempDir("tessary-deep-");
  const test::CliResult result = test::runTessary(
      {"recover", test::fixturePath("ntfs_noboot.vhdx"), "--volume", "0", "--mode", "deep", "--out", out});
  ASSERT_EQ(result.status, 0) << result.err;
  int files = 0;
  for (const auto& e : manifest->entries) {
    if (e.folder || e.deleted || e.orphan) continue;
    // A recycle-bin file is saved under the name its info record holds.
    std::string path = e.path;
    if (!e.recycledName.empty()) path = path.substr(0, path.rfind('/') + 1) + e.recycledName;
    EXPECT_EQ(test::fileSha256(out + "/" + path), e.sha256) << path;
    ++files;
  }
  EXPECT_GT(files, 5);
  test::removeTree(out);
}

}  // namespace
}  // namespace tessary
