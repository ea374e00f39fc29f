// The flat reader.
#include "disk/flat_reader.h"

namespace tessary {

bool FileReadSeekFlat::open(const std::string& path) {
  if (!m_file.open(path)) {
    message("Invalid handle ...");
    return false;
  }
  byteSize = m_file.size();
  imageFileSize = byteSize;
  if (byteSize == 0) {
    message("The image is empty: it holds no disk to read");
    return false;
  }
  const auto sectors = sectorsFor(byteSize);
  if (!sectors) return false;
  m_diskBytes = *sectors * kSectorSize;
  m_context.diskSectorCount = *sectors;
  m_context.imageLogicalSectorSize = 0;  // a flat file states none: 512 unless the user says otherwise
  return true;
}

std::optional<std::uint64_t> FileReadSeekFlat::nextDataOffset(std::uint64_t offset) const {
  return pastHostHoles(offset, [this](std::uint64_t from) -> std::optional<std::uint64_t> {
    if (from >= m_diskBytes) return std::nullopt;
    return from;
  });
}

MappedDiskReader::Place FileReadSeekFlat::place(std::uint64_t absolute) const {
  Place where;
  if (absolute >= m_diskBytes) return where;
  where.mapped = true;
  if (absolute >= byteSize) {
    // The part of the last sector past the file's end.
    where.runBytes = m_diskBytes - absolute;
    return where;
  }
  where.allocated = true;
  where.file = &m_file;
  where.filePosition = absolute;
  where.runBytes = byteSize - absolute;
  return where;
}

}  // namespace tessary
