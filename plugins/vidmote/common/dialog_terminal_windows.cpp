// The dialog's terminal on Windows: the console's own input and screen
// buffers.
#include <windows.h>

#include <string>

#include "device_text.h"
#include "dialog_terminal.h"

namespace vidmote {

namespace {

HANDLE open_console(const char* name) {
  return CreateFileA(name, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                     nullptr, OPEN_EXISTING, 0, nullptr);
}

HANDLE handle(intptr_t value) {
  return reinterpret_cast<HANDLE>(value);
}

}  // namespace

TerminalDevice::TerminalDevice()
    : in_(reinterpret_cast<intptr_t>(open_console("CONIN$"))),
      out_(reinterpret_cast<intptr_t>(open_console("CONOUT$"))) {}

TerminalDevice::~TerminalDevice() {
  if (handle(in_) != INVALID_HANDLE_VALUE) CloseHandle(handle(in_));
  if (handle(out_) != INVALID_HANDLE_VALUE) CloseHandle(handle(out_));
}

bool TerminalDevice::is_open() const {
  return handle(in_) != INVALID_HANDLE_VALUE && handle(out_) != INVALID_HANDLE_VALUE;
}

// The text (ASCII and names in the ANSI code page) as UTF-16, so that it
// shows on a console of any code page; all of it or nothing.
long TerminalDevice::write_some(const char* data, size_t size) {
  const std::wstring wide = system_wide(std::string(data, size));
  const DWORD length = static_cast<DWORD>(wide.size());
  DWORD done = 0;
  return WriteConsoleW(handle(out_), wide.data(), length, &done, nullptr) && done == length
             ? static_cast<long>(size)
             : -1;
}

long TerminalDevice::read_some(char* buffer, size_t size) {
  DWORD done = 0;
  return ReadFile(handle(in_), buffer, static_cast<DWORD>(size), &done, nullptr)
             ? static_cast<long>(done)
             : -1;
}

}  // namespace vidmote
