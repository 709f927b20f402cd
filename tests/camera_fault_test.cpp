// The default plug-in's cameras against a stand-in for a V4L2 driver that
// misbehaves in ways the kernel's vivid cannot: a slow conversion, a busy or
// forbidden device, huge timestamps and frame intervals, menus at the integer
// limits, endless enumerations, names holding escape bytes. The stand-in
// keeps its own clock, so a capture that would hang shows up as a clock far
// past any deadline instead of a test that never ends.
#include <errno.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <math.h>
#include <signal.h>
#include <spa/param/format.h>
#include <spa/param/video/raw.h>
#include <spa/pod/builder.h>
#include <stdio.h>
#include <string.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <functional>
#include <map>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "frame_timing.h"
#include "pipewire_camera.h"
#include "pw_nodes.h"
#include "support/files.h"
#include "test_card.h"
#include "v4l2_camera.h"
#include "v4l2_device.h"
#include "vidmote.h"

namespace {

const int64_t kMs = 1000 * 1000;
const int64_t kSecond = 1000 * kMs;
const uint32_t kMenuId = V4L2_CID_POWER_LINE_FREQUENCY;

// What the stand-in driver does; each case changes a few of these.
struct Driver {
  int open_error = 0;
  uint32_t caps = V4L2_CAP_VIDEO_CAPTURE | V4L2_CAP_STREAMING;
  std::string card = "Fake Cam";
  int set_format_error = 0;
  uint32_t own_format = V4L2_PIX_FMT_MJPEG;  // what the camera sends
  // The driver answers any format asked for in the camera's own (uvcvideo
  // does), and the converter, with no decoder for that, passes the answer
  // on (libv4lconvert does); else BGR24 is the driver's too, as in libv4l2.
  bool answers_own_format = false;
  v4l2_fract time_per_frame = {1, 30};  // as the driver declares it
  int64_t frame_every_ns = 0;           // if not 0, the interval it keeps
  bool start_of_frame_stamps = false;   // else stamped at the frame's end
  int64_t brighten_ns = 0;        // the picture brightens from 16 to 128 over this from stream-on
  bool flickers = false;          // the picture never holds still
  int64_t converge_ns = 0;        // auto exposure converges from 16 to 128 with this time constant
  int flicker_levels = 0;         // the settled picture sways this much either side, frame by frame
  bool exposure_wobbles = false;  // exposure read back 100 or 101 on a still picture
  int64_t gain_moves_ns = 0;      // gain rises a step a frame for this long from stream-on
  uint32_t stamp_type = V4L2_BUF_FLAG_TIMESTAMP_MONOTONIC;
  int64_t stamp_offset_ns = 0;    // stamps this far ahead of the clock (behind: negative)
  int buffers_granted = -1;       // if 0 or more, whatever count is asked for
  int request_buffers_error = 0;  // the buffer request fails with it
  int64_t dequeue_ns = 0;         // each dequeue takes this long
  int dequeue_error_at = -1;      // the dequeue of this frame fails,
  int dequeue_error = EIO;        // with this error,
  bool error_persists = false;    // else once
  // ENODEV unplugs the camera for good, or until it is back after
  // replug_ns at replug_path (with replug_card for a card name, if any).
  std::string replug_path, replug_card;
  int64_t replug_ns = 0;
  int stream_on_error = 0;
  std::string holder;         // the process seen holding the device
  int64_t conversion_ns = 0;  // per frame converted to BGR24
  int64_t stamp_seconds = 0;  // if not 0, every frame's timestamp
  std::string control_name = "Brightness";
  std::string menu_label = "50 Hz";
  int32_t menu_minimum = 0, menu_maximum = 2;
  bool endless_lists = false;  // formats, sizes and controls never end
  bool refuses_sizes = false;  // only 640 x 480 comes back usable
  bool shows_brightness = true;
  int brightness_query_error = 0;  // as uvcvideo fails a control its camera does not answer
  // Frames damaged but every fourth (or all of them): flagged by the
  // driver, shorter than the format, MJPEG without its end, or MJPEG that
  // does not decode.
  enum class Damage { kNone, kFlagged, kShort, kCutJpeg, kCorruptJpeg } damage = Damage::kNone;
  bool all_damaged = false;
  bool every_fourth_damaged = false;  // instead: one frame in four
  // What an MJPEG frame that ends at two thirds of its buffer has after its
  // end marker; kNothing: it ends with the buffer.
  enum class AfterEnd { kNothing, kFill, kJunk, kOlderFrame } after_end = AfterEnd::kNothing;
  uint32_t header_height = 0;  // if not 0, the height MJPEG frames' headers give

  // Kept by the stand-in.
  int damaged_delivered = 0;  // damaged frames converted all the same
  int dequeued = 0;
  int exposure_reads = 0;
  int64_t streamed_at = 0;  // the last stream-on
  bool unplugged = false;
  int64_t unplugged_at = 0;
  int64_t last_dequeued_began = 0;
  int last_level = -1;  // the brightness of the frame last converted
  int64_t now = 1000 * kSecond;
  uint64_t calls = 0;
  bool gave_up = false;
  int conversions = 0;
  v4l2_pix_format format = {};
  v4l2_control last_set = {};
};

const int64_t kGiveUpAt = 1000 * kSecond + 3600 * kSecond;  // an hour: hung

class FakeDevice : public vidmote::V4l2Device {
 public:
  explicit FakeDevice(std::shared_ptr<Driver> driver) : d_(std::move(driver)) {}

  int open(const std::string& path) override {
    if (!call()) return EIO;
    if (d_->unplugged) {
      if (path != d_->replug_path || !replugged()) return ENOENT;
      d_->unplugged = false;
      d_->dequeue_error_at = -1;
      if (!d_->replug_card.empty()) d_->card = d_->replug_card;
    }
    return d_->open_error;
  }
  bool replugged() const {
    return !d_->replug_path.empty() && d_->now >= d_->unplugged_at + d_->replug_ns;
  }
  std::vector<std::string> video_nodes() override {
    if (!d_->unplugged) return {"/dev/video0"};
    if (replugged()) return {d_->replug_path};
    return {};
  }
  void close() override { streaming_ = false; }

  int ioctl(unsigned long request, void* argument) override {
    if (!call()) return fail(EIO);
    switch (request) {
      case VIDIOC_QUERYCAP: {
        auto* caps = static_cast<v4l2_capability*>(argument);
        *caps = {};
        // As a driver may: the whole field, without a terminator when full.
        memcpy(caps->card, d_->card.data(), std::min(d_->card.size(), sizeof caps->card));
        caps->capabilities = d_->caps | V4L2_CAP_DEVICE_CAPS;
        caps->device_caps = d_->caps;
        return 0;
      }
      case VIDIOC_S_FMT:
      case VIDIOC_TRY_FMT:
        return set_format(static_cast<v4l2_format*>(argument), request == VIDIOC_S_FMT);
      case VIDIOC_ENUM_FMT: {
        auto* format = static_cast<v4l2_fmtdesc*>(argument);
        if (format->index > 0 && !d_->endless_lists) return fail(EINVAL);
        format->pixelformat = d_->own_format;
        snprintf(reinterpret_cast<char*>(format->description), sizeof format->description, "%s",
                 d_->own_format == V4L2_PIX_FMT_H264 ? "H.264" : "Motion-JPEG");
        return 0;
      }
      case VIDIOC_ENUM_FRAMESIZES: {
        auto* size = static_cast<v4l2_frmsizeenum*>(argument);
        if (size->index > 1 && !d_->endless_lists) return fail(EINVAL);
        size->type = V4L2_FRMSIZE_TYPE_DISCRETE;
        size->discrete = {size->index == 0 ? 640u : 1280u, size->index == 0 ? 480u : 720u};
        return 0;
      }
      case VIDIOC_G_PARM:
      case VIDIOC_S_PARM: {
        auto* parm = static_cast<v4l2_streamparm*>(argument);
        parm->parm.capture.capability = V4L2_CAP_TIMEPERFRAME;
        parm->parm.capture.timeperframe = d_->time_per_frame;
        return 0;
      }
      case VIDIOC_QUERYCTRL:
        return query_control(static_cast<v4l2_queryctrl*>(argument));
      case VIDIOC_QUERYMENU: {
        auto* item = static_cast<v4l2_querymenu*>(argument);
        if (item->id != kMenuId) return fail(EINVAL);
        strncpy(reinterpret_cast<char*>(item->name), d_->menu_label.c_str(), sizeof item->name);
        return 0;
      }
      case VIDIOC_G_CTRL: {
        auto* control = static_cast<v4l2_control*>(argument);
        control->value = 0;
        if (control->id == V4L2_CID_EXPOSURE_ABSOLUTE && d_->exposure_wobbles) {
          control->value = 100 + d_->exposure_reads++ / 2 % 2;
          return 0;
        }
        if (control->id == V4L2_CID_GAIN && d_->gain_moves_ns) {
          control->value = static_cast<int32_t>(
              std::min(d_->now - d_->streamed_at, d_->gain_moves_ns) / real_ns());
          return 0;
        }
        return control->id == V4L2_CID_BRIGHTNESS ? 0 : fail(EINVAL);
      }
      case VIDIOC_S_CTRL:
        d_->last_set = *static_cast<v4l2_control*>(argument);
        return 0;
      case VIDIOC_REQBUFS: {
        auto* request = static_cast<v4l2_requestbuffers*>(argument);
        if (request->count > 0 && d_->request_buffers_error) return fail(d_->request_buffers_error);
        request->count = request->count == 0        ? 0
                         : d_->buffers_granted >= 0 ? static_cast<uint32_t>(d_->buffers_granted)
                                                    : std::min(request->count, 4u);
        memory_.assign(request->count, std::vector<uint8_t>(d_->format.sizeimage));
        queued_.clear();
        filled_.clear();
        return 0;
      }
      case VIDIOC_QUERYBUF: {
        auto* buffer = static_cast<v4l2_buffer*>(argument);
        if (buffer->index >= memory_.size()) return fail(EINVAL);
        buffer->length = d_->format.sizeimage;
        buffer->m.offset = buffer->index;
        return 0;
      }
      case VIDIOC_QBUF:
        queued_.push_back(static_cast<v4l2_buffer*>(argument)->index);
        return 0;
      case VIDIOC_DQBUF:
        return dequeue(static_cast<v4l2_buffer*>(argument));
      case VIDIOC_STREAMON:
        if (d_->stream_on_error) return fail(d_->stream_on_error);
        streaming_ = true;
        d_->streamed_at = d_->now;
        next_frame_ = d_->now + real_ns();
        return 0;
      case VIDIOC_STREAMOFF:
        streaming_ = false;
        return 0;
      default:
        return fail(ENOTTY);
    }
  }

