// The camera plug-in contract, for plug-in authors and for the host.
//
// A camera plug-in is a shared library (libvidmote.so on Linux, Vidmote.dll
// on 32-bit Windows) that exports these seven functions as plain C names:
//
//   LN_GetDllName(null)     the length n > 0 of the plug-in's name, at most
//                           LN_MAX_NAME_LENGTH; the program refuses a longer one
//   LN_GetDllName(buffer)   copies the name, NUL-terminated, into the n + 10
//                           zeroed bytes given; positive on success
//   LN_OnInit(window)       prepares the plug-in; the program passes null
//   LN_OnDestroy()          releases it; also called without, or after a
//                           failed, LN_OnInit
//   LN_GetResolution(w, h)  stores the current frame size, each 0 or more
//   LN_SetResolution(w, h)  requests a frame size (the program asks 640 x 480)
//   LN_DoModalOptionDlg()   the plug-in's own settings dialog, modal
//   LN_Capture(null)        the size of one frame in bytes: width * height * 3
//   LN_Capture(buffer)      grabs one frame into exactly that many bytes;
//                           positive on success
//
// A frame is width * height pixels of three bytes (blue, green, red), rows
// bottom-up: the first row in memory is the bottom of the picture. Booleans
// are one byte (nonzero is success), integers 32 bits. Any export may be left
// out; the host then reports that call as failed.
//
// The program calls, in a run without failures: LN_GetDllName(null),
// LN_GetDllName(buffer), LN_OnInit, LN_SetResolution(640, 480),
// LN_GetResolution; for each capture LN_Capture(null), LN_GetResolution,
// LN_Capture(buffer); for each settings command LN_DoModalOptionDlg; last
// LN_OnDestroy, which comes last whenever the library was loaded.
#ifndef LENSORA_PLUGIN_API_H
#define LENSORA_PLUGIN_API_H

// Plain C: a plug-in may be written in C or in C++.
#include <stdint.h>

#ifdef __cplusplus
#include "kimage.h"  // K_RGB, the program's own pixel
#define LN_EXTERN_C extern "C"
#else
// One pixel: blue, green, red, exactly three bytes, as K_RGB in kimage.h.
typedef struct K_RGB {
  uint8_t b;
  uint8_t g;
  uint8_t r;
} K_RGB;
#define LN_EXTERN_C
#endif

#ifdef _WIN32
#include <windows.h>
// Exports use the system's own calling convention; link with a .def file or
// -Wl,--kill-at so their names stay undecorated.
#define LN_CALL __stdcall
#define LN_EXPORT(type) LN_EXTERN_C __declspec(dllexport) type LN_CALL
typedef HWND LnWindowHandle;
#else
#define LN_CALL
#define LN_EXPORT(type) LN_EXTERN_C __attribute__((visibility("default"))) type LN_CALL
typedef void* LnWindowHandle;
#endif

// The longest name a plug-in may announce, in bytes without the NUL.
#define LN_MAX_NAME_LENGTH 65536

// The one-byte boolean of the contract; only its low 8 bits count.
typedef unsigned char LnBool;

// Define the exports with these exact signatures, e.g.
//   LN_EXPORT(int32_t) LN_Capture(K_RGB* buffer) { ... }
LN_EXPORT(int32_t) LN_GetDllName(char* buffer);
LN_EXPORT(LnBool) LN_OnInit(LnWindowHandle window);
LN_EXPORT(LnBool) LN_OnDestroy(void);
LN_EXPORT(LnBool) LN_GetResolution(int32_t* width, int32_t* height);
LN_EXPORT(LnBool) LN_SetResolution(int32_t width, int32_t height);
LN_EXPORT(LnBool) LN_DoModalOptionDlg(void);
LN_EXPORT(int32_t) LN_Capture(K_RGB* buffer);

// The same, as the host's pointers to them.
typedef int32_t(LN_CALL* LnGetDllNameFn)(char* buffer);
typedef LnBool(LN_CALL* LnOnInitFn)(LnWindowHandle window);
typedef LnBool(LN_CALL* LnOnDestroyFn)(void);
typedef LnBool(LN_CALL* LnGetResolutionFn)(int32_t* width, int32_t* height);
typedef LnBool(LN_CALL* LnSetResolutionFn)(int32_t width, int32_t height);
typedef LnBool(LN_CALL* LnDoModalOptionDlgFn)(void);
typedef int32_t(LN_CALL* LnCaptureFn)(K_RGB* buffer);

#endif  // LENSORA_PLUGIN_API_H
