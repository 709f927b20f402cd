// Why a V4L2 camera was skipped or a capture found no frame, in words a
// user can act on.
#include <errno.h>
#include <grp.h>
#include <stdio.h>
#include <string.h>
#include <sys/stat.h>

#include "device_text.h"
#include "v4l2_camera.h"
#include "v4l2_support.h"

namespace vidmote {

// What an error opening or setting up the device means for the user.
std::string V4l2Camera::failure_text(int error) const {
  switch (error) {
    case EACCES:
    case EPERM: {
      std::string text = "permission denied: the user is not in the group that owns it";
      struct stat node;
      if (::stat(path_.c_str(), &node) == 0) {
        if (const group* owner = getgrgid(node.st_gid))
          text += std::string(" (") + owner->gr_name + "; add the user to it and log in again)";
      }
      return text;
    }
    case EBUSY: {
      const std::string holder = device_->holder(path_);
      if (holder.empty()) return "busy: another program is using it";
      const bool several =
          holder.find("), ") != std::string::npos || holder.find(") and ") != std::string::npos;
      return "busy: " + printable(holder) +
             (several ? " are using it; close them" : " is using it; close it");
    }
    case ENOTTY:
      return "not a capture device";
    case ENOENT:
      return "no such device";
    case ENODEV:
    case ENXIO:
      return "no device behind it (unplugged?)";
    default:
      return strerror(error);
  }
}

// Why a camera that opened has no format the plug-in can use: the formats it
// offers (H.264 or HEVC alone, say) cannot be decoded here.
std::string V4l2Camera::no_format_text() const {
  std::string offered;
  v4l2_fmtdesc format = {};
  format.type = buf_type_;
  for (; format.index < kMostListed && xioctl(VIDIOC_ENUM_FMT, &format) == 0; ++format.index)
    offered +=
        (offered.empty() ? "" : ", ") + text_of(format.description, sizeof format.description);
  if (offered.empty()) return "it offers no frame format the plug-in can use";
  return "it offers only " + offered + " frames, which the plug-in cannot decode";
}

std::string V4l2Camera::error_text(int error) {
  return strerror(error);
}

std::string V4l2Camera::stream_error(int error) {
  gone_ = error == ENODEV || error == ENXIO;
  if (gone_) return "stream failed: the camera is gone (unplugged?)";
  return "stream failed: " + error_text(error);
}

}  // namespace vidmote
