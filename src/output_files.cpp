#include "output_files.h"

#include <errno.h>
#include <stdio.h>

#include "kimage.h"

#ifdef _WIN32
#include <fcntl.h>
#include <io.h>
#include <process.h>
#include <sys/stat.h>
#include <windows.h>
#else
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

#include "kimage.h"

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

// The same creation on both platforms: fopen's "x" is not in every Windows
// C runtime, so the exclusive flag goes to the low-level open, which also
// refuses a name taken by a folder or a link, dangling or not.
FILE* create_new_file(const char* name, bool text_mode) {
#ifdef _WIN32
  const int fd = _open(name, _O_CREAT | _O_EXCL | _O_WRONLY | (text_mode ? _O_TEXT : _O_BINARY),
                       _S_IREAD | _S_IWRITE);
  FILE* file = fd < 0 ? nullptr : _fdopen(fd, text_mode ? "w" : "wb");
  if (fd >= 0 && !file) _close(fd);
#else
  int fd = open(name, O_CREAT | O_EXCL | O_WRONLY, 0666);
  if (fd >= 0 && fd <= 2) {
    // Console texts meant for that stream would land in the file.
    const int moved = fcntl(fd, F_DUPFD, 3);
    close(fd);
    fd = moved;
  }
  FILE* file = fd < 0 ? nullptr : fdopen(fd, text_mode ? "w" : "wb");
  if (fd >= 0 && !file) close(fd);
#endif
  if (fd >= 0 && !file) {
    const int error = errno;
    remove(name);
    errno = error;
  }
  return file;
}

bool write_all(FILE* file, const void* bytes, size_t size) {
#ifdef _WIN32
  return fwrite(bytes, 1, size, file) == size;
#else
  const int fd = fileno(file);
  const char* next = static_cast<const char*>(bytes);
  while (size > 0) {
    const ssize_t written = write(fd, next, size);
    if (written < 0 && errno == EINTR) continue;
    if (written <= 0) return false;
    next += written;
    size -= static_cast<size_t>(written);
  }
  return true;
#endif
}

// The same rule as the BMP writer's own files.
bool finish_output_file(FILE* file, const char* path, bool ok) {
  return kimage_detail::finish_file(file, path, ok);
}

FILE* create_file_beside(const char* name, char (&temporary)[kFileNameSize]) {
#ifdef _WIN32
  const long process = static_cast<long>(_getpid());
#else
  const long process = static_cast<long>(getpid());
#endif
  // The process number keeps two runs apart, the count two files of one run.
  static unsigned count = 0;
  for (int attempt = 0; attempt < 100; ++attempt) {
    const int length = snprintf(temporary, kFileNameSize, "%s.%ld-%u.tmp", name, process, count++);
    if (length < 0 || length >= kFileNameSize) return nullptr;
    FILE* file = create_new_file(temporary, false);
    if (file || errno != EEXIST) return file;
  }
  return nullptr;
}

bool replace_with(const char* temporary, const char* name) {
#ifdef _WIN32
  const bool ok = MoveFileExA(temporary, name, MOVEFILE_REPLACE_EXISTING) != 0;
#else
  const bool ok = rename(temporary, name) == 0;
#endif
  if (!ok) remove(temporary);
  return ok;
}

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

CaptureFiles create_capture_files(int n) {
  CaptureFiles files;
  for (;; n = get_next_nonexistfilenum(number_after(n))) {
    files.number = n;
    if (n == kNoNumber) {
      files.bmp_name[0] = files.html_name[0] = '\0';
      files.bmp = files.html = nullptr;
      errno = ENOSPC;
      return files;
    }
    format_output_names(n, files.bmp_name, files.html_name);
    files.bmp = create_new_file(files.bmp_name, false);
    bool taken = !files.bmp && errno == EEXIST;
    files.html = taken ? nullptr : create_new_file(files.html_name, true);
    taken = taken || (!files.html && errno == EEXIST);
    if (!taken) return files;
    if (files.bmp) {
      fclose(files.bmp);
      remove(files.bmp_name);
    }
  }
}
