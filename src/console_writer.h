// Writing the console's texts: each one whole, in one write, so that no
// character is split between writes and a prompt is out before the program
// waits. On Windows also in the characters the console shows.
#ifndef CONSOLE_WRITER_H
#define CONSOLE_WRITER_H

#include <stdio.h>

#include <string>
#include <vector>

// A piece of a console text: the program's own characters, in the texts'
// encoding (console_text.h), or a string from the system (the plug-in's name
// or file), in the system's narrow encoding: the ANSI code page on Windows.
// Each piece is kept apart so that each is converted from its own encoding.
struct TextPiece {
  std::string bytes;
  bool from_system;
};
using ConsoleText = std::vector<TextPiece>;

// `text`, one of the console's texts, with `system_string` in place of its %s.
ConsoleText with_system_string(const char* text, const std::string& system_string);

// Writes `text` to `out` in one write; false when it could not be written.
// On Windows: to a console whose output code page is 932, and to anything
// that is not a console, the Shift_JIS bytes; to any other console the
// characters as UTF-16 (WriteConsoleW), whatever its code page, 65001
// included. Line ends are CR LF there, as the C runtime's text mode makes them.
bool write_console_text(FILE* out, const ConsoleText& text);

#ifdef _WIN32
// The text as Shift_JIS bytes, its system strings converted from
// `system_code_page` where that is not 932; characters Shift_JIS cannot hold
// become '?'.
std::string shift_jis_text(const ConsoleText& text, unsigned system_code_page);
// The text as UTF-16, each piece converted from its own code page.
std::wstring utf16_text(const ConsoleText& text, unsigned system_code_page);
#endif

#endif  // CONSOLE_WRITER_H
