#include "frame_timing.h"

namespace vidmote {

const SettleChoice kSettleChoices[kSettleChoiceCount] = {
    {"none", 0, 0},    {"5 frames", 5, 0}, {"10 frames", 10, 0}, {"30 frames", 30, 0},
    {"0.5 s", 0, 500}, {"1 s", 0, 1000},   {"2 s", 0, 2000},     {"4 s", 0, 4000},
};

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
