// The whole interactive run of the program on a pair of streams, so that the
// same code serves `main` and in-process tests and fuzzers.
#ifndef CAPTURE_CONSOLE_H
#define CAPTURE_CONSOLE_H

#include <stdio.h>

// Loads the camera plug-in `plugin_file`, asks for the page width and runs
// the command loop on `in`, writing the console texts to `out`. Returns the
// process status: 0 after quit or the end of input, -1 after a failure that
// ends the run, a console that could not be written among them. Call setlocale(LC_CTYPE, "") first
// for the texts' encoding.
int run_capture_console(FILE* in, FILE* out, const char* plugin_file);

#endif  // CAPTURE_CONSOLE_H
