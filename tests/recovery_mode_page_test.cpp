// The recovery-mode page: which modes each file-system family offers, and where Next leads.
#include <gtest/gtest.h>

#include "app/parce_mode_ntfs_dlg.h"
#include "app/wizard_state.h"
#include "support/recording_sink.h"

namespace tessary {
namespace {

struct Offered {
  bool advanced;
  bool deep;
};

Offered offeredFor(const std::string& label) {
  WizardState state;
  state.selectedVolume = VolumeEntry{label, "", "0", "10   MB", 2048};
  PageView view;
  RecordingSink sink;
  ParceModeNtfsDlg page(state, view, sink);
  page.onOpen();
  EXPECT_TRUE(view.shown(ParceModeNtfsDlg::kStandard));
  EXPECT_EQ(state.recoveryMode, 1) << label;
  return {view.shown(ParceModeNtfsDlg::kAdvanced), view.shown(ParceModeNtfsDlg::kDeep)};
}

TEST(RecoveryModePage, EachFamilyOffersItsModes) {
  const struct {
    const char* label;
    bool advanced;
    bool deep;
  } cases[] = {
      {"NTFS", true, true},   {"ntfs", true, true},   {"extX", false, false}, {"HFS+", false, true},
      {"FAT32", true, false}, {"FAT64", true, false}, {"exFat", true, false}, {"fat16", true, false},
      {"  FAT16", true, false},  // leading spaces are not part of the family
      {"CUSTOM ", true, true},
  };
  for (const auto& c : cases) {
    const Offered o = offeredFor(c.label);
    EXPECT_EQ(o.advanced, c.advanced) << c.label;
    EXPECT_EQ(o.deep, c.deep) << c.label;
  }
}

TEST(RecoveryModePage, AdvancedShowsItsFieldsAndTheFormattedBoxOnlyForFat) {
  for (const char* label : {"FAT32", "NTFS"}) {
    WizardState state;
    state.selectedVolume = VolumeEntry{label, "", "0", "10   MB", 2048};
    PageView view;
    RecordingSink sink;
    ParceModeNtfsDlg page(state, view, sink);
    page.onOpen();
    EXPECT_FALSE(view.shown(ParceModeNtfsDlg::kMaxField));
    page.onAdvanced();
    EXPECT_EQ(state.recoveryMode, 2);
    EXPECT_TRUE(view.shown(ParceModeNtfsDlg::kMaxLabel));
    EXPECT_TRUE(view.shown(ParceModeNtfsDlg::kMaxNote));
    EXPECT_EQ(view.shown(ParceModeNtfsDlg::kFormatted), std::string(label) == "FAT32") << label;
    page.onFormatted(true);
    EXPECT_TRUE(state.driveFormatted);
    EXPECT_EQ(page.onNext(), ParceModeNtfsDlg::NextPage::AdvancedInput);
    EXPECT_EQ(state.maxFileSystems, 3);  // empty field
    page.onDeep();
    if (std::string(label) == "NTFS") {
      EXPECT_EQ(state.recoveryMode, 3);
      EXPECT_FALSE(view.shown(ParceModeNtfsDlg::kMaxField));
      EXPECT_EQ(page.onNext(), ParceModeNtfsDlg::NextPage::Results);
    } else {
      EXPECT_EQ(state.recoveryMode, 2);  // Deep is hidden for FAT
    }
  }
}

TEST(RecoveryModePage, MaxFileSystemsBelowOneIsThreeAndModesWithoutAWorkerAreHidden) {
  WizardState state;
  state.selectedVolume = VolumeEntry{"NTFS", "", "0", "10   MB", 2048};
  PageView view;
  RecordingSink sink;
  ParceModeNtfsDlg page(state, view, sink, [](const std::string&, int mode) { return mode == 1; });
  page.onOpen();
  EXPECT_FALSE(view.shown(ParceModeNtfsDlg::kAdvanced));
  EXPECT_FALSE(view.shown(ParceModeNtfsDlg::kDeep));
  view.setText(ParceModeNtfsDlg::kMaxField, "0");
  EXPECT_EQ(page.onNext(), ParceModeNtfsDlg::NextPage::Results);
  EXPECT_EQ(state.maxFileSystems, 3);
  view.setText(ParceModeNtfsDlg::kMaxField, "7");
  page.onNext();
  EXPECT_EQ(state.maxFileSystems, 7);
  state.recoveryMode = 0;
  EXPECT_EQ(page.onNext(), ParceModeNtfsDlg::NextPage::None);
}

}  // namespace
}  // namespace tessary
