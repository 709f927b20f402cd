// The terminal the settings dialog talks on: the controlling terminal on
// POSIX systems, the console on Windows, whatever standard input and output
// are redirected to. The only part of the dialog that differs by system.
#ifndef VIDMOTE_DIALOG_TERMINAL_H
#define VIDMOTE_DIALOG_TERMINAL_H

#include <stddef.h>
#include <stdint.h>

namespace vidmote {

class TerminalDevice {
 public:
  TerminalDevice();
  ~TerminalDevice();
  TerminalDevice(const TerminalDevice&) = delete;  // closed once
  TerminalDevice& operator=(const TerminalDevice&) = delete;

  bool is_open() const;
  // Move up to size bytes and return how many, 0 or less at the end of
  // input or on an error.
  long write_some(const char* data, size_t size);
  long read_some(char* buffer, size_t size);

 private:
  // The system's handles for input and output (one descriptor for both on
  // POSIX systems); -1 when not open.
  intptr_t in_ = -1;
  intptr_t out_ = -1;
};

}  // namespace vidmote

#endif  // VIDMOTE_DIALOG_TERMINAL_H
