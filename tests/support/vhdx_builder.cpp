// Builds VHDX files byte by byte for the reader's tests.
#include "support/vhdx_builder.h"

#include <algorithm>
#include <array>
#include <fstream>

namespace tessary::test {

namespace {

using Guid = std::array<std::uint8_t, 16>;

// {2DC27766-F623-4200-9D64-115E9BFD4A08} and friends, in file byte order.
constexpr Guid kBat = {0x66, 0x77, 0xC2, 0x2D, 0x23, 0xF6, 0x00, 0x42, 0x9D, 0x64, 0x11, 0x5E, 0x9B, 0xFD, 0x4A, 0x08};
constexpr Guid kMetadata = {0x06, 0xA2, 0x7C, 0x8B, 0x90, 0x47, 0x9A, 0x4B, 0xB8, 0xFE, 0x57, 0x5F, 0x05, 0x0F, 0x88, 0x6E};
constexpr Guid kFileParameters = {0x37, 0x67, 0xA1, 0xCA, 0x36, 0xFA, 0x43, 0x4D, 0xB3, 0xB6, 0x33, 0xF0, 0xAA, 0x44, 0xE7, 0x6B};
constexpr Guid kDiskSize = {0x24, 0x42, 0xA5, 0x2F, 0x1B, 0xCD, 0x76, 0x48, 0xB2, 0x11, 0x5D, 0xBE, 0xD8, 0x3B, 0xF4, 0xB8};
constexpr Guid kPage83 = {0xAB, 0x12, 0xCA, 0xBE, 0xE6, 0xB2, 0x23, 0x45, 0x93, 0xEF, 0xC3, 0x09, 0xE0, 0x00, 0xC7, 0x46};
constexpr Guid kLogical = {0x1D, 0xBF, 0x41, 0x81, 0x6F, 0xA9, 0x09, 0x47, 0xBA, 0x47, 0xF2, 0x33, 0xA8, 0xFA, 0xAB, 0x5F};
constexpr Guid kPhysical = {0xC7, 0x48, 0xA3, 0xCD, 0x5D, 0x44, 0x71, 0x44, 0x9C, 0xC9, 0xE9, 0x88, 0x52, 0x51, 0xC5, 0x56};
constexpr Guid kParentLocator = {0x2D, 0x5F, 0xD3, 0xA8, 0x0B, 0xB3, 0x4D, 0x45, 0xAB, 0xF7, 0xD3, 0xD8, 0x48, 0x34, 0xAB, 0x0C};

constexpr std::uint64_t kMiB = 1u << 20;

void put16(std::vector<std::byte>& b, std::uint64_t at, std::uint16_t v) {
  for (int i = 0; i < 2; ++i) b[at + i] = static_cast<std::byte>(v >> (8 * i));
}
void put32(std::vector<std::byte>& b, std::uint64_t at, std::uint32_t v) {
  for (int i = 0; i < 4; ++i) b[at + i] = static_cast<std::byte>(v >> (8 * i));
}
void put64(std::vector<std::byte>& b, std::uint64_t at, std::uint64_t v) {
  for (int i = 0; i < 8; ++i) b[at + i] = static_cast<std::byte>(v >> (8 * i));
}
void putGuid(std::vector<std::byte>& b, std::uint64_t at, const Guid& g, bool write) {
  if (!write) return;
  for (std::size_t i = 0; i < g.size(); ++i) b[at + i] = static_cast<std::byte>(g[i]);
}
void putText(std::vector<std::byte>& b, std::uint64_t at, const char* text) {
  for (std::size_t i = 0; text[i]; ++i) b[at + i] = static_cast<std::byte>(text[i]);
}

}  // namespace

std::byte patternByte(std::uint64_t block, std::uint64_t sectorInBlock, std::uint64_t byteInSector) {
  return static_cast<std::byte>((block * 131 + sectorInBlock * 7 + byteInSector + 1) & 0xFF);
}

std::vector<std::byte> patternBlock(std::uint64_t block, std::uint32_t blockSize) {
  std::vector<std::byte> out(blockSize);
  for (std::uint32_t i = 0; i < blockSize; ++i) out[i] = patternByte(block, i / 512, i % 512);
  return out;
}

std::vector<std::byte> buildVhdx(const VhdxShape& shape, VhdxLayoutInfo* layout) {
  const std::uint64_t metadataOffset = 1 * kMiB;
  const std::uint64_t batOffset = 2 * kMiB;
  const std::uint64_t chunkRatio =
      shape.blockSize ? (static_cast<std::uint64_t>(1) << 23) * shape.logicalSectorSize / shape.blockSize : 1;
  const std::uint64_t payloadBlocks = shape.blockSize ? (shape.diskSize + shape.blockSize - 1) / shape.blockSize : 0;
  const std::uint64_t bitmapEntries = chunkRatio ? payloadBlocks / chunkRatio : 0;
  std::uint64_t batEntries = payloadBlocks + bitmapEntries;
  for (const auto& [position, raw] : shape.rawEntries) batEntries = std::max(batEntries, position + 1);
  const std::uint64_t batLength = std::max<std::uint64_t>(kMiB, (batEntries * 8 + kMiB - 1) / kMiB * kMiB);
  std::uint64_t payloadOffset = batOffset + batLength;
  const std::uint64_t blockSpan = std::max<std::uint64_t>(kMiB, (std::uint64_t{shape.blockSize} + kMiB - 1) / kMiB * kMiB);

  std::uint64_t fileSize = payloadOffset + blockSpan * shape.blocks.size();
  std::vector<std::byte> file(fileSize);

  putText(file, 0, "vhdxfile");
  putText(file, 0x10000, "head");
  put16(file, 0x10000 + 66, 1);

  // Region tables at 192 KiB and 256 KiB.
  for (std::uint64_t table : {0x30000ULL, 0x40000ULL}) {
    putText(file, table, "regi");
    put32(file, table + 8, shape.regionEntryCount.value_or(2));
    const std::uint64_t first = table + 16;
    const std::uint64_t second = table + 48;
    const std::uint64_t batEntry = shape.metadataRegionFirst ? second : first;
    const std::uint64_t mdEntry = shape.metadataRegionFirst ? first : second;
    putGuid(file, batEntry, kBat, shape.regionIds);
    put64(file, batEntry + 16, batOffset);
    put32(file, batEntry + 24, static_cast<std::uint32_t>(batLength));
    put32(file, batEntry + 28, 1);
    putGuid(file, mdEntry, kMetadata, shape.regionIds);
    put64(file, mdEntry + 16, metadataOffset);
    put32(file, mdEntry + 24, static_cast<std::uint32_t>(kMiB));
    put32(file, mdEntry + 28, 1);
  }
  if (shape.damagePrimaryRegionTable) {
    putText(file, 0x30000, "xxxx");
    put32(file, 0x30000 + 8, 1);
  }

  // Metadata table: items and their values at 64 KiB into the region.
  struct Item {
    Guid id;
    std::uint32_t length;
  };
  std::vector<Item> items;
  if (shape.qemuItemOrder) {
    items = {{kFileParameters, 8}, {kDiskSize, 8}, {kPage83, 16}, {kLogical, 4}, {kPhysical, 4}};
  } else {
    items = {{kFileParameters, 8}, {kDiskSize, 8}, {kLogical, 4}, {kPhysical, 4}, {kPage83, 16}};
  }
  if (shape.parentLocatorItem) items.push_back({kParentLocator, 32});
  putText(file, metadataOffset, "metadata");
  put16(file, metadataOffset + 10, shape.metadataItemCountField.value_or(static_cast<std::uint16_t>(items.size())));
  std::uint32_t valueOffset = 0x10000;
  for (std::size_t i = 0; i < items.size(); ++i) {
    const std::uint64_t entry = metadataOffset + 32 + i * 32;
    putGuid(file, entry, items[i].id, shape.withIds);
    put32(file, entry + 16, valueOffset);
    put32(file, entry + 20, items[i].length);
    const std::uint64_t value = metadataOffset + valueOffset;
    if (items[i].id == kFileParameters) {
      put32(file, value, shape.blockSize);
      put32(file, value + 4, shape.hasParent ? 2 : 0);
    } else if (items[i].id == kDiskSize) {
      put64(file, value, shape.diskSize);
    } else if (items[i].id == kLogical) {
      put32(file, value, shape.logicalSectorSize);
    } else if (items[i].id == kPhysical) {
      put32(file, value, 4096);
    } else if (items[i].id == kPage83) {
      put32(file, value, 0x12345678);
    }
    valueOffset += 0x100;
  }

  // Block allocation table and payload blocks.
  VhdxLayoutInfo info;
  info.metadataOffset = metadataOffset;
  info.batOffset = batOffset;
  info.batEntries = batEntries;
  info.chunkRatio = chunkRatio;
  auto positionOf = [&](std::uint64_t block) { return chunkRatio ? block + block / chunkRatio : block; };
  for (const auto& [block, data] : shape.blocks) {
    const std::uint64_t at = payloadOffset;
    std::copy(data.begin(), data.begin() + std::min<std::size_t>(data.size(), shape.blockSize), file.begin() + at);
    put64(file, batOffset + positionOf(block) * 8, (at / kMiB) << 20 | 6);
    info.blockFileOffset[block] = at;
    payloadOffset += blockSpan;
  }
  for (std::uint64_t block : shape.zeroOffsetBlocks) put64(file, batOffset + positionOf(block) * 8, 6);
  for (const auto& [position, raw] : shape.rawEntries) put64(file, batOffset + position * 8, raw);

  if (shape.truncateTo && *shape.truncateTo < file.size()) file.resize(*shape.truncateTo);
  if (layout) *layout = info;
  return file;
}

void writeBytes(const std::string& path, const std::vector<std::byte>& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
}

}  // namespace tessary::test
