// The VHDX reader: region table, metadata and block allocation table, then sector reads through the table.
#include "disk/vhdx_reader.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <vector>

#include "disk/image_format.h"
#include "disk/vhdx_format.h"
#include "platform/bytes.h"
#include "platform/page_sink.h"
#include "platform/text.h"

namespace tessary {

namespace {

constexpr std::int64_t kNoDataEntry = 0xFFFFFFFF;
// Block states of the table's entries.
constexpr std::uint8_t kBlockNotPresent = 0;
constexpr std::uint8_t kBlockUndefined = 1;
constexpr std::uint8_t kBlockPartiallyPresent = 7;
constexpr std::uint64_t kBitmapPresent = 6;
// A sector bitmap block covers 2^23 logical sectors.
constexpr std::uint64_t kSectorsPerBitmap = std::uint64_t{1} << 23;

// The name test of a VHDX, passed also by a file of any name that starts with the VHDX signature.
bool hasVhdxExtension(const std::string& path) {
  return path.size() <= 3 || endsWithNoCase(path, "vhdx") || imageFormatByContent(path) == ImageFormat::Vhdx;
}

}  // namespace

void FileReadSeekVHDX::message(const std::string& text) const {
  if (m_context.messages) m_context.messages->showMessage(text);
}

bool FileReadSeekVHDX::open(const std::string& path) {
  if (!hasVhdxExtension(path)) {
    message("not a vhd file");
    return false;
  }
  if (const auto size = fileSize(path)) imageFileSize = *size;
  if (!m_file.open(path)) {
    message("invalid handle ...");
    return false;
  }
  imageFileSize = m_file.size();

  // A log that holds updates the file does not show yet is replayed over the file's reads in memory.
  logEntriesApplied = 0;
  m_dataWriteGuid.clear();
  if (const auto header = vhdx::currentHeader(m_file)) {
    m_dataWriteGuid = vhdx::guidText(header->dataWriteGuid);
    const vhdx::LogReplay replay = vhdx::replayLog(m_file, *header);
    if (replay.overlay) {
      m_file.setOverlay(replay.overlay);
      logEntriesApplied = replay.entries;
    }
  }

  auto layout = vhdx::readLayout(m_file, 5);
  if (!layout) {
    message(layout.error());
    return false;
  }

  std::uint64_t diskSize = layout->diskSize;
  std::uint32_t logicalSectorSize = layout->logicalSectorSize;
  std::uint32_t blockSize = layout->blockSize;
  if (m_context.userDiskSize != 0) diskSize = m_context.userDiskSize;
  if (m_context.userLogicalSectorSize != 0) logicalSectorSize = m_context.userLogicalSectorSize;
  if (m_context.userBlockSize != 0) blockSize = m_context.userBlockSize;

  // A block size that is not a whole number of sectors, or a chunk ratio of 0, cannot map any sector.
  if (blockSize < kSectorSize || blockSize % kSectorSize != 0) {
    message(format("Block size %u cannot be used: it must be a nonzero multiple of 512 bytes.", blockSize));
    return false;
  }
  blockSectors = blockSize / kSectorSize;
  chunkRatio = (static_cast<std::uint64_t>(1) << 23) * logicalSectorSize / blockSize;
  if (chunkRatio == 0) {
    message(format("Chunk ratio is 0 for logical sector size %u and block size %u: the block table cannot be read.",
                   logicalSectorSize, blockSize));
    return false;
  }
  m_context.diskSectorCount = diskSize / kSectorSize;
  m_context.imageLogicalSectorSize = layout->logicalSectorSize;
  m_logicalSectorSize = logicalSectorSize;
  differencing = (layout->fileFlags & vhdx::kHasParentFlag) != 0;
  m_locator = differencing ? vhdx::readParentLocator(m_file, *layout) : decltype(m_locator){};

  const vhdx::RegionEntry& bat = layout->batRegion;
  if (!fits(imageFileSize, bat.fileOffset, bat.length)) {
    message("Region entry corrupt");
    return false;
  }
  // The table is read only as far as the disk needs: one entry per payload block and one sector-bitmap
  // entry per chunk, however long the region claims to be.
  const std::uint64_t blocks = diskSize / blockSize + (diskSize % blockSize != 0);
  // A differencing disk's table ends with the sector-bitmap entry of its last chunk.
  const std::uint64_t chunks = blocks / chunkRatio + (blocks % chunkRatio != 0);
  const std::uint64_t neededEntries =
      differencing && chunks <= UINT64_MAX / (chunkRatio + 1) / 8 ? chunks * (chunkRatio + 1) : blocks + blocks / chunkRatio + 1;
  const std::uint64_t batBytes =
      std::min<std::uint64_t>(bat.length, neededEntries > UINT64_MAX / 8 ? UINT64_MAX : neededEntries * 8);
  std::vector<std::byte> raw(static_cast<std::size_t>(batBytes));
  if (!m_file.readExact(bat.fileOffset, raw)) {
    message("Region entry corrupt");
    return false;
  }
  const std::size_t entries = (raw.size() + 7) / 8;
  blockTable.clear();
  blockTable.reserve(entries);
  {
    std::lock_guard lock(m_stretchMutex);
    m_zerosFrom = m_zerosTo = 0;
  }
  m_states.clear();
  m_bitmapOffsets.clear();
  std::uint64_t counter = 0;
  for (std::size_t i = 0; i < entries; ++i) {
    // A last entry cut short by the region's length reads its missing bytes as zero.
    std::uint64_t entry = 0;
    for (std::size_t b = 0; b < 8 && i * 8 + b < raw.size(); ++b)
      entry |= static_cast<std::uint64_t>(std::to_integer<std::uint8_t>(raw[i * 8 + b])) << (8 * b);
    ++counter;
    if (counter > chunkRatio) {
      // Every chunk ratio's worth of payload entries is followed by one sector-bitmap entry.
      counter = 0;
      m_bitmapOffsets.push_back((entry & 7) == kBitmapPresent ? entry & vhdx::kBatOffsetMask : 0);
      continue;
    }
    blockTable.push_back(static_cast<std::int64_t>((entry & vhdx::kBatOffsetMask) / kSectorSize));
    m_states.push_back(static_cast<std::uint8_t>(entry & 7));
  }
  if (differencing && blockTable.size() > blocks) {
    blockTable.resize(static_cast<std::size_t>(blocks));
    m_states.resize(static_cast<std::size_t>(blocks));
  }
  tableEntryCount = blockTable.size();
  return true;
}

FileReadSeekVHDX::SectorPlace FileReadSeekVHDX::place(std::int64_t relativeOffset) const {
  SectorPlace out;
  const auto absolute = checkedAdd(relativeOffset, baseOffset);
  if (!absolute || *absolute < 0 || blockSectors == 0 || blockTable.empty()) return out;
  const std::uint64_t sector = static_cast<std::uint64_t>(*absolute) / kSectorSize;
  const std::uint64_t block = sector / blockSectors;
  const auto within = static_cast<std::uint32_t>(sector % blockSectors);
  if (block >= blockTable.size()) return out;
  out.inTable = true;
  out.sectorsLeftInBlock = blockSectors - within;
  const std::int64_t entry = blockTable[block];
  if (entry == 0 || entry == kNoDataEntry) return out;
  const auto position = checkedAdd(static_cast<std::uint64_t>(entry) * kSectorSize,
                                   static_cast<std::uint64_t>(within) * kSectorSize);
  if (!position || *position > static_cast<std::uint64_t>(INT64_MAX)) {
    out.inTable = false;
    out.positionOutOfRange = true;
    return out;
  }
  out.allocated = true;
  out.filePosition = *position;
  return out;
}

bool FileReadSeekVHDX::seek(std::int64_t offset, std::uint32_t origin) {
  (void)origin;
  currentOffset = offset;
  const SectorPlace where = place(offset);
  if (where.positionOutOfRange) blockAllocated = 0;
  if (!where.inTable) return false;
  blockAllocated = where.allocated ? 1 : 0;
  return true;
}

bool FileReadSeekVHDX::read(void* buffer, std::uint32_t length) {
  auto* out = static_cast<std::byte*>(buffer);
  std::uint64_t done = 0;
  bool ok = true;
  // One positioned read per run of sectors that lie together in one block; each block is mapped through
  // its own table entry, so a read across a block boundary continues at the next block's position.
  while (done < length) {
    const SectorPlace where = place(currentOffset);
    if (!where.inTable) {
      ok = false;
      break;
    }
    const std::uint64_t runBytes = static_cast<std::uint64_t>(where.sectorsLeftInBlock) * kSectorSize;
    const std::uint64_t wanted = std::min<std::uint64_t>(length - done, runBytes);
    std::span<std::byte> piece(out + done, static_cast<std::size_t>(wanted));
    if (where.allocated) {
      const auto got = m_file.readAt(where.filePosition, piece);
      if (!got) {
        ++missingReads;
        ok = false;
        break;
      }
      // Bytes past the end of a truncated image read as zeros, never as stale buffer contents.
      if (*got < piece.size()) {
        ++missingReads;
        std::memset(piece.data() + *got, 0, piece.size() - *got);
      }
    } else {
      std::memset(piece.data(), 0, piece.size());
    }
    done += wanted;
    // The position moves on in whole sectors, also for a final partial sector.
    const std::uint64_t advanced = (wanted + kSectorSize - 1) / kSectorSize * kSectorSize;
    currentOffset += static_cast<std::int64_t>(advanced);
  }
  if (done < length) std::memset(out + done, 0, length - done);
  const SectorPlace next = place(currentOffset);
  if (next.inTable) blockAllocated = next.allocated ? 1 : 0;
  return ok;
}

std::optional<std::uint64_t> FileReadSeekVHDX::nextDataOffset(std::uint64_t offset) const {
  if (blockSectors == 0) return std::nullopt;
  // Scans ask again and again inside one stretch without data (a parser's inode tables one after the
  // other): the last stretch found answers them without walking the table again.
  {
    std::lock_guard lock(m_stretchMutex);
    if (offset >= m_zerosFrom && offset < m_zerosTo)
      return m_zerosTo == UINT64_MAX ? std::nullopt : std::optional<std::uint64_t>(m_zerosTo);
  }
  const std::optional<std::uint64_t> next = firstDataFrom(offset);
  if (!next || *next > offset) {
    std::lock_guard lock(m_stretchMutex);
    m_zerosFrom = offset;
    m_zerosTo = next.value_or(UINT64_MAX);
  }
  return next;
}

std::optional<std::uint64_t> FileReadSeekVHDX::firstDataFrom(std::uint64_t offset) const {
  const std::uint64_t blockBytes = std::uint64_t{blockSectors} * kSectorSize;
  for (std::uint64_t block = offset / blockBytes; block < blockTable.size(); ++block) {
    const std::int64_t entry = blockTable[block];
    if (entry == 0 || entry == kNoDataEntry) continue;
    const std::uint64_t from = std::max(offset, block * blockBytes);
    // Inside a block with data, a stretch the image file holds as a hole of the host's reads as zeros
    // too: the answer is where the file's own data starts again, when that is still inside the block.
    const std::uint64_t within = from - block * blockBytes;
    const auto start = checkedAdd(static_cast<std::uint64_t>(entry) * kSectorSize, within);
    const auto blockEnd = checkedAdd(static_cast<std::uint64_t>(entry) * kSectorSize, blockBytes);
    if (!start || !blockEnd) return from;
    const std::uint64_t data = m_file.dataFrom(*start);
    if (data < *blockEnd) return from + (data - *start);
  }
  return std::nullopt;
}

std::optional<readWriteInterface::HostStretch> FileReadSeekVHDX::hostStretch(std::uint64_t offset,
                                                                            std::uint64_t length) const {
  // The same mapping as read's: a read starts at a whole sector, and a block without a file position has
  // no bytes in the file.
  if (length == 0 || blockSectors == 0 || offset % kSectorSize != 0) return std::nullopt;
  const std::uint64_t blockBytes = std::uint64_t{blockSectors} * kSectorSize;
  const std::uint64_t block = offset / blockBytes;
  if (block >= blockTable.size()) return std::nullopt;
  const std::int64_t entry = blockTable[block];
  if (entry == 0 || entry == kNoDataEntry) return std::nullopt;
  const std::uint64_t within = offset % blockBytes;
  const auto position = checkedAdd(static_cast<std::uint64_t>(entry) * kSectorSize, within);
  if (!position || *position > static_cast<std::uint64_t>(INT64_MAX)) return std::nullopt;
  return HostStretch{&m_file, *position, std::min(length, blockBytes - within)};
}

std::optional<ParentLink> FileReadSeekVHDX::parentLink() const {
  if (!differencing) return std::nullopt;
  ParentLink link;
  auto valueOf = [&](const char* key) -> std::string {
    for (const auto& [k, v] : m_locator)
      if (k == key) return v;
    return {};
  };
  for (const char* key : {"relative_path", "volume_path", "absolute_win32_path"}) {
    const std::string value = valueOf(key);
    if (!value.empty()) link.names.push_back(value);
  }
  std::string linkage = valueOf("parent_linkage");
  if (linkage.size() >= 2 && linkage.front() == '{' && linkage.back() == '}') linkage = linkage.substr(1, linkage.size() - 2);
  link.identity = linkage;
  link.identityName = "data write GUID";
  return link;
}

bool FileReadSeekVHDX::holds(std::uint64_t offset, std::uint64_t& run) const {
  run = kSectorSize;
  if (!differencing || blockSectors == 0) {
    const std::uint64_t disk = m_context.diskSectorCount * kSectorSize;
    run = std::max<std::uint64_t>(kSectorSize, disk > offset ? disk - offset : 0);
    return true;
  }
  const std::uint64_t blockBytes = std::uint64_t{blockSectors} * kSectorSize;
  const std::uint64_t block = offset / blockBytes;
  if (block >= m_states.size()) return true;
  const std::uint64_t within = offset % blockBytes;
  run = blockBytes - within;
  const std::uint8_t state = m_states[block];
  if (state == kBlockNotPresent || state == kBlockUndefined) return false;
  if (state != kBlockPartiallyPresent) return true;
  // One bit per logical sector, least significant first; a chunk without its bitmap is the parent's.
  const std::uint64_t chunk = block / chunkRatio;
  const std::uint64_t sectorBytes = m_logicalSectorSize;
  if (chunk >= m_bitmapOffsets.size() || m_bitmapOffsets[chunk] == 0 || sectorBytes < kSectorSize ||
      blockBytes % sectorBytes != 0)
    return false;
  const std::uint64_t firstSector = (block % chunkRatio) * (blockBytes / sectorBytes);
  const std::uint64_t sector = firstSector + within / sectorBytes;
  const std::uint64_t lastSector = firstSector + blockBytes / sectorBytes;  // one past the block
  if (lastSector > kSectorsPerBitmap) return false;
  std::lock_guard lock(m_bitmapMutex);
  if (m_bitmapBlock != block) {
    // The block's part of its chunk's bitmap, read once while the block is in use.
    m_bitmap.assign(static_cast<std::size_t>((lastSector - firstSector + 7) / 8), std::byte{0});
    if (!m_file.readExact(m_bitmapOffsets[chunk] + firstSector / 8, m_bitmap)) ++missingReads;
    m_bitmapBlock = block;
  }
  auto bit = [&](std::uint64_t s) {
    const std::uint64_t i = s - firstSector;
    return ((std::to_integer<std::uint8_t>(m_bitmap[static_cast<std::size_t>(i / 8)]) >> (i % 8)) & 1) != 0;
  };
  const bool own = bit(sector);
  std::uint64_t end = sector + 1;
  while (end < lastSector && bit(end) == own) ++end;
  run = (end - sector) * sectorBytes - within % sectorBytes;
  return own;
}

bool readImageInfo(PageSink& page, DiskContext& context, readWriteInterface* reader, const std::string& path,
                   ImageInfo& info) {
  info = ImageInfo{};
  if (!hasVhdxExtension(path)) {
    page.showMessage("Please select valid vhdx file to continue the recovery process.");
    return false;
  }
  ImageFile file;
  if (!file.open(path)) return true;
  if (reader) reader->imageFileSize = file.size();

  std::string logWarning;
  if (const auto header = vhdx::currentHeader(file)) {
    const vhdx::LogReplay replay = vhdx::replayLog(file, *header);
    if (replay.overlay) file.setOverlay(replay.overlay);
    info.logEntriesApplied = replay.entries;
    logWarning = replay.warning;
  }

  auto layout = vhdx::readLayout(file, 6);
  if (!layout) {
    page.showMessage(layout.error());
    return false;
  }
  context.diskSectorCount = layout->diskSize / kSectorSize;
  context.imageLogicalSectorSize = layout->logicalSectorSize;
  info.shown = true;
  info.formatVersion = layout->formatVersion;
  info.diskSize = layout->diskSize;
  info.blockSize = layout->blockSize;
  info.logicalSectorSize = layout->logicalSectorSize;
  info.physicalSectorSize = layout->physicalSectorSize;
  info.differencing = (layout->fileFlags & vhdx::kHasParentFlag) != 0;
  if (info.differencing) page.showMessage("This is a differencing VHDX.");
  info.warnings = vhdx::integrityWarnings(file, *layout);
  if (info.logEntriesApplied > 0) {
    // The replayed log's changes are read; the file itself stays as it is.
    std::erase_if(info.warnings, [](const std::string& w) { return w.starts_with("The VHDX log holds changes"); });
    info.warnings.push_back(format("The VHDX log was replayed in memory: %zu entries applied; the file was not changed.",
                                   info.logEntriesApplied));
  } else if (!logWarning.empty()) {
    std::erase_if(info.warnings, [](const std::string& w) { return w.starts_with("The VHDX log holds changes"); });
    info.warnings.push_back(logWarning);
  }
  return true;
}

}  // namespace tessary
