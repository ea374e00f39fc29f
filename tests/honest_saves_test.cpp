// Saves that never claim more than they wrote (short and failed writers, holes, files the output cannot
// hold), recycle-bin "$I" records of both layouts, and parses that fail: through the save engine over an
// in-memory parser, and through the command line on damaged copies of real volumes.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <map>

#include "app/wizard_state.h"
#include "disk/vhdx_reader.h"
#include "platform/data_sink.h"
#include "platform/files.h"
#include "results/volume_scan_dlg.h"
#include "support/cli_runner.h"
#include "support/fixtures.h"
#include "support/memory_parser.h"
#include "support/recording_sink.h"
#include "support/sha256.h"

namespace tessary {
namespace {

using nlohmann::json;

std::vector<std::byte> le(std::uint64_t value, int bytes) {
  std::vector<std::byte> out;
  for (int i = 0; i < bytes; ++i) out.push_back(static_cast<std::byte>((value >> (8 * i)) & 0xFF));
  return out;
}

std::vector<std::byte> utf16(const std::u16string& text) {
  std::vector<std::byte> out;
  for (char16_t c : text) {
    out.push_back(static_cast<std::byte>(c & 0xFF));
    out.push_back(static_cast<std::byte>(c >> 8));
  }
  return out;
}

// A "$I" record: version, size and time, then (version 2) the length in units, then the path's bytes.
std::vector<std::byte> infoRecord(std::uint64_t version, std::optional<std::uint32_t> units,
                                  const std::vector<std::byte>& path) {
  std::vector<std::byte> out = le(version, 8);
  for (int part : {8, 8}) {
    const auto bytes = le(0x1234, part);
    out.insert(out.end(), bytes.begin(), bytes.end());
  }
  if (units) {
    const auto bytes = le(*units, 4);
    out.insert(out.end(), bytes.begin(), bytes.end());
  }
  out.insert(out.end(), path.begin(), path.end());
  return out;
}

TEST(RecycleInfoRecord, EachLayoutGivesItsOwnPathAndRecordsOfNeitherGiveNone) {
  const std::u16string path = u"C:\\Users\\me\\Gr\u00fc\u00dfe.txt";
  std::vector<std::byte> v1 = utf16(path);
  v1.resize(520);
  EXPECT_EQ(recycleBinFormerPath(infoRecord(1, std::nullopt, v1)), path);
  std::vector<std::byte> v2 = utf16(path + u'\0');
  const auto units = static_cast<std::uint32_t>(path.size() + 1);
  EXPECT_EQ(recycleBinFormerPath(infoRecord(2, units, v2)), path);
  // Read as the first layout, a second-layout record gives its length as one junk character: never so.
  EXPECT_NE(recycleBinFormerPath(infoRecord(2, units, v2)), std::u16string(1, static_cast<char16_t>(units)));
  // A second-layout path longer than the first layout's field.
  const std::u16string deep = u"C:\\" + std::u16string(400, u'd') + u"\\long.txt";
  EXPECT_EQ(recycleBinFormerPath(infoRecord(2, static_cast<std::uint32_t>(deep.size() + 1), utf16(deep + u'\0'))), deep);
  // A length past the record's end, a zero length, an unknown version, a record cut inside its header,
  // a path that is empty: none of them names anything.
  EXPECT_EQ(recycleBinFormerPath(infoRecord(2, units + 1, v2)), std::nullopt);
  EXPECT_EQ(recycleBinFormerPath(infoRecord(2, 0xFFFFFFFF, v2)), std::nullopt);
  EXPECT_EQ(recycleBinFormerPath(infoRecord(2, 0, v2)), std::nullopt);
  EXPECT_EQ(recycleBinFormerPath(infoRecord(3, std::nullopt, v1)), std::nullopt);
  EXPECT_EQ(recycleBinFormerPath(infoRecord(0, std::nullopt, v1)), std::nullopt);
  EXPECT_EQ(recycleBinFormerPath(std::vector<std::byte>(20)), std::nullopt);
  EXPECT_EQ(recycleBinFormerPath(infoRecord(1, std::nullopt, std::vector<std::byte>(520))), std::nullopt);
  // A first-layout record cut short keeps what it holds, up to its last whole unit.
  std::vector<std::byte> cut = infoRecord(1, std::nullopt, utf16(u"C:\\ab"));
  cut.push_back(std::byte{0x41});
  EXPECT_EQ(recycleBinFormerPath(cut), u"C:\\ab");
}

TEST(MemorySinkHoles, AHostileHoleStopsAtTheLimitAtOnceAndFails) {
  MemorySink sink(100);
  ASSERT_TRUE(sink.write(std::vector<std::byte>(10, std::byte{7})));
  EXPECT_TRUE(sink.hole(20));
  EXPECT_EQ(sink.written(), 30u);
  EXPECT_FALSE(sink.hole(std::uint64_t{1} << 62));
  EXPECT_TRUE(sink.overflowed());
  EXPECT_EQ(sink.written(), 100u);
  EXPECT_EQ(sink.bytes()[15], std::byte{0});
}

bool statusMentions(const RecordingSink& sink, const std::string& text) {
  for (const std::string& status : sink.statuses())
    if (status.find(text) != std::string::npos) return true;
  return false;
}

// The results page over an in-memory parser whose entries can be damaged, saving into a scratch folder.
class SaveHonestyTest : public ::testing::Test {
 protected:
  void SetUp() override {
    m_scratch = test::makeTempDir("tessary-honest-");
    m_out = m_scratch + "/out";
    createDirectory(m_out);
    m_state.selectedVolume = VolumeEntry{"ntfs", "", "0", "10   MB", 2048};
    m_state.diskReader = std::make_unique<FileReadSeekVHDX>(m_state.disk);
    m_parser.add(1, "whole.txt", false, "whole");
  }
  void TearDown() override { test::removeTree(m_scratch); }

