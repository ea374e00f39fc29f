// The parsers' shared link to their page, and the size text they all show.
#include "fs/parser_context.h"

#include "platform/text.h"

namespace tessary {

bool ParserContext::stopRequested() const {
  if (m_control && m_control->shouldStop()) return true;
  return m_stopFlag.load(std::memory_order_relaxed) != 0;
}

bool ParserContext::stopHonoured() {
  const bool stop = stopRequested();
  if (stop) m_stopFlag = 0;
  return stop;
}

void ParserContext::status(const std::string& text) const {
  if (m_sink) m_sink->setStatus(text);
}

void ParserContext::progressRange(std::int64_t low, std::int64_t high, ProgressAmount amount) const {
  if (m_sink) m_sink->progressRange(low, high, amount);
}

void ParserContext::progressPosition(std::int64_t position) const {
  if (m_sink) m_sink->progressPosition(position);
}

std::string sizeText(std::uint64_t bytes) {
  const double x = static_cast<double>(bytes);
  if (x / 1073741824.0 >= 1) return format("%.2f GB", x / 1073741824.0);
  if (x / 1048576.0 >= 1) return format("%.2f MB", x / 1048576.0);
  if (x / 1024.0 >= 1) return format("%.2f KB", x / 1024.0);
  return format("%lld Bytes", static_cast<long long>(bytes));
}

}  // namespace tessary
