// The command line's page sink: the progress bar, status lines and messages on stderr.
#pragma once

#include <chrono>
#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

#include "platform/page_sink.h"
#include "platform/progress_estimate.h"

namespace tessary {

// The command line's sink: a progress bar on stderr when it is a terminal, status lines on stderr when
// verbose, message boxes remembered (and printed when verbose), questions answered Yes.
// Whether a status line is about the window's buttons ("Select volume and click next button...").
bool tellsWhatToPress(const std::string& text);

// The bar's line: "[#####     ]  12%", then what is done and the time left where known, the done part
// left out first and then the time left where the line would not fit in `width` columns.
std::string progressLine(int percent, const std::string& done, const std::string& left, std::size_t width);

class TerminalSink : public PageSink {
 public:
  TerminalSink(bool quiet, bool verbose, ProgressEstimate::Clock clock = {});
  ~TerminalSink() override;

  void setStatus(const std::string& text) override;
  void postMessage(std::uint32_t id, std::int64_t first, std::int64_t second) override;
  void showMessage(const std::string& text) override;
  bool askYesNo(const std::string& text) override;

  std::string lastMessage() const;
  std::vector<std::string> messages() const;
  void finishBar();

 private:
  void drawBar();
  void endBarLine();

  mutable std::mutex m_mutex;
  bool m_quiet;
  bool m_verbose;
  bool m_terminal;
  bool m_barShown = false;
  ProgressEstimate m_estimate;
  int m_lastPercent = -1;
  std::string m_lastLine;
  std::chrono::steady_clock::time_point m_lastDrawn;
  std::vector<std::string> m_messages;
};

}  // namespace tessary
