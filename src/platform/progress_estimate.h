// How far a long step has come and how long it still needs, worked out from the progress range and
// position its page posts. Both front ends show what this class says, in its words.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>

namespace tessary {

// What a progress range counts, when the step knows it: the whole range stands for `total` items or
// bytes, a position for its share of them.
struct ProgressAmount {
  enum class Kind : std::uint8_t { None, Items, Bytes };
  Kind kind = Kind::None;
  std::int64_t total = 0;

  static ProgressAmount items(std::int64_t count) { return {Kind::Items, count}; }
  static ProgressAmount bytes(std::int64_t count) { return {Kind::Bytes, count}; }
};

class ProgressEstimate {
 public:
  using Clock = std::function<std::chrono::steady_clock::time_point()>;

  // No estimate before this share of the range is done.
  static constexpr double kFirstShare = 0.05;

  // `clock` is monotonic; the steady clock unless a test gives its own.
  explicit ProgressEstimate(Clock clock = {});

  // A new step starts: what was measured of the last one says nothing about it.
  void range(std::int64_t low, std::int64_t high, ProgressAmount amount = {});
  void position(std::int64_t position);

  // The bar's percentage, or -1 while the range is empty.
  int percent() const;
  // Seconds the step still needs: none before 5 % of it is done, nor until the rate has been measured
  // again after the position went backwards, nor once the step is done.
  std::optional<double> secondsLeft() const;
  // "12,345 of 100,000" or "1.2 GiB of 10.0 GiB"; empty when the step does not say what it counts.
  std::string doneText() const;
  // "about 3 min left"; empty without an estimate.
  std::string remainingText() const;

  std::chrono::steady_clock::time_point now() const { return m_clock(); }

 private:
  void restartFrom(std::int64_t position, std::chrono::steady_clock::time_point at);

  Clock m_clock;
  std::int64_t m_low = 0;
  std::int64_t m_high = 0;
  std::int64_t m_position = 0;
  ProgressAmount m_amount;
  // Where and when the rate is measured from: the step's start, or the last time the position went back.
  std::int64_t m_basePosition = 0;
  std::chrono::steady_clock::time_point m_baseTime;
  // The smoothed rate (positions per second) and its last sample; no rate until enough is done.
  std::optional<double> m_rate;
  std::int64_t m_samplePosition = 0;
  std::chrono::steady_clock::time_point m_sampleTime;
};

// "a few seconds", "about 45 s", "about 3 min", "about 2 h 05 min", "about 3 days", each with " left".
std::string remainingTimeText(double seconds);
// "1.2 GiB"; whole bytes below 1 KiB.
std::string byteCountText(std::int64_t bytes);
// "1,234,567".
std::string groupedCount(std::int64_t count);

}  // namespace tessary
