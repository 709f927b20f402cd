#include "gray_render.h"

#include <string.h>

#if defined(__x86_64__) && defined(__GNUC__)
#include <immintrin.h>
#endif

#include <algorithm>
#include <memory>
#include <new>
#include <string>
#include <vector>

namespace {

// A page is gathered in memory and written in blocks of up to this size, so
// a page no larger takes one write.
const size_t kPageBlockBytes = size_t{4} << 20;

// The pass over the frame takes this many bytes of rows at a time, so the
// rows a text row samples are still in cache when it is sampled.
const size_t kPassBlockBytes = size_t{16} << 10;

const char kPageOpening[] = "<html><body><font size=\"-3\"><pre>";
const char kPageClosing[] = "</pre></font></body></html>";

// 32 cells of '&', as the page writes them.
const char kAmpersands[] =
    "&amp;&amp;&amp;&amp;&amp;&amp;&amp;&amp;&amp;&amp;&amp;&amp;&amp;&amp;&amp;&amp;"
    "&amp;&amp;&amp;&amp;&amp;&amp;&amp;&amp;&amp;&amp;&amp;&amp;&amp;&amp;&amp;&amp;";
static_assert(sizeof kAmpersands - 1 == 32 * 5, "32 cells of five bytes");

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

// The pass over the frame turns each pixel's byte sum s = b + g + r into its
// gray s / 3 and its histogram band s / 96 = gray / 32. Here tables give both:
// the gray, and a 1 in the band's byte of a 64-bit word, so a pixel costs two
// lookups and one addition. The bytes are emptied into the totals before any
// can overflow.
struct SumTables {
  uint64_t one_in_band[3 * 255 + 1];
  uint8_t gray[3 * 255 + 1];
  SumTables() {
    for (int sum = 0; sum <= 3 * 255; ++sum) {
      one_in_band[sum] = uint64_t{1} << (8 * (sum / 96));
      gray[sum] = static_cast<uint8_t>(sum / 3);
    }
  }
};

// Counts `pixels` pixels at p into bands and stores their grays at grays.
void gray_pass_portable(const uint8_t* p, size_t pixels, int64_t* bands, uint8_t* grays) {
  static const SumTables tables;
  const uint64_t* one = tables.one_in_band;
  while (pixels > 0) {
    // Two words, so two additions can run at once; 255 pixels each at most.
    const size_t run = std::min<size_t>(pixels, 2 * 255);
    uint64_t even = 0, odd = 0;
    size_t i = 0;
    for (; i + 2 <= run; i += 2, p += 6, grays += 2) {
      const unsigned first = p[0] + p[1] + p[2], second = p[3] + p[4] + p[5];
      even += one[first];
      odd += one[second];
      grays[0] = tables.gray[first];
      grays[1] = tables.gray[second];
    }
    if (i < run) {
      const unsigned sum = p[0] + p[1] + p[2];
      even += one[sum];
      *grays++ = tables.gray[sum];
      p += 3;
    }
    for (int band = 0; band < 8; ++band)
      bands[band] +=
          static_cast<int64_t>(((even >> (8 * band)) & 255) + ((odd >> (8 * band)) & 255));
    pixels -= run;
  }
}

bool vector_instructions_allowed = true;

#if defined(__x86_64__) && defined(__GNUC__)
#define HAVE_AVX2 1

bool use_vector() {
  static const bool avx2 = __builtin_cpu_supports("avx2");
  return avx2 && vector_instructions_allowed;
}

// The AVX2 pass takes 32 pixels at a time, each 128-bit half of a register
// 16 pixels (48 bytes in three loads). Byte shuffles gather pixels 8h ...
// 8h + 7 of the 16 from loads h and h + 1 (bytes 0-15, 16-31, 32-47) into
// 16-bit lanes: blue_green[h][k] puts their blue and green bytes from load k
// side by side, red[h][k] their red bytes in the low byte; 0x80 clears a
// byte. Short loops are unrolled so that loads, sums and counters stay in
// registers.
struct GatherMasks {
  alignas(16) uint8_t blue_green[2][3][16];
  alignas(16) uint8_t red[2][3][16];
  GatherMasks() {
    memset(blue_green, 0x80, sizeof blue_green);
    memset(red, 0x80, sizeof red);
    for (int h = 0; h < 2; ++h)
      for (int j = 0; j < 8; ++j)
        for (int c = 0; c < 3; ++c) {
          const int byte = 3 * (8 * h + j) + c;
          uint8_t* lane = c < 2 ? &blue_green[h][byte / 16][2 * j + c] : &red[h][byte / 16][2 * j];
          *lane = static_cast<uint8_t>(byte % 16);
        }
  }
};

__attribute__((target("avx2"))) inline __m256i broadcast(const uint8_t (&mask)[16]) {
  return _mm256_broadcastsi128_si256(_mm_load_si128(reinterpret_cast<const __m128i*>(mask)));
}

struct PixelSumsAvx2 {
  __m256i blue_green[2][2];  // [h][k - h]
  __m256i red[2][2];