  VolumeScanDlg& open() {
    m_page = std::make_unique<VolumeScanDlg>(m_state, m_view, m_sink);
    m_page->onOpen(1, &m_parser);
    m_page->waitForWorker();
    return *m_page;
  }
  VolumeScanDlg& saveAll() {
    open();
    m_page->onSave(m_out);
    m_page->waitForWorker();
    return *m_page;
  }
  std::map<std::string, SaveEngine::WrittenFile> written() const {
    std::map<std::string, SaveEngine::WrittenFile> out;
    for (const auto& file : m_page->saveEngine().written()) out[file.path.substr(m_out.size() + 1)] = file;
    return out;
  }

  std::string m_scratch, m_out;
  WizardState m_state;
  PageView m_view;
  RecordingSink m_sink;
  test::MemoryParser m_parser;
  std::unique_ptr<VolumeScanDlg> m_page;
};

TEST_F(SaveHonestyTest, AFileWrittenShortOfItsSizeIsCountedIncompleteAndNamedInTheClosingText) {
  m_parser.entry(m_parser.add(1, "short.bin", false, std::string(11264, 's'))).claimedSize = 777777;
  VolumeScanDlg& page = saveAll();
  EXPECT_EQ(page.saveEngine().failureCount(), 1);
  EXPECT_EQ(page.saveEngine().incompleteCount(), 1);
  const auto files = written();
  EXPECT_FALSE(files.at("short.bin").complete);
  EXPECT_EQ(files.at("short.bin").bytes, 11264u);
  EXPECT_TRUE(files.at("whole.txt").complete);
  EXPECT_TRUE(statusMentions(m_sink, "1 file is incomplete; the first: " + m_out + "/short.bin (11264 of 777777 bytes written)"));
  // What could be read is kept: the short file is there with its bytes.
  EXPECT_EQ(test::readHostFile(m_out + "/short.bin").size(), 11264u);
}

TEST_F(SaveHonestyTest, AWriterThatReportsFailureLeavesAnIncompleteFileThoughItsSizeIsReached) {
  m_parser.entry(m_parser.add(1, "unread.bin", false, "zeros where a read failed")).writerFails = true;
  m_parser.add(1, "other.txt", false, "other");
  VolumeScanDlg& page = saveAll();
  EXPECT_EQ(page.saveEngine().incompleteCount(), 1);
  EXPECT_FALSE(written().at("unread.bin").complete);
  EXPECT_TRUE(written().at("other.txt").complete);
  EXPECT_TRUE(statusMentions(m_sink, "/unread.bin (its data could not all be read)"));
}

TEST_F(SaveHonestyTest, HostFailuresAndIncompleteFilesAreCountedApartInOneClosingLine) {
  // A name too long for the host is saved shortened, not refused; the short files are incomplete.
  m_parser.add(1, std::string(300, 'n'), false, "a name the host shortens");
  m_parser.entry(m_parser.add(1, "a.bin", false, "a")).claimedSize = 2;
  m_parser.entry(m_parser.add(1, "b.bin", false, "b")).claimedSize = 2;
  VolumeScanDlg& page = saveAll();
  EXPECT_EQ(page.saveEngine().failureCount(), 2);
  EXPECT_EQ(page.saveEngine().incompleteCount(), 2);
  EXPECT_TRUE(statusMentions(m_sink, "2 files are incomplete; the first: "));
  EXPECT_EQ(page.saveEngine().shortenedNames().size(), 1u);
}

TEST_F(SaveHonestyTest, HolesCountAsWrittenAndLeaveAWholeFileThatTakesNoRoomForThem) {
  const std::int64_t sparse = m_parser.add(1, "sparse.bin", false, "tail");
  m_parser.entry(sparse).leadingHole = 64 * 1024 * 1024;
  saveAll();
  const auto files = written();
  EXPECT_TRUE(files.at("sparse.bin").complete);
  EXPECT_EQ(files.at("sparse.bin").bytes, 64u * 1024 * 1024 + 4);
  struct stat st {};
  ASSERT_EQ(::stat((m_out + "/sparse.bin").c_str(), &st), 0);
  EXPECT_EQ(st.st_size, 64 * 1024 * 1024 + 4);
  EXPECT_EQ(m_page->saveEngine().failureCount(), 0);
}

TEST_F(SaveHonestyTest, AHoleNoOutputFileCanHoldIsACountedFailureAndTheSaveGoesOn) {
  const std::int64_t huge = m_parser.add(1, "huge.bin", false, "x");
  m_parser.entry(huge).leadingHole = std::uint64_t{1} << 62;
  m_parser.add(1, "later.txt", false, "later");
  VolumeScanDlg& page = saveAll();
  EXPECT_EQ(page.saveEngine().failureCount(), 1);
  EXPECT_FALSE(page.saveEngine().outputFull());
  EXPECT_FALSE(written().at("huge.bin").complete);
  EXPECT_TRUE(statusMentions(m_sink, "the first: " + m_out + "/huge.bin (larger than the output file system accepts"));
  EXPECT_EQ(test::readHostFile(m_out + "/later.txt"), "later");
}

TEST_F(SaveHonestyTest, ARecycleInfoOfHostileSizeIsNeverReadAndItsPartnerKeepsItsName) {
  const std::int64_t user = m_parser.add(m_parser.add(1, "$RECYCLE.BIN", true), "S-1-5-21-1-2-3-1001", true);
  std::vector<std::byte> record = infoRecord(2, 9, utf16(std::u16string(u"C:\\x.txt") + u'\0'));
  const std::string info(reinterpret_cast<const char*>(record.data()), record.size());
  // One record claims a size no "$I" has and writes a vast hole first; the other is sound.
  const std::int64_t hostile = m_parser.add(user, "$IHUGE01.txt", false, info);
  m_parser.entry(hostile).leadingHole = std::uint64_t{1} << 60;
  const std::int64_t kept = m_parser.add(user, "$RHUGE01.txt", false, "kept");
  m_parser.add(user, "$IGOOD01.txt", false, info);
  const std::int64_t restored = m_parser.add(user, "$RGOOD01.txt", false, "restored");
  open();
  EXPECT_EQ(m_parser.name(kept), "$RHUGE01.txt");
  EXPECT_EQ(m_parser.name(restored), "x.txt");
}

TEST_F(SaveHonestyTest, AFailedParseIsKeptByThePageWithTheStatusThatSaysWhy) {
  m_parser.outcome = ParserSlot::WorkerOutcome{"", "Work Aborted....", true};
  EXPECT_EQ(open().parseFailure(), std::optional<std::string>("Work Aborted...."));
  m_parser.outcome = ParserSlot::WorkerOutcome{"Selected Drive is not in Fat16 Format", "", true};
  EXPECT_EQ(open().parseFailure(), std::optional<std::string>("Selected Drive is not in Fat16 Format"));
  m_parser.outcome.reset();
  EXPECT_EQ(open().parseFailure(), std::nullopt);
}

// ---- Damaged copies of real volumes, through the command line.

// A fixed VHD of a fixture: the disk's bytes from offset 0, so a test can damage them in place.
class DamagedCopy {
 public:
  DamagedCopy(const std::string& fixture, const std::string& name) {
    m_dir = test::makeTempDir("tessary-damaged-");
    m_path = m_dir + "/" + name + ".vhd";
    m_ok = test::runCommand("qemu-img convert -f vhdx -O vpc -o subformat=fixed '" + test::fixturePath(fixture) +
                            "' '" + m_path + "'") == 0;
  }
  ~DamagedCopy() { test::removeTree(m_dir); }
  bool ok() const { return m_ok; }
  const std::string& path() const { return m_path; }
  const std::string& dir() const { return m_dir; }
  std::vector<unsigned char> read(std::uint64_t at, std::size_t count) const {
    std::vector<unsigned char> out(count);
    std::ifstream in(m_path, std::ios::binary);
    in.seekg(static_cast<std::streamoff>(at));
    in.read(reinterpret_cast<char*>(out.data()), static_cast<std::streamsize>(count));
    return out;
  }
  void write(std::uint64_t at, const std::vector<unsigned char>& bytes) const {
    std::fstream io(m_path, std::ios::binary | std::ios::in | std::ios::out);
    io.seekp(static_cast<std::streamoff>(at));
    io.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
  }

