// Reading PipeWire's camera nodes and their formats, and choosing a mode.
#include "pw_nodes.h"

#include <spa/param/format.h>
#include <spa/param/video/raw.h>
#include <spa/pod/builder.h>
#include <spa/pod/iter.h>
#include <stdint.h>
#include <stdlib.h>

#include <algorithm>

namespace vidmote {

namespace {

std::string value_of(const PwProperties& properties, const char* key) {
  for (const auto& entry : properties)
    if (entry.first == key) return entry.second;
  return "";
}

// The default and the other values a property offers, of type T.
template <typename T>
std::vector<T> offered_values(const spa_pod* value, uint32_t pod_type, uint32_t* choice) {
  uint32_t count = 0;
  const spa_pod* values = spa_pod_get_values(value, &count, choice);
  if (!values || values->type != pod_type || values->size < sizeof(T) || count == 0) return {};
  const T* first = static_cast<const T*>(SPA_POD_BODY_CONST(values));
  return std::vector<T>(first, first + count);
}

int64_t distance(FrameSize a, FrameSize b) {
  return std::llabs(int64_t{a.width} - b.width) + std::llabs(int64_t{a.height} - b.height);
}

// The size of the mode nearest to wanted: wanted itself within a range.
FrameSize nearest_in(const PwMode& mode, FrameSize wanted) {
  return {std::min(std::max(wanted.width, mode.smallest.width), mode.largest.width),
          std::min(std::max(wanted.height, mode.smallest.height), mode.largest.height)};
}

}  // namespace

bool camera_node(const PwProperties& properties, PwNode* node) {
  if (value_of(properties, "media.class") != "Video/Source") return false;
  node->name = value_of(properties, "node.name");
  node->description = value_of(properties, "node.description");
  if (node->description.empty()) node->description = value_of(properties, "node.nick");
  if (node->description.empty()) node->description = node->name;
  node->v4l2_path = value_of(properties, "api.v4l2.path");
  // WirePlumber's V4L2 nodes name their device in object.path instead.
  const std::string object_path = value_of(properties, "object.path");
  if (node->v4l2_path.empty() && object_path.rfind("v4l2:/", 0) == 0)
    node->v4l2_path = object_path.substr(5);
  node->libcamera_id = value_of(properties, "api.libcamera.path");
  return !node->name.empty();
}

std::string wrapped_device(const PwNode& node) {
  if (!node.v4l2_path.empty()) return "V4L2 " + node.v4l2_path;
  if (!node.libcamera_id.empty()) return "libcamera camera " + node.libcamera_id;
  return "";
}

bool names_node(const PwNode& node, const std::string& wanted) {
  return !wanted.empty() && (wanted == node.name || wanted == node.description);
}

std::vector<size_t> places_among(const std::vector<std::string>& v4l2_paths,
                                 const std::vector<PwNode>& nodes) {
  std::vector<size_t> places;
  for (const PwNode& node : nodes) {
    const auto twin = std::find(v4l2_paths.begin(), v4l2_paths.end(), node.v4l2_path);
    places.push_back(node.v4l2_path.empty() || twin == v4l2_paths.end()
                         ? v4l2_paths.size()
                         : static_cast<size_t>(twin - v4l2_paths.begin()) + 1);
  }
  return places;
}

bool pixels_of_format(uint32_t spa_format, PixelLayout* pixels) {
  switch (spa_format) {
    case SPA_VIDEO_FORMAT_BGR:
      *pixels = PixelLayout::kBgr24;
      return true;
    case SPA_VIDEO_FORMAT_RGB:
      *pixels = PixelLayout::kRgb24;
      return true;
    case SPA_VIDEO_FORMAT_YUY2:
      *pixels = PixelLayout::kYuyv;
      return true;
    case SPA_VIDEO_FORMAT_GRAY8:
      *pixels = PixelLayout::kGrey;
      return true;
    default:
      return false;
  }
}

bool convertible(const PwMode& mode) {
  PixelLayout pixels;
  return mode.mjpeg || pixels_of_format(mode.format, &pixels);
}

std::string format_name(const PwMode& mode) {
  if (mode.mjpeg) return "MJPG";
  switch (mode.format) {
    case SPA_VIDEO_FORMAT_BGR:
      return "BGR";
    case SPA_VIDEO_FORMAT_RGB:
      return "RGB";
    case SPA_VIDEO_FORMAT_YUY2:
      return "YUY2";
    case SPA_VIDEO_FORMAT_GRAY8:
      return "GRAY8";
    case SPA_VIDEO_FORMAT_NV12:
      return "NV12";
    case SPA_VIDEO_FORMAT_I420:
      return "I420";
    case SPA_VIDEO_FORMAT_UYVY:
      return "UYVY";
    default:
      return "format " + std::to_string(mode.format);
  }
}

std::vector<PwMode> modes_of_param(const spa_pod* param) {
  if (!param || !spa_pod_is_object(param)) return {};
  PwMode mode;
  std::vector<uint32_t> formats;
  bool video = false, raw = false;
  uint32_t choice = 0;
  const spa_pod_object* object = reinterpret_cast<const spa_pod_object*>(param);
  const spa_pod_prop* prop;
  SPA_POD_OBJECT_FOREACH(object, prop) {
    switch (prop->key) {
      case SPA_FORMAT_mediaType: {
        const auto types = offered_values<uint32_t>(&prop->value, SPA_TYPE_Id, &choice);
        video = !types.empty() && types[0] == SPA_MEDIA_TYPE_video;
        break;
      }
      case SPA_FORMAT_mediaSubtype: {
        const auto subtypes = offered_values<uint32_t>(&prop->value, SPA_TYPE_Id, &choice);
        raw = !subtypes.empty() && subtypes[0] == SPA_MEDIA_SUBTYPE_raw;
        mode.mjpeg = !subtypes.empty() && subtypes[0] == SPA_MEDIA_SUBTYPE_mjpg;
        break;
      }
      case SPA_FORMAT_VIDEO_format: {
        // The default, then the alternatives (an enumeration repeats it).
        for (uint32_t format : offered_values<uint32_t>(&prop->value, SPA_TYPE_Id, &choice))
          if (std::find(formats.begin(), formats.end(), format) == formats.end())
            formats.push_back(format);
        break;
      }
      case SPA_FORMAT_VIDEO_size: {
        const auto sizes = offered_values<spa_rectangle>(&prop->value, SPA_TYPE_Rectangle, &choice);
        if (sizes.empty()) break;
        // A range: default, smallest, largest (and a step, taken as 1).
        const bool range =
            (choice == SPA_CHOICE_Range || choice == SPA_CHOICE_Step) && sizes.size() >= 3;
        const spa_rectangle small = range ? sizes[1] : sizes[0];
        const spa_rectangle large = range ? sizes[2] : sizes[0];
        const auto clamped = [](uint32_t value) {
          return static_cast<int32_t>(std::min<uint32_t>(value, INT32_MAX));
        };
        mode.smallest = {clamped(small.width), clamped(small.height)};
        mode.largest = {clamped(large.width), clamped(large.height)};
        break;
      }
      case SPA_FORMAT_VIDEO_framerate: {
        const auto rates = offered_values<spa_fraction>(&prop->value, SPA_TYPE_Fraction, &choice);
        // A range's default (its largest is no camera's), else the fastest
        // of the values offered.
        const bool range = choice == SPA_CHOICE_Range || choice == SPA_CHOICE_Step;
        for (size_t i = 0; i < (range ? std::min<size_t>(1, rates.size()) : rates.size()); ++i) {
          const spa_fraction rate = rates[i];
          if (rate.num && rate.denom &&
              (!mode.rate_num ||
               uint64_t{rate.num} * mode.rate_den > uint64_t{mode.rate_num} * rate.denom)) {
            mode.rate_num = rate.num;
            mode.rate_den = rate.denom;
          }
        }
        break;
      }
      default:
        break;
    }
  }
  if (!video || !(raw || mode.mjpeg) || mode.smallest.width <= 0 || mode.smallest.height <= 0)
    return {};
  if (mode.mjpeg) return {mode};
  std::vector<PwMode> modes;
  for (uint32_t format : formats) {
    if (format == SPA_VIDEO_FORMAT_UNKNOWN) continue;  // one PipeWire has no name for
    mode.format = format;
    modes.push_back(mode);
  }
  return modes;
}

// Raw formats before MJPEG, those read as they are (RGB) before those
// converted (YUY2, grey).
static int preference(const PwMode& mode) {
  if (mode.mjpeg) return 3;
  return mode.format == SPA_VIDEO_FORMAT_BGR || mode.format == SPA_VIDEO_FORMAT_RGB ? 0
         : mode.format == SPA_VIDEO_FORMAT_YUY2                                     ? 1
                                                                                    : 2;
}

bool choose_mode(const std::vector<PwMode>& modes, FrameSize wanted, PwMode* chosen) {
  const PwMode* best = nullptr;
  int64_t best_distance = 0;
  for (const PwMode& mode : modes) {
    if (!convertible(mode)) continue;
    const int64_t off = distance(nearest_in(mode, wanted), wanted);
    if (!best || off < best_distance ||
        (off == best_distance && preference(mode) < preference(*best))) {
      best = &mode;
      best_distance = off;
    }
  }
  if (!best) return false;
  *chosen = *best;
  chosen->smallest = chosen->largest = nearest_in(*best, wanted);
  return true;
}

bool streamed_frames(const PwMode& mode, uint32_t stride, StreamedFrames* frames) {
  frames->mjpeg = mode.mjpeg;
  frames->layout = {mode.largest.width, mode.largest.height, 0, PixelLayout::kBgr24};
  if (mode.mjpeg) return true;
  if (!pixels_of_format(mode.format, &frames->layout.pixels)) return false;
  // Rows may be padded (a libcamera camera's stride, say); a stride shorter
  // than a row is no stride at all.
  if (stride >= row_bytes(mode.largest.width, frames->layout.pixels))
    frames->layout.bytes_per_line = stride;
  return true;
}

const spa_pod* format_param(spa_pod_builder* builder, const PwMode& mode) {
  const spa_rectangle size = SPA_RECTANGLE(static_cast<uint32_t>(mode.largest.width),
                                           static_cast<uint32_t>(mode.largest.height));
  spa_pod_frame frame;
  spa_pod_builder_push_object(builder, &frame, SPA_TYPE_OBJECT_Format, SPA_PARAM_EnumFormat);
  spa_pod_builder_add(builder, SPA_FORMAT_mediaType, SPA_POD_Id(SPA_MEDIA_TYPE_video),
                      SPA_FORMAT_mediaSubtype,
                      SPA_POD_Id(mode.mjpeg ? SPA_MEDIA_SUBTYPE_mjpg : SPA_MEDIA_SUBTYPE_raw), 0);
  if (!mode.mjpeg)
    spa_pod_builder_add(builder, SPA_FORMAT_VIDEO_format, SPA_POD_Id(mode.format), 0);
  spa_pod_builder_add(builder, SPA_FORMAT_VIDEO_size, SPA_POD_Rectangle(&size), 0);
  if (mode.rate_num) {
    const spa_fraction rate = SPA_FRACTION(mode.rate_num, mode.rate_den);
    spa_pod_builder_add(builder, SPA_FORMAT_VIDEO_framerate, SPA_POD_Fraction(&rate), 0);
  }
  return static_cast<const spa_pod*>(spa_pod_builder_pop(builder, &frame));
}

}  // namespace vidmote
