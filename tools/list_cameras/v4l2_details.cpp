#include "v4l2_details.h"

#include <errno.h>
#include <stdio.h>
#include <string.h>

#include <algorithm>

#include "device_text.h"
#include "v4l2_support.h"

namespace list_cameras {

namespace {

using vidmote::kMostControls;
using vidmote::kMostListed;
using vidmote::text_of;

std::vector<std::string> rates_at(vidmote::V4l2Device& device, uint32_t format, uint32_t width,
                                  uint32_t height) {
  std::vector<std::string> rates;
  v4l2_frmivalenum interval = {};
  interval.pixel_format = format;
  interval.width = width;
  interval.height = height;
  for (; interval.index < kMostListed && device.ioctl(VIDIOC_ENUM_FRAMEINTERVALS, &interval) == 0;
       ++interval.index) {
    if (interval.type == V4L2_FRMIVAL_TYPE_DISCRETE) {
      const std::string fps = fps_text(interval.discrete.numerator, interval.discrete.denominator);
      if (!fps.empty()) rates.push_back(fps + " fps");
      continue;
    }
    // A range: the shortest interval is the fastest rate.
    const v4l2_frmival_stepwise& range = interval.stepwise;
    const std::string text = rate_range_text(range.min.numerator, range.min.denominator,
                                             range.max.numerator, range.max.denominator);
    if (!text.empty()) rates.push_back(text);
    break;
  }
  return rates;
}

std::vector<SizeEntry> sizes_of(vidmote::V4l2Device& device, uint32_t format) {
  std::vector<SizeEntry> sizes;
  v4l2_frmsizeenum size = {};
  size.pixel_format = format;
  for (; size.index < kMostListed && device.ioctl(VIDIOC_ENUM_FRAMESIZES, &size) == 0;
       ++size.index) {
    if (size.type == V4L2_FRMSIZE_TYPE_DISCRETE) {
      const uint32_t w = size.discrete.width, h = size.discrete.height;
      sizes.push_back({size_text(w, h), rates_at(device, format, w, h)});
      continue;
    }
    // A range: its rates as the largest size has them.
    const v4l2_frmsize_stepwise& range = size.stepwise;
    SizeEntry entry = {size_range_text(range.min_width, range.min_height, range.max_width,
                                       range.max_height, range.step_width, range.step_height),
                       {}};
    for (const std::string& rate : rates_at(device, format, range.max_width, range.max_height))
      entry.rates.push_back(rate + " at " + size_text(range.max_width, range.max_height));
    sizes.push_back(entry);
    break;
  }
  return sizes;
}

// The formats the camera itself sends, single- or multi-planar as type
// says. (A flag for libv4lconvert's conversions cannot come from the kernel;
// should one, it is not the camera's and is left out.)
std::vector<FormatEntry> formats_of(vidmote::V4l2Device& device, uint32_t type) {
  std::vector<FormatEntry> formats;
  v4l2_fmtdesc format = {};
  format.type = type;
  for (; format.index < kMostListed && device.ioctl(VIDIOC_ENUM_FMT, &format) == 0;
       ++format.index) {
    if (format.flags & V4L2_FMT_FLAG_EMULATED) continue;
    FormatEntry entry;
    entry.code = fourcc_text(format.pixelformat);
    entry.description = text_of(format.description, sizeof format.description);
    if (format.flags & V4L2_FMT_FLAG_COMPRESSED) entry.notes.push_back("compressed");
    vidmote::PixelLayout pixels;
    if (type == V4L2_BUF_TYPE_VIDEO_CAPTURE_MPLANE
            ? vidmote::planar_layout_of(format.pixelformat, &pixels)
            : vidmote::layout_of(format.pixelformat, &pixels))
      entry.notes.push_back("the plug-in can read it directly");
    entry.sizes = sizes_of(device, format.pixelformat);
    formats.push_back(entry);
  }
  return formats;
}

const char* type_name(uint32_t type) {
  switch (type) {
    case V4L2_CTRL_TYPE_INTEGER:
      return "integer";
    case V4L2_CTRL_TYPE_BOOLEAN:
      return "boolean";
    case V4L2_CTRL_TYPE_MENU:
      return "menu";
    case V4L2_CTRL_TYPE_INTEGER_MENU:
      return "integer menu";
    case V4L2_CTRL_TYPE_BUTTON:
      return "button";
    case V4L2_CTRL_TYPE_INTEGER64:
      return "64-bit integer";
    case V4L2_CTRL_TYPE_STRING:
      return "text";
    case V4L2_CTRL_TYPE_BITMASK:
      return "bitmask";
    default:
      return "";
  }
}

// The control's current value, where the driver gives it.
bool current_value(vidmote::V4l2Device& device, const v4l2_queryctrl& query, int64_t* value) {
  if (query.flags & V4L2_CTRL_FLAG_WRITE_ONLY) return false;
  switch (query.type) {
    case V4L2_CTRL_TYPE_INTEGER:
    case V4L2_CTRL_TYPE_BOOLEAN:
    case V4L2_CTRL_TYPE_MENU:
    case V4L2_CTRL_TYPE_INTEGER_MENU:
    case V4L2_CTRL_TYPE_BITMASK: {
      v4l2_control control = {query.id, 0};
      if (device.ioctl(VIDIOC_G_CTRL, &control) != 0) return false;
      *value = control.value;
      return true;
    }
    case V4L2_CTRL_TYPE_INTEGER64: {
      v4l2_ext_control control = {};
      control.id = query.id;
      v4l2_ext_controls controls = {};
      controls.which = V4L2_CTRL_WHICH_CUR_VAL;
      controls.count = 1;
      controls.controls = &control;
      if (device.ioctl(VIDIOC_G_EXT_CTRLS, &controls) != 0) return false;
      *value = control.value64;
      return true;
    }
    default:
      return false;
  }
}

ControlEntry control_of(vidmote::V4l2Device& device, const v4l2_queryctrl& query) {
  ControlEntry control;
  control.name = text_of(query.name, sizeof query.name);
  control.type = type_name(query.type);
  if (control.type.empty()) control.type = "type " + std::to_string(query.type);
  const bool menu = query.type == V4L2_CTRL_TYPE_MENU || query.type == V4L2_CTRL_TYPE_INTEGER_MENU;
  const bool boolean = query.type == V4L2_CTRL_TYPE_BOOLEAN;
  const bool bitmask = query.type == V4L2_CTRL_TYPE_BITMASK;
  const bool valued = query.type != V4L2_CTRL_TYPE_BUTTON && query.type != V4L2_CTRL_TYPE_STRING;
  control.ranged = valued && !boolean && !bitmask;
  control.minimum = query.minimum;
  control.maximum = query.maximum;
  control.step = menu ? 0 : query.step;
  int64_t default_value = query.default_value;
  if (query.type == V4L2_CTRL_TYPE_INTEGER64) {
    // Its range needs the extended query; without it, none is shown.
    v4l2_query_ext_ctrl wide = {};
    wide.id = query.id;
    control.ranged = device.ioctl(VIDIOC_QUERY_EXT_CTRL, &wide) == 0;
    control.minimum = wide.minimum;
    control.maximum = wide.maximum;
    control.step = static_cast<int64_t>(wide.step);
    default_value = wide.default_value;
  }

  const std::vector<vidmote::MenuEntry> labels =
      menu ? vidmote::menu_entries(device, query) : std::vector<vidmote::MenuEntry>();
  for (const vidmote::MenuEntry& entry : labels)
    control.entries.push_back(std::to_string(entry.index) + ": " + entry.label);
  auto value_text = [&](int64_t value) {
    if (boolean) return std::string(value ? "on" : "off");
    if (bitmask) {
      char hex[16];
      snprintf(hex, sizeof hex, "0x%08x", static_cast<unsigned>(value));
      return std::string(hex);
    }
    std::string text = std::to_string(value);
    for (const vidmote::MenuEntry& entry : labels)
      if (entry.index == value) text += " (" + entry.label + ")";
    return text;
  };
  if (valued) control.default_value = value_text(default_value);
  int64_t value = 0;
  if (valued && current_value(device, query, &value)) control.current = value_text(value);

  if (query.flags & V4L2_CTRL_FLAG_INACTIVE) control.notes.push_back("inactive");
  if (query.flags & V4L2_CTRL_FLAG_READ_ONLY) control.notes.push_back("read-only");
  if (query.flags & V4L2_CTRL_FLAG_WRITE_ONLY) control.notes.push_back("write-only");
  if (query.flags & V4L2_CTRL_FLAG_GRABBED) control.notes.push_back("fixed while streaming");
  return control;
}

std::vector<ControlEntry> controls_of(vidmote::V4l2Device& device) {
  std::vector<ControlEntry> controls;
  for (const v4l2_queryctrl& query : vidmote::listed_controls(device)) {
    if (!(query.flags & V4L2_CTRL_FLAG_DISABLED) && query.type != V4L2_CTRL_TYPE_CTRL_CLASS)
      controls.push_back(control_of(device, query));
  }
  return controls;
}

}  // namespace

bool describe_v4l2_node(vidmote::V4l2Device& device, const std::string& path, CameraEntry* entry) {
  const std::string shown = vidmote::printable(path);
  entry->heading = shown;
  const int error = device.open(path);
  if (error != 0) {
    entry->problem = std::string("it cannot be opened: ") + strerror(error);
    return false;
  }
  v4l2_capability caps = {};
  if (device.ioctl(VIDIOC_QUERYCAP, &caps) != 0) {
    entry->problem = std::string("it does not answer as a V4L2 device: ") + strerror(errno);
    device.close();
    return false;
  }
  const std::string card = text_of(caps.card, sizeof caps.card);
  entry->heading = shown + ": " + card;
  entry->name = card + " (" + shown + ")";
  entry->fields.push_back({"driver", text_of(caps.driver, sizeof caps.driver)});
  entry->fields.push_back({"bus", text_of(caps.bus_info, sizeof caps.bus_info)});
  if (!vidmote::is_camera_node(caps)) {
    entry->problem = "not a camera: the node does not capture video";
    device.close();
    return false;
  }
  entry->formats = formats_of(device, vidmote::capture_type(caps));
  entry->controls = controls_of(device);
  device.close();
  return true;
}

}  // namespace list_cameras
