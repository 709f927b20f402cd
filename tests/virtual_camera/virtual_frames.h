// The virtual camera's frames: the emulated webcam's picture
// (guest/uvc_picture.h) for a frame number, in the camera's three formats,
// and whole or damaged as a test chose.
#ifndef VIRTUAL_FRAMES_H
#define VIRTUAL_FRAMES_H

#include <stddef.h>
#include <stdint.h>

#include <vector>

namespace virtual_camera {

enum class Subtype { kYuy2, kMjpg, kRgb24 };

struct FrameFormat {
  Subtype subtype;
  int width, height;
};

// The most bytes a frame of the format takes.
size_t frame_capacity(const FrameFormat& format);

// The luma offset of frame n while the picture converges over `frames`
// frames (darker at first, the darkening shrinking to nothing); 0 after
// them and without convergence. As the emulated webcam's auto exposure.
int converging_offset(unsigned n, unsigned frames);

struct FrameChoice {
  int offset = 0;       // luma offset of the picture
  bool benign = false;  // MJPEG: stray bytes before restart markers, a tail after the end
  bool cut = false;     // only the first half of the frame's bytes
};

// The bytes of frame number n: Y0 U Y1 V top row first, a JPEG, or B G R
// bottom row first (the plug-in's own conversion of the YUY2 picture).
std::vector<uint8_t> frame_bytes(const FrameFormat& format, unsigned n, const FrameChoice& choice);

}  // namespace virtual_camera

#endif  // VIRTUAL_FRAMES_H
