// The reading shared by the VHD, VDI and VMDK readers: each format maps a byte of the virtual disk to a
// place in one of its image files; runs of bytes that lie together are served with one file read, and
// bytes without data read as zeros.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "disk/read_write_interface.h"
#include "platform/files.h"

namespace tessary {

class MappedDiskReader : public readWriteInterface {
 public:
  explicit MappedDiskReader(DiskContext& context) : m_context(context) {}

  bool read(void* buffer, std::uint32_t length) override;
  bool seek(std::int64_t offset, std::uint32_t origin = 0) override;
  // A run of bytes that lies in one of the format's files as it is.
  std::optional<HostStretch> hostStretch(std::uint64_t offset, std::uint64_t length) const override;

  // The last offset given to seek, moved on by every read (relative to baseOffset).
  std::int64_t currentOffset = 0;

 protected:
  // Where an absolute byte of the virtual disk lies.
  struct Place {
    bool mapped = false;     // false: outside the disk's map; a seek there fails
    bool allocated = false;  // false: the byte has no data in any file and reads as zero
    const ImageFile* file = nullptr;
    std::uint64_t filePosition = 0;
    // Instead of a file: bytes the reader holds in memory (a cluster it inflated), valid until the next
    // call of place.
    const std::byte* memory = nullptr;
    std::uint64_t runBytes = 0;  // bytes from here on that share this mapping (at least 1 when mapped)
  };
  virtual Place place(std::uint64_t absolute) const = 0;

  // The answer of nextDataOffset from the format's own map (`byMap`, the first offset at or after its
  // argument whose block the map says holds data) narrowed by the image file's holes: a stretch the map
  // gives a place in the file, but that lies in a hole of the host file, reads as zeros too.
  template <typename ByMap>
  std::optional<std::uint64_t> pastHostHoles(std::uint64_t offset, const ByMap& byMap) const {
    std::optional<std::uint64_t> at = byMap(offset);
    while (at) {
      const Place where = place(*at);
      if (!where.mapped || !where.allocated || where.memory || !where.file || where.runBytes == 0) return at;
      const std::uint64_t data = where.file->dataFrom(where.filePosition);
      if (data - where.filePosition < where.runBytes) return *at + (data - where.filePosition);
      // The whole run is a hole of the host file: the map is asked again after it.
      if (where.runBytes > UINT64_MAX - *at) return at;
      at = byMap(*at + where.runBytes);
    }
    return at;
  }

  void message(const std::string& text) const;

  DiskContext& m_context;

 private:
  Place placeRelative(std::int64_t offset) const;
};

// Rounds a byte count up to whole sectors; none on overflow.
std::optional<std::uint64_t> sectorsFor(std::uint64_t bytes);

}  // namespace tessary
