// The carving engine on volumes held in memory: the block match, pending starts and their ends, sizes from
// headers, the flush, categories, progress and the caps that keep a carved size inside the volume.
#include <gtest/gtest.h>

#include <set>

#include "raw/my_jpg.h"
#include "support/raw_volume.h"
#include "support/recording_sink.h"

namespace tessary {
namespace {

using test::ByteVector;

constexpr std::int64_t kMib = 1048576;

struct Sig {
  Sig(std::string e, std::vector<std::uint8_t> s) : ext(std::move(e)), start(std::move(s)) {}
  Sig& withEnd(std::vector<std::uint8_t> e) { end = std::move(e); return *this; }
  Sig& withApprox(std::int64_t a) { approx = a; return *this; }
  Sig& inCategory(std::string c) { category = std::move(c); return *this; }
  Sig& atOffset(std::uint16_t o) { startOffset = o; return *this; }
  Sig& sizeField(std::int32_t offset, std::int32_t bytes) { sizeOffset = offset; sizeBytes = bytes; return *this; }
  Sig& withSkip(std::int64_t s) { skip = s; return *this; }

  std::string ext;
  std::vector<std::uint8_t> start;
  std::vector<std::uint8_t> end;
  std::int64_t approx = 0;
  std::string category = "Cat";
  std::uint16_t startOffset = 0;
  std::int32_t sizeOffset = -1;
  std::int32_t sizeBytes = 0;
  std::int64_t skip = 0;
};

SignatureRecord record(const Sig& s) {
  SignatureRecord r;
  for (std::size_t i = 0; i < s.ext.size() && i < 4; ++i) r.extension[i] = static_cast<char16_t>(s.ext[i]);
  r.extensionLength = static_cast<std::uint8_t>(s.ext.size());
  std::copy(s.start.begin(), s.start.end(), r.startSignature.begin());
  std::copy(s.end.begin(), s.end.end(), r.endSignature.begin());
  r.startLength = static_cast<std::uint8_t>(s.start.size());
  r.endLength = static_cast<std::uint8_t>(s.end.size());
  r.startOffset = s.startOffset;
  r.offsetToSize = s.sizeOffset;
  r.bytesInSize = s.sizeBytes;
  r.approximateSize = s.approx;
  r.skipSize = s.skip;
  for (std::size_t i = 0; i < s.category.size(); ++i) r.category[i] = static_cast<char16_t>(s.category[i]);
  return r;
}

// A volume of zeros (or seeded noise) with the engine set up over it.
class Carving {
 public:
  explicit Carving(std::size_t bytes, bool noise = false) : m_disk(noise ? test::NoiseVolume(bytes, 7).bytes() : ByteVector(bytes)) {}

  void put(std::size_t at, std::vector<std::uint8_t> bytes) {
    for (std::size_t i = 0; i < bytes.size(); ++i) m_disk[at + i] = static_cast<std::byte>(bytes[i]);
  }
  void add(const Sig& s) { engine.appendRecord(record(s)); }
  void useSink(RecordingSink& other) { m_sink = &other; }
  bool run(std::int64_t volumeLength = -1) {
    engine.view = VolumeView(m_reader, 0, m_disk.size() / 512);
    engine.sink = m_sink ? m_sink : &sink;
    engine.tree = &tree;
    engine.volumeLength = volumeLength < 0 ? static_cast<std::int64_t>(m_disk.size()) : volumeLength;
    return engine.scan();
  }
  // (offset, size) of every item, in the order recorded.
  std::vector<std::pair<std::int64_t, std::int64_t>> items() const {
    std::vector<std::pair<std::int64_t, std::int64_t>> out;
    for (const FoundItem& f : engine.foundItems()) out.emplace_back(f.offset, f.size);
    return out;
  }
  std::vector<std::string> leaves(TreeItem node) const {
    std::vector<std::string> out;
    for (TreeItem t : tree.children(node)) out.push_back(tree.itemText(t));
    return out;
  }
  TreeItem category(std::size_t index) const { return tree.children(engine.rootNode()).at(index); }

