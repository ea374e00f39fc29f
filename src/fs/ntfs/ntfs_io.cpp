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

std::span<std::byte> VolumeIo::holdPiece(std::int64_t offset, std::size_t size) {
  if (offset < 0 || size == 0 || size > kArenaBytes || size > kMaxHeldBytes - m_heldBytes) return {};
  if (m_arenas.empty() || m_arenas.back()->size() - m_arenaUsed < size) {
    auto arena = std::make_unique<LargeBuffer>(kArenaBytes);
    if (!arena->data()) return {};
    m_arenas.push_back(std::move(arena));
    m_arenaUsed = 0;
  }
  const std::span<std::byte> piece(m_arenas.back()->data() + m_arenaUsed, size);
  m_arenaUsed += size;
  m_heldBytes += size;
  m_held[offset] = piece;
  return piece;
}

void VolumeIo::releaseHeld() {
  m_held.clear();
  m_arenas.clear();
  m_arenaUsed = 0;
  m_heldBytes = 0;
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
  if (offset >= 0 && !m_held.empty()) {
    auto piece = m_held.upper_bound(offset);
    if (piece != m_held.begin()) {
      --piece;
      const auto within = static_cast<std::uint64_t>(offset - piece->first);
      if (fits(piece->second.size(), within, out.size())) {
        std::memcpy(out.data(), piece->second.data() + within, out.size());
        return true;
      }
    }
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