  void* map(size_t, uint32_t offset) override {
    return offset < memory_.size() ? memory_[offset].data() : nullptr;
  }
  void unmap(void*, size_t) override {}

  Wait wait(int timeout_ms) override {
    if (!call()) return Wait::kError;
    deliver();
    if (!filled_.empty()) return Wait::kReady;
    const int64_t until = timeout_ms < 0 ? INT64_MAX : d_->now + timeout_ms * kMs;
    if (streaming_ && next_frame_ <= until && next_frame_ < kGiveUpAt) {
      d_->now = next_frame_;
      deliver();
      return Wait::kReady;
    }
    d_->now = until;
    return Wait::kTimeout;
  }

  int64_t now_ns() override {
    call();
    return d_->now;
  }

  std::string holder(const std::string&) override { return d_->holder; }

  bool source_format_for(v4l2_pix_format* bgr, v4l2_pix_format* source) override {
    // What libv4lconvert has no decoder for.
    if (d_->own_format == V4L2_PIX_FMT_H264 || d_->own_format == V4L2_PIX_FMT_GREY) {
      v4l2_format answer = {};
      answer.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
      answer.fmt.pix = *bgr;
      if (!d_->answers_own_format || ioctl(VIDIOC_TRY_FMT, &answer) != 0) return false;
      *bgr = *source = answer.fmt.pix;
      return true;
    }
    *source = *bgr;
    source->pixelformat = d_->own_format;
    return true;
  }

  bool convert(const v4l2_pix_format&, const v4l2_pix_format& bgr, const uint8_t* frame, size_t,
               uint8_t* out, size_t out_bytes) override {
    convert_one();
    int level = 128;
    for (size_t i = 0; i < memory_.size(); ++i) {
      if (frame != memory_[i].data()) continue;
      if (damaged(sequence_of_[i])) {
        if (d_->damage == Driver::Damage::kCorruptJpeg) return false;  // the decoder refuses
        ++d_->damaged_delivered;
      }
      level = level_at(began_of_[i]);
    }
    if (out_bytes != size_t{bgr.width} * bgr.height * 3) return false;
    memset(out, level, out_bytes);
    d_->last_level = level;
    return true;
  }

 private:
  // Once the camera code has gone on far longer than any capture may, the
  // test is told once, and every later call fails.
  bool call() {
    if (d_->gave_up) return false;
    if (++d_->calls > 2000000 || d_->now > kGiveUpAt) {
      d_->gave_up = true;
      throw std::runtime_error("the camera code never stopped calling the driver");
    }
    return true;
  }
  int64_t real_ns() const {
    if (d_->frame_every_ns) return d_->frame_every_ns;
    const v4l2_fract& t = d_->time_per_frame;
    return std::min<int64_t>(int64_t{t.numerator} * kSecond / t.denominator, 1000000 * kSecond);
  }
  bool damaged(uint32_t sequence) const {
    if (d_->damage == Driver::Damage::kNone) return false;
    if (d_->every_fourth_damaged) return sequence % 4 == 3;
    return d_->all_damaged || sequence % 4 != 0;
  }
  // The picture's brightness in a frame that began at began_ns.
  int level_at(int64_t began_ns) const {
    const int64_t since = began_ns - d_->streamed_at;
    if (d_->flickers) return since / real_ns() % 2 ? 60 : 120;
    if (d_->flicker_levels) return 128 + (since / real_ns() % 2 ? 1 : -1) * d_->flicker_levels;
    if (d_->converge_ns)
      return static_cast<int>(
          128 - 112 * exp(-static_cast<double>(std::max<int64_t>(since, 0)) / d_->converge_ns));
    if (d_->brighten_ns <= 0 || since >= d_->brighten_ns) return 128;
    return 16 + static_cast<int>(112 * std::max<int64_t>(since, 0) / d_->brighten_ns);
  }
  int fail(int error) {
    errno = error;
    return -1;
  }
  void convert_one() {
    d_->now += d_->conversion_ns;
    ++d_->conversions;
  }

  // Start marker, frame header and end marker; a frame cut short lost its
  // end over USB.
  void write_mjpeg(std::vector<uint8_t>& bytes, uint32_t sequence, v4l2_buffer* buffer) {
    using AfterEnd = Driver::AfterEnd;
    std::fill(bytes.begin(), bytes.end(), 0x55);
    const size_t end = d_->after_end == AfterEnd::kNothing ? bytes.size() : bytes.size() * 2 / 3;
    buffer->bytesused = static_cast<uint32_t>(end);
    if (damaged(sequence) && d_->damage == Driver::Damage::kCutJpeg) {
      buffer->bytesused = buffer->bytesused * 2 / 3;
    } else {
      bytes[end - 2] = 0xFF, bytes[end - 1] = 0xD9;
      const uint8_t junk[] = {0x00, 0xFF, 0xD8, 0x17, 0xFF, 0xC4, 0x42, 0xFF};
      for (size_t i = 0; i < 64 && d_->after_end != AfterEnd::kNothing; ++i)
        bytes[end + i] = d_->after_end == AfterEnd::kJunk ? junk[i % 8] : 0xFF;
      if (d_->after_end == AfterEnd::kFill || d_->after_end == AfterEnd::kJunk)
        buffer->bytesused += 64;
      if (d_->after_end == AfterEnd::kOlderFrame) {
        bytes[bytes.size() - 2] = 0xFF, bytes[bytes.size() - 1] = 0xD9;
        buffer->bytesused = static_cast<uint32_t>(bytes.size());
      }
    }
    // The frame header (SOF0): 8 bits, height, width, one component.
    const uint32_t height = d_->header_height ? d_->header_height : d_->format.height;
    const uint32_t width = d_->format.width;
    const uint32_t header[] = {0xFF,         0xD8,       0xFF,        0xC0, 0, 11,   8, height >> 8,
                               height & 255, width >> 8, width & 255, 1,    1, 0x11, 0};
    std::copy(std::begin(header), std::end(header), bytes.begin());
  }

  int set_format(v4l2_format* format, bool in_force) {
    if (d_->set_format_error) return fail(d_->set_format_error);
    v4l2_pix_format& pix = format->fmt.pix;
    // BGR24 is converted here, as libv4l2 does, inside every dequeue.
    if (pix.pixelformat != V4L2_PIX_FMT_BGR24 || d_->answers_own_format)
      pix.pixelformat = d_->own_format;
    pix.width = std::min<uint32_t>(std::max<uint32_t>(pix.width, 1), 1920);
    pix.height = std::min<uint32_t>(std::max<uint32_t>(pix.height, 1), 1080);
    if (d_->refuses_sizes && (pix.width != 640 || pix.height != 480)) pix.pixelformat = 0;
    const uint32_t bytes = pix.pixelformat == V4L2_PIX_FMT_BGR24  ? 3
                           : pix.pixelformat == V4L2_PIX_FMT_GREY ? 1
                                                                  : 2;
    pix.bytesperline = pix.width * bytes;
    pix.sizeimage = pix.bytesperline * pix.height;
    if (in_force) d_->format = pix;
    return 0;
  }

