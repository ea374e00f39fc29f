// The results page: creates the volume's parser, runs it on a worker, shows the tree and the detail list,
// and handles Save, Browse, Save selected folder, Pause, Resume, Stop, Back, Exit and the tree's events.
#pragma once

#include <atomic>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "app/wizard_state.h"
#include "controls/check_list.h"
#include "controls/xhtml_tree.h"
#include "platform/page_sink.h"
#include "platform/page_view.h"
#include "platform/worker.h"
#include "fs/candidate_scan.h"
#include "results/name_search.h"
#include "fs/parser_slot.h"
#include "results/save_engine.h"

namespace tessary {

class VolumeScanDlg {
 public:
  // Control ids of the page's view.
  static constexpr const char* kBack = "Back";
  static constexpr const char* kSave = "Save";
  static constexpr const char* kPause = "pause";
  static constexpr const char* kResume = "Resume";
  static constexpr const char* kStop = "Stop";
  static constexpr const char* kSearch = "Search";
  static constexpr const char* kSearchBox = "searchBox";
  static constexpr const char* kSearchHint = "* Use \"|\" to find multiple file type.";
  static constexpr const char* kBrowse = "Browse";
  static constexpr const char* kSaveSelectedFolder = "Save selected folder";
  static constexpr const char* kProgress = "progress";
  static constexpr const char* kOutputFolder = "outputFolder";
  static constexpr const char* kVolumeData = "Volume Data:";
  static constexpr const char* kCounterCaption = "counterCaption";
  static constexpr const char* kAdvancedInput = "advancedInput";
  // The advanced-input page's lists, copied here in mode 2, and the Parse command that runs the mode-2
  // worker again on what is selected in them.
  static constexpr const char* kCandidates = "TFS :";
  static constexpr const char* kClusterSizes = "Sector Per Cluster :";
  static constexpr const char* kHeapOffsets = "Heap Offset :";
  static constexpr const char* kParse = "Parse";
  static constexpr const char* kTitle = "VOLUME-SCAN";

  VolumeScanDlg(WizardState& state, PageView& view, PageSink& sink);
  ~VolumeScanDlg();
  VolumeScanDlg(const VolumeScanDlg&) = delete;
  VolumeScanDlg& operator=(const VolumeScanDlg&) = delete;

  // Opening: picks the parser for the selected volume's label and starts its worker. `mode` is the
  // recovery mode (1 standard, 2 advanced, 3 deep). A parser built by an earlier page (the advanced-input
  // page) is borrowed instead of creating one; that page keeps owning it. In mode 2 `advanced` holds that
  // page's lists and choices, copied here; its scan must outlive this page.
  void onOpen(int mode, ParserSlot* borrowed = nullptr, const AdvancedInput* advanced = nullptr);
  // Waits until the running worker (parse, save or search) has ended.
  void waitForWorker();
  bool workerRunning() const { return m_worker.running(); }

  void onExit();
  // Cancel: asks first; true when the application is to end.
  bool onCancel();
  void onBack();
  void onPause();
  void onResume();
  void onStop();
  // Parse: the mode-2 worker again, for the lists' current selections.
  void onParse();
  // Save: `chosenFolder` is what the folder browser returned (none when cancelled).
  void onSave(const std::optional<std::string>& chosenFolder);
  // Save with the folder browser shown only once the checks have passed: `browse` shows it and returns the
  // chosen folder (none when cancelled).
  void onSave(const std::function<std::optional<std::string>()>& browse);
  void onBrowse(const std::optional<std::string>& chosenFolder);
  void onSaveSelectedFolder();
  // Search: starts the search worker on the search box's text; the hits replace the detail list.
  void onSearch();
  // Set when the last parse worker failed: its status line (or message) saying why, "" when it gave none.
  std::optional<std::string> parseFailure() const;
  // Whether the last search's pattern was refused as not a valid expression.
  bool searchRefused() const { return m_searchRefused.load(); }
  // Whether the last search ended because its pattern was too costly to match.
  bool searchTimedOut() const { return m_searchTimedOut.load(); }
  // Its message (read once the worker has ended).
  const std::string& searchEndMessage() const { return m_searchEndMessage; }
  // The last search's hits, one per row of the detail list while it holds them.
  const std::vector<SearchHit>& searchHits() const { return m_engine.searchHits; }
  // Whether a detail list row stands for a deleted entry (rows hold tree items, or entries when they
  // are search hits).
  bool listRowDeleted(std::int64_t rowData) const;

  // Tree and list events.
  void onItemExpanding(TreeItem item);
  void onTreeDoubleClick(TreeItem item);
  void onLabelClicked(std::uint32_t hitFlags, TreeItem item);
  void onListRowCheck(std::size_t row, bool checked);
  // A double click on a detail list row dumps its file, as a double click on the file in the tree does.
  void onListDoubleClick(std::size_t row);

  // Fills a folder item from its entry's children (once: only while it holds the placeholder).
  void fillFolder(TreeItem item);
  // A page without a visible detail list (the command line's) fills folders without refreshing the list.
  void setDetailListShown(bool shown) { m_detailListShown = shown; }
  void fillDetailList(TreeItem item);

  CXHtmlTree& tree() { return m_tree; }
  CCheckListCtrl& list() { return m_list; }
  SaveEngine& saveEngine() { return m_engine; }
  ParserSlot* parser() const { return m_parser; }
  int mode() const { return m_mode; }
  bool quitRequested() const { return m_quit; }
  bool running() const { return m_running.load(); }

  static constexpr const char* kListColumns[6] = {"FILES LIST ", "CREATION TIME ", "ACCESS TIME ",
                                                  "MODIFICATION TIME ", "SIZE", "ATTRIB"};

 private:
  void startParseWorker();
  void saveWorker();
  void searchWorker(const std::string& pattern);
  void fillTopLevel();
  void insertChildren(TreeItem item, std::int64_t data);
  void showWorkerControls(bool shown);
  // Writes one file into the output folder (the temporary folder when none is set) and says where.
  void dumpFile(std::int64_t data);

  WizardState& m_state;
  PageView& m_view;
  PageSink& m_sink;
  CXHtmlTree m_tree;
  CCheckListCtrl m_list;
  StopFlag m_stop{0};
  std::atomic<bool> m_running{false};
  SaveEngine m_engine;
  std::unique_ptr<ParserSlot> m_ownedParser;
  ParserSlot* m_parser = nullptr;
  CandidateScan* m_advanced = nullptr;
  ParserLinks m_links;
  Worker m_worker;
  int m_mode = 1;
  bool m_quit = false;
  bool m_detailListShown = true;
  std::atomic<bool> m_searchRefused{false};
  std::atomic<bool> m_searchTimedOut{false};
  std::string m_searchEndMessage;
  std::optional<std::string> m_parseFailure;  // written by the parse worker, read after it ended
};

}  // namespace tessary
