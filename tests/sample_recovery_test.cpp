// The main job on the sample image: `tessary ls` and `tessary recover` on its NTFS volume, checked
// against the image's manifest (paths, sizes, deleted marks, contents and times).
#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>
#include <fstream>
#include <map>

#include "platform/file_time.h"
#include "platform/files.h"
#include "support/cli_runner.h"
#include "support/fixtures.h"
#include "support/sha256.h"

namespace tessary {
namespace {

using nlohmann::json;

class SampleRecoveryTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!test::haveFixture("sample.vhdx") || !test::haveFixture("sample.json")) GTEST_SKIP() << "no sample fixture";
    test::useUtc();
    std::ifstream in(test::fixturePath("sample.json"));
    const json manifest = json::parse(in);
    for (const auto& volume : manifest["volumes"])
      if (volume["file_system"] == "NTFS")
        for (const auto& e : volume["entries"]) m_entries[e["path"].get<std::string>()] = e;
    ASSERT_FALSE(m_entries.empty());
    m_image = test::fixturePath("sample.vhdx");
  }

  static std::int64_t unixSeconds(const std::string& iso) { return test::unixFromIso(iso); }

  static std::string listTime(const std::string& iso) { return formatListFileTime(fileTimeFromUnix(unixSeconds(iso))); }

  std::map<std::string, json> m_entries;
  std::string m_image;
};

TEST_F(SampleRecoveryTest, ListingHoldsEveryEntryWithItsSizeTimesAndDeletedMark) {
  const auto result = test::runTessary({"ls", m_image, "--volume", "0", "--json", "--quiet"});
  ASSERT_EQ(result.status, 0) << result.err;
  std::map<std::string, json> listed;
  for (const auto& object : result.objects()) listed[object["path"].get<std::string>()] = object;
  for (const auto& [path, e] : m_entries) {
    const auto it = listed.find(path);
    ASSERT_NE(it, listed.end()) << path;
    const json& got = it->second;
    EXPECT_EQ(got["folder"], e["folder"]) << path;
    EXPECT_EQ(got["deleted"], e["deleted"]) << path;
    if (!e["folder"].get<bool>()) {
      EXPECT_EQ(got["size"], e["size"]) << path;
    }
    EXPECT_EQ(got["modified"], listTime(e["modified"])) << path;
    EXPECT_EQ(got["created"], listTime(e["created"])) << path;
    EXPECT_EQ(got["accessed"], listTime(e["accessed"])) << path;
  }
  EXPECT_TRUE(listed.count("ORPHAN_ENTRY"));
  EXPECT_TRUE(listed.count("$MFTMirr"));
  EXPECT_FALSE(listed.count("$MFT"));  // record 0 is never a child
}

TEST_F(SampleRecoveryTest, RecoverWritesEveryFileByteForByteWithItsTimes) {
  const std::string out = test::makeTempDir("tessary-sample-");
  const auto result = test::runTessary({"recover", m_image, "--volume", "0", "--out", out, "--json", "--quiet"});
  ASSERT_EQ(result.status, 0) << result.err;
  // Creation times are checked where the host keeps what is set (NTFS on Windows); Linux has none to
  // set, and Wine on a Linux file system drops them.
  const bool creationKept = test::hostKeepsCreationTimes(out);
  std::map<std::string, std::uint64_t> written;
  for (const auto& object : result.objects()) written[object["path"].get<std::string>()] = object["written"];
  for (const auto& [path, e] : m_entries) {
    const std::string host = out + "/" + path;
    if (e["folder"].get<bool>()) {
      EXPECT_TRUE(isDirectory(host)) << path;
      continue;
    }
    ASSERT_TRUE(isRegularFile(host)) << path;
    EXPECT_EQ(written[path], e["size"].get<std::uint64_t>()) << path;
    // Times first: reading the file moves its access time.
    const auto times = test::hostTimes(host);
    ASSERT_TRUE(times) << path;
    EXPECT_EQ(times->modification, unixSeconds(e["modified"])) << path;
    EXPECT_EQ(times->access, unixSeconds(e["accessed"])) << path;
    if (creationKept) {
      EXPECT_EQ(times->creation, unixSeconds(e["created"])) << path;
    }
    EXPECT_EQ(test::sha256Hex(test::readHostFile(host)), e["sha256"].get<std::string>()) << path;
  }
  EXPECT_FALSE(pathExists(out + "/$BadClus"));
  EXPECT_FALSE(pathExists(out + "/ROOT"));
  test::removeTree(out);
}

TEST_F(SampleRecoveryTest, RecoverWithAPathSavesOnlyThatEntryBelowItsFolders) {
  std::string file;
  for (const auto& [path, e] : m_entries)
    if (!e["folder"].get<bool>() && !e["deleted"].get<bool>() && path.find('/') != std::string::npos &&
        path.find('/') != path.rfind('/')) {
      file = path;
      break;
    }
  ASSERT_FALSE(file.empty());
  const std::string out = test::makeTempDir("tessary-sample-");
  const auto result = test::runTessary({"recover", m_image, "--volume", "0", "--out", out, "--quiet", file});
  ASSERT_EQ(result.status, 0) << result.err;
  EXPECT_EQ(test::listFiles(out), std::vector<std::string>{file});
  EXPECT_EQ(test::runTessary({"recover", m_image, "--volume", "0", "--out", out, "no/such/file"}).status, 1);
  test::removeTree(out);
}

}  // namespace
}  // namespace tessary

namespace tessary {
namespace {

TEST(SampleRefusals, VolumesWithoutAParserOrModesWithoutAWorkerAreRefusedWithTheMessage) {
  if (!test::haveFixture("sample.vhdx")) GTEST_SKIP() << "no sample fixture";
  const std::string image = test::fixturePath("sample.vhdx");
  // The FAT32 volume has its parser now.
  const auto fat = test::runTessary({"ls", image, "--volume", "1", "--quiet"});
  EXPECT_EQ(fat.status, 0) << fat.err;
  // FAT has no Deep mode.
  const auto deep = test::runTessary({"ls", image, "--volume", "1", "--mode", "deep", "--quiet"});
  EXPECT_EQ(deep.status, 1);
  EXPECT_EQ(deep.err, "The recovery mode \"Deep\" is not offered for this volume.\n");
  const auto missing = test::runTessary({"ls", image, "--volume", "7", "--quiet"});
  EXPECT_EQ(missing.status, 1);
  EXPECT_FALSE(missing.err.empty());
}

}  // namespace
}  // namespace tessary
