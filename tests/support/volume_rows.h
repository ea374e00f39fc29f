// Volume records reduced to what the list shows (label, size text, start), for comparisons in tests.
#pragma once

#include <cstdint>
#include <memory>
#include <ostream>
#include <string>
#include <vector>

#include "platform/page_sink.h"
#include "volumes/volume_entry.h"
#include "support/recording_sink.h"

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

// What one scan of a test disk left behind: the records, the result, and every read the reader saw.
struct Scan {
  std::shared_ptr<RecordingSink> sink = std::make_shared<RecordingSink>();  // a sink does not move
  std::vector<VolumeEntry> found;
  int result = -1;
  std::vector<std::pair<std::int64_t, std::uint32_t>> reads;
  bool touchedPastEnd = false;
};

}  // namespace tessary::test
