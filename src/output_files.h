// Output numbering and the answer to the page-width question.
#ifndef OUTPUT_FILES_H
#define OUTPUT_FILES_H

#include <stdint.h>

// True when an entry of exactly that name exists (a file, a folder, or a
// link, even a dangling one).
bool HFileExist(const char* name);

// The smallest k >= n for which neither "R%05d.bmp" nor "R%05d.html" exists.
int get_next_nonexistfilenum(int n);

enum { kFileNameSize = 1024 };
void format_output_names(int n, char (&bmp_name)[kFileNameSize], char (&html_name)[kFileNameSize]);

// The widest page the program accepts, in characters.
enum { kMaxHtmlWidth = 10000 };

// Reads the leading decimal integer of an answer the way atoi does (leading
// white space, optional sign, digits). False for an answer without digits,
// for 0, for a number outside 32 bits and for one above kMaxHtmlWidth.
bool parse_html_width(const char* answer, int32_t* width);

#endif  // OUTPUT_FILES_H
