// Hostile ground around a recovery: links and odd objects already in the output folder, names that clash
// or carry control characters, a full or refusing output disk, scratch folders planted by another user,
// truncated and damaged images, images that are not files, option values no page accepts, and disks whose
// metadata claims far more than they hold.
#include <gtest/gtest.h>

#include <csignal>
#include <cstdlib>
#include <map>
#include <span>
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include "app/wizard_state.h"
#include "disk/vhdx_reader.h"
#include "options.h"
#include "platform/files.h"
#include "platform/output_folder.h"
#include "results/volume_scan_dlg.h"
#include "support/cli_runner.h"
#include "support/disk_image_builder.h"
#include "support/fixtures.h"
#include "support/memory_parser.h"
#include "support/ntfs_harness.h"
#include "support/recording_sink.h"
#include "support/vhdx_builder.h"

namespace tessary {
namespace {

bool statusMentions(const RecordingSink& sink, const std::string& text) {
  for (const std::string& status : sink.statuses())
    if (status.find(text) != std::string::npos) return true;
  return false;
}

bool isLink(const std::string& path) {
  struct stat st {};
  return ::lstat(path.c_str(), &st) == 0 && S_ISLNK(st.st_mode);
}

// The results page over an in-memory parser, saving into a scratch output folder.
class HostileOutputTest : public ::testing::Test {
 protected:
  void SetUp() override {
    m_scratch = test::makeTempDir("tessary-hostile-");
    m_out = m_scratch + "/out";
    m_elsewhere = m_scratch + "/elsewhere";
    createDirectory(m_out);
    createDirectory(m_elsewhere);
    m_state.selectedVolume = VolumeEntry{"ntfs", "", "0", "10   MB", 2048};
    m_state.diskReader = std::make_unique<FileReadSeekVHDX>(m_state.disk);
    m_docs = m_parser.add(1, "docs", true);
    m_parser.add(m_docs, "a.txt", false, "alpha");
    m_parser.add(1, "top.txt", false, "top");
  }
  void TearDown() override { test::runCommand("chmod -R u+w '" + m_scratch + "'; rm -rf '" + m_scratch + "'"); }

  VolumeScanDlg& saveAll() {
    m_page = std::make_unique<VolumeScanDlg>(m_state, m_view, m_sink);
    m_page->onOpen(1, &m_parser);
    m_page->waitForWorker();
    m_page->onSave(m_out);
    m_page->waitForWorker();
    return *m_page;
  }
  std::string out(const std::string& relative) { return test::readHostFile(m_out + "/" + relative); }
  std::string listing(const std::string& folder) {
    std::string text;
    test::runCommand("cd '" + folder + "' && find . -mindepth 1 | sort", &text);
    return text;
  }