  int query_control(v4l2_queryctrl* query) {
    uint32_t after = query->id & ~V4L2_CTRL_FLAG_NEXT_CTRL;
    if (d_->brightness_query_error) {
      // Brightness fails whether asked for or next; asked for, the others
      // are found by their own ids.
      const bool next = query->id & V4L2_CTRL_FLAG_NEXT_CTRL;
      if (next ? after < V4L2_CID_BRIGHTNESS : after == V4L2_CID_BRIGHTNESS)
        return fail(d_->brightness_query_error);
      if (!next && after != kMenuId) return fail(EINVAL);
      if (!next) after = kMenuId - 1;
    }
    *query = {};
    if (d_->endless_lists || (after < V4L2_CID_BRIGHTNESS && d_->shows_brightness)) {
      query->id = V4L2_CID_BRIGHTNESS;
      query->type = V4L2_CTRL_TYPE_INTEGER;
      query->maximum = 255;
      query->step = 1;
      memcpy(query->name, d_->control_name.data(),
             std::min(d_->control_name.size(), sizeof query->name));
      return 0;
    }
    if (after < kMenuId) {
      query->id = kMenuId;
      query->type = V4L2_CTRL_TYPE_MENU;
      query->minimum = d_->menu_minimum;
      query->maximum = d_->menu_maximum;
      strcpy(reinterpret_cast<char*>(query->name), "Power Line Frequency");
      return 0;
    }
    return fail(EINVAL);
  }

  // Fills queued buffers with every frame due by now; frames with no buffer
  // to go into are lost.
  void deliver() {
    while (streaming_ && next_frame_ <= d_->now) {
      if (!queued_.empty()) {
        filled_.push_back({queued_.front(), next_frame_});
        queued_.erase(queued_.begin());
      }
      next_frame_ += real_ns();
    }
  }

  int dequeue(v4l2_buffer* buffer) {
    d_->now += d_->dequeue_ns;
    deliver();
    if (filled_.empty()) return fail(EAGAIN);
    if (d_->dequeue_error_at >= 0 && static_cast<int>(sequence_) >= d_->dequeue_error_at &&
        (d_->error_persists || !error_given_)) {
      error_given_ = true;
      if (d_->dequeue_error == ENODEV && !d_->unplugged) {
        d_->unplugged = true;
        d_->unplugged_at = d_->now;
      }
      return fail(d_->dequeue_error);
    }
    const Filled frame = filled_.front();
    filled_.erase(filled_.begin());
    buffer->index = frame.index;
    buffer->bytesused = d_->format.sizeimage;
    buffer->flags = d_->stamp_type | (d_->start_of_frame_stamps ? V4L2_BUF_FLAG_TSTAMP_SRC_SOE
                                                                : V4L2_BUF_FLAG_TSTAMP_SRC_EOF);
    const uint32_t sequence = sequence_++;
    ++d_->dequeued;
    buffer->sequence = sequence;
    sequence_of_[frame.index] = sequence;
    began_of_[frame.index] = frame.at - real_ns();
    d_->last_dequeued_began = frame.at - real_ns();
    if (damaged(sequence) && d_->damage == Driver::Damage::kFlagged)
      buffer->flags |= V4L2_BUF_FLAG_ERROR;
    if (d_->own_format == V4L2_PIX_FMT_MJPEG) write_mjpeg(memory_[frame.index], sequence, buffer);
    if (d_->own_format == V4L2_PIX_FMT_GREY) {
      std::vector<uint8_t>& bytes = memory_[frame.index];
      std::fill(bytes.begin(), bytes.end(), 0x80);
    }
    if (d_->damage == Driver::Damage::kShort) {
      // The filled part is one gray in any format; what follows it is not.
      std::vector<uint8_t>& bytes = memory_[frame.index];
      if (damaged(sequence)) buffer->bytesused /= 2;
      std::fill(bytes.begin(), bytes.begin() + buffer->bytesused, 0x80);
      std::fill(bytes.begin() + buffer->bytesused, bytes.end(), 0x10);
    }
    const int64_t stamp =
        (d_->start_of_frame_stamps ? frame.at - real_ns() : frame.at) + d_->stamp_offset_ns;
    buffer->timestamp.tv_sec = d_->stamp_seconds ? d_->stamp_seconds : stamp / kSecond;
    buffer->timestamp.tv_usec = stamp % kSecond / 1000;
    if (d_->format.pixelformat == V4L2_PIX_FMT_BGR24) convert_one();
    return 0;
  }

