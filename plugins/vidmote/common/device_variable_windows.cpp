// VIDMOTE_DEVICE on Windows: the UTF-16 value itself, not the C runtime's
// copy, which holds only what the ANSI code page can.
#include <windows.h>

#include "device_variable.h"

namespace vidmote {

DeviceName device_variable() {
  const DWORD size = GetEnvironmentVariableW(L"VIDMOTE_DEVICE", nullptr, 0);
  if (size <= 1) return std::wstring();
  std::wstring value(size, L'\0');
  const DWORD length = GetEnvironmentVariableW(L"VIDMOTE_DEVICE", &value[0], size);
  value.resize(length < size ? length : 0);
  return value;
}

}  // namespace vidmote
