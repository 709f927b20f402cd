// The program's render steps on a whole frame, sampled first as a capture
// samples it, and written to files of given names: for the tests and fuzzers
// that check one step alone.
#ifndef RENDER_STEPS_H
#define RENDER_STEPS_H

#include <stdint.h>
#include <stdio.h>

#include "capture_outputs.h"
#include "console_report.h"
#include "frame_sampler.h"
#include "gray_kernels.h"
#include "html_page.h"
#include "output_files.h"

inline void write_console_report(const KImageT<K_RGB>& frame, FILE* out) {
  FrameSampling sampling;
  sample_frame(frame, true, 0, sampling);
  write_console_report(sampling, out);
}

// The page stage: the page into `page`, created at `path` (null when it could
// not be), finished as a capture finishes it (removed unless written whole).
inline bool write_html_page(const KImageT<K_RGB>& frame, int32_t columns, FILE* page,
                            const char* path, KImageT<K_RGB>& preview) {
  FrameSampling sampling;
  sample_frame(frame, false, columns, sampling);
  const bool written = write_html_page(sampling, page, preview);
  return page && finish_output_file(page, path, written);
}

// A capture written to files of these names, created or truncated.
inline void write_capture_outputs(const KImageT<K_RGB>& frame, int32_t html_width,
                                  const char* bmp_name, const char* html_name,
                                  const char* preview_name, FILE* console, const char* failure_text,
                                  RenderMemory& memory) {
  CaptureFiles files(bmp_name, html_name);
  write_capture_outputs(frame, html_width, files, preview_name, console, failure_text, memory);
}

#endif  // RENDER_STEPS_H
