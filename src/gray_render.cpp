#include "gray_render.h"

#include <string.h>

#include <algorithm>
#include <string>
#include <vector>

namespace {

// A page is gathered in memory and written in blocks of up to this size, so
// a page no larger takes one write.
const size_t kPageBlockBytes = size_t{4} << 20;

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

// What a cell of mean gray v becomes, looked up rather than worked out per
// cell: its console character, its preview level and its page bytes.
struct CellTables {
  unsigned char console_code[256];
  uint8_t level[256];
  char page_bytes[256][8];  // "&amp;" or one character, padded for 8-byte copies
  uint8_t page_length[256];

  CellTables() {
    memset(page_bytes, 0, sizeof page_bytes);
    for (int v = 0; v < 256; ++v) {
      console_code[v] = gray2code(static_cast<unsigned char>(v));
      level[v] = preview_level(v);
      const unsigned char ch = gray2code(static_cast<unsigned char>(255 - v));
      if (ch == '&') {
        memcpy(page_bytes[v], "&amp;", 5);
        page_length[v] = 5;
      } else {
        page_bytes[v][0] = static_cast<char>(ch);
        page_length[v] = 1;
      }
    }
  }
};

const CellTables& cell_tables() {
  static const CellTables tables;
  return tables;
}

// The histogram in one pass. A pixel's band, (b + g + r) / 3 / 32, is
// (b + g + r) / 96; a table turns that sum into a 1 in the band's byte of a
// 64-bit word, so each pixel costs one lookup and one addition. The bytes are
// emptied into the totals before any can overflow.
struct BandTable {
  uint64_t one_in_band[3 * 255 + 1];
  BandTable() {
    for (int sum = 0; sum <= 3 * 255; ++sum) one_in_band[sum] = uint64_t{1} << (8 * (sum / 96));
  }
};

void count_bands(const KImageT<K_RGB>& frame, int64_t (&bands)[8]) {
  static const BandTable table;
  const uint64_t* one = table.one_in_band;
  const uint8_t* p = reinterpret_cast<const uint8_t*>(frame.get_raw_buffer());
  size_t left = frame.data.size();
  while (left > 0) {
    // Two words, so two additions can run at once; 255 pixels each at most.
    const size_t run = std::min<size_t>(left, 2 * 255);
    uint64_t even = 0, odd = 0;
    size_t i = 0;
    for (; i + 2 <= run; i += 2, p += 6) {
      even += one[p[0] + p[1] + p[2]];
      odd += one[p[3] + p[4] + p[5]];
    }
    if (i < run) {
      even += one[p[0] + p[1] + p[2]];
      p += 3;
    }
    for (int band = 0; band < 8; ++band)
      bands[band] +=
          static_cast<int64_t>(((even >> (8 * band)) & 255) + ((odd >> (8 * band)) & 255));
    left -= run;
  }
}

// pixel_gray of the pixel whose three bytes start at p.
inline unsigned gray_of(const uint8_t* p) {
  return (p[0] + p[1] + p[2] + 0u) / 3;
}

// The 3 x 3 mean grays of one text row's cells, worked out at the sample
// points only. The text row's (up to) three frame rows are first summed
// column by column, for the frame columns that some cell's neighbourhood
// covers; each cell then adds three column sums. Same truncated pixel grays,
// same mean as get_gray_ave9, but each pixel's gray is taken once per row.
class RowSampler {
 public:
  RowSampler(const KImageT<K_RGB>& frame, const SamplingGrid& grid)
      : frame_(frame), sample_x_(static_cast<size_t>(grid.columns)) {
    const int width = frame.width;
    // Shifted one to the right: a zero either side stands for the points
    // outside the frame.
    column_sums_.assign(static_cast<size_t>(width) + 2, 0);
    std::vector<bool> covered(static_cast<size_t>(width), false);
    for (int64_t c = 0; c < grid.columns; ++c) {
      const int x = grid.sample_x(c);
      sample_x_[static_cast<size_t>(c)] = x;
      for (int px = std::max(x - 1, 0); px <= std::min(x + 1, width - 1); ++px) covered[px] = true;
    }
    for (int x = 0; x < width; ++x)
      if (covered[x]) covered_x_.push_back(x);
  }

  // means[c] = get_gray_ave9(frame, sample_x(c), y), for every column c.
  void sample(int y, uint8_t* means) {
    const int first_row = std::max(y - 1, 0);
    const int rows = std::min(y + 1, frame_.height - 1) - first_row + 1;
    const size_t stride = 3 * static_cast<size_t>(frame_.width);
    const uint8_t* bottom = reinterpret_cast<const uint8_t*>(&frame_.pixel(0, first_row));
    uint16_t* sums = column_sums_.data() + 1;
    if (rows == 3) {
      const uint8_t* middle = bottom + stride;
      const uint8_t* top = middle + stride;
      for (int x : covered_x_) {
        const size_t i = 3 * static_cast<size_t>(x);
        sums[x] =
            static_cast<uint16_t>(gray_of(bottom + i) + gray_of(middle + i) + gray_of(top + i));
      }
    } else {
      for (int x : covered_x_) {
        const uint8_t* p = bottom + 3 * static_cast<size_t>(x);
        unsigned sum = 0;
        for (int k = 0; k < rows; ++k, p += stride) sum += gray_of(p);
        sums[x] = static_cast<uint16_t>(sum);
      }
    }
    const int last_x = frame_.width - 1;
    for (size_t c = 0; c < sample_x_.size(); ++c) {
      const int x = sample_x_[c];
      const int sum = sums[x - 1] + sums[x] + sums[x + 1];
      if (rows == 3 && x > 0 && x < last_x) {
        means[c] = static_cast<uint8_t>(sum / 9);
      } else {
        const int columns = 1 + (x > 0) + (x < last_x);
        means[c] = static_cast<uint8_t>(sum / (rows * columns));
      }
    }
  }

