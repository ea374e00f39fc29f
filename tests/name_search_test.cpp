// The name search: pattern semantics (case, alternatives, refusals, non-ASCII names, patterns that
// would backtrack for ever), the results page's search over an in-memory parser (hit rows, messages,
// Stop, saving hits, hostile links and names), and every fixture volume searched and saved.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <ctime>
#include <cctype>
#include <sstream>
#include <fstream>
#include <functional>
#include <map>
#include <set>

#include "app/wizard_state.h"
#include "disk/vhdx_reader.h"
#include "platform/files.h"
#include "results/name_search.h"
#include "results/volume_scan_dlg.h"
#include "support/cli_runner.h"
#include "support/fixtures.h"
#include "support/memory_parser.h"
#include "support/ntfs_harness.h"
#include "support/recording_sink.h"

namespace tessary {
namespace {

bool found(const std::string& pattern, const std::string& name) {
  const std::optional<NamePattern> compiled = NamePattern::compile(pattern);
  EXPECT_TRUE(compiled.has_value()) << pattern;
  return compiled && compiled->matches(name);
}

TEST(NamePattern, FindsThePatternAnywhereInTheNameWhateverTheCase) {
  if (!NamePattern::automatonAvailable()) GTEST_SKIP() << "this build has no automaton matcher (no RE2)";
  EXPECT_TRUE(found("DOC", "report.doc"));
  EXPECT_TRUE(found("DOC", "Doc1.txt"));
  EXPECT_FALSE(found("DOC", "readme.txt"));
  EXPECT_TRUE(found("jpg|png", "a.PNG"));
  EXPECT_TRUE(found("jpg|png", "b.jpg.bak"));
  EXPECT_FALSE(found("jpg|png", "c.gif"));
  EXPECT_TRUE(found("^rep.*\\.doc$", "Report.DOC"));
  EXPECT_FALSE(found("^rep", "my report.doc"));
  EXPECT_TRUE(found("[0-9]{3}", "holiday-001.bin"));
  // An empty alternative is found in every name.
  EXPECT_TRUE(found("zzz|", "anything"));
}

TEST(NamePattern, TextThatIsNotAnExpressionIsRefused) {
  for (const char* pattern : {"*.jpg", "(", "a)", "[a-", "a{2,1}", "+", "?x", "\\"})
    EXPECT_FALSE(NamePattern::compile(pattern).has_value()) << pattern;
  // Back-references need a backtracking matcher: refused rather than risk a hang.
  EXPECT_FALSE(NamePattern::compile("(a)\\1").has_value());
  EXPECT_TRUE(NamePattern::compile("(?=a)a|(?!b)c").has_value());
}

TEST(NamePattern, NamesOutsideAsciiMatchCharacterByCharacter) {
  if (!NamePattern::automatonAvailable()) GTEST_SKIP() << "this build has no automaton matcher (no RE2)";
  EXPECT_TRUE(found("日本", "日本語.txt"));
  EXPECT_TRUE(found("^...\\.txt$", "日本語.txt"));  // "." is one character, not one byte
  EXPECT_TRUE(found("caf.\\.txt", "café.txt"));
  EXPECT_TRUE(found("É", "café.txt"));  // case-insensitive beyond ASCII
  EXPECT_TRUE(found("résumé", "RÉSUMÉ.TXT"));
  EXPECT_TRUE(found("^.$", "\xF0\x9F\x93\x81"));  // one code point beyond the 16-bit plane
  // A name whose bytes are not UTF-8 is read as the ANSI code page (Windows-1252): 0xE9 is "é".
  EXPECT_TRUE(found("é", "caf\xE9.txt"));
  EXPECT_FALSE(found("e", "caf\xE9"));
}

TEST(NamePattern, LiteralPatternsAnswerAsTheExpressionEngineDoes) {
  const std::vector<std::string> names = {"report.doc", "Doc1.txt", "café.txt", "CAFÉ", "日本語.txt", "a|b",
                                          "", "x", "holiday-001.bin", "caf\xE9", "Ärger.TXT"};
  for (const char* pattern : {"doc", "DOC|txt", "é", "Ä", "日本", "|", "a-b", "holiday-0", "ärger", "t x"}) {
    const std::optional<NamePattern> compiled = NamePattern::compile(pattern);
    ASSERT_TRUE(compiled && compiled->literal()) << pattern;
    for (const std::string& name : names)
      EXPECT_EQ(compiled->matches(name), compiled->matchesByExpression(name)) << pattern << " / " << name;
  }
  EXPECT_FALSE(NamePattern::compile("a.b")->literal());
}

TEST(NamePattern, NestedQuantifiersOnLongNamesEndWithoutBacktracking) {
  if (!NamePattern::automatonAvailable()) GTEST_SKIP() << "this build has no automaton matcher (no RE2)";
  // A backtracking matcher needs about 2^250 steps for each of these; the search must answer at once.
  const std::string name = std::string(250, 'a') + "!";
  EXPECT_FALSE(found("^(a+)+$", name));
  EXPECT_FALSE(found("(a|aa)+b", name));
  EXPECT_FALSE(found("((a*)*)*b", name));
  EXPECT_TRUE(found("(a+)+!", name));
  const std::string wide = std::string(250, 'x') + "y";
  EXPECT_TRUE(found("(x+x+)+y", wide));
  EXPECT_FALSE(found("(x+x+)+z", wide));
}

TEST(NamePattern, PatternsTooDeepOrTooLongAreRefusedBeforeAnyCompilerSeesThem) {
  if (!NamePattern::automatonAvailable()) GTEST_SKIP() << "this build has no automaton matcher (no RE2)";
  // 20,000 nested groups overflowed a recursive compiler's stack on the worker thread.
  const std::string nested = std::string(20000, '(') + "a" + std::string(20000, ')');
  EXPECT_FALSE(NamePattern::compile(nested).has_value());
  EXPECT_FALSE(NamePattern::compile(std::string(20000, '[') + "a").has_value());
  const std::string deepButFine = std::string(200, '(') + "a" + std::string(200, ')');
  EXPECT_TRUE(found(deepButFine, "xay"));
  std::string classes;
  for (int i = 0; i < 20000; ++i) classes += "[a-z]";
  EXPECT_FALSE(NamePattern::compile(classes).has_value());
  // Look-behind has no matcher here; look-ahead has one, in short patterns only.
  EXPECT_FALSE(NamePattern::compile("(?<=a)b").has_value());
  EXPECT_FALSE(NamePattern::compile("(?=a)" + std::string(300, 'a')).has_value());
}

TEST(NamePattern, EcmaScriptSpellingsAndLookAheadsMatchAsWritten) {
  if (!NamePattern::automatonAvailable()) GTEST_SKIP() << "this build has no automaton matcher (no RE2)";
  EXPECT_TRUE(found("caf\\u00E9", "CAF\xC3\x89.txt"));
  EXPECT_TRUE(found("(?<kind>doc|txt)$", "notes.TXT"));
  EXPECT_TRUE(found("\\d{4}-\\w+\\.jpe?g$", "2024-beach.JPEG"));
  EXPECT_TRUE(found("(?=.*jpg)^ph", "photo.jpg"));
  EXPECT_FALSE(found("(?=.*jpg)^ph", "photo.png"));
  EXPECT_TRUE(found("^(?!~\\$).*\\.docx$", "report.docx"));
  EXPECT_FALSE(found("^(?!~\\$).*\\.docx$", "~$report.docx"));
  EXPECT_TRUE(NamePattern::compile("(?=.*jpg)^ph")->polynomial());
  EXPECT_FALSE(NamePattern::compile("(a+)+$")->polynomial());
}

// The results page over an in-memory parser.
class SearchPageTest : public ::testing::Test {
 protected:
  void SetUp() override {
    m_scratch = test::makeTempDir("tessary-search-");
    m_out = m_scratch + "/out";
    createDirectory(m_out);
    m_state.selectedVolume = VolumeEntry{"ntfs", "", "0", "10   MB", 2048};
    m_state.diskReader = std::make_unique<FileReadSeekVHDX>(m_state.disk);
    // ROOT
    //   photos/ (photos-1.jpg, beach.PNG, old/ (photos-old.jpg), a\b/ (x.jpg))
    //   empty/
    //   photos-top.jpg
    //   notes.txt (deleted)
    m_photos = m_parser.add(1, "photos", true);
    m_p1 = m_parser.add(m_photos, "photos-1.jpg", false, "one");
    m_beach = m_parser.add(m_photos, "beach.PNG", false, "sand");
    m_old = m_parser.add(m_photos, "old", true);
    m_pOld = m_parser.add(m_old, "photos-old.jpg", false, "older");
    m_slash = m_parser.add(m_photos, "a\\b", true);
    m_x = m_parser.add(m_slash, "x.jpg", false, "ex");
    m_parser.add(1, "empty", true);
    m_top = m_parser.add(1, "photos-top.jpg", false, "top");
    m_notes = m_parser.add(1, "notes.txt", false, "gone", true);
  }
  void TearDown() override { test::removeTree(m_scratch); }

