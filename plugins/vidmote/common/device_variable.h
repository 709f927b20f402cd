// VIDMOTE_DEVICE, the variable that names the source to use: "test-card" or
// a camera's name (cameras.h); empty when not set.
#ifndef VIDMOTE_DEVICE_VARIABLE_H
#define VIDMOTE_DEVICE_VARIABLE_H

#include "cameras.h"

namespace vidmote {

DeviceName device_variable();

}  // namespace vidmote

#endif  // VIDMOTE_DEVICE_VARIABLE_H
