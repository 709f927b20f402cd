// fuzzcam: a camera plug-in whose every answer is read from a byte stream
// that the host fuzzer hands it, and which records what it answered so the
// fuzzer can tell what the host must have made of it.
#ifndef FUZZCAM_H
#define FUZZCAM_H

#include <stddef.h>
#include <stdint.h>

#include <string>
#include <vector>

// The largest frame fuzzcam reports that the host could accept: larger ones
// would only make runs slow. Sizes whose product wraps are reported as drawn.
const int64_t kFuzzcamMaxFrameBytes = 1 << 20;

struct FuzzcamRecord {
  std::vector<std::string> calls;  // export names in call order
  int32_t name_length = 0;         // the last answer of LN_GetDllName(null)
  std::string name_written;        // the bytes the last LN_GetDllName(buffer) wrote
  int32_t name_result = 0;
  uint8_t bool_answer = 0;             // the last one-byte result of any export
  int32_t width = 0, height = 0;       // the last size LN_GetResolution stored
  std::vector<int32_t> null_captures;  // every answer of LN_Capture(null), in order
  std::string frame_written;           // the bytes the last LN_Capture(buffer) wrote
  int32_t capture_result = 0;          // the last answer of LN_Capture(buffer)
};

typedef void (*FuzzcamStartFn)(const uint8_t* data, size_t size);
typedef uint8_t (*FuzzcamNextByteFn)();
typedef const FuzzcamRecord* (*FuzzcamRecordFn)();

// Exported as "fuzzcam_start": the answers to draw from, and a fresh record.
// "fuzzcam_next_byte": the next byte of the stream (0 once it is used up).
// "fuzzcam_record": what was answered since the start.

#endif  // FUZZCAM_H
