// Which camera frames count: after stream-on, none until the picture has
// settled; for a capture, one that began after the capture was asked for.
#ifndef VIDMOTE_FRAME_TIMING_H
#define VIDMOTE_FRAME_TIMING_H

#include <stddef.h>
#include <stdint.h>

#include "frame_convert.h"
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

// When a dequeued frame reached the plug-in. Awaited: the queue was seen
// empty before it came, so at_ns is when it was ready; else it had waited in
// the queue for a time nobody knows.
struct FrameArrival {
  int64_t at_ns;
  bool awaited;
};

// The longest a frame may take from its end to its buffer with its stamp
// still believed: four intervals and a quarter second. uvcvideo stamps a
// frame at its first packet and SoC pipelines hand frames over intervals
// after they begin: a steady latency of a few intervals is normal, a stamp
// further behind is not of this clock.
int64_t longest_latency_ns(int64_t interval_ns);

// Whether a driver's stamps are believed, learnt over one stream: on the
// monotonic clock, rising from frame to frame, never ahead of the frame's
// arrival (a copied, unknown or fixed stamp fails that) and, for a frame
// awaited, not further behind it than longest_latency_ns. Once doubted,
// arrival decides until the stream restarts.
class StampTrust {
 public:
  void restart() { *this = StampTrust(); }
  // The stamp of the frame just dequeued: whether it is believed. Once for
  // every frame; interval_ns 0 while unknown.
  bool believe(const FrameStamp& stamp, const FrameArrival& arrival, int64_t interval_ns);
  bool believed() const { return trusted_; }

 private:
  bool trusted_ = true;
  bool any_ = false;
  int64_t last_ns_ = 0;
};

// How long a frame takes from its end to its buffer, learnt from awaited
// frames with believed stamps: the longest of the last eight, so a frame's
// start judged by its arrival is never put after its real one by a latency
// that varies; kept across restarts (it is the driver's). Until stamps tell,
// the first frame awaited after stream-on bounds it: that frame began no
// earlier than the stream, so the latency is at most its arrival less the
// stream-on and an interval (a camera slow to start makes the bound loose,
// and arrival then rarely shows a frame fresh: the count of frames does).
class DeliveryLatency {
 public:
  // The stream started (again) at at_ns.
  void stream_started(int64_t at_ns);
  // Any frame dequeued: bounds the latency if it is the first awaited since
  // stream-on.
  void arrived(const FrameArrival& arrival, int64_t interval_ns);
  // A frame with a believed stamp that arrived as `arrival` says.
  void frame(const FrameStamp& stamp, const FrameArrival& arrival, int64_t interval_ns);
  int64_t latency_ns() const;

 private:
  static constexpr int kKept = 8;
  int64_t seen_[kKept] = {};
  int count_ = 0;
  int64_t started_ns_ = 0;
  int64_t bound_ns_ = -1;  // from the stream's start; -1 until known
};

// When a frame began, by the best evidence: a believed stamp (an end-of-frame
// one less an interval); else, for a frame awaited, its arrival less the
// latency and an interval; INT64_MIN when nothing tells (a frame that waited
// in the queue, stamps doubted, or the interval unknown).
int64_t frame_start_ns(const FrameStamp& stamp, bool believed, const FrameArrival& arrival,
                       int64_t interval_ns, int64_t latency_ns);

// One frame dequeued for a capture.
struct CaptureFrame {
  int64_t start_ns;   // as frame_start_ns gives it
  size_t arrived;     // frames dequeued for the capture, this one included
  bool stream_after;  // its stream started after the capture was asked for
};

// Whether a frame began after the capture was asked for at asked_ns: its
// start says so (stamps are whole microseconds: within one counts), or its
// stream started after, or more frames than one over the driver's buffers
// have arrived (every buffer queued before the request, and the frame in
// flight, are gone: this one went into a buffer queued after).
bool began_after_request(const CaptureFrame& frame, size_t buffers, int64_t asked_ns);

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
// brightness and each of the mean red, green and blue show no trend (its
// least-squares line would move under kDriftLevels in half a second) and no
// frame strays more than kSwayLevels from that line, and the exposure and gain the driver reports
// show no trend either (under 2 steps or 2 % in half a second): a hint, so a value read back
// wobbling by a step does not hold the picture back. A camera steady from the start is settled at
// its fifth frame.
class PictureSettle {
 public:
  static constexpr double kDriftLevels = 2.0;  // of 255, in kWindow
  static constexpr double kSwayLevels = 4.0;
  static constexpr int64_t kWindow = 500 * kMillisecond;
  static constexpr int kFewestFrames = 5;
  // One usable frame that arrived at at_ns: its mean brightness (0..255),
  // the exposure and gain in force (any constant where the driver does not
  // report them) and its mean colour.
  void frame(int64_t at_ns, double brightness, int64_t exposure, int64_t gain,
             const Colour& colour = Colour());
  bool settled() const;
  // Forgets the frames seen (the stream restarts).
  void restart() { count_ = 0; }

 private:
  static constexpr int kKept = 64;  // half a second up to 128 fps
  struct Seen {
    int64_t at_ns;
    double brightness;
    int64_t exposure, gain;
    Colour colour;
  };
  Seen seen_[kKept] = {};
  int count_ = 0;
};

// Reads of a camera control (exposure, gain) while the picture settles, kept
// within a budget: a read that fails or takes longer than kLongestRead is
// not repeated while the camera stays open (uvcvideo blocks 5 s on a
// control its camera does not answer). The last value read stands for the
// control from then on, so the picture alone decides.
class ControlReads {
 public:
  static constexpr int64_t kLongestRead = 50 * kMillisecond;
  void restart() { *this = ControlReads(); }  // the camera is opened afresh
  bool worth_reading() const { return !given_up_; }
  // One read, that took took_ns: ok with its value, or failed.
  void read(bool ok, int64_t value, int64_t took_ns);
  int64_t value() const { return value_; }

 private:
  bool given_up_ = false;
  int64_t value_ = 0;
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
