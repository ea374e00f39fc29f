// The volume list page: opening with either scan, the rows, selection, filter, custom volumes, Next, Back.
#include <gtest/gtest.h>

#include <atomic>

#include "app/wizard_state.h"
#include "disk/volume_view.h"
#include "support/disk_image_builder.h"
#include "volumes/populate_drive_dlg.h"
#include "support/recording_sink.h"

namespace tessary {
namespace {

using test::DiskImage;
using test::MemoryReader;
using Page = PopulateDriveDlg;

constexpr std::uint64_t kDisk = 1 << 17;  // 64 MiB in sectors

// The sample layout: NTFS (type 0x07) at 2048 and FAT32 (0x0C) after it.
DiskImage sampleDisk() {
  DiskImage disk(kDisk);
  disk.tableEntry(0, 0, 0x07, 2048, 129024);
  disk.ntfsBoot(2048, 129023);
  disk.tableEntry(0, 1, 0x0C, 131072 - 4096, 4096);
  return disk;
}

class RefusingReader : public MemoryReader {
 public:
  using MemoryReader::MemoryReader;
  bool open(const std::string&) override { return false; }
};

class PopulateDriveDlgTest : public ::testing::Test {
 protected:
  bool open(const DiskImage& disk, int scanMode = 1, bool refuseOpen = false) {
    m_state.scanMode = scanMode;
    m_state.imagePath = "memory.vhdx";
    if (refuseOpen) m_state.diskReader = std::make_unique<RefusingReader>(disk);
    else m_state.diskReader = std::make_unique<MemoryReader>(disk);
    m_state.disk.diskSectorCount = disk.sectorCount();
    m_page = std::make_unique<Page>(m_state, m_view, m_sink);
    const bool opened = m_page->onOpen();
    m_page->waitForScan();
    return opened;
  }

  int itemIndex(const std::string& item) const {
    const auto items = m_view.items(Page::kTreatAs);
    for (std::size_t i = 0; i < items.size(); ++i)
      if (items[i] == item) return static_cast<int>(i);
    return -1;
  }
  void custom(const std::string& start, const std::string& end, const std::string& treatAs = {}) {
    m_page->onCustomSettingsToggled(true);
    m_view.setText(Page::kStartSector, start);
    m_view.setText(Page::kEndSector, end);
    m_view.setSelection(Page::kTreatAs, treatAs.empty() ? -1 : itemIndex(treatAs));
  }

