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
  format.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
  for (; format.index < kMostListed && xioctl(VIDIOC_ENUM_FMT, &format) == 0; ++format.index)
    offered +=
        (offered.empty() ? "" : ", ") + text_of(format.description, sizeof format.description);
  if (offered.empty()) return "it offers no frame format the plug-in can use";
  return "it offers only " + offered + " frames, which the plug-in cannot decode";
}

std::string V4l2Camera::error_text(int error) {
  return strerror(error);
}

// Why a capture found no frame to deliver, in words a user can act on.
std::string V4l2Camera::Tally::no_frame(const char* when) const {
  const int damaged = flagged + cut_short + undecodable + other_size;
  if (damaged == 0 && stale == 0) return std::string("no frame in time") + when;
  std::string text =
      std::string("no usable frame in time") + when + ": " + std::to_string(arrived) + " arrived";
  const std::pair<int, const char*> kinds[] = {{flagged, "flagged by the driver"},
                                               {cut_short, "cut short"},
                                               {undecodable, "undecodable"},
                                               {other_size, "of another size than its format"},
                                               {stale, "begun before the capture"}};
  const char* separator = damaged == arrived ? ", all damaged: " : ": ";
  for (const auto& kind : kinds) {
    if (kind.first == 0) continue;
    text += separator + std::to_string(kind.first) + " " + kind.second;
    separator = ", ";
  }
  return text + advice();
}

// What to do about the damaged frames counted, by their cause: frames that
// lost data on the way (flagged, cut short, MJPEG that does not decode),
// a format that does not convert, MJPEG of another size than agreed.
std::string V4l2Camera::Tally::advice() const {
  std::string text;
  if (flagged + cut_short > 0 || (jpeg && undecodable > 0))
    text += jpeg
                ? "; check the cable and the USB bandwidth (try another USB port or a smaller size)"
                : "; check the cable and the USB bandwidth (try another USB port, a smaller size "
                  "or MJPEG)";
  if (!jpeg && undecodable > 0) text += "; its frames do not convert: choose another camera format";
  if (other_size > 0)
    text +=
        "; the camera does not keep to the size it was set to: choose another size or camera "
        "format";
  return text;
}

std::string V4l2Camera::stream_error(int error) {
  gone_ = error == ENODEV || error == ENXIO;
  if (gone_) return "stream failed: the camera is gone (unplugged?)";
  return "stream failed: " + error_text(error);
}

}  // namespace vidmote
