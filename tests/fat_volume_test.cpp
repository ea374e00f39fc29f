// FAT12, FAT16 and FAT32 volumes made by mkfs.fat and mtools (and the sample image's FAT32 volume): every
// live file listed with its size and time and recovered byte for byte, deleted files whose clusters were
// not reused recovered whole, listings as The Sleuth Kit sees them; and hand-built volumes for what the
// tools never write.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <sys/stat.h>
#include <fstream>
#include <functional>
#include <map>
#include <set>

#include <nlohmann/json.hpp>

#include "disk/vhdx_reader.h"
#include "fs/fat/fat.h"
#include "platform/file_time.h"
#include "platform/text.h"
#include "support/cli_runner.h"
#include "support/failing_range.h"
#include "support/fixtures.h"
#include "support/ntfs_builder.h"
#include "support/recording_sink.h"
#include "support/sha256.h"

namespace tessary::test {
namespace {

std::string lowered(std::string s) {
  for (char& c : s)
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  return s;
}

// A path as the manifest and The Sleuth Kit name it: short names are compared without case, folders keep
// their padding in the table.
std::string comparable(const std::string& path) {
  std::string out;
  std::size_t start = 0;
  while (start <= path.size()) {
    const std::size_t end = std::min(path.find('/', start), path.size());
    if (!out.empty()) out += '/';
    out += rightTrimmed(path.substr(start, end - start));
    start = end + 1;
  }
  out = lowered(out);
  // A folder's 8.3 name keeps its 11-character form.
  if (out.rfind("$recycle.bin", 0) == 0) out.replace(0, 12, "$recyclebin");
  return out;
}

struct Listed {
  std::string path;
  std::int64_t index;
};

std::vector<Listed> listAll(const FatParser& parser) {
  std::vector<Listed> out;
  std::set<std::int64_t> seen;
  std::function<void(std::int64_t, const std::string&)> walk = [&](std::int64_t folder, const std::string& prefix) {
    for (std::int64_t child : parser.childEntries(folder)) {
      if (!seen.insert(child).second) continue;
      const std::string name = utf8FromUtf16(parser.entryName(child));
      const std::string path = prefix.empty() ? name : prefix + "/" + name;
      out.push_back({path, child});
      if (parser.isFolderRecord(child)) walk(child, path);
    }
  };
  walk(0, "");
  return out;
}

// A reader over another that shows zeros in one byte range (a boot sector wiped by accident).
class ZeroedRange : public readWriteInterface {
 public:
  ZeroedRange(readWriteInterface& inner, std::uint64_t from, std::uint64_t to) : m_inner(inner), m_from(from), m_to(to) {}
  bool open(const std::string&) override { return true; }
  bool seek(std::int64_t offset, std::uint32_t origin) override {
    m_at = static_cast<std::uint64_t>(offset);
    return m_inner.seek(offset, origin);
  }
  bool read(void* buffer, std::uint32_t length) override {
    const bool ok = m_inner.read(buffer, length);
    auto* bytes = static_cast<std::byte*>(buffer);
    for (std::uint64_t i = 0; i < length; ++i)
      if (m_at + i >= m_from && m_at + i < m_to) bytes[i] = std::byte{0};
    m_at += length;
    return ok;
  }
  std::optional<std::uint64_t> nextDataOffset(std::uint64_t offset) const override { return m_inner.nextDataOffset(offset); }

 private:
  readWriteInterface& m_inner;
  std::uint64_t m_from, m_to, m_at = 0;
};

using test::FailingRange;

struct FatFixture {
  DiskContext context;
  std::unique_ptr<FileReadSeekVHDX> vhdx;
  std::unique_ptr<readWriteInterface> wrapper;
  readWriteInterface* reader = nullptr;
  std::unique_ptr<FatParser> parser;
  CXHtmlTree tree;
  RecordingSink sink;
  nlohmann::json manifest;

