// The console writer on Windows. The C runtime would hand a console one byte
// at a time, and a console of another code page than 932 would show the
// Shift_JIS bytes as junk; so a console gets each text whole, past the
// runtime, in the form its code page shows.
#include <io.h>
#include <windows.h>

#include "console_writer.h"

namespace {

const UINT kShiftJis = 932;

std::wstring to_utf16(const std::string& bytes, UINT code_page) {
  if (bytes.empty()) return std::wstring();
  const int size = static_cast<int>(bytes.size());
  const int length = MultiByteToWideChar(code_page, 0, bytes.data(), size, nullptr, 0);
  std::wstring wide(static_cast<size_t>(length > 0 ? length : 0), L'\0');
  if (length > 0) MultiByteToWideChar(code_page, 0, bytes.data(), size, &wide[0], length);
  return wide;
}

// No best-fit look-alikes: what the code page cannot hold shows as '?'.
std::string from_utf16(const std::wstring& wide, UINT code_page) {
  if (wide.empty()) return std::string();
  const int size = static_cast<int>(wide.size());
  const int length = WideCharToMultiByte(code_page, WC_NO_BEST_FIT_CHARS, wide.data(), size,
                                         nullptr, 0, "?", nullptr);
  std::string bytes(static_cast<size_t>(length > 0 ? length : 0), '\0');
  if (length > 0) {
    WideCharToMultiByte(code_page, WC_NO_BEST_FIT_CHARS, wide.data(), size, &bytes[0], length, "?",
                        nullptr);
  }
  return bytes;
}

// Writing past the C runtime, the program makes its CR LF itself.
template <typename String>
String with_crlf(const String& text) {
  String out;
  out.reserve(text.size() + 8);
  for (auto c : text) {
    if (c == '\n') out += '\r';
    out += c;
  }
  return out;
}

}  // namespace

std::string shift_jis_text(const ConsoleText& text, unsigned system_code_page) {
  std::string bytes;
  for (const TextPiece& piece : text) {
    const bool convert = piece.from_system && system_code_page != kShiftJis;
    bytes += convert ? from_utf16(to_utf16(piece.bytes, system_code_page), kShiftJis) : piece.bytes;
  }
  return bytes;
}

std::wstring utf16_text(const ConsoleText& text, unsigned system_code_page) {
  std::wstring wide;
  for (const TextPiece& piece : text)
    wide += to_utf16(piece.bytes, piece.from_system ? system_code_page : kShiftJis);
  return wide;
}

bool write_console_text(FILE* out, const ConsoleText& text) {
  const HANDLE handle = reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(out)));
  DWORD mode = 0;
  if (handle == INVALID_HANDLE_VALUE || !GetConsoleMode(handle, &mode)) {
    // A file or a pipe: the bytes the program always wrote, through the
    // runtime's buffer and its text mode.
    const std::string bytes = shift_jis_text(text, GetACP());
    return fwrite(bytes.data(), 1, bytes.size(), out) == bytes.size();
  }
  if (fflush(out) != 0) return false;  // what the runtime holds goes first
  DWORD done = 0;
  if (GetConsoleOutputCP() == kShiftJis) {
    const std::string bytes = with_crlf(shift_jis_text(text, GetACP()));
    const DWORD size = static_cast<DWORD>(bytes.size());
    return WriteFile(handle, bytes.data(), size, &done, nullptr) && done == size;
  }
  // UTF-16 rather than UTF-8 at code page 65001 too: it does not depend on
  // how a console's version counts the bytes of a UTF-8 write.
  const std::wstring wide = with_crlf(utf16_text(text, GetACP()));
  const DWORD size = static_cast<DWORD>(wide.size());
  return WriteConsoleW(handle, wide.data(), size, &done, nullptr) && done == size;
}
