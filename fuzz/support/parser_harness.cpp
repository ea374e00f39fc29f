// The parser fuzz targets' body: parse, tree, listing, every file's data into a DiscardSink.
#include "support/parser_harness.h"

#include <cstdio>
#include <cstdlib>
#include <string>
#include <unordered_set>
#include <vector>

#include "controls/check_list.h"
#include "controls/xhtml_tree.h"
#include "disk/volume_view.h"
#include "fs/registry.h"
#include "platform/data_sink.h"
#include "platform/page_sink.h"
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

void runMode(const char* label, int mode, BufferReader& reader) {
  std::unique_ptr<ParserSlot> parser = createParserForLabel(label);
  if (!parser) {
    std::fprintf(stderr, "no parser takes the label %s\n", label);
    std::abort();
  }
  NullSink sink;
  CXHtmlTree tree;
  CCheckListCtrl list;
  StopFlag stop{0};
  SaveEngine engine(tree, list, sink, stop);
  engine.setParser(parser.get());
  engine.setReader(&reader);

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
  links.control = WorkerControl(&parser->stopFlag(), nullptr);
  (void)parser->runWorker(links);
  const FileSystemRow* row = fileSystemForLabel(label);
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

void parseVolume(const char* label, std::span<const std::uint8_t> bytes) {
  BufferReader reader(bytes);
  const std::unique_ptr<ParserSlot> probe = createParserForLabel(label);
  if (!probe) {
    runMode(label, 1, reader);  // reports the missing parser
    return;
  }
  std::vector<int> modes;
  for (int mode = 1; mode <= 3; ++mode)
    if (probe->supportsMode(mode)) modes.push_back(mode);
  // One mode per run, picked by the input's length (which the fuzzer's insertions and erasures change far
  // more often than any one byte): every mode sees every kind of input, and a run costs one parse.
  if (!modes.empty()) runMode(label, modes[bytes.size() % modes.size()], reader);
}

}  // namespace tessary::fuzz
