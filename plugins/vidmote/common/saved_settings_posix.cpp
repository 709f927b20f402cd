// The saved settings on POSIX systems: under $XDG_CONFIG_HOME, else
// ~/.config.
#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include "saved_settings.h"

namespace vidmote {

namespace {

// Makes the folder and those above it; false with errno set.
bool make_folders(const std::string& folder) {
  for (size_t slash = folder.find('/', 1);; slash = folder.find('/', slash + 1)) {
    const std::string part = folder.substr(0, slash);
    if (mkdir(part.c_str(), 0700) != 0 && errno != EEXIST) return false;
    if (slash == std::string::npos) break;
  }
  struct stat info;
  if (stat(folder.c_str(), &info) != 0) return false;
  if (!S_ISDIR(info.st_mode)) {
    errno = ENOTDIR;
    return false;
  }
  return true;
}

}  // namespace

std::string saved_settings_path(const std::string& identity) {
  // As XDG base directories go: a relative XDG_CONFIG_HOME is ignored.
  const char* config = getenv("XDG_CONFIG_HOME");
  std::string folder;
  if (config && config[0] == '/') {
    folder = config;
  } else {
    const char* home = getenv("HOME");
    if (!home || home[0] != '/') return "";
    folder = std::string(home) + "/.config";
  }
  return folder + "/vidmote/" + saved_file_name(identity);
}

bool read_saved_file(const std::string& path, std::string* text, std::string* why) {
  text->clear();
  FILE* file = fopen(path.c_str(), "re");
  if (!file) {
    if (errno == ENOENT) return true;
    *why = strerror(errno);
    return false;
  }
  char buffer[4096];
  size_t n;
  // A settings file is small: a huge one is no settings file.
  while ((n = fread(buffer, 1, sizeof buffer, file)) > 0 && text->size() < 65536)
    text->append(buffer, n);
  const bool failed = ferror(file) != 0;
  const int error = errno;
  fclose(file);
  if (failed) *why = strerror(error);
  if (text->size() >= 65536) *why = "too large for a settings file";
  return !failed && text->size() < 65536;
}

bool replace_saved_file(const std::string& path, const std::string& text, std::string* why) {
  const size_t slash = path.rfind('/');
  if (slash == std::string::npos || !make_folders(path.substr(0, slash))) {
    *why = strerror(errno);
    return false;
  }
  std::string temporary = path + ".XXXXXX";
  const int fd = mkostemp(&temporary[0], O_CLOEXEC);
  if (fd < 0) {
    *why = strerror(errno);
    return false;
  }
  size_t done = 0;
  while (done < text.size()) {
    const ssize_t n = write(fd, text.data() + done, text.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    done += static_cast<size_t>(n);
  }
  int error = done == text.size() ? 0 : (errno ? errno : EIO);
  if (close(fd) != 0 && !error) error = errno;
  if (!error && rename(temporary.c_str(), path.c_str()) != 0) error = errno;
  if (error) {
    unlink(temporary.c_str());
    *why = strerror(error);
    return false;
  }
  return true;
}

}  // namespace vidmote
