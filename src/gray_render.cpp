#include "gray_render.h"

#include <string.h>

#if defined(__x86_64__) && defined(__GNUC__)
#include <immintrin.h>
#endif

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
  uint32_t level_times_4[256];  // the preview level in each of four bytes
  char page_bytes[256][8];      // "&amp;" or one character, padded for 8-byte copies
  uint8_t page_length[256];

  CellTables() {
    memset(page_bytes, 0, sizeof page_bytes);
    for (int v = 0; v < 256; ++v) {
      console_code[v] = gray2code(static_cast<unsigned char>(v));
      level_times_4[v] = preview_level(v) * 0x01010101u;
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

// One page cell of mean gray v: its preview level at pixel and its page bytes
// at out, which it returns moved past them. Writes four bytes at pixel (the
// fourth lands on the next pixel, or past the row's end on the upper row, and
// is written over after) and eight at out.
inline char* write_cell(const CellTables& tables, uint8_t v, uint8_t* pixel, char* out) {
  memcpy(pixel, &tables.level_times_4[v], 4);
  memcpy(out, tables.page_bytes[v], 8);
  return out + tables.page_length[v];
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

void add_bands_portable(const uint8_t* p, size_t pixels, int64_t* bands) {
  static const BandTable table;
  const uint64_t* one = table.one_in_band;
  while (pixels > 0) {
    // Two words, so two additions can run at once; 255 pixels each at most.
    const size_t run = std::min<size_t>(pixels, 2 * 255);
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
    pixels -= run;
  }
}

#if defined(__x86_64__) && defined(__GNUC__)
#define HAVE_AVX2 1

bool cpu_has_avx2() {
  static const bool avx2 = __builtin_cpu_supports("avx2");
  return avx2;
}

// The AVX2 passes take 32 pixels at a time, each 128-bit half of a register
// 16 pixels (48 bytes in three loads). Byte shuffles gather each pixel's
// three bytes into 16-bit lanes. mask[h][c][k] takes channel c of pixels
// 8h ... 8h + 7 of the 16 from load k (bytes 0-15, 16-31, 32-47), each into
// the low byte of a lane; 0x80 clears a byte. Their short loops are unrolled
// so that loads, sums and counters stay in registers.
struct GatherMasks {
  alignas(16) uint8_t mask[2][3][3][16];
  GatherMasks() {
    memset(mask, 0x80, sizeof mask);
    for (int h = 0; h < 2; ++h)
      for (int c = 0; c < 3; ++c)
        for (int j = 0; j < 8; ++j) {
          const int byte = 3 * (8 * h + j) + c;
          mask[h][c][byte / 16][2 * j] = static_cast<uint8_t>(byte % 16);
        }
  }
};

struct PixelSumsAvx2 {
  __m256i mask[2][3][3];

  __attribute__((target("avx2"))) PixelSumsAvx2() {
    static const GatherMasks masks;
    for (int h = 0; h < 2; ++h)
      for (int c = 0; c < 3; ++c)
        for (int k = 0; k < 3; ++k)
          mask[h][c][k] = _mm256_broadcastsi128_si256(
              _mm_load_si128(reinterpret_cast<const __m128i*>(masks.mask[h][c][k])));
  }

  // b + g + r of the 32 pixels at p: sums[0] holds pixels 0-7 and 16-23,
  // sums[1] pixels 8-15 and 24-31.
  __attribute__((target("avx2"), always_inline)) void of(const uint8_t* p,
                                                         __m256i (&sums)[2]) const {
    __m256i load[3];
#pragma GCC unroll 8
    for (int k = 0; k < 3; ++k) {
      load[k] = _mm256_inserti128_si256(
          _mm256_castsi128_si256(_mm_loadu_si128(reinterpret_cast<const __m128i*>(p + 16 * k))),
          _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + 48 + 16 * k)), 1);
    }
#pragma GCC unroll 8
    for (int h = 0; h < 2; ++h) {
      // Pixels 0-7 lie in loads 0 and 1, pixels 8-15 in loads 1 and 2.
      sums[h] = _mm256_setzero_si256();
#pragma GCC unroll 8
      for (int c = 0; c < 3; ++c)
#pragma GCC unroll 8
        for (int k = h; k < h + 2; ++k)
          sums[h] = _mm256_add_epi16(sums[h], _mm256_shuffle_epi8(load[k], mask[h][c][k]));
    }
  }
};

// The histogram pass, 32 pixels at a time: the band of a byte sum s is
// (s * 683) >> 16, exact for every s up to 765. Byte counters per band are
// emptied into the totals every 255 blocks. Returns the pixels it counted;
// fewer than 32 are left over.
__attribute__((target("avx2"))) size_t add_bands_avx2(const uint8_t* p, size_t pixels,
                                                      int64_t* bands) {
  const PixelSumsAvx2 pixel_sums;
  const __m256i one_ninety_sixth = _mm256_set1_epi16(683);
  const __m256i zero = _mm256_setzero_si256();
  size_t done = 0;
  while (pixels - done >= 32) {
    __m256i counters[8];
#pragma GCC unroll 8
    for (__m256i& counter : counters) counter = zero;
    const size_t blocks = std::min<size_t>((pixels - done) / 32, 255);
    for (size_t b = 0; b < blocks; ++b, p += 96) {
      __m256i sums[2];
      pixel_sums.of(p, sums);
      const __m256i band_of_32 = _mm256_packus_epi16(_mm256_mulhi_epu16(sums[0], one_ninety_sixth),
                                                     _mm256_mulhi_epu16(sums[1], one_ninety_sixth));
#pragma GCC unroll 8
      for (int k = 0; k < 8; ++k) {
        counters[k] = _mm256_sub_epi8(
            counters[k], _mm256_cmpeq_epi8(band_of_32, _mm256_set1_epi8(static_cast<char>(k))));
      }
    }
    for (int k = 0; k < 8; ++k) {
      const __m256i sums = _mm256_sad_epu8(counters[k], zero);
      bands[k] += _mm256_extract_epi64(sums, 0) + _mm256_extract_epi64(sums, 1) +
                  _mm256_extract_epi64(sums, 2) + _mm256_extract_epi64(sums, 3);
    }
    done += 32 * blocks;
  }
  return done;
}

// Column sums of pixel grays over three frame rows, `stride` bytes apart,
// for the columns 0 ... width - 1, 32 at a time. A pixel's gray s / 3 is
// (s * 43691) >> 17, exact for every s up to 765. Returns the columns it
// summed; fewer than 32 are left over.
__attribute__((target("avx2"))) int column_sums_avx2(const uint8_t* bottom, size_t stride,
                                                     int width, uint16_t* column_sums) {
  const PixelSumsAvx2 pixel_sums;
  const __m256i one_third = _mm256_set1_epi16(static_cast<short>(43691));
  int x = 0;
  for (; x + 32 <= width; x += 32) {
    __m256i total[2] = {_mm256_setzero_si256(), _mm256_setzero_si256()};
#pragma GCC unroll 8
    for (int row = 0; row < 3; ++row) {
      __m256i sums[2];
      pixel_sums.of(bottom + row * stride + 3 * static_cast<size_t>(x), sums);
#pragma GCC unroll 8
      for (int h = 0; h < 2; ++h) {
        total[h] = _mm256_add_epi16(total[h],
                                    _mm256_srli_epi16(_mm256_mulhi_epu16(sums[h], one_third), 1));
      }
    }
    // Back in column order: 0-7 and 8-15, then 16-23 and 24-31.
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(column_sums + x),
                        _mm256_permute2x128_si256(total[0], total[1], 0x20));
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(column_sums + x + 16),
                        _mm256_permute2x128_si256(total[0], total[1], 0x31));
  }
  return x;
}

