// Gray levels, the character ramp and the two ASCII-art renderings of a
// frame: the console report and the HTML page with its gray preview image.
#ifndef GRAY_RENDER_H
#define GRAY_RENDER_H

#include <stdint.h>
#include <stdio.h>

#include "kimage.h"

inline int pixel_gray(const K_RGB& p) {
  return (p.b + p.g + p.r) / 3;
}

// Mean pixel gray of the 3 x 3 neighbourhood of (x, y), clipped to the image.
int get_gray_ave9(const KImageT<K_RGB>& image, int x, int y);

// The ramp character for gray level v, bright ('&') to dark (',').
unsigned char gray2code(unsigned char v);

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

// Adds the frame's pixels per histogram band (pixel gray / 32) to bands, in
// one pass; with 256-bit vector instructions where the CPU has them.
void count_gray_bands(const KImageT<K_RGB>& frame, int64_t (&bands)[8]);
// The same pass without vector instructions.
void count_gray_bands_portable(const KImageT<K_RGB>& frame, int64_t (&bands)[8]);

// The brightness histogram and the 70-column preview, to `out`.
void write_console_report(const KImageT<K_RGB>& frame, FILE* out);

// Writes the ASCII-art page of `columns` characters per row and
// fills `preview` with its gray levels (one pixel wide, two tall per
// character), whatever it held before; its memory is reused. False when the
// page could not be written whole (a partial page is removed; the preview is
// still filled) or when the preview would exceed kMaxPreviewBytes (then
// nothing is written and the preview is left empty, 0 x 0).
// The page goes into `page`, opened in text mode at html_path by the caller
// (null when it could not be created); it is closed here.
bool write_html_page(const KImageT<K_RGB>& frame, int32_t columns, FILE* page,
                     const char* html_path, KImageT<K_RGB>& preview);

const int64_t kMaxPreviewBytes = int64_t{256} << 20;

#endif  // GRAY_RENDER_H
