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
// skipped until both the count and the time are reached.
struct SettleChoice {
  const char* label;
  int frames;
  int64_t ms;
};
const size_t kSettleChoiceCount = 8;
extern const SettleChoice kSettleChoices[kSettleChoiceCount];
const size_t kDefaultSettle = 5;  // 1 s: enough for common webcams' auto exposure

// The settle choice as the settings dialog lists it, under `key`.
SourceSetting settle_setting(uint32_t key, size_t current);

// After stream-on, frames are skipped while the camera settles (auto
// exposure, white balance): until settle_frames have been skipped and the
// clock has reached settled_at_ns, both. Whether the next frame is skipped,
// `skipped` having been skipped so far.
bool still_settling(int skipped, int settle_frames, int64_t now_ns, int64_t settled_at_ns);

}  // namespace vidmote

#endif  // VIDMOTE_FRAME_TIMING_H
