// Everything one capture leaves behind once the plug-in has delivered the
// frame: the console report, the page with its gray preview, the frame BMP and
// the preview BMP, in that order.
#ifndef CAPTURE_OUTPUTS_H
#define CAPTURE_OUTPUTS_H

#include <stdint.h>
#include <stdio.h>

#include "frame_sampler.h"
#include "kimage.h"
#include "output_files.h"

// The memory a capture's renderings work in, kept from one capture to the
// next so that it is reused instead of fresh pages being mapped each time.
struct RenderMemory {
  FrameSampling sampling;       // the histogram and the cells' means
  KImageT<K_RGB> gray_preview;  // the page's gray levels, saved as g.bmp
};

// Writes the report to `console`, then the page, the frame BMP and the gray
// preview `preview_name` (g.bmp). A page or frame BMP that cannot be written
// prints `failure_text` to `console` (once each) and the rest still goes on;
// a failed preview BMP is silent. Memory running out is a failed write too.
// Each numbered file is finished as soon as it is written.
void write_capture_outputs(const KImageT<K_RGB>& frame, int32_t html_width, CaptureFiles& files,
                           const char* preview_name, FILE* console, const char* failure_text,
                           RenderMemory& memory);

#endif  // CAPTURE_OUTPUTS_H