  __attribute__((target("avx2"))) PixelSumsAvx2() {
    static const GatherMasks masks;
    for (int h = 0; h < 2; ++h)
      for (int k = 0; k < 2; ++k) {
        blue_green[h][k] = broadcast(masks.blue_green[h][h + k]);
        red[h][k] = broadcast(masks.red[h][h + k]);
      }
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
    const __m256i ones = _mm256_set1_epi8(1);
#pragma GCC unroll 8
    for (int h = 0; h < 2; ++h) {
      const __m256i blue_green_bytes =
          _mm256_or_si256(_mm256_shuffle_epi8(load[h], blue_green[h][0]),
                          _mm256_shuffle_epi8(load[h + 1], blue_green[h][1]));
      const __m256i red_words = _mm256_or_si256(_mm256_shuffle_epi8(load[h], red[h][0]),
                                                _mm256_shuffle_epi8(load[h + 1], red[h][1]));
      sums[h] = _mm256_add_epi16(_mm256_maddubs_epi16(blue_green_bytes, ones), red_words);
    }
  }
};

// The pass 32 pixels at a time: a pixel's gray s / 3 is (s * 43691) >> 17,
// exact for every s up to 765, and its band the gray / 32. Byte counters for
// bands 1 to 7 are emptied into the totals every 255 blocks; band 0 gets the
// rest. Returns the pixels it took; fewer than 32 are left over.
__attribute__((target("avx2"))) size_t gray_pass_avx2(const uint8_t* p, size_t pixels,
                                                      int64_t* bands, uint8_t* grays) {
  const PixelSumsAvx2 pixel_sums;
  const __m256i one_third = _mm256_set1_epi16(static_cast<short>(43691));
  const __m256i low_three_bits = _mm256_set1_epi8(7);
  const __m256i zero = _mm256_setzero_si256();
  size_t done = 0;
  while (pixels - done >= 32) {
    __m256i counters[8];
#pragma GCC unroll 8
    for (int k = 1; k < 8; ++k) counters[k] = zero;
    const size_t blocks = std::min<size_t>((pixels - done) / 32, 255);
    for (size_t b = 0; b < blocks; ++b, p += 96, grays += 32) {
      __m256i sums[2];
      pixel_sums.of(p, sums);
      // Packing puts the 32 grays back in pixel order.
      const __m256i gray =
          _mm256_packus_epi16(_mm256_srli_epi16(_mm256_mulhi_epu16(sums[0], one_third), 1),
                              _mm256_srli_epi16(_mm256_mulhi_epu16(sums[1], one_third), 1));
      _mm256_storeu_si256(reinterpret_cast<__m256i*>(grays), gray);
      const __m256i band = _mm256_and_si256(_mm256_srli_epi16(gray, 5), low_three_bits);
#pragma GCC unroll 8
      for (int k = 1; k < 8; ++k) {
        counters[k] = _mm256_sub_epi8(
            counters[k], _mm256_cmpeq_epi8(band, _mm256_set1_epi8(static_cast<char>(k))));
      }
    }
    int64_t others = 0;
    for (int k = 1; k < 8; ++k) {
      const __m256i sums = _mm256_sad_epu8(counters[k], zero);
      const int64_t count = _mm256_extract_epi64(sums, 0) + _mm256_extract_epi64(sums, 1) +
                            _mm256_extract_epi64(sums, 2) + _mm256_extract_epi64(sums, 3);
      bands[k] += count;
      others += count;
    }
    bands[0] += static_cast<int64_t>(32 * blocks) - others;
    done += 32 * blocks;
  }
  return done;
}

__attribute__((target("avx2"), always_inline)) inline __m256i words_at(const uint8_t* p) {
  return _mm256_cvtepu8_epi16(_mm_loadu_si128(reinterpret_cast<const __m128i*>(p)));
}

// sums[x] = a[x] + b[x] + c[x] for x = 0 ... width - 1, 16 at a time.
// Returns the columns it summed; fewer than 16 are left over.
__attribute__((target("avx2"))) int column_sums_avx2(const uint8_t* a, const uint8_t* b,
                                                     const uint8_t* c, int width, uint16_t* sums) {
  int x = 0;
  for (; x + 16 <= width; x += 16) {
    const __m256i sum =
        _mm256_add_epi16(_mm256_add_epi16(words_at(a + x), words_at(b + x)), words_at(c + x));
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(sums + x), sum);
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

// Page bytes and preview levels of a text row's cells, 32 at a time; the
// levels go to the preview row at pixels and to the one row_bytes above it;
// returns the first cell not done, with *out moved past the page bytes. The
// ramp character of 255 - v is ",-=*8X#&"[(254 - v) / 32] (0 for v = 255);
// 32 cells without '&' (which takes five bytes) are stored at once, 32
// of '&' copied at once, others eight at a time or one by one. The preview level is the top of v's
// band of 32, at least 32, and 255 above 224.
__attribute__((target("avx2"))) int write_cells_avx2(const CellTables& tables, const uint8_t* means,
                                                     int columns, uint8_t* pixels, size_t row_bytes,
                                                     char** out) {
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
    const uint32_t ampersands =
        static_cast<uint32_t>(_mm256_movemask_epi8(_mm256_cmpeq_epi8(chars, ampersand)));
    if (ampersands == 0) {
      _mm256_storeu_si256(reinterpret_cast<__m256i*>(*out), chars);
      *out += 32;
    } else if (ampersands == 0xFFFFFFFFu) {
      memcpy(*out, kAmpersands, sizeof kAmpersands - 1);
      *out += sizeof kAmpersands - 1;
    } else {
      // Eight cells at a time: those without '&' in one store, others one by one.
      alignas(32) char block[32];
      _mm256_store_si256(reinterpret_cast<__m256i*>(block), chars);
      for (int group = 0; group < 32; group += 8) {
        if (((ampersands >> group) & 0xFF) == 0) {
          memcpy(*out, block + group, 8);
          *out += 8;
          continue;
        }
        for (int k = c + group; k < c + group + 8; ++k) {
          memcpy(*out, tables.page_bytes[means[k]], 8);
          *out += tables.page_length[means[k]];
        }
      }
    }

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
      for (int k = 0; k < 3; ++k) {
        const __m128i piece = _mm_shuffle_epi8(levels, triple[k]);
        _mm_storeu_si128(reinterpret_cast<__m128i*>(p + 16 * k), piece);
        _mm_storeu_si128(reinterpret_cast<__m128i*>(p + row_bytes + 16 * k), piece);
      }
    }
  }
  return c;
}

