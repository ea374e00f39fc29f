// The raw page: Parse with its loading rules, the scan start and its refusals, the busy mark, the list
// beside the tree, and Save under "RAW RECOVERY/<Category (count)>/" compared byte for byte with the volume.
#include <gtest/gtest.h>

#include <condition_variable>
#include <filesystem>
#include <mutex>
#include <thread>

#include "app/wizard_state.h"
#include "platform/files.h"
#include "raw/raw_recovery_dialog.h"
#include "raw/raw_setting_dlg.h"
#include "support/fixtures.h"
#include "support/raw_volume.h"
#include "support/recording_sink.h"

namespace tessary {
namespace {

using test::ByteVector;
constexpr std::int64_t kVolumeStartSector = 2048;
constexpr std::size_t kVolumeBytes = 2u << 20;

// A sink whose worker calls wait at "Processing....." until the test lets them go.
class HoldingSink : public RecordingSink {
 public:
  void setStatus(const std::string& text) override {
    RecordingSink::setStatus(text);
    if (text != "Processing....." || std::this_thread::get_id() == m_main) return;
    std::unique_lock lock(m_mutex);
    m_waiting = true;
    m_changed.notify_all();
    m_changed.wait(lock, [this] { return !m_hold; });
  }
  void hold() { m_hold = true; }
  void waitUntilHeld() {
    std::unique_lock lock(m_mutex);
    m_changed.wait(lock, [this] { return m_waiting; });
  }
  void release() {
    std::lock_guard lock(m_mutex);
    m_hold = false;
    m_changed.notify_all();
  }

 private:
  std::thread::id m_main = std::this_thread::get_id();
  std::mutex m_mutex;
  std::condition_variable m_changed;
  bool m_hold = false;
  bool m_waiting = false;
};

class RawPageTest : public ::testing::Test {
 protected:
  void SetUp() override {
    m_dir = test::makeTempDir("tessary-rawpage-");
    // The disk: 1 MiB before the volume, the 2 MiB volume of noise.
    m_disk = test::NoiseVolume(kVolumeStartSector * 512 + kVolumeBytes, 11).bytes();
    m_state.diskReader = std::make_unique<test::BufferReader>(m_disk);
    m_state.disk.diskSectorCount = m_disk.size() / 512;
    m_state.selectedVolume = VolumeEntry{"RAW", "", "0", "2", kVolumeStartSector};
    writeSignatures();
  }

  // Two image types and an archive type, written with the signature editor.
  void writeSignatures() {
    PageView view;
    RecordingSink sink;
    RawSettingDlg editor(view, sink);
    editor.onChooseFile(signatures());
    auto save = [&](const char* ext, const char* start, const char* end, const char* approx, const char* category) {
      view.setText(RawSettingDlg::kExtension, ext);
      view.setText(RawSettingDlg::kStartSignature, start);
      view.setText(RawSettingDlg::kEndSignature, end);
      view.setText(RawSettingDlg::kApproximateSize, approx);
      view.setText(RawSettingDlg::kCategory, category);
      ASSERT_TRUE(editor.onSave());
    };
    save("jpg", "0xFF,0xD8,0xFF", "0xFF,0xD9", "300000", "Images");
    save("png", "0x89,0x50,0x4E,0x47", "", "700", "Images");
    save("zip", "0x50,0x4B,0x03,0x04", "0x50,0x4B,0x05,0x06", "0", "Archives");
  }

  std::string signatures() const { return m_dir + "/sig.txt"; }
  void plant(std::size_t volumeOffset, const ByteVector& bytes) {
    std::copy(bytes.begin(), bytes.end(), m_disk.begin() + static_cast<std::ptrdiff_t>(kVolumeStartSector * 512 + volumeOffset));
  }
  ByteVector volumeBytes(std::size_t offset, std::size_t size) const {
    const auto from = m_disk.begin() + static_cast<std::ptrdiff_t>(kVolumeStartSector * 512 + offset);
    return ByteVector(from, from + static_cast<std::ptrdiff_t>(size));
  }

