// The console's texts, in the encoding the terminal expects.
#ifndef CONSOLE_TEXT_H
#define CONSOLE_TEXT_H

struct ConsoleTexts {
  const char* dll_open_failed;  // one %s: the plug-in file name
  const char* dll_init_failed;
  const char* dll_name;    // one %s: the plug-in's name
  const char* resolution;  // %d x %d
  const char* width_question;
  const char* width_error;
  const char* command_prompt;
  const char* capture_failed;
  const char* file_output_failed;
};

// The texts in the locale's character set: Shift_JIS where it is Shift_JIS
// or CP932 (always on Windows), UTF-8 where it is UTF-8 or ASCII, and
// converted with iconv to any other (EUC-JP, say), or UTF-8 where the texts
// cannot be written in it. Call after setlocale(LC_CTYPE, "").
const ConsoleTexts& locale_console_texts();

#endif  // CONSOLE_TEXT_H