// mean[x] = (column_sums[x - 1] + column_sums[x] + column_sums[x + 1]) / 9
// from x = 1 on, 16 columns at a time while they stay inside the frame
// (x < width - 1): t / 9 is (t * 7282) >> 16, exact for every t up to
// 9 * 255. Returns the first column not done.
__attribute__((target("avx2"))) int means_of_nine_avx2(const uint16_t* column_sums, int width,
                                                       uint8_t* mean) {
  const __m256i one_ninth = _mm256_set1_epi16(7282);
  int x = 1;
  for (; x + 16 <= width - 1; x += 16) {
    const __m256i sum = _mm256_add_epi16(
        _mm256_add_epi16(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(column_sums + x - 1)),
                         _mm256_loadu_si256(reinterpret_cast<const __m256i*>(column_sums + x))),
        _mm256_loadu_si256(reinterpret_cast<const __m256i*>(column_sums + x + 1)));
    const __m256i words = _mm256_mulhi_epu16(sum, one_ninth);
    // Bytes 0-7 and 8-15 land in the two halves; bring them together.
    const __m256i bytes = _mm256_permute4x64_epi64(_mm256_packus_epi16(words, words), 0x08);
    _mm_storeu_si128(reinterpret_cast<__m128i*>(mean + x), _mm256_castsi256_si128(bytes));
  }
  return x;
}

