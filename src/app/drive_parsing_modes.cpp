// The scan-mode page's logic.
#include "app/drive_parsing_modes.h"

#include "app/vhd_input_dialog.h"
#include "app/wizard_state.h"
#include "platform/bytes.h"
#include "platform/files.h"
#include "platform/text.h"

namespace tessary {

namespace {

// A typed size in MiB as bytes; a negative or overflowing number gives no override at all, so that the
// reader keeps the image's own value instead of a wrapped one.
std::uint64_t diskSizeOverride(const std::string& text) {
  const std::int64_t mib = decimalValue(text);
  if (mib <= 0) return 0;
  return checkedMul(static_cast<std::uint64_t>(mib), std::uint64_t{1} << 20).value_or(0);
}

// A typed 32-bit value; one that does not fit gives no override.
std::uint32_t valueOverride(const std::string& text) {
  const std::int64_t value = decimalValue(text);
  if (value < 0 || value > static_cast<std::int64_t>(UINT32_MAX)) return 0;
  return static_cast<std::uint32_t>(value);
}

}  // namespace

DriveParsingModes::DriveParsingModes(WizardState& state, const PageView& imageView, PageView& view, PageSink& sink)
    : m_state(state), m_imageView(imageView), m_view(view), m_sink(sink) {}

DriveParsingModes::~DriveParsingModes() {
  stopExport = 1;
  m_worker.gate().resume();
  m_worker.join();
  if (m_state.disk.messages == &m_sink) m_state.disk.messages = nullptr;
}

void DriveParsingModes::setSectorFieldsEnabled(bool enabled) {
  for (const char* id : {kStartingSector, kEndingSector, kStartingSectorLabel, kEndingSectorLabel})
    m_view.setEnabled(id, enabled);
}

void DriveParsingModes::onOpen() {
  m_state.disk.userDiskSize = diskSizeOverride(m_imageView.text(VhdInputDialog::kSize));
  m_state.disk.userBlockSize = valueOverride(m_imageView.text(VhdInputDialog::kBlockSize));
  m_state.disk.userLogicalSectorSize = valueOverride(m_imageView.text(VhdInputDialog::kLogicalSectorSize));
  if (m_state.diskReader) m_state.diskReader->open(m_state.imagePath);
  m_view.setText(kCurrentDrive, m_state.imagePath);

  m_view.setChecked(kStandardScan, true);
  m_view.setChecked(kAdvanceScan, false);
  m_view.setText(kStartingSector, "0");
  m_view.setText(kEndingSector, "0");
  setSectorFieldsEnabled(false);
  m_view.setEnabled(kDoNotSkip, false);
  m_view.setEnabled(kCustomSetting, false);
  m_view.setChecked(kSaveDiskImage, false);
  m_view.setEnabled(kSaveImage, false);
  m_view.setShown(kProgress, false);
  m_view.setShown(kStop, false);
}

void DriveParsingModes::onStandardScan() {
  m_view.setChecked(kStandardScan, true);
  m_view.setChecked(kAdvanceScan, false);
  m_view.setEnabled(kDoNotSkip, false);
  m_view.setEnabled(kCustomSetting, false);
  setSectorFieldsEnabled(false);
}

void DriveParsingModes::onAdvanceScan() {
  m_view.setChecked(kStandardScan, false);
  m_view.setChecked(kAdvanceScan, true);
  m_view.setEnabled(kDoNotSkip, true);
  m_view.setEnabled(kCustomSetting, true);
  // A "Custom Setting:" ticked before the switch to the standard scan makes its fields usable again.
  setSectorFieldsEnabled(m_view.checked(kCustomSetting));
}

void DriveParsingModes::onCustomSetting(bool checked) {
  m_view.setChecked(kCustomSetting, checked);
  setSectorFieldsEnabled(checked);
}

void DriveParsingModes::onDoNotSkip(bool checked) { m_view.setChecked(kDoNotSkip, checked); }

void DriveParsingModes::onGptFormat(bool checked) { m_view.setChecked(kGptFormat, checked); }

void DriveParsingModes::onSaveDiskImage(bool checked) {
  m_view.setChecked(kSaveDiskImage, checked);
  m_view.setEnabled(kSaveImage, checked);
}

bool DriveParsingModes::onNext(const std::function<bool()>& openVolumeListPage) {
  m_state.scanMode = m_view.checked(kStandardScan) ? 1 : 2;
  m_state.doNotSkip = m_view.checked(kDoNotSkip);
  m_state.useGpt = m_view.checked(kGptFormat);
  m_state.startSector.reset();
  m_state.endSector.reset();
  if (m_view.checked(kCustomSetting)) {
    const std::int64_t start = decimalValue(m_view.text(kStartingSector));
    const std::int64_t end = decimalValue(m_view.text(kEndingSector));
    if ((start > 0 && start < end) || end >= 0) {
      m_state.startSector = start;
      m_state.endSector = end;
    }
  }
  if (!openVolumeListPage || !openVolumeListPage()) {
    m_sink.showMessage("error creating PopulateDriveDlgptr");
    return false;
  }
  return true;
}

}  // namespace tessary

