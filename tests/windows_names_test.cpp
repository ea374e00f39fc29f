// Names Windows cannot hold (device names, streams, trailing dots and blanks, reserved characters, names
// that differ in case only): mapped to safe names on Windows, counted and reported like shortened names,
// and left as they are on Linux.
#include <gtest/gtest.h>

#include <map>
#include <memory>

#include "app/wizard_state.h"
#include "disk/vhdx_reader.h"
#include "platform/files.h"
#include "platform/output_folder.h"
#include "results/volume_scan_dlg.h"
#include "support/fixtures.h"
#include "support/memory_parser.h"
#include "support/recording_sink.h"

namespace tessary {
namespace {

TEST(WindowsSafeName, DeviceNamesStreamsTrailingDotsAndReservedCharactersAreMapped) {
  const std::map<std::string, std::string> cases = {
      {"CON.txt", "_CON.txt"},       {"con", "_con"},          {"NUL.tar.gz", "_NUL.tar.gz"},
      {"COM1 .log", "_COM1 .log"},   {"lpt9", "_lpt9"},        {"CONOUT$", "_CONOUT$"},
      {"COM\xC2\xB9", "_COM\xC2\xB9"}, {"a:b", "a_b"},          {"trailing. ", "trailing__"},
      {"...", "___"},                {"x<y>|\"?*.txt", "x_y_____.txt"}, {"back\\slash", "back_slash"},
      {"bell\x07", "bell_"},         {"", "_"}};
  for (const auto& [name, safe] : cases) EXPECT_EQ(windowsSafeName(name), safe) << name;
  // Names Windows holds are kept as they are.
  for (const std::string name : {"CONSOLE", "COM0", "COM10", "nul_", "a.b", ".hidden", "r\xC3\xA9sum\xC3\xA9.doc",
                                 "mid. dle", "AUXILIARY.txt"})
    EXPECT_EQ(windowsSafeName(name), name) << name;
}

class WindowsNamesTest : public ::testing::Test {
 protected:
  void SetUp() override {
    m_out = test::makeTempDir("tessary-winnames-");
    ASSERT_FALSE(m_out.empty());
    m_state.selectedVolume = VolumeEntry{"ntfs", "", "0", "10   MB", 2048};
    m_state.diskReader = std::make_unique<FileReadSeekVHDX>(m_state.disk);
    const std::int64_t docs = m_parser.add(1, "docs", true);
    m_parser.add(docs, "CON.txt", false, "device");
    m_parser.add(docs, "a:b", false, "stream");
    m_parser.add(docs, "trailing. ", false, "trailing");
    m_parser.add(docs, "a.txt", false, "lower");
    m_parser.add(docs, "A.TXT", false, "upper");
    m_parser.add(m_parser.add(1, "aux", true), "in.txt", false, "inside");
  }
  void TearDown() override { test::removeTree(m_out); }

  VolumeScanDlg& saveAll() {
    m_page = std::make_unique<VolumeScanDlg>(m_state, m_view, m_sink);
    m_page->onOpen(1, &m_parser);
    m_page->waitForWorker();
    m_page->onSave(m_out);
    m_page->waitForWorker();
    return *m_page;
  }
  std::string out(const std::string& relative) { return test::readHostFile(m_out + "/" + relative); }

  std::string m_out;
  WizardState m_state;
  PageView m_view;
  RecordingSink m_sink;
  test::MemoryParser m_parser;
  std::unique_ptr<VolumeScanDlg> m_page;
};

#ifdef _WIN32
TEST_F(WindowsNamesTest, NamesWindowsCannotHoldAreSavedSafelyAndReported) {
  VolumeScanDlg& page = saveAll();
  EXPECT_EQ(page.saveEngine().failureCount(), 0);
  EXPECT_EQ(out("docs/_CON.txt"), "device");
  EXPECT_EQ(out("docs/a_b"), "stream");
  // The save trims the blank, as it trims every name; the dot left at the end is mapped.
  EXPECT_EQ(out("docs/trailing_"), "trailing");
  EXPECT_EQ(out("_aux/in.txt"), "inside");
  // Two names that differ in case only are two files, not one written twice.
  EXPECT_EQ(out("docs/a.txt"), "lower");
  EXPECT_EQ(out("docs/A (2).TXT"), "upper");
  std::map<std::string, std::string> renamed;
  for (const auto& name : page.saveEngine().shortenedNames()) {
    EXPECT_EQ(name.why, OutputFolder::Shortened::Why::NotAllowed) << name.name;
    renamed[name.name] = name.path.substr(m_out.size() + 1);
  }
  EXPECT_EQ(renamed, (std::map<std::string, std::string>{
                         {"CON.txt", "docs/_CON.txt"}, {"a:b", "docs/a_b"}, {"trailing.", "docs/trailing_"},
                         {"aux", "_aux"}}));
  bool reported = false;
  for (const std::string& status : m_sink.statuses())
    if (status.find("4 names cannot be held by the output folder and were renamed") != std::string::npos) reported = true;
  EXPECT_TRUE(reported);
}
#else
TEST_F(WindowsNamesTest, LinuxKeepsTheNamesAsTheImageGivesThem) {
  VolumeScanDlg& page = saveAll();
  EXPECT_EQ(page.saveEngine().failureCount(), 0);
  EXPECT_EQ(out("docs/CON.txt"), "device");
  EXPECT_EQ(out("docs/a:b"), "stream");
  EXPECT_EQ(out("docs/trailing."), "trailing");
  EXPECT_EQ(out("docs/a.txt"), "lower");
  EXPECT_EQ(out("docs/A.TXT"), "upper");
  EXPECT_EQ(out("aux/in.txt"), "inside");
  EXPECT_TRUE(page.saveEngine().shortenedNames().empty());
}
#endif

}  // namespace
}  // namespace tessary
