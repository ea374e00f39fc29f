// On-disk layouts the volume scan reads: MBR/EBR table entries, the GPT header and entries, and the
// boot-record fields of NTFS, FAT, exFAT and the HFS+ volume header. Private to src/volumes/.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

#include "platform/bytes.h"

namespace tessary::volumes {

// MBR and extended boot records: four 16-byte entries from byte 446.
namespace mbr {
constexpr std::size_t kTableOffset = 446;
constexpr std::size_t kEntrySize = 16;
constexpr std::size_t kEntryCount = 4;
constexpr std::size_t kType = 4;
constexpr std::size_t kFirstSector = 8;   // 32-bit, relative to the table's own reference point
constexpr std::size_t kSectorCount = 12;  // 32-bit

struct Entry {
  std::uint8_t type = 0;
  std::uint32_t firstSector = 0;
  std::uint32_t sectorCount = 0;
};

inline Entry entry(Bytes sector, std::size_t index) {
  const std::size_t at = kTableOffset + index * kEntrySize;
  return {u8At(sector, at + kType), le32At(sector, at + kFirstSector), le32At(sector, at + kSectorCount)};
}

inline bool isExtended(std::uint8_t type) { return type == 0x05 || type == 0x0F; }
}  // namespace mbr

// GPT: the header in sector 1, the entry array wherever the header says.
namespace gpt {
constexpr std::size_t kHeaderSector = 1;
inline constexpr const char* kSignature = "EFI PART";
constexpr std::size_t kEntryArrayLba = 72;   // 64-bit, in the header
constexpr std::size_t kEntryCount = 80;      // 32-bit, in the header
constexpr std::size_t kEntrySizeField = 84;  // 32-bit, in the header
constexpr std::size_t kEntrySize = 128;      // the fields read; an entry may be longer
constexpr std::uint64_t kMaxEntrySize = 4096;
constexpr std::uint64_t kUsualEntries = 128;
constexpr std::uint64_t kMaxArrayBytes = 1 << 20;  // bounds what a header's count can make the scan read
constexpr std::size_t kTypeGuidBytes = 16;
constexpr std::size_t kFirstLba = 32;  // 64-bit
constexpr std::size_t kLastLba = 40;   // 64-bit
constexpr std::size_t kName = 56;      // UTF-16LE, 36 code units
constexpr std::size_t kNameBytes = 72;
constexpr std::uint64_t kLowestPartitionLba = 3;
inline constexpr const char* kReservedName = "Microsoft reserved partition";
}  // namespace gpt

// Boot-record fields (little-endian).
namespace boot {
constexpr std::size_t kJump = 0;
constexpr std::size_t kJumpTarget = 1;
constexpr std::size_t kOem = 3;
constexpr std::size_t kBytesPerSector = 11;      // 16-bit
constexpr std::size_t kSectorsPerCluster = 13;   // 8-bit
constexpr std::size_t kReservedSectors = 14;     // 16-bit
constexpr std::size_t kFatCount = 16;            // 8-bit
constexpr std::size_t kRootEntries = 17;         // 16-bit; 0 on FAT32
constexpr std::size_t kFatTotalSectors16 = 19;   // 16-bit
constexpr std::size_t kMedia = 21;               // 8-bit
constexpr std::size_t kFatSectorsPerFat = 22;    // 16-bit; 0 on FAT32
constexpr std::size_t kFatTotalSectors32 = 32;   // 32-bit
constexpr std::size_t kFat32SectorsPerFat = 36;  // 32-bit
constexpr std::size_t kNtfsTotalSectors = 40;    // 64-bit
constexpr std::size_t kExfatVolumeLength = 72;   // 64-bit, in sectors
constexpr std::size_t kExfatSectorShift = 108;   // 8-bit: bytes per sector = 2^value
constexpr std::size_t kSignature = 510;          // 0x55 0xAA

inline bool powerOfTwoIn(std::uint64_t v, std::uint64_t low, std::uint64_t high) {
  return v >= low && v <= high && (v & (v - 1)) == 0;
}
// The sector sizes a disk or a file system can have.
inline bool sectorBytesSound(std::uint64_t bytes) { return powerOfTwoIn(bytes, 512, 4096); }

inline bool ntfsJump(Bytes s) { return u8At(s, kJump) == 0xEB && u8At(s, kJumpTarget) == 0x52; }
inline bool fatJump(Bytes s) {
  const std::uint8_t target = u8At(s, kJumpTarget);
  return u8At(s, kJump) == 0xEB && (target == 0x3C || target == 0x58 || target == 0x76);
}
// NTFS volumes are formatted with the disk's sector size: 512 to 4096 bytes.
inline bool ntfsBootRecord(Bytes s, bool checkOem) {
  return ntfsJump(s) && (!checkOem || hasMagic(s, kOem, "NTFS")) && sectorBytesSound(le16At(s, kBytesPerSector));
}
inline bool exfatBootRecord(Bytes s) { return fatJump(s) && hasMagic(s, kOem, "EXFA"); }

// The FAT total: the 16-bit field, or the 32-bit one when the 16-bit field is 0. Both are unsigned in
// the FAT layout: a FAT16 volume of 16 to 32 MiB has a 16-bit total of 0x8000 or more.
inline std::uint64_t fat16TotalSectors(Bytes s) {
  const std::uint16_t small = le16At(s, kFatTotalSectors16);
  return small != 0 ? small : le32At(s, kFatTotalSectors32);
}

// What a FAT boot record's geometry says, when it is one a FAT volume can have.
struct FatGeometry {
  int bits = 0;  // 12, 16 or 32
  std::uint32_t bytesPerSector = 0;
  std::uint64_t totalSectors = 0;  // in the volume's own sectors
};

// Any maker's FAT boot record (mkfs.fat, Windows, others) whose geometry is sound: the jump, a power-of-two
// sector and cluster size, reserved sectors, one or two FATs, a FAT that covers the clusters, and a total
// that holds the reserved sectors, the FATs and the root folder. The sectors-per-FAT field at byte 22 tells
// FAT32 (0) from FAT12/16; the cluster count tells FAT12 from FAT16. The OEM name is not looked at.
inline std::optional<FatGeometry> fatGeometry(Bytes s) {
  if (!fatJump(s) || hasMagic(s, kOem, "EXFA") || hasMagic(s, kOem, "NTFS")) return std::nullopt;
  const std::uint32_t bps = le16At(s, kBytesPerSector);
  const std::uint32_t spc = u8At(s, kSectorsPerCluster);
  const std::uint32_t reserved = le16At(s, kReservedSectors);
  const std::uint32_t fats = u8At(s, kFatCount);
  const std::uint32_t rootEntries = le16At(s, kRootEntries);
  const std::uint8_t media = u8At(s, kMedia);
  const std::uint16_t perFat16 = le16At(s, kFatSectorsPerFat);
  const bool fat32 = perFat16 == 0;
  const std::uint64_t perFat = fat32 ? le32At(s, kFat32SectorsPerFat) : perFat16;
  const std::uint64_t total = fat16TotalSectors(s);
  if (!sectorBytesSound(bps) || !powerOfTwoIn(spc, 1, 128)) return std::nullopt;
  if (reserved < 1 || fats < 1 || fats > 2 || perFat == 0 || total == 0) return std::nullopt;
  if (media != 0xF0 && media < 0xF8) return std::nullopt;
  // FAT32 keeps its root folder in clusters, FAT12/16 in a root folder of their own. (mkfs.fat writes a
  // small FAT32 volume's total into the 16-bit field.)
  if (fat32 && rootEntries != 0) return std::nullopt;
  if (!fat32 && rootEntries == 0) return std::nullopt;
  const std::uint64_t rootSectors = (std::uint64_t{rootEntries} * 32 + bps - 1) / bps;
  const std::uint64_t meta = reserved + fats * perFat + rootSectors;  // at most 2^16 + 2^33 + 2^16
  if (meta >= total) return std::nullopt;
  const std::uint64_t clusters = (total - meta) / spc;
  if (clusters == 0) return std::nullopt;
  const int bits = fat32 ? 32 : (clusters < 4085 ? 12 : 16);
  // The FAT must have an entry for every cluster (and the two reserved ones).
  const std::uint64_t entryBits = bits == 32 ? 32 : bits;
  if (perFat * bps * 8 < (clusters + 2) * entryBits) return std::nullopt;
  return FatGeometry{bits, bps, total};
}
}  // namespace boot

// HFS+ volume header, 1024 bytes into the volume (big-endian).
namespace hfsplus {
constexpr std::size_t kHeaderOffsetSectors = 2;
constexpr std::size_t kBlockSize = 40;    // 32-bit
constexpr std::size_t kTotalBlocks = 44;  // 32-bit
// "H+" (version 4) or its case-sensitive variant "HX" (version 5).
inline bool volumeHeader(Bytes s) {
  return u8At(s, 0) == 'H' && (u8At(s, 1) == '+' || u8At(s, 1) == 'X') && u8At(s, 2) == 0;
}
inline std::uint64_t volumeBytes(Bytes header) {
  return std::uint64_t{be32At(header, kBlockSize)} * be32At(header, kTotalBlocks);
}
}  // namespace hfsplus

// ext2/3/4 superblock, 1024 bytes into the volume (little-endian).
namespace ext {
constexpr std::size_t kHeaderOffsetSectors = 2;
constexpr std::size_t kBlocksCountLo = 4;
constexpr std::size_t kFirstDataBlock = 20;
constexpr std::size_t kLogBlockSize = 24;
constexpr std::size_t kBlocksPerGroup = 32;
constexpr std::size_t kInodesPerGroup = 40;
constexpr std::size_t kMagic = 56;
constexpr std::size_t kRevLevel = 76;
constexpr std::size_t kBlockGroupNr = 90;
constexpr std::size_t kFeatureIncompat = 96;
constexpr std::size_t kBlocksCountHi = 336;
constexpr std::uint32_t kIncompat64Bit = 0x80;

// A primary superblock (not one of the copies in later groups, which name their group) with a geometry an
// ext volume can have. Its bytes, 0 when the geometry is not sound.
inline std::uint64_t volumeBytes(Bytes s) {
  if (le16At(s, kMagic) != 0xEF53 || le16At(s, kBlockGroupNr) != 0 || le32At(s, kRevLevel) > 1) return 0;
  const std::uint32_t log = le32At(s, kLogBlockSize);
  if (log > 6) return 0;  // 1 KiB to 64 KiB blocks
  const std::uint64_t blockSize = std::uint64_t{1024} << log;
  // The superblock lies in block 1 of a volume with 1 KiB blocks, in block 0 otherwise.
  if (le32At(s, kFirstDataBlock) != (log == 0 ? 1u : 0u)) return 0;
  if (le32At(s, kBlocksPerGroup) == 0 || le32At(s, kInodesPerGroup) == 0) return 0;
  std::uint64_t blocks = le32At(s, kBlocksCountLo);
  if (le32At(s, kFeatureIncompat) & kIncompat64Bit) blocks |= std::uint64_t{le32At(s, kBlocksCountHi)} << 32;
  if (blocks == 0) return 0;
  return checkedMul(blocks, blockSize).value_or(0);
}
}  // namespace ext

}  // namespace tessary::volumes
