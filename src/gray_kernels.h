// The inner loops of the renderings that have vector versions: the portable
// gray pass, the reference, and one table of vector kernels chosen at a
// single dispatch point. Each vector kernel does what the portable code does,
// for as much of its input as whole vectors cover, and returns how far it got;
// the caller finishes the rest with the portable code, so every output byte
// is the same either way.
#ifndef GRAY_KERNELS_H
#define GRAY_KERNELS_H

#include <stddef.h>
#include <stdint.h>

struct CellTables;

// Counts `pixels` pixels at p (three bytes each) into bands by gray / 32 and
// stores their grays, (b + g + r) / 3, at grays.
void gray_pass_portable(const uint8_t* p, size_t pixels, int64_t* bands, uint8_t* grays);

// 16 cells in a row whose columns lie within kRunWindows 16-byte windows of
// the column means, from first_x on: pick[w][k] is where cell k's column lies
// in window w, or 0x80 when it lies in another.
enum { kRunWindows = 4 };  // 64 columns
struct CellRun {
  int first_x;
  alignas(16) uint8_t pick[kRunWindows][16];
};

struct VectorKernels {
  // gray_pass_portable, 32 pixels at a time; returns the pixels it took.
  size_t (*gray_pass)(const uint8_t* p, size_t pixels, int64_t* bands, uint8_t* grays);
  // sums[x] = a[x] + b[x] + c[x], 16 columns at a time; returns the columns done.
  int (*column_sums)(const uint8_t* a, const uint8_t* b, const uint8_t* c, int width,
                     uint16_t* sums);
  // mean[x] = (column_sums[x - 1] + column_sums[x] + column_sums[x + 1]) / 9
  // from x = 1 on while x < width - 1, 16 at a time; returns the first x not done.
  int (*means_of_nine)(const uint16_t* column_sums, int width, uint8_t* mean);
  // means[16 r + k] = mean[runs[r].first_x + place of cell k], for `count` runs.
  void (*pick_cell_runs)(const uint8_t* mean, const CellRun* runs, size_t count, int windows,
                         uint8_t* means);
  // A page row's cells, 32 at a time: page bytes at *out (moved past them) and
  // preview levels at pixels and row_bytes above; returns the first cell not done.
  int (*write_cells)(const CellTables& tables, const uint8_t* means, int columns, uint8_t* pixels,
                     size_t row_bytes, char** out);
};

// The one dispatch point: the vector kernels when the CPU has them and they
// are allowed, else null.
const VectorKernels* vector_kernels();

// Whether the renderings may use vector instructions where the CPU has them
// (they may unless told otherwise); every output byte is the same either way.
void set_vector_instructions(bool allowed);

// The AVX2 kernels, built with their own instruction-set flags; null where
// the build has none.
const VectorKernels* avx2_kernels();

#endif  // GRAY_KERNELS_H
