// The disk reader over a byte buffer.
#include "support/buffer_reader.h"

#include <algorithm>
#include <cstring>

namespace tessary::fuzz {

bool BufferReader::seek(std::int64_t offset, std::uint32_t) {
  if (offset < 0 || baseOffset < 0 || offset > INT64_MAX - baseOffset) return false;
  const auto at = static_cast<std::uint64_t>(offset + baseOffset);
  if (at >= m_bytes.size()) return false;
  m_position = at;
  return true;
}

bool BufferReader::read(void* buffer, std::uint32_t length) {
  auto* out = static_cast<std::uint8_t*>(buffer);
  const std::uint64_t available = m_position < m_bytes.size() ? m_bytes.size() - m_position : 0;
  const auto taken = static_cast<std::size_t>(std::min<std::uint64_t>(available, length));
  if (taken > 0) std::memcpy(out, m_bytes.data() + m_position, taken);
  if (taken < length) std::memset(out + taken, 0, length - taken);
  m_position += (static_cast<std::uint64_t>(length) + kSectorSize - 1) / kSectorSize * kSectorSize;
  return taken == length;
}

std::optional<std::uint64_t> BufferReader::nextDataOffset(std::uint64_t offset) const {
  // Offsets here are the disk's own, as the buffer's are.
  if (offset >= m_bytes.size()) return std::nullopt;
  return offset;
}

}  // namespace tessary::fuzz