namespace tessary {

void DriveParsingModes::setButtonsEnabled(bool enabled) {
  for (const char* id : {kNext, kBack, kSaveDiskImage, kStandardScan, kAdvanceScan}) m_view.setEnabled(id, enabled);
  m_view.setEnabled(kSaveImage, enabled && m_view.checked(kSaveDiskImage));
}

bool DriveParsingModes::onSaveImage(const std::function<std::optional<std::string>()>& chooseFolder) {
  if (m_worker.running() || !m_view.checked(kSaveDiskImage)) return false;
  m_sink.showMessage("Make sure you have sufficient disk space at saving location of Image File");
  std::optional<std::string> folder = chooseFolder ? chooseFolder() : std::nullopt;
  if (!folder || folder->empty()) return false;
  if (folder->back() != '/') folder->push_back('/');
  const auto target = diskImageTargetPath(*folder, m_state.imagePath, entryExists);
  if (!target) {
    m_sink.showMessage("File cannot be Created");
    return false;
  }
  m_target = *target;
  m_view.setText(kImagePath, m_target);
  stopExport = 0;
  {
    std::lock_guard lock(m_outcomeMutex);
    m_outcome = ExportOutcome{};
  }
  m_worker.start([this] { exportWorker(); });
  return true;
}

void DriveParsingModes::onStop() {
  if (!m_worker.running()) return;
  if (m_sink.askYesNo("Are you sure to stop the running process?")) stopExport = 1;
}

ExportOutcome DriveParsingModes::exportOutcome() const {
  std::lock_guard lock(m_outcomeMutex);
  return m_outcome;
}

void DriveParsingModes::exportWorker() {
  ExportOutcome outcome;
  // The export reads through a reader of its own, made afresh for the image's format.
  m_state.diskReader.reset();
  m_state.diskReader = m_state.makeReader(&m_sink);
  if (!m_state.diskReader) {
    m_sink.showMessage("Information lost, Click Back button and parse again");
    outcome.message = "Information lost, Click Back button and parse again";
  } else {
    setButtonsEnabled(false);
    readWriteInterface& reader = *m_state.diskReader;
    if (reader.open(m_state.imagePath)) {
      const std::uint64_t sectors =
          m_state.disk.diskSectorCount != 0 ? m_state.disk.diskSectorCount : reader.imageFileSize / kSectorSize;
      const std::uint64_t totalBytes = checkedMul(sectors, std::uint64_t{kSectorSize}).value_or(0);
      m_view.setShown(kProgress, true);
      m_view.setShown(kStop, true);
      WorkerControl control(nullptr, &m_worker.gate());
      DiskImageExport copy(m_sink, stopExport, control);
      copy.freeSpaceOf = freeSpaceOf;
      outcome = copy.run(reader, totalBytes, m_state.imagePath, m_target);
      if (reader.missingReads.load() != 0 && outcome.message.empty())
        outcome.message = format("%llu reads found the image file shorter than its block table says; those bytes were saved as zeros",
                                 static_cast<unsigned long long>(reader.missingReads.load()));
    } else {
      outcome.message = "File not opened..";
    }
  }
  stopExport = 0;
  // The volume list page makes its own reader when the user goes on.
  m_state.diskReader.reset();
  m_state.disk.diskSectorCount = 0;
  m_view.setShown(kProgress, false);
  m_view.setShown(kStop, false);
  setButtonsEnabled(true);
  std::lock_guard lock(m_outcomeMutex);
  m_outcome = outcome;
}

}  // namespace tessary
