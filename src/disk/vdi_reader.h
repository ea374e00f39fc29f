// The VDI reader: the image header, the block map, and blocks of data after the data offset. Map entries
// 0xFFFFFFFF (not allocated) and 0xFFFFFFFE (a block of zeros) have no data in the file.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "disk/mapped_reader.h"
#include "disk/parent_chain.h"

namespace tessary {

class FileReadSeekVdi : public MappedDiskReader, public ChainLayer {
 public:
  static constexpr std::size_t kHeaderSize = 472;
  static constexpr std::uint32_t kSignature = 0xBEDA107F;

  explicit FileReadSeekVdi(DiskContext& context) : MappedDiskReader(context) {}

  bool open(const std::string& path) override;
  std::optional<std::uint64_t> nextDataOffset(std::uint64_t offset) const override;

  // A snapshot (image type 4) records its parent's creation UUID as its linkage UUID; no name, so the
  // parent is sought among the .vdi files beside it. Unallocated blocks are the parent's.
  std::optional<ParentLink> parentLink() const override;
  std::string chainIdentity() const override;
  bool holds(std::uint64_t offset, std::uint64_t& run) const override;
  static constexpr std::uint32_t kDifferencing = 4;

  // A copy of the image header and the values taken from it.
  std::array<std::byte, kHeaderSize> header{};
  std::uint32_t signature = 0;
  std::uint32_t version = 0;
  std::uint32_t headerSize = 0;
  std::uint32_t imageType = 0;
  std::uint32_t blocksOffset = 0;
  std::uint32_t dataOffset = 0;
  std::uint32_t cylinders = 0;
  std::uint32_t heads = 0;
  std::uint32_t sectors = 0;
  std::uint64_t diskSize = 0;
  std::uint32_t blockSize = 0;
  std::uint32_t blockExtra = 0;
  std::uint32_t blockCount = 0;
  std::uint32_t allocatedBlocks = 0;
  // The block map: per block its number among the blocks in the file.
  std::vector<std::uint64_t> blockMap;
  std::uint32_t blockSectors = 0;

 private:
  Place place(std::uint64_t absolute) const override;

  ImageFile m_file;
};

}  // namespace tessary
