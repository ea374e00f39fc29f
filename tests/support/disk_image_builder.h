// Test image builder for partition tables and boot records: a sparse virtual disk written sector by
// sector (crafted chains, loops, hostile sizes), read in memory or written into a VHDX.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "disk/read_write_interface.h"

namespace tessary::test {

class DiskImage {
 public:
  explicit DiskImage(std::uint64_t sectorCount) : m_sectorCount(sectorCount) {}

  std::uint64_t sectorCount() const { return m_sectorCount; }
  // The sector's bytes, created as zeros on first use.
  std::vector<std::byte>& sector(std::uint64_t index);
  const std::map<std::uint64_t, std::vector<std::byte>>& sectors() const { return m_sectors; }

  void put8(std::uint64_t sector, std::size_t at, std::uint8_t value);
  void put16(std::uint64_t sector, std::size_t at, std::uint16_t value);
  void put32(std::uint64_t sector, std::size_t at, std::uint32_t value);
  void put64(std::uint64_t sector, std::size_t at, std::uint64_t value);
  void putBe32(std::uint64_t sector, std::size_t at, std::uint32_t value);
  void putText(std::uint64_t sector, std::size_t at, const std::string& text);
  void putUtf16(std::uint64_t sector, std::size_t at, const std::u16string& text);

  // One 16-byte table entry of the MBR or an extended boot record in `tableSector` (0x55AA is set too).
  void tableEntry(std::uint64_t tableSector, int index, std::uint8_t type, std::uint32_t firstSector,
                  std::uint32_t sectorCount);
  // Boot records with the fields the scans read (a FAT record also gets a sound geometry around them).
  void ntfsBoot(std::uint64_t sector, std::uint64_t totalSectors, std::uint16_t bytesPerSector = 512,
                const std::string& oem = "NTFS    ");
  void fatBoot(std::uint64_t sector, std::uint16_t sectorsPerFat, std::uint16_t total16, std::uint32_t total32,
               const std::string& oem = "MSDOS5.0", std::uint8_t jumpTarget = 0x3C);
  void exfatBoot(std::uint64_t sector, std::uint64_t volumeLength);
  // The HFS+ volume header in `headerSector` (two sectors after the volume's start).
  void hfsPlusHeader(std::uint64_t headerSector, std::uint32_t blockSize, std::uint32_t totalBlocks);
  // The GPT header in sector 1 naming the entry array's LBA, and one 128-byte entry of that array.
  void gptHeader(std::uint64_t arrayLba);
  void gptEntry(std::uint64_t arrayLba, int index, std::uint64_t firstLba, std::uint64_t lastLba,
                const std::u16string& name, std::uint8_t typeFirstByte = 0xA2);

 private:
  std::uint64_t m_sectorCount;
  std::map<std::uint64_t, std::vector<std::byte>> m_sectors;
};

// A reader over a DiskImage, for scans without an image file. Reads past the disk fail, as the VHDX
// reader's do past its block table; one sector can be made to fail; every request is logged.
class MemoryReader : public readWriteInterface {
 public:
  explicit MemoryReader(const DiskImage& disk) : m_disk(disk) {}

  bool open(const std::string&) override { return true; }
  bool seek(std::int64_t offset, std::uint32_t origin = 0) override;
  bool read(void* buffer, std::uint32_t length) override;

  // A read that touches this sector fails.
  std::optional<std::uint64_t> failingSector;
  // Every read as (first byte, length), absolute on the disk.
  std::vector<std::pair<std::int64_t, std::uint32_t>> reads;
  // True when a seek or a read reached past the disk's end.
  bool touchedPastEnd = false;

 private:
  const DiskImage& m_disk;
  std::int64_t m_position = 0;
};

// Writes the disk into a VHDX file with 1 MiB blocks; only blocks that hold a written sector are stored.
void writeDiskVhdx(const std::string& path, const DiskImage& disk);

}  // namespace tessary::test
