// The command line's page sink: the progress bar, status lines and messages on stderr.
#pragma once

#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

#include "platform/page_sink.h"

namespace tessary {

// The command line's sink: a progress bar on stderr when it is a terminal, status lines on stderr when
// verbose, message boxes remembered (and printed when verbose), questions answered Yes.
// Whether a status line is about the window's buttons ("Select volume and click next button...").
bool tellsWhatToPress(const std::string& text);

class TerminalSink : public PageSink {
 public:
  TerminalSink(bool quiet, bool verbose);
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

  mutable std::mutex m_mutex;
  bool m_quiet;
  bool m_verbose;
  bool m_terminal;
  bool m_barShown = false;
  std::int64_t m_low = 0;
  std::int64_t m_high = 0;
  std::int64_t m_position = 0;
  int m_lastPercent = -1;
  std::vector<std::string> m_messages;
};

}  // namespace tessary