 private:
  std::string m_dir, m_path;
  bool m_ok = false;
};

bool haveTools() { return test::runCommand("command -v qemu-img >/dev/null && command -v mshowfat >/dev/null") == 0; }

std::map<std::string, json> byPath(const test::CliResult& result) {
  std::map<std::string, json> out;
  for (const auto& o : result.objects()) out[o["path"].get<std::string>()] = o;
  return out;
}

TEST(DamagedFat16, AChainCutShortIsAnIncompleteFileInRecoverAndSearchAndExitsOne) {
  if (!test::haveFixture("fat16.vhdx") || !haveTools()) GTEST_SKIP() << "no fixture or tools";
  DamagedCopy copy("fat16.vhdx", "fat16-cut");
  ASSERT_TRUE(copy.ok());
  const std::uint64_t volume = 2048 * 512;
  // The file's clusters as mtools reads them; its chain is ended after the third cluster, in both FATs.
  std::string chain;
  ASSERT_EQ(test::runCommand("MTOOLS_SKIP_CHECK=1 mshowfat -i '" + copy.path() + "@@" + std::to_string(volume) +
                                 "' '::/Fragmented file.bin'",
                             &chain),
            0);
  unsigned first = 0;
  ASSERT_EQ(std::sscanf(chain.c_str() + chain.find('<'), "<%u-", &first), 1) << chain;
  const auto boot = copy.read(volume, 512);
  const unsigned sectorBytes = boot[11] | boot[12] << 8;
  const unsigned reserved = boot[14] | boot[15] << 8;
  const unsigned fats = boot[16];
  const unsigned perFat = boot[22] | boot[23] << 8;
  ASSERT_EQ(sectorBytes, 512u);
  for (unsigned copyIndex = 0; copyIndex < fats; ++copyIndex)
    copy.write(volume + (reserved + copyIndex * perFat) * 512ull + (first + 2) * 2ull, {0xFF, 0xFF});

  const std::string out = copy.dir() + "/out";
  const auto recovered = test::runTessary({"recover", copy.path(), "--volume", "0", "--out", out, "--json", "--quiet"});
  EXPECT_EQ(recovered.status, 1);
  const auto files = byPath(recovered);
  ASSERT_EQ(files.count("Fragmented file.bin"), 1u) << recovered.out;
  EXPECT_EQ(files.at("Fragmented file.bin")["written"], 3 * 512);
  EXPECT_EQ(files.at("Fragmented file.bin")["complete"], false);
  ASSERT_EQ(files.count("README.TXT"), 1u);
  EXPECT_EQ(files.at("README.TXT")["complete"], true);
  EXPECT_NE(recovered.err.find("incomplete: " + out + "/Fragmented file.bin (1536 of 4708 bytes written)"),
            std::string::npos)
      << recovered.err;
  EXPECT_NE(recovered.err.find("1 file is incomplete; the first: "), std::string::npos) << recovered.err;

  const auto found = test::runTessary({"search", copy.path(), "--volume", "0", "Fragmented", "--out",
                                       copy.dir() + "/found", "--quiet"});
  EXPECT_EQ(found.status, 1);
  EXPECT_NE(found.err.find("1 file is incomplete"), std::string::npos) << found.err;
  // The whole files of the same volume still save with exit 0.
  const auto whole = test::runTessary({"recover", copy.path(), "--volume", "0", "--out", copy.dir() + "/whole",
                                       "--json", "--quiet", "README.TXT"});
  EXPECT_EQ(whole.status, 0) << whole.err;
}

// The catalog record of a file in an HFS+ volume: where its fork's first extent's block count lies.
std::optional<std::uint64_t> hfsFirstExtentCount(const DamagedCopy& copy, std::uint64_t from, std::uint64_t to,
                                                 const std::string& name, std::uint32_t cnid) {
  const auto bytes = copy.read(from, static_cast<std::size_t>(to - from));
  std::vector<unsigned char> key;
  for (char c : name) {
    key.push_back(0);
    key.push_back(static_cast<unsigned char>(c));
  }
  auto be = [&](std::size_t at, int n) {
    std::uint64_t v = 0;
    for (int i = 0; i < n; ++i) v = v << 8 | bytes[at + i];
    return v;
  };
  for (auto it = std::search(bytes.begin(), bytes.end(), key.begin(), key.end()); it != bytes.end();
       it = std::search(it + 1, bytes.end(), key.begin(), key.end())) {
    const auto at = static_cast<std::size_t>(it - bytes.begin());
    const std::size_t record = at + key.size();
    if (at < 2 || record + 112 > bytes.size() || be(at - 2, 2) != name.size()) continue;
    if (be(record, 2) != 2 || be(record + 8, 4) != cnid) continue;  // a file record of that CNID
    return from + record + 104 + 4;
  }
  return std::nullopt;
}

class DamagedHfsPlus : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!test::haveFixture("hfsplus_tree.vhdx") || !haveTools()) GTEST_SKIP() << "no fixture or tools";
    std::ifstream in(test::fixturePath("hfsplus_tree.json"));
    const json volume = json::parse(in)["volumes"][0];
    m_start = volume["start_sector"].get<std::uint64_t>() * 512;
    m_end = m_start + volume["sector_count"].get<std::uint64_t>() * 512;
    for (const auto& e : volume["entries"]) {
      if (e["path"] == "big/large.bin") m_large = e;
      if (e["path"] == "big/medium.bin") m_medium = e;
    }
    ASSERT_FALSE(m_large.is_null());
  }
  std::uint64_t m_start = 0, m_end = 0;
  json m_large, m_medium;
};

