// The HFS+ parser on built volumes: linking, data forks with extents overflow, a catalog in several extents,
// stale records, the alternate header, the deep scan's filing, and hostile nodes and records.
#include <gtest/gtest.h>

#include <map>
#include <set>

#include "app/parce_mode_ntfs_dlg.h"
#include "app/wizard_state.h"
#include "fs/hfsplus/hfsplus.h"
#include "fs/registry.h"
#include "platform/file_time.h"
#include "fs/parser_slot.h"
#include "support/failing_range.h"
#include "support/hfsplus_builder.h"
#include "support/recording_sink.h"

namespace tessary {
namespace {

using test::ByteVector;
using test::HfsBuilder;
using test::HfsBuildExtent;
using test::HfsBuildOverflow;
using test::HfsBuildRecord;

ByteVector pattern(std::size_t size, unsigned seed) {
  ByteVector out(size);
  for (std::size_t i = 0; i < size; ++i) out[i] = std::byte(static_cast<std::uint8_t>((i * 7 + seed * 13 + i / 251) & 0xFF));
  return out;
}

class TimesSink : public MemorySink {
 public:
  TimesSink() : MemorySink(64 << 20) {}
  bool setTimes(std::int64_t access, std::int64_t modification) override {
    accessNs = access;
    modificationNs = modification;
    return true;
  }
  bool setCreationTime(std::int64_t creation) override {
    creationNs = creation;
    return true;
  }
  std::int64_t accessNs = -1, modificationNs = -1, creationNs = -1;
};

struct Parsed {
  // failFrom..failTo: a byte range of the disk whose reads fail.
  explicit Parsed(ByteVector bytes, std::string sizeText = "2", std::uint64_t failFrom = 0, std::uint64_t failTo = 0)
      : disk(std::move(bytes)), failing(disk, failFrom, failTo) {
    volume.fileSystem = "HFS+";
    volume.volumeSizeText = sizeText + "  MB";
    hfs.setVolume(volume);
    hfs.attachVolume(VolumeView(failing, 0, disk.bytes().size() / 512));
    hfs.setSink(&sink);
    hfs.setTree(&tree, "ROOT");
  }
  bool parse(int mode = 1) { return hfs.parse(mode); }
  // path below the top -> CNID, through the children links.
  std::map<std::string, std::uint32_t> paths() const {
    std::map<std::string, std::uint32_t> out;
    std::set<std::int64_t> seen;
    std::function<void(std::int64_t, const std::string&)> walk = [&](std::int64_t cnid, const std::string& path) {
      if (!seen.insert(cnid).second) return;
      for (std::int64_t child : hfs.childEntries(cnid)) {
        const std::string p = path + "/" + hfs.entryName(child);
        out[p.substr(1)] = static_cast<std::uint32_t>(child);
        walk(child, p);
      }
    };
    for (TreeItem item = tree.childItem(hfs.topItem()); item != kNoItem; item = tree.nextSiblingItem(item)) {
      const std::int64_t cnid = tree.itemData(item);
      out[tree.itemText(item)] = static_cast<std::uint32_t>(cnid);
      walk(cnid, "/" + tree.itemText(item));
    }
    return out;
  }
  ByteVector content(std::uint32_t cnid, bool* ok = nullptr) {
    TimesSink s;
    const bool good = hfs.saveFileData(cnid, s);
    if (ok) *ok = good;
    lastTimes = s;
    return ByteVector(s.bytes().begin(), s.bytes().end());
  }
  test::MemoryDisk disk;
  test::FailingRange failing;
  VolumeEntry volume;
  RecordingSink sink;
  CXHtmlTree tree;
  HFSP hfs;
  TimesSink lastTimes;
};

HfsBuildRecord folder(std::uint32_t cnid, std::uint32_t parent, std::u16string name) {
  HfsBuildRecord r;
  r.type = 1;
  r.cnid = cnid;
  r.parent = parent;
  r.name = std::move(name);
  return r;
}

HfsBuildRecord file(HfsBuilder& b, std::uint32_t cnid, std::uint32_t parent, std::u16string name, const ByteVector& data,
                    std::uint32_t pieces = 1) {
  HfsBuildRecord r;
  r.cnid = cnid;
  r.parent = parent;
  r.name = std::move(name);
  r.size = data.size();
  r.extents = b.placeFragmented(data, pieces);
  for (const auto& e : r.extents) r.totalBlocks += e.count;
  return r;
}

// A small live tree: root (2) > docs (16) > a.txt (17, 5000 bytes), b.bin (18); root > top.txt (19).
struct SmallVolume {
  SmallVolume(std::uint32_t blockSize = 4096) : b(blockSize, (2u << 20) / blockSize, 4096) {
    a = pattern(5000, 1);
    top = pattern(100, 3);
    HfsBuildRecord fa = file(b, 17, 16, u"a.txt", a);
    fa.created = 3000000000u;
    fa.accessed = 3000000100u;
    fa.contentModified = 3000000200u;
    fa.attributeModified = 3000000300u;
    fa.mode = 0x1A4;  // rw-r--r--
    leaves = {{folder(2, 1, u"Volume"), folder(16, 2, u"docs"), fa},
              {file(b, 18, 16, u"b.bin", pattern(3 * blockSize, 2), 2), file(b, 19, 2, u"top.txt", top)}};
  }
  ByteVector build() {
    b.writeCatalog(leaves);
    b.writeExtentsFile({});
    b.writeHeaders();
    return b.bytes();
  }
  HfsBuilder b;
  ByteVector a, top;
  std::vector<std::vector<HfsBuildRecord>> leaves;
};

TEST(HfsPlusParser, StandardModeLinksTheCatalogAndWritesForksWithTheirTimesAndTexts) {
  SmallVolume v;
  Parsed p(v.build());
  ASSERT_TRUE(p.parse());
  const auto paths = p.paths();
  EXPECT_EQ(paths, (std::map<std::string, std::uint32_t>{{"docs", 16}, {"docs/a.txt", 17}, {"docs/b.bin", 18}, {"top.txt", 19}}));
  EXPECT_TRUE(p.sink.sawStatus("Maintaining Parent Child...."));
  EXPECT_TRUE(p.sink.sawStatus("Maintaining Parent Child for record 3 of 5...."));
  EXPECT_TRUE(p.sink.sawStatus("found folder at Node 0"));
  EXPECT_TRUE(p.sink.sawStatus("found file at Node 1"));
  // 5000 bytes in 4096-byte blocks: a whole block and 904 bytes.
  bool ok = false;
  EXPECT_EQ(p.content(17, &ok), v.a);
  EXPECT_TRUE(ok);
  EXPECT_EQ(p.lastTimes.accessNs, unixNanosecondsFromFileTime(fileTimeFromHfs(3000000100u)));
  EXPECT_EQ(p.lastTimes.modificationNs, unixNanosecondsFromFileTime(fileTimeFromHfs(3000000200u)));
  EXPECT_EQ(p.lastTimes.creationNs, unixNanosecondsFromFileTime(fileTimeFromHfs(3000000000u)));
  EXPECT_EQ(p.content(18), pattern(3 * 4096, 2));  // in two pieces
  EXPECT_EQ(p.hfs.describeSize(17), "4.88 KB");
  EXPECT_EQ(p.hfs.describeSize(19), "100 Bytes");
  const HfsDescription d = p.hfs.describeTimesAndPermissions(17);
  EXPECT_EQ(d.creation, formatListFileTime(fileTimeFromHfs(3000000000u)));
  EXPECT_EQ(d.access, formatListFileTime(fileTimeFromHfs(3000000100u)));
  EXPECT_EQ(d.modification, formatListFileTime(fileTimeFromHfs(3000000200u)));
  EXPECT_EQ(d.permissions, "-Owner:W-Owner:R-OR-GR");
  EXPECT_EQ(p.hfs.describeTimesAndPermissions(16).creation, "");  // folders are not described
}

TEST(HfsPlusParser, ExtentsOverflowCompletesTheDataForkAndResourceForkRecordsAreIgnored) {
  HfsBuilder b(512, 4096, 4096);
  const ByteVector big = pattern(512 * 30, 9);
  HfsBuildRecord f = file(b, 20, 2, u"frag.bin", big, 10);  // ten extents: two go to the overflow file
  std::vector<HfsBuildExtent> rest(f.extents.begin() + 8, f.extents.end());
  f.extents.resize(8);
  std::uint32_t first8 = 0;
  for (const auto& e : f.extents) first8 += e.count;
  const ByteVector junk = pattern(512 * 4, 77);
  const std::uint32_t junkStart = b.allocate(4);
  b.writeBlocks(junkStart, junk);
  // The second file's overflow record is missing: its fork ends early.
  HfsBuildRecord g = file(b, 21, 2, u"short.bin", pattern(512 * 12, 5), 12);
  g.extents.resize(8);
  b.writeCatalog({{folder(2, 1, u"V"), f, g}});
  // The resource fork's record shares the key and comes first in the node.
  b.writeExtentsFile({{0xFF, 20, first8, {{junkStart, 4}}}, {0x00, 20, first8, rest}});
  b.writeHeaders();
  Parsed p(b.bytes());
  ASSERT_TRUE(p.parse());
  EXPECT_EQ(p.hfs.overflowRecordCount(), 1u);
  bool ok = false;
  EXPECT_EQ(p.content(20, &ok), big);
  EXPECT_TRUE(ok);
  const ByteVector shortened = p.content(21, &ok);
  EXPECT_FALSE(ok);
  const ByteVector whole = pattern(512 * 12, 5);
  EXPECT_EQ(shortened, ByteVector(whole.begin(), whole.begin() + 512 * 8));
}

TEST(HfsPlusParser, CatalogSlashInANameReadsAsTheColonItStandsForAndNotAsAFolder) {
  HfsBuilder b(512, 4096, 4096);
  const ByteVector data = pattern(700, 4);
  b.writeCatalog({{folder(2, 1, u"V"), folder(16, 2, u"a/b"), file(b, 17, 16, u"forward/slash", data),
                   file(b, 18, 2, u"/lead", pattern(10, 5))}});
  b.writeExtentsFile({});
  b.writeHeaders();
  Parsed p(b.bytes());
  ASSERT_TRUE(p.parse());
  EXPECT_EQ(p.hfs.entryName(17), "forward:slash");
  const auto paths = p.paths();
  EXPECT_EQ(paths.count("a:b/forward:slash"), 1u);
  EXPECT_EQ(paths.count(":lead"), 1u);
  EXPECT_EQ(p.content(17), data);
}

TEST(HfsPlusParser, CatalogInSeveralExtentsIsMappedThroughAllOfThemAndTheOverflowFile) {
  HfsBuilder b(512, 4096, 1024);
  std::vector<std::vector<HfsBuildRecord>> leaves;
  std::map<std::string, std::uint32_t> want;
  for (std::uint32_t n = 0; n < 11; ++n) {
    const std::u16string name = u"f" + std::u16string(1, static_cast<char16_t>(u'a' + n));
    leaves.push_back({file(b, 100 + n, 2, name, pattern(600, n))});
    if (n == 0) leaves.back().insert(leaves.back().begin(), folder(2, 1, u"V"));
    want[std::string(1, static_cast<char>('a' + n)).insert(0, "f")] = 100 + n;
  }
  // Twelve nodes of two blocks, in nine extents of one node each (the last four share one), each followed
  // by a foreign block; the ninth comes from the overflow file.
  std::vector<HfsBuildExtent> extents;
  for (int i = 0; i < 9; ++i) {
    const std::uint32_t blocks = i == 8 ? 8 : 2;
    extents.push_back({b.allocate(blocks), blocks});
    b.writeBlocks(b.allocate(1), pattern(512, 200 + i));
  }
  std::vector<HfsBuildExtent> eight(extents.begin(), extents.begin() + 8);
  b.writeCatalog(leaves, extents);
  // writeCatalog put all nine in the header's fork; the header keeps eight, the overflow file the ninth.
  b.writeTree(HfsBuilder::kCatalogFork, {}, eight);
  b.setHeader32(HfsBuilder::kCatalogFork + 12, 24);
  b.writeExtentsFile({{0, 4, 16, {extents[8]}}});
  b.writeHeaders();
  // writeTree rewrote node 0 with one node in total: put the header node back for twelve.
  b.writeAt(std::uint64_t{extents[0].start} * 512, b.headerNode(12, 516));
  Parsed p(b.bytes());
  ASSERT_TRUE(p.parse());
  EXPECT_EQ(p.paths(), want);
}

TEST(HfsPlusParser, StaleRecordsOfFreeNodesAreFoundAndTheLowerNodeWinsACnid) {
  HfsBuilder b(4096, 512, 4096);
  const ByteVector live = pattern(10, 1), stale = pattern(20, 2), gone = pattern(30, 3);
  HfsBuildRecord staleCopy = file(b, 17, 2, u"old name", stale);
  b.writeCatalog({{folder(2, 1, u"V"), file(b, 17, 2, u"live", live)},
                  // A freed node keeps its descriptor and records: a deleted file and a stale copy of 17.
                  {staleCopy, file(b, 18, 2, u"deleted.txt", gone)}});
  b.writeExtentsFile({});
  b.writeHeaders();
  Parsed p(b.bytes());
  ASSERT_TRUE(p.parse());
  EXPECT_EQ(p.paths(), (std::map<std::string, std::uint32_t>{{"live", 17}, {"deleted.txt", 18}}));
  EXPECT_EQ(p.content(17), live);
  EXPECT_EQ(p.content(18), gone);
}

TEST(HfsPlusParser, ABadCatalogNodeCostsOnlyItsOwnRecordsAndAFailedDataReadSavesZeros) {
  HfsBuilder b(512, 4096, 512);
  const ByteVector longer = pattern(3000, 1), shorter = pattern(700, 2);
  HfsBuildRecord first = file(b, 17, 2, u"first", longer), second = file(b, 18, 2, u"second", shorter);
  const auto catalog = b.writeCatalog({{folder(2, 1, u"V"), first}, {folder(16, 2, u"lost")}, {second}});
  b.writeExtentsFile({});
  b.writeHeaders();
  // Node 2 (the second leaf) cannot be read, nor the block under the second file's data.
  const std::uint64_t badNode = std::uint64_t{catalog[0].start} * 512 + 2 * 512;
  Parsed listing(b.bytes(), "2", badNode, badNode + 512);
  ASSERT_TRUE(listing.parse());
  EXPECT_EQ(listing.paths(), (std::map<std::string, std::uint32_t>{{"first", 17}, {"second", 18}}));
  const std::uint64_t badData = std::uint64_t{second.extents[0].start} * 512;
  Parsed saving(b.bytes(), "2", badData, badData + 512);
  ASSERT_TRUE(saving.parse());
  bool ok = false;
  EXPECT_EQ(saving.content(17, &ok), longer);
  EXPECT_TRUE(ok);
  // The read after a longer file's leaves zeros, never that file's bytes.
  EXPECT_EQ(saving.content(18, &ok), ByteVector(shorter.size()));
  EXPECT_FALSE(ok);
}

TEST(HfsPlusParser, SparseCnidsUpToTheLastAreLinkedAndTheOrphanFolderTakesAFreeOneBelow) {
  HfsBuilder b(512, 4096, 4096);
  const ByteVector inner = pattern(600, 3), lost = pattern(300, 4);
  b.writeCatalog({{folder(2, 1, u"V"), folder(0xF0000000u, 2, u"far"), file(b, 17, 0xF0000000u, u"inner", inner),
                   file(b, 0xFFFFFFFFu, 50, u"lost", lost)}});
  b.writeExtentsFile({});
  b.writeHeaders();
  Parsed standard(b.bytes());
  ASSERT_TRUE(standard.parse());
  EXPECT_EQ(standard.paths(), (std::map<std::string, std::uint32_t>{{"far", 0xF0000000u}, {"far/inner", 17}}));
  EXPECT_EQ(standard.content(17), inner);
  Parsed deep(b.bytes());
  ASSERT_TRUE(deep.parse(3));
  // No CNID follows the highest: the first free one from 16 on names the orphan folder.
  EXPECT_EQ(deep.hfs.orphanFolder(), 16u);
  EXPECT_EQ(deep.paths(), (std::map<std::string, std::uint32_t>{{"far", 0xF0000000u},
                                                                {"far/inner", 17},
                                                                {"ORPHAN_ENTRY", 16},
                                                                {"ORPHAN_ENTRY/lost", 0xFFFFFFFFu}}));
  EXPECT_EQ(deep.content(0xFFFFFFFFu), lost);
}

TEST(HfsPlusParser, DamagedPrimaryHeaderIsReplacedByTheAlternateCopyInBothModes) {
  for (int mode : {1, 3}) {
    SmallVolume v;
    v.build();
    v.b.zeroPrimaryHeader();
    // The volume list says 1 MiB for a volume of 2 MiB + 3 sectors: the copy is looked for past the MiB.
    ByteVector bytes = v.b.bytes();
    const ByteVector alternate(bytes.end() - 1024, bytes.end() - 512);
    bytes.resize(bytes.size() + 1536);
    std::fill(bytes.end() - 1536 - 1024, bytes.end(), std::byte{0});
    std::copy(alternate.begin(), alternate.end(), bytes.end() - 1024);
    Parsed p(bytes, "2");
    ASSERT_TRUE(p.parse(mode)) << mode;
    EXPECT_TRUE(p.hfs.usedAlternateHeader());
    EXPECT_TRUE(p.sink.sawStatus("Volume header damaged, reading the alternate volume header...."));
    EXPECT_EQ(p.paths().count("docs/a.txt"), 1u) << mode;
    EXPECT_EQ(p.content(17), v.a) << mode;
  }
  SmallVolume v;
  v.build();
  v.b.zeroPrimaryHeader();
  ByteVector bytes = v.b.bytes();
  std::fill(bytes.end() - 1024, bytes.end(), std::byte{0});
  Parsed standard(bytes);
  EXPECT_FALSE(standard.parse(1));
  Parsed deep(bytes);
  EXPECT_FALSE(deep.parse(3));
  EXPECT_TRUE(deep.sink.sawStatus("BlockSize not valid .Aborting.."));
}

TEST(HfsPlusParser, DeepModeFindsNodesWhereTheyLieAndFilesLostFoldersUnderOrphanEntry) {
  // 512-byte blocks, 4096-byte nodes, and a catalog that starts on an odd block.
  HfsBuilder b(512, 4096, 4096);
  b.allocate(3);
  const ByteVector a = pattern(700, 4), lost = pattern(900, 5);
  b.writeCatalog({{folder(2, 1, u"V"), folder(16, 2, u"docs"), folder(17, 16, u"inner")},
                  {file(b, 18, 16, u"a.txt", a), file(b, 19, 17, u"deep.txt", pattern(10, 6))},
                  // Folder 50 is gone: its file and a ring of two folders have no way to the root.
                  {file(b, 20, 50, u"lost.bin", lost), folder(30, 31, u"ring1"), folder(31, 30, u"ring2")}});
  b.writeExtentsFile({});
  b.writeHeaders();
  Parsed p(b.bytes());
  ASSERT_TRUE(p.parse(3));
  EXPECT_TRUE(p.hfs.deep());
  const auto paths = p.paths();
  EXPECT_EQ(paths.count("docs/a.txt"), 1u);
  EXPECT_EQ(paths.count("docs/inner/deep.txt"), 1u);
  EXPECT_EQ(paths.count("ORPHAN_ENTRY/lost.bin"), 1u);
  EXPECT_TRUE(paths.count("ORPHAN_ENTRY/ring1/ring2") || paths.count("ORPHAN_ENTRY/ring2/ring1"));
  EXPECT_EQ(p.hfs.orphanFolder(), 32u);
  EXPECT_EQ(p.content(18), a);
  EXPECT_EQ(p.content(20), lost);
}

TEST(HfsPlusParser, HostileNodesRecordsAndExtentsAreBoundedAndSkipped) {
  HfsBuilder b(512, 4096, 512);
  // A node whose forward link is itself, with record offsets outside the node and in its offset table,
  // and a key longer than the node; a node whose record count would put its offset table over everything.
  ByteVector bad = b.leafNode({HfsBuilder::catalogRecord(folder(40, 2, u"kept"))}, -1, 1, 2);
  bad[11] = std::byte{3};
  bad[510] = std::byte{0x01};
  bad[511] = std::byte{0xF0};  // 0x1F0: its key length runs past the node
  bad[496] = std::byte{0xFF};
  bad[497] = std::byte{0xF0};
  bad[508] = std::byte{0x00};
  bad[509] = std::byte{0x0E};  // the valid record
  bad[506] = std::byte{0x7F};
  bad[507] = std::byte{0xFF};  // far outside
  ByteVector flood = b.leafNode({HfsBuilder::catalogRecord(folder(44, 2, u"flood"))});
  flood[10] = std::byte{0xFF};
  flood[11] = std::byte{0xFF};
  HfsBuildRecord noName = folder(41, 2, u"x");
  ByteVector zero = HfsBuilder::catalogRecord(noName);
  zero[7] = std::byte{0};  // name length 0
  HfsBuildRecord huge = folder(42, 2, u"y");
  ByteVector tooLong = HfsBuilder::catalogRecord(huge);
  tooLong[6] = std::byte{0x01};
  tooLong[7] = std::byte{0x2C};  // 300 units
  // A file whose extents run past the disk and whose size is far larger.
  HfsBuildRecord wild;
  wild.cnid = 43;
  wild.name = u"wild";
  wild.size = std::uint64_t{1} << 40;
  wild.totalBlocks = 0xFFFFFFFF;
  wild.extents = {{4000, 0xFFFFF000}};
  const auto catalog = b.writeTree(HfsBuilder::kCatalogFork,
                                   {b.leafNode({HfsBuilder::catalogRecord(folder(2, 1, u"V"))}), bad,
                                    b.leafNode({zero, tooLong}), b.leafNode({HfsBuilder::catalogRecord(wild)}), flood});
  // The header node claims far more nodes than the fork holds.
  b.writeAt(std::uint64_t{catalog[0].start} * 512, b.headerNode(0xFFFFFFFF, 516));
  b.writeExtentsFile({{0, 43, 0xFFFFF000, {{0, 0}}}, {0, 99, 0, {}}});
  b.writeHeaders();
  ByteVector bytes = b.bytes();
  Parsed p(bytes);
  ASSERT_TRUE(p.parse());
  const auto paths = p.paths();
  EXPECT_EQ(paths.count("kept"), 1u);
  EXPECT_EQ(paths.count("wild"), 1u);
  EXPECT_EQ(paths.size(), 2u);
  bool ok = true;
  const ByteVector data = p.content(43, &ok);
  EXPECT_FALSE(ok);
  EXPECT_LE(data.size(), bytes.size());
}

TEST(HfsPlusParser, StopEndsTheStepThatHonoursItAndTheNextStepsRun) {
  SmallVolume v;
  Parsed p(v.build());
  p.hfs.stopFlag() = 1;
  ASSERT_TRUE(p.parse());
  EXPECT_EQ(p.hfs.stopFlag().load(), 0);
  EXPECT_TRUE(p.sink.sawStatus("Maintaining Parent Child...."));
}

TEST(HfsPlusParser, RegistryRowMakesTheParserForStandardAndDeep) {
  const auto parser = createParserForLabel("hfs+");
  ASSERT_NE(parser, nullptr);
  EXPECT_EQ(parser->selectedStatus(), "HFS+ partition selected....");
  EXPECT_TRUE(modeBuilt("HFS+", 1));
  EXPECT_FALSE(modeBuilt("HFS+", 2));
  EXPECT_TRUE(modeBuilt("HFS+", 3));
  EXPECT_FALSE(parser->refusesUnknownVolume(1));
  // The recovery-mode page, asking what this build has, offers Deep and not Advanced.
  WizardState state;
  state.selectedVolume = VolumeEntry{"HFS+", "", "0", "10  MB", 2048};
  PageView view;
  RecordingSink sink;
  ParceModeNtfsDlg page(state, view, sink, modeBuilt);
  page.onOpen();
  EXPECT_TRUE(view.shown(ParceModeNtfsDlg::kDeep));
  EXPECT_FALSE(view.shown(ParceModeNtfsDlg::kAdvanced));
}

}  // namespace
}  // namespace tessary
