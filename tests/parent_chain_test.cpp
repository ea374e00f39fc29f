// Differencing images read over their parents, and a VHDX log replayed in memory: the chains of the
// chains fixture against the raw disks the fixture script checked with qemu-img and vhdimount, and the
// refusals of chains that loop, run too deep, or name a parent of another identity.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "disk/image_format.h"
#include "disk/parent_chain.h"
#include "support/cli_runner.h"
#include "support/fixtures.h"
#include "support/recording_sink.h"
#include "support/sha256.h"
#include "platform/text.h"
#include "disk/vhdx_reader.h"

namespace tessary {
namespace {

namespace fs = std::filesystem;

// sha256sum's digest of a host file (the in-process hash is slow under the sanitizers; Windows has no
// sha256sum).
std::string sha256OfFile(const std::string& path) {
#ifdef _WIN32
  return test::sha256Hex(test::readHostFile(path));
#else
  std::string out;
  if (test::runCommand("sha256sum '" + path + "'", &out) != 0) return {};
  return out.substr(0, 64);
#endif
}

// A file's name without its folders (FAT short folder names are listed as the directory holds them).
std::string leafOf(const std::string& path) { return path.substr(path.find_last_of('/') + 1); }

bool sawText(const RecordingSink& sink, const std::string& part) {
  const auto all = sink.messages();
  return std::any_of(all.begin(), all.end(), [&](const std::string& m) { return m.find(part) != std::string::npos; });
}

// The whole disk through the reader.
std::string wholeDisk(readWriteInterface& reader, std::uint64_t diskBytes) {
  constexpr std::uint32_t kPiece = (1u << 20) + 5 * 512;  // starts at another place in a block every time
  std::string disk(diskBytes, '\0');
  EXPECT_TRUE(reader.seek(0));
  for (std::uint64_t at = 0; at < diskBytes;) {
    const auto length = static_cast<std::uint32_t>(std::min<std::uint64_t>(kPiece, diskBytes - at));
    EXPECT_TRUE(reader.read(disk.data() + at, length)) << "at " << at;
    at += length;
  }
  return disk;
}

class ChainFixtureTest : public ::testing::TestWithParam<std::pair<const char*, std::size_t>> {
 protected:
  void SetUp() override {
    for (const char* name : {"chains.json", "chain-base.vhdx", "chain-mid.avhdx", "chain-top.avhdx", "chain-base.vhd",
                             "chain-top.vhd", "chain-base.vdi", "chain-top.vdi", "chain-base.vmdk", "chain-mid.vmdk",
                             "chain-top.vmdk", "chain-dirty.vhdx"})
      if (!test::haveFixture(name)) GTEST_SKIP() << "fixture " << name << " is not unpacked";
    m_manifest = nlohmann::json::parse(test::readHostFile(test::fixturePath("chains.json")));
    m_image = test::fixturePath(GetParam().first);
    m_context.messages = &m_sink;
  }
  void TearDown() override {
    if (!m_dir.empty()) fs::remove_all(m_dir);
  }
  const std::string& dir() {
    if (m_dir.empty()) m_dir = test::makeTempDir("tessary-chains-");
    return m_dir;
  }
  std::string newest() const { return m_manifest.at("states_sha256").at(2).get<std::string>(); }

