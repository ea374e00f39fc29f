// Creation of the wizard's disk reader.
#include "app/wizard_state.h"

#include "disk/vhdx_reader.h"

namespace tessary {

std::unique_ptr<readWriteInterface> WizardState::makeReader(PageSink* messages) {
  disk.messages = messages;
  return std::make_unique<FileReadSeekVHDX>(disk);
}

}  // namespace tessary
