// Device text on Windows: the ANSI code page, consoles written in UTF-16.
#include <stdio.h>
#include <windows.h>

#include "device_text.h"

namespace vidmote {

std::wstring system_wide(const std::string& text) {
  if (text.empty()) return std::wstring();
  const int size = static_cast<int>(text.size());
  const int length = MultiByteToWideChar(CP_ACP, 0, text.data(), size, nullptr, 0);
  std::wstring wide(static_cast<size_t>(length > 0 ? length : 0), L'\0');
  if (length > 0) MultiByteToWideChar(CP_ACP, 0, text.data(), size, &wide[0], length);
  return wide;
}

std::string printable(const std::string& text) {
  std::string out = text;
  for (char& c : out) {
    if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F) c = '?';
  }
  return out;
}

void report_line(const std::string& line) {
  const HANDLE err = GetStdHandle(STD_ERROR_HANDLE);
  DWORD mode = 0;
  if (err == nullptr || err == INVALID_HANDLE_VALUE || !GetConsoleMode(err, &mode)) {
    fputs(line.c_str(), stderr);  // a file or a pipe: the runtime's text mode makes CR LF
    return;
  }
  // The runtime would hand a console one byte at a time.
  std::wstring wide;
  for (wchar_t c : system_wide(line)) {
    if (c == L'\n') wide += L'\r';
    wide += c;
  }
  fflush(stderr);
  DWORD done = 0;
  WriteConsoleW(err, wide.data(), static_cast<DWORD>(wide.size()), &done, nullptr);
}

std::string system_text(const std::wstring& text, unsigned code_page) {
  std::wstring shown = text;
  for (wchar_t& c : shown) {
    if (c < 0x20 || (c >= 0x7F && c <= 0x9F)) c = L'?';
  }
  if (shown.empty()) return std::string();
  // No best-fit look-alikes: a character the code page lacks shows as '?'.
  const int size = static_cast<int>(shown.size());
  const int length = WideCharToMultiByte(code_page, WC_NO_BEST_FIT_CHARS, shown.data(), size,
                                         nullptr, 0, "?", nullptr);
  if (length <= 0) return std::string(shown.size(), '?');
  std::string out(static_cast<size_t>(length), '\0');
  WideCharToMultiByte(code_page, WC_NO_BEST_FIT_CHARS, shown.data(), size, &out[0], length, "?",
                      nullptr);
  return out;
}

}  // namespace vidmote