  nlohmann::json m_manifest;
  std::string m_image;
  std::string m_dir;
  RecordingSink m_sink;
  DiskContext m_context;
};

TEST_P(ChainFixtureTest, MergedDiskIsTheNewestStateAndNoImageChanges) {
  std::vector<std::pair<std::string, std::string>> before;
  for (const auto& entry : fs::directory_iterator(test::fixturePath("")))
    if (entry.path().filename().string().starts_with("chain-"))
      before.emplace_back(entry.path().string(), sha256OfFile(entry.path().string()));

  const auto exported = test::runTessary({"export", m_image, "--out", dir(), "--quiet"});
  ASSERT_EQ(exported.status, 0) << exported.err;
  const std::string target = exported.out.substr(0, exported.out.find('\n'));
  EXPECT_EQ(sha256OfFile(target), newest());

  auto reader = createDiskReader(imageFormatOf(m_image), m_context);
  ASSERT_TRUE(reader->open(m_image)) << m_sink.lastMessage();
  EXPECT_TRUE(wholeDisk(*reader, m_context.diskSectorCount * 512) == test::readHostFile(target));
  EXPECT_EQ(reader->missingReads.load(), 0u);
  const auto* chain = dynamic_cast<const ChainedDiskReader*>(reader.get());
  ASSERT_NE(chain, nullptr);
  EXPECT_EQ(chain->chain().size(), GetParam().second);
  EXPECT_TRUE(chain->missingParent().empty());
  // Only whole images are read, through a view at a volume's offset too: the volume's first sector.
  reader->baseOffset = 2048 * 512;
  std::vector<std::byte> boot(512);
  ASSERT_TRUE(reader->readAt(0, boot));
  EXPECT_EQ(boot[510], std::byte{0x55});
  EXPECT_EQ(boot[511], std::byte{0xAA});
  reader.reset();
  // qemu-img reads the VMDK chain itself: its raw disk is the export's, byte for byte.
  if (fs::path(m_image).extension() == ".vmdk" && test::runCommand("command -v qemu-img >/dev/null 2>&1") == 0) {
    ASSERT_EQ(test::runCommand("qemu-img convert -f vmdk -O raw '" + m_image + "' '" + dir() + "/qemu.raw'"), 0);
    EXPECT_EQ(test::runCommand("cmp -s '" + dir() + "/qemu.raw' '" + target + "'"), 0);
  }
  for (const auto& [path, sha] : before) EXPECT_EQ(sha256OfFile(path), sha) << path << " changed";
}

TEST_P(ChainFixtureTest, NewestFilesAreListedAndRecovered) {
  const auto listing = test::runTessary({"ls", m_image, "--volume", "0", "--json"});
  ASSERT_EQ(listing.status, 0) << listing.err;
  std::vector<std::string> live;
  for (const auto& row : listing.objects())
    if (!row.value("deleted", false)) live.push_back(row.at("path").get<std::string>());
  for (const auto& file : m_manifest.at("newest_files")) {
    const std::string name = leafOf(file.at("path").get<std::string>());
    EXPECT_TRUE(std::any_of(live.begin(), live.end(), [&](const std::string& p) { return leafOf(p) == name; }))
        << name << " is not listed";
  }
  const auto saved = test::runTessary({"recover", m_image, "--volume", "0", "--out", dir(), "--quiet"});
  ASSERT_EQ(saved.status, 0) << saved.err;
  for (const auto& file : m_manifest.at("newest_files")) {
    std::string found;
    for (const auto& entry : fs::recursive_directory_iterator(dir()))
      if (entry.is_regular_file() && entry.path().filename().string() == leafOf(file.at("path").get<std::string>()))
        found = entry.path().string();
    ASSERT_FALSE(found.empty()) << file.at("path") << " was not saved";
    EXPECT_EQ(fs::file_size(found), file.at("size").get<std::uint64_t>());
    EXPECT_EQ(sha256OfFile(found), file.at("sha256").get<std::string>()) << found;
  }
}

TEST_P(ChainFixtureTest, InfoDescribesTheChainOrTheReplayedLog) {
  const auto run = test::runTessary({"info", m_image, "--json"});
  ASSERT_EQ(run.status, 0) << run.err;
  const auto objects = run.objects();
  ASSERT_EQ(objects.size(), 1u);
  const auto& info = objects[0];
  if (GetParam().second > 1) {
    EXPECT_TRUE(info.at("differencing").get<bool>());
    const auto lines = info.at("chain");
    ASSERT_EQ(lines.size(), GetParam().second) << run.out;
    EXPECT_TRUE(lines[0].get<std::string>().starts_with("image: " + fs::path(m_image).filename().string())) << lines[0];
    EXPECT_NE(lines[1].get<std::string>().find("parent: "), std::string::npos);
    EXPECT_EQ(info.at("missing_parent").get<std::string>(), "");
  } else {
    EXPECT_EQ(info.at("log_entries_applied").get<std::size_t>(), 2u);
    EXPECT_NE(run.err.find("replayed in memory: 2 entries applied"), std::string::npos) << run.err;
    EXPECT_EQ(run.err.find("never replayed"), std::string::npos) << run.err;
  }
}

INSTANTIATE_TEST_SUITE_P(Chains, ChainFixtureTest,
                         ::testing::Values(std::make_pair("chain-top.avhdx", std::size_t{3}),
                                           std::make_pair("chain-top.vhd", std::size_t{2}),
                                           std::make_pair("chain-top.vdi", std::size_t{2}),
                                           std::make_pair("chain-top.vmdk", std::size_t{3}),
                                           std::make_pair("chain-dirty.vhdx", std::size_t{1})),
                         [](const auto& info) {
                           std::string name = info.param.first;
                           std::replace_if(name.begin(), name.end(), [](char c) { return !std::isalnum(static_cast<unsigned char>(c)); }, '_');
                           return name;
                         });

// ---- Chains that are incomplete, of another identity, or refused ----

class ChainRulesTest : public ::testing::Test {
 protected:
  void SetUp() override {
    m_dir = test::makeTempDir("tessary-chain-rules-");
    m_context.messages = &m_sink;
  }
  void TearDown() override { fs::remove_all(m_dir); }
  // A copy of a fixture under another name in the test's folder.
  std::string copy(const std::string& fixture, const std::string& as) {
    if (!test::haveFixture(fixture)) return {};
    fs::copy_file(test::fixturePath(fixture), m_dir + "/" + as);
    return m_dir + "/" + as;
  }
  void writeText(const std::string& name, const std::string& text) { std::ofstream(m_dir + "/" + name) << text; }
  // A snapshot descriptor over one flat extent of 8 sectors.
  void descriptor(const std::string& name, const std::string& cid, const std::string& parentCid, const std::string& parent) {
    writeText(name + "-flat.vmdk", std::string(4096, 'x'));
    writeText(name + ".vmdk", "# Disk DescriptorFile\nversion=1\nCID=" + cid + "\nparentCID=" + parentCid +
                                  "\ncreateType=\"monolithicFlat\"\n" +
                                  (parent.empty() ? "" : "parentFileNameHint=\"" + parent + "\"\n") + "RW 8 FLAT \"" +
                                  name + "-flat.vmdk\" 0\n");
  }

