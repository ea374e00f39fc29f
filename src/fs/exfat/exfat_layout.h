// exFAT on-disk layout as the parser reads it: boot-sector fields, directory-entry types and the byte
// offsets of the File, Stream Extension and File Name entries. Private to fs/exfat.
#pragma once

#include <cstddef>
#include <cstdint>

#include "platform/bytes.h"

namespace tessary::exfat_layout {

// Main boot sector.
constexpr std::size_t kBootJump = 0;  // 0xEB 0x76 0x90
constexpr std::size_t kBootOem = 3;  // "EXFAT   "
constexpr std::size_t kBootVolumeLength = 72;
constexpr std::size_t kBootFatOffset = 80;
constexpr std::size_t kBootClusterHeapOffset = 88;
constexpr std::size_t kBootClusterCount = 92;
constexpr std::size_t kBootRootCluster = 96;
constexpr std::size_t kBootBytesPerSectorShift = 108;
constexpr std::size_t kBootSectorsPerClusterShift = 109;
// Sectors of 512 to 4096 bytes; clusters of at most 32 MiB.
constexpr unsigned kMinBytesPerSectorShift = 9;
constexpr unsigned kMaxBytesPerSectorShift = 12;
constexpr unsigned kMaxClusterShift = 25;

// The boot sector the parser works from, and the volume scans find: the OEM name "EXFAT", sectors of 512 to
// 4096 bytes and clusters of at most 32 MiB.
inline bool usableBootSector(Bytes b) {
  const unsigned sectorShift = u8At(b, kBootBytesPerSectorShift);
  const unsigned clusterShift = u8At(b, kBootSectorsPerClusterShift);
  return hasMagic(b, kBootOem, "EXFAT") && sectorShift >= kMinBytesPerSectorShift &&
         sectorShift <= kMaxBytesPerSectorShift && clusterShift <= kMaxClusterShift - sectorShift;
}

// Directory entries: 32 bytes, the type byte first; bit 7 clear marks a deleted entry.
constexpr std::size_t kEntrySize = 32;
constexpr std::uint8_t kTypeFile = 0x85;
constexpr std::uint8_t kTypeFileDeleted = 0x05;
constexpr std::uint8_t kTypeStream = 0xC0;
constexpr std::uint8_t kTypeStreamDeleted = 0x40;
constexpr std::uint8_t kTypeName = 0xC1;
constexpr std::uint8_t kTypeNameDeleted = 0x41;
constexpr std::uint8_t kTypeVolumeLabel = 0x83;
constexpr std::uint8_t kTypeVolumeLabelEmpty = 0x03;
constexpr std::uint8_t kTypeBitmap = 0x81;
constexpr std::uint8_t kTypeUpcase = 0x82;
// Allocation bitmap and up-case table entries: first cluster and length.
constexpr std::size_t kBitmapFlags = 1;
constexpr std::size_t kUpcaseChecksum = 4;
constexpr std::size_t kTableFirstCluster = 20;
constexpr std::size_t kTableLength = 24;

// File entry.
constexpr std::size_t kFileAttributes = 4;
constexpr std::size_t kFileCreate = 8;
constexpr std::size_t kFileModify = 12;
constexpr std::size_t kFileAccess = 16;
constexpr std::size_t kFileCreate10ms = 20;
constexpr std::size_t kFileModify10ms = 21;
constexpr std::size_t kFileCreateUtc = 22;
constexpr std::size_t kFileModifyUtc = 23;
constexpr std::size_t kFileAccessUtc = 24;

// Stream Extension entry.
constexpr std::size_t kStreamFlags = 1;
constexpr std::size_t kStreamNameLength = 3;
constexpr std::size_t kStreamValidDataLength = 8;
constexpr std::size_t kStreamFirstCluster = 20;
constexpr std::size_t kStreamDataLength = 24;
constexpr std::uint8_t kFlagAllocationPossible = 0x01;
constexpr std::uint8_t kFlagNoFatChain = 0x02;

// File Name entry: 15 UTF-16 units from byte 2.
constexpr std::size_t kNameUnits = 2;
constexpr std::size_t kUnitsPerNameEntry = 15;
// A name needs at most 17 File Name entries; a set gathers no more than this many.
constexpr std::size_t kMaxNameEntries = 32;

// FAT: entries 0 and 1 of a fixed disk's table; the end of a chain.
constexpr std::uint32_t kEndOfChain = 0xFFFFFFFF;

// A directory holds at most 256 MiB of entries.
constexpr std::uint64_t kMaxDirectoryBytes = 256ull << 20;

}  // namespace tessary::exfat_layout
