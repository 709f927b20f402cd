#include "capture_outputs.h"

#include "gray_render.h"

void write_capture_outputs(const KImageT<K_RGB>& frame, int32_t html_width,
                           const CaptureFileNames& names, FILE* console, const char* failure_text,
                           KImageT<K_RGB>& gray_preview) {
  write_console_report(frame, console);

  if (!write_html_page(frame, html_width, names.html, gray_preview)) fputs(failure_text, console);

  if (!frame.save_to_bitmap(names.bmp)) fputs(failure_text, console);

  gray_preview.save_to_bitmap(names.preview);
}
