// Text that comes from a device (USB descriptors: names of cameras, controls
// and menu items) made safe to show on a terminal.
#ifndef VIDMOTE_DEVICE_TEXT_H
#define VIDMOTE_DEVICE_TEXT_H

#include <string>

namespace vidmote {

// The text with every control character (C0, DEL, C1) and every byte that is
// not part of valid UTF-8 replaced by '?', so no escape sequence survives.
// On Windows, where device text is in the ANSI code page (system_text), only
// C0 and DEL bytes are replaced: there every byte from 0x80 up belongs to a
// character.
std::string printable(const std::string& text);

// Writes one line of diagnostics (its device text made printable already) to
// standard error in one write. On Windows a console gets it as UTF-16 from
// the ANSI code page, so that a camera's name shows whatever the console's
// code page.
void report_line(const std::string& line);

#ifdef _WIN32
// Text from a Windows interface (UTF-16) in `code_page`: CP_ACP, the system's
// ANSI code page, for names the host gets. Control characters and characters
// the code page cannot hold become '?'.
std::string system_text(const std::wstring& text, unsigned code_page);
// Text in the ANSI code page (device text, ASCII) as UTF-16, for a console.
std::wstring system_wide(const std::string& text);
#endif

}  // namespace vidmote

#endif  // VIDMOTE_DEVICE_TEXT_H
