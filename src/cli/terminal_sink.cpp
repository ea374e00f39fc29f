// The command line's page sink.
#include "terminal_sink.h"

#ifdef _WIN32
#include <io.h>
#include <windows.h>
#else
#include <sys/ioctl.h>
#include <unistd.h>
#endif

#include <algorithm>
#include <cstdio>

namespace tessary {

namespace {

// The terminal's width in columns; 80 when it does not say.
std::size_t terminalColumns() {
#ifdef _WIN32
  CONSOLE_SCREEN_BUFFER_INFO info{};
  if (::GetConsoleScreenBufferInfo(::GetStdHandle(STD_ERROR_HANDLE), &info)) {
    const int columns = info.srWindow.Right - info.srWindow.Left + 1;
    if (columns > 0) return static_cast<std::size_t>(columns);
  }
#else
  winsize size{};
  if (::ioctl(STDERR_FILENO, TIOCGWINSZ, &size) == 0 && size.ws_col > 0) return size.ws_col;
#endif
  return 80;
}

bool isTerminal() {
#ifdef _WIN32
  return ::_isatty(2) != 0;
#else
  return ::isatty(STDERR_FILENO) == 1;
#endif
}

}  // namespace

TerminalSink::TerminalSink(bool quiet, bool verbose, ProgressEstimate::Clock clock)
    : m_quiet(quiet), m_verbose(verbose), m_terminal(isTerminal()), m_estimate(std::move(clock)) {}

TerminalSink::~TerminalSink() { finishBar(); }

void TerminalSink::endBarLine() {
  if (!m_barShown) return;
  std::fputc('\n', stderr);
  m_barShown = false;
  m_lastPercent = -1;
  m_lastLine.clear();
}

void TerminalSink::finishBar() {
  std::lock_guard lock(m_mutex);
  endBarLine();
}

std::string progressLine(int percent, const std::string& done, const std::string& left, std::size_t width) {
  // 30 columns leave room on an 80-column line for a count of a million and a time left.
  constexpr int kWidth = 30;
  percent = std::clamp(percent, 0, 100);
  const int filled = percent * kWidth / 100;
  std::string line = "[";
  line.append(static_cast<std::size_t>(filled), '#');
  line.append(static_cast<std::size_t>(kWidth - filled), ' ');
  char number[8];
  std::snprintf(number, sizeof number, "] %3d%%", percent);
  line += number;
  // The last column stays free: a line that fills it wraps on some terminals, and "\r" no longer
  // returns to its start.
  const auto fits = [&](std::size_t extra) { return line.size() + extra < width; };
  const bool showDone = !done.empty() && fits(2 + done.size() + (left.empty() ? 0 : 2 + left.size()));
  if (showDone) line += "  " + done;
  if (!left.empty() && fits(2 + left.size())) line += "  " + left;
  return line;
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
  endBarLine();
  std::fprintf(stderr, "%s\n", text.c_str());
}

void TerminalSink::postMessage(std::uint32_t id, std::int64_t first, std::int64_t second) {
  std::lock_guard lock(m_mutex);
  if (id == kMsgProgressRange) {
    m_estimate.range(first, second, progressAmount());
  } else if (id == kMsgProgressPosition) {
    m_estimate.position(first);
  } else {
    return;
  }
  drawBar();
}

void TerminalSink::drawBar() {
  if (m_quiet || !m_terminal) return;
  const int percent = m_estimate.percent();
  if (percent < 0) return;
  // A new percentage is drawn at once; a new count or time left within the same percentage at most
  // once a second.
  const auto now = m_estimate.now();
  if (percent == m_lastPercent && now - m_lastDrawn < std::chrono::seconds(1)) return;
  std::string line = progressLine(percent, m_estimate.doneText(), m_estimate.remainingText(), terminalColumns());
  if (percent == m_lastPercent && line == m_lastLine) return;
  m_lastPercent = percent;
  m_lastDrawn = now;
  // Blanks over what is left of a longer line before.
  const std::size_t length = line.size();
  if (m_lastLine.size() > length) line.append(m_lastLine.size() - length, ' ');
  std::fprintf(stderr, "\r%s", line.c_str());
  std::fflush(stderr);
  line.resize(length);
  m_lastLine = std::move(line);
  m_barShown = true;
}

void TerminalSink::showMessage(const std::string& text) {
  std::lock_guard lock(m_mutex);
  m_messages.push_back(text);
  if (m_verbose) {
    endBarLine();
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
