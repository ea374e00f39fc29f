// The image page: what it shows for a file, what Next refuses, and `tessary info`.
#include <gtest/gtest.h>

#include <sstream>

#include "app/vhd_input_dialog.h"
#include "app/wizard_state.h"
#include "cli_app.h"
#include "support/fixtures.h"
#include "support/vhdx_builder.h"
#include "support/recording_sink.h"

namespace tessary {
namespace {

class ImagePageTest : public ::testing::Test {
 protected:
  void SetUp() override { m_dir = test::makeTempDir("tessary-page-"); }
  void TearDown() override { test::removeTree(m_dir); }

  std::string write(const test::VhdxShape& shape, const std::string& name = "disk.vhdx") {
    const std::string path = m_dir + "/" + name;
    test::writeBytes(path, test::buildVhdx(shape));
    return path;
  }

  int runCli(std::vector<std::string> args, std::string& out, std::string& err) {
    args.insert(args.begin(), "tessary");
    std::vector<const char*> argv;
    for (auto& a : args) argv.push_back(a.c_str());
    std::ostringstream o;
    std::ostringstream e;
    const int status = cli::run(static_cast<int>(argv.size()), argv.data(), o, e);
    out = o.str();
    err = e.str();
    return status;
  }

  std::string m_dir;
  WizardState m_state;
  PageView m_view;
  RecordingSink m_sink;
};

TEST_F(ImagePageTest, OpeningHidesTheInformationAndPickingAFileShowsItsValues) {
  VhdInputDialog page(m_state, m_view, m_sink);
  page.onOpen();
  EXPECT_FALSE(m_view.enabled(VhdInputDialog::kNext));
  EXPECT_FALSE(m_view.shown(VhdInputDialog::kSize));

  test::VhdxShape shape;
  shape.diskSize = (10u << 20) + (1u << 19);
  shape.blockSize = 2u << 20;
  const std::string path = write(shape);
  page.onBrowseClosed(path);
  EXPECT_TRUE(m_view.enabled(VhdInputDialog::kNext));
  EXPECT_TRUE(m_view.shown(VhdInputDialog::kSize));
  EXPECT_EQ(m_view.text(VhdInputDialog::kSize), "10");  // whole MiB, rounded down
  EXPECT_EQ(m_view.text(VhdInputDialog::kBlockSize), "2097152");
  EXPECT_EQ(m_view.text(VhdInputDialog::kLogicalSectorSize), "512");
  EXPECT_EQ(m_view.text(VhdInputDialog::kFileVersion), "1");
  EXPECT_TRUE(m_state.imageChosen);
  EXPECT_TRUE(m_state.chainFromImagePage);
  EXPECT_EQ(m_state.diskReader, nullptr);  // the temporary reader is gone
  EXPECT_EQ(m_state.disk.diskSectorCount, shape.diskSize / 512);
  EXPECT_TRUE(page.onNext());
}

TEST_F(ImagePageTest, CancellingTheDialogStillEnablesNextWhichThenWantsAPath) {
  VhdInputDialog page(m_state, m_view, m_sink);
  page.onOpen();
  page.onBrowseClosed(std::nullopt);
  EXPECT_TRUE(m_view.enabled(VhdInputDialog::kNext));
  EXPECT_TRUE(m_state.imageChosen);
  EXPECT_FALSE(m_state.chainFromImagePage);
  EXPECT_FALSE(page.onNext());
  EXPECT_EQ(m_sink.lastMessage(), "Please select valid path to continue the recovery process.");
}

TEST_F(ImagePageTest, AVhdxIsReadByWhatItHoldsAndAVhdxNameOnOtherBytesIsRefusedWithAHint) {
  VhdInputDialog page(m_state, m_view, m_sink);
  page.onOpen();
  page.onBrowseClosed(write(test::VhdxShape{}, "disk.img"));
  EXPECT_TRUE(m_view.enabled(VhdInputDialog::kNext));
  EXPECT_EQ(page.info().formatName, "VHDX");
  EXPECT_FALSE(m_view.text(VhdInputDialog::kSize).empty());

  const std::string junk = m_dir + "/junk.vhdx";
  test::writeBytes(junk, std::vector<std::byte>(64 * 1024, std::byte{0x41}));
  page.onBrowseClosed(junk);
  EXPECT_FALSE(m_view.enabled(VhdInputDialog::kNext));
  const auto messages = m_sink.messages();
  ASSERT_GE(messages.size(), 2u);
  EXPECT_NE(messages.back().find("give it another name (such as one ending in .img)"), std::string::npos);
}

TEST_F(ImagePageTest, NextNamesTheFirstEmptyField) {
  VhdInputDialog page(m_state, m_view, m_sink);
  page.onOpen();
  page.onBrowseClosed(write(test::VhdxShape{}));
  struct Case {
    const char* field;
    const char* message;
  } cases[] = {
      {VhdInputDialog::kSize, "Please enter Hard disk Size to process the recovery."},
      {VhdInputDialog::kBlockSize, "Please enter Block Size to process the recovery."},
      {VhdInputDialog::kLogicalSectorSize, "to process the recovery Logical sector Size to process the recovery."},
  };
  for (const auto& c : cases) {
    m_view.setText(c.field, "");
    EXPECT_FALSE(page.onNext()) << c.field;
    EXPECT_EQ(m_sink.lastMessage(), c.message);
    m_view.setText(c.field, "1");
  }
  EXPECT_TRUE(page.onNext());
}

TEST_F(ImagePageTest, InfoCommandPrintsTheContractLineAndRefusesWithThePagesMessage) {
  test::VhdxShape shape;
  shape.diskSize = 64u << 20;
  shape.blockSize = 8u << 20;
  const std::string path = write(shape);
  std::string out;
  std::string err;
  ASSERT_EQ(runCli({"info", path, "--json"}, out, err), 0) << err;
  EXPECT_EQ(out, "{\"format_version\":1,\"disk_size_mib\":64,\"block_size\":8388608,\"logical_sector_size\":512,"
                 "\"differencing\":false}\n");

  // The three fields take the user's values.
  ASSERT_EQ(runCli({"info", path, "--json", "--disk-size-mib", "32", "--block-size", "1048576"}, out, err), 0);
  EXPECT_NE(out.find("\"disk_size_mib\":32"), std::string::npos);
  EXPECT_NE(out.find("\"block_size\":1048576"), std::string::npos);

  EXPECT_EQ(runCli({"info", m_dir + "/disk.img"}, out, err), 1);
  EXPECT_EQ(err, "Please select valid path to continue the recovery process.\n");
  EXPECT_EQ(runCli({"info", m_dir + "/missing.vhdx"}, out, err), 1);
  EXPECT_EQ(err, "Please select valid path to continue the recovery process.\n");
  EXPECT_EQ(runCli({"info", path, "--disk-size-mib", ""}, out, err), 1);
  EXPECT_EQ(err, "Please enter Hard disk Size to process the recovery.\n");
  EXPECT_EQ(runCli({"info"}, out, err), 2);
  EXPECT_EQ(runCli({"nonsense"}, out, err), 2);
}

}  // namespace
}  // namespace tessary
