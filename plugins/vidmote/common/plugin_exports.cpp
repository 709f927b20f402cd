// libvidmote.so: the seven exports of the camera plug-in that ships with the
// program, and the plug-in's single instance behind them.
#include <stdlib.h>
#include <string.h>

#include <algorithm>

#include "cameras.h"
#include "device_variable.h"
#include "lensora_plugin_api.h"
#include "settings_dialog.h"
#include "test_card.h"
#include "user_settings.h"
#include "vidmote.h"

namespace {

using Sources = std::vector<std::unique_ptr<vidmote::FrameSource>>;

bool is_test_card(const vidmote::DeviceName& name) {
  const char kTestCard[] = "test-card";
  return name.size() == strlen(kTestCard) && std::equal(name.begin(), name.end(), kTestCard);
}

// The named camera, or else every camera, so the first one is the default;
// the test card last.
Sources sources_at_load(const vidmote::DeviceName& named) {
  Sources sources;
  if (named.empty())
    sources = vidmote::find_cameras();
  else if (!is_test_card(named))
    sources.push_back(vidmote::camera_at(named));
  sources.push_back(std::make_unique<vidmote::TestCardSource>());
  return sources;
}

// Made at the first export called, not while the library loads: finding
// cameras loads other libraries (DirectShow's), which a Windows DLL must not
// do while the loader runs its initialisation.
vidmote::Vidmote& make_plugin() {
  static const vidmote::DeviceName named = vidmote::device_variable();
  static vidmote::Vidmote instance(sources_at_load(named), !named.empty() && !is_test_card(named));
  vidmote::UserChoices choices;
  std::string error;
  // The values are plain ASCII words and numbers: the C runtime's copy
  // serves on both systems.
  vidmote::read_variables([](const char* name) { return getenv(name); }, &choices, &error);
  instance.use_environment(choices, error);
  instance.use_saved_settings(true);
  // Cameras the user named stay the only ones.
  if (named.empty()) instance.find_sources_with([] { return sources_at_load(named); });
  instance.watch_idle();
  return instance;
}

vidmote::Vidmote& plugin() {
  static vidmote::Vidmote& instance = make_plugin();
  return instance;
}

}  // namespace

LN_EXPORT(int32_t) LN_GetDllName(char* buffer) {
  const std::string name = plugin().name();
  if (buffer) memcpy(buffer, name.c_str(), name.size() + 1);
  return static_cast<int32_t>(name.size());
}

LN_EXPORT(LnBool) LN_OnInit(LnWindowHandle /*window*/) {
  return plugin().init() ? 1 : 0;
}

LN_EXPORT(LnBool) LN_OnDestroy() {
  plugin().destroy();
  return 1;
}

LN_EXPORT(LnBool) LN_GetResolution(int32_t* width, int32_t* height) {
  if (!width || !height) return 0;
  vidmote::FrameSize size = plugin().get_size();
  *width = size.width;
  *height = size.height;
  return 1;
}

LN_EXPORT(LnBool) LN_SetResolution(int32_t width, int32_t height) {
  return plugin().set_size(width, height) == vidmote::SizeAnswer::kExact ? 1 : 0;
}

LN_EXPORT(LnBool) LN_DoModalOptionDlg() {
  return vidmote::run_settings_dialog(plugin()) ? 1 : 0;
}

LN_EXPORT(int32_t) LN_Capture(K_RGB* buffer) {
  if (!buffer) return plugin().frame_bytes();
  return plugin().capture(reinterpret_cast<uint8_t*>(buffer));
}
