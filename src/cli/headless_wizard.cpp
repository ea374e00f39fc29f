// The command line's walk through the wizard.
#include "headless_wizard.h"

#include <ostream>

namespace tessary::cli {

HeadlessWizard::HeadlessWizard(const CommonOptions& options, std::ostream& err)
    : m_options(options), m_err(err), m_sink(options.quiet, options.verbose) {}

bool HeadlessWizard::imagePage() {
  m_imageDialog = std::make_unique<VhdInputDialog>(m_state, m_imageView, m_sink);
  m_imageDialog->onOpen();
  m_imageDialog->onBrowseClosed(m_options.image);
  if (!m_imageView.enabled(VhdInputDialog::kNext)) return false;
  if (m_options.diskSizeMib) m_imageView.setText(VhdInputDialog::kSize, *m_options.diskSizeMib);
  if (m_options.blockSize) m_imageView.setText(VhdInputDialog::kBlockSize, *m_options.blockSize);
  if (m_options.logicalSectorSize) m_imageView.setText(VhdInputDialog::kLogicalSectorSize, *m_options.logicalSectorSize);
  return m_imageDialog->onNext();
}

int HeadlessWizard::refused() {
  m_sink.finishBar();
  const std::string text = m_sink.lastMessage();
  m_err << (text.empty() ? std::string("the wizard could not go on") : text) << '\n';
  return 1;
}

}  // namespace tessary::cli
