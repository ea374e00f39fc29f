// The partition tables the volume scan reads: MBR/EBR table entries and the GPT header and entries. Each
// file system's boot record is its own folder's (fs/<x>/). Private to src/volumes/.
#pragma once

#include <cstddef>
#include <cstdint>

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

constexpr std::size_t kSignature = 510;  // 0x55 0xAA
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

// The sector sizes a disk can have.
inline bool sectorBytesSound(std::uint64_t bytes) { return powerOfTwoIn(bytes, 512, 4096); }

}  // namespace tessary::volumes
