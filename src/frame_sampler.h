// The frame sampler: one pass over a captured frame that counts its
// histogram and samples the cells of the console preview and of the page
// while their frame rows are in cache.
#ifndef FRAME_SAMPLER_H
#define FRAME_SAMPLER_H

#include <stdint.h>

#include <vector>

#include "gray_levels.h"
#include "kimage.h"

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

// Adds the frame's pixels per histogram band (pixel gray / 32) to bands: the
// sampling's pass on its own, with vector instructions where allowed and the
// CPU has them, or without.
void count_gray_bands(const KImageT<K_RGB>& frame, int64_t (&bands)[8]);
void count_gray_bands_portable(const KImageT<K_RGB>& frame, int64_t (&bands)[8]);

#endif  // FRAME_SAMPLER_H
