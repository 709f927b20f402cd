#include "capture_outputs.h"

#include <new>

#include "gray_render.h"
#include "output_files.h"

namespace {

// Runs one stage of the capture; false when memory ran out in it.
template <typename Stage>
bool within_memory(Stage stage) {
  try {
    stage();
    return true;
  } catch (const std::bad_alloc&) {
    return false;
  }
}

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
                           RenderMemory& memory) {
  // Without the memory to sample for the page, the page fails as one too
  // large does, and the report is sampled on its own.
  FrameSampling& sampling = memory.sampling;
  KImageT<K_RGB>& preview = memory.gray_preview;
  const bool page_sampled = within_memory([&] { sample_frame(frame, true, html_width, sampling); });
  bool report_sampled = page_sampled;
  if (!page_sampled) {
    preview.init(0, 0);  // nothing of an earlier capture's preview may stay
    sampling = FrameSampling();
    report_sampled = within_memory([&] { sample_frame(frame, true, 0, sampling); });
  }
  if (report_sampled) within_memory([&] { write_console_report(sampling, console); });

  const bool page_written =
      page_sampled ? write_html_page(sampling, files.html, files.html_name, preview)
                   : files.html && finish_output_file(files.html, files.html_name, false);
  if (!page_written) fputs(failure_text, console);

  if (!frame.save_to_bitmap(files.bmp, files.bmp_name)) fputs(failure_text, console);

  save_preview(preview, files.preview_name);
}

void write_capture_outputs(const KImageT<K_RGB>& frame, int32_t html_width,
                           const CaptureFileNames& names, FILE* console, const char* failure_text,
                           RenderMemory& memory) {
  const CaptureFiles files = {fopen(names.bmp, "wb"), names.bmp, fopen(names.html, "w"), names.html,
                              names.preview};
  write_capture_outputs(frame, html_width, files, console, failure_text, memory);
}
