// Creation of the wizard's disk reader.
#include "app/wizard_state.h"

#include "disk/image_format.h"

namespace tessary {

std::unique_ptr<readWriteInterface> WizardState::makeReader(PageSink* messages) {
  disk.messages = messages;
  return createDiskReader(imageFormatOf(imagePath), disk);
}

}  // namespace tessary
