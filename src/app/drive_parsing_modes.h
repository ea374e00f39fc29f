// The scan-mode page: takes the image page's values as the reader's overrides, offers the standard or the
// advanced volume scan with their options, and hands the choice to the volume list page.
#pragma once

#include <functional>

#include "platform/page_sink.h"
#include "platform/page_view.h"

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

  // `imageView` is the image page's view, whose three fields this page reads on opening.
  DriveParsingModes(WizardState& state, const PageView& imageView, PageView& view, PageSink& sink);

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

 private:
  void setSectorFieldsEnabled(bool enabled);

  WizardState& m_state;
  const PageView& m_imageView;
  PageView& m_view;
  PageSink& m_sink;
};

}  // namespace tessary
