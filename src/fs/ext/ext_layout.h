// The ext2/3/4 on-disk layout as the parser reads it: byte offsets of the superblock, group-descriptor,
// inode, extent and directory-entry fields, and the flag values it tests. All fields are little-endian.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>

#include "platform/bytes.h"

namespace tessary::ext_layout {

// Superblock (1024 bytes, normally at byte 1024 of the volume).
constexpr std::size_t kSuperblockSize = 1024;
constexpr std::size_t kSbInodesCount = 0;        // u32
constexpr std::size_t kSbBlocksCountLo = 4;      // u32
constexpr std::size_t kSbFreeInodesCount = 16;  // u32
constexpr std::size_t kSbFirstDataBlock = 20;    // u32
constexpr std::size_t kSbLogBlockSize = 24;      // u32, block size = 1024 << value
constexpr std::size_t kSbBlocksPerGroup = 32;    // u32
constexpr std::size_t kSbInodesPerGroup = 40;    // u32
constexpr std::size_t kSbMagic = 56;             // u16
constexpr std::size_t kSbRevLevel = 76;          // u32, 0 = fixed 128-byte inodes
constexpr std::size_t kSbInodeSize = 88;         // u16
constexpr std::size_t kSbBlockGroupNr = 90;      // u16, the group whose first block holds this copy
constexpr std::size_t kSbFeatureIncompat = 96;   // u32
constexpr std::size_t kSbFeatureRoCompat = 100;  // u32
constexpr std::size_t kSbDescSize = 254;         // u16, with the 64-bit feature
constexpr std::size_t kSbFirstMetaBg = 260;      // u32, with meta_bg
constexpr std::size_t kSbBlocksCountHi = 336;    // u32, with the 64-bit feature
constexpr std::size_t kSbUuid = 104;             // 16 bytes
constexpr std::size_t kSbUuidBytes = 16;
constexpr std::size_t kSbChecksumSeed = 624;     // u32, with csum_seed
constexpr std::uint16_t kMagic = 0xEF53;

constexpr std::uint32_t kIncompatFiletype = 0x2;
constexpr std::uint32_t kIncompatMetaBg = 0x10;
constexpr std::uint32_t kIncompat64Bit = 0x80;
constexpr std::uint32_t kIncompatInlineData = 0x8000;
constexpr std::uint32_t kIncompatCsumSeed = 0x2000;
constexpr std::uint32_t kRoCompatSparseSuper = 0x1;
constexpr std::uint32_t kRoCompatHugeFile = 0x8;
constexpr std::uint32_t kRoCompatGdtCsum = 0x10;        // descriptors carry a CRC-16
constexpr std::uint32_t kRoCompatMetadataCsum = 0x400;  // descriptors carry a CRC-32C's low half

// Group descriptor: 32 bytes, or s_desc_size (at least 64) on 64-bit volumes.
constexpr std::size_t kDescSize32 = 32;
constexpr std::size_t kDescSize64 = 64;
constexpr std::size_t kBgBlockBitmapLo = 0;  // u32
constexpr std::size_t kBgInodeTableLo = 8;   // u32
constexpr std::size_t kBgFlags = 18;         // u16
constexpr std::uint16_t kBgInodeUninit = 0x1;  // no inode of the group is in use (by the descriptor)
constexpr std::uint16_t kBgBlockUninit = 0x2;  // the group's block bitmap was never written
constexpr std::size_t kBgItableUnusedLo = 28;  // u16, the inode table's slots at its end never given out
constexpr std::size_t kBgChecksum = 30;        // u16
constexpr std::size_t kBgItableUnusedHi = 50;  // u16, 64-byte descriptors only
constexpr std::size_t kBgBlockBitmapHi = 32;  // u32, 64-byte descriptors only
constexpr std::size_t kBgInodeTableHi = 40;  // u32, 64-byte descriptors only

// Inode.
constexpr std::size_t kOldInodeSize = 128;
constexpr std::size_t kInodeMode = 0;       // u16
constexpr std::size_t kInodeUidLo = 2;      // u16
constexpr std::size_t kInodeSizeLo = 4;     // u32
constexpr std::size_t kInodeGidLo = 24;     // u16
constexpr std::size_t kInodeUidHi = 120;    // u16
constexpr std::size_t kInodeGidHi = 122;    // u16
constexpr std::size_t kInodeAtime = 8;      // u32
constexpr std::size_t kInodeCtime = 12;     // u32
constexpr std::size_t kInodeMtime = 16;     // u32
constexpr std::size_t kInodeDtime = 20;     // u32
constexpr std::size_t kInodeLinks = 26;     // u16
constexpr std::size_t kInodeFlags = 32;     // u32
constexpr std::size_t kInodeBlock = 40;     // 60 bytes: 15 block pointers, an extent tree root, or a link target
constexpr std::size_t kInodeBlockBytes = 60;
constexpr std::size_t kInodeFileAclLo = 104; // u32, the extended-attribute block
constexpr std::size_t kInodeSizeHigh = 108; // u32
constexpr std::size_t kInodeFieldsEnd = 124;  // the inode fields the parser reads lie below this (owners' high halves last)
constexpr std::size_t kInodeFileAclHi = 118; // u16
constexpr std::size_t kInodeExtraIsize = 128; // u16, large inodes only
constexpr std::size_t kInodeCrtime = 144;      // u32, when i_extra_isize reaches it

// Extended attributes: in the inode after i_extra_isize (a 4-byte magic, then entries whose value
// offsets count from the first entry) or in their own block (a 32-byte header, offsets from the block).
constexpr std::uint32_t kXattrMagic = 0xEA020000;
constexpr std::size_t kXattrBlockHeader = 32;
constexpr std::size_t kXeNameLen = 0;     // u8
constexpr std::size_t kXeNameIndex = 1;   // u8
constexpr std::size_t kXeValueOffs = 2;   // u16
constexpr std::size_t kXeValueInum = 4;   // u32
constexpr std::size_t kXeValueSize = 8;   // u32
constexpr std::size_t kXeName = 16;
constexpr std::uint8_t kXattrIndexSystem = 7;

constexpr std::uint32_t kFlagIndex = 0x1000;
constexpr std::uint32_t kFlagExtents = 0x80000;
constexpr std::uint32_t kFlagInlineData = 0x10000000;

constexpr std::uint16_t kModeTypeMask = 0xF000;
constexpr std::uint16_t kModeDirectory = 0x4000;
constexpr std::uint16_t kModeRegular = 0x8000;
constexpr std::uint16_t kModeSymlink = 0xA000;

// Block map in i_block: 12 direct pointers, then single, double and triple indirect.
constexpr std::size_t kDirectPointers = 12;
constexpr std::size_t kSingleIndirect = 12;
constexpr std::size_t kDoubleIndirect = 13;
constexpr std::size_t kTripleIndirect = 14;

// Extent tree node: a 12-byte header, then 12-byte entries (index entries above the leaves).
constexpr std::size_t kExtentHeaderSize = 12;
constexpr std::size_t kEhMagic = 0;    // u16
constexpr std::size_t kEhEntries = 2;  // u16
constexpr std::size_t kEhMax = 4;      // u16
constexpr std::size_t kEhDepth = 6;    // u16
constexpr std::uint16_t kExtentMagic = 0xF30A;
constexpr std::size_t kExtentEntrySize = 12;
constexpr std::size_t kEeBlock = 0;     // u32, first logical block
constexpr std::size_t kEeLen = 4;       // u16, above 32768: unwritten, length - 32768
constexpr std::size_t kEeStartHi = 6;   // u16
constexpr std::size_t kEeStartLo = 8;   // u32
constexpr std::size_t kEiBlock = 0;     // u32
constexpr std::size_t kEiLeafLo = 4;    // u32
constexpr std::size_t kEiLeafHi = 8;    // u16
constexpr std::uint16_t kUnwrittenLength = 32768;
// The kernel never builds trees deeper than this.
constexpr std::uint16_t kMaxExtentDepth = 5;

// Directory entry.
constexpr std::size_t kDeInode = 0;     // u32
constexpr std::size_t kDeRecLen = 4;    // u16
constexpr std::size_t kDeNameLen = 6;   // u8 with file types, u16 without
constexpr std::size_t kDeFileType = 7;  // u8
constexpr std::size_t kDeName = 8;
constexpr std::uint8_t kFileTypeRegular = 1;
constexpr std::uint8_t kFileTypeDirectory = 2;
constexpr std::uint8_t kFileTypeSymlink = 7;
constexpr std::size_t kMaxNameLength = 255;
constexpr std::size_t kMaxOldNameLength = 1024;

// What a superblock copy says about its volume, when every field that sizes a read or bounds a loop
// agrees with the others.
struct SuperblockShape {
  std::uint64_t blockSize = 0;
  std::uint32_t blocksPerGroup = 0;
  std::uint32_t inodesPerGroup = 0;
  std::uint32_t inodeSize = 0;
  std::uint32_t inodes = 0;
  std::uint64_t blocksCount = 0;
  std::uint64_t groups = 0;
  bool is64 = false;
  std::uint32_t descSize = 0;
  std::uint32_t firstDataBlock = 0;
  std::uint32_t incompat = 0;
  std::uint64_t volumeBytes = 0;
};

// The parser's superblock test, and the volume scans': the copy found `foundAt` bytes into the volume.
// Magic and block size as the search wants them, its own group number against where it lies, then every
// field that later sizes a read or bounds a loop, each against the others.
inline std::optional<SuperblockShape> superblockShape(Bytes sb, std::uint64_t foundAt) {
  if (le16At(sb, kSbMagic) != kMagic) return std::nullopt;
  const std::uint64_t blockSize = std::uint64_t{1024} << (le32At(sb, kSbLogBlockSize) % 32);
  if (blockSize == 0 || blockSize >= 9216) return std::nullopt;
  const std::uint32_t incompat = le32At(sb, kSbFeatureIncompat);
  const std::uint32_t blocksPerGroup = le32At(sb, kSbBlocksPerGroup);
  const std::uint32_t inodesPerGroup = le32At(sb, kSbInodesPerGroup);
  // A group's block and inode bitmaps each fill one block.
  if (blocksPerGroup == 0 || blocksPerGroup > blockSize * 8) return std::nullopt;
  if (inodesPerGroup == 0 || inodesPerGroup > blockSize * 8) return std::nullopt;
  const std::uint32_t inodeSize = le32At(sb, kSbRevLevel) == 0 ? kOldInodeSize : le16At(sb, kSbInodeSize);
  if (inodeSize < kOldInodeSize || inodeSize > blockSize || !powerOfTwoIn(inodeSize, 1, UINT32_MAX)) return std::nullopt;
  const bool is64 = (incompat & kIncompat64Bit) != 0;
  std::uint64_t blocksCount = le32At(sb, kSbBlocksCountLo);
  std::uint32_t descSize = kDescSize32;
  if (is64) {
    blocksCount |= std::uint64_t{le32At(sb, kSbBlocksCountHi)} << 32;
    descSize = le16At(sb, kSbDescSize);
    if (descSize < kDescSize64 || descSize > 1024 || !powerOfTwoIn(descSize, 1, UINT32_MAX)) return std::nullopt;
  }
  const std::uint32_t firstDataBlock = le32At(sb, kSbFirstDataBlock);
  if (blocksCount == 0 || firstDataBlock >= blocksCount) return std::nullopt;
  const auto volumeBytes = checkedMul(blocksCount, blockSize);
  if (!volumeBytes || *volumeBytes > (std::uint64_t{1} << 60)) return std::nullopt;
  // A partial last group is a group too.
  const std::uint64_t groups = (blocksCount - firstDataBlock + blocksPerGroup - 1) / blocksPerGroup;
  const std::uint32_t inodes = le32At(sb, kSbInodesCount);
  if (groups == 0 || groups > UINT32_MAX || inodes == 0) return std::nullopt;
  // Every group holds the same number of inodes: a block count that disagrees with the inode count (a
  // damaged count, or a copy of another volume's superblock) gives the wrong groups.
  if (std::uint64_t{inodes} != groups * inodesPerGroup) return std::nullopt;
  // A copy says which group's first block holds it; one met anywhere else (a copy the journal keeps, a
  // file holding an image) is not this volume's.
  const std::uint64_t group = le16At(sb, kSbBlockGroupNr);
  if (group >= groups) return std::nullopt;
  const std::uint64_t expected = group == 0 ? 1024 : (group * blocksPerGroup + firstDataBlock) * blockSize;
  if (foundAt != expected) return std::nullopt;
  return SuperblockShape{blockSize, blocksPerGroup, inodesPerGroup, inodeSize, inodes, blocksCount, groups,
                         is64, descSize, firstDataBlock, incompat, *volumeBytes};
}

}  // namespace tessary::ext_layout
