// Decodes one MJPEG frame of a webcam with libjpeg, strictly: a frame that
// lost picture data (cut short, a marker or a bad code where data should be,
// restart markers out of order) counts as damaged, where a lenient decoder
// would fill the rest with gray; bytes the decoder merely skips (before a
// marker, after the end) do not. Frames without Huffman tables, as MJPEG
// sends them, take the standard ones.
#ifndef VIDMOTE_MJPEG_DECODE_H
#define VIDMOTE_MJPEG_DECODE_H

#include <stddef.h>
#include <stdint.h>

namespace vidmote {

// Writes width * height B, G, R pixels, top row first, rows packed, to
// bgr (out_bytes long). False when the frame is not a JPEG of exactly that
// size, or the decoder stopped on it or lost picture data.
bool decode_mjpeg(const uint8_t* frame, size_t frame_bytes, int32_t width, int32_t height,
                  uint8_t* bgr, size_t out_bytes);

}  // namespace vidmote

#endif  // VIDMOTE_MJPEG_DECODE_H
