// libFuzzer target: the whole console, in-process, driven by arbitrary
// standard input against the fakecam test plug-in serving 100 x 4 frames.
// The outcome is checked against a plain model of the commands: the status,
// the prompts, and every numbered file whole with the frame it belongs to.
#include <dlfcn.h>
#include <fcntl.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <memory>
#include <string>
#include <vector>

#include "capture_console.h"
#include "support/console_texts.h"
#include "support/files.h"

namespace {

const int kWidth = 100, kHeight = 4;
const char kOpening[] = "<html><body><font size=\"-3\"><pre>";
const char kClosing[] = "</pre></font></body></html>";
// Inputs whose captures would render more page cells than this are skipped:
// they only make runs slow.
const int64_t kMaxCells = 500000;

// Removed when the fuzzer exits.
std::unique_ptr<ScratchDir> g_scratch;
int g_start_folder = -1;

void check(bool condition, const char* what) {
  if (!condition) {
    fprintf(stderr, "console fault: %s\n", what);
    abort();
  }
}

// What the run must do with this input.
struct Expected {
  bool width_ok = false;
  int64_t width = 0;
  std::vector<int> capture_numbers;  // the number each capture gets, in order
  int prompts = 0;
};

Expected model(const uint8_t* data, size_t size) {
  Expected e;
  // The width line: up to 1023 bytes, through its line feed.
  size_t at = 0;
  while (at < size && at < 1023 && data[at++] != '\n') {
  }
  if (at == 0) return e;
  size_t p = 0;
  while (p < at && (data[p] == ' ' || (data[p] >= '\t' && data[p] <= '\r'))) ++p;
  bool negative = false;
  if (p < at && (data[p] == '+' || data[p] == '-')) negative = data[p++] == '-';
  if (p == at || data[p] < '0' || data[p] > '9') return e;
  int64_t value = 0;
  for (; p < at && data[p] >= '0' && data[p] <= '9' && value <= INT64_C(1) << 32; ++p) {
    value = value * 10 + (data[p] - '0');
  }
  if (negative) value = -value;
  if (value == 0 || value > 10000 || value < INT32_MIN) return e;
  e.width_ok = true;
  e.width = value;
  for (int n = 0;; ++n) {
    ++e.prompts;
    if (at == size || data[at] == 'q' || data[at] == 'Q') return e;
    if (data[at] == 's' || data[at] == 'S') {
      while (at < size && data[at++] != '\n') {
      }
      continue;
    }
    ++at;
    e.capture_numbers.push_back(n);
  }
}

size_t count(const std::string& text, const std::string& what) {
  size_t found = 0;
  for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++found;
  return found;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  setenv("FAKECAM_SIZE", "100 4", 1);
  // Kept loaded, so the host's loads and unloads do not make a new copy of
  // the plug-in (and of its coverage) at every input.
  check(dlopen(FAKECAM_PATH, RTLD_NOW | RTLD_LOCAL) != nullptr, "fakecam cannot be loaded");
  g_scratch = std::make_unique<ScratchDir>(memory_folder());
  g_start_folder = open(".", O_RDONLY | O_DIRECTORY);
  check(g_start_folder >= 0, "no start folder");
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const Expected expected = model(data, size);
  const int64_t rows = expected.width > 0 ? int64_t{kHeight} * expected.width / kWidth / 2 : 0;
  if (int64_t(expected.capture_numbers.size()) * rows * expected.width > kMaxCells) return 0;
  // The run works in the scratch folder; between inputs the fuzzer is back
  // where it started, so its own relative paths keep working.
  check(chdir(g_scratch->path().c_str()) == 0, "cannot enter the scratch folder");
  for (const std::string& name : list_folder(".")) remove(name.c_str());

  FILE* in = size ? fmemopen(const_cast<uint8_t*>(data), size, "rb") : fopen("/dev/null", "rb");
  char* text = nullptr;
  size_t length = 0;
  FILE* out = open_memstream(&text, &length);
  const int status = run_capture_console(in, out, FAKECAM_PATH);
  fclose(in);
  fclose(out);
  const std::string console(text, length);
  free(text);

  check(status == (expected.width_ok ? 0 : -1), "status");
  const std::string start = plugin_name_line("FakeCam");
  check(console.compare(0, start.size(), start) == 0, "start-up texts");
  check(count(console, kPrompt) == static_cast<size_t>(expected.prompts), "one prompt per command");
  if (!expected.width_ok) {
    check(console.size() > kWidthError.size() &&
              console.compare(console.size() - kWidthError.size(), kWidthError.size(),
                              kWidthError) == 0,
          "width error");
  }

  // Exactly the numbered pairs of the captures, and g.bmp after any.
  const size_t captures = expected.capture_numbers.size();
  check(list_folder(".").size() == (captures ? 2 * captures + 1 : 0), "one pair per capture");
  for (size_t k = 0; k < captures; ++k) {
    char bmp_name[32], html_name[32];
    snprintf(bmp_name, sizeof bmp_name, "R%05d.bmp", expected.capture_numbers[k]);
    snprintf(html_name, sizeof html_name, "R%05d.html", expected.capture_numbers[k]);
    const std::string bmp = read_file(bmp_name);
    check(bmp.size() == 54 + 3 * kWidth * kHeight, "frame BMP size");
    for (size_t i = 0; i < 3 * kWidth * kHeight; ++i) {
      check(static_cast<uint8_t>(bmp[54 + i]) == ((i + 7 * k) & 255), "the frame of that capture");
    }
    const std::string page = read_file(html_name);
    check(page.compare(0, strlen(kOpening), kOpening) == 0 &&
              page.size() >= strlen(kOpening) + strlen(kClosing) &&
              page.compare(page.size() - strlen(kClosing), strlen(kClosing), kClosing) == 0,
          "page markup");
    check(count(page, "\n") == static_cast<size_t>(rows), "page rows");
  }
  check(fchdir(g_start_folder) == 0, "cannot return to the start folder");
  return 0;
}
