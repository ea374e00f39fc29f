// VHDX on-disk layout as the reader uses it: the region table, the metadata table and its items.
#pragma once

#include <array>
#include <memory>
#include <optional>
#include <utility>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "platform/files.h"
#include "platform/result.h"

namespace tessary::vhdx {

constexpr std::uint64_t kHeaderOffset = 0x10000;        // first header, 64 KiB
constexpr std::uint64_t kRegionTableOffset = 0x30000;   // 192 KiB
constexpr std::uint64_t kRegionTableCopyOffset = 0x40000;  // 256 KiB
constexpr std::uint32_t kRegionSignature = 0x69676572;  // "regi"
constexpr std::size_t kFileIdentifierSize = 520;
constexpr std::size_t kHeaderSize = 4096;
constexpr std::size_t kRegionHeaderSize = 16;
constexpr std::size_t kRegionEntrySize = 32;
constexpr std::size_t kMetadataHeaderSize = 32;
constexpr std::size_t kMetadataItemSize = 32;
// A region table and a metadata table are 64 KiB each, which bounds their entry counts.
constexpr std::uint32_t kMaxRegionEntries = (0x10000 - kRegionHeaderSize) / kRegionEntrySize;
constexpr std::uint32_t kMaxMetadataItems = (0x10000 - kMetadataHeaderSize) / kMetadataItemSize;
constexpr std::size_t kHeaderVersionOffset = 66;
constexpr std::uint32_t kHasParentFlag = 0x2;
constexpr std::uint64_t kBatOffsetMask = ~0xFFFFFULL;  // bits 20..63: file offset in MiB

using Guid = std::array<std::uint8_t, 16>;

// A GUID in its text form as the bytes the file holds (first three groups little-endian).
consteval Guid guid(const char (&text)[37]) {
  auto hex = [](char c) -> int {
    return c >= '0' && c <= '9' ? c - '0' : c >= 'a' && c <= 'f' ? c - 'a' + 10 : c - 'A' + 10;
  };
  std::array<std::uint8_t, 16> plain{};
  int n = 0;
  for (int i = 0; i < 36; ++i) {
    if (text[i] == '-') continue;
    plain[static_cast<std::size_t>(n / 2)] =
        static_cast<std::uint8_t>(plain[static_cast<std::size_t>(n / 2)] | (hex(text[i]) << ((n % 2) ? 0 : 4)));
    ++n;
  }
  return Guid{plain[3], plain[2], plain[1], plain[0], plain[5],  plain[4],  plain[7],  plain[6],
              plain[8], plain[9], plain[10], plain[11], plain[12], plain[13], plain[14], plain[15]};
}

inline constexpr Guid kBatRegion = guid("2DC27766-F623-4200-9D64-115E9BFD4A08");
inline constexpr Guid kMetadataRegion = guid("8B7CA206-4790-4B9A-B8FE-575F050F886E");
inline constexpr Guid kFileParameters = guid("CAA16737-FA36-4D43-B3B6-33F0AA44E76B");
inline constexpr Guid kVirtualDiskSize = guid("2FA54224-CD1B-4876-B211-5DBED83BF4B8");
inline constexpr Guid kLogicalSectorSize = guid("8141BF1D-A96F-4709-BA47-F233A8FAAB5F");
inline constexpr Guid kPhysicalSectorSize = guid("CDA348C7-445D-4471-9CC9-E9885251C556");
inline constexpr Guid kParentLocator = guid("A8D35F2D-B30B-454D-ABF7-D3D84834AB0C");

struct RegionEntry {
  Guid id{};
  std::uint64_t fileOffset = 0;
  std::uint32_t length = 0;
};

// What open and the image page take from a VHDX file before the block table.
struct Layout {
  std::uint16_t formatVersion = 0;
  RegionEntry metadataRegion;
  RegionEntry batRegion;
  std::uint32_t blockSize = 0;
  std::uint32_t fileFlags = 0;
  std::uint64_t diskSize = 0;
  std::uint32_t logicalSectorSize = 0;
  std::uint32_t physicalSectorSize = 0;
  // The parent locator item of a differencing disk: its place in the metadata region and its length
  // (0 when there is none).
  std::uint32_t parentLocatorOffset = 0;
  std::uint32_t parentLocatorLength = 0;
};

// Reads the region table, finds the metadata table and reads its items. `maxItemsAtMetadata` is the
// largest item count accepted at the metadata region (5 when opening, 6 on the image page). The error
// text is the message to show.
Result<Layout> readLayout(const ImageFile& file, std::uint16_t maxItemsAtMetadata);

// The current header (the one of the two that passes its checksum with the higher sequence number).
struct Header {
  std::uint64_t sequence = 0;
  Guid dataWriteGuid{};
  Guid logGuid{};
  std::uint32_t logLength = 0;
  std::uint64_t logOffset = 0;
};
std::optional<Header> currentHeader(const ImageFile& file);

// A GUID as text, lower case, without braces.
std::string guidText(const Guid& id);

// The parent locator's key/value pairs ("parent_linkage", "relative_path", ...); empty when there is none
// or it cannot be read.
std::vector<std::pair<std::string, std::string>> readParentLocator(const ImageFile& file, const Layout& layout);

// The log's active sequence applied in memory: the data and zero descriptors of every entry from the
// sequence's tail to its head, in order, as an overlay for the file's reads. The file is never written.
struct LogReplay {
  std::shared_ptr<ReadOverlay> overlay;  // none when nothing was applied
  std::size_t entries = 0;
  std::string warning;  // why a log that is there was not applied
};
LogReplay replayLog(const ImageFile& file, const Header& header);

}  // namespace tessary::vhdx

namespace tessary::vhdx {

// What the image page reports about a VHDX file's integrity without refusing it: headers or region table
// that fail their checksums, a required region of a kind this reader does not know, a log that was never
// replayed, and blocks the table places past the file's end. One sentence each.
std::vector<std::string> integrityWarnings(const ImageFile& file, const Layout& layout);

// CRC-32C (Castagnoli) as VHDX headers and region tables carry it.
std::uint32_t crc32c(std::span<const std::byte> data);

}  // namespace tessary::vhdx
