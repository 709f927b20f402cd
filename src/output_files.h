// File output: the numbering of a capture's files, exclusive creation,
// checked writes, and removal of partial files.
#ifndef OUTPUT_FILES_H
#define OUTPUT_FILES_H

#include <stdint.h>
#include <stdio.h>
#include <string.h>

#include <memory>

// True when an entry of exactly that name exists (a file, a folder, or a
// link, even a dangling one).
bool HFileExist(const char* name);

// The smallest k >= n for which neither "R%05d.bmp" nor "R%05d.html" exists;
// kNoNumber when every number from n to INT32_MAX is taken, or n is kNoNumber.
int get_next_nonexistfilenum(int n);

// Past the last number there is none: the capture's files then fail as on a
// full disk, and no name wraps.
enum { kNoNumber = -1 };
// The number after n, or kNoNumber after INT32_MAX.
inline int number_after(int n) {
  return n < 0 || n == INT32_MAX ? kNoNumber : n + 1;
}

enum { kFileNameSize = 1024 };
void format_output_names(int n, char (&bmp_name)[kFileNameSize], char (&html_name)[kFileNameSize]);

// Creates `name` for writing only if no entry of that name exists yet, in
// one step, so two programs never both get it. Null with errno EEXIST when
// the name is taken, null with another errno when it cannot be created. The
// file never takes the number of a standard stream that a plug-in closed.
FILE* create_new_file(const char* name, bool text_mode);

// Writes all `size` bytes to a stream that has buffered nothing, past the
// stream's buffer (on POSIX straight to its descriptor), going on where a
// short write stopped. False when a write fails.
bool write_all(FILE* file, const void* bytes, size_t size);

// Flushes and closes a file written from scratch; false when that or any
// earlier write (`ok`) failed. A failed file is removed so no partial file
// is left, but only a regular one: a device or a pipe is never unlinked.
bool finish_output_file(FILE* file, const char* path, bool ok);

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

  // True when every byte so far reached the file.
  bool flush() {
    if (file_ && ok_ && used_ > 0) ok_ = write_all(file_, block_.get(), used_);
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

// The two numbered files of one capture.
struct CaptureFiles {
  int number;
  char bmp_name[kFileNameSize];
  char html_name[kFileNameSize];
  FILE* bmp;   // binary; null when it could not be created
  FILE* html;  // text; null when it could not be created
};

// Creates "R%05d.bmp" and "R%05d.html" for number n. When either name turns
// out to be taken (another run got it after n was found free), what was
// created is removed and both move on to the next number whose two names are
// free. Any other failure leaves that file null, for its stage to report;
// with no number left (kNoNumber) both are null.
CaptureFiles create_capture_files(int n);

#endif  // OUTPUT_FILES_H
