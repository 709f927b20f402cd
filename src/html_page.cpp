#include "html_page.h"

#include <string.h>

#include <algorithm>
#include <new>

#include "gray_kernels.h"
#include "gray_levels.h"
#include "output_files.h"

namespace {

// A page is gathered in memory and written in blocks of up to this size, so
// a page no larger takes one write.
const size_t kPageBlockBytes = size_t{4} << 20;

const char kPageOpening[] = "<html><body><font size=\"-3\"><pre>";
const char kPageClosing[] = "</pre></font></body></html>";

// One page cell of mean gray v: its preview level at pixel and its page bytes
// at out, which it returns moved past them. Writes four bytes at pixel (the
// fourth lands on the next pixel, or past the row's end on the upper row, and
// is written over after) and eight at out.
inline char* write_cell(const CellTables& tables, uint8_t v, uint8_t* pixel, char* out) {
  memcpy(pixel, &tables.level_times_4[v], 4);
  memcpy(out, tables.page_bytes[v], 8);
  return out + tables.page_length[v];
}

bool write_page_and_levels(const FrameSampling& sampling, FILE* page, KImageT<K_RGB>& preview) {
  if (sampling.page_too_large) {
    preview.init(0, 0);  // nothing of an earlier capture's preview may stay
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
      if (const VectorKernels* vector = vector_kernels())
        c = vector->write_cells(tables, means, columns, pixel, row_bytes, &out);
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
  return text.flush() && page;
}

}  // namespace

bool write_html_page(const FrameSampling& sampling, FILE* page, KImageT<K_RGB>& preview) {
  try {
    return write_page_and_levels(sampling, page, preview);
  } catch (const std::bad_alloc&) {
    // Out of memory: the page fails, and the preview, which may be filled in
    // part, goes.
    preview.init(0, 0);
    return false;
  }
}

bool save_gray_preview(const KImageT<K_RGB>& preview, const char* name) {
  char temporary[kFileNameSize];
  FILE* file = create_file_beside(name, temporary);
  if (!file) return false;
  if (!finish_output_file(file, temporary, preview.write_bitmap(file))) return false;  // removed
  return replace_with(temporary, name);
}
