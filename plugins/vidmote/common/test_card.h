// The built-in test card: a synthetic picture that needs no hardware.
//
// Layout of a w x h picture (x from the left, t from the TOP; memory row
// h - 1 - t holds picture row t):
//
//   "bars" (default)
//     Bar band, picture rows t < h - h/4: eight vertical bars, bar x * 8 / w,
//     white, yellow, cyan, green, magenta, red, blue, black (0 or 255).
//     Ramp band, the bottom h/4 rows: gray x * 255 / (w - 1) (0 when w == 1),
//     black at the left to white at the right.
//   "gray ramp"     the ramp over the whole picture.
//   "checkerboard"  cells of c = max(1, min(w, h) / 8) pixels; the cell
//                   (x / c, t / c) is white when its indices add up even.
//   "solid blue"    B 255, G 0, R 0 everywhere.
//
// Every pattern carries a moving mark: a square of s = max(1, min(w, h) / 16)
// pixels whose bytes are inverted (255 - v). It is centred vertically in the
// bar band ("bars") or the whole picture (the others): top row
// t0 = (band height - s) / 2. Capture k (counted from 0 since open) puts its
// left column at (k * max(1, w / 32)) % (w - s + 1).
#ifndef VIDMOTE_TEST_CARD_H
#define VIDMOTE_TEST_CARD_H

#include "frame_source.h"

namespace vidmote {

class TestCardSource : public FrameSource {
 public:
  enum Pattern { kBars, kGrayRamp, kCheckerboard, kSolidBlue, kPatternCount };

  static bool size_allowed(int32_t width, int32_t height);

  std::string name() const override { return "Test card"; }
  bool holds_device() const override { return false; }
  bool open() override;
  void close() override { open_ = false; }
  bool is_open() const override { return open_; }
  SizeAnswer set_size(int32_t width, int32_t height) override;
  FrameSize get_size() const override { return size_; }
  bool capture(uint8_t* frame) override;
  std::vector<SourceSetting> settings() const override;
  bool choose_setting(uint32_t key, size_t choice) override;

 private:
  void draw_mark(uint8_t* frame, int32_t band_height) const;

  bool open_ = false;
  FrameSize size_ = {640, 480};
  Pattern pattern_ = kBars;
  uint64_t frames_ = 0;                 // captures since open; drives the mark
  std::vector<uint8_t> row_a_, row_b_;  // kept to avoid reallocating per frame
};

}  // namespace vidmote

#endif  // VIDMOTE_TEST_CARD_H
