// The remaining time both front ends show, on a clock the test moves, and the command line's bar line.
#include <gtest/gtest.h>

#include <chrono>

#include "platform/progress_estimate.h"
#include "terminal_sink.h"

using namespace tessary;
using namespace std::chrono_literals;

namespace {

struct FakeClock {
  std::chrono::steady_clock::time_point now{};
  ProgressEstimate::Clock clock() {
    return [this] { return now; };
  }
};

}  // namespace

TEST(ProgressEstimate, SaysNothingBeforeFivePercentThenTheSteadyRate) {
  FakeClock time;
  ProgressEstimate estimate(time.clock());
  estimate.range(0, 1000, ProgressAmount::items(1000));
  time.now += 4s;
  estimate.position(40);  // 4 % in 4 s
  EXPECT_FALSE(estimate.secondsLeft());
  EXPECT_EQ(estimate.remainingText(), "");
  EXPECT_EQ(estimate.doneText(), "40 of 1,000");
  for (int second = 5; second <= 50; ++second) {
    time.now += 1s;
    estimate.position(second * 10);
    ASSERT_TRUE(estimate.secondsLeft()) << second;
    EXPECT_NEAR(*estimate.secondsLeft(), 100.0 - second, 1e-6);
  }
  EXPECT_EQ(estimate.percent(), 50);
  EXPECT_EQ(estimate.remainingText(), "about 50 s left");
  time.now += 50s;
  estimate.position(1000);
  EXPECT_EQ(estimate.remainingText(), "");  // done: nothing left to estimate
}

TEST(ProgressEstimate, NewRangeOrPositionGoingBackStartsOver) {
  FakeClock time;
  ProgressEstimate estimate(time.clock());
  estimate.range(0, 100);
  time.now += 10s;
  estimate.position(50);
  ASSERT_TRUE(estimate.secondsLeft());
  EXPECT_EQ(estimate.doneText(), "");  // the step does not say what it counts

  // The next step counts bytes, at a rate the last one says nothing about.
  estimate.range(0, 4096, ProgressAmount::bytes(std::int64_t{4} << 40));
  EXPECT_FALSE(estimate.secondsLeft());
  time.now += 1s;
  estimate.position(1024);
  EXPECT_EQ(estimate.doneText(), "1.0 TiB of 4.0 TiB");

  // Back to the start: no figure until 5 % has been measured again, then one from the new rate only.
  ASSERT_TRUE(estimate.secondsLeft());
  time.now += 1s;
  estimate.position(100);
  EXPECT_FALSE(estimate.secondsLeft());
  time.now += 100s;
  estimate.position(300);
  EXPECT_FALSE(estimate.secondsLeft());  // 200 of 4096 since going back is below 5 %
  time.now += 100s;
  estimate.position(400);
  ASSERT_TRUE(estimate.secondsLeft());
  EXPECT_NEAR(*estimate.secondsLeft(), (4096 - 400) / 1.5, 1e-6);

  // An empty range shows no bar and no figures.
  estimate.range(5, 5);
  estimate.position(5);
  EXPECT_EQ(estimate.percent(), -1);
  EXPECT_FALSE(estimate.secondsLeft());
}

TEST(ProgressEstimate, StallRaisesTheEstimateWithoutThrowingItAbout) {
  FakeClock time;
  ProgressEstimate estimate(time.clock());
  estimate.range(0, 1000);
  for (int second = 1; second <= 20; ++second) {
    time.now += 1s;
    estimate.position(second * 10);
  }
  const double steady = *estimate.secondsLeft();
  EXPECT_NEAR(steady, 80.0, 1e-6);
  // One late step, then the old pace again: the estimate grows, then comes back down over time.
  time.now += 5s;
  estimate.position(210);
  const double afterStall = *estimate.secondsLeft();
  EXPECT_GT(afterStall, steady);
  EXPECT_LT(afterStall, 3 * steady);
  double last = afterStall;
  for (int second = 1; second <= 30; ++second) {
    time.now += 1s;
    estimate.position(210 + second * 10);
    EXPECT_LT(*estimate.secondsLeft(), last);
    last = *estimate.secondsLeft();
  }
  EXPECT_NEAR(last, 49.0, 3.0);
  // A sample under a second apart is not taken: a burst does not move the rate.
  time.now += 100ms;
  estimate.position(600);
  EXPECT_NEAR(*estimate.secondsLeft(), 400.0 / ((1000 - 510) / last), 1e-6);
}

TEST(ProgressEstimate, TimeAndAmountTexts) {
  EXPECT_EQ(remainingTimeText(3), "a few seconds left");
  EXPECT_EQ(remainingTimeText(43), "about 45 s left");
  EXPECT_EQ(remainingTimeText(59), "about 1 min left");
  EXPECT_EQ(remainingTimeText(754), "about 13 min left");
  EXPECT_EQ(remainingTimeText(2 * 3600 + 5 * 60 + 10), "about 2 h 05 min left");
  EXPECT_EQ(remainingTimeText(5 * 86400), "about 5 days left");
  EXPECT_EQ(remainingTimeText(-1), "");
  EXPECT_EQ(byteCountText(1023), "1023 B");
  EXPECT_EQ(byteCountText(1536 * 1024), "1.5 MiB");
  EXPECT_EQ(groupedCount(1234567), "1,234,567");
  EXPECT_EQ(groupedCount(999), "999");
}

TEST(TerminalBar, LineKeepsToTheTerminalWidth) {
  const std::string bar = "[###############               ]  50%";
  EXPECT_EQ(progressLine(50, "", "", 80), bar);
  EXPECT_EQ(progressLine(50, "5 of 10", "a few seconds left", 80), bar + "  5 of 10  a few seconds left");
  EXPECT_EQ(progressLine(50, "500,000 of 1,000,000", "about 3 min left", 80),
            bar + "  500,000 of 1,000,000  about 3 min left");
  // Too narrow for both: the time left stays, then nothing beyond the bar.
  EXPECT_EQ(progressLine(50, "500,000 of 1,000,000", "about 3 min left", 72), bar + "  about 3 min left");
  EXPECT_EQ(progressLine(50, "500,000 of 1,000,000", "about 3 min left", 40), bar);
  EXPECT_EQ(progressLine(100, "", "", 80).substr(0, 32), "[" + std::string(30, '#') + "]");
}
