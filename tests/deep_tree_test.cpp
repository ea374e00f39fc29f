// A volume whose folders nest 10,000 deep: listed whole (no level is cut off), searched to the bottom and
// recovered whole (bench/deep_tree.sh times it). The ext4
// volume is made at run time by mke2fs and filled by debugfs (mke2fs -d stops at paths longer than the
// host's path limit), put in an MBR partition by sfdisk and into a VHDX by qemu-img; the test is skipped
// where those tools are missing.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fstream>
#include <set>

#include "support/cli_runner.h"
#include "support/fixtures.h"

namespace tessary {
namespace {

constexpr int kDepth = 10000;
constexpr int kFileEvery = 1000;

class DeepExtTree : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    const std::string tools = "command -v mke2fs && command -v debugfs && command -v sfdisk && command -v qemu-img";
    if (test::runCommand("(" + tools + ") >/dev/null") != 0) return;
    s_dir = test::makeTempDir("tessary-deep-");
    const std::string volume = s_dir + "/volume.img";
    const std::string disk = s_dir + "/disk.img";
    std::ofstream level(s_dir + "/level.txt");
    level << "level file\n";
    level.close();
    // Every thousandth level holds a file; the bottom folder holds bottom.txt, at depth 10,001.
    std::ofstream commands(s_dir + "/fill.cmd");
    for (int depth = 0; depth < kDepth; ++depth) {
      if (depth % kFileEvery == 0) commands << "write " << s_dir << "/level.txt f" << depth << ".txt\n";
      commands << "mkdir d\ncd d\n";
    }
    commands << "write " << s_dir << "/level.txt bottom.txt\n";
    commands.close();
    // The volume sits in the disk's first MBR partition, at sector 2048, and the disk is a VHDX.
    s_image = s_dir + "/deep.vhdx";
    const int made = test::runCommand(
        "mke2fs -q -F -t ext4 -b 1024 -N 10240 '" + volume + "' 16M >/dev/null 2>&1 && "
        "debugfs -w -f '" + s_dir + "/fill.cmd' '" + volume + "' >/dev/null 2>&1 && "
        "truncate -s 18M '" + disk + "' && echo 'start=2048, type=83' | sfdisk -q '" + disk + "' >/dev/null 2>&1 && "
        "dd if='" + volume + "' of='" + disk + "' bs=1M seek=1 conv=notrunc status=none && "
        "qemu-img convert -f raw -O vhdx '" + disk + "' '" + s_image + "' >/dev/null 2>&1");
    if (made != 0) s_image.clear();
  }
  static void TearDownTestSuite() {
    if (!s_dir.empty()) test::runCommand("rm -rf '" + s_dir + "'");
  }
  void SetUp() override {
    if (s_image.empty()) GTEST_SKIP() << "mke2fs, debugfs, sfdisk and qemu-img are needed to make the disk";
  }

  static std::string deepPath(int depth) {
    std::string path;
    for (int i = 0; i < depth; ++i) path += "d/";
    return path;
  }

  static inline std::string s_dir;
  static inline std::string s_image;
};

TEST_F(DeepExtTree, EveryLevelIsListedAndTheBottomFileIsFound) {
  const auto listed = test::runTessary({"ls", s_image, "--volume", "0", "--quiet"});
  ASSERT_EQ(listed.status, 0) << listed.err;
  // Each line ends with two blanks and the entry's path (a folder's with a "/").
  std::set<std::string> lines;
  // The header row comes first.
  std::size_t from = listed.out.find('\n') + 1;
  ASSERT_NE(from, 0u);
  while (from < listed.out.size()) {
    const std::size_t end = listed.out.find('\n', from);
    std::string line = listed.out.substr(from, end - from);
    from = end == std::string::npos ? listed.out.size() : end + 1;
    std::string path = line.substr(line.rfind("  ") + 2);
    if (!path.empty() && path.back() == '/') path.pop_back();
    lines.insert(path);
  }
  // 10,000 folders, ten level files and the bottom file; nothing cut off at any depth.
  EXPECT_TRUE(lines.count(deepPath(kDepth) + "bottom.txt")) << "the file at depth 10,001 is missing";
  for (int depth = 0; depth < kDepth; depth += kFileEvery)
    EXPECT_TRUE(lines.count(deepPath(depth) + "f" + std::to_string(depth) + ".txt")) << depth;
  EXPECT_TRUE(lines.count(deepPath(kDepth - 1) + "d"));
  // mke2fs's lost+found sits beside them.
  EXPECT_TRUE(lines.count("lost+found"));
  EXPECT_EQ(lines.size(), static_cast<std::size_t>(kDepth + kDepth / kFileEvery + 1 + 1));

  const auto searched = test::runTessary({"search", s_image, "--volume", "0", "--quiet", "--json", "bottom"});
  ASSERT_EQ(searched.status, 0) << searched.err;
  ASSERT_EQ(searched.objects().size(), 1u);
  EXPECT_EQ(searched.objects().front()["path"], deepPath(kDepth) + "bottom.txt");
}

TEST_F(DeepExtTree, RecoverWritesEveryFileAtItsDepth) {
  const std::string out = s_dir + "/out";
  test::runCommand("rm -rf '" + out + "'");
  const auto recovered = test::runTessary({"recover", s_image, "--volume", "0", "--out", out, "--quiet", "--json"});
  ASSERT_EQ(recovered.status, 0) << recovered.err;
  EXPECT_EQ(recovered.objects().size(), static_cast<std::size_t>(kDepth / kFileEvery + 1));
  // Walked from the host's side a level at a time: the whole path is longer than the host takes at once.
  int fd = ::open(out.c_str(), O_RDONLY | O_DIRECTORY);
  for (int depth = 0; depth < kDepth && fd >= 0; ++depth) {
    if (depth % kFileEvery == 0) {
      struct stat st {};
      EXPECT_EQ(::fstatat(fd, ("f" + std::to_string(depth) + ".txt").c_str(), &st, AT_SYMLINK_NOFOLLOW), 0) << depth;
      EXPECT_EQ(st.st_size, 11) << depth;
    }
    const int next = ::openat(fd, "d", O_RDONLY | O_DIRECTORY | O_NOFOLLOW);
    ::close(fd);
    fd = next;
  }
  ASSERT_GE(fd, 0) << "a level of the chain was not made";
  struct stat st {};
  EXPECT_EQ(::fstatat(fd, "bottom.txt", &st, AT_SYMLINK_NOFOLLOW), 0);
  EXPECT_EQ(st.st_size, 11);
  ::close(fd);
}

}  // namespace
}  // namespace tessary
