#include "capture_outputs.h"

#include "gray_render.h"
#include "output_files.h"

namespace {

// g.bmp is written under a fresh name and renamed over the old one, so a
// reader never sees half a picture and two runs never leave a mixed one.
bool save_preview(const KImageT<K_RGB>& preview, const char* name) {
  char temporary[kFileNameSize];
  FILE* file = create_file_beside(name, temporary);
  if (!file) return false;
  if (!preview.save_to_bitmap(file, temporary)) return false;  // removed again
  return replace_with(temporary, name);
}

}  // namespace

void write_capture_outputs(const KImageT<K_RGB>& frame, int32_t html_width,
                           const CaptureFiles& files, FILE* console, const char* failure_text,
                           KImageT<K_RGB>& gray_preview) {
  FrameSampling sampling;
  sample_frame(frame, true, html_width, &gray_preview, sampling);
  write_console_report(sampling, console);

  if (!write_html_page(sampling, files.html, files.html_name, gray_preview)) {
    fputs(failure_text, console);
  }

  if (!frame.save_to_bitmap(files.bmp, files.bmp_name)) fputs(failure_text, console);

  save_preview(gray_preview, files.preview_name);
}

void write_capture_outputs(const KImageT<K_RGB>& frame, int32_t html_width,
                           const CaptureFileNames& names, FILE* console, const char* failure_text,
                           KImageT<K_RGB>& gray_preview) {
  const CaptureFiles files = {fopen(names.bmp, "wb"), names.bmp, fopen(names.html, "w"), names.html,
                              names.preview};
  write_capture_outputs(frame, html_width, files, console, failure_text, gray_preview);
}
