// Fuzz target: the input is a FAT volume. One of the FAT parsers runs its standard parse or the Advanced
// search on it (the input's length picks which) and writes every file it finds to a sink that keeps
// nothing.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

#include "controls/xhtml_tree.h"
#include "support/buffer_reader.h"
#include "disk/read_write_interface.h"
#include "disk/volume_view.h"
#include "fs/fat/fat.h"
#include "platform/data_sink.h"

namespace {

// The input is the whole disk.
using InputDisk = tessary::fuzz::BufferReader;

void writeEverything(tessary::FatParser& parser) {
  for (std::size_t i = 0; i < parser.entries().size(); ++i) {
    if (parser.isFolderRecord(static_cast<std::int64_t>(i))) continue;
    tessary::DiscardSink sink;
    parser.writeFileData(static_cast<std::int64_t>(i), sink);
    parser.formatTimes(parser.entry(static_cast<std::int64_t>(i)));
  }
}

template <typename Parser>
void standard(InputDisk& disk, std::size_t size) {
  Parser parser;
  tessary::CXHtmlTree tree;
  parser.setTree(&tree, "ROOT");
  parser.attach(tessary::VolumeView(disk, 0, (size + 511) / 512));
  parser.setVolumeSize(size);
  if (!parser.checkBootSector()) return;
  parser.readFat();
  parser.parseRootDirectory();
  parser.linkEntries();
  parser.fillTopLevel();
  writeEverything(parser);
}

template <typename Parser>
void advanced(InputDisk& disk, std::size_t size) {
  Parser parser;
  tessary::CXHtmlTree tree;
  parser.setTree(&tree, "ROOT");
  parser.attach(tessary::VolumeView(disk, 0, (size + 511) / 512));
  parser.setVolumeSize(size);
  parser.checkBootSector();
  const std::vector<std::uint64_t> fats = parser.findFatCandidates(3);
  parser.setAdvancedGeometry(1);
  parser.loadFatAt(fats.empty() ? 0 : fats.front());
  parser.scanEntryCandidates();
  parser.buildFromCandidates();
  parser.linkEntries();
  parser.fillTopLevel();
  writeEverything(parser);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size > (8u << 20)) return 0;
  InputDisk disk({data, size});
  // The input's length picks the parser and the mode: one parse per run.
  switch (size % 4) {
    case 0: standard<tessary::Fat16Class>(disk, size); break;
    case 1: standard<tessary::Fat32Class>(disk, size); break;
    case 2: advanced<tessary::Fat16Class>(disk, size); break;
    default: advanced<tessary::Fat32Class>(disk, size); break;
  }
  return 0;
}