TEST_F(DamagedHfsPlus, AFileWhoseOverflowExtentsAreMissingIsIncompleteAndExitsOne) {
  DamagedCopy copy("hfsplus_tree.vhdx", "hfs-overflow");
  ASSERT_TRUE(copy.ok());
  // The record's own extents now cover 300 blocks of the fork's total: the rest would be in the extents
  // overflow file, which holds nothing for it.
  const auto count = hfsFirstExtentCount(copy, m_start, m_end, "large.bin", m_large["cnid"].get<std::uint32_t>());
  ASSERT_TRUE(count);
  copy.write(*count, {0, 0, 0x01, 0x2C});
  const std::string out = copy.dir() + "/out";
  const auto recovered = test::runTessary({"recover", copy.path(), "--gpt", "--volume", "0", "--out", out, "--json",
                                           "--quiet", "big"});
  EXPECT_EQ(recovered.status, 1);
  const auto files = byPath(recovered);
  ASSERT_EQ(files.count("big/large.bin"), 1u) << recovered.out;
  EXPECT_EQ(files.at("big/large.bin")["written"], 300 * 2048);
  EXPECT_EQ(files.at("big/large.bin")["complete"], false);
  ASSERT_EQ(files.count("big/medium.bin"), 1u);
  EXPECT_EQ(files.at("big/medium.bin")["complete"], true);
  EXPECT_EQ(test::sha256Hex(test::readHostFile(out + "/big/medium.bin")), m_medium["sha256"]);
  const std::string size = std::to_string(m_large["size"].get<std::uint64_t>());
  EXPECT_NE(recovered.err.find("big/large.bin (614400 of " + size + " bytes written)"), std::string::npos)
      << recovered.err;
}

