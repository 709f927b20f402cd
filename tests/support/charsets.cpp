#include "support/charsets.h"

#include <iconv.h>

#include <stdexcept>

std::string to_charset(const std::string& utf8, const char* charset) {
  iconv_t cd = iconv_open(charset, "UTF-8");
  if (cd == reinterpret_cast<iconv_t>(-1))
    throw std::runtime_error(std::string("no converter to ") + charset);
  std::string in = utf8, out(utf8.size() * 2, '\0');
  char* src = in.data();
  char* dst = out.data();
  size_t src_left = in.size(), dst_left = out.size();
  const size_t converted = iconv(cd, &src, &src_left, &dst, &dst_left);
  iconv_close(cd);
  if (converted == static_cast<size_t>(-1))
    throw std::runtime_error(std::string("not ") + charset + ": " + utf8);
  out.resize(out.size() - dst_left);
  return out;
}
