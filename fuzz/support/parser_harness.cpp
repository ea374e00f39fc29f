// The parser fuzz targets' body: parse, tree, listing, every file's data into a DiscardSink.
#include "support/parser_harness.h"

#include <cstdio>
#include <cstdlib>
#include <map>
#include <string>
#include <unordered_set>
#include <vector>

#include "controls/check_list.h"
#include "controls/xhtml_tree.h"
#include "disk/volume_view.h"
#include "fs/registry.h"
#include "platform/data_sink.h"
#include "platform/page_sink.h"
#include "fs/candidate_scan.h"
#include "fs/parser_slot.h"
#include "results/save_engine.h"
#include "support/buffer_reader.h"

namespace tessary::fuzz {

namespace {

// Takes bytes up to a cap and refuses the rest, as a full output disk would.
class CappedDiscardSink : public DiscardSink {
 public:
  bool write(std::span<const std::byte> data) override {
    if (written() + data.size() > kFileDataCap) return false;
    return DiscardSink::write(data);
  }
};

// Everything the page shows or the save engine asks about one entry.
void touchEntry(ParserSlot& parser, std::int64_t data) {
  (void)parser.name(data);
  (void)parser.isDeleted(data);
  (void)parser.texts(data);
  (void)parser.saveSizeText(data);
  const std::uint64_t size = parser.sizeBytes(data);
  if (!parser.isListedFile(data) || parser.neverWritten(data)) return;
  CappedDiscardSink sink;
  const bool complete = parser.writeContent(data, sink);
  // A data writer that reports success wrote exactly the size it announced.
  if (complete && size <= kFileDataCap && sink.written() != size) {
    std::fprintf(stderr, "entry %lld: %llu bytes written, %llu announced\n", static_cast<long long>(data),
                 static_cast<unsigned long long>(sink.written()), static_cast<unsigned long long>(size));
    std::abort();
  }
}

// The links the page hands a parser: the disk is the volume, sized in whole MiB as the volume list shows it.
ParserLinks linksFor(const char* label, int mode, BufferReader& reader, PageSink& sink, CXHtmlTree& tree) {
  ParserLinks links;
  links.reader = &reader;
  links.view = VolumeView(reader, 0, reader.sectorCount());
  links.volume.fileSystem = label;
  links.volume.volumeName = "0";
  links.volume.volumeSizeText = std::to_string(reader.sectorCount() / 2048 + 1);
  links.volume.startSector = 0;
  links.sink = &sink;
  links.tree = &tree;
  links.mode = mode;
  return links;
}

void runMode(const char* label, int mode, BufferReader& reader, std::span<const std::uint8_t> bytes) {
  const FileSystemRow* row = fileSystemForLabel(label);
  const bool advanced = mode == 2 && row && row->createCandidateScan;
  std::unique_ptr<ParserSlot> owned = advanced ? nullptr : createParserForLabel(label);
  if (!advanced && !owned) {
    std::fprintf(stderr, "no parser takes the label %s\n", label);
    std::abort();
  }
  NullSink sink;
  CXHtmlTree tree;
  CCheckListCtrl list;
  ParserLinks links = linksFor(label, mode, reader, sink, tree);
  // The Advanced mode runs as the advanced-input page leads to it: its candidate search, then the first
  // candidate of each list and the cluster size the input's last byte picks.
  std::unique_ptr<CandidateScan> scan;
  ParserSlot* parser = owned.get();
  if (advanced) {
    scan = row->createCandidateScan();
    links.control = WorkerControl(&scan->parser().stopFlag(), nullptr);
    const CandidateLists lists = scan->search(links, kMaxCandidates, false);
    // The page goes no further without a candidate or a cluster size.
    if (lists.candidates.empty() || lists.clusterSizes.empty()) return;
    const std::uint8_t last = bytes.empty() ? 0 : bytes.back();
    scan->choose(0, static_cast<int>(last % lists.clusterSizes.size()), lists.heapOffsets.empty() ? -1 : 0);
    parser = &scan->parser();
  }
  StopFlag stop{0};
  SaveEngine engine(tree, list, sink, stop);
  engine.setParser(parser);
  engine.setReader(&reader);
  links.control = WorkerControl(&parser->stopFlag(), nullptr);
  (void)parser->runWorker(links);
  if (row && row->restoresRecycleBinNames) engine.restoreRecycleBinNames();

  const TreeItem top = parser->topItem();
  if (top == kNoItem) return;
  std::vector<std::int64_t> pending;
  for (TreeItem item = tree.childItem(top); item != kNoItem; item = tree.nextSiblingItem(item))
    pending.push_back(tree.itemData(item));
  for (auto it = pending.begin(); it != pending.end(); ++it)
    if (parser->validItem(*it) && parser->isFolder(*it)) (void)parser->fileCount(*it);
  // Depth first through the parser's own links, each entry once.
  std::unordered_set<std::int64_t> seen;
  while (!pending.empty() && seen.size() < kMaxVisitedEntries) {
    const std::int64_t data = pending.back();
    pending.pop_back();
    if (!parser->validItem(data) || !seen.insert(data).second) continue;
    touchEntry(*parser, data);
    if (parser->isFolder(data))
      for (std::int64_t child : parser->children(data)) pending.push_back(child);
  }
}

}  // namespace

void parseVolume(std::span<const char* const> labels, std::span<const std::uint8_t> bytes) {
  BufferReader reader(bytes);
  if (labels.empty()) return;
  // The modes of each label set, asked of its first parser once.
  static std::map<std::string, std::vector<int>> modesOf;
  auto known = modesOf.find(labels.front());
  if (known == modesOf.end()) {
    const std::unique_ptr<ParserSlot> probe = createParserForLabel(labels.front());
    if (!probe) {
      runMode(labels.front(), 1, reader, bytes);  // reports the missing parser
      return;
    }
    std::vector<int> found;
    for (int mode = 1; mode <= 3; ++mode)
      if (probe->supportsMode(mode)) found.push_back(mode);
    known = modesOf.emplace(labels.front(), std::move(found)).first;
  }
  const std::vector<int>& modes = known->second;
  if (modes.empty()) return;
  // One mode and one label per run, picked by the input's length (which the fuzzer's insertions and
  // erasures change far more often than any one byte): every mode sees every kind of input, and a run
  // costs one parse. Lengths count through the labels first, then the modes.
  const std::size_t pick = bytes.size() % (modes.size() * labels.size());
  runMode(labels[pick % labels.size()], modes[pick / labels.size()], reader, bytes);
}

}  // namespace tessary::fuzz
