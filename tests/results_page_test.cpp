// The results page and the save engine over an in-memory parser: worker ending, lazy folders, the detail
// list, Save, Save selected folder, recycle-bin names and hostile names and links.
#include <gtest/gtest.h>

#include "app/wizard_state.h"
#include "disk/vhdx_reader.h"
#include "platform/files.h"
#include "results/name_search.h"
#include "results/volume_scan_dlg.h"
#include "support/fixtures.h"
#include "support/memory_parser.h"
#include "support/recording_sink.h"

namespace tessary {
namespace {

class ResultsPageTest : public ::testing::Test {
 protected:
  void SetUp() override {
    // Two levels below a scratch folder of its own, so that names stepping up stay inside it.
    m_scratch = test::makeTempDir("tessary-results-");
    m_out = m_scratch + "/a/out";
    createDirectory(m_scratch + "/a");
    createDirectory(m_out);
    m_state.selectedVolume = VolumeEntry{"ntfs", "", "0", "10   MB", 2048};
    m_state.diskReader = std::make_unique<FileReadSeekVHDX>(m_state.disk);
    // ROOT
    //   docs/ (a.txt, b.txt, deep/ (c.txt))
    //   empty/
    //   $BadClus
    //   top.txt (deleted)
    m_docs = m_parser.add(1, "docs", true);
    m_a = m_parser.add(m_docs, "a.txt", false, "alpha");
    m_b = m_parser.add(m_docs, "b.txt", false, "bravo");
    m_deep = m_parser.add(m_docs, "deep", true);
    m_c = m_parser.add(m_deep, "c.txt", false, "charlie");
    m_empty = m_parser.add(1, "empty", true);
    m_bad = m_parser.add(1, "$BadClus", false, "never");
    m_top = m_parser.add(1, "top.txt", false, "top", true);
  }
  void TearDown() override { test::removeTree(m_scratch); }

  VolumeScanDlg& open() {
    m_page = std::make_unique<VolumeScanDlg>(m_state, m_view, m_sink);
    m_page->onOpen(1, &m_parser);
    m_page->waitForWorker();
    return *m_page;
  }

  TreeItem child(TreeItem parent, const std::string& text) {
    for (TreeItem i : m_page->tree().children(parent))
      if (m_page->tree().itemText(i) == text) return i;
    return kNoItem;
  }

  std::string out(const std::string& relative) { return test::readHostFile(m_out + "/" + relative); }

