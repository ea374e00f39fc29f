// The standard scan (MBR and extended chain, or GPT) and the advanced boot-record scan.
#include "volumes/partition.h"

#include <algorithm>
#include <array>
#include <cerrno>
#include <optional>
#include <set>
#include <vector>

#include "fs/registry.h"
#include "platform/text.h"
#include "volumes/boot_record.h"

namespace tessary {

namespace {

using namespace volumes;

constexpr std::int64_t kMaxSectorForOffset = INT64_MAX / kSectorSize;

// What a failed read or seek reports: the host's error code when it set one. 1 is the advanced scan's
// "finished", so it never stands for an error.
int failureCode() {
  const int code = errno;
  return code > 1 ? code : EIO;
}

std::string entryName(Bytes entry) {
  std::u16string name = utf16FromLe(slice(entry, gpt::kName, gpt::kNameBytes).data(), gpt::kNameBytes);
  const auto end = name.find(u'\0');
  if (end != std::u16string::npos) name.resize(end);
  return utf8FromUtf16(name);
}

std::string sizeText(const char* fmt, std::uint64_t mib) { return format(fmt, static_cast<long long>(mib)); }

// The find an MBR type stands for when no boot record names the volume: its label and status line.
BootRecordFind typeFind(const MbrTypeEntry& entry) {
  BootRecordFind find;
  find.label = entry.label;
  if (entry.status) find.status = entry.status;
  find.numberedStatus = entry.numberedStatus;
  return find;
}

}  // namespace

bool mbrHoldsOnlyProtectiveEntry(std::span<const std::byte> firstSector) {
  if (u8At(firstSector, mbr::kSignature) != 0x55 || u8At(firstSector, mbr::kSignature + 1) != 0xAA) return false;
  int protective = 0;
  for (std::size_t i = 0; i < mbr::kEntryCount; ++i) {
    const std::uint8_t type = mbr::entry(firstSector, i).type;
    if (type == 0xEE) ++protective;
    else if (type != 0) return false;
  }
  return protective == 1;
}

bool isGptHeader(std::span<const std::byte> sector) { return hasMagic(sector, 0, gpt::kSignature); }

Partition::Partition(PageSink& page, FoundFn found) : m_page(page), m_found(std::move(found)) {}

bool Partition::insideDisk(std::uint64_t sector, std::uint64_t count) const {
  // Offsets go to the reader as signed bytes; a disk of unknown size is bounded by that alone.
  const std::uint64_t limit = m_diskSectors != 0 ? std::min<std::uint64_t>(m_diskSectors, kMaxSectorForOffset)
                                                 : static_cast<std::uint64_t>(kMaxSectorForOffset);
  return fits(limit / units(), sector, count);
}

bool Partition::readDisk(readWriteInterface& reader, std::uint64_t sector, std::uint64_t offset,
                         std::span<std::byte> out) {
  errno = 0;
  const auto at = checkedMul(sector, std::uint64_t{sectorBytes});
  const auto byte = at ? checkedAdd(*at, offset) : std::nullopt;
  if (!byte || *byte > static_cast<std::uint64_t>(INT64_MAX)) {
    errno = EINVAL;
    return false;
  }
  return reader.readAt(static_cast<std::int64_t>(*byte), out);
}

void Partition::add(std::string fileSystem, std::string size, std::int64_t start, std::uint64_t sizeBytes) {
  VolumeEntry record;
  record.fileSystem = std::move(fileSystem);
  record.volumeName = format("%d", m_volumeCounter++);
  record.volumeSizeText = std::move(size);
  record.startSector = start;
  record.sizeBytes = sizeBytes;
  if (m_found) m_found(record);
}

int Partition::standardScan(readWriteInterface& reader, std::uint64_t diskSectorCount) {
  m_diskSectors = diskSectorCount;
  m_volumeCounter = 0;
  m_numberedFinds.clear();
  if (!sectorBytesSound(sectorBytes)) sectorBytes = kSectorSize;
  std::array<std::byte, kSectorSize> first{};
  std::array<std::byte, kSectorSize> header{};
  const bool headRead = readDisk(reader, 0, 0, first) && readDisk(reader, gpt::kHeaderSector, 0, header);
  // The EFI PART signature is not required: a disk is read as GPT exactly when the user said so.
  const int result = (headRead && useGpt) ? scanGpt(reader) : scanMbr(reader);
  m_page.progressPosition(kProgressScale);
  return result;
}

int Partition::scanMbr(readWriteInterface& reader) {
  // The table lies in the first 512 bytes of sector 0 whatever the disk's sector size.
  std::array<std::byte, kSectorSize> sector{};
  if (!readDisk(reader, 0, 0, sector)) return failureCode();
  // All four entries are primaries or the extended one, in any order and with empty slots between them
  // (tools fill the first free slot when a partition is added later); the logical volumes follow them.
  std::optional<std::uint64_t> extendedBase;
  for (std::size_t i = 0; i < mbr::kEntryCount; ++i) {
    const mbr::Entry entry = mbr::entry(sector, i);
    if (entry.type == 0) continue;
    if (mbr::isExtended(entry.type)) {
      if (!extendedBase) extendedBase = entry.firstSector;
      continue;
    }
    if (const int rc = addTableEntry(reader, entry.type, entry.firstSector, entry.sectorCount)) return rc;
  }
  return extendedBase ? scanExtendedChain(reader, *extendedBase) : 0;
}

int Partition::scanExtendedChain(readWriteInterface& reader, std::uint64_t extendedBase) {
  std::array<std::byte, kSectorSize> sector{};
  std::set<std::uint64_t> visited;
  std::uint64_t linkOffset = 0;
  for (int link = 0; link < kMaxExtendedLinks; ++link) {
    const std::uint64_t ebr = extendedBase + linkOffset;  // two 32-bit values: cannot overflow
    // A link back to a record already read would list the same logical volumes again.
    if (!visited.insert(ebr).second) return 0;
    if (!insideDisk(ebr)) return 0;
    if (!readDisk(reader, ebr, 0, sector)) return failureCode();
    std::optional<std::uint64_t> next;
    for (std::size_t i = 0; i < mbr::kEntryCount; ++i) {
      const mbr::Entry entry = mbr::entry(sector, i);
      if (entry.type == 0) continue;
      if (mbr::isExtended(entry.type)) {
        if (!next) next = entry.firstSector;
        continue;
      }
      if (const int rc = addTableEntry(reader, entry.type, ebr + entry.firstSector, entry.sectorCount)) return rc;
    }
    if (!next) return 0;
    linkOffset = *next;
  }
  return 0;
}

int Partition::labelByBootRecord(readWriteInterface& reader, std::uint64_t firstSector, BootRecordFind& find) {
  find = {};
  std::array<std::byte, kSectorSize> boot{};
  if (!readDisk(reader, firstSector, 0, boot)) return failureCode();
  const BootRecordFind atStart = testBootRecords(boot, BootSite::Gpt, 0);
  if (atStart.claimed && atStart.listed) {
    find = atStart;
    return 0;
  }
  // Headers that sit further into the volume (HFS+, the ext superblock) lie that many 512-byte units in,
  // whatever the disk's sector size.
  for (const std::uint64_t headerSector : laterHeaderSectors()) {
    const std::uint64_t offset = headerSector * kSectorSize;
    if (!insideDisk(firstSector, offset / sectorBytes + 1)) continue;
    std::array<std::byte, kSectorSize> header{};
    if (!readDisk(reader, firstSector, offset, header)) return failureCode();
    const BootRecordFind later = testBootRecords(header, BootSite::Gpt, headerSector);
    if (later.claimed && later.listed) {
      find = later;
      return 0;
    }
  }
  return 0;
}

int Partition::addTableEntry(readWriteInterface& reader, std::uint8_t type, std::uint64_t firstSector,
                             std::uint32_t sectorCount) {
  // An entry that starts beyond the disk holds no volume that could be read.
  if (!insideDisk(firstSector)) return 0;
  const std::uint64_t bytes = std::uint64_t{sectorCount} * sectorBytes;
  const std::string size = sizeText("%lld   MB", bytes >> 20);
  const auto start = static_cast<std::int64_t>(firstSector);
  // The rows say which types name their file system. A shared type (0x07: NTFS, or exFAT) asks the rows
  // that share it; a loose one (0x83: any Linux file system) and a type no row names ask every row's boot
  // record. Without a claim, the type's own file system is listed, and "Unknown" for other types.
  const MbrTypeEntry* known = mbrTypeEntry(type);
  if (known && known->probe == MbrTypeProbe::None) {
    add(known->label, size, start, bytes);
    showFindStatus(typeFind(*known));
    return 0;
  }
  BootRecordFind find;
  if (known && known->probe == MbrTypeProbe::SharedType) {
    std::array<std::byte, kSectorSize> boot{};
    if (!readDisk(reader, firstSector, 0, boot)) return failureCode();
    find = testBootRecords(boot, BootSite::MbrType07, 0);
    if (!find.listed) find = {};
  } else if (const int rc = labelByBootRecord(reader, firstSector, find)) {
    return rc;
  }
  if (find.claimed) {
    add(find.label, size, start, bytes);
    showFindStatus(find);
  } else if (known) {
    add(known->label, size, start, bytes);
    showFindStatus(typeFind(*known));
  } else {
    add("Unknown", size, start, bytes);
    m_page.setStatus("found UNKNOWN...");
  }
  return 0;
}

int Partition::scanGpt(readWriteInterface& reader) {
  std::array<std::byte, kSectorSize> header{};
  if (!readDisk(reader, gpt::kHeaderSector, 0, header)) return failureCode();
  // The whole 64-bit LBA: its low byte alone names the same sector only while the array lies below 256.
  const std::uint64_t arrayLba = le64At(header, gpt::kEntryArrayLba);
  // A signed header gives the array's shape; without the signature (or with a shape no tool writes) the
  // usual array of 128 entries of 128 bytes is read.
  std::uint64_t count = le32At(header, gpt::kEntryCount);
  std::uint64_t entrySize = le32At(header, gpt::kEntrySizeField);
  if (!hasMagic(header, 0, gpt::kSignature) || count == 0 || entrySize < gpt::kEntrySize ||
      entrySize > gpt::kMaxEntrySize || entrySize % 8 != 0) {
    count = gpt::kUsualEntries;
    entrySize = gpt::kEntrySize;
  }
  count = std::min(count, gpt::kMaxArrayBytes / entrySize);
  if (!insideDisk(arrayLba)) return 0;
  // An array cut short by the disk's end reads as zeros past it: those entries are unused.
  std::uint64_t sectors = (count * entrySize + sectorBytes - 1) / sectorBytes;
  while (sectors > 0 && !insideDisk(arrayLba, sectors)) --sectors;
  std::vector<std::byte> array(static_cast<std::size_t>(count * entrySize));
  const std::size_t readBytes = static_cast<std::size_t>(std::min<std::uint64_t>(array.size(), sectors * sectorBytes));
  if (readBytes > 0) {
    // The reader serves whole 512-byte units; the array's bytes are a multiple of 128.
    std::vector<std::byte> raw((readBytes + kSectorSize - 1) / kSectorSize * kSectorSize);
    if (!readDisk(reader, arrayLba, 0, raw)) return failureCode();
    std::copy_n(raw.begin(), readBytes, array.begin());
  }

  // Every entry up to the header's count is read; unused ones (an all-zero type) lie anywhere among them.
  for (std::uint64_t n = 0; n < count; ++n) {
    const Bytes entry = slice(array, static_cast<std::size_t>(n * entrySize), gpt::kEntrySize);
    if (entry.size() != gpt::kEntrySize) break;
    bool used = false;
    for (std::size_t b = 0; b < gpt::kTypeGuidBytes; ++b) used = used || u8At(entry, b) != 0;
    if (!used) continue;
    const std::uint64_t firstLba = le64At(entry, gpt::kFirstLba);
    // An entry that starts on the header or the table itself holds no volume.
    if (firstLba < gpt::kLowestPartitionLba) continue;
    if (entryName(entry) == gpt::kReservedName) continue;
    if (const int rc = addGptEntry(reader, entry, firstLba)) return rc;
  }
  return 0;
}

int Partition::addGptEntry(readWriteInterface& reader, std::span<const std::byte> entry, std::uint64_t firstLba) {
  // An entry that starts beyond the disk is passed over, so that the entries after it are still read.
  if (!insideDisk(firstLba)) return 0;
  const auto start = static_cast<std::int64_t>(firstLba);
  BootRecordFind find;
  if (const int rc = labelByBootRecord(reader, firstLba, find)) return rc;
  if (find.claimed) showFindStatus(find);
  // A boot record in the first sector gives the volume's size; a header further in (HFS+, ext) and an
  // entry no row claims take the entry's size, first to last LBA inclusive.
  if (find.claimed && !find.sizeText.empty()) {
    add(find.label, find.sizeText, start);
    return 0;
  }
  const std::uint64_t lastLba = le64At(entry, gpt::kLastLba);
  const std::uint64_t sectors = lastLba >= firstLba ? lastLba - firstLba + 1 : 0;
  const auto bytes = checkedMul(sectors, std::uint64_t{sectorBytes});
  const std::uint64_t mib = bytes.value_or(UINT64_MAX) >> 20;
  add(find.claimed ? find.label : entryName(entry), sizeText("%lld", mib), start, bytes.value_or(0));
  return 0;
}

Partition::Find Partition::testSector(std::span<const std::byte> sector, std::uint64_t absolute) {
  const BootRecordFind find = testBootRecordsAnywhere(sector, BootSite::SectorScan);
  if (!find.claimed) return {};
  // A header found closer to the disk's start than it sits into its volume would start before the disk.
  if (find.listed && absolute < find.headerSector) return {};
  // A volume starts on one of the disk's own sectors; a record elsewhere is a copy or noise.
  const std::uint64_t start = absolute - (find.listed ? find.headerSector : 0);
  if (start % units() != 0) return {};
  showFindStatus(find);
  if (!find.listed) return {};
  add(find.label, find.sizeText, static_cast<std::int64_t>(start / units()));
  return {true, find.sizeSectors};
}

void Partition::showFindStatus(const BootRecordFind& find) {
  if (find.status.empty()) return;
  m_page.setStatus(find.numberedStatus ? format(find.status.c_str(), ++m_numberedFinds[find.label]) : find.status);
}

int Partition::advancedScan(readWriteInterface& reader, std::uint64_t diskSectorCount) {
  m_diskSectors = diskSectorCount;
  m_volumeCounter = 0;
  m_numberedFinds.clear();
  stopRequested = 0;
  m_page.setStatus("Scanning partition.....");
  if (!sectorBytesSound(sectorBytes)) sectorBytes = kSectorSize;
  // The scan never reads past the disk's end, nor past what a signed byte offset can name. It works in
  // 512-byte units; the range is given in the disk's own sectors.
  const std::uint64_t diskEnd = std::min<std::uint64_t>(diskSectorCount, kMaxSectorForOffset);
  std::uint64_t position =
      startSector >= 1 ? checkedMul(static_cast<std::uint64_t>(startSector), units()).value_or(UINT64_MAX) : 0;
  const bool limited = endSector > 0;
  const std::uint64_t endLimit =
      checkedMul(static_cast<std::uint64_t>(std::max<std::int64_t>(endSector, 0)), units()).value_or(UINT64_MAX);
  if (position >= diskEnd) return 1;

  m_page.progressRange(0, kProgressScale,
                       ProgressAmount::bytes(static_cast<std::int64_t>(std::min<std::uint64_t>(diskSectorCount, INT64_MAX / kSectorSize) * kSectorSize)));
  // No piece is longer than the disk from the scan's start: a small disk does not cost a whole piece.
  std::vector<std::byte> piece(
      static_cast<std::size_t>(std::min<std::uint64_t>(kPieceSectors, diskEnd - position) * kSectorSize));
  auto stopped = [&] {
    if (stopRequested.load(std::memory_order_relaxed) == 0) return false;
    m_page.setStatus("Scanned Partitions");
    return true;
  };
  while (position < diskEnd) {
    // Blocks without data read as zeros and hold no boot record: the scan goes on where data starts, so
    // its cost follows the data and not the size the image claims.
    const std::optional<std::uint64_t> dataAt = reader.nextDataOffset(position * kSectorSize);
    if (!dataAt) break;
    if (*dataAt / kSectorSize > position) position = std::min<std::uint64_t>(diskEnd, *dataAt / kSectorSize);
    if (position >= diskEnd) break;
    // A piece that would start beyond the end sector is not read at all.
    if (limited && endLimit < position) break;
    // The last piece stops at the disk's end, so the sectors before it are still tested.
    const std::uint64_t pieceSectors = std::min<std::uint64_t>(kPieceSectors, diskEnd - position);
    const std::span<std::byte> data = std::span(piece).first(pieceSectors * kSectorSize);
    errno = 0;
    if (!reader.readAt(static_cast<std::int64_t>(position * kSectorSize), data)) return failureCode();

    const std::uint64_t left = diskEnd - position;  // sectors from here to the disk's end
    std::uint64_t i = 0;
    while (i < pieceSectors) {
      if (stopped()) return 1;
      // Most sectors cannot hold any boot record the registry knows.
      const std::span<const std::byte> sector = data.subspan(i * kSectorSize, kSectorSize);
      if (!mayHoldBootRecord(sector)) {
        ++i;
        continue;
      }
      const Find find = testSector(sector, position + i);
      std::uint64_t step = 1;
      // The scan goes on at the first sector after a listed volume, so its own sectors (the backup boot
      // sectors among them) are not taken for volumes, and a volume right behind it is not missed.
      if (skipVolumes && find.listed) step = std::max<std::uint64_t>(find.sizeSectors, 1);
      i = std::min(left, checkedAdd(i, step).value_or(left));
    }
    position += i;
    const double done = static_cast<double>(position) / static_cast<double>(diskSectorCount);
    m_page.progressPosition(std::min<std::int64_t>(kProgressScale, static_cast<std::int64_t>(done * kProgressScale)));
    if (stopped()) return 1;
  }
  return 1;
}

}  // namespace tessary
