// The console report of a capture: the brightness histogram and the
// 70-column ASCII-art preview.
#ifndef CONSOLE_REPORT_H
#define CONSOLE_REPORT_H

#include <stdio.h>

#include "frame_sampler.h"

// The report of the sampled frame, to `out`, in one write (ASCII, the same
// bytes in every encoding the console texts use).
void write_console_report(const FrameSampling& sampling, FILE* out);

#endif  // CONSOLE_REPORT_H
