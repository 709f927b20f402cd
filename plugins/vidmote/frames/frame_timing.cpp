#include "frame_timing.h"

#include <algorithm>
#include <cmath>

namespace vidmote {

const SettleChoice kSettleChoices[kSettleChoiceCount] = {
    {"until the picture is steady (at most 3 s)", 0, 0, true, "steady"},
    {"none", 0, 0, false, "none"},
    {"5 frames", 5, 0, false, "5frames"},
    {"10 frames", 10, 0, false, "10frames"},
    {"30 frames", 30, 0, false, "30frames"},
    {"0.5 s", 0, 500, false, "0.5s"},
    {"1 s", 0, 1000, false, "1s"},
    {"2 s", 0, 2000, false, "2s"},
    {"4 s", 0, 4000, false, "4s"},
};

void FrameRate::frame(int64_t at_ns, int64_t frames_since_last) {
  if (count_ > 0 && at_ns > last_ns_ && frames_since_last > 0) {
    const int64_t gap = (at_ns - last_ns_) / frames_since_last;
    gaps_[(count_ - 1) % kKept] = std::min(gap, kLongestInterval);
  }
  if (count_ == 0 || at_ns > last_ns_) {
    last_ns_ = at_ns;
    ++count_;
  }
}

// The median of the last few gaps: one late frame does not make the camera
// slow, nor does one early frame make it fast.
int64_t FrameRate::interval_ns() const {
  const int gaps = std::min(count_ - 1, kKept);
  int64_t measured = 0;
  if (gaps > 0) {
    int64_t sorted[kKept];
    for (int i = 0; i < gaps; ++i) {  // insertion: five at most
      int j = i;
      for (; j > 0 && sorted[j - 1] > gaps_[i]; --j) sorted[j] = sorted[j - 1];
      sorted[j] = gaps_[i];
    }
    measured = sorted[gaps / 2];
  }
  return std::min(std::max(declared_ns_, measured), kLongestInterval);
}

int64_t picture_settle_cap_ns(int64_t interval_ns) {
  return std::max<int64_t>(0, 3 * kSecond - std::max(kSecond / 2, interval_ns));
}

void PictureSettle::frame(int64_t at_ns, double brightness, int64_t exposure, int64_t gain,
                          const Colour& colour) {
  seen_[count_ % kKept] = {at_ns, brightness, exposure, gain, colour};
  ++count_;
}

namespace {

// The least-squares line through (t, y): its slope, and how far the point
// furthest from it lies.
struct Trend {
  double slope = 0, furthest = 0;
};

template <typename Value>
Trend trend_of(const double* t, const Value* y, int n) {
  double mean_t = 0, mean_y = 0;
  for (int i = 0; i < n; ++i) mean_t += t[i] / n, mean_y += static_cast<double>(y[i]) / n;
  double covariance = 0, variance = 0;
  for (int i = 0; i < n; ++i) {
    covariance += (t[i] - mean_t) * (static_cast<double>(y[i]) - mean_y);
    variance += (t[i] - mean_t) * (t[i] - mean_t);
  }
  Trend trend;
  trend.slope = variance > 0 ? covariance / variance : 0;
  for (int i = 0; i < n; ++i) {
    const double line = mean_y + trend.slope * (t[i] - mean_t);
    trend.furthest = std::max(trend.furthest, std::abs(static_cast<double>(y[i]) - line));
  }
  return trend;
}

// Whether a control's trend moves it by less than 2 steps or 2 % in the
// window.
bool control_holds(const Trend& trend, double window_s, int64_t value) {
  return std::abs(trend.slope) * window_s <
         std::max(2.0, 0.02 * std::abs(static_cast<double>(value)));
}

}  // namespace

bool PictureSettle::settled() const {
  const int kept = std::min(count_, kKept);
  double t[kKept], brightness[kKept], red[kKept], green[kKept], blue[kKept];
  int64_t exposure[kKept], gain[kKept];
  int n = 0;
  const Seen& newest = seen_[(count_ - 1 + kKept) % kKept];
  for (; n < kept; ++n) {
    const Seen& seen = seen_[(count_ - 1 - n + kKept) % kKept];
    if (n >= kFewestFrames && newest.at_ns - seen.at_ns > kWindow) break;
    t[n] = static_cast<double>(seen.at_ns - newest.at_ns) / kSecond;
    brightness[n] = seen.brightness;
    red[n] = seen.colour.red;
    green[n] = seen.colour.green;
    blue[n] = seen.colour.blue;
    exposure[n] = seen.exposure;
    gain[n] = seen.gain;
  }
  if (n < kFewestFrames || t[n - 1] == 0) return false;
  const double window_s = static_cast<double>(kWindow) / kSecond;
  auto steady = [&](const double* levels) {
    const Trend trend = trend_of(t, levels, n);
    return std::abs(trend.slope) * window_s < kDriftLevels && trend.furthest <= kSwayLevels;
  };
  return steady(brightness) && steady(red) && steady(green) && steady(blue) &&
         control_holds(trend_of(t, exposure, n), window_s, newest.exposure) &&
         control_holds(trend_of(t, gain, n), window_s, newest.gain);
}

SourceSetting settle_setting(uint32_t key, size_t current) {
  SourceSetting settle;
  settle.key = key;
  settle.name = "Settle after start";
  settle.current = current;
  settle.variable = "VIDMOTE_SETTLE";
  for (const SettleChoice& choice : kSettleChoices) {
    settle.choices.push_back(choice.label);
    settle.choice_names.push_back(choice.name);
  }
  return settle;
}

int64_t longest_latency_ns(int64_t interval_ns) {
  return 4 * interval_ns + 250 * kMillisecond;
}

namespace {

int64_t start_of(const FrameStamp& stamp, int64_t interval_ns) {
  return stamp.end_of_frame ? stamp.stamp_ns - interval_ns : stamp.stamp_ns;
}

}  // namespace

bool StampTrust::believe(const FrameStamp& stamp, const FrameArrival& arrival,
                         int64_t interval_ns) {
  // A frame ends before it arrives; a stamp ahead of its arrival (beyond its
  // microseconds) is no stamp of it.
  const int64_t end = stamp.end_of_frame ? stamp.stamp_ns : stamp.stamp_ns + interval_ns;
  if (!stamp.monotonic || stamp.stamp_ns > arrival.at_ns + kMillisecond ||
      (any_ && stamp.stamp_ns <= last_ns_) ||
      (arrival.awaited && arrival.at_ns - end > longest_latency_ns(interval_ns)))
    trusted_ = false;
  any_ = true;
  last_ns_ = stamp.stamp_ns;
  return trusted_;
}

void DeliveryLatency::frame(const FrameStamp& stamp, const FrameArrival& arrival,
                            int64_t interval_ns) {
  if (!arrival.awaited || interval_ns <= 0) return;
  const int64_t end = stamp.end_of_frame ? stamp.stamp_ns : stamp.stamp_ns + interval_ns;
  seen_[count_++ % kKept] = std::max<int64_t>(0, arrival.at_ns - end);
}

void DeliveryLatency::stream_started(int64_t at_ns) {
  started_ns_ = at_ns;
  bound_ns_ = -1;
}

void DeliveryLatency::arrived(const FrameArrival& arrival, int64_t interval_ns) {
  if (bound_ns_ < 0 && started_ns_ && arrival.awaited)
    bound_ns_ = std::max<int64_t>(0, arrival.at_ns - started_ns_ - interval_ns);
}

int64_t DeliveryLatency::latency_ns() const {
  if (count_ == 0) return std::max<int64_t>(0, bound_ns_);
  int64_t longest = 0;
  for (int i = 0; i < std::min(count_, kKept); ++i) longest = std::max(longest, seen_[i]);
  return longest;
}

int64_t frame_start_ns(const FrameStamp& stamp, bool believed, const FrameArrival& arrival,
                       int64_t interval_ns, int64_t latency_ns) {
  if (believed && (!stamp.end_of_frame || interval_ns > 0)) return start_of(stamp, interval_ns);
  if (arrival.awaited && interval_ns > 0) return arrival.at_ns - latency_ns - interval_ns;
  return INT64_MIN;
}

bool began_after_request(const CaptureFrame& frame, size_t buffers, int64_t asked_ns) {
  return frame.stream_after || frame.arrived > buffers + 1 ||
         (frame.start_ns != INT64_MIN && frame.start_ns + 1000 >= asked_ns);
}

void ControlReads::read(bool ok, int64_t value, int64_t took_ns) {
  if (ok) value_ = value;
  if (!ok || took_ns > kLongestRead) given_up_ = true;
}

bool still_settling(int skipped, int settle_frames, int64_t now_ns, int64_t settled_at_ns) {
  return skipped < settle_frames || now_ns < settled_at_ns;
}

}  // namespace vidmote
