// Camera capture console: loads the camera plug-in, then captures still
// frames on Enter, opens the plug-in's settings on S and quits on Q.
#include <locale.h>
#include <stdio.h>
#include <string.h>

#ifndef _WIN32
#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#endif

#include "capture_console.h"
#include "held_signals.h"

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

const char kUsage[] =
    "Usage: ConsoleExample\n"
    "Takes still pictures through the camera plug-in %s and keeps each\n"
    "one in the current folder as Rnnnnn.bmp (the frame), Rnnnnn.html (ASCII\n"
    "art) and g.bmp (its gray preview), with a brightness histogram and a\n"
    "preview on the console.\n"
    "\n"
    "It asks once for the width of the page in characters (1 to 10000), then\n"
    "reads commands from standard input, where every character of a line is a\n"
    "command (\"x\" then Enter captures twice):\n"
    "  Enter    capture a frame (so does any other key)\n"
    "  s        the plug-in's settings dialog; the rest of its line is ignored\n"
    "  q        quit (so does the end of the input)\n"
    "\n"
    "The default plug-in uses the first camera that opens, else its test card;\n"
    "VIDMOTE_DEVICE names the camera (a device path) or test-card, and\n"
    "VIDMOTE_SIZE, _FORMAT, _SETTLE, _CONTROLS and _IDLE set it up for scripts.\n"
    "When the plug-in cannot be opened, plugin-check on its file says why.\n"
    "\n"
    "  --help     show this help and exit\n"
    "  --version  show the version and exit\n";

// --help or --version alone answers and ends the run; any other arguments
// are ignored, as the program takes none for its work.
bool answered_option(int argc, char** argv) {
  if (argc != 2) return false;
  if (strcmp(argv[1], "--help") == 0) {
    printf(kUsage, kPlugInFile);
  } else if (strcmp(argv[1], "--version") == 0) {
    puts("ConsoleExample " CAPTURE_CONSOLE_VERSION);
  } else {
    return false;
  }
  return true;
}

}  // namespace

int main(int argc, char** argv) {
#ifndef _WIN32
  open_closed_standard_streams();
  // A closed pipe on the console fails its writes instead of killing the
  // program between creating a capture's files and writing them.
  signal(SIGPIPE, SIG_IGN);
#endif
  install_signal_handlers();
  if (answered_option(argc, argv)) return fflush(stdout) == 0 && !ferror(stdout) ? 0 : 1;
  setlocale(LC_CTYPE, "");
  return run_capture_console(stdin, stdout, kPlugInFile);
}
