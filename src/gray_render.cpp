#include "gray_render.h"

#include <string.h>

#include <string>

namespace {

// Output is gathered and handed to stdio in blocks of about this size.
const size_t kChunkBytes = 1 << 16;

const char kPageOpening[] = "<html><body><font size=\"-3\"><pre>";
const char kPageClosing[] = "</pre></font></body></html>";

// The preview's gray tone for a cell: the top of the band that v lies in.
uint8_t preview_level(int v) {
  if (v > 224) return 255;
  if (v > 192) return 224;
  if (v > 160) return 192;
  if (v > 128) return 160;
  if (v > 96) return 128;
  if (v > 64) return 96;
  if (v > 32) return 64;
  return 32;
}

bool write_all(FILE* file, const std::string& bytes) {
  return fwrite(bytes.data(), 1, bytes.size(), file) == bytes.size();
}

}  // namespace

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

unsigned char gray2code(unsigned char v) {
  if (v > 224) return '&';
  if (v > 192) return '#';
  if (v > 160) return 'X';
  if (v > 128) return '8';
  if (v > 96) return '*';
  if (v > 64) return '=';
  if (v > 32) return '-';
  return ',';
}

SamplingGrid::SamplingGrid(int32_t frame_width, int32_t frame_height, int32_t text_columns)
    : columns(text_columns), rows(0), width(frame_width), height(frame_height) {
  if (width > 0) rows = height * columns / width / 2;
}

void write_console_report(const KImageT<K_RGB>& frame, FILE* out) {
  int64_t bands[8] = {0};
  const K_RGB* pixels = frame.get_raw_buffer();
  const size_t pixel_count = frame.data.size();
  for (size_t i = 0; i < pixel_count; ++i) ++bands[pixel_gray(pixels[i]) / 32];

  int64_t total = 0;
  for (int64_t count : bands) total += count;
  std::string text;
  for (int i = 0; i < 8; ++i) {
    char label[64];
    snprintf(label, sizeof label, "%3d-%3d:%6lld: ", 32 * i, 32 * i + 31,
             static_cast<long long>(bands[i]));
    text += label;
    if (total > 0) text.append(static_cast<size_t>(bands[i] * kConsolePreviewColumns / total), '*');
    text += '\n';
  }

  const SamplingGrid grid(frame.width, frame.height, kConsolePreviewColumns);
  // Beyond the page's limit the preview is left out: a frame thousands of
  // times taller than wide would print millions of lines.
  const bool too_tall = kConsolePreviewColumns * grid.rows * 2 * 3 > kMaxPreviewBytes;
  for (int64_t r = 0; r < grid.rows && !too_tall; ++r) {
    const int y = grid.sample_y(r);
    for (int c = 0; c < kConsolePreviewColumns; ++c) {
      text += static_cast<char>(gray2code(get_gray_ave9(frame, grid.sample_x(c), y)));
    }
    text += '\n';
    if (text.size() >= kChunkBytes) {
      fwrite(text.data(), 1, text.size(), out);
      text.clear();
    }
  }
  fwrite(text.data(), 1, text.size(), out);
}

bool write_html_page(const KImageT<K_RGB>& frame, int32_t columns, FILE* page,
                     const char* html_path, KImageT<K_RGB>& preview) {
  const SamplingGrid grid(frame.width, frame.height, columns);
  if (columns > 0 && grid.rows > 0 && columns * grid.rows * 2 * 3 > kMaxPreviewBytes) {
    if (page) finish_output_file(page, html_path, false);
    return false;
  }
  // A page without rows has an empty preview: width columns, height 0; for
  // a negative width, 0 x 0.
  preview.init(columns > 0 ? columns : 0, columns > 0 ? static_cast<int>(2 * grid.rows) : 0);

  bool ok = page && fputs(kPageOpening, page) >= 0;
  std::string text;
  for (int64_t r = 0; r < grid.rows; ++r) {
    const int y = grid.sample_y(r);
    // Text row r is preview rows 2(R - r) - 2 and 2(R - r) - 1, the same way up.
    K_RGB* lower = &preview.pixel(0, static_cast<int>(2 * (grid.rows - r) - 2));
    K_RGB* upper = lower + preview.width;
    for (int c = 0; c < columns; ++c) {
      const int v = get_gray_ave9(frame, grid.sample_x(c), y);
      const uint8_t level = preview_level(v);
      lower[c].b = lower[c].g = lower[c].r = level;
      upper[c] = lower[c];
      const unsigned char ch = gray2code(static_cast<unsigned char>(255 - v));
      if (ch == '&') {
        text += "&amp;";
      } else {
        text += static_cast<char>(ch);
      }
    }
    text += '\n';
    if (text.size() >= kChunkBytes) {
      ok = ok && write_all(page, text);
      text.clear();
    }
  }
  if (!page) return false;
  ok = ok && write_all(page, text) && fputs(kPageClosing, page) >= 0;
  return finish_output_file(page, html_path, ok);
}
