// The default plug-in's frame rules: which frames are skipped while the
// camera settles after stream-on, and which dequeued frame began after the
// capture was asked for.
#include "frame_timing.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <vector>

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

// The interval a camera keeps: never shorter than it declares; longer when
// its frames come slower, as webcams' do in low light.
TEST(FrameTiming, TheFrameIntervalIsTheLongerOfTheDeclaredAndTheMeasured) {
  const int64_t kDeclared = vidmote::kSecond / 30;
  const struct {
    const char* what;
    int64_t declared;
    std::vector<int64_t> frames_at_ms;  // the frames' stamps
    int64_t lost = 1;                   // intervals between the frames
    int64_t want;
  } cases[] = {
      {"no frame yet", kDeclared, {}, 1, kDeclared},
      {"one frame", kDeclared, {0}, 1, kDeclared},
      {"at the declared rate", kDeclared, {0, 33, 66, 100}, 1, kDeclared},
      {"5 fps declaring 30", kDeclared, {0, 200, 400, 600}, 1, 200 * kMs},
      {"one late frame in five", kDeclared, {0, 33, 66, 400, 433, 466}, 1, kDeclared},
      {"slowing down", kDeclared, {0, 33, 66, 266, 466, 666, 866}, 1, 200 * kMs},
      {"frames lost for want of buffers", kDeclared, {0, 100, 200}, 3, 100 * kMs / 3},
      {"nothing declared", 0, {0, 40, 80}, 1, 40 * kMs},
      {"a frame a minute", kDeclared, {0, 60000, 120000}, 1, vidmote::kLongestInterval},
      {"stamps that go back", kDeclared, {100, 50, 0}, 1, kDeclared},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    vidmote::FrameRate rate(c.declared);
    for (int64_t at : c.frames_at_ms) rate.frame(at * kMs, c.lost);
    EXPECT_EQ(rate.interval_ns(), std::max(c.want, c.declared));
    rate.restart();
    EXPECT_EQ(rate.interval_ns(), c.declared) << "a restarted stream forgets what it measured";
  }
}

// Settled: three frames in a row of one brightness within two levels, and
// the same exposure and gain.
TEST(FrameTiming, APictureHasSettledWhenThreeFramesAgree) {
  const struct {
    const char* what;
    std::vector<double> brightness;
    std::vector<int64_t> exposure;  // per frame; empty: not reported
    bool settled;
  } cases[] = {
      {"two steady frames are too few", {128, 128}, {}, false},
      {"three steady frames", {128, 128, 128}, {}, true},
      {"noise within two levels", {127, 129, 128}, {}, true},
      {"still brightening", {40, 60, 80, 100}, {}, false},
      {"brightened, then three steady", {40, 80, 120, 128, 129, 128}, {}, true},
      {"brightened, two steady", {40, 80, 120, 128, 129}, {}, false},
      {"flicker", {60, 120, 60, 120, 60}, {}, false},
      {"steady picture, exposure still moving", {128, 128, 128}, {100, 110, 120}, false},
      {"steady picture and exposure", {128, 128, 128, 128}, {90, 100, 100, 100}, true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    vidmote::PictureSettle picture;
    for (size_t i = 0; i < c.brightness.size(); ++i)
      picture.frame(c.brightness[i], c.exposure.empty() ? 0 : c.exposure[i], 0);
    EXPECT_EQ(picture.settled(), c.settled);
  }
}

}  // namespace
