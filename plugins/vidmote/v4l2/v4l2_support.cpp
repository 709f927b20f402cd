#include "v4l2_support.h"

#include <errno.h>
#include <stdio.h>
#include <string.h>

#include <algorithm>

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

std::vector<FramePlane> frame_planes(const v4l2_pix_format& pix) {
  const size_t w = pix.width, h = pix.height, stride = pix.bytesperline;
  const size_t half_w = (w + 1) / 2, half_h = (h + 1) / 2;
  switch (pix.pixelformat) {
    case V4L2_PIX_FMT_GREY:
    case V4L2_PIX_FMT_SBGGR8:
    case V4L2_PIX_FMT_SGBRG8:
    case V4L2_PIX_FMT_SGRBG8:
    case V4L2_PIX_FMT_SRGGB8:
      return {{h, w, stride}};
    case V4L2_PIX_FMT_YUYV:
    case V4L2_PIX_FMT_YVYU:
    case V4L2_PIX_FMT_UYVY:
    case V4L2_PIX_FMT_VYUY:
      return {{h, half_w * 4, stride}};
    case V4L2_PIX_FMT_RGB565:
    case V4L2_PIX_FMT_RGB565X:
    case V4L2_PIX_FMT_RGB555:
    case V4L2_PIX_FMT_Y10:
    case V4L2_PIX_FMT_Y12:
    case V4L2_PIX_FMT_Y16:
    case V4L2_PIX_FMT_Y16_BE:
      return {{h, 2 * w, stride}};
    case V4L2_PIX_FMT_RGB24:
    case V4L2_PIX_FMT_BGR24:
      return {{h, 3 * w, stride}};
    case V4L2_PIX_FMT_NV12:
    case V4L2_PIX_FMT_NV21:
      return {{h, w, stride}, {half_h, 2 * half_w, stride}};
    case V4L2_PIX_FMT_NV16:
    case V4L2_PIX_FMT_NV61:
      return {{h, w, stride}, {h, 2 * half_w, stride}};
    case V4L2_PIX_FMT_YUV420:
    case V4L2_PIX_FMT_YVU420:
      return {{h, w, stride}, {half_h, half_w, stride / 2}, {half_h, half_w, stride / 2}};
    case V4L2_PIX_FMT_YUV422P:
      return {{h, w, stride}, {h, half_w, stride / 2}, {h, half_w, stride / 2}};
    default:
      return {};
  }
}