 private:
  const KImageT<K_RGB>& frame_;
  std::vector<int> sample_x_;
  std::vector<int> covered_x_;
  std::vector<uint16_t> column_sums_;
};

// Output gathered in one block of memory and written out when the block is
// full and at the end; without a file (null) the bytes are dropped.
class BlockWriter {
 public:
  BlockWriter(FILE* file, size_t capacity) : file_(file), block_(capacity, '\0') {}

  // Room for at least `bytes` more, writing the block out first if needed.
  char* room(size_t bytes) {
    if (static_cast<size_t>(block_.size() - used_) < bytes) flush();
    return &block_[used_];
  }
  void advance_to(const char* end) { used_ = static_cast<size_t>(end - block_.data()); }
  void append(const char* bytes, size_t size) {
    char* out = room(size);
    memcpy(out, bytes, size);
    advance_to(out + size);
  }

  // True when every byte so far reached the file.
  bool flush() {
    const kimage_detail::Piece piece = {block_.data(), used_};
    if (file_ && ok_ && used_ > 0) ok_ = kimage_detail::write_pieces(file_, &piece, 1);
    used_ = 0;
    return ok_;
  }

 private:
  FILE* file_;
  std::string block_;
  size_t used_ = 0;
  bool ok_ = true;
};

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
  count_bands(frame, bands);

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
  if (grid.rows > 0) {
    const CellTables& tables = cell_tables();
    RowSampler sampler(frame, grid);
    uint8_t means[kConsolePreviewColumns];
    for (int64_t r = 0; r < grid.rows; ++r) {
      sampler.sample(grid.sample_y(r), means);
      for (uint8_t v : means) text += static_cast<char>(tables.console_code[v]);
      text += '\n';
    }
  }
  fwrite(text.data(), 1, text.size(), out);
}

bool write_html_page(const KImageT<K_RGB>& frame, int32_t columns, const char* html_path,
                     KImageT<K_RGB>& preview) {
  const SamplingGrid grid(frame.width, frame.height, columns);
  if (columns > 0 && grid.rows > 0 && columns * grid.rows * 2 * 3 > kMaxPreviewBytes) return false;
  // A page without rows has an empty preview: width columns, height 0; for
  // a negative width, 0 x 0.
  preview.init(columns > 0 ? columns : 0, columns > 0 ? static_cast<int>(2 * grid.rows) : 0);

  // The preview is filled even when the page cannot be written.
  FILE* page = fopen(html_path, "w");
  const size_t cells = columns > 0 && grid.rows > 0 ? static_cast<size_t>(columns * grid.rows) : 0;
  // Room for the widest row (every cell "&amp;") and the 8-byte copies.
  const size_t row_room = cells ? 5 * static_cast<size_t>(columns) + 1 + 8 : 0;
  const size_t largest_page = sizeof kPageOpening + sizeof kPageClosing + 5 * cells +
                              static_cast<size_t>(std::max<int64_t>(grid.rows, 0));
  BlockWriter text(page, std::max(std::min(kPageBlockBytes, largest_page), row_room));
  text.append(kPageOpening, sizeof kPageOpening - 1);
  if (cells) {
    const CellTables& tables = cell_tables();
    RowSampler sampler(frame, grid);
    std::vector<uint8_t> means(static_cast<size_t>(columns));
    for (int64_t r = 0; r < grid.rows; ++r) {
      sampler.sample(grid.sample_y(r), means.data());
      // Text row r is preview rows 2(R - r) - 2 and 2(R - r) - 1, the same way up.
      K_RGB* lower = &preview.pixel(0, static_cast<int>(2 * (grid.rows - r) - 2));
      char* out = text.room(row_room);
      for (int c = 0; c < columns; ++c) {
        const uint8_t v = means[c];
        lower[c].b = lower[c].g = lower[c].r = tables.level[v];
        memcpy(out, tables.page_bytes[v], 8);
        out += tables.page_length[v];
      }
      *out++ = '\n';
      text.advance_to(out);
      memcpy(static_cast<void*>(lower + preview.width), lower,
             sizeof(K_RGB) * static_cast<size_t>(columns));
    }
  }
  text.append(kPageClosing, sizeof kPageClosing - 1);
  const bool ok = text.flush();
  if (!page) return false;
  return finish_output_file(page, html_path, ok);
}
