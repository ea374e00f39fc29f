// A file system made up here (a boot test and a parser that lists one file) joins with one registry row:
// the partition-table and boot-record scans find it, the recovery-mode page offers its modes, and the
// command line lists it by its label and by --fs.
#include <gtest/gtest.h>

#include <filesystem>
#include <set>

#include "app/parce_mode_ntfs_dlg.h"
#include "app/wizard_state.h"
#include "disk/read_write_interface.h"
#include "fs/registry.h"
#include "support/cli_runner.h"
#include "support/fixtures.h"
#include "support/made_up_file_system.h"
#include "support/recording_sink.h"

namespace tessary {
namespace {

std::set<std::string> listedPaths(const test::CliResult& run) {
  std::set<std::string> paths;
  for (const auto& o : run.objects())
    if (o.contains("path")) paths.insert(o["path"].get<std::string>());
  return paths;
}

TEST(MadeUpFileSystem, OneRowMakesItFoundOfferedAndListed) {
  const AddedFileSystem added(test::madeUpFileSystemRow());
  const std::string dir = test::makeTempDir("tessary-testfs-");
  const std::string image = dir + "/disk.vhdx";
  test::writeMadeUpDisk(image);

  struct Found {
    std::string label;
    std::int64_t start;
    bool operator==(const Found&) const = default;
  };
  auto volumes = [&](bool advanced) {
    std::vector<std::string> args{"volumes", image, "--json"};
    if (advanced) args.push_back("--advanced");
    const test::CliResult run = test::runTessary(args);
    EXPECT_EQ(run.status, 0) << run.err;
    std::vector<Found> found;
    for (const auto& o : run.objects())
      if (o.contains("file_system"))
        found.push_back({o["file_system"].get<std::string>(), o["start_sector"].get<std::int64_t>()});
    return found;
  };
  EXPECT_EQ(volumes(false), (std::vector<Found>{{"TESTFS", 2048}, {"Unknown", 16384}}));
  const std::vector<Found> advanced = volumes(true);
  EXPECT_NE(std::find(advanced.begin(), advanced.end(), Found{"TESTFS", 2048}), advanced.end());

  // The recovery-mode page offers the modes its row names: Standard alone.
  WizardState state;
  state.selectedVolume = VolumeEntry{"TESTFS", "", "0", "4  MB", 2048};
  PageView view;
  RecordingSink sink;
  ParceModeNtfsDlg page(state, view, sink);
  page.onOpen();
  EXPECT_TRUE(view.shown(ParceModeNtfsDlg::kStandard));
  EXPECT_FALSE(view.shown(ParceModeNtfsDlg::kAdvanced));
  EXPECT_FALSE(view.shown(ParceModeNtfsDlg::kDeep));

  const test::CliResult byLabel = test::runTessary({"ls", image, "--volume", "0", "--json"});
  EXPECT_EQ(byLabel.status, 0) << byLabel.err;
  EXPECT_EQ(listedPaths(byLabel), std::set<std::string>{"hello.txt"});
  const test::CliResult forced = test::runTessary({"ls", image, "--volume", "1", "--fs", "TESTFS", "--json"});
  EXPECT_EQ(forced.status, 0) << forced.err;
  EXPECT_EQ(listedPaths(forced), std::set<std::string>{"hello.txt"});
  std::filesystem::remove_all(dir);
}

}  // namespace
}  // namespace tessary
