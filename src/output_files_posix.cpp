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

namespace {

// While one lives, each standard stream that is closed is held open on
// /dev/null, so a file opened meanwhile cannot take its number, not even for
// a moment: a thread of the plug-in writing to that stream then would write
// into the file. Its end closes them again: each stays as closed as it was.
class ClosedStreamsHeld {
 public:
  ClosedStreamsHeld() {
    for (int fd = 0; fd <= 2; ++fd) {
      if (fcntl(fd, F_GETFD) != -1 || errno != EBADF) continue;
      const int held = open("/dev/null", O_RDWR | O_CLOEXEC);  // the lowest free number: fd
      if (held > 2)
        close(held);
      else if (held >= 0)
        held_[count_++] = held;
    }
  }
  ~ClosedStreamsHeld() {
    const int error = errno;
    for (int i = 0; i < count_; ++i) close(held_[i]);
    errno = error;
  }
  ClosedStreamsHeld(const ClosedStreamsHeld&) = delete;
  ClosedStreamsHeld& operator=(const ClosedStreamsHeld&) = delete;

 private:
  int held_[3] = {};
  int count_ = 0;
};

}  // namespace

// The exclusive flag refuses a name taken by a folder or a link, dangling
// or not.
FILE* create_new_file(const char* name, bool text_mode) {
  int fd = -1;
  {
    // Console texts meant for a standard stream would land in the file.
    const ClosedStreamsHeld held;
    fd = open(name, O_CREAT | O_EXCL | O_WRONLY, 0666);
  }
  if (fd >= 0 && fd <= 2) {  // /dev/null could not be opened to hold it
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
