// `tessary ls` and `tessary recover` on the xorriso-made HFS+ volumes (2048- and 512-byte blocks), checked
// against their manifests (what fls, istat and icat read there): every file by path, size, times and
// content in the standard mode; the copy with zeroed primary headers in both modes.
#include <gtest/gtest.h>

#include <ctime>
#include <fstream>
#include <map>
#include <sstream>

#include "platform/file_time.h"
#include "platform/files.h"
#include "support/cli_runner.h"
#include "support/fixtures.h"
#include "support/sha256.h"

namespace tessary {
namespace {

using nlohmann::json;

std::int64_t unixSeconds(const std::string& iso) {
  return test::unixFromIso(iso);
}

class HfsPlusFixtureTest : public ::testing::Test {
 protected:
  void SetUp() override {
    for (const char* name : {"hfsplus_tree.vhdx", "hfsplus_tree.json", "hfsplus_noheader.vhdx", "hfsplus_noheader.json"})
      if (!test::haveFixture(name)) GTEST_SKIP() << "no fixture " << name;
    test::useUtc();
    std::ifstream in(test::fixturePath("hfsplus_tree.json"));
    m_manifest = json::parse(in);
    ASSERT_EQ(m_manifest["volumes"].size(), 2u);
  }

  std::map<std::string, json> entries(std::size_t volume) const {
    std::map<std::string, json> out;
    for (const auto& e : m_manifest["volumes"][volume]["entries"]) out[e["path"].get<std::string>()] = e;
    return out;
  }

  static std::map<std::string, json> listing(const std::string& image, std::size_t volume, const char* mode, bool damaged) {
    std::vector<std::string> args{"ls", test::fixturePath(image), "--gpt", "--volume", std::to_string(volume),
                                  "--mode", mode, "--json", "--quiet"};
    if (damaged) {
      // Without its primary header the volume is not recognised: it is treated as HFS+ by hand.
      args.push_back("--fs");
      args.push_back("HFS+");
    }
    const auto result = test::runTessary(args);
    EXPECT_EQ(result.status, 0) << result.err;
    std::map<std::string, json> out;
    for (const auto& o : result.objects()) out[o["path"].get<std::string>()] = o;
    return out;
  }

  json m_manifest;
};

TEST_F(HfsPlusFixtureTest, StandardListingHoldsEveryEntryWithItsSizeAndTimes) {
  for (std::size_t v = 0; v < 2; ++v) {
    const auto want = entries(v);
    const auto got = listing("hfsplus_tree.vhdx", v, "standard", false);
    EXPECT_EQ(got.size(), want.size()) << v;
    for (const auto& [path, e] : want) {
      const auto it = got.find(path);
      ASSERT_NE(it, got.end()) << path;
      EXPECT_EQ(it->second["folder"], e["folder"]) << path;
      if (e["folder"].get<bool>()) continue;
      EXPECT_EQ(it->second["size"], e["size"]) << path;
      EXPECT_EQ(it->second["modified"], formatListFileTime(fileTimeFromUnix(unixSeconds(e["modified"])))) << path;
      EXPECT_EQ(it->second["accessed"], formatListFileTime(fileTimeFromUnix(unixSeconds(e["accessed"])))) << path;
      EXPECT_EQ(it->second["created"], formatListFileTime(fileTimeFromUnix(unixSeconds(e["created"])))) << path;
    }
  }
}

TEST_F(HfsPlusFixtureTest, RecoverWritesEveryFileByteForByteWithItsTimes) {
  for (std::size_t v = 0; v < 2; ++v) {
    const std::string out = test::makeTempDir("tessary-hfsplus-");
    const auto result = test::runTessary({"recover", test::fixturePath("hfsplus_tree.vhdx"), "--gpt", "--volume",
                                          std::to_string(v), "--out", out, "--quiet"});
    ASSERT_EQ(result.status, 0) << result.err;
    for (const auto& [path, e] : entries(v)) {
      const std::string host = out + "/" + path;
      if (e["folder"].get<bool>()) {
        EXPECT_TRUE(isDirectory(host)) << path;
        continue;
      }
      ASSERT_TRUE(isRegularFile(host)) << path;
      const auto times = test::hostEntry(host);
      ASSERT_TRUE(times);
      EXPECT_EQ(times->modification, unixSeconds(e["modified"])) << path;
      EXPECT_EQ(times->access, unixSeconds(e["accessed"])) << path;
      EXPECT_EQ(test::sha256Hex(test::readHostFile(host)), e["sha256"].get<std::string>()) << path;
    }
    test::removeTree(out);
  }
}

TEST_F(HfsPlusFixtureTest, ZeroedPrimaryHeadersAreReadFromTheAlternateAndTheDeepModeFindsEveryFile) {
  for (std::size_t v = 0; v < 2; ++v) {
    const auto want = entries(v);
    const auto standard = listing("hfsplus_noheader.vhdx", v, "standard", true);
    EXPECT_EQ(standard.size(), want.size()) << v;
    for (const auto& [path, e] : want) EXPECT_TRUE(standard.count(path)) << path;
    // The deep mode keeps each found record under the folder it names; names and sizes are those of the
    // intact volume, and every file's content comes back.
    const auto deep = listing("hfsplus_noheader.vhdx", v, "deep", true);
    EXPECT_TRUE(deep.count("ORPHAN_ENTRY"));
    for (const auto& [path, e] : want) {
      const auto it = deep.find(path);
      ASSERT_NE(it, deep.end()) << path;
      EXPECT_EQ(it->second["size"], e["size"]) << path;
    }
    const std::string out = test::makeTempDir("tessary-hfsplus-deep-");
    const auto result = test::runTessary({"recover", test::fixturePath("hfsplus_noheader.vhdx"), "--gpt", "--volume",
                                          std::to_string(v), "--fs", "HFS+", "--mode", "deep", "--out", out, "--quiet"});
    ASSERT_EQ(result.status, 0) << result.err;
    for (const auto& [path, e] : want) {
      if (e["folder"].get<bool>()) continue;
      EXPECT_EQ(test::sha256Hex(test::readHostFile(out + "/" + path)), e["sha256"].get<std::string>()) << path;
    }
    test::removeTree(out);
  }
}

TEST_F(HfsPlusFixtureTest, SleuthKitListsTheSameLiveTree) {
  if (test::runCommand("command -v fls >/dev/null && command -v qemu-img >/dev/null") != 0) GTEST_SKIP() << "no fls";
  const std::string dir = test::makeTempDir("tessary-hfsplus-fls-");
  const std::string raw = dir + "/tree.raw";
  ASSERT_EQ(test::runCommand("qemu-img convert -f vhdx -O raw '" + test::fixturePath("hfsplus_tree.vhdx") + "' '" + raw + "'"), 0);
  for (std::size_t v = 0; v < 2; ++v) {
    std::string text;
    const auto start = m_manifest["volumes"][v]["start_sector"].get<std::int64_t>();
    test::runCommand("fls -o " + std::to_string(start) + " -r -p '" + raw + "' | cut -f2", &text);
    std::map<std::string, json> fromFls;
    std::istringstream lines(text);
    for (std::string line; std::getline(lines, line);)
      if (line.rfind("$", 0) != 0) fromFls[line] = true;
    const auto got = listing("hfsplus_tree.vhdx", v, "standard", false);
    EXPECT_EQ(got.size(), fromFls.size());
    for (const auto& [path, unused] : fromFls) EXPECT_TRUE(got.count(path)) << path;
  }
  test::removeTree(dir);
}

}  // namespace
}  // namespace tessary
