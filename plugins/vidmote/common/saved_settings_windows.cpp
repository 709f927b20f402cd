// The saved settings on Windows: under %APPDATA%.
#include <errno.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <windows.h>

#include "saved_settings.h"

namespace vidmote {

namespace {

std::string system_error_text(DWORD error) {
  char text[256] = "";
  if (!FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, error, 0,
                      text, sizeof text, nullptr))
    snprintf(text, sizeof text, "Windows error %lu", static_cast<unsigned long>(error));
  std::string line = text;
  while (!line.empty() && (line.back() == '\n' || line.back() == '\r' || line.back() == '.'))
    line.pop_back();
  return line;
}

}  // namespace

std::string saved_settings_path(const std::string& identity) {
  const char* appdata = getenv("APPDATA");
  if (!appdata || !appdata[0]) return "";
  return std::string(appdata) + "\\vidmote\\" + saved_file_name(identity);
}

bool read_saved_file(const std::string& path, std::string* text, std::string* why) {
  text->clear();
  FILE* file = fopen(path.c_str(), "rb");
  if (!file) {
    if (errno == ENOENT) return true;
    *why = strerror(errno);
    return false;
  }
  char buffer[4096];
  size_t n;
  while ((n = fread(buffer, 1, sizeof buffer, file)) > 0 && text->size() < 65536)
    text->append(buffer, n);
  const bool failed = ferror(file) != 0;
  fclose(file);
  if (failed) *why = "it cannot be read";
  if (text->size() >= 65536) *why = "too large for a settings file";
  return !failed && text->size() < 65536;
}

bool replace_saved_file(const std::string& path, const std::string& text, std::string* why) {
  const size_t slash = path.rfind('\\');
  if (slash == std::string::npos) {
    *why = "no folder for settings";
    return false;
  }
  const std::string folder = path.substr(0, slash);
  if (!CreateDirectoryA(folder.c_str(), nullptr) && GetLastError() != ERROR_ALREADY_EXISTS) {
    *why = system_error_text(GetLastError());
    return false;
  }
  char suffix[32];
  snprintf(suffix, sizeof suffix, ".%lu.tmp", static_cast<unsigned long>(GetCurrentProcessId()));
  const std::string temporary = path + suffix;
  FILE* file = fopen(temporary.c_str(), "wb");
  if (!file) {
    *why = strerror(errno);
    return false;
  }
  bool written = fwrite(text.data(), 1, text.size(), file) == text.size();
  written = fclose(file) == 0 && written;
  if (written && MoveFileExA(temporary.c_str(), path.c_str(),
                             MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH))
    return true;
  *why = written ? system_error_text(GetLastError()) : "it cannot be written";
  DeleteFileA(temporary.c_str());
  return false;
}

}  // namespace vidmote
