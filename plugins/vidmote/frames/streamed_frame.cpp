#include "streamed_frame.h"

#include "mjpeg_decode.h"

namespace vidmote {

bool usable_streamed_frame(const uint8_t* bytes, size_t used, const StreamedFrames& frames,
                           std::vector<uint8_t>* scratch, uint8_t* out, FrameTally* tally) {
  tally->jpeg = frames.mjpeg;
  if (!frames.mjpeg) {
    if (convert_to_bottom_up_bgr(bytes, used, frames.layout, out)) return true;
    ++tally->cut_short;
    return false;
  }
  const int32_t width = frames.layout.width, height = frames.layout.height;
  if (!whole_mjpeg(bytes, &used, width, height, tally)) return false;
  scratch->resize(size_t{3} * width * height);
  if (!decode_mjpeg(bytes, used, width, height, scratch->data(), scratch->size())) {
    ++tally->undecodable;
    return false;
  }
  const CameraFrameLayout decoded = {width, height, 0, PixelLayout::kBgr24};
  return convert_to_bottom_up_bgr(scratch->data(), scratch->size(), decoded, out);
}

}  // namespace vidmote
