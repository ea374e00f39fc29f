// The remaining time of a long step.
#include "platform/progress_estimate.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

namespace tessary {

namespace {

using Seconds = std::chrono::duration<double>;

// The rate is sampled at most once a second and smoothed over about ten seconds, so one slow or fast
// stretch moves the estimate without throwing it about.
constexpr double kSampleSeconds = 1.0;
constexpr double kSmoothingSeconds = 10.0;

}  // namespace

ProgressEstimate::ProgressEstimate(Clock clock) : m_clock(std::move(clock)) {
  if (!m_clock) m_clock = [] { return std::chrono::steady_clock::now(); };
  m_baseTime = m_sampleTime = m_clock();
}

void ProgressEstimate::restartFrom(std::int64_t position, std::chrono::steady_clock::time_point at) {
  m_position = position;
  m_basePosition = position;
  m_baseTime = at;
  m_rate.reset();
  m_samplePosition = position;
  m_sampleTime = at;
}

void ProgressEstimate::range(std::int64_t low, std::int64_t high, ProgressAmount amount) {
  m_low = low;
  m_high = high;
  m_amount = amount;
  restartFrom(low, m_clock());
}

void ProgressEstimate::position(std::int64_t position) {
  if (m_high <= m_low) return;
  const auto at = m_clock();
  position = std::clamp(position, m_low, m_high);
  if (position < m_position) {
    // Gone back (the step started over, or counts something else now): measure again from here.
    restartFrom(position, at);
    return;
  }
  if (position == m_position) return;
  m_position = position;
  const double span = static_cast<double>(m_high) - static_cast<double>(m_low);
  if (!m_rate) {
    // The first rate is the average since the start, once 5 % of the range lies behind both the start
    // of the range and the point the rate is measured from.
    const double measured = static_cast<double>(position - m_basePosition);
    const double elapsed = Seconds(at - m_baseTime).count();
    if (static_cast<double>(position - m_low) < kFirstShare * span || measured < kFirstShare * span || elapsed <= 0)
      return;
    m_rate = measured / elapsed;
    m_samplePosition = position;
    m_sampleTime = at;
    return;
  }
  const double elapsed = Seconds(at - m_sampleTime).count();
  if (elapsed < kSampleSeconds) return;
  // A stall lowers the rate in proportion to its length: the longer it lasted, the more it counts.
  const double sample = static_cast<double>(position - m_samplePosition) / elapsed;
  const double weight = 1.0 - std::exp(-elapsed / kSmoothingSeconds);
  m_rate = weight * sample + (1.0 - weight) * *m_rate;
  m_samplePosition = position;
  m_sampleTime = at;
}

int ProgressEstimate::percent() const {
  if (m_high <= m_low) return -1;
  const double span = static_cast<double>(m_high) - static_cast<double>(m_low);
  return static_cast<int>(static_cast<double>(m_position - m_low) * 100.0 / span);
}

std::optional<double> ProgressEstimate::secondsLeft() const {
  // Nothing is left to estimate once the step is done.
  if (!m_rate || *m_rate <= 0 || m_high <= m_low || m_position >= m_high) return std::nullopt;
  return static_cast<double>(m_high - m_position) / *m_rate;
}

std::string ProgressEstimate::doneText() const {
  if (m_amount.kind == ProgressAmount::Kind::None || m_amount.total <= 0 || m_high <= m_low) return {};
  const double share =
      static_cast<double>(m_position - m_low) / (static_cast<double>(m_high) - static_cast<double>(m_low));
  const auto done = static_cast<std::int64_t>(std::llround(share * static_cast<double>(m_amount.total)));
  if (m_amount.kind == ProgressAmount::Kind::Items)
    return groupedCount(std::min(done, m_amount.total)) + " of " + groupedCount(m_amount.total);
  return byteCountText(std::min(done, m_amount.total)) + " of " + byteCountText(m_amount.total);
}

std::string ProgressEstimate::remainingText() const {
  const std::optional<double> left = secondsLeft();
  return left ? remainingTimeText(*left) : std::string();
}

std::string remainingTimeText(double seconds) {
  char text[64];
  if (!std::isfinite(seconds) || seconds < 0) return {};
  if (seconds < 10) return "a few seconds left";
  if (seconds < 57.5) {
    std::snprintf(text, sizeof text, "about %d s left", static_cast<int>(std::lround(seconds / 5)) * 5);
  } else if (seconds < 3600) {
    std::snprintf(text, sizeof text, "about %d min left", std::max(1, static_cast<int>(std::lround(seconds / 60))));
  } else if (seconds < 48 * 3600) {
    const long minutes = std::lround(seconds / 60);
    std::snprintf(text, sizeof text, "about %ld h %02ld min left", minutes / 60, minutes % 60);
  } else if (seconds < 1e9) {
    std::snprintf(text, sizeof text, "about %ld days left", std::lround(seconds / 86400));
  } else {
    return "more than 30 years left";
  }
  return text;
}

std::string byteCountText(std::int64_t bytes) {
  static constexpr const char* kUnits[] = {"KiB", "MiB", "GiB", "TiB", "PiB", "EiB"};
  if (bytes < 1024) return std::to_string(std::max<std::int64_t>(bytes, 0)) + " B";
  double value = static_cast<double>(bytes) / 1024;
  std::size_t unit = 0;
  while (value >= 1024 && unit + 1 < std::size(kUnits)) {
    value /= 1024;
    ++unit;
  }
  char text[32];
  std::snprintf(text, sizeof text, "%.1f %s", value, kUnits[unit]);
  return text;
}

std::string groupedCount(std::int64_t count) {
  std::string digits = std::to_string(count < 0 ? 0 : count);
  for (std::ptrdiff_t at = static_cast<std::ptrdiff_t>(digits.size()) - 3; at > 0; at -= 3)
    digits.insert(static_cast<std::size_t>(at), ",");
  return digits;
}

}  // namespace tessary
