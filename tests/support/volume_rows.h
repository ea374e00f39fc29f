// Volume records reduced to what the list shows (label, size text, start), for comparisons in tests.
#pragma once

#include <cstdint>
#include <ostream>
#include <string>
#include <vector>

#include "volumes/volume_entry.h"

namespace tessary::test {

struct Row {
  std::string fileSystem;
  std::string size;
  std::int64_t start = 0;
  bool operator==(const Row&) const = default;
};

inline void PrintTo(const Row& row, std::ostream* out) {
  *out << "{\"" << row.fileSystem << "\", \"" << row.size << "\", " << row.start << "}";
}

inline std::vector<Row> rowsOf(const std::vector<VolumeEntry>& found) {
  std::vector<Row> out;
  for (const auto& e : found) out.push_back({e.fileSystem, e.volumeSizeText, e.startSector});
  return out;
}

}  // namespace tessary::test
