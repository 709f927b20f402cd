#include "test_entry_points.h"

#include "gray_levels.h"

int get_gray_ave9(const KImageT<K_RGB>& image, int x, int y) {
  int sum = 0, count = 0;
  for (int px = x - 1; px <= x + 1; ++px) {
    if (px < 0 || px >= image.width) continue;
    for (int py = y - 1; py <= y + 1; ++py) {
      if (py < 0 || py >= image.height) continue;
      sum += pixel_gray(image.pixel(px, py));
      ++count;
    }
  }
  return count ? sum / count : 0;
}

void write_capture_outputs(const KImageT<K_RGB>& frame, int32_t html_width, const char* bmp_name,
                           const char* html_name, const char* preview_name, FILE* console,
                           const char* failure_text, RenderMemory& memory) {
  CaptureFiles files = {};
  snprintf(files.bmp_name, sizeof files.bmp_name, "%s", bmp_name);
  snprintf(files.html_name, sizeof files.html_name, "%s", html_name);
  files.bmp = fopen(bmp_name, "wb");
  files.html = fopen(html_name, "w");
  write_capture_outputs(frame, html_width, files, preview_name, console, failure_text, memory);
}
