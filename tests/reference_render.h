// Expected outputs for a frame, worked out directly from the output rules
// with plain loops, independently of the program's own code. Sizes in tests
// stay small enough for 32-bit arithmetic, as the rules state it.
#ifndef REFERENCE_RENDER_H
#define REFERENCE_RENDER_H

#include <stdint.h>
#include <stdio.h>

#include <string>

struct Frame {
  int width;
  int height;
  std::string bytes;  // bottom-up rows of B, G, R

  int gray(int x, int y) const {
    const unsigned char* p =
        reinterpret_cast<const unsigned char*>(bytes.data()) + 3 * (y * width + x);
    return (p[0] + p[1] + p[2]) / 3;
  }
  int mean9(int x, int y) const {
    int sum = 0, count = 0;
    const int offsets[9][2] = {{-1, -1}, {-1, 0}, {-1, 1}, {0, -1}, {0, 0},
                               {0, 1},   {1, -1}, {1, 0},  {1, 1}};
    for (const auto& o : offsets) {
      int px = x + o[0], py = y + o[1];
      if (px >= 0 && px < width && py >= 0 && py < height) {
        sum += gray(px, py);
        count++;
      }
    }
    return sum / count;
  }
};

inline char ramp(int v) {
  const char* chars = ",-=*8X#&";
  for (int k = 7; k >= 1; --k) {
    if (v > 32 * k) return chars[k];
  }
  return chars[0];
}

inline std::string console_report(const Frame& f) {
  int bands[8] = {};
  for (int y = 0; y < f.height; y++)
    for (int x = 0; x < f.width; x++) bands[f.gray(x, y) / 32]++;
  int total = f.width * f.height;
  std::string s;
  char line[64];
  for (int i = 0; i < 8; i++) {
    snprintf(line, sizeof line, "%3d-%3d:%6d: ", 32 * i, 32 * i + 31, bands[i]);
    s += line;
    if (total) s += std::string(static_cast<size_t>(bands[i]) * 70 / total, '*');
    s += "\n";
  }
  int rows = f.width ? ((f.height * 70) / f.width) / 2 : 0;
  for (int r = 0; r < rows; r++) {
    for (int c = 0; c < 70; c++)
      s += ramp(f.mean9((f.width * c) / 70, ((rows - r - 1) * f.height) / rows));
    s += "\n";
  }
  return s;
}

inline int page_rows(const Frame& f, int columns) {
  return f.width ? ((f.height * columns) / f.width) / 2 : 0;
}

inline std::string html_page(const Frame& f, int columns) {
  std::string s = "<html><body><font size=\"-3\"><pre>";
  int rows = page_rows(f, columns);
  for (int r = 0; r < rows; r++) {
    for (int c = 0; c < columns; c++) {
      char ch = ramp(255 - f.mean9((f.width * c) / columns, ((rows - r - 1) * f.height) / rows));
      s += ch == '&' ? std::string("&amp;") : std::string(1, ch);
    }
    s += "\n";
  }
  return s + "</pre></font></body></html>";
}

inline void put32(std::string& s, uint32_t v) {
  for (int i = 0; i < 4; i++) s += static_cast<char>((v >> (8 * i)) & 0xff);
}

inline std::string bmp_file(const Frame& f) {
  int stride = (3 * f.width + 3) / 4 * 4;
  std::string s = "BM";
  put32(s, 54 + stride * f.height);
  put32(s, 0);
  put32(s, 54);
  put32(s, 40);
  put32(s, f.width);
  put32(s, f.height);
  s += std::string("\x01\x00\x18\x00", 4);
  for (int i = 0; i < 6; i++) put32(s, 0);
  for (int y = 0; y < f.height; y++) {
    s += f.bytes.substr(3 * y * f.width, 3 * f.width);
    s += std::string(stride - 3 * f.width, '\0');
  }
  return s;
}

// The gray preview: one pixel per text column, two per text row, top text
// row in the last two storage rows; a negative width gives an empty image.
inline Frame gray_preview(const Frame& f, int columns) {
  if (columns < 0) return Frame{0, 0, ""};
  int rows = page_rows(f, columns);
  Frame g{columns, 2 * rows, std::string(3 * columns * 2 * rows, '\0')};
  for (int r = 0; r < rows; r++) {
    for (int c = 0; c < columns; c++) {
      int v = f.mean9((f.width * c) / columns, ((rows - r - 1) * f.height) / rows);
      int level = v > 224 ? 255 : v <= 32 ? 32 : (v + 31) / 32 * 32;
      for (int y : {2 * (rows - r) - 2, 2 * (rows - r) - 1}) {
        g.bytes.replace(3 * (y * columns + c), 3, std::string(3, static_cast<char>(level)));
      }
    }
  }
  return g;
}

#endif  // REFERENCE_RENDER_H
