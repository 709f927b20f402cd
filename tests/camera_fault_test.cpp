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
#include "user_settings.h"
#include "v4l2_camera.h"
#include "v4l2_device.h"
#include "v4l2_support.h"
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
  // A frame takes a queued buffer when it begins and reaches it one interval
  // and this delivery latency later.
  int64_t latency_ns = 0;
  int64_t brighten_ns = 0;        // the picture brightens from 16 to 128 over this from stream-on
  bool flickers = false;          // the picture never holds still
  int64_t converge_ns = 0;        // auto exposure converges from 16 to 128 with this time constant
  int flicker_levels = 0;         // the settled picture sways this much either side, frame by frame
  bool exposure_wobbles = false;  // exposure read back 100 or 101 on a still picture
  int64_t gain_moves_ns = 0;      // gain rises a step a frame for this long from stream-on
  int64_t cast_fades_ns = 0;      // a red cast (luma held) fades over this from stream-on
  int64_t exposure_read_ns = 0;   // reading the exposure back takes this long,
  int exposure_read_error = 0;    // then fails with this (uvcvideo's ETIMEDOUT after 5 s)
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
  bool gone_again = false;     // once back, it is unplugged again at its second frame
  std::string bus, interface;  // bus_info, and the USB interface sysfs shows
  // Other nodes of the machine: a sibling of the camera's own device
  // (unplugged and back with it, then at path_after) or another camera.
  struct Node {
    std::string path, path_after;
    bool same_device;
    std::string card, bus, interface;
    uint32_t format;
  };
  std::vector<Node> others;
  bool other_streamed = false;  // a capture streamed from another node
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
  // A webcam's controls: the user class's, then exposure, focus and zoom of
  // the camera class; silent_control's query fails with EIO, asked for or
  // next, as uvcvideo's does for a control its camera does not answer.
  bool camera_class = false;
  uint32_t silent_control = 0;
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
  // If not 0, the width any format is answered with, and its rows padded to
  // a multiple of pad_rows_to bytes (NV12, YU12, RGB565, Y16).
  uint32_t answers_width = 0, pad_rows_to = 0;

  // Kept by the stand-in.
  int damaged_delivered = 0;  // damaged frames converted all the same
  int garbled_delivered = 0;  // padded rows converted as if packed
  int dequeued = 0;
  int exposure_reads = 0;
  int64_t streamed_at = 0;  // the last stream-on
  bool unplugged = false;
  int64_t unplugged_at = 0;
  int64_t last_dequeued_began = 0;
  int last_level = -1;  // the brightness of the frame last converted
  int last_cast = 0;    // and its red cast
  int64_t now = 1000 * kSecond;
  uint64_t calls = 0;
  bool gave_up = false;
  int conversions = 0;
  v4l2_pix_format format = {};
  v4l2_control last_set = {};
  std::map<uint32_t, int32_t> controls_set;  // every control set, by id
  int opens = 0;                             // of the device, successful
};

const int64_t kGiveUpAt = 1000 * kSecond + 3600 * kSecond;  // an hour: hung

class FakeDevice : public vidmote::V4l2Device {
 public:
  explicit FakeDevice(std::shared_ptr<Driver> driver) : d_(std::move(driver)) {}

  int open(const std::string& path) override {
    if (!call()) return EIO;
    other_ = other_at(path);
    if (other_) return 0;
    if (d_->unplugged) {
      if (path != d_->replug_path || !replugged()) return ENOENT;
      d_->unplugged = false;
      d_->dequeue_error_at = d_->gone_again ? static_cast<int>(sequence_) + 1 : -1;
      error_given_ = false;
      if (!d_->replug_card.empty()) d_->card = d_->replug_card;
    }
    if (!d_->open_error) ++d_->opens;
    return d_->open_error;
  }
  bool replugged() const {
    return !d_->replug_path.empty() && d_->now >= d_->unplugged_at + d_->replug_ns;
  }
  std::vector<std::string> video_nodes() override {
    std::vector<std::string> nodes;
    if (!d_->unplugged) nodes.push_back("/dev/video0");
    if (d_->unplugged && replugged()) nodes.push_back(d_->replug_path);
    for (const Driver::Node& node : d_->others)
      if (const std::string path = path_of(node); !path.empty()) nodes.push_back(path);
    std::sort(nodes.begin(), nodes.end(), [](const std::string& a, const std::string& b) {
      return a.size() != b.size() ? a.size() < b.size() : a < b;  // video2 before video10
    });
    return nodes;
  }
  std::string interface_of(const std::string& path) override {
    const Driver::Node* other = other_at(path);
    return other ? other->interface : d_->interface;
  }
  // Where another node is now; "" while it is unplugged.
  std::string path_of(const Driver::Node& node) const {
    if (!node.same_device || !d_->unplugged) return node.path;
    return replugged() ? node.path_after : "";
  }
  const Driver::Node* other_at(const std::string& path) const {
    for (const Driver::Node& node : d_->others)
      if (path_of(node) == path) return &node;
    return nullptr;
  }
  void close() override { streaming_ = false; }

