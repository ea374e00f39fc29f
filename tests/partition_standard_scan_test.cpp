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

TEST(PartitionMbrTest, SecondEntryExtendedHidesEntriesThreeAndFour) {
  DiskImage disk(kDisk);
  disk.tableEntry(0, 0, 0x07, 2048, 2048);
  disk.tableEntry(0, 1, 0x05, 8192, 8192);
  disk.tableEntry(0, 2, 0x0C, 100000, 4096);  // never looked at
  disk.tableEntry(0, 3, 0x83, 200000, 4096);  // never looked at
  disk.tableEntry(8192, 0, 0x06, 2048, 4096);
  const Scan scan = standardScan(disk);
  EXPECT_EQ(rowsOf(scan.found), (std::vector<Row>{Row{"NTFS", "1   MB", 2048}, Row{"FAT16", "2   MB", 10240}}));
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
                                     Row{"FAT64", "16  MB", 118784}, Row{"Linux filesystem", "15", 151552},
                                     Row{"HFS+", "3", 184320}, Row{"FAT16", "20  MB", 192512},
                                     Row{"FAT16", "20  MB", 233472}}));
  EXPECT_EQ(scan.sink->statuses(), (std::vector<std::string>{"found NTFS 1...", "found FAT 32...", "found FAT 64...",
                                                             "found FAT 16...", "found FAT 16..."}));
  EXPECT_FALSE(sawRead(scan, 2048));
}

TEST(PartitionGptTest, FatWith128SectorsPerFatIsNotListedOnTheGptPath) {
  DiskImage disk(kDisk);
  disk.gptHeader(2);
  disk.gptEntry(2, 0, 2048, 35047, u"FAT16 data");
  disk.fatBoot(2048, 128, 32992, 0);
  disk.gptEntry(2, 1, 35048, 40000, u"mkfs.fat volume");
  disk.fatBoot(35048, 200, 4952, 0, "mkfs.fat");  // not an OEM name the scan takes: entry name
  const Scan scan = standardScan(disk, true);
  EXPECT_EQ(rowsOf(scan.found), (std::vector<Row>{Row{"mkfs.fat volume", "2", 35048}}));
  EXPECT_EQ(scan.sink->statuses(), (std::vector<std::string>{"found unknown..."}));
}

TEST(PartitionGptTest, BootRecordsBelowOneMibAreNotListed) {
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
  EXPECT_EQ(rowsOf(scan.found), (std::vector<Row>{Row{"tiny", "0", 10240}}));
}

TEST(PartitionGptTest, EntriesEndAtAByte0x30AtAFirstLbaBelowThreeOrAfterSeventyTwo) {
  {
    DiskImage disk(kDisk);
    disk.gptHeader(2);
    disk.gptEntry(2, 0, 2048, 4095, u"one");
    disk.gptEntry(2, 1, 4096, 6143, u"two");
    disk.put8(2, 128 + 2, 0x30);  // third byte of the second entry's type
    disk.gptEntry(2, 2, 6144, 8191, u"three");
    EXPECT_EQ(standardScan(disk, true).found.size(), 1u);
  }
  {
    DiskImage disk(kDisk);
    disk.gptHeader(2);
    disk.gptEntry(2, 0, 2048, 4095, u"one");
    disk.gptEntry(2, 1, 2, 4095, u"low");
    disk.gptEntry(2, 2, 6144, 8191, u"three");
    EXPECT_EQ(standardScan(disk, true).found.size(), 1u);
  }
  {
    DiskImage disk(kDisk);
    disk.gptHeader(2);
    for (int i = 0; i < 80; ++i) disk.gptEntry(2, i, 4096 + i * 2048, 4096 + i * 2048 + 2047, u"p");
    const Scan scan = standardScan(disk, true);
    ASSERT_EQ(scan.found.size(), 72u);
    EXPECT_EQ(scan.found.back().startSector, 4096 + 71 * 2048);
  }
}

TEST(PartitionGptTest, EntryArrayBeyondLba255IsReadAtItsWholeLba) {
  // LBA 258 = 0x102: its low byte alone names LBA 2, where a different, stale array lies.
  DiskImage disk(kDisk);
  disk.gptHeader(258);
  disk.gptEntry(2, 0, 9000, 13095, u"stale");
  disk.gptEntry(258, 0, 2048, 6143, u"current");
  const Scan scan = standardScan(disk, true);
  EXPECT_EQ(rowsOf(scan.found), (std::vector<Row>{Row{"current", "1", 2048}}));
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
    EXPECT_EQ(rowsOf(scan.found), (std::vector<Row>{Row{"last sector", "1", 2048}}));
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
    EXPECT_EQ(rowsOf(scan.found), (std::vector<Row>{Row{"inside", "1", 2048}}));
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
  // 3. NTFS jump with 4096 bytes per sector: not NTFS, listed by its name
  disk.gptEntry(2, 2, 12288, 16383, u"big sectors");
  disk.ntfsBoot(12288, 4095, 4096);
  // 4. an NTFS total of 2^64 - 1 sectors: listed, size computed without overflow
  disk.gptEntry(2, 3, 16384, 20479, u"huge");
  disk.ntfsBoot(16384, UINT64_MAX);
  // 5. an unpaired surrogate in the name
  disk.gptEntry(2, 4, 20480, 24575, std::u16string(u"bad") + char16_t(0xD800));
  const Scan scan = standardScan(disk, true);
  EXPECT_EQ(scan.result, 0);
  EXPECT_EQ(rowsOf(scan.found), (std::vector<Row>{Row{"ABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789", "0", 2048}, Row{"backwards", "0", 8192},
                                     Row{"big sectors", "1", 12288}, Row{"NTFS", "9007199254740991   MB", 16384},
                                     Row{"bad\xEF\xBF\xBD", "1", 20480}}));
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
}  // namespace tessary
