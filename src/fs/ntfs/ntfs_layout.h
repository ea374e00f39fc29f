// NTFS on-disk layout: the field offsets the parser reads, and the record-level helpers built on them.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "fs/ntfs/ntfs_records.h"
#include "platform/bytes.h"

namespace tessary {

// The MFT record size of most volumes, and the largest the parser reads (volumes with 4096-byte sectors).
constexpr std::size_t kMftRecordSize = 1024;
constexpr std::size_t kMaxMftRecordSize = 4096;

}  // namespace tessary

namespace tessary::ntfs_detail {

// Boot sector.
constexpr std::size_t kBootJump = 0;             // 0xEB 0x52
constexpr std::size_t kBootOemId = 3;            // "NTFS"
constexpr std::size_t kBootBytesPerSector = 0x0B;  // uint16
constexpr std::size_t kBootSectorsPerCluster = 0x0D;  // uint8
constexpr std::size_t kBootTotalSectors = 0x28;  // int64
constexpr std::size_t kBootMftCluster = 0x30;    // int64
constexpr std::size_t kBootMirrorCluster = 0x38; // int64
constexpr std::size_t kBootClustersPerRecord = 0x40;  // int8: clusters, or a negative power of two in bytes

// File record header.
constexpr std::size_t kRecordUsaOffset = 4;      // uint16
constexpr std::size_t kRecordUsaCount = 6;       // uint16
constexpr std::size_t kRecordFirstAttribute = 0x14;  // uint16
constexpr std::size_t kRecordSequence = 0x10;    // uint16, raised each time the record is freed
constexpr std::size_t kRecordFlags = 0x16;       // uint16
constexpr std::size_t kRecordAllocatedSize = 0x1C;  // uint32, the record's own size
constexpr std::size_t kRecordBaseReference = 0x20;  // uint64, 0 in a base record
constexpr std::size_t kRecordNumber = 0x2C;      // uint32
constexpr std::size_t kRecordHeaderCopy = 48;
constexpr std::size_t kFixupStride = 512;
// Sector sizes a volume can have, and the sizes an MFT record can have.
constexpr std::size_t kMinSectorSize = 512;
constexpr std::size_t kMaxSectorSize = 4096;
constexpr std::size_t kMinRecordSize = 512;

// Attribute header.
constexpr std::size_t kAttrType = 0;             // uint32
constexpr std::size_t kAttrLength = 4;           // uint32, low 16 bits used
constexpr std::size_t kAttrNonResident = 8;      // uint8
constexpr std::size_t kAttrNameLength = 9;       // uint8, UTF-16 units
constexpr std::size_t kAttrFlags = 0x0C;         // uint16
constexpr std::size_t kAttrValueLength = 0x10;   // uint32 (resident)
constexpr std::size_t kAttrValueOffset = 0x14;   // uint16 (resident)
constexpr std::size_t kAttrStartVcn = 0x10;      // int64 (non-resident)
constexpr std::size_t kAttrLastVcn = 0x18;       // int64
constexpr std::size_t kAttrRunListOffset = 0x20; // uint16
constexpr std::size_t kAttrCompressionUnit = 0x22;  // uint16
constexpr std::size_t kAttrAllocatedSize = 0x28; // int64
constexpr std::size_t kAttrDataSize = 0x30;      // int64
constexpr std::uint32_t kAttrEnd = 0xFFFFFFFF;

// Attribute types.
constexpr std::uint32_t kStandardInformation = 0x10;
constexpr std::uint32_t kAttributeList = 0x20;
constexpr std::uint32_t kFileName = 0x30;
constexpr std::uint32_t kData = 0x80;

// $FILE_NAME value.
constexpr std::size_t kNameParent = 0;           // uint64, low 48 bits
constexpr std::size_t kNameAllocatedSize = 0x28; // int64
constexpr std::size_t kNameFlags = 0x38;         // uint32
constexpr std::size_t kNameLength = 0x40;        // uint8
constexpr std::size_t kNameNamespace = 0x41;     // uint8: 0 POSIX, 1 Win32, 2 DOS only, 3 Win32 and DOS
constexpr std::uint8_t kDosNamespace = 2;
constexpr std::size_t kNameText = 0x42;          // UTF-16
constexpr std::uint32_t kNameDirectoryFlag = 0x10000000;
constexpr std::uint8_t kNoNameLength = 255;

// $STANDARD_INFORMATION value.
constexpr std::size_t kSiCreation = 0;
constexpr std::size_t kSiModification = 8;
constexpr std::size_t kSiChange = 0x10;  // the record's own change time
constexpr std::size_t kSiAccess = 0x18;

// $ATTRIBUTE_LIST entry.
constexpr std::size_t kListType = 0;             // uint32
constexpr std::size_t kListLength = 4;           // uint16
constexpr std::size_t kListNameLength = 6;       // uint8
constexpr std::size_t kListStartVcn = 8;         // int64
constexpr std::size_t kListReference = 0x10;     // uint64, low 48 bits
// An attribute list is at most 256 KiB (it must fit one attribute of a record's extension set).
constexpr std::uint64_t kMaxAttributeListBytes = 256 * 1024;

// Data attribute flags (attribute header 0x0C).
constexpr std::uint16_t kDataCompressed = 0x0001;
constexpr std::uint16_t kDataEncrypted = 0x4000;

inline bool isFileSignature(std::span<const std::byte> record) { return hasMagic(record, 0, "FILE"); }

// The low 48 bits of an MFT reference, sign-extended from bit 47.
inline std::int64_t referenceIndex(std::uint64_t reference) {
  std::uint64_t low = reference & 0x0000FFFFFFFFFFFFULL;
  if (low & 0x0000800000000000ULL) low |= 0xFFFF000000000000ULL;
  return static_cast<std::int64_t>(low);
}

// The attribute headers of a record from its first-attribute offset: 64-byte copies (zero past the record),
// advancing by the low 16 bits of each length, ending at type 0xFFFFFFFF, a length of 0 or past the record.
std::vector<AttributeHeaderCopy> walkAttributes(std::span<const std::byte> record);

inline bool powerOfTwoWithin(std::uint64_t value, std::uint64_t low, std::uint64_t high) {
  return value >= low && value <= high && (value & (value - 1)) == 0;
}

// A boot sector as NTFS formats it: its jump, the disk's sector size (512 to 4096 bytes) and, when
// `checkOem`, the OEM name "NTFS".
inline bool soundBootSector(std::span<const std::byte> boot, bool checkOem) {
  return u8At(boot, kBootJump) == 0xEB && u8At(boot, kBootJump + 1) == 0x52 &&
         (!checkOem || hasMagic(boot, kBootOemId, "NTFS")) &&
         powerOfTwoWithin(le16At(boot, kBootBytesPerSector), kMinSectorSize, kMaxSectorSize);
}

// The stride of a record's update sequence: one stride per array entry after the first, so a record of
// `recordSize` bytes with `usaCount` entries has strides of recordSize / (usaCount - 1) (512 for records
// formatted by most tools, the sector size for others). 512 when the count gives no sector size.
std::size_t fixupStride(std::size_t recordSize, std::size_t usaCount);

// The size a record header claims for its own record (its allocated size), when it is one an MFT
// record can have; `fallback` otherwise.
std::size_t ownRecordSize(std::span<const std::byte> header, std::size_t fallback);

// The MFT record size a boot sector gives with the cluster size it gives; 0 when it is none a record
// can have.
std::size_t bootRecordSize(std::span<const std::byte> boot, std::int64_t clusterSize);

// The update sequence fixup of a record as read (raw.size() is the record's size) into `out` (as large):
// the last two bytes of each stride get back the bytes the update sequence array keeps for them.
void fixupInto(std::span<const std::byte> raw, std::span<const std::byte> header, std::span<std::byte> out);
std::vector<std::byte> fixupRecord(std::span<const std::byte> raw, std::span<const std::byte> header);

// Decodes one attribute's run list. Runs are kept while the running cluster total stays within
// `totalClusters`; `ended` tells whether the list's terminating header byte was met.
std::vector<Run> decodeRunList(std::span<const std::byte> list, std::uint64_t totalClusters, bool& ended);

// A UTF-16 name of `units` units at `at`; units past the record's end read as 0 and end the name.
std::u16string readName(std::span<const std::byte> record, std::size_t at, std::size_t units);

}  // namespace tessary::ntfs_detail
