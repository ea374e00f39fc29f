// The wizard walked without a window: each step runs a page controller and presses its buttons.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "app/drive_parsing_modes.h"
#include "app/vhd_input_dialog.h"
#include "app/wizard_state.h"
#include "options.h"
#include "platform/page_sink.h"
#include "platform/page_view.h"
#include "terminal_sink.h"
#include "volumes/populate_drive_dlg.h"

namespace tessary::cli {

class HeadlessWizard {
 public:
  HeadlessWizard(const CommonOptions& options, std::ostream& err);

  // The image page: picks the image, types the overrides into the three fields, presses Next.
  bool imagePage();
  // The scan-mode page: "Advance Scan" for --advanced, "GPT format" for --gpt, "Do not Skip ..." for
  // --no-skip, "Custom Setting:" with the two sector fields when the sector options are the scan range;
  // then Next, which creates the volume list page.
  bool scanModePage();
  // The volume list page: opens it, which runs the scan (waiting for the advanced scan's worker). False
  // when the page refused.
  bool volumeListPage();
  // Picks the volume as --volume, --start-sector, --end-sector and --fs say and presses the volume list
  // page's Next. Returns where Next led: the recovery-mode page or the raw page, with the chosen volume in
  // state().selectedVolume; NextPage::None when the page refused (then return refused()).
  PopulateDriveDlg::NextPage selectVolume();
  // The three pages in a row; false as soon as one refuses.
  bool walkToVolumeList() { return imagePage() && scanModePage() && volumeListPage(); }

  // Whether --start-sector/--end-sector are the advanced scan's range ("Custom Setting:"): with
  // --advanced and neither --volume nor --fs. Otherwise they describe a custom volume.
  bool sectorsAreScanRange() const;
  // Whether the options ask for a volume (--volume, --fs, or the sector options of a custom volume).
  bool choosesVolume() const;

  WizardState& state() { return m_state; }
  TerminalSink& sink() { return m_sink; }
  PageView& imageView() { return m_imageView; }
  const VhdInputDialog& imageDialog() const { return *m_imageDialog; }
  PageView& scanModeView() { return m_scanModeView; }
  PageView& volumeListView() { return m_volumeListView; }
  PopulateDriveDlg& volumeList() { return *m_volumeList; }

  // Reports the page's refusal (the failure noted, else its last message) on stderr, one line, then the
  // hints gathered so far ("hint: ..." lines, each a next step), and gives exit status 1.
  int refused();
  // A next step for the user, printed after a refusal or by printHints().
  void addHint(const std::string& text);
  // Prints the hints gathered so far on stderr (and forgets them).
  void printHints();
  // The volume list as one line for a hint: "0 NTFS 63 MB at sector 2048; 1 ...".
  std::string volumesText() const;
  // A failure a page reported by its status line rather than a message (a parse that aborted).
  void noteFailure(const std::string& text) { m_failure = text; }
  // The file system the volume list found on the chosen row, before --fs overrode it (empty when the
  // volume was not a listed row).
  const std::string& listedFileSystem() const { return m_listedFileSystem; }
  // One warning line on stderr when reads of the image ran past its end (those bytes were zeros).
  void warnAboutMissingReads();

 private:
  // The next steps after the volume list page refused the choice.
  void hintAtRefusedVolume(bool custom);

  const CommonOptions& m_options;
  std::ostream& m_err;
  std::string m_failure;
  std::string m_listedFileSystem;
  std::vector<std::string> m_hints;
  WizardState m_state;
  TerminalSink m_sink;
  PageView m_imageView;
  std::unique_ptr<VhdInputDialog> m_imageDialog;
  PageView m_scanModeView;
  std::unique_ptr<DriveParsingModes> m_scanMode;
  PageView m_volumeListView;
  // Declared last: destroyed first, so its scan worker ends while the state it reads still exists.
  std::unique_ptr<PopulateDriveDlg> m_volumeList;
};

}  // namespace tessary::cli