  VolumeScanDlg& open(test::MemoryParser& parser) {
    m_page = std::make_unique<VolumeScanDlg>(m_state, m_view, m_sink);
    m_page->onOpen(1, &parser);
    m_page->waitForWorker();
    m_sink.clear();
    return *m_page;
  }
  VolumeScanDlg& open() { return open(m_parser); }

  void search(const std::string& pattern) {
    m_view.setText(VolumeScanDlg::kSearchBox, pattern);
    m_page->onSearch();
    m_page->waitForWorker();
  }

  std::vector<std::string> rowTexts() {
    std::vector<std::string> texts;
    for (const auto& row : m_page->list().rows()) texts.push_back(row.texts.at(0));
    return texts;
  }

  std::string m_scratch;
  std::string m_out;
  WizardState m_state;
  PageView m_view;
  RecordingSink m_sink;
  test::MemoryParser m_parser;
  std::unique_ptr<VolumeScanDlg> m_page;
  std::int64_t m_photos = 0, m_p1 = 0, m_beach = 0, m_old = 0, m_pOld = 0, m_slash = 0, m_x = 0, m_top = 0,
               m_notes = 0;
};

TEST_F(SearchPageTest, HitsReplaceTheListWithTheirPathsAndFoldersAreNeverHits) {
  VolumeScanDlg& page = open();
  page.fillDetailList(page.tree().rootItem());
  search("PHOTOS|png");
  EXPECT_EQ(rowTexts(), (std::vector<std::string>{"ROOT\\photos\\photos-1.jpg", "ROOT\\photos\\beach.PNG",
                                                  "ROOT\\photos\\old\\photos-old.jpg", "ROOT\\photos-top.jpg"}));
  const auto row = page.list().row(2);
  EXPECT_EQ(row.data, m_pOld);  // the entry itself, not a tree item
  EXPECT_EQ(row.texts, (std::vector<std::string>{"ROOT\\photos\\old\\photos-old.jpg", "c", "a", "m", "5 Bytes", "-A"}));
  EXPECT_TRUE(page.saveEngine().searchMode);
  EXPECT_TRUE(m_sink.sawStatus("searched file 4"));
  EXPECT_EQ(m_sink.messages(), std::vector<std::string>{"Searching Finished"});
  EXPECT_EQ(m_sink.lastStatus(), "Searching Finished");
  EXPECT_FALSE(m_view.shown(VolumeScanDlg::kStop));
  // Deleted entries are found too, and the row says so.
  search("notes");
  ASSERT_EQ(page.list().rowCount(), 1u);
  EXPECT_TRUE(page.listRowDeleted(page.list().row(0).data));
}

TEST_F(SearchPageTest, EmptyAndInvalidPatternsListNothingAndStillFinish) {
  VolumeScanDlg& page = open();
  search("jpg");
  ASSERT_EQ(page.list().rowCount(), 4u);
  m_sink.clear();
  search("");
  EXPECT_EQ(page.list().rowCount(), 0u);
  EXPECT_EQ(m_sink.messages(), std::vector<std::string>{"Searching Finished"});
  EXPECT_FALSE(page.searchRefused());
  m_sink.clear();
  search("*.jpg");
  EXPECT_EQ(page.list().rowCount(), 0u);
  // A build without the automaton matcher refuses every expression with a message of its own.
  const bool expressions = NamePattern::automatonAvailable();
  EXPECT_EQ(m_sink.messages(), (std::vector<std::string>{expressions ? kPatternRefusedMessage : kPatternUnsupportedMessage,
                                                         "Searching Finished"}));
  EXPECT_TRUE(page.searchRefused());
  // A second search replaces the first's rows, numbered from the start again.
  search("beach");
  search(expressions ? "x\\.jpg" : "photos-top");
  EXPECT_EQ(rowTexts(), std::vector<std::string>{expressions ? "ROOT\\photos\\a\\b\\x.jpg" : "ROOT\\photos-top.jpg"});
  EXPECT_TRUE(m_sink.sawStatus("searched file 1"));
  EXPECT_FALSE(m_sink.sawStatus("searched file 2"));
}

TEST_F(SearchPageTest, TickedHitsAreSavedBelowTheirFoldersAndTickingARowLeavesTheTreeAlone) {
  VolumeScanDlg& page = open();
  page.tree().SetCheck(page.tree().rootItem(), false);
  search("jpg");
  ASSERT_EQ(page.list().rowCount(), 4u);
  // A hit row's data is an entry: ticking the row must never tick whatever tree item has that number.
  page.list().clickRowCheckBox(2);
  page.list().clickRowCheckBox(3);
  page.list().clickRowCheckBox(1);
  EXPECT_FALSE(page.tree().anyChecked());
  page.onSave(std::optional<std::string>(m_out));
  page.waitForWorker();
  EXPECT_TRUE(m_sink.sawMessage("Saving process completed done....."));
  EXPECT_EQ(test::readHostFile(m_out + "/photos/old/photos-old.jpg"), "older");
  // The folder "a\b" is one folder, as the search found it (Windows cannot hold the name: "a_b" there).
#ifdef _WIN32
  EXPECT_EQ(test::readHostFile(m_out + "/photos/a_b/x.jpg"), "ex");
#else
  EXPECT_EQ(test::readHostFile(m_out + "/photos/a\\b/x.jpg"), "ex");
#endif
  EXPECT_EQ(test::readHostFile(m_out + "/photos-top.jpg"), "top");
  EXPECT_FALSE(pathExists(m_out + "/photos/photos-1.jpg"));
  EXPECT_FALSE(pathExists(m_out + "/ROOT"));
  EXPECT_EQ(page.saveEngine().written().size(), 3u);
}

TEST_F(SearchPageTest, SaveAfterASearchTakesOnlyTheTickedHitsNotTheTickedTreeBehindThem) {
  VolumeScanDlg& page = open();
  ASSERT_TRUE(page.tree().GetCheck(page.tree().rootItem()));  // the whole volume, as after the parse
  search("jpg");
  ASSERT_EQ(page.list().rowCount(), 4u);
  for (std::size_t i = 0; i < 4; ++i) EXPECT_FALSE(page.list().rowChecked(i));
  // No hit ticked: nothing to save, whatever the tree holds.
  page.onSave(std::optional<std::string>(m_out));
  page.waitForWorker();
  EXPECT_EQ(m_sink.lastMessage(), "Please select File or Folder to save");
  page.list().clickRowCheckBox(3);
  page.onSave(std::optional<std::string>(m_out));
  page.waitForWorker();
  EXPECT_TRUE(m_sink.sawMessage("Saving process completed done....."));
  ASSERT_EQ(page.saveEngine().written().size(), 1u);
  EXPECT_EQ(test::readHostFile(m_out + "/photos-top.jpg"), "top");
  EXPECT_FALSE(pathExists(m_out + "/photos"));
  EXPECT_TRUE(page.tree().GetCheck(page.tree().rootItem()));
}

TEST_F(SearchPageTest, ClickingAFolderEndsSearchModeSoSaveNeverTakesTreeRowsForHits) {
  VolumeScanDlg& page = open();
  search("jpg");
  page.tree().SetCheck(page.tree().rootItem(), false);
  const TreeItem photos = page.tree().childItem(page.tree().rootItem());
  page.onLabelClicked(0, photos);
  EXPECT_FALSE(page.saveEngine().searchMode);
  ASSERT_EQ(page.list().rowCount(), 2u);
  // Back to the tree's rule: a row's tick is its tree item's.
  page.list().clickRowCheckBox(0);
  EXPECT_TRUE(page.tree().GetCheck(page.list().row(0).data));
}

TEST_F(SearchPageTest, LinksThatLoopBackEndTheWalk) {
  // "a\b" lists "photos", its own parent, after x.jpg, and with it the rest of the top level's chain.
  m_parser.entry(m_x).nextSibling = m_photos;
  open();
  search("jpg");
  EXPECT_EQ(rowTexts(), (std::vector<std::string>{"ROOT\\photos\\photos-1.jpg", "ROOT\\photos\\old\\photos-old.jpg",
                                                  "ROOT\\photos\\a\\b\\x.jpg", "ROOT\\photos\\a\\b\\photos-top.jpg",
                                                  "ROOT\\photos-top.jpg"}));
}

// A parser that presses Stop when the search reads a given name.
class StoppingParser : public test::MemoryParser {
 public:
  std::string name(std::int64_t data) const override {
    const std::string text = MemoryParser::name(data);
    if (page && text == stopAt) page->onStop();
    return text;
  }
  VolumeScanDlg* page = nullptr;
  std::string stopAt;
};

TEST_F(SearchPageTest, StopEndsTheFolderWalkAndALaterSearchIsNotStoppedByIt) {
  StoppingParser parser;
  const std::int64_t photos = parser.add(1, "photos", true);
  parser.add(photos, "a.jpg", false);
  parser.add(photos, "b.jpg", false);
  parser.add(photos, "c.jpg", false);
  const std::int64_t more = parser.add(1, "more", true);
  parser.add(more, "d.jpg", false);
  parser.add(1, "e.jpg", false);
  VolumeScanDlg& page = open(parser);
  parser.page = &page;
  parser.stopAt = "b.jpg";
  search("jpg");
  // b.jpg was being tested when Stop came: it is the last hit of its folder; the next folder's walk ends
  // at its first record; the top-level file is still tested.
  EXPECT_EQ(rowTexts(), (std::vector<std::string>{"ROOT\\photos\\a.jpg", "ROOT\\photos\\b.jpg", "ROOT\\e.jpg"}));
  EXPECT_EQ(m_sink.lastStatus(), "Searching Finished");
  parser.stopAt.clear();
  search("jpg");
  EXPECT_EQ(page.list().rowCount(), 5u);
  m_page.reset();  // before the parser it borrows
}

// 1,404 names of about 250 characters, the shape on which costly patterns once ran for a minute.
class CostlyPatternTest : public SearchPageTest {
 protected:
  void SetUp() override {
    SearchPageTest::SetUp();
    std::int64_t folder = 1;
    for (int i = 0; i < 1404; ++i) {
      if (i % 100 == 0) folder = m_many.add(1, "set" + std::to_string(i), true);
      m_many.add(folder, std::string(240, 'a') + std::to_string(i) + ".bin", false);
    }
  }
  test::MemoryParser m_many;
};

// The process's processor time in seconds (std::clock is wall time on Windows).
double processorSeconds() {
  timespec now{};
  ::clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &now);
  return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) / 1e9;
}

