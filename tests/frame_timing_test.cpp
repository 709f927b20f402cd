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
  const int64_t kBehind = kNow - 10000 * kMs;
  const struct {
    const char* what;
    vidmote::FrameStamp earlier;  // the stream's frame before, stamp_ns 0 for none
    vidmote::FrameStamp stamp;
    int64_t interval;
    int dequeued_before;  // since the request
    int since_empty;      // frames dequeued since the queue was seen empty; -1: never
    bool fresh;
  } cases[] = {
      {"ended 50 ms after: began 10 ms after",
       {},
       {true, true, kAsked + 50 * kMs},
       kInterval,
       0,
       -1,
       true},
      {"ended 30 ms after: began 10 ms before",
       {},
       {true, true, kAsked + 30 * kMs},
       kInterval,
       0,
       -1,
       false},
      {"began exactly at the request",
       {},
       {true, true, kAsked + kInterval},
       kInterval,
       0,
       -1,
       true},
      // Stamps are whole microseconds: a start within the microsecond before
      // the request may be the request's own.
      {"began 1 ns before", {}, {true, true, kAsked + kInterval - 1}, kInterval, 0, -1, true},
      {"began 999 ns before", {}, {true, true, kAsked + kInterval - 999}, kInterval, 0, -1, true},
      {"began 1001 ns before",
       {},
       {true, true, kAsked + kInterval - 1001},
       kInterval,
       0,
       -1,
       false},
      {"start stamp 1 ms after", {}, {true, false, kAsked + kMs}, kInterval, 0, -1, true},
      {"start stamp 1 ms before", {}, {true, false, kAsked - kMs}, kInterval, 3, -1, false},
      // Stamps that say nothing: arrival decides. The frame the driver was
      // filling may have begun before; the one after it did not.
      {"copied stamp, first after the queue emptied",
       {},
       {false, true, kAsked + 50 * kMs},
       kInterval,
       0,
       0,
       false},
      {"copied stamp, second after the queue emptied",
       {},
       {false, true, kAsked - 50 * kMs},
       kInterval,
       1,
       1,
       true},
      {"copied stamp, the second dequeued, the queue never seen empty",
       {},
       {false, true, kAsked + 50 * kMs},
       kInterval,
       1,
       -1,
       false},
      {"copied stamp, four dequeued: the frame in flight may be next",
       {},
       {false, true, kAsked + 50 * kMs},
       kInterval,
       4,
       -1,
       false},
      {"copied stamp, five dequeued: every buffer's frame gone",
       {},
       {false, true, kAsked + 50 * kMs},
       kInterval,
       5,
       -1,
       true},
      {"unknown interval, first", {}, {true, true, kAsked + 50 * kMs}, 0, 0, -1, false},
      {"unknown interval, second after the queue emptied",
       {},
       {true, true, kAsked + 50 * kMs},
       0,
       1,
       1,
       true},
      // A stamp behind the clock says the frame is old: a stale frame is not
      // taken for a fresh one; arrival still shows a fresh one.
      {"stamp 10 s behind, first", {}, {true, false, kBehind}, kInterval, 0, 0, false},
      {"stamp 10 s behind, second after the queue emptied",
       {},
       {true, false, kBehind},
       kInterval,
       1,
       1,
       true},
      // A stamp ahead of the clock, or not rising, is not believed.
      {"stamp 1 ms ahead of the clock: believed",
       {},
       {true, false, kNow + kMs},
       kInterval,
       0,
       -1,
       true},
      {"stamp 2 ms ahead of the clock, first",
       {},
       {true, false, kNow + 2 * kMs},
       kInterval,
       0,
       -1,
       false},
      {"stamp in the future, first", {}, {true, true, kNow + 2000 * kMs}, kInterval, 0, 0, false},
      {"stamp no later than the one before",
       {true, true, kAsked + 60 * kMs},
       {true, true, kAsked + 50 * kMs},
       kInterval,
       0,
       -1,
       false},
      {"stamp after the one before",
       {true, true, kAsked + 10 * kMs},
       {true, true, kAsked + 50 * kMs},
       kInterval,
       0,
       -1,
       true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    vidmote::StampTrust trust;
    if (c.earlier.stamp_ns) trust.believe(c.earlier, kNow);
    const bool believed = trust.believe(c.stamp, kNow);
    vidmote::ArrivalOrder arrival(4);
    for (int i = 0; i < c.dequeued_before; ++i) {
      if (i == c.dequeued_before - c.since_empty) arrival.queue_empty();
      arrival.arrived();
    }
    if (c.since_empty == 0) arrival.queue_empty();
    EXPECT_EQ(vidmote::began_after(c.stamp, believed, c.interval, kAsked, arrival.arrived()),
              c.fresh);
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

// Settled: no trend in the brightness over half a second of frames (the
// first five while fewer have come), none straying more than 4 levels from
// it, and no trend in exposure or gain. Frames at 30 fps.
TEST(FrameTiming, APictureHasSettledWhenItsBrightnessShowsNoTrend) {
  auto ramp = [](double from, double per_frame, int frames) {
    std::vector<double> levels;
    for (int i = 0; i < frames; ++i) levels.push_back(from + per_frame * i);
    return levels;
  };
  // A step every `every` frames: up, or down when `every` is negative.
  auto steps = [](int64_t from, int every, int frames) {
    std::vector<int64_t> values;
    for (int i = 0; i < frames; ++i) values.push_back(from + i / every);
    return values;
  };
  const std::vector<int64_t> none;
  const struct {
    const char* what;
    std::vector<double> brightness;
    std::vector<int64_t> exposure;  // per frame; empty: not reported
    std::vector<int64_t> gain;      // per frame; empty: not reported
    bool settled;
  } cases[] = {
      {"four steady frames are too few", {128, 128, 128, 128}, none, none, false},
      {"five steady frames", {128, 128, 128, 128, 128}, none, none, true},
      {"noise within a level", {127, 129, 128, 128, 127}, none, none, true},
      {"still brightening", {40, 60, 80, 100, 120}, none, none, false},
      {"brightened, then half a second steady",
       [] {
         std::vector<double> levels = {40, 80, 120};
         levels.resize(19, 128);
         return levels;
       }(),
       none, none, true},
      {"brightening 1 level a frame for half a second", ramp(60, 1, 20), none, none, false},
      {"brightening 0.1 level a frame: as good as still", ramp(120, 0.1, 20), none, none, true},
      {"swaying 3 levels either side",
       {125, 131, 125, 131, 125, 131, 125, 131, 125, 131, 125, 131, 125, 131, 125, 131, 125},
       none,
       none,
       true},
      {"flicker", {60, 120, 60, 120, 60, 120, 60, 120, 60, 120, 60}, none, none, false},
      {"steady picture, exposure still moving", std::vector<double>(16, 128), steps(100, 1, 16),
       none, false},
      {"steady picture, exposure wobbling by 1",
       std::vector<double>(16, 128),
       {100, 101, 100, 101, 100, 101, 100, 101, 100, 101, 100, 101, 100, 101, 100, 101},
       none,
       true},
      {"steady picture and exposure after a change", std::vector<double>(20, 128),
       [] {
         std::vector<int64_t> values = {90, 95};
         values.resize(20, 100);
         return values;
       }(),
       none, true},
      {"steady picture, gain still moving", std::vector<double>(16, 128), none, steps(10, 2, 16),
       false},
      {"steady picture, gain rising a step in half a second", std::vector<double>(16, 128), none,
       steps(10, 12, 16), true},
      // A bright scene: auto exposure still bringing the controls down.
      {"steady picture, exposure still falling", std::vector<double>(16, 128), steps(200, -1, 16),
       none, false},
      {"steady picture, gain still falling", std::vector<double>(16, 128), none, steps(30, -2, 16),
       false},
      // 2 % of an exposure of 1000 is 20 steps: gain has a tolerance of its own.
      {"steady picture and large exposure, gain still rising", std::vector<double>(16, 128),
       std::vector<int64_t>(16, 1000), steps(10, 1, 16), false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    vidmote::PictureSettle picture;
    for (size_t i = 0; i < c.brightness.size(); ++i)
      picture.frame(kAsked + static_cast<int64_t>(i) * vidmote::kSecond / 30, c.brightness[i],
                    c.exposure.empty() ? 0 : c.exposure[i], c.gain.empty() ? 0 : c.gain[i]);
    EXPECT_EQ(picture.settled(), c.settled);
    picture.restart();
    picture.frame(kAsked + vidmote::kSecond, 128, 0, 0);
    EXPECT_FALSE(picture.settled()) << "a restarted stream forgets the frames it saw";
  }
}

}  // namespace
