// NTFS file data on real volumes: every file dumped byte for byte (resident, non-resident, sparse,
// compressed, attribute lists), compared with the manifest and with The Sleuth Kit's icat, and its times;
// in the standard mode and in the deep mode, which finds the records without the MFT's run list.
#include <gtest/gtest.h>

#include <map>
#include <tuple>

#include "platform/files.h"
#include "platform/text.h"
#include "support/fixtures.h"
#include "support/ntfs_harness.h"

namespace tessary {
namespace {

using test::ParsedNtfs;

class NtfsDumpFixture : public ::testing::TestWithParam<std::tuple<const char*, int>> {
 protected:
  void SetUp() override {
    const std::string name = std::get<0>(GetParam());
    m_parsed.mode = std::get<1>(GetParam());
    auto manifest = test::loadManifest(name + ".json");
    const std::string size = name == "ntfs_tree" || name == "ntfs_noboot" ? "39" : "15";
    if (!manifest || !m_parsed.openFixture(name + ".vhdx", manifest->startSector, size)) GTEST_SKIP() << "no fixture";
    m_manifest = *manifest;
    for (const auto& e : test::listTree(m_parsed.parser)) m_list[e.path] = e;
    m_out = test::makeTempDir("tessary-ntfs-dump-");
  }
  void TearDown() override {
    if (!m_out.empty()) test::removeTree(m_out);
  }
  // Dumps the entry into the output folder and returns the path written.
  std::string dump(std::int64_t index) {
    m_parsed.parser.setOutputFolder(m_out + "/");
    m_parsed.parser.dumpEntry(std::to_string(index));
    return m_parsed.parser.lastDumpPath();
  }
  ParsedNtfs m_parsed;
  test::Manifest m_manifest;
  std::map<std::string, test::ListedEntry> m_list;
  std::string m_out;
};

TEST_P(NtfsDumpFixture, EveryLiveFileIsWrittenByteForByteWithItsTimes) {
  int files = 0;
  for (const auto& e : m_manifest.entries) {
    if (e.deleted || e.folder) continue;
    SCOPED_TRACE(e.path);
    ASSERT_TRUE(m_list.count(e.path));
    const std::string path = dump(m_list.at(e.path).index);
    ASSERT_FALSE(path.empty());
    // The times first: reading the file to hash it moves its access time on the host.
    const auto host = test::hostEntry(path);
    ASSERT_TRUE(host);
    EXPECT_EQ(host->modification, test::isoSeconds(e.modified));
    EXPECT_EQ(host->access, test::isoSeconds(e.accessed));
    EXPECT_EQ(fileSize(path).value_or(~0ull), e.size);
    EXPECT_EQ(test::fileSha256(path), e.sha256);
    EXPECT_EQ(m_parsed.parser.lastDumpWritten(), e.size);
    ++files;
  }
  EXPECT_GT(files, 0);
}

TEST_P(NtfsDumpFixture, DumpsMatchTheSleuthKitsIcat) {
  if (!test::haveSleuthKit()) GTEST_SKIP() << "The Sleuth Kit is not installed";
  if (m_parsed.mode != 1) GTEST_SKIP() << "the standard mode's dumps are compared; the deep mode's with the manifest";
  if (std::string(std::get<0>(GetParam())) == "ntfs_noboot")
    GTEST_SKIP() << "The Sleuth Kit cannot open a volume without its boot sector; ntfs_tree holds the same files";
  const std::string raw = test::rawVolume(std::string(std::get<0>(GetParam())) + ".vhdx", m_out);
  if (raw.empty()) GTEST_SKIP() << "qemu-img is not installed";
  for (const auto& e : m_manifest.entries) {
    if (e.deleted || e.folder) continue;
    SCOPED_TRACE(e.path);
    const std::string path = dump(m_list.at(e.path).index);
    const std::string reference = m_out + "/icat.out";
    ASSERT_EQ(test::runCommand("icat -o 2048 '" + raw + "' " + std::to_string(e.record) + " > '" + reference + "'"), 0);
    EXPECT_EQ(test::fileSha256(path), test::fileSha256(reference));
  }
}

INSTANTIATE_TEST_SUITE_P(Volumes, NtfsDumpFixture,
                         ::testing::Combine(::testing::Values("ntfs_tree", "ntfs_noboot", "ntfs_compressed",
                                                              "ntfs_fragmented"),
                                            ::testing::Values(1, 3)),
                         [](const auto& info) {
                           return std::string(std::get<0>(info.param)) +
                                  (std::get<1>(info.param) == 3 ? "_deep" : "_standard");
                         });

class NtfsTreeDump : public NtfsDumpFixture {};

TEST_P(NtfsTreeDump, DeletedFilesWhoseClustersWereNotReusedComeBackWhole) {
  for (const std::string path : {"deleted.txt", "olddir/inner.txt", "olddir/inner_small.txt"}) {
    SCOPED_TRACE(path);
    const auto* e = m_manifest.find(path);
    const std::string out = dump(m_list.at(path).index);
    EXPECT_EQ(test::fileSha256(out), e->sha256);
  }
  const std::string orphan = dump(m_list.at("ORPHAN_ENTRY/orphan.txt").index);
  EXPECT_EQ(test::fileSha256(orphan), m_manifest.find("orphan_parent/orphan.txt")->sha256);
}

TEST_P(NtfsTreeDump, NamedStreamIsNotWrittenAsTheFilesContent) {
  // streams.txt: a resident unnamed $DATA followed by a resident named stream.
  const std::string path = dump(m_list.at("streams.txt").index);
  EXPECT_EQ(test::readHostFile(path), "the file's own content\n");
  EXPECT_FALSE(pathExists(path + ":note"));
}

TEST_P(NtfsTreeDump, RecycleBinInfoFileHoldsTheOriginalPathAtByte24) {
  const std::string sid = "$RECYCLE.BIN/S-1-5-21-1004336348-1177238915-682003330-1001";
  const std::string info = test::readHostFile(dump(m_list.at(sid + "/$IAB12CD.txt").index));
  ASSERT_GT(info.size(), 24u);
  std::u16string original;
  for (std::size_t at = 24; at + 1 < info.size(); at += 2) {
    const char16_t unit = static_cast<char16_t>(static_cast<unsigned char>(info[at]) | (static_cast<unsigned char>(info[at + 1]) << 8));
    if (unit == 0) break;
    original.push_back(unit);
  }
  EXPECT_EQ(utf8FromUtf16(original), "C:\\Users\\me\\Documents\\report.txt");
}

TEST_P(NtfsTreeDump, OutputFolderTextBecomesTheFullPathAndGetsItsSeparator) {
  ntfs& p = m_parsed.parser;
  p.setOutputFolder(m_out + "   ");  // trailing white space and no separator
  p.dumpEntry(std::to_string(m_list.at("Documents/one.txt").index));
  EXPECT_EQ(p.outputFolder(), m_out + "/one.txt");
  EXPECT_EQ(test::readHostFile(m_out + "/one.txt"), "1");
}

TEST_P(NtfsTreeDump, FolderEntryAndOrphanFolderWriteAnEmptyFile) {
  const std::string folder = dump(m_list.at("Documents").index);
  EXPECT_EQ(fileSize(folder).value_or(1), 0u);
  EXPECT_EQ(m_parsed.parser.entryDataSize(m_parsed.parser.orphanIndex()), 0u);
}

INSTANTIATE_TEST_SUITE_P(Tree, NtfsTreeDump, ::testing::Values(std::make_tuple("ntfs_tree", 1)));

}  // namespace
}  // namespace tessary