  struct Filled {
    uint32_t index;
    int64_t at;
  };
  std::shared_ptr<Driver> d_;
  bool streaming_ = false;
  int64_t next_frame_ = 0;
  uint32_t sequence_ = 0;                     // of the next frame
  std::map<uint32_t, uint32_t> sequence_of_;  // the frame each buffer holds
  std::map<uint32_t, int64_t> began_of_;      // and when that frame began
  bool error_given_ = false;
  std::vector<std::vector<uint8_t>> memory_;
  std::vector<uint32_t> queued_;
  std::vector<Filled> filled_;
};

std::unique_ptr<vidmote::V4l2Camera> fake_camera(std::shared_ptr<Driver> driver) {
  return std::make_unique<vidmote::V4l2Camera>("/dev/video0", driver->card,
                                               std::make_unique<FakeDevice>(driver));
}

// The names in these cases are ASCII around their escape bytes: shown
// safely, they are printable ASCII throughout.
::testing::AssertionResult printable(const std::string& text) {
  for (size_t i = 0; i < text.size(); ++i)
    if ((text[i] < 0x20 || text[i] > 0x7E) && text[i] != '\n')
      return ::testing::AssertionFailure()
             << "byte " << i << " of " << ::testing::PrintToString(text);
  return ::testing::AssertionSuccess();
}

// The index of a settle choice in the dialog's list.
size_t settle_index(const std::string& label) {
  for (size_t i = 0; i < vidmote::kSettleChoiceCount; ++i)
    if (label == vidmote::kSettleChoices[i].label) return i;
  ADD_FAILURE() << "no settle choice " << label;
  return 0;
}

// One camera and the test card behind the plug-in, as on a machine with a
// webcam; named: the camera is the one asked for by name.
struct Plugin {
  Plugin(std::shared_ptr<Driver> driver, bool named) {
    std::vector<std::unique_ptr<vidmote::FrameSource>> sources;
    sources.push_back(fake_camera(driver));
    sources.push_back(std::make_unique<vidmote::TestCardSource>());
    vidmote = std::make_unique<vidmote::Vidmote>(std::move(sources), named);
  }
  std::unique_ptr<vidmote::Vidmote> vidmote;
};

TEST(CameraFaults, WhatTheUserSeesWhenTheDriverMisbehaves) {
  const struct {
    const char* what;
    std::function<void(Driver&)> fault;
    bool named;        // VIDMOTE_DEVICE names the camera
    const char* name;  // the plug-in's name holds this
    bool init_ok;
    const char* error_line;  // on standard error, "" for none
    bool captures;
    const char* settle = nullptr;  // the settle time chosen in the dialog
  } cases[] = {
      {"a camera that works", [](Driver&) {}, false, "Fake Cam", true, "", true},
      {"forbidden", [](Driver& d) { d.open_error = EACCES; }, false, "Test card", true,
       "skipped: permission denied", true},
      {"busy", [](Driver& d) { d.set_format_error = EBUSY; }, false, "Test card", true,
       "skipped: busy: another program is using it", true},
      {"not a camera", [](Driver& d) { d.caps = V4L2_CAP_VIDEO_OUTPUT | V4L2_CAP_STREAMING; },
       false, "Test card", true, "skipped: not a capture device", true},
      {"named and forbidden", [](Driver& d) { d.open_error = EACCES; }, true, "/dev/video0", false,
       "permission denied", false},
      {"named and busy", [](Driver& d) { d.set_format_error = EBUSY; }, true, "/dev/video0", false,
       "busy", false},
      {"conversion slower than the frames", [](Driver& d) { d.conversion_ns = 40 * kMs; }, false,
       "Fake Cam", true, "", true},
      {"timestamps of 10^10 s", [](Driver& d) { d.stamp_seconds = 10000000000; }, false, "Fake Cam",
       true, "", true},
      {"timestamps of -10^10 s", [](Driver& d) { d.stamp_seconds = -10000000000; }, false,
       "Fake Cam", true, "", true},
      // Stamps that say nothing: freshness by arrival, never a frame begun
      // before Enter, never a failure for the stamps alone.
      {"stamps copied from the producer, 12 ms dequeues",
       [](Driver& d) {
         d.stamp_type = V4L2_BUF_FLAG_TIMESTAMP_COPY;
         d.dequeue_ns = 12 * kMs;
       },
       false, "Fake Cam", true, "", true},
      {"stamps of unknown type, 12 ms dequeues",
       [](Driver& d) {
         d.stamp_type = V4L2_BUF_FLAG_TIMESTAMP_UNKNOWN;
         d.dequeue_ns = 12 * kMs;
       },
       false, "Fake Cam", true, "", true},
      {"a fixed tv_sec", [](Driver& d) { d.stamp_seconds = 999; }, false, "Fake Cam", true, "",
       true},
      {"stamps lagging 3.5 s", [](Driver& d) { d.stamp_offset_ns = -3500 * kMs; }, false,
       "Fake Cam", true, "", true},
      {"stamps 0.5 s ahead of the clock", [](Driver& d) { d.stamp_offset_ns = 500 * kMs; }, false,
       "Fake Cam", true, "", true},
      {"a frame every three days",
       [](Driver& d) {
         d.time_per_frame = {3 * 24 * 3600, 1};
       },
       false, "Fake Cam", true, "no frame in time", false},
      {"the longest frame interval there is",
       [](Driver& d) {
         d.time_per_frame = {UINT32_MAX, 1};
       },
       false, "Fake Cam", true, "no frame in time", false},
      {"a menu up to INT32_MAX",
       [](Driver& d) {
         d.menu_minimum = INT32_MAX - 1;
         d.menu_maximum = INT32_MAX;
       },
       false, "Fake Cam", true, "", true},
      {"a menu of every int",
       [](Driver& d) {
         d.menu_minimum = INT32_MIN;
         d.menu_maximum = INT32_MAX;
       },
       false, "Fake Cam", true, "", true},
      {"lists that never end", [](Driver& d) { d.endless_lists = true; }, false, "Fake Cam", true,
       "", true},
      {"frames flagged as damaged", [](Driver& d) { d.damage = Driver::Damage::kFlagged; }, false,
       "Fake Cam", true, "", true},
      {"raw frames shorter than their format",
       [](Driver& d) {
         d.damage = Driver::Damage::kShort;
         d.own_format = V4L2_PIX_FMT_YUYV;
       },
       false, "Fake Cam", true, "", true},
      {"MJPEG frames cut short", [](Driver& d) { d.damage = Driver::Damage::kCutJpeg; }, false,
       "Fake Cam", true, "", true},
      {"MJPEG frames with 0xFF after their end",
       [](Driver& d) { d.after_end = Driver::AfterEnd::kFill; }, false, "Fake Cam", true, "", true},
      {"MJPEG frames with junk after their end",
       [](Driver& d) { d.after_end = Driver::AfterEnd::kJunk; }, false, "Fake Cam", true, "", true},
      {"MJPEG frames in the whole buffer, an older frame's end after theirs",
       [](Driver& d) { d.after_end = Driver::AfterEnd::kOlderFrame; }, false, "Fake Cam", true, "",
       true},
      {"MJPEG frames that do not decode",
       [](Driver& d) { d.damage = Driver::Damage::kCorruptJpeg; }, false, "Fake Cam", true, "",
       true},
      {"every frame flagged",
       [](Driver& d) {
         d.damage = Driver::Damage::kFlagged;
         d.all_damaged = true;
       },
       false, "Fake Cam", true,
       "no usable frame in time after starting: 92 arrived, all damaged: 92 flagged by the "
       "driver; check the cable and the USB bandwidth (try another USB port or a smaller size)\n",
       false},
      {"every raw frame short",
       [](Driver& d) {
         d.damage = Driver::Damage::kShort;
         d.own_format = V4L2_PIX_FMT_YUYV;
         d.all_damaged = true;
       },
       false, "Fake Cam", true,
       "all damaged: 92 cut short; check the cable and the USB bandwidth (try another USB port, a "
       "smaller size or MJPEG)\n",
       false},
      {"every MJPEG frame cut short",
       [](Driver& d) {
         d.damage = Driver::Damage::kCutJpeg;
         d.all_damaged = true;
       },
       false, "Fake Cam", true,
       "all damaged: 92 cut short; check the cable and the USB bandwidth (try another USB port or "
       "a smaller size)\n",
       false},
      {"every MJPEG frame undecodable",
       [](Driver& d) {
         d.damage = Driver::Damage::kCorruptJpeg;
         d.all_damaged = true;
       },
       false, "Fake Cam", true,
       "all damaged: 92 undecodable; check the cable and the USB bandwidth (try another USB port "
       "or a smaller size)\n",
       false},
      {"every frame of a format the converter fails on",
       [](Driver& d) {
         d.own_format = V4L2_PIX_FMT_YUV420;
         d.damage = Driver::Damage::kCorruptJpeg;
         d.all_damaged = true;
       },
       false, "Fake Cam", true,
       "all damaged: 92 undecodable; its frames do not convert: choose another camera format\n",
       false},
      {"MJPEG frames whose header gives another height", [](Driver& d) { d.header_height = 720; },
       false, "Fake Cam", true,
       "all damaged: 92 of another size than its format; the camera does not keep to the size it "
       "was set to: choose another size or camera format\n",
       false},
      {"every frame damaged after settling by count",
       [](Driver& d) {
         d.damage = Driver::Damage::kFlagged;
         d.all_damaged = true;
       },
       false, "Fake Cam", true,
       "no usable frame in time: 92 arrived, all damaged: 92 flagged by the driver", false,
       "10 frames"},
      {"every frame damaged and the stamps copied, after settling by count",
       [](Driver& d) {
         d.damage = Driver::Damage::kFlagged;
         d.all_damaged = true;
         d.stamp_type = V4L2_BUF_FLAG_TIMESTAMP_COPY;
       },
       false, "Fake Cam", true,
       "no usable frame in time: 92 arrived: 91 flagged by the driver, 1 begun before the capture;",
       false, "10 frames"},
      {"5 fps declaring 30, stamped at the frame's end",
       [](Driver& d) { d.frame_every_ns = 200 * kMs; }, false, "Fake Cam", true, "", true},
      {"5 fps declaring 30, stamped at the frame's start",
       [](Driver& d) {
         d.frame_every_ns = 200 * kMs;
         d.start_of_frame_stamps = true;
       },
       false, "Fake Cam", true, "", true},
      {"5 fps declaring 30, settling by 30 frames", [](Driver& d) { d.frame_every_ns = 200 * kMs; },
       false, "Fake Cam", true, "", true, "30 frames"},
      {"one buffer", [](Driver& d) { d.buffers_granted = 1; }, false, "Fake Cam", true, "", true},
      {"forty buffers", [](Driver& d) { d.buffers_granted = 40; }, false, "Fake Cam", true, "",
       true},
      {"a hundred buffers", [](Driver& d) { d.buffers_granted = 100; }, false, "Fake Cam", true,
       "the driver granted 100 buffers (1 to 64 can be used)", false},
      {"no buffers", [](Driver& d) { d.buffers_granted = 0; }, false, "Fake Cam", true,
       "the driver granted 0 buffers (1 to 64 can be used)", false},
      {"the buffer request failing", [](Driver& d) { d.request_buffers_error = ENOMEM; }, false,
       "Fake Cam", true, "cannot get buffers: Cannot allocate memory", false},
      {"busy at the buffer request, the holder seen",
       [](Driver& d) {
         d.request_buffers_error = EBUSY;
         d.holder = "cheese (pid 4242)";
       },
       false, "Fake Cam", true, "busy: cheese (pid 4242) is using it; close it", false},
      {"one EIO while settling", [](Driver& d) { d.dequeue_error_at = 1; }, false, "Fake Cam", true,
       "", true},
      {"one EIO in a capture", [](Driver& d) { d.dequeue_error_at = 4; }, false, "Fake Cam", true,
       "", true},
      {"one EIO in a capture after settling by count", [](Driver& d) { d.dequeue_error_at = 14; },
       false, "Fake Cam", true, "", true, "10 frames"},
      {"EIO that persists",
       [](Driver& d) {
         d.dequeue_error_at = 1;
         d.error_persists = true;
       },
       false, "Fake Cam", true, "stream failed: Input/output error", false},
      {"unplugged while streaming",
       [](Driver& d) {
         d.dequeue_error_at = 1;
         d.dequeue_error = ENODEV;
       },
       false, "Fake Cam", true, "stream failed: the camera is gone (unplugged?)", false},
      {"unplugged, back at another node in time",
       [](Driver& d) {
         d.dequeue_error_at = 1;
         d.dequeue_error = ENODEV;
         d.replug_path = "/dev/video3";
         d.replug_ns = 2 * kSecond;
       },
       false, "Fake Cam", true,
       "/dev/video0: the camera was gone (unplugged?) and is back as /dev/video3", true},
      {"unplugged, back too late",
       [](Driver& d) {
         d.dequeue_error_at = 1;
         d.dequeue_error = ENODEV;
         d.replug_path = "/dev/video3";
         d.replug_ns = 5 * kSecond;
       },
       false, "Fake Cam", true, "stream failed: the camera is gone (unplugged?)", false},
      {"unplugged, another camera in its place",
       [](Driver& d) {
         d.dequeue_error_at = 1;
         d.dequeue_error = ENODEV;
         d.replug_path = "/dev/video0";
         d.replug_card = "Other Cam";
       },
       false, "Fake Cam", true, "stream failed: the camera is gone (unplugged?)", false},
      {"no USB bandwidth", [](Driver& d) { d.stream_on_error = ENOSPC; }, false, "Fake Cam", true,
       "not enough USB bandwidth for 640 x 480: try another USB port", false},
      {"busy at stream-on, the holder seen",
       [](Driver& d) {
         d.stream_on_error = EBUSY;
         d.holder = "cheese (pid 4242)";
       },
       false, "Fake Cam", true, "busy: cheese (pid 4242) is using it; close it", false},
      {"busy at open, the holder seen",
       [](Driver& d) {
         d.set_format_error = EBUSY;
         d.holder = "cheese (pid 4242)";
       },
       false, "Test card", true, "skipped: busy: cheese (pid 4242) is using it", true},
      {"busy at open, held by several",
       [](Driver& d) {
         d.set_format_error = EBUSY;
         d.holder = "cheese (pid 4242), zoom (pid 4343)";
       },
       false, "Test card", true,
       "skipped: busy: cheese (pid 4242), zoom (pid 4343) are using it; close them", true},
      {"H.264 alone", [](Driver& d) { d.own_format = V4L2_PIX_FMT_H264; }, false, "Test card", true,
       "skipped: it offers only H.264 frames, which the plug-in cannot decode", true},
      {"H.264 alone, the format asked for answered in H.264",
       [](Driver& d) {
         d.own_format = V4L2_PIX_FMT_H264;
         d.answers_own_format = true;
       },
       false, "Test card", true,
       "skipped: it offers only H.264 frames, which the plug-in cannot decode", true},
      {"H.264 alone, named, answered in H.264",
       [](Driver& d) {
         d.own_format = V4L2_PIX_FMT_H264;
         d.answers_own_format = true;
       },
       true, "/dev/video0", false, "it offers only H.264 frames, which the plug-in cannot decode",
       false},
      {"greyscale alone", [](Driver& d) { d.own_format = V4L2_PIX_FMT_GREY; }, false, "Fake Cam",
       true, "", true},
      {"a menu from 0 to INT32_MAX",
       [](Driver& d) {
         d.menu_minimum = 0;
         d.menu_maximum = INT32_MAX;
       },
       false, "Fake Cam", true, "", true},
      {"escape sequences in its names",
       [](Driver& d) {
         d.card =
             "Cam\x1b]0;owned\x07\x9b"
             "2J";
         d.control_name = "Bright\x1b[2Jness";
         d.menu_label = "50\xc2\x9bHz\r";
       },
       false, "Cam", true, "", true},
      {"escape sequences, forbidden",
       [](Driver& d) {
         d.card = "Cam\x1b[31m";
         d.open_error = EACCES;
       },
       false, "Test card", true, "permission denied", true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    auto driver = std::make_shared<Driver>();
    c.fault(*driver);
    Plugin plugin(driver, c.named);
    vidmote::Vidmote& vidmote = *plugin.vidmote;
    ::testing::internal::CaptureStderr();
    std::string name, errors;
    bool init_ok = false, captured = false, one_gray = false;
    std::vector<vidmote::SourceSetting> settings;
    std::vector<vidmote::FrameSize> sizes;
    int conversions = -1;
    int64_t capture_ns = -1, asked_at = 0;
    try {
      name = vidmote.name();
      init_ok = vidmote.init();
      if (c.settle) {
        EXPECT_TRUE(vidmote.choose_setting(2, settle_index(c.settle)));
      }
      std::vector<uint8_t> frame(static_cast<size_t>(vidmote.frame_bytes()));
      auto is_one_gray = [&] {
        return std::all_of(frame.begin(), frame.end(), [&](uint8_t b) { return b == frame[0]; });
      };
      captured = vidmote.capture(frame.data()) > 0;
      one_gray = is_one_gray();
      if (captured) {
        // Streaming has started and the camera has settled: a capture now
        // takes at most the deadline of a frame and converts one frame.
        const int before = driver->conversions;
        driver->now += 70 * kMs;  // Enter comes in the middle of a frame
        const int64_t asked = asked_at = driver->now;
        EXPECT_GT(vidmote.capture(frame.data()), 0);
        one_gray = one_gray && is_one_gray();
        conversions = driver->conversions - before;
        capture_ns = driver->now - asked;
      }
      settings = vidmote.settings();
      sizes = vidmote.offered_sizes();
    } catch (const std::exception& e) {
      ADD_FAILURE() << e.what() << " (at " << (driver->now / kSecond - 1000) << " s)";
    }
    errors = ::testing::internal::GetCapturedStderr();

    EXPECT_EQ(name.rfind("Vidmote: ", 0), 0u) << name;
    EXPECT_NE(name.find(c.name), std::string::npos) << name;
    EXPECT_TRUE(printable(name));
    EXPECT_EQ(init_ok, c.init_ok);
    if (*c.error_line) {
      EXPECT_NE(errors.find(c.error_line), std::string::npos) << errors;
      EXPECT_EQ(std::count(errors.begin(), errors.end(), '\n'), 1) << errors;
    } else {
      EXPECT_EQ(errors, "");
    }
    EXPECT_TRUE(printable(errors));
    EXPECT_EQ(captured, c.captures);
    EXPECT_EQ(driver->damaged_delivered, 0) << "a damaged frame was delivered";
    // The capture deadline: 3 s and two frame intervals, the longer of the
    // declared and the real one; and a dequeue begun before it.
    if (captured && name.find("Test card") == std::string::npos) {
      EXPECT_TRUE(one_gray)
          << "the camera serves one gray: a frame was taken whole when it was not";
      // The plug-in converts YUYV and GREY itself, other formats through the
      // device.
      const bool own =
          driver->own_format == V4L2_PIX_FMT_YUYV || driver->own_format == V4L2_PIX_FMT_GREY;
      // A frame that does not decode is known only once it was tried.
      if (driver->damage == Driver::Damage::kCorruptJpeg)
        EXPECT_LE(conversions, 4);
      else
        EXPECT_EQ(conversions, own ? 0 : 1);
      EXPECT_LE(capture_ns, 3 * kSecond + 2 * std::max(kSecond / 30, driver->frame_every_ns) +
                                driver->dequeue_ns);
      EXPECT_GE(driver->last_dequeued_began, asked_at) << "a frame begun before Enter";
    }
    // Menus and lists stay within bounds, names printable.
    EXPECT_LE(sizes.size(), 64u);
    EXPECT_LE(settings.size(), 256u);
    for (const auto& setting : settings) {
      EXPECT_TRUE(printable(setting.name));
      EXPECT_LE(setting.choices.size(), 256u) << setting.name;
      for (const auto& choice : setting.choices) EXPECT_TRUE(printable(choice));
    }
  }
}

TEST(CameraFaults, CamerasAreTriedInNumberOrderWhateverOrderTheFolderLists) {
  EXPECT_EQ(vidmote::video_node_numbers({"video10", "vbi0", "video2", "video", "videoX",
                                         "video1000", "video0", "media0", "video-1", "video3x"}),
            (std::vector<int>{0, 2, 10}));
}

// A size asked of an open camera is taken exactly, or the nearest one the
// driver has is, or it is refused and the driver keeps the format in force.
TEST(CameraFaults, SizesAreExactNearestOrRefusedAndARefusalLeavesTheDriverAlone) {
  using vidmote::SizeAnswer;
  const struct {
    const char* what;
    bool refuses_sizes;
    int32_t width, height;
    SizeAnswer answer;
    uint32_t in_force_width, in_force_height;
  } cases[] = {
      {"a size it has", false, 1280, 720, SizeAnswer::kExact, 1280, 720},
      {"larger than it has", false, 4000, 3000, SizeAnswer::kNearest, 1920, 1080},
      {"answered with a format of no use", true, 1280, 720, SizeAnswer::kRefused, 640, 480},
      {"no size at all", false, 0, 480, SizeAnswer::kRefused, 640, 480},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    auto driver = std::make_shared<Driver>();
    driver->refuses_sizes = c.refuses_sizes;
    auto camera = fake_camera(driver);
    ASSERT_TRUE(camera->open());
    EXPECT_EQ(camera->set_size(c.width, c.height), c.answer);
    EXPECT_EQ(camera->get_size().width, static_cast<int32_t>(c.in_force_width));
    EXPECT_EQ(camera->get_size().height, static_cast<int32_t>(c.in_force_height));
    EXPECT_EQ(driver->format.width, c.in_force_width);
    EXPECT_EQ(driver->format.height, c.in_force_height);
    EXPECT_EQ(driver->format.pixelformat, driver->own_format);
  }
}

// Settings are addressed by the control's id: a control the driver stops
// showing between the dialog's list and the change shifts nothing.
TEST(CameraFaults, AChangeReachesItsControlEvenWhenTheListChangedMeanwhile) {
  auto driver = std::make_shared<Driver>();
  auto camera = fake_camera(driver);
  ASSERT_TRUE(camera->open());
  const std::vector<vidmote::SourceSetting> settings = camera->settings();
  auto named = [&](const std::string& name) {
    for (const auto& setting : settings)
      if (setting.name == name) return setting.key;
    ADD_FAILURE() << name << " not listed";
    return 0u;
  };
  const uint32_t brightness = named("Brightness"), menu = named("Power Line Frequency");
  driver->shows_brightness = false;

  EXPECT_TRUE(camera->choose_setting(menu, 1));
  EXPECT_EQ(driver->last_set.id, kMenuId);
  EXPECT_EQ(driver->last_set.value, 1);
  EXPECT_FALSE(camera->set_number(brightness, 10));
  EXPECT_EQ(driver->last_set.id, kMenuId);
}

TEST(CameraFaults, AControlTheCameraDoesNotAnswerIsLeftOutAndTheRestListed) {
  const struct {
    int brightness_error;
    bool brightness_listed;
  } cases[] = {{0, true}, {EIO, false}, {EPIPE, false}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.brightness_error);
    auto driver = std::make_shared<Driver>();
    driver->brightness_query_error = c.brightness_error;
    auto camera = fake_camera(driver);
    ASSERT_TRUE(camera->open());
    bool brightness = false, menu = false;
    for (const auto& setting : camera->settings()) {
      brightness |= setting.name == "Brightness";
      menu |= setting.name == "Power Line Frequency";
    }
    EXPECT_EQ(brightness, c.brightness_listed);
    EXPECT_TRUE(menu);
  }
}

// Settling by the picture (the default): the first capture is a frame of
// the settled picture, taken once the brightness shows no trend over half a
// second (or over the first five frames of a picture steady from the
// start), or the first usable one after the cap of a picture that never
// holds still. After a restart of the stream the camera settles again.
TEST(CameraSettle, TheFirstCaptureIsASteadyFrameSoonAfterThePictureHolds) {
  const int64_t kFrame = kSecond / 30;
  const int64_t kCap = 2500 * kMs;
  const struct {
    const char* what;
    std::function<void(Driver&)> camera;
    int64_t earliest, latest;    // from stream-on: when the delivered frame began
    int level;                   // the delivered frame's brightness at least; -1: any
    bool restart_after = false;  // a second capture meets one EIO and a camera dark again
  } cases[] = {
      {"settled from the start", [](Driver&) {}, 2 * kFrame, 200 * kMs, 128},
      {"brightens over a second", [](Driver& d) { d.brighten_ns = kSecond; }, kSecond, 1600 * kMs,
       128},
      {"brightens over a second at 5 fps declaring 30",
       [](Driver& d) {
         d.brighten_ns = kSecond;
         d.frame_every_ns = 200 * kMs;
       },
       kSecond, 2000 * kMs, 128},
      {"never holds still", [](Driver& d) { d.flickers = true; }, kCap - kFrame, kCap + kFrame, -1},
      {"converges with a time constant of 0.6 s", [](Driver& d) { d.converge_ns = 600 * kMs; },
       2000 * kMs, kCap + kFrame, 125},
      {"converges with a time constant of 1 s", [](Driver& d) { d.converge_ns = kSecond; },
       kCap - kFrame, kCap + kFrame, 118},
      {"brightens over 3.5 s", [](Driver& d) { d.brighten_ns = 3500 * kMs; }, kCap - kFrame,
       kCap + kFrame, 90},
      {"sways 3 levels either side", [](Driver& d) { d.flicker_levels = 3; }, 2 * kFrame, 700 * kMs,
       125},
      {"exposure read back wobbling by 1", [](Driver& d) { d.exposure_wobbles = true; }, 2 * kFrame,
       700 * kMs, 128},
      {"steady picture, gain still rising for a second",
       [](Driver& d) { d.gain_moves_ns = kSecond; }, kSecond, 1600 * kMs, 128},
      {"never holds still, every fourth MJPEG frame cut",
       [](Driver& d) {
         d.flickers = true;
         d.damage = Driver::Damage::kCutJpeg;
         d.every_fourth_damaged = true;
       },
       kCap - kFrame, kCap + 3 * kFrame, -1},
      {"dark again after a restart", [](Driver& d) { d.brighten_ns = 300 * kMs; }, 300 * kMs,
       900 * kMs, 128, true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    auto driver = std::make_shared<Driver>();
    c.camera(*driver);
    auto camera = fake_camera(driver);
    ASSERT_TRUE(camera->open());
    std::vector<uint8_t> frame(640 * 480 * 3);
    ::testing::internal::CaptureStderr();
    for (int capture = 0; capture < (c.restart_after ? 2 : 1); ++capture) {
      SCOPED_TRACE(capture ? "after the restart" : "the first capture");
      if (capture) {
        driver->dequeue_error_at = driver->dequeued + 2;
        driver->now += 70 * kMs;
      }
      try {
        EXPECT_TRUE(camera->capture(frame.data()));
      } catch (const std::exception& e) {
        ADD_FAILURE() << e.what();
      }
      if (c.level >= 0) {
        EXPECT_GE(driver->last_level, c.level);
      }
      const int64_t began = driver->last_dequeued_began - driver->streamed_at;
      EXPECT_GE(began, c.earliest);
      EXPECT_LE(began, c.latest);
    }
    EXPECT_EQ(::testing::internal::GetCapturedStderr(), "");
  }
}

// A laptop's infrared camera for face login offers greyscale alone: it is
// tried after the colour cameras, and its frames are delivered gray.
TEST(CameraFaults, GreyscaleOnlyCamerasComeAfterColourOnes) {
  using vidmote::VideoNode;
  const std::vector<VideoNode> nodes = {
      {0, "IR Camera", {V4L2_PIX_FMT_GREY}},
      {2, "Integrated Camera", {V4L2_PIX_FMT_MJPEG, V4L2_PIX_FMT_YUYV}},
      {4, "Depth", {V4L2_PIX_FMT_Y16, V4L2_PIX_FMT_GREY}},
      {6, "USB Camera", {V4L2_PIX_FMT_YUYV, V4L2_PIX_FMT_GREY}},
      {8, "No formats", {}},
  };
  std::vector<int> order;
  for (const VideoNode& node : vidmote::in_default_order(nodes)) order.push_back(node.number);
  EXPECT_EQ(order, (std::vector<int>{2, 6, 8, 0, 4}));
}

// A busy camera names the processes that hold it, when they can be seen:
// other processes only (the plug-in's own holds the node too), at most four
// by name and how many more.
TEST(CameraFaults, TheProcessesHoldingADeviceAreNamed) {
  const struct {
    const char* what;
    int holders;  // besides the test process
    int named;
  } cases[] = {
      {"another process", 1, 1},
      {"none but the test process", 0, 0},
      {"six other processes", 6, 4},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    ScratchDir scratch;
    const std::string held = scratch.file("held");
    write_file(held, "");
    const int own = open(held.c_str(), O_RDONLY);
    ASSERT_GE(own, 0);
    int ready[2];
    ASSERT_EQ(pipe(ready), 0);
    std::vector<pid_t> children;
    for (int i = 0; i < c.holders; ++i) {
      const pid_t child = fork();
      ASSERT_GE(child, 0);
      if (child == 0) {
        prctl(PR_SET_NAME, "webcam-holder");
        if (write(ready[1], "x", 1) != 1) _exit(1);
        pause();
        _exit(0);
      }
      children.push_back(child);
      char byte;
      ASSERT_EQ(read(ready[0], &byte, 1), 1);
    }
    const std::string holders = vidmote::processes_using(held);
    for (pid_t child : children) {
      kill(child, SIGKILL);
      waitpid(child, nullptr, 0);
    }
    close(ready[0]);
    close(ready[1]);
    close(own);
    // In the order /proc lists them: by pid.
    std::sort(children.begin(), children.end());
    std::string want;
    for (int i = 0; i < c.named; ++i)
      want +=
          (i ? ", " : "") + std::string("webcam-holder (pid ") + std::to_string(children[i]) + ")";
    if (c.holders > c.named) want += " and " + std::to_string(c.holders - c.named) + " more";
    EXPECT_EQ(holders, want);
  }
  ScratchDir scratch;
  EXPECT_EQ(vidmote::processes_using(scratch.file("missing")), "");
}

// PipeWire's camera nodes: which objects are cameras and what they wrap,
// which value of VIDMOTE_DEVICE names them, where they go among the V4L2
// cameras, the modes their formats offer, the mode a capture asks for, and
// who besides PipeWire holds the V4L2 node.
TEST(CameraFaults, PipeWireCamerasAreReadPlacedAndGivenAMode) {
  using vidmote::PwNode;
  const struct {
    vidmote::PwProperties properties;
    bool camera;
    const char *name, *description, *wraps;
  } nodes[] = {
      {{{"media.class", "Video/Source"},
        {"node.name", "v4l2_input.platform-vivid.0"},
        {"node.description", "vivid"},
        {"api.v4l2.path", "/dev/video0"}},
       true,
       "v4l2_input.platform-vivid.0",
       "vivid",
       "V4L2 /dev/video0"},
      {{{"media.class", "Video/Source"},
        {"node.name", "libcamera_input.sensor"},
        {"node.nick", "Built-in Front Camera"},
        {"api.libcamera.path", "\\_SB_.PCI0.I2C2"}},
       true,
       "libcamera_input.sensor",
       "Built-in Front Camera",
       "libcamera camera \\_SB_.PCI0.I2C2"},
      {{{"media.class", "Video/Source"},
        {"node.name", "v4l2_input._sys_devices_platform_vivid.0_video4linux_video0"},
        {"node.description", "Unknown device (V4L2)"},
        {"object.path", "v4l2:/dev/video0"}},
       true,
       "v4l2_input._sys_devices_platform_vivid.0_video4linux_video0",
       "Unknown device (V4L2)",
       "V4L2 /dev/video0"},
      {{{"media.class", "Video/Source"}, {"node.name", "testcam"}, {"object.path", "v4l2"}},
       true,
       "testcam",
       "testcam",
       ""},
      {{{"media.class", "Stream/Input/Video"}, {"node.name", "vidmote"}}, false, "", "", ""},
      {{{"media.class", "Audio/Source"}, {"node.name", "mic"}}, false, "", "", ""},
      {{{"media.class", "Video/Source"}}, false, "", "", ""},
  };
  for (const auto& c : nodes) {
    SCOPED_TRACE(c.name);
    PwNode node;
    ASSERT_EQ(vidmote::camera_node(c.properties, &node), c.camera);
    if (!c.camera) continue;
    EXPECT_EQ(node.name, c.name);
    EXPECT_EQ(node.description, c.description);
    EXPECT_EQ(vidmote::wrapped_device(node), c.wraps);
    EXPECT_TRUE(vidmote::names_node(node, c.name));
    EXPECT_TRUE(vidmote::names_node(node, c.description));
    EXPECT_FALSE(vidmote::names_node(node, std::string(c.description) + " (PipeWire)"));
    EXPECT_FALSE(vidmote::names_node(node, ""));
  }

  // A node streaming a listed V4L2 camera right after it, others at the end.
  PwNode video0, video2, video9, libcamera;
  video0.v4l2_path = "/dev/video0";
  video2.v4l2_path = "/dev/video2";
  video9.v4l2_path = "/dev/video9";  // not among the V4L2 cameras
  libcamera.libcamera_id = "sensor";
  EXPECT_EQ(
      vidmote::places_among({"/dev/video0", "/dev/video2"}, {libcamera, video2, video9, video0}),
      (std::vector<size_t>{2, 2, 2, 1}));
  EXPECT_EQ(vidmote::places_among({}, {video0, libcamera}), (std::vector<size_t>{0, 0}));

  // Modes from EnumFormat parameters as PipeWire's V4L2 and test sources
  // send them: choices of formats, sizes and rates.
  uint8_t buffer[4096];
  const auto param = [&](bool mjpeg, std::vector<uint32_t> formats,
                         std::vector<spa_rectangle> sizes, uint32_t size_choice,
                         std::vector<spa_fraction> rates, uint32_t rate_choice) {
    spa_pod_builder b = SPA_POD_BUILDER_INIT(buffer, sizeof buffer);
    spa_pod_frame object, choice;
    spa_pod_builder_push_object(&b, &object, SPA_TYPE_OBJECT_Format, SPA_PARAM_EnumFormat);
    spa_pod_builder_add(&b, SPA_FORMAT_mediaType, SPA_POD_Id(SPA_MEDIA_TYPE_video),
                        SPA_FORMAT_mediaSubtype,
                        SPA_POD_Id(mjpeg ? SPA_MEDIA_SUBTYPE_mjpg : SPA_MEDIA_SUBTYPE_raw), 0);
    if (!formats.empty()) {
      spa_pod_builder_prop(&b, SPA_FORMAT_VIDEO_format, 0);
      spa_pod_builder_push_choice(&b, &choice, SPA_CHOICE_Enum, 0);
      for (uint32_t format : formats) spa_pod_builder_id(&b, format);
      spa_pod_builder_pop(&b, &choice);
    }
    spa_pod_builder_prop(&b, SPA_FORMAT_VIDEO_size, 0);
    spa_pod_builder_push_choice(&b, &choice, size_choice, 0);
    for (const spa_rectangle& size : sizes) spa_pod_builder_rectangle(&b, size.width, size.height);
    spa_pod_builder_pop(&b, &choice);
    spa_pod_builder_prop(&b, SPA_FORMAT_VIDEO_framerate, 0);
    spa_pod_builder_push_choice(&b, &choice, rate_choice, 0);
    for (const spa_fraction& rate : rates) spa_pod_builder_fraction(&b, rate.num, rate.denom);
    spa_pod_builder_pop(&b, &choice);
    return vidmote::modes_of_param(static_cast<const spa_pod*>(spa_pod_builder_pop(&b, &object)));
  };
  const auto text = [](const std::vector<vidmote::PwMode>& modes) {
    std::string all;
    for (const vidmote::PwMode& m : modes)
      all += vidmote::format_name(m) + " " + std::to_string(m.smallest.width) + "x" +
             std::to_string(m.smallest.height) + "-" + std::to_string(m.largest.width) + "x" +
             std::to_string(m.largest.height) + " " + std::to_string(m.rate_num) + "/" +
             std::to_string(m.rate_den) + (vidmote::convertible(m) ? "" : " (not convertible)") +
             ";";
    return all;
  };
  // vivid through PipeWire: one size, its rates listed (the default first).
  EXPECT_EQ(text(param(false, {SPA_VIDEO_FORMAT_YUY2, SPA_VIDEO_FORMAT_YUY2}, {{640, 480}},
                       SPA_CHOICE_None, {{30, 1}, {60, 1}, {30, 1}, {15, 1}}, SPA_CHOICE_Enum)),
            "YUY2 640x480-640x480 60/1;");
  // The test source: any size, a rate range whose default counts.
  EXPECT_EQ(text(param(false, {SPA_VIDEO_FORMAT_RGB, SPA_VIDEO_FORMAT_RGB, SPA_VIDEO_FORMAT_UYVY},
                       {{320, 240}, {1, 1}, {4000, 3000}}, SPA_CHOICE_Range,
                       {{25, 1}, {0, 1}, {INT32_MAX, 1}}, SPA_CHOICE_Range)),
            "RGB 1x1-4000x3000 25/1;UYVY 1x1-4000x3000 25/1 (not convertible);");
  // A libcamera camera: BGR at one size, 30000/1001 fps.
  EXPECT_EQ(text(param(false, {SPA_VIDEO_FORMAT_BGR}, {{640, 480}}, SPA_CHOICE_None,
                       {{30000, 1001}}, SPA_CHOICE_None)),
            "BGR 640x480-640x480 30000/1001;");
  EXPECT_EQ(text(param(true, {}, {{1280, 720}}, SPA_CHOICE_None, {{30, 1}}, SPA_CHOICE_None)),
            "MJPG 1280x720-1280x720 30/1;");
  EXPECT_EQ(text(param(false, {SPA_VIDEO_FORMAT_NV12}, {{640, 480}}, SPA_CHOICE_None, {{30, 1}},
                       SPA_CHOICE_None)),
            "NV12 640x480-640x480 30/1 (not convertible);");
  // A format PipeWire has no name for is left out.
  EXPECT_EQ(text(param(false, {SPA_VIDEO_FORMAT_UNKNOWN, SPA_VIDEO_FORMAT_BGR}, {{640, 480}},
                       SPA_CHOICE_None, {{30, 1}}, SPA_CHOICE_None)),
            "BGR 640x480-640x480 30/1;");
  EXPECT_EQ(text(vidmote::modes_of_param(nullptr)), "");

  // The mode asked for: the wanted size where a mode has it (raw before
  // MJPEG), else the nearest.
  const auto mode = [](uint32_t format, bool mjpeg, int32_t w, int32_t h, int32_t w2, int32_t h2) {
    vidmote::PwMode m;
    m.format = format;
    m.mjpeg = mjpeg;
    m.smallest = {w, h};
    m.largest = {w2, h2};
    m.rate_num = 30;
    return m;
  };
  const vidmote::PwMode mjpeg720 = mode(0, true, 1280, 720, 1280, 720),
                        mjpeg480 = mode(0, true, 640, 480, 640, 480),
                        yuy480 = mode(SPA_VIDEO_FORMAT_YUY2, false, 640, 480, 640, 480),
                        yuy180 = mode(SPA_VIDEO_FORMAT_YUY2, false, 320, 180, 320, 180),
                        nv720 = mode(SPA_VIDEO_FORMAT_NV12, false, 1280, 720, 1280, 720),
                        rgb_any = mode(SPA_VIDEO_FORMAT_RGB, false, 1, 1, 4000, 3000);
  const struct {
    std::vector<vidmote::PwMode> modes;
    vidmote::FrameSize wanted;
    const char* chosen;  // "" for none
  } choices[] = {
      {{mjpeg720, yuy480, yuy180}, {640, 480}, "YUY2 640x480-640x480 30/1;"},
      {{mjpeg480, yuy480}, {640, 480}, "YUY2 640x480-640x480 30/1;"},
      {{yuy480, rgb_any}, {640, 480}, "RGB 640x480-640x480 30/1;"},
      {{mjpeg720, yuy480, yuy180}, {1280, 720}, "MJPG 1280x720-1280x720 30/1;"},
      {{mjpeg720, yuy480, yuy180}, {700, 500}, "YUY2 640x480-640x480 30/1;"},
      {{mjpeg720, yuy480, yuy180}, {100, 100}, "YUY2 320x180-320x180 30/1;"},
      {{nv720, yuy480}, {1280, 720}, "YUY2 640x480-640x480 30/1;"},
      {{rgb_any}, {800, 600}, "RGB 800x600-800x600 30/1;"},
      {{rgb_any}, {5000, 100}, "RGB 4000x100-4000x100 30/1;"},
      {{nv720}, {1280, 720}, ""},
      {{}, {640, 480}, ""},
  };
  for (const auto& c : choices) {
    SCOPED_TRACE(c.chosen);
    vidmote::PwMode chosen;
    const bool found = vidmote::choose_mode(c.modes, c.wanted, &chosen);
    EXPECT_EQ(found ? text({chosen}) : "", c.chosen);
    if (!found) continue;
    // The stream asks for exactly that mode: format, size and rate fixed.
    spa_pod_builder b = SPA_POD_BUILDER_INIT(buffer, sizeof buffer);
    EXPECT_EQ(text(vidmote::modes_of_param(vidmote::format_param(&b, chosen))), c.chosen);
  }

  // Frames as PipeWire's buffers lay them out: rows stride bytes apart.
  const struct {
    vidmote::PwMode mode;
    uint32_t stride;
    bool usable;
    size_t bytes_per_line;
    bool mjpeg;
  } layouts[] = {
      {mode(SPA_VIDEO_FORMAT_BGR, false, 640, 480, 640, 480), 1984, true, 1984, false},
      {mode(SPA_VIDEO_FORMAT_BGR, false, 640, 480, 640, 480), 1920, true, 1920, false},
      {mode(SPA_VIDEO_FORMAT_BGR, false, 640, 480, 640, 480), 0, true, 0, false},
      {mode(SPA_VIDEO_FORMAT_BGR, false, 640, 480, 640, 480), 1908, true, 0, false},
      {mode(SPA_VIDEO_FORMAT_YUY2, false, 640, 480, 640, 480), 1280, true, 1280, false},
      {mode(0, true, 640, 480, 640, 480), 0, true, 0, true},
      {mode(SPA_VIDEO_FORMAT_NV12, false, 640, 480, 640, 480), 640, false, 0, false},
  };
  for (const auto& c : layouts) {
    SCOPED_TRACE(c.stride);
    vidmote::StreamedFrames frames;
    ASSERT_EQ(vidmote::streamed_frames(c.mode, c.stride, &frames), c.usable);
    if (!c.usable) continue;
    EXPECT_EQ(frames.layout.width, 640);
    EXPECT_EQ(frames.layout.height, 480);
    EXPECT_EQ(frames.layout.bytes_per_line, c.bytes_per_line);
    EXPECT_EQ(frames.mjpeg, c.mjpeg);
  }
  // Two BGR pixels a row, rows padded to 8 bytes: the padding is skipped.
  {
    vidmote::StreamedFrames frames;
    ASSERT_TRUE(
        vidmote::streamed_frames(mode(SPA_VIDEO_FORMAT_BGR, false, 2, 2, 2, 2), 8, &frames));
    const uint8_t padded[] = {1, 2, 3, 4, 5, 6, 99, 99, 7, 8, 9, 10, 11, 12};
    uint8_t out[12] = {};
    ASSERT_TRUE(vidmote::convert_to_bottom_up_bgr(padded, sizeof padded, frames.layout, out));
    EXPECT_EQ(std::vector<uint8_t>(out, out + 12),
              (std::vector<uint8_t>{7, 8, 9, 10, 11, 12, 1, 2, 3, 4, 5, 6}));
  }

  const struct {
    const char *holders, *others;
  } holders[] = {
      {"pipewire (pid 7)", ""},
      {"pipewire (pid 7), cheese (pid 42)", "cheese (pid 42)"},
      {"vivid_test (pid 3), wireplumber (pid 8)", "vivid_test (pid 3)"},
      {"a (pid 1), b (pid 2)", "a (pid 1), b (pid 2)"},
      {"", ""},
  };
  for (const auto& c : holders)
    EXPECT_EQ(vidmote::holders_besides_pipewire(c.holders), c.others) << c.holders;
}

// A driver slow to dequeue never stretches a capture past its bound by more
// than the dequeue under way, whatever waits in its queue.
TEST(CameraFaults, ACaptureEndsWithinItsBoundHoweverSlowlyTheDriverDequeues) {
  const struct {
    int64_t dequeue;
    Driver::Damage damage;  // of every frame
  } cases[] = {
      {300 * kMs, Driver::Damage::kNone},       {1500 * kMs, Driver::Damage::kNone},
      {4000 * kMs, Driver::Damage::kNone},      {20 * kMs, Driver::Damage::kCutJpeg},
      {30 * kMs, Driver::Damage::kCorruptJpeg}, {40 * kMs, Driver::Damage::kFlagged},
  };
  for (const auto& c : cases) {
    const int64_t dequeue = c.dequeue;
    SCOPED_TRACE(std::to_string(dequeue / kMs) + " ms a dequeue");
    auto driver = std::make_shared<Driver>();
    driver->dequeue_ns = dequeue;
    driver->damage = c.damage;
    driver->all_damaged = true;
    auto camera = fake_camera(driver);
    ASSERT_TRUE(camera->open());
    std::vector<uint8_t> frame(640 * 480 * 3);
    ::testing::internal::CaptureStderr();
    for (int capture = 0; capture < 4; ++capture) {
      driver->now += 70 * kMs;
      const int64_t asked = driver->now;
      bool captured = false;
      try {
        captured = camera->capture(frame.data());
      } catch (const std::exception& e) {
        ADD_FAILURE() << e.what() << " (capture " << capture << ")";
      }
      if (c.damage != Driver::Damage::kNone) {
        EXPECT_FALSE(captured) << capture;
      }
      // The first capture also settles: by the picture, a usable frame
      // within a capture's bound from stream-on.
      EXPECT_LE(driver->now - asked, 3 * kSecond + 2 * kSecond / 30 + dequeue) << capture;
      if (captured) {
        EXPECT_GE(driver->last_dequeued_began, asked) << capture;
      }
    }
    const std::string errors = ::testing::internal::GetCapturedStderr();
    for (size_t line = 0; line < errors.size(); line = errors.find('\n', line) + 1)
      EXPECT_EQ(errors.compare(line, 25, "vidmote: /dev/video0: no "), 0) << errors;
  }
}

}  // namespace
