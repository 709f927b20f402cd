// Frames that are not delivered, by what was wrong with them, and what a
// user is told when no usable one came. Both cameras judge damage by the
// same rules: a frame refused for lost picture data is counted, never
// delivered.
#ifndef VIDMOTE_FRAME_DAMAGE_H
#define VIDMOTE_FRAME_DAMAGE_H

#include <stddef.h>
#include <stdint.h>

#include <string>

namespace vidmote {

// The frames that arrived while a usable one was awaited.
struct FrameTally {
  int arrived = 0;
  int flagged = 0;      // marked damaged by the driver
  int cut_short = 0;    // shorter than their format, or MJPEG without its end
  int undecodable = 0;  // MJPEG that lost picture data, or a format that does not convert
  int other_size = 0;   // MJPEG whose header gives another size than the format's
  int stale = 0;        // begun before the capture was asked for
  bool jpeg = false;    // the camera sends MJPEG
  // "no frame in time" + when, or what arrived and what to do about it.
  std::string no_frame(const char* when) const;
  std::string advice() const;
};

// Whether an MJPEG frame can be decoded, judged by its markers and its
// header before the decoder runs: whole, and of width x height where its
// header gives a size. *used is then cut to the image's end marker (what
// follows is not the picture); otherwise the frame is counted in *tally.
bool whole_mjpeg(const uint8_t* bytes, size_t* used, int32_t width, int32_t height,
                 FrameTally* tally);

}  // namespace vidmote

#endif  // VIDMOTE_FRAME_DAMAGE_H
