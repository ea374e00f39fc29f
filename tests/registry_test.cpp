// The file-system registry: labels and aliases reach their family's parser and modes, the scans' boot
// tests come from it, and two parsers on two volumes of one disk each read their own origin.
#include <gtest/gtest.h>
#ifndef _WIN32
#include <sys/resource.h>
#endif

#include <array>
#include <csignal>
#include <filesystem>

#include <algorithm>

#include "app/wizard_state.h"
#include "controls/xhtml_tree.h"
#include "disk/volume_view.h"
#include "fs/ntfs/ntfs.h"
#include "fs/registry.h"
#include "platform/data_sink.h"
#include "platform/page_view.h"
#include "fs/parser_slot.h"
#include "results/volume_scan_dlg.h"
#include "support/fixtures.h"
#include "support/ntfs_builder.h"
#include "support/recording_sink.h"

namespace tessary {
namespace {

using test::ByteVector;

TEST(FileSystemRegistry, EveryLabelAndAliasNamesItsRowWithoutRegardToCase) {
  const struct {
    const char* label;
    const char* family;
  } cases[] = {{"NTFS", "NTFS"},   {"ntfs", "NTFS"},   {"FAT32", "FAT32"}, {"fat16", "FAT16"}, {"FAT", "FAT16"},
               {"FAT12", "FAT16"}, {"FAT64", "exFAT"}, {"exFat", "exFAT"}, {"EXFAT", "exFAT"}, {"extX", "ext"},
               {"EXTX", "ext"},    {"HFS+", "HFS+"},   {"hfs+", "HFS+"},   {"RAW", "RAW"}};
  for (const auto& c : cases) {
    const FileSystemRow* row = fileSystemForLabel(c.label);
    ASSERT_NE(row, nullptr) << c.label;
    EXPECT_STREQ(row->family, c.family) << c.label;
  }
  for (const char* unknown : {"Unknown", "CUSTOM ", "", "ntfs ", "HFS"}) EXPECT_EQ(fileSystemForLabel(unknown), nullptr) << unknown;
}

TEST(FileSystemRegistry, TreatAsListIsSortedAndEachEntryGivesTheLabelTheVolumeListSets) {
  EXPECT_EQ(treatAsEntries(), (std::vector<std::string>{"EXTX", "FAT16", "FAT32", "FAT64", "HFS+", "NTFS", "RAW"}));
  const struct {
    const char* entry;
    const char* label;
  } cases[] = {{"NTFS", "ntfs"}, {"fat32", "fat32"}, {"FAT64", "fat64"}, {"EXTX", "extX"}, {"HFS+", "HFS+"}, {"FAT16", "fat16"}};
  for (const auto& c : cases) {
    const FileSystemRow* row = fileSystemForTreatAs(c.entry);
    ASSERT_NE(row, nullptr) << c.entry;
    EXPECT_STREQ(row->treatAsLabel, c.label);
    // The label the entry gives leads back to the same row.
    EXPECT_EQ(fileSystemForLabel(row->treatAsLabel), row);
  }
  ASSERT_NE(fileSystemForTreatAs("RAW"), nullptr);
  EXPECT_TRUE(fileSystemForTreatAs("RAW")->rawPage);
}

TEST(FileSystemRegistry, NtfsLabelsMakeTheNtfsParserAndUnknownLabelsNone) {
  for (const char* label : {"NTFS", "ntfs", "Ntfs"}) {
    const auto parser = createParserForLabel(label);
    ASSERT_NE(parser, nullptr) << label;
    EXPECT_EQ(parser->selectedStatus(), "ntfs partition selected....");
    EXPECT_TRUE(modeBuilt(label, 1));
  }
  for (const char* label : {"Unknown", "CUSTOM ", "RAW", "nonsense"}) {
    EXPECT_EQ(createParserForLabel(label), nullptr) << label;
    EXPECT_FALSE(modeBuilt(label, 1)) << label;
  }
}

TEST(FileSystemRegistry, UnknownLabelOnTheResultsPageIsNotAValidDrive) {
  WizardState state;
  state.selectedVolume = VolumeEntry{"CUSTOM ", "", "0", "10", 2048};
  PageView view;
  RecordingSink sink;
  VolumeScanDlg page(state, view, sink);
  page.onOpen(1);
  EXPECT_EQ(page.parser(), nullptr);
  EXPECT_TRUE(sink.sawMessage("Not a valid drive."));
  EXPECT_EQ(sink.lastStatus(), "Not a valid Drive .Go back");
}

TEST(FileSystemRegistry, SectorScanFastPathCoversEveryRowsLeadBytes) {
  std::array<std::byte, 512> sector{};
  EXPECT_FALSE(mayHoldBootRecord(sector));
  sector[0] = std::byte{0xE9};
  EXPECT_FALSE(mayHoldBootRecord(sector));
  sector[0] = std::byte{0xEB};
  EXPECT_TRUE(mayHoldBootRecord(sector));
  sector[0] = std::byte{'H'};
  EXPECT_TRUE(mayHoldBootRecord(sector));
  sector[0] = std::byte{0};
  sector[56] = std::byte{0x53};  // the low byte of the ext superblock's magic
  EXPECT_TRUE(mayHoldBootRecord(sector));
  for (const FileSystemRow& row : fileSystemRows()) {
    if (row.testBootRecord) {
      EXPECT_FALSE(row.leadBytes.empty()) << row.family << " would never be tested by the scan";
    }
  }
}

// Two NTFS volumes on one disk, each with a file of its own; both parsers are attached before either
// reads, and their reads interleave.
TEST(VolumeViews, TwoParsersOnTwoVolumesOfOneDiskEachReadTheirOwnOrigin) {
  auto volumeWith = [](const std::u16string& name, const std::string& content) {
    test::NtfsVolumeBuilder b;
    b.record(20, test::RecordBuilder().standardInformation(0, 0, 0).fileName(5, name).residentData(test::bytesOf(content)).build());
    return b.build();
  };
  const ByteVector first = volumeWith(u"first.txt", "from the first volume");
  const ByteVector second = volumeWith(u"second.txt", "from the second volume");
  constexpr std::uint64_t kSecondStart = 4096;  // sectors
  ByteVector disk(kSecondStart * kSectorSize + second.size());
  std::copy(first.begin(), first.end(), disk.begin());
  std::copy(second.begin(), second.end(), disk.begin() + static_cast<std::ptrdiff_t>(kSecondStart * kSectorSize));
  test::MemoryDisk reader(disk);
  const std::uint64_t diskSectors = disk.size() / kSectorSize;

  ntfs a, b;
  CXHtmlTree treeA, treeB;
  a.setVolume(VolumeEntry{"NTFS", "", "0", "1", 0});
  b.setVolume(VolumeEntry{"NTFS", "", "1", "1", static_cast<std::int64_t>(kSecondStart)});
  a.setTree(&treeA, "ROOT");
  b.setTree(&treeB, "ROOT");
  a.attachVolume(VolumeView(reader, 0, diskSectors));
  b.attachVolume(VolumeView(reader, kSecondStart, diskSectors));
  EXPECT_EQ(reader.baseOffset, 0) << "no parser moves the reader's origin";
  for (ntfs* p : {&a, &b}) p->readBootSector();
  for (ntfs* p : {&a, &b}) p->locateMft();
  for (ntfs* p : {&a, &b}) p->collectMftRecords();
  for (ntfs* p : {&b, &a}) p->parseAllEntries();
  EXPECT_EQ(a.entryName(20), "first.txt");
  EXPECT_EQ(b.entryName(20), "second.txt");
  MemorySink fromA(1024), fromB(1024);
  EXPECT_TRUE(b.writeEntryData(20, fromB));
  EXPECT_TRUE(a.writeEntryData(20, fromA));
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(fromA.bytes().data()), fromA.bytes().size()), "from the first volume");
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(fromB.bytes().data()), fromB.bytes().size()), "from the second volume");
}

