// Entry points for tests, fuzzers and the benchmark, which the program
// itself does not use: the 3 x 3 mean by its definition, the histogram pass
// on its own, the switch for vector instructions, single renderings of a
// frame, and a capture written to files of given names.
#ifndef TEST_ENTRY_POINTS_H
#define TEST_ENTRY_POINTS_H

#include <stdint.h>
#include <stdio.h>

#include "capture_outputs.h"
#include "kimage.h"

// Mean pixel gray of the 3 x 3 neighbourhood of (x, y), clipped to the
// image: what the frame sampler works out for every cell.
int get_gray_ave9(const KImageT<K_RGB>& image, int x, int y);

// Adds the frame's pixels per histogram band (pixel gray / 32) to bands, in
// one pass; with vector instructions where the CPU has them.
void count_gray_bands(const KImageT<K_RGB>& frame, int64_t (&bands)[8]);
// The same pass without vector instructions.
void count_gray_bands_portable(const KImageT<K_RGB>& frame, int64_t (&bands)[8]);

// Whether the renderings may use vector instructions where the CPU has them
// (they may unless told otherwise); every output byte is the same either way.
void set_vector_instructions(bool allowed);

// The console report of `frame`, to `out`.
void write_console_report(const KImageT<K_RGB>& frame, FILE* out);

// Samples `frame` for a page of `columns` characters per row and writes it
// as write_html_page(sampling, ...) does.
bool write_html_page(const KImageT<K_RGB>& frame, int32_t columns, FILE* page,
                     const char* html_path, KImageT<K_RGB>& preview);

// A capture written as write_capture_outputs does, to files of these names,
// created or truncated.
void write_capture_outputs(const KImageT<K_RGB>& frame, int32_t html_width, const char* bmp_name,
                           const char* html_name, const char* preview_name, FILE* console,
                           const char* failure_text, RenderMemory& memory);

#endif  // TEST_ENTRY_POINTS_H