  std::string m_scratch, m_out, m_elsewhere;
  WizardState m_state;
  PageView m_view;
  RecordingSink m_sink;
  test::MemoryParser m_parser;
  std::unique_ptr<VolumeScanDlg> m_page;
  std::int64_t m_docs = 0;
};

TEST_F(HostileOutputTest, LinksAndOddObjectsInTheOutputFolderAreNeverFollowedNorRemoved) {
  // A link where a folder goes, a link and a FIFO where files go, a hard link to a file outside.
  ASSERT_EQ(::symlink(m_elsewhere.c_str(), (m_out + "/docs").c_str()), 0);
  test::runCommand("echo victim > '" + m_elsewhere + "/victim'");
  ASSERT_EQ(::symlink((m_elsewhere + "/victim").c_str(), (m_out + "/top.txt").c_str()), 0);
  m_parser.add(1, "pipe.txt", false, "pipe");
  ASSERT_EQ(::mkfifo((m_out + "/pipe.txt").c_str(), 0600), 0);
  m_parser.add(1, "hard.txt", false, "hard");
  ASSERT_EQ(::link((m_elsewhere + "/victim").c_str(), (m_out + "/hard.txt").c_str()), 0);
  saveAll();
  EXPECT_EQ(listing(m_elsewhere), "./victim\n");
  EXPECT_EQ(test::readHostFile(m_elsewhere + "/victim"), "victim\n");
  EXPECT_TRUE(isLink(m_out + "/docs"));
  EXPECT_TRUE(isLink(m_out + "/top.txt"));
  EXPECT_EQ(out("docs (2)/a.txt"), "alpha");
  EXPECT_EQ(out("top (2).txt"), "top");
  EXPECT_EQ(out("pipe (2).txt"), "pipe");
  EXPECT_EQ(out("hard (2).txt"), "hard");
  EXPECT_EQ(m_sink.lastStatus(), "Saving Completed..");
}

TEST_F(HostileOutputTest, AnExistingRegularFileIsEmptiedAndRewritten) {
  test::runCommand("head -c 10000 /dev/zero > '" + m_out + "/top.txt'");
  saveAll();
  EXPECT_EQ(out("top.txt"), "top");
  EXPECT_FALSE(pathExists(m_out + "/top (2).txt"));
}

TEST_F(HostileOutputTest, EntriesThatMapToOneHostNameStayDistinctFilesAndControlCharactersAreReplaced) {
  m_parser.add(m_docs, "a/b.txt", false, "slash");
  m_parser.add(m_docs, "a_b.txt", false, "underscore");
  m_parser.add(m_docs, std::string("a\x01" "b.txt"), false, "control");
  m_parser.add(m_docs, "bell\x07\x7f", false, "bell");
  // Two folders of one name are one host folder; their files stay apart.
  m_parser.add(m_parser.add(m_docs, "same", true), "f.txt", false, "first");
  m_parser.add(m_parser.add(m_docs, "same", true), "f.txt", false, "second");
  saveAll();
  EXPECT_EQ(out("docs/a_b.txt"), "slash");
  EXPECT_EQ(out("docs/a_b (2).txt"), "underscore");
  EXPECT_EQ(out("docs/a_b (3).txt"), "control");
  EXPECT_EQ(out("docs/bell__"), "bell");
  EXPECT_EQ(out("docs/same/f.txt"), "first");
  EXPECT_EQ(out("docs/same/f (2).txt"), "second");
  EXPECT_EQ(m_page->saveEngine().failureCount(), 0);
}

TEST(HostileNames, PlainListingsEscapeControlCharacters) {
  EXPECT_EQ(cli::printableText("a\x1b[2Jb\n\x7f"), "a\\x1b[2Jb\\x0a\\x7f");
  EXPECT_EQ(cli::printableText("r\xC3\xA9sum\xC3\xA9.doc"), "r\xC3\xA9sum\xC3\xA9.doc");
}

TEST_F(HostileOutputTest, NamesLongerThanTheHostHoldsAreSavedShortenedAndReported) {
  // 200 times "é" is 404 bytes of UTF-8: more than a Linux folder holds in one name.
  std::string accents;
  for (int i = 0; i < 200; ++i) accents += "\xC3\xA9";
  m_parser.add(m_docs, accents + ".txt", false, "accents");
  m_parser.add(m_docs, std::string(300, 'n'), false, "plain");
  const std::int64_t longFolder = m_parser.add(1, std::string(280, 'f') + ".d", true);
  m_parser.add(longFolder, "inside.txt", false, "inside");
  VolumeScanDlg& page = saveAll();
  EXPECT_EQ(out("docs/a.txt"), "alpha");
  EXPECT_EQ(page.saveEngine().failureCount(), 0);
  const auto& shortened = page.saveEngine().shortenedNames();
  ASSERT_EQ(shortened.size(), 3u);
  std::map<std::string, std::string> savedAs;
  for (const auto& name : shortened) savedAs[name.name] = name.path;
  const std::string accentPath = savedAs.at(accents + ".txt");
  EXPECT_EQ(test::readHostFile(accentPath), "accents");
  const std::string accentName = accentPath.substr(accentPath.rfind('/') + 1);
  EXPECT_LE(accentName.size(), 255u);
  EXPECT_EQ(accentName.substr(accentName.size() - 4), ".txt");
  EXPECT_EQ(accentName.substr(0, 20), accents.substr(0, 20));
  EXPECT_EQ(test::readHostFile(savedAs.at(std::string(300, 'n'))), "plain");
  EXPECT_EQ(test::readHostFile(savedAs.at(std::string(280, 'f') + ".d") + "/inside.txt"), "inside");
  EXPECT_TRUE(m_sink.sawStatus("Saving Completed.."));
  EXPECT_TRUE(statusMentions(m_sink, "3 names were too long for the output folder and were shortened"));
}

TEST(ShortenedName, KeepsTheExtensionAndWholeCharactersAndTellsLongNamesApart) {
  EXPECT_EQ(shortenedName("short.txt", 255), "short.txt");
  const std::string a = shortenedName(std::string(300, 'x') + "a.jpeg", 255);
  const std::string b = shortenedName(std::string(300, 'x') + "b.jpeg", 255);
  EXPECT_EQ(a.size(), 255u);
  EXPECT_NE(a, b);
  EXPECT_EQ(a.substr(a.size() - 5), ".jpeg");
  EXPECT_EQ(shortenedName(std::string(300, 'x') + "a.jpeg", 255), a);  // the same name, the same result
  // A cut inside a two-byte character drops the whole character.
  std::string accents;
  for (int i = 0; i < 200; ++i) accents += "\xC3\xA9";
  const std::string cut = shortenedName(accents, 100);
  EXPECT_LE(cut.size(), 100u);
  EXPECT_EQ(cut.substr(0, cut.find('~')).size() % 2, 0u);
  // An extension too long to keep is part of the name; a limit below the hash still gives a name.
  const std::string noExtension = shortenedName(std::string(100, 'y') + "." + std::string(100, 'z'), 60);
  EXPECT_LE(noExtension.size(), 60u);
  EXPECT_FALSE(shortenedName(std::string(40, 'q') + ".txt", 8).empty());
}

// A chain of 10,000 folders is made, a file written at its bottom, and the walk climbs back up making a
// sibling on every hundredth level, as a depth-first save does: every folder is where it belongs, and only
// a bounded number of descriptors is held whatever the depth.
TEST_F(HostileOutputTest, TenThousandLevelsAreMadeAndClimbedWithFewDescriptorsHeld) {
  auto openDescriptors = [] {
    std::string text;
    test::runCommand("ls /proc/" + std::to_string(::getpid()) + "/fd | wc -l", &text);
    return std::stoi(text);
  };
  const int before = openDescriptors();
  OutputFolder output(m_out);
  std::vector<OutputFolder::Folder> chain{OutputFolder::kRootFolder};
  for (int depth = 0; depth < 10000; ++depth) {
    const auto made = output.folder(chain.back(), "d");
    ASSERT_TRUE(made.has_value()) << depth;
    chain.push_back(*made);
  }
  OutputFile file;
  ASSERT_TRUE(output.file(file, chain.back(), "bottom.txt", 1).has_value());
  ASSERT_TRUE(file.write(std::as_bytes(std::span("bottom", 6))));
  file.close();
  EXPECT_LT(openDescriptors() - before, 400);
  for (int depth = 9900; depth >= 0; depth -= 100) {
    const auto sibling = output.folder(chain[static_cast<std::size_t>(depth)], "s" + std::to_string(depth));
    ASSERT_TRUE(sibling.has_value()) << depth;
    ASSERT_TRUE(output.file(file, *sibling, "f.txt", 2 + depth).has_value());
    file.close();
  }
  EXPECT_LT(openDescriptors() - before, 400);
  // Checked from the host's side, one level at a time (the whole path is longer than the host allows).
  int fd = ::open(m_out.c_str(), O_RDONLY | O_DIRECTORY);
  for (int depth = 0; depth < 10000 && fd >= 0; ++depth) {
    if (depth % 100 == 0) {
      struct stat st {};
      EXPECT_EQ(::fstatat(fd, ("s" + std::to_string(depth) + "/f.txt").c_str(), &st, 0), 0) << depth;
    }
    const int next = ::openat(fd, "d", O_RDONLY | O_DIRECTORY | O_NOFOLLOW);
    ::close(fd);
    fd = next;
  }
  ASSERT_GE(fd, 0);
  struct stat st {};
  EXPECT_EQ(::fstatat(fd, "bottom.txt", &st, 0), 0);
  EXPECT_EQ(st.st_size, 6);
  ::close(fd);
  // The path of a deep folder is every level's name.
  EXPECT_EQ(output.path(chain[3]), m_out + "/d/d/d");
  EXPECT_EQ(output.at(m_out + "/d/d/d"), chain[3]);
}

TEST_F(HostileOutputTest, AnUnwritableOutputFolderWritesNothingAndSaysSo) {
  if (::geteuid() == 0) GTEST_SKIP() << "root writes into any folder";
  ASSERT_EQ(::chmod(m_out.c_str(), 0555), 0);
  VolumeScanDlg& page = saveAll();
  EXPECT_EQ(listing(m_out), "");
  EXPECT_GT(page.saveEngine().failureCount(), 0);
  EXPECT_TRUE(statusMentions(m_sink, "could not be written"));
}

// A file-size limit refuses one file with EFBIG; the files after it still fit and are written.
TEST_F(HostileOutputTest, AFileTooLargeForTheOutputFailsAloneAndTheSaveGoesOn) {
  m_parser.add(1, "big.bin", false, std::string(256 * 1024, 'b'));
  m_parser.add(1, "later.txt", false, "later");
  struct rlimit old {};
  ASSERT_EQ(::getrlimit(RLIMIT_FSIZE, &old), 0);
  const auto oldHandler = std::signal(SIGXFSZ, SIG_IGN);
  struct rlimit small = old;
  small.rlim_cur = 64 * 1024;
  ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &small), 0);
  VolumeScanDlg& page = saveAll();
  ::setrlimit(RLIMIT_FSIZE, &old);
  std::signal(SIGXFSZ, oldHandler);
  EXPECT_FALSE(page.saveEngine().outputFull());
  EXPECT_EQ(page.saveEngine().failureCount(), 1);
  EXPECT_TRUE(statusMentions(m_sink, "1 file could not be written; the first: " + m_out + "/big.bin"));
  EXPECT_TRUE(statusMentions(m_sink, "larger than the output file system accepts"));
  EXPECT_EQ(out("later.txt"), "later");
  // What each file holds is what the engine says it wrote, and only the refused one is incomplete.
  for (const auto& file : page.saveEngine().written()) {
    EXPECT_EQ(test::readHostFile(file.path).size(), file.bytes) << file.path;
    EXPECT_EQ(file.complete, file.path != m_out + "/big.bin") << file.path;
  }
}

