// One camera frame as the camera streams it, judged and turned into the
// plug-in's frame: the rule both cameras follow where they read the
// camera's own format.
#ifndef VIDMOTE_STREAMED_FRAME_H
#define VIDMOTE_STREAMED_FRAME_H

#include <stddef.h>
#include <stdint.h>

#include <vector>

#include "frame_convert.h"
#include "frame_damage.h"

namespace vidmote {

// Pixels in a layout, or MJPEG of the layout's size.
struct StreamedFrames {
  CameraFrameLayout layout;
  bool mjpeg = false;
};

// Writes the plug-in's frame (B, G, R, bottom row first) to out unless the
// frame is damaged: shorter than its layout, or MJPEG cut short, of another
// size or losing picture data when decoded. Those are counted in *tally
// instead, and out may hold anything. scratch holds the decoded MJPEG.
bool usable_streamed_frame(const uint8_t* bytes, size_t used, const StreamedFrames& frames,
                           std::vector<uint8_t>* scratch, uint8_t* out, FrameTally* tally);

}  // namespace vidmote

#endif  // VIDMOTE_STREAMED_FRAME_H