// 16 cells in a row whose columns lie within kRunWindows 16-byte windows of
// the column means, from first_x on: pick[w][k] is where cell k's column lies
// in window w, or 0x80 when it lies in another.
enum { kRunWindows = 4 };  // 64 columns
struct CellRun {
  int first_x;
  alignas(16) uint8_t pick[kRunWindows][16];
};

__attribute__((target("avx2"), always_inline)) inline __m128i picked_from(const uint8_t* window,
                                                                          const uint8_t* pick) {
  return _mm_shuffle_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(window)),
                          _mm_load_si128(reinterpret_cast<const __m128i*>(pick)));
}

// means[16 r + k] = the mean of run r's cell k: a shuffle per window picks
// the run's 16 means out of the first `windows` windows.
__attribute__((target("avx2"))) void pick_cell_runs_avx2(const uint8_t* mean, const CellRun* runs,
                                                         size_t count, int windows,
                                                         uint8_t* means) {
  for (size_t r = 0; r < count; ++r, means += 16) {
    const uint8_t* window = mean + runs[r].first_x;
    __m128i picked = picked_from(window, runs[r].pick[0]);
    for (int w = 1; w < windows; ++w)
      picked = _mm_or_si128(picked, picked_from(window + 16 * w, runs[r].pick[w]));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(means), picked);
  }
}
#endif

