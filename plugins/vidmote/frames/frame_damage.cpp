#include "frame_damage.h"

#include <utility>

#include "frame_convert.h"

namespace vidmote {

std::string FrameTally::no_frame(const char* when) const {
  const int damaged = flagged + cut_short + undecodable + other_size;
  if (damaged == 0 && stale == 0) return std::string("no frame in time") + when;
  std::string text =
      std::string("no usable frame in time") + when + ": " + std::to_string(arrived) + " arrived";
  const std::pair<int, const char*> kinds[] = {{flagged, "flagged by the driver"},
                                               {cut_short, "cut short"},
                                               {undecodable, "undecodable"},
                                               {other_size, "of another size than its format"},
                                               {stale, "begun before the capture"}};
  const char* separator = damaged == arrived ? ", all damaged: " : ": ";
  for (const auto& kind : kinds) {
    if (kind.first == 0) continue;
    text += separator + std::to_string(kind.first) + " " + kind.second;
    separator = ", ";
  }
  return text + advice();
}

// By cause: frames that lost data on the way (flagged, cut short, MJPEG
// that does not decode), a format that does not convert, MJPEG of another
// size than agreed.
std::string FrameTally::advice() const {
  std::string text;
  if (flagged + cut_short > 0 || (jpeg && undecodable > 0))
    text += jpeg
                ? "; check the cable and the USB bandwidth (try another USB port or a smaller size)"
                : "; check the cable and the USB bandwidth (try another USB port, a smaller size "
                  "or MJPEG)";
  if (!jpeg && undecodable > 0) text += "; its frames do not convert: choose another camera format";
  if (other_size > 0)
    text +=
        "; the camera does not keep to the size it was set to: choose another size or camera "
        "format";
  return text;
}

bool whole_mjpeg(const uint8_t* bytes, size_t* used, int32_t width, int32_t height,
                 FrameTally* tally) {
  JpegImage image;
  const JpegFrame jpeg = jpeg_frame(bytes, *used, &image);
  if (jpeg != JpegFrame::kWhole) {
    ++(jpeg == JpegFrame::kCutShort ? tally->cut_short : tally->undecodable);
    return false;
  }
  // No decoder takes a frame of another size than the format's.
  if (image.width && image.height && (image.width != width || image.height != height)) {
    ++tally->other_size;
    return false;
  }
  *used = image.bytes;
  return true;
}

}  // namespace vidmote
