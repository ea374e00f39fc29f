// RawRecoveryDialog, the raw page: loads the signature files (Parse), runs the carving engine on a worker,
// shows the results in a check-box tree by category with a list beside it, and saves the ticked results
// under "RAW RECOVERY" in a chosen folder. Pause, Resume and Stop act on the running worker.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "app/wizard_state.h"
#include "controls/check_list.h"
#include "controls/xhtml_tree.h"
#include "platform/page_sink.h"
#include "platform/page_view.h"
#include "platform/worker.h"
#include "raw/my_jpg.h"

namespace tessary {

class OutputFolder;

class RawRecoveryDialog {
 public:
  // Control ids of the page's view.
  static constexpr const char* kParse = "Parse";
  static constexpr const char* kSave = "Save";
  static constexpr const char* kPause = "Pause";
  static constexpr const char* kResume = "Resume";
  static constexpr const char* kStop = "Stop";
  static constexpr const char* kBack = "Back";
  static constexpr const char* kSetting = "Setting";
  static constexpr const char* kChoose = "...";
  static constexpr const char* kPath = "signatureFile";
  static constexpr const char* kLoadDefault = "Load Default Items ";
  static constexpr const char* kProgress = "progress";
  static constexpr const char* kListColumn = "File(s) List";
  static constexpr int kListColumnWidth = 300;
  static constexpr const char* kDefaultFileName = "FileSetting.txt";
  static constexpr const char* kFileFilter = ".Text Files (*.txt)|*txt||";

  enum class FileKind { Default, Chosen };

  // `defaultSignatureFile` is the default signature file's full path; empty takes "FileSetting.txt" in
  // the folder of the executable.
  RawRecoveryDialog(WizardState& state, PageView& view, PageSink& sink, std::string defaultSignatureFile = {});
  ~RawRecoveryDialog();
  RawRecoveryDialog(const RawRecoveryDialog&) = delete;
  RawRecoveryDialog& operator=(const RawRecoveryDialog&) = delete;

  void onOpen();
  // "...": the file-open dialog's choice (none when cancelled); taken when that file exists.
  void onChooseSignatureFile(const std::optional<std::string>& chosen);
  // "Setting": true when the editor may open (false, after its message, while work runs).
  bool onSetting();
  // The signature editor closed after saving records into `savedFile`: that file becomes the page's
  // signature file, so the next Parse loads what was just written.
  void onSettingClosed(const std::optional<std::string>& savedFile);
  // Parse: loads the signature files and starts the scan.
  void onParse();
  // Save: `browse` shows the folder chooser once the checks have passed (none when cancelled).
  void onSave(const std::function<std::optional<std::string>()>& browse);
  void onPause();
  void onResume();
  void onStop();
  // Back (and the page going away): stops the worker and waits for it.
  void onBack();
  // A tree node was selected: the list shows its children that are results.
  void onTreeSelect(TreeItem item);
  void onListRowCheck(std::size_t row, bool checked);

  // Appends a signature file's records to the engine's tables (the default kind first makes a new engine).
  // Returns whether a chosen file was loaded.
  bool loadSignatureFile(const std::string& path, FileKind kind);

  void waitForWorker() { m_worker.join(); }
  bool busy() const { return m_busy.load(); }
  const std::string& defaultSignatureFile() const { return m_defaultPath; }

  CXHtmlTree& tree() { return m_tree; }
  CCheckListCtrl& list() { return m_list; }
  myJpg* engine() const { return m_engine.get(); }
  // What the last scan returned; none before a scan ended.
  std::optional<bool> scanResult() const;

  // Every result leaf in tree order: its category, leaf name, the folders between its category node and
  // it, offset and size, whether the size is the file's exact length or a guess for a damaged file, and
  // the offset name it has when no deleted entry named it.
  struct Result {
    std::string category;
    std::string name;
    std::int64_t offset = 0;
    std::int64_t size = 0;
    TreeItem item = kNoItem;
    std::string folder;
    bool exact = false;
    bool partial = false;
    bool named = false;
    std::string offsetName;
  };
  std::vector<Result> results() const;

  // What the last save wrote, and what it could not.
  struct WrittenFile {
    std::string path;
    std::uint64_t bytes = 0;
    bool complete = true;  // false when the file could not be written whole
  };
  const std::vector<WrittenFile>& written() const { return m_written; }
  std::int64_t failureCount() const { return m_failures; }
  // The first result that could not be written whole, and why ("" while none failed).
  const std::string& firstFailure() const { return m_firstFailure; }
  // The status line that counts the failures, "" while none failed.
  std::string failureStatus() const;
  // Records of the loaded signature files that the carver can never use, each named by its file, its
  // index and the reason ("FILE: record 3 (jpg): its start signature is 0 bytes long, not 2 to 10").
  const std::vector<std::string>& refusedRecords() const { return m_refusedRecords; }
  // Saved files that hold zeros where the image had no bytes to give.
  std::int64_t missingReads() const { return m_missing; }
  // Set when a save has ended: the page closes with the result OK and the wizard shows again.
  std::function<void()> onSaveFinished;

 private:
  void showWorkerControls(bool shown);
  void endWithoutScan();
  void startScan();
  void scanWorker();
  void saveWorker(const std::string& folder);
  void saveLeaf(TreeItem leaf, OutputFolder& out);
  void walkSave(TreeItem item, OutputFolder& out, std::int64_t& progress);
  void collectResults(TreeItem node, const std::string& category, const std::string& folder,
                      std::vector<Result>& out) const;
  std::int64_t tickedItems(TreeItem item) const;
  bool stopRequested();

  WizardState& m_state;
  PageView& m_view;
  PageSink& m_sink;
  std::string m_defaultPath;
  CXHtmlTree m_tree;
  CCheckListCtrl m_list;
  std::unique_ptr<myJpg> m_engine;
  Worker m_worker;
  StopFlag m_saveStop{0};
  std::atomic<bool> m_busy{false};
  std::atomic<bool> m_started{false};
  std::atomic<int> m_scanResult{-1};
  std::vector<WrittenFile> m_written;
  std::int64_t m_failures = 0;
  std::string m_firstFailure;
  std::int64_t m_missing = 0;
  std::vector<std::string> m_refusedRecords;
};

}  // namespace tessary
