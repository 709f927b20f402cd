// libvidmote.so: the seven exports of the camera plug-in that ships with the
// program, and the plug-in's single instance behind them.
#include <stdlib.h>
#include <string.h>

#include "cameras.h"
#include "lensora_plugin_api.h"
#include "settings_dialog.h"
#include "test_card.h"
#include "vidmote.h"

namespace {

using Sources = std::vector<std::unique_ptr<vidmote::FrameSource>>;

// VIDMOTE_DEVICE, when set, names the one source to use: "test-card", or a
// camera's device path.
const char* named_source() {
  const char* name = getenv("VIDMOTE_DEVICE");
  return name && *name ? name : nullptr;
}

// The named camera, or else every camera, so the first one is the default;
// the test card last.
Sources sources_at_load() {
  const char* named = named_source();
  Sources sources;
  if (!named)
    sources = vidmote::find_cameras();
  else if (strcmp(named, "test-card") != 0)
    sources.push_back(vidmote::camera_at(named));
  sources.push_back(std::make_unique<vidmote::TestCardSource>());
  return sources;
}

// Made at the first export called, not while the library loads: finding
// cameras loads other libraries (DirectShow's), which a Windows DLL must not
// do while the loader runs its initialisation.
vidmote::Vidmote& plugin() {
  static vidmote::Vidmote instance(sources_at_load(),
                                   named_source() && strcmp(named_source(), "test-card") != 0);
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
