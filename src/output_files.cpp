#include "output_files.h"

#include <errno.h>

void format_output_names(int n, char (&bmp_name)[kFileNameSize], char (&html_name)[kFileNameSize]) {
  snprintf(bmp_name, kFileNameSize, "R%05d.bmp", n);
  snprintf(html_name, kFileNameSize, "R%05d.html", n);
}

int get_next_nonexistfilenum(int n) {
  char bmp_name[kFileNameSize];
  char html_name[kFileNameSize];
  for (; n != kNoNumber; n = number_after(n)) {
    format_output_names(n, bmp_name, html_name);
    if (!HFileExist(bmp_name) && !HFileExist(html_name)) return n;
  }
  return kNoNumber;
}

CaptureFiles CaptureFiles::numbered(int n) {
  CaptureFiles files;
  for (;; n = get_next_nonexistfilenum(number_after(n))) {
    files.number_ = n;
    if (n == kNoNumber) {
      files.bmp_name_[0] = files.html_name_[0] = '\0';
      errno = ENOSPC;
      return files;
    }
    format_output_names(n, files.bmp_name_, files.html_name_);
    files.bmp_ = create_new_file(files.bmp_name_, false);
    bool taken = !files.bmp_ && errno == EEXIST;
    files.html_ = taken ? nullptr : create_new_file(files.html_name_, true);
    taken = taken || (!files.html_ && errno == EEXIST);
    if (!taken) return files;
    if (files.bmp_) {
      fclose(files.bmp_);
      files.bmp_ = nullptr;
      remove(files.bmp_name_);
    }
  }
}

CaptureFiles::CaptureFiles(const char* bmp_name, const char* html_name) {
  snprintf(bmp_name_, sizeof bmp_name_, "%s", bmp_name);
  snprintf(html_name_, sizeof html_name_, "%s", html_name);
  bmp_ = fopen(bmp_name_, "wb");
  html_ = fopen(html_name_, "w");
}

CaptureFiles::CaptureFiles(CaptureFiles&& other) noexcept
    : number_(other.number_), bmp_(other.bmp_), html_(other.html_) {
  memcpy(bmp_name_, other.bmp_name_, sizeof bmp_name_);
  memcpy(html_name_, other.html_name_, sizeof html_name_);
  other.bmp_ = other.html_ = nullptr;
}

CaptureFiles::~CaptureFiles() {
  finish_bmp(false);
  finish_html(false);
}

bool CaptureFiles::finish(FILE*& file, const char* name, bool written) {
  if (!file) return false;
  const bool ok = finish_output_file(file, name, written);
  file = nullptr;
  return ok;
}

FILE* create_file_beside(const char* name, char (&temporary)[kFileNameSize]) {
  // The process number keeps two runs apart, the count two files of one run.
  static unsigned count = 0;
  const long process = process_number();
  for (int attempt = 0; attempt < 100; ++attempt) {
    const int length = snprintf(temporary, kFileNameSize, "%s.%ld-%u.tmp", name, process, count++);
    if (length < 0 || length >= kFileNameSize) return nullptr;
    FILE* file = create_new_file(temporary, false);
    if (file || errno != EEXIST) return file;
  }
  return nullptr;
}
