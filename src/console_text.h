// The console's texts, in the encoding the terminal expects.
#ifndef CONSOLE_TEXT_H
#define CONSOLE_TEXT_H

enum class TextEncoding { kUtf8, kShiftJis };

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

const ConsoleTexts& console_texts(TextEncoding encoding);

// Shift_JIS where the locale's character set is Shift_JIS or CP932 (always on
// Windows), UTF-8 otherwise. Call after setlocale(LC_CTYPE, "").
TextEncoding console_encoding();

#endif  // CONSOLE_TEXT_H
