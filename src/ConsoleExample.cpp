// Camera capture console: loads the camera plug-in, then captures still
// frames on Enter, opens the plug-in's settings on S and quits on Q.
#include <locale.h>
#include <stdint.h>
#include <stdio.h>

#include "capture_outputs.h"
#include "console_text.h"
#include "kimage.h"
#include "lensora_plugin.h"
#include "output_files.h"

namespace {

#ifdef _WIN32
const char kPlugInFile[] = "Vidmote.dll";
#else
const char kPlugInFile[] = "libvidmote.so";
#endif

const int kFailureStatus = -1;

// After the settings dialog the rest of the typed line is dropped, so the
// Enter that ended the command does not start a capture.
void drop_rest_of_line() {
  int c;
  do {
    c = getchar();
  } while (c != '\n' && c != EOF);
}

}  // namespace

int main() {
  setlocale(LC_CTYPE, "");
  const ConsoleTexts& text = console_texts(console_encoding());

  LensoraPlugIn plugin;
  if (!plugin.Open(kPlugInFile)) {
    printf(text.dll_open_failed, plugin.path.c_str());
    return kFailureStatus;
  }
  if (!plugin.OnInit(nullptr)) {
    fputs(text.dll_init_failed, stdout);
    return kFailureStatus;
  }
  printf(text.dll_name, plugin.name.c_str());

  plugin.SetResolution(640, 480);
  int32_t width = 0, height = 0;
  plugin.GetResolution(&width, &height);
  printf(text.resolution, static_cast<int>(width), static_cast<int>(height));

  fputs(text.width_question, stdout);
  fflush(stdout);
  char line[1024];
  int32_t html_width = 0;
  if (!fgets(line, sizeof line, stdin) || !parse_html_width(line, &html_width)) {
    fputs(text.width_error, stdout);
    return kFailureStatus;
  }

  // Kept from one capture to the next, so their memory is reused.
  KImageT<K_RGB> capture;
  KImageT<K_RGB> gray_preview;
  for (int n = 0;; ++n) {
    n = get_next_nonexistfilenum(n);
    fputs(text.command_prompt, stdout);
    fflush(stdout);
    int command = getchar();
    if (command == EOF || command == 'q' || command == 'Q') return 0;
    if (command == 's' || command == 'S') {
      plugin.DoModalOptionDlg();
      drop_rest_of_line();
      continue;
    }

    if (!plugin.Capture(capture)) {
      fputs(text.capture_failed, stdout);
      return kFailureStatus;
    }

    char bmp_name[kFileNameSize];
    char html_name[kFileNameSize];
    format_output_names(n, bmp_name, html_name);
    write_capture_outputs(capture, html_width, {bmp_name, html_name, "g.bmp"}, stdout,
                          text.file_output_failed, gray_preview);
  }
}
