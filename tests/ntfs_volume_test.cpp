// The NTFS volume side on real volumes: MFT location, the entry table, the folder tree with its deleted
// and orphaned entries, and the detail list's time, size and attribute texts.
#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>
#include <map>
#include <set>

#include "platform/text.h"
#include "support/fixtures.h"
#include "support/ntfs_harness.h"
#include "support/recording_sink.h"

namespace tessary {
namespace {

using test::ListedEntry;
using test::ParsedNtfs;

std::map<std::string, ListedEntry> byPath(const std::vector<ListedEntry>& list) {
  std::map<std::string, ListedEntry> out;
  for (const auto& e : list) out[e.path] = e;
  return out;
}

class NtfsTreeFixture : public ::testing::Test {
 protected:
  void SetUp() override {
    auto manifest = test::loadManifest("ntfs_tree.json");
    if (!manifest || !m_parsed.openFixture("ntfs_tree.vhdx", manifest->startSector, "39")) GTEST_SKIP() << "no ntfs_tree fixture";
    m_manifest = *manifest;
    m_list = byPath(test::listTree(m_parsed.parser));
  }
  ParsedNtfs m_parsed;
  test::Manifest m_manifest;
  std::map<std::string, ListedEntry> m_list;
};

TEST_F(NtfsTreeFixture, EveryLiveFileIsListedAtItsPathWithItsRecordAndSize) {
  for (const auto& e : m_manifest.entries) {
    if (e.deleted) continue;
    SCOPED_TRACE(e.path);
    auto it = m_list.find(e.path);
    ASSERT_NE(it, m_list.end());
    EXPECT_EQ(it->second.index, e.record) << "entry index is the MFT record number";
    EXPECT_EQ(it->second.folder, e.folder);
    EXPECT_FALSE(it->second.deleted);
    if (!e.folder) {
      EXPECT_EQ(m_parsed.parser.entryDataSize(it->second.index), e.size);
    }
  }
}

TEST_F(NtfsTreeFixture, DeletedFilesAndFolderAreListedWhereTheyWereAndMarkedDeleted) {
  for (const std::string path : {"deleted.txt", "olddir", "olddir/inner.txt", "olddir/inner_small.txt"}) {
    SCOPED_TRACE(path);
    auto it = m_list.find(path);
    ASSERT_NE(it, m_list.end());
    EXPECT_TRUE(it->second.deleted);
    EXPECT_EQ(it->second.index, m_manifest.find(path)->record);
  }
  // The tree item of a deleted top-level entry is drawn as deleted.
  bool sawDeletedItem = false;
  for (TreeItem item : m_parsed.tree.children(m_parsed.parser.topItem()))
    if (m_parsed.tree.itemText(item) == "deleted.txt") sawDeletedItem = m_parsed.tree.isDeletedItem(item);
  EXPECT_TRUE(sawDeletedItem);
}

TEST_F(NtfsTreeFixture, FileWhoseFolderRecordWasReusedForAFileIsUnderOrphanEntry) {
  auto it = m_list.find("ORPHAN_ENTRY/orphan.txt");
  ASSERT_NE(it, m_list.end());
  EXPECT_EQ(it->second.index, m_manifest.find("orphan_parent/orphan.txt")->record);
  EXPECT_TRUE(it->second.deleted);
  EXPECT_FALSE(m_list.count("reused.txt/orphan.txt"));
  EXPECT_EQ(m_list.at("reused.txt").index, m_manifest.find("reused.txt")->record);
}

TEST_F(NtfsTreeFixture, RootIsRecordFiveAndOrphanFolderIsItsLastChild) {
  const ntfs& p = m_parsed.parser;
  EXPECT_EQ(p.rootIndex(), 5);
  EXPECT_EQ(p.entryName(5), ".");
  const auto top = p.childEntries(5);
  ASSERT_FALSE(top.empty());
  EXPECT_EQ(top.front(), 1) << "$MFTMirr comes first; $MFT (record 0) is never listed";
  EXPECT_EQ(top.back(), p.orphanIndex());
  EXPECT_EQ(p.entryName(p.orphanIndex()), "ORPHAN_ENTRY");
  EXPECT_EQ(p.orphanIndex(), p.entryCount() - 1);
  // The tree's top level under "ROOT" holds the same entries in the same order, as entry indexes.
  const TreeItem rootItem = m_parsed.tree.rootItem();
  EXPECT_EQ(m_parsed.tree.itemText(rootItem), "ROOT");
  EXPECT_EQ(m_parsed.tree.itemData(rootItem), ntfs::kNoEntry);
  EXPECT_TRUE(m_parsed.tree.GetCheck(rootItem));
  EXPECT_TRUE(m_parsed.tree.isExpanded(rootItem));
  const auto items = m_parsed.tree.children(rootItem);
  ASSERT_EQ(items.size(), top.size());
  for (std::size_t i = 0; i < items.size(); ++i) {
    EXPECT_EQ(m_parsed.tree.itemData(items[i]), top[i]);
    EXPECT_EQ(m_parsed.tree.itemIcon(items[i]), p.isFolder(top[i]) ? TreeIcon::Folder : TreeIcon::File);
  }
}

TEST_F(NtfsTreeFixture, NamesNeedingUtf16AndTheWin32NameOfADosPairAreShown) {
  EXPECT_TRUE(m_list.count("café.txt"));
  EXPECT_TRUE(m_list.count("日本/日本語.txt"));
  // The DOS name is stored first, the Win32 name last: the last one is shown, and the file is listed once.
  EXPECT_TRUE(m_list.count("Long file name.txt"));
  EXPECT_FALSE(m_list.count("LONGFI~1.TXT"));
}

TEST_F(NtfsTreeFixture, ListingMatchesTheSleuthKitForEveryLiveEntry) {
  if (!test::haveSleuthKit()) GTEST_SKIP() << "The Sleuth Kit is not installed";
  const std::string dir = test::makeTempDir("tessary-ntfs-fls-");
  const std::string raw = test::rawVolume("ntfs_tree.vhdx", dir);
  if (raw.empty()) GTEST_SKIP() << "qemu-img is not installed";
  const auto fls = test::flsLiveEntries(raw);
  ASSERT_FALSE(fls.empty());
  for (const auto& [path, record] : fls) {
    SCOPED_TRACE(path);
    auto it = m_list.find(path);
    ASSERT_NE(it, m_list.end());
    EXPECT_EQ(it->second.index, record);
  }
  for (const auto& [path, entry] : m_list) {
    if (entry.deleted || path.rfind("ORPHAN_ENTRY", 0) == 0) continue;
    EXPECT_TRUE(fls.count(path)) << path << " is listed but The Sleuth Kit does not know it";
  }
  test::removeTree(dir);
}

TEST_F(NtfsTreeFixture, StatusLinesAndProgressOfTheStandardParse) {
  const auto& sink = m_parsed.sink;
  EXPECT_TRUE(sink.sawStatus("boot sector is fine.Getting run of mft entry..."));
  EXPECT_TRUE(sink.sawStatus("Got run..."));
  EXPECT_TRUE(sink.sawStatus("parsing MFT entry 0..."));
  bool range = false;
  for (const auto& e : sink.events())
    if (e.kind == RecordingSink::Kind::Post && e.id == kMsgProgressRange && e.second == m_parsed.parser.entryCount() - 1)
      range = true;
  EXPECT_TRUE(range) << "progress range 0 .. number of records";
}

using TimeZoneGuard = test::ZoneGuard;

TEST_F(NtfsTreeFixture, TimesAreShownInTheTwelveHourFormOfLocalTime) {
  TimeZoneGuard utc("UTC0");
  ntfs& p = m_parsed.parser;
  const auto noon = p.formatEntryTimes(p.entries().at(static_cast<std::size_t>(m_list.at("times/noon.txt").index)));
  EXPECT_EQ(noon.creation, "06/15/2021  12:05 AM");
  EXPECT_EQ(noon.access, "06/15/2021  12:05 AM");
  EXPECT_EQ(noon.modification, "06/15/2021  12:05 AM");
  const auto afternoon =
      p.formatEntryTimes(p.entries().at(static_cast<std::size_t>(m_list.at("times/afternoon.txt").index)));
  EXPECT_EQ(afternoon.modification, "06/15/2021  01:05 PM");
  const auto midnight =
      p.formatEntryTimes(p.entries().at(static_cast<std::size_t>(m_list.at("times/midnight.txt").index)));
  EXPECT_EQ(midnight.modification, "06/15/2021  00:05 AM");
  // Creation, access and modification are three different stamps, shown in that order.
  const auto letter =
      p.formatEntryTimes(p.entries().at(static_cast<std::size_t>(m_list.at("Documents/Letters/letter.txt").index)));
  EXPECT_EQ(letter.creation, "01/06/2020  01:05 PM");
  EXPECT_EQ(letter.modification, "01/06/2020  02:05 PM");
  EXPECT_EQ(letter.access, "01/06/2020  03:05 PM");
}

TEST_F(NtfsTreeFixture, TimesFollowTheLocalZone) {
  TimeZoneGuard tokyo("JST-9");
  ntfs& p = m_parsed.parser;
  const auto noon = p.formatEntryTimes(p.entries().at(static_cast<std::size_t>(m_list.at("times/noon.txt").index)));
  EXPECT_EQ(noon.modification, "06/15/2021  09:05 PM");
}

TEST_F(NtfsTreeFixture, SizeTextsOfRealFiles) {
  ntfs& p = m_parsed.parser;
  EXPECT_EQ(p.formatEntrySize(m_list.at("Documents/empty.txt").index), "0 Bytes");
  EXPECT_EQ(p.formatEntrySize(m_list.at("Documents/res700.txt").index), "700 Bytes");
  EXPECT_EQ(p.formatEntrySize(m_list.at("Documents/c4096.bin").index), "4.00 KB");
  EXPECT_EQ(p.formatEntrySize(m_list.at("big3m.bin").index), "3.00 MB");
  EXPECT_EQ(p.formatEntrySize(m_list.at("Documents").index), "0 Bytes");
  // A named stream's bytes are not the file's size.
  EXPECT_EQ(p.entryDataSize(m_list.at("streams.txt").index), 23u);
}

TEST(NtfsNoBootFixture, ZeroedBootSectorIsScannedForTheMftRecordAndParsesTheSameTree) {
  auto manifest = test::loadManifest("ntfs_noboot.json");
  ParsedNtfs parsed;
  if (!manifest || !parsed.openFixture("ntfs_noboot.vhdx", manifest->startSector, "39")) GTEST_SKIP() << "no fixture";
  EXPECT_TRUE(parsed.sink.sawStatus("boot sector corrupt.Scanning for first mft entry..."));
  EXPECT_TRUE(parsed.sink.sawStatus("found mft entry.getting its run ..."));
  EXPECT_TRUE(parsed.parser.mftRunKnown());
  EXPECT_EQ(parsed.parser.clusterSize(), 4096);
  const auto list = byPath(test::listTree(parsed.parser));
  std::set<std::int64_t> liveRecords;
  for (const auto& e : manifest->entries)
    if (!e.deleted) liveRecords.insert(e.record);
  for (const auto& e : manifest->entries) {
    if (e.deleted && !e.orphan && !liveRecords.count(e.record)) {
      EXPECT_TRUE(list.count(e.path)) << e.path;
      continue;
    }
    if (e.deleted) continue;
    SCOPED_TRACE(e.path);
    ASSERT_TRUE(list.count(e.path));
    EXPECT_EQ(list.at(e.path).index, e.record);
    if (!e.folder) {
      EXPECT_EQ(parsed.parser.entryDataSize(list.at(e.path).index), e.size);
    }
  }
}

TEST(NtfsFragmentedFixture, SmallClustersHoldHalfARecordAndExtensionRecordsGiveTheirNameToTheBase) {
  auto manifest = test::loadManifest("ntfs_fragmented.json");
  ParsedNtfs parsed;
  if (!manifest || !parsed.openFixture("ntfs_fragmented.vhdx", manifest->startSector, "15")) GTEST_SKIP() << "no fixture";
  EXPECT_EQ(parsed.parser.clusterSize(), 512);
  const auto list = byPath(test::listTree(parsed.parser));
  for (const auto& e : manifest->entries) {
    SCOPED_TRACE(e.path);
    ASSERT_TRUE(list.count(e.path));
    // holes.bin keeps its $FILE_NAME in an extension record; the file is still its base record.
    EXPECT_EQ(list.at(e.path).index, e.record);
    if (!e.folder) {
      EXPECT_EQ(parsed.parser.entryDataSize(list.at(e.path).index), e.size);
    }
  }
  // The extension records hold no name of their own and are not listed beside their base record.
  int named = 0;
  for (const auto& [path, entry] : list) named += path.find("holes.bin") != std::string::npos;
  EXPECT_EQ(named, 2) << "holes.bin and fewer_holes.bin, once each";
}

}  // namespace
}  // namespace tessary