#ifndef HAVE_AVX2
bool use_vector() {
  return false;
}
#endif

// The pass over the frame, bottom up, in steps: counts every pixel into the
// histogram and keeps the grays of the rows that text rows may still sample
// (the last two full rows before a step, and the step's own). Vector blocks of
// 32 pixels may leave up to 31 pixels to the next step; the step to the
// frame's end takes them all.
class GrayPass {
 public:
  GrayPass(const KImageT<K_RGB>& frame, int64_t* bands, int rows_per_step, bool vector)
      : bytes_(reinterpret_cast<const uint8_t*>(frame.get_raw_buffer())),
        total_(frame.data.size()),
        width_(frame.width > 0 ? static_cast<size_t>(frame.width) : 0),
        bands_(bands),
        vector_(vector) {
    if (total_) {
      grays_.resize(std::min(total_, (static_cast<size_t>(rows_per_step) + 3) * width_) + 32);
    }
  }

  // Takes the pixels below pixel `end`, at most rows_per_step rows past the
  // last full row taken.
  void take_to(size_t end) {
    end = std::min(end, total_);
    if (end <= done_) return;
    const size_t keep_from = rows_done() >= 2 ? (rows_done() - 2) * width_ : 0;
    if (keep_from > first_pixel_) {
      memmove(grays_.data(), grays_.data() + (keep_from - first_pixel_), done_ - keep_from);
      first_pixel_ = keep_from;
    }
    // Room for the step and the 31 pixels a vector block may have left.
    if (end - first_pixel_ + 32 > grays_.size()) grays_.resize(end - first_pixel_ + 32);
    uint8_t* grays = grays_.data() + (done_ - first_pixel_);
    size_t taken = 0;
#ifdef HAVE_AVX2
    if (vector_) taken = gray_pass_avx2(bytes_ + 3 * done_, end - done_, bands_, grays);
#endif
    if (end == total_ || !vector_) {
      gray_pass_portable(bytes_ + 3 * (done_ + taken), end - done_ - taken, bands_, grays + taken);
      taken = end - done_;
    }
    done_ += taken;
  }

  size_t rows_done() const {
    return width_ ? done_ / width_ : 0;
  }
  const uint8_t* gray_row(int y) const {
    return grays_.data() + (static_cast<size_t>(y) * width_ - first_pixel_);
  }

 private:
  const uint8_t* bytes_;
  size_t total_;
  size_t width_;
  int64_t* bands_;
  bool vector_;
  std::vector<uint8_t> grays_;  // of pixels first_pixel_ ... done_ - 1
  size_t first_pixel_ = 0;
  size_t done_ = 0;
};