  std::string m_dir;
  RecordingSink m_sink;
  DiskContext m_context;
};

TEST_F(ChainRulesTest, MissingParentReadsTheChildAloneAndSaysWhichParentIsMissing) {
  for (const char* name : {"chain-top.vhd", "chain-top.avhdx", "chain-top.vdi"}) {
    const std::string child = copy(name, name);
    if (child.empty()) GTEST_SKIP() << "fixture " << name << " is not unpacked";
    m_sink.clear();
    auto reader = createDiskReader(imageFormatOf(child), m_context);
    ASSERT_TRUE(reader->open(child)) << name << ": " << m_sink.lastMessage();
    const auto* chain = dynamic_cast<const ChainedDiskReader*>(reader.get());
    EXPECT_FALSE(chain->missingParent().empty()) << name;
    EXPECT_TRUE(sawText(m_sink, "is missing")) << name << ": " << m_sink.lastMessage();
    ImageInfo info;
    m_sink.clear();
    ASSERT_TRUE(readAnyImageInfo(m_sink, m_context, nullptr, child, info)) << name;
    EXPECT_TRUE(info.differencing);
    EXPECT_FALSE(info.missingParent.empty());
  }
  // The VHDX page says it is differencing first, then (among its warnings) which parent is missing; info
  // prints both.
  ImageInfo info;
  m_sink.clear();
  ASSERT_TRUE(readAnyImageInfo(m_sink, m_context, nullptr, m_dir + "/chain-top.avhdx", info));
  EXPECT_EQ(m_sink.messages(), std::vector<std::string>{"This is a differencing VHDX."});
  ASSERT_EQ(info.warnings.size(), 1u);
  EXPECT_NE(info.warnings[0].find("\"chain-mid.avhdx\" of \"chain-top.avhdx\" is missing"), std::string::npos)
      << info.warnings[0];
  const auto run = test::runTessary({"info", m_dir + "/chain-top.avhdx"});
  ASSERT_EQ(run.status, 0) << run.err;
  EXPECT_NE(run.out.find("Missing parent: chain-mid.avhdx"), std::string::npos) << run.out;
  EXPECT_NE(run.err.find("warning: The parent \"chain-mid.avhdx\" of \"chain-top.avhdx\" is missing"), std::string::npos)
      << run.err;
}

TEST_F(ChainRulesTest, ParentOfAnotherIdentityIsRefusedUnlessNamed) {
  // The base sits where the child expects its middle image: its CID is not the one the child recorded.
  const std::string child = copy("chain-top.vmdk", "chain-top.vmdk");
  if (child.empty() || copy("chain-base.vmdk", "chain-mid.vmdk").empty()) GTEST_SKIP() << "fixtures not unpacked";
  auto reader = createDiskReader(ImageFormat::Vmdk, m_context);
  EXPECT_FALSE(reader->open(child));
  EXPECT_TRUE(sawText(m_sink, "The parent \"chain-mid.vmdk\" of \"chain-top.vmdk\" does not match: its CID is"))
      << m_sink.lastMessage();
  const auto refused = test::runTessary({"volumes", child});
  EXPECT_EQ(refused.status, 1);
  EXPECT_NE(refused.err.find("does not match"), std::string::npos) << refused.err;

  // Named, it is read (with a note), and the chain ends there.
  const auto named = test::runTessary({"info", child, "--parent", m_dir + "/chain-mid.vmdk", "--json"});
  ASSERT_EQ(named.status, 0) << named.err;
  EXPECT_NE(named.err.find("It is read because it was named as the parent."), std::string::npos) << named.err;
  const auto lines = named.objects().at(0).at("chain");
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_NE(lines[1].get<std::string>().find("named as the parent"), std::string::npos);

  // A VHDX parent is checked by its data write GUID the same way.
  const std::string vhdx = copy("chain-mid.avhdx", "chain-mid.avhdx");
  if (vhdx.empty() || copy("chain-top.avhdx", "chain-base.vhdx").empty()) GTEST_SKIP() << "fixtures not unpacked";
  m_sink.clear();
  auto second = createDiskReader(ImageFormat::Vhdx, m_context);
  EXPECT_FALSE(second->open(vhdx));
  EXPECT_TRUE(sawText(m_sink, "does not match: its data write GUID is")) << m_sink.lastMessage();
}

TEST_F(ChainRulesTest, LoopsAndChainsDeeperThanSixtyFourAreRefused) {
  descriptor("a", "0000000a", "0000000b", "b.vmdk");
  descriptor("b", "0000000b", "0000000a", "a.vmdk");
  auto reader = createDiskReader(ImageFormat::Vmdk, m_context);
  EXPECT_FALSE(reader->open(m_dir + "/a.vmdk"));
  EXPECT_EQ(m_sink.lastMessage(), "The chain of parents loops: \"a.vmdk\" is its own ancestor.");

  // 64 images are read; 65 are refused.
  for (int i = 0; i < 65; ++i)
    descriptor("d" + std::to_string(i), format("%08x", 0x100 + i), i == 64 ? "ffffffff" : format("%08x", 0x101 + i),
               i == 64 ? "" : "d" + std::to_string(i + 1) + ".vmdk");
  m_sink.clear();
  auto deep = createDiskReader(ImageFormat::Vmdk, m_context);
  EXPECT_FALSE(deep->open(m_dir + "/d0.vmdk"));
  EXPECT_EQ(m_sink.lastMessage(), "The chain of parents of \"d0.vmdk\" is longer than 64 images: it is not read.");
  auto deepest = createDiskReader(ImageFormat::Vmdk, m_context);
  ASSERT_TRUE(deepest->open(m_dir + "/d1.vmdk")) << m_sink.lastMessage();
  EXPECT_EQ(dynamic_cast<const ChainedDiskReader*>(deepest.get())->chain().size(), 64u);
}

TEST_F(ChainRulesTest, ParentLinkedOutOfTheFolderIsNotFollowed) {
  TESSARY_LINUX_ONLY("this build's C++ library makes no symbolic links on Windows");
  const std::string child = copy("chain-top.vhd", "chain-top.vhd");
  if (child.empty() || !test::haveFixture("chain-base.vhd")) GTEST_SKIP() << "fixtures not unpacked";
  fs::create_symlink(test::fixturePath("chain-base.vhd"), m_dir + "/chain-base.vhd");
  auto reader = createDiskReader(ImageFormat::Vhd, m_context);
  ASSERT_TRUE(reader->open(child));
  EXPECT_TRUE(sawText(m_sink, "The parent \"chain-base.vhd\" of \"chain-top.vhd\" is not read: it is a link"))
      << m_sink.lastMessage();
  EXPECT_EQ(dynamic_cast<const ChainedDiskReader*>(reader.get())->missingParent(), "chain-base.vhd");
}

TEST_F(ChainRulesTest, LogThatFailsItsChecksumIsIgnoredWithAWarning) {
  const std::string dirty = copy("chain-dirty.vhdx", "dirty.vhdx");
  if (dirty.empty()) GTEST_SKIP() << "fixture chain-dirty.vhdx is not unpacked";
  // The first entry of the active sequence, after the stale 8 KiB entry of an older log, loses a byte.
  {
    std::fstream file(dirty, std::ios::in | std::ios::out | std::ios::binary);
    file.seekp((1 << 20) + 8192 + 100);
    file.put('\x42');
  }
  const std::string before = sha256OfFile(dirty);
  auto reader = createDiskReader(ImageFormat::Vhdx, m_context);
  ASSERT_TRUE(reader->open(dirty)) << m_sink.lastMessage();
  const auto* top = dynamic_cast<const FileReadSeekVHDX*>(dynamic_cast<const ChainedDiskReader*>(reader.get())->top());
  ASSERT_NE(top, nullptr);
  EXPECT_EQ(top->logEntriesApplied, 0u);
  const auto run = test::runTessary({"info", dirty, "--json"});
  ASSERT_EQ(run.status, 0) << run.err;
  EXPECT_FALSE(run.objects().at(0).contains("log_entries_applied"));
  EXPECT_NE(run.err.find("warning: The VHDX log entry at 8 KiB into the log fails its checksum"), std::string::npos) << run.err;
  EXPECT_EQ(sha256OfFile(dirty), before);
}

}  // namespace
}  // namespace tessary
