// Everything one capture leaves behind once the plug-in has delivered the
// frame: the console report, the page with its gray preview, the frame BMP and
// the preview BMP, in that order.
#ifndef CAPTURE_OUTPUTS_H
#define CAPTURE_OUTPUTS_H

#include <stdint.h>
#include <stdio.h>

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

// Writes the report to `console`, then the files. A page or frame BMP that
// cannot be written prints `failure_text` to `console` (once each) and the
// rest still goes on; a failed preview BMP is silent. `gray_preview` is
// refilled for this frame: handing in the same image at every capture reuses
// its memory instead of having fresh pages mapped and cleared each time.
void write_capture_outputs(const KImageT<K_RGB>& frame, int32_t html_width,
                           const CaptureFiles& files, FILE* console, const char* failure_text,
                           KImageT<K_RGB>& gray_preview);

// The same, first creating or truncating the two numbered files.
void write_capture_outputs(const KImageT<K_RGB>& frame, int32_t html_width,
                           const CaptureFileNames& names, FILE* console, const char* failure_text,
                           KImageT<K_RGB>& gray_preview);

#endif  // CAPTURE_OUTPUTS_H
