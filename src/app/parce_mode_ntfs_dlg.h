// The recovery-mode page: Standard, Advanced or Deep, offered by the volume's file-system family.
#pragma once

#include <functional>
#include <string>

#include "platform/page_sink.h"
#include "platform/page_view.h"
#include "volumes/volume_entry.h"

namespace tessary {

struct WizardState;

class ParceModeNtfsDlg {
 public:
  static constexpr const char* kStandard = "Standard";
  static constexpr const char* kAdvanced = "Advanced";
  static constexpr const char* kDeep = "Deep";
  static constexpr const char* kMaxLabel = "Please Enter Max File Systems to Find :";
  static constexpr const char* kMaxField = "maxFileSystems";
  static constexpr const char* kMaxNote = "( By  Default  it's  = 3 )";
  static constexpr const char* kFormatted = "Is Drive Formated..?";
  static constexpr const char* kNext = "Next";

  enum class NextPage { None, AdvancedInput, Results };

  // `modeBuilt` tells whether this build has the worker a mode needs for a label; a mode without one is
  // not offered (by default every mode is).
  ParceModeNtfsDlg(WizardState& state, PageView& view, PageSink& sink,
                   std::function<bool(const std::string& label, int mode)> modeBuilt = {});

  void onOpen();
  void onStandard();
  void onAdvanced();
  void onDeep();
  void onFormatted(bool checked);
  NextPage onNext();

  const VolumeEntry& volume() const { return m_volume; }
  // The first three letters of the label, leading spaces removed.
  const std::string& family() const { return m_family; }

 private:
  void showAdvancedFields(bool shown);

  WizardState& m_state;
  PageView& m_view;
  [[maybe_unused]] PageSink& m_sink;  // the page shows no message of its own
  std::function<bool(const std::string&, int)> m_modeBuilt;
  VolumeEntry m_volume;
  std::string m_family;
  bool m_asksFormatted = false;
};

}  // namespace tessary