  std::string m_scratch;
  std::string m_out;
  WizardState m_state;
  PageView m_view;
  RecordingSink m_sink;
  test::MemoryParser m_parser;
  std::unique_ptr<VolumeScanDlg> m_page;
  std::int64_t m_docs = 0, m_a = 0, m_b = 0, m_deep = 0, m_c = 0, m_empty = 0, m_bad = 0, m_top = 0;
};

// A parse that failed once closed with "Scanning process completed." above its failure: its own text is
// the message now, and the page reports the failure.
TEST_F(ResultsPageTest, AFailedParseClosesWithItsOwnTextNotTheCompletionMessage) {
  m_parser.outcome = ParserSlot::WorkerOutcome{"Scanning process completed.", "No superblock was found.", true};
  VolumeScanDlg& page = open();
  EXPECT_FALSE(m_sink.sawMessage("Scanning process completed."));
  EXPECT_TRUE(m_sink.sawMessage("No superblock was found."));
  EXPECT_EQ(page.parseFailure(), std::optional<std::string>("No superblock was found."));
  // A parse that went well still closes with the completion message.
  m_parser.outcome.reset();
  m_sink.clear();
  open();
  EXPECT_TRUE(m_sink.sawMessage("Scanning process completed."));
}

TEST_F(ResultsPageTest, WorkerEndsWithTheTopLevelShownAndOnlyFoldersWithChildrenExpandable) {
  VolumeScanDlg& page = open();
  EXPECT_EQ(m_parser.workerRuns, 1);
  EXPECT_TRUE(m_sink.sawMessage("Scanning process completed."));
  EXPECT_EQ(m_sink.lastStatus(), "Processing done...");
  EXPECT_TRUE(m_view.enabled(VolumeScanDlg::kBack));
  EXPECT_FALSE(m_view.shown(VolumeScanDlg::kStop));
  const TreeItem top = page.tree().rootItem();
  EXPECT_EQ(page.tree().itemText(top), "ROOT");
  const TreeItem docs = child(top, "docs");
  ASSERT_NE(docs, kNoItem);
  EXPECT_EQ(page.tree().itemText(page.tree().childItem(docs)), "..DUMY..");
  EXPECT_FALSE(page.tree().hasChildren(child(top, "empty")));
  EXPECT_TRUE(page.tree().isDeletedItem(child(top, "top.txt")));
  EXPECT_TRUE(page.tree().GetCheck(top));
}

TEST_F(ResultsPageTest, ExpandingTwiceInsertsChildrenOnceWithTheFoldersTick) {
  VolumeScanDlg& page = open();
  const TreeItem docs = child(page.tree().rootItem(), "docs");
  page.tree().expand(docs, true);
  page.tree().expand(docs, false);
  page.tree().expand(docs, true);
  const auto kids = page.tree().children(docs);
  ASSERT_EQ(kids.size(), 3u);
  EXPECT_EQ(page.tree().itemText(kids[0]), "a.txt");
  EXPECT_TRUE(page.tree().GetCheck(kids[0]));  // the folder was ticked
  EXPECT_EQ(page.tree().itemText(page.tree().childItem(kids[2])), "..DUMY..");
  // Expanding the empty folder changes nothing.
  const TreeItem empty = child(page.tree().rootItem(), "empty");
  page.tree().expand(empty, true);
  EXPECT_FALSE(page.tree().hasChildren(empty));
}

TEST_F(ResultsPageTest, LabelClickListsTheFoldersFilesAndRowTicksReachTheTree) {
  VolumeScanDlg& page = open();
  const TreeItem top = page.tree().rootItem();
  page.tree().SetCheck(top, false);
  const TreeItem docs = child(top, "docs");
  page.tree().clickLabel(docs);
  ASSERT_EQ(page.list().rowCount(), 2u);  // folders get no row
  const auto row = page.list().row(0);
  EXPECT_EQ(row.texts, (std::vector<std::string>{"a.txt", "c", "a", "m", "5 Bytes", "-A"}));
  EXPECT_EQ(page.list().columns().front(), "FILES LIST ");
  page.list().clickRowCheckBox(1);
  const TreeItem b = child(docs, "b.txt");
  EXPECT_TRUE(page.tree().GetCheck(b));
  EXPECT_EQ(page.tree().displayedState(docs), kCheckPartial);
  // A file's label lists that file alone.
  page.tree().clickLabel(b);
  ASSERT_EQ(page.list().rowCount(), 1u);
  EXPECT_TRUE(page.list().rowChecked(0));
}

// The bar's position and its range's top when `message` was shown (the last of each before it).
std::pair<std::int64_t, std::int64_t> barWhen(const RecordingSink& sink, const std::string& message) {
  std::int64_t position = -1;
  std::int64_t high = -1;
  for (const auto& event : sink.events()) {
    if (event.kind == RecordingSink::Kind::Message && event.text == message) return {position, high};
    if (event.kind != RecordingSink::Kind::Post) continue;
    if (event.id == kMsgProgressRange) high = event.second;
    if (event.id == kMsgProgressPosition) position = event.first;
  }
  return {-2, -2};
}

TEST_F(ResultsPageTest, TheBarIsFullBeforeEachWorkerSaysItIsDone) {
  m_parser.progressSteps = 7;
  VolumeScanDlg& page = open();
  EXPECT_EQ(barWhen(m_sink, "Scanning process completed."), std::make_pair(std::int64_t{7}, std::int64_t{7}));
  m_sink.clear();
  m_view.setText(VolumeScanDlg::kSearchBox, "txt");
  page.onSearch();
  page.waitForWorker();
  const auto search = barWhen(m_sink, "Searching Finished");
  EXPECT_EQ(search.first, search.second);
  m_sink.clear();
  page.fillDetailList(child(page.tree().rootItem(), "docs"));  // the tree's ticks count again
  page.onSave(std::optional<std::string>(m_out));
  page.waitForWorker();
  const auto save = barWhen(m_sink, "Saving process completed done.....");
  EXPECT_GE(save.first, 0);
  EXPECT_EQ(save.first, save.second);
}

TEST_F(ResultsPageTest, DoubleClickOnAListRowDumpsItsFileForFolderRowsAndSearchHitsAlike) {
  VolumeScanDlg& page = open();
  m_view.setText(VolumeScanDlg::kOutputFolder, m_out);
  const TreeItem docs = child(page.tree().rootItem(), "docs");
  page.fillDetailList(docs);
  ASSERT_EQ(page.list().rowCount(), 2u);
  page.onListDoubleClick(1);
  EXPECT_EQ(out("b.txt"), "bravo");
  EXPECT_EQ(m_sink.lastMessage(), "file is dumped in path  :  " + m_out + "/b.txt   ");
  EXPECT_FALSE(isRegularFile(m_out + "/a.txt"));
  // A hit's row holds the entry, never a tree item of the same number. (A build without expressions
  // searches for the plain "c", which other names hold too.)
  const bool expressions = NamePattern::automatonAvailable();
  m_view.setText(VolumeScanDlg::kSearchBox, expressions ? "c\\.txt" : "c");
  page.onSearch();
  page.waitForWorker();
  if (expressions) {
    ASSERT_EQ(page.list().rowCount(), 1u);
  }
  std::size_t hit = 0;
  while (hit < page.list().rowCount() && !page.list().row(hit).texts.at(0).ends_with("\\c.txt")) ++hit;
  ASSERT_LT(hit, page.list().rowCount());
  page.onListDoubleClick(hit);
  EXPECT_EQ(out("c.txt"), "charlie");
  page.onListDoubleClick(5);  // past the rows: nothing
  EXPECT_EQ(m_sink.lastMessage(), "file is dumped in path  :  " + m_out + "/c.txt   ");
}

TEST_F(ResultsPageTest, SaveRefusesWithoutTicksAndWithoutAFolder) {
  VolumeScanDlg& page = open();
  page.tree().SetCheck(page.tree().rootItem(), false);
  page.onSave(m_out);
  EXPECT_EQ(m_sink.lastMessage(), "Please select File or Folder to save");
  page.tree().SetCheck(child(page.tree().rootItem(), "top.txt"), true);
  page.onSave(std::nullopt);  // browser cancelled
  page.waitForWorker();
  EXPECT_EQ(m_view.text(VolumeScanDlg::kOutputFolder), "");
  EXPECT_FALSE(isRegularFile(m_out + "/top.txt"));
}

TEST_F(ResultsPageTest, SaveShowsTheFolderBrowserOnlyOnceItsChecksPass) {
  VolumeScanDlg& page = open();
  int browsed = 0;
  const auto browse = [&]() -> std::optional<std::string> {
    ++browsed;
    return m_out;
  };
  page.tree().SetCheck(page.tree().rootItem(), false);
  page.onSave(browse);
  EXPECT_EQ(browsed, 0);
  EXPECT_EQ(m_sink.lastMessage(), "Please select File or Folder to save");
  page.tree().SetCheck(child(page.tree().rootItem(), "top.txt"), true);
  page.onSave(browse);
  page.waitForWorker();
  EXPECT_EQ(browsed, 1);
  EXPECT_EQ(m_view.text(VolumeScanDlg::kOutputFolder), m_out);
  EXPECT_EQ(out("top.txt"), "top");
}

TEST_F(ResultsPageTest, SavingTheTickedTopItemRebuildsEveryFolderAndSkipsBadClus) {
  VolumeScanDlg& page = open();
  page.onSave(m_out);
  page.waitForWorker();
  EXPECT_EQ(out("docs/a.txt"), "alpha");
  EXPECT_EQ(out("docs/b.txt"), "bravo");
  EXPECT_EQ(out("docs/deep/c.txt"), "charlie");
  EXPECT_EQ(out("top.txt"), "top");
  EXPECT_TRUE(isDirectory(m_out + "/empty"));
  EXPECT_FALSE(pathExists(m_out + "/$BadClus"));
  EXPECT_TRUE(m_sink.sawMessage("Saving process completed done....."));
  EXPECT_EQ(m_sink.lastStatus(), "Saving Completed..");
  EXPECT_TRUE(m_sink.sawStatus("saving Folder: docs"));
  EXPECT_TRUE(m_sink.sawStatus("saving File  " + m_out + "/docs/deep/c.txt"));
  // The unexpanded folder's progress range is the number of files below it.
  bool sawRange = false;
  for (const auto& e : m_sink.events())
    if (e.id == kMsgProgressRange && e.second == 3) sawRange = true;
  EXPECT_TRUE(sawRange);
  EXPECT_TRUE(m_page->tree().treeEnabled());
}

TEST_F(ResultsPageTest, ATickedDeepFileGetsItsAncestorChainAndAPartFolderOnlyItsTickedFiles) {
  VolumeScanDlg& page = open();
  const TreeItem top = page.tree().rootItem();
  page.tree().SetCheck(top, false);
  const TreeItem docs = child(top, "docs");
  page.tree().expand(docs, true);
  const TreeItem deep = child(docs, "deep");
  page.tree().expand(deep, true);
  page.tree().SetCheck(child(deep, "c.txt"), true);
  page.tree().SetCheck(child(docs, "b.txt"), true);
  page.onSave(m_out);
  page.waitForWorker();
  EXPECT_EQ(out("docs/deep/c.txt"), "charlie");
  EXPECT_EQ(out("docs/b.txt"), "bravo");
  EXPECT_FALSE(pathExists(m_out + "/docs/a.txt"));
  EXPECT_FALSE(pathExists(m_out + "/ROOT"));
  EXPECT_FALSE(pathExists(m_out + "/empty"));
}

TEST_F(ResultsPageTest, SaveSelectedFolderWritesItsFilesStraightIntoTheOutputFolder) {
  VolumeScanDlg& page = open();
  page.onSaveSelectedFolder();
  EXPECT_EQ(m_sink.lastMessage(), "Select output folder");
  page.onBrowse(m_out);
  page.tree().selectItem(child(page.tree().rootItem(), "docs"));
  m_sink.queueAnswer(false);
  page.onSaveSelectedFolder();
  EXPECT_FALSE(pathExists(m_out + "/a.txt"));
  page.onSaveSelectedFolder();
  EXPECT_EQ(m_sink.questions().back(),
            "number of files found inside this folder = 3 .do u want to continue dumping these files..?");
  EXPECT_EQ(out("a.txt"), "alpha");
  EXPECT_EQ(out("deep/c.txt"), "charlie");
  EXPECT_FALSE(pathExists(m_out + "/docs"));
  EXPECT_EQ(m_sink.lastMessage(), "Saving process done");
}

TEST_F(ResultsPageTest, RecycleBinFilesGetTheNamesTheirInfoFilesHold) {
  const std::int64_t bin = m_parser.add(1, "$RECYCLE.BIN", true);
  const std::int64_t user = m_parser.add(bin, "S-1-5-21-1-2-3-1001", true);
  std::string info(24, '\0');
  info[0] = '\1';  // the first record layout: the path at byte 24
  for (char16_t c : std::u16string(u"C:\\Users\\me\\Documents\\r\u00e9sum\u00e9.doc")) {
    info.push_back(static_cast<char>(c & 0xFF));
    info.push_back(static_cast<char>(c >> 8));
  }
  info.append(2, '\0');
  m_parser.add(user, "$IAB12CD.doc", false, info);
  const std::int64_t data = m_parser.add(user, "$RAB12CD.doc", false, "the document");
  const std::int64_t other = m_parser.add(user, "$RZZ99ZZ.txt", false, "no info file");
  VolumeScanDlg& page = open();
  EXPECT_EQ(m_parser.name(data), "r\xC3\xA9sum\xC3\xA9.doc");
  EXPECT_EQ(m_parser.name(other), "$RZZ99ZZ.txt");
  page.onSave(m_out);
  page.waitForWorker();
  EXPECT_EQ(out("$RECYCLE.BIN/S-1-5-21-1-2-3-1001/r\xC3\xA9sum\xC3\xA9.doc"), "the document");
}

TEST_F(ResultsPageTest, NamesFromTheImageNeverLeaveTheOutputFolderAndLoopingLinksEnd) {
  const std::int64_t evil = m_parser.add(m_docs, "../../x", false, "escape");
  const std::int64_t loop = m_parser.add(m_docs, "..", true);
  m_parser.entry(loop).firstChild = m_docs;  // a folder whose child is its own parent
  const std::int64_t cyc = m_parser.add(1, "cycle", true);
  const std::int64_t inner = m_parser.add(cyc, "inner", true);
  m_parser.entry(inner).firstChild = cyc;
  (void)evil;
  VolumeScanDlg& page = open();
  page.onSave(m_out);
  page.waitForWorker();
  EXPECT_EQ(out("docs/.._.._x"), "escape");
  for (const std::string& file : test::listFiles(m_scratch))
    EXPECT_TRUE(file != "x" && !file.ends_with("/x")) << file;
  EXPECT_TRUE(isDirectory(m_out + "/cycle/inner"));
  EXPECT_EQ(countFilesBelow(m_parser, cyc), 0);
}

TEST_F(ResultsPageTest, LabelsWithoutAParserAndAMissingReaderAreRefused) {
  {
    m_state.selectedVolume = VolumeEntry{"CUSTOM ", "", "0", "0", 0};
    VolumeScanDlg page(m_state, m_view, m_sink);
    page.onOpen(1);
    EXPECT_EQ(m_sink.lastMessage(), "Not a valid drive.");
    EXPECT_EQ(m_sink.lastStatus(), "Not a valid Drive .Go back");
    EXPECT_TRUE(m_view.enabled(VolumeScanDlg::kBack));
    m_sink.clear();
    page.onStop();  // no parser: nothing happens
    page.onExit();
    EXPECT_TRUE(m_sink.statuses().empty());
    EXPECT_EQ(page.mode(), -1);
  }
  m_state.selectedVolume = VolumeEntry{"ntfs", "", "0", "10   MB", 2048};
  m_state.diskReader.reset();
  VolumeScanDlg page(m_state, m_view, m_sink);
  page.onOpen(1, &m_parser);
  EXPECT_EQ(m_sink.lastMessage(), "Please Restart the program to re begin necessary initialization...");
  EXPECT_EQ(m_parser.workerRuns, 0);
}

TEST_F(ResultsPageTest, PauseHoldsTheSaveAndStopEndsItWithTheUsualEnding) {
  VolumeScanDlg& page = open();
  page.onResume();  // without a pause: nothing is held
  EXPECT_EQ(m_sink.lastStatus(), "Resume button pressed");
  page.onPause();  // no worker runs: nothing happens
  EXPECT_NE(m_sink.lastStatus(), "Pause button pressed");
  page.onSave(m_out);
  page.onStop();
  page.waitForWorker();
  EXPECT_TRUE(m_sink.sawStatus("stop button pressed.Please wait for the process to be stopped."));
  EXPECT_TRUE(m_sink.sawMessage("Saving process completed done....."));
  EXPECT_FALSE(page.running());
}

}  // namespace
}  // namespace tessary
