// libFuzzer target: the console report, the page, the gray preview and the
// BMP writer for arbitrary frames (up to 300 x 300), pixels and page widths
// in the accepted range, checked against invariants of their formats.
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <memory>
#include <string>

#include "html_page.h"
#include "kimage.h"
#include "output_files.h"
#include "render_steps.h"
#include "support/files.h"

namespace {

const char kRamp[] = ",-=*8X#&";
const char kOpening[] = "<html><body><font size=\"-3\"><pre>";
const char kClosing[] = "</pre></font></body></html>";
// Pages of more cells than this, but within the preview limit, are skipped:
// they only make runs slow.
const int64_t kMaxCells = 200000;

// Removed when the fuzzer exits.
std::unique_ptr<ScratchDir> g_scratch;
std::string g_folder;

void check(bool condition, const char* what) {
  if (!condition) {
    fprintf(stderr, "render fault: %s\n", what);
    abort();
  }
}

uint32_t le32(const std::string& s, size_t at) {
  uint32_t v = 0;
  for (int i = 3; i >= 0; --i) v = (v << 8) | static_cast<uint8_t>(s[at + i]);
  return v;
}

// The BMP file of `image` as written: headers, then each row padded to 4 bytes.
void check_bmp(const KImageT<K_RGB>& image, const std::string& path) {
  check(image.save_to_bitmap(path.c_str()), "a BMP is saved");
  const std::string file = read_file(path);
  const size_t w = image.width > 0 ? image.width : 0, h = image.height > 0 ? image.height : 0;
  const size_t stride = (3 * w + 3) / 4 * 4;
  check(file.size() == 54 + stride * h, "BMP file size");
  check(file.compare(0, 2, "BM") == 0 && le32(file, 2) == file.size() && le32(file, 10) == 54 &&
            le32(file, 14) == 40 && le32(file, 18) == static_cast<uint32_t>(image.width) &&
            le32(file, 22) == static_cast<uint32_t>(image.height) && le32(file, 26) == 0x180001,
        "BMP headers");
  const char* pixels = reinterpret_cast<const char*>(image.data.data());
  for (size_t y = 0; y < h; ++y) {
    check(file.compare(54 + y * stride, 3 * w, pixels + 3 * w * y, 3 * w) == 0, "BMP row bytes");
    for (size_t pad = 3 * w; pad < stride; ++pad)
      check(file[54 + y * stride + pad] == 0, "BMP padding");
  }
}

int64_t grid_rows(int64_t w, int64_t h, int64_t columns) {
  return w > 0 ? h * columns / w / 2 : 0;
}

void check_report(const KImageT<K_RGB>& frame) {
  char* text = nullptr;
  size_t length = 0;
  FILE* out = open_memstream(&text, &length);
  write_console_report(frame, out);
  fclose(out);
  const std::string report(text, length);
  free(text);

  int64_t bands[8] = {0};
  for (const K_RGB& p : frame.data) ++bands[(p.b + p.g + p.r) / 3 / 32];
  const int64_t total = static_cast<int64_t>(frame.data.size());
  size_t at = 0;
  for (int i = 0; i < 8; ++i) {
    char label[64];
    snprintf(label, sizeof label, "%3d-%3d:%6lld: ", 32 * i, 32 * i + 31,
             static_cast<long long>(bands[i]));
    const std::string line =
        label + std::string(total ? static_cast<size_t>(bands[i] * 70 / total) : 0, '*') + "\n";
    check(report.compare(at, line.size(), line) == 0, "histogram line");
    at += line.size();
  }
  const int64_t rows = grid_rows(frame.width, frame.height, 70);
  check(report.size() - at == static_cast<size_t>(rows) * 71, "preview line count");
  for (int64_t r = 0; r < rows; ++r, at += 71) {
    for (int c = 0; c < 70; ++c)
      check(strchr(kRamp, report[at + c]) != nullptr, "preview character");
    check(report[at + 70] == '\n', "preview line end");
  }
}

// The characters the page may show for a cell of preview level `level`:
// the ramp character of 255 - v for every v in the level's band.
std::string page_chars_for_level(int level) {
  const int low = level == 32 ? 0 : level == 255 ? 225 : level - 31;
  const int high = level == 255 ? 255 : level;
  std::string chars;
  for (int v = low; v <= high; ++v) chars += kRamp[255 - v > 32 ? (255 - v - 1) / 32 : 0];
  return chars;
}

bool page_char_fits_level(char ch, int level) {
  static std::string allowed[256];
  if (allowed[level].empty()) allowed[level] = page_chars_for_level(level);
  return allowed[level].find(ch) != std::string::npos;
}

void check_page(const KImageT<K_RGB>& frame, int32_t columns) {
  const std::string path = g_folder + "/page.html";
  remove(path.c_str());
  KImageT<K_RGB> preview;
  const int64_t rows = columns > 0 ? grid_rows(frame.width, frame.height, columns) : 0;
  const bool too_large = columns > 0 && rows > 0 && int64_t{6} * columns * rows > kMaxPreviewBytes;
  const bool written =
      write_html_page(frame, columns, create_new_file(path.c_str(), true), path.c_str(), preview);
  check(written == !too_large, "the page is refused only beyond the preview limit");
  if (too_large) {
    check(access(path.c_str(), F_OK) != 0 && preview.data.empty(), "a refused page leaves nothing");
    return;
  }
  check(preview.width == (columns > 0 ? columns : 0) && preview.height == 2 * rows, "preview size");

  const std::string page = read_file(path);
  const size_t opening = strlen(kOpening), closing = strlen(kClosing);
  check(page.size() >= opening + closing && page.compare(0, opening, kOpening) == 0 &&
            page.compare(page.size() - closing, closing, kClosing) == 0,
        "page markup");
  size_t at = opening;
  for (int64_t r = 0; r < rows; ++r) {
    for (int c = 0; c < columns; ++c) {
      char ch = page[at];
      if (page.compare(at, 5, "&amp;") == 0) {
        ch = '&';
        at += 5;
      } else {
        check(ch != '&' && strchr(kRamp, ch) != nullptr, "page cell");
        ++at;
      }
      const K_RGB& low = preview.pixel(c, static_cast<int>(2 * (rows - r) - 2));
      const K_RGB& high = preview.pixel(c, static_cast<int>(2 * (rows - r) - 1));
      const int level = low.b;
      check(
          low.g == level && low.r == level && high.b == level && high.g == level && high.r == level,
          "a preview cell is two equal gray pixels");
      check(level == 255 || (level % 32 == 0 && level >= 32 && level <= 224), "preview level");
      check(page_char_fits_level(ch, level), "page character and preview level agree");
    }
    check(page[at++] == '\n', "page row end");
  }
  check(at == page.size() - closing, "no more page rows");
  check_bmp(preview, g_folder + "/g.bmp");
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  g_scratch = std::make_unique<ScratchDir>(memory_folder());
  g_folder = g_scratch->path();
  return 0;
}

// Input: width and height (2 bytes each, up to 300), the page width (4
// bytes, brought into the accepted range), then pixel bytes, repeated.
extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 8) return 0;
  const int width = (data[0] | data[1] << 8) % 301, height = (data[2] | data[3] << 8) % 301;
  int32_t columns;
  memcpy(&columns, data + 4, 4);
  if (columns > kMaxHtmlWidth) columns = columns % kMaxHtmlWidth + 1;
  if (columns == 0) return 0;
  const int64_t cells = columns > 0 ? columns * grid_rows(width, height, columns) : 0;
  if (cells > kMaxCells && cells * 6 <= kMaxPreviewBytes) return 0;

  KImageT<K_RGB> frame(width, height);
  uint8_t* bytes = reinterpret_cast<uint8_t*>(frame.data.data());
  const size_t pixel_bytes = size - 8;
  for (size_t i = 0; i < frame.data.size() * 3 && pixel_bytes; ++i)
    bytes[i] = data[8 + i % pixel_bytes];

  check_report(frame);
  check_page(frame, columns);
  check_bmp(frame, g_folder + "/frame.bmp");
  return 0;
}
