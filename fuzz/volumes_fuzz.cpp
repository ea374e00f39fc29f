// The volume scans on a raw disk held in memory: the standard scan through the MBR (with its extended
// chain) and through GPT, and the advanced scan of every sector for boot records. Every volume found lies
// on the disk.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>

#include "platform/page_sink.h"
#include "support/buffer_reader.h"
#include "volumes/partition.h"

namespace {

void scan(tessary::fuzz::BufferReader& reader, int kind, bool skipVolumes, std::uint32_t sectorBytes) {
  tessary::NullSink page;
  const std::uint64_t sectors = reader.sectorCount();
  // Listed starts count the disk's own sectors.
  const std::uint64_t diskSectors = sectors / (sectorBytes / 512);
  tessary::Partition partition(page, [&](const tessary::VolumeEntry& volume) {
    if (volume.startSector < 0 || static_cast<std::uint64_t>(volume.startSector) >= diskSectors) {
      std::fprintf(stderr, "volume listed at sector %lld of a %llu-sector disk\n",
                   static_cast<long long>(volume.startSector), static_cast<unsigned long long>(sectors));
      std::abort();
    }
  });
  partition.skipVolumes = skipVolumes ? 1 : 0;
  partition.sectorBytes = sectorBytes;
  if (kind == 2) {
    (void)partition.advancedScan(reader, sectors);
  } else {
    partition.useGpt = kind == 1 ? 1 : 0;
    (void)partition.standardScan(reader, sectors);
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  tessary::fuzz::BufferReader reader({data, size});
  // The input's length picks the disk's sector size, and whether the advanced scan skips what it found.
  const std::uint32_t sectorBytes = 512u << (size / 2 % 4);
  scan(reader, 0, true, sectorBytes);
  scan(reader, 1, true, sectorBytes);
  scan(reader, 2, size % 2 == 0, sectorBytes);
  return 0;
}
