// Sparse test disks with partition tables and boot records, in memory or as VHDX.
#include "support/disk_image_builder.h"

#include <algorithm>
#include <cstring>

#include "support/vhdx_builder.h"

namespace tessary::test {

std::vector<std::byte>& DiskImage::sector(std::uint64_t index) {
  auto& bytes = m_sectors[index];
  if (bytes.empty()) bytes.assign(kSectorSize, std::byte{0});
  return bytes;
}

void DiskImage::put8(std::uint64_t s, std::size_t at, std::uint8_t value) { sector(s).at(at) = std::byte{value}; }

void DiskImage::put16(std::uint64_t s, std::size_t at, std::uint16_t value) {
  for (std::size_t i = 0; i < 2; ++i) put8(s, at + i, static_cast<std::uint8_t>(value >> (8 * i)));
}

void DiskImage::put32(std::uint64_t s, std::size_t at, std::uint32_t value) {
  for (std::size_t i = 0; i < 4; ++i) put8(s, at + i, static_cast<std::uint8_t>(value >> (8 * i)));
}

void DiskImage::put64(std::uint64_t s, std::size_t at, std::uint64_t value) {
  for (std::size_t i = 0; i < 8; ++i) put8(s, at + i, static_cast<std::uint8_t>(value >> (8 * i)));
}

void DiskImage::putBe32(std::uint64_t s, std::size_t at, std::uint32_t value) {
  for (std::size_t i = 0; i < 4; ++i) put8(s, at + i, static_cast<std::uint8_t>(value >> (8 * (3 - i))));
}

void DiskImage::putText(std::uint64_t s, std::size_t at, const std::string& text) {
  for (std::size_t i = 0; i < text.size(); ++i) put8(s, at + i, static_cast<std::uint8_t>(text[i]));
}

void DiskImage::putUtf16(std::uint64_t s, std::size_t at, const std::u16string& text) {
  for (std::size_t i = 0; i < text.size(); ++i) put16(s, at + 2 * i, static_cast<std::uint16_t>(text[i]));
}

void DiskImage::tableEntry(std::uint64_t tableSector, int index, std::uint8_t type, std::uint32_t firstSector,
                           std::uint32_t count) {
  const std::size_t at = 446 + static_cast<std::size_t>(index) * 16;
  put8(tableSector, at + 4, type);         // partition type
  put32(tableSector, at + 8, firstSector);  // first sector, relative
  put32(tableSector, at + 12, count);       // sector count
  put16(tableSector, 510, 0xAA55);          // boot signature
}

void DiskImage::ntfsBoot(std::uint64_t s, std::uint64_t totalSectors, std::uint16_t bytesPerSector,
                         const std::string& oem) {
  put8(s, 0, 0xEB);                // jump
  put8(s, 1, 0x52);                // jump target of NTFS
  put8(s, 2, 0x90);                // nop
  putText(s, 3, oem);              // OEM name
  put16(s, 11, bytesPerSector);    // bytes per sector
  put8(s, 13, 8);                  // sectors per cluster
  put64(s, 40, totalSectors);      // total sectors
  put16(s, 510, 0xAA55);
}

void DiskImage::fatBoot(std::uint64_t s, std::uint16_t sectorsPerFat, std::uint16_t total16, std::uint32_t total32,
                        const std::string& oem, std::uint8_t jumpTarget) {
  // A geometry a formatter would write: 512-byte sectors, two FATs, the smallest cluster size whose
  // clusters the FAT covers (FAT32: a FAT sized for one-sector clusters).
  const bool fat32 = sectorsPerFat == 0;
  const std::uint64_t total = total16 != 0 ? total16 : total32;
  const std::uint16_t reserved = fat32 ? 32 : 1;
  const std::uint16_t rootEntries = fat32 ? 0 : 512;
  const std::uint64_t perFat = fat32 ? (total * 4 + 511) / 512 : sectorsPerFat;
  std::uint8_t spc = 1;
  for (; spc < 128; spc = static_cast<std::uint8_t>(spc * 2)) {
    const std::uint64_t meta = reserved + 2 * perFat + rootEntries * 32 / 512;
    const std::uint64_t clusters = total > meta ? (total - meta) / spc : 0;
    const std::uint64_t bits = fat32 ? 32 : clusters < 4085 ? 12 : 16;
    if (perFat * 512 * 8 >= (clusters + 2) * bits) break;
  }
  put8(s, 0, 0xEB);               // jump
  put8(s, 1, jumpTarget);         // 0x3C (FAT16), 0x58 (FAT32)
  put8(s, 2, 0x90);
  putText(s, 3, oem);             // OEM name, "MSDOS5.0" as Windows writes it
  put16(s, 11, 512);              // bytes per sector
  put8(s, 13, spc);               // sectors per cluster
  put16(s, 14, reserved);         // reserved sectors
  put8(s, 16, 2);                 // FATs
  put16(s, 17, rootEntries);      // root folder entries (0 on FAT32)
  put16(s, 19, total16);          // total sectors, 16-bit
  put8(s, 21, 0xF8);              // media
  put16(s, 22, sectorsPerFat);    // sectors per FAT (0 on FAT32)
  put32(s, 32, total32);          // total sectors, 32-bit
  if (fat32) put32(s, 36, static_cast<std::uint32_t>(perFat));  // FAT32 sectors per FAT
  put16(s, 510, 0xAA55);
}

void DiskImage::exfatBoot(std::uint64_t s, std::uint64_t volumeLength) {
  put8(s, 0, 0xEB);              // jump
  put8(s, 1, 0x76);              // jump target of exFAT
  put8(s, 2, 0x90);
  putText(s, 3, "EXFAT   ");     // file system name
  put64(s, 72, volumeLength);    // volume length in sectors
  put8(s, 108, 9);               // 512-byte sectors
  put8(s, 109, 3);               // 4 KiB clusters
  put16(s, 510, 0xAA55);
}

void DiskImage::hfsPlusHeader(std::uint64_t headerSector, std::uint32_t blockSize, std::uint32_t totalBlocks) {
  putText(headerSector, 0, "H+");        // signature
  put8(headerSector, 2, 0);              // version, big-endian 4
  put8(headerSector, 3, 4);
  putBe32(headerSector, 40, blockSize);  // block size
  putBe32(headerSector, 44, totalBlocks);
}

void DiskImage::gptHeader(std::uint64_t arrayLba) {
  putText(1, 0, "EFI PART");  // signature
  put32(1, 8, 0x00010000);   // revision 1.0
  put32(1, 12, 92);          // header size
  put64(1, 72, arrayLba);    // entry array LBA
  put32(1, 80, 128);         // entries
  put32(1, 84, 128);         // entry size
}

void DiskImage::gptEntry(std::uint64_t arrayLba, int index, std::uint64_t firstLba, std::uint64_t lastLba,
                         const std::u16string& name, std::uint8_t typeFirstByte) {
  const std::uint64_t at = static_cast<std::uint64_t>(index) * 128;
  const std::uint64_t s = arrayLba + at / kSectorSize;
  const std::size_t off = at % kSectorSize;
  put8(s, off + 0, typeFirstByte);  // type GUID, first four bytes
  put8(s, off + 1, 0xA0);
  put8(s, off + 2, 0xD0);
  put8(s, off + 3, 0xEB);
  put8(s, off + 16, 0x11);          // unique GUID, nonzero
  put64(s, off + 32, firstLba);     // first LBA
  put64(s, off + 40, lastLba);      // last LBA
  putUtf16(s, off + 56, name);      // name, UTF-16LE
}

bool MemoryReader::seek(std::int64_t offset, std::uint32_t) {
  const std::int64_t absolute = offset + baseOffset;
  if (absolute < 0 || static_cast<std::uint64_t>(absolute) / kSectorSize >= m_disk.sectorCount()) {
    touchedPastEnd = true;
    return false;
  }
  m_position = absolute;
  return true;
}

bool MemoryReader::read(void* buffer, std::uint32_t length) {
  auto* out = static_cast<std::byte*>(buffer);
  std::memset(out, 0, length);
  reads.emplace_back(m_position, length);
  const std::uint64_t first = static_cast<std::uint64_t>(m_position) / kSectorSize;
  const std::uint64_t count = (length + kSectorSize - 1) / kSectorSize;
  m_position += static_cast<std::int64_t>(count * kSectorSize);
  if (first + count > m_disk.sectorCount()) {
    touchedPastEnd = true;
    return false;
  }
  if (failingSector && *failingSector >= first && *failingSector < first + count) return false;
  const auto& all = m_disk.sectors();
  for (auto it = all.lower_bound(first); it != all.end() && it->first < first + count; ++it) {
    const std::uint64_t at = (it->first - first) * kSectorSize;
    const std::size_t n = std::min<std::size_t>(kSectorSize, length - at);
    std::memcpy(out + at, it->second.data(), n);
  }
  return true;
}

void writeDiskVhdx(const std::string& path, const DiskImage& disk) {
  VhdxShape shape;
  shape.blockSize = 1u << 20;
  shape.diskSize = disk.sectorCount() * kSectorSize;
  const std::uint64_t sectorsPerBlock = shape.blockSize / kSectorSize;
  for (const auto& [index, bytes] : disk.sectors()) {
    auto& block = shape.blocks[index / sectorsPerBlock];
    if (block.empty()) block.assign(shape.blockSize, std::byte{0});
    std::copy(bytes.begin(), bytes.end(), block.begin() + static_cast<std::ptrdiff_t>((index % sectorsPerBlock) * kSectorSize));
  }
  writeBytes(path, buildVhdx(shape));
}

}  // namespace tessary::test
