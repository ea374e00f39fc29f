// The advanced volume scan: boot records found sector by sector, the skip rule, the range, Stop, progress.
#include <gtest/gtest.h>

#include <memory>

#include <functional>

#include "platform/page_sink.h"
#include "support/disk_image_builder.h"
#include "support/volume_rows.h"
#include "volumes/partition.h"
#include "support/recording_sink.h"

namespace tessary {
namespace {

using test::DiskImage;
using test::MemoryReader;
using test::Row;
using test::rowsOf;
using test::Scan;

constexpr std::uint64_t kDisk = 1 << 20;  // 512 MiB in sectors

Scan advancedScan(const DiskImage& disk, const std::function<void(Partition&)>& setup = {},
                  std::optional<std::uint64_t> failingSector = {},
                  const std::function<void(Partition&, const VolumeEntry&)>& onFound = {}) {
  Scan scan;
  Partition* self = nullptr;
  Partition partition(*scan.sink, [&](const VolumeEntry& e) {
    scan.found.push_back(e);
    if (onFound) onFound(*self, e);
  });
  self = &partition;
  if (setup) setup(partition);
  MemoryReader reader(disk);
  reader.failingSector = failingSector;
  scan.result = partition.advancedScan(reader, disk.sectorCount());
  scan.reads = reader.reads;
  scan.touchedPastEnd = reader.touchedPastEnd;
  return scan;
}

std::vector<std::int64_t> readStarts(const Scan& scan) {
  std::vector<std::int64_t> out;
  for (const auto& [offset, length] : scan.reads) out.push_back(offset / 512);
  return out;
}

TEST(PartitionAdvancedScanTest, EachBootRecordKindIsListedWithItsLabelSizeTextAndStatus) {
  DiskImage disk(kDisk);
  disk.ntfsBoot(2048, 32767);                          // 16 MiB volume: total leaves out the last sector
  disk.fatBoot(34816, 0, 0, 81920, "MSDOS5.0", 0x58);  // FAT32 right behind it
  disk.exfatBoot(116736, 32768);                       // exFAT right behind that
  disk.fatBoot(149504, 128, 32992, 0);                 // FAT16 with 128 sectors per FAT
  disk.hfsPlusHeader(200002, 2048, 1231);              // HFS+: header two sectors into the volume
  disk.ntfsBoot(300000, 4095);
  const Scan scan = advancedScan(disk);
  EXPECT_EQ(scan.result, 1);
  EXPECT_EQ(rowsOf(scan.found), (std::vector<Row>{{"NTFS", "15   MB", 2048}, {"FAT32", "40  MB", 34816},
                                                  {"FAT64", "16  MB", 116736}, {"FAT16", "16  MB", 149504},
                                                  {"HFS+", "2  MB", 200000}, {"NTFS", "1   MB", 300000}}));
  for (std::size_t i = 0; i < scan.found.size(); ++i) EXPECT_EQ(scan.found[i].volumeName, std::to_string(i));
  EXPECT_EQ(scan.sink->statuses(),
            (std::vector<std::string>{"Scanning partition.....", "found NTFS 1...", "found FAT 32...", "found FAT 64...",
                                      "found FAT 16...", "found HFS+...", "found NTFS 2..."}));
  EXPECT_FALSE(scan.touchedPastEnd);
}

TEST(PartitionAdvancedScanTest, NtfsBootRecordCorruptedInFourWaysIsNotTakenAndOtherSectorSizesAre) {
  DiskImage disk(kDisk);
  disk.ntfsBoot(2048, 32767);
  disk.put8(2048, 1, 0x53);                             // 1. second jump byte
  disk.ntfsBoot(4096, 32767, 512, "NTFX    ");          // 2. OEM name
  disk.ntfsBoot(6144, 32767, 520);                      // 3. bytes per sector no disk has
  disk.ntfsBoot(8192, 32767, 8192);                     // 4. nor this
  disk.ntfsBoot(10240, 4095, 4096);                     // 4096-byte sectors: 16 MiB
  disk.ntfsBoot(50000, 1000);                           // below 1 MiB: still a volume
  const Scan scan = advancedScan(disk);
  EXPECT_EQ(rowsOf(scan.found), (std::vector<Row>{{"NTFS", "15   MB", 10240}, {"NTFS", "0   MB", 50000}}));
}

TEST(PartitionAdvancedScanTest, FatBootRecordOfAnyMakerWithASoundGeometryIsTaken) {
  DiskImage disk(kDisk);
  disk.fatBoot(2048, 128, 4096, 0);
  disk.fatBoot(8192, 200, 4096, 0);
  disk.fatBoot(16384, 256, 0, 4096, "MSDOS5.0", 0x76);  // 16-bit total 0: the 32-bit one
  disk.fatBoot(24576, 12, 4096, 0);                       // any FAT size that covers the clusters
  disk.fatBoot(32768, 200, 4096, 0, "mkfs.fat");          // mkfs.fat's own OEM name
  disk.fatBoot(40960, 200, 4096, 0, "MSDOS5.0", 0x90);    // not a FAT jump target
  disk.fatBoot(49152, 0, 0, 2047, "MSDOS5.0", 0x58);      // FAT32 below 1 MiB
  disk.fatBoot(55000, 0, 4096, 0, "mkfs.fat", 0x58);      // a small FAT32 as mkfs.fat writes it: 16-bit total
  // Geometries no formatter writes: no FAT, a sector size of 1000, a FAT too small for the clusters, a
  // media byte of 0.
  for (const std::uint64_t at : {60000u, 70000u, 80000u, 90000u}) disk.fatBoot(at, 200, 4096, 0);
  disk.put8(60000, 16, 0);
  disk.put16(70000, 11, 1000);
  disk.put16(80000, 22, 1);
  disk.put8(80000, 13, 1);
  disk.put8(90000, 21, 0);
  const Scan scan = advancedScan(disk);
  EXPECT_EQ(rowsOf(scan.found), (std::vector<Row>{{"FAT16", "2  MB", 2048}, {"FAT16", "2  MB", 8192},
                                                  {"FAT16", "2  MB", 16384}, {"FAT16", "2  MB", 24576},
                                                  {"FAT16", "2  MB", 32768}, {"FAT32", "0  MB", 49152},
                                                  {"FAT32", "2  MB", 55000}}));
}

// An ext superblock 1024 bytes into a volume: BLOCKS blocks of 1 KiB << LOG, in group GROUP.
void extSuperblock(DiskImage& disk, std::uint64_t volumeStart, std::uint32_t blocks, std::uint32_t log,
                   std::uint16_t group = 0) {
  const std::uint64_t s = volumeStart + 2;
  disk.put32(s, 0, 2048);            // inodes
  disk.put32(s, 4, blocks);          // blocks
  disk.put32(s, 20, log == 0 ? 1 : 0);  // first data block
  disk.put32(s, 24, log);            // block size
  disk.put32(s, 32, 8192);           // blocks per group
  disk.put32(s, 40, 2048);           // inodes per group
  disk.put16(s, 56, 0xEF53);         // magic
  disk.put32(s, 76, 1);              // dynamic revision
  disk.put16(s, 88, 256);            // inode size
  disk.put16(s, 90, group);          // the group a copy belongs to
}

TEST(PartitionAdvancedScanTest, ExtAndSmallHfsPlusVolumesAreFoundAtTheirStarts) {
  DiskImage disk(kDisk);
  extSuperblock(disk, 2048, 8192, 0);        // 8 MiB of 1 KiB blocks
  extSuperblock(disk, 2048 + 16384, 8192, 0, 1);  // its copy in group 1 (read without skipping)
  extSuperblock(disk, 40000, 1024, 2);       // 4 MiB of 4 KiB blocks
  disk.put32(40002, 20, 1);                  // ... whose first data block no such volume has
  extSuperblock(disk, 60000, 1024, 2);
  disk.hfsPlusHeader(80002, 2048, 11);       // a 22 KiB HFS+ volume
  disk.hfsPlusHeader(90002, 512, 1);         // too small to hold its own header
  disk.hfsPlusHeader(100002, 4096, 512);     // "HX": the case-sensitive variant
  disk.put8(100002, 1, 'X');
  const Scan scan = advancedScan(disk, [](Partition& p) { p.skipVolumes = 0; });
  EXPECT_EQ(rowsOf(scan.found), (std::vector<Row>{{"extX", "8  MB", 2048}, {"extX", "4  MB", 60000},
                                                  {"HFS+", "0  MB", 80000}, {"HFS+", "2  MB", 100000}}));
  EXPECT_EQ(scan.sink->statuses(), (std::vector<std::string>{"Scanning partition.....", "found ext2...", "found ext2...",
                                                             "found HFS+...", "found HFS+..."}));
}

TEST(PartitionAdvancedScanTest, OnADiskOf4096ByteSectorsRangeAndRowsCountItsSectors) {
  DiskImage disk(kDisk);
  disk.fatBoot(256 * 8, 0, 0, 81920, "mkfs.fat", 0x58);  // at disk sector 256
  disk.ntfsBoot(30000 * 8 + 3, 4095, 4096);               // not on a sector boundary: a copy or noise
  disk.hfsPlusHeader(40000 * 8 + 2, 4096, 512);           // volume at disk sector 40000
  extSuperblock(disk, 50000 * 8, 1024, 2);
  const auto withSectors = [](std::int64_t start, std::int64_t end) {
    return [=](Partition& p) {
      p.sectorBytes = 4096;
      p.startSector = start;
      p.endSector = end;
    };
  };
  const Scan all = advancedScan(disk, withSectors(0, 0));
  EXPECT_EQ(rowsOf(all.found), (std::vector<Row>{{"FAT32", "40  MB", 256}, {"HFS+", "2  MB", 40000},
                                                 {"extX", "4  MB", 50000}}));
  // The range counts disk sectors: from sector 35000 on, only the last two are read.
  const Scan range = advancedScan(disk, withSectors(35000, 45000));
  EXPECT_EQ(rowsOf(range.found), (std::vector<Row>{{"HFS+", "2  MB", 40000}}));
  EXPECT_GE(readStarts(range).front(), 35000 * 8);
}

TEST(PartitionAdvancedScanTest, Fat16TotalOf32768SectorsOrMoreIsNotTakenForNegative) {
  // mkfs.fat -F 16 -s 1 on 51,400 sectors writes a 16-bit total of 51,392 (0xC8C0).
  DiskImage disk(kDisk);
  disk.fatBoot(10240, 200, 51392, 0);
  const Scan scan = advancedScan(disk);
  EXPECT_EQ(rowsOf(scan.found), (std::vector<Row>{{"FAT16", "25  MB", 10240}}));
}

TEST(PartitionAdvancedScanTest, TenGibNtfsVolumeIsSkippedToTheSectorAfterIt) {
  const std::uint64_t total = (10ull << 30) / 512 - 1;  // NTFS total of a 10 GiB partition
  const std::uint64_t after = 2048 + total + 1;
  DiskImage disk(after + 8192);
  disk.ntfsBoot(2048, total);
  disk.fatBoot(1000000, 200, 4096, 0);              // inside the volume
  disk.ntfsBoot(after - 1, total);                  // its backup boot sector, the volume's last
  disk.fatBoot(after, 0, 0, 4096, "MSDOS5.0", 0x58);  // the sector after it
  const Scan skipping = advancedScan(disk);
  EXPECT_EQ(rowsOf(skipping.found), (std::vector<Row>{{"NTFS", "10239   MB", 2048},
                                                      {"FAT32", "2  MB", static_cast<std::int64_t>(after)}}));
  EXPECT_LT(skipping.reads.size(), 10u);  // the volume's sectors are never read
  // Without the skip the volume's inside is scanned (here only up to the FAT16 in it, and its last MiB).
  const Scan inside = advancedScan(disk, [](Partition& p) {
    p.skipVolumes = 0;
    p.endSector = 1000000;
  });
  EXPECT_EQ(rowsOf(inside.found), (std::vector<Row>{{"NTFS", "10239   MB", 2048}, {"FAT16", "2  MB", 1000000}}));
  const Scan end = advancedScan(disk, [after](Partition& p) {
    p.skipVolumes = 0;
    p.startSector = static_cast<std::int64_t>(after) - 2048;
  });
  EXPECT_EQ(rowsOf(end.found), (std::vector<Row>{{"NTFS", "10239   MB", static_cast<std::int64_t>(after - 1)},
                                                 {"FAT32", "2  MB", static_cast<std::int64_t>(after)}}));
}

TEST(PartitionAdvancedScanTest, VolumeRightBehindASkippedOneIsFoundAtItsOwnStart) {
  // FAT and exFAT totals count every sector of the volume: the next volume starts right at start + total.
  DiskImage disk(kDisk);
  disk.fatBoot(2048, 0, 0, 8192, "MSDOS5.0", 0x58);
  disk.fatBoot(2054, 0, 0, 8192, "MSDOS5.0", 0x58);  // its backup boot sector
  disk.exfatBoot(10240, 8192);
  disk.exfatBoot(10252, 8192);  // its backup boot region
  disk.hfsPlusHeader(18434, 512, 8192);  // HFS+ volume at 18432 of 4 MiB
  disk.fatBoot(18432 + 8192, 200, 4096, 0);
  const Scan scan = advancedScan(disk);
  EXPECT_EQ(rowsOf(scan.found), (std::vector<Row>{{"FAT32", "4  MB", 2048}, {"FAT64", "4  MB", 10240},
                                                  {"HFS+", "4  MB", 18432}, {"FAT16", "2  MB", 26624}}));
}

TEST(PartitionAdvancedScanTest, RangeReadsWholePiecesUntilOneStartsBeyondTheEndSector) {
  DiskImage disk(kDisk);
  disk.fatBoot(1000, 200, 4096, 0);   // before the start
  disk.fatBoot(3000, 200, 4096, 0);   // in the first piece
  disk.fatBoot(20000, 200, 4096, 0);  // beyond the end sector
  const Scan scan = advancedScan(disk, [](Partition& p) {
    p.startSector = 2048;
    p.endSector = 4096;
  });
  // The volume at 3000 is skipped to 7096, which lies beyond the end sector: no further piece is read.
  EXPECT_EQ(rowsOf(scan.found), (std::vector<Row>{{"FAT16", "2  MB", 3000}}));
  EXPECT_EQ(readStarts(scan), (std::vector<std::int64_t>{2048}));

  // Without a find the pieces at 2048 and 4096 are read and tested, the one at 6144 is not.
  DiskImage plain(kDisk);
  plain.fatBoot(6000, 200, 4096, 0);
  plain.fatBoot(6144, 200, 4096, 0);
  const Scan ranged = advancedScan(plain, [](Partition& p) {
    p.startSector = 2048;
    p.endSector = 4096;
    p.skipVolumes = 0;
  });
  EXPECT_EQ(rowsOf(ranged.found), (std::vector<Row>{{"FAT16", "2  MB", 6000}}));
  EXPECT_EQ(readStarts(ranged), (std::vector<std::int64_t>{2048, 4096}));

  // A start below 1 and an end of 0 or less mean the whole disk.
  const Scan whole = advancedScan(plain, [](Partition& p) {
    p.startSector = -5;
    p.endSector = -1;
  });
  EXPECT_EQ(whole.found.size(), 1u);  // 6144 lies inside the volume found at 6000
  EXPECT_EQ(whole.reads.front().first, 0);
  EXPECT_EQ(static_cast<std::uint64_t>(whole.reads.size()), kDisk / 2048 - 1);  // the skip steps over one piece
}

TEST(PartitionAdvancedScanTest, StartAtOrPastTheDiskEndScansNothing) {
  DiskImage disk(4096);
  disk.ntfsBoot(2048, 2047);
  const Scan scan = advancedScan(disk, [](Partition& p) { p.startSector = 4096; });
  EXPECT_EQ(scan.result, 1);
  EXPECT_TRUE(scan.reads.empty());
  for (const auto& e : scan.sink->events()) EXPECT_NE(e.kind, RecordingSink::Kind::Post);
}

TEST(PartitionAdvancedScanTest, ProgressIsPostedPerPieceAndTheShortLastPieceIsTested) {
  DiskImage disk(3 * 2048 + 100);  // three pieces and a hundred sectors
  disk.ntfsBoot(3 * 2048 + 10, 2047 + 2048);  // in the last, short piece
  const Scan scan = advancedScan(disk);
  EXPECT_EQ(rowsOf(scan.found), (std::vector<Row>{{"NTFS", "1   MB", 3 * 2048 + 10}}));
  EXPECT_FALSE(scan.touchedPastEnd);
  std::vector<std::pair<std::uint32_t, std::int64_t>> posts;
  for (const auto& e : scan.sink->events())
    if (e.kind == RecordingSink::Kind::Post) posts.emplace_back(e.id, e.first);
  const std::int64_t total = 3 * 2048 + 100;
  EXPECT_EQ(posts, (std::vector<std::pair<std::uint32_t, std::int64_t>>{{kMsgProgressRange, 0},
                                                                       {kMsgProgressPosition, 2048 * 1000 / total},
                                                                       {kMsgProgressPosition, 4096 * 1000 / total},
                                                                       {kMsgProgressPosition, 6144 * 1000 / total},
                                                                       {kMsgProgressPosition, 1000}}));
  const auto events = scan.sink->events();
  const auto range = std::find_if(events.begin(), events.end(), [](const auto& e) { return e.id == kMsgProgressRange; });
  ASSERT_NE(range, events.end());
  EXPECT_EQ(range->second, 1000);
}

TEST(PartitionAdvancedScanTest, StopIsSeenBeforeTheNextSector) {
  DiskImage disk(kDisk);
  disk.fatBoot(2048, 200, 4096, 0);
  disk.fatBoot(2049, 200, 4096, 0);
  disk.fatBoot(300000, 200, 4096, 0);
  const Scan scan = advancedScan(disk, [](Partition& p) { p.skipVolumes = 0; }, {},
                                 [](Partition& p, const VolumeEntry&) { p.stopRequested = 1; });
  EXPECT_EQ(scan.result, 1);
  EXPECT_EQ(rowsOf(scan.found), (std::vector<Row>{{"FAT16", "2  MB", 2048}}));
  EXPECT_EQ(scan.sink->lastStatus(), "Scanned Partitions");
  EXPECT_EQ(scan.reads.size(), 2u);  // the first piece holds 2048 itself (pieces start at 0)
}

TEST(PartitionAdvancedScanTest, StopSetAtAPiecesLastSectorEndsBeforeTheNextPiece) {
  DiskImage disk(kDisk);
  disk.fatBoot(2047, 200, 4096, 0);  // last sector of the first piece
  const Scan scan = advancedScan(disk, [](Partition& p) { p.skipVolumes = 0; }, {},
                                 [](Partition& p, const VolumeEntry&) { p.stopRequested = 1; });
  EXPECT_EQ(scan.reads.size(), 1u);
  EXPECT_EQ(scan.sink->lastStatus(), "Scanned Partitions");
}

TEST(PartitionAdvancedScanTest, HostileSizesNeverReadPastTheDiskNorStepWithoutBound) {
  DiskImage disk(kDisk);
  disk.hfsPlusHeader(1, 512, 8192);                     // header in sector 1: volume would start at -1
  disk.hfsPlusHeader(4098, 0xFFFFFFFF, 0xFFFFFFFF);      // beyond 20,971,519 MiB
  disk.hfsPlusHeader(8194, 512, 100);                    // below 1 MiB: a volume, its skip within the piece
  disk.exfatBoot(10240, 0);                              // zero length: no exFAT volume is below 1 MiB
  disk.fatBoot(12288, 0, 0, 0xFFFFFFFF, "MSDOS5.0", 0x58);  // a 32-bit total negative as signed
  const Scan scan = advancedScan(disk);
  // The FAT32 total is unsigned: 2 TiB, far beyond this disk; the skip stops at the disk's end.
  EXPECT_EQ(rowsOf(scan.found), (std::vector<Row>{{"HFS+", "0  MB", 8192}, {"FAT32", "2097151  MB", 12288}}));
  EXPECT_EQ(scan.result, 1);
  EXPECT_FALSE(scan.touchedPastEnd);
  EXPECT_EQ(scan.reads.size(), 7u);  // pieces 0..6; the skip from 12288 runs to the end
  EXPECT_EQ(scan.sink->events().back().first, 1000);

  DiskImage ntfs(kDisk);
  ntfs.ntfsBoot(2048, UINT64_MAX);
  const Scan huge = advancedScan(ntfs);
  EXPECT_EQ(rowsOf(huge.found), (std::vector<Row>{{"NTFS", "9007199254740991   MB", 2048}}));
  EXPECT_EQ(huge.reads.size(), 2u);
  EXPECT_FALSE(huge.touchedPastEnd);
}

TEST(PartitionAdvancedScanTest, FailedReadReturnsItsErrorAndKeepsWhatWasFound) {
  DiskImage disk(kDisk);
  disk.fatBoot(100, 200, 4096, 0);
  disk.fatBoot(20000, 200, 4096, 0);
  const Scan scan = advancedScan(disk, {}, 12000);
  EXPECT_NE(scan.result, 1);
  EXPECT_NE(scan.result, 0);
  EXPECT_EQ(rowsOf(scan.found), (std::vector<Row>{{"FAT16", "2  MB", 100}}));
}

}  // namespace
}  // namespace tessary
