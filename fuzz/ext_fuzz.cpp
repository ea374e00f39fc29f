// Fuzz target: the input is an ext2/3/4 volume. The parser runs every step of its parse on it, then
// writes every file it lists, with its detail texts, to a sink that keeps nothing.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "controls/xhtml_tree.h"
#include "support/buffer_reader.h"
#include "disk/read_write_interface.h"
#include "disk/volume_view.h"
#include "fs/ext/ext2.h"
#include "platform/data_sink.h"

namespace {

// The input is the whole disk.
using InputDisk = tessary::fuzz::BufferReader;

// Takes a file's first 16 MiB and refuses the rest, so a sparse file of an absurd size ends quickly.
class CappedSink : public tessary::DataSink {
 public:
  bool write(std::span<const std::byte> data) override {
    if (m_written + data.size() > (std::uint64_t{16} << 20)) return false;
    m_written += data.size();
    return true;
  }
  std::uint64_t written() const override { return m_written; }

 private:
  std::uint64_t m_written = 0;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  InputDisk disk({data, size});
  tessary::CXHtmlTree tree;
  tessary::ext2Class parser;
  parser.setTree(&tree, "ROOT");
  // The volume record is the input rounded up to whole MiB. A file system larger than that (a seed cut
  // from a bigger volume) reads its blocks past the input as zeros; a volume record far larger than the
  // input would only make every run walk megabytes of zeros.
  const auto volumeMib = static_cast<std::int64_t>((size >> 20) + 1);
  parser.attachVolume(tessary::VolumeView(disk, 0, 0), volumeMib);
  if (!parser.findSuperblock() || !parser.readGroupDescriptors()) return 0;
  parser.readInodeTables();
  parser.readDirectories();
  parser.buildEntryMap();
  parser.linkParentsAndChildren();
  parser.fillRootEntries();
  std::vector<std::int64_t> stack{tessary::ext2Class::kRootKey};
  std::vector<bool> seen;
  while (!stack.empty()) {
    const std::int64_t key = stack.back();
    stack.pop_back();
    for (std::int64_t child : parser.childEntries(key)) {
      const tessary::ExtEntry* e = parser.entry(child);
      if (!e) continue;
      (void)parser.describeTimesAndPermissions(*e);
      (void)tessary::ext2Class::describeSize(*e);
      if (tessary::ext2Class::isDirectoryMode(e->mode)) {
        // Links that loop back up are never walked twice.
        const auto at = static_cast<std::size_t>(child);
        if (at >= seen.size()) seen.resize(at + 1, false);
        if (!seen[at]) {
          seen[at] = true;
          stack.push_back(child);
        }
      } else if (tessary::ext2Class::isFileMode(e->mode)) {
        CappedSink sink;
        parser.saveFileData(*e, sink);
      }
    }
  }
  return 0;
}
