// Reads of the NTFS parser through the disk reader: records through a small window cache, and large
// reads of runs of clusters. Both return the same bytes as one positioned read per record or cluster.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>

#include "disk/volume_view.h"
#include "fs/ntfs/ntfs_records.h"
#include "platform/large_buffer.h"

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
  // One record (out.size() bytes), served from the window cache when its window could be read whole.
  // The MFT itself is never held: every record read after the first pass comes from the image through
  // these few windows, which also serve the sequential pass of the parse in large reads.
  bool readRecord(std::int64_t offset, std::span<std::byte> out);

 private:
  static constexpr std::size_t kWindowBytes = 256 * 1024;
  static constexpr std::size_t kWindows = 8;
  struct Window {
    bool valid = false;
    std::int64_t start = 0;      // volume offset of the window
    std::uint64_t lastUse = 0;
    std::byte* bytes = nullptr;  // kWindowBytes inside m_windowMemory
  };

  VolumeView m_view;
  // The windows' bytes, page-aligned (reads into them run at the host's full copy speed); made at the
  // first miss and given back with the cache.
  std::unique_ptr<LargeBuffer> m_windowMemory;
  std::array<Window, kWindows> m_windows;
  std::uint64_t m_clock = 0;
};

}  // namespace tessary::ntfs_detail
