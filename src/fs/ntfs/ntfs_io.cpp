// The NTFS parser's reads: positioned reads, whole reads of runs, and the record window cache.
#include "fs/ntfs/ntfs_io.h"

#include <algorithm>
#include <cstring>

#include "disk/read_write_interface.h"
#include "platform/bytes.h"

namespace tessary::ntfs_detail {

void VolumeIo::attach(const VolumeView& view) {
  m_view = view;
  clearCache();
}

void VolumeIo::clearCache() {
  for (auto& window : m_windows) {
    window.valid = false;
    window.bytes.clear();
    window.bytes.shrink_to_fit();
  }
}

bool VolumeIo::readAt(std::int64_t offset, std::span<std::byte> out) {
  if (offset < 0) {
    std::memset(out.data(), 0, out.size());
    return false;
  }
  return m_view.readDetailed(static_cast<std::uint64_t>(offset), out).positioned;
}

bool VolumeIo::readWhole(std::int64_t offset, std::span<std::byte> out) {
  if (offset < 0) return false;
  return m_view.read(static_cast<std::uint64_t>(offset), out);
}

bool VolumeIo::readRecord(std::int64_t offset, std::span<std::byte> out) {
  if (!m_view.attached()) {
    std::memset(out.data(), 0, out.size());
    return false;
  }
  if (offset >= 0) {
    const auto windowStart = static_cast<std::int64_t>(static_cast<std::uint64_t>(offset) / kWindowBytes * kWindowBytes);
    const auto within = static_cast<std::size_t>(offset - windowStart);
    if (within + out.size() <= kWindowBytes) {
      for (auto& window : m_windows) {
        if (window.valid && window.start == windowStart) {
          window.lastUse = ++m_clock;
          std::memcpy(out.data(), window.bytes.data() + within, out.size());
          return true;
        }
      }
      auto& victim = *std::min_element(m_windows.begin(), m_windows.end(), [](const Window& a, const Window& b) {
        if (a.valid != b.valid) return !a.valid;
        return a.lastUse < b.lastUse;
      });
      victim.bytes.resize(kWindowBytes);
      victim.valid = false;
      if (readWhole(windowStart, victim.bytes)) {
        victim.valid = true;
        victim.start = windowStart;
        victim.lastUse = ++m_clock;
        std::memcpy(out.data(), victim.bytes.data() + within, out.size());
        return true;
      }
    }
  }
  // The window could not be read whole (near the disk's end, or a read error): one record as it comes.
  return readAt(offset, out);
}

}  // namespace tessary::ntfs_detail