TEST_F(CostlyPatternTest, EveryCostlyPatternEndsWithinTwoSeconds) {
  VolumeScanDlg& page = open(m_many);
  std::string classes;
  for (int i = 0; i < 20000; ++i) classes += "[a-z]";
  for (const std::string& pattern : {std::string("(a+)+$"), std::string("(.*a){200}"), classes,
                                     std::string("(?:a+){1000}"), std::string("(?=a)(a|aa)+b"),
                                     std::string(20000, '(') + "a" + std::string(20000, ')')}) {
    // Processor time, so that a loaded machine does not count against the search.
    const double start = processorSeconds();
    search(pattern);
    const double took = processorSeconds() - start;
    EXPECT_LT(took, 2.0) << pattern.substr(0, 40);
    EXPECT_EQ(m_sink.lastStatus(), "Searching Finished");
  }
  // The patterns that compile still find what they should (plain text where the build has no expressions).
  search(NamePattern::automatonAvailable() ? "(a+)+\\d+\\.bin$" : "bin");
  EXPECT_EQ(page.list().rowCount(), 1404u);
  m_page.reset();
}

TEST_F(CostlyPatternTest, TheMatchersBudgetEndsACostlySearchButNeverACheapOne) {
  VolumeScanDlg& page = open(m_many);
  NameSearchLinks links;
  links.parser = &m_many;
  links.tree = &page.tree();
  links.top = m_many.topItem();
  links.matchTimeLimit = std::chrono::milliseconds(50);
  const NameSearchResult costly = runNameSearch(links, *NamePattern::compile("(?=a)(a|aa)+b"), [](const SearchHit&) {});
  EXPECT_TRUE(costly.timedOut);
  EXPECT_LT(costly.namesTested, 1404);
  EXPECT_NE(searchTimedOutMessage(costly).find("too slow"), std::string::npos);
#ifdef _WIN32
  m_page.reset();
  GTEST_SKIP() << "the thread's processor time comes from GetThreadTimes, whose own cost under Wine is more than a "
                  "cheap match";
#endif
  // Any volume takes some time to search: a cheap pattern is never cut short, whatever the limit.
  links.matchTimeLimit = std::chrono::milliseconds(0);
  const auto cheapPattern = NamePattern::compile(NamePattern::automatonAvailable() ? "\\d\\.bin$" : "bin");
  ASSERT_TRUE(cheapPattern);
  const NameSearchResult cheap = runNameSearch(links, *cheapPattern, [](const SearchHit&) {});
  EXPECT_FALSE(cheap.timedOut);
  EXPECT_EQ(cheap.namesTested, 1404);
  EXPECT_EQ(cheap.hits, 1404);
  m_page.reset();
}