// The NTFS slot's one-file dump (the results page's double-click) names its file only when the file was
// written whole, as every other file system's does: an output that cuts it short leaves no path.
TEST(FileSystemRegistry, NtfsOneFileDumpCutShortByTheOutputNamesNoFile) {
  TESSARY_LINUX_ONLY("the output is cut short by a file-size limit");
#ifndef _WIN32
  test::NtfsVolumeBuilder b;
  b.record(20, test::RecordBuilder().standardInformation(0, 0, 0).fileName(5, u"big.bin")
                   .residentData(ByteVector(600, std::byte{0x42})).build());
  const ByteVector volume = b.build();
  test::MemoryDisk reader(volume);
  const auto slot = createParserForLabel("NTFS");
  ASSERT_NE(slot, nullptr);
  CXHtmlTree tree;
  ParserLinks links;
  links.reader = &reader;
  links.view = VolumeView(reader, 0, volume.size() / kSectorSize);
  links.volume = VolumeEntry{"NTFS", "", "0", "1", 0};
  links.tree = &tree;
  slot->runWorker(links);
  const std::string dir = test::makeTempDir("tessary-ntfs-dump-");
  EXPECT_EQ(slot->writeFile(20, dir), dir + "/big.bin");

  struct rlimit old {};
  ASSERT_EQ(::getrlimit(RLIMIT_FSIZE, &old), 0);
  const auto oldHandler = std::signal(SIGXFSZ, SIG_IGN);
  struct rlimit small = old;
  small.rlim_cur = 100;
  ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &small), 0);
  const std::string cut = slot->writeFile(20, dir);
  ::setrlimit(RLIMIT_FSIZE, &old);
  std::signal(SIGXFSZ, oldHandler);
  EXPECT_EQ(cut, "");
  std::filesystem::remove_all(dir);
#endif
}

TEST(VolumeViews, ReadsPastTheDiskAreZerosAndFailAndNextDataStopsAtTheDisksEnd) {
  test::MemoryDisk reader(ByteVector(8 * kSectorSize, std::byte{0x77}));
  const VolumeView view(reader, 4, 8);
  EXPECT_EQ(view.bytesToDiskEnd(), 4u * kSectorSize);
  std::vector<std::byte> out(2 * kSectorSize, std::byte{0x11});
  EXPECT_TRUE(view.read(2 * kSectorSize, out));
  EXPECT_TRUE(std::all_of(out.begin(), out.end(), [](std::byte v) { return v == std::byte{0x77}; }));
  std::fill(out.begin(), out.end(), std::byte{0x11});
  EXPECT_FALSE(view.read(4 * kSectorSize, out));
  EXPECT_TRUE(std::all_of(out.begin(), out.end(), [](std::byte v) { return v == std::byte{0}; })) << "never stale bytes";
  EXPECT_EQ(view.nextData(kSectorSize), std::optional<std::uint64_t>(kSectorSize));
  EXPECT_EQ(view.nextData(4 * kSectorSize), std::nullopt);
  EXPECT_EQ(VolumeView(reader, 9, 8).bytesToDiskEnd(), 0u);
}

}  // namespace
}  // namespace tessary
