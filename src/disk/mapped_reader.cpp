// Reads through a format's byte map in runs.
#include "disk/mapped_reader.h"

#include <algorithm>
#include <cstring>

#include "platform/bytes.h"
#include "platform/page_sink.h"

namespace tessary {

std::optional<std::uint64_t> sectorsFor(std::uint64_t bytes) {
  const auto padded = checkedAdd(bytes, std::uint64_t{kSectorSize - 1});
  if (!padded) return std::nullopt;
  return *padded / kSectorSize;
}

void MappedDiskReader::message(const std::string& text) const {
  if (m_context.messages) m_context.messages->showMessage(text);
}

MappedDiskReader::Place MappedDiskReader::placeRelative(std::int64_t offset) const {
  const auto absolute = checkedAdd(offset, baseOffset);
  if (!absolute || *absolute < 0) return {};
  Place where = place(static_cast<std::uint64_t>(*absolute));
  if (where.mapped && where.runBytes == 0) where.mapped = false;
  if (where.allocated && !where.memory && (!where.file || where.filePosition > static_cast<std::uint64_t>(INT64_MAX))) {
    where.mapped = false;
    where.allocated = false;
  }
  return where;
}

bool MappedDiskReader::seek(std::int64_t offset, std::uint32_t origin) {
  (void)origin;
  currentOffset = offset;
  const Place where = placeRelative(offset);
  if (!where.mapped) return false;
  blockAllocated = where.allocated ? 1 : 0;
  return true;
}

std::optional<readWriteInterface::HostStretch> MappedDiskReader::hostStretch(std::uint64_t offset,
                                                                           std::uint64_t length) const {
  if (length == 0 || offset > static_cast<std::uint64_t>(INT64_MAX)) return std::nullopt;
  const Place where = place(offset);
  if (!where.mapped || !where.allocated || where.memory || !where.file || where.runBytes == 0 ||
      where.filePosition > static_cast<std::uint64_t>(INT64_MAX))
    return std::nullopt;
  return HostStretch{where.file, where.filePosition, std::min(length, where.runBytes)};
}

bool MappedDiskReader::read(void* buffer, std::uint32_t length) {
  auto* out = static_cast<std::byte*>(buffer);
  const std::int64_t start = currentOffset;
  std::uint64_t done = 0;
  bool ok = true;
  while (done < length) {
    const Place where = placeRelative(currentOffset);
    if (!where.mapped) {
      ok = false;
      break;
    }
    const std::uint64_t wanted = std::min<std::uint64_t>(length - done, where.runBytes);
    std::span<std::byte> piece(out + done, static_cast<std::size_t>(wanted));
    if (where.allocated && where.memory) {
      std::memcpy(piece.data(), where.memory, piece.size());
    } else if (where.allocated) {
      const auto got = where.file->readAt(where.filePosition, piece);
      if (!got) {
        ++missingReads;
        ok = false;
        break;
      }
      // Bytes past the end of a truncated image read as zeros, never as stale buffer contents.
      if (*got < piece.size()) {
        ++missingReads;
        std::memset(piece.data() + *got, 0, piece.size() - *got);
      }
    } else {
      std::memset(piece.data(), 0, piece.size());
    }
    done += wanted;
    currentOffset += static_cast<std::int64_t>(wanted);
  }
  if (done < length) std::memset(out + done, 0, length - done);
  // A final partial sector is taken whole, as the sector readers do.
  if (ok && length % kSectorSize != 0)
    currentOffset = start + static_cast<std::int64_t>((std::uint64_t{length} + kSectorSize - 1) / kSectorSize * kSectorSize);
  const Place next = placeRelative(currentOffset);
  if (next.mapped) blockAllocated = next.allocated ? 1 : 0;
  return ok;
}

}  // namespace tessary
