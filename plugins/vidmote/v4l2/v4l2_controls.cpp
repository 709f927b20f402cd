// The camera's settings: its format, the settle time and the driver's own
// controls; and the sizes the dialog lists.
#include <stdio.h>

#include <algorithm>

#include "frame_timing.h"
#include "v4l2_camera.h"
#include "v4l2_support.h"

namespace vidmote {

namespace {

bool can_change(const v4l2_queryctrl& query) {
  return !(query.flags & V4L2_CTRL_FLAG_READ_ONLY);
}

// A format's code as list-cameras shows it: "YUYV", "BGR3".
std::string format_code(uint32_t code) {
  std::string text;
  for (int i = 0; i < 4; ++i) {
    const char c = static_cast<char>((code >> (8 * i)) & 0x7F);
    if (c > ' ' && c < 0x7F) text += c;
  }
  return text;
}

std::string number_name(int64_t value) {
  char text[24];
  snprintf(text, sizeof text, "%lld", static_cast<long long>(value));
  return text;
}

}  // namespace

std::vector<FrameSize> V4l2Camera::offered_sizes() const {
  std::vector<FrameSize> sizes;
  v4l2_frmsizeenum size = {};
  size.pixel_format = pixel_format_;
  for (; is_open() && size.index < kMostListed && xioctl(VIDIOC_ENUM_FRAMESIZES, &size) == 0;
       ++size.index) {
    if (size.type == V4L2_FRMSIZE_TYPE_DISCRETE) {
      sizes.push_back(
          {static_cast<int32_t>(size.discrete.width), static_cast<int32_t>(size.discrete.height)});
      continue;
    }
    // A range: the usual sizes within it, and its largest.
    const v4l2_frmsize_stepwise& range = size.stepwise;
    for (const FrameSize& usual : FrameSource::offered_sizes()) {
      const uint32_t w = static_cast<uint32_t>(usual.width);
      const uint32_t h = static_cast<uint32_t>(usual.height);
      if (w >= range.min_width && w <= range.max_width && h >= range.min_height &&
          h <= range.max_height)
        sizes.push_back(usual);
    }
    sizes.push_back(
        {static_cast<int32_t>(range.max_width), static_cast<int32_t>(range.max_height)});
    break;
  }
  if (sizes.empty()) sizes.push_back(size_);
  return sizes;
}

std::vector<v4l2_fmtdesc> V4l2Camera::direct_formats() const {
  std::vector<v4l2_fmtdesc> formats;
  v4l2_fmtdesc format = {};
  format.type = buf_type_;
  for (; is_open() && format.index < kMostListed && xioctl(VIDIOC_ENUM_FMT, &format) == 0;
       ++format.index) {
    PixelLayout pixels;
    const bool readable = multi_planar() ? planar_layout_of(format.pixelformat, &pixels)
                                         : layout_of(format.pixelformat, &pixels);
    if (!(format.flags & V4L2_FMT_FLAG_EMULATED) && readable) formats.push_back(format);
  }
  return formats;
}

std::vector<V4l2Camera::Control> V4l2Camera::controls() const {
  std::vector<Control> found;
  if (!is_open()) return found;
  for (const v4l2_queryctrl& query : listed_controls(*device_)) {
    const bool shown =
        !(query.flags & V4L2_CTRL_FLAG_DISABLED) &&
        (query.type == V4L2_CTRL_TYPE_INTEGER || query.type == V4L2_CTRL_TYPE_BOOLEAN ||
         query.type == V4L2_CTRL_TYPE_MENU || query.type == V4L2_CTRL_TYPE_INTEGER_MENU ||
         query.type == V4L2_CTRL_TYPE_BUTTON);
    if (shown) {
      Control control = {query, {}, {}};
      const bool menu =
          query.type == V4L2_CTRL_TYPE_MENU || query.type == V4L2_CTRL_TYPE_INTEGER_MENU;
      for (const MenuEntry& entry :
           menu ? menu_entries(*device_, query) : std::vector<MenuEntry>()) {
        control.menu_indices.push_back(entry.index);
        control.menu_labels.push_back(entry.label);
      }
      if (!menu || !control.menu_indices.empty()) found.push_back(control);
    }
  }
  return found;
}

std::vector<SourceSetting> V4l2Camera::settings() const {
  std::vector<SourceSetting> list;

  SourceSetting format;
  format.key = kFormatKey;
  format.name = "Camera format";
  format.variable = "VIDMOTE_FORMAT";
  format.choices = {"automatic: BGR24 through libv4lconvert"};
  format.choice_names = {"auto"};
  for (const v4l2_fmtdesc& direct : direct_formats()) {
    if (direct.pixelformat == direct_format_) format.current = format.choices.size();
    format.choices.push_back(text_of(direct.description, sizeof direct.description) +
                             ", read directly");
    format.choice_names.push_back(format_code(direct.pixelformat));
  }
  list.push_back(format);

  list.push_back(settle_setting(kSettleKey, settle_choice_));

  for (const Control& control : controls()) {
    const v4l2_queryctrl& query = control.query;
    SourceSetting setting;
    setting.key = query.id;
    setting.name = text_of(query.name, sizeof query.name);
    setting.read_only = !can_change(query);
    if (query.flags & V4L2_CTRL_FLAG_INACTIVE) setting.note = "inactive";
    v4l2_control value = {query.id, 0};
    const bool known = (query.flags & V4L2_CTRL_FLAG_WRITE_ONLY) == 0 &&
                       query.type != V4L2_CTRL_TYPE_BUTTON && xioctl(VIDIOC_G_CTRL, &value) == 0;
    switch (query.type) {
      case V4L2_CTRL_TYPE_BUTTON:
        setting.kind = SourceSetting::kAction;
        break;
      case V4L2_CTRL_TYPE_BOOLEAN:
        setting.choices = {"off", "on"};
        setting.choice_names = {"0", "1"};
        setting.current = value.value ? 1 : 0;
        break;
      case V4L2_CTRL_TYPE_MENU:
      case V4L2_CTRL_TYPE_INTEGER_MENU:
        setting.choices = control.menu_labels;
        for (uint32_t index : control.menu_indices)
          setting.choice_names.push_back(number_name(index));
        setting.current = setting.choices.size();  // none, until found
        for (size_t i = 0; i < control.menu_indices.size(); ++i)
          if (known && control.menu_indices[i] == static_cast<uint32_t>(value.value))
            setting.current = i;
        break;
      default:
        setting.kind = SourceSetting::kNumber;
        setting.minimum = query.minimum;
        setting.maximum = query.maximum;
        setting.step = query.step > 0 ? query.step : 1;
        setting.value = value.value;
        break;
    }
    if (!known && query.type != V4L2_CTRL_TYPE_BUTTON)
      setting.note = setting.note.empty() ? "value unknown" : setting.note + ", value unknown";
    list.push_back(setting);
  }
  return list;
}

bool V4l2Camera::set_control(const Control& control, int32_t value) {
  if (!can_change(control.query)) return false;
  v4l2_control change = {control.query.id, value};
  return xioctl(VIDIOC_S_CTRL, &change) == 0;
}

bool V4l2Camera::find_control(uint32_t id, Control* found) const {
  for (const Control& control : controls()) {
    if (control.query.id == id) {
      *found = control;
      return true;
    }
  }
  return false;
}

bool V4l2Camera::choose_setting(uint32_t key, size_t choice) {
  if (!is_open()) return false;
  if (key == kFormatKey) {
    const std::vector<v4l2_fmtdesc> formats = direct_formats();
    if (choice > formats.size()) return false;
    const uint32_t before = direct_format_;
    direct_format_ = choice == 0 ? 0 : formats[choice - 1].pixelformat;
    if (negotiate()) return true;
    direct_format_ = before;
    negotiate();
    return false;
  }
  if (key == kSettleKey) {
    if (choice >= kSettleChoiceCount) return false;
    settle_choice_ = choice;
    return true;
  }
  Control control;
  if (!find_control(key, &control)) return false;
  switch (control.query.type) {
    case V4L2_CTRL_TYPE_BUTTON:
      return choice == 0 && set_control(control, 1);
    case V4L2_CTRL_TYPE_BOOLEAN:
      return choice <= 1 && set_control(control, static_cast<int32_t>(choice));
    case V4L2_CTRL_TYPE_MENU:
    case V4L2_CTRL_TYPE_INTEGER_MENU:
      return choice < control.menu_indices.size() &&
             set_control(control, static_cast<int32_t>(control.menu_indices[choice]));
    default:
      return false;
  }
}

bool V4l2Camera::set_number(uint32_t key, int64_t value) {
  Control control;
  if (!is_open() || !find_control(key, &control)) return false;
  if (control.query.type != V4L2_CTRL_TYPE_INTEGER || value < control.query.minimum ||
      value > control.query.maximum)
    return false;
  return set_control(control, static_cast<int32_t>(value));
}

}  // namespace vidmote
