// The advanced-input page ("ADVANCE OPTIONS"): one entry worker asks the volume's candidate scan (its
// registry row's) for candidate file-system structures, fills the page's drop-down lists, and hands the
// user's choices and the parser to the results page, which then runs in mode 2.
#pragma once

#include <memory>
#include <string>

#include "platform/page_sink.h"
#include "platform/page_view.h"
#include "platform/worker.h"
#include "fs/candidate_scan.h"

namespace tessary {

struct WizardState;

class advanceOptions {
 public:
  static constexpr const char* kTitle = "ADVANCE OPTIONS";
  static constexpr const char* kGroup = "Advanced Input:";
  static constexpr const char* kCandidates = "TFS :";
  static constexpr const char* kClusterSizes = "Sector Per Cluster :";
  static constexpr const char* kHeapOffsets = "Heap Offset :";
  static constexpr const char* kCounterCaption = "counterCaption";
  static constexpr const char* kProgress = "progress";
  static constexpr const char* kPause = "Pause";
  static constexpr const char* kResume = "Resume";
  static constexpr const char* kStop = "Stop";
  static constexpr const char* kBack = "Back";
  static constexpr const char* kNext = "Next";

  enum class NextPage { None, Results };

  advanceOptions(WizardState& state, PageView& view, PageSink& sink);
  // Stops the entry worker and waits for it: no worker outlives its page or its parser.
  ~advanceOptions();
  advanceOptions(const advanceOptions&) = delete;
  advanceOptions& operator=(const advanceOptions&) = delete;

  // Creates the candidate scan for the selected volume's label and starts the entry worker.
  void onOpen();
  void onPause();
  void onResume();
  void onStop();
  // Waits for a running entry worker (Next is disabled while it runs), then hands the choices to the
  // parser; Results when the results page is to open in mode 2 on parser().
  NextPage onNext();
  // Stops the worker and waits for it before the recovery-mode page is shown again.
  void onBack();

  void waitForWorker() { m_worker.join(); }
  bool workerRunning() const { return m_worker.running(); }
  // The parser the results page borrows; none when no family took the label.
  ParserSlot* parser() const { return m_scan ? &m_scan->parser() : nullptr; }
  // The scan, the lists as the page shows them and their selections, for the results page.
  AdvancedInput handOver() const;
  // What the entry worker found (empty until it has ended).
  const CandidateLists& lists() const { return m_lists; }

 private:
  void entryWorker();

  WizardState& m_state;
  PageView& m_view;
  PageSink& m_sink;
  std::unique_ptr<CandidateScan> m_scan;
  ParserLinks m_links;
  CandidateLists m_lists;
  Worker m_worker;
};

}  // namespace tessary
