// The VHDX reader and the image page's reading of a VHDX file's values.
#pragma once

#include <cstdint>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "disk/parent_chain.h"
#include "disk/read_write_interface.h"
#include "platform/files.h"

namespace tessary {

class FileReadSeekVHDX : public readWriteInterface, public ChainLayer {
 public:
  explicit FileReadSeekVHDX(DiskContext& context) : m_context(context) {}

  bool open(const std::string& path) override;
  bool read(void* buffer, std::uint32_t length) override;
  bool seek(std::int64_t offset, std::uint32_t origin = 0) override;
  std::optional<std::uint64_t> nextDataOffset(std::uint64_t offset) const override;
  // A block with a file position is one stretch of the file from there to the block's end.
  std::optional<HostStretch> hostStretch(std::uint64_t offset, std::uint64_t length) const override;

  // A differencing disk names its parent in its parent locator and records the parent's data write GUID
  // as parent_linkage. A block that is not present is the parent's; a partially present block holds the
  // sectors its sector bitmap marks.
  std::optional<ParentLink> parentLink() const override;
  std::string chainIdentity() const override { return m_dataWriteGuid; }
  bool holds(std::uint64_t offset, std::uint64_t& run) const override;

  // Log entries replayed in memory over the file's reads when it was opened (0 when none were).
  std::size_t logEntriesApplied = 0;
  bool differencing = false;

  std::int64_t currentOffset = 0;
  std::uint32_t blockSectors = 0;
  // 2^23 x logical sector size / block size: payload blocks between two sector-bitmap entries.
  std::uint64_t chunkRatio = 0;

 private:
  struct SectorPlace {
    bool inTable = false;
    bool allocated = false;
    bool positionOutOfRange = false;  // the block's file position does not fit a signed offset
    std::uint64_t filePosition = 0;
    std::uint32_t sectorsLeftInBlock = 0;
  };
  SectorPlace place(std::int64_t relativeOffset) const;
  std::optional<std::uint64_t> firstDataFrom(std::uint64_t offset) const;
  void message(const std::string& text) const;

  DiskContext& m_context;
  ImageFile m_file;
  std::string m_dataWriteGuid;
  std::vector<std::pair<std::string, std::string>> m_locator;
  std::uint32_t m_logicalSectorSize = 512;
  // Per payload block its state (the entry's low three bits), per chunk its sector bitmap's position.
  std::vector<std::uint8_t> m_states;
  std::vector<std::uint64_t> m_bitmapOffsets;
  mutable std::mutex m_bitmapMutex;
  mutable std::uint64_t m_bitmapBlock = UINT64_MAX;
  mutable std::vector<std::byte> m_bitmap;
  // The last stretch nextDataOffset found without data: [m_zerosFrom, m_zerosTo), UINT64_MAX for the
  // disk's end.
  mutable std::mutex m_stretchMutex;
  mutable std::uint64_t m_zerosFrom = 0;
  mutable std::uint64_t m_zerosTo = 0;
};

// The values the image page shows for a VHDX file.
struct ImageInfo {
  bool shown = false;  // false when the file could not be opened (nothing to show)
  std::uint16_t formatVersion = 0;
  std::uint64_t diskSize = 0;  // bytes
  std::uint32_t blockSize = 0;
  std::uint32_t logicalSectorSize = 0;
  std::uint32_t physicalSectorSize = 0;
  bool differencing = false;
  // What the file's own checks say without refusing it (checksums, log, blocks past the file's end).
  std::vector<std::string> warnings;
  // The VHD, VDI and VMDK images also tell their format, geometry and (VMDK) adapter and create type.
  std::string formatName = "VHDX";
  std::uint32_t cylinders = 0;
  std::uint32_t heads = 0;
  std::uint32_t sectorsPerTrack = 0;
  std::string adapterType;
  std::string createType;
  // A differencing image's chain, the image first (one line per image), and the parent that is missing.
  std::vector<std::string> chain;
  std::string missingParent;
  // VHDX log entries replayed in memory.
  std::size_t logEntriesApplied = 0;
};

// Reads the file's values for the image page. True when the values were shown or the file cannot be
// opened at all; false after a rejection message. Sets context.diskSectorCount, and the reader's
// imageFileSize when a reader is given.
bool readImageInfo(PageSink& page, DiskContext& context, readWriteInterface* reader, const std::string& path,
                   ImageInfo& info);

}  // namespace tessary
