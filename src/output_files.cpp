#include "output_files.h"

#include <ctype.h>
#include <stdio.h>

#ifdef _WIN32
#include <windows.h>
#else
#include <sys/stat.h>
#endif

bool HFileExist(const char* name) {
#ifdef _WIN32
  WIN32_FIND_DATAA found;
  HANDLE search = FindFirstFileA(name, &found);
  if (search == INVALID_HANDLE_VALUE) return false;
  FindClose(search);
  return true;
#else
  struct stat info;
  return lstat(name, &info) == 0;
#endif
}

void format_output_names(int n, char (&bmp_name)[kFileNameSize], char (&html_name)[kFileNameSize]) {
  snprintf(bmp_name, kFileNameSize, "R%05d.bmp", n);
  snprintf(html_name, kFileNameSize, "R%05d.html", n);
}

int get_next_nonexistfilenum(int n) {
  char bmp_name[kFileNameSize];
  char html_name[kFileNameSize];
  for (;; ++n) {
    format_output_names(n, bmp_name, html_name);
    if (!HFileExist(bmp_name) && !HFileExist(html_name)) return n;
  }
}

bool parse_html_width(const char* answer, int32_t* width) {
  const unsigned char* p = reinterpret_cast<const unsigned char*>(answer);
  while (isspace(*p)) ++p;
  bool negative = false;
  if (*p == '+' || *p == '-') negative = (*p++ == '-');
  if (!isdigit(*p)) return false;
  int64_t value = 0;
  for (; isdigit(*p); ++p) {
    value = value * 10 + (*p - '0');
    if (value > INT64_C(0x80000000)) return false;  // beyond 32 bits either way
  }
  if (negative) value = -value;
  if (value == 0 || value > kMaxHtmlWidth || value < INT32_MIN) return false;
  *width = static_cast<int32_t>(value);
  return true;
}
