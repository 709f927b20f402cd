#include "v4l2_camera.h"

#include <errno.h>
#include <grp.h>
#include <stdio.h>
#include <string.h>
#include <sys/stat.h>

#include <algorithm>

#include "device_text.h"
#include "frame_timing.h"
#include "v4l2_support.h"

namespace vidmote {

namespace {

const uint32_t kBufferCount = 4;
// A timestamp further than this from zero is no clock's (and its product
// with kSecond could not be formed).
const int64_t kLargestStampSeconds = 1000 * 1000 * 1000;

// Whether a is a shorter frame interval than b.
bool faster(const v4l2_fract& a, const v4l2_fract& b) {
  return static_cast<uint64_t>(a.numerator) * b.denominator <
         static_cast<uint64_t>(b.numerator) * a.denominator;
}

FrameStamp stamp_of(const v4l2_buffer& buffer) {
  const int64_t seconds = std::max<int64_t>(
      -kLargestStampSeconds, std::min<int64_t>(buffer.timestamp.tv_sec, kLargestStampSeconds));
  const int64_t microseconds = buffer.timestamp.tv_usec % 1000000;
  return {(buffer.flags & V4L2_BUF_FLAG_TIMESTAMP_MASK) == V4L2_BUF_FLAG_TIMESTAMP_MONOTONIC,
          (buffer.flags & V4L2_BUF_FLAG_TSTAMP_SRC_MASK) == V4L2_BUF_FLAG_TSTAMP_SRC_EOF,
          seconds * kSecond + microseconds * 1000};
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
    errno = 0;
    if (negotiate()) return true;
    failure_ = errno ? failure_text(errno) : "it offers no frame format the plug-in can use";
  }
  close();
  return false;
}

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
    case EBUSY:
      return "busy: another program is using it";
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
  v4l2_pix_format bgr = {};
  bgr.width = static_cast<uint32_t>(wanted_.width);
  bgr.height = static_cast<uint32_t>(wanted_.height);
  bgr.pixelformat = V4L2_PIX_FMT_BGR24;
  bgr.field = V4L2_FIELD_ANY;
  v4l2_pix_format source = bgr;
  if (direct_format_) {
    source.pixelformat = direct_format_;
  } else if (!device_->source_format_for(&bgr, &source)) {
    errno = 0;
    return false;
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
    // libv4lconvert converts from the format it chose, and no other.
    if (direct_format_ || pix.pixelformat != source.pixelformat) {
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
  parm.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
  frame_interval_ns_ = 0;
  if (xioctl(VIDIOC_G_PARM, &parm) != 0) return;
  if (best.denominator && (parm.parm.capture.capability & V4L2_CAP_TIMEPERFRAME)) {
    parm.parm.capture.timeperframe = best;
    xioctl(VIDIOC_S_PARM, &parm);  // the driver's answer is read back below
    parm = {};
    parm.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
    if (xioctl(VIDIOC_G_PARM, &parm) != 0) return;
  }
  const v4l2_fract in_force = parm.parm.capture.timeperframe;
  if (in_force.numerator && in_force.denominator)
    frame_interval_ns_ =
        std::min(static_cast<int64_t>(in_force.numerator) * kSecond / in_force.denominator,
                 kLongestInterval);
}

bool V4l2Camera::start_streaming() {
  v4l2_requestbuffers request = {};
  request.count = kBufferCount;
  request.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
  request.memory = V4L2_MEMORY_MMAP;
  if (xioctl(VIDIOC_REQBUFS, &request) != 0) return false;
  if (request.count > 8 * kBufferCount) {  // no driver's minimum is that high
    release_buffers();
    errno = EIO;
    return false;
  }
  for (uint32_t i = 0; i < request.count; ++i) {
    v4l2_buffer buffer = {};
    buffer.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
    buffer.memory = V4L2_MEMORY_MMAP;
    buffer.index = i;
    if (xioctl(VIDIOC_QUERYBUF, &buffer) != 0) break;
    void* start = device_->map(buffer.length, buffer.m.offset);
    if (!start) break;
    buffers_.push_back({start, buffer.length});
  }
  // Fewer than two buffers could never hold one frame while the next fills.
  bool ok = buffers_.size() == request.count && buffers_.size() >= 2;
  for (uint32_t i = 0; ok && i < buffers_.size(); ++i) {
    v4l2_buffer buffer = {};
    buffer.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
    buffer.memory = V4L2_MEMORY_MMAP;
    buffer.index = i;
    ok = xioctl(VIDIOC_QBUF, &buffer) == 0;
  }
  v4l2_buf_type type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
  ok = ok && xioctl(VIDIOC_STREAMON, &type) == 0;
  if (!ok) {
    release_buffers();
    return false;
  }
  streaming_ = true;
  return settle();
}

void V4l2Camera::stop_streaming() {
  if (streaming_) {
    v4l2_buf_type type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
    xioctl(VIDIOC_STREAMOFF, &type);
    streaming_ = false;
  }
  release_buffers();
}

void V4l2Camera::release_buffers() {
  for (const Buffer& buffer : buffers_) device_->unmap(buffer.start, buffer.length);
  buffers_.clear();
  v4l2_requestbuffers request = {};
  request.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
  request.memory = V4L2_MEMORY_MMAP;
  if (is_open()) xioctl(VIDIOC_REQBUFS, &request);  // count 0 frees them
}

bool V4l2Camera::settle() {
  const SettleChoice& settle = kSettleChoices[settle_choice_];
  const int64_t started = device_->now_ns();
  const int64_t settled_at = started + settle.ms * kMillisecond;
  const int64_t deadline =
      settled_at + settle.frames * frame_interval_ns_ + frame_timeout_ns(frame_interval_ns_);
  for (int frames = 0; still_settling(frames, settle.frames, device_->now_ns(), settled_at);
       ++frames) {
    v4l2_buffer buffer = {};
    if (next_buffer(deadline, &buffer) != Wait::kFrame || !requeue(&buffer)) return false;
  }
  return true;
}

// The next buffer the driver filled, waiting no later than deadline_ns; it
// polls before every dequeue.
V4l2Camera::Wait V4l2Camera::next_buffer(int64_t deadline_ns, v4l2_buffer* buffer) {
  for (;;) {
    const int64_t left = deadline_ns - device_->now_ns();
    const V4l2Device::Wait ready = device_->wait(
        left > 0 ? static_cast<int>(std::min(left / kMillisecond + 1, int64_t{1000})) : 0);
    if (ready == V4l2Device::Wait::kError) return Wait::kError;
    if (ready == V4l2Device::Wait::kTimeout) {
      errno = ETIME;  // reported when streaming cannot start
      if (left <= 0) return Wait::kTimeout;
      continue;
    }
    *buffer = {};
    buffer->type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
    buffer->memory = V4L2_MEMORY_MMAP;
    if (xioctl(VIDIOC_DQBUF, buffer) == 0) {
      if (buffer->index < buffers_.size()) return Wait::kFrame;
      errno = EIO;
      return Wait::kError;
    }
    if (errno != EAGAIN) return Wait::kError;
    if (ready == V4l2Device::Wait::kBroken) {
      errno = EIO;
      return Wait::kError;
    }
    if (left <= 0) {
      errno = ETIME;
      return Wait::kTimeout;
    }
  }
}

bool V4l2Camera::requeue(v4l2_buffer* buffer) {
  return xioctl(VIDIOC_QBUF, buffer) == 0;
}

// Every capture ends by its deadline: frames already queued are handed back
// unconverted, and only the frame kept is converted.
bool V4l2Camera::capture(uint8_t* frame) {
  if (!is_open() || !frame) return false;
  if (!streaming_ && !start_streaming()) {
    if (errno == ETIME)
      fail("no frame in time after starting", 0);
    else
      fail("cannot start streaming", errno);
    return false;
  }
  const int64_t asked = device_->now_ns();
  const int64_t deadline = asked + frame_timeout_ns(frame_interval_ns_);

  // Frames already queued began before the request: hand them back. A driver
  // that always has one more is not followed further than the queue's length.
  v4l2_buffer buffer = {};
  for (size_t handed_back = 0; handed_back < 2 * buffers_.size(); ++handed_back) {
    Wait wait = next_buffer(asked, &buffer);
    if (wait == Wait::kTimeout) break;
    if (wait == Wait::kError || !requeue(&buffer)) {
      fail("stream failed", errno);
      return false;
    }
  }

  for (int dequeued = 0;; ++dequeued) {
    const Wait wait = dequeued > 0 && device_->now_ns() > deadline ? Wait::kTimeout
                                                                   : next_buffer(deadline, &buffer);
    if (wait != Wait::kFrame) {
      if (wait == Wait::kTimeout)
        fail("no frame in time", 0);
      else
        fail("stream failed", errno);
      return false;
    }
    // Frames flagged as damaged, short or stale are skipped.
    const bool done =
        !(buffer.flags & V4L2_BUF_FLAG_ERROR) &&
        began_after(stamp_of(buffer), frame_interval_ns_, device_->now_ns(), asked, dequeued) &&
        convert(buffer, frame);
    if (!requeue(&buffer)) {
      fail("stream failed", errno);
      return done;  // a frame already delivered is still good
    }
    if (done) return true;
  }
}

bool V4l2Camera::convert(const v4l2_buffer& buffer, uint8_t* frame) {
  const Buffer& mapped = buffers_[buffer.index];
  const uint8_t* bytes = static_cast<const uint8_t*>(mapped.start);
  const size_t used = std::min<size_t>(buffer.bytesused, mapped.length);
  if (!converted_.pixelformat) return convert_to_bottom_up_bgr(bytes, used, layout_, frame);
  scratch_.resize(converted_.sizeimage);
  return device_->convert(source_, converted_, bytes, used, scratch_.data(), scratch_.size()) &&
         convert_to_bottom_up_bgr(scratch_.data(), scratch_.size(), layout_, frame);
}

// Streaming stops, so the next capture starts afresh; a device that is gone
// is closed as well.
void V4l2Camera::fail(const char* what, int error) {
  if (error)
    fprintf(stderr, "vidmote: %s: %s: %s\n", printable(path_).c_str(), what, strerror(error));
  else
    fprintf(stderr, "vidmote: %s: %s\n", printable(path_).c_str(), what);
  stop_streaming();
  if (error == ENODEV) close();
}

}  // namespace vidmote
