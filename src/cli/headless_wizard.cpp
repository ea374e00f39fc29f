// The command line's walk through the wizard.
#include "headless_wizard.h"

#include <ostream>

#include "platform/text.h"

namespace tessary::cli {

namespace {

std::string sectorText(std::int64_t sector) { return format("%lld", static_cast<long long>(sector)); }

}  // namespace

HeadlessWizard::HeadlessWizard(const CommonOptions& options, std::ostream& err)
    : m_options(options), m_err(err), m_sink(options.quiet, options.verbose) {}

bool HeadlessWizard::imagePage() {
  m_imageDialog = std::make_unique<VhdInputDialog>(m_state, m_imageView, m_sink);
  m_imageDialog->onOpen();
  std::string parents;
  for (const std::string& parent : m_options.parents) parents += (parents.empty() ? "" : "\n") + parent;
  m_imageView.setText(VhdInputDialog::kParents, parents);
  m_imageDialog->onBrowseClosed(m_options.image);
  if (!m_imageView.enabled(VhdInputDialog::kNext)) return false;
  if (m_options.diskSizeMib) m_imageView.setText(VhdInputDialog::kSize, *m_options.diskSizeMib);
  if (m_options.blockSize) m_imageView.setText(VhdInputDialog::kBlockSize, *m_options.blockSize);
  if (m_options.logicalSectorSize) m_imageView.setText(VhdInputDialog::kLogicalSectorSize, *m_options.logicalSectorSize);
  return m_imageDialog->onNext();
}

bool HeadlessWizard::sectorsAreScanRange() const {
  return m_options.advanced && !m_options.volume && !m_options.fs;
}

bool HeadlessWizard::choosesVolume() const {
  const bool customSectors = !sectorsAreScanRange() && (m_options.startSector || m_options.endSector);
  return m_options.volume || m_options.fs || customSectors;
}

bool HeadlessWizard::scanModePage() {
  m_scanMode = std::make_unique<DriveParsingModes>(m_state, m_imageView, m_scanModeView, m_sink);
  m_scanMode->onOpen();
  if (m_options.advanced) m_scanMode->onAdvanceScan();
  if (m_options.gpt) m_scanMode->onGptFormat(true);
  // The advanced options can only be ticked while the page offers them.
  if (m_options.noSkip && m_scanModeView.enabled(DriveParsingModes::kDoNotSkip)) m_scanMode->onDoNotSkip(true);
  if (sectorsAreScanRange() && (m_options.startSector || m_options.endSector)) {
    m_scanMode->onCustomSetting(true);
    m_scanModeView.setText(DriveParsingModes::kStartingSector, sectorText(m_options.startSector.value_or(0)));
    m_scanModeView.setText(DriveParsingModes::kEndingSector, sectorText(m_options.endSector.value_or(0)));
  }
  return m_scanMode->onNext([this] {
    m_volumeList.reset();
    m_volumeList = std::make_unique<PopulateDriveDlg>(m_state, m_volumeListView, m_sink);
    return true;
  });
}

bool HeadlessWizard::volumeListPage() {
  if (!m_volumeList) return false;
  const bool opened = m_volumeList->onOpen();
  m_volumeList->waitForScan();
  m_sink.finishBar();
  return opened;
}

PopulateDriveDlg::NextPage HeadlessWizard::selectVolume() {
  if (!m_volumeList) return PopulateDriveDlg::NextPage::None;
  PopulateDriveDlg& page = *m_volumeList;
  const bool customSectors = !sectorsAreScanRange() && (m_options.startSector || m_options.endSector);
  const bool custom = customSectors || m_options.fs.has_value();
  if (m_options.volume) {
    const auto rows = page.rows();
    int found = -1;
    for (std::size_t i = 0; i < rows.size() && found < 0; ++i)
      if (trimmed(rows[i].volume) == trimmed(*m_options.volume)) found = static_cast<int>(i);
    page.onRowClicked(found);
    if (found >= 0) m_listedFileSystem = trimmed(rows[static_cast<std::size_t>(found)].fileSystem);
    if (custom) page.onCustomSettingsToggled(true);
  } else if (custom) {
    // The page hides "Add Custom Volume" after a standard scan; the command line presses it anyway,
    // since a custom volume is how every command names a volume the tables do not list.
    page.onAddCustomVolume();
  }
  if (custom) {
    if (customSectors && m_options.startSector)
      m_volumeListView.setText(PopulateDriveDlg::kStartSector, sectorText(*m_options.startSector));
    if (customSectors && m_options.endSector)
      m_volumeListView.setText(PopulateDriveDlg::kEndSector, sectorText(*m_options.endSector));
    if (m_options.fs) {
      const auto items = m_volumeListView.items(PopulateDriveDlg::kTreatAs);
      for (std::size_t i = 0; i < items.size(); ++i) {
        if (equalsNoCase(items[i], *m_options.fs))
          m_volumeListView.setSelection(PopulateDriveDlg::kTreatAs, static_cast<int>(i));
      }
    }
  }
  return page.onNext();
}

void HeadlessWizard::warnAboutMissingReads() {
  const readWriteInterface* reader = m_state.diskReader.get();
  if (!reader || reader->missingReads.load() == 0) return;
  m_err << "warning: " << reader->missingReads.load()
        << " reads found the image file shorter than its block table says; those bytes were read as zeros\n";
}

int HeadlessWizard::refused() {
  m_sink.finishBar();
  const std::string text = m_failure.empty() ? m_sink.lastMessage() : m_failure;
  m_err << (text.empty() ? std::string("the wizard could not go on") : text) << '\n';
  return 1;
}

}  // namespace tessary::cli
