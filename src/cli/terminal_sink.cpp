// The command line's page sink.
#include "terminal_sink.h"

#include <unistd.h>

#include <algorithm>
#include <cstdio>

namespace tessary {

TerminalSink::TerminalSink(bool quiet, bool verbose)
    : m_quiet(quiet), m_verbose(verbose), m_terminal(::isatty(STDERR_FILENO) == 1) {}

TerminalSink::~TerminalSink() { finishBar(); }

void TerminalSink::finishBar() {
  std::lock_guard lock(m_mutex);
  if (m_barShown) {
    std::fputc('\n', stderr);
    m_barShown = false;
    m_lastPercent = -1;
  }
}

bool tellsWhatToPress(const std::string& text) {
  std::string lowered = text;
  for (char& c : lowered)
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  for (const char* word : {"click", "button", "go back"})
    if (lowered.find(word) != std::string::npos) return true;
  return false;
}

void TerminalSink::setStatus(const std::string& text) {
  // A status line that tells a window's user which button to press means nothing on the command line.
  if (!m_verbose || tellsWhatToPress(text)) return;
  std::lock_guard lock(m_mutex);
  if (m_barShown) {
    std::fputc('\n', stderr);
    m_barShown = false;
    m_lastPercent = -1;
  }
  std::fprintf(stderr, "%s\n", text.c_str());
}

void TerminalSink::postMessage(std::uint32_t id, std::int64_t first, std::int64_t second) {
  std::lock_guard lock(m_mutex);
  if (id == kMsgProgressRange) {
    m_low = first;
    m_high = second;
    m_position = first;
  } else if (id == kMsgProgressPosition) {
    m_position = first;
  } else {
    return;
  }
  drawBar();
}

void TerminalSink::drawBar() {
  if (m_quiet || !m_terminal || m_high <= m_low) return;
  const std::int64_t span = m_high - m_low;
  const std::int64_t done = std::clamp<std::int64_t>(m_position - m_low, 0, span);
  const int percent = static_cast<int>(done * 100 / span);
  if (percent == m_lastPercent) return;
  m_lastPercent = percent;
  constexpr int kWidth = 40;
  const int filled = percent * kWidth / 100;
  std::string bar(static_cast<std::size_t>(filled), '#');
  bar.append(static_cast<std::size_t>(kWidth - filled), ' ');
  std::fprintf(stderr, "\r[%s] %3d%%", bar.c_str(), percent);
  std::fflush(stderr);
  m_barShown = true;
}

void TerminalSink::showMessage(const std::string& text) {
  std::lock_guard lock(m_mutex);
  m_messages.push_back(text);
  if (m_verbose) {
    if (m_barShown) {
      std::fputc('\n', stderr);
      m_barShown = false;
      m_lastPercent = -1;
    }
    std::fprintf(stderr, "%s\n", text.c_str());
  }
}

bool TerminalSink::askYesNo(const std::string& text) {
  showMessage(text);
  return true;
}

std::string TerminalSink::lastMessage() const {
  std::lock_guard lock(m_mutex);
  return m_messages.empty() ? std::string() : m_messages.back();
}

std::vector<std::string> TerminalSink::messages() const {
  std::lock_guard lock(m_mutex);
  return m_messages;
}

}  // namespace tessary
