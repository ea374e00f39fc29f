// Names for carved files from the volume's own metadata: when the carved volume still parses as a file
// system, its deleted and orphaned file entries say where each file's data began; a carved file that
// starts there takes that entry's name, folder and times.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>

#include "disk/volume_view.h"

namespace tessary {

struct RememberedEntry {
  std::string name;    // the entry's own name
  std::string folder;  // its folders from the volume's root, separated by "/" ("" at the root)
  std::uint64_t size = 0;
  // Last access and last write, nanoseconds since 1970; none when the entry holds no valid time.
  std::optional<std::int64_t> accessNs;
  std::optional<std::int64_t> modificationNs;
};

// Deleted and orphaned file entries by the volume-relative byte offset of their first data byte; empty
// when the volume parses as none of the file systems tried (FAT12, FAT16, FAT32, NTFS, exFAT, ext2/3/4,
// HFS+).
std::map<std::int64_t, RememberedEntry> rememberedStarts(const VolumeView& view, std::uint64_t volumeBytes);

}  // namespace tessary
