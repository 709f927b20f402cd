// The default plug-in's frame rules: which frames are skipped while the
// camera settles after stream-on, and which dequeued frame began after the
// capture was asked for.
#include "frame_timing.h"

#include <gtest/gtest.h>
#include <stdlib.h>

#include <algorithm>
#include <vector>

namespace {

const int64_t kMs = 1000 * 1000;
const int64_t kAsked = 100000 * kMs;  // 100 s on the monotonic clock
const int64_t kNow = kAsked + 100 * kMs;
const int64_t kInterval = 40 * kMs;  // 25 frames a second

// A frame's start by the best evidence (a believed stamp, else its arrival
// less the learnt latency and an interval), or the count of frames since the
// request; stamps are believed while monotonic, rising, not ahead of their
// frame's arrival and not further behind it than a delivery latency can be.
TEST(FrameTiming, AFrameCountsOnlyIfItBeganAfterTheRequest) {
  const int64_t kBehind = kNow - 10000 * kMs;
  const vidmote::FrameArrival kWaited = {kNow, false};  // had waited in the queue
  const vidmote::FrameArrival kAwaited = {kNow, true};  // ready at kNow
  const struct {
    const char* what;
    vidmote::FrameStamp earlier;  // the stream's frame before, stamp_ns 0 for none
    vidmote::FrameStamp stamp;
    vidmote::FrameArrival arrival;
    int64_t interval;
    int64_t latency;  // learnt
    size_t arrived;   // since the request, this one included
    bool fresh;
  } cases[] = {
      {"ended 50 ms after: began 10 ms after",
       {},
       {true, true, kAsked + 50 * kMs},
       kWaited,
       kInterval,
       0,
       1,
       true},
      {"ended 30 ms after: began 10 ms before",
       {},
       {true, true, kAsked + 30 * kMs},
       kWaited,
       kInterval,
       0,
       1,
       false},
      {"began exactly at the request",
       {},
       {true, true, kAsked + kInterval},
       kWaited,
       kInterval,
       0,
       1,
       true},
      // Stamps are whole microseconds: a start within the microsecond before
      // the request may be the request's own.
      {"began 1 ns before",
       {},
       {true, true, kAsked + kInterval - 1},
       kWaited,
       kInterval,
       0,
       1,
       true},
      {"began 999 ns before",
       {},
       {true, true, kAsked + kInterval - 999},
       kWaited,
       kInterval,
       0,
       1,
       true},
      {"began 1001 ns before",
       {},
       {true, true, kAsked + kInterval - 1001},
       kWaited,
       kInterval,
       0,
       1,
       false},
      {"start stamp 1 ms after", {}, {true, false, kAsked + kMs}, kWaited, kInterval, 0, 1, true},
      {"start stamp 1 ms before", {}, {true, false, kAsked - kMs}, kWaited, kInterval, 0, 3, false},
      // Honest stamps trailing arrival by a delivery latency are believed:
      // awaited at kNow, 100 ms after the request, the frame began before it.
      {"start stamp 1 ms before, awaited, latency 2 intervals",
       {},
       {true, false, kAsked - kMs},
       kAwaited,
       kInterval,
       0,
       2,
       false},
      {"start stamp 160 ms behind its arrival: 3 intervals' latency",
       {},
       {true, false, kNow - 160 * kMs},
       kAwaited,
       kInterval,
       0,
       2,
       false},
      {"start stamp 1 ms after, awaited 3 intervals late",
       {},
       {true, false, kAsked + kMs},
       {kAsked + kMs + 4 * kInterval, true},
       kInterval,
       0,
       2,
       true},
      // Stamps far from the clock are no stamps of it: arrival decides.
      {"end stamp 10 s behind its awaited arrival",
       {},
       {true, true, kBehind},
       kAwaited,
       kInterval,
       0,
       1,
       true},
      {"end stamp 10 s behind, the frame had waited",
       {},
       {true, true, kBehind},
       kWaited,
       kInterval,
       0,
       1,
       false},
      {"end stamp 411 ms behind its awaited arrival: too far",
       {},
       {true, true, kNow - 411 * kMs},
       kAwaited,
       kInterval,
       0,
       1,
       true},
      {"end stamp 409 ms behind its awaited arrival: latency",
       {},
       {true, true, kNow - 409 * kMs},
       kAwaited,
       kInterval,
       0,
       1,
       false},
      // Stamps that say nothing: an awaited frame began an interval and the
      // learnt latency before its arrival; one that waited, nobody knows.
      {"copied stamp, awaited, no latency",
       {},
       {false, true, kAsked - 50 * kMs},
       kAwaited,
       kInterval,
       0,
       1,
       true},
      {"copied stamp, awaited, latency 60 ms: began 0 ms after",
       {},
       {false, true, kAsked - 50 * kMs},
       kAwaited,
       kInterval,
       60 * kMs,
       1,
       true},
      {"copied stamp, awaited, latency 61 ms: began 1 ms before",
       {},
       {false, true, kAsked - 50 * kMs},
       kAwaited,
       kInterval,
       61 * kMs,
       1,
       false},
      {"copied stamp, awaited 30 ms after the request",
       {},
       {false, true, kAsked},
       {kAsked + 30 * kMs, true},
       kInterval,
       0,
       1,
       false},
      {"copied stamp, had waited, the second",
       {},
       {false, true, kAsked + 50 * kMs},
       kWaited,
       kInterval,
       0,
       2,
       false},
      {"copied stamp, had waited, the fifth: the frame in flight may be next",
       {},
       {false, true, kAsked + 50 * kMs},
       kWaited,
       kInterval,
       0,
       5,
       false},
      {"copied stamp, had waited, the sixth: every buffer's frame gone",
       {},
       {false, true, kAsked + 50 * kMs},
       kWaited,
       kInterval,
       0,
       6,
       true},
      {"unknown interval, end stamp",
       {},
       {true, true, kAsked + 50 * kMs},
       kAwaited,
       0,
       0,
       1,
       false},
      {"unknown interval, start stamp",
       {},
       {true, false, kAsked + 50 * kMs},
       kAwaited,
       0,
       0,
       1,
       true},
      // A stamp ahead of its arrival, or not rising, is not believed.
      {"stamp 1 ms ahead of the arrival: believed",
       {},
       {true, false, kNow + kMs},
       kWaited,
       kInterval,
       0,
       1,
       true},
      {"stamp 2 ms ahead of the arrival, had waited",
       {},
       {true, false, kNow + 2 * kMs},
       kWaited,
       kInterval,
       0,
       1,
       false},
      {"stamp in the future, awaited",
       {},
       {true, true, kNow + 2000 * kMs},
       kAwaited,
       kInterval,
       0,
       1,
       true},
      {"stamp no later than the one before",
       {true, true, kAsked + 60 * kMs},
       {true, true, kAsked + 50 * kMs},
       kWaited,
       kInterval,
       0,
       1,
       false},
      {"stamp after the one before",
       {true, true, kAsked + 10 * kMs},
       {true, true, kAsked + 50 * kMs},
       kWaited,
       kInterval,
       0,
       1,
       true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    vidmote::StampTrust trust;
    if (c.earlier.stamp_ns) trust.believe(c.earlier, kWaited, c.interval);
    const bool believed = trust.believe(c.stamp, c.arrival, c.interval);
    const vidmote::CaptureFrame frame = {
        vidmote::frame_start_ns(c.stamp, believed, c.arrival, c.interval, c.latency), c.arrived,
        false};
    EXPECT_EQ(vidmote::began_after_request(frame, 4, kAsked), c.fresh);
    const vidmote::CaptureFrame restarted = {frame.start_ns, c.arrived, true};
    EXPECT_TRUE(vidmote::began_after_request(restarted, 4, kAsked))
        << "every frame of a stream started after the request began after it";
  }
}

// The delivery latency: from a believed stamp's frame end to its awaited
// arrival, the longest of the last eight.
TEST(FrameTiming, TheDeliveryLatencyIsTheLongestOfTheLastFramesAwaited) {
  const struct {
    const char* what;
    std::vector<int64_t> late_ms;  // each frame's arrival after its end
    bool awaited;
    bool start_stamps;
    int64_t want;
    int64_t first_after_start_ms = -1;  // the first frame awaited after stream-on; -1: none
  } cases[] = {
      {"none seen", {}, true, false, 0},
      {"steady 70 ms", {70, 70, 70}, true, false, 70 * kMs},
      {"steady 70 ms, start stamps", {70, 70, 70}, true, true, 70 * kMs},
      {"varying", {30, 100, 60}, true, false, 100 * kMs},
      {"a long one nine frames ago is forgotten",
       {200, 10, 10, 10, 10, 10, 10, 10, 10},
       true,
       false,
       10 * kMs},
      {"frames that had waited in the queue say nothing", {500, 500}, false, false, 0},
      {"stamps after the arrival count as none", {-5}, true, false, 0},
      // Stamps never believed: the first frame's arrival after stream-on
      // bounds the latency from above.
      {"no stamps, the first frame 110 ms after stream-on", {}, true, false, 70 * kMs, 110},
      {"no stamps, the first frame an interval after stream-on", {}, true, false, 0, 40},
      {"believed stamps tell better than the bound", {30}, true, false, 30 * kMs, 500},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    vidmote::DeliveryLatency latency;
    if (c.first_after_start_ms >= 0) {
      latency.stream_started(kAsked - 1000 * kMs);
      latency.arrived({kAsked - 1000 * kMs + c.first_after_start_ms * kMs, true}, kInterval);
    }
    int64_t end = kAsked;
    for (int64_t late : c.late_ms) {
      end += kInterval;
      const vidmote::FrameStamp stamp = {true, !c.start_stamps,
                                         c.start_stamps ? end - kInterval : end};
      latency.frame(stamp, {end + late * kMs, c.awaited}, kInterval);
    }
    EXPECT_EQ(latency.latency_ns(), c.want);
  }
}

// A control read for settling is given up after one that fails or takes
// more than 50 ms; the last value read stands for it.
TEST(FrameTiming, AControlReadIsGivenUpOnceItFailsOrBlocks) {
  const struct {
    const char* what;
    std::vector<int64_t> took_ms;  // each read's time; -1: it failed
    int reads_made;                // of them, before it was given up
    int64_t value;                 // standing for the control: the last read's
  } cases[] = {
      {"quick reads", {1, 2, 1}, 3, 3},
      {"a read of 50 ms", {50, 1}, 2, 2},
      {"a read of 51 ms", {51, 1, 1}, 1, 1},
      {"blocking 5 s and timing out", {-5000, 1}, 1, 0},
      {"failing after two good ones", {1, 1, -1, 1}, 3, 2},
      {"nothing read yet", {}, 0, 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    vidmote::ControlReads reads;
    int made = 0;
    for (int64_t took : c.took_ms) {
      if (!reads.worth_reading()) break;
      ++made;
      reads.read(took >= 0, made, std::abs(took) * kMs);
    }
    EXPECT_EQ(made, c.reads_made);
    EXPECT_EQ(reads.value(), c.value);
    reads.restart();
    EXPECT_TRUE(reads.worth_reading()) << "a camera opened afresh is read again";
  }
}

// A capture's bound: 3 s and two intervals; settling by the picture looks
// for a steady picture until 2.5 s after the capture began, or 3 s less an
// interval for cameras slower than 2 fps, then takes the next usable frame.
TEST(FrameTiming, TheBoundsFollowTheFrameInterval) {
  const struct {
    const char* what;
    int64_t interval;
    int64_t timeout, cap;
  } cases[] = {
      {"30 fps", vidmote::kSecond / 30, 3066666666, 2500 * kMs},
      {"interval unknown", 0, 3000 * kMs, 2500 * kMs},
      {"2 fps", 500 * kMs, 4000 * kMs, 2500 * kMs},
      {"1 fps", vidmote::kSecond, 5000 * kMs, 2000 * kMs},
      {"a frame every 4 s", 4 * vidmote::kSecond, 11000 * kMs, 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    EXPECT_EQ(vidmote::frame_timeout_ns(c.interval), c.timeout);
    EXPECT_EQ(vidmote::picture_settle_cap_ns(c.interval), c.cap);
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
    std::vector<double> red_cast = {};  // per frame, luma held; empty: none
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
      {"steady brightness, a red cast fading a level a frame", std::vector<double>(16, 128), none,
       none, false, ramp(30, -1, 16)},
      {"steady brightness, a red cast faded, then half a second steady",
       std::vector<double>(20, 128), none, none, true,
       [] {
         std::vector<double> cast = {30, 20, 10};
         cast.resize(20, 0);
         return cast;
       }()},
      {"five steady frames, a steady cast", std::vector<double>(5, 128), none, none, true,
       std::vector<double>(5, 25)},
      {"steady brightness, a cast swaying 3 levels either side",
       std::vector<double>(17, 128),
       none,
       none,
       true,
       {3, -3, 3, -3, 3, -3, 3, -3, 3, -3, 3, -3, 3, -3, 3, -3, 3}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    vidmote::PictureSettle picture;
    for (size_t i = 0; i < c.brightness.size(); ++i) {
      // Red up and green down by as much luma: the brightness holds.
      const double cast = c.red_cast.empty() ? 0 : c.red_cast[i];
      vidmote::Colour colour;
      colour.red = c.brightness[i] + cast;
      colour.green = c.brightness[i] - cast * 77 / 150;
      colour.blue = c.brightness[i];
      picture.frame(kAsked + static_cast<int64_t>(i) * vidmote::kSecond / 30, c.brightness[i],
                    c.exposure.empty() ? 0 : c.exposure[i], c.gain.empty() ? 0 : c.gain[i], colour);
    }
    EXPECT_EQ(picture.settled(), c.settled);
    picture.restart();
    picture.frame(kAsked + vidmote::kSecond, 128, 0, 0);
    EXPECT_FALSE(picture.settled()) << "a restarted stream forgets the frames it saw";
  }
}

}  // namespace
