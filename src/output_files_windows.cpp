// The file layer's Windows calls.
#include <errno.h>
#include <fcntl.h>
#include <io.h>
#include <process.h>
#include <stdio.h>
#include <sys/stat.h>
#include <windows.h>

#include "output_files.h"

bool HFileExist(const char* name) {
  WIN32_FIND_DATAA found;
  HANDLE search = FindFirstFileA(name, &found);
  if (search == INVALID_HANDLE_VALUE) return false;
  FindClose(search);
  return true;
}

// fopen's "x" is not in every Windows C runtime, so the exclusive flag goes
// to the low-level open.
FILE* create_new_file(const char* name, bool text_mode) {
  const int fd = _open(name, _O_CREAT | _O_EXCL | _O_WRONLY | (text_mode ? _O_TEXT : _O_BINARY),
                       _S_IREAD | _S_IWRITE);
  FILE* file = fd < 0 ? nullptr : _fdopen(fd, text_mode ? "w" : "wb");
  if (fd >= 0 && !file) {
    const int error = errno;
    _close(fd);
    remove(name);
    errno = error;
  }
  return file;
}

bool replace_with(const char* temporary, const char* name) {
  const bool ok = MoveFileExA(temporary, name, MOVEFILE_REPLACE_EXISTING) != 0;
  if (!ok) remove(temporary);
  return ok;
}

long process_number() {
  return static_cast<long>(_getpid());
}
