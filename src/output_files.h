// Output numbering and the answer to the page-width question.
#ifndef OUTPUT_FILES_H
#define OUTPUT_FILES_H

#include <stdint.h>
#include <stdio.h>

// True when an entry of exactly that name exists (a file, a folder, or a
// link, even a dangling one).
bool HFileExist(const char* name);

// The smallest k >= n for which neither "R%05d.bmp" nor "R%05d.html" exists.
int get_next_nonexistfilenum(int n);

enum { kFileNameSize = 1024 };
void format_output_names(int n, char (&bmp_name)[kFileNameSize], char (&html_name)[kFileNameSize]);

// Creates `name` for writing only if no entry of that name exists yet, in
// one step, so two programs never both get it. Null with errno EEXIST when
// the name is taken, null with another errno when it cannot be created.
FILE* create_new_file(const char* name, bool text_mode);

// Creates a file of a fresh name beside `name` (in the same folder), for
// writing in binary, and puts its name into `temporary`. Null when no file
// can be created there.
FILE* create_file_beside(const char* name, char (&temporary)[kFileNameSize]);

// Renames `temporary` over `name` in one step: whatever entry held that name
// (a file, a link, a FIFO) is replaced, never followed or opened. When that
// fails, `temporary` is removed. False then.
bool replace_with(const char* temporary, const char* name);

// The two numbered files of one capture, both newly created.
struct OutputFiles {
  int number;
  char bmp_name[kFileNameSize];
  char html_name[kFileNameSize];
  FILE* bmp;   // binary; null when it could not be created
  FILE* html;  // text; null when it could not be created
};

// Creates "R%05d.bmp" and "R%05d.html" for number n. When either name turns
// out to be taken (another run got it after n was found free), what was
// created is removed and both move on to the next number whose two names are
// free. Any other failure leaves that file null, for its stage to report.
OutputFiles create_output_files(int n);

// The widest page the program accepts, in characters.
enum { kMaxHtmlWidth = 10000 };

// Reads the leading decimal integer of an answer the way atoi does (leading
// white space, optional sign, digits). False for an answer without digits,
// for 0, for a number outside 32 bits and for one above kMaxHtmlWidth.
bool parse_html_width(const char* answer, int32_t* width);

#endif  // OUTPUT_FILES_H
