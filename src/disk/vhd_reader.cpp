// The VHD reader.
#include "disk/vhd_reader.h"

#include <algorithm>
#include <array>
#include <vector>

#include "disk/image_format.h"
#include "platform/bytes.h"
#include "platform/text.h"

namespace tessary {

namespace {

constexpr std::size_t kFooterSize = 512;
constexpr std::size_t kHeaderSize = 1024;
constexpr std::int64_t kNoBlock = 0xFFFFFFFF;
// Blocks hold one sector at least and 256 MiB at most; the format writes 2 MiB.
constexpr std::uint32_t kMaxBlockSize = 256u << 20;

// The name test of a VHD, passed also by a file of any name that holds the VHD footer.
bool hasVhdExtension(const std::string& path) {
  return path.size() <= 3 || endsWithNoCase(path, "vhd") || imageFormatByContent(path) == ImageFormat::Vhd;
}

std::string hexOf(const std::array<std::uint8_t, 16>& id) {
  std::string text;
  for (std::uint8_t b : id) text += format("%02x", b);
  return text;
}

// A locator's path as text: UTF-16LE for the Windows kinds, UTF-8 (a file URL for MacX) otherwise.
std::string locatorText(std::uint32_t code, Bytes data) {
  if (code == 0x57327275 || code == 0x57326B75) {  // "W2ru", "W2ku"
    std::string text = utf8FromUtf16(utf16FromLe(data.data(), data.size()));
    return text.substr(0, text.find('\0'));
  }
  std::string text(reinterpret_cast<const char*>(data.data()), data.size());
  text = text.substr(0, text.find('\0'));
  if (text.starts_with("file://")) text.erase(0, 7);
  return text;
}

}  // namespace

void FileReadSeekVHD::readParentReferences(Bytes header) {
  for (std::size_t i = 0; i < parentUniqueId.size(); ++i) parentUniqueId[i] = u8At(header, 40 + i);
  std::u16string name;
  for (std::size_t i = 0; i < 256; ++i) {
    const std::uint16_t unit = be16At(header, 64 + i * 2);
    if (unit == 0) break;
    name.push_back(static_cast<char16_t>(unit));
  }
  parentName = utf8FromUtf16(name);
  // Eight locators: the relative Windows path first, then the others as they come.
  std::vector<std::string> relative;
  std::vector<std::string> others;
  for (std::size_t i = 0; i < 8; ++i) {
    const std::size_t at = 576 + i * 24;
    const std::uint32_t code = be32At(header, at);
    const std::uint32_t length = be32At(header, at + 8);
    const std::uint64_t offset = be64At(header, at + 16);
    if (code == 0 || length == 0 || length > 4096 || !fits(imageFileSize, offset, length)) continue;
    std::vector<std::byte> raw(length);
    if (!m_file.readExact(offset, raw)) continue;
    const std::string text = locatorText(code, raw);
    if (text.empty()) continue;
    (code == 0x57327275 ? relative : others).push_back(text);
  }
  parentLocators = relative;
  parentLocators.insert(parentLocators.end(), others.begin(), others.end());
}

std::optional<ParentLink> FileReadSeekVHD::parentLink() const {
  if (diskType != kDifferencing) return std::nullopt;
  ParentLink link;
  link.names = parentLocators;
  if (!parentName.empty()) link.names.push_back(parentName);
  link.identity = hexOf(parentUniqueId);
  link.identityName = "unique id";
  return link;
}

std::string FileReadSeekVHD::chainIdentity() const { return hexOf(uniqueId); }

const std::vector<std::byte>& FileReadSeekVHD::bitmap(std::uint64_t block) const {
  if (m_bitmapBlock == block) return m_bitmap;
  m_bitmap.assign(static_cast<std::size_t>(m_bitmapBytes), std::byte{0});
  const auto got = m_file.readAt(static_cast<std::uint64_t>(blockTable[block]) * kSectorSize, m_bitmap);
  if (!got || *got < m_bitmap.size()) ++missingReads;
  m_bitmapBlock = block;
  return m_bitmap;
}

bool FileReadSeekVHD::holds(std::uint64_t offset, std::uint64_t& run) const {
  run = kSectorSize;
  if (diskType != kDifferencing || blockSize == 0) {
    run = std::max<std::uint64_t>(kSectorSize, currentSize > offset ? currentSize - offset : 0);
    return true;
  }
  const std::uint64_t sector = offset / kSectorSize;
  const std::uint64_t blockSectors = blockSize / kSectorSize;
  const std::uint64_t block = sector / blockSectors;
  const std::uint64_t within = sector % blockSectors;
  if (block >= blockTable.size()) return true;
  if (blockTable[block] == kNoBlock) {
    run = (blockSectors - within) * kSectorSize;
    return false;
  }
  std::lock_guard lock(m_bitmapMutex);
  const std::vector<std::byte>& bits = bitmap(block);
  auto bit = [&](std::uint64_t s) {
    return (std::to_integer<std::uint8_t>(bits[static_cast<std::size_t>(s / 8)]) >> (7 - s % 8) & 1) != 0;
  };
  const bool own = bit(within);
  std::uint64_t end = within + 1;
  while (end < blockSectors && bit(end) == own) ++end;
  run = (end - within) * kSectorSize;
  return own;
}

bool FileReadSeekVHD::open(const std::string& path) {
  if (!hasVhdExtension(path)) {
    message("Not a vhd file");
    return false;
  }
  if (!m_file.open(path)) {
    message("Invalid handle ...");
    return false;
  }
  imageFileSize = m_file.size();
  blockTable.clear();
  tableEntryCount = 0;

  // A dynamic disk keeps a copy of its footer at 0; a fixed disk has it only at the end of the file.
  std::array<std::byte, kFooterSize> footer{};
  bool found = false;
  for (const std::uint64_t at : {imageFileSize >= kFooterSize ? imageFileSize - kFooterSize : UINT64_MAX, std::uint64_t{0}}) {
    if (at == UINT64_MAX || !m_file.readExact(at, footer)) continue;
    if (hasMagic(footer, 0, "conectix")) {
      found = true;
      break;
    }
  }
  if (!found) {
    message("Not a vhd file");
    return false;
  }
  ByteCursor cursor(footer, 8);
  features = cursor.be32();
  formatVersion = cursor.be32();
  dataOffset = cursor.be64();
  cursor.skip(12);  // time stamp, creator application and version
  cursor.skip(4);   // creator host
  originalSize = cursor.be64();
  currentSize = cursor.be64();
  cylinders = cursor.be16();
  heads = cursor.u8();
  sectorsPerTrack = cursor.u8();
  diskType = cursor.be32();
  cursor.skip(4);  // checksum
  for (auto& b : uniqueId) b = cursor.u8();
  m_context.diskSectorCount = currentSize / kSectorSize;
  m_context.imageLogicalSectorSize = 0;  // the format states none: 512 unless the user says otherwise

  if (diskType == kFixed) return true;
  if (diskType != kDynamic && diskType != kDifferencing) {
    message(format("VHD disk type %u cannot be read", diskType));
    return false;
  }
  return openDynamic();
}

bool FileReadSeekVHD::openDynamic() {
  // The header is where the footer says; images whose footer points elsewhere keep it right after the
  // footer copy.
  std::array<std::byte, kHeaderSize> header{};
  bool found = false;
  for (const std::uint64_t at : {dataOffset, std::uint64_t{kFooterSize}}) {
    if (!fits(imageFileSize, at, kHeaderSize) || !m_file.readExact(at, header)) continue;
    if (hasMagic(header, 0, "cxsparse")) {
      found = true;
      break;
    }
  }
  if (!found) {
    message("VHD dynamic disk header not found");
    return false;
  }
  tableOffset = be64At(header, 16);
  parentLocators.clear();
  parentName.clear();
  if (diskType == kDifferencing) readParentReferences(header);
  maxTableEntries = be32At(header, 28);
  blockSize = be32At(header, 32);
  if (blockSize < kSectorSize || blockSize > kMaxBlockSize || (blockSize & (blockSize - 1)) != 0) {
    message(format("VHD block size %u cannot be used", blockSize));
    return false;
  }
  // One bit per sector, in whole sectors, ahead of each block's data.
  m_bitmapBytes = *sectorsFor((blockSize / kSectorSize + 7) / 8) * kSectorSize;

  // The table is read only as far as the disk needs, and only where the file has it.
  const std::uint64_t blocks = currentSize / blockSize + (currentSize % blockSize != 0);
  const std::uint64_t entries = std::min<std::uint64_t>(maxTableEntries, blocks);
  if (!fits(imageFileSize, tableOffset, entries * 4)) {
    message("VHD block allocation table lies outside the file");
    return false;
  }
  std::vector<std::byte> raw(static_cast<std::size_t>(entries * 4));
  if (!m_file.readExact(tableOffset, raw)) {
    message("VHD block allocation table cannot be read");
    return false;
  }
  blockTable.reserve(static_cast<std::size_t>(entries));
  for (std::size_t i = 0; i < entries; ++i) blockTable.push_back(be32At(raw, i * 4));
  tableEntryCount = blockTable.size();
  return true;
}

MappedDiskReader::Place FileReadSeekVHD::place(std::uint64_t absolute) const {
  Place where;
  if (absolute >= currentSize / kSectorSize * kSectorSize) return where;
  const std::uint64_t sector = absolute / kSectorSize;
  if (diskType == kFixed) {
    where.mapped = where.allocated = true;
    where.file = &m_file;
    where.filePosition = sector * kSectorSize;
    where.runBytes = currentSize / kSectorSize * kSectorSize - where.filePosition;
    return where;
  }
  const std::uint64_t blockSectors = blockSize / kSectorSize;
  const std::uint64_t block = sector / blockSectors;
  const std::uint64_t within = sector % blockSectors;
  if (block >= blockTable.size()) return where;
  where.mapped = true;
  where.runBytes = (blockSectors - within) * kSectorSize;
  const std::int64_t entry = blockTable[block];
  if (entry == kNoBlock) return where;
  where.allocated = true;
  where.file = &m_file;
  // Entries are 32-bit sector numbers, so the sum cannot overflow.
  where.filePosition = static_cast<std::uint64_t>(entry) * kSectorSize + m_bitmapBytes + within * kSectorSize;
  return where;
}

std::optional<std::uint64_t> FileReadSeekVHD::nextDataOffset(std::uint64_t offset) const {
  return pastHostHoles(offset, [this](std::uint64_t from) -> std::optional<std::uint64_t> {
    const std::uint64_t end = currentSize / kSectorSize * kSectorSize;
    if (from >= end) return std::nullopt;
    if (diskType == kFixed) return from;
    if (blockSize == 0) return std::nullopt;
    for (std::uint64_t block = from / blockSize; block < blockTable.size(); ++block) {
      if (blockTable[block] == kNoBlock) continue;
      return std::max(from, block * blockSize);
    }
    return std::nullopt;
  });
}

}  // namespace tessary