// Cheap matches let the matcher go untimed for a while; names that turn costly later in the walk are
// still measured, and the budget still ends the search.
TEST_F(CostlyPatternTest, NamesThatTurnCostlyAfterManyCheapOnesStillEndTheSearch) {
  test::MemoryParser mixed;
  const std::int64_t folder = mixed.add(1, "mixed", true);
  for (int i = 0; i < 1000; ++i) mixed.add(folder, "b" + std::to_string(i), false);
  for (int i = 0; i < 1404; ++i) mixed.add(folder, std::string(240, 'a') + std::to_string(i) + ".bin", false);
  VolumeScanDlg& page = open(mixed);
  NameSearchLinks links;
  links.parser = &mixed;
  links.tree = &page.tree();
  links.top = mixed.topItem();
  links.matchTimeLimit = std::chrono::milliseconds(50);
  const NameSearchResult result = runNameSearch(links, *NamePattern::compile("(?=a)(a|aa)+b"), [](const SearchHit&) {});
  EXPECT_TRUE(result.timedOut);
  EXPECT_GT(result.namesTested, 1000);
  EXPECT_LT(result.namesTested, 1000 + 1404);
  m_page.reset();
}

TEST_F(SearchPageTest, AFileBelowTenThousandFoldersIsFound) {
#ifdef _WIN32
  // Windows opens each level by its full path, which Wine walks component by component (the cost grows
  // with the square of the depth): 300 levels, past MAX_PATH, keep the run short there.
  constexpr int kDepth = 300;
#else
  constexpr int kDepth = 10000;
#endif
  std::int64_t folder = 1;
  for (int depth = 0; depth < kDepth; ++depth) folder = m_parser.add(folder, "d", true);
  m_parser.add(folder, "deepest.jpg", false, "deep");
  VolumeScanDlg& page = open();
  search("deepest");
  ASSERT_EQ(page.list().rowCount(), 1u);
  ASSERT_EQ(page.searchHits().front().folders.size(), static_cast<std::size_t>(kDepth));
  // Saved below all of its folders.
  page.list().setRowChecked(0, true);
  page.tree().SetCheck(page.tree().rootItem(), false);
  page.onSave(std::optional<std::string>(m_out));
  page.waitForWorker();
  EXPECT_EQ(page.saveEngine().failureCount(), 0);
  ASSERT_EQ(page.saveEngine().written().size(), 1u);
  std::string expected = m_out;
  for (int depth = 0; depth < kDepth; ++depth) expected += "/d";
  EXPECT_EQ(page.saveEngine().written().front().path, expected + "/deepest.jpg");
}

