#include "support/camera_controls.h"

#ifdef __linux__
#include <ctype.h>
#include <fcntl.h>
#include <linux/videodev2.h>
#include <sys/ioctl.h>
#include <unistd.h>

namespace {

std::string control_name(const std::string& name) {
  std::string out;
  for (char c : name) out += isalnum(static_cast<unsigned char>(c)) ? tolower(c) : '_';
  return out;
}

}  // namespace

uint32_t camera_control_id(int fd, const std::string& name) {
  v4l2_queryctrl query = {};
  query.id = V4L2_CTRL_FLAG_NEXT_CTRL;
  while (ioctl(fd, VIDIOC_QUERYCTRL, &query) == 0) {
    if (control_name(reinterpret_cast<const char*>(query.name)) == control_name(name))
      return query.id;
    query.id |= V4L2_CTRL_FLAG_NEXT_CTRL;
  }
  return 0;
}

bool set_camera_control(const std::string& device, const std::string& name, int32_t value) {
  const int fd = open(device.c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return false;
  v4l2_control control = {camera_control_id(fd, name), value};
  const bool done = control.id && ioctl(fd, VIDIOC_S_CTRL, &control) == 0;
  close(fd);
  return done;
}
#else
uint32_t camera_control_id(int, const std::string&) {
  return 0;
}
bool set_camera_control(const std::string&, const std::string&, int32_t) {
  return false;
}
#endif