TEST_F(DamagedHfsPlus, BothVolumeHeadersGoneAbortEveryCommandWithExitOneAndTheText) {
  DamagedCopy copy("hfsplus_tree.vhdx", "hfs-aborted");
  ASSERT_TRUE(copy.ok());
  copy.write(m_start + 1024, std::vector<unsigned char>(512, 0));
  copy.write(m_end - 1024, std::vector<unsigned char>(512, 0));
  const std::vector<std::string> volume{copy.path(), "--gpt", "--volume", "0", "--fs", "HFS+", "--quiet"};
  auto with = [&](std::vector<std::string> args) {
    args.insert(args.begin() + 1, volume.begin(), volume.end());
    return test::runTessary(args);
  };
  for (const auto& result : {with({"ls"}), with({"recover", "--out", copy.dir() + "/out"}), with({"search", "bin"})}) {
    EXPECT_EQ(result.status, 1);
    EXPECT_EQ(result.err, "Work Aborted....\n");
    EXPECT_EQ(result.out, "");
  }
  EXPECT_FALSE(pathExists(copy.dir() + "/out"));
  // The sound volume still lists with exit 0.
  const auto sound = test::runTessary({"ls", test::fixturePath("hfsplus_tree.vhdx"), "--gpt", "--volume", "0", "--quiet"});
  EXPECT_EQ(sound.status, 0) << sound.err;
}

