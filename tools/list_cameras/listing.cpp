#include "listing.h"

#include <stdio.h>

#include "device_text.h"

namespace list_cameras {

namespace {

std::string joined(const std::vector<std::string>& parts, const char* between) {
  std::string text;
  for (const std::string& part : parts) text += (text.empty() ? "" : between) + part;
  return text;
}

std::string notes_text(const std::vector<std::string>& notes) {
  return notes.empty() ? "" : " (" + joined(notes, ", ") + ")";
}

}  // namespace

std::string fps_text(uint64_t numerator, uint64_t denominator) {
  if (numerator == 0 || denominator == 0) return "";
  char text[48];
  snprintf(text, sizeof text, "%.3f", static_cast<double>(denominator) / numerator);
  std::string fps = text;
  while (fps.back() == '0') fps.pop_back();
  if (fps.back() == '.') fps.pop_back();
  return fps;
}

std::string rate_range_text(uint64_t fast_numerator, uint64_t fast_denominator,
                            uint64_t slow_numerator, uint64_t slow_denominator) {
  const std::string fast = fps_text(fast_numerator, fast_denominator);
  const std::string slow = fps_text(slow_numerator, slow_denominator);
  if (fast.empty()) return slow.empty() ? "" : slow + " fps";
  if (slow.empty() || slow == fast) return fast + " fps";
  return slow + " to " + fast + " fps";
}

std::string size_text(uint32_t width, uint32_t height) {
  return std::to_string(width) + "x" + std::to_string(height);
}

std::string size_range_text(uint32_t min_width, uint32_t min_height, uint32_t max_width,
                            uint32_t max_height, uint32_t step_width, uint32_t step_height) {
  std::string text = size_text(min_width, min_height) + " to " + size_text(max_width, max_height);
  if (step_width <= 1 && step_height <= 1) return text + ", any size between";
  return text + " in steps of " + size_text(step_width, step_height);
}

std::string fourcc_text(uint32_t code) {
  std::string text;
  for (int i = 0; i < 4; ++i) {
    const unsigned char c = (code >> (8 * i)) & (i == 3 ? 0x7F : 0xFF);
    text += c >= 0x20 && c < 0x7F ? static_cast<char>(c) : '?';
  }
  while (!text.empty() && text.back() == ' ') text.pop_back();
  return (code & (1u << 31)) ? text + "-BE" : text;
}

std::string subtype_text(uint32_t data1, uint16_t data2, uint16_t data3, const uint8_t data4[8]) {
  // Subtypes made of a fourcc: XXXXXXXX-0000-0010-8000-00AA00389B71.
  static const uint8_t kFourccTail[8] = {0x80, 0x00, 0x00, 0xAA, 0x00, 0x38, 0x9B, 0x71};
  // The uncompressed RGB ones: E436EB7x-524F-11CE-9F53-0020AF0BA770.
  static const uint8_t kRgbTail[8] = {0x9F, 0x53, 0x00, 0x20, 0xAF, 0x0B, 0xA7, 0x70};
  auto tail_is = [&](const uint8_t(&tail)[8]) {
    for (int i = 0; i < 8; ++i)
      if (data4[i] != tail[i]) return false;
    return true;
  };
  if (data2 == 0x0000 && data3 == 0x0010 && tail_is(kFourccTail)) return fourcc_text(data1);
  if (data2 == 0x524F && data3 == 0x11CE && tail_is(kRgbTail)) {
    static const char* const kRgb[] = {"RGB1",   "RGB4",  "RGB8", "RGB565",
                                       "RGB555", "RGB24", "RGB32"};
    if (data1 >= 0xE436EB78 && data1 <= 0xE436EB7E) return kRgb[data1 - 0xE436EB78];
  }
  char text[40];
  snprintf(text, sizeof text, "{%08X-%04X-%04X-%02X%02X-%02X%02X%02X%02X%02X%02X}",
           static_cast<unsigned>(data1), data2, data3, data4[0], data4[1], data4[2], data4[3],
           data4[4], data4[5], data4[6], data4[7]);
  return text;
}

std::string control_line(const ControlEntry& control) {
  std::string line = control.name + ": " + control.type;
  if (control.ranged) {
    line += ", " + std::to_string(control.minimum) + " to " + std::to_string(control.maximum);
    if (control.step > 0) line += ", step " + std::to_string(control.step);
  }
  if (!control.default_value.empty()) line += ", default " + control.default_value;
  if (!control.current.empty()) line += ", current " + control.current;
  return line + notes_text(control.notes);
}

std::string camera_text(const CameraEntry& camera) {
  std::string text = camera.heading + "\n";
  for (const auto& [key, value] : camera.fields) text += "  " + key + ": " + value + "\n";
  text += "  plug-in: " + camera.verdict + "\n";
  if (!camera.problem.empty()) return text + "  details: " + camera.problem + "\n";
  if (camera.formats.empty()) text += "  formats: none\n";
  if (!camera.formats.empty()) text += "  formats:\n";
  for (const FormatEntry& format : camera.formats) {
    text += "    " + format.code + (format.description.empty() ? "" : ": " + format.description) +
            notes_text(format.notes) + "\n";
    for (const SizeEntry& size : format.sizes)
      text +=
          "      " + size.size + (size.rates.empty() ? "" : ": " + joined(size.rates, ", ")) + "\n";
  }
  text += camera.controls.empty() ? "  controls: none\n" : "  controls:\n";
  for (const ControlEntry& control : camera.controls) {
    text += "    " + control_line(control) + "\n";
    for (const std::string& entry : control.entries) text += "      " + entry + "\n";
  }
  return text;
}

std::string listing_text(const std::vector<CameraEntry>& cameras, const std::string& default_name,
                         bool any_camera, const std::vector<std::string>& not_cameras,
                         const std::string& unusable_named) {
  std::string text;
  for (const CameraEntry& camera : cameras) text += camera_text(camera) + "\n";
  if (!not_cameras.empty()) text += "Not cameras: " + joined(not_cameras, ", ") + "\n";
  if (!unusable_named.empty())
    return text + "With VIDMOTE_DEVICE=" + vidmote::printable(unusable_named) +
           " the plug-in fails to start: a camera named that does not open is never replaced "
           "by the test card.\n";
  if (!any_camera) return text + "No cameras found: the plug-in uses its built-in test card.\n";
  if (default_name.empty())
    return text + "No camera opens: the plug-in uses its built-in test card.\n";
  return text + "Default: " + default_name + "\n";
}

Verdict named_camera_verdict(vidmote::FrameSource& camera, const std::string& selector) {
  Verdict verdict;
  verdict.opens = camera.open();
  const std::string failure = verdict.opens ? "" : camera.failure();
  camera.close();
  if (!verdict.opens)
    verdict.text = "not used: " + vidmote::printable(failure);
  else if (selector.empty())
    verdict.text = "usable, but no VIDMOTE_DEVICE value picks it";
  else
    verdict.text = "usable: VIDMOTE_DEVICE=" + vidmote::printable(selector);
  return verdict;
}

std::vector<Verdict> plug_in_verdicts(
    const std::vector<std::unique_ptr<vidmote::FrameSource>>& cameras,
    const std::vector<std::string>& selectors) {
  std::vector<Verdict> verdicts;
  bool have_default = false;
  for (size_t i = 0; i < cameras.size(); ++i) {
    verdicts.push_back(named_camera_verdict(*cameras[i], i < selectors.size() ? selectors[i] : ""));
    if (verdicts.back().opens && !have_default) {
      have_default = verdicts.back().is_default = true;
      verdicts.back().text = "used by default";
    }
  }
  return verdicts;
}

}  // namespace list_cameras
