#include "support/files.h"

#include <stdlib.h>
#include <string.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <system_error>

#ifdef _WIN32
#include <direct.h>
#include <io.h>
#else
#include <unistd.h>
#endif

namespace {

#ifdef _WIN32
char* mkdtemp(char* pattern) {
  return _mktemp_s(pattern, strlen(pattern) + 1) == 0 && _mkdir(pattern) == 0 ? pattern : nullptr;
}
#endif

std::string make_temp_dir(const std::string& parent) {
  const std::filesystem::path folder =
      parent.empty() ? std::filesystem::temp_directory_path() : std::filesystem::path(parent);
  std::string pattern = (folder / "scratch-XXXXXX").string();
  if (!mkdtemp(pattern.data())) throw std::runtime_error("cannot make a folder like " + pattern);
  return pattern;
}

}  // namespace

ScratchDir::ScratchDir(const std::string& parent) : path_(make_temp_dir(parent)) {}

ScratchDir::~ScratchDir() {
  // Links are removed, never followed.
  std::error_code ignored;
  std::filesystem::remove_all(path_, ignored);
}

std::vector<std::string> ScratchDir::list() const {
  return list_folder(path_);
}

std::string memory_folder() {
  return access("/dev/shm", W_OK) == 0 ? "/dev/shm" : "";
}

std::vector<std::string> list_folder(const std::string& path) {
  std::vector<std::string> names;
  std::error_code error;
  for (std::filesystem::directory_iterator entry(path, error), end; !error && entry != end;
       entry.increment(error)) {
    names.push_back(entry->path().filename().string());
  }
  std::sort(names.begin(), names.end());
  return names;
}

std::string read_file(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream bytes;
  bytes << in.rdbuf();
  return bytes.str();
}

void write_file(const std::string& path, const std::string& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  if (!out) throw std::runtime_error("cannot write " + path);
}

bool file_exists(const std::string& path) {
  return access(path.c_str(), F_OK) == 0;
}