TEST_F(HostileOutputTest, RecycleBinNamesComeBackWithoutAnyScratchFolderAndDespiteAPlantedOne) {
  const std::int64_t bin = m_parser.add(m_parser.add(1, "$RECYCLE.BIN", true), "S-1-5-21-1-2-3-1001", true);
  std::string info(24, '\0');
  info[0] = '\1';  // the first record layout: the path at byte 24
  for (char c : std::string("C:\\kept.txt")) {
    info.push_back(c);
    info.push_back('\0');
  }
  info.append(2, '\0');
  m_parser.add(bin, "$IAB12CD.txt", false, info);
  const std::int64_t data = m_parser.add(bin, "$RAB12CD.txt", false, "kept");
  // Another user's link where a scratch folder would go, and a temporary directory that cannot be used.
  const std::string tmp = m_scratch + "/tmp";
  createDirectory(tmp);
  ASSERT_EQ(::symlink(m_elsewhere.c_str(), (tmp + "/tessary-recycle-" + std::to_string(::getpid())).c_str()), 0);
  const char* oldTmp = std::getenv("TMPDIR");
  const std::string keptTmp = oldTmp ? oldTmp : "";
  for (const std::string& dir : {tmp, m_scratch + "/missing"}) {
    ::setenv("TMPDIR", dir.c_str(), 1);
    m_parser.entry(data).name = "$RAB12CD.txt";
    m_sink.clear();
    saveAll();
    EXPECT_EQ(m_parser.name(data), "kept.txt") << dir;
    EXPECT_EQ(out("$RECYCLE.BIN/S-1-5-21-1-2-3-1001/kept.txt"), "kept");
  }
  if (oldTmp) ::setenv("TMPDIR", keptTmp.c_str(), 1); else ::unsetenv("TMPDIR");
  EXPECT_EQ(listing(m_elsewhere), "");
  EXPECT_EQ(listing(tmp), "./tessary-recycle-" + std::to_string(::getpid()) + "\n");
}

