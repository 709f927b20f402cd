// The V4L2 camera: opening the device, its format, size and frame rate.
#include "v4l2_camera.h"

#include <errno.h>
#include <stdio.h>
#include <string.h>

#include <algorithm>

#include "device_text.h"
#include "frame_timing.h"
#include "v4l2_support.h"

namespace vidmote {

namespace {

// Whether a is a shorter frame interval than b.
bool faster(const v4l2_fract& a, const v4l2_fract& b) {
  return static_cast<uint64_t>(a.numerator) * b.denominator <
         static_cast<uint64_t>(b.numerator) * a.denominator;
}

}  // namespace

int V4l2Camera::xioctl(unsigned long request, void* argument) const {
  return device_->ioctl(request, argument);
}

V4l2Camera::V4l2Camera(std::string path, std::string card, std::unique_ptr<V4l2Device> device)
    : path_(std::move(path)),
      card_(std::move(card)),
      device_(std::move(device)),
      settle_choice_(kDefaultSettle) {}

V4l2Camera::~V4l2Camera() {
  close();
}

std::string V4l2Camera::name() const {
  return printable(card_.empty() ? path_ : card_ + " (" + path_ + ")");
}

// Siblings of one device (a colour and an infrared node) share card and bus:
// the USB interface keeps their settings apart.
std::string V4l2Camera::identity() const {
  if (identity_.bus.empty()) return name();
  const std::string id = identity_.card + " " + identity_.bus;
  return identity_.interface.empty() ? id : id + " " + identity_.interface;
}

bool V4l2Camera::open() {
  if (is_open()) return true;
  const int error = device_->open(path_);
  if (error != 0) {
    failure_ = failure_text(error);
    return false;
  }
  open_ = true;
  v4l2_capability caps = {};
  if (xioctl(VIDIOC_QUERYCAP, &caps) != 0) {
    failure_ = failure_text(errno);
  } else if (!is_camera_node(caps)) {
    failure_ = "not a capture device";
  } else {
    card_ = text_of(caps.card, sizeof caps.card);
    buf_type_ = capture_type(caps);
    identity_ = identity_of(*device_, path_, caps);
    errno = 0;
    if (negotiate()) {
      // One read of each control settling watches, now rather than in the
      // first capture: one that blocks costs the opening, not the capture's
      // bound.
      exposure_reads_.restart();
      gain_reads_.restart();
      control_value(V4L2_CID_EXPOSURE_ABSOLUTE, &exposure_reads_);
      control_value(V4L2_CID_GAIN, &gain_reads_);
      return true;
    }
    failure_ = errno ? failure_text(errno) : no_format_text();
  }
  close();
  return false;
}

void V4l2Camera::close() {
  if (!is_open()) return;
  stop_streaming();
  device_->close();
  open_ = false;
}

SizeAnswer V4l2Camera::set_size(int32_t width, int32_t height) {
  if (width < 1 || height < 1 || static_cast<int64_t>(width) * height * 3 > INT32_MAX)
    return SizeAnswer::kRefused;
  // The size in force already: streaming goes on without a new settle.
  if (is_open() && width == size_.width && height == size_.height) {
    wanted_ = size_;
    return SizeAnswer::kExact;
  }
  const FrameSize before = wanted_;
  wanted_ = {width, height};
  if (!is_open()) {
    size_ = wanted_;  // the driver decides at open
    return SizeAnswer::kExact;
  }
  if (!negotiate()) {
    // The driver's format is the one refused: set the size in force again.
    wanted_ = before;
    negotiate();
    return SizeAnswer::kRefused;
  }
  return size_.width == width && size_.height == height ? SizeAnswer::kExact : SizeAnswer::kNearest;
}

// Asks the driver for the wanted size in the camera's own format; its answer
// is the size in force. Frames in a format the plug-in does not convert
// itself (MJPEG, say) are converted by libv4lconvert, one kept frame at a time.
bool V4l2Camera::negotiate() {
  stop_streaming();
  if (multi_planar()) return negotiate_planes();
  v4l2_pix_format bgr = {};
  bgr.width = static_cast<uint32_t>(wanted_.width);
  bgr.height = static_cast<uint32_t>(wanted_.height);
  bgr.pixelformat = V4L2_PIX_FMT_BGR24;
  bgr.field = V4L2_FIELD_ANY;
  v4l2_pix_format source = bgr;
  if (direct_format_) {
    source.pixelformat = direct_format_;
  } else if (!device_->source_format_for(&bgr, &source)) {
    // A format the plug-in reads itself (greyscale, say) serves all the same.
    const std::vector<v4l2_fmtdesc> own = direct_formats();
    if (own.empty()) {
      errno = 0;
      return false;
    }
    source.pixelformat = own.front().pixelformat;
  }
  v4l2_format format = {};
  format.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
  format.fmt.pix = source;
  if (xioctl(VIDIOC_S_FMT, &format) != 0) return false;

  const v4l2_pix_format& pix = format.fmt.pix;
  CameraFrameLayout layout = {static_cast<int32_t>(pix.width), static_cast<int32_t>(pix.height),
                              pix.bytesperline, PixelLayout::kBgr24};
  const bool own = layout_of(pix.pixelformat, &layout.pixels);
  if (!own) {
    // libv4lconvert converts from the format it chose, and no other. With
    // nothing it can convert it answers as the driver does, which may be in
    // the camera's own format (H.264, say): the format the camera really
    // streams decides.
    if (direct_format_ || pix.pixelformat != source.pixelformat ||
        bgr.pixelformat != V4L2_PIX_FMT_BGR24 || is_video_stream(pix.pixelformat)) {
      errno = 0;
      return false;
    }
    // Its frame: BGR24, top row first, rows packed. It may crop the camera's
    // frame to the size asked, if the camera kept the size it was told.
    if (pix.width != source.width || pix.height != source.height) {
      bgr.width = pix.width;
      bgr.height = pix.height;
    }
    layout = {static_cast<int32_t>(bgr.width), static_cast<int32_t>(bgr.height), 0,
              PixelLayout::kBgr24};
    bgr.pixelformat = V4L2_PIX_FMT_BGR24;
    bgr.bytesperline = bgr.width * 3;
    bgr.sizeimage = bgr.bytesperline * bgr.height;
  }
  if (layout.width < 1 || layout.height < 1 ||
      static_cast<uint64_t>(layout.width) * layout.height * 3 > INT32_MAX ||
      (own && frame_bytes_needed(layout) == 0)) {
    errno = 0;
    return false;
  }
  layout_ = layout;
  pixel_format_ = pix.pixelformat;
  converted_ = own ? v4l2_pix_format{} : bgr;
  source_ = pix;
  // libv4lconvert reads the rows of some formats (NV12, YU12, RGB565, Y16)
  // packed, whatever bytesperline says: padded rows are packed first.
  packed_source_ = pix;
  padded_.clear();
  const std::vector<FramePlane> planes = own ? std::vector<FramePlane>() : frame_planes(pix);
  size_t packed_bytes = 0;
  bool padded = false;
  for (const FramePlane& plane : planes) {
    packed_bytes += plane.rows * plane.row_bytes;
    padded = padded || plane.stride != plane.row_bytes;
  }
  if (padded) {
    padded_ = planes;
    packed_source_.bytesperline = static_cast<uint32_t>(planes[0].row_bytes);
    packed_source_.sizeimage = static_cast<uint32_t>(packed_bytes);
  }
  size_ = {layout.width, layout.height};
  pick_fastest_rate();
  return true;
}

// A multi-planar node: the format chosen in the dialog, else the first the
// plug-in converts itself, in one plane or (NV12M) two.
bool V4l2Camera::negotiate_planes() {
  uint32_t chosen = direct_format_;
  PixelLayout pixels = PixelLayout::kBgr24;
  v4l2_fmtdesc offered = {};
  offered.type = buf_type_;
  for (; !chosen && offered.index < kMostListed && xioctl(VIDIOC_ENUM_FMT, &offered) == 0;
       ++offered.index)
    if (planar_layout_of(offered.pixelformat, &pixels)) chosen = offered.pixelformat;
  if (!chosen || !planar_layout_of(chosen, &pixels)) {
    errno = 0;
    return false;
  }
  v4l2_format format = {};
  format.type = buf_type_;
  format.fmt.pix_mp.width = static_cast<uint32_t>(wanted_.width);
  format.fmt.pix_mp.height = static_cast<uint32_t>(wanted_.height);
  format.fmt.pix_mp.pixelformat = chosen;
  format.fmt.pix_mp.field = V4L2_FIELD_ANY;
  if (xioctl(VIDIOC_S_FMT, &format) != 0) return false;
  const v4l2_pix_format_mplane& mp = format.fmt.pix_mp;
  const uint32_t planes = chosen == V4L2_PIX_FMT_NV12M ? 2 : 1;
  const CameraFrameLayout layout = {static_cast<int32_t>(mp.width), static_cast<int32_t>(mp.height),
                                    mp.plane_fmt[0].bytesperline, pixels};
  if (mp.pixelformat != chosen || mp.num_planes != planes || layout.width < 1 ||
      layout.height < 1 || static_cast<uint64_t>(layout.width) * layout.height * 3 > INT32_MAX ||
      frame_bytes_needed(layout) == 0 ||
      (planes == 2 && mp.plane_fmt[1].bytesperline != mp.plane_fmt[0].bytesperline)) {
    errno = 0;
    return false;
  }
  layout_ = layout;
  plane_count_ = planes;
  pixel_format_ = chosen;
  converted_ = v4l2_pix_format{};
  source_ = v4l2_pix_format{};
  source_.width = mp.width;
  source_.height = mp.height;
  source_.pixelformat = chosen;
  source_.bytesperline = mp.plane_fmt[0].bytesperline;
  source_.sizeimage = mp.plane_fmt[0].sizeimage;
  padded_.clear();
  size_ = {layout.width, layout.height};
  pick_fastest_rate();
  return true;
}

void V4l2Camera::pick_fastest_rate() {
  v4l2_fract best = {0, 0};
  v4l2_frmivalenum interval = {};
  interval.pixel_format = pixel_format_;
  interval.width = static_cast<uint32_t>(size_.width);
  interval.height = static_cast<uint32_t>(size_.height);
  for (; interval.index < kMostListed && xioctl(VIDIOC_ENUM_FRAMEINTERVALS, &interval) == 0;
       ++interval.index) {
    const bool discrete = interval.type == V4L2_FRMIVAL_TYPE_DISCRETE;
    const v4l2_fract candidate = discrete ? interval.discrete : interval.stepwise.min;
    if (candidate.numerator && candidate.denominator &&
        (!best.denominator || faster(candidate, best)))
      best = candidate;
    if (!discrete) break;
  }

  v4l2_streamparm parm = {};
  parm.type = buf_type_;
  rate_.set_declared(0);
  if (xioctl(VIDIOC_G_PARM, &parm) != 0) return;
  if (best.denominator && (parm.parm.capture.capability & V4L2_CAP_TIMEPERFRAME)) {
    parm.parm.capture.timeperframe = best;
    xioctl(VIDIOC_S_PARM, &parm);  // the driver's answer is read back below
    parm = {};
    parm.type = buf_type_;
    if (xioctl(VIDIOC_G_PARM, &parm) != 0) return;
  }
  const v4l2_fract in_force = parm.parm.capture.timeperframe;
  if (in_force.numerator && in_force.denominator)
    rate_.set_declared(
        std::min(static_cast<int64_t>(in_force.numerator) * kSecond / in_force.denominator,
                 kLongestInterval));
}

}  // namespace vidmote
