// Device text on POSIX systems: UTF-8, made safe for a terminal.
#include <stdio.h>

#include "device_text.h"

namespace vidmote {

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

}  // namespace vidmote
