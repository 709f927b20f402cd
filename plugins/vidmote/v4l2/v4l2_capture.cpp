// A V4L2 capture: settling after stream-on, the fresh frame after Enter,
// damaged frames counted instead of delivered, a camera plugged back.
#include <errno.h>
#include <stdio.h>
#include <string.h>

#include "device_text.h"
#include "frame_timing.h"
#include "streamed_frame.h"
#include "v4l2_camera.h"
#include "v4l2_support.h"

namespace vidmote {

// A camera gone in the middle of a capture may be plugged back: the same
// camera found again within a capture's bound is opened (its node may have
// another number), settles and gives the frame.
bool V4l2Camera::capture(uint8_t* frame) {
  if (capture_once(frame)) return true;
  if (!lost_) return false;
  lost_ = false;
  const std::string old_path = path_;
  const bool back = reopen_when_back();
  if (back && capture_once(frame)) {
    fprintf(stderr, "vidmote: %s: the camera was gone (unplugged?) and is back as %s\n",
            printable(old_path).c_str(), printable(path_).c_str());
    return true;
  }
  // A camera back but failing otherwise has said why already.
  if (!back || lost_)
    fprintf(stderr, "vidmote: %s: stream failed: the camera is gone (unplugged?)\n",
            printable(old_path).c_str());
  lost_ = false;
  return false;
}

bool V4l2Camera::reopen_when_back() {
  const CameraIdentity camera = identity_;
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

// A capture goes through a few states, each deciding by the rules in
// frames/frame_timing.h:
//   starting      no stream yet: stream-on, then settling;
//   settling      frames skipped until the camera has settled (by the
//                 picture, the settled frame is the capture's);
//   handing back  frames queued before Enter requeued unconverted;
//   waiting       the first usable frame begun after Enter is converted and
//                 kept; a restart of the stream goes back to settling.
// Every capture ends by its deadline; a camera lost on the way is reopened
// by capture().
bool V4l2Camera::capture_once(uint8_t* frame) {
  if (!is_open() || !frame) return false;
  enum class State { kStarting, kSettling, kHandingBack, kWaiting };
  State state = streaming_ ? State::kHandingBack : State::kStarting;
  bool restarted = false;   // the stream restarted (once at most in a state's run)
  int64_t settle_from = 0;  // settling's bound counts from this
  int64_t asked = 0, deadline = 0;
  size_t arrived = 0;  // frames dequeued since Enter
  FrameTally tally;
  v4l2_buffer buffer = {};
  for (;;) {
    switch (state) {
      case State::kStarting:
        stamps_.restart();
        if (!start_streaming()) {
          fail(why_);
          return false;
        }
        settle_from = device_->now_ns();
        state = State::kSettling;
        break;

      case State::kSettling: {
        bool delivered = false;
        if (!settle(frame, settle_from, &restarted, &delivered)) {
          fail(why_);
          return false;
        }
        if (delivered) return true;
        // Settled by count or time: the capture is asked now, unless the
        // stream restarted after Enter (every frame of it is fresh).
        state = asked ? State::kWaiting : State::kHandingBack;
        break;
      }

      case State::kHandingBack: {
        asked = device_->now_ns();
        deadline = asked + frame_timeout_ns(rate_.interval_ns());
        restarted = false;
        // Frames already queued began before Enter: hand them back as long as
        // the driver has more at once, for at most a frame interval (a driver
        // slow to dequeue leaves the rest to the freshness rule).
        const int64_t hand_back_until = asked + rate_.interval_ns();
        state = State::kWaiting;
        for (size_t handed_back = 0;
             handed_back < 2 * buffers_.size() && device_->now_ns() <= hand_back_until;
             ++handed_back) {
          const Wait wait = next_frame(asked, &buffer, &restarted);
          if (wait == Wait::kTimeout) break;
          if (wait == Wait::kError || !requeue(&buffer)) {
            fail(stream_error(errno));
            return false;
          }
          if (restarted) {
            settle_from = asked;  // the capture's bound, not a new one
            state = State::kSettling;
            break;
          }
          ++arrived;
        }
        break;
      }

      case State::kWaiting: {
        // No dequeue begins past the deadline, however long the last one took.
        const bool restarted_before = restarted;
        const Wait wait = device_->now_ns() > deadline ? Wait::kTimeout
                                                       : next_frame(deadline, &buffer, &restarted);
        if (wait != Wait::kFrame) {
          fail(wait == Wait::kTimeout ? tally.no_frame("") : stream_error(errno));
          return false;
        }
        ++tally.arrived;
        ++arrived;
        if (restarted && !restarted_before) {  // the stream starts over: settle again
          if (!requeue(&buffer)) {
            fail(stream_error(errno));
            return false;
          }
          settle_from = asked;
          state = State::kSettling;
          break;
        }
        const CaptureFrame seen = {frame_start_ns(stamp_of(buffer), stamps_.believed(), arrival_,
                                                  rate_.interval_ns(), latency_.latency_ns()),
                                   arrived, restarted};
        const bool fresh = began_after_request(seen, buffers_.size(), asked);
        if (!fresh) ++tally.stale;
        const bool done = fresh && usable_frame(buffer, frame, &tally);
        if (!requeue(&buffer)) {
          fail(stream_error(errno));
          return done;  // a frame already delivered is still good
        }
        if (done) return true;
        break;
      }
    }
  }
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
  FrameTally tally;
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
                    control_value(V4L2_CID_EXPOSURE_ABSOLUTE, &exposure_reads_),
                    control_value(V4L2_CID_GAIN, &gain_reads_),
                    mean_colour(frame, size_.width, size_.height));
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

// Converts the frame in the buffer unless it is damaged: flagged by the
// driver, shorter than its format, an MJPEG frame cut short, of another size
// than its format or one that does not decode. Those are counted instead.
bool V4l2Camera::usable_frame(const v4l2_buffer& buffer, uint8_t* frame, FrameTally* tally) {
  tally->jpeg =
      source_.pixelformat == V4L2_PIX_FMT_MJPEG || source_.pixelformat == V4L2_PIX_FMT_JPEG;
  if (buffer.flags & V4L2_BUF_FLAG_ERROR) {
    ++tally->flagged;
    return false;
  }
  const Buffer& mapped = buffers_[buffer.index];
  const uint8_t* bytes = static_cast<const uint8_t*>(mapped.start);
  const size_t bytes_used = multi_planar() ? buffer.m.planes[0].bytesused : buffer.bytesused;
  size_t used = std::min<size_t>(bytes_used, mapped.length);
  if (multi_planar() && plane_count_ == 2) {
    // NV12M: the chroma plane in a buffer of its own; joined to its luma,
    // the frame reads as NV12.
    const size_t luma = std::min(used, layout_.bytes_per_line * size_.height);
    const size_t chroma = std::min<size_t>(buffer.m.planes[1].bytesused, mapped.chroma_length);
    packed_.resize(luma + chroma);
    memcpy(packed_.data(), bytes, luma);
    memcpy(packed_.data() + luma, mapped.chroma, chroma);
    bytes = packed_.data();
    used = luma < layout_.bytes_per_line * size_.height ? luma : packed_.size();
  }
  if (!converted_.pixelformat)
    return usable_streamed_frame(bytes, used, {layout_, false}, &scratch_, frame, tally);
  if (tally->jpeg && !whole_mjpeg(bytes, &used, static_cast<int32_t>(source_.width),
                                  static_cast<int32_t>(source_.height), tally))
    return false;
  if (!padded_.empty()) {
    if (!pack_rows(bytes, used, padded_.data(), padded_.size(), &packed_)) {
      ++tally->cut_short;
      return false;
    }
    bytes = packed_.data();
    used = packed_.size();
  }
  scratch_.resize(converted_.sizeimage);
  if (!device_->convert(packed_source_, converted_, bytes, used, scratch_.data(),
                        scratch_.size())) {
    ++tally->undecodable;
    return false;
  }
  return convert_to_bottom_up_bgr(scratch_.data(), scratch_.size(), layout_, frame);
}

// A control's value for watching the camera settle, read while its reads
// keep within their budget; 0 where the driver has none.
int64_t V4l2Camera::control_value(uint32_t id, ControlReads* reads) {
  if (reads->worth_reading()) {
    v4l2_control control = {id, 0};
    const int64_t before = device_->now_ns();
    const bool ok = xioctl(VIDIOC_G_CTRL, &control) == 0;
    reads->read(ok, control.value, device_->now_ns() - before);
  }
  return reads->value();
}

}  // namespace vidmote