  std::string m_dir;
  ByteVector m_disk;
  WizardState m_state;
  PageView m_view;
  HoldingSink m_sink;
};

TEST_F(RawPageTest, OpeningPresetsTheDefaultFileAndTheStatus) {
  RawRecoveryDialog page(m_state, m_view, m_sink, signatures());
  page.onOpen();
  EXPECT_EQ(m_view.text(RawRecoveryDialog::kPath), signatures());
  EXPECT_TRUE(m_view.checked(RawRecoveryDialog::kLoadDefault));
  EXPECT_EQ(m_sink.lastStatus(), "Please select parse button to scan the default file.");
  EXPECT_FALSE(m_view.shown(RawRecoveryDialog::kStop));
  EXPECT_EQ(page.list().columns(), std::vector<std::string>{"File(s) List"});
  // "..." takes only a file that exists.
  page.onChooseSignatureFile(m_dir + "/absent.txt");
  EXPECT_EQ(m_view.text(RawRecoveryDialog::kPath), signatures());
}

TEST_F(RawPageTest, ParseWithNothingToLoadEndsWithoutAScan) {
  RawRecoveryDialog page(m_state, m_view, m_sink, signatures());
  page.onOpen();
  m_view.setChecked(RawRecoveryDialog::kLoadDefault, false);
  m_view.setText(RawRecoveryDialog::kPath, "");
  page.onParse();
  EXPECT_EQ(m_sink.lastMessage(), "Enter the info file first..");
  EXPECT_EQ(m_sink.lastStatus(), "Scanning processing done.Select save button to save the data.");
  EXPECT_FALSE(page.busy());
  EXPECT_FALSE(m_view.enabled(RawRecoveryDialog::kParse));  // one scan per opening of the page
  EXPECT_TRUE(m_view.enabled(RawRecoveryDialog::kBack));
  EXPECT_FALSE(m_view.shown(RawRecoveryDialog::kProgress));
  EXPECT_FALSE(page.scanResult());
}

TEST_F(RawPageTest, AChosenFileThatWillNotOpenAndAZeroSizeVolumeStartNoScan) {
  {
    RawRecoveryDialog page(m_state, m_view, m_sink, signatures());
    page.onOpen();
    m_view.setText(RawRecoveryDialog::kPath, m_dir + "/absent.txt");
    page.onParse();
    EXPECT_EQ(m_sink.lastMessage(), "Cannot open the selected file");
    EXPECT_FALSE(page.scanResult());
  }
  m_state.selectedVolume->volumeSizeText = "0";
  RawRecoveryDialog page(m_state, m_view, m_sink, signatures());
  page.onOpen();
  page.onParse();
  EXPECT_EQ(m_sink.lastMessage(), "zero size volume..");
  EXPECT_TRUE(m_view.enabled(RawRecoveryDialog::kChoose));
  EXPECT_FALSE(page.busy());
}

TEST_F(RawPageTest, SignaturesSavedInTheEditorAreWhatTheNextParseLoads) {
  plant(65536, test::makeTypedFile("png", 2000, 2, false));
  RawRecoveryDialog page(m_state, m_view, m_sink, m_dir + "/absent-default.txt");
  page.onOpen();
  m_view.setChecked(RawRecoveryDialog::kLoadDefault, false);
  {
    PageView view;
    RecordingSink sink;
    RawSettingDlg editor(view, sink);
    const std::string mine = m_dir + "/mine.txt";
    editor.onChooseFile(mine);
    page.onSettingClosed(editor.savedFile());  // chosen but nothing saved yet: the page keeps its file
    EXPECT_EQ(m_view.text(RawRecoveryDialog::kPath), m_dir + "/absent-default.txt");
    view.setText(RawSettingDlg::kExtension, "png");
    view.setText(RawSettingDlg::kStartSignature, "0x89,0x50,0x4E,0x47");
    view.setText(RawSettingDlg::kApproximateSize, "700");
    view.setText(RawSettingDlg::kCategory, "Mine");
    ASSERT_TRUE(editor.onSave());
    editor.onClose();
    ASSERT_EQ(editor.savedFile(), mine);
    page.onSettingClosed(editor.savedFile());
    EXPECT_EQ(m_view.text(RawRecoveryDialog::kPath), mine);
  }
  page.onParse();
  page.waitForWorker();
  ASSERT_EQ(page.scanResult(), true);
  const auto results = page.results();
  ASSERT_EQ(results.size(), 1u);
  EXPECT_EQ(results[0].category, "Mine");
  EXPECT_EQ(results[0].offset, 65536);
}

TEST_F(RawPageTest, WhileTheScanRunsSettingParseAndSaveAreRefused) {
  RawRecoveryDialog page(m_state, m_view, m_sink, signatures());
  page.onOpen();
  m_sink.hold();
  page.onParse();
  m_sink.waitUntilHeld();
  EXPECT_TRUE(page.busy());
  EXPECT_FALSE(page.onSetting());
  EXPECT_EQ(m_sink.lastMessage(), "Please wait for the running process.");
  page.onChooseSignatureFile(signatures());
  EXPECT_EQ(m_sink.lastMessage(), "Please wait for the running process.");
  EXPECT_FALSE(m_view.enabled(RawRecoveryDialog::kSave));
  page.onPause();
  EXPECT_EQ(m_sink.lastStatus(), "Pause button pressed");
  page.onResume();
  EXPECT_EQ(m_sink.lastStatus(), "Resume button pressed");
  m_sink.release();
  page.waitForWorker();
  EXPECT_EQ(page.scanResult(), true);
  EXPECT_FALSE(page.busy());
  EXPECT_TRUE(page.onSetting());
  EXPECT_EQ(m_sink.lastStatus(), "Scanning processing done.Select save button to save the data");
  EXPECT_TRUE(m_view.enabled(RawRecoveryDialog::kSave));
  EXPECT_FALSE(m_view.enabled(RawRecoveryDialog::kParse));
}

TEST_F(RawPageTest, SavedResultsAreTheVolumesBytesUnderTheirCategoryFolders) {
  // A JPEG whose end marker begins a block, a PNG start without an end (700 bytes assumed), and a ZIP
  // start whose end lies inside a block and whose rule has no approximate size (dropped at the flush).
  const ByteVector jpeg = test::makeTypedFile("jpg", test::lengthWithEndAtBlockStart("jpg", 3000), 1);
  plant(4096, jpeg);
  plant(65536, test::makeTypedFile("png", 2000, 2, false));
  plant(131072, test::makeTypedFile("zip", 3000, 3));
  RawRecoveryDialog page(m_state, m_view, m_sink, signatures());
  page.onOpen();
  page.onParse();  // the default file is listed in the path box too: loaded twice, same results
  page.waitForWorker();
  ASSERT_EQ(page.scanResult(), true);
  ASSERT_EQ(page.engine()->signatureCount(), 6u);
  const auto results = page.results();
  ASSERT_EQ(results.size(), 2u);
  EXPECT_EQ(results[0].category, "Images");
  EXPECT_EQ(results[0].offset, 4096);
  EXPECT_EQ(results[0].size, static_cast<std::int64_t>(jpeg.size()) + 1);
  EXPECT_EQ(results[0].name, std::to_string(4096 + jpeg.size() - 2) + " .jpg");
  EXPECT_EQ(results[1].name, "65536 .png");
  EXPECT_EQ(results[1].size, 700);
  EXPECT_EQ(page.tree().itemText(page.tree().parentItem(results[0].item)), "Images (2)");

  // The list beside the tree shows a category's results; ticking a row ticks its leaf.
  page.tree().SetCheck(page.tree().rootItem(), false);
  page.onTreeSelect(page.tree().parentItem(results[0].item));
  ASSERT_EQ(page.list().rowCount(), 2u);
  EXPECT_EQ(page.list().row(1).texts, std::vector<std::string>{"65536 .png"});
  page.onSave([] { return std::optional<std::string>("/nowhere"); });
  EXPECT_EQ(m_sink.lastMessage(), "Please select folder to continue the saving process.");
  page.list().clickRowCheckBox(0);
  page.list().clickRowCheckBox(1);
  EXPECT_TRUE(page.tree().GetCheck(results[1].item));

  bool finished = false;
  page.onSaveFinished = [&finished] { finished = true; };
  const std::string out = m_dir + "/out";
  ASSERT_TRUE(createDirectory(out));
  page.onSave([&out] { return std::optional<std::string>(out); });
  page.waitForWorker();
  EXPECT_TRUE(finished);
  EXPECT_EQ(m_sink.lastMessage(), "Saving process completed.Close the application or Click back to continue another process..");
  EXPECT_EQ(page.failureCount(), 0);
  const std::string folder = out + "/RAW RECOVERY/Images (2)/";
  const std::string jpegPath = folder + results[0].name;
  // Sizes round up to whole blocks: the JPEG's extra byte takes a block, the 700-byte PNG is 1024 bytes.
  const std::size_t jpegSaved = (jpeg.size() + 1 + 511) / 512 * 512;
  EXPECT_EQ(test::readHostFile(jpegPath).size(), jpegSaved);
  const ByteVector expected = volumeBytes(4096, jpegSaved);
  EXPECT_EQ(test::readHostFile(jpegPath), std::string(reinterpret_cast<const char*>(expected.data()), expected.size()));
  EXPECT_EQ(test::readHostFile(jpegPath).substr(0, jpeg.size()),
            std::string(reinterpret_cast<const char*>(jpeg.data()), jpeg.size()));
  EXPECT_EQ(fileSize(folder + "65536 .png"), 1024u);
  ASSERT_EQ(page.written().size(), 2u);
  EXPECT_FALSE(std::filesystem::exists(out + "/RAW RECOVERY/Archives"));
}

TEST_F(RawPageTest, AFileInTheWayOfAFolderGetsANumberedFolderAndNothingLeavesTheOutputFolder) {
  plant(0, test::makeTypedFile("png", 600, 4, false));
  RawRecoveryDialog page(m_state, m_view, m_sink, signatures());
  page.onOpen();
  page.onParse();
  page.waitForWorker();
  ASSERT_EQ(page.results().size(), 1u);
  const std::string out = m_dir + "/out2";
  ASSERT_TRUE(createDirectory(out));
  // "RAW RECOVERY" is a link to a folder outside: it is never followed. (On Windows, where this build
  // makes no links, a plain file is in the way instead.)
  const std::string outside = m_dir + "/outside";
  ASSERT_TRUE(createDirectory(outside));
#ifdef _WIN32
  OutputFile inTheWay;
  ASSERT_TRUE(inTheWay.create(out + "/RAW RECOVERY") && inTheWay.close());
#else
  std::filesystem::create_directory_symlink(outside, out + "/RAW RECOVERY");
#endif
  page.onSave([&out] { return std::optional<std::string>(out); });
  page.waitForWorker();
  EXPECT_TRUE(std::filesystem::is_empty(outside));
  EXPECT_EQ(fileSize(out + "/RAW RECOVERY (2)/Images (1)/0 .png"), 1024u);
}

}  // namespace
}  // namespace tessary
