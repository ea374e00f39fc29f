// Reading the VHDX region table and metadata.
#include "disk/vhdx_format.h"

#include <algorithm>
#include <optional>

#include "platform/bytes.h"
#include "platform/text.h"

namespace tessary::vhdx {

namespace {

constexpr const char* kRegionCorrupt = "Region entry corrupt";

Guid guidAt(Bytes data, std::size_t at) {
  Guid id{};
  for (std::size_t i = 0; i < id.size(); ++i) id[i] = u8At(data, at + i);
  return id;
}

std::vector<RegionEntry> readRegionEntries(const ImageFile& file, bool& tooMany) {
  std::array<std::byte, kRegionHeaderSize> header{};
  std::uint64_t tableOffset = kRegionTableOffset;
  const bool firstRead = file.readExact(tableOffset, header);
  if (!firstRead || le32At(header, 8) < 2 || le32At(header, 0) != kRegionSignature) {
    // The copy at 256 KiB is used without a test of its own.
    tableOffset = kRegionTableCopyOffset;
    header.fill(std::byte{0});
    (void)file.readExact(tableOffset, header);
  }
  const std::uint32_t count = le32At(header, 8);
  std::vector<RegionEntry> entries;
  tooMany = count > kMaxRegionEntries;
  if (tooMany) return entries;
  std::vector<std::byte> raw(static_cast<std::size_t>(count) * kRegionEntrySize);
  const auto got = file.readAt(tableOffset + kRegionHeaderSize, raw).value_or(0);
  for (std::uint32_t i = 0; i < count && (i + 1) * kRegionEntrySize <= got; ++i) {
    const Bytes entry(raw.data() + i * kRegionEntrySize, kRegionEntrySize);
    entries.push_back({guidAt(entry, 0), le64At(entry, 16), le32At(entry, 24)});
  }
  return entries;
}

std::optional<std::uint16_t> metadataItemCount(const ImageFile& file, const RegionEntry& region) {
  std::array<std::byte, kMetadataHeaderSize> header{};
  if (!file.readExact(region.fileOffset, header)) return std::nullopt;
  return le16At(header, 10);
}

struct MetadataItem {
  Guid id{};
  std::uint32_t offset = 0;
};

template <typename T>
std::optional<T> readValue(const ImageFile& file, const RegionEntry& region, std::uint64_t itemOffset) {
  std::array<std::byte, sizeof(T)> raw{};
  const auto at = checkedAdd(region.fileOffset, itemOffset);
  if (!at || !file.readExact(*at, raw)) return std::nullopt;
  if constexpr (sizeof(T) == 8) {
    return le64At(raw, 0);
  } else {
    return le32At(raw, 0);
  }
}

}  // namespace

Result<Layout> readLayout(const ImageFile& file, std::uint16_t maxItemsAtMetadata) {
  Layout layout;
  std::array<std::byte, kHeaderSize> header{};
  // The file type identifier and the header are read but not validated.
  (void)file.readAt(kHeaderOffset, header);
  layout.formatVersion = le16At(header, kHeaderVersionOffset);

  bool tooMany = false;
  const std::vector<RegionEntry> regions = readRegionEntries(file, tooMany);
  if (tooMany || regions.size() < 2) return Error{kRegionCorrupt};

  // The regions are found by their identifiers; only a table without them is taken by position
  // (entry 1 the metadata, entry 0 the block allocation table, or the other way round).
  auto findRegion = [&](const Guid& id) -> std::optional<std::size_t> {
    for (std::size_t i = 0; i < regions.size(); ++i)
      if (regions[i].id == id) return i;
    return std::nullopt;
  };
  const auto metadataById = findRegion(kMetadataRegion);
  const auto batById = findRegion(kBatRegion);

  std::size_t metadataIndex = 0;
  std::uint16_t itemCount = 0;
  if (metadataById) {
    const auto count = metadataItemCount(file, regions[*metadataById]);
    if (!count || *count < 1 || *count > maxItemsAtMetadata) return Error{kRegionCorrupt};
    metadataIndex = *metadataById;
    itemCount = *count;
  } else {
    const auto countAt1 = metadataItemCount(file, regions[1]);
    if (countAt1 && *countAt1 >= 1 && *countAt1 <= maxItemsAtMetadata) {
      metadataIndex = 1;
      itemCount = *countAt1;
    } else {
      const auto countAt0 = metadataItemCount(file, regions[0]);
      if (!countAt0 || *countAt0 != 5) return Error{kRegionCorrupt};
      metadataIndex = 0;
      itemCount = 5;
    }
  }
  layout.metadataRegion = regions[metadataIndex];
  layout.batRegion = batById ? regions[*batById] : regions[metadataIndex == 0 ? 1 : 0];

  std::vector<std::byte> rawItems(static_cast<std::size_t>(itemCount) * kMetadataItemSize);
  const auto gotItems = file.readAt(layout.metadataRegion.fileOffset + kMetadataHeaderSize, rawItems).value_or(0);
  std::vector<MetadataItem> items;
  for (std::size_t i = 0; i < itemCount && (i + 1) * kMetadataItemSize <= gotItems; ++i) {
    const Bytes item(rawItems.data() + i * kMetadataItemSize, kMetadataItemSize);
    items.push_back({guidAt(item, 0), le32At(item, 16)});
  }

  // Items are looked up by identifier; a table that carries none of the known ones is read by position:
  // file parameters, disk size, logical sector size, physical sector size.
  const Guid* known[4] = {&kFileParameters, &kVirtualDiskSize, &kLogicalSectorSize, &kPhysicalSectorSize};
  const bool byId = std::any_of(items.begin(), items.end(), [&](const MetadataItem& item) {
    return std::any_of(std::begin(known), std::end(known), [&](const Guid* id) { return item.id == *id; });
  });
  auto itemOffset = [&](std::size_t role) -> std::optional<std::uint32_t> {
    if (!byId) {
      if (role < items.size()) return items[role].offset;
      return std::nullopt;
    }
    for (const auto& item : items)
      if (item.id == *known[role]) return item.offset;
    return std::nullopt;
  };

  if (const auto at = itemOffset(0)) {
    const auto blockSize = readValue<std::uint32_t>(file, layout.metadataRegion, *at);
    const auto flags = readValue<std::uint32_t>(file, layout.metadataRegion, *at + 4ULL);
    if (!blockSize || !flags) return Error{kRegionCorrupt};
    layout.blockSize = *blockSize;
    layout.fileFlags = *flags;
  }
  if (const auto at = itemOffset(1)) {
    const auto size = readValue<std::uint64_t>(file, layout.metadataRegion, *at);
    if (!size) return Error{kRegionCorrupt};
    layout.diskSize = *size;
  }
  if (const auto at = itemOffset(2)) {
    const auto size = readValue<std::uint32_t>(file, layout.metadataRegion, *at);
    if (!size) return Error{kRegionCorrupt};
    layout.logicalSectorSize = *size;
  }
  if (const auto at = itemOffset(3)) {
    layout.physicalSectorSize = readValue<std::uint32_t>(file, layout.metadataRegion, *at).value_or(0);
  }
  return layout;
}

std::uint32_t crc32c(std::span<const std::byte> data) {
  static const std::array<std::uint32_t, 256> table = [] {
    std::array<std::uint32_t, 256> t{};
    for (std::uint32_t i = 0; i < 256; ++i) {
      std::uint32_t c = i;
      for (int k = 0; k < 8; ++k) c = (c & 1) ? (c >> 1) ^ 0x82F63B78u : c >> 1;
      t[i] = c;
    }
    return t;
  }();
  std::uint32_t crc = 0xFFFFFFFFu;
  for (std::byte b : data) crc = table[(crc ^ std::to_integer<std::uint32_t>(b)) & 0xFF] ^ (crc >> 8);
  return crc ^ 0xFFFFFFFFu;
}

namespace {

constexpr std::uint64_t kSecondHeaderOffset = 0x20000;
constexpr std::size_t kRegionTableSize = 0x10000;
constexpr std::size_t kChecksumOffset = 4;
constexpr std::size_t kSequenceOffset = 8;
constexpr std::size_t kLogGuidOffset = 48;
constexpr std::uint32_t kRequiredFlag = 0x1;

// Whether a structure's CRC-32C, taken with its own checksum field as zero, matches that field.
bool checksumHolds(std::vector<std::byte> bytes) {
  const std::uint32_t stored = le32At(bytes, kChecksumOffset);
  for (std::size_t i = 0; i < 4; ++i) bytes[kChecksumOffset + i] = std::byte{0};
  return crc32c(bytes) == stored;
}

}  // namespace

std::vector<std::string> integrityWarnings(const ImageFile& file, const Layout& layout) {
  std::vector<std::string> warnings;
  // The two headers: the one with the higher sequence number among those that hold is the current one.
  std::optional<std::vector<std::byte>> current;
  std::uint64_t currentSequence = 0;
  int valid = 0;
  for (const std::uint64_t at : {kHeaderOffset, kSecondHeaderOffset}) {
    std::vector<std::byte> header(kHeaderSize);
    if (!file.readExact(at, header) || !hasMagic(header, 0, "head")) continue;
    if (!checksumHolds(header)) {
      warnings.push_back(format("The VHDX header at %llu KiB fails its checksum.", static_cast<unsigned long long>(at >> 10)));
      continue;
    }
    ++valid;
    const std::uint64_t sequence = le64At(header, kSequenceOffset);
    if (!current || sequence > currentSequence) {
      current = header;
      currentSequence = sequence;
    }
  }
  if (valid == 0) warnings.push_back("Neither VHDX header passes its checksum.");
  if (current) {
    const Bytes logGuid = slice(*current, kLogGuidOffset, 16);
    if (std::any_of(logGuid.begin(), logGuid.end(), [](std::byte b) { return b != std::byte{0}; }))
      warnings.push_back("The VHDX log holds changes that were never replayed: the disk may be inconsistent.");
  }

  for (const std::uint64_t at : {kRegionTableOffset, kRegionTableCopyOffset}) {
    std::vector<std::byte> table(kRegionTableSize);
    if (!file.readExact(at, table) || le32At(table, 0) != kRegionSignature) continue;
    if (!checksumHolds(table))
      warnings.push_back(format("The VHDX region table at %llu KiB fails its checksum.", static_cast<unsigned long long>(at >> 10)));
    const std::uint32_t count = std::min(le32At(table, 8), kMaxRegionEntries);
    for (std::uint32_t i = 0; i < count; ++i) {
      const Bytes entry = slice(table, kRegionHeaderSize + i * kRegionEntrySize, kRegionEntrySize);
      const Guid id = guidAt(entry, 0);
      if ((le32At(entry, 28) & kRequiredFlag) && id != kBatRegion && id != kMetadataRegion) {
        warnings.push_back(format("The VHDX region table at %llu KiB names a required region this reader does not know.",
                                  static_cast<unsigned long long>(at >> 10)));
        break;
      }
    }
  }

  // Blocks the table places beyond the file's end can only read as zeros.
  if (layout.blockSize >= 512 && layout.logicalSectorSize != 0) {
    const std::uint64_t chunkRatio = (std::uint64_t{1} << 23) * layout.logicalSectorSize / layout.blockSize;
    const std::uint64_t blocks = layout.diskSize / layout.blockSize + (layout.diskSize % layout.blockSize != 0);
    if (chunkRatio != 0 && fits(file.size(), layout.batRegion.fileOffset, layout.batRegion.length)) {
      const std::uint64_t needed = std::min<std::uint64_t>(layout.batRegion.length / 8, blocks + blocks / chunkRatio + 1);
      std::vector<std::byte> bat(static_cast<std::size_t>(needed * 8));
      if (file.readExact(layout.batRegion.fileOffset, bat)) {
        std::uint64_t past = 0;
        std::uint64_t payload = 0;
        for (std::uint64_t i = 0; i < needed && payload < blocks; ++i) {
          if ((i + 1) % (chunkRatio + 1) == 0) continue;  // a sector-bitmap entry
          ++payload;
          const std::uint64_t offset = le64At(bat, static_cast<std::size_t>(i * 8)) & kBatOffsetMask;
          if (offset != 0 && !fits(file.size(), offset, layout.blockSize)) ++past;
        }
        if (past > 0)
          warnings.push_back(format("The image file is shorter than its metadata claims: %llu of %llu blocks lie past its end and read as zeros.",
                                    static_cast<unsigned long long>(past), static_cast<unsigned long long>(blocks)));
      }
    }
  }
  return warnings;
}

}  // namespace tessary::vhdx
