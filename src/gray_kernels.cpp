#include "gray_kernels.h"

#include <algorithm>

namespace {

bool vector_instructions_allowed = true;

bool cpu_has_avx2() {
#if (defined(__x86_64__) || defined(__i386__)) && defined(__GNUC__)
  return __builtin_cpu_supports("avx2");
#else
  return false;
#endif
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

}  // namespace

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

const VectorKernels* vector_kernels() {
  static const VectorKernels* const avx2 = cpu_has_avx2() ? avx2_kernels() : nullptr;
  return vector_instructions_allowed ? avx2 : nullptr;
}

void set_vector_instructions(bool allowed) {
  vector_instructions_allowed = allowed;
}
