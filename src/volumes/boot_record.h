// On-disk layouts the volume scan reads: MBR/EBR table entries, the GPT header and entries, and the
// boot-record fields of NTFS, FAT, exFAT and the HFS+ volume header. Private to src/volumes/.
#pragma once

#include <cstddef>
#include <cstdint>
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
constexpr std::size_t kEntryArrayLba = 72;  // 64-bit, in the header
constexpr std::size_t kArrayBytes = 10240;  // the part of the array that is looked at: 80 entries
constexpr std::size_t kEntrySize = 128;
constexpr std::size_t kMaxEntries = 72;
constexpr std::size_t kFirstLba = 32;  // 64-bit
constexpr std::size_t kLastLba = 40;   // 64-bit
constexpr std::size_t kName = 56;      // UTF-16LE, 36 code units
constexpr std::size_t kNameBytes = 72;
constexpr std::uint64_t kLowestPartitionLba = 3;
constexpr std::uint8_t kStopByte = 0x30;
inline constexpr const char* kReservedName = "Microsoft reserved partition";
}  // namespace gpt

// Boot-record fields (little-endian).
namespace boot {
constexpr std::size_t kJump = 0;
constexpr std::size_t kJumpTarget = 1;
constexpr std::size_t kOem = 3;
constexpr std::size_t kBytesPerSector = 11;      // 16-bit
constexpr std::size_t kFatTotalSectors16 = 19;   // 16-bit
constexpr std::size_t kFatSectorsPerFat = 22;    // 16-bit; 0 on FAT32
constexpr std::size_t kFatTotalSectors32 = 32;   // 32-bit
constexpr std::size_t kNtfsTotalSectors = 40;    // 64-bit
constexpr std::size_t kExfatVolumeLength = 72;   // 64-bit, in sectors

inline bool ntfsJump(Bytes s) { return u8At(s, kJump) == 0xEB && u8At(s, kJumpTarget) == 0x52; }
inline bool fatJump(Bytes s) {
  const std::uint8_t target = u8At(s, kJumpTarget);
  return u8At(s, kJump) == 0xEB && (target == 0x3C || target == 0x58 || target == 0x76);
}
inline bool ntfsBootRecord(Bytes s, bool checkOem) {
  return ntfsJump(s) && (!checkOem || hasMagic(s, kOem, "NTFS")) && le16At(s, kBytesPerSector) == 512;
}
// mkfs.fat writes "mkfs.fat" as its OEM name; only the names Windows writes ("MSDOS5.0") are taken.
inline bool fatBootRecord(Bytes s) { return fatJump(s) && hasMagic(s, kOem, "MSDO"); }
inline bool exfatBootRecord(Bytes s) { return fatJump(s) && hasMagic(s, kOem, "EXFA"); }

// The FAT total: the 16-bit field, or the 32-bit one when the 16-bit field is 0. Both are unsigned in
// the FAT layout: a FAT16 volume of 16 to 32 MiB has a 16-bit total of 0x8000 or more.
inline std::uint64_t fat16TotalSectors(Bytes s) {
  const std::uint16_t small = le16At(s, kFatTotalSectors16);
  return small != 0 ? small : le32At(s, kFatTotalSectors32);
}
}  // namespace boot

// HFS+ volume header, 1024 bytes into the volume (big-endian).
namespace hfsplus {
constexpr std::size_t kHeaderOffsetSectors = 2;
constexpr std::size_t kBlockSize = 40;    // 32-bit
constexpr std::size_t kTotalBlocks = 44;  // 32-bit
inline bool volumeHeader(Bytes s) { return u8At(s, 0) == 'H' && u8At(s, 1) == '+' && u8At(s, 2) == 0; }
inline std::uint64_t volumeBytes(Bytes header) {
  return std::uint64_t{be32At(header, kBlockSize)} * be32At(header, kTotalBlocks);
}
}  // namespace hfsplus

}  // namespace tessary::volumes