  int ioctl(unsigned long request, void* argument) override {
    if (!call()) return fail(EIO);
    switch (request) {
      case VIDIOC_QUERYCAP: {
        auto* caps = static_cast<v4l2_capability*>(argument);
        *caps = {};
        // As a driver may: the whole field, without a terminator when full.
        const std::string& card = other_ ? other_->card : d_->card;
        const std::string& bus = other_ ? other_->bus : d_->bus;
        memcpy(caps->card, card.data(), std::min(card.size(), sizeof caps->card));
        memcpy(caps->bus_info, bus.data(), std::min(bus.size(), sizeof caps->bus_info));
        caps->capabilities = d_->caps | V4L2_CAP_DEVICE_CAPS;
        caps->device_caps = d_->caps;
        return 0;
      }
      case VIDIOC_S_FMT:
      case VIDIOC_TRY_FMT:
        return set_format(static_cast<v4l2_format*>(argument), request == VIDIOC_S_FMT);
      case VIDIOC_ENUM_FMT: {
        auto* format = static_cast<v4l2_fmtdesc*>(argument);
        if (format->type != buffer_type()) return fail(EINVAL);
        if (format->index > 0 && !d_->endless_lists) return fail(EINVAL);
        format->pixelformat = other_ ? other_->format : d_->own_format;
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
        if (control->id == V4L2_CID_EXPOSURE_ABSOLUTE) {
          d_->now += d_->exposure_read_ns;
          ++d_->exposure_reads;
          if (d_->exposure_read_error) return fail(d_->exposure_read_error);
        }
        if (control->id == V4L2_CID_EXPOSURE_ABSOLUTE && d_->exposure_wobbles) {
          control->value = 100 + (d_->exposure_reads - 1) / 2 % 2;
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
        d_->controls_set[d_->last_set.id] = d_->last_set.value;
        return 0;
      case VIDIOC_REQBUFS: {
        auto* request = static_cast<v4l2_requestbuffers*>(argument);
        if (request->count > 0 && d_->request_buffers_error) return fail(d_->request_buffers_error);
        request->count = request->count == 0        ? 0
                         : d_->buffers_granted >= 0 ? static_cast<uint32_t>(d_->buffers_granted)
                                                    : std::min(request->count, 4u);
        if (request->count > 0 && request->type != buffer_type()) return fail(EINVAL);
        memory_.assign(request->count, std::vector<uint8_t>(d_->format.sizeimage));
        chroma_.assign(request->count, std::vector<uint8_t>(chroma_bytes()));
        queued_.clear();
        in_flight_.clear();
        filled_.clear();
        return 0;
      }
      case VIDIOC_QUERYBUF: {
        auto* buffer = static_cast<v4l2_buffer*>(argument);
        if (buffer->index >= memory_.size()) return fail(EINVAL);
        if (multi_planar()) {
          // Offsets: even for a buffer's first plane, odd for its second.
          buffer->length = planes();
          buffer->m.planes[0].length = d_->format.sizeimage;
          buffer->m.planes[0].m.mem_offset = 2 * buffer->index;
          if (planes() == 2) {
            buffer->m.planes[1].length = static_cast<uint32_t>(chroma_bytes());
            buffer->m.planes[1].m.mem_offset = 2 * buffer->index + 1;
          }
          return 0;
        }
        buffer->length = d_->format.sizeimage;
        buffer->m.offset = buffer->index;
        return 0;
      }
      case VIDIOC_QBUF:
        deliver();  // frames begun until now took the buffers queued before
        queued_.push_back(static_cast<v4l2_buffer*>(argument)->index);
        return 0;
      case VIDIOC_DQBUF:
        return dequeue(static_cast<v4l2_buffer*>(argument));
      case VIDIOC_STREAMON:
        if (d_->stream_on_error) return fail(d_->stream_on_error);
        if (other_) d_->other_streamed = true;
        streaming_ = true;
        d_->streamed_at = d_->now;
        next_begin_ = d_->now;
        in_flight_.clear();
        return 0;
      case VIDIOC_STREAMOFF:
        streaming_ = false;
        return 0;
      default:
        return fail(ENOTTY);
    }
  }

  void* map(size_t, uint32_t offset) override {
    if (multi_planar()) {
      auto& planes = offset % 2 ? chroma_ : memory_;
      return offset / 2 < planes.size() ? planes[offset / 2].data() : nullptr;
    }
    return offset < memory_.size() ? memory_[offset].data() : nullptr;
  }
  void unmap(void*, size_t) override {}

  Wait wait(int timeout_ms) override {
    if (!call()) return Wait::kError;
    deliver();
    if (!filled_.empty()) return Wait::kReady;
    const int64_t until = timeout_ms < 0 ? INT64_MAX : d_->now + timeout_ms * kMs;
    const int64_t ready = next_ready();
    if (streaming_ && ready <= until && ready < kGiveUpAt) {
      d_->now = ready;
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

  bool convert(const v4l2_pix_format&, const v4l2_pix_format& bgr, const uint8_t* frame,
               size_t frame_bytes, uint8_t* out, size_t out_bytes) override {
    convert_one();
    int level = 128;
    if (d_->pad_rows_to && reads_padding(frame, frame_bytes)) {
      ++d_->garbled_delivered;
      level = 0xEE;
    }
    for (size_t i = 0; i < memory_.size(); ++i) {
      if (frame != memory_[i].data()) continue;
      if (damaged(sequence_of_[i])) {
        if (d_->damage == Driver::Damage::kCorruptJpeg) return false;  // the decoder refuses
        ++d_->damaged_delivered;
      }
      if (level == 128) level = level_at(began_of_[i]);
    }
    if (out_bytes != size_t{bgr.width} * bgr.height * 3) return false;
    memset(out, level, out_bytes);
    d_->last_level = level;
    d_->last_cast = 0;
    for (size_t i = 0; i < memory_.size() && d_->cast_fades_ns; ++i) {
      if (frame != memory_[i].data()) continue;
      // Red up, green down by as much luma: the brightness holds.
      const int64_t since = std::max<int64_t>(0, began_of_[i] - d_->streamed_at);
      const int cast = static_cast<int>(32 * std::max<int64_t>(0, d_->cast_fades_ns - since) /
                                        d_->cast_fades_ns);
      for (size_t at = 0; at + 2 < out_bytes; at += 3) {
        out[at + 1] = static_cast<uint8_t>(level - cast * 77 / 150);
        out[at + 2] = static_cast<uint8_t>(level + cast);
      }
      d_->last_cast = cast;
    }
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

  // Multi-planar only: NV12 or YUYV in one plane, NV12M in two.
  bool multi_planar() const { return d_->caps & V4L2_CAP_VIDEO_CAPTURE_MPLANE; }
  uint32_t buffer_type() const {
    return multi_planar() ? V4L2_BUF_TYPE_VIDEO_CAPTURE_MPLANE : V4L2_BUF_TYPE_VIDEO_CAPTURE;
  }
  uint32_t planes() const { return d_->own_format == V4L2_PIX_FMT_NV12M ? 2 : 1; }
  size_t chroma_bytes() const {
    return planes() == 2 ? size_t{d_->format.width} * d_->format.height / 2 : 0;
  }
  int set_planes(v4l2_format* format, bool in_force) {
    if (format->type != V4L2_BUF_TYPE_VIDEO_CAPTURE_MPLANE) return fail(EINVAL);
    v4l2_pix_format_mplane& mp = format->fmt.pix_mp;
    mp.pixelformat = d_->own_format;
    mp.width = std::min<uint32_t>(std::max<uint32_t>(mp.width, 2), 1920) & ~1u;
    mp.height = std::min<uint32_t>(std::max<uint32_t>(mp.height, 2), 1080) & ~1u;
    mp.num_planes = static_cast<uint8_t>(planes());
    const bool yuyv = d_->own_format == V4L2_PIX_FMT_YUYV;
    mp.plane_fmt[0].bytesperline = mp.width * (yuyv ? 2 : 1);
    mp.plane_fmt[0].sizeimage = mp.width * mp.height *
                                (yuyv            ? 2
                                 : planes() == 2 ? 1
                                                 : 3) /
                                (yuyv || planes() == 2 ? 1 : 2);
    if (planes() == 2) {
      mp.plane_fmt[1].bytesperline = mp.width;
      mp.plane_fmt[1].sizeimage = mp.width * mp.height / 2;
    }
    if (in_force) {
      d_->format = {};
      d_->format.width = mp.width;
      d_->format.height = mp.height;
      d_->format.pixelformat = mp.pixelformat;
      d_->format.bytesperline = mp.plane_fmt[0].bytesperline;
      d_->format.sizeimage = mp.plane_fmt[0].sizeimage;
    }
    return 0;
  }

  int set_format(v4l2_format* format, bool in_force) {
    if (d_->set_format_error) return fail(d_->set_format_error);
    if (multi_planar()) return set_planes(format, in_force);
    v4l2_pix_format& pix = format->fmt.pix;
    // BGR24 is converted here, as libv4l2 does, inside every dequeue.
    if (pix.pixelformat != V4L2_PIX_FMT_BGR24 || d_->answers_own_format)
      pix.pixelformat = d_->own_format;
    pix.width = std::min<uint32_t>(std::max<uint32_t>(pix.width, 1), 1920);
    pix.height = std::min<uint32_t>(std::max<uint32_t>(pix.height, 1), 1080);
    if (d_->refuses_sizes && (pix.width != 640 || pix.height != 480)) pix.pixelformat = 0;
    if (d_->answers_width) pix.width = d_->answers_width;
    const uint32_t bytes = pix.pixelformat == V4L2_PIX_FMT_BGR24  ? 3
                           : pix.pixelformat == V4L2_PIX_FMT_GREY ? 1
                                                                  : 2;
    pix.bytesperline = pix.width * bytes;
    pix.sizeimage = pix.bytesperline * pix.height;
    if (pix.pixelformat == V4L2_PIX_FMT_YUV420 || pix.pixelformat == V4L2_PIX_FMT_NV12) {
      pix.bytesperline = pix.width;  // of the luma plane; chroma at a quarter of its size
      pix.sizeimage = pix.width * pix.height * 3 / 2;
    }
    if (d_->pad_rows_to) {
      planes_ = padded_planes(pix.pixelformat, pix.width, pix.height, d_->pad_rows_to);
      pix.bytesperline = static_cast<uint32_t>(planes_[0].stride);
      pix.sizeimage = 0;
      for (const Plane& plane : planes_) pix.sizeimage += plane.stride * plane.rows;
    }
    if (in_force) d_->format = pix;
    return 0;
  }

  // One plane of a padded frame: rows of `bytes`, `stride` apart.
  struct Plane {
    size_t rows, bytes, stride;
  };
  static std::vector<Plane> padded_planes(uint32_t format, size_t width, size_t height,
                                          size_t pad) {
    auto padded = [pad](size_t bytes) { return (bytes + pad - 1) / pad * pad; };
    switch (format) {
      case V4L2_PIX_FMT_NV12:
        return {{height, width, padded(width)}, {height / 2, width, padded(width)}};
      case V4L2_PIX_FMT_YUV420:  // chroma rows half the luma stride apart
        return {{height, width, padded(width)},
                {height / 2, width / 2, padded(width) / 2},
                {height / 2, width / 2, padded(width) / 2}};
      default:  // RGB565, Y16: two bytes a pixel
        return {{height, 2 * width, padded(2 * width)}};
    }
  }
  // Fills a padded frame: its pixels 0x80, its padding 0xEE.
  void fill_padded(std::vector<uint8_t>& bytes) const {
    std::fill(bytes.begin(), bytes.end(), 0xEE);
    size_t at = 0;
    for (const Plane& plane : planes_)
      for (size_t row = 0; row < plane.rows; ++row, at += plane.stride)
        std::fill(bytes.begin() + at, bytes.begin() + at + plane.bytes, 0x80);
  }
  // As libv4lconvert converts these formats: rows read packed, whatever the
  // row length says. Padding read as picture garbles it.
  bool reads_padding(const uint8_t* frame, size_t frame_bytes) const {
    size_t packed = 0;
    for (const Plane& plane : planes_) packed += plane.rows * plane.bytes;
    return frame_bytes < packed || std::find(frame, frame + packed, 0xEE) != frame + packed;
  }

  int query_control(v4l2_queryctrl* query) {
    if (d_->camera_class) return query_webcam_control(query);
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

  // The webcam's controls, in id order, by their own id or the next.
  int query_webcam_control(v4l2_queryctrl* query) {
    const struct {
      uint32_t id, type;
      const char* name;
    } kControls[] = {
        {V4L2_CID_BRIGHTNESS, V4L2_CTRL_TYPE_INTEGER, "Brightness"},
        {kMenuId, V4L2_CTRL_TYPE_MENU, "Power Line Frequency"},
        {V4L2_CID_EXPOSURE_ABSOLUTE, V4L2_CTRL_TYPE_INTEGER, "Exposure Time, Absolute"},
        {V4L2_CID_FOCUS_ABSOLUTE, V4L2_CTRL_TYPE_INTEGER, "Focus, Absolute"},
        {V4L2_CID_FOCUS_AUTO, V4L2_CTRL_TYPE_BOOLEAN, "Focus, Automatic Continuous"},
        {V4L2_CID_ZOOM_ABSOLUTE, V4L2_CTRL_TYPE_INTEGER, "Zoom, Absolute"},
    };
    const bool next = query->id & V4L2_CTRL_FLAG_NEXT_CTRL;
    const uint32_t after = query->id & ~V4L2_CTRL_FLAG_NEXT_CTRL;
    for (const auto& control : kControls) {
      if (next ? control.id <= after : control.id != after) continue;
      if (control.id == d_->silent_control) return fail(EIO);
      *query = {};
      query->id = control.id;
      query->type = control.type;
      query->maximum = control.id == kMenuId ? 2 : 255;
      query->step = 1;
      strcpy(reinterpret_cast<char*>(query->name), control.name);
      return 0;
    }
    return fail(EINVAL);
  }

  // Every frame begun by now takes a queued buffer (a frame with none is
  // lost); every frame whose latency has passed fills its buffer.
  void deliver() {
    for (; streaming_ && next_begin_ <= d_->now; next_begin_ += real_ns()) {
      if (queued_.empty()) continue;
      in_flight_.push_back(
          {queued_.front(), next_begin_ + real_ns() + d_->latency_ns, next_begin_});
      queued_.erase(queued_.begin());
    }
    while (!in_flight_.empty() && in_flight_.front().at <= d_->now) {
      filled_.push_back(in_flight_.front());
      in_flight_.erase(in_flight_.begin());
    }
  }
  // When the next buffer is filled; INT64_MAX for never.
  int64_t next_ready() const {
    if (!in_flight_.empty()) return in_flight_.front().at;
    if (queued_.empty()) return INT64_MAX;
    return next_begin_ + real_ns() + d_->latency_ns;
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
    if (multi_planar()) {
      buffer->m.planes[0].bytesused = d_->format.sizeimage;
      if (planes() == 2) buffer->m.planes[1].bytesused = static_cast<uint32_t>(chroma_bytes());
      std::fill(chroma_[frame.index].begin(), chroma_[frame.index].end(), 0x80);
    }
    buffer->flags = d_->stamp_type | (d_->start_of_frame_stamps ? V4L2_BUF_FLAG_TSTAMP_SRC_SOE
                                                                : V4L2_BUF_FLAG_TSTAMP_SRC_EOF);
    const uint32_t sequence = sequence_++;
    ++d_->dequeued;
    buffer->sequence = sequence;
    sequence_of_[frame.index] = sequence;
    began_of_[frame.index] = frame.began;
    d_->last_dequeued_began = frame.began;
    if (damaged(sequence) && d_->damage == Driver::Damage::kFlagged)
      buffer->flags |= V4L2_BUF_FLAG_ERROR;
    if (d_->own_format == V4L2_PIX_FMT_MJPEG || d_->own_format == V4L2_PIX_FMT_JPEG)
      write_mjpeg(memory_[frame.index], sequence, buffer);
    if (d_->pad_rows_to) fill_padded(memory_[frame.index]);
    if (d_->own_format == V4L2_PIX_FMT_GREY || d_->own_format == V4L2_PIX_FMT_YUYV ||
        multi_planar()) {
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
        (d_->start_of_frame_stamps ? frame.began : frame.began + real_ns()) + d_->stamp_offset_ns;
    buffer->timestamp.tv_sec = d_->stamp_seconds ? d_->stamp_seconds : stamp / kSecond;
    buffer->timestamp.tv_usec = stamp % kSecond / 1000;
    if (d_->format.pixelformat == V4L2_PIX_FMT_BGR24) convert_one();
    return 0;
  }

  struct Filled {
    uint32_t index;
    int64_t at;  // when the buffer is filled
    int64_t began;
  };
  std::shared_ptr<Driver> d_;
  bool streaming_ = false;
  int64_t next_begin_ = 0;                    // of the next frame
  uint32_t sequence_ = 0;                     // of the next frame
  std::map<uint32_t, uint32_t> sequence_of_;  // the frame each buffer holds
  std::map<uint32_t, int64_t> began_of_;      // and when that frame began
  bool error_given_ = false;
  std::vector<std::vector<uint8_t>> memory_;
  std::vector<std::vector<uint8_t>> chroma_;  // second planes
  std::vector<uint32_t> queued_;
  const Driver::Node* other_ = nullptr;  // the other node open, if one is
  std::vector<Plane> planes_;            // of a padded frame
  std::vector<Filled> in_flight_;        // begun, their buffers taken
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
    int back_to_back = 0;  // captures then asked at once, as a script's piped Enters ask them
  } cases[] = {
      {"a camera that works", [](Driver&) {}, false, "Fake Cam", true, "", true},
      {"forbidden", [](Driver& d) { d.open_error = EACCES; }, false, "Test card", true,
       "skipped: permission denied", true},
      {"busy", [](Driver& d) { d.set_format_error = EBUSY; }, false, "Test card", true,
       "skipped: busy: another program is using it", true},
      {"not a camera", [](Driver& d) { d.caps = V4L2_CAP_VIDEO_OUTPUT | V4L2_CAP_STREAMING; },
       false, "Test card", true, "skipped: not a capture device", true},
      // Capture nodes that are multi-planar only (rkisp1, camss, the i.MX8
      // ISI): cameras all the same, through the multi-planar calls.
      {"multi-planar only, NV12 in one plane",
       [](Driver& d) {
         d.caps = V4L2_CAP_VIDEO_CAPTURE_MPLANE | V4L2_CAP_STREAMING;
         d.own_format = V4L2_PIX_FMT_NV12;
       },
       false, "Fake Cam", true, "", true, nullptr, 2},
      {"multi-planar only, NV12 in two planes",
       [](Driver& d) {
         d.caps = V4L2_CAP_VIDEO_CAPTURE_MPLANE | V4L2_CAP_STREAMING;
         d.own_format = V4L2_PIX_FMT_NV12M;
       },
       false, "Fake Cam", true, "", true, nullptr, 2},
      {"multi-planar only, YUYV, named",
       [](Driver& d) {
         d.caps = V4L2_CAP_VIDEO_CAPTURE_MPLANE | V4L2_CAP_STREAMING;
         d.own_format = V4L2_PIX_FMT_YUYV;
       },
       true, "Fake Cam", true, "", true},
      {"multi-planar only, H.264 alone",
       [](Driver& d) {
         d.caps = V4L2_CAP_VIDEO_CAPTURE_MPLANE | V4L2_CAP_STREAMING;
         d.own_format = V4L2_PIX_FMT_H264;
       },
       false, "Test card", true,
       "skipped: it offers only H.264 frames, which the plug-in cannot decode", true},
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
      // The older fourcc some webcams and capture chips report.
      {"every JPEG frame cut short",
       [](Driver& d) {
         d.own_format = V4L2_PIX_FMT_JPEG;
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
       "no usable frame in time: 92 arrived, all damaged: 92 flagged by the driver;", false,
       "10 frames"},
      // Honest stamps that trail arrival by a steady delivery latency.
      {"start stamps, latency of 1 interval, back to back",
       [](Driver& d) {
         d.start_of_frame_stamps = true;
         d.latency_ns = kSecond / 30;
       },
       false, "Fake Cam", true, "", true, nullptr, 6},
      {"start stamps, latency of 2 intervals (70 ms), back to back",
       [](Driver& d) {
         d.start_of_frame_stamps = true;
         d.latency_ns = 70 * kMs;
       },
       false, "Fake Cam", true, "", true, nullptr, 6},
      {"start stamps, latency of 3 intervals (100 ms), back to back",
       [](Driver& d) {
         d.start_of_frame_stamps = true;
         d.latency_ns = 100 * kMs;
       },
       false, "Fake Cam", true, "", true, nullptr, 6},
      {"end stamps, latency of 3 intervals, back to back",
       [](Driver& d) { d.latency_ns = 100 * kMs; }, false, "Fake Cam", true, "", true, nullptr, 6},
      {"start stamps, latency of 3 intervals, 12 ms dequeues, back to back",
       [](Driver& d) {
         d.start_of_frame_stamps = true;
         d.latency_ns = 100 * kMs;
         d.dequeue_ns = 12 * kMs;
       },
       false, "Fake Cam", true, "", true, nullptr, 6},
      {"copied stamps, latency of 2 intervals (70 ms), back to back",
       [](Driver& d) {
         d.stamp_type = V4L2_BUF_FLAG_TIMESTAMP_COPY;
         d.latency_ns = 70 * kMs;
       },
       false, "Fake Cam", true, "", true, nullptr, 6},
      {"copied stamps, back to back",
       [](Driver& d) { d.stamp_type = V4L2_BUF_FLAG_TIMESTAMP_COPY; }, false, "Fake Cam", true, "",
       true, nullptr, 6},
      {"stamps lagging 3.5 s, back to back", [](Driver& d) { d.stamp_offset_ns = -3500 * kMs; },
       false, "Fake Cam", true, "", true, nullptr, 6},
      // Rows padded to a multiple (600 pixels wide: not one): packed before
      // the converter, which reads them packed.
      {"NV12 rows padded to 32 bytes",
       [](Driver& d) {
         d.own_format = V4L2_PIX_FMT_NV12;
         d.answers_width = 600;
         d.pad_rows_to = 32;
       },
       false, "Fake Cam", true, "", true},
      {"YU12 rows padded to 16 bytes",
       [](Driver& d) {
         d.own_format = V4L2_PIX_FMT_YUV420;
         d.answers_width = 600;
         d.pad_rows_to = 16;
       },
       false, "Fake Cam", true, "", true},
      {"RGB565 rows padded to 64 bytes",
       [](Driver& d) {
         d.own_format = V4L2_PIX_FMT_RGB565;
         d.answers_width = 600;
         d.pad_rows_to = 64;
       },
       false, "Fake Cam", true, "", true},
      {"Y16 rows padded to 64 bytes",
       [](Driver& d) {
         d.own_format = V4L2_PIX_FMT_Y16;
         d.answers_width = 600;
         d.pad_rows_to = 64;
       },
       false, "Fake Cam", true, "", true},
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
      {"unplugged, back in time, then gone again",
       [](Driver& d) {
         d.dequeue_error_at = 1;
         d.dequeue_error = ENODEV;
         d.replug_path = "/dev/video3";
         d.replug_ns = 2 * kSecond;
         d.gone_again = true;
       },
       false, "Fake Cam", true, "/dev/video0: stream failed: the camera is gone (unplugged?)\n",
       false},
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
      // Siblings of one device share its card name and bus: the USB
      // interface and the formats tell them apart.
      {"unplugged, back renumbered, its infrared sibling before it",
       [](Driver& d) {
         d.card = "Integrated_Webcam_HD: Integrate";
         d.own_format = V4L2_PIX_FMT_YUYV;
         d.bus = "usb-0000:00:14.0-5";
         d.interface = "1-5:1.0";
         d.others = {
             {"/dev/video2", "/dev/video3", true, d.card, d.bus, "1-5:1.2", V4L2_PIX_FMT_GREY}};
         d.dequeue_error_at = 1;
         d.dequeue_error = ENODEV;
         d.replug_path = "/dev/video4";
         d.replug_ns = 2 * kSecond;
       },
       false, "Integrated_Webcam_HD", true,
       "/dev/video0: the camera was gone (unplugged?) and is back as /dev/video4", true},
      {"unplugged for good, its infrared sibling gone with it",
       [](Driver& d) {
         d.own_format = V4L2_PIX_FMT_YUYV;
         d.bus = "usb-0000:00:14.0-5";
         d.interface = "1-5:1.0";
         d.others = {
             {"/dev/video2", "/dev/video2", true, d.card, d.bus, "1-5:1.2", V4L2_PIX_FMT_GREY}};
         d.dequeue_error_at = 1;
         d.dequeue_error = ENODEV;
         d.replug_path = "/dev/video0";
         d.replug_ns = 5 * kSecond;
       },
       false, "Fake Cam", true, "stream failed: the camera is gone (unplugged?)", false},
      // Two cameras of one model on different ports: the other one is not
      // this one.
      {"unplugged, another camera of its model on another port",
       [](Driver& d) {
         d.bus = "usb-0000:00:14.0-1";
         d.interface = "1-1:1.0";
         d.others = {
             {"/dev/video2", "", false, d.card, "usb-0000:00:14.0-2", "1-2:1.0", d.own_format}};
         d.dequeue_error_at = 1;
         d.dequeue_error = ENODEV;
       },
       false, "Fake Cam", true, "stream failed: the camera is gone (unplugged?)", false},
      {"unplugged, another camera of its model, back at its own port",
       [](Driver& d) {
         d.bus = "usb-0000:00:14.0-1";
         d.interface = "1-1:1.0";
         d.others = {
             {"/dev/video2", "", false, d.card, "usb-0000:00:14.0-2", "1-2:1.0", d.own_format}};
         d.dequeue_error_at = 1;
         d.dequeue_error = ENODEV;
         d.replug_path = "/dev/video4";
         d.replug_ns = 1 * kSecond;
       },
       false, "Fake Cam", true,
       "/dev/video0: the camera was gone (unplugged?) and is back as /dev/video4", true},
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
        for (int i = 0; i < c.back_to_back; ++i) {
          const int64_t enter = driver->now;
          EXPECT_GT(vidmote.capture(frame.data()), 0) << "back to back " << i;
          EXPECT_GE(driver->last_dequeued_began, enter) << "a frame begun before Enter " << i;
          EXPECT_LE(driver->now - enter, 3 * kSecond + 2 * kSecond / 30) << i;
        }
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
    EXPECT_EQ(driver->garbled_delivered, 0) << "padded rows were converted as if packed";
    EXPECT_FALSE(driver->other_streamed) << "another node was taken for the camera";
    // The capture deadline: 3 s and two frame intervals, the longer of the
    // declared and the real one; and a dequeue begun before it.
    if (captured && name.find("Test card") == std::string::npos) {
      EXPECT_TRUE(one_gray)
          << "the camera serves one gray: a frame was taken whole when it was not";
      // The plug-in converts YUYV and GREY itself, other formats through the
      // device.
      const bool own = driver->own_format == V4L2_PIX_FMT_YUYV ||
                       driver->own_format == V4L2_PIX_FMT_GREY ||
                       (driver->caps & V4L2_CAP_VIDEO_CAPTURE_MPLANE);
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
    uint32_t silent_camera_control;   // 0: no camera-class controls
    std::vector<std::string> listed;  // the camera's own, after format and settle
  } cases[] = {
      {0, 0, {"Brightness", "Power Line Frequency"}},
      {EIO, 0, {"Power Line Frequency"}},
      {EPIPE, 0, {"Power Line Frequency"}},
      {0,
       V4L2_CID_FOCUS_ABSOLUTE,
       {"Brightness", "Power Line Frequency", "Exposure Time, Absolute",
        "Focus, Automatic Continuous", "Zoom, Absolute"}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.brightness_error);
    SCOPED_TRACE(c.silent_camera_control);
    auto driver = std::make_shared<Driver>();
    driver->brightness_query_error = c.brightness_error;
    driver->camera_class = c.silent_camera_control != 0;
    driver->silent_control = c.silent_camera_control;
    auto camera = fake_camera(driver);
    ASSERT_TRUE(camera->open());
    std::vector<std::string> listed;
    for (const auto& setting : camera->settings())
      if (setting.key != vidmote::kFormatKey && setting.key != vidmote::kSettleKey)
        listed.push_back(setting.name);
    EXPECT_EQ(listed, c.listed);
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
    int64_t earliest, latest;      // from stream-on: when the delivered frame began
    int level;                     // the delivered frame's brightness at least; -1: any
    bool restart_after = false;    // a second capture meets one EIO and a camera dark again
    const char* settle = nullptr;  // the settle time chosen; by the picture if none
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
      // A control read that blocks, fails or is slow is not repeated: the
      // picture settles the camera, and the capture keeps its bound.
      {"exposure read blocking 5 s, then timing out",
       [](Driver& d) {
         d.exposure_read_ns = 5 * kSecond;
         d.exposure_read_error = ETIMEDOUT;
       },
       2 * kFrame, 200 * kMs, 128},
      {"exposure read failing, the picture brightening over a second",
       [](Driver& d) {
         d.exposure_read_error = EIO;
         d.brighten_ns = kSecond;
       },
       kSecond, 1600 * kMs, 128},
      {"exposure read taking 300 ms, the picture brightening over a second",
       [](Driver& d) {
         d.exposure_read_ns = 300 * kMs;
         d.brighten_ns = kSecond;
       },
       kSecond, 1600 * kMs, 128},
      // A white balance still converging while the brightness holds.
      {"a red cast fading over 1.5 s", [](Driver& d) { d.cast_fades_ns = 1500 * kMs; }, 1500 * kMs,
       2100 * kMs, 125},
      // One EIO 1.7 s into the first settling: settling starts over, but the
      // capture's bound wins over a steadier picture (cap 2.5 s from Enter).
      {"converging, one EIO 1.7 s into the first settling",
       [](Driver& d) {
         d.converge_ns = 600 * kMs;
         d.dequeue_error_at = 50;
       },
       kCap - 1700 * kMs - kFrame, kCap - 1700 * kMs + 2 * kFrame, -1},
      {"dark again after a restart", [](Driver& d) { d.brighten_ns = 300 * kMs; }, 300 * kMs,
       900 * kMs, 128, true},
      // A settle by time counts from the last stream-on.
      {"1 s, dark again after a restart", [](Driver& d) { d.brighten_ns = 300 * kMs; }, kSecond,
       kSecond + 4 * kFrame, 128, true, "1 s"},
      {"1 s, one EIO late in the settle and dark again",
       [](Driver& d) {
         d.brighten_ns = 300 * kMs;
         d.dequeue_error_at = 25;
       },
       kSecond, kSecond + 4 * kFrame, 128, false, "1 s"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    auto driver = std::make_shared<Driver>();
    c.camera(*driver);
    auto camera = fake_camera(driver);
    ASSERT_TRUE(camera->open());
    if (c.settle) {
      ASSERT_TRUE(camera->choose_setting(vidmote::kSettleKey, settle_index(c.settle)));
    }
    std::vector<uint8_t> frame(640 * 480 * 3);
    ::testing::internal::CaptureStderr();
    for (int capture = 0; capture < (c.restart_after ? 2 : 1); ++capture) {
      SCOPED_TRACE(capture ? "after the restart" : "the first capture");
      if (capture) {
        driver->dequeue_error_at = driver->dequeued + 2;
        driver->now += 70 * kMs;
      }
      const int64_t asked = driver->now;
      try {
        EXPECT_TRUE(camera->capture(frame.data()));
      } catch (const std::exception& e) {
        ADD_FAILURE() << e.what();
      }
      EXPECT_LE(driver->now - asked, 3 * kSecond + 2 * std::max(kFrame, driver->frame_every_ns))
          << "the capture's bound";
      if (c.level >= 0) {
        EXPECT_GE(driver->last_level, c.level);
        EXPECT_LE(driver->last_cast, 1) << "a colour cast still fading";
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
      {"four other processes: all named", 4, 4},
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
    int fast_captures = 0;  // the first few captures' dequeues take no time
  } cases[] = {
      {300 * kMs, Driver::Damage::kNone},
      {1500 * kMs, Driver::Damage::kNone},
      {4000 * kMs, Driver::Damage::kNone},
      {20 * kMs, Driver::Damage::kCutJpeg},
      {30 * kMs, Driver::Damage::kCorruptJpeg},
      {40 * kMs, Driver::Damage::kFlagged},
      // The queue seen empty in a capture (the first only settles) says
      // nothing of the next.
      {300 * kMs, Driver::Damage::kNone, 2},
  };
  for (const auto& c : cases) {
    const int64_t dequeue = c.dequeue;
    SCOPED_TRACE(std::to_string(dequeue / kMs) + " ms a dequeue" +
                 (c.fast_captures ? ", after fast captures" : ""));
    auto driver = std::make_shared<Driver>();
    driver->damage = c.damage;
    driver->all_damaged = true;
    auto camera = fake_camera(driver);
    ASSERT_TRUE(camera->open());
    std::vector<uint8_t> frame(640 * 480 * 3);
    ::testing::internal::CaptureStderr();
    for (int capture = 0; capture < 4; ++capture) {
      driver->dequeue_ns = capture < c.fast_captures ? 0 : dequeue;
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
      } else if (dequeue < kSecond) {
        EXPECT_TRUE(captured) << capture << ": dequeues well within the bound";
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

// ---- The user's settings: the VIDMOTE_ variables and the saved file. ----

const char kSavedHeader[] = "# Vidmote settings for cam, kept by the settings dialog.\n";

// A variable's value read, shown as the saved file would hold it; or the
// line saying why it is refused.
TEST(UserSettings, TheVariablesAreReadOrRefusedSayingWhatIsAccepted) {
  const struct {
    const char* variable;
    const char* value;
    const char* saved;  // after the header; nullptr: refused
    const char* error;
  } cases[] = {
      {"VIDMOTE_SIZE", "1280x720", "VIDMOTE_SIZE=1280x720\n", ""},
      {"VIDMOTE_SIZE", " 320X240 ", "VIDMOTE_SIZE=320x240\n", ""},
      {"VIDMOTE_SIZE", "", "", ""},  // set empty: as not set
      {"VIDMOTE_SIZE", "1280*720", nullptr,
       "VIDMOTE_SIZE=1280*720: not understood; accepted: WIDTHxHEIGHT, e.g. 1280x720"},
      {"VIDMOTE_SIZE", "0x480", nullptr,
       "VIDMOTE_SIZE=0x480: not understood; accepted: WIDTHxHEIGHT, e.g. 1280x720"},
      {"VIDMOTE_SIZE", "-640x480", nullptr,
       "VIDMOTE_SIZE=-640x480: not understood; accepted: WIDTHxHEIGHT, e.g. 1280x720"},
      {"VIDMOTE_SIZE", "640x", nullptr,
       "VIDMOTE_SIZE=640x: not understood; accepted: WIDTHxHEIGHT, e.g. 1280x720"},
      {"VIDMOTE_SIZE", "4294967936x480", nullptr,
       "VIDMOTE_SIZE=4294967936x480: not understood; accepted: WIDTHxHEIGHT, e.g. 1280x720"},
      {"VIDMOTE_FORMAT", "YUYV", "VIDMOTE_FORMAT=YUYV\n", ""},
      {"VIDMOTE_SETTLE", "1 s", "VIDMOTE_SETTLE=1 s\n", ""},
      {"VIDMOTE_CONTROLS", "brightness=120,power_line_frequency=1",
       "VIDMOTE_CONTROLS=brightness=120,power_line_frequency=1\n", ""},
      {"VIDMOTE_CONTROLS", " Brightness = 120 ", "VIDMOTE_CONTROLS=Brightness=120\n", ""},
      {"VIDMOTE_CONTROLS", "brightness=1,Brightness=2", "VIDMOTE_CONTROLS=brightness=2\n", ""},
      {"VIDMOTE_CONTROLS", "brightness", nullptr,
       "VIDMOTE_CONTROLS=brightness: not understood; accepted: NAME=VALUE separated by commas, "
       "names as list-cameras prints them, e.g. brightness=120,power_line_frequency=1"},
      {"VIDMOTE_CONTROLS", "brightness=1,,zoom=2", nullptr,
       "VIDMOTE_CONTROLS=brightness=1,,zoom=2: not understood; accepted: NAME=VALUE separated by "
       "commas, names as list-cameras prints them, e.g. brightness=120,power_line_frequency=1"},
      {"VIDMOTE_CONTROLS", "=5", nullptr,
       "VIDMOTE_CONTROLS==5: not understood; accepted: NAME=VALUE separated by commas, names as "
       "list-cameras prints them, e.g. brightness=120,power_line_frequency=1"},
      {"VIDMOTE_IDLE", "0", "VIDMOTE_IDLE=0\n", ""},
      {"VIDMOTE_IDLE", "86400", "VIDMOTE_IDLE=86400\n", ""},
      {"VIDMOTE_IDLE", "86401", nullptr,
       "VIDMOTE_IDLE=86401: not understood; accepted: whole seconds from 0 (keep the camera "
       "open) to 86400"},
      {"VIDMOTE_IDLE", "10s", nullptr,
       "VIDMOTE_IDLE=10s: not understood; accepted: whole seconds from 0 (keep the camera open) "
       "to 86400"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.variable) + "=" + c.value);
    const std::map<std::string, std::string> environment = {{c.variable, c.value}};
    vidmote::UserChoices choices;
    std::string error;
    const bool read = vidmote::read_variables(
        [&](const char* name) {
          auto found = environment.find(name);
          return found == environment.end() ? nullptr : found->second.c_str();
        },
        &choices, &error);
    EXPECT_EQ(read, c.saved != nullptr);
    EXPECT_EQ(error, c.error);
    if (c.saved) {
      EXPECT_EQ(vidmote::saved_text("cam", choices), kSavedHeader + std::string(c.saved));
    }
  }
}

// A saved file is taken whole or not at all.
TEST(UserSettings, ASavedFileIsReadWholeOrIgnoredWithTheLineAtFault) {
  const struct {
    const char* text;
    const char* saved;  // after the header; nullptr: ignored
    const char* error;
  } cases[] = {
      {"", "", ""},
      {"# Vidmote settings for cam, kept by the settings dialog.\r\nVIDMOTE_SIZE=800x600\r\n"
       "\r\nVIDMOTE_CONTROLS=pattern=checkerboard\r\nVIDMOTE_IDLE=30",
       "VIDMOTE_SIZE=800x600\nVIDMOTE_CONTROLS=pattern=checkerboard\nVIDMOTE_IDLE=30\n", ""},
      {"VIDMOTE_SETTLE=2s\nVIDMOTE_FORMAT=auto\n", "VIDMOTE_SETTLE=2s\nVIDMOTE_FORMAT=auto\n", ""},
      {"# comment\nVIDMOTE_SIZE=800x600\nVIDMOTE_SIZE=big\n", nullptr,
       "line 3: VIDMOTE_SIZE=big: not understood; accepted: WIDTHxHEIGHT, e.g. 1280x720"},
      {"VIDMOTE_COLOUR=red\n", nullptr,
       "line 1: VIDMOTE_COLOUR: not a setting; accepted: VIDMOTE_FORMAT, VIDMOTE_SETTLE, "
       "VIDMOTE_SIZE, VIDMOTE_CONTROLS, VIDMOTE_IDLE"},
      {"\x89PNG\r\n\x1a\n", nullptr, "line 1: not VARIABLE=value"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(::testing::PrintToString(std::string(c.text)));
    vidmote::UserChoices choices;
    std::string error;
    EXPECT_EQ(vidmote::read_saved_text(c.text, &choices, &error), c.saved != nullptr);
    EXPECT_EQ(error, c.error);
    EXPECT_EQ(vidmote::saved_text("cam", choices),
              kSavedHeader + std::string(c.saved ? c.saved : ""));
  }
}

// The environment's settings through the plug-in, as the program starts
// it: name, init, the program's own 640 x 480, then a capture.
TEST(CameraFaults, TheEnvironmentsSettingsReachTheCameraOrEndTheStart) {
  const uint32_t kBrightness = V4L2_CID_BRIGHTNESS;
  const struct {
    const char* what;
    std::map<std::string, std::string> environment;
    std::function<void(Driver&)> driver;
    bool init_ok;
    const char* error;  // the whole of standard error
    int32_t width, height;
    std::map<uint32_t, int32_t> controls_set;
    uint32_t pixel_format;
    const char* settle;  // the settle choice in force
  } cases[] = {
      {"nothing set",
       {},
       nullptr,
       true,
       "",
       640,
       480,
       {},
       V4L2_PIX_FMT_MJPEG,
       "until the picture is steady (at most 3 s)"},
      {"a size it has",
       {{"VIDMOTE_SIZE", "1280x720"}},
       nullptr,
       true,
       "",
       1280,
       720,
       {},
       V4L2_PIX_FMT_MJPEG,
       "until the picture is steady (at most 3 s)"},
      {"a size it lacks gives the nearest",
       {{"VIDMOTE_SIZE", "4000x3000"}},
       nullptr,
       true,
       "",
       1920,
       1080,
       {},
       V4L2_PIX_FMT_MJPEG,
       "until the picture is steady (at most 3 s)"},
      {"a size nothing serves",
       {{"VIDMOTE_SIZE", "1280x720"}},
       [](Driver& d) { d.refuses_sizes = true; },
       false,
       "vidmote: VIDMOTE_SIZE=1280x720: Fake Cam (/dev/video0) cannot deliver it; accepted: a "
       "size such as 640x480, 1280x720\n",
       640,
       480,
       {},
       V4L2_PIX_FMT_MJPEG,
       "until the picture is steady (at most 3 s)"},
      {"controls as list-cameras names them",
       {{"VIDMOTE_CONTROLS", "brightness=120,power_line_frequency=1"}},
       nullptr,
       true,
       "",
       640,
       480,
       {{kBrightness, 120}, {kMenuId, 1}},
       V4L2_PIX_FMT_MJPEG,
       "until the picture is steady (at most 3 s)"},
      {"controls as the driver names them",
       {{"VIDMOTE_CONTROLS", "Power Line Frequency=2"}},
       nullptr,
       true,
       "",
       640,
       480,
       {{kMenuId, 2}},
       V4L2_PIX_FMT_MJPEG,
       "until the picture is steady (at most 3 s)"},
      {"a value out of range",
       {{"VIDMOTE_CONTROLS", "brightness=256"}},
       nullptr,
       false,
       "vidmote: VIDMOTE_CONTROLS=brightness=256: out of range; accepted: brightness from 0 to "
       "255\n",
       640,
       480,
       {},
       V4L2_PIX_FMT_MJPEG,
       "until the picture is steady (at most 3 s)"},
      {"a menu entry it lacks",
       {{"VIDMOTE_CONTROLS", "power_line_frequency=3"}},
       nullptr,
       false,
       "vidmote: VIDMOTE_CONTROLS=power_line_frequency=3: not one of its choices; accepted: 0, "
       "1, 2\n",
       640,
       480,
       {},
       V4L2_PIX_FMT_MJPEG,
       "until the picture is steady (at most 3 s)"},
      {"a control it lacks",
       {{"VIDMOTE_CONTROLS", "brightness=10,zoom_absolute=2"}},
       nullptr,
       false,
       "vidmote: VIDMOTE_CONTROLS=zoom_absolute=2: Fake Cam (/dev/video0) has no such control; "
       "accepted: brightness, power_line_frequency\n",
       640,
       480,
       {{kBrightness, 10}},
       V4L2_PIX_FMT_MJPEG,
       "until the picture is steady (at most 3 s)"},
      {"the automatic format",
       {{"VIDMOTE_FORMAT", "auto"}},
       nullptr,
       true,
       "",
       640,
       480,
       {},
       V4L2_PIX_FMT_MJPEG,
       "until the picture is steady (at most 3 s)"},
      {"a format it reads itself",
       {{"VIDMOTE_FORMAT", "grey"}},
       [](Driver& d) { d.own_format = V4L2_PIX_FMT_GREY; },
       true,
       "",
       640,
       480,
       {},
       V4L2_PIX_FMT_GREY,
       "until the picture is steady (at most 3 s)"},
      {"a format it does not offer",
       {{"VIDMOTE_FORMAT", "YUYV"}},
       nullptr,
       false,
       "vidmote: VIDMOTE_FORMAT=YUYV: not one of its choices; accepted: auto\n",
       640,
       480,
       {},
       V4L2_PIX_FMT_MJPEG,
       "until the picture is steady (at most 3 s)"},
      {"a settle rule as the dialog offers it",
       {{"VIDMOTE_SETTLE", "0.5 s"}},
       nullptr,
       true,
       "",
       640,
       480,
       {},
       V4L2_PIX_FMT_MJPEG,
       "0.5 s"},
      {"a settle rule by its short name",
       {{"VIDMOTE_SETTLE", "10frames"}},
       nullptr,
       true,
       "",
       640,
       480,
       {},
       V4L2_PIX_FMT_MJPEG,
       "10 frames"},
      {"a settle rule it lacks",
       {{"VIDMOTE_SETTLE", "3s"}},
       nullptr,
       false,
       "vidmote: VIDMOTE_SETTLE=3s: not one of its choices; accepted: steady, none, 5frames, "
       "10frames, 30frames, 0.5s, 1s, 2s, 4s\n",
       640,
       480,
       {},
       V4L2_PIX_FMT_MJPEG,
       "until the picture is steady (at most 3 s)"},
      {"a value not understood ends the start before the camera opens",
       {{"VIDMOTE_IDLE", "soon"}, {"VIDMOTE_SIZE", "1280x720"}},
       nullptr,
       false,
       "vidmote: VIDMOTE_IDLE=soon: not understood; accepted: whole seconds from 0 (keep the "
       "camera open) to 86400\n",
       640,
       480,
       {},
       0,
       nullptr},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    auto driver = std::make_shared<Driver>();
    if (c.driver) c.driver(*driver);
    Plugin plugin(driver, true);
    vidmote::Vidmote& vidmote = *plugin.vidmote;
    vidmote::UserChoices choices;
    std::string error;
    vidmote::read_variables(
        [&](const char* name) {
          auto found = c.environment.find(name);
          return found == c.environment.end() ? nullptr : found->second.c_str();
        },
        &choices, &error);
    vidmote.use_environment(choices, error);
    ::testing::internal::CaptureStderr();
    bool init_ok = false;
    int32_t captured = 0;
    vidmote::FrameSize size = {0, 0};
    try {
      vidmote.name();
      init_ok = vidmote.init();
      vidmote.set_size(640, 480);  // the program's own request
      size = vidmote.get_size();
      std::vector<uint8_t> frame(static_cast<size_t>(vidmote.frame_bytes()));
      captured = vidmote.capture(frame.data());
    } catch (const std::exception& e) {
      ADD_FAILURE() << e.what();
    }
    EXPECT_EQ(::testing::internal::GetCapturedStderr(), c.error);
    EXPECT_EQ(init_ok, c.init_ok);
    EXPECT_EQ(captured > 0, c.init_ok) << "nothing is served after a refused start";
    EXPECT_EQ(size.width, c.width);
    EXPECT_EQ(size.height, c.height);
    EXPECT_EQ(driver->controls_set, c.controls_set);
    EXPECT_EQ(driver->format.pixelformat, c.pixel_format);
    if (c.settle) {
      for (const vidmote::SourceSetting& setting : vidmote.settings()) {
        if (setting.variable == "VIDMOTE_SETTLE") {
          EXPECT_EQ(setting.choices[setting.current], c.settle);
        }
      }
    }
  }
}

// A camera with no capture for the idle time is closed; the next capture
// opens it and settles as after start: the same time on the stand-in's clock.
TEST(CameraFaults, AnIdleCameraIsLetGoAndTheNextCaptureOpensAndSettlesIt) {
  const struct {
    const char* what;
    const char* idle;  // VIDMOTE_IDLE; nullptr: not set
    int64_t waited_ns;
    bool in_dialog;
    bool let_go;
  } cases[] = {
      {"just before the default 10 s", nullptr, 10 * kSecond - 1, false, false},
      {"the default 10 s", nullptr, 10 * kSecond, false, true},
      {"50 minutes", nullptr, 3000 * kSecond, false, true},
      {"2 s asked for", "2", 2 * kSecond, false, true},
      {"0 keeps it open", "0", 3000 * kSecond, false, false},
      {"while the dialog is open", nullptr, 60 * kSecond, true, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    auto driver = std::make_shared<Driver>();
    driver->brighten_ns = 800 * kMs;  // settling takes a while
    Plugin plugin(driver, true);
    vidmote::Vidmote& vidmote = *plugin.vidmote;
    vidmote.measure_time_with([driver] { return driver->now; });
    vidmote::UserChoices choices;
    std::string error;
    ASSERT_TRUE(vidmote::read_variable("VIDMOTE_IDLE", c.idle ? c.idle : "", &choices, &error));
    vidmote.use_environment(choices, error);
    ::testing::internal::CaptureStderr();
    try {
      ASSERT_TRUE(vidmote.init());
      std::vector<uint8_t> frame(static_cast<size_t>(vidmote.frame_bytes()));
      int64_t asked = driver->now;
      ASSERT_GT(vidmote.capture(frame.data()), 0);
      const int64_t first_ns = driver->now - asked;
      if (c.in_dialog) vidmote.begin_dialog();
      driver->now += c.waited_ns;
      EXPECT_EQ(vidmote.release_if_idle(), c.let_go);
      if (c.in_dialog) vidmote.end_dialog();
      EXPECT_FALSE(vidmote.release_if_idle()) << "let go twice";
      const int64_t streamed_at = driver->streamed_at;
      asked = driver->now;
      ASSERT_GT(vidmote.capture(frame.data()), 0);
      EXPECT_EQ(driver->opens, c.let_go ? 2 : 1);
      if (c.let_go) {
        EXPECT_EQ(driver->streamed_at, asked);
        EXPECT_EQ(driver->now - asked, first_ns) << "settled as after start";
      } else {
        EXPECT_EQ(driver->streamed_at, streamed_at);
        EXPECT_LT(driver->now - asked, first_ns);
      }
    } catch (const std::exception& e) {
      ADD_FAILURE() << e.what();
    }
    EXPECT_EQ(::testing::internal::GetCapturedStderr(), "");
  }
}

// A camera that stands for one found at /dev/videoN, with its own driver.
std::unique_ptr<vidmote::FrameSource> camera_at_node(int number, const std::string& card) {
  auto driver = std::make_shared<Driver>();
  driver->card = card;
  return std::make_unique<vidmote::V4l2Camera>("/dev/video" + std::to_string(number), card,
                                               std::make_unique<FakeDevice>(driver));
}

// The dialog lists what is found as it opens; the source in use stays.
TEST(CameraFaults, TheDialogListsTheCamerasFoundAsItOpens) {
  using Nodes = std::vector<std::pair<int, std::string>>;
  const struct {
    const char* what;
    Nodes at_start, found;
    std::vector<std::string> listed;
    size_t active;
  } cases[] = {
      {"one plugged in",
       {{0, "Cam A"}},
       {{0, "Cam A"}, {2, "Cam B"}},
       {"Cam A (/dev/video0)", "Cam B (/dev/video2)", "Test card"},
       0},
      {"one gone",
       {{0, "Cam A"}, {2, "Cam B"}},
       {{0, "Cam A"}},
       {"Cam A (/dev/video0)", "Test card"},
       0},
      {"the one in use gone",
       {{0, "Cam A"}},
       {{2, "Cam B"}},
       {"Cam A (/dev/video0)", "Cam B (/dev/video2)", "Test card"},
       0},
      {"the first after the test card",
       {},
       {{4, "Cam C"}},
       {"Cam C (/dev/video4)", "Test card"},
       1},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    auto sources_of = [](const Nodes& nodes) {
      vidmote::Sources sources;
      for (const auto& [number, card] : nodes) sources.push_back(camera_at_node(number, card));
      sources.push_back(std::make_unique<vidmote::TestCardSource>());
      return sources;
    };
    vidmote::Vidmote vidmote(sources_of(c.at_start));
    vidmote.find_sources_with([&] { return sources_of(c.found); });
    ASSERT_TRUE(vidmote.init());
    std::vector<uint8_t> frame(static_cast<size_t>(vidmote.frame_bytes()));
    ASSERT_GT(vidmote.capture(frame.data()), 0);
    vidmote.begin_dialog();
    EXPECT_EQ(vidmote.source_names(), c.listed);
    EXPECT_EQ(vidmote.active_source(), c.active);
    EXPECT_GT(vidmote.capture(frame.data()), 0) << "the source in use was kept";
    EXPECT_TRUE(vidmote.select_source(c.listed.size() - 2));  // the last camera found
    vidmote.end_dialog();
    EXPECT_EQ(vidmote.active_source(), c.listed.size() - 2);
    EXPECT_GT(vidmote.capture(frame.data()), 0);
  }
}

}  // namespace
