// A V4L2 camera's controls, set straight on the device while the program
// uses the camera.
#ifndef SUPPORT_CAMERA_CONTROLS_H
#define SUPPORT_CAMERA_CONTROLS_H

#include <stdint.h>

#include <string>

// Sets a V4L2 camera's control, named as the driver names it, ignoring case
// and punctuation ("Test Pattern", "test_pattern"). False when the device
// does not open or has no such control, or the driver refuses the value.
bool set_camera_control(const std::string& device, const std::string& name, int32_t value);
// The id of the control so named on the open V4L2 device fd; 0 for none.
uint32_t camera_control_id(int fd, const std::string& name);

#endif  // SUPPORT_CAMERA_CONTROLS_H
