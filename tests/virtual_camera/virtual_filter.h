// The virtual camera's DirectShow source filter: one capture pin that
// pushes the emulated webcam's picture, and the choices a test makes of it
// through environment variables (docs/testing.md lists them).
#ifndef VIRTUAL_FILTER_H
#define VIRTUAL_FILTER_H

// clang-format off: windows.h comes first.
#include <dshow.h>
#include <windows.h>
// clang-format on

#include <string>

namespace virtual_camera {

// The virtual cameras' class ids: this one with the last byte the camera's
// number, 1 to 9.
const CLSID kClsidBase = {
    0x5f1a7e30, 0x8c2d, 0x4b6e, {0x9a, 0x41, 0x3d, 0x72, 0xe8, 0x0b, 0x6c, 0x00}};
const int kMostCameras = 9;

// The camera number a class id names, 0 for none of ours.
int camera_number(REFCLSID clsid);

// A new filter of camera `number` (one reference), or null.
IBaseFilter* new_filter(int number);

// Filters and class factories alive, for DllCanUnloadNow.
extern LONG objects_alive;

}  // namespace virtual_camera

#endif  // VIRTUAL_FILTER_H
