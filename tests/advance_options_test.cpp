// The advanced-input page and the command line's Advanced road: a label without a family starts nothing
// and Next refuses; the FAT32 search fills the lists and holds Next until it ends; `tessary candidates`
// prints the lists, and `ls`/`recover --mode advanced` parse through the chosen candidate.
#include <gtest/gtest.h>

#include <filesystem>

#include "app/advance_options.h"
#include "app/wizard_state.h"
#include "disk/vhdx_reader.h"
#include "results/volume_scan_dlg.h"
#include "support/cli_runner.h"
#include "support/fixtures.h"
#include "support/recording_sink.h"

namespace tessary {
namespace {

TEST(AdvanceOptions, ALabelOfNoFamilyStartsNoWorkerAndNextRefuses) {
  WizardState state;
  state.selectedVolume = VolumeEntry{"CUSTOM ", "", "0", "10   MB", 2048};
  state.diskReader = std::make_unique<FileReadSeekVHDX>(state.disk);
  PageView view;
  RecordingSink sink;
  advanceOptions page(state, view, sink);
  page.onOpen();
  EXPECT_FALSE(page.workerRunning());
  EXPECT_EQ(page.parser(), nullptr);
  EXPECT_EQ(page.onNext(), advanceOptions::NextPage::None);
  ASSERT_FALSE(sink.messages().empty());
  EXPECT_EQ(sink.messages().back(), "No File system Entry Found.Process cannot be continue...");
}

TEST(AdvanceOptions, Fat32SearchFillsTheListsAndNextWaitsForIt) {
  if (!test::haveFixture("fat32.vhdx")) GTEST_SKIP();
  WizardState state;
  state.selectedVolume = VolumeEntry{"FAT32", "", "0", "34   MB", 2048};
  auto reader = std::make_unique<FileReadSeekVHDX>(state.disk);
  ASSERT_TRUE(reader->open(test::fixturePath("fat32.vhdx")));
  state.diskReader = std::move(reader);
  state.maxFileSystems = 3;
  PageView view;
  RecordingSink sink;
  advanceOptions page(state, view, sink);
  page.onOpen();
  // Next presses while the worker runs wait for it; the two never share the parser.
  EXPECT_EQ(page.onNext(), advanceOptions::NextPage::Results);
  EXPECT_TRUE(view.enabled(advanceOptions::kNext));
  const auto items = view.items(advanceOptions::kCandidates);
  ASSERT_EQ(items.size(), 2u);
  EXPECT_EQ(items[0], "FAT32_ENTRY:0");
  // The FAT copies of an mkfs.fat volume (entry 1 is 0x0FFFFFFF) are found.
  EXPECT_EQ(page.lists().candidates[0].offset, 32u * 512);
  const auto sizes = view.items(advanceOptions::kClusterSizes);
  ASSERT_EQ(sizes.size(), 7u);
  EXPECT_EQ(sizes[0], "1");
  EXPECT_EQ(sizes[1], "2");
  EXPECT_TRUE(view.items(advanceOptions::kHeapOffsets).empty());
  const auto messages = sink.messages();
  ASSERT_FALSE(messages.empty());
  EXPECT_EQ(messages[0], "Number of FAT32-ENTRY found = 2 . Please select the choice from combo box and click Parse button to proceed.");
  EXPECT_EQ(sink.statuses().back(), "Parsing done.Click Next to continue.");
}

// The names of the volume's top folder, and how many top items the tree holds.
std::pair<std::vector<std::string>, int> topLevel(VolumeScanDlg& page) {
  CXHtmlTree& tree = page.tree();
  int tops = 0;
  for (TreeItem item = tree.childItem(kTreeRoot); item != kNoItem; item = tree.nextSiblingItem(item)) ++tops;
  std::vector<std::string> names;
  const TreeItem top = page.parser() ? page.parser()->topItem() : kNoItem;
  if (top != kNoItem)
    for (TreeItem item = tree.childItem(top); item != kNoItem; item = tree.nextSiblingItem(item))
      names.push_back(tree.itemText(item));
  return {names, tops};
}

TEST(AdvanceOptions, ParseOnTheResultsPageParsesTheNtfsVolumeAgainFromTheNewChoices) {
  WizardState state;
  PageView view;
  RecordingSink sink;
  {
    // Nothing to choose from: Parse refuses.
    VolumeScanDlg page(state, view, sink);
    page.onParse();
    ASSERT_FALSE(sink.messages().empty());
    EXPECT_EQ(sink.messages().back(), "Inappropriate selection.....");
  }
  if (!test::haveFixture("ntfs_tree.vhdx")) GTEST_SKIP();
  state.selectedVolume = VolumeEntry{"NTFS", "", "0", "39   MB", 2048};
  auto reader = std::make_unique<FileReadSeekVHDX>(state.disk);
  ASSERT_TRUE(reader->open(test::fixturePath("ntfs_tree.vhdx")));
  state.diskReader = std::move(reader);
  state.maxFileSystems = 3;
  advanceOptions input(state, view, sink);
  input.onOpen();
  ASSERT_EQ(input.onNext(), advanceOptions::NextPage::Results);
  const AdvancedInput handed = input.handOver();
  ASSERT_EQ(handed.candidates.size(), 1u);
  ASSERT_EQ(handed.clusterSizes.size(), 6u);

  PageView resultsView;
  VolumeScanDlg results(state, resultsView, sink);
  results.onOpen(2, input.parser(), &handed);
  results.waitForWorker();
  EXPECT_TRUE(resultsView.shown(VolumeScanDlg::kAdvancedInput));
  EXPECT_EQ(resultsView.items(VolumeScanDlg::kClusterSizes), handed.clusterSizes);
  const auto [first, firstTops] = topLevel(results);
  EXPECT_EQ(firstTops, 1);
  EXPECT_NE(std::find(first.begin(), first.end(), "Documents"), first.end());

  // Another cluster size, then the right one again: each Parse replaces the tree, never adds to it.
  resultsView.setSelection(VolumeScanDlg::kClusterSizes, 4);  // "32"
  results.onParse();
  EXPECT_EQ(sink.statuses().back(), "Parsing the ntfs volume...");
  results.waitForWorker();
  const auto [wrong, wrongTops] = topLevel(results);
  EXPECT_EQ(wrongTops, 1);
  EXPECT_NE(wrong, first);
  resultsView.setSelection(VolumeScanDlg::kClusterSizes, 0);  // "8"
  results.onParse();
  results.waitForWorker();
  const auto [again, againTops] = topLevel(results);
  EXPECT_EQ(againTops, 1);
  EXPECT_EQ(again, first);
}

TEST(AdvanceOptionsCli, CandidatesPrintsTheThreeListsWithOffsets) {
  if (!test::haveFixture("fat16.vhdx")) GTEST_SKIP();
  const auto r = test::runTessary({"candidates", test::fixturePath("fat16.vhdx"), "--volume", "0", "--json", "--quiet"});
  ASSERT_EQ(r.status, 0) << r.err;
  const auto objects = r.objects();
  ASSERT_GE(objects.size(), 9u);
  EXPECT_EQ(objects[0]["list"], "TFS");
  EXPECT_EQ(objects[0]["text"], "FAT_ENTRY:0");
  EXPECT_EQ(objects[0]["offset"], 512);
  EXPECT_EQ(objects[2]["list"], "Sector Per Cluster");
  // The boot sector's own value first (one sector per cluster), then the fixed list.
  EXPECT_EQ(objects[2]["text"], "1");
  EXPECT_EQ(objects[3]["text"], "4");
  EXPECT_FALSE(objects[2].contains("offset"));
}

TEST(AdvanceOptionsCli, LsAndRecoverInTheAdvancedModeUseTheChosenCandidate) {
  if (!test::haveFixture("fat32.vhdx")) GTEST_SKIP();
  const std::string image = test::fixturePath("fat32.vhdx");
  const auto ls = test::runTessary({"ls", image, "--volume", "0", "--mode", "advanced", "--json", "--quiet"});
  ASSERT_EQ(ls.status, 0) << ls.err;
  bool deep = false, orphan = false;
  for (const auto& o : ls.objects()) {
    if (o["path"] == "Level One/Level Two/Level Three/deep file.bin") deep = o["size"] == 5000;
    if (o["path"] == "ORPHAN ENTRY") orphan = true;
  }
  EXPECT_TRUE(deep);
  EXPECT_TRUE(orphan);
  // The sectors-per-cluster choice past the list's end is refused.
  const auto bad = test::runTessary({"ls", image, "--volume", "0", "--mode", "advanced", "--sectors-per-cluster", "9", "--quiet"});
  EXPECT_EQ(bad.status, 1);
  const std::string out = test::makeTempDir("fat-advanced-recover");
  std::filesystem::remove_all(out);
  const auto rec = test::runTessary({"recover", image, "--volume", "0", "--mode", "advanced", "--out", out, "--json",
                                     "--quiet", "README.TXT"});
  ASSERT_EQ(rec.status, 0) << rec.err;
  EXPECT_EQ(std::filesystem::file_size(out + "/README.TXT"), 400u);
  std::filesystem::remove_all(out);
}

}  // namespace
}  // namespace tessary