TEST_F(SearchPageTest, HitsBelowAFolderThatCannotBeMadeAreCountedFailures) {
  VolumeScanDlg& page = open();
  page.tree().SetCheck(page.tree().rootItem(), false);
  search("jpg");
  for (std::size_t row = 0; row < page.list().rowCount(); ++row) page.list().setRowChecked(row, true);
  // The output folder is gone by the time the save runs.
  page.onSave(std::optional<std::string>(m_out + "/missing"));
  page.waitForWorker();
  EXPECT_EQ(page.saveEngine().failureCount(), 4);
  EXPECT_NE(page.saveEngine().failureStatus().find("4 files could not be written; the first: "), std::string::npos);
  EXPECT_TRUE(m_sink.sawMessage("cant create folder photos "));
}

TEST_F(SearchPageTest, SearchWithoutAParserDoesNothing) {
  VolumeScanDlg page(m_state, m_view, m_sink);
  page.onSearch();  // no parser yet: nothing happens
  EXPECT_TRUE(m_sink.messages().empty());
  EXPECT_FALSE(page.workerRunning());
}

// Every fixture volume: the hits are exactly the listed non-folders whose names match, and saved hits
// come back byte for byte. One row per fixture volume; a volume whose parser is not built is skipped.
struct FixtureVolume {
  const char* image;
  const char* manifest;
  const char* volume;       // the volume list's "VOLUME" text
  const char* fileSystem;   // the manifest volume's "file_system"
  const char* savePattern;  // the hits saved and compared
};