// The command line over real images and crafted ones.
class HostileImageTest : public ::testing::Test {
 protected:
  void SetUp() override { m_dir = test::makeTempDir("tessary-hostile-image-"); }
  void TearDown() override { test::runCommand("rm -rf '" + m_dir + "'"); }
  std::string m_dir;
};

TEST_F(HostileImageTest, NoCommandChangesAByteOfTheImage) {
  if (!test::haveFixture("ntfs_tree.vhdx")) GTEST_SKIP() << "fixture missing";
  const std::string image = m_dir + "/tree.vhdx";
  test::runCommand("cp '" + test::fixturePath("ntfs_tree.vhdx") + "' '" + image + "'");
  const std::string before = test::fileSha256(image);
  const std::vector<std::vector<std::string>> commands = {
      {"info", image},
      {"volumes", image},
      {"volumes", image, "--advanced", "--end-sector", "4096"},
      {"ls", image, "--volume", "0"},
      {"recover", image, "--volume", "0", "--out", m_dir + "/out"},
  };
  for (const auto& args : commands) {
    const test::CliResult result = test::runTessary(args);
    EXPECT_EQ(result.status, 0) << args[0] << ": " << result.err;
    EXPECT_EQ(test::fileSha256(image), before) << args[0];
  }
}

TEST_F(HostileImageTest, ATruncatedImageIsReportedByInfoAndByEveryCommandThatReadPastItsEnd) {
  if (!test::haveFixture("ntfs_tree.vhdx")) GTEST_SKIP() << "fixture missing";
  const std::string image = m_dir + "/half.vhdx";
  const std::string source = test::fixturePath("ntfs_tree.vhdx");
  const std::string bytes = test::readHostFile(source);
  test::runCommand("head -c " + std::to_string(bytes.size() / 2) + " '" + source + "' > '" + image + "'");
  const test::CliResult info = test::runTessary({"info", image});
  EXPECT_EQ(info.status, 0);
  EXPECT_NE(info.err.find("warning: The image file is shorter than its metadata claims"), std::string::npos)
      << info.err;
  // The listing reads only the MFT, which lies in the kept half: it has nothing to warn about.
  const test::CliResult ls = test::runTessary({"ls", image, "--volume", "0"});
  EXPECT_EQ(ls.status, 0) << ls.err;
  const test::CliResult recover = test::runTessary({"recover", image, "--volume", "0", "--out", m_dir + "/out"});
  EXPECT_NE(recover.err.find("holds zeros where the image ended before its data"), std::string::npos)
      << recover.err;
  EXPECT_NE(recover.err.find("were read as zeros"), std::string::npos) << recover.err;
}

