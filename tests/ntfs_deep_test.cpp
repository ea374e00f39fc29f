// NTFS without a trusted MFT location: the search for MFT starts (advanced mode) and the deep scan, on
// real volumes and on a volume whose old records lie beside a newer MFT.
#include <gtest/gtest.h>

#include <map>
#include <set>

#include "support/fixtures.h"
#include "support/ntfs_harness.h"

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

}  // namespace
}  // namespace tessary