void PrintTo(const FixtureVolume& v, std::ostream* os) { *os << v.image << " volume " << v.volume; }

const FixtureVolume kFixtureVolumes[] = {
    {"ntfs_tree.vhdx", "ntfs_tree.json", "0", "NTFS", "txt|bin"},
    {"ntfs_noboot.vhdx", "ntfs_noboot.json", "0", "NTFS", "^[a-m]"},
    {"ntfs_compressed.vhdx", "ntfs_compressed.json", "0", "NTFS", "\\.(txt|bin)$"},
    {"ntfs_fragmented.vhdx", "ntfs_fragmented.json", "0", "NTFS", "."},
    {"sample.vhdx", "sample.json", "0", "NTFS", "letter|日本|\\.c$"},
    {"sample.vhdx", "sample.json", "1", "FAT32", "\\.(txt|bin|csv)$"},
    {"exfat_tree.vhdx", "exfat_tree.json", "0", "exFAT", "\\.txt$"},
    {"ext_volumes.vhdx", "ext_volumes.json", "0", "ext2", "\\.txt$"},
    {"ext_volumes.vhdx", "ext_volumes.json", "2", "ext4", "\\.txt$"},
};

std::string lowerAscii(std::string text) {
  for (char& c : text)
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  return text;
}
bool contains(const std::string& name, const std::string& part) { return lowerAscii(name).find(part) != std::string::npos; }
bool endsWith(const std::string& name, const std::string& tail) {
  const std::string lower = lowerAscii(name);
  return lower.size() >= tail.size() && lower.compare(lower.size() - tail.size(), tail.size(), tail) == 0;
}

