#include "v4l2_support.h"

#include <string.h>

#include "device_text.h"

namespace vidmote {

bool layout_of(uint32_t pixel_format, PixelLayout* pixels) {
  switch (pixel_format) {
    case V4L2_PIX_FMT_BGR24:
      *pixels = PixelLayout::kBgr24;
      return true;
    case V4L2_PIX_FMT_RGB24:
      *pixels = PixelLayout::kRgb24;
      return true;
    case V4L2_PIX_FMT_YUYV:
      *pixels = PixelLayout::kYuyv;
      return true;
    case V4L2_PIX_FMT_GREY:
      *pixels = PixelLayout::kGrey;
      return true;
    default:
      return false;
  }
}

std::string text_of(const uint8_t* bytes, size_t size) {
  return printable(std::string(reinterpret_cast<const char*>(bytes),
                               strnlen(reinterpret_cast<const char*>(bytes), size)));
}

bool is_camera_node(const v4l2_capability& caps) {
  const uint32_t node =
      (caps.capabilities & V4L2_CAP_DEVICE_CAPS) ? caps.device_caps : caps.capabilities;
  return (node & V4L2_CAP_VIDEO_CAPTURE) && (node & V4L2_CAP_STREAMING) &&
         !(node & V4L2_CAP_TOUCH);  // touch sensors stream "frames" too
}

}  // namespace vidmote
