// list-cameras' picture of one machine's cameras, and the text it prints of
// it. The same on Linux and Windows: each platform's file fills it in.
#ifndef LIST_CAMERAS_LISTING_H
#define LIST_CAMERAS_LISTING_H

#include <stdint.h>

#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "frame_source.h"

namespace list_cameras {

// One frame size (or range of sizes) and the frame rates offered at it.
struct SizeEntry {
  std::string size;                // "640x480", or a range
  std::vector<std::string> rates;  // "30 fps", "5 to 30 fps"
};

struct FormatEntry {
  std::string code;                // fourcc or subtype: "YUYV", "RGB24"
  std::string description;         // "" when the device gives none
  std::vector<std::string> notes;  // "compressed", ...
  std::vector<SizeEntry> sizes;
};

struct ControlEntry {
  std::string name;
  std::string type;  // "integer", "boolean", "menu", ...
  bool ranged = false;
  int64_t minimum = 0, maximum = 0, step = 0;
  std::string default_value;         // "" when none
  std::string current;               // "" when unknown
  std::vector<std::string> notes;    // "inactive", "read-only", ...
  std::vector<std::string> entries;  // a menu's "index: label"
};

struct CameraEntry {
  std::string heading;  // the first line: the device and its name
  std::string name;     // as the last line names the default camera
  std::vector<std::pair<std::string, std::string>> fields;  // "driver", "vivid"
  std::string verdict;                                      // what the default plug-in makes of it
  std::string problem;  // why formats and controls are missing; "" if none
  std::vector<FormatEntry> formats;
  std::vector<ControlEntry> controls;
};

// The whole listing: every camera, the device nodes that are no cameras,
// then the line that names the default (or says the plug-in falls back to
// its test card). unusable_named: a device asked for that does not open;
// VIDMOTE_DEVICE naming it fails the start, so the last line says that.
std::string listing_text(const std::vector<CameraEntry>& cameras, const std::string& default_name,
                         bool any_camera, const std::vector<std::string>& not_cameras = {},
                         const std::string& unusable_named = "");
std::string camera_text(const CameraEntry& camera);
std::string control_line(const ControlEntry& control);

// What the default plug-in makes of each camera, in the plug-in's order:
// the first that opens is its default. Each is opened and closed again, no
// frame streamed. selectors[i]: the VIDMOTE_DEVICE value that picks camera i,
// "" when none does.
struct Verdict {
  bool is_default = false;
  bool opens = false;
  std::string text;  // "used by default", "usable: ...", "not used: ..."
};
std::vector<Verdict> plug_in_verdicts(
    const std::vector<std::unique_ptr<vidmote::FrameSource>>& cameras,
    const std::vector<std::string>& selectors);
// The same for a camera that is not the default: one VIDMOTE_DEVICE names.
Verdict named_camera_verdict(vidmote::FrameSource& camera, const std::string& selector);

// The frame rate of a frame interval of numerator / denominator seconds,
// "30" or "29.97"; "" when the interval is no time at all.
std::string fps_text(uint64_t numerator, uint64_t denominator);
// "30 fps" for one rate, "5 to 30 fps" for intervals fastest to slowest.
std::string rate_range_text(uint64_t fast_numerator, uint64_t fast_denominator,
                            uint64_t slow_numerator, uint64_t slow_denominator);
std::string size_text(uint32_t width, uint32_t height);
// A range of sizes; steps of 1 x 1 are any size in between.
std::string size_range_text(uint32_t min_width, uint32_t min_height, uint32_t max_width,
                            uint32_t max_height, uint32_t step_width, uint32_t step_height);
// A V4L2 pixel format's four characters ("YUYV"; "Y10" for "Y10 "), "-BE"
// after a big-endian one's.
std::string fourcc_text(uint32_t code);
// A DirectShow media subtype: its fourcc where it is one (YUY2, MJPG), the
// name of the RGB ones, else the GUID.
std::string subtype_text(uint32_t data1, uint16_t data2, uint16_t data3, const uint8_t data4[8]);

}  // namespace list_cameras

#endif  // LIST_CAMERAS_LISTING_H
