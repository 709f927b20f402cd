#include "capture_outputs.h"

#include <new>

#include "console_report.h"
#include "console_writer.h"
#include "html_page.h"

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

}  // namespace

void write_capture_outputs(const KImageT<K_RGB>& frame, int32_t html_width, CaptureFiles& files,
                           const char* preview_name, FILE* console, const char* failure_text,
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

  const bool page_written = page_sampled && write_html_page(sampling, files.html(), preview);
  // A text that cannot be written shows at the next prompt, which fails too.
  const ConsoleText failure = {{failure_text, false}};
  if (!files.finish_html(page_written)) write_console_text(console, failure);

  if (!files.finish_bmp(frame.write_bitmap(files.bmp()))) write_console_text(console, failure);

  save_gray_preview(preview, preview_name);
}
