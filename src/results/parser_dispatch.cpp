// The results page's dispatch table: which parser takes a volume label (compared without regard to case).
#include <functional>
#include <vector>

#include "platform/text.h"
#include "results/parser_slot.h"

namespace tessary {

std::unique_ptr<ParserSlot> createNtfsParser();

namespace {

struct Row {
  std::vector<const char*> labels;
  std::function<std::unique_ptr<ParserSlot>()> create;
};

const std::vector<Row>& dispatchTable() {
  static const std::vector<Row> rows = {
      {{"ntfs"}, createNtfsParser},
  };
  return rows;
}

}  // namespace

std::unique_ptr<ParserSlot> createParserForLabel(const std::string& label) {
  for (const Row& row : dispatchTable())
    for (const char* name : row.labels)
      if (equalsNoCase(label, name)) return row.create();
  return nullptr;
}

}  // namespace tessary
