// Test image builder for VHDX files with the odd and damaged layouts that real tools never write.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace tessary::test {

// The shape of a test VHDX image: block and sector sizes, disk size, and the layout quirks to build.
struct VhdxShape {
  std::uint32_t blockSize = 1u << 20;
  std::uint32_t logicalSectorSize = 512;
  std::uint64_t diskSize = 8u << 20;
  bool hasParent = false;
  // Items carry their published identifiers; false leaves them zero (found by position only).
  bool withIds = true;
  // Item order: true as qemu-img writes it (file parameters, disk size, page 83, logical, physical);
  // false in the positional order file parameters, disk size, logical, physical.
  bool qemuItemOrder = true;
  // A parent locator item added (six items).
  bool parentLocatorItem = false;
  // Region table entries: false puts the block table first (entry 0) and metadata second.
  bool metadataRegionFirst = false;
  bool regionIds = true;
  // Damage the region table at 192 KiB (its copy at 256 KiB stays good).
  bool damagePrimaryRegionTable = false;
  // Give both region tables this entry count instead of 2.
  std::optional<std::uint32_t> regionEntryCount;
  // Force the metadata table's item count field.
  std::optional<std::uint16_t> metadataItemCountField;
  // Block contents: block index -> bytes (padded to the block size). Blocks not named have no data.
  std::map<std::uint64_t, std::vector<std::byte>> blocks;
  // Blocks whose entry is written with state "fully present" but a file offset of 0.
  std::vector<std::uint64_t> zeroOffsetBlocks;
  // Overrides of raw block table entries by their position in the table (bitmap entries included).
  std::map<std::uint64_t, std::uint64_t> rawEntries;
  // Cut the finished file to this many bytes.
  std::optional<std::uint64_t> truncateTo;
};

// Where things landed in the built file.
struct VhdxLayoutInfo {
  std::uint64_t metadataOffset = 0;
  std::uint64_t batOffset = 0;
  std::uint64_t batEntries = 0;
  std::uint64_t chunkRatio = 0;
  std::map<std::uint64_t, std::uint64_t> blockFileOffset;
};

std::vector<std::byte> buildVhdx(const VhdxShape& shape, VhdxLayoutInfo* layout = nullptr);
void writeBytes(const std::string& path, const std::vector<std::byte>& bytes);
// A block filled with a pattern that names the block and the sector: byte k of sector s of block b.
std::vector<std::byte> patternBlock(std::uint64_t block, std::uint32_t blockSize);
std::byte patternByte(std::uint64_t block, std::uint64_t sectorInBlock, std::uint64_t byteInSector);

}  // namespace tessary::test
