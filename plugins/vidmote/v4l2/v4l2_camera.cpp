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
// A driver may raise the count it is asked for to its own minimum; beyond
// this many it is no camera's.
const uint32_t kMostBuffers = 64;
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
    bus_ = text_of(caps.bus_info, sizeof caps.bus_info);
    errno = 0;
    if (negotiate()) return true;
    failure_ = errno ? failure_text(errno) : no_format_text();
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
  rate_.set_declared(0);
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
    rate_.set_declared(
        std::min(static_cast<int64_t>(in_force.numerator) * kSecond / in_force.denominator,
                 kLongestInterval));
}

// Requests the buffers, queues them all and starts the stream; the reason
// in why_ when it cannot.
bool V4l2Camera::start_streaming() {
  v4l2_requestbuffers request = {};
  request.count = kBufferCount;
  request.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
  request.memory = V4L2_MEMORY_MMAP;
  if (xioctl(VIDIOC_REQBUFS, &request) != 0) {
    why_ = errno == EBUSY ? failure_text(EBUSY) : "cannot get buffers: " + error_text(errno);
    return false;
  }
  if (request.count == 0 || request.count > kMostBuffers) {
    char text[96];
    snprintf(text, sizeof text, "the driver granted %u buffers (1 to %u can be used)",
             request.count, kMostBuffers);
    why_ = text;
    release_buffers();
    return false;
  }
  for (uint32_t i = 0; i < request.count; ++i) {
    v4l2_buffer buffer = {};
    buffer.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
    buffer.memory = V4L2_MEMORY_MMAP;
    buffer.index = i;
    void* start = nullptr;
    if (xioctl(VIDIOC_QUERYBUF, &buffer) != 0 ||
        !(start = device_->map(buffer.length, buffer.m.offset))) {
      why_ = "cannot map its buffers: " + error_text(errno);
      release_buffers();
      return false;
    }
    buffers_.push_back({start, buffer.length});
  }
  for (uint32_t i = 0; i < buffers_.size(); ++i) {
    v4l2_buffer buffer = {};
    buffer.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
    buffer.memory = V4L2_MEMORY_MMAP;
    buffer.index = i;
    if (xioctl(VIDIOC_QBUF, &buffer) != 0) {
      why_ = "cannot queue its buffers: " + error_text(errno);
      release_buffers();
      return false;
    }
  }
  v4l2_buf_type type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
  if (xioctl(VIDIOC_STREAMON, &type) != 0) {
    const int error = errno;
    if (error == ENOSPC) {
      char text[160];
      snprintf(text, sizeof text,
               "not enough USB bandwidth for %d x %d: try another USB port (not a hub shared "
               "with another camera), a smaller size or MJPEG",
               size_.width, size_.height);
      why_ = text;
    } else {
      why_ = error == EBUSY ? failure_text(EBUSY) : "cannot start streaming: " + error_text(error);
    }
    release_buffers();
    return false;
  }
  streaming_ = true;
  rate_.restart();
  last_sequence_ = -1;
  return true;
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

// Skips frames after stream-on until the camera has settled, and again from
// the start whenever the stream restarts. Settling by the picture converts
// each frame into `frame`, and the one that shows the picture steady (or the
// first usable one past the cap) is the capture's (*delivered); a usable
// frame must come within a capture's bound of started_ns, checked before
// every dequeue however readily the driver has frames.
bool V4l2Camera::settle(uint8_t* frame, int64_t started_ns, bool* restarted, bool* delivered) {
  const SettleChoice& settle = kSettleChoices[settle_choice_];
  int64_t settle_from = device_->now_ns();
  PictureSettle picture;
  Tally tally;
  int64_t last_frame = settle_from;
  for (int skipped = 0;; ++skipped) {
    if (!settle.by_picture && !still_settling(skipped, settle.frames, device_->now_ns(),
                                              settle_from + settle.ms * kMillisecond))
      return true;
    // By count or time, frames must keep coming; by the picture, a usable
    // one must come within a capture's bound.
    const int64_t deadline =
        frame_timeout_ns(rate_.interval_ns()) + (settle.by_picture ? started_ns : last_frame);
    v4l2_buffer buffer = {};
    const bool restarted_before = *restarted;
    const Wait wait =
        device_->now_ns() > deadline ? Wait::kTimeout : next_frame(deadline, &buffer, restarted);
    if (wait != Wait::kFrame) {
      why_ = wait == Wait::kTimeout ? tally.no_frame(" after starting") : stream_error(errno);
      return false;
    }
    last_frame = device_->now_ns();
    if (*restarted != restarted_before) {  // the camera starts over
      picture.restart();
      settle_from = last_frame;
      skipped = 0;
    }
    ++tally.arrived;
    bool usable = false;
    if (settle.by_picture && usable_frame(buffer, frame, &tally)) {
      usable = true;
      picture.frame(last_frame, mean_brightness(frame, size_.width, size_.height),
                    control_value(V4L2_CID_EXPOSURE_ABSOLUTE), control_value(V4L2_CID_GAIN));
    }
    if (!requeue(&buffer)) {
      why_ = stream_error(errno);
      return false;
    }
    if (usable && (picture.settled() ||
                   last_frame >= started_ns + picture_settle_cap_ns(rate_.interval_ns()))) {
      *delivered = true;
      return true;
    }
  }
}

// The next buffer the driver filled, waiting no later than deadline_ns; it
// polls before every dequeue. Every frame dequeued counts for the rate.
V4l2Camera::Wait V4l2Camera::next_buffer(int64_t deadline_ns, v4l2_buffer* buffer) {
  for (;;) {
    const int64_t left = deadline_ns - device_->now_ns();
    const V4l2Device::Wait ready = device_->wait(
        left > 0 ? static_cast<int>(std::min(left / kMillisecond + 1, int64_t{1000})) : 0);
    if (ready == V4l2Device::Wait::kError) return Wait::kError;
    if (ready == V4l2Device::Wait::kTimeout) {
      found_empty_ = true;
      if (left <= 0) return Wait::kTimeout;
      continue;
    }
    *buffer = {};
    buffer->type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
    buffer->memory = V4L2_MEMORY_MMAP;
    if (xioctl(VIDIOC_DQBUF, buffer) == 0) {
      if (buffer->index >= buffers_.size()) {
        errno = EIO;
        return Wait::kError;
      }
      note_rate(*buffer);
      return Wait::kFrame;
    }
    if (errno != EAGAIN) return Wait::kError;
    found_empty_ = true;
    if (ready == V4l2Device::Wait::kBroken) {
      errno = EIO;
      return Wait::kError;
    }
    if (left <= 0) return Wait::kTimeout;
  }
}

// As next_buffer, but an error that may pass (EIO: V4L2 allows it as a
// temporary condition) restarts the stream, once while *restarted is false;
// a camera that is gone fails at once.
V4l2Camera::Wait V4l2Camera::next_frame(int64_t deadline_ns, v4l2_buffer* buffer, bool* restarted) {
  for (;;) {
    const Wait wait = next_buffer(deadline_ns, buffer);
    if (wait != Wait::kError) return wait;
    const int error = errno;
    if (error == ENODEV || error == ENXIO || *restarted) {
      errno = error;
      return Wait::kError;
    }
    *restarted = true;
    stop_streaming();
    stamps_.restart();
    if (!start_streaming()) {
      errno = error;
      return Wait::kError;
    }
  }
}

void V4l2Camera::note_rate(const v4l2_buffer& buffer) {
  const FrameStamp stamp = stamp_of(buffer);
  const int64_t now = device_->now_ns();
  const bool plausible = stamps_.believe(stamp, now) && stamp.stamp_ns >= now - kLongestInterval;
  // The driver's sequence counts frames it dropped for want of a buffer.
  const int64_t since = last_sequence_ >= 0 && buffer.sequence > last_sequence_
                            ? buffer.sequence - last_sequence_
                            : 1;
  last_sequence_ = buffer.sequence;
  rate_.frame(plausible ? stamp.stamp_ns : now, since);
}

bool V4l2Camera::requeue(v4l2_buffer* buffer) {
  return xioctl(VIDIOC_QBUF, buffer) == 0;
}

// A camera gone in the middle of a capture may be plugged back: the same
// camera found again within a capture's bound is opened (its node may have
// another number), settles and gives the frame.
bool V4l2Camera::capture(uint8_t* frame) {
  if (capture_once(frame)) return true;
  if (!lost_) return false;
  lost_ = false;
  const std::string old_path = path_;
  if (reopen_when_back() && capture_once(frame)) {
    fprintf(stderr, "vidmote: %s: the camera was gone (unplugged?) and is back as %s\n",
            printable(old_path).c_str(), printable(path_).c_str());
    return true;
  }
  lost_ = false;
  fprintf(stderr, "vidmote: %s: stream failed: the camera is gone (unplugged?)\n",
          printable(old_path).c_str());
  return false;
}

bool V4l2Camera::reopen_when_back() {
  const CameraIdentity camera = {card_, bus_};
  const int64_t until = device_->now_ns() + frame_timeout_ns(rate_.interval_ns());
  for (;;) {
    const std::string node = node_of_camera(*device_, path_, camera);
    if (!node.empty()) {
      path_ = node;
      if (open()) return true;
    }
    if (device_->now_ns() >= until) return false;
    device_->wait(100);  // closed: a pause
  }
}

// Every capture ends by its deadline: frames already queued are handed back
// unconverted, and only the frame kept is converted. A stream that restarts
// settles again, within the same deadline.
bool V4l2Camera::capture_once(uint8_t* frame) {
  if (!is_open() || !frame) return false;
  bool restarted = false;
  if (!streaming_) {
    bool delivered = false;
    stamps_.restart();
    if (!start_streaming() || !settle(frame, device_->now_ns(), &restarted, &delivered)) {
      fail(why_);
      return false;
    }
    if (delivered) return true;
  }
  const int64_t asked = device_->now_ns();
  const int64_t deadline = asked + frame_timeout_ns(rate_.interval_ns());
  Tally tally;
  restarted = false;
  found_empty_ = false;
  ArrivalOrder arrival(buffers_.size());
  // After a restart every frame is the new stream's: begun after the request.
  auto resettle = [&](bool* delivered) { return settle(frame, asked, &restarted, delivered); };

  // Frames already queued began before the request: hand them back, as long
  // as the driver has more at once, for at most a frame interval (a driver
  // slow to dequeue leaves the rest to the stale-frame check below).
  v4l2_buffer buffer = {};
  const int64_t hand_back_until = asked + rate_.interval_ns();
  for (size_t handed_back = 0;
       handed_back < 2 * buffers_.size() && device_->now_ns() <= hand_back_until; ++handed_back) {
    const Wait wait = next_frame(asked, &buffer, &restarted);
    if (wait == Wait::kTimeout) break;
    if (wait == Wait::kError || !requeue(&buffer)) {
      fail(stream_error(errno));
      return false;
    }
    if (restarted) break;
    arrival.arrived();
  }

  bool resettled = false;
  for (;;) {
    if (restarted && !resettled) {
      resettled = true;
      bool delivered = false;
      if (!resettle(&delivered)) {
        fail(why_);
        return false;
      }
      if (delivered) return true;
    }
    const bool empty_before = found_empty_;
    if (empty_before) arrival.queue_empty();
    // No dequeue begins past the deadline, however long the last one took.
    const bool restarted_before = restarted;
    const Wait wait =
        device_->now_ns() > deadline ? Wait::kTimeout : next_frame(deadline, &buffer, &restarted);
    if (wait != Wait::kFrame) {
      fail(wait == Wait::kTimeout ? tally.no_frame("") : stream_error(errno));
      return false;
    }
    ++tally.arrived;
    const bool new_stream = restarted && !restarted_before;
    // Whether the queue was empty while this frame was awaited.
    if (!empty_before && found_empty_) arrival.queue_empty();
    const FrameStamp stamp = stamp_of(buffer);
    const bool by_arrival = arrival.arrived() || (restarted && !new_stream);
    const bool believed = stamps_.believed();
    if (by_arrival && believed && stamp_lags(stamp, rate_.interval_ns(), asked)) stamps_.disprove();
    const bool fresh =
        !new_stream && began_after(stamp, believed, rate_.interval_ns(), asked, by_arrival);
    if (!fresh && !new_stream) ++tally.stale;
    const bool done = fresh && usable_frame(buffer, frame, &tally);
    if (!requeue(&buffer)) {
      fail(stream_error(errno));
      return done;  // a frame already delivered is still good
    }
    if (done) return true;
  }
}

// Converts the frame in the buffer unless it is damaged: flagged by the
// driver, shorter than its format, an MJPEG frame cut short, of another size
// than its format or one that does not decode. Those are counted instead.
bool V4l2Camera::usable_frame(const v4l2_buffer& buffer, uint8_t* frame, Tally* tally) {
  tally->jpeg =
      source_.pixelformat == V4L2_PIX_FMT_MJPEG || source_.pixelformat == V4L2_PIX_FMT_JPEG;
  if (buffer.flags & V4L2_BUF_FLAG_ERROR) {
    ++tally->flagged;
    return false;
  }
  const Buffer& mapped = buffers_[buffer.index];
  const uint8_t* bytes = static_cast<const uint8_t*>(mapped.start);
  size_t used = std::min<size_t>(buffer.bytesused, mapped.length);
  if (!converted_.pixelformat) {
    if (convert_to_bottom_up_bgr(bytes, used, layout_, frame)) return true;
    ++tally->cut_short;
    return false;
  }
  if (tally->jpeg) {
    JpegImage image;
    const JpegFrame jpeg = jpeg_frame(bytes, used, &image);
    if (jpeg != JpegFrame::kWhole) {
      ++(jpeg == JpegFrame::kCutShort ? tally->cut_short : tally->undecodable);
      return false;
    }
    // No decoder takes a frame of another size than the format's.
    if (image.width && image.height &&
        (static_cast<uint32_t>(image.width) != source_.width ||
         static_cast<uint32_t>(image.height) != source_.height)) {
      ++tally->other_size;
      return false;
    }
    used = image.bytes;  // what follows its end is not the picture
  }
  scratch_.resize(converted_.sizeimage);
  if (!device_->convert(source_, converted_, bytes, used, scratch_.data(), scratch_.size())) {
    ++tally->undecodable;
    return false;
  }
  return convert_to_bottom_up_bgr(scratch_.data(), scratch_.size(), layout_, frame);
}

// A control's value for watching the camera settle; 0 where the driver
// has none.
int64_t V4l2Camera::control_value(uint32_t id) {
  v4l2_control control = {id, 0};
  return xioctl(VIDIOC_G_CTRL, &control) == 0 ? control.value : 0;
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

// Streaming stops, so the next capture starts afresh; a device that is gone
// is closed as well.
// A camera that is gone is closed, and said so once it did not come back.
void V4l2Camera::fail(const std::string& why) {
  if (!gone_)
    fprintf(stderr, "vidmote: %s: %s\n", printable(path_).c_str(), printable(why).c_str());
  stop_streaming();
  if (gone_) close();
  lost_ = gone_;
  gone_ = false;
}

}  // namespace vidmote
