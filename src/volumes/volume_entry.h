// The volume record that the scans produce and the later pages work on.
#pragma once

#include <cstdint>
#include <string>

namespace tessary {

struct VolumeEntry {
  // File-system label: "NTFS", "FAT16", "FAT32", "FAT64", "extX", "HFS+", "Unknown", "CUSTOM ", ...
  std::string fileSystem;
  std::string spare;  // no path fills it
  std::string volumeName;      // the volume's number as decimal text
  std::string volumeSizeText;  // the size as shown; its leading number is MiB
  std::int64_t startSector = 0;
  // The exact length in bytes where the partition table or the typed range gives it, 0 where only the
  // whole MiB of volumeSizeText is known. A partition need not end on a MiB.
  std::uint64_t sizeBytes = 0;
};

}  // namespace tessary
