// The HFS+ on-disk structures the parser reads (all big-endian): volume header, fork data, B-tree node
// descriptor and header record, catalog and extents-overflow keys and records. Private to fs/hfsplus/.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

#include "platform/bytes.h"

namespace tessary::hfsplus_layout {

// Volume header: 512 bytes at byte 1024 of the volume; its copy sits 1024 bytes before the volume's end.
constexpr std::uint64_t kVolumeHeaderOffset = 1024;
constexpr std::uint64_t kAlternateHeaderFromEnd = 1024;
constexpr std::size_t kVolumeHeaderSize = 512;
constexpr std::size_t kSignature = 0;      // "H+" or "HX"
constexpr std::size_t kVersion = 2;        // 16-bit
constexpr std::size_t kAttributes = 4;     // first of the 17 32-bit fields up to writeCount
constexpr std::size_t kBlockSize = 40;     // 32-bit
constexpr std::size_t kTotalBlocks = 44;   // 32-bit
constexpr std::size_t kAllocationFork = 112;
constexpr std::size_t kExtentsFork = 192;
constexpr std::size_t kCatalogFork = 272;
constexpr std::size_t kAttributesFork = 352;

// Fork data (80 bytes): logical size, clump size, total blocks, eight extent descriptors.
constexpr std::size_t kForkLogicalSize = 0;  // 64-bit
constexpr std::size_t kForkClumpSize = 8;
constexpr std::size_t kForkTotalBlocks = 12;
constexpr std::size_t kForkExtents = 16;
constexpr std::size_t kExtentCount = 8;
constexpr std::size_t kExtentDescriptorSize = 8;  // start block, block count (32-bit each)
constexpr std::size_t kForkDataSize = 80;

// B-tree node descriptor (14 bytes at the node's start) and the header node's header record.
constexpr std::size_t kNodeForward = 0;
constexpr std::size_t kNodeBackward = 4;
constexpr std::size_t kNodeKind = 8;    // signed: -1 leaf, 0 index, 1 header, 2 map
constexpr std::size_t kNodeHeight = 9;
constexpr std::size_t kNodeRecords = 10;  // 16-bit
constexpr std::size_t kNodeDescriptorSize = 14;
constexpr std::size_t kHeaderTreeDepth = 14;
constexpr std::size_t kHeaderRootNode = 16;
constexpr std::size_t kHeaderLeafRecords = 20;
constexpr std::size_t kHeaderFirstLeaf = 24;
constexpr std::size_t kHeaderLastLeaf = 28;
constexpr std::size_t kHeaderNodeSize = 32;  // 16-bit
constexpr std::size_t kHeaderMaxKeyLength = 34;
constexpr std::size_t kHeaderTotalNodes = 36;
constexpr std::size_t kHeaderFreeNodes = 40;
constexpr std::size_t kHeaderClumpSize = 46;
constexpr std::size_t kHeaderAttributes = 57;

constexpr std::int8_t kLeafNode = -1;
constexpr std::int8_t kIndexNode = 0;
constexpr std::int8_t kHeaderNode = 1;
constexpr std::int8_t kMapNode = 2;
constexpr std::uint32_t kMinNodeSize = 512;
constexpr std::uint32_t kMaxNodeSize = 32768;

// Catalog key: key length (16-bit, not counting itself), parent ID, name length in UTF-16 units, name.
constexpr std::size_t kCatalogKeyParent = 2;
constexpr std::size_t kCatalogKeyNameLength = 6;
constexpr std::size_t kCatalogKeyName = 8;
constexpr std::size_t kCatalogKeyMinLength = 6;
constexpr std::uint16_t kMaxNameLength = 255;

// Catalog records, from the record's data (after the key).
constexpr std::uint16_t kFolderRecord = 1;
constexpr std::uint16_t kFileRecord = 2;
constexpr std::size_t kRecordId = 8;  // folderID or fileID
constexpr std::size_t kRecordCreateDate = 12;
constexpr std::size_t kRecordContentModDate = 16;
constexpr std::size_t kRecordAttributeModDate = 20;
constexpr std::size_t kRecordAccessDate = 24;
constexpr std::size_t kRecordOwnerId = 32;   // 32-bit, in the BSD permissions
constexpr std::size_t kRecordGroupId = 36;   // 32-bit
constexpr std::size_t kRecordFileMode = 42;  // 16-bit, in the BSD permissions
constexpr std::size_t kFolderRecordSize = 88;
constexpr std::size_t kFileDataFork = 88;
constexpr std::size_t kFileRecordSize = 248;

// Extents-overflow key (12 bytes with its length): key length, fork type, pad, file ID, start block;
// then the record's eight extent descriptors.
constexpr std::size_t kExtentKeyForkType = 2;
constexpr std::size_t kExtentKeyFileId = 4;
constexpr std::size_t kExtentKeyStartBlock = 8;
constexpr std::uint16_t kExtentKeyLength = 10;
constexpr std::uint8_t kDataFork = 0x00;
constexpr std::uint8_t kResourceFork = 0xFF;

// The HFS+ root folder's CNID, and the parent ID of its own record.
constexpr std::uint32_t kRootFolderId = 2;
constexpr std::uint32_t kRootParentId = 1;

struct Extent {
  std::uint32_t startBlock = 0;
  std::uint32_t blockCount = 0;
};
using ExtentRecord = std::array<Extent, kExtentCount>;

inline ExtentRecord readExtents(Bytes d, std::size_t at) {
  ExtentRecord out{};
  for (std::size_t i = 0; i < kExtentCount; ++i) {
    out[i].startBlock = be32At(d, at + i * kExtentDescriptorSize);
    out[i].blockCount = be32At(d, at + i * kExtentDescriptorSize + 4);
  }
  return out;
}

inline bool powerOfTwoBetween(std::uint64_t value, std::uint64_t low, std::uint64_t high) {
  return value >= low && value <= high && (value & (value - 1)) == 0;
}

// A header the parser can work from: "H+" or "HX", and an allocation block size that is a power of two
// from 512 bytes to 64 KiB.
inline bool usableVolumeHeader(Bytes header) {
  const bool signature = hasMagic(header, kSignature, "H+") || hasMagic(header, kSignature, "HX");
  return signature && powerOfTwoBetween(be32At(header, kBlockSize), 512, 65536);
}

}  // namespace tessary::hfsplus_layout
