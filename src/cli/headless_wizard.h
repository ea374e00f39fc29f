// The wizard walked without a window: each step runs a page controller and presses its buttons.
#pragma once

#include <memory>
#include <string>

#include "app/vhd_input_dialog.h"
#include "app/wizard_state.h"
#include "options.h"
#include "platform/page_sink.h"
#include "platform/page_view.h"

namespace tessary::cli {

class HeadlessWizard {
 public:
  HeadlessWizard(const CommonOptions& options, std::ostream& err);

  // The image page: picks the image, types the overrides into the three fields, presses Next.
  bool imagePage();

  WizardState& state() { return m_state; }
  TerminalSink& sink() { return m_sink; }
  PageView& imageView() { return m_imageView; }
  const VhdInputDialog& imageDialog() const { return *m_imageDialog; }

  // Reports the page's refusal (its last message) on stderr and gives exit status 1.
  int refused();

 private:
  const CommonOptions& m_options;
  std::ostream& m_err;
  WizardState m_state;
  TerminalSink m_sink;
  PageView m_imageView;
  std::unique_ptr<VhdInputDialog> m_imageDialog;
};

}  // namespace tessary::cli
