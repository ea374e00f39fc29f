// The recording page sink.
#include "support/recording_sink.h"

#include <algorithm>

namespace tessary {

void RecordingSink::setStatus(const std::string& text) {
  std::lock_guard lock(m_mutex);
  m_events.push_back({Kind::Status, text});
}

void RecordingSink::setSizeLine(const std::string& text) {
  std::lock_guard lock(m_mutex);
  m_events.push_back({Kind::SizeLine, text});
}

void RecordingSink::postMessage(std::uint32_t id, std::int64_t first, std::int64_t second) {
  std::lock_guard lock(m_mutex);
  m_events.push_back({Kind::Post, {}, id, first, second});
}

void RecordingSink::showMessage(const std::string& text) {
  std::lock_guard lock(m_mutex);
  m_events.push_back({Kind::Message, text});
}

bool RecordingSink::askYesNo(const std::string& text) {
  std::lock_guard lock(m_mutex);
  m_events.push_back({Kind::Question, text});
  if (m_answers.empty()) return true;
  const bool answer = m_answers.front();
  m_answers.pop_front();
  return answer;
}

void RecordingSink::queueAnswer(bool yes) {
  std::lock_guard lock(m_mutex);
  m_answers.push_back(yes);
}

std::vector<RecordingSink::Event> RecordingSink::events() const {
  std::lock_guard lock(m_mutex);
  return m_events;
}

std::vector<std::string> RecordingSink::messages() const {
  std::lock_guard lock(m_mutex);
  std::vector<std::string> out;
  for (const auto& e : m_events)
    if (e.kind == Kind::Message) out.push_back(e.text);
  return out;
}

std::vector<std::string> RecordingSink::statuses() const {
  std::lock_guard lock(m_mutex);
  std::vector<std::string> out;
  for (const auto& e : m_events)
    if (e.kind == Kind::Status) out.push_back(e.text);
  return out;
}

std::vector<std::string> RecordingSink::questions() const {
  std::lock_guard lock(m_mutex);
  std::vector<std::string> out;
  for (const auto& e : m_events)
    if (e.kind == Kind::Question) out.push_back(e.text);
  return out;
}

std::string RecordingSink::lastStatus() const {
  const auto all = statuses();
  return all.empty() ? std::string() : all.back();
}

std::string RecordingSink::lastMessage() const {
  const auto all = messages();
  return all.empty() ? std::string() : all.back();
}

bool RecordingSink::sawMessage(const std::string& text) const {
  const auto all = messages();
  return std::find(all.begin(), all.end(), text) != all.end();
}

bool RecordingSink::sawStatus(const std::string& text) const {
  const auto all = statuses();
  return std::find(all.begin(), all.end(), text) != all.end();
}

void RecordingSink::clear() {
  std::lock_guard lock(m_mutex);
  m_events.clear();
}

}  // namespace tessary
