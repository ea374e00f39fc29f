// The VHD reader: fixed disks (the footer at the end of the file, the data before it) and dynamic or
// differencing disks (footer, dynamic disk header, block allocation table, sector bitmaps).
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "disk/mapped_reader.h"

namespace tessary {

class FileReadSeekVHD : public MappedDiskReader {
 public:
  explicit FileReadSeekVHD(DiskContext& context) : MappedDiskReader(context) {}

  bool open(const std::string& path) override;
  std::optional<std::uint64_t> nextDataOffset(std::uint64_t offset) const override;

  // Disk types of the footer.
  static constexpr std::uint32_t kFixed = 2;
  static constexpr std::uint32_t kDynamic = 3;
  static constexpr std::uint32_t kDifferencing = 4;

  // The footer's values, byte-swapped.
  std::uint32_t features = 0;
  std::uint32_t formatVersion = 0;
  std::uint64_t dataOffset = 0;
  std::uint64_t originalSize = 0;
  std::uint64_t currentSize = 0;
  std::uint16_t cylinders = 0;
  std::uint8_t heads = 0;
  std::uint8_t sectorsPerTrack = 0;
  std::uint32_t diskType = 0;
  // The dynamic disk header's values (dynamic and differencing disks).
  std::uint64_t tableOffset = 0;
  std::uint32_t maxTableEntries = 0;
  std::uint32_t blockSize = 0;

 private:
  Place place(std::uint64_t absolute) const override;
  bool openDynamic();

  ImageFile m_file;
  std::uint64_t m_bitmapBytes = 0;
};

}  // namespace tessary
