// A parser as the results page holds it: created for the volume's label, handed the page's links, run on
// the page's worker, then read by the page, the save engine and the search. It knows none of them.
#pragma once

#include <memory>
#include <string>

#include "controls/xhtml_tree.h"
#include "disk/read_write_interface.h"
#include "disk/volume_view.h"
#include "platform/page_sink.h"
#include "platform/worker.h"
#include "fs/results_parser.h"
#include "volumes/volume_entry.h"

namespace tessary {

// What the page hands a parser before its worker starts.
struct ParserLinks {
  readWriteInterface* reader = nullptr;
  // The volume's bytes: the reader plus the volume's start. Parsers read through it and never move the
  // reader's own origin.
  VolumeView view;
  VolumeEntry volume;
  PageSink* sink = nullptr;
  CXHtmlTree* tree = nullptr;
  std::string topItemText = "ROOT";
  int mode = 1;  // 1 standard, 2 advanced, 3 deep
  WorkerControl control;  // the page's pause gate and the parser's stop flag
};

class ParserSlot : public ResultsParser {
 public:
  // The parser's own stop flag (the page's Stop and Exit set it).
  virtual StopFlag& stopFlag() = 0;
  // The status line the page shows when it picks this parser, if any ("ntfs partition selected....").
  virtual std::string selectedStatus() const { return {}; }
  // Whether this parser has a worker for the mode (1, 2, 3).
  virtual bool supportsMode(int mode) const = 0;
  // Whether the "unknown" volume test applies before the worker starts in this mode.
  virtual bool refusesUnknownVolume(int mode) const { return mode == 1; }
  // What a parse worker leaves for the page to show once it ends.
  struct WorkerOutcome {
    std::string message;  // the completion message box ("Scanning process completed.")
    std::string status;   // the last status line ("Processing done...")
    // The parse failed (a boot sector or superblock refused, "Work Aborted...."): whatever the tree shows
    // is not the volume's content. The status line (or, without one, the message) says why.
    bool failed = false;
  };
  // The parse worker's body: insert the top item, parse, fill the tree's top level, restore recycle-bin
  // names when the parser does that. The page adds the placeholders and the common ending.
  virtual WorkerOutcome runWorker(const ParserLinks& links) = 0;
  // The tree's top item the parser inserted.
  virtual TreeItem topItem() const = 0;
};

}  // namespace tessary
