// 24-bit image buffer and its BMP file writer.
//
// Pixels are kept row after row, row 0 first, and row 0 is the bottom of the
// picture: the layout of a BMP pixel array, so frames and files share it.
#ifndef KIMAGE_H
#define KIMAGE_H

#include <stdint.h>
#include <stdio.h>
#include <string.h>
#include <sys/stat.h>

#include <vector>

#ifndef _WIN32
#include <errno.h>
#include <sys/uio.h>
#endif

// One pixel: blue, green, red, exactly three bytes in BMP order.
struct K_RGB {
  uint8_t b;
  uint8_t g;
  uint8_t r;
  K_RGB() : b(0), g(0), r(0) {}
};
static_assert(sizeof(K_RGB) == 3, "a pixel must be exactly 3 bytes");

template <typename T>
class KImageT {
 public:
  std::vector<T> data;
  int32_t width;
  int32_t height;

  KImageT() : width(0), height(0) {}
  KImageT(int w, int h) : width(0), height(0) { init(w, h); }
  KImageT(const KImageT&) = delete;
  KImageT& operator=(const KImageT&) = delete;
  KImageT(KImageT&&) = default;
  KImageT& operator=(KImageT&&) = default;

  // Sets the size and clears every byte, whatever the image held before.
  // A negative size holds no pixels. When the memory cannot be had the
  // vector throws before anything changed, size included.
  void init(int w, int h) {
    size_t count = (w > 0 && h > 0) ? static_cast<size_t>(w) * static_cast<size_t>(h) : 0;
    data.resize(count);
    width = w;
    height = h;
    if (count) memset(static_cast<void*>(data.data()), 0, count * sizeof(T));
  }

  T& pixel(int x, int y) { return data[static_cast<size_t>(x) + static_cast<size_t>(y) * width]; }
  const T& pixel(int x, int y) const {
    return data[static_cast<size_t>(x) + static_cast<size_t>(y) * width];
  }

  // Null while the image has never held pixels.
  T* get_raw_buffer() { return data.empty() ? nullptr : data.data(); }
  const T* get_raw_buffer() const { return data.empty() ? nullptr : data.data(); }

  // Writes an uncompressed bottom-up 24-bit BMP. False when the file cannot
  // be opened or any write, the flush or the close fails; a file that could
  // not be written whole is removed again.
  bool save_to_bitmap(const char* path) const { return save_to_bitmap(fopen(path, "wb"), path); }

  // The same into `file`, opened for binary writing at `path` by the caller
  // (null when it could not be); the file is closed.
  bool save_to_bitmap(FILE* file, const char* path) const;

  // Writes the BMP into `file`, opened for binary writing with nothing
  // buffered yet, and leaves it open for its owner to close. False when a
  // write fails (or `file` is null).
  bool write_bitmap(FILE* file) const;
};