// A volume read as a file system it does not hold: each parser's refusal is the command's failure, with
// the parser's own text, never an empty listing with exit 0.
TEST(RefusedParse, AVolumeTreatedAsAFileSystemItDoesNotHoldFailsWithTheParsersText) {
  if (!test::haveFixture("fat16.vhdx")) GTEST_SKIP() << "no fixture";
  const std::map<std::string, std::string> texts = {
      {"EXTX", "No valid ext2/3/4 superblock and group descriptors were found.\n"},
      {"FAT64", "Selected Drive is not in exFat Format\n"},
      {"FAT32", "Selected Drive is not in Fat32 Format\n"},
      {"HFS+", "Work Aborted....\n"}};
  for (const auto& [fs, text] : texts) {
    const auto result =
        test::runTessary({"ls", test::fixturePath("fat16.vhdx"), "--volume", "0", "--fs", fs, "--quiet", "--json"});
    EXPECT_EQ(result.status, 1) << fs;
    // The parser's text is the first line; hints may follow.
    EXPECT_EQ(result.err.substr(0, result.err.find('\n') + 1), text) << fs;
    EXPECT_EQ(result.out, "") << fs;
  }
}

// HFS+ forced on an NTFS volume once listed nothing with exit 0, and ext once closed with the completion
// message: each forced file system the volume does not hold now fails with a text that says so.
TEST(RefusedParse, AFileSystemForcedOnAnNtfsVolumeThatDoesNotHoldItFailsSayingWhy) {
  if (!test::haveFixture("ntfs_tree.vhdx")) GTEST_SKIP() << "no fixture";
  for (const char* fs : {"HFS+", "EXTX", "FAT32", "FAT16", "FAT64"}) {
    for (const char* command : {"ls", "search"}) {
      std::vector<std::string> args{command, test::fixturePath("ntfs_tree.vhdx"), "--volume", "0", "--fs", fs, "--quiet"};
      if (std::string(command) == "search") args.push_back("txt");
      const auto result = test::runTessary(args);
      EXPECT_EQ(result.status, 1) << fs << " " << command;
      EXPECT_EQ(result.out, "") << fs << " " << command;
      EXPECT_FALSE(result.err.empty()) << fs;
      EXPECT_EQ(result.err.find("Scanning process completed"), std::string::npos) << fs << ": " << result.err;
    }
  }
  const auto hfs = test::runTessary({"ls", test::fixturePath("ntfs_tree.vhdx"), "--volume", "0", "--fs", "HFS+", "--quiet"});
  EXPECT_EQ(hfs.err, "Work Aborted....\n");
  // The file system the volume holds, forced, still lists.
  EXPECT_EQ(test::runTessary({"ls", test::fixturePath("ntfs_tree.vhdx"), "--volume", "0", "--fs", "NTFS", "--quiet"}).status, 0);
}

