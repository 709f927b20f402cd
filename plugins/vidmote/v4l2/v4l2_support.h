// What the V4L2 camera's parts share: the limits on what a driver lists,
// the keys of the plug-in's own settings and small readings of driver
// structures. Linux only.
#ifndef VIDMOTE_V4L2_SUPPORT_H
#define VIDMOTE_V4L2_SUPPORT_H

#include <linux/videodev2.h>
#include <stddef.h>
#include <stdint.h>

#include <string>
#include <vector>

#include "frame_convert.h"
#include "frame_timing.h"
#include "v4l2_device.h"

namespace vidmote {

// A list the driver enumerates ends after so many entries.
const uint32_t kMostListed = 64;        // formats, sizes, frame intervals
const uint32_t kMostControls = 256;     // controls of one camera
const uint32_t kMostMenuEntries = 256;  // indices asked of one menu

// Keys of the plug-in's own settings: V4L2 control ids are far above them.
const uint32_t kFormatKey = 1;
const uint32_t kSettleKey = 2;

// The layout of a format the plug-in converts itself; false for others.
bool layout_of(uint32_t pixel_format, PixelLayout* pixels);

// The planes of one frame of a format, as V4L2 lays them out in a single
// buffer with the first plane's rows bytesperline apart (a chroma plane of
// half the width has rows half as far apart); empty for a format not known
// here.
std::vector<FramePlane> frame_planes(const v4l2_pix_format& pix);

// Whether frames of this format are a video codec's (H.264, HEVC, VP8, ...),
// each depending on others: nothing here decodes those.
bool is_video_stream(uint32_t pixel_format);

// When the driver says it took the frame in the buffer.
FrameStamp stamp_of(const v4l2_buffer& buffer);

// A name the device gave (a fixed field, terminated or full), ready for a
// terminal.
std::string text_of(const uint8_t* bytes, size_t size);

// Whether this node is a camera. Its own capabilities count: the card-wide
// set also covers its other nodes (a webcam's metadata node, say).
// Single- or multi-planar.
bool is_camera_node(const v4l2_capability& caps);
// The buffer type a camera node captures with: multi-planar only where the
// node captures no other way.
uint32_t capture_type(const v4l2_capability& caps);
// The layout of a format the plug-in converts itself from a multi-planar
// node (libv4lconvert has no multi-planar calls): its own formats, and NV12
// in one plane or two (NV12M); false for others.
bool planar_layout_of(uint32_t pixel_format, PixelLayout* pixels);

// The entries of a menu control, in index order: a menu's labels, an integer
// menu's values as text. The driver may leave gaps.
struct MenuEntry {
  uint32_t index;
  std::string label;
};
std::vector<MenuEntry> menu_entries(V4l2Device& device, const v4l2_queryctrl& query);

// Every control the driver lists, in id order, as it answered each query. A
// control whose query fails (uvcvideo's answer for one its camera does not
// answer) is left out and the list goes on after it; the list ends where
// the ids stop rising or after kMostControls.
std::vector<v4l2_queryctrl> listed_controls(V4l2Device& device);

}  // namespace vidmote

#endif  // VIDMOTE_V4L2_SUPPORT_H
