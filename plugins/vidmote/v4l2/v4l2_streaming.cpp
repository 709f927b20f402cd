// The V4L2 camera's stream: its buffers, stream-on and -off, the next
// frame the driver filled, a restart after a passing error.
#include <errno.h>
#include <stdio.h>
#include <string.h>

#include "device_text.h"
#include "frame_timing.h"
#include "v4l2_camera.h"
#include "v4l2_support.h"

namespace vidmote {

namespace {

const uint32_t kBufferCount = 4;
// A driver may raise the count it is asked for to its own minimum; beyond
// this many it is no camera's.
const uint32_t kMostBuffers = 64;

}  // namespace

// Requests the buffers, queues them all and starts the stream; the reason
// in why_ when it cannot.
v4l2_buffer V4l2Camera::new_buffer(uint32_t index) {
  v4l2_buffer buffer = {};
  buffer.type = buf_type_;
  buffer.memory = V4L2_MEMORY_MMAP;
  buffer.index = index;
  if (multi_planar()) {
    for (v4l2_plane& plane : planes_) plane = {};
    buffer.m.planes = planes_;
    buffer.length = plane_count_;
  }
  return buffer;
}

bool V4l2Camera::start_streaming() {
  v4l2_requestbuffers request = {};
  request.count = kBufferCount;
  request.type = buf_type_;
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
    v4l2_buffer buffer = new_buffer(i);
    Buffer mapped = {nullptr, 0};
    bool ok = xioctl(VIDIOC_QUERYBUF, &buffer) == 0;
    if (ok && multi_planar()) {
      mapped.length = planes_[0].length;
      ok = buffer.length == plane_count_ &&
           (mapped.start = device_->map(planes_[0].length, planes_[0].m.mem_offset));
      if (ok && plane_count_ == 2) {
        mapped.chroma_length = planes_[1].length;
        ok = (mapped.chroma = device_->map(planes_[1].length, planes_[1].m.mem_offset));
      }
    } else if (ok) {
      mapped.length = buffer.length;
      ok = (mapped.start = device_->map(buffer.length, buffer.m.offset));
    }
    if (mapped.start || mapped.chroma) buffers_.push_back(mapped);  // unmapped on release
    if (!ok) {
      why_ = "cannot map its buffers: " + error_text(errno);
      release_buffers();
      return false;
    }
  }
  for (uint32_t i = 0; i < buffers_.size(); ++i) {
    v4l2_buffer buffer = new_buffer(i);
    if (xioctl(VIDIOC_QBUF, &buffer) != 0) {
      why_ = "cannot queue its buffers: " + error_text(errno);
      release_buffers();
      return false;
    }
  }
  v4l2_buf_type type = static_cast<v4l2_buf_type>(buf_type_);
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
  latency_.stream_started(device_->now_ns());
  rate_.restart();
  last_sequence_ = -1;
  return true;
}

void V4l2Camera::stop_streaming() {
  if (streaming_) {
    v4l2_buf_type type = static_cast<v4l2_buf_type>(buf_type_);
    xioctl(VIDIOC_STREAMOFF, &type);
    streaming_ = false;
  }
  release_buffers();
}

void V4l2Camera::release_buffers() {
  for (const Buffer& buffer : buffers_) {
    if (buffer.start) device_->unmap(buffer.start, buffer.length);
    if (buffer.chroma) device_->unmap(buffer.chroma, buffer.chroma_length);
  }
  buffers_.clear();
  v4l2_requestbuffers request = {};
  request.type = buf_type_;
  request.memory = V4L2_MEMORY_MMAP;
  if (is_open()) xioctl(VIDIOC_REQBUFS, &request);  // count 0 frees them
}

// The next buffer the driver filled, waiting no later than deadline_ns; it
// polls before every dequeue, first without waiting, so a frame that was
// not ready yet is known to arrive when the poll says so (arrival_). Every
// frame dequeued counts for the rate.
V4l2Camera::Wait V4l2Camera::next_buffer(int64_t deadline_ns, v4l2_buffer* buffer) {
  bool empty = false;  // the queue was seen empty: the frame is awaited
  for (;;) {
    const int64_t left = deadline_ns - device_->now_ns();
    const V4l2Device::Wait ready = device_->wait(
        empty && left > 0 ? static_cast<int>(std::min(left / kMillisecond + 1, int64_t{1000})) : 0);
    if (ready == V4l2Device::Wait::kError) return Wait::kError;
    if (ready == V4l2Device::Wait::kTimeout) {
      empty = true;
      if (left <= 0) return Wait::kTimeout;
      continue;
    }
    arrival_ = {device_->now_ns(), empty};
    *buffer = new_buffer(0);
    if (xioctl(VIDIOC_DQBUF, buffer) == 0) {
      if (buffer->index >= buffers_.size()) {
        errno = EIO;
        return Wait::kError;
      }
      note_rate(*buffer);
      return Wait::kFrame;
    }
    if (errno != EAGAIN) return Wait::kError;
    empty = true;
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

// Every frame dequeued also tells whether the stamps are believed and, if
// they are, the delivery latency.
void V4l2Camera::note_rate(const v4l2_buffer& buffer) {
  const FrameStamp stamp = stamp_of(buffer);
  const int64_t now = device_->now_ns();
  const bool believed = stamps_.believe(stamp, arrival_, rate_.interval_ns());
  latency_.arrived(arrival_, rate_.interval_ns());
  if (believed) latency_.frame(stamp, arrival_, rate_.interval_ns());
  const bool plausible = believed && stamp.stamp_ns >= now - kLongestInterval;
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

// Streaming stops, so the next capture starts afresh. A device that is gone
// is closed as well, and said so only once it did not come back.
void V4l2Camera::fail(const std::string& why) {
  if (!gone_)
    fprintf(stderr, "vidmote: %s: %s\n", printable(path_).c_str(), printable(why).c_str());
  stop_streaming();
  if (gone_) close();
  lost_ = gone_;
  gone_ = false;
}

}  // namespace vidmote
