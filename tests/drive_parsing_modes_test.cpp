// The scan-mode page: the overrides from the image page, what each control enables, and the hand-over.
#include <gtest/gtest.h>

#include "app/drive_parsing_modes.h"
#include "app/vhd_input_dialog.h"
#include "app/wizard_state.h"
#include "platform/text.h"
#include "support/disk_image_builder.h"
#include "support/recording_sink.h"

namespace tessary {
namespace {

using Page = DriveParsingModes;

class CountingReader : public readWriteInterface {
 public:
  bool open(const std::string& path) override {
    openedWith.push_back(path);
    return true;
  }
  std::vector<std::string> openedWith;
};

class DriveParsingModesTest : public ::testing::Test {
 protected:
  void SetUp() override {
    m_state.imagePath = "/images/disk.vhdx";
    m_imageView.setText(VhdInputDialog::kSize, "2048");
    m_imageView.setText(VhdInputDialog::kBlockSize, "33554432");
    m_imageView.setText(VhdInputDialog::kLogicalSectorSize, "512");
  }
  void open() {
    m_page = std::make_unique<Page>(m_state, m_imageView, m_view, m_sink);
    m_page->onOpen();
  }
  bool next(bool created = true) {
    return m_page->onNext([&] {
      ++m_pagesCreated;
      return created;
    });
  }

