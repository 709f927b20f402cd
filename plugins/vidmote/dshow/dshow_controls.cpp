// The camera's settings: the settle time and the camera's video processing
// and camera controls, set by hand.
#include <limits.h>

#include "dshow_support.h"
#include "frame_timing.h"

namespace vidmote {

const char* const kProcAmpNames[10] = {
    "Brightness",   "Contrast",      "Hue",
    "Saturation",   "Sharpness",     "Gamma",
    "Color enable", "White balance", "Backlight compensation",
    "Gain",
};
const char* const kCameraControlNames[7] = {
    "Pan", "Tilt", "Roll", "Zoom", "Exposure", "Iris", "Focus",
};

namespace {

// Keys of the camera's controls: the interface's base plus the property.
const uint32_t kProcAmpKey = 0x1000;
const uint32_t kCameraControlKey = 0x2000;

// Lists the controls that one of the camera's control interfaces (video
// processing or camera control, alike in shape) answers for, each under
// key_base plus its property.
template <typename Controls, size_t kCount>
void add_controls(IBaseFilter* source, REFIID iid, uint32_t key_base,
                  const char* const (&names)[kCount], long auto_flag,
                  std::vector<SourceSetting>* list) {
  Controls* controls = nullptr;
  if (FAILED(source->QueryInterface(iid, reinterpret_cast<void**>(&controls)))) return;
  for (long p = 0; p < static_cast<long>(kCount); ++p) {
    long low, high, step, normal, flags, value, value_flags;
    if (FAILED(controls->GetRange(p, &low, &high, &step, &normal, &flags)) || low > high) continue;
    if (FAILED(controls->Get(p, &value, &value_flags))) continue;
    SourceSetting s;
    s.key = key_base + static_cast<uint32_t>(p);
    s.name = names[p];
    s.kind = SourceSetting::kNumber;
    s.minimum = low;
    s.maximum = high;
    s.step = step > 0 ? step : 1;
    s.value = value;
    if (value_flags & auto_flag) s.note = "auto";
    list->push_back(s);
  }
  controls->Release();
}

// Sets one control of either control interface, by hand.
template <typename Controls>
bool set_control(IBaseFilter* source, REFIID iid, uint32_t property, int64_t value,
                 long manual_flag) {
  Controls* controls = nullptr;
  if (FAILED(source->QueryInterface(iid, reinterpret_cast<void**>(&controls)))) return false;
  const bool done =
      SUCCEEDED(controls->Set(static_cast<long>(property), static_cast<long>(value), manual_flag));
  controls->Release();
  return done;
}
}  // namespace

std::vector<SourceSetting> DshowCamera::settings() const {
  std::vector<SourceSetting> list;
  list.push_back(settle_setting(kSettleKey, settle_choice_));
  if (!is_open()) return list;

  add_controls<IAMVideoProcAmp>(graph_->source, IID_IAMVideoProcAmp, kProcAmpKey, kProcAmpNames,
                                VideoProcAmp_Flags_Auto, &list);
  add_controls<IAMCameraControl>(graph_->source, IID_IAMCameraControl, kCameraControlKey,
                                 kCameraControlNames, CameraControl_Flags_Auto, &list);
  return list;
}

bool DshowCamera::choose_setting(uint32_t key, size_t choice) {
  if (key != kSettleKey || choice >= kSettleChoiceCount) return false;
  settle_choice_ = choice;
  return true;
}

bool DshowCamera::set_number(uint32_t key, int64_t value) {
  if (!is_open() || value < LONG_MIN || value > LONG_MAX) return false;
  if (key >= kProcAmpKey && key < kProcAmpKey + 16)
    return set_control<IAMVideoProcAmp>(graph_->source, IID_IAMVideoProcAmp, key - kProcAmpKey,
                                        value, VideoProcAmp_Flags_Manual);
  if (key >= kCameraControlKey && key < kCameraControlKey + 16)
    return set_control<IAMCameraControl>(graph_->source, IID_IAMCameraControl,
                                         key - kCameraControlKey, value,
                                         CameraControl_Flags_Manual);
  return false;
}
}  // namespace vidmote
