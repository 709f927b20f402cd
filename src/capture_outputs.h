// Everything one capture leaves behind once the plug-in has delivered the
// frame: the console report, the page with its gray preview, the frame BMP and
// the preview BMP, in that order.
#ifndef CAPTURE_OUTPUTS_H
#define CAPTURE_OUTPUTS_H

#include <stdint.h>
#include <stdio.h>

#include "gray_render.h"
#include "kimage.h"

// The two numbered files of a capture, opened for writing by the caller
// (binary and text); null when one could not be created. Both are closed here.
struct CaptureFiles {
  FILE* bmp;
  const char* bmp_name;
  FILE* html;
  const char* html_name;
  const char* preview_name;  // g.bmp, created or replaced here
};

struct CaptureFileNames {
  const char* bmp;      // the frame, Rnnnnn.bmp
  const char* html;     // the page, Rnnnnn.html
  const char* preview;  // the gray preview, g.bmp
};

// The memory a capture's renderings work in, kept from one capture to the
// next so that it is reused instead of fresh pages being mapped each time.
struct RenderMemory {
  FrameSampling sampling;       // the histogram and the cells' means
  KImageT<K_RGB> gray_preview;  // the page's gray levels, saved as g.bmp
};

// Writes the report to `console`, then the files. A page or frame BMP that
// cannot be written prints `failure_text` to `console` (once each) and the
// rest still goes on; a failed preview BMP is silent. Memory running out is
// a failed write too.
void write_capture_outputs(const KImageT<K_RGB>& frame, int32_t html_width,
                           const CaptureFiles& files, FILE* console, const char* failure_text,
                           RenderMemory& memory);

// The same, first creating or truncating the two numbered files.
void write_capture_outputs(const KImageT<K_RGB>& frame, int32_t html_width,
                           const CaptureFileNames& names, FILE* console, const char* failure_text,
                           RenderMemory& memory);

#endif  // CAPTURE_OUTPUTS_H