// The 3 x 3 mean grays of one text row's cells, worked out at the sample
// points only. The text row's (up to) three frame rows are first summed
// column by column, for the frame columns that some cell's neighbourhood
// covers; each cell then adds three column sums. Same truncated pixel grays,
// same mean as get_gray_ave9, but each pixel's gray is taken once.
class RowSampler {
 public:
  RowSampler(const KImageT<K_RGB>& frame, const SamplingGrid& grid, bool vector)
      : width_(frame.width), height_(frame.height), sample_x_(static_cast<size_t>(grid.columns)) {
    // Shifted one to the right: a zero either side stands for the points
    // outside the frame.
    column_sums_.assign(static_cast<size_t>(width_) + 2, 0);
    std::vector<bool> covered(static_cast<size_t>(width_), false);
    for (int64_t c = 0; c < grid.columns; ++c) {
      const int x = grid.sample_x(c);
      sample_x_[static_cast<size_t>(c)] = x;
      for (int px = std::max(x - 1, 0); px <= std::min(x + 1, width_ - 1); ++px) covered[px] = true;
    }
    for (int x = 0; x < width_; ++x)
      if (covered[x]) covered_x_.push_back(x);
    // Sample points run left to right, so the columns whose neighbourhood
    // lies wholly inside the frame are one run.
    inside_begin_ = inside_end_ = 0;
    while (inside_begin_ < sample_x_.size() && sample_x_[inside_begin_] == 0) ++inside_begin_;
    inside_end_ = sample_x_.size();
    while (inside_end_ > inside_begin_ && sample_x_[inside_end_ - 1] >= width_ - 1) --inside_end_;
#ifdef HAVE_AVX2
    vector_ = vector;
    // A column costs the vector pass about a tenth of what picking it out
    // costs, so where a sixth of the columns are covered it sums them all.
    all_columns_ = vector && 6 * covered_x_.size() > static_cast<size_t>(width_);
#else
    (void)vector;
#endif
    // Room for reading every window of a run from any column.
    if (all_columns_) column_means_.resize(static_cast<size_t>(width_) + 64);
#ifdef HAVE_AVX2
    // Runs of 16 inner cells whose columns lie within the windows (all of
    // them where the page has at least a quarter as many columns as the
    // frame).
    for (size_t c = inside_begin_; all_columns_ && c + 16 <= inside_end_; c += 16) {
      const int first_x = sample_x_[c];
      const int span = sample_x_[c + 15] - first_x;
      if (span >= 16 * kRunWindows) break;
      CellRun run;
      run.first_x = first_x;
      memset(run.pick, 0x80, sizeof run.pick);
      for (int k = 0; k < 16; ++k) {
        const int place = sample_x_[c + k] - first_x;
        run.pick[place / 16][k] = static_cast<uint8_t>(place % 16);
      }
      cell_runs_.push_back(run);
      run_windows_ = std::max(run_windows_, span / 16 + 1);
    }
#endif
  }

  // means[c] = get_gray_ave9(frame, sample_x(c), y), for every column c,
  // from the grays of frame rows y - 1 ... y + 1 that the pass keeps.
  void sample(const GrayPass& pass, int y, uint8_t* means) {
    const int first_row = std::max(y - 1, 0);
    const int rows = std::min(y + 1, height_ - 1) - first_row + 1;
    const uint8_t* row[3] = {pass.gray_row(first_row), nullptr, nullptr};
    for (int k = 1; k < rows; ++k) row[k] = row[k - 1] + width_;
    uint16_t* sums = column_sums_.data() + 1;
    if (rows == 3) {
      size_t first = 0;
#ifdef HAVE_AVX2
      if (all_columns_) {
        const int summed = column_sums_avx2(row[0], row[1], row[2], width_, sums);
        first = static_cast<size_t>(std::lower_bound(covered_x_.begin(), covered_x_.end(), summed) -
                                    covered_x_.begin());
      }
#endif
      for (size_t k = first; k < covered_x_.size(); ++k) {
        const int x = covered_x_[k];
        sums[x] = static_cast<uint16_t>(row[0][x] + row[1][x] + row[2][x]);
      }
    } else {
      for (int x : covered_x_) {
        unsigned sum = 0;
        for (int k = 0; k < rows; ++k) sum += row[k][x];
        sums[x] = static_cast<uint16_t>(sum);
      }
    }
    // The zeros beside the frame add nothing; only the count changes at the
    // frame's left and right edges.
    const int last_x = width_ - 1;
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
      if (vector_) x = means_of_nine_avx2(sums, width_, mean);
#endif
      for (; x < last_x; ++x)
        mean[x] = static_cast<uint8_t>((sums[x - 1] + sums[x] + sums[x + 1]) / 9);
      size_t c = inside_begin_;
#ifdef HAVE_AVX2
      if (!cell_runs_.empty()) {
        pick_cell_runs_avx2(mean, cell_runs_.data(), cell_runs_.size(), run_windows_, means + c);
        c += 16 * cell_runs_.size();
      }
#endif
      // Locals: stores through a byte pointer would make the compiler reload
      // members after each one.
      const int* sample_x = sample_x_.data();
      for (const size_t end = inside_end_; c < end; ++c) means[c] = mean[sample_x[c]];
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
  int width_, height_;
  std::vector<int> sample_x_;
  std::vector<int> covered_x_;
  std::vector<uint16_t> column_sums_;
  std::vector<uint8_t> column_means_;  // of every inner column, with all_columns_
#ifdef HAVE_AVX2
  std::vector<CellRun> cell_runs_;  // from inside_begin_ on, with all_columns_
  int run_windows_ = 0;             // windows the runs need
#endif
  bool vector_ = false;
  bool all_columns_ = false;          // summed in a vector pass, covered or not
  size_t inside_begin_, inside_end_;  // the columns away from the frame's sides
};

// One grid's text rows, sampled bottom up while the pass over the frame
// passes them: text row r's means go to first + r * step. Text rows that
// sample the same frame row (a grid taller than the frame) are copied.
class TextRowsInPass {
 public:
  TextRowsInPass(const KImageT<K_RGB>& frame, const SamplingGrid& grid, bool vector, uint8_t* first,
                 ptrdiff_t step)
      : grid_(grid),
        sampler_(frame, grid, vector),
        first_(first),
        step_(step),
        next_(grid.rows - 1),
        height_(frame.height) {}

