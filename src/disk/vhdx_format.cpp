// Reading the VHDX region table and metadata.
#include "disk/vhdx_format.h"

#include <algorithm>
#include <map>
#include <optional>

#include "platform/bytes.h"
#include "platform/crc32c.h"
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
  std::uint32_t length = 0;
};

// A differencing disk carries a sixth item, its parent locator, which only a table found by its
// identifier may hold.
constexpr std::uint16_t kItemsWithParentLocator = 6;

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
    if (!count || *count < 1 || *count > std::max(maxItemsAtMetadata, kItemsWithParentLocator)) return Error{kRegionCorrupt};
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
    items.push_back({guidAt(item, 0), le32At(item, 16), le32At(item, 20)});
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
  for (const auto& item : items) {
    if (item.id != kParentLocator) continue;
    layout.parentLocatorOffset = item.offset;
    layout.parentLocatorLength = item.length;
  }
  return layout;
}

std::uint32_t crc32c(std::span<const std::byte> data) { return crc32cOn(0xFFFFFFFFu, data) ^ 0xFFFFFFFFu; }

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

namespace tessary::vhdx {

namespace {

constexpr std::size_t kDataWriteGuidOffset = 32;
constexpr std::size_t kLogLengthOffset = 68;
constexpr std::size_t kLogOffsetOffset = 72;
constexpr std::uint64_t kLogPage = 4096;
constexpr std::size_t kEntryHeaderSize = 64;
constexpr std::size_t kDescriptorSize = 32;
// Logs are 1 MiB as written; a larger one is read up to this size.
constexpr std::uint64_t kMaxLogBytes = 64u << 20;
constexpr std::uint32_t kMaxLocatorBytes = 1u << 20;
// No log describes a file past 1 PiB.
constexpr std::uint64_t kMaxLoggedFileBytes = std::uint64_t{1} << 50;
// Entries whose checksums are taken, in bytes, as a multiple of the log's size: entries of a sound log do
// not overlap, so a log that needs more is refused rather than read again and again.
constexpr std::uint64_t kChecksumBudget = 4;

bool isZero(const Guid& id) {
  return std::all_of(id.begin(), id.end(), [](std::uint8_t b) { return b == 0; });
}

struct LogEntry {
  std::uint64_t position = 0;
  std::uint64_t length = 0;
  std::uint64_t tail = 0;
  std::uint64_t sequence = 0;
};

// The log as read, addressed circularly.
class LogBytes {
 public:
  explicit LogBytes(std::vector<std::byte> bytes) : m_bytes(std::move(bytes)) {}
  std::uint64_t size() const { return m_bytes.size(); }
  std::vector<std::byte> take(std::uint64_t at, std::uint64_t length) const {
    std::vector<std::byte> out(static_cast<std::size_t>(length));
    for (std::uint64_t i = 0; i < length; ++i) out[static_cast<std::size_t>(i)] = m_bytes[static_cast<std::size_t>((at + i) % size())];
    return out;
  }

