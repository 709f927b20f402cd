// Expected texts in the character sets other than UTF-8 that the program
// writes in (a locale's, Windows' Shift_JIS).
#ifndef SUPPORT_CHARSETS_H
#define SUPPORT_CHARSETS_H

#include <string>

// The same characters in another character set (iconv's name); throws for
// text it cannot convert.
std::string to_charset(const std::string& utf8, const char* charset);
inline std::string to_shift_jis(const std::string& utf8) {
  return to_charset(utf8, "SHIFT_JIS");
}

#endif  // SUPPORT_CHARSETS_H
