// The NTFS entry table's links while a table is parsed. Private to the parser.
#pragma once

#include <cstdint>
#include <cstring>
#include <vector>

#include "fs/ntfs/ntfs.h"

namespace tessary {

namespace ntfs_detail {
inline bool signatureIsFile(const MftEntry& entry) { return std::memcmp(entry.signature, "FILE", 4) == 0; }
}  // namespace ntfs_detail

// Transient help for appendChild while a whole table is parsed: the last child of every chain and the
// parent each entry was linked under, so that appending does not walk the chain again.
struct ntfs::LinkCache {
  std::vector<std::int64_t> tail;
  std::vector<std::int64_t> linkedUnder;
  void fit(std::size_t size) {
    if (tail.size() < size) {
      tail.resize(size, -1);
      linkedUnder.resize(size, -1);
    }
  }
};

}  // namespace tessary