 private:
  std::vector<std::byte> m_bytes;
};

enum class EntryCheck { Valid, NotAnEntry, Checksum, Malformed };

// Checks the entry at `at`: signature, length, log GUID, checksum, and every descriptor and data sector.
EntryCheck checkEntry(const LogBytes& log, std::uint64_t at, const Guid& logGuid, LogEntry& entry, std::uint64_t& budget) {
  const std::vector<std::byte> head = log.take(at, kEntryHeaderSize);
  if (!hasMagic(head, 0, "loge")) return EntryCheck::NotAnEntry;
  const std::uint64_t length = le32At(head, 8);
  if (length < kLogPage || length % kLogPage != 0 || length > log.size()) return EntryCheck::Malformed;
  if (guidAt(head, 32) != logGuid) return EntryCheck::NotAnEntry;  // an entry of an older log
  if (length > budget) return EntryCheck::Malformed;
  budget -= length;
  std::vector<std::byte> whole = log.take(at, length);
  const std::uint32_t stored = le32At(whole, 4);
  for (std::size_t i = 4; i < 8; ++i) whole[i] = std::byte{0};
  if (crc32c(whole) != stored) return EntryCheck::Checksum;
  entry.position = at;
  entry.length = length;
  entry.tail = le32At(head, 12);
  entry.sequence = le64At(head, 16);
  const std::uint64_t descriptors = le32At(head, 24);
  if (entry.tail % kLogPage != 0 || entry.tail >= log.size()) return EntryCheck::Malformed;
  const std::uint64_t headerBytes = (kEntryHeaderSize + descriptors * kDescriptorSize + kLogPage - 1) / kLogPage * kLogPage;
  if (descriptors > length / kDescriptorSize || headerBytes > length) return EntryCheck::Malformed;
  std::uint64_t dataSectors = 0;
  for (std::uint64_t d = 0; d < descriptors; ++d) {
    const Bytes descriptor = slice(whole, static_cast<std::size_t>(kEntryHeaderSize + d * kDescriptorSize), kDescriptorSize);
    const std::uint64_t fileOffset = le64At(descriptor, 16);
    if (le64At(descriptor, 24) != entry.sequence || fileOffset % kLogPage != 0 || fileOffset > kMaxLoggedFileBytes)
      return EntryCheck::Malformed;
    if (hasMagic(descriptor, 0, "zero")) {
      const std::uint64_t zeroLength = le64At(descriptor, 8);
      if (zeroLength % kLogPage != 0 || zeroLength > kMaxLoggedFileBytes - fileOffset) return EntryCheck::Malformed;
      continue;
    }
    if (!hasMagic(descriptor, 0, "desc")) return EntryCheck::Malformed;
    const std::uint64_t sectorAt = headerBytes + dataSectors * kLogPage;
    if (sectorAt + kLogPage > length) return EntryCheck::Malformed;
    const Bytes sector = slice(whole, static_cast<std::size_t>(sectorAt), kLogPage);
    if (!hasMagic(sector, 0, "data") || le32At(sector, 4) != static_cast<std::uint32_t>(entry.sequence >> 32) ||
        le32At(sector, kLogPage - 4) != static_cast<std::uint32_t>(entry.sequence))
      return EntryCheck::Malformed;
    ++dataSectors;
  }
  return EntryCheck::Valid;
}

void applyEntry(const LogBytes& log, const LogEntry& entry, ReadOverlay& overlay) {
  const std::vector<std::byte> whole = log.take(entry.position, entry.length);
  const std::uint64_t descriptors = le32At(whole, 24);
  const std::uint64_t headerBytes = (kEntryHeaderSize + descriptors * kDescriptorSize + kLogPage - 1) / kLogPage * kLogPage;
  std::uint64_t dataSectors = 0;
  for (std::uint64_t d = 0; d < descriptors; ++d) {
    const Bytes descriptor = slice(whole, static_cast<std::size_t>(kEntryHeaderSize + d * kDescriptorSize), kDescriptorSize);
    const std::uint64_t fileOffset = le64At(descriptor, 16);
    if (hasMagic(descriptor, 0, "zero")) {
      overlay.zero(fileOffset, le64At(descriptor, 8));
      continue;
    }
    // The page as it goes to the file: the descriptor's leading 8 and trailing 4 bytes around the 4084
    // the data sector carries between its signature and sequence fields.
    const Bytes sector = slice(whole, static_cast<std::size_t>(headerBytes + dataSectors * kLogPage), kLogPage);
    std::vector<std::byte> page(sector.begin(), sector.end());
    std::copy(descriptor.begin() + 8, descriptor.begin() + 16, page.begin());
    std::copy(descriptor.begin() + 4, descriptor.begin() + 8, page.end() - 4);
    overlay.write(fileOffset, page);
    ++dataSectors;
  }
}

}  // namespace

std::string guidText(const Guid& id) {
  return format("%02x%02x%02x%02x-%02x%02x-%02x%02x-%02x%02x-%02x%02x%02x%02x%02x%02x", id[3], id[2], id[1], id[0], id[5],
                id[4], id[7], id[6], id[8], id[9], id[10], id[11], id[12], id[13], id[14], id[15]);
}

std::optional<Header> currentHeader(const ImageFile& file) {
  std::optional<Header> current;
  for (const std::uint64_t at : {kHeaderOffset, kSecondHeaderOffset}) {
    std::vector<std::byte> raw(kHeaderSize);
    if (!file.readExact(at, raw) || !hasMagic(raw, 0, "head") || !checksumHolds(raw)) continue;
    Header header;
    header.sequence = le64At(raw, kSequenceOffset);
    if (current && header.sequence <= current->sequence) continue;
    header.dataWriteGuid = guidAt(raw, kDataWriteGuidOffset);
    header.logGuid = guidAt(raw, kLogGuidOffset);
    header.logLength = le32At(raw, kLogLengthOffset);
    header.logOffset = le64At(raw, kLogOffsetOffset);
    current = header;
  }
  return current;
}

std::vector<std::pair<std::string, std::string>> readParentLocator(const ImageFile& file, const Layout& layout) {
  std::vector<std::pair<std::string, std::string>> pairs;
  const std::uint32_t length = std::min(layout.parentLocatorLength, kMaxLocatorBytes);
  const auto at = checkedAdd(layout.metadataRegion.fileOffset, std::uint64_t{layout.parentLocatorOffset});
  if (length < 20 || !at) return pairs;
  std::vector<std::byte> raw(length);
  if (!file.readExact(*at, raw)) return pairs;
  const std::uint16_t count = le16At(raw, 18);
  auto text = [&](std::uint32_t offset, std::uint16_t bytes) -> std::optional<std::string> {
    if (!fits(raw.size(), offset, bytes)) return std::nullopt;
    return utf8FromUtf16(utf16FromLe(raw.data() + offset, bytes));
  };
  for (std::uint32_t i = 0; i < count && fits(raw.size(), 20 + i * 12ULL, 12); ++i) {
    const Bytes entry = slice(raw, 20 + i * 12, 12);
    const auto key = text(le32At(entry, 0), le16At(entry, 8));
    const auto value = text(le32At(entry, 4), le16At(entry, 10));
    if (key && value) pairs.emplace_back(*key, *value);
  }
  return pairs;
}

LogReplay replayLog(const ImageFile& file, const Header& header) {
  LogReplay replay;
  if (isZero(header.logGuid)) return replay;
  if (header.logLength == 0 || header.logLength % kLogPage != 0 || header.logLength > kMaxLogBytes ||
      !fits(file.size(), header.logOffset, header.logLength)) {
    replay.warning = "The VHDX log lies outside the file or has no sound size: it was not replayed.";
    return replay;
  }
  std::vector<std::byte> raw(header.logLength);
  if (!file.readExact(header.logOffset, raw)) {
    replay.warning = "The VHDX log cannot be read: it was not replayed.";
    return replay;
  }
  const LogBytes log(std::move(raw));
  std::map<std::uint64_t, LogEntry> valid;  // by position
  std::optional<std::uint64_t> failedChecksum;
  std::optional<std::uint64_t> malformed;
  std::uint64_t budget = kChecksumBudget * log.size();
  for (std::uint64_t at = 0; at < log.size(); at += kLogPage) {
    LogEntry entry;
    switch (checkEntry(log, at, header.logGuid, entry, budget)) {
      case EntryCheck::Valid: valid.emplace(at, entry); break;
      case EntryCheck::Checksum: if (!failedChecksum) failedChecksum = at; break;
      case EntryCheck::Malformed: if (!malformed) malformed = at; break;
      case EntryCheck::NotAnEntry: break;
    }
  }
  // The active sequence: the newest entry whose tail leads, entry by entry with sequence numbers that
  // rise by one, to that entry itself.
  std::vector<LogEntry> heads;
  for (const auto& [at, entry] : valid) heads.push_back(entry);
  std::sort(heads.begin(), heads.end(), [](const LogEntry& a, const LogEntry& b) { return a.sequence > b.sequence; });
  // The newest entries only: an entry cut short by a crash fails its checksum and is no candidate at all.
  if (heads.size() > 64) heads.resize(64);
  for (const LogEntry& head : heads) {
    std::vector<LogEntry> sequence;
    std::uint64_t at = head.tail;
    std::uint64_t spanned = 0;  // a sequence never holds more than the whole log
    for (std::uint64_t step = 0; step <= log.size() / kLogPage; ++step) {
      const auto it = valid.find(at);
      if (it == valid.end()) break;
      if (!sequence.empty() && it->second.sequence != sequence.back().sequence + 1) break;
      spanned += it->second.length;
      if (spanned > log.size()) break;
      sequence.push_back(it->second);
      if (it->second.position == head.position && it->second.sequence == head.sequence) {
        auto overlay = std::make_shared<ReadOverlay>();
        for (const LogEntry& entry : sequence) applyEntry(log, entry, *overlay);
        replay.overlay = std::move(overlay);
        replay.entries = sequence.size();
        return replay;
      }
      at = (at + it->second.length) % log.size();
    }
  }
  if (failedChecksum) {
    replay.warning = format("The VHDX log entry at %llu KiB into the log fails its checksum: the log was not replayed, "
                            "and the disk may be inconsistent.", static_cast<unsigned long long>(*failedChecksum >> 10));
  } else if (malformed) {
    replay.warning = format("The VHDX log entry at %llu KiB into the log is malformed: the log was not replayed, "
                            "and the disk may be inconsistent.", static_cast<unsigned long long>(*malformed >> 10));
  } else {
    replay.warning = "The VHDX log holds no complete sequence of entries: it was not replayed, and the disk may be inconsistent.";
  }
  return replay;
}

}  // namespace tessary::vhdx
