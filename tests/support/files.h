// Scratch folders and whole-file reads and writes for the tests. Built for
// Windows too, for the host tests run under wine.
#ifndef SUPPORT_FILES_H
#define SUPPORT_FILES_H

#include <stddef.h>
#include <stdint.h>

#include <string>
#include <vector>

// A fresh empty folder, removed with everything in it when this goes away.
// It is made in parent, or in the system's folder for temporary files.
class ScratchDir {
 public:
  explicit ScratchDir(const std::string& parent = "");
  ~ScratchDir();
  ScratchDir(const ScratchDir&) = delete;
  ScratchDir& operator=(const ScratchDir&) = delete;

  const std::string& path() const { return path_; }
  std::string file(const std::string& name) const { return path_ + "/" + name; }
  // Sorted names of the entries, without "." and "..".
  std::vector<std::string> list() const;

 private:
  std::string path_;
};

// A parent for scratch folders whose files stay in memory: /dev/shm where
// it can be written, else "" (the system's folder for temporary files).
std::string memory_folder();

// Sorted names of the entries of a folder, without "." and "..".
std::vector<std::string> list_folder(const std::string& path);
std::string read_file(const std::string& path);
// Throws when the file cannot be written whole.
void write_file(const std::string& path, const std::string& bytes);
bool file_exists(const std::string& path);

// A saved 24-bit BMP read back as its pixels; width 0 when the file is
// missing or no such picture.
struct Picture {
  int width = 0, height = 0;
  std::vector<uint8_t> bgr;  // bottom row first, no padding, as in the file
  // The pixel x from the left, t from the top: blue, green, red.
  const uint8_t* at(int x, int t) const {
    return &bgr[3 * (static_cast<size_t>(height - 1 - t) * width + x)];
  }
};
Picture read_bmp(const std::string& path);

#endif  // SUPPORT_FILES_H
