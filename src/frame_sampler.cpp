#include "frame_sampler.h"

#include <string.h>

#include <algorithm>

#include "gray_kernels.h"

namespace {

// The pass over the frame takes this many bytes of rows at a time, so the
// rows a text row samples are still in cache when it is sampled.
const size_t kPassBlockBytes = size_t{16} << 10;

// The pass over the frame, bottom up, in steps: counts every pixel into the
// histogram and keeps the grays of the rows that text rows may still sample
// (the last two full rows before a step, and the step's own). Vector blocks of
// 32 pixels may leave up to 31 pixels to the next step; the step to the
// frame's end takes them all.
class GrayPass {
 public:
  GrayPass(const KImageT<K_RGB>& frame, int64_t* bands, int rows_per_step,
           const VectorKernels* vector)
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
    if (vector_) taken = vector_->gray_pass(bytes_ + 3 * done_, end - done_, bands_, grays);
    if (end == total_ || !vector_) {
      gray_pass_portable(bytes_ + 3 * (done_ + taken), end - done_ - taken, bands_, grays + taken);
      taken = end - done_;
    }
    done_ += taken;
  }

  size_t rows_done() const { return width_ ? done_ / width_ : 0; }
  const uint8_t* gray_row(int y) const {
    return grays_.data() + (static_cast<size_t>(y) * width_ - first_pixel_);
  }

 private:
  const uint8_t* bytes_;
  size_t total_;
  size_t width_;
  int64_t* bands_;
  const VectorKernels* vector_;  // null for the portable pass alone
  std::vector<uint8_t> grays_;   // of pixels first_pixel_ ... done_ - 1
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
  RowSampler(const KImageT<K_RGB>& frame, const SamplingGrid& grid, const VectorKernels* vector)
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
    vector_ = vector;
    // A column costs the vector pass about a tenth of what picking it out
    // costs, so where a sixth of the columns are covered it sums them all.
    all_columns_ = vector && 6 * covered_x_.size() > static_cast<size_t>(width_);
    // Room for reading every window of a run from any column.
    if (all_columns_) column_means_.resize(static_cast<size_t>(width_) + 64);
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
      if (all_columns_) {
        const int summed = vector_->column_sums(row[0], row[1], row[2], width_, sums);
        first = static_cast<size_t>(std::lower_bound(covered_x_.begin(), covered_x_.end(), summed) -
                                    covered_x_.begin());
      }
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
      if (vector_) x = vector_->means_of_nine(sums, width_, mean);
      for (; x < last_x; ++x)
        mean[x] = static_cast<uint8_t>((sums[x - 1] + sums[x] + sums[x + 1]) / 9);
      size_t c = inside_begin_;
      if (!cell_runs_.empty()) {
        vector_->pick_cell_runs(mean, cell_runs_.data(), cell_runs_.size(), run_windows_,
                                means + c);
        c += 16 * cell_runs_.size();
      }
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
  std::vector<CellRun> cell_runs_;     // from inside_begin_ on, with all_columns_
  int run_windows_ = 0;                // windows the runs need
  const VectorKernels* vector_ = nullptr;
  bool all_columns_ = false;          // summed in a vector pass, covered or not
  size_t inside_begin_, inside_end_;  // the columns away from the frame's sides
};

// One grid's text rows, sampled bottom up while the pass over the frame
// passes them: text row r's means go to first + r * step. Text rows that
// sample the same frame row (a grid taller than the frame) are copied.
class TextRowsInPass {
 public:
  TextRowsInPass(const KImageT<K_RGB>& frame, const SamplingGrid& grid, const VectorKernels* vector,
                 uint8_t* first, ptrdiff_t step)
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

// Runs the pass over the whole frame in steps of about kPassBlockBytes of
// rows, calling after_step after each.
template <typename AfterStep>
void pass_over(const KImageT<K_RGB>& frame, int64_t* bands, const VectorKernels* vector,
               AfterStep after_step) {
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

void count_gray_bands_portable(const KImageT<K_RGB>& frame, int64_t (&bands)[8]) {
  pass_over(frame, bands, nullptr, [](const GrayPass&) {});
}

void count_gray_bands(const KImageT<K_RGB>& frame, int64_t (&bands)[8]) {
  pass_over(frame, bands, vector_kernels(), [](const GrayPass&) {});
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

  const VectorKernels* vector = vector_kernels();
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
