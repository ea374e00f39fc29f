// The FAT12/16/32 boot record as the parser and the volume scans read it (little-endian), and the tests
// both make of it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>

#include "platform/bytes.h"

namespace tessary::fat_layout {

constexpr std::size_t kJump = 0;
constexpr std::size_t kJumpTarget = 1;
constexpr std::size_t kOem = 3;
constexpr std::size_t kBytesPerSector = 11;      // 16-bit
constexpr std::size_t kSectorsPerCluster = 13;   // 8-bit
constexpr std::size_t kReservedSectors = 14;     // 16-bit
constexpr std::size_t kFatCount = 16;            // 8-bit
constexpr std::size_t kRootEntries = 17;         // 16-bit; 0 on FAT32
constexpr std::size_t kTotalSectors16 = 19;      // 16-bit
constexpr std::size_t kMedia = 21;               // 8-bit
constexpr std::size_t kSectorsPerFat16 = 22;     // 16-bit; 0 on FAT32
constexpr std::size_t kTotalSectors32 = 32;      // 32-bit
constexpr std::size_t kSectorsPerFat32 = 36;     // 32-bit

inline bool fatJump(Bytes s) {
  const std::uint8_t target = u8At(s, kJumpTarget);
  return u8At(s, kJump) == 0xEB && (target == 0x3C || target == 0x58 || target == 0x76);
}

// The FAT total: the 16-bit field, or the 32-bit one when the 16-bit field is 0. Both are unsigned in
// the FAT layout: a FAT16 volume of 16 to 32 MiB has a 16-bit total of 0x8000 or more.
inline std::uint64_t totalSectors(Bytes s) {
  const std::uint16_t small = le16At(s, kTotalSectors16);
  return small != 0 ? small : le32At(s, kTotalSectors32);
}

// The sectors-per-FAT field at byte 22 tells FAT32 (0) from FAT12/16.
inline bool isFat32Record(Bytes s) { return le16At(s, kSectorsPerFat16) == 0; }

// The geometry the parser works from: a power-of-two sector (512 to 4096 bytes) and cluster size,
// reserved sectors, one or two FATs of some size, all inside the total.
inline bool geometryUsable(Bytes s, bool fat32) {
  const std::uint32_t bps = le16At(s, kBytesPerSector);
  const std::uint32_t spc = u8At(s, kSectorsPerCluster);
  const std::uint32_t reserved = le16At(s, kReservedSectors);
  const std::uint32_t fats = u8At(s, kFatCount);
  const std::uint64_t perFat = fat32 ? le32At(s, kSectorsPerFat32) : le16At(s, kSectorsPerFat16);
  if (!powerOfTwoIn(bps, 512, 4096) || !powerOfTwoIn(spc, 1, 255)) return false;
  if (reserved < 1 || fats < 1 || fats > 2 || perFat == 0) return false;
  return reserved + fats * perFat <= totalSectors(s);
}

// The FAT parser's boot-sector test for its family (FAT32, or FAT12/16): a record of a known maker
// ("MSDOS", or "BSD" on FAT32) is taken on its name even when its geometry is damaged; any other maker's
// record wants a usable geometry.
inline bool parserTakes(Bytes s, bool fat32) {
  if (isFat32Record(s) != fat32 || le16At(s, kBytesPerSector) == 0 || u8At(s, kSectorsPerCluster) == 0) return false;
  const bool knownMaker = hasMagic(s, kOem, "MSDOS") || (fat32 && hasMagic(s, kOem, "BSD"));
  return knownMaker || geometryUsable(s, fat32);
}

// What a FAT boot record found by a volume scan says.
struct Geometry {
  int bits = 0;  // 12, 16 or 32
  std::uint32_t bytesPerSector = 0;
  std::uint64_t totalSectors = 0;  // in the volume's own sectors
};

// The volume scans' test: a record the parser takes on its geometry (whatever its maker), that also has
// the jump, a cluster of at most 128 sectors, a media byte, a root folder of the family's kind, clusters
// past the metadata and a FAT that covers them. A scan meets noise in every sector; the parser is handed
// a volume someone chose. The cluster count tells FAT12 from FAT16. The OEM name is not looked at.
inline std::optional<Geometry> scanGeometry(Bytes s) {
  if (!fatJump(s) || hasMagic(s, kOem, "EXFA") || hasMagic(s, kOem, "NTFS")) return std::nullopt;
  const bool fat32 = isFat32Record(s);
  if (!geometryUsable(s, fat32)) return std::nullopt;
  const std::uint32_t bps = le16At(s, kBytesPerSector);
  const std::uint32_t spc = u8At(s, kSectorsPerCluster);
  const std::uint32_t reserved = le16At(s, kReservedSectors);
  const std::uint32_t fats = u8At(s, kFatCount);
  const std::uint32_t rootEntries = le16At(s, kRootEntries);
  const std::uint8_t media = u8At(s, kMedia);
  const std::uint64_t perFat = fat32 ? le32At(s, kSectorsPerFat32) : le16At(s, kSectorsPerFat16);
  const std::uint64_t total = totalSectors(s);
  if (spc > 128 || total == 0) return std::nullopt;
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
  return Geometry{bits, bps, total};
}

}  // namespace tessary::fat_layout
