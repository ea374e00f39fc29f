// The image page's logic.
#include "app/vhd_input_dialog.h"

#include <algorithm>

#include "app/wizard_state.h"
#include "disk/image_format.h"
#include "platform/files.h"
#include "platform/text.h"

namespace tessary {

VhdInputDialog::VhdInputDialog(WizardState& state, PageView& view, PageSink& sink)
    : m_state(state), m_view(view), m_sink(sink) {}

void VhdInputDialog::onOpen() {
  m_view.setEnabled(kPath, false);  // read-only
  for (const char* id : {kInfoGroup, kFileVersion, kSize, kBlockSize, kLogicalSectorSize, kChain}) m_view.setShown(id, false);
  m_view.setEnabled(kNext, false);
}

void VhdInputDialog::onBrowseClosed(const std::optional<std::string>& picked) {
  m_view.setEnabled(kNext, true);
  m_state.imageChosen = true;
  if (!picked) return;
  m_view.setText(kPath, *picked);
  m_state.imagePath = *picked;
  m_state.chainFromImagePage = true;
  m_state.disk.namedParents.clear();
  const std::string parents = m_view.text(kParents);
  for (std::size_t start = 0; start < parents.size();) {
    const std::size_t end = std::min(parents.find('\n', start), parents.size());
    const std::string line = trimmed(std::string_view(parents).substr(start, end - start));
    if (!line.empty()) m_state.disk.namedParents.push_back(line);
    start = end + 1;
  }
  // A temporary reader holds the file's length while the values are read; none is kept afterwards.
  m_state.diskReader = m_state.makeReader(&m_sink);
  const bool shown = readAnyImageInfo(m_sink, m_state.disk, m_state.diskReader.get(), *picked, m_info);
  if (!shown) {
    m_view.setEnabled(kNext, false);
    m_state.diskReader.reset();
    return;
  }
  for (const char* id : {kInfoGroup, kFileVersion, kSize, kBlockSize, kLogicalSectorSize}) m_view.setShown(id, true);
  if (m_info.shown) {
    m_view.setText(kFileVersion, format("%ld", static_cast<long>(m_info.formatVersion)));
    m_view.setText(kSize, format("%llu", static_cast<unsigned long long>(m_info.diskSize >> 20)));
    m_view.setText(kBlockSize, format("%d", static_cast<int>(m_info.blockSize)));
    m_view.setText(kLogicalSectorSize, format("%d", static_cast<int>(m_info.logicalSectorSize)));
    for (const std::string& warning : m_info.warnings) m_sink.showMessage(warning);
    std::string chain;
    for (const std::string& line : m_info.chain) chain += (chain.empty() ? "" : "\n") + line;
    m_view.setText(kChain, chain);
    m_view.setShown(kChain, !chain.empty());
  }
  m_state.diskReader.reset();
}

bool VhdInputDialog::onNext() {
  const std::string path = m_view.text(kPath);
  if (path.empty() || !isImageFile(path)) {
    m_sink.showMessage("Please select valid path to continue the recovery process.");
    return false;
  }
  if (m_view.text(kSize).empty()) {
    m_sink.showMessage("Please enter Hard disk Size to process the recovery.");
    return false;
  }
  if (m_view.text(kBlockSize).empty()) {
    m_sink.showMessage("Please enter Block Size to process the recovery.");
    return false;
  }
  if (m_view.text(kLogicalSectorSize).empty()) {
    m_sink.showMessage("to process the recovery Logical sector Size to process the recovery.");
    return false;
  }
  return true;
}

}  // namespace tessary
