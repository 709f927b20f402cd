#include "console_report.h"

#include <string>

#include "console_writer.h"

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
  // Whole, as the texts are: a console would otherwise get it a byte at a time.
  write_console_text(out, {{std::move(text), false}});
}
