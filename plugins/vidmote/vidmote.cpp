// placeholder
#include "lensora_plugin.h"
LN_EXPORT(int32_t) LN_GetDllName(char* buffer) {
  static const char kName[] = "Vidmote";
  if (buffer) memcpy(buffer, kName, sizeof kName);
  return sizeof kName - 1;
}
LN_EXPORT(LnBool) LN_OnInit(void*) { return 1; }
LN_EXPORT(LnBool) LN_OnDestroy() { return 1; }
static int32_t g_w = 640, g_h = 480;
LN_EXPORT(LnBool) LN_GetResolution(int32_t* w, int32_t* h) { *w = g_w; *h = g_h; return 1; }
LN_EXPORT(LnBool) LN_SetResolution(int32_t w, int32_t h) { g_w = w; g_h = h; return 1; }
LN_EXPORT(LnBool) LN_DoModalOptionDlg() { return 0; }
LN_EXPORT(int32_t) LN_Capture(K_RGB* buffer) { if (buffer) memset(buffer, 128, g_w*g_h*3); return g_w*g_h*3; }
