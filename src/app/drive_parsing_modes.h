// The scan-mode page: takes the image page's values as the reader's overrides, offers the standard or the
// advanced volume scan with their options, and hands the choice to the volume list page.
#pragma once

#include <functional>
#include <mutex>
#include <optional>
#include <string>

#include "disk/disk_image_export.h"
#include "platform/page_sink.h"
#include "platform/page_view.h"
#include "platform/worker.h"

namespace tessary {

struct WizardState;

class DriveParsingModes {
 public:
  // Control ids of the page's view. A field's id is its label's text; the label itself is "<text> label".
  static constexpr const char* kCurrentDrive = "Currently Selected Drive :";
  static constexpr const char* kStandardScan = "Standard Scan";
  static constexpr const char* kAdvanceScan = "Advance Scan";
  static constexpr const char* kStartingSector = "Starting Sector:";
  static constexpr const char* kEndingSector = "Ending Sector:";
  static constexpr const char* kStartingSectorLabel = "Starting Sector: label";
  static constexpr const char* kEndingSectorLabel = "Ending Sector: label";
  static constexpr const char* kDoNotSkip = "Do not Skip Volume Size While Parsing in Advance  Scan ";
  static constexpr const char* kCustomSetting = "Custom Setting:";
  static constexpr const char* kGptFormat = "GPT format";
  static constexpr const char* kSaveDiskImage = "Save Disk Image";
  static constexpr const char* kSaveImage = "Save Image";
  static constexpr const char* kNext = "Next";
  static constexpr const char* kBack = "Back";
  // The export's controls: the target's path field, the progress bar, its Stop button.
  static constexpr const char* kImagePath = "imagePath";
  static constexpr const char* kProgress = "progress";
  static constexpr const char* kStop = "Stop";
  static constexpr const char* kFolderTitle = "Please choose a folder.";

  // `imageView` is the image page's view, whose three fields this page reads on opening.
  DriveParsingModes(WizardState& state, const PageView& imageView, PageView& view, PageSink& sink);
  // Stops a running export and waits for it.
  ~DriveParsingModes();
  DriveParsingModes(const DriveParsingModes&) = delete;
  DriveParsingModes& operator=(const DriveParsingModes&) = delete;

  void onOpen();
  void onStandardScan();
  void onAdvanceScan();
  void onCustomSetting(bool checked);
  void onDoNotSkip(bool checked);
  void onGptFormat(bool checked);
  void onSaveDiskImage(bool checked);
  // Hands the choices over and asks `openVolumeListPage` to create and show the volume list page; true
  // when it did. When it cannot, the page says so and stays.
  bool onNext(const std::function<bool()>& openVolumeListPage);

  // "Save Image": asks `chooseFolder` for a folder (none when the user chose none), names the target and
  // starts the export's worker; false when no export was started.
  bool onSaveImage(const std::function<std::optional<std::string>()>& chooseFolder);
  // Stop: asks first; Yes sets stopExport.
  void onStop();
  bool exportRunning() const { return m_worker.running(); }
  void waitForExport() { m_worker.join(); }
  // What the last export did (read after waitForExport).
  ExportOutcome exportOutcome() const;
  const std::string& exportTarget() const { return m_target; }

  // Set by Stop, cleared by the worker when it acts on it.
  StopFlag stopExport{0};
  // Free space where the target goes; tests replace it to try a full disk.
  std::function<std::optional<std::uint64_t>(const std::string& folder)> freeSpaceOf;

 private:
  void setSectorFieldsEnabled(bool enabled);
  void setButtonsEnabled(bool enabled);
  void exportWorker();

  WizardState& m_state;
  const PageView& m_imageView;
  PageView& m_view;
  PageSink& m_sink;
  std::string m_target;
  mutable std::mutex m_outcomeMutex;
  ExportOutcome m_outcome;
  // Declared last: joined first, while what the worker uses still exists.
  Worker m_worker;
};

}  // namespace tessary
