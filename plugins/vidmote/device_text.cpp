#include "device_text.h"

#include <stdio.h>

#ifdef _WIN32
#include <windows.h>
#endif

namespace vidmote {

#ifdef _WIN32
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
#else
namespace {

// Bytes of the UTF-8 sequence starting at text[at] that is whole, valid and
// no control character; 0 if there is none.
size_t printable_sequence(const std::string& text, size_t at) {
  const unsigned char lead = static_cast<unsigned char>(text[at]);
  if (lead >= 0x20 && lead < 0x7F) return 1;
  size_t length = 0;
  unsigned char low = 0x80, high = 0xBF;  // the range of the second byte
  if (lead >= 0xC2 && lead <= 0xDF) {
    length = 2;
    if (lead == 0xC2) low = 0xA0;  // U+0080 to U+009F: the C1 controls
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    length = 3;
    if (lead == 0xE0) low = 0xA0;   // no overlong forms
    if (lead == 0xED) high = 0x9F;  // no surrogates
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    length = 4;
    if (lead == 0xF0) low = 0x90;
    if (lead == 0xF4) high = 0x8F;  // nothing above U+10FFFF
  } else {
    return 0;
  }
  if (at + length > text.size()) return 0;
  for (size_t i = 1; i < length; ++i) {
    const unsigned char c = static_cast<unsigned char>(text[at + i]);
    if (c < (i == 1 ? low : 0x80) || c > (i == 1 ? high : 0xBF)) return 0;
  }
  return length;
}

}  // namespace

std::string printable(const std::string& text) {
  std::string out;
  out.reserve(text.size());
  for (size_t at = 0; at < text.size();) {
    const size_t length = printable_sequence(text, at);
    if (length == 0) {
      out += '?';
      ++at;
    } else {
      out.append(text, at, length);
      at += length;
    }
  }
  return out;
}

void report_line(const std::string& line) {
  fputs(line.c_str(), stderr);
}
#endif

}  // namespace vidmote
