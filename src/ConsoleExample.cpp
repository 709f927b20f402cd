// Camera capture console: loads the camera plug-in, then captures still
// frames on Enter, opens the plug-in's settings on S and quits on Q.
#include <locale.h>
#include <stdio.h>

#ifndef _WIN32
#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#endif

#include "capture_console.h"

namespace {

#ifdef _WIN32
const char kPlugInFile[] = "Vidmote.dll";
#else
const char kPlugInFile[] = "libvidmote.so";

// A standard stream closed at start-up would lend its number to the next
// file opened (the plug-in's camera, an output file), and console reads or
// writes would reach that file. Each closed one is opened on /dev/null.
void open_closed_standard_streams() {
  for (int fd = 0; fd <= 2; ++fd) {
    if (fcntl(fd, F_GETFD) == -1 && errno == EBADF) {
      open("/dev/null", fd == 0 ? O_RDONLY : O_WRONLY);  // takes the lowest free number: fd
    }
  }
}
#endif

}  // namespace

int main() {
#ifndef _WIN32
  open_closed_standard_streams();
  // A closed pipe on the console fails its writes instead of killing the
  // program between creating a capture's files and writing them.
  signal(SIGPIPE, SIG_IGN);
#endif
  setlocale(LC_CTYPE, "");
  return run_capture_console(stdin, stdout, kPlugInFile);
}
