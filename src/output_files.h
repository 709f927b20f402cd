// File output: the numbering of a capture's files, their owner, exclusive
// creation, and the replacement of g.bmp. The platform's own calls are in
// output_files_posix.cpp and output_files_windows.cpp.
#ifndef OUTPUT_FILES_H
#define OUTPUT_FILES_H

#include <stdint.h>
#include <stdio.h>
#include <string.h>

#include <memory>

#include "kimage.h"

// True when an entry of exactly that name exists (a file, a folder, or a
// link, even a dangling one).
bool HFileExist(const char* name);

// Past the last number there is none: the capture's files then fail as on a
// full disk, and no name wraps.
enum { kNoNumber = -1 };
// The number after n, or kNoNumber after INT32_MAX.
inline int number_after(int n) {
  return n < 0 || n == INT32_MAX ? kNoNumber : n + 1;
}

// The smallest k >= n for which neither "R%05d.bmp" nor "R%05d.html" exists;
// kNoNumber when every number from n to INT32_MAX is taken, or n is kNoNumber.
int get_next_nonexistfilenum(int n);

enum { kFileNameSize = 1024 };
void format_output_names(int n, char (&bmp_name)[kFileNameSize], char (&html_name)[kFileNameSize]);

// Creates `name` for writing only if no entry of that name exists yet, in
// one step, so two programs never both get it. Null with errno EEXIST when
// the name is taken, null with another errno when it cannot be created. The
// file never takes the number of a standard stream that a plug-in closed.
FILE* create_new_file(const char* name, bool text_mode);

// Flushes and closes a file written from scratch; false when that or any
// earlier write (`ok`) failed. A failed file is removed so no partial file
// is left, but only a regular one: a device or a pipe is never unlinked.
inline bool finish_output_file(FILE* file, const char* path, bool ok) {
  return kimage_detail::finish_file(file, path, ok);
}

// The two numbered files of one capture. Their owner: it creates them, the
// writers write into them and never close them, and it finishes each one,
// removing a file not written whole (one never finished, too).
class CaptureFiles {
 public:
  // "R%05d.bmp" and "R%05d.html" for number n. When either name turns out
  // to be taken (another run got it after n was found free), what was
  // created is removed and both move on to the next number whose two names
  // are free. Any other failure leaves that file null, for its stage to
  // report; with no number left (kNoNumber) both are null.
  static CaptureFiles numbered(int n);
  // Files of exactly these names, created or truncated.
  CaptureFiles(const char* bmp_name, const char* html_name);
  ~CaptureFiles();
  CaptureFiles(CaptureFiles&& other) noexcept;
  CaptureFiles(const CaptureFiles&) = delete;
  CaptureFiles& operator=(const CaptureFiles&) = delete;
  CaptureFiles& operator=(CaptureFiles&&) = delete;

  int number() const { return number_; }
  FILE* bmp() const { return bmp_; }    // binary; null when it could not be created
  FILE* html() const { return html_; }  // text; null when it could not be created

  // Flushes and closes the file, and removes it unless it was `written`
  // whole and those succeed. False then, and for a file never created.
  bool finish_bmp(bool written) { return finish(bmp_, bmp_name_, written); }
  bool finish_html(bool written) { return finish(html_, html_name_, written); }

 private:
  CaptureFiles() = default;
  static bool finish(FILE*& file, const char* name, bool written);

  int number_ = kNoNumber;
  char bmp_name_[kFileNameSize] = "";
  char html_name_[kFileNameSize] = "";
  FILE* bmp_ = nullptr;
  FILE* html_ = nullptr;
};

// Output gathered in one block of memory and written out when the block is
// full and at the end; without a file (null) the bytes are dropped.
class BlockWriter {
 public:
  // The block is not cleared: only bytes written into it go out.
  BlockWriter(FILE* file, size_t capacity)
      : file_(file), block_(new char[capacity]), capacity_(capacity) {}

  // Room for at least `bytes` more, writing the block out first if needed.
  char* room(size_t bytes) {
    if (capacity_ - used_ < bytes) flush();
    return block_.get() + used_;
  }
  void advance_to(const char* end) { used_ = static_cast<size_t>(end - block_.get()); }
  void append(const char* bytes, size_t size) {
    char* out = room(size);
    memcpy(out, bytes, size);
    advance_to(out + size);
  }

  // True when every byte so far reached the file. The BMP writer's write
  // loop, past the stream's buffer.
  bool flush() {
    const kimage_detail::Piece block = {block_.get(), used_};
    if (file_ && ok_ && used_ > 0) ok_ = kimage_detail::write_pieces(file_, &block, 1);
    used_ = 0;
    return ok_;
  }

 private:
  FILE* file_;
  std::unique_ptr<char[]> block_;
  size_t capacity_;
  size_t used_ = 0;
  bool ok_ = true;
};

// Creates a file of a fresh name beside `name` (in the same folder), for
// writing in binary, and puts its name into `temporary`. Null when no file
// can be created there.
FILE* create_file_beside(const char* name, char (&temporary)[kFileNameSize]);

// Renames `temporary` over `name` in one step: whatever entry held that name
// (a file, a link, a FIFO) is replaced, never followed or opened. When that
// fails, `temporary` is removed. False then.
bool replace_with(const char* temporary, const char* name);

// The number of this process, which keeps two runs' temporary names apart.
long process_number();

#endif  // OUTPUT_FILES_H
