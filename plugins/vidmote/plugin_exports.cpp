// libvidmote.so: the seven exports of the camera plug-in that ships with the
// program, and the plug-in's single instance behind them.
#include <stdlib.h>
#include <string.h>

#include <algorithm>

#ifdef _WIN32
#include <windows.h>
#endif

#include "cameras.h"
#include "lensora_plugin_api.h"
#include "settings_dialog.h"
#include "test_card.h"
#include "vidmote.h"

namespace {

using Sources = std::vector<std::unique_ptr<vidmote::FrameSource>>;

// VIDMOTE_DEVICE: empty when not set, else "test-card" or a camera's name
// (cameras.h). On Windows the UTF-16 value itself, not the C runtime's
// copy, which holds only what the ANSI code page can.
vidmote::DeviceName named_source() {
#ifdef _WIN32
  const DWORD size = GetEnvironmentVariableW(L"VIDMOTE_DEVICE", nullptr, 0);
  if (size <= 1) return std::wstring();
  std::wstring value(size, L'\0');
  const DWORD length = GetEnvironmentVariableW(L"VIDMOTE_DEVICE", &value[0], size);
  value.resize(length < size ? length : 0);
  return value;
#else
  const char* name = getenv("VIDMOTE_DEVICE");
  return name ? name : "";
#endif
}

bool is_test_card(const vidmote::DeviceName& name) {
  const char kTestCard[] = "test-card";
  return name.size() == strlen(kTestCard) && std::equal(name.begin(), name.end(), kTestCard);
}

// The named camera, or else every camera, so the first one is the default;
// the test card last.
Sources sources_at_load() {
  const vidmote::DeviceName named = named_source();
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
vidmote::Vidmote& plugin() {
  static vidmote::Vidmote instance(sources_at_load(),
                                   !named_source().empty() && !is_test_card(named_source()));
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