  // Samples the text rows whose three frame rows the pass has taken.
  void take_from(const GrayPass& pass) {
    const int64_t rows_done = static_cast<int64_t>(pass.rows_done());
    for (; next_ >= 0; --next_) {
      const int y = grid_.sample_y(next_);
      if (y + 1 >= rows_done && rows_done < height_) return;
      uint8_t* means = first_ + next_ * step_;
      if (y == last_y_) {
        memcpy(means, means + step_, static_cast<size_t>(grid_.columns));
      } else {
        sampler_.sample(pass, y, means);
      }
      last_y_ = y;
    }
  }

 private:
  const SamplingGrid& grid_;
  RowSampler sampler_;
  uint8_t* first_;
  ptrdiff_t step_;
  int64_t next_;
  int height_;
  int last_y_ = -1;
};

// Output gathered in one block of memory and written out when the block is
// full and at the end; without a file (null) the bytes are dropped.
class BlockWriter {
 public:
  // The block is not cleared: only bytes written into it go out.
  BlockWriter(FILE* file, size_t capacity)
      : file_(file), block_(new char[capacity]), capacity_(capacity) {}

  // Room for at least `bytes` more, writing the block out first if needed.
  char* room(size_t bytes) {
    if (capacity_ - used_ < bytes) flush();
    return block_.get() + used_;
  }
  void advance_to(const char* end) { used_ = static_cast<size_t>(end - block_.get()); }
  void append(const char* bytes, size_t size) {
    char* out = room(size);
    memcpy(out, bytes, size);
    advance_to(out + size);
  }

  // True when every byte so far reached the file.
  bool flush() {
    const kimage_detail::Piece piece = {block_.get(), used_};
    if (file_ && ok_ && used_ > 0) ok_ = kimage_detail::write_pieces(file_, &piece, 1);
    used_ = 0;
    return ok_;
  }

