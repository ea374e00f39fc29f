// The flat reader: a file or block device whose bytes are the disk's bytes, with no header of any format.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "disk/mapped_reader.h"

namespace tessary {

class FileReadSeekFlat : public MappedDiskReader {
 public:
  explicit FileReadSeekFlat(DiskContext& context) : MappedDiskReader(context) {}

  bool open(const std::string& path) override;
  // A flat image kept as a sparse file: its holes read as zeros and are skipped like absent blocks.
  std::optional<std::uint64_t> nextDataOffset(std::uint64_t offset) const override;

  // Bytes of the file or device; the disk is that many bytes rounded up to whole sectors, the rounding
  // reading as zeros.
  std::uint64_t byteSize = 0;

 private:
  Place place(std::uint64_t absolute) const override;

  ImageFile m_file;
  std::uint64_t m_diskBytes = 0;
};

}  // namespace tessary
