// The AVX2 kernels. This file alone is built with -mavx2; nothing here runs
// unless vector_kernels() found AVX2 on the CPU. It uses no templates or
// inline functions of other headers, so no copy built for AVX2 can stand in
// for one that other files use.
#include "gray_kernels.h"

#ifdef __AVX2__

#include <immintrin.h>
#include <string.h>

#include "gray_levels.h"

namespace {

// 32 cells of '&', as the page writes them.
const char kAmpersands[] =
    "&amp;&amp;&amp;&amp;&amp;&amp;&amp;&amp;&amp;&amp;&amp;&amp;&amp;&amp;&amp;&amp;"
    "&amp;&amp;&amp;&amp;&amp;&amp;&amp;&amp;&amp;&amp;&amp;&amp;&amp;&amp;&amp;&amp;";
static_assert(sizeof kAmpersands - 1 == 32 * 5, "32 cells of five bytes");

inline size_t smaller(size_t a, size_t b) {
  return a < b ? a : b;
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

inline __m256i broadcast(const uint8_t (&mask)[16]) {
  return _mm256_broadcastsi128_si256(_mm_load_si128(reinterpret_cast<const __m128i*>(mask)));
}

struct PixelSumsAvx2 {
  __m256i blue_green[2][2];  // [h][k - h]
  __m256i red[2][2];

  PixelSumsAvx2() {
    static const GatherMasks masks;
    for (int h = 0; h < 2; ++h)
      for (int k = 0; k < 2; ++k) {
        blue_green[h][k] = broadcast(masks.blue_green[h][h + k]);
        red[h][k] = broadcast(masks.red[h][h + k]);
      }
  }

  // b + g + r of the 32 pixels at p: sums[0] holds pixels 0-7 and 16-23,
  // sums[1] pixels 8-15 and 24-31.
  __attribute__((always_inline)) void of(const uint8_t* p, __m256i (&sums)[2]) const {
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
size_t gray_pass_avx2(const uint8_t* p, size_t pixels, int64_t* bands, uint8_t* grays) {
  const PixelSumsAvx2 pixel_sums;
  const __m256i one_third = _mm256_set1_epi16(static_cast<short>(43691));
  const __m256i low_three_bits = _mm256_set1_epi8(7);
  const __m256i zero = _mm256_setzero_si256();
  size_t done = 0;
  while (pixels - done >= 32) {
    __m256i counters[8];
#pragma GCC unroll 8
    for (int k = 1; k < 8; ++k) counters[k] = zero;
    const size_t blocks = smaller((pixels - done) / 32, size_t{255});
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

__attribute__((always_inline)) inline __m256i words_at(const uint8_t* p) {
  return _mm256_cvtepu8_epi16(_mm_loadu_si128(reinterpret_cast<const __m128i*>(p)));
}

// sums[x] = a[x] + b[x] + c[x] for x = 0 ... width - 1, 16 at a time.
// Returns the columns it summed; fewer than 16 are left over.
int column_sums_avx2(const uint8_t* a, const uint8_t* b, const uint8_t* c, int width,
                     uint16_t* sums) {
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
int means_of_nine_avx2(const uint16_t* column_sums, int width, uint8_t* mean) {
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
int write_cells_avx2(const CellTables& tables, const uint8_t* means, int columns, uint8_t* pixels,
                     size_t row_bytes, char** out) {
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

__attribute__((always_inline)) inline __m128i picked_from(const uint8_t* window,
                                                          const uint8_t* pick) {
  return _mm_shuffle_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(window)),
                          _mm_load_si128(reinterpret_cast<const __m128i*>(pick)));
}

// means[16 r + k] = the mean of run r's cell k: a shuffle per window picks
// the run's 16 means out of the first `windows` windows.
void pick_cell_runs_avx2(const uint8_t* mean, const CellRun* runs, size_t count, int windows,
                         uint8_t* means) {
  for (size_t r = 0; r < count; ++r, means += 16) {
    const uint8_t* window = mean + runs[r].first_x;
    __m128i picked = picked_from(window, runs[r].pick[0]);
    for (int w = 1; w < windows; ++w)
      picked = _mm_or_si128(picked, picked_from(window + 16 * w, runs[r].pick[w]));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(means), picked);
  }
}

const VectorKernels kAvx2Kernels = {gray_pass_avx2, column_sums_avx2, means_of_nine_avx2,
                                    pick_cell_runs_avx2, write_cells_avx2};

}  // namespace

const VectorKernels* avx2_kernels() {
  return &kAvx2Kernels;
}

#else

const VectorKernels* avx2_kernels() {
  return nullptr;
}

#endif