 private:
  FILE* file_;
  std::unique_ptr<char[]> block_;
  size_t capacity_;
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

namespace {

// Runs the pass over the whole frame in steps of about kPassBlockBytes of
// rows, calling after_step after each.
template <typename AfterStep>
void pass_over(const KImageT<K_RGB>& frame, int64_t* bands, bool vector, AfterStep after_step) {
  const size_t row_pixels = frame.width > 0 ? static_cast<size_t>(frame.width) : 0;
  const int rows_per_step =
      static_cast<int>(std::max<size_t>(1, kPassBlockBytes / std::max<size_t>(1, 3 * row_pixels)));
  GrayPass pass(frame, bands, rows_per_step, vector);
  for (int end = 0; end < frame.height;) {
    end = static_cast<int>(std::min<int64_t>(int64_t{end} + rows_per_step, frame.height));
    pass.take_to(row_pixels * static_cast<size_t>(end));
    after_step(pass);
  }
  pass.take_to(frame.data.size());
}

}  // namespace

void set_vector_instructions(bool allowed) {
  vector_instructions_allowed = allowed;
}

void count_gray_bands_portable(const KImageT<K_RGB>& frame, int64_t (&bands)[8]) {
  pass_over(frame, bands, false, [](const GrayPass&) {});
}

void count_gray_bands(const KImageT<K_RGB>& frame, int64_t (&bands)[8]) {
  pass_over(frame, bands, use_vector(), [](const GrayPass&) {});
}

void sample_frame(const KImageT<K_RGB>& frame, bool console_report, int32_t page_columns,
                  FrameSampling& sampling) {
  for (int64_t& band : sampling.bands) band = 0;

  sampling.console_grid = SamplingGrid(frame.width, frame.height, kConsolePreviewColumns);
  // Beyond the page's limit the console preview is left out: a frame
  // thousands of times taller than wide would print millions of lines.
  const SamplingGrid& console = sampling.console_grid;
  const bool too_tall = kConsolePreviewColumns * console.rows * 2 * 3 > kMaxPreviewBytes;
  sampling.console_rows = console_report && console.rows > 0 && !too_tall ? console.rows : 0;
  sampling.console_means.resize(static_cast<size_t>(sampling.console_rows) *
                                kConsolePreviewColumns);

  sampling.page_grid = SamplingGrid(frame.width, frame.height, page_columns);
  const SamplingGrid& page = sampling.page_grid;
  const bool page_has_cells = page.columns > 0 && page.rows > 0;
  sampling.page_too_large = page_has_cells && page.columns * page.rows * 2 * 3 > kMaxPreviewBytes;
  const int64_t page_rows = page_has_cells && !sampling.page_too_large ? page.rows : 0;
  sampling.page_means.resize(static_cast<size_t>(page_rows * page.columns));

  const bool vector = use_vector();
  std::vector<TextRowsInPass> text_rows;
  text_rows.reserve(2);
  if (sampling.console_rows > 0) {
    text_rows.emplace_back(frame, console, vector, sampling.console_means.data(),
                           kConsolePreviewColumns);
  }
  if (page_rows > 0) {
    text_rows.emplace_back(frame, page, vector, sampling.page_means.data(),
                           static_cast<ptrdiff_t>(page.columns));
  }

  // Each text row is sampled as soon as the pass has taken its frame rows,
  // while they are in cache.
  pass_over(frame, sampling.bands, vector, [&](const GrayPass& pass) {
    for (TextRowsInPass& rows : text_rows) rows.take_from(pass);
  });
}

void write_console_report(const FrameSampling& sampling, FILE* out) {
  int64_t total = 0;
  for (int64_t count : sampling.bands) total += count;
  std::string text;
  for (int i = 0; i < 8; ++i) {
    char label[64];
    snprintf(label, sizeof label, "%3d-%3d:%6lld: ", 32 * i, 32 * i + 31,
             static_cast<long long>(sampling.bands[i]));
    text += label;
    if (total > 0) {
      text.append(static_cast<size_t>(sampling.bands[i] * kConsolePreviewColumns / total), '*');
    }
    text += '\n';
  }

  const CellTables& tables = cell_tables();
  const uint8_t* means = sampling.console_means.data();
  const size_t histogram_bytes = text.size();
  text.resize(histogram_bytes +
              static_cast<size_t>(sampling.console_rows) * (kConsolePreviewColumns + 1));
  char* row = &text[histogram_bytes];
  for (int64_t r = 0; r < sampling.console_rows; ++r, row += kConsolePreviewColumns + 1) {
    for (int c = 0; c < kConsolePreviewColumns; ++c)
      row[c] = static_cast<char>(tables.console_code[*means++]);
    row[kConsolePreviewColumns] = '\n';
  }
  fwrite(text.data(), 1, text.size(), out);
}

void write_console_report(const KImageT<K_RGB>& frame, FILE* out) {
  FrameSampling sampling;
  sample_frame(frame, true, 0, sampling);
  write_console_report(sampling, out);
}

namespace {

bool write_page_and_levels(const FrameSampling& sampling, FILE* page, const char* html_path,
                           KImageT<K_RGB>& preview) {
  if (sampling.page_too_large) {
    preview.init(0, 0);  // nothing of an earlier capture's preview may stay
    if (page) finish_output_file(page, html_path, false);  // the created page goes again
    return false;
  }
  const SamplingGrid& grid = sampling.page_grid;
  const int columns = static_cast<int>(grid.columns);
  // A page without rows has an empty preview: width columns, height 0; for
  // a negative width, 0 x 0. Every pixel is written below, so an image
  // already of this size (the last capture's) need not be cleared first.
  const int preview_width = columns > 0 ? columns : 0;
  const int preview_height = columns > 0 ? static_cast<int>(2 * grid.rows) : 0;
  const size_t cells = sampling.page_means.size();
  if (preview.width != preview_width || preview.height != preview_height ||
      preview.data.size() != 2 * cells) {
    preview.init(preview_width, preview_height);
  }
  // The preview is filled even when the page cannot be written.
  // Room for the widest row (every cell "&amp;") and the 8-byte copies.
  const size_t row_room = cells ? 5 * static_cast<size_t>(columns) + 1 + 8 : 0;
  const size_t largest_page = sizeof kPageOpening + sizeof kPageClosing + 5 * cells +
                              static_cast<size_t>(std::max<int64_t>(grid.rows, 0));
  BlockWriter text(page, std::max(std::min(kPageBlockBytes, largest_page), row_room));
  text.append(kPageOpening, sizeof kPageOpening - 1);
  if (cells) {
    const CellTables& tables = cell_tables();
    const size_t row_bytes = sizeof(K_RGB) * static_cast<size_t>(columns);
    const uint8_t* means = sampling.page_means.data();
    for (int64_t r = 0; r < grid.rows; ++r, means += columns) {
      // Text row r is preview rows 2(R - r) - 2 and 2(R - r) - 1, the same
      // way up.
      K_RGB* lower = &preview.pixel(0, static_cast<int>(2 * (grid.rows - r) - 2));
      K_RGB* upper = lower + preview.width;
      uint8_t* pixel = reinterpret_cast<uint8_t*>(lower);
      char* out = text.room(row_room);
      int c = 0;
#ifdef HAVE_AVX2
      if (use_vector()) c = write_cells_avx2(tables, means, columns, pixel, row_bytes, &out);
#endif
      const int first_alone = c;  // the cells whose levels are not yet in the upper row
      for (pixel += 3 * static_cast<size_t>(c); c < columns; ++c, pixel += 3)
        out = write_cell(tables, means[c], pixel, out);
      *out++ = '\n';
      text.advance_to(out);
      memcpy(static_cast<void*>(upper + first_alone), lower + first_alone,
             sizeof(K_RGB) * static_cast<size_t>(columns - first_alone));
      // The last cell's fourth byte fell on the upper row's first pixel.
      upper[0] = lower[0];
    }
  }
  text.append(kPageClosing, sizeof kPageClosing - 1);
  const bool ok = text.flush();
  if (!page) return false;
  return finish_output_file(page, html_path, ok);
}

}  // namespace

bool write_html_page(const FrameSampling& sampling, FILE* page, const char* html_path,
                     KImageT<K_RGB>& preview) {
  try {
    return write_page_and_levels(sampling, page, html_path, preview);
  } catch (const std::bad_alloc&) {
    // Out of memory: the page goes, and so does the preview, which may be
    // filled in part.
    if (page) finish_output_file(page, html_path, false);
    preview.init(0, 0);
    return false;
  }
}

bool write_html_page(const KImageT<K_RGB>& frame, int32_t columns, FILE* page,
                     const char* html_path, KImageT<K_RGB>& preview) {
  FrameSampling sampling;
  sample_frame(frame, false, columns, sampling);
  return write_html_page(sampling, page, html_path, preview);
}
