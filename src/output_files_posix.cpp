// The file layer's POSIX calls.
#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>

#include "output_files.h"

bool HFileExist(const char* name) {
  struct stat info;
  return lstat(name, &info) == 0;
}

// The exclusive flag refuses a name taken by a folder or a link, dangling
// or not.
FILE* create_new_file(const char* name, bool text_mode) {
  int fd = open(name, O_CREAT | O_EXCL | O_WRONLY, 0666);
  if (fd >= 0 && fd <= 2) {
    // Console texts meant for that stream would land in the file.
    const int moved = fcntl(fd, F_DUPFD, 3);
    close(fd);
    fd = moved;
  }
  FILE* file = fd < 0 ? nullptr : fdopen(fd, text_mode ? "w" : "wb");
  if (fd >= 0 && !file) {
    const int error = errno;
    close(fd);
    remove(name);
    errno = error;
  }
  return file;
}

bool replace_with(const char* temporary, const char* name) {
  const bool ok = rename(temporary, name) == 0;
  if (!ok) remove(temporary);
  return ok;
}

long process_number() {
  return static_cast<long>(getpid());
}
