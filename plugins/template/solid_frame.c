// A camera plug-in to start from, in plain C: serves a solid mid-gray frame
// of whatever size is asked for. Replace capture_frame() with real camera
// work. It is built as C so the contract header stays plain C.
#include <stddef.h>
#include <string.h>

#include "lensora_plugin_api.h"

static const char kName[] = "Solid frame";
enum { kMaxSide = 8192 };

static int32_t g_width = 640;
static int32_t g_height = 480;

static void capture_frame(uint8_t* bytes, size_t size) {
  memset(bytes, 128, size);
}

LN_EXPORT(int32_t) LN_GetDllName(char* buffer) {
  if (buffer) memcpy(buffer, kName, sizeof kName);  // with its NUL
  return (int32_t)(sizeof kName - 1);
}

LN_EXPORT(LnBool) LN_OnInit(LnWindowHandle window) {
  (void)window;
  return 1;
}

LN_EXPORT(LnBool) LN_OnDestroy(void) {
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
LN_EXPORT(LnBool) LN_DoModalOptionDlg(void) {
  return 0;
}

LN_EXPORT(int32_t) LN_Capture(K_RGB* buffer) {
  const size_t size = (size_t)g_width * (size_t)g_height * 3;
  if (buffer) capture_frame((uint8_t*)buffer, size);
  return (int32_t)size;
}