// ---- Recycle bins of both record layouts on volumes that mtools, ntfs-3g and exfat-fuse wrote.

std::string upper(std::string text) {
  for (char& c : text)
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
  return text;
}

TEST(RecycleBinFixture, EveryFileSystemThatRestoresNamesGivesBackTheNamesOfBothLayouts) {
  if (!test::haveFixture("recycle_bins.vhdx") || !test::haveFixture("recycle_bins.json")) GTEST_SKIP() << "no fixture";
  std::ifstream in(test::fixturePath("recycle_bins.json"));
  const json manifest = json::parse(in);
  const std::string image = test::fixturePath("recycle_bins.vhdx");
  const auto rows = test::runTessary({"volumes", image, "--json"});
  ASSERT_EQ(rows.status, 0) << rows.err;
  const std::string folder = manifest["recycle_folder"].get<std::string>();
  ASSERT_EQ(manifest["volumes"].size(), 3u);
  for (const auto& volume : manifest["volumes"]) {
    std::string row;
    for (const auto& r : rows.objects())
      if (r["start_sector"] == volume["start_sector"]) row = std::to_string(r["volume"].get<int>());
    ASSERT_FALSE(row.empty()) << volume["file_system"];
    const std::string out = test::makeTempDir("tessary-recycle-");
    const auto recovered = test::runTessary({"recover", image, "--volume", row, "--out", out, "--json", "--quiet"});
    EXPECT_EQ(recovered.status, 0) << volume["file_system"] << recovered.err;
    const auto files = byPath(recovered);
    int restored = 0;
    for (const auto& e : volume["entries"]) {
      const std::string path = e["path"].get<std::string>();
      const std::string name = e.contains("restored_name") ? e["restored_name"].get<std::string>()
                                                            : path.substr(path.rfind('/') + 1);
      // FAT shows the recycle bin and the 8.3 names that mtools kept without a long name in capitals;
      // a restored name is matched exactly.
      const bool restoredName = e.contains("restored_name") && name != path.substr(path.rfind('/') + 1);
      std::string where;
      for (const std::string& candidate : {folder + "/" + name, "$RECYCLEBIN" + folder.substr(folder.find('/')) + "/" + name})
        for (const auto& [written, object] : files)
          if (written == candidate || (!restoredName && upper(written) == upper(candidate))) where = written;
      ASSERT_EQ(files.count(where), 1u) << volume["file_system"] << " " << where << "\n" << recovered.out;
      EXPECT_EQ(files.at(where)["complete"], true);
      EXPECT_EQ(test::sha256Hex(test::readHostFile(out + "/" + where)), e["sha256"]) << where;
      if (restoredName) ++restored;
    }
    EXPECT_EQ(restored, 4) << volume["file_system"];
    test::removeTree(out);
  }
}

}  // namespace
}  // namespace tessary
