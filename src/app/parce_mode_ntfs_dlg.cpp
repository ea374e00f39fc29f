// The recovery-mode page's logic.
#include "app/parce_mode_ntfs_dlg.h"

#include "app/wizard_state.h"
#include "fs/registry.h"
#include "platform/text.h"

namespace tessary {

ParceModeNtfsDlg::ParceModeNtfsDlg(WizardState& state, PageView& view, PageSink& sink,
                                   std::function<bool(const std::string&, int)> modeBuilt)
    : m_state(state), m_view(view), m_sink(sink), m_modeBuilt(std::move(modeBuilt)) {}

void ParceModeNtfsDlg::onOpen() {
  m_volume = m_state.selectedVolume.value_or(VolumeEntry{});
  std::string label = m_volume.fileSystem;
  label.erase(0, label.find_first_not_of(' ') == std::string::npos ? label.size() : label.find_first_not_of(' '));
  m_family = label.substr(0, 3);
  // The modes a file system offers are its registry row's; a label that names none offers every mode.
  const FileSystemRow* row = fileSystemForLabel(label);
  bool advanced = !row || row->offersAdvanced;
  bool deep = !row || row->offersDeep;
  // "Is Drive Formated..?" is the row's question; a label that names no row asks it when it starts "fat".
  m_asksFormatted = row ? row->asksFormatted : equalsNoCase(m_family, "fat");
  if (m_modeBuilt) {
    advanced = advanced && m_modeBuilt(m_volume.fileSystem, 2);
    deep = deep && m_modeBuilt(m_volume.fileSystem, 3);
  }
  m_view.setShown(kStandard, true);
  m_view.setShown(kAdvanced, advanced);
  m_view.setShown(kDeep, deep);
  m_view.setText(kMaxField, "");
  onStandard();
}

void ParceModeNtfsDlg::showAdvancedFields(bool shown) {
  m_view.setShown(kMaxLabel, shown);
  m_view.setShown(kMaxField, shown);
  m_view.setShown(kMaxNote, shown);
  m_view.setShown(kFormatted, shown && m_asksFormatted);
}

void ParceModeNtfsDlg::onStandard() {
  m_state.recoveryMode = 1;
  m_view.setChecked(kStandard, true);
  m_view.setChecked(kAdvanced, false);
  m_view.setChecked(kDeep, false);
  showAdvancedFields(false);
}

void ParceModeNtfsDlg::onAdvanced() {
  if (!m_view.shown(kAdvanced)) return;
  m_state.recoveryMode = 2;
  m_view.setChecked(kStandard, false);
  m_view.setChecked(kAdvanced, true);
  m_view.setChecked(kDeep, false);
  showAdvancedFields(true);
}

void ParceModeNtfsDlg::onDeep() {
  if (!m_view.shown(kDeep)) return;
  m_state.recoveryMode = 3;
  m_view.setChecked(kStandard, false);
  m_view.setChecked(kAdvanced, false);
  m_view.setChecked(kDeep, true);
  showAdvancedFields(false);
}

void ParceModeNtfsDlg::onFormatted(bool checked) {
  m_view.setChecked(kFormatted, checked);
  m_state.driveFormatted = checked;
}

ParceModeNtfsDlg::NextPage ParceModeNtfsDlg::onNext() {
  const std::int64_t typed = decimalValue(m_view.text(kMaxField));
  m_state.maxFileSystems = typed < 1 || typed > 0x7FFFFFFF ? 3 : static_cast<int>(typed);
  // The following pages work on this page's copy of the volume.
  m_state.selectedVolume = m_volume;
  switch (m_state.recoveryMode) {
    case 2:
      return NextPage::AdvancedInput;
    case 1:
    case 3:
      return NextPage::Results;
    default:
      return NextPage::None;
  }
}

}  // namespace tessary
