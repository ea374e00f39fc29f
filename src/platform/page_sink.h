// The page sink: what a page and its workers report to the user (status line, size line, progress
// messages 1026 and 1025, message boxes, Yes/No questions).
#pragma once

#include <cstdint>
#include <deque>
#include <mutex>
#include <string>
#include <vector>

namespace tessary {

// Window messages a worker sends its page.
constexpr std::uint32_t kMsgProgressPosition = 1025;  // first parameter: position
constexpr std::uint32_t kMsgProgressRange = 1026;     // first parameter: lower bound, second: upper bound

// Caption of every page and message box.
inline constexpr const char* kApplicationTitle = "Brellow Tessary-x64(Full) v22.0";

class PageSink {
 public:
  virtual ~PageSink() = default;
  virtual void setStatus(const std::string& text) = 0;
  // The results page's second line ("File size: ...").
  virtual void setSizeLine(const std::string& text) { (void)text; }
  virtual void postMessage(std::uint32_t id, std::int64_t first, std::int64_t second) = 0;
  // A message box with the information icon.
  virtual void showMessage(const std::string& text) = 0;
  // A message box with the question icon and Yes and No; true for Yes.
  virtual bool askYesNo(const std::string& text) = 0;

  void progressRange(std::int64_t low, std::int64_t high) { postMessage(kMsgProgressRange, low, high); }
  void progressPosition(std::int64_t position) { postMessage(kMsgProgressPosition, position, 0); }
};

// A sink that swallows everything (and answers Yes).
class NullSink : public PageSink {
 public:
  void setStatus(const std::string&) override {}
  void postMessage(std::uint32_t, std::int64_t, std::int64_t) override {}
  void showMessage(const std::string&) override {}
  bool askYesNo(const std::string&) override { return true; }
};

// Records every call, for tests. Questions are answered from a queue, Yes when it is empty.
class RecordingSink : public PageSink {
 public:
  enum class Kind { Status, SizeLine, Message, Question, Post };
  struct Event {
    Kind kind;
    std::string text;
    std::uint32_t id = 0;
    std::int64_t first = 0;
    std::int64_t second = 0;
  };

  void setStatus(const std::string& text) override;
  void setSizeLine(const std::string& text) override;
  void postMessage(std::uint32_t id, std::int64_t first, std::int64_t second) override;
  void showMessage(const std::string& text) override;
  bool askYesNo(const std::string& text) override;

  void queueAnswer(bool yes);
  std::vector<Event> events() const;
  std::vector<std::string> messages() const;
  std::vector<std::string> statuses() const;
  std::vector<std::string> questions() const;
  std::string lastStatus() const;
  std::string lastMessage() const;
  bool sawMessage(const std::string& text) const;
  bool sawStatus(const std::string& text) const;
  void clear();

 private:
  mutable std::mutex m_mutex;
  std::vector<Event> m_events;
  std::deque<bool> m_answers;
};

// The command line's sink: a progress bar on stderr when it is a terminal, status lines on stderr when
// verbose, message boxes remembered (and printed when verbose), questions answered Yes.
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
