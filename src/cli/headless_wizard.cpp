// The command line's walk through the wizard.
#include "headless_wizard.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <filesystem>
#include <ostream>

#include "fs/registry.h"
#include "platform/files.h"
#include "platform/text.h"

namespace tessary::cli {

namespace {

std::string sectorText(std::int64_t sector) { return format("%lld", static_cast<long long>(sector)); }

std::string treatAsList() {
  std::string list;
  for (const std::string& entry : treatAsEntries()) list += (list.empty() ? "" : ", ") + entry;
  return list;
}

// Whether the file starts with the VHDX signature.
bool startsAsVhdx(const std::string& path) {
  // Through the host layer: the name is UTF-8, which the C library on Windows does not take.
  ImageFile file;
  std::array<std::byte, 8> head{};
  if (!file.open(path) || !file.readExact(0, head)) return false;
  return std::memcmp(head.data(), "vhdxfile", head.size()) == 0;
}

}  // namespace

HeadlessWizard::HeadlessWizard(const CommonOptions& options, std::ostream& err)
    : m_options(options), m_err(err), m_sink(options.quiet, options.verbose) {}

bool HeadlessWizard::imagePage() {
  m_imageDialog = std::make_unique<VhdInputDialog>(m_state, m_imageView, m_sink);
  m_imageDialog->onOpen();
  // The file dialog hands over a full path; so does the command line (the exported image is named after it).
  std::string path = m_options.image;
  std::error_code error;
  if (!path.empty()) {
    // As UTF-8 both ways: on Windows a narrow path would go through the ANSI code page.
    const std::filesystem::path absolute = std::filesystem::absolute(std::u8string(path.begin(), path.end()), error);
    if (!error) {
      const std::u8string normal = absolute.lexically_normal().u8string();
      path.assign(normal.begin(), normal.end());
    }
  }
  std::string parents;
  for (const std::string& parent : m_options.parents) parents += (parents.empty() ? "" : "\n") + parent;
  m_imageView.setText(VhdInputDialog::kParents, parents);
  m_imageDialog->onBrowseClosed(path);
  if (!m_imageView.enabled(VhdInputDialog::kNext)) {
    // A file that is no image at all reads as a VHDX whose region table is broken.
    if (m_sink.lastMessage() == "Region entry corrupt" && !startsAsVhdx(m_options.image))
      addHint(m_options.image + " is not a virtual-disk image: it has no VHDX signature, and its name or "
                                "contents name no VHD, VDI or VMDK");
    return false;
  }
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
  if (opened && !m_options.advanced) {
    if (!m_options.gpt && m_volumeList->protectiveMbrOnly())
      addHint("the MBR holds only a protective entry (type 0xEE): the disk is partitioned with GPT; add --gpt "
              "to list its volumes");
    if (m_options.gpt && !m_volumeList->gptHeaderFound())
      addHint("the disk's sector 1 holds no GPT header; without --gpt the MBR is read");
  }
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
  const PopulateDriveDlg::NextPage next = page.onNext();
  if (next == PopulateDriveDlg::NextPage::None) hintAtRefusedVolume(custom);
  return next;
}

void HeadlessWizard::hintAtRefusedVolume(bool custom) {
  const std::string refusal = m_sink.lastMessage();
  const std::size_t count = m_volumeList->rows().size();
  if (refusal == "please select a valid volume.") {
    if (count == 0) {
      addHint(format("the scan found no volumes; name a range of the disk's %llu sectors with --start-sector S "
                     "--end-sector E (and --fs LABEL), or try --advanced to search for boot records",
                     static_cast<unsigned long long>(m_state.disk.diskSectorCount /
                                                     (logicalSectorBytes(m_state.disk) / 512))));
    } else if (m_options.volume) {
      addHint("there is no volume " + *m_options.volume + "; the list holds: " + volumesText());
    } else {
      addHint("name a volume with --volume N: " + volumesText());
    }
  } else if (refusal == "can not parse unknown volume" && !custom) {
    if (!m_options.gpt && m_volumeList->protectiveMbrOnly()) return;  // the GPT hint says what to do
    addHint("read it as a file system with --fs LABEL (" + treatAsList() + "), or carve it with `tessary carve`");
  }
}

std::string HeadlessWizard::volumesText() const {
  std::string text;
  if (!m_volumeList) return text;
  for (const auto& row : m_volumeList->rows()) {
    if (!text.empty()) text += "; ";
    // "63   MB" or a bare MiB count, shown as "63 MB".
    std::string size = std::to_string(decimalValue(row.volumeSize)) + " MB";
    text += trimmed(row.volume) + " " + trimmed(row.fileSystem) + " " + size + " at sector " + row.startSector;
  }
  return text;
}

void HeadlessWizard::addHint(const std::string& text) {
  if (std::find(m_hints.begin(), m_hints.end(), text) == m_hints.end()) m_hints.push_back(text);
}

void HeadlessWizard::printHints() {
  for (const std::string& hint : m_hints) m_err << "hint: " << hint << '\n';
  m_hints.clear();
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
  printHints();
  return 1;
}

}  // namespace tessary::cli
