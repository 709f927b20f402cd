#include "frame_timing.h"

#include <algorithm>

namespace vidmote {

const SettleChoice kSettleChoices[kSettleChoiceCount] = {
    {"until the picture is steady (at most 3 s)", 0, 0, true},
    {"none", 0, 0, false},
    {"5 frames", 5, 0, false},
    {"10 frames", 10, 0, false},
    {"30 frames", 30, 0, false},
    {"0.5 s", 0, 500, false},
    {"1 s", 0, 1000, false},
    {"2 s", 0, 2000, false},
    {"4 s", 0, 4000, false},
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

void PictureSettle::frame(double brightness, int64_t exposure, int64_t gain) {
  last_[count_ % 3] = {brightness, exposure, gain};
  ++count_;
}

bool PictureSettle::settled() const {
  if (count_ < 3) return false;
  double low = last_[0].brightness, high = low;
  for (const Seen& seen : last_) {
    low = std::min(low, seen.brightness);
    high = std::max(high, seen.brightness);
    if (seen.exposure != last_[0].exposure || seen.gain != last_[0].gain) return false;
  }
  return high - low <= kSteadyLevels;
}

SourceSetting settle_setting(uint32_t key, size_t current) {
  SourceSetting settle;
  settle.key = key;
  settle.name = "Settle after start";
  settle.current = current;
  for (const SettleChoice& choice : kSettleChoices) settle.choices.push_back(choice.label);
  return settle;
}

bool began_after(const FrameStamp& stamp, int64_t interval_ns, int64_t now_ns, int64_t asked_ns,
                 int dequeued_before) {
  // A stamp far from the clock (a driver that offsets them) says nothing.
  const bool plausible =
      stamp.stamp_ns <= now_ns + kSecond && stamp.stamp_ns >= now_ns - 10 * kSecond;
  if (!stamp.monotonic || !plausible || interval_ns <= 0) return dequeued_before > 0;
  const int64_t start = stamp.end_of_frame ? stamp.stamp_ns - interval_ns : stamp.stamp_ns;
  return start + 1000 >= asked_ns;  // stamps come in whole microseconds
}

bool still_settling(int skipped, int settle_frames, int64_t now_ns, int64_t settled_at_ns) {
  return skipped < settle_frames || now_ns < settled_at_ns;
}

}  // namespace vidmote
