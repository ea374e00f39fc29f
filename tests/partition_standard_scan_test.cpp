// The standard volume scan: MBR entries and the extended chain, and the GPT path behind the "GPT format" box.
#include <gtest/gtest.h>

#include <memory>

#include "platform/page_sink.h"
#include "support/disk_image_builder.h"
#include "support/volume_rows.h"
#include "volumes/partition.h"

namespace tessary {
namespace {

using test::DiskImage;
using test::MemoryReader;
using test::Row;
using test::rowsOf;
using test::Scan;

constexpr std::uint64_t kDisk = 1 << 20;  // 512 MiB in sectors

Scan standardScan(const DiskImage& disk, bool gpt = false, std::optional<std::uint64_t> failingSector = {}) {
  Scan scan;
  Partition partition(*scan.sink, [&](const VolumeEntry& e) { scan.found.push_back(e); });
  partition.useGpt = gpt ? 1 : 0;
  MemoryReader reader(disk);
  reader.failingSector = failingSector;
  scan.result = partition.standardScan(reader, disk.sectorCount());
  scan.reads = reader.reads;
  scan.touchedPastEnd = reader.touchedPastEnd;
  return scan;
}

bool sawRead(const Scan& scan, std::uint64_t sector) {
  for (const auto& [offset, length] : scan.reads) {
    const auto first = static_cast<std::uint64_t>(offset) / 512;
    if (sector >= first && sector < first + (length + 511) / 512) return true;
  }
  return false;
}

// ---- MBR -------------------------------------------------------------------------------------------

TEST(PartitionMbrTest, PrimaryTypesGiveTheirLabelsStatusLinesAndThreeSpaceSizes) {
  DiskImage disk(kDisk);
  disk.tableEntry(0, 0, 0x01, 2048, 8192);     // FAT12: no status line
  disk.tableEntry(0, 1, 0x06, 10240, 40960);   // FAT16
  disk.tableEntry(0, 2, 0x07, 51200, 204800);  // NTFS (no exFAT boot record there)
  disk.tableEntry(0, 3, 0x0C, 256000, 4095);   // FAT32, just under 2 MiB
  const Scan scan = standardScan(disk);
  EXPECT_EQ(scan.result, 0);
  EXPECT_EQ(rowsOf(scan.found), (std::vector<Row>{Row{"FAT12", "4   MB", 2048}, Row{"FAT16", "20   MB", 10240},
                                                           Row{"NTFS", "100   MB", 51200}, Row{"FAT32", "1   MB", 256000}}));
  for (std::size_t i = 0; i < scan.found.size(); ++i) EXPECT_EQ(scan.found[i].volumeName, std::to_string(i));
  EXPECT_EQ(scan.sink->statuses(), (std::vector<std::string>{"found FAT 16...", "found NTFS 1...", "found FAT 32..."}));
  // The scan ends with the bar full.
  const auto events = scan.sink->events();
  ASSERT_FALSE(events.empty());
  EXPECT_EQ(events.back().id, kMsgProgressPosition);
  EXPECT_EQ(events.back().first, 1000);
}

TEST(PartitionMbrTest, LogicalTypesFromTheChainGiveTheRestOfTheTable) {
  DiskImage disk(kDisk);
  disk.tableEntry(0, 0, 0x0F, 2048, 900000);  // extended (LBA)
  const std::uint8_t types[] = {0x04, 0x0E, 0x0B, 0x42, 0x83, 0xDA, 0x07, 0x07};
  std::uint32_t link = 0;
  for (std::size_t i = 0; i < std::size(types); ++i) {
    disk.tableEntry(2048 + link, 0, types[i], 2048, 4096);
    if (i + 1 < std::size(types)) disk.tableEntry(2048 + link, 1, 0x05, link + 8192, 8192);
    link += 8192;
  }
  // The last two are type 0x07: the first holds an exFAT boot record, the second an NTFS one.
  disk.exfatBoot(2048 + 6 * 8192 + 2048, 4096);
  disk.ntfsBoot(2048 + 7 * 8192 + 2048, 4095);
  const Scan scan = standardScan(disk);
  EXPECT_EQ(scan.result, 0);
  std::vector<std::string> labels;
  for (const auto& e : scan.found) labels.push_back(e.fileSystem);
  EXPECT_EQ(labels, (std::vector<std::string>{"FAT16", "FAT16", "FAT32", "NTFS", "extX", "Unknown", "FAT64", "NTFS"}));
  EXPECT_EQ(scan.sink->statuses(), (std::vector<std::string>{"found FAT 16...", "found FAT 16...", "found FAT 32...",
                                                             "NTFS...", "found ext2...", "found UNKNOWN...",
                                                             "found FAT64...", "found NTFS 1..."}));
}

TEST(PartitionMbrTest, LogicalStartIsItsOwnSectorPlusLinkOffsetPlusExtendedBase) {
  // Three logical volumes, as sfdisk lays them out: each behind its own boot record, 2048 sectors in.
  DiskImage disk(kDisk);
  disk.tableEntry(0, 0, 0x07, 2048, 32768);
  disk.tableEntry(0, 1, 0x05, 34816, 200000);  // extended base 34816
  disk.tableEntry(34816, 0, 0x0C, 2048, 81920);
  disk.tableEntry(34816, 1, 0x05, 83968, 34816);          // next link at base + 83968
  disk.tableEntry(34816 + 83968, 0, 0x83, 2048, 32768);   // logical at 34816 + 83968 + 2048
  disk.tableEntry(34816 + 83968, 1, 0x05, 118784, 34816);
  disk.tableEntry(34816 + 118784, 0, 0x07, 2048, 32768);
  const Scan scan = standardScan(disk);
  EXPECT_EQ(scan.result, 0);
  EXPECT_EQ(rowsOf(scan.found), (std::vector<Row>{Row{"NTFS", "16   MB", 2048}, Row{"FAT32", "40   MB", 36864},
                                     Row{"extX", "16   MB", 120832}, Row{"NTFS", "16   MB", 155648}}));
}

TEST(PartitionMbrTest, PrimariesAfterTheExtendedEntryOrAnEmptySlotAreListedBeforeTheLogicalVolumes) {
  // As tools leave a table after partitions were added later: slot 2 extended, slot 3 empty, slot 4 used.
  DiskImage disk(kDisk);
  disk.tableEntry(0, 0, 0x07, 2048, 2048);
  disk.tableEntry(0, 1, 0x05, 8192, 8192);
  disk.tableEntry(0, 3, 0x0C, 200000, 4096);
  disk.tableEntry(8192, 0, 0x06, 2048, 4096);
  {
    const Scan scan = standardScan(disk);
    EXPECT_EQ(rowsOf(scan.found), (std::vector<Row>{Row{"NTFS", "1   MB", 2048}, Row{"FAT32", "2   MB", 200000},
                                                    Row{"FAT16", "2   MB", 10240}}));
  }
  disk.tableEntry(0, 2, 0x83, 100000, 4096);
  const Scan scan = standardScan(disk);
  EXPECT_EQ(rowsOf(scan.found), (std::vector<Row>{Row{"NTFS", "1   MB", 2048}, Row{"extX", "2   MB", 100000},
                                                  Row{"FAT32", "2   MB", 200000}, Row{"FAT16", "2   MB", 10240}}));
}

TEST(PartitionMbrTest, TypesThatDoNotNameTheFileSystemAreLabelledByItsBootRecord) {
  DiskImage disk(kDisk);
  disk.tableEntry(0, 0, 0xAF, 2048, 4096);  // HFS+: header 1024 bytes in
  disk.hfsPlusHeader(2050, 4096, 512);
  disk.tableEntry(0, 1, 0x83, 8192, 40960);  // a Linux type holding FAT
  disk.fatBoot(8192, 200, 40960, 0, "mkfs.fat");
  disk.tableEntry(0, 2, 0xDA, 51200, 4096);  // a data type holding ext
  disk.put16(51202, 56, 0xEF53);             // superblock: magic, 4 KiB blocks, 512 blocks, first group
  disk.put32(51202, 4, 512);
  disk.put32(51202, 24, 2);
  disk.put32(51202, 32, 32768);
  disk.put32(51202, 40, 128);
  disk.put32(51202, 76, 1);
  disk.put32(51202, 0, 128);   // inodes: one group's
  disk.put16(51202, 88, 256);  // inode size
  disk.tableEntry(0, 3, 0x05, 60000, 20000);
  disk.tableEntry(60000, 0, 0x83, 2048, 4096);  // a Linux type holding nothing known: still ext
  disk.tableEntry(60000, 1, 0x05, 8192, 8192);
  disk.tableEntry(68192, 0, 0x9F, 2048, 4096);  // nothing known in an unknown type
  const Scan scan = standardScan(disk);
  EXPECT_EQ(scan.result, 0);
  EXPECT_EQ(rowsOf(scan.found),
            (std::vector<Row>{Row{"HFS+", "2   MB", 2048}, Row{"FAT16", "20   MB", 8192}, Row{"extX", "2   MB", 51200},
                              Row{"extX", "2   MB", 62048}, Row{"Unknown", "2   MB", 70240}}));
  EXPECT_EQ(scan.sink->statuses(),
            (std::vector<std::string>{"found FAT 16...", "found ext2...", "found ext2...", "found UNKNOWN..."}));
}

TEST(PartitionMbrTest, ChainOfSixtyLinksListsTheLogicalVolumesOfTheFirstFiftyOnly) {
  DiskImage disk(kDisk);
  disk.tableEntry(0, 0, 0x05, 2048, 60 * 4096);
  for (std::uint32_t link = 0; link < 60; ++link) {
    const std::uint64_t ebr = 2048 + link * 4096;
    disk.tableEntry(ebr, 0, 0x83, 2048, 2048);
    disk.tableEntry(ebr, 1, 0x05, (link + 1) * 4096, 4096);
  }
  const Scan scan = standardScan(disk);
  EXPECT_EQ(scan.result, 0);
  ASSERT_EQ(scan.found.size(), 50u);
  EXPECT_EQ(scan.found.back().startSector, 2048 + 49 * 4096 + 2048);
  EXPECT_FALSE(sawRead(scan, 2048 + 50 * 4096));
}

TEST(PartitionMbrTest, ChainThatLoopsBackEndsWithoutListingAVolumeTwice) {
  // A link pointing at itself, and a longer loop back to the first record.
  for (const std::uint32_t back : {4096u, 0u}) {
    DiskImage disk(kDisk);
    disk.tableEntry(0, 0, 0x05, 2048, 100000);
    disk.tableEntry(2048, 0, 0x83, 2048, 2048);
    disk.tableEntry(2048, 1, 0x05, 4096, 4096);
    disk.tableEntry(2048 + 4096, 0, 0x06, 2048, 2048);
    disk.tableEntry(2048 + 4096, 1, 0x05, back, 4096);  // 4096: itself; 0: the first record again
    const Scan scan = standardScan(disk);
    EXPECT_EQ(scan.result, 0) << back;
    EXPECT_EQ(rowsOf(scan.found), (std::vector<Row>{Row{"extX", "1   MB", 4096}, Row{"FAT16", "1   MB", 8192}}))
        << back;
  }
}

TEST(PartitionMbrTest, SinglePrimaryEntryEndsTheScanWithoutAnExtendedChain) {
  // Without an extended entry there is no chain: sector 0 is not read again as a boot record of one.
  DiskImage disk(kDisk);
  disk.tableEntry(0, 0, 0x0C, 2048, 65536);
  const Scan scan = standardScan(disk);
  EXPECT_EQ(rowsOf(scan.found), (std::vector<Row>{Row{"FAT32", "32   MB", 2048}}));
}

TEST(PartitionMbrTest, EmptyTableListsNothingAndReportsNoError) {
  DiskImage disk(kDisk);
  const Scan scan = standardScan(disk);
  EXPECT_EQ(scan.result, 0);
  EXPECT_TRUE(scan.found.empty());
  EXPECT_TRUE(scan.sink->statuses().empty());
}

TEST(PartitionMbrTest, ProtectiveEntryWithoutTheGptBoxIsOneUnknownVolume) {
  DiskImage disk(kDisk);
  disk.tableEntry(0, 0, 0xEE, 1, kDisk - 1);
  disk.gptHeader(2);
  disk.gptEntry(2, 0, 2048, 4095, u"Basic data partition");
  disk.ntfsBoot(2048, 2047);
  const Scan scan = standardScan(disk, false);
  EXPECT_EQ(rowsOf(scan.found), (std::vector<Row>{Row{"Unknown", "511   MB", 1}}));
}

TEST(PartitionMbrTest, EntriesPointingPastTheDiskAreNotListedNorRead) {
  DiskImage disk(kDisk);
  disk.tableEntry(0, 0, 0x07, 0xFFFFFF00, 4096);     // type 0x07 would read its first sector
  disk.tableEntry(0, 1, 0x0C, kDisk, 4096);           // first sector just past the end
  disk.tableEntry(0, 2, 0x83, kDisk - 2048, 2048);    // last MiB: listed
  disk.tableEntry(0, 3, 0x05, 0xFFFFFFF0, 4096);      // extended base past the end: no chain
  const Scan scan = standardScan(disk);
  EXPECT_EQ(scan.result, 0);
  EXPECT_EQ(rowsOf(scan.found), (std::vector<Row>{Row{"extX", "1   MB", static_cast<std::int64_t>(kDisk - 2048)}}));
  EXPECT_FALSE(scan.touchedPastEnd);
}

TEST(PartitionMbrTest, FailedReadEndsTheScanKeepingWhatWasFound) {
  DiskImage disk(kDisk);
  disk.tableEntry(0, 0, 0x06, 2048, 4096);
  disk.tableEntry(0, 1, 0x05, 8192, 20000);
  disk.tableEntry(8192, 0, 0x83, 2048, 2048);
  disk.tableEntry(8192, 1, 0x05, 8192, 8192);
  disk.tableEntry(16384, 0, 0x83, 2048, 2048);
  const Scan scan = standardScan(disk, false, 16384);  // the second extended boot record
  EXPECT_NE(scan.result, 0);
  EXPECT_EQ(rowsOf(scan.found), (std::vector<Row>{Row{"FAT16", "2   MB", 2048}, Row{"extX", "1   MB", 10240}}));
  EXPECT_EQ(scan.sink->events().back().first, 1000);
  // Sector 0 itself unreadable: nothing at all.
  const Scan none = standardScan(disk, false, 0);
  EXPECT_NE(none.result, 0);
  EXPECT_TRUE(none.found.empty());
}

// ---- GPT -------------------------------------------------------------------------------------------

// A GPT disk as sgdisk and the formatters leave it, with every kind of entry the scan tells apart.
DiskImage gptDisk() {
  DiskImage disk(kDisk);
  disk.tableEntry(0, 0, 0xEE, 1, kDisk - 1);
  disk.gptHeader(2);
  disk.gptEntry(2, 0, 2048, 4095, u"Microsoft reserved partition", 0x16);
  disk.ntfsBoot(2048, 2047);  // would be listed if the reserved entry were read
  disk.gptEntry(2, 1, 4096, 36863, u"Basic data partition");
  disk.ntfsBoot(4096, 32767, 512, "XXXXXXXX");  // the OEM name is not looked at here
  disk.gptEntry(2, 2, 36864, 118783, u"FAT32 data");
  disk.fatBoot(36864, 0, 0, 81920, "MSDOS5.0", 0x58);
  disk.gptEntry(2, 3, 118784, 151551, u"exFAT data");
  disk.exfatBoot(118784, 32768);
  disk.gptEntry(2, 4, 151552, 184319, u"Linux filesystem");
  disk.gptEntry(2, 5, 184320, 192511, u"Apple HFS/HFS+");
  disk.hfsPlusHeader(184322, 2048, 1231);
  disk.gptEntry(2, 6, 192512, 233471, u"FAT16 256");
  disk.fatBoot(192512, 256, 40960, 0);
  disk.gptEntry(2, 7, 233472, 274431, u"FAT16 200");
  disk.fatBoot(233472, 200, 0, 40960);  // 16-bit total 0: the 32-bit one counts
  return disk;
}

TEST(PartitionGptTest, GptBoxListsEachKindOfEntryAndSkipsTheReservedOne) {
  const Scan scan = standardScan(gptDisk(), true);
  EXPECT_EQ(scan.result, 0);
  EXPECT_EQ(rowsOf(scan.found), (std::vector<Row>{Row{"NTFS", "15   MB", 4096}, Row{"FAT32", "40  MB", 36864},
                                     Row{"FAT64", "16  MB", 118784}, Row{"Linux filesystem", "16", 151552},
                                     Row{"HFS+", "4", 184320}, Row{"FAT16", "20  MB", 192512},
                                     Row{"FAT16", "20  MB", 233472}}));
  EXPECT_EQ(scan.sink->statuses(), (std::vector<std::string>{"found NTFS 1...", "found FAT 32...", "found FAT 64...",
                                                             "found FAT 16...", "found FAT 16..."}));
  EXPECT_FALSE(sawRead(scan, 2048));
}

TEST(PartitionGptTest, FatOfAnyMakerAndFatSizeIsListedOnTheGptPath) {
  DiskImage disk(kDisk);
  disk.gptHeader(2);
  disk.gptEntry(2, 0, 2048, 35047, u"FAT16 data");
  disk.fatBoot(2048, 128, 32992, 0);
  disk.gptEntry(2, 1, 35048, 40000, u"mkfs.fat volume");
  disk.fatBoot(35048, 20, 4952, 0, "mkfs.fat");
  const Scan scan = standardScan(disk, true);
  EXPECT_EQ(rowsOf(scan.found), (std::vector<Row>{Row{"FAT16", "16  MB", 2048}, Row{"FAT16", "2  MB", 35048}}));
  EXPECT_EQ(scan.sink->statuses(), (std::vector<std::string>{"found FAT 16...", "found FAT 16..."}));
}

TEST(PartitionGptTest, BootRecordsBelowOneMibAreListedAndUnsoundOnesGiveTheEntryName) {
  DiskImage disk(kDisk);
  disk.gptHeader(2);
  disk.gptEntry(2, 0, 2048, 4095, u"a");
  disk.ntfsBoot(2048, 2047);
  disk.gptEntry(2, 1, 4096, 6143, u"b");
  disk.fatBoot(4096, 0, 0, 2047, "MSDOS5.0", 0x58);
  disk.gptEntry(2, 2, 6144, 8191, u"c");
  disk.exfatBoot(6144, 0);
  disk.gptEntry(2, 3, 8192, 10239, u"d");
  disk.fatBoot(8192, 200, 0, 0);
  disk.gptEntry(2, 4, 10240, 10250, u"tiny");  // no boot record: listed by name, size 0
  const Scan scan = standardScan(disk, true);
  // exFAT itself needs 1 MiB: a zero length is not an exFAT volume.
  EXPECT_EQ(rowsOf(scan.found), (std::vector<Row>{Row{"NTFS", "0   MB", 2048}, Row{"FAT32", "0  MB", 4096},
                                                  Row{"c", "1", 6144}, Row{"d", "1", 8192},
                                                  Row{"tiny", "0", 10240}}));
}

TEST(PartitionGptTest, EveryEntryUpToTheHeadersCountIsReadPastUnusedAndOddOnes) {
  {
    // sgdisk -n 1 -n 3 -n 5: unused entries between the used ones.
    DiskImage disk(kDisk);
    disk.gptHeader(2);
    disk.gptEntry(2, 0, 2048, 4095, u"one");
    disk.gptEntry(2, 2, 4096, 6143, u"three");
    disk.gptEntry(2, 4, 6144, 8191, u"five");
    EXPECT_EQ(rowsOf(standardScan(disk, true).found),
              (std::vector<Row>{Row{"one", "1", 2048}, Row{"three", "1", 4096}, Row{"five", "1", 6144}}));
  }
  {
    // A type GUID holding the byte 0x30, and an entry on the table itself, end nothing.
    DiskImage disk(kDisk);
    disk.gptHeader(2);
    disk.gptEntry(2, 0, 2048, 4095, u"one");
    disk.gptEntry(2, 1, 4096, 6143, u"two");
    disk.put8(2, 128 + 2, 0x30);
    disk.gptEntry(2, 2, 2, 4095, u"low");
    disk.gptEntry(2, 3, 6144, 8191, u"four");
    const Scan scan = standardScan(disk, true);
    EXPECT_EQ(rowsOf(scan.found),
              (std::vector<Row>{Row{"one", "1", 2048}, Row{"two", "1", 4096}, Row{"four", "1", 6144}}));
  }
  {
    // The header's count, not a fixed share of the array: 200 entries of a 256-entry array.
    DiskImage disk(kDisk);
    disk.gptHeader(2);
    disk.put32(1, 80, 256);
    for (int i = 0; i < 200; ++i) disk.gptEntry(2, i, 4096 + i * 2048, 4096 + i * 2048 + 2047, u"p");
    disk.gptEntry(2, 300, 900000, 902047, u"past the count");
    const Scan scan = standardScan(disk, true);
    ASSERT_EQ(scan.found.size(), 200u);
    EXPECT_EQ(scan.found.back().startSector, 4096 + 199 * 2048);
  }
  {
    // A hostile count reads no more than 1 MiB of array; a header without its signature reads 128 entries.
    DiskImage disk(kDisk);
    disk.gptHeader(2);
    disk.put32(1, 80, 0xFFFFFFFF);
    disk.gptEntry(2, 0, 2048, 4095, u"one");
    const Scan scan = standardScan(disk, true);
    EXPECT_EQ(scan.found.size(), 1u);
    for (const auto& read : scan.reads) EXPECT_LE(read.second, 1u << 20);
    disk.putText(1, 0, "XXXXXXXX");
    disk.put32(1, 80, 4);
    disk.gptEntry(2, 100, 8192, 10239, u"hundred");
    EXPECT_EQ(standardScan(disk, true).found.size(), 2u);
  }
}

TEST(PartitionGptTest, EntryArrayBeyondLba255IsReadAtItsWholeLba) {
  // LBA 258 = 0x102: its low byte alone names LBA 2, where a different, stale array lies.
  DiskImage disk(kDisk);
  disk.gptHeader(258);
  disk.gptEntry(2, 0, 9000, 13095, u"stale");
  disk.gptEntry(258, 0, 2048, 6143, u"current");
  const Scan scan = standardScan(disk, true);
  EXPECT_EQ(rowsOf(scan.found), (std::vector<Row>{Row{"current", "2", 2048}}));
}

TEST(PartitionGptTest, ArrayAndEntriesPointingPastTheDiskNeverReadOutsideIt) {
  {
    DiskImage disk(kDisk);
    disk.gptHeader(0xFFFFFFFFFFFFFF02ull);  // hostile array LBA
    const Scan scan = standardScan(disk, true);
    EXPECT_EQ(scan.result, 0);
    EXPECT_TRUE(scan.found.empty());
    EXPECT_FALSE(scan.touchedPastEnd);
  }
  {
    // An array in the disk's last sectors: the part past the end reads as zeros, ending the entries.
    DiskImage disk(kDisk);
    disk.gptHeader(kDisk - 1);
    disk.gptEntry(kDisk - 1, 0, 2048, 6143, u"last sector");
    const Scan scan = standardScan(disk, true);
    EXPECT_EQ(rowsOf(scan.found), (std::vector<Row>{Row{"last sector", "2", 2048}}));
    EXPECT_FALSE(scan.touchedPastEnd);
  }
  {
    // An entry past the disk is passed over; the next one is still listed.
    DiskImage disk(kDisk);
    disk.gptHeader(2);
    disk.gptEntry(2, 0, kDisk + 100, kDisk + 5000, u"beyond");
    disk.gptEntry(2, 1, 0x7FFFFFFFFFFFFFFFull, UINT64_MAX, u"far beyond");
    disk.gptEntry(2, 2, 2048, 6143, u"inside");
    const Scan scan = standardScan(disk, true);
    EXPECT_EQ(rowsOf(scan.found), (std::vector<Row>{Row{"inside", "2", 2048}}));
    EXPECT_FALSE(scan.touchedPastEnd);
  }
}

TEST(PartitionGptTest, EntryCorruptedInFiveWaysStaysCleanlyListedOrSkipped) {
  DiskImage disk(kDisk);
  disk.gptHeader(2);
  // 1. a name of all 36 code units without a terminating zero
  disk.gptEntry(2, 0, 2048, 4095, u"ABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789");
  // 2. last LBA before the first: size 0, not a wrapped huge number
  disk.gptEntry(2, 1, 8192, 10, u"backwards");
  // 3. NTFS with 4096 bytes per sector: sized in its own sectors
  disk.gptEntry(2, 2, 12288, 16383, u"big sectors");
  disk.ntfsBoot(12288, 4095, 4096);
  // 4. an NTFS total of 2^64 - 1 sectors: listed, size computed without overflow
  disk.gptEntry(2, 3, 16384, 20479, u"huge");
  disk.ntfsBoot(16384, UINT64_MAX);
  // 5. an unpaired surrogate in the name
  disk.gptEntry(2, 4, 20480, 24575, std::u16string(u"bad") + char16_t(0xD800));
  const Scan scan = standardScan(disk, true);
  EXPECT_EQ(scan.result, 0);
  // Entries are sized first to last LBA inclusive: 2048 sectors are 1 MiB.
  EXPECT_EQ(rowsOf(scan.found), (std::vector<Row>{Row{"ABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789", "1", 2048}, Row{"backwards", "0", 8192},
                                     Row{"NTFS", "15   MB", 12288}, Row{"NTFS", "9007199254740991   MB", 16384},
                                     Row{"bad\xEF\xBF\xBD", "2", 20480}}));
}

TEST(PartitionGptTest, GptBoxWithUnreadableHeaderFallsBackToTheMbr) {
  // The first 1,024 bytes cannot be read: the MBR path runs (and fails on sector 0 the same way).
  DiskImage disk(kDisk);
  disk.gptHeader(2);
  disk.gptEntry(2, 0, 2048, 4095, u"x");
  const Scan scan = standardScan(disk, true, 1);
  EXPECT_EQ(scan.result, 0);  // sector 0 alone reads; its table is empty
  EXPECT_TRUE(scan.found.empty());
}

}  // namespace
// ---- Disks of other than 512-byte sectors ------------------------------------------------------------

Scan scanWithSectors(const DiskImage& disk, std::uint32_t sectorBytes, bool gpt) {
  Scan scan;
  Partition partition(*scan.sink, [&](const VolumeEntry& e) { scan.found.push_back(e); });
  partition.useGpt = gpt ? 1 : 0;
  partition.sectorBytes = sectorBytes;
  MemoryReader reader(disk);
  scan.result = partition.standardScan(reader, disk.sectorCount());
  scan.reads = reader.reads;
  scan.touchedPastEnd = reader.touchedPastEnd;
  return scan;
}

TEST(PartitionSectorSizeTest, MbrAndItsChainCountInTheDisksSectorsAndBootRecordsAreReadThere) {
  // 4096-byte sectors: disk sector n starts at 512-byte unit 8n.
  DiskImage disk(kDisk);
  disk.tableEntry(0, 0, 0x06, 256, 5120);         // 20 MiB from sector 256 (byte 1 MiB)
  disk.tableEntry(0, 1, 0x05, 5376, 10000);
  disk.tableEntry(5376 * 8, 0, 0x83, 256, 2048);  // logical at 5632: 8 MiB
  disk.tableEntry(5376 * 8, 1, 0x05, 2304, 4352);
  disk.tableEntry(7680 * 8, 0, 0x07, 256, 4096);  // logical at 7936, exFAT
  disk.exfatBoot(7936 * 8, 4096);
  disk.tableEntry(0, 2, 0xAF, 20000, 1024);       // HFS+ header 1024 bytes in: inside sector 20000
  disk.hfsPlusHeader(20000 * 8 + 2, 4096, 1024);
  const std::vector<Row> rows{Row{"FAT16", "20   MB", 256}, Row{"HFS+", "4   MB", 20000}, Row{"extX", "8   MB", 5632},
                              Row{"FAT64", "16   MB", 7936}};
  const Scan scan = scanWithSectors(disk, 4096, false);
  EXPECT_EQ(scan.result, 0);
  EXPECT_EQ(rowsOf(scan.found), rows);
  EXPECT_FALSE(scan.touchedPastEnd);
  // Counted in 512-byte sectors the chain's records and the HFS+ header are not where the entries say.
  for (const std::uint32_t size : {512u, 2048u}) EXPECT_NE(rowsOf(scanWithSectors(disk, size, false).found), rows) << size;
}

TEST(PartitionSectorSizeTest, GptHeaderArrayAndEntriesCountInTheDisksSectors) {
  DiskImage disk(kDisk);
  // Header in sector 1 (byte 4096), array from sector 2 (byte 8192); 128 entries fill 4 sectors.
  const std::uint64_t header = 8;
  disk.putText(header, 0, "EFI PART");
  disk.put64(header, 72, 2);
  disk.put32(header, 80, 128);
  disk.put32(header, 84, 128);
  disk.gptEntry(16, 0, 256, 5375, u"Basic data partition");
  disk.fatBoot(256 * 8, 0, 0, 81920, "mkfs.fat", 0x58);  // FAT32 with 512-byte sectors: 40 MiB
  disk.gptEntry(16, 40, 5376, 7423, u"Linux filesystem");  // entry 40 lies in the array's second sector
  disk.gptEntry(16, 41, 7424, 9471, u"Apple HFS/HFS+");
  disk.hfsPlusHeader(7424 * 8 + 2, 4096, 2048);
  const Scan scan = scanWithSectors(disk, 4096, true);
  EXPECT_EQ(scan.result, 0);
  EXPECT_EQ(rowsOf(scan.found), (std::vector<Row>{Row{"FAT32", "40  MB", 256}, Row{"Linux filesystem", "8", 5376},
                                                  Row{"HFS+", "8", 7424}}));
  // Read as 512-byte sectors the header is not where the entries' disk expects it.
  EXPECT_NE(rowsOf(scanWithSectors(disk, 512, true).found), rowsOf(scan.found));
}

TEST(PartitionSectorSizeTest, ASectorSizeNoDiskHasIsTakenAs512) {
  DiskImage disk(kDisk);
  disk.tableEntry(0, 0, 0x0C, 2048, 65536);
  for (const std::uint32_t size : {0u, 520u, 8192u})
    EXPECT_EQ(rowsOf(scanWithSectors(disk, size, false).found), (std::vector<Row>{Row{"FAT32", "32   MB", 2048}}))
        << size;
}

}  // namespace tessary
