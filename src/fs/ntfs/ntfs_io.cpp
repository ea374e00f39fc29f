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
    window.bytes = nullptr;
  }
  m_windowMemory.reset();
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
  if (offset >= 0 && !m_windowMemory) {
    auto memory = std::make_unique<LargeBuffer>(kWindows * kWindowBytes);
    if (memory->data()) {
      m_windowMemory = std::move(memory);
      for (std::size_t i = 0; i < kWindows; ++i) m_windows[i].bytes = m_windowMemory->data() + i * kWindowBytes;
    }
  }
  if (offset >= 0 && m_windowMemory) {
    const auto windowStart = static_cast<std::int64_t>(static_cast<std::uint64_t>(offset) / kWindowBytes * kWindowBytes);
    const auto within = static_cast<std::size_t>(offset - windowStart);
    if (within + out.size() <= kWindowBytes) {
      for (auto& window : m_windows) {
        if (window.valid && window.start == windowStart) {
          window.lastUse = ++m_clock;
          std::memcpy(out.data(), window.bytes + within, out.size());
          return true;
        }
      }
      auto& victim = *std::min_element(m_windows.begin(), m_windows.end(), [](const Window& a, const Window& b) {
        if (a.valid != b.valid) return !a.valid;
        return a.lastUse < b.lastUse;
      });
      victim.valid = false;
      if (readWhole(windowStart, std::span<std::byte>(victim.bytes, kWindowBytes))) {
        victim.valid = true;
        victim.start = windowStart;
        victim.lastUse = ++m_clock;
        std::memcpy(out.data(), victim.bytes + within, out.size());
        return true;
      }
    }
  }
  // The window could not be read whole (near the disk's end, or a read error): one record as it comes.
  return readAt(offset, out);
}

}  // namespace tessary::ntfs_detail