bool is_video_stream(uint32_t pixel_format) {
  switch (pixel_format) {
    case V4L2_PIX_FMT_H264:
    case V4L2_PIX_FMT_H264_NO_SC:
    case V4L2_PIX_FMT_H264_MVC:
    case V4L2_PIX_FMT_HEVC:
    case V4L2_PIX_FMT_VP8:
    case V4L2_PIX_FMT_VP9:
    case V4L2_PIX_FMT_MPEG:
    case V4L2_PIX_FMT_MPEG1:
    case V4L2_PIX_FMT_MPEG2:
    case V4L2_PIX_FMT_MPEG4:
    case V4L2_PIX_FMT_XVID:
    case V4L2_PIX_FMT_H263:
    case V4L2_PIX_FMT_VC1_ANNEX_G:
    case V4L2_PIX_FMT_VC1_ANNEX_L:
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
  return (node & (V4L2_CAP_VIDEO_CAPTURE | V4L2_CAP_VIDEO_CAPTURE_MPLANE)) &&
         (node & V4L2_CAP_STREAMING) &&
         !(node & V4L2_CAP_TOUCH);  // touch sensors stream "frames" too
}

uint32_t capture_type(const v4l2_capability& caps) {
  const uint32_t node =
      (caps.capabilities & V4L2_CAP_DEVICE_CAPS) ? caps.device_caps : caps.capabilities;
  return (node & V4L2_CAP_VIDEO_CAPTURE) || !(node & V4L2_CAP_VIDEO_CAPTURE_MPLANE)
             ? V4L2_BUF_TYPE_VIDEO_CAPTURE
             : V4L2_BUF_TYPE_VIDEO_CAPTURE_MPLANE;
}

bool planar_layout_of(uint32_t pixel_format, PixelLayout* pixels) {
  if (pixel_format == V4L2_PIX_FMT_NV12 || pixel_format == V4L2_PIX_FMT_NV12M) {
    *pixels = PixelLayout::kNv12;
    return true;
  }
  return layout_of(pixel_format, pixels);
}

std::vector<MenuEntry> menu_entries(V4l2Device& device, const v4l2_queryctrl& query) {
  std::vector<MenuEntry> entries;
  const int64_t first = std::max<int64_t>(query.minimum, 0);
  const int64_t end = std::min<int64_t>(int64_t{query.maximum} + 1, first + kMostMenuEntries);
  for (int64_t i = first; i < end; ++i) {
    v4l2_querymenu item = {};
    item.id = query.id;
    item.index = static_cast<uint32_t>(i);
    if (device.ioctl(VIDIOC_QUERYMENU, &item) != 0) continue;  // gaps are allowed
    // Not std::to_string: its digit table would be a unique symbol, which
    // keeps the plug-in from ever unloading.
    char value[24];
    snprintf(value, sizeof value, "%lld", static_cast<long long>(item.value));
    entries.push_back({item.index, query.type == V4L2_CTRL_TYPE_MENU
                                       ? text_of(item.name, sizeof item.name)
                                       : value});
  }
  return entries;
}

namespace {

// uvcvideo fails the query of a control its camera does not answer, which
// would end a list of controls there. The first control after last (0: none
// yet) whose own query fails otherwise than with EINVAL (no such control),
// among the next few ids and the first few of the camera class; 0 for none.
uint32_t unanswered_control_after(V4l2Device& device, uint32_t last) {
  const uint32_t kNearby = 64;
  uint32_t first = last ? last + 1 : static_cast<uint32_t>(V4L2_CID_BASE);
  // After a class's own entry, its controls start at 0x900.
  if ((first & 0xffff) < 0x900) first = (first & 0xffff0000) | 0x900;
  for (uint32_t start : {first, static_cast<uint32_t>(V4L2_CID_CAMERA_CLASS_BASE)}) {
    if (start < first) continue;
    for (uint32_t id = start; id < start + kNearby; ++id) {
      v4l2_queryctrl query = {};
      query.id = id;
      if (device.ioctl(VIDIOC_QUERYCTRL, &query) != 0 && errno != EINVAL) return id;
    }
  }
  return 0;
}

}  // namespace

std::vector<v4l2_queryctrl> listed_controls(V4l2Device& device) {
  std::vector<v4l2_queryctrl> listed;
  v4l2_queryctrl query = {};
  query.id = V4L2_CTRL_FLAG_NEXT_CTRL;
  // Each control's id is above the last one's; a driver that says otherwise
  // would never end the list.
  uint32_t last = 0;
  for (uint32_t asked = 0; asked < kMostControls; ++asked) {
    uint32_t after = 0;
    if (device.ioctl(VIDIOC_QUERYCTRL, &query) != 0) {
      // No more controls, or no device to ask.
      if (errno == EINVAL || errno == EBADF || errno == ENODEV || errno == ENXIO) break;
      after = unanswered_control_after(device, last);
      if (!after) break;
    } else {
      if (query.id <= last) break;
      listed.push_back(query);
      after = query.id;
    }
    last = after;
    query = {};
    query.id = after | V4L2_CTRL_FLAG_NEXT_CTRL;
  }
  return listed;
}

// A timestamp further than this from zero is no clock's (and its product
// with kSecond could not be formed).
const int64_t kLargestStampSeconds = 1000 * 1000 * 1000;

FrameStamp stamp_of(const v4l2_buffer& buffer) {
  const int64_t seconds = std::max<int64_t>(
      -kLargestStampSeconds, std::min<int64_t>(buffer.timestamp.tv_sec, kLargestStampSeconds));
  const int64_t microseconds = buffer.timestamp.tv_usec % 1000000;
  return {(buffer.flags & V4L2_BUF_FLAG_TIMESTAMP_MASK) == V4L2_BUF_FLAG_TIMESTAMP_MONOTONIC,
          (buffer.flags & V4L2_BUF_FLAG_TSTAMP_SRC_MASK) == V4L2_BUF_FLAG_TSTAMP_SRC_EOF,
          seconds * kSecond + microseconds * 1000};
}

}  // namespace vidmote
