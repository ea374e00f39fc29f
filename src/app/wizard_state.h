// The values the wizard's pages share: the disk reader, the user's corrections, the image, the modes.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "disk/read_write_interface.h"
#include "volumes/volume_entry.h"

namespace tessary {

class PageSink;

struct WizardState {
  // The reader's shared values: diskSectorCount and the user overrides of the image page.
  DiskContext disk;
  // The single current reader of the process, or none.
  std::unique_ptr<readWriteInterface> diskReader;

  std::string imagePath;
  bool imageChosen = false;          // the image page's file dialog has been closed
  bool chainFromImagePage = false;   // the user picked a file on the image page

  int scanMode = 1;  // 1 standard scan, 2 advanced scan
  bool useGpt = false;
  bool doNotSkip = false;
  std::optional<std::int64_t> startSector;
  std::optional<std::int64_t> endSector;

  std::optional<VolumeEntry> selectedVolume;

  int recoveryMode = 0;  // 1 Standard, 2 Advanced, 3 Deep; 0 until chosen
  bool driveFormatted = false;
  std::string rootLabel = "ROOT";
  int maxFileSystems = 3;

  // A new reader for the image's format (not yet opened); its messages go to `messages`.
  std::unique_ptr<readWriteInterface> makeReader(PageSink* messages);
};

}  // namespace tessary
