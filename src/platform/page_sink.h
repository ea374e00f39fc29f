// The page sink: what a page and its workers report to the user (status line, size line, progress
// messages 1026 and 1025, message boxes, Yes/No questions).
#pragma once

#include <atomic>
#include <cstdint>
#include <string>

#include "platform/progress_estimate.h"

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

  // `amount` says what the range counts, when the step knows it (items or bytes); the bar shows it.
  void progressRange(std::int64_t low, std::int64_t high, ProgressAmount amount = {}) {
    m_progressHigh = high;
    m_amountKind = amount.kind;
    m_amountTotal = amount.total;
    postMessage(kMsgProgressRange, low, high);
  }
  // What the last range counts.
  ProgressAmount progressAmount() const { return {m_amountKind.load(), m_amountTotal.load()}; }
  void progressPosition(std::int64_t position) { postMessage(kMsgProgressPosition, position, 0); }
  // The work the bar counts is over: the bar is filled before the box that says so, whatever the last
  // step reported.
  void progressComplete() { postMessage(kMsgProgressPosition, m_progressHigh.load(), 0); }

 private:
  std::atomic<std::int64_t> m_progressHigh{0};
  std::atomic<ProgressAmount::Kind> m_amountKind{ProgressAmount::Kind::None};
  std::atomic<std::int64_t> m_amountTotal{0};
};

// A sink that swallows everything (and answers Yes).
class NullSink : public PageSink {
 public:
  void setStatus(const std::string&) override {}
  void postMessage(std::uint32_t, std::int64_t, std::int64_t) override {}
  void showMessage(const std::string&) override {}
  bool askYesNo(const std::string&) override { return true; }
};

}  // namespace tessary
