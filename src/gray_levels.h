// Gray levels and the sampling grid: a pixel's gray, the character ramp, the
// preview's gray tones, what a cell of a given mean becomes, and the text
// grid laid over a frame.
#ifndef GRAY_LEVELS_H
#define GRAY_LEVELS_H

#include <stdint.h>

#include "kimage.h"

inline int pixel_gray(const K_RGB& p) {
  return (p.b + p.g + p.r) / 3;
}

// The ramp character for gray level v, bright ('&') to dark (',').
unsigned char gray2code(unsigned char v);

// The mean pixel gray of the 3 x 3 neighbourhood of (x, y), clipped to the
// image: the gray level of the text cell that samples (x, y). The frame
// sampler works it out for every cell in one pass.
int get_gray_ave9(const KImageT<K_RGB>& image, int x, int y);

// The preview's gray tone for a cell of mean gray v: the top of the band
// of 32 that v lies in, at least 32.
uint8_t preview_level(int v);

// The text grid laid over a frame of width x height for a given number of
// columns: rows, and the frame point each text cell samples. Products are
// formed in 64 bits, so no size overflows.
struct SamplingGrid {
  int64_t columns;
  int64_t rows;
  int64_t width;
  int64_t height;

  SamplingGrid(int32_t frame_width, int32_t frame_height, int32_t text_columns);
  int sample_x(int64_t column) const { return static_cast<int>(width * column / columns); }
  int sample_y(int64_t row) const { return static_cast<int>((rows - row - 1) * height / rows); }
};

enum { kConsolePreviewColumns = 70 };

// The largest gray preview image a page may have, in bytes.
const int64_t kMaxPreviewBytes = int64_t{256} << 20;

// What a cell of mean gray v becomes, looked up rather than worked out per
// cell: its console character, its preview level and its page bytes.
struct CellTables {
  unsigned char console_code[256];
  uint32_t level_times_4[256];  // the preview level in each of four bytes
  char page_bytes[256][8];      // "&amp;" or one character, padded for 8-byte copies
  uint8_t page_length[256];
};

const CellTables& cell_tables();

#endif  // GRAY_LEVELS_H
