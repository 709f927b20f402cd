// Turns one camera frame as a driver lays it out (top row first, or bottom
// row first as a Windows bitmap; rows bytes_per_line apart, in one of a few
// pixel layouts) into the plug-in's frame: B, G, R bytes, bottom row first,
// rows packed.
#ifndef VIDMOTE_FRAME_CONVERT_H
#define VIDMOTE_FRAME_CONVERT_H

#include <stddef.h>
#include <stdint.h>

#include <vector>

namespace vidmote {

enum class PixelLayout {
  kBgr24,  // B, G, R
  kRgb24,  // R, G, B
  kYuyv,   // Y0 U Y1 V for two pixels; BT.601, limited range
  kGrey,   // Y, full range (infrared and monochrome cameras)
  kNv12,   // a plane of Y, then one of U V pairs for 2 x 2 pixels, rows as long; limited range
};

struct CameraFrameLayout {
  int32_t width;
  int32_t height;
  size_t bytes_per_line;  // 0: rows are packed
  PixelLayout pixels;
  bool bottom_up = false;  // rows in memory from the picture's bottom row up
};

// A Windows bitmap of 24-bit B, G, R pixels as DirectShow delivers one: rows
// padded to 4 bytes; a positive height is bottom row first, a negative one
// top row first.
CameraFrameLayout bgr_bitmap_layout(int32_t width, int32_t bitmap_height);

// Bytes one row of pixels takes, without padding (NV12: of its Y plane).
size_t row_bytes(int32_t width, PixelLayout pixels);

// Bytes a frame must hold: every row but the last with its padding, then the
// last row's pixels. 0 when the layout is unusable (no pixels, or rows
// shorter than their pixels).
size_t frame_bytes_needed(const CameraFrameLayout& layout);

// Writes width * height * 3 bytes to out. False, and out untouched, when the
// frame's used bytes (bytes_used) are fewer than the layout needs.
bool convert_to_bottom_up_bgr(const uint8_t* frame, size_t bytes_used,
                              const CameraFrameLayout& layout, uint8_t* out);

// One plane of a camera frame as it lies in memory: rows of row_bytes
// pixels, stride bytes apart (stride >= row_bytes).
struct FramePlane {
  size_t rows, row_bytes, stride;
};
// Copies a frame's planes, one after another, into *packed with their rows
// packed: for a converter that ignores the row length. False, *packed
// untouched, when the frame holds fewer bytes (used) than its planes need,
// its last row alone unpadded.
bool pack_rows(const uint8_t* frame, size_t used, const FramePlane* planes, size_t count,
               std::vector<uint8_t>* packed);

// The mean brightness (0..255) of a frame of width * height B, G, R pixels,
// from a grid of samples across it; 0 for an empty frame.
double mean_brightness(const uint8_t* bgr, int32_t width, int32_t height);

// The mean red, green and blue (0..255) of such a frame, from the same grid;
// all 0 for an empty frame.
struct Colour {
  double red = 0, green = 0, blue = 0;
};
Colour mean_colour(const uint8_t* bgr, int32_t width, int32_t height);

// What the bytes of one MJPEG frame hold, judged by its markers alone: the
// start of an image at the front, then its segments and data up to its end
// marker. The frame ends there: what follows (zero or 0xFF fill, leftover
// data, up to the rest of the buffer) is not the picture. A frame that lost
// its end over USB still decodes, with the rest of the picture gray, so it
// counts as cut short; so does one where another image begins first.
enum class JpegFrame { kWhole, kCutShort, kNotJpeg };
struct JpegImage {
  size_t bytes = 0;               // up to and with the end marker
  int32_t width = 0, height = 0;  // as its frame header gives them; 0 without one
};
// *image (if given) is set for a whole frame.
JpegFrame jpeg_frame(const uint8_t* bytes, size_t size, JpegImage* image = nullptr);

}  // namespace vidmote

#endif  // VIDMOTE_FRAME_CONVERT_H
