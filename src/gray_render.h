// Gray levels, the character ramp and the two ASCII-art renderings of a
// frame: the console report and the HTML page with its gray preview image.
#ifndef GRAY_RENDER_H
#define GRAY_RENDER_H

#include <stdint.h>
#include <stdio.h>

#include <vector>

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

// Whether the renderings may use vector instructions where the CPU has them
// (they may unless told otherwise); every output byte is the same either way.
void set_vector_instructions(bool allowed);

const int64_t kMaxPreviewBytes = int64_t{256} << 20;

// The gray work of one capture, done in one pass over the frame that samples
// each text row while its frame rows are in cache: the histogram and the
// 3 x 3 means of the console preview's cells and of the page's cells. Kept
// from capture to capture, its buffers are reused.
struct FrameSampling {
  int64_t bands[8] = {0};
  SamplingGrid console_grid{0, 0, kConsolePreviewColumns};
  int64_t console_rows = 0;            // 0 when not sampled or too tall to print
  std::vector<uint8_t> console_means;  // console_rows x 70, top row first
  SamplingGrid page_grid{0, 0, 0};
  bool page_too_large = false;      // its preview would exceed kMaxPreviewBytes
  std::vector<uint8_t> page_means;  // page_grid.rows x columns, top row first; empty
                                    // when the page has no cells or is too large
};

// Counts the histogram of `frame` and samples it for the console preview
// (when console_report) and for a page of page_columns characters per row
// (none for 0).
void sample_frame(const KImageT<K_RGB>& frame, bool console_report, int32_t page_columns,
                  FrameSampling& sampling);

// The brightness histogram and the 70-column preview, to `out`.
void write_console_report(const FrameSampling& sampling, FILE* out);
void write_console_report(const KImageT<K_RGB>& frame, FILE* out);

// Writes the ASCII-art page of the sampled means and fills `preview` with
// their gray levels (one pixel wide, two tall per character), sizing it for
// the page; an image already of that size is reused without clearing. False
// when the page could not be written whole (a partial page is removed; the
// preview is still filled), when the preview would exceed kMaxPreviewBytes
// (then nothing is written and the preview is emptied, 0 x 0) or when memory
// runs out (then the page is removed and the preview emptied). The page goes
// into `page`, opened in text mode at html_path by the caller (null when it
// could not be created); it is closed here.
bool write_html_page(const FrameSampling& sampling, FILE* page, const char* html_path,
                     KImageT<K_RGB>& preview);
// The same, sampling `frame` for a page of `columns` characters per row.
bool write_html_page(const KImageT<K_RGB>& frame, int32_t columns, FILE* page,
                     const char* html_path, KImageT<K_RGB>& preview);

#endif  // GRAY_RENDER_H