TEST_F(HostileImageTest, DamagedVhdxMetadataIsShownAsWarningsWithoutRefusingTheImage) {
  std::vector<std::byte> bytes = test::buildVhdx(test::VhdxShape{});
  bytes[64 * 1024 + 100] ^= std::byte{0x5A};   // inside the first header, which its checksum covers
  bytes[192 * 1024 + 200] ^= std::byte{0x5A};  // the first region table's reserved bytes, also covered
  const std::string image = m_dir + "/damaged.vhdx";
  test::writeBytes(image, bytes);
  const test::CliResult info = test::runTessary({"info", image});
  EXPECT_EQ(info.status, 0) << info.err;
  EXPECT_NE(info.err.find("warning: The VHDX header at 64 KiB fails its checksum."), std::string::npos) << info.err;
  EXPECT_NE(info.err.find("warning: The VHDX region table at 192 KiB fails its checksum."), std::string::npos)
      << info.err;
}

TEST_F(HostileImageTest, AFifoIsRefusedAtOnceAndARefusedCommandLeavesNoOutputFolder) {
  const std::string fifo = m_dir + "/image.vhdx";
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  const test::CliResult info = test::runTessary({"info", fifo});
  EXPECT_EQ(info.status, 1);
  EXPECT_EQ(info.err, "Please select valid path to continue the recovery process.\n");
  const test::CliResult recover = test::runTessary({"recover", fifo, "--volume", "0", "--out", m_dir + "/out"});
  EXPECT_EQ(recover.status, 1);
  EXPECT_FALSE(pathExists(m_dir + "/out"));
}

TEST_F(HostileImageTest, OptionValuesNoPageAcceptsAreBadUsageNamingTheOption) {
  test::writeBytes(m_dir + "/disk.vhdx", test::buildVhdx(test::VhdxShape{}));
  const std::vector<std::pair<std::string, std::string>> bad = {
      {"--block-size", "0"}, {"--block-size", "-1"}, {"--logical-sector-size", "0"}, {"--disk-size-mib", "abc"}};
  for (const auto& [option, value] : bad) {
    const test::CliResult result = test::runTessary({"info", m_dir + "/disk.vhdx", option, value});
    EXPECT_EQ(result.status, 2) << option << ' ' << value;
    EXPECT_EQ(result.err.rfind(option, 0), 0u) << result.err;
  }
}

TEST_F(HostileImageTest, TheAdvancedScanOfAHugeMostlyEmptyDiskCostsWhatItsDataCosts) {
  // A 4 TiB disk that holds one 32 MiB block: an NTFS boot record at sector 2048. Reading every sector
  // would take hours; the scan only visits the block with data.
  test::DiskImage boot(4096);
  boot.ntfsBoot(2048, 40000);
  test::VhdxShape shape;
  shape.blockSize = 32u << 20;
  shape.diskSize = std::uint64_t{1} << 42;
  std::vector<std::byte> block(shape.blockSize);
  for (const auto& [sector, bytes] : boot.sectors())
    std::copy(bytes.begin(), bytes.end(), block.begin() + static_cast<std::ptrdiff_t>(sector * 512));
  shape.blocks[0] = std::move(block);
  const std::string image = m_dir + "/huge.vhdx";
  test::writeBytes(image, test::buildVhdx(shape));
  const test::CliResult result = test::runTessary({"volumes", image, "--advanced", "--json"});
  ASSERT_EQ(result.status, 0) << result.err;
  const auto rows = result.objects();
  ASSERT_FALSE(rows.empty());
  EXPECT_EQ(rows[0]["file_system"], "NTFS");
  EXPECT_EQ(rows[0]["start_sector"], 2048);
}

}  // namespace
}  // namespace tessary