// Page bytes and preview levels of a text row's cells, 32 at a time;
// returns the first cell not done, with *out moved past the page bytes. The
// ramp character of 255 - v is ",-=*8X#&"[(254 - v) / 32] (0 for v = 255);
// 32 cells without '&' (which takes five bytes) are stored at once, others
// one by one. The preview level is the top of v's band of 32, at least 32,
// and 255 above 224.
__attribute__((target("avx2"))) int write_cells_avx2(const CellTables& tables, const uint8_t* means,
                                                     int columns, uint8_t* pixels, char** out) {
  const __m256i ramp =
      _mm256_setr_epi8(',', '-', '=', '*', '8', 'X', '#', '&', 0, 0, 0, 0, 0, 0, 0, 0, ',', '-',
                       '=', '*', '8', 'X', '#', '&', 0, 0, 0, 0, 0, 0, 0, 0);
  const __m256i ampersand = _mm256_set1_epi8('&');
  const __m256i low_three_bits = _mm256_set1_epi8(7);
  // Each of 16 levels three times, in three 16-byte pieces.
  const __m128i triple[3] = {
      _mm_setr_epi8(0, 0, 0, 1, 1, 1, 2, 2, 2, 3, 3, 3, 4, 4, 4, 5),
      _mm_setr_epi8(5, 5, 6, 6, 6, 7, 7, 7, 8, 8, 8, 9, 9, 9, 10, 10),
      _mm_setr_epi8(10, 11, 11, 11, 12, 12, 12, 13, 13, 13, 14, 14, 14, 15, 15, 15)};
  int c = 0;
  for (; c + 32 <= columns; c += 32) {
    const __m256i v = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(means + c));
    // (254 - v) / 32 per byte, 0 where v = 255.
    const __m256i from_top = _mm256_subs_epu8(_mm256_set1_epi8(static_cast<char>(254)), v);
    const __m256i band = _mm256_and_si256(_mm256_srli_epi16(from_top, 5), low_three_bits);
    const __m256i chars = _mm256_shuffle_epi8(ramp, band);
    if (_mm256_movemask_epi8(_mm256_cmpeq_epi8(chars, ampersand)) != 0) {
      for (int k = c; k < c + 32; ++k) *out = write_cell(tables, means[k], pixels + 3 * k, *out);
      continue;
    }
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(*out), chars);
    *out += 32;

    // Level: (v + 31) with the low five bits cleared, at least 32, and 255 above 224.
    const __m256i rounded = _mm256_and_si256(_mm256_adds_epu8(v, _mm256_set1_epi8(31)),
                                             _mm256_set1_epi8(static_cast<char>(0xE0)));
    const __m256i at_most_224 =
        _mm256_cmpeq_epi8(_mm256_min_epu8(v, _mm256_set1_epi8(static_cast<char>(224))), v);
    const __m256i level =
        _mm256_blendv_epi8(_mm256_set1_epi8(static_cast<char>(255)),
                           _mm256_max_epu8(rounded, _mm256_set1_epi8(32)), at_most_224);
    for (int half = 0; half < 2; ++half) {
      const __m128i levels =
          half ? _mm256_extracti128_si256(level, 1) : _mm256_castsi256_si128(level);
      uint8_t* p = pixels + 3 * static_cast<size_t>(c + 16 * half);
#pragma GCC unroll 3
      for (int k = 0; k < 3; ++k)
        _mm_storeu_si128(reinterpret_cast<__m128i*>(p + 16 * k),
                         _mm_shuffle_epi8(levels, triple[k]));
    }
  }
  return c;
}
#endif

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
    // Sample points run left to right, so the columns whose neighbourhood
    // lies wholly inside the frame are one run.
    inside_begin_ = inside_end_ = 0;
    while (inside_begin_ < sample_x_.size() && sample_x_[inside_begin_] == 0) ++inside_begin_;
    inside_end_ = sample_x_.size();
    while (inside_end_ > inside_begin_ && sample_x_[inside_end_ - 1] >= width - 1) --inside_end_;
#ifdef HAVE_AVX2
    // Where most columns are covered, summing them all in a vector pass is
    // quicker than picking them out.
    all_columns_ = cpu_has_avx2() && 2 * covered_x_.size() > static_cast<size_t>(width);
#endif
    if (all_columns_) column_means_.resize(static_cast<size_t>(width));
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
      size_t first = 0;
#ifdef HAVE_AVX2
      if (all_columns_) {
        const int summed = column_sums_avx2(bottom, stride, frame_.width, sums);
        first = static_cast<size_t>(std::lower_bound(covered_x_.begin(), covered_x_.end(), summed) -
                                    covered_x_.begin());
      }
