// A read-only view of one volume of the virtual disk: the disk reader plus the volume's first byte.
// Offsets given to a view are volume-relative; nothing can move a view's origin once it is made, so two
// parsers on two volumes of one disk each read their own bytes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>

#include "disk/read_write_interface.h"

namespace tessary {

class DataSink;

class VolumeView {
 public:
  VolumeView() = default;
  // `diskSectors` is the virtual disk's size in 512-byte sectors (0 when unknown).
  VolumeView(readWriteInterface& reader, std::uint64_t startSector, std::uint64_t diskSectors);
  // The view of a listed volume: `startSector` counts the disk's logical sectors, as the volume list does
  // (a negative start is the disk's start). The one place where those sectors become 512-byte units.
  static VolumeView ofListedVolume(readWriteInterface& reader, const DiskContext& disk, std::int64_t startSector);

  bool attached() const { return m_reader != nullptr; }
  readWriteInterface* reader() const { return m_reader; }
  std::uint64_t startSector() const { return m_startSector; }
  std::uint64_t startByte() const { return m_startSector * kSectorSize; }
  // Bytes from the volume's first byte to the disk's end; UINT64_MAX when the disk's size is unknown, 0 when
  // the volume starts beyond the disk.
  std::uint64_t bytesToDiskEnd() const;

  // Reads out.size() bytes at the volume-relative `offset`. True only when every byte was positioned and
  // read; whatever was not delivered is zeros, never bytes left from an earlier read.
  bool read(std::uint64_t offset, std::span<std::byte> out) const { return readDetailed(offset, out).complete; }
  // The same read, telling a position the reader refused (past its block table, before the disk) from a
  // read that failed after a good position (a truncated image).
  struct Outcome {
    bool positioned = false;
    bool complete = false;
  };
  Outcome readDetailed(std::uint64_t offset, std::span<std::byte> out) const;
  // Puts the `bytes` bytes from the volume-relative `offset` into `sink` by a copy inside the host, for as
  // long as they lie as they are in the image's files and the sink takes them; returns how many it put.
  // The caller reads and writes the rest: the bytes are the same either way.
  std::uint64_t copyTo(DataSink& sink, std::uint64_t offset, std::uint64_t bytes) const;
  // Whether the reader can position at the volume-relative offset at all.
  bool reaches(std::uint64_t offset) const;
  // The first volume-relative offset at or after `offset` whose block may hold data, or none when nothing
  // from there to the disk's end does. Blocks without data read as zeros, so a whole-volume scan may jump
  // straight to the offset returned.
  std::optional<std::uint64_t> nextData(std::uint64_t offset) const;

 private:
  readWriteInterface* m_reader = nullptr;
  std::uint64_t m_startSector = 0;
  std::uint64_t m_diskSectors = 0;
};

}  // namespace tessary
