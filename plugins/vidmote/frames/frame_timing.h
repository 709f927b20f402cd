// Which camera frames count: after stream-on, none until the picture has
// settled; for a capture, one that began after the capture was asked for.
#ifndef VIDMOTE_FRAME_TIMING_H
#define VIDMOTE_FRAME_TIMING_H

#include <stddef.h>
#include <stdint.h>

#include "frame_source.h"

namespace vidmote {

// Times are in nanoseconds.
const int64_t kMillisecond = 1000 * 1000;
const int64_t kSecond = 1000 * kMillisecond;
// A stated frame interval counts as at most this: beyond it is no camera's.
const int64_t kLongestInterval = 10 * kSecond;

// How long a capture waits for a frame before it fails: 3 s plus two frame
// intervals.
inline int64_t frame_timeout_ns(int64_t interval_ns) {
  return 3 * kSecond + 2 * interval_ns;
}

// The interval between frames the camera really keeps. Webcams slow down in
// low light while still declaring their nominal rate, so the declared
// interval is a lower bound and the measured one, once frames have come,
// decides when longer.
class FrameRate {
 public:
  explicit FrameRate(int64_t declared_ns = 0) : declared_ns_(declared_ns) {}
  void set_declared(int64_t declared_ns) { declared_ns_ = declared_ns; }
  // Forgets the frames measured (the stream restarts).
  void restart() { count_ = 0; }
  // A frame taken at at_ns; frames_since_last: how many intervals separate it
  // from the last one recorded (more than one when frames were lost).
  void frame(int64_t at_ns, int64_t frames_since_last = 1);
  // At most kLongestInterval; 0 while neither declared nor measured.
  int64_t interval_ns() const;

 private:
  static constexpr int kKept = 5;
  int64_t declared_ns_;
  int64_t last_ns_ = 0;
  int64_t gaps_[kKept] = {};
  int count_ = 0;  // frames recorded since the restart
};

// What a driver says about when it took a frame.
struct FrameStamp {
  bool monotonic;     // on the same clock as CLOCK_MONOTONIC
  bool end_of_frame;  // taken at the frame's end rather than its start
  int64_t stamp_ns;
};

// Whether a driver's stamps are believed, learnt over one stream: on the
// monotonic clock, rising from frame to frame and never ahead of the clock
// (a copied, unknown or fixed stamp fails that), and never disproved by a
// frame whose arrival shows it fresh while its stamp puts its start more
// than a frame interval before the capture (stamps that lag). Once
// doubted, arrival decides until the stream restarts.
class StampTrust {
 public:
  void restart() { *this = StampTrust(); }
  // The stamp of the frame just dequeued, at now_ns: whether it is
  // believed. Once for every frame.
  bool believe(const FrameStamp& stamp, int64_t now_ns);
  bool believed() const { return trusted_; }
  void disprove() { trusted_ = false; }

 private:
  bool trusted_ = true;
  bool any_ = false;
  int64_t last_ns_ = 0;
};

// Which frames a capture may take by their arrival alone. Every frame in
// the driver's buffers when the capture was asked for, and the one it was
// filling, may have begun before (a buffer queued again takes the frame in
// flight): so once the queue has been seen empty, the second frame to arrive
// began after the request; and once one frame more than there are buffers
// has arrived, every later one did.
class ArrivalOrder {
 public:
  explicit ArrivalOrder(size_t buffers) : buffers_(buffers) {}
  // The driver had no frame ready.
  void queue_empty() {
    if (since_empty_ < 0) since_empty_ = 0;
  }
  // A frame arrived: whether its arrival shows it began after the request.
  bool arrived();

 private:
  size_t buffers_;
  size_t arrived_ = 0;
  int since_empty_ = -1;  // frames arrived since the queue was seen empty
};

// A frame dequeued for a capture asked at asked_ns: whether it began after
// the request. Arrival decides when it shows so (by_arrival); else a
// believed stamp with a known frame interval (interval_ns > 0), an
// end-of-frame stamp less one interval being the frame's start.
bool began_after(const FrameStamp& stamp, bool believed, int64_t interval_ns, int64_t asked_ns,
                 bool by_arrival);
// Whether a stamp puts a frame that arrival shows fresh more than an interval
// before the request: stamps that lag.
bool stamp_lags(const FrameStamp& stamp, int64_t interval_ns, int64_t asked_ns);

// The settle times a user can choose: after the stream starts, frames are
// skipped until the picture is steady (see PictureSettle), or until both the
// count and the time are reached.
struct SettleChoice {
  const char* label;
  int frames;
  int64_t ms;
  bool by_picture;
  const char* name;  // as VIDMOTE_SETTLE and the saved settings give it
};
const size_t kSettleChoiceCount = 9;
extern const SettleChoice kSettleChoices[kSettleChoiceCount];
const size_t kDefaultSettle = 0;  // by the picture

// Settling by the picture looks for a steady picture until this long after
// stream-on, then takes the next usable frame: 2.5 s, or 3 s less one frame
// interval for cameras slower than 2 fps. So the picture comes within 3 s
// while frames come whole, and the capture's bound (3 s and two intervals
// from stream-on) leaves at least half a second and two intervals for a
// damaged frame to be followed by a good one.
int64_t picture_settle_cap_ns(int64_t interval_ns);

// Whether a camera's picture has settled after stream-on (auto exposure and
// white balance at work). Over the usable frames of the last half second
// (at least five; all of them while fewer have come since stream-on) the
// brightness shows no trend (its least-squares line would move under
// kDriftLevels in half a second) and no frame strays more than kSwayLevels
// from that line, and the exposure and gain the driver reports show no trend
// either (under 2 steps or 2 % in half a second): a hint, so a value read
// back wobbling by a step does not hold the picture back. A camera steady
// from the start is settled at its fifth frame.
class PictureSettle {
 public:
  static constexpr double kDriftLevels = 2.0;  // of 255, in kWindow
  static constexpr double kSwayLevels = 4.0;
  static constexpr int64_t kWindow = 500 * kMillisecond;
  static constexpr int kFewestFrames = 5;
  // One usable frame that arrived at at_ns: its mean brightness (0..255) and
  // the exposure and gain in force (any constant where the driver does not
  // report them).
  void frame(int64_t at_ns, double brightness, int64_t exposure, int64_t gain);
  bool settled() const;
  // Forgets the frames seen (the stream restarts).
  void restart() { count_ = 0; }

 private:
  static constexpr int kKept = 64;  // half a second up to 128 fps
  struct Seen {
    int64_t at_ns;
    double brightness;
    int64_t exposure, gain;
  };
  Seen seen_[kKept] = {};
  int count_ = 0;
};

// The settle choice as the settings dialog lists it, under `key`.
SourceSetting settle_setting(uint32_t key, size_t current);

// After stream-on, frames are skipped while the camera settles (auto
// exposure, white balance): until settle_frames have been skipped and the
// clock has reached settled_at_ns, both. Whether the next frame is skipped,
// `skipped` having been skipped so far.
bool still_settling(int skipped, int settle_frames, int64_t now_ns, int64_t settled_at_ns);

}  // namespace vidmote

#endif  // VIDMOTE_FRAME_TIMING_H
