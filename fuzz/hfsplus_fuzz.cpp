// Fuzz target: the bytes are an HFS+ volume (the disk is the volume). One mode parses it, and every file
// the tree reaches is written to a DiscardSink with its texts formed.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <set>
#include <vector>

#include "controls/xhtml_tree.h"
#include "support/buffer_reader.h"
#include "disk/read_write_interface.h"
#include "disk/volume_view.h"
#include "fs/hfsplus/hfsplus.h"
#include "platform/data_sink.h"
#include "platform/page_sink.h"

namespace {

// The input is the whole disk.
using BytesReader = tessary::fuzz::BufferReader;

void writeAll(tessary::HFSP& hfs) {
  std::set<std::int64_t> seen;
  std::vector<std::int64_t> stack;
  for (const auto& [cnid, entry] : hfs.entries())
    if (entry.parent == 2) stack.push_back(cnid);
  while (!stack.empty()) {
    const std::int64_t at = stack.back();
    stack.pop_back();
    if (!seen.insert(at).second) continue;
    const tessary::HfsEntry* e = hfs.entry(at);
    if (!e) continue;
    if (e->type == 2) {
      tessary::DiscardSink sink;
      hfs.saveFileData(static_cast<std::uint32_t>(at), sink);
      hfs.describeTimesAndPermissions(static_cast<std::uint32_t>(at));
      hfs.describeSize(static_cast<std::uint32_t>(at));
    }
    for (std::int64_t child : hfs.childEntries(at)) stack.push_back(child);
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  BytesReader reader({data, size});
  // The input's length picks the standard or the deep mode: one parse per run.
  for (int mode : {size % 2 == 1 ? 3 : 1}) {
    tessary::VolumeEntry volume;
    volume.fileSystem = "HFS+";
    volume.volumeSizeText = std::to_string((size >> 20) + 1);
    tessary::CXHtmlTree tree;
    tessary::NullSink sink;
    tessary::HFSP hfs;
    hfs.setVolume(volume);
    hfs.setSink(&sink);
    hfs.setTree(&tree, "ROOT");
    hfs.attachVolume(tessary::VolumeView(reader, 0, (size + 511) / 512));
    if (hfs.parse(mode)) writeAll(hfs);
  }
  return 0;
}
