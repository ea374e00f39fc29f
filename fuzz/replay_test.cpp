// Replays every input scripts/fuzz.sh kept in tests/regressions/TARGET/, and the hand-made seeds committed
// in fuzz/seeds/TARGET/, through TARGET's own entry point. A sanitizer report or one of the targets' checks
// ends the process (the test fails with the report); an input that takes longer than the fuzzer's timeout
// fails here as well.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <set>
#include <string>
#include <vector>

#include "replay_targets.h"

namespace {

namespace fs = std::filesystem;
using tessary::fuzz::ReplayTarget;
using tessary::fuzz::replayTargets;

// scripts/fuzz.sh runs libFuzzer with -timeout=30.
constexpr auto kTimeout = std::chrono::seconds(30);

const fs::path kRegressions{TESSARY_REGRESSION_DIR};
const fs::path kSeeds{TESSARY_SEED_DIR};

std::vector<fs::path> filesIn(const fs::path& folder) {
  std::vector<fs::path> files;
  if (!fs::is_directory(folder)) return files;
  for (const auto& entry : fs::directory_iterator(folder))
    if (entry.is_regular_file() && entry.path().filename().string().front() != '.') files.push_back(entry.path());
  std::sort(files.begin(), files.end());
  return files;
}

std::vector<fs::path> inputsOf(const std::string& target) {
  std::vector<fs::path> inputs = filesIn(kRegressions / target);
  for (fs::path& seed : filesIn(kSeeds / target)) inputs.push_back(std::move(seed));
  return inputs;
}

std::vector<std::uint8_t> readAll(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

class FuzzRegressions : public testing::TestWithParam<ReplayTarget> {};

TEST_P(FuzzRegressions, EveryKeptInputRunsCleanWithinTheFuzzerTimeout) {
  const ReplayTarget& target = GetParam();
  const std::vector<fs::path> inputs = inputsOf(target.name);
  if (inputs.empty()) GTEST_SKIP() << "no input kept for " << target.name;
  for (const fs::path& input : inputs) {
    SCOPED_TRACE(input.string());
    const std::vector<std::uint8_t> bytes = readAll(input);
    ASSERT_EQ(bytes.size(), fs::file_size(input));
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(target.run(bytes.data(), bytes.size()), 0);
    EXPECT_LT(std::chrono::steady_clock::now() - start, kTimeout);
  }
}

// Each case is named after its target (Targets/FuzzRegressions.…/ntfs_fuzz), which --gtest_filter and ctest -R take.
std::string targetName(const testing::TestParamInfo<ReplayTarget>& info) { return info.param.name; }

INSTANTIATE_TEST_SUITE_P(Targets, FuzzRegressions, testing::ValuesIn(replayTargets()), targetName);

// A kept input in a folder no target is named after would never be replayed.
TEST(FuzzRegressionFolders, EachFolderIsNamedAfterATarget) {
  std::set<std::string> names;
  for (const ReplayTarget& target : replayTargets()) names.insert(target.name);
  ASSERT_FALSE(names.empty());
  ASSERT_TRUE(fs::is_directory(kRegressions));
  for (const auto& entry : fs::directory_iterator(kRegressions)) {
    if (!entry.is_directory()) continue;
    EXPECT_TRUE(names.count(entry.path().filename().string())) << entry.path() << " is no fuzz target";
    EXPECT_FALSE(filesIn(entry.path()).empty()) << entry.path() << " holds no input";
  }
}

}  // namespace
