// The exFAT parser on a volume held in memory (the input is the volume, from its boot sector): the
// standard parse, the tree's top level, every record's data into a DiscardSink; or (the input's length
// picks) the Advanced mode's candidate searches and the table built from the first FAT and heap
// candidates. Seeds: exfat_seeds.sh.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <span>

#include "controls/xhtml_tree.h"
#include "support/buffer_reader.h"
#include "disk/read_write_interface.h"
#include "disk/volume_view.h"
#include "fs/exfat/fat64.h"
#include "platform/data_sink.h"
#include "platform/page_sink.h"

namespace {

// The input is the whole disk.
using InputReader = tessary::fuzz::BufferReader;

void writeAll(tessary::Fat64Class& fs) {
  for (std::size_t i = 0; i < fs.entries().size(); ++i) {
    tessary::DiscardSink sink;
    fs.writeFileData(static_cast<std::int64_t>(i), sink);
    (void)fs.formatTimes(fs.entries()[i]);
    (void)fs.formatSize(fs.entries()[i]);
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  InputReader reader({data, size});
  const std::uint64_t sectors = (size + tessary::kSectorSize - 1) / tessary::kSectorSize;
  const tessary::VolumeView view(reader, 0, sectors);
  tessary::NullSink sink;
  // The input's length picks the standard parse or the Advanced one, its last byte the Advanced parse's
  // cluster size.
  const std::uint8_t pick = size > 0 ? data[size - 1] : 0;
  if (size % 2 == 0) {
    tessary::CXHtmlTree tree;
    tessary::Fat64Class fs;
    fs.setSink(&sink);
    fs.setTree(&tree, "ROOT");
    // A size of 0 takes the boot sector's volume length.
    fs.attach(view, 0);
    if (fs.checkBootSector() && fs.readRoot()) {
      fs.insertTopItem();
      fs.parseRootDirectory();
      fs.linkEntries();
      fs.fillTopLevel();
      writeAll(fs);
    }
  } else {
    tessary::CXHtmlTree tree;
    tessary::Fat64Class fs;
    fs.setSink(&sink);
    fs.setTree(&tree, "ROOT");
    fs.attach(view, size);
    fs.checkBootSector();
    fs.findCandidates(3);
    if (fs.setAdvancedGeometry(pick % 8)) {
      fs.insertTopItem();
      fs.clearEntries();
      fs.scanEntryCandidates();
      const std::uint64_t fat = fs.fatCandidates().empty() ? 0 : fs.fatCandidates().front();
      const std::uint64_t heap = fs.heapCandidates().empty() ? 0 : fs.heapCandidates().front();
      if (fat > 0 && heap > 0) {
        fs.buildFromCandidates(heap, fat);
        fs.linkEntries();
        fs.fillTopLevel();
        writeAll(fs);
      }
    }
  }
  return 0;
}
