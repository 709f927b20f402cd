// The console writer on POSIX: the texts are in the locale's character set
// already, and so are the system's strings.
#include "console_writer.h"

bool write_console_text(FILE* out, const ConsoleText& text) {
  std::string bytes;
  for (const TextPiece& piece : text) bytes += piece.bytes;
  return fwrite(bytes.data(), 1, bytes.size(), out) == bytes.size();
}
