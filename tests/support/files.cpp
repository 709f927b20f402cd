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

Picture read_bmp(const std::string& path) {
  const std::string bytes = file_exists(path) ? read_file(path) : "";
  Picture picture;
  if (bytes.size() < 54) return picture;
  auto le32 = [&](size_t at) {
    return static_cast<int>(static_cast<uint8_t>(bytes[at]) |
                            static_cast<uint8_t>(bytes[at + 1]) << 8 |
                            static_cast<uint8_t>(bytes[at + 2]) << 16 |
                            static_cast<uint32_t>(static_cast<uint8_t>(bytes[at + 3])) << 24);
  };
  const int w = le32(18), h = le32(22);
  const size_t stride = (3 * static_cast<size_t>(w) + 3) / 4 * 4;
  if (w <= 0 || h <= 0 || bytes.size() != 54 + stride * h) return picture;
  picture.width = w;
  picture.height = h;
  for (int y = 0; y < h; ++y)
    picture.bgr.insert(picture.bgr.end(), bytes.begin() + 54 + stride * y,
                       bytes.begin() + 54 + stride * y + 3 * w);
  return picture;
}
