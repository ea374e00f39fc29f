// The VDI reader.
#include "disk/vdi_reader.h"

#include <algorithm>

#include "platform/bytes.h"
#include "platform/text.h"

namespace tessary {

namespace {

constexpr std::uint64_t kNotAllocated = 0xFFFFFFFF;
constexpr std::uint64_t kZeroBlock = 0xFFFFFFFE;

bool hasData(std::uint64_t entry) { return entry != kNotAllocated && entry != kZeroBlock; }

std::string uuidAt(Bytes header, std::size_t at) {
  std::string text;
  for (std::size_t i = 0; i < 16; ++i) text += format("%02x", u8At(header, at + i));
  return text;
}

constexpr std::size_t kCreateUuid = 392;
constexpr std::size_t kLinkageUuid = 424;

}  // namespace

bool FileReadSeekVdi::open(const std::string& path) {
  if (!m_file.open(path)) {
    message("Invalid handle ...");
    return false;
  }
  imageFileSize = m_file.size();
  blockMap.clear();
  if (!m_file.readExact(0, header)) return false;
  ByteCursor cursor(header, 64);
  signature = cursor.le32();
  version = cursor.le32();
  headerSize = cursor.le32();
  imageType = cursor.le32();
  blocksOffset = le32At(header, 340);
  dataOffset = le32At(header, 344);
  cylinders = le32At(header, 348);
  heads = le32At(header, 352);
  sectors = le32At(header, 356);
  diskSize = le64At(header, 368);
  blockSize = le32At(header, 376);
  blockExtra = le32At(header, 380);
  blockCount = le32At(header, 384);
  allocatedBlocks = le32At(header, 388);
  blockSectors = blockSize / kSectorSize;

  // A snapshot that has not been written to yet holds no block.
  if (diskSize == 0 || headerSize == 0 || (allocatedBlocks == 0 && imageType != kDifferencing) || blockSize == 0)
    return false;
  // Blocks plus their extra bytes must be addressable for every 32-bit block number.
  if (std::uint64_t{blockSize} + blockExtra > (std::uint64_t{1} << 32)) {
    message("VDI block size cannot be used");
    return false;
  }
  // The map is read only as far as the disk needs, and only where the file has it.
  const std::uint64_t needed = diskSize / blockSize + (diskSize % blockSize != 0);
  const std::uint64_t entries = std::min<std::uint64_t>(blockCount, needed);
  if (!fits(imageFileSize, blocksOffset, entries * 4)) {
    message("VDI block map lies outside the file");
    return false;
  }
  std::vector<std::byte> raw(static_cast<std::size_t>(entries * 4));
  if (!m_file.readExact(blocksOffset, raw)) {
    message("VDI block map cannot be read");
    return false;
  }
  blockMap.reserve(static_cast<std::size_t>(entries));
  for (std::size_t i = 0; i < entries; ++i) blockMap.push_back(le32At(raw, i * 4));
  m_context.diskSectorCount = diskSize / kSectorSize;
  m_context.imageLogicalSectorSize = 0;  // the format states none: 512 unless the user says otherwise
  return true;
}

MappedDiskReader::Place FileReadSeekVdi::place(std::uint64_t absolute) const {
  Place where;
  if (blockMap.empty() || absolute >= diskSize) return where;
  const std::uint64_t index = absolute / blockSize;
  // Within a block the offset is taken to the byte, not rounded to a sector.
  const std::uint64_t within = absolute % blockSize;
  if (index >= blockMap.size()) return where;
  where.mapped = true;
  where.runBytes = std::min<std::uint64_t>(blockSize - within, diskSize - absolute);
  const std::uint64_t entry = blockMap[index];
  if (!hasData(entry)) return where;
  const auto start = checkedAdd(entry * (std::uint64_t{blockSize} + blockExtra), std::uint64_t{dataOffset} + blockExtra);
  const auto position = start ? checkedAdd(*start, within) : std::nullopt;
  if (!position) return Place{};
  where.allocated = true;
  where.file = &m_file;
  where.filePosition = *position;
  return where;
}

std::optional<ParentLink> FileReadSeekVdi::parentLink() const {
  if (imageType != kDifferencing) return std::nullopt;
  ParentLink link;
  link.searchExtension = ".vdi";
  link.identity = uuidAt(header, kLinkageUuid);
  link.identityName = "UUID";
  return link;
}

std::string FileReadSeekVdi::chainIdentity() const { return uuidAt(header, kCreateUuid); }

bool FileReadSeekVdi::holds(std::uint64_t offset, std::uint64_t& run) const {
  run = kSectorSize;
  if (imageType != kDifferencing || blockSize == 0 || offset >= diskSize) return true;
  const std::uint64_t index = offset / blockSize;
  if (index >= blockMap.size()) return true;
  run = std::min<std::uint64_t>(blockSize - offset % blockSize, diskSize - offset);
  return blockMap[index] != kNotAllocated;
}

std::optional<std::uint64_t> FileReadSeekVdi::nextDataOffset(std::uint64_t offset) const {
  return pastHostHoles(offset, [this](std::uint64_t from) -> std::optional<std::uint64_t> {
    if (blockSize == 0 || from >= diskSize) return std::nullopt;
    for (std::uint64_t index = from / blockSize; index < blockMap.size(); ++index) {
      if (!hasData(blockMap[index])) continue;
      return std::max(from, index * blockSize);
    }
    return std::nullopt;
  });
}

}  // namespace tessary