#endif
      for (size_t k = first; k < covered_x_.size(); ++k) {
        const size_t i = 3 * static_cast<size_t>(covered_x_[k]);
        sums[covered_x_[k]] =
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
    // The zeros beside the frame add nothing; only the count changes at the
    // frame's left and right edges.
    const int last_x = frame_.width - 1;
    auto mean_at_edge = [&](size_t c) {
      const int x = sample_x_[c];
      const int columns = 1 + (x > 0) + (x < last_x);
      means[c] = static_cast<uint8_t>((sums[x - 1] + sums[x] + sums[x + 1]) / (rows * columns));
    };
    for (size_t c = 0; c < inside_begin_; ++c) mean_at_edge(c);
    if (rows == 3 && all_columns_) {
      // The mean at every inner column first, in a vector pass; then each
      // cell only looks its column up.
      uint8_t* mean = column_means_.data();
      int x = 1;
#ifdef HAVE_AVX2
      x = means_of_nine_avx2(sums, frame_.width, mean);
#endif
      for (; x < last_x; ++x)
        mean[x] = static_cast<uint8_t>((sums[x - 1] + sums[x] + sums[x + 1]) / 9);
      for (size_t c = inside_begin_; c < inside_end_; ++c) means[c] = mean[sample_x_[c]];
    } else if (rows == 3) {
      for (size_t c = inside_begin_; c < inside_end_; ++c) {
        const int x = sample_x_[c];
        means[c] = static_cast<uint8_t>((sums[x - 1] + sums[x] + sums[x + 1]) / 9);
      }
    } else {
      for (size_t c = inside_begin_; c < inside_end_; ++c) mean_at_edge(c);
    }
    for (size_t c = inside_end_; c < sample_x_.size(); ++c) mean_at_edge(c);
  }

 private:
  const KImageT<K_RGB>& frame_;
  std::vector<int> sample_x_;
  std::vector<int> covered_x_;
  std::vector<uint16_t> column_sums_;
  std::vector<uint8_t> column_means_;  // of every inner column, with all_columns_
  bool all_columns_ = false;           // summed in a vector pass, covered or not
  size_t inside_begin_, inside_end_;   // the columns away from the frame's sides
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

void count_gray_bands_portable(const KImageT<K_RGB>& frame, int64_t (&bands)[8]) {
  add_bands_portable(reinterpret_cast<const uint8_t*>(frame.get_raw_buffer()), frame.data.size(),
                     bands);
}

void count_gray_bands(const KImageT<K_RGB>& frame, int64_t (&bands)[8]) {
  const uint8_t* bytes = reinterpret_cast<const uint8_t*>(frame.get_raw_buffer());
  size_t done = 0;
#ifdef HAVE_AVX2
  if (cpu_has_avx2()) done = add_bands_avx2(bytes, frame.data.size(), bands);
#endif
  add_bands_portable(bytes + 3 * done, frame.data.size() - done, bands);
}

void write_console_report(const KImageT<K_RGB>& frame, FILE* out) {
  int64_t bands[8] = {0};
  count_gray_bands(frame, bands);

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
  if (grid.rows > 0 && !too_tall) {
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

bool write_html_page(const KImageT<K_RGB>& frame, int32_t columns, FILE* page,
                     const char* html_path, KImageT<K_RGB>& preview) {
  const SamplingGrid grid(frame.width, frame.height, columns);
  if (columns > 0 && grid.rows > 0 && columns * grid.rows * 2 * 3 > kMaxPreviewBytes) {
    preview.init(0, 0);  // nothing of an earlier capture's preview may stay
    if (page) finish_output_file(page, html_path, false);  // the created page goes again
    return false;
  }
  // A page without rows has an empty preview: width columns, height 0; for
  // a negative width, 0 x 0.
  const int preview_width = columns > 0 ? columns : 0;
  const int preview_height = columns > 0 ? static_cast<int>(2 * grid.rows) : 0;
  const size_t preview_pixels = preview_width > 0 && preview_height > 0
                                    ? static_cast<size_t>(preview_width) * preview_height
                                    : 0;
  // Every pixel is written below, so an image already of this size (the
  // last capture's) need not be cleared first.
  if (preview.width != preview_width || preview.height != preview_height ||
      preview.data.size() != preview_pixels) {
    preview.init(preview_width, preview_height);
  }

  // The preview is filled even when the page cannot be written.
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
      uint8_t* pixel = reinterpret_cast<uint8_t*>(lower);
      char* out = text.room(row_room);
      int c = 0;
#ifdef HAVE_AVX2
      if (cpu_has_avx2()) c = write_cells_avx2(tables, means.data(), columns, pixel, &out);
#endif
      for (pixel += 3 * static_cast<size_t>(c); c < columns; ++c, pixel += 3)
        out = write_cell(tables, means[c], pixel, out);
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
