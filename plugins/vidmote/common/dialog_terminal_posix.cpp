// The dialog's terminal on POSIX systems: /dev/tty.
#include <errno.h>
#include <fcntl.h>
#include <unistd.h>

#include "dialog_terminal.h"

namespace vidmote {

TerminalDevice::TerminalDevice() {
  in_ = out_ = ::open("/dev/tty", O_RDWR | O_NOCTTY | O_CLOEXEC);
}

TerminalDevice::~TerminalDevice() {
  if (in_ >= 0) ::close(static_cast<int>(in_));
}

bool TerminalDevice::is_open() const {
  return in_ >= 0;
}

long TerminalDevice::write_some(const char* data, size_t size) {
  ssize_t n;
  do n = ::write(static_cast<int>(out_), data, size);
  while (n < 0 && errno == EINTR);
  return n;
}

long TerminalDevice::read_some(char* buffer, size_t size) {
  ssize_t n;
  do n = ::read(static_cast<int>(in_), buffer, size);
  while (n < 0 && errno == EINTR);
  return n;
}

}  // namespace vidmote