// Patterns with an oracle written without the expression engine.
const std::vector<std::pair<std::string, std::function<bool(const std::string&)>>> kPatterns = {
    {"^", [](const std::string&) { return true; }},
    {"TXT", [](const std::string& n) { return contains(n, "txt"); }},
    {"txt|BIN", [](const std::string& n) { return contains(n, "txt") || contains(n, "bin"); }},
    {"\\.txt$", [](const std::string& n) { return endsWith(n, ".txt"); }},
    {"^[a-d]", [](const std::string& n) { return !n.empty() && lowerAscii(n.substr(0, 1)).find_first_of("abcd") == 0; }},
    {"日本|é", [](const std::string& n) { return contains(n, "日本") || contains(n, "é") || contains(n, "É"); }},
};

std::string baseName(const std::string& path) {
  const std::size_t slash = path.rfind('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

class FixtureSearch : public ::testing::TestWithParam<FixtureVolume> {
 protected:
  void SetUp() override {
    const FixtureVolume& row = GetParam();
    if (!test::haveFixture(row.image) || !test::haveFixture(row.manifest)) GTEST_SKIP() << "no fixture";
    // The patterns and their oracles are expressions.
    if (!NamePattern::automatonAvailable()) GTEST_SKIP() << "this build has no automaton matcher (no RE2)";
    m_image = test::fixturePath(row.image);
    std::ifstream in(test::fixturePath(row.manifest));
    const nlohmann::json manifest = nlohmann::json::parse(in);
    for (const auto& volume : manifest["volumes"])
      if (volume["file_system"] == row.fileSystem)
        for (const auto& e : volume["entries"]) m_manifest[e["path"].get<std::string>()] = e;
    ASSERT_FALSE(m_manifest.empty());
    const auto listed = test::runTessary({"ls", m_image, "--volume", row.volume, "--json", "--quiet"});
    if (listed.status != 0 && listed.err == "Not a valid drive.\n") GTEST_SKIP() << row.fileSystem << " is not built";
    ASSERT_EQ(listed.status, 0) << listed.err;
    for (const auto& object : listed.objects())
      if (!object["folder"].get<bool>()) m_files.push_back(object["path"].get<std::string>());
    ASSERT_FALSE(m_files.empty());
  }

  std::vector<std::string> search(const std::string& pattern) {
    const auto result = test::runTessary({"search", m_image, "--volume", GetParam().volume, pattern, "--json", "--quiet"});
    EXPECT_EQ(result.status, 0) << result.err;
    std::vector<std::string> hits;
    for (const auto& object : result.objects()) {
      EXPECT_FALSE(object["folder"].get<bool>()) << object.dump();
      hits.push_back(object["path"].get<std::string>());
    }
    return hits;
  }

  std::string m_image;
  std::map<std::string, nlohmann::json> m_manifest;
  std::vector<std::string> m_files;  // every non-folder `ls` lists, in its order
};

TEST_P(FixtureSearch, HitsAreExactlyTheListedFilesWhoseNamesMatch) {
  for (const auto& [pattern, oracle] : kPatterns) {
    SCOPED_TRACE(pattern);
    std::vector<std::string> expected;
    for (const std::string& path : m_files)
      if (oracle(baseName(path))) expected.push_back(path);
    // The search walks the links in the order `ls` does.
    EXPECT_EQ(search(pattern), expected);
  }
  // Every file the image was made with is found by a pattern that matches every name (orphans are found
  // below the folder that gathers them, recycled files under their restored names).
  // FAT shows short names in capitals and a deleted entry without its first character: names are compared
  // without case, a deleted one from its second character on.
  const auto folded = [](std::string name, bool deleted) {
    for (char& c : name) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    if (!deleted) return name;
    // The first character of a deleted name may have been replaced by a multi-byte one.
    std::size_t at = name.empty() ? 0 : 1;
    while (at < name.size() && (static_cast<unsigned char>(name[at]) & 0xC0) == 0x80) ++at;
    return name.substr(at);
  };
  std::multiset<std::string> names;
  std::multiset<std::string> tails;
  for (const std::string& path : search("^")) {
    names.insert(folded(baseName(path), false));
    tails.insert(folded(baseName(path), true));
  }
  for (const auto& [path, e] : m_manifest)
    if (!e["folder"].get<bool>() && baseName(path).rfind("$R", 0) != 0) {
      const bool deleted = e.contains("deleted") && e["deleted"].get<bool>();
      EXPECT_TRUE(names.count(folded(baseName(path), false)) ||
                  (deleted && tails.count(folded(baseName(path), true))))
          << path;
    }
}

TEST_P(FixtureSearch, SavedHitsComeBackByteForByte) {
  const std::string out = test::makeTempDir("tessary-search-save-");
  const auto result = test::runTessary(
      {"search", m_image, "--volume", GetParam().volume, GetParam().savePattern, "--out", out, "--json", "--quiet"});
  ASSERT_EQ(result.status, 0) << result.err;
  ASSERT_FALSE(result.objects().empty());
  std::set<std::string> hits;
  for (const auto& object : result.objects()) hits.insert(object["path"].get<std::string>());
  int compared = 0;
  for (const auto& [path, e] : m_manifest) {
    if (e["folder"].get<bool>() || e["deleted"].get<bool>() || !hits.count(path)) continue;
    SCOPED_TRACE(path);
    ASSERT_TRUE(isRegularFile(out + "/" + path));
    EXPECT_EQ(fileSize(out + "/" + path).value_or(~0ull), e["size"].get<std::uint64_t>());
    EXPECT_EQ(test::fileSha256(out + "/" + path), e["sha256"].get<std::string>());
    ++compared;
  }
  EXPECT_GT(compared, 0);
  // Only hits were written: every file below the output folder is one of them.
  for (const std::string& file : test::listFiles(out)) EXPECT_TRUE(hits.count(file)) << file;
  test::removeTree(out);
}

INSTANTIATE_TEST_SUITE_P(Volumes, FixtureSearch, ::testing::ValuesIn(kFixtureVolumes),
                         [](const ::testing::TestParamInfo<FixtureVolume>& info) {
                           std::string name = std::string(info.param.manifest) + "_" + info.param.volume;
                           for (char& c : name)
                             if (!std::isalnum(static_cast<unsigned char>(c))) c = '_';
                           return name;
                         });

TEST(SearchCommand, RefusedPatternsExitWithThePagesMessage) {
  if (!test::haveFixture("ntfs_tree.vhdx")) GTEST_SKIP() << "no fixture";
  const auto result = test::runTessary({"search", test::fixturePath("ntfs_tree.vhdx"), "--volume", "0", "*.jpg", "--quiet"});
  EXPECT_EQ(result.status, 1);
  // The page's message first; a hint with the regular-expression form may follow it.
  EXPECT_EQ(result.err.substr(0, result.err.find('\n')),
            NamePattern::automatonAvailable() ? kPatternRefusedMessage : kPatternUnsupportedMessage);
  EXPECT_TRUE(result.out.empty());
}

}  // namespace
}  // namespace tessary