  bool open(const std::string& image, bool fat32) {
    if (!haveFixture(image)) return false;
    vhdx = std::make_unique<FileReadSeekVHDX>(context);
    if (!vhdx->open(fixturePath(image))) return false;
    reader = vhdx.get();
    std::string base = image.substr(0, image.find(".vhdx"));
    std::ifstream in(fixturePath(base + ".json"));
    if (in) manifest = nlohmann::json::parse(in);
    if (fat32)
      parser = std::make_unique<Fat32Class>();
    else
      parser = std::make_unique<Fat16Class>();
    parser->setSink(&sink);
    parser->setTree(&tree, "ROOT");
    return true;
  }
  void attach(std::uint64_t startSector, std::uint64_t sizeBytes) {
    parser->attach(VolumeView(*reader, startSector, context.diskSectorCount));
    parser->setVolumeSize(sizeBytes);
  }
  bool parseStandard(std::uint64_t startSector, std::uint64_t sizeBytes) {
    attach(startSector, sizeBytes);
    if (!parser->checkBootSector()) return false;
    parser->readFat();
    parser->parseRootDirectory();
    parser->linkEntries();
    parser->fillTopLevel();
    return true;
  }
  std::string sha(std::int64_t index, bool* ok = nullptr) {
    MemorySink data(64u << 20);
    const bool written = parser->writeFileData(index, data);
    if (ok) *ok = written;
    const auto& b = data.bytes();
    return sha256Hex(std::string(reinterpret_cast<const char*>(b.data()), b.size()));
  }
};

std::map<std::string, std::int64_t> byPath(const FatParser& parser) {
  std::map<std::string, std::int64_t> out;
  for (const Listed& l : listAll(parser)) {
    std::string path = l.path;
    // A deleted short name shows its first character as U+FFE5.
    const bool deleted = parser.entry(l.index).deleted;
    if (deleted) {
      const std::size_t slash = path.rfind('/');
      const std::size_t at = slash == std::string::npos ? 0 : slash + 1;
      if (path.compare(at, 3, "\xEF\xBF\xA5") == 0) path.replace(at, 3, "?");
    }
    out[comparable(path) + (deleted ? "#deleted" : "")] = l.index;
  }
  return out;
}

// What the manifest says is on each volume, checked against the parse.
void checkAgainstManifest(FatFixture& f, const nlohmann::json& volume, int minFiles = 400) {
  const auto found = byPath(*f.parser);
  int files = 0;
  for (const auto& e : volume["entries"]) {
    std::string path = comparable(e["path"].get<std::string>());
    const bool deleted = e["deleted"].get<bool>();
    if (deleted) {
      // The short name of a deleted entry has lost its first character.
      const std::size_t slash = path.rfind('/');
      const std::size_t at = slash == std::string::npos ? 0 : slash + 1;
      const std::string alt = path.substr(0, at) + "?" + path.substr(at + 1);
      if (!found.count(path + "#deleted") && found.count(alt + "#deleted")) path = alt;
      path += "#deleted";
    }
    ASSERT_TRUE(found.count(path)) << "missing " << path;
    const std::int64_t index = found.at(path);
    const FatDirRecord& r = f.parser->entry(index);
    if (e["folder"].get<bool>()) {
      EXPECT_TRUE(f.parser->isFolderRecord(index)) << path;
      continue;
    }
    ++files;
    EXPECT_EQ(std::uint64_t{r.fileSize}, e["size"].get<std::uint64_t>()) << path;
    bool ok = false;
    EXPECT_EQ(f.sha(index, &ok), e["sha256"].get<std::string>()) << path;
    EXPECT_TRUE(ok) << path;
    if (e.contains("modified")) {
      const auto t = fileTimeFromDos(r.writeDate, r.writeTime);
      ASSERT_TRUE(t) << path;
      EXPECT_EQ(unixNanosecondsFromFileTime(*t) / 1000000000, e["modified"].get<std::int64_t>()) << path;
    }
  }
  EXPECT_GT(files, minFiles);
}

TEST(FatFixtures, EveryFileOfTheToolMadeVolumesIsListedAndRecoveredWithItsTime) {
  for (const auto& [image, fat32] : {std::pair<const char*, bool>{"fat12.vhdx", false}, {"fat16.vhdx", false},
                                     {"fat32.vhdx", true}}) {
    FatFixture f;
    if (!f.open(image, fat32)) GTEST_SKIP() << image << " missing";
    SCOPED_TRACE(image);
    for (const auto& volume : f.manifest["volumes"]) {
      SCOPED_TRACE(volume["kind"].get<std::string>());
      FatFixture g;
      ASSERT_TRUE(g.open(image, fat32));
      const std::uint64_t sectors = volume["sector_count"].get<std::uint64_t>();
      ASSERT_TRUE(g.parseStandard(volume["start_sector"].get<std::uint64_t>(), sectors * 512));
      EXPECT_EQ(g.parser->entryBits(), image == std::string("fat12.vhdx") ? 12 : (fat32 ? 32 : 16));
      checkAgainstManifest(g, volume);
    }
  }
}

TEST(FatFixtures, TheFolderOfMoreThanTwentyOneClustersAndTheRootAreReadToTheirEnds) {
  FatFixture f;
  if (!f.open("fat32.vhdx", true)) GTEST_SKIP();
  ASSERT_TRUE(f.parseStandard(2048, 69632ull * 512));
  const auto found = byPath(*f.parser);
  int many = 0;
  for (const auto& [path, index] : found)
    if (path.rfind("many files/f", 0) == 0) ++many;
  EXPECT_EQ(many, 404);
  // The root spans several 512-byte clusters; the files written last sit in its later clusters.
  EXPECT_TRUE(found.count("fragmented file.bin"));
  EXPECT_TRUE(found.count("old report.txt#deleted"));
}

TEST(FatFixtures, RecycleBinPairAndTopLevelItemsOfFat32) {
  FatFixture f;
  if (!f.open("fat32.vhdx", true)) GTEST_SKIP();
  ASSERT_TRUE(f.parseStandard(2048, 69632ull * 512));
  std::vector<std::string> top;
  for (TreeItem i = f.tree.childItem(f.parser->topItem()); i != kNoItem; i = f.tree.nextSiblingItem(i))
    top.push_back(f.tree.itemText(i));
  // The hidden, system "$RECYCLE.BIN" (0x16) is a FAT32 top-level folder; its 8.3 name keeps 11 characters.
  EXPECT_NE(std::find(top.begin(), top.end(), "$RECYCLEBIN"), top.end());
  // The volume label is a record below the root but no tree item.
  EXPECT_EQ(std::find(top.begin(), top.end(), "TESSFAT32  "), top.end());
  EXPECT_TRUE(f.tree.isDeletedItem(f.tree.childItem(f.parser->topItem())) == false);
}

TEST(FatFixtures, SampleImageFat32VolumeListsAndRecovers) {
  FatFixture f;
  if (!f.open("sample.vhdx", true)) GTEST_SKIP();
  const nlohmann::json* volume = nullptr;
  for (const auto& v : f.manifest["volumes"])
    if (v["file_system"] == "FAT32") volume = &v;
  ASSERT_NE(volume, nullptr);
  ASSERT_TRUE(f.parseStandard((*volume)["start_sector"].get<std::uint64_t>(), (*volume)["sector_count"].get<std::uint64_t>() * 512));
  const auto found = byPath(*f.parser);
  int checked = 0;
  for (const auto& e : (*volume)["entries"]) {
    if (e.value("folder", false)) continue;
    std::string path = comparable(e["path"].get<std::string>());
    if (e.value("deleted", false)) {
      const std::size_t slash = path.rfind('/');
      path = path.substr(0, slash + 1) + "?" + path.substr(slash + 2) + "#deleted";
    }
    ASSERT_TRUE(found.count(path)) << path;
    EXPECT_EQ(f.sha(found.at(path)), e["sha256"].get<std::string>()) << path;
    ++checked;
  }
  EXPECT_GE(checked, 8);
}

std::string run(const std::string& command) {
  std::string out;
  FILE* pipe = popen(command.c_str(), "r");
  if (!pipe) return out;
  char buffer[4096];
  while (std::size_t n = fread(buffer, 1, sizeof buffer, pipe)) out.append(buffer, n);
  pclose(pipe);
  return out;
}

TEST(FatFixtures, ListingsAndContentsMatchTheSleuthKit) {
  TESSARY_LINUX_ONLY("compares with The Sleuth Kit and qemu-img");
  if (run("command -v fls >/dev/null && command -v icat >/dev/null && command -v qemu-img >/dev/null && echo yes") != "yes\n")
    GTEST_SKIP() << "The Sleuth Kit or qemu-img missing";
  const std::string dir = ::testing::TempDir();
  for (const auto& [image, fat32, least] :
       {std::tuple<const char*, bool, int>{"fat12.vhdx", false, 400}, {"fat16.vhdx", false, 400},
        {"fat32.vhdx", true, 400}, {"fat_attrs.vhdx", false, 15}}) {
    FatFixture f;
    if (!f.open(image, fat32)) GTEST_SKIP();
    SCOPED_TRACE(image);
    const std::string raw = dir + "/" + image + ".raw";
    run("qemu-img convert -f vhdx -O raw '" + fixturePath(image) + "' '" + raw + "'");
    const auto& volume = f.manifest["volumes"][0];
    ASSERT_TRUE(f.parseStandard(2048, volume["sector_count"].get<std::uint64_t>() * 512));
    const auto ours = byPath(*f.parser);
    std::istringstream lines(run("fls -r -p -o 2048 '" + raw + "'"));
    int compared = 0;
    for (std::string line; std::getline(lines, line);) {
      const std::size_t tab = line.find('\t');
      if (tab == std::string::npos || line.rfind("v/v", 0) == 0 || line.rfind("V/V", 0) == 0) continue;
      const std::string head = line.substr(0, tab);
      const std::string path = line.substr(tab + 1);
      if (path.find("(Volume Label Entry)") != std::string::npos || path.rfind("$OrphanFiles", 0) == 0) continue;
      if (head.find('*') != std::string::npos) continue;
      // The Sleuth Kit shows no more than 200-odd units of a name; such a name is matched by what it shows.
      const auto match = ours.lower_bound(comparable(path));
      ASSERT_TRUE(ours.count(comparable(path)) ||
                  (path.size() >= 200 && match != ours.end() && match->first.rfind(comparable(path), 0) == 0))
          << path;
      if (head[0] == 'r' && (path == "Fragmented file.bin" || path.find("deep file") != std::string::npos ||
                           path.find("deeper.txt") != std::string::npos)) {
        const std::string inode = head.substr(head.find(' ') + 1, head.find(':') - head.find(' ') - 1);
        const std::string theirs = run("icat -o 2048 '" + raw + "' " + inode + " | sha256sum | cut -c1-64");
        EXPECT_EQ(f.sha(ours.at(comparable(path))) + "\n", theirs) << path;
      }
      ++compared;
    }
    EXPECT_GT(compared, least);
    std::remove(raw.c_str());
  }
}

TEST(FatFixtures, AdvancedModeParsesAVolumeWhoseBootSectorWasZeroed) {
  for (const auto& [image, fat32, sectors] :
       {std::tuple<const char*, bool, std::uint64_t>{"fat16.vhdx", false, 51536}, {"fat32.vhdx", true, 69632}}) {
    FatFixture f;
    if (!f.open(image, fat32)) GTEST_SKIP();
    SCOPED_TRACE(image);
    f.wrapper = std::make_unique<ZeroedRange>(*f.vhdx, 2048 * 512, 2049 * 512);
    f.reader = f.wrapper.get();
    f.attach(2048, sectors * 512);
    EXPECT_FALSE(f.parser->checkBootSector());
    const std::vector<std::uint64_t> fats = f.parser->findFatCandidates(3);
    ASSERT_GE(fats.size(), 2u);
    EXPECT_EQ(fats.size(), 2u);  // the two copies and nothing else
    f.parser->setAdvancedGeometry(1);
    f.parser->loadFatAt(fats[0]);
    f.parser->scanEntryCandidates();
    // FAT32 slots of empty files (no cluster, no size) are no candidates; FAT12/16 ones are.
    EXPECT_GT(f.parser->entryCandidates().size(), fat32 ? 20u : 400u);
    f.parser->buildFromCandidates();
    f.parser->linkEntries();
    f.parser->fillTopLevel();
    const auto found = byPath(*f.parser);
    // Files in the root window and the folders found through their slots are where they belong.
    ASSERT_TRUE(found.count("readme.txt"));
    EXPECT_EQ(f.sha(found.at("readme.txt")), f.manifest["volumes"][0]["entries"][0]["sha256"].get<std::string>());
    // FAT32 root slots past the root's first cluster hang below "ORPHAN ENTRY".
    EXPECT_TRUE(found.count("fragmented file.bin") || found.count("orphan entry/fragmented file.bin"));
    bool deepFound = false;
    for (const auto& [path, index] : found)
      if (path.find("deep file.bin") != std::string::npos) {
        deepFound = true;
        EXPECT_EQ(std::uint64_t{f.parser->entry(index).fileSize}, 5000u);
      }
    EXPECT_TRUE(deepFound);
  }
}

TEST(FatFixtures, RecoverWritesFilesWithTimesAndRestoresRecycleBinNames) {
  if (!haveFixture("fat32.vhdx")) GTEST_SKIP();
  const std::string out = test::makeTempDir("fat-recover");
  std::filesystem::remove_all(out);
  // The Windows-style copy: OEM "MSDOS5.0", FAT entry 1 0xFFFFFFFF.
  const auto r = runTessary({"recover", fixturePath("fat32.vhdx"), "--volume", "1", "--out", out, "--quiet"});
  ASSERT_EQ(r.status, 0) << r.err;
  const std::string partner = out + "/$RECYCLEBIN/S-1-5-21-7/quarterly report.docx";
  ASSERT_TRUE(std::filesystem::exists(partner));
  EXPECT_EQ(std::filesystem::file_size(partner), 2345u);
  struct stat st {};
  ASSERT_EQ(stat((out + "/README.TXT").c_str(), &st), 0);
  EXPECT_EQ(st.st_mtime, 1590000000 + 3662);
  EXPECT_EQ(std::filesystem::file_size(out + "/Old report.txt"), 4u * 512 + 17);
  std::filesystem::remove_all(out);
}

TEST(FatFixtures, FatCandidateScanStopsAtTheMaximum) {
  FatFixture f;
  if (!f.open("fat32.vhdx", true)) GTEST_SKIP();
  // Both volumes of the disk as one range: four FAT copies, of which one is asked for.
  f.attach(2048, 2ull * 69632 * 512);
  EXPECT_EQ(f.parser->findFatCandidates(1).size(), 1u);
  EXPECT_EQ(f.parser->findFatCandidates(0).size(), 3u);
  EXPECT_EQ(f.parser->findFatCandidates(10).size(), 4u);
}

// ---- What Windows and current tools leave besides plain files ----

TEST(FatOddFixtures, FilesOfEveryAttributeHiddenFoldersCaseBitsAndDeletedLongNamesAreListedAndRecovered) {
  for (const auto& [kind, fat32] : {std::pair<const char*, bool>{"fat16", false}, {"fat32", true}}) {
    SCOPED_TRACE(kind);
    FatFixture f;
    if (!f.open("fat_attrs.vhdx", fat32)) GTEST_SKIP() << "fat_attrs.vhdx missing";
    const nlohmann::json& volume = f.manifest["volumes"][fat32 ? 1 : 0];
    ASSERT_TRUE(f.parseStandard(volume["start_sector"].get<std::uint64_t>(), volume["sector_count"].get<std::uint64_t>() * 512));
    // Every file with its content and time, below hidden, system and read-only folders too; the deleted
    // ones under their whole long names.
    checkAgainstManifest(f, volume, 12);
    // Names as they were typed: lower-case 8.3 names and the long name of 219 units whole.
    std::set<std::string> exact;
    for (const Listed& l : listAll(*f.parser)) exact.insert(l.path);
    for (const char* name : {"big.bin", "lower.txt", "Removed Report.txt", "gone with a long name.dat",
                             "Hidden Folder/Hidden Sub/deeper.txt", "Locked Folder/kept.txt"})
      EXPECT_TRUE(exact.count(name)) << name;
    const std::string longName = volume["entries"][6]["path"];
    ASSERT_EQ(longName.size(), 219u);
    EXPECT_TRUE(exact.count(longName));
    // The tree's top level: every root record but the volume label.
    std::set<std::string> top;
    for (TreeItem i = f.tree.childItem(f.parser->topItem()); i != kNoItem; i = f.tree.nextSiblingItem(i))
      top.insert(f.tree.itemText(i));
    for (const char* name : {"ReadOnly.txt", "Hidden.txt", "System.txt", "NoArchive.txt", "Hidden Folder",
                             "$RECYCLEBIN", "Locked Folder", "Removed Report.txt"})
      EXPECT_TRUE(top.count(name)) << name;
    EXPECT_EQ(top.size(), 12u);
    EXPECT_FALSE(top.count(fat32 ? "ODDFAT32   " : "ODDFAT16   "));
  }
}

TEST(FatOddFixtures, RecoverSavesRootFilesOfEveryAttributeAndWhatHiddenFoldersHold) {
  if (!haveFixture("fat_attrs.vhdx")) GTEST_SKIP();
  const std::string out = test::makeTempDir("fat-attrs");
  std::filesystem::remove_all(out);
  const auto r = runTessary({"recover", fixturePath("fat_attrs.vhdx"), "--volume", "0", "--out", out, "--quiet"});
  ASSERT_EQ(r.status, 0) << r.err;
  std::ifstream in(fixturePath("fat_attrs.json"));
  const nlohmann::json manifest = nlohmann::json::parse(in);
  int saved = 0;
  for (const auto& e : manifest["volumes"][0]["entries"]) {
    if (e["folder"].get<bool>()) continue;
    std::string path = e["path"];
    if (path.rfind("$RECYCLE.BIN/", 0) == 0) path.replace(0, 12, "$RECYCLEBIN");
    std::ifstream file(out + "/" + path, std::ios::binary);
    ASSERT_TRUE(file) << path;
    const std::string bytes((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
    EXPECT_EQ(sha256Hex(bytes), e["sha256"].get<std::string>()) << path;
    ++saved;
  }
  EXPECT_EQ(saved, 14);
  const auto listed = runTessary({"ls", fixturePath("fat_attrs.vhdx"), "--volume", "1", "--json"});
  ASSERT_EQ(listed.status, 0) << listed.err;
  std::set<std::string> paths;
  for (const auto& o : listed.objects()) paths.insert(o["path"].get<std::string>());
  EXPECT_TRUE(paths.count("Hidden Folder/Hidden Sub/deeper.txt"));
  EXPECT_TRUE(paths.count("ReadOnly.txt"));
  EXPECT_TRUE(paths.count("big.bin"));
  std::filesystem::remove_all(out);
}

TEST(FatOddFixtures, AdvancedModeReadsPaddedFatsTheRootAreaAndTwelveBitChainsWithoutTheBootSector) {
  for (const int index : {0, 1}) {
    FatFixture f;
    if (!f.open("fat_padded.vhdx", false)) GTEST_SKIP() << "fat_padded.vhdx missing";
    const nlohmann::json& volume = f.manifest["volumes"][index];
    SCOPED_TRACE(volume["kind"].get<std::string>());
    const std::uint64_t start = volume["start_sector"];
    const std::uint64_t sectors = volume["sector_count"];
    const std::uint32_t perCluster = index == 0 ? 16 : 8;
    for (const bool zeroed : {true, false}) {
      SCOPED_TRACE(zeroed ? "boot sector zeroed" : "boot sector sound");
      FatFixture g;
      ASSERT_TRUE(g.open("fat_padded.vhdx", false));
      if (zeroed) {
        g.wrapper = std::make_unique<ZeroedRange>(*g.vhdx, start * 512, start * 512 + 512);
        g.reader = g.wrapper.get();
      }
      // The volume list's whole MiB.
      g.attach(start, sectors * 512 >> 20 << 20);
      EXPECT_EQ(g.parser->checkBootSector(), !zeroed);
      const std::vector<std::uint64_t> fats = g.parser->findFatCandidates(3);
      ASSERT_EQ(fats.size(), 2u);
      g.parser->setAdvancedGeometry(perCluster);
      // Either copy leads to the same layout.
      g.parser->loadFatAt(fats[zeroed ? 1 : 0]);
      g.parser->scanEntryCandidates();
      g.parser->buildFromCandidates();
      g.parser->linkEntries();
      EXPECT_EQ(g.parser->entryBits(), index == 0 ? 12 : 16);
      // A folder candidate is read two clusters deep; the slots of its further clusters are candidates of
      // their own and hang below "ORPHAN ENTRY" by their names.
      std::map<std::string, std::int64_t> found;
      for (const Listed& l : listAll(*g.parser)) {
        std::string path = l.path;
        if (path.rfind("ORPHAN ENTRY/", 0) == 0) path = "?/" + path.substr(path.rfind('/') + 1);
        if (!g.parser->entry(l.index).deleted) found[comparable(path)] = l.index;
      }
      int right = 0, files = 0;
      for (const auto& e : volume["entries"]) {
        if (e["folder"].get<bool>() || e["deleted"].get<bool>()) continue;
        ++files;
        const std::string path = e["path"];
        auto it = found.find(comparable(path));
        if (it == found.end()) it = found.find(comparable("?/" + path.substr(path.rfind('/') + 1)));
        if (it != found.end() && g.sha(it->second) == e["sha256"].get<std::string>()) ++right;
      }
      // The entry scan passes over long names outside its letters (two files), nothing else.
      EXPECT_GE(right, files - 2) << right << " of " << files;
    }
  }
}

// ---- Hand-built volumes ----

// A FAT16 volume: 512-byte sectors, 1 sector per cluster, 1 reserved sector, 2 FATs of 16 sectors, 32 root
// slots; `total` sectors.
struct Fat16Builder {
  ByteVector bytes;
  static constexpr std::size_t kFat = 512, kFatSectors = 16, kRoot = 512 + 2 * 16 * 512, kData = kRoot + 32 * 32;
  explicit Fat16Builder(std::size_t total = 6000, const char* oem = "mkfs.fat") : bytes(total * 512) {
    put8(0, 0xEB);
    std::memcpy(bytes.data() + 3, oem, 8);
    put16(11, 512);
    put8(13, 1);
    put16(14, 1);
    put8(16, 2);
    put16(17, 32);
    put16(19, static_cast<std::uint16_t>(total));
    put16(22, kFatSectors);
    fat(0, 0xFFF8);
    fat(1, 0xFFFF);
  }
  void put8(std::size_t at, std::uint8_t v) { bytes[at] = std::byte{v}; }
  void put16(std::size_t at, std::uint16_t v) { put8(at, v & 0xFF), put8(at + 1, v >> 8); }
  void put32(std::size_t at, std::uint32_t v) { put16(at, v & 0xFFFF), put16(at + 2, v >> 16); }
  void fat(std::uint32_t c, std::uint16_t v) { put16(kFat + 2 * c, v); }
  std::size_t cluster(std::uint32_t c) const { return kData + (c - 2) * 512; }
  // An 8.3 slot: name is 11 bytes.
  void slot(std::size_t at, const char* name11, std::uint8_t attributes, std::uint16_t first, std::uint32_t size) {
    std::memcpy(bytes.data() + at, name11, 11);
    put8(at + 11, attributes);
    put16(at + 14, 0x6000);  // 12:00
    put16(at + 16, 0x5021);  // 2020-01-01
    put16(at + 18, 0x5021);
    put16(at + 22, 0x6000);
    put16(at + 24, 0x5021);
    put16(at + 26, first);
    put32(at + 28, size);
  }
  void dots(std::uint32_t c, std::uint16_t parent) {
    slot(cluster(c), ".          ", 0x10, static_cast<std::uint16_t>(c), 0);
    slot(cluster(c) + 32, "..         ", 0x10, parent, 0);
  }
  // A long-name slot holding 13 units of `piece` (padded with 0 then 0xFFFF), for the short name `owner`.
  void longSlot(std::size_t at, std::uint8_t sequence, std::u16string piece, const char* owner) {
    put8(at, sequence);
    put8(at + 11, 0x0F);
    put8(at + 13, FatParser::shortNameChecksum(Bytes(reinterpret_cast<const std::byte*>(owner), 11)));
    const std::size_t offsets[] = {1, 3, 5, 7, 9, 14, 16, 18, 20, 22, 24, 28, 30};
    for (std::size_t i = 0; i < 13; ++i)
      put16(at + offsets[i], i < piece.size() ? piece[i] : (i == piece.size() ? 0 : 0xFFFF));
  }
};

struct Built {
  std::unique_ptr<MemoryDisk> disk;
  Fat16Class parser;
  CXHtmlTree tree;
  bool parse(const ByteVector& bytes) {
    disk = std::make_unique<MemoryDisk>(bytes);
    parser.setTree(&tree, "ROOT");
    parser.attach(VolumeView(*disk, 0, bytes.size() / 512));
    parser.setVolumeSize(bytes.size());
    if (!parser.checkBootSector()) return false;
    parser.readFat();
    parser.parseRootDirectory();
    parser.linkEntries();
    parser.fillTopLevel();
    return true;
  }
};

TEST(FatBuilt, BootSectorsAreTakenBySoundGeometryNotByOemName) {
  {
    Built b;
    EXPECT_TRUE(b.parse(Fat16Builder(6000, "mkfs.fat").bytes)) << "mkfs.fat's own name";
  }
  {
    Built b;
    EXPECT_TRUE(b.parse(Fat16Builder(6000, "CAMERA01").bytes)) << "a camera's name";
  }
  // Corrupted in five ways: each is refused.
  for (const auto& [at, value, what] :
       std::vector<std::tuple<std::size_t, std::uint16_t, const char*>>{{13, 0, "zero sectors per cluster"},
                                                                       {11, 0, "zero bytes per sector"},
                                                                       {11, 768, "bytes per sector not a power of two"},
                                                                       {16, 3, "three FATs"},
                                                                       {22, 0, "a FAT32 layout"}}) {
    Fat16Builder v;
    if (at == 13 || at == 16) v.put8(at, static_cast<std::uint8_t>(value)); else v.put16(at, value);
    Built b;
    EXPECT_FALSE(b.parse(v.bytes)) << what;
  }
  {
    // MSDOS volumes are taken as before, whatever their geometry, but never divided by zero.
    Fat16Builder v(6000, "MSDOS5.0");
    v.put8(16, 3);
    Built b;
    EXPECT_TRUE(b.parse(v.bytes));
    Fat16Builder z(6000, "MSDOS5.0");
    z.put8(13, 0);
    Built c;
    EXPECT_FALSE(c.parse(z.bytes));
  }
}

TEST(FatBuilt, ShortNamesLongNamesAndDeletedMarks) {
  Fat16Builder v;
  const std::size_t root = Fat16Builder::kRoot;
  v.slot(root, "README  TXT", 0x20, 0, 0);
  v.slot(root + 32, "DOCS       ", 0x10, 2, 0);
  v.dots(2, 0);
  v.fat(2, 0xFFFF);
  v.slot(root + 64, "\xE5OST    TXT", 0x20, 0, 0);
  // A long name of 26 units exactly (no terminator), over two slots, last piece first.
  v.longSlot(root + 96, 0x42, u"NOPQRSTUVWXYZ", "ABCDEF~1   ");
  v.longSlot(root + 128, 0x01, u"ABCDEFGHIJKLM", "ABCDEF~1   ");
  v.slot(root + 160, "ABCDEF~1   ", 0x20, 0, 0);
  v.slot(root + 192, "NOEXT      ", 0x20, 0, 0);
  Built b;
  ASSERT_TRUE(b.parse(v.bytes));
  std::vector<std::u16string> names;
  for (std::int64_t c : b.parser.childEntries(0)) names.push_back(b.parser.entryName(c));
  ASSERT_EQ(names.size(), 5u);
  EXPECT_EQ(names[0], u"README.TXT");
  EXPECT_EQ(names[1], u"DOCS       ");
  EXPECT_EQ(names[2], u"\uFFE5OST.TXT");
  EXPECT_TRUE(b.parser.entry(b.parser.childEntries(0)[2]).deleted);
  EXPECT_EQ(names[3], u"ABCDEFGHIJKLMNOPQRSTUVWXYZ");
  EXPECT_EQ(names[4], u"NOEXT   .   ");
}

TEST(FatBuilt, LongNamesOfUpToTwentySlotsAreKeptWholeAndOnlyForTheirOwnShortEntry) {
  Fat16Builder v;
  const std::size_t root = Fat16Builder::kRoot;
  std::size_t at = root;
  // 255 units over 20 slots (the last piece 8 units long), stored last piece first.
  std::u16string longest;
  for (int i = 0; i < 255; ++i) longest.push_back(static_cast<char16_t>(u'a' + i % 26));
  for (int k = 19; k >= 0; --k, at += 32)
    v.longSlot(at, static_cast<std::uint8_t>((k == 19 ? 0x40 : 0) | (k + 1)), longest.substr(13 * k, 13), "ABCDEF~1TXT");
  v.slot(at, "ABCDEF~1TXT", 0x20, 0, 0);
  at += 32;
  // A long name left from an earlier file: its checksum names another short entry.
  v.longSlot(at, 0x41, u"stale name", "OTHER   TXT");
  v.slot(at + 32, "PLAIN   TXT", 0x20, 0, 0);
  at += 64;
  // Two names in a row: the first lost its short entry; only the second belongs to what follows.
  v.longSlot(at, 0x41, u"orphan piece", "GONE    TXT");
  v.longSlot(at + 32, 0x41, u"Second one", "SECOND~1   ");
  v.slot(at + 64, "SECOND~1   ", 0x20, 0, 0);
  at += 96;
  // Deleted: the short entry's first byte is lost to 0xE5, the checksum still fits its first byte.
  v.longSlot(at, 0xE5, u"Removed.txt", "REMOVED TXT");
  v.slot(at + 32, "\xE5" "EMOVED TXT", 0x20, 0, 0);
  at += 64;
  // Deleted, but the long name belonged to another file.
  v.longSlot(at, 0xE5, u"Someone else", "SOMEON~1   ");
  v.slot(at + 32, "\xE5" "OST    TXT", 0x20, 0, 0);
  Built b;
  ASSERT_TRUE(b.parse(v.bytes));
  std::vector<std::u16string> names;
  for (std::int64_t c : b.parser.childEntries(0)) names.push_back(b.parser.entryName(c));
  ASSERT_EQ(names.size(), 5u);
  EXPECT_EQ(names[0], longest);
  EXPECT_EQ(names[1], u"PLAIN.TXT");
  EXPECT_EQ(names[2], u"Second one");
  EXPECT_EQ(names[3], u"Removed.txt");
  EXPECT_EQ(names[4], u"\uFFE5OST.TXT");
  EXPECT_TRUE(b.parser.entry(b.parser.childEntries(0)[3]).deleted);
}

TEST(FatBuilt, LowerCaseBitsOfShortNamesAreShown) {
  Fat16Builder v;
  const std::size_t root = Fat16Builder::kRoot;
  for (const auto& [i, bits] : {std::pair<int, std::uint8_t>{0, 0x18}, {1, 0x08}, {2, 0x10}, {3, 0x00}}) {
    const char* names[] = {"BIG     BIN", "BASE    TXT", "EXT     TXT", "UPPER   TXT"};
    v.slot(root + 32 * i, names[i], 0x20, 0, 0);
    v.put8(root + 32 * i + 12, bits);
  }
  v.slot(root + 128, "DOCS       ", 0x10, 2, 0);
  v.put8(root + 128 + 12, 0x08);
  v.dots(2, 0);
  v.fat(2, 0xFFFF);
  Built b;
  ASSERT_TRUE(b.parse(v.bytes));
  std::vector<std::u16string> names;
  for (std::int64_t c : b.parser.childEntries(0)) names.push_back(b.parser.entryName(c));
  EXPECT_EQ(names, (std::vector<std::u16string>{u"big.bin", u"base.TXT", u"EXT.txt", u"UPPER.TXT", u"docs       "}));
}

TEST(FatBuilt, LoopingChainsAndChainsPastTheFatEnd) {
  Fat16Builder v;
  const std::size_t root = Fat16Builder::kRoot;
  v.slot(root, "LOOP       ", 0x10, 2, 0);
  v.dots(2, 0);
  v.slot(v.cluster(2) + 64, "A       TXT", 0x20, 0, 0);
  v.fat(2, 3);
  v.slot(v.cluster(3), "B       TXT", 0x20, 0, 0);
  v.fat(3, 2);  // back to the folder's first cluster
  v.slot(root + 32, "PAST       ", 0x10, 4, 0);
  v.dots(4, 0);
  v.fat(4, 0xF000);  // far past the FAT and the volume
  // A sub-folder pointing back at its parent's cluster.
  v.slot(v.cluster(4) + 64, "BACK       ", 0x10, 4, 0);
  // A file whose chain loops is cut at its size, with the loop's bytes.
  v.slot(root + 64, "BIG     BIN", 0x20, 5, 5000);
  v.fat(5, 5);
  Built b;
  ASSERT_TRUE(b.parse(v.bytes));
  const auto top = b.parser.childEntries(0);
  ASSERT_EQ(top.size(), 3u);
  EXPECT_EQ(b.parser.childEntries(top[0]).size(), 2u);  // A and B once each
  const auto past = b.parser.childEntries(top[1]);
  ASSERT_EQ(past.size(), 1u);
  EXPECT_TRUE(b.parser.childEntries(past[0]).empty());
  MemorySink data(1u << 20);
  b.parser.writeFileData(top[2], data);
  EXPECT_EQ(data.written(), 5000u);
}

TEST(FatBuilt, DeletedFileLargerThanAClusterComesBackFromFreeClustersInOrder) {
  Fat16Builder v;
  const std::size_t root = Fat16Builder::kRoot;
  v.slot(root, "\xE5" "ELETEDBIN", 0x20, 10, 1300);
  v.slot(root + 32, "LIVE    BIN", 0x20, 11, 512);
  v.fat(11, 0xFFFF);  // a live file sits in the middle of the freed clusters
  for (std::size_t i = 0; i < 512; ++i) {
    v.put8(v.cluster(10) + i, 'a');
    v.put8(v.cluster(11) + i, 'L');
    v.put8(v.cluster(12) + i, 'b');
    v.put8(v.cluster(13) + i, 'c');
  }
  Built b;
  ASSERT_TRUE(b.parse(v.bytes));
  MemorySink data(1u << 20);
  EXPECT_TRUE(b.parser.writeFileData(b.parser.childEntries(0)[0], data));
  std::string got(reinterpret_cast<const char*>(data.bytes().data()), data.bytes().size());
  EXPECT_EQ(got, std::string(512, 'a') + std::string(512, 'b') + std::string(276, 'c'));
}

TEST(FatBuilt, Fat12EntriesAreDecodedInTwelveBits) {
  Fat16Builder v(1000);
  // Cluster 2 -> 3 -> 4 -> end, packed in 12 bits: entries 0..5 = FF8 FFF 003 004 FFF 000.
  const std::uint8_t packed[] = {0xF8, 0xFF, 0xFF, 0x03, 0x40, 0x00, 0xFF, 0x0F, 0x00};
  for (std::size_t i = 0; i < sizeof packed; ++i) v.put8(Fat16Builder::kFat + i, packed[i]);
  v.slot(Fat16Builder::kRoot, "THREE   BIN", 0x20, 2, 1536);
  for (std::size_t i = 0; i < 1536; ++i) v.put8(v.cluster(2) + i, static_cast<std::uint8_t>('0' + i / 512));
  Built b;
  ASSERT_TRUE(b.parse(v.bytes));
  EXPECT_EQ(b.parser.entryBits(), 12);
  EXPECT_EQ(b.parser.nextCluster(2), 3u);
  EXPECT_EQ(b.parser.nextCluster(3), 4u);
  EXPECT_EQ(b.parser.nextCluster(4), FatParser::kEndOfChain);
  MemorySink data(1u << 20);
  EXPECT_TRUE(b.parser.writeFileData(b.parser.childEntries(0)[0], data));
  EXPECT_EQ(data.bytes().size(), 1536u);
  EXPECT_EQ(static_cast<char>(data.bytes()[1535]), '2');
}

TEST(FatBuilt, DetailListTextsKeepTheSystemsClock) {
  Fat16Class p;
  FatDirRecord r{};
  r.creationDate = static_cast<std::uint16_t>((40 << 9) | (3 << 5) | 7);  // 2020-03-07
  r.creationTime = static_cast<std::uint16_t>(12 << 11 | 5 << 5);         // noon shows as 12 AM
  r.writeDate = r.creationDate;
  r.writeTime = static_cast<std::uint16_t>(23 << 11 | 59 << 5);
  r.accessDate = r.creationDate;
  r.attributes = 0x27;
  const FatRecordTexts t = p.formatTimes(r);
  EXPECT_EQ(t.creation, "03/07/2020  12:05 AM");
  EXPECT_EQ(t.modification, "03/07/2020  11:59 PM");
  EXPECT_EQ(t.access, "03/07/2020 ");
  EXPECT_EQ(t.attributes, "-R-H-S-A");
  EXPECT_EQ(sizeText(1023), "1023 Bytes");
  EXPECT_EQ(sizeText(1536), "1.50 KB");
  EXPECT_EQ(sizeText(3u << 20), "3.00 MB");
}

// The size text is written digit by digit: it gives the formatter's text for every size, exact halves
// of a hundredth (which go to the even digit) and the steps between units included.
TEST(FatBuilt, SizeTextsAreTheFormattersTextAtEveryRoundingEdge) {
  const auto formatted = [](std::uint64_t bytes) {
    const double x = static_cast<double>(bytes);
    char text[64];
    if (bytes >= (1ULL << 30)) std::snprintf(text, sizeof text, "%.2f GB", x / 1073741824.0);
    else if (bytes >= (1ULL << 20)) std::snprintf(text, sizeof text, "%.2f MB", x / 1048576.0);
    else if (bytes >= 1024) std::snprintf(text, sizeof text, "%.2f KB", x / 1024.0);
    else std::snprintf(text, sizeof text, "%llu Bytes", static_cast<unsigned long long>(bytes));
    return std::string(text);
  };
  std::vector<std::uint64_t> sizes = {0, 1, 1023, 1024, 1025, 1152, 1152 + 256, 1048575, 1048576, (1ULL << 30) - 1,
                                      1ULL << 30, (1ULL << 53) - 1, 1ULL << 53, UINT64_MAX};
  for (unsigned shift : {10u, 20u, 30u})
    for (std::uint64_t whole : {1ULL, 7ULL, 99ULL, 1000ULL, 1023ULL})
      for (std::uint64_t part = 0; part < 1024; ++part)  // hundredths and their exact halves, at every step
        sizes.push_back((whole << shift) + (part << (shift - 10)) + (part % 3 == 0 ? 0 : part % 3 == 1 ? 1 : (1ULL << (shift - 10)) - 1));
  std::uint64_t seed = 88172645463325252ULL;
  for (int i = 0; i < 20000; ++i) {
    seed ^= seed << 13;
    seed ^= seed >> 7;
    seed ^= seed << 17;
    sizes.push_back(seed >> (seed % 40 + 10));
  }
  for (std::uint64_t bytes : sizes) EXPECT_EQ(sizeText(bytes), formatted(bytes)) << bytes;
}

// Files saved one after another share one read buffer: a file whose cluster cannot be read is written
// as zeros of its size, never with the bytes of the larger file saved before it.
TEST(FatFixtures, AFileThatCannotBeReadHoldsZerosNotTheFileSavedBeforeIt) {
  FatFixture clean;
  if (!clean.open("fat32.vhdx", true)) GTEST_SKIP();
  const std::uint64_t sectors = 69632;
  ASSERT_TRUE(clean.parseStandard(2048, sectors * 512));
  const auto paths = byPath(*clean.parser);
  ASSERT_TRUE(paths.count("readme.txt"));
  // The largest file, and the first cluster of readme.txt made unreadable.
  std::int64_t largest = -1;
  for (const auto& [path, index] : paths)
    if (!clean.parser->isFolderRecord(index) &&
        (largest < 0 || clean.parser->entry(index).fileSize > clean.parser->entry(largest).fileSize))
      largest = index;
  ASSERT_GE(largest, 0);
  const std::int64_t small = paths.at("readme.txt");
  const std::uint32_t smallSize = clean.parser->entry(small).fileSize;
  ASSERT_GT(smallSize, 0u);
  ASSERT_LE(smallSize, clean.parser->clusterSize());
  const std::optional<std::uint64_t> at = clean.parser->clusterStart(clean.parser->entry(small).firstCluster());
  ASSERT_TRUE(at);
  FatFixture f;
  ASSERT_TRUE(f.open("fat32.vhdx", true));
  const std::uint64_t from = 2048 * 512 + *at;
  f.wrapper = std::make_unique<FailingRange>(*f.vhdx, from, from + clean.parser->clusterSize());
  f.reader = f.wrapper.get();
  ASSERT_TRUE(f.parseStandard(2048, sectors * 512));
  bool ok = false;
  EXPECT_EQ(f.sha(largest, &ok), clean.sha(largest));
  EXPECT_TRUE(ok);
  MemorySink sink(1 << 20);
  EXPECT_FALSE(f.parser->writeFileData(small, sink));
  ASSERT_EQ(sink.bytes().size(), smallSize);
  EXPECT_TRUE(std::all_of(sink.bytes().begin(), sink.bytes().end(), [](std::byte b) { return b == std::byte{0}; }));
}

}  // namespace
}  // namespace tessary::test
