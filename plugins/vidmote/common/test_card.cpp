#include "test_card.h"

#include <string.h>

#include <algorithm>

namespace vidmote {

namespace {

const uint32_t kPatternKey = 1;

const char* const kPatternNames[TestCardSource::kPatternCount] = {"bars", "gray ramp",
                                                                  "checkerboard", "solid blue"};

// B, G, R of the eight bars, left to right.
const uint8_t kBarColours[8][3] = {
    {255, 255, 255},  // white
    {0, 255, 255},    // yellow
    {255, 255, 0},    // cyan
    {0, 255, 0},      // green
    {255, 0, 255},    // magenta
    {0, 0, 255},      // red
    {255, 0, 0},      // blue
    {0, 0, 0},        // black
};

void set_pixel(uint8_t* row, int32_t x, uint8_t b, uint8_t g, uint8_t r) {
  row[3 * x] = b;
  row[3 * x + 1] = g;
  row[3 * x + 2] = r;
}

void make_bar_row(uint8_t* row, int32_t width) {
  for (int32_t x = 0; x < width; ++x) {
    const uint8_t* c = kBarColours[static_cast<int64_t>(x) * 8 / width];
    set_pixel(row, x, c[0], c[1], c[2]);
  }
}

void make_ramp_row(uint8_t* row, int32_t width) {
  for (int32_t x = 0; x < width; ++x) {
    uint8_t v = width > 1 ? static_cast<uint8_t>(x * 255 / (width - 1)) : 0;
    set_pixel(row, x, v, v, v);
  }
}

// The checkerboard row whose first cell is white when white_first.
void make_checker_row(uint8_t* row, int32_t width, int32_t cell, bool white_first) {
  for (int32_t x = 0; x < width; ++x) {
    bool white = ((x / cell) % 2 == 0) == white_first;
    uint8_t v = white ? 255 : 0;
    set_pixel(row, x, v, v, v);
  }
}

// Copies one row into memory rows first .. first + count - 1.
void fill_rows(uint8_t* frame, const uint8_t* row, size_t row_bytes, int32_t first, int32_t count) {
  for (int32_t y = first; y < first + count; ++y) memcpy(frame + row_bytes * y, row, row_bytes);
}

}  // namespace

bool TestCardSource::size_allowed(int32_t width, int32_t height) {
  if (width < 1 || height < 1 || width > 8192 || height > 8192) return false;
  return static_cast<int64_t>(width) * height * 3 <= INT32_MAX;
}

bool TestCardSource::open() {
  open_ = true;
  frames_ = 0;  // the same captures after every open give the same frames
  return true;
}

SizeAnswer TestCardSource::set_size(int32_t width, int32_t height) {
  if (!size_allowed(width, height)) return SizeAnswer::kRefused;
  size_ = {width, height};
  return SizeAnswer::kExact;
}

std::vector<SourceSetting> TestCardSource::settings() const {
  SourceSetting pattern;
  pattern.key = kPatternKey;
  pattern.name = "Pattern";
  pattern.current = static_cast<size_t>(pattern_);
  for (const char* name : kPatternNames) pattern.choices.push_back(name);
  return {pattern};
}

bool TestCardSource::choose_setting(uint32_t key, size_t choice) {
  if (key != kPatternKey || choice >= kPatternCount) return false;
  pattern_ = static_cast<Pattern>(choice);
  return true;
}

bool TestCardSource::capture(uint8_t* frame) {
  if (!open_ || !frame) return false;
  const int32_t w = size_.width, h = size_.height;
  const size_t row_bytes = 3 * static_cast<size_t>(w);
  row_a_.resize(row_bytes);
  row_b_.resize(row_bytes);
  int32_t band_height = h;  // where the mark is centred

  switch (pattern_) {
    case kBars: {
      const int32_t ramp_rows = h / 4;  // bottom of the picture = first rows in memory
      make_ramp_row(row_a_.data(), w);
      make_bar_row(row_b_.data(), w);
      fill_rows(frame, row_a_.data(), row_bytes, 0, ramp_rows);
      fill_rows(frame, row_b_.data(), row_bytes, ramp_rows, h - ramp_rows);
      band_height = h - ramp_rows;
      break;
    }
    case kGrayRamp:
      make_ramp_row(row_a_.data(), w);
      fill_rows(frame, row_a_.data(), row_bytes, 0, h);
      break;
    case kCheckerboard: {
      const int32_t cell = std::max(1, std::min(w, h) / 8);
      make_checker_row(row_a_.data(), w, cell, true);
      make_checker_row(row_b_.data(), w, cell, false);
      for (int32_t t = 0; t < h; ++t) {
        const uint8_t* row = (t / cell) % 2 == 0 ? row_a_.data() : row_b_.data();
        memcpy(frame + row_bytes * (h - 1 - t), row, row_bytes);
      }
      break;
    }
    case kSolidBlue:
    case kPatternCount:
      for (int32_t x = 0; x < w; ++x) set_pixel(row_a_.data(), x, 255, 0, 0);
      fill_rows(frame, row_a_.data(), row_bytes, 0, h);
      break;
  }
  draw_mark(frame, band_height);
  ++frames_;
  return true;
}

void TestCardSource::draw_mark(uint8_t* frame, int32_t band_height) const {
  const int32_t w = size_.width, h = size_.height;
  const int32_t side = std::max(1, std::min(w, h) / 16);
  const uint64_t step = std::max(1, w / 32);
  const uint64_t positions = static_cast<uint64_t>(w - side + 1);
  const int32_t left = static_cast<int32_t>((frames_ % positions) * step % positions);
  const int32_t top = (band_height - side) / 2;
  for (int32_t t = top; t < top + side; ++t) {
    uint8_t* p = frame + 3 * (static_cast<size_t>(w) * (h - 1 - t) + left);
    for (int32_t i = 0; i < 3 * side; ++i) p[i] = static_cast<uint8_t>(255 - p[i]);
  }
}

}  // namespace vidmote
