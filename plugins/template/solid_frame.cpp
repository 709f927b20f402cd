// A camera plug-in to start from: serves a solid mid-gray frame of whatever
// size is asked for. Replace capture_frame() with real camera work.
#include <string.h>

#include "lensora_plugin_api.h"

namespace {

const char kName[] = "Solid frame";
const int32_t kMaxSide = 8192;

int32_t g_width = 640;
int32_t g_height = 480;

void capture_frame(uint8_t* bytes, size_t size) {
  memset(bytes, 128, size);
}

}  // namespace

LN_EXPORT(int32_t) LN_GetDllName(char* buffer) {
  if (buffer) memcpy(buffer, kName, sizeof kName);  // with its NUL
  return static_cast<int32_t>(sizeof kName - 1);
}

LN_EXPORT(LnBool) LN_OnInit(LnWindowHandle) {
  return 1;
}

LN_EXPORT(LnBool) LN_OnDestroy() {
  return 1;
}

LN_EXPORT(LnBool) LN_GetResolution(int32_t* width, int32_t* height) {
  if (!width || !height) return 0;
  *width = g_width;
  *height = g_height;
  return 1;
}

LN_EXPORT(LnBool) LN_SetResolution(int32_t width, int32_t height) {
  if (width < 1 || height < 1 || width > kMaxSide || height > kMaxSide) return 0;
  g_width = width;
  g_height = height;
  return 1;
}

// No settings: the program then simply goes on.
LN_EXPORT(LnBool) LN_DoModalOptionDlg() {
  return 0;
}

LN_EXPORT(int32_t) LN_Capture(K_RGB* buffer) {
  const size_t size = static_cast<size_t>(g_width) * g_height * 3;
  if (buffer) capture_frame(reinterpret_cast<uint8_t*>(buffer), size);
  return static_cast<int32_t>(size);
}
