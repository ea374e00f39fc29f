// The volume scanner: the partition tables (MBR with its extended chain, or GPT) and the boot-record scan
// of the whole disk or a sector range.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <span>

#include "disk/read_write_interface.h"
#include "platform/page_sink.h"
#include "platform/worker.h"
#include "volumes/volume_entry.h"

namespace tessary {

struct BootRecordFind;

// Whether a disk's first sector is an MBR whose only used entry is a protective one (type 0xEE): the disk
// keeps its partitions in a GPT, which the MBR scan lists as one "Unknown" volume.
bool mbrHoldsOnlyProtectiveEntry(std::span<const std::byte> firstSector);
// Whether a sector starts with the GPT header's signature "EFI PART" (the disk's sector 1 on a GPT disk).
bool isGptHeader(std::span<const std::byte> sector);

class Partition {
 public:
  // Receives each record as it is found; the list page appends it to its array (and lists it).
  using FoundFn = std::function<void(const VolumeEntry&)>;

  static constexpr int kMaxExtendedLinks = 50;
  static constexpr std::uint32_t kPieceSectors = 2048;  // the advanced scan reads 1 MiB at a time
  static constexpr std::int64_t kProgressScale = 1000;

  Partition(PageSink& page, FoundFn found);

  // The partition tables, read through `reader` (baseOffset 0). 0 when the tables were read to their
  // end, else the error code of the read that failed (records found before it were reported).
  int standardScan(readWriteInterface& reader, std::uint64_t diskSectorCount);
  // Every sector from the start sector on, tested for boot records. 1 when it finished or was stopped,
  // else the error code of the 1 MiB read that failed.
  int advancedScan(readWriteInterface& reader, std::uint64_t diskSectorCount);

  StopFlag stopRequested{0};
  std::uint8_t useGpt = 0;
  std::uint8_t skipVolumes = 1;
  // The advanced scan's range, in the disk's logical sectors; 0 or less means the start, or the end, of
  // the disk.
  std::int64_t startSector = 0;
  std::int64_t endSector = 0;
  // The disk's logical sector size (512 to 4096 bytes). Partition tables count in these sectors, and so do
  // the records' start sectors; the reader and the boot-record tests work in 512-byte units.
  std::uint32_t sectorBytes = kSectorSize;

 private:
  struct Find {
    bool listed = false;
    std::uint64_t sizeSectors = 0;  // from the found sector to the first sector after the volume
  };

  int scanMbr(readWriteInterface& reader);
  int scanExtendedChain(readWriteInterface& reader, std::uint64_t extendedBase);
  int addTableEntry(readWriteInterface& reader, std::uint8_t type, std::uint64_t firstSector,
                    std::uint32_t sectorCount);
  int scanGpt(readWriteInterface& reader);
  int addGptEntry(readWriteInterface& reader, std::span<const std::byte> entry, std::uint64_t firstLba);
  // The boot records of a partition whose type does not name its file system: its first sector, then the
  // sectors where headers that sit further in lie. An empty find when no row claims the partition.
  int labelByBootRecord(readWriteInterface& reader, std::uint64_t firstSector, BootRecordFind& find);
  Find testSector(std::span<const std::byte> sector, std::uint64_t absoluteSector);
  void showFindStatus(const BootRecordFind& find);

  // 512-byte units per disk sector.
  std::uint64_t units() const { return sectorBytes / kSectorSize; }
  // Whether `count` disk sectors from `sector` lie on the disk (and their byte offsets fit a signed value).
  bool insideDisk(std::uint64_t sector, std::uint64_t count = 1) const;
  // Reads at the byte `offset` into the disk sector `sector`; false (and errno) when it cannot.
  bool readDisk(readWriteInterface& reader, std::uint64_t sector, std::uint64_t offset, std::span<std::byte> out);
  void add(std::string fileSystem, std::string sizeText, std::int64_t startSector, std::uint64_t sizeBytes = 0);

  PageSink& m_page;
  FoundFn m_found;
  std::uint64_t m_diskSectors = 0;  // 512-byte units
  int m_volumeCounter = 0;
  // Running counts of the finds whose status line is numbered ("found NTFS %d..."), by label.
  std::map<std::string, int> m_numberedFinds;
};

}  // namespace tessary
