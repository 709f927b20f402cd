// The virtual camera's frames, made as the emulated webcam makes them.
#include "virtual_frames.h"

#include <map>
#include <mutex>
#include <tuple>

#include "frame_convert.h"
#include "guest/uvc_picture.h"

namespace virtual_camera {

size_t frame_capacity(const FrameFormat& format) {
  const size_t pixels = static_cast<size_t>(format.width) * format.height;
  return format.subtype == Subtype::kRgb24 ? pixels * 3 : pixels * 2;
}

int converging_offset(unsigned n, unsigned frames) {
  if (n >= frames) return 0;
  const int left = static_cast<int>(frames - n), f = static_cast<int>(frames);
  return -150 * left * left / (f * f);
}

namespace {

// A JPEG takes long to make under emulation: each is made once.
std::vector<uint8_t> jpeg_of(int width, int height, int phase, int offset, bool benign) {
  static std::mutex lock;
  static std::map<std::tuple<int, int, int, int, bool>, std::vector<uint8_t>> made;
  std::lock_guard<std::mutex> hold(lock);
  std::vector<uint8_t>& jpeg = made[std::make_tuple(width, height, phase, offset, benign)];
  if (jpeg.empty()) {
    jpeg.resize(static_cast<size_t>(width) * height * 2);
    jpeg.resize(uvc_picture_jpeg(jpeg.data(), jpeg.size(), width, height, phase, offset, benign));
  }
  return jpeg;
}

}  // namespace

std::vector<uint8_t> frame_bytes(const FrameFormat& format, unsigned n, const FrameChoice& choice) {
  const int phase = static_cast<int>(n % UVC_PHASES);
  std::vector<uint8_t> bytes;
  if (format.subtype == Subtype::kMjpg) {
    bytes = jpeg_of(format.width, format.height, phase, choice.offset, choice.benign);
  } else {
    std::vector<uint8_t> yuyv(static_cast<size_t>(format.width) * format.height * 2);
    uvc_picture_yuyv(yuyv.data(), format.width, format.height, phase, choice.offset);
    if (format.subtype == Subtype::kYuy2) {
      bytes.swap(yuyv);
    } else {
      bytes.resize(frame_capacity(format));
      const vidmote::CameraFrameLayout layout = {format.width, format.height, 0,
                                                 vidmote::PixelLayout::kYuyv};
      vidmote::convert_to_bottom_up_bgr(yuyv.data(), yuyv.size(), layout, bytes.data());
    }
  }
  if (choice.cut) bytes.resize(bytes.size() / 2);
  return bytes;
}

}  // namespace virtual_camera
