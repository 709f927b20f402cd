// A PipeWire camera as list-cameras shows it.
#include "pipewire_details.h"

#include "device_text.h"

namespace list_cameras {

CameraEntry pipewire_entry(const vidmote::PwNode& node, const std::vector<vidmote::PwMode>& modes) {
  CameraEntry entry;
  entry.name = vidmote::printable(node.description + " (PipeWire)");
  entry.heading =
      "PipeWire " + vidmote::printable(node.name) + ": " + vidmote::printable(node.description);
  const std::string wraps = wrapped_device(node);
  entry.fields.push_back({"wraps", wraps.empty() ? "unknown" : vidmote::printable(wraps)});
  for (const vidmote::PwMode& mode : modes) {
    const std::string code = format_name(mode);
    if (entry.formats.empty() || entry.formats.back().code != code) {
      FormatEntry format;
      format.code = code;
      format.notes.push_back(convertible(mode) ? "the plug-in can read it"
                                               : "the plug-in cannot convert it");
      entry.formats.push_back(format);
    }
    SizeEntry size;
    const vidmote::FrameSize small = mode.smallest, large = mode.largest;
    size.size = small.width == large.width && small.height == large.height
                    ? size_text(small.width, small.height)
                    : size_range_text(small.width, small.height, large.width, large.height, 1, 1);
    const std::string fps = fps_text(mode.rate_den, mode.rate_num);
    if (mode.rate_num && !fps.empty()) size.rates.push_back(fps + " fps");
    entry.formats.back().sizes.push_back(size);
  }
  return entry;
}

}  // namespace list_cameras
