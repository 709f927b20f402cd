#include "capture_console.h"

#include <ctype.h>
#include <stdint.h>

#include "capture_outputs.h"
#include "console_text.h"
#include "console_writer.h"
#include "held_signals.h"
#include "html_page.h"
#include "kimage.h"
#include "lensora_plugin.h"
#include "output_files.h"

namespace {

const int kFailureStatus = -1;

// After the settings dialog the rest of the typed line is dropped, so the
// Enter that ended the command does not start a capture.
void drop_rest_of_line(FILE* in) {
  int c;
  do {
    c = getc(in);
  } while (c != '\n' && c != EOF);
}

// The answer to the width question: its leading decimal integer, read the
// way atoi does (leading white space, optional sign, digits). False for an
// answer without digits, for 0, for a number outside 32 bits and for one
// above kMaxHtmlWidth.
bool parse_html_width(const char* answer, int32_t* width) {
  const unsigned char* p = reinterpret_cast<const unsigned char*>(answer);
  while (isspace(*p)) ++p;
  bool negative = false;
  if (*p == '+' || *p == '-') negative = (*p++ == '-');
  if (!isdigit(*p)) return false;
  int64_t value = 0;
  for (; isdigit(*p); ++p) {
    value = value * 10 + (*p - '0');
    if (value > INT64_C(0x80000000)) return false;  // beyond 32 bits either way
  }
  if (negative) value = -value;
  if (value == 0 || value > kMaxHtmlWidth || value < INT32_MIN) return false;
  *width = static_cast<int32_t>(value);
  return true;
}

// The console's texts, each written whole.
class Console {
 public:
  explicit Console(FILE* out) : out_(out) {}
  void write(const ConsoleText& text) {
    if (!write_console_text(out_, text)) failed_ = true;
  }
  void write(const char* text) { write(ConsoleText{{text, false}}); }
  // Flushes; false once any text could not be written (a full device, a
  // closed pipe).
  bool written() { return fflush(out_) == 0 && !ferror(out_) && !failed_; }

 private:
  FILE* out_;
  bool failed_ = false;
};

}  // namespace

int run_capture_console(FILE* in, FILE* out, const char* plugin_file) {
  const ConsoleTexts& text = locale_console_texts();
  Console console(out);

  LensoraPlugIn plugin;
  if (!plugin.Open(plugin_file)) {
    console.write(with_system_string(text.dll_open_failed, plugin.path));
    return kFailureStatus;
  }
  if (!plugin.OnInit(nullptr)) {
    console.write(text.dll_init_failed);
    return kFailureStatus;
  }
  console.write(with_system_string(text.dll_name, plugin.name));

  plugin.SetResolution(640, 480);
  int32_t width = 0, height = 0;
  plugin.GetResolution(&width, &height);
  char resolution[128];
  snprintf(resolution, sizeof resolution, text.resolution, static_cast<int>(width),
           static_cast<int>(height));
  console.write(resolution);

  // A console that cannot be written ends the run at its next question or
  // prompt, so a capture in hand still completes its files.
  console.write(text.width_question);
  if (!console.written()) return kFailureStatus;
  char line[1024];
  int32_t html_width = 0;
  if (!fgets(line, sizeof line, in) || !parse_html_width(line, &html_width)) {
    console.write(text.width_error);
    return kFailureStatus;
  }

  // Kept from one capture to the next, so their memory is reused.
  KImageT<K_RGB> capture;
  RenderMemory render_memory;
  for (int n = 0;; n = number_after(n)) {
    n = get_next_nonexistfilenum(n);
    console.write(text.command_prompt);
    if (!console.written()) return kFailureStatus;
    int command = getc(in);
    if (command == EOF || command == 'q' || command == 'Q') return 0;
    if (command == 's' || command == 'S') {
      plugin.DoModalOptionDlg();
      drop_rest_of_line(in);
      continue;
    }

    if (!plugin.Capture(capture)) {
      console.write(text.capture_failed);
      return kFailureStatus;
    }

    // A signal now waits until the capture's files are complete.
    const HeldSignals held;
    CaptureFiles files = CaptureFiles::numbered(n);
    n = files.number();
    write_capture_outputs(capture, html_width, files, "g.bmp", out, text.file_output_failed,
                          render_memory);
  }
}
