// libvidmote.so: the seven exports of the camera plug-in that ships with the
// program, and the plug-in's single instance behind them.
#include <string.h>

#include "cameras.h"
#include "lensora_plugin_api.h"
#include "settings_dialog.h"
#include "test_card.h"
#include "vidmote.h"

namespace {

// The cameras first, so the first one is the default; the test card last.
std::vector<std::unique_ptr<vidmote::FrameSource>> default_sources() {
  std::vector<std::unique_ptr<vidmote::FrameSource>> sources = vidmote::find_cameras();
  sources.push_back(std::make_unique<vidmote::TestCardSource>());
  return sources;
}

vidmote::Vidmote g_plugin(default_sources());

}  // namespace

LN_EXPORT(int32_t) LN_GetDllName(char* buffer) {
  const std::string name = g_plugin.name();
  if (buffer) memcpy(buffer, name.c_str(), name.size() + 1);
  return static_cast<int32_t>(name.size());
}

LN_EXPORT(LnBool) LN_OnInit(LnWindowHandle /*window*/) {
  return g_plugin.init() ? 1 : 0;
}

LN_EXPORT(LnBool) LN_OnDestroy() {
  g_plugin.destroy();
  return 1;
}

LN_EXPORT(LnBool) LN_GetResolution(int32_t* width, int32_t* height) {
  if (!width || !height) return 0;
  vidmote::FrameSize size = g_plugin.get_size();
  *width = size.width;
  *height = size.height;
  return 1;
}

LN_EXPORT(LnBool) LN_SetResolution(int32_t width, int32_t height) {
  return g_plugin.set_size(width, height) ? 1 : 0;
}

LN_EXPORT(LnBool) LN_DoModalOptionDlg() {
  return vidmote::run_settings_dialog(g_plugin) ? 1 : 0;
}

LN_EXPORT(int32_t) LN_Capture(K_RGB* buffer) {
  if (!buffer) return g_plugin.frame_bytes();
  return g_plugin.capture(reinterpret_cast<uint8_t*>(buffer));
}
