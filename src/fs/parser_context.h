// What every parser holds of the page it works for: the status line and the progress bar (through the
// page's sink), the results tree with its top item, the pause gate and the stop flag; and the texts every
// parser shows alike. Each parser is one.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "controls/xhtml_tree.h"
#include "platform/page_sink.h"
#include "platform/worker.h"

namespace tessary {

class ParserContext {
 public:
  void setSink(PageSink* sink) { m_sink = sink; }
  void setTree(CXHtmlTree* tree, std::string topItemText) {
    m_tree = tree;
    m_topItemText = std::move(topItemText);
  }
  void setWorkerControl(std::optional<WorkerControl> control) { m_control = control; }
  // The parser's own stop flag (the page's Stop and Exit set it).
  StopFlag& stopFlag() { return m_stopFlag; }
  // The tree's top item the parser inserted.
  TreeItem topItem() const { return m_topItem; }

 protected:
  // Whether the page asked the work to stop (waiting first while it is paused), or the own flag is set.
  bool stopRequested() const;
  // The same, for steps that each honour a stop: the own flag is cleared, so the steps after still run.
  bool stopHonoured();
  void status(const std::string& text) const;
  void progressRange(std::int64_t high, ProgressAmount amount = {}) const { progressRange(0, high, amount); }
  void progressRange(std::int64_t low, std::int64_t high, ProgressAmount amount = {}) const;
  void progressPosition(std::int64_t position) const;

  PageSink* m_sink = nullptr;
  CXHtmlTree* m_tree = nullptr;
  std::string m_topItemText = "ROOT";
  TreeItem m_topItem = kNoItem;
  StopFlag m_stopFlag{0};
  std::optional<WorkerControl> m_control;
};

// A file's size as the detail list and the save page show it: "1.50 GB", "2.00 MB", "3.25 KB" (units of
// 1024) or "512 Bytes".
std::string sizeText(std::uint64_t bytes);

}  // namespace tessary
