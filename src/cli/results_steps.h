// The wizard's last steps without a window: the recovery-mode page and the results page, and a walk over
// the results tree that opens every folder as a user clicking through it would.
#pragma once

#include <functional>
#include <iosfwd>
#include <memory>
#include <string>

#include "app/advance_options.h"
#include "app/parce_mode_ntfs_dlg.h"
#include "headless_wizard.h"
#include "results/volume_scan_dlg.h"

namespace tessary::cli {

class ResultsSteps {
 public:
  ResultsSteps(HeadlessWizard& wizard, const CommonOptions& options);

  // The recovery-mode page: picks --mode (and --formatted, --max-candidates) and presses Next.
  // False when the mode is not offered for the volume.
  bool recoveryModePage();
  // The results page: opens it for the chosen volume and waits for its parse worker. False when the
  // page refused (no parser for the label, no reader).
  bool resultsPage();
  // The advanced-input page, when the recovery-mode page led there: opens it, waits for its entry worker,
  // picks --candidate, --sectors-per-cluster and --heap-candidate and presses Next. False when the page
  // refused. Does nothing for the other modes.
  bool advancedInputPage();
  // The advanced-input page opened and its entry worker finished, without pressing Next.
  bool openAdvancedInput();
  advanceOptions* advancedInput() { return m_advanced.get(); }
  PageView& advancedInputView() { return m_advancedView; }
  // All three in a row.
  bool walkToResults() { return recoveryModePage() && advancedInputPage() && resultsPage(); }
  // The image, scan-mode and volume-list pages, with the chosen volume leading to the recovery-mode page.
  // False when a page refused or the volume leads elsewhere (the command then returns wizard.refused()).
  bool walkToRecoveryMode() {
    return m_wizard.walkToVolumeList() && m_wizard.selectVolume() == PopulateDriveDlg::NextPage::RecoveryMode;
  }
  // From the image page to the parsed results page: where listing, recovering and searching begin.
  bool walkFromImageToResults() { return walkToRecoveryMode() && walkToResults(); }

  VolumeScanDlg& page() { return *m_results; }
  PageView& resultsView() { return m_resultsView; }

  // Every entry below the top item, depth first in tree order, with its '/'-separated path. The tree's
  // own items are walked where it holds them; below a folder never opened, the parser's links are
  // followed in the order opening it would insert them, so no tree item is made and a tree of any depth
  // costs what its entries cost. A folder whose entry is already on the path from the top is listed but
  // not opened again, so links that loop back end.
  void visitAll(const std::function<void(std::int64_t, const std::string&)>& visit);
  // The tree item at a '/'-separated path below the top item (folders along it are opened), or kNoItem.
  TreeItem findPath(const std::string& path);

  // How the volume's file system compares names: case ignored (all but ext), 8.3 blanks ignored (FAT).
  struct NameRules {
    bool ignoreCase = false;
    bool padded = false;
  };
  NameRules nameRules() const;
  // A name as paths show it: without the blanks that pad FAT's 8.3 names.
  std::string shownName(const std::string& name) const;
  // Whether a typed path piece names the listed entry, as the file system compares names.
  bool sameName(const std::string& listed, const std::string& typed) const;

 private:
  // The position of the "Sector Per Cluster :" item showing `value`; -1, with the list as the message,
  // when no item does.
  int clusterItemOf(const std::string& value);

  HeadlessWizard& m_wizard;
  const CommonOptions& m_options;
  PageView m_recoveryView;
  std::unique_ptr<ParceModeNtfsDlg> m_recovery;
  bool m_advancedNext = false;
  PageView m_advancedView;
  // Declared before the results page: it owns the parser the results page borrows.
  std::unique_ptr<advanceOptions> m_advanced;
  PageView m_resultsView;
  std::unique_ptr<VolumeScanDlg> m_results;
};

// The output folder of a save, made with the folders above it that are missing; false, with the message
// on `err`, when it cannot be made.
bool makeOutputFolder(const std::string& path, std::ostream& err);
// The closing line of a save on stderr: files written, their bytes, deleted files among them, failures.
void printSaveSummary(const SaveEngine& engine, const std::string& outDir, std::ostream& err);
// What a finished save of the results page leaves on stderr (files holding zeros where the image ended,
// reads past the image's data, the failures) and the command's exit status.
int reportSave(HeadlessWizard& wizard, const SaveEngine& engine, std::ostream& err);

}  // namespace tessary::cli