  WizardState m_state;
  PageView m_imageView;
  PageView m_view;
  RecordingSink m_sink;
  std::unique_ptr<Page> m_page;
  int m_pagesCreated = 0;
};

TEST_F(DriveParsingModesTest, ImagePageFieldsBecomeTheReadersOverrides) {
  open();
  EXPECT_EQ(m_state.disk.userDiskSize, 2147483648u);
  EXPECT_EQ(m_state.disk.userBlockSize, 33554432u);
  EXPECT_EQ(m_state.disk.userLogicalSectorSize, 512u);
}

TEST_F(DriveParsingModesTest, FieldsThatAreNotUsableNumbersGiveNoOverride) {
  // Text that is not a number, a negative size, a size whose bytes overflow, a value past 32 bits.
  m_imageView.setText(VhdInputDialog::kSize, "-5");
  m_imageView.setText(VhdInputDialog::kBlockSize, "abc");
  m_imageView.setText(VhdInputDialog::kLogicalSectorSize, "4294967296");
  open();
  EXPECT_EQ(m_state.disk.userDiskSize, 0u);
  EXPECT_EQ(m_state.disk.userBlockSize, 0u);
  EXPECT_EQ(m_state.disk.userLogicalSectorSize, 0u);
  m_imageView.setText(VhdInputDialog::kSize, "17592186044416");  // 2^44 MiB = 2^64 bytes
  m_imageView.setText(VhdInputDialog::kLogicalSectorSize, "4096 bytes");
  open();
  EXPECT_EQ(m_state.disk.userDiskSize, 0u);
  EXPECT_EQ(m_state.disk.userLogicalSectorSize, 4096u);
}

TEST_F(DriveParsingModesTest, ExistingReaderIsOpenedOnTheImagePath) {
  auto reader = std::make_unique<CountingReader>();
  CountingReader* seen = reader.get();
  m_state.diskReader = std::move(reader);
  open();
  EXPECT_EQ(seen->openedWith, (std::vector<std::string>{"/images/disk.vhdx"}));
  EXPECT_EQ(m_view.text(Page::kCurrentDrive), "/images/disk.vhdx");
}

TEST_F(DriveParsingModesTest, OpeningSelectsStandardScanWithTheAdvancedOptionsDisabled) {
  open();
  EXPECT_TRUE(m_view.checked(Page::kStandardScan));
  EXPECT_FALSE(m_view.checked(Page::kAdvanceScan));
  EXPECT_EQ(m_view.text(Page::kStartingSector), "0");
  EXPECT_EQ(m_view.text(Page::kEndingSector), "0");
  for (const char* id : {Page::kStartingSector, Page::kEndingSector, Page::kStartingSectorLabel,
                         Page::kEndingSectorLabel, Page::kDoNotSkip, Page::kCustomSetting, Page::kSaveImage})
    EXPECT_FALSE(m_view.enabled(id)) << id;
  EXPECT_FALSE(m_view.checked(Page::kSaveDiskImage));
  EXPECT_TRUE(m_view.enabled(Page::kGptFormat));
}

TEST_F(DriveParsingModesTest, AdvanceScanEnablesItsOptionsAndCustomSettingItsSectorFields) {
  open();
  m_page->onAdvanceScan();
  EXPECT_TRUE(m_view.enabled(Page::kDoNotSkip));
  EXPECT_TRUE(m_view.enabled(Page::kCustomSetting));
  EXPECT_FALSE(m_view.enabled(Page::kStartingSector));
  m_page->onCustomSetting(true);
  for (const char* id : {Page::kStartingSector, Page::kEndingSector, Page::kStartingSectorLabel, Page::kEndingSectorLabel})
    EXPECT_TRUE(m_view.enabled(id)) << id;
  m_page->onCustomSetting(false);
  EXPECT_FALSE(m_view.enabled(Page::kEndingSector));
  m_page->onCustomSetting(true);
  m_page->onStandardScan();
  for (const char* id : {Page::kDoNotSkip, Page::kCustomSetting, Page::kStartingSector, Page::kEndingSector})
    EXPECT_FALSE(m_view.enabled(id)) << id;
  // Back to the advanced scan: the still ticked "Custom Setting:" makes its fields usable again.
  m_page->onAdvanceScan();
  EXPECT_TRUE(m_view.enabled(Page::kStartingSector));
}

TEST_F(DriveParsingModesTest, SaveDiskImageBoxEnablesTheSaveImageButton) {
  open();
  m_page->onSaveDiskImage(true);
  EXPECT_TRUE(m_view.enabled(Page::kSaveImage));
  m_page->onSaveDiskImage(false);
  EXPECT_FALSE(m_view.enabled(Page::kSaveImage));
}

TEST_F(DriveParsingModesTest, NextHandsTheScanModeAndItsBoxesOver) {
  open();
  m_page->onGptFormat(true);
  ASSERT_TRUE(next());
  EXPECT_EQ(m_state.scanMode, 1);
  EXPECT_TRUE(m_state.useGpt);
  EXPECT_FALSE(m_state.doNotSkip);
  EXPECT_FALSE(m_state.startSector);
  m_page->onAdvanceScan();
  m_page->onDoNotSkip(true);
  m_page->onGptFormat(false);
  ASSERT_TRUE(next());
  EXPECT_EQ(m_state.scanMode, 2);
  EXPECT_TRUE(m_state.doNotSkip);
  EXPECT_FALSE(m_state.useGpt);
  EXPECT_EQ(m_pagesCreated, 2);
}

TEST_F(DriveParsingModesTest, CustomSectorsAreHandedOverUnlessTheEndIsNegativeAndTheStartNotBelowIt) {
  struct Case {
    const char* start;
    const char* end;
    bool handed;
  };
  const Case cases[] = {
      {"2048", "4096", true},  // start above 0 and below the end
      {"0", "0", true},        // the end is not negative
      {"5000", "100", true},   // the end is not negative, whatever the start
      {"-7", "-1", false},     // start below the end but not above 0, end negative
      {"5", "-1", false},      // end negative and the start not below it
      {"x", "y", true},        // text that is not a number reads as 0
  };
  open();
  m_page->onAdvanceScan();
  m_page->onCustomSetting(true);
  for (const auto& c : cases) {
    m_view.setText(Page::kStartingSector, c.start);
    m_view.setText(Page::kEndingSector, c.end);
    ASSERT_TRUE(next());
    EXPECT_EQ(m_state.startSector.has_value(), c.handed) << c.start << " " << c.end;
    EXPECT_EQ(m_state.endSector.has_value(), c.handed) << c.start << " " << c.end;
    if (c.handed) {
      EXPECT_EQ(*m_state.startSector, decimalValue(c.start));
    }
  }
  // Unticked, nothing is handed over and an earlier range does not linger.
  m_view.setText(Page::kStartingSector, "2048");
  m_view.setText(Page::kEndingSector, "4096");
  ASSERT_TRUE(next());
  m_page->onCustomSetting(false);
  ASSERT_TRUE(next());
  EXPECT_FALSE(m_state.startSector);
}

TEST_F(DriveParsingModesTest, VolumeListPageThatCannotBeCreatedIsReported) {
  open();
  EXPECT_FALSE(next(false));
  EXPECT_EQ(m_sink.lastMessage(), "error creating PopulateDriveDlgptr");
  EXPECT_FALSE(m_page->onNext({}));
}

}  // namespace
}  // namespace tessary