  WizardState m_state;
  PageView m_view;
  RecordingSink m_sink;
  std::unique_ptr<Page> m_page;
};

TEST_F(PopulateDriveDlgTest, StandardScanListsOneRowPerRecordNumberedByIndex) {
  const DiskImage disk = sampleDisk();
  ASSERT_TRUE(open(disk));
  const auto rows = m_page->rows();
  ASSERT_EQ(rows.size(), 2u);
  EXPECT_EQ(rows[0].volume, "0");
  EXPECT_EQ(rows[0].fileSystem, "NTFS");
  EXPECT_EQ(rows[0].volumeSize, "63   MB");
  EXPECT_EQ(rows[0].startSector, "2048");
  EXPECT_EQ(rows[1].volume, "1");
  EXPECT_EQ(rows[1].fileSystem, "FAT32");
  EXPECT_EQ(rows[1].startSector, "126976");
  EXPECT_FALSE(rows[0].ownsRecord);
  EXPECT_EQ(rows[1].recordIndex, 1u);
  EXPECT_EQ(m_page->volumes()[1].volumeName, "1");

  EXPECT_TRUE(m_view.enabled(Page::kNext));
  EXPECT_TRUE(m_view.enabled(Page::kFilterEntries));
  EXPECT_FALSE(m_view.shown(Page::kAddCustomVolume));
  for (const char* id : {Page::kSelectedVolume, Page::kStartSector, Page::kEndSector, Page::kTreatAs})
    EXPECT_FALSE(m_view.enabled(id)) << id;
  EXPECT_EQ(m_view.items(Page::kTreatAs),
            (std::vector<std::string>{"EXTX", "FAT16", "FAT32", "FAT64", "HFS+", "NTFS", "RAW"}));
  const auto statuses = m_sink.statuses();
  ASSERT_GE(statuses.size(), 2u);
  EXPECT_EQ(statuses[statuses.size() - 2], "Finished Scanning.");
  EXPECT_EQ(statuses.back(), "Select volume and click next button...");
  EXPECT_EQ(m_sink.events().back().id, kMsgProgressPosition);
  EXPECT_EQ(m_sink.events().back().first, 1000);
  EXPECT_EQ(m_page->scanResult(), 0);
}

TEST_F(PopulateDriveDlgTest, EmptyTableLeavesNextDisabled) {
  const DiskImage disk(kDisk);
  ASSERT_TRUE(open(disk));
  EXPECT_TRUE(m_page->rows().empty());
  EXPECT_FALSE(m_view.enabled(Page::kNext));
  EXPECT_EQ(m_sink.lastStatus(), "Select volume and click next button...");
}

TEST_F(PopulateDriveDlgTest, EachOpeningFailureShowsItsOwnMessage) {
  const DiskImage disk = sampleDisk();
  // No reader at all.
  m_page = std::make_unique<Page>(m_state, m_view, m_sink);
  EXPECT_FALSE(m_page->onOpen());
  EXPECT_EQ(m_sink.lastMessage(), "Information lost ..go back and parse again");
  // The reader will not open the image: the two scans word it differently.
  EXPECT_FALSE(open(disk, 1, true));
  EXPECT_EQ(m_sink.lastMessage(), "File not opened..");
  EXPECT_FALSE(open(disk, 2, true));
  EXPECT_EQ(m_sink.lastMessage(), "file not opened..");
  EXPECT_TRUE(m_view.enabled(Page::kBack));
  EXPECT_TRUE(m_page->rows().empty());
}

TEST_F(PopulateDriveDlgTest, ImageFromTheImagePageGetsAFreshVhdxReader) {
  // With a file picked on the image page the page replaces whatever reader there was.
  const DiskImage disk = sampleDisk();
  m_state.chainFromImagePage = true;
  m_state.imageChosen = true;
  m_state.imagePath = "/nonexistent/disk.vhdx";
  m_state.diskReader = std::make_unique<MemoryReader>(disk);
  m_page = std::make_unique<Page>(m_state, m_view, m_sink);
  EXPECT_FALSE(m_page->onOpen());
  EXPECT_EQ(dynamic_cast<MemoryReader*>(m_state.diskReader.get()), nullptr);
  EXPECT_TRUE(m_sink.sawMessage("invalid handle ..."));
  EXPECT_EQ(m_sink.lastMessage(), "File not opened..");
}

TEST_F(PopulateDriveDlgTest, StopIsOfferedOnlyWhileTheAdvancedScanRuns) {
  const DiskImage disk = sampleDisk();
  m_view.setShown(Page::kStop, true);  // a view starts with every control shown
  ASSERT_TRUE(open(disk));
  EXPECT_FALSE(m_view.shown(Page::kStop));
}

TEST_F(PopulateDriveDlgTest, RawIsNotOfferedWhenTheBuildHasNoRawPage) {
  const DiskImage disk = sampleDisk();
  m_state.scanMode = 1;
  m_state.imagePath = "memory.vhdx";
  m_state.diskReader = std::make_unique<MemoryReader>(disk);
  m_state.disk.diskSectorCount = disk.sectorCount();
  m_page = std::make_unique<Page>(m_state, m_view, m_sink, false);
  ASSERT_TRUE(m_page->onOpen());
  EXPECT_EQ(m_view.items(Page::kTreatAs), (std::vector<std::string>{"EXTX", "FAT16", "FAT32", "FAT64", "HFS+", "NTFS"}));
  // With the last entry picked, Next goes on to the recovery-mode page, never to a raw page.
  m_page->onRowClicked(0);
  custom("2048", "4095", "NTFS");
  EXPECT_EQ(m_page->onNext(), Page::NextPage::RecoveryMode);
  EXPECT_EQ(m_state.selectedVolume->fileSystem, "ntfs");
}

TEST_F(PopulateDriveDlgTest, AdvancedScanRunsOnItsWorkerAndReportsWhenDone) {
  DiskImage disk(kDisk);
  disk.ntfsBoot(2048, 129023);
  disk.ntfsBoot(2048 + 129023, 129023);  // backup boot sector: skipped
  ASSERT_TRUE(open(disk, 2));
  const auto rows = m_page->rows();
  ASSERT_EQ(rows.size(), 1u);
  EXPECT_TRUE(rows[0].ownsRecord);
  EXPECT_EQ(rows[0].volume, "0");
  EXPECT_EQ(rows[0].volumeSize, "62   MB");
  EXPECT_EQ(m_sink.messages(), (std::vector<std::string>{"populated partitions...."}));
  const auto statuses = m_sink.statuses();
  ASSERT_GE(statuses.size(), 3u);
  EXPECT_EQ(std::vector<std::string>(statuses.end() - 3, statuses.end()),
            (std::vector<std::string>{"Scanned Partitions", "Finished Scanning.", "Select volume and click next button..."}));
  EXPECT_FALSE(m_page->holdsScanner());
  EXPECT_FALSE(m_view.shown(Page::kStop));
  for (const char* id : {Page::kNext, Page::kFilterEntries, Page::kAddCustomVolume, Page::kBack})
    EXPECT_TRUE(m_view.enabled(id)) << id;
  EXPECT_EQ(m_page->scanResult(), 1);
}

TEST_F(PopulateDriveDlgTest, AdvancedScanTakesTheRangeAndTheSkipBoxFromTheScanModePage) {
  DiskImage disk(kDisk);
  disk.ntfsBoot(2048, 8191);
  disk.ntfsBoot(2048 + 8191, 8191);  // backup boot sector
  disk.ntfsBoot(40000, 8191);        // beyond the range
  m_state.doNotSkip = true;
  m_state.startSector = 2048;
  m_state.endSector = 10000;
  ASSERT_TRUE(open(disk, 2));
  const auto rows = m_page->rows();
  ASSERT_EQ(rows.size(), 2u);
  EXPECT_EQ(rows[1].startSector, "10239");
}

TEST_F(PopulateDriveDlgTest, StopEndsTheAdvancedScanAtTheNextSector) {
  DiskImage disk(kDisk);
  disk.ntfsBoot(2048, 4095);
  disk.ntfsBoot(100000, 4095);
  m_state.scanMode = 2;
  m_state.imagePath = "memory.vhdx";
  m_state.diskReader = std::make_unique<MemoryReader>(disk);
  m_state.disk.diskSectorCount = disk.sectorCount();
  m_page = std::make_unique<Page>(m_state, m_view, m_sink);
  std::atomic<bool> pressed{false};
  m_page->setRowsObserver([&] {
    if (!m_page->rows().empty() && !pressed.exchange(true)) m_page->onStop();
  });
  ASSERT_TRUE(m_page->onOpen());
  m_page->waitForScan();
  EXPECT_EQ(m_page->rows().size(), 1u);
  EXPECT_TRUE(m_sink.sawMessage("populated partitions...."));
}

TEST_F(PopulateDriveDlgTest, SelectingARowFillsTheThreeCustomFields) {
  DiskImage disk(kDisk);
  disk.fatBoot(2048, 200, 0, 204800);  // "100  MB"
  m_state.doNotSkip = true;
  ASSERT_TRUE(open(disk, 2));
  ASSERT_EQ(m_page->rows().at(0).volumeSize, "100  MB");
  m_page->onRowSelected(0);
  EXPECT_EQ(m_page->selectedRow(), 0);
  EXPECT_EQ(m_view.text(Page::kSelectedVolume), "0");
  EXPECT_EQ(m_view.text(Page::kStartSector), "2048");
  EXPECT_EQ(m_view.text(Page::kEndSector), "206847");
  // Selecting alone leaves "Treat file system as:" alone.
  EXPECT_EQ(m_view.selection(Page::kTreatAs), -1);
  // A row that is not there selects nothing.
  m_page->onRowSelected(5);
  EXPECT_EQ(m_page->selectedRow(), -1);
}

TEST_F(PopulateDriveDlgTest, SectorFieldsAndTheChosenVolumeCountTheDisksOwnSectors) {
  // A disk of 4096-byte sectors: an MBR entry at sector 256 (byte 1 MiB) of 5120 sectors (20 MiB).
  DiskImage disk(kDisk);
  disk.tableEntry(0, 0, 0x0C, 256, 5120);
  m_state.disk.userLogicalSectorSize = 4096;
  ASSERT_TRUE(open(disk));
  ASSERT_EQ(m_page->rows().size(), 1u);
  EXPECT_EQ(m_page->rows()[0].startSector, "256");
  EXPECT_EQ(m_page->rows()[0].volumeSize, "20   MB");
  m_page->onRowSelected(0);
  EXPECT_EQ(m_view.text(Page::kEndSector), "5375");  // 20 MiB is 5120 such sectors
  custom("256", "5375", "FAT32");
  ASSERT_EQ(m_page->onNext(), Page::NextPage::RecoveryMode);
  ASSERT_TRUE(m_state.selectedVolume.has_value());
  EXPECT_EQ(m_state.selectedVolume->volumeSizeText, "20");
  // Parsers read the volume from byte 1 MiB.
  const VolumeView view = VolumeView::ofListedVolume(*m_state.diskReader, m_state.disk, m_state.selectedVolume->startSector);
  EXPECT_EQ(view.startByte(), 1u << 20);
}

// The end sector field is the partition's own last sector, where its size in whole MiB would end it
// before its start (under 1 MiB) or short of its last partial MiB.
TEST_F(PopulateDriveDlgTest, ARowEndsOnThePartitionsOwnLastSectorNotOnAWholeMib) {
  DiskImage disk(kDisk);
  disk.gptHeader(2);
  disk.gptEntry(2, 0, 4096, 5000, u"small");  // size text "0"
  disk.gptEntry(2, 1, 8192, 8192 + 2048 + 99, u"tail");  // size text "1"
  m_state.useGpt = true;
  ASSERT_TRUE(open(disk));
  m_page->onRowSelected(0);
  EXPECT_EQ(m_view.text(Page::kEndSector), "5000");
  m_page->onRowSelected(1);
  EXPECT_EQ(m_view.text(Page::kEndSector), "10339");
}

TEST_F(PopulateDriveDlgTest, ClickingARowPicksTheFirstTreatAsEntryItsLabelBegins) {
  DiskImage disk(kDisk);
  disk.tableEntry(0, 0, 0x05, 2048, 100000);
  const std::uint8_t types[] = {0x83, 0x0C, 0x06, 0x01, 0xAF, 0x07};
  for (std::uint32_t i = 0; i < std::size(types); ++i) {
    disk.tableEntry(2048 + i * 4096, 0, types[i], 2048, 2048);
    disk.tableEntry(2048 + i * 4096, 1, 0x05, (i + 1) * 4096, 4096);
  }
  disk.exfatBoot(2048 + 5 * 4096 + 2048, 2048);
  ASSERT_TRUE(open(disk));
  const auto rows = m_page->rows();
  ASSERT_EQ(rows.size(), 6u);
  // extX, FAT32, FAT16, FAT12, Unknown, FAT64
  const int expected[] = {itemIndex("EXTX"), itemIndex("FAT32"), itemIndex("FAT16"), -1, -1, itemIndex("FAT64")};
  for (int i = 0; i < 6; ++i) {
    m_view.setSelection(Page::kTreatAs, -1);
    m_page->onRowClicked(i);
    EXPECT_EQ(m_view.selection(Page::kTreatAs), expected[i]) << rows[static_cast<std::size_t>(i)].fileSystem;
    EXPECT_EQ(m_view.text(Page::kSelectedVolume), std::to_string(i));
  }
}

TEST_F(PopulateDriveDlgTest, UpArrowAddsOneAndDownArrowStopsAtZero) {
  const DiskImage disk = sampleDisk();
  ASSERT_TRUE(open(disk));
  m_view.setText(Page::kStartSector, "1");
  m_page->onStartDown();
  EXPECT_EQ(m_view.text(Page::kStartSector), "0");
  m_page->onStartDown();
  EXPECT_EQ(m_view.text(Page::kStartSector), "0");
  m_page->onStartUp();
  m_page->onStartUp();
  EXPECT_EQ(m_view.text(Page::kStartSector), "2");
  m_view.setText(Page::kEndSector, "9223372036854775807");
  m_page->onEndUp();
  EXPECT_EQ(m_view.text(Page::kEndSector), "9223372036854775807");
  m_view.setText(Page::kEndSector, "not a number");
  m_page->onEndDown();
  EXPECT_EQ(m_view.text(Page::kEndSector), "0");
  m_page->onEndUp();
  EXPECT_EQ(m_view.text(Page::kEndSector), "1");
}

TEST_F(PopulateDriveDlgTest, FilterListsOnlyRecordsStartingOneSectorAfterTheOneBefore) {
  DiskImage disk(kDisk);
  disk.fatBoot(63, 200, 4096, 0);
  disk.fatBoot(64, 200, 4096, 0);
  disk.fatBoot(2048, 200, 4096, 0);
  m_state.doNotSkip = true;
  ASSERT_TRUE(open(disk, 2));
  ASSERT_EQ(m_page->rows().size(), 3u);
  m_page->onRowSelected(2);
  m_page->onFilterEntries();
  const auto rows = m_page->rows();
  ASSERT_EQ(rows.size(), 1u);
  EXPECT_EQ(rows[0].volume, "1");
  EXPECT_EQ(rows[0].startSector, "64");
  EXPECT_FALSE(rows[0].ownsRecord);
  EXPECT_EQ(m_page->volumes()[1].volumeName, "1");
  EXPECT_EQ(m_page->selectedRow(), -1);
}

TEST_F(PopulateDriveDlgTest, FilterOfFewerThanTwoRecordsLeavesTheListEmpty) {
  const DiskImage disk = sampleDisk();
  ASSERT_TRUE(open(disk));
  m_page->onFilterEntries();
  EXPECT_TRUE(m_page->rows().empty());
  m_page->onRowSelected(0);
  EXPECT_EQ(m_page->onNext(), Page::NextPage::None);
  EXPECT_EQ(m_sink.lastMessage(), "please select a valid volume.");
}

TEST_F(PopulateDriveDlgTest, AddCustomVolumeListsItSelectedWithCustomSettingsTicked) {
  const DiskImage disk = sampleDisk();
  ASSERT_TRUE(open(disk));
  m_page->onAddCustomVolume();
  const auto rows = m_page->rows();
  ASSERT_EQ(rows.size(), 3u);
  EXPECT_EQ(rows[2].volume, "2");
  EXPECT_EQ(rows[2].fileSystem, "CUSTOM ");
  EXPECT_EQ(rows[2].volumeSize, "0");
  EXPECT_EQ(rows[2].startSector, "0");
  EXPECT_EQ(m_page->selectedRow(), 2);
  EXPECT_TRUE(m_view.checked(Page::kCustomSettings));
  EXPECT_TRUE(m_view.enabled(Page::kStartSector));
  EXPECT_TRUE(m_view.enabled(Page::kTreatAs));
  EXPECT_EQ(m_view.text(Page::kSelectedVolume), "2");
  EXPECT_EQ(m_view.text(Page::kStartSector), "0");
  EXPECT_EQ(m_view.text(Page::kEndSector), "0");
}

TEST_F(PopulateDriveDlgTest, AddCustomVolumeAfterAnAdvancedScanGoesToTheTop) {
  DiskImage disk(kDisk);
  disk.ntfsBoot(2048, 4095);
  ASSERT_TRUE(open(disk, 2));
  m_page->onAddCustomVolume();
  const auto rows = m_page->rows();
  ASSERT_EQ(rows.size(), 2u);
  EXPECT_EQ(rows[0].fileSystem, "CUSTOM ");
  EXPECT_EQ(rows[0].volume, "1");
  EXPECT_EQ(m_page->selectedRow(), 0);
}

TEST_F(PopulateDriveDlgTest, NextHandsTheSelectedVolumeToTheRecoveryModePage) {
  const DiskImage disk = sampleDisk();
  ASSERT_TRUE(open(disk));
  EXPECT_TRUE(m_page->holdsScanner());
  EXPECT_EQ(m_page->onNext(), Page::NextPage::None);
  EXPECT_EQ(m_sink.lastMessage(), "please select a valid volume.");
  EXPECT_TRUE(m_page->holdsScanner());
  m_page->onRowClicked(0);
  EXPECT_EQ(m_page->onNext(), Page::NextPage::RecoveryMode);
  ASSERT_TRUE(m_state.selectedVolume);
  EXPECT_EQ(m_state.selectedVolume->fileSystem, "NTFS");
  EXPECT_EQ(m_state.selectedVolume->volumeSizeText, "63   MB");
  EXPECT_EQ(m_state.selectedVolume->startSector, 2048);
  EXPECT_FALSE(m_page->holdsScanner());
}

TEST_F(PopulateDriveDlgTest, UnknownVolumeGoesOnOnlyWhenTreatedAsAFileSystem) {
  DiskImage disk(kDisk);
  disk.tableEntry(0, 0, 0xEE, 1, kDisk - 1);
  ASSERT_TRUE(open(disk));
  m_page->onRowClicked(0);
  EXPECT_EQ(m_page->onNext(), Page::NextPage::None);
  EXPECT_EQ(m_sink.lastMessage(), "can not parse unknown volume");
  EXPECT_FALSE(m_state.selectedVolume);
  // Custom settings without a file system keep the label, and still refuse.
  custom("1", "131071");
  EXPECT_EQ(m_page->onNext(), Page::NextPage::None);
  custom("2048", "131071", "NTFS");
  EXPECT_EQ(m_page->onNext(), Page::NextPage::RecoveryMode);
  EXPECT_EQ(m_state.selectedVolume->fileSystem, "ntfs");
  EXPECT_EQ(m_state.selectedVolume->startSector, 2048);
  EXPECT_EQ(m_state.selectedVolume->volumeSizeText, "63");
}

TEST_F(PopulateDriveDlgTest, CustomSettingsGiveStartSizeAndTheTreatAsLabel) {
  const DiskImage disk = sampleDisk();
  ASSERT_TRUE(open(disk));
  m_page->onRowClicked(1);
  const std::pair<const char*, const char*> labels[] = {{"NTFS", "ntfs"},   {"FAT32", "fat32"}, {"FAT64", "fat64"},
                                                        {"EXTX", "extX"},   {"HFS+", "HFS+"},   {"FAT16", "fat16"}};
  for (const auto& [item, label] : labels) {
    custom("2048", "4095", item);
    EXPECT_EQ(m_page->onNext(), Page::NextPage::RecoveryMode) << item;
    EXPECT_EQ(m_state.selectedVolume->fileSystem, label);
    EXPECT_EQ(m_state.selectedVolume->volumeSizeText, "1");
    EXPECT_EQ(m_state.selectedVolume->startSector, 2048);
  }
  // An end not above the start gives size "0"; a range of 2^64 - 1 sectors does not overflow.
  custom("4095", "4095", "NTFS");
  m_page->onNext();
  EXPECT_EQ(m_state.selectedVolume->volumeSizeText, "0");
  custom("-9223372036854775808", "9223372036854775807", "NTFS");
  m_page->onNext();
  EXPECT_EQ(m_state.selectedVolume->volumeSizeText, "9007199254740992");
}

TEST_F(PopulateDriveDlgTest, CustomVolumeWithoutTreatAsKeepsItsLabelAndGoesOn) {
  const DiskImage disk = sampleDisk();
  ASSERT_TRUE(open(disk));
  m_page->onAddCustomVolume();
  m_view.setText(Page::kStartSector, "2048");
  m_view.setText(Page::kEndSector, "206847");
  EXPECT_EQ(m_page->onNext(), Page::NextPage::RecoveryMode);
  EXPECT_EQ(m_state.selectedVolume->fileSystem, "CUSTOM ");
  EXPECT_EQ(m_state.selectedVolume->volumeSizeText, "100");
}

TEST_F(PopulateDriveDlgTest, RawLeadsToTheRawPageWhateverTheRowsFileSystem) {
  DiskImage disk(kDisk);
  disk.tableEntry(0, 0, 0xEE, 1, kDisk - 1);
  ASSERT_TRUE(open(disk));
  m_page->onRowClicked(0);
  custom("1", "131071", "RAW");
  EXPECT_EQ(m_page->onNext(), Page::NextPage::Raw);
  EXPECT_EQ(m_state.selectedVolume->fileSystem, "RAW");
  // "RAW" only counts with custom settings ticked.
  m_page->onCustomSettingsToggled(false);
  EXPECT_EQ(m_page->onNext(), Page::NextPage::None);
}

TEST_F(PopulateDriveDlgTest, DiskWithoutVolumesIsCarvedThroughACustomRawVolume) {
  const DiskImage disk(kDisk);  // no table, no boot record
  ASSERT_TRUE(open(disk, 2));
  EXPECT_TRUE(m_page->rows().empty());
  EXPECT_FALSE(m_view.enabled(Page::kNext));
  m_page->onAddCustomVolume();
  EXPECT_TRUE(m_view.enabled(Page::kNext));
  custom("0", "131071", "RAW");
  // Clicking the row (as the user does before Next) keeps the range just typed.
  m_page->onRowSelected(0);
  m_page->onRowClicked(0);
  EXPECT_EQ(m_view.text(Page::kStartSector), "0");
  EXPECT_EQ(m_view.text(Page::kEndSector), "131071");
  ASSERT_EQ(m_page->onNext(), Page::NextPage::Raw);
  EXPECT_EQ(m_state.selectedVolume->fileSystem, "RAW");
  EXPECT_EQ(m_state.selectedVolume->startSector, 0);
  EXPECT_EQ(m_state.selectedVolume->volumeSizeText, "64");
}

TEST_F(PopulateDriveDlgTest, CustomVolumesKeepTheirTypedRangesWhileOtherRowsAreSelected) {
  const DiskImage disk = sampleDisk();
  ASSERT_TRUE(open(disk));
  m_page->onAddCustomVolume();
  custom("100", "300");
  m_page->onAddCustomVolume();
  custom("500", "900");
  m_page->onRowClicked(0);  // a scanned row still shows its own range
  EXPECT_EQ(m_view.text(Page::kStartSector), "2048");
  EXPECT_EQ(m_view.text(Page::kEndSector), "131071");
  m_page->onRowClicked(2);
  EXPECT_EQ(m_view.text(Page::kStartSector), "100");
  EXPECT_EQ(m_view.text(Page::kEndSector), "300");
  m_page->onRowSelected(3);
  EXPECT_EQ(m_view.text(Page::kStartSector), "500");
  EXPECT_EQ(m_view.text(Page::kEndSector), "900");
  EXPECT_EQ(m_view.text(Page::kSelectedVolume), "3");
}

TEST_F(PopulateDriveDlgTest, ShowAllEntriesUndoesTheFilter) {
  DiskImage disk(kDisk);
  disk.fatBoot(63, 200, 4096, 0);
  disk.fatBoot(64, 200, 4096, 0);
  disk.fatBoot(2048, 200, 4096, 0);
  m_state.doNotSkip = true;
  ASSERT_TRUE(open(disk, 2));
  EXPECT_FALSE(m_view.enabled(Page::kShowAllEntries));
  const auto before = m_page->rows();
  ASSERT_EQ(before.size(), 3u);
  m_page->onFilterEntries();
  ASSERT_EQ(m_page->rows().size(), 1u);
  EXPECT_TRUE(m_view.enabled(Page::kShowAllEntries));
  m_page->onFilterEntries();  // a second filter still comes back to the full list
  m_page->onAddCustomVolume();
  m_page->onShowAllEntries();
  EXPECT_FALSE(m_view.enabled(Page::kShowAllEntries));
  const auto after = m_page->rows();
  ASSERT_EQ(after.size(), 4u);
  for (std::size_t i = 0; i < before.size(); ++i) {
    EXPECT_EQ(after[i].volume, before[i].volume);
    EXPECT_EQ(after[i].startSector, before[i].startSector);
    EXPECT_TRUE(after[i].ownsRecord);
  }
  EXPECT_TRUE(after[3].custom);
  // The rows own their records again: the third volume goes on with its own start.
  m_page->onCustomSettingsToggled(false);
  m_page->onRowClicked(2);
  ASSERT_EQ(m_page->onNext(), Page::NextPage::RecoveryMode);
  EXPECT_EQ(m_state.selectedVolume->startSector, 2048);
}

TEST_F(PopulateDriveDlgTest, UntickedCustomSettingsRestoreTheRecordFromTheRowsTexts) {
  const DiskImage disk = sampleDisk();
  ASSERT_TRUE(open(disk));
  m_page->onRowClicked(0);
  custom("4096", "8191", "FAT32");
  ASSERT_EQ(m_page->onNext(), Page::NextPage::RecoveryMode);
  EXPECT_EQ(m_page->rowRecord(0)->fileSystem, "fat32");
  m_page->onCustomSettingsToggled(false);
  ASSERT_EQ(m_page->onNext(), Page::NextPage::RecoveryMode);
  const VolumeEntry& restored = *m_state.selectedVolume;
  EXPECT_EQ(restored.fileSystem, "NTFS");
  EXPECT_EQ(restored.volumeSizeText, "63");  // "MB" and the spaces are gone
  EXPECT_EQ(restored.startSector, 2048);
  EXPECT_EQ(restored.volumeName, "0");
}

TEST_F(PopulateDriveDlgTest, BackAfterAnAdvancedScanDropsTheRowsOwnRecords) {
  DiskImage disk(kDisk);
  disk.ntfsBoot(2048, 4095);
  ASSERT_TRUE(open(disk, 2));
  m_page->onAddCustomVolume();
  m_page->onBack();
  const auto rows = m_page->rows();
  ASSERT_EQ(rows.size(), 1u);
  EXPECT_EQ(rows[0].fileSystem, "CUSTOM ");
}

}  // namespace
}  // namespace tessary
