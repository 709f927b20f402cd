// The default plug-in's frame rules: which frames are skipped while the
// camera settles after stream-on, and which dequeued frame began after the
// capture was asked for.
#include "frame_timing.h"

#include <gtest/gtest.h>

namespace {

const int64_t kMs = 1000 * 1000;
const int64_t kAsked = 100000 * kMs;  // 100 s on the monotonic clock
const int64_t kNow = kAsked + 100 * kMs;
const int64_t kInterval = 40 * kMs;  // 25 frames a second

TEST(FrameTiming, AFrameCountsOnlyIfItBeganAfterTheRequest) {
  const struct {
    const char* what;
    vidmote::FrameStamp stamp;
    int64_t interval;
    int dequeued_before;
    bool fresh;
  } cases[] = {
      {"ended 50 ms after: began 10 ms after", {true, true, kAsked + 50 * kMs}, kInterval, 0, true},
      {"ended 30 ms after: began 10 ms before",
       {true, true, kAsked + 30 * kMs},
       kInterval,
       5,
       false},
      {"began exactly at the request", {true, true, kAsked + kInterval}, kInterval, 0, true},
      // Stamps are whole microseconds: a start within the microsecond before
      // the request may be the request's own.
      {"began 1 ns before", {true, true, kAsked + kInterval - 1}, kInterval, 0, true},
      {"began 999 ns before", {true, true, kAsked + kInterval - 999}, kInterval, 0, true},
      {"began 1001 ns before", {true, true, kAsked + kInterval - 1001}, kInterval, 0, false},
      {"began 2 us before", {true, true, kAsked + kInterval - 2000}, kInterval, 0, false},
      {"start stamp 1 ms after", {true, false, kAsked + kMs}, kInterval, 0, true},
      {"start stamp 1 ms before", {true, false, kAsked - kMs}, kInterval, 3, false},
      // Without a usable stamp, the first frame after the request is not enough.
      {"unknown clock, first", {false, true, kAsked + 50 * kMs}, kInterval, 0, false},
      {"unknown clock, second", {false, true, kAsked - 50 * kMs}, kInterval, 1, true},
      {"unknown interval, first", {true, true, kAsked + 50 * kMs}, 0, 0, false},
      {"unknown interval, second", {true, true, kAsked + 50 * kMs}, 0, 1, true},
      {"offset stamp far behind, first", {true, true, 5000 * kMs}, kInterval, 0, false},
      {"offset stamp far behind, second", {true, true, 5000 * kMs}, kInterval, 1, true},
      {"stamp in the future, first", {true, true, kNow + 2000 * kMs}, kInterval, 0, false},
      // A stamp is trusted from 10 s behind the clock to 1 s ahead of it.
      {"10 s behind the clock: trusted, began before",
       {true, false, kNow - 10000 * kMs},
       kInterval,
       1,
       false},
      {"past 10 s behind: not trusted, second",
       {true, false, kNow - 10000 * kMs - 1},
       kInterval,
       1,
       true},
      {"1 s ahead of the clock: trusted, began after",
       {true, false, kNow + 1000 * kMs},
       kInterval,
       0,
       true},
      {"past 1 s ahead: not trusted, first",
       {true, false, kNow + 1000 * kMs + 1},
       kInterval,
       0,
       false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    EXPECT_EQ(vidmote::began_after(c.stamp, c.interval, kNow, kAsked, c.dequeued_before), c.fresh);
  }
}

TEST(FrameTiming, FramesAreSkippedUntilBothTheCountAndTheTimeAreReached) {
  const int64_t kStarted = kAsked;  // stream-on
  const struct {
    const char* what;
    int settle_frames;
    int64_t settle_ms;
    int skipped;
    int64_t since_start;
    bool skip;
  } cases[] = {
      {"1 s, the first frame", 0, 1000, 0, 0, true},
      {"1 s, 29 frames in 999 ms", 0, 1000, 29, 999 * kMs, true},
      {"1 s, a second has passed", 0, 1000, 30, 1000 * kMs, false},
      {"5 frames, the first, time already up", 5, 0, 0, kMs, true},
      {"5 frames, the fifth, time already up", 5, 0, 4, 2000 * kMs, true},
      {"5 frames, five skipped", 5, 0, 5, 200 * kMs, false},
      {"none", 0, 0, 0, 0, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    EXPECT_EQ(vidmote::still_settling(c.skipped, c.settle_frames, kStarted + c.since_start,
                                      kStarted + c.settle_ms * kMs),
              c.skip);
  }
}

}  // namespace