namespace kimage_detail {

inline void put_le16(uint8_t* p, uint32_t v) {
  p[0] = static_cast<uint8_t>(v);
  p[1] = static_cast<uint8_t>(v >> 8);
}

inline void put_le32(uint8_t* p, uint32_t v) {
  for (int i = 0; i < 4; ++i) p[i] = static_cast<uint8_t>(v >> (8 * i));
}

enum { kBmpHeaderSize = 54 };

// Both BMP headers for a 24-bit bottom-up image of w x h pixels.
inline void fill_bmp_headers(uint8_t (&header)[kBmpHeaderSize], int32_t w, int32_t h) {
  memset(header, 0, sizeof header);
  int64_t stride = (3 * static_cast<int64_t>(w > 0 ? w : 0) + 3) / 4 * 4;
  int64_t file_size = kBmpHeaderSize + stride * (h > 0 ? h : 0);
  header[0] = 'B';
  header[1] = 'M';
  put_le32(header + 2, static_cast<uint32_t>(file_size));
  put_le32(header + 10, kBmpHeaderSize);
  put_le32(header + 14, 40);
  put_le32(header + 18, static_cast<uint32_t>(w));
  put_le32(header + 22, static_cast<uint32_t>(h));
  put_le16(header + 26, 1);
  put_le16(header + 28, 24);
}

// A run of bytes to write.
struct Piece {
  const void* bytes;
  size_t size;
};

// Writes the pieces in order to a stream that has buffered nothing, past the
// stream's buffer: on POSIX straight to its descriptor, as many pieces per
// system call as it takes (so one call for up to 1024 pieces), going on where
// a short write stopped. False when a write fails. The BMP writer's own.
inline bool write_pieces(FILE* file, const Piece* pieces, size_t count) {
#ifdef _WIN32
  for (size_t i = 0; i < count; ++i) {
    if (fwrite(pieces[i].bytes, 1, pieces[i].size, file) != pieces[i].size) return false;
  }
  return true;
#else
  enum { kBatch = 1024 };  // the least IOV_MAX that POSIX allows
  iovec batch[kBatch];
  const int fd = fileno(file);
  while (count > 0) {
    int n = 0;
    for (; n < kBatch && static_cast<size_t>(n) < count; ++n) {
      batch[n].iov_base = const_cast<void*>(pieces[n].bytes);
      batch[n].iov_len = pieces[n].size;
    }
    pieces += n;
    count -= static_cast<size_t>(n);
    for (iovec* next = batch; n > 0;) {
      const ssize_t written = writev(fd, next, n);
      if (written < 0 && errno == EINTR) continue;
      if (written <= 0) return false;
      // Drop what was written; a piece written in part is left with its rest.
      size_t done = static_cast<size_t>(written);
      for (; n > 0 && done >= next->iov_len; --n, ++next) done -= next->iov_len;
      if (n > 0) {
        next->iov_base = static_cast<char*>(next->iov_base) + done;
        next->iov_len -= done;
      }
    }
  }
  return true;
#endif
}

// Flushes and closes the file; false when that or any earlier write (`ok`)
// failed. A failed file is removed so no partial file is left, but only a
// regular one: a device or a pipe is never unlinked.
inline bool finish_file(FILE* file, const char* path, bool ok) {
  struct stat info;
  const bool regular = fstat(fileno(file), &info) == 0 && S_ISREG(info.st_mode);
  ok = (fflush(file) == 0) && ok;
  ok = (fclose(file) == 0) && ok;
  if (!ok && regular) remove(path);
  return ok;
}

}  // namespace kimage_detail

template <typename T>
bool KImageT<T>::save_to_bitmap(FILE* file, const char* path) const {
  return file && kimage_detail::finish_file(file, path, write_bitmap(file));
}

template <typename T>
bool KImageT<T>::write_bitmap(FILE* file) const {
  static_assert(sizeof(T) == 3, "BMP rows are written as 3-byte pixels");
  if (!file) return false;
  uint8_t header[kimage_detail::kBmpHeaderSize];
  kimage_detail::fill_bmp_headers(header, width, height);

  // The headers and the pixel rows, with their padding, in one write where
  // the rows need no padding, else in batches of pieces held on the stack:
  // saving never allocates, so it cannot run out of memory.
  const size_t row_bytes = width > 0 ? 3 * static_cast<size_t>(width) : 0;
  const size_t pad = (4 - row_bytes % 4) % 4;
  const uint8_t zeros[4] = {0, 0, 0, 0};
  const uint8_t* bytes = reinterpret_cast<const uint8_t*>(data.data());
  enum { kBatch = 1024 };
  kimage_detail::Piece pieces[kBatch];
  size_t count = 0;
  bool ok = true;
  auto add = [&](const void* piece, size_t size) {
    pieces[count++] = {piece, size};
    if (count == kBatch) {
      ok = ok && kimage_detail::write_pieces(file, pieces, count);
      count = 0;
    }
  };
  add(header, sizeof header);
  if (pad == 0 && !data.empty()) {
    add(bytes, row_bytes * height);
  } else if (!data.empty()) {
    for (int32_t y = 0; y < height; ++y) {
      add(bytes + row_bytes * y, row_bytes);
      add(zeros, pad);
    }
  }
  if (count > 0) ok = ok && kimage_detail::write_pieces(file, pieces, count);
  return ok;
}

#endif  // KIMAGE_H
