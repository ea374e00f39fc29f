// The parsers' shared link to their page, and the size text they all show.
#include "fs/parser_context.h"

#include <cstdint>
#include <string>

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

namespace {

// "%.2f <unit>" of bytes / 2^shift, worked out in integers: the quotient is exact in a double (bytes below
// 2^53), and printf rounds its exact value to the nearest hundredth, a tie to the even one.
std::string hundredthsText(std::uint64_t bytes, unsigned shift, const char* unit) {
  const std::uint64_t whole = bytes >> shift;
  const std::uint64_t scaled = (bytes & ((std::uint64_t{1} << shift) - 1)) * 100;
  std::uint64_t hundredths = whole * 100 + (scaled >> shift);
  const std::uint64_t rest = scaled & ((std::uint64_t{1} << shift) - 1);
  const std::uint64_t half = std::uint64_t{1} << (shift - 1);
  if (rest > half || (rest == half && hundredths % 2 == 1)) ++hundredths;
  char text[48];
  char* end = text + sizeof text;
  char* at = end;
  for (const char* u = unit + std::char_traits<char>::length(unit); u != unit;) *--at = *--u;
  *--at = ' ';
  *--at = static_cast<char>('0' + hundredths % 10);
  *--at = static_cast<char>('0' + hundredths / 10 % 10);
  *--at = '.';
  std::uint64_t left = hundredths / 100;
  do {
    *--at = static_cast<char>('0' + left % 10);
    left /= 10;
  } while (left != 0);
  return std::string(at, end);
}

}  // namespace

std::string sizeText(std::uint64_t bytes) {
  // Sizes a double holds exactly are written digit by digit, the same text the formatter gives.
  if (bytes < (std::uint64_t{1} << 53)) {
    if (bytes >= (std::uint64_t{1} << 30)) return hundredthsText(bytes, 30, "GB");
    if (bytes >= (std::uint64_t{1} << 20)) return hundredthsText(bytes, 20, "MB");
    if (bytes >= (std::uint64_t{1} << 10)) return hundredthsText(bytes, 10, "KB");
    return std::to_string(bytes) + " Bytes";
  }
  const double x = static_cast<double>(bytes);
  if (x / 1073741824.0 >= 1) return format("%.2f GB", x / 1073741824.0);
  if (x / 1048576.0 >= 1) return format("%.2f MB", x / 1048576.0);
  if (x / 1024.0 >= 1) return format("%.2f KB", x / 1024.0);
  return format("%lld Bytes", static_cast<long long>(bytes));
}

}  // namespace tessary
