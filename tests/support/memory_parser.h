// A parser over an in-memory entry table, for testing the results page and the save engine without an
// image: entries with names, folder flags, first-child/next-sibling links and contents.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "fs/parser_slot.h"
#include "results/save_engine.h"

namespace tessary::test {

class MemoryParser : public ParserSlot {
 public:
  struct Entry {
    std::string name;
    bool folder = false;
    bool deleted = false;
    std::string content;
    std::int64_t firstChild = 0;
    std::int64_t nextSibling = 0;
    // A damaged entry: the size it claims when it differs from its content's, a hole written before the
    // content, and a data writer that reports failure after writing what it has.
    std::optional<std::uint64_t> claimedSize;
    std::uint64_t leadingHole = 0;
    bool writerFails = false;
  };

  // Entry 0 is unused (0 ends a chain); entry 1 is the root folder whose children form the top level.
  MemoryParser();
  // Adds an entry under `parent` (at the end of its chain) and returns its index.
  std::int64_t add(std::int64_t parent, const std::string& name, bool folder, const std::string& content = {},
                   bool deleted = false);
  Entry& entry(std::int64_t index) { return m_entries[static_cast<std::size_t>(index)]; }

  StopFlag& stopFlag() override { return m_stop; }
  bool supportsMode(int mode) const override { return mode == 1; }
  WorkerOutcome runWorker(const ParserLinks& links) override;
  TreeItem topItem() const override { return m_top; }

  bool validItem(std::int64_t data) const override;
  bool isFolder(std::int64_t data) const override;
  bool isListedFile(std::int64_t data) const override;
  std::vector<std::int64_t> children(std::int64_t data) const override;
  std::string name(std::int64_t data) const override;
  bool isDeleted(std::int64_t data) const override;
  EntryTexts texts(std::int64_t data) override;
  std::string saveSizeText(std::int64_t data) override;
  std::uint64_t sizeBytes(std::int64_t data) override;
  std::int64_t fileCount(std::int64_t folder) const override;
  FolderRules folderRules() const override;
  std::string writeFile(std::int64_t data, const std::string& folder) override;
  bool neverWritten(std::int64_t data) const override { return name(data) == "$BadClus"; }
  bool writeContent(std::int64_t data, DataSink& sink) override;
  void renameEntry(std::int64_t data, const std::string& name) override { entry(data).name = name; }

  int workerRuns = 0;
  // Above 0: the parse worker reports a range of this many steps and, as the real parsers do, stops one
  // step short of its end.
  std::int64_t progressSteps = 0;
  // What the next parse worker reports after filling the tree (a failed parse, say); the usual
  // completion while none is set.
  std::optional<WorkerOutcome> outcome;

 private:
  std::vector<Entry> m_entries;
  StopFlag m_stop{0};
  TreeItem m_top = kNoItem;
};

}  // namespace tessary::test
