// A page sink that records every call, for tests.
#pragma once

#include <cstdint>
#include <deque>
#include <mutex>
#include <string>
#include <vector>

#include "platform/page_sink.h"

namespace tessary {

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

}  // namespace tessary
