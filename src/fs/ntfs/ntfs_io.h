// Reads of the NTFS parser through the disk reader: records through a small window cache, and large
// reads of runs of clusters. Both return the same bytes as one positioned read per record or cluster.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>
#include <span>
#include <vector>

#include "disk/volume_view.h"
#include "fs/ntfs/ntfs.h"
#include "platform/large_buffer.h"
#include "fs/ntfs/ntfs_records.h"

namespace tessary::ntfs_detail {

class VolumeIo {
 public:
  void attach(const VolumeView& view);
  const VolumeView& view() const { return m_view; }
  void clearCache();

  // Positions at `offset` and reads out.size() bytes. False when the position failed (out is zeroed);
  // a read that fails after a good position leaves what the reader delivered (zeros where it had none).
  bool readAt(std::int64_t offset, std::span<std::byte> out);
  // Positions and reads; true only when both the position and the whole read succeeded.
  bool readWhole(std::int64_t offset, std::span<std::byte> out);
  // One record (out.size() bytes), served from the held MFT pieces or the window cache when its window could be
  // read whole.
  bool readRecord(std::int64_t offset, std::span<std::byte> out);

  // Room for a piece of the MFT that is then kept as read, so that records read again later (the listing
  // reads them in tree order, not in MFT order) cost no disk read. At most kMaxHeldBytes are kept; beyond
  // that (an empty span) records come through the window cache. The piece is kept once read into.
  std::span<std::byte> holdPiece(std::int64_t offset, std::size_t size);
  void releaseHeld();
  static constexpr std::size_t kMaxHeldBytes = 128u << 20;
  static constexpr std::size_t kArenaBytes = 32u << 20;

 private:
  static constexpr std::size_t kWindowBytes = 256 * 1024;
  static constexpr std::size_t kWindows = 8;
  struct Window {
    bool valid = false;
    std::int64_t start = 0;      // volume offset of the window
    std::uint64_t lastUse = 0;
    std::vector<std::byte> bytes;
  };

  VolumeView m_view;
  std::map<std::int64_t, std::span<const std::byte>> m_held;  // by volume offset of the piece
  std::vector<std::unique_ptr<LargeBuffer>> m_arenas;
  std::size_t m_arenaUsed = 0;
  std::size_t m_heldBytes = 0;
  std::array<Window, kWindows> m_windows;
  std::uint64_t m_clock = 0;
};

}  // namespace tessary::ntfs_detail
