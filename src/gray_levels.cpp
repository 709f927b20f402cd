#include "gray_levels.h"

#include <string.h>

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

SamplingGrid::SamplingGrid(int32_t frame_width, int32_t frame_height, int32_t text_columns)
    : columns(text_columns), rows(0), width(frame_width), height(frame_height) {
  if (width > 0) rows = height * columns / width / 2;
}

namespace {

CellTables make_cell_tables() {
  CellTables tables;
  memset(tables.page_bytes, 0, sizeof tables.page_bytes);
  for (int v = 0; v < 256; ++v) {
    tables.console_code[v] = gray2code(static_cast<unsigned char>(v));
    tables.level_times_4[v] = preview_level(v) * 0x01010101u;
    const unsigned char ch = gray2code(static_cast<unsigned char>(255 - v));
    if (ch == '&') {
      memcpy(tables.page_bytes[v], "&amp;", 5);
      tables.page_length[v] = 5;
    } else {
      tables.page_bytes[v][0] = static_cast<char>(ch);
      tables.page_length[v] = 1;
    }
  }
  return tables;
}

}  // namespace

const CellTables& cell_tables() {
  static const CellTables tables = make_cell_tables();
  return tables;
}

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