  myJpg engine;
  CXHtmlTree tree;
  RecordingSink sink;

 private:
  ByteVector m_disk;
  test::BufferReader m_reader{m_disk};
  RecordingSink* m_sink = nullptr;
};

using Items = std::vector<std::pair<std::int64_t, std::int64_t>>;

TEST(CarvingMatchTest, OneByteSignaturesNeverMatchAndStarsMatchAnything) {
  Carving c(kMib);
  c.put(0, {0x41});
  c.put(512, {0x42, 0x99, 0x43});
  c.add(Sig("one", {0x41}).withApprox(100));
  c.add(Sig("wld", {0x42, 0x2A, 0x43}).withApprox(100));
  ASSERT_TRUE(c.run());
  EXPECT_EQ(c.items(), (Items{{512, 100}}));
  EXPECT_EQ(c.leaves(c.category(0)), std::vector<std::string>{"512 .wld"});
}

TEST(CarvingMatchTest, StartsAreSeenOnlyAtTheirOffsetInsideABlockAndTheFirstSlotWins) {
  Carving c(kMib);
  c.put(1024 + 4, {'f', 't', 'y', 'p', 'q', 't'});
  c.put(4096 + 4, {'f', 't', 'y', 'p', 'i', 's'});
  c.put(8192 + 100, {0xFF, 0xD8, 0xFF});  // not at a block start: never a start
  c.add(Sig("mov", {'f', 't', 'y', 'p', 'q', 't'}).withApprox(10).atOffset(4));
  c.add(Sig("mp4", {'f', 't', 'y', 'p'}).withApprox(20).atOffset(4));
  c.add(Sig("jpg", {0xFF, 0xD8, 0xFF}).withApprox(30));
  ASSERT_TRUE(c.run());
  EXPECT_EQ(c.items(), (Items{{1024, 10}, {4096, 20}}));
}

TEST(CarvingMatchTest, AWholeBlockOfStarsIsTriedEverywhereAndZeroBlocksAreNotSkippedForIt) {
  Carving c(kMib);
  c.add(Sig("any", {0x2A, 0x2A}).withApprox(512).withSkip(4096));
  ASSERT_TRUE(c.run());
  // One item every 4096 bytes: the skip after each.
  EXPECT_EQ(c.items().size(), static_cast<std::size_t>(kMib / 4096));
}

TEST(CarvingPendingTest, AnEndClosesTheNewestStartAndNestedFilesCloseInnerFirst) {
  Carving c(kMib);
  const std::vector<std::uint8_t> start = {0xAA, 0xBB};
  const std::vector<std::uint8_t> end = {0xCC, 0xDD};
  c.put(0, start);
  c.put(2048, start);
  c.put(4096, end);
  c.put(8192, end);
  c.add(Sig("nst", start).withEnd(end));
  ASSERT_TRUE(c.run());
  // Inner: 2048 .. 4096 + 2, plus one; outer: 0 .. 8192 + 2, plus one. The skip after an end is one block.
  EXPECT_EQ(c.items(), (Items{{2048, 4096 + 2 - 2048 + 1}, {0, 8192 + 2 + 1}}));
  EXPECT_EQ(c.leaves(c.category(0)), (std::vector<std::string>{"4096 .nst", "8192 .nst"}));
}

TEST(CarvingPendingTest, AnEndThatDoesNotBeginABlockIsNeverSeenAndTheFlushKeepsTheApproximateSize) {
  Carving c(2 * kMib);
  c.put(0, {0xAA, 0xBB});
  c.put(700, {0xCC, 0xDD});
  c.add(Sig("a", {0xAA, 0xBB}).withEnd({0xCC, 0xDD}).withApprox(5000));
  c.put(1024, {0x11, 0x22});
  c.add(Sig("b", {0x11, 0x22}).withEnd({0x33, 0x44}).withApprox(0));
  ASSERT_TRUE(c.run());
  // The end does not close the start (its leaf is named after the start), and the flush gives the start
  // its approximate size. "b" has no approximate size: its start is dropped.
  EXPECT_EQ(c.items(), (Items{{0, 5000}}));
  EXPECT_EQ(c.leaves(c.category(0)), std::vector<std::string>{"0 .a"});
}

TEST(CarvingPendingTest, TheFlushSizesEachMiddleStartUpToTheNextNewerOne) {
  Carving c(kMib);
  for (std::size_t at : {0u, 10240u, 30720u, 40960u}) c.put(at, {0xAA, 0xBB});
  c.add(Sig("a", {0xAA, 0xBB}).withEnd({0xEE, 0xEF}).withApprox(20000));
  ASSERT_TRUE(c.run());
  // Newest first: the newest and the oldest get the approximate size, the others end at the next start.
  EXPECT_EQ(c.items(), (Items{{40960, 20000}, {30720, 10240}, {10240, 20000}, {0, 20000}}));
}

TEST(CarvingPendingTest, MoreThan128SignaturesEachKeepTheirOwnStack) {
  Carving c(kMib);
  // The second byte tells the signatures apart; 0x2A is left out, as it would match any byte.
  auto tag = [](int i) { return static_cast<std::uint8_t>(i < 0x2A ? i : i + 1); };
  for (int i = 0; i < 200; ++i) c.add(Sig("s", {0x10, tag(i)}).withEnd({0x20, tag(i)}).withApprox(9999));
  c.put(0, {0x10, tag(199)});
  c.put(1024, {0x10, tag(150)});
  c.put(4096, {0x20, tag(199)});
  c.put(8192, {0x20, tag(150)});
  ASSERT_TRUE(c.run());
  EXPECT_EQ(c.items(), (Items{{0, 4096 + 2 + 1}, {1024, 8192 + 2 - 1024 + 1}}));
}

// A signature of the user's own (no structure rule) ends only where its end bytes begin a block.
const std::vector<std::uint8_t> kSoi = {0xFF, 0xD8, 0xFF};
const std::vector<std::uint8_t> kEoi = {0xFF, 0xD9};

TEST(CarvingBlockRuleTest, ASignatureWithoutARuleIgnoresEndsInsideBlocksAndNestsByTheStack) {
  Carving c(kMib);
  // A start with a thumbnail-like start and end inside its first blocks, closed by an end at a block start.
  c.put(0, {0xFF, 0xD8, 0xFF, 0xE1});
  c.put(300, kSoi);
  c.put(1201, kEoi);
  c.put(4096, kEoi);
  // A start whose only end lies inside a block: the flush gives it the approximate size.
  c.put(16384, kSoi);
  c.put(16484, kEoi);
  c.add(Sig("jpg", kSoi).withEnd(kEoi).withApprox(6000));
  ASSERT_TRUE(c.run());
  EXPECT_EQ(c.items(), (Items{{0, 4096 + 2 + 1}, {16384, 6000}}));
  for (const FoundItem& item : c.engine.foundItems()) {
    EXPECT_FALSE(item.exact);
    EXPECT_FALSE(item.partial);
  }
}

TEST(CarvingHeaderSizeTest, TheHeaderDecidesAndSkipsTheSavedSizeIsTheApproximateOne) {
  Carving c(3 * kMib);
  // A "BM" at 0 whose size field says 600 KiB; a second one inside it is skipped over.
  c.put(0, {'B', 'M', 0x00, 0x60, 0x09, 0x00});
  c.put(4096, {'B', 'M', 0x10, 0x00, 0x00, 0x00});
  // One whose size is larger than the approximate size is not taken.
  c.put(kMib, {'B', 'M', 0x00, 0x00, 0x00, 0x7F});
  c.add(Sig("bmp", {'B', 'M'}).withApprox(1000000).sizeField(2, 4));
  ASSERT_TRUE(c.run());
  EXPECT_EQ(c.items(), (Items{{0, 1000000}}));
}

TEST(CarvingHeaderSizeTest, ASkipPastTheChunkResumesRightAfterTheFileNotAChunkLater) {
  Carving c(4 * kMib);
  // 1.5 MiB from 512 KiB: the scan goes on at 2 MiB + 512, so a file at 2 MiB + 1024 is found.
  c.put(512 * 1024, {'R', 'F', 0x00, 0x00, 0x18, 0x00});
  c.put(2 * kMib + 1024, {'R', 'F', 0x00, 0x02, 0x00, 0x00});
  c.add(Sig("rf", {'R', 'F'}).withApprox(4 * kMib).sizeField(2, 4));
  ASSERT_TRUE(c.run());
  ASSERT_EQ(c.items().size(), 2u);
  EXPECT_EQ(c.items()[1].first, 2 * kMib + 1024);
}

TEST(CarvingHeaderSizeTest, ApproximateSizeZeroOrATwoByteFieldRecordsNothing) {
  Carving c(kMib);
  c.put(0, {'A', 'B', 0x10, 0x00, 0x00, 0x00});
  c.put(512, {'C', 'D', 0x10, 0x00, 0x00, 0x00});
  c.add(Sig("ab", {'A', 'B'}).withApprox(0).sizeField(2, 4));
  c.add(Sig("cd", {'C', 'D'}).withApprox(100000).sizeField(2, 2));
  ASSERT_TRUE(c.run());
  EXPECT_TRUE(c.items().empty());
}

TEST(CarvingHeaderSizeTest, AFieldOutsideTheFirstBlockIsNotAppliedTheStartTakesTheApproximateSize) {
  Carving c(kMib);
  c.put(0, {'X', 'Y'});
  c.add(Sig("xy", {'X', 'Y'}).withApprox(777).sizeField(510, 4));
  ASSERT_TRUE(c.run());
  EXPECT_EQ(c.items(), (Items{{0, 777}}));
}

TEST(CarvingCapTest, NoSizeReachesPastTheVolumeWhateverARuleSays) {
  Carving c(2 * kMib);
  c.put(kMib + 4096, {0x5A, 0x5B});
  c.add(Sig("z", {0x5A, 0x5B}).withApprox(INT64_MAX));
  // The volume list says 1 MiB more than the disk holds.
  ASSERT_TRUE(c.run(3 * kMib));
  EXPECT_EQ(c.items(), (Items{{kMib + 4096, kMib - 4096}}));
}

TEST(CarvingTreeTest, SignaturesOfOneCategoryShareANodeThatCountsThem) {
  Carving c(kMib);
  c.put(0, {'G', 'I'});
  c.put(512, {'P', 'N'});
  c.put(1024, {'G', 'I'});
  c.put(2048, {'Z', 'Z'});
  c.add(Sig("gif", {'G', 'I'}).withApprox(10).inCategory("Images"));
  c.add(Sig("png", {'P', 'N'}).withApprox(10).inCategory("Images"));
  c.add(Sig("zip", {'Z', 'Z'}).withApprox(10).inCategory("Archives"));
  c.add(Sig("rar", {'R', 'R'}).withApprox(10).inCategory("Compressed"));
  ASSERT_TRUE(c.run());
  EXPECT_EQ(c.tree.itemText(c.engine.rootNode()), "RAW RECOVERY ");
  // A category that found nothing says so.
  ASSERT_EQ(c.tree.childCount(c.engine.rootNode()), 3u);
  EXPECT_EQ(c.tree.itemText(c.category(2)), "Compressed (0)");
  EXPECT_EQ(c.tree.childCount(c.category(2)), 0u);
  EXPECT_TRUE(c.tree.GetCheck(c.engine.rootNode()));
  EXPECT_TRUE(c.tree.isExpanded(c.engine.rootNode()));
  EXPECT_EQ(c.tree.itemText(c.category(0)), "Images (3)");
  EXPECT_EQ(c.tree.itemText(c.category(1)), "Archives (1)");
  EXPECT_EQ(c.leaves(c.category(0)), (std::vector<std::string>{"0 .gif", "512 .png", "1024 .gif"}));
  for (TreeItem leaf : c.tree.children(c.category(0))) EXPECT_EQ(c.tree.itemIcon(leaf), TreeIcon::File);
}

TEST(CarvingProgressTest, AThreeMibVolumeReportsChunksZeroToThree) {
  Carving c(3 * kMib, true);
  c.add(Sig("q", {0x01, 0x02, 0x03, 0x04, 0x05}).withApprox(10));
  ASSERT_TRUE(c.run());
  std::vector<std::int64_t> positions;
  std::vector<std::int64_t> ranges;
  for (const auto& e : c.sink.events()) {
    if (e.kind != RecordingSink::Kind::Post) continue;
    if (e.id == kMsgProgressPosition) positions.push_back(e.first);
    if (e.id == kMsgProgressRange) ranges.push_back(e.second);
  }
  EXPECT_EQ(positions, (std::vector<std::int64_t>{0, 1, 2, 3}));
  EXPECT_EQ(ranges, (std::vector<std::int64_t>{1000, 3}));
  EXPECT_EQ(c.sink.lastMessage(), "done..");
}

// The last chunk of a volume that is not a whole number of MiB is scanned up to its last whole block,
// and a volume smaller than one chunk is scanned at all.
TEST(CarvingProgressTest, TheShortLastChunkAndVolumesUnderOneMibAreScannedToTheirLastWholeBlock) {
  Carving c(kMib + 64 * 1024 + 100);
  c.put(kMib + 4096, {0x51, 0x52, 0x53});
  c.put(kMib + 64 * 1024 - 512, {0x51, 0x52, 0x53});
  c.put(kMib + 64 * 1024, {0x51, 0x52, 0x53});  // in the 100 bytes that are no whole block
  c.add(Sig("q", {0x51, 0x52, 0x53}).withApprox(10));
  ASSERT_TRUE(c.run());
  EXPECT_EQ(c.items(), (Items{{kMib + 4096, 10}, {kMib + 64 * 1024 - 512, 10}}));
  std::vector<std::int64_t> positions;
  for (const auto& e : c.sink.events())
    if (e.kind == RecordingSink::Kind::Post && e.id == kMsgProgressPosition) positions.push_back(e.first);
  EXPECT_EQ(positions, (std::vector<std::int64_t>{0, 1, 2}));

  Carving small(300 * 1024);
  small.put(200 * 1024, {0xAA, 0xBB});
  small.put(250 * 1024, {0xCC, 0xDD});
  small.add(Sig("ab", {0xAA, 0xBB}).withEnd({0xCC, 0xDD}).withApprox(kMib));
  ASSERT_TRUE(small.run());
  EXPECT_EQ(small.items(), (Items{{200 * 1024, 50 * 1024 + 3}}));
}

// Presses Stop when the scan reports that it is about to read chunk 1.
class StopAtChunkOne : public RecordingSink {
 public:
  explicit StopAtChunkOne(myJpg& engine) : m_engine(engine) {}
  void postMessage(std::uint32_t id, std::int64_t first, std::int64_t second) override {
    RecordingSink::postMessage(id, first, second);
    if (id == kMsgProgressPosition && first == 1) m_engine.stop = 1;
  }

 private:
  myJpg& m_engine;
};

TEST(CarvingProgressTest, AStoppedScanStillFlushesItsPendingStarts) {
  Carving d(2 * kMib);
  d.put(0, {0xAA, 0xBB});
  d.put(kMib + 512, {0xAA, 0xBB});  // never reached
  d.put(50, {0xCC, 0xDD});           // not looked for once Stop was pressed
  d.add(Sig("a", {0xAA, 0xBB}).withEnd({0xCC, 0xDD}).withApprox(100));
  StopAtChunkOne stopper(d.engine);
  d.useSink(stopper);
  ASSERT_TRUE(d.run());
  EXPECT_EQ(d.items(), (Items{{0, 100}}));
  EXPECT_EQ(stopper.lastMessage(), "done..");
}

TEST(CarvingProgressTest, AnEngineWithoutSignaturesScansAndFindsNothing) {
  Carving c(kMib, true);
  ASSERT_TRUE(c.run());
  EXPECT_TRUE(c.items().empty());
  EXPECT_EQ(c.tree.childCount(c.engine.rootNode()), 0u);
}

}  // namespace
}  // namespace tessary
