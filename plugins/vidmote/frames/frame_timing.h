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

// A frame dequeued at now_ns for a capture asked at asked_ns. With a usable
// stamp and a known frame interval (interval_ns > 0) the stamp decides; an
// end-of-frame stamp less one interval is the frame's start. Otherwise the
// first frame dequeued after the request may have begun before it, so only
// a later one (dequeued_before > 0) counts.
bool began_after(const FrameStamp& stamp, int64_t interval_ns, int64_t now_ns, int64_t asked_ns,
                 int dequeued_before);

// The settle times a user can choose: after the stream starts, frames are
// skipped until the picture is steady (see PictureSettle), or until both the
// count and the time are reached.
struct SettleChoice {
  const char* label;
  int frames;
  int64_t ms;
  bool by_picture;
};
const size_t kSettleChoiceCount = 9;
extern const SettleChoice kSettleChoices[kSettleChoiceCount];
const size_t kDefaultSettle = 0;  // by the picture
// Settling by the picture ends this long after the stream started, steady
// or not.
const int64_t kPictureSettleCap = 3 * kSecond;

// Whether a camera's picture has settled after stream-on (auto exposure and
// white balance at work): the last three usable frames agree in brightness
// within kSteadyLevels, and the exposure and gain the driver reports (where
// it does) did not change across them. So at least two frames are skipped.
class PictureSettle {
 public:
  static constexpr double kSteadyLevels = 2.0;  // of 255
  // One usable frame: its mean brightness (0..255) and the exposure and
  // gain in force (any constant where the driver does not report them).
  void frame(double brightness, int64_t exposure, int64_t gain);
  bool settled() const;

 private:
  struct Seen {
    double brightness;
    int64_t exposure, gain;
  };
  Seen last_[3] = {};
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
