// A PipeWire camera: opening its node, its stream, and a capture under the
// same frame rules as the V4L2 camera.
#include "pipewire_camera.h"

#include <errno.h>
#include <fcntl.h>
#include <linux/videodev2.h>
#include <spa/buffer/meta.h>
#include <spa/pod/builder.h>
#include <stdint.h>
#include <stdio.h>
#include <sys/ioctl.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>

#include "device_text.h"
#include "streamed_frame.h"
#include "v4l2_device.h"

namespace vidmote {

namespace {

const uint32_t kSettleKey = 2;
// A running PipeWire answers in milliseconds; a machine busy emulating one
// may take longer.
const int64_t kAnswerBound = 3 * kSecond;
// Frames kept while none is taken: the newest.
const size_t kKeptFrames = 4;

std::chrono::steady_clock::time_point time_point_of(int64_t monotonic) {
  return std::chrono::steady_clock::time_point(std::chrono::nanoseconds(monotonic));
}

int64_t interval_of(const PwMode& mode) {
  if (!mode.rate_num || !mode.rate_den) return 0;
  return std::min<int64_t>(int64_t{mode.rate_den} * kSecond / mode.rate_num, kLongestInterval);
}

// Whether a program streams from the V4L2 node: its buffers are taken.
bool v4l2_queue_busy(const std::string& path) {
  const int fd = ::open(path.c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return errno == EBUSY;
  v4l2_requestbuffers request = {};
  request.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
  request.memory = V4L2_MEMORY_MMAP;
  const bool busy = ioctl(fd, VIDIOC_REQBUFS, &request) != 0 && errno == EBUSY;
  ::close(fd);
  return busy;
}

}  // namespace

std::string holders_besides_pipewire(const std::string& holders) {
  std::string others;
  size_t from = 0;
  while (from < holders.size()) {
    size_t end = holders.find(", ", from);
    if (end == std::string::npos) end = holders.size();
    const std::string holder = holders.substr(from, end - from);
    if (holder.rfind("pipewire (", 0) != 0 && holder.rfind("wireplumber (", 0) != 0)
      others += (others.empty() ? "" : ", ") + holder;
    from = end + 2;
  }
  return others;
}

PipeWireCamera::PipeWireCamera(PwNode node)
    : node_(std::move(node)), settle_choice_(kDefaultSettle) {}

PipeWireCamera::~PipeWireCamera() {
  close();
}

std::string PipeWireCamera::name() const {
  return printable(node_.description + " (PipeWire)");
}

bool PipeWireCamera::open() {
  if (is_open()) return true;
  session_ = PwSession::connect(kAnswerBound);
  if (!session_) {
    failure_ = pipewire_library() ? "PipeWire is not running" : "PipeWire is not installed";
    return false;
  }
  // PipeWire cannot stream a V4L2 camera a plain V4L2 program streams: its
  // stream would stay paused.
  if (!node_.v4l2_path.empty() && v4l2_queue_busy(node_.v4l2_path)) {
    const std::string holders = processes_using(node_.v4l2_path);
    if (!holders.empty() && holders.find("pipewire (") == std::string::npos) {
      failure_ = busy_text(holders);
      session_.reset();
      return false;
    }
  }
  PwNode found;
  if (!session_->find_node(node_.name, monotonic_ns(), &found)) {
    failure_ = "PipeWire no longer offers it (unplugged?)";
    session_.reset();
    return false;
  }
  node_ = found;
  modes_ = session_->modes(node_.id, kAnswerBound);
  if (!choose_mode(modes_, wanted_, &mode_)) {
    std::string offered;
    for (const PwMode& mode : modes_)
      if (offered.find(format_name(mode)) == std::string::npos)
        offered += (offered.empty() ? "" : ", ") + format_name(mode);
    failure_ = offered.empty()
                   ? "PipeWire lists no frame format for it"
                   : "it offers only " + offered + " frames, which the plug-in cannot convert";
    session_.reset();
    return false;
  }
  size_ = mode_.largest;
  rate_.set_declared(interval_of(mode_));
  return true;
}

void PipeWireCamera::close() {
  stop_stream();
  session_.reset();
}

SizeAnswer PipeWireCamera::set_size(int32_t width, int32_t height) {
  if (width < 1 || height < 1 || static_cast<int64_t>(width) * height * 3 > INT32_MAX)
    return SizeAnswer::kRefused;
  wanted_ = {width, height};
  if (!is_open()) {
    size_ = wanted_;  // the node's modes decide at open
    return SizeAnswer::kExact;
  }
  PwMode chosen;
  if (!choose_mode(modes_, wanted_, &chosen)) return SizeAnswer::kRefused;
  if (chosen.largest.width != size_.width || chosen.largest.height != size_.height ||
      chosen.format != mode_.format || chosen.mjpeg != mode_.mjpeg) {
    stop_stream();  // the next capture asks for the new mode and settles
    mode_ = chosen;
    size_ = chosen.largest;
    rate_.set_declared(interval_of(mode_));
  }
  return size_.width == width && size_.height == height ? SizeAnswer::kExact : SizeAnswer::kNearest;
}

std::vector<FrameSize> PipeWireCamera::offered_sizes() const {
  std::vector<FrameSize> sizes;
  for (const PwMode& mode : modes_) {
    const FrameSize size = mode.largest;
    const bool listed = std::any_of(sizes.begin(), sizes.end(), [&](const FrameSize& other) {
      return other.width == size.width && other.height == size.height;
    });
    if (convertible(mode) && !listed) sizes.push_back(size);
  }
  if (sizes.empty()) return FrameSource::offered_sizes();
  std::sort(sizes.begin(), sizes.end(), [](const FrameSize& a, const FrameSize& b) {
    return int64_t{a.width} * a.height < int64_t{b.width} * b.height;
  });
  return sizes;
}

std::vector<SourceSetting> PipeWireCamera::settings() const {
  return {settle_setting(kSettleKey, settle_choice_)};
}

bool PipeWireCamera::choose_setting(uint32_t key, size_t choice) {
  if (key != kSettleKey || choice >= kSettleChoiceCount) return false;
  settle_choice_ = choice;
  return true;
}

// ---- The stream ----

bool PipeWireCamera::start_stream() {
  static pw_stream_events events = [] {
    pw_stream_events stream_events = {};
    stream_events.version = PW_VERSION_STREAM_EVENTS;
    stream_events.state_changed = on_state_changed;
    stream_events.param_changed = on_param_changed;
    stream_events.process = on_process;
    return stream_events;
  }();
  const PwLibrary& pw = session_->pw();
  {
    std::lock_guard<std::mutex> lock(session_->mutex());
    frames_.clear();
    state_ = PW_STREAM_STATE_CONNECTING;
    stream_error_.clear();
    negotiated_set_ = false;
  }
  // WirePlumber 0.4 links a video stream only with its media type given;
  // a stream never moves to another camera when its own goes.
  const spa_dict_item items[] = {
      {PW_KEY_MEDIA_TYPE, "Video"},    {PW_KEY_MEDIA_CATEGORY, "Capture"},
      {PW_KEY_MEDIA_ROLE, "Camera"},   {PW_KEY_TARGET_OBJECT, node_.name.c_str()},
      {"node.dont-reconnect", "true"}, {PW_KEY_APP_NAME, "vidmote"},
  };
  const spa_dict dict = SPA_DICT_INIT(items, sizeof items / sizeof items[0]);
  uint8_t buffer[1024];
  spa_pod_builder builder = SPA_POD_BUILDER_INIT(buffer, sizeof buffer);
  const spa_pod* params[1] = {format_param(&builder, mode_)};
  session_->lock();
  stream_ = pw.stream_new(session_->core(), "vidmote", pw.properties_new_dict(&dict));
  int result = -1;
  if (stream_) {
    pw.stream_add_listener(stream_, &stream_listener_, &events, this);
    result = pw.stream_connect(
        stream_, PW_DIRECTION_INPUT, node_.id,
        static_cast<pw_stream_flags>(PW_STREAM_FLAG_AUTOCONNECT | PW_STREAM_FLAG_MAP_BUFFERS |
                                     PW_STREAM_FLAG_DONT_RECONNECT),
        params, 1);
  }
  session_->unlock();
  if (result < 0) {
    stop_stream();
    why_ = "stream failed: PipeWire refused the stream";
    return false;
  }
  stamps_.restart();
  rate_.restart();
  latency_.stream_started(monotonic_ns());
  return true;
}

// A buffer's presentation time is the driver's stamp on the monotonic clock
// (taken, as V4L2's, at the frame's end); a frame is recorded as it comes,
// so its arrival is when it was ready.
int64_t PipeWireCamera::started_at(const Frame& frame) {
  rate_.frame(frame.arrived_ns);
  const int64_t interval = rate_.interval_ns();
  const FrameStamp stamp = {true, true, frame.pts_ns};
  const FrameArrival arrival = {frame.arrived_ns, true};
  const bool believed = frame.pts_ns >= 0 && stamps_.believe(stamp, arrival, interval);
  latency_.arrived(arrival, interval);
  if (believed) latency_.frame(stamp, arrival, interval);
  return frame_start_ns(stamp, believed, arrival, interval, latency_.latency_ns());
}

void PipeWireCamera::stop_stream() {
  if (!stream_) return;
  session_->lock();
  spa_hook_remove(&stream_listener_);
  session_->pw().stream_destroy(stream_);
  session_->unlock();
  stream_ = nullptr;
  std::lock_guard<std::mutex> lock(session_->mutex());
  frames_.clear();
}

void PipeWireCamera::on_state_changed(void* data, pw_stream_state /*old*/, pw_stream_state state,
                                      const char* error) {
  auto* camera = static_cast<PipeWireCamera*>(data);
  std::lock_guard<std::mutex> lock(camera->session_->mutex());
  camera->state_ = state;
  if (state == PW_STREAM_STATE_ERROR) camera->stream_error_ = error ? error : "unknown error";
  camera->session_->changed().notify_all();
}

void PipeWireCamera::on_param_changed(void* data, uint32_t id, const spa_pod* param) {
  auto* camera = static_cast<PipeWireCamera*>(data);
  const std::vector<PwMode> modes = modes_of_param(param);
  if (id != SPA_PARAM_Format || modes.empty()) return;
  std::lock_guard<std::mutex> lock(camera->session_->mutex());
  camera->negotiated_ = modes.front();
  camera->negotiated_set_ = true;
}

// Every buffer is copied out and given back at once, so the stream never
// runs dry while the program waits at its prompt.
void PipeWireCamera::on_process(void* data) {
  auto* camera = static_cast<PipeWireCamera*>(data);
  const PwLibrary& pw = camera->session_->pw();
  while (pw_buffer* buffer = pw.stream_dequeue_buffer(camera->stream_)) {
    Frame frame;
    frame.arrived_ns = monotonic_ns();
    const spa_buffer* spa = buffer->buffer;
    if (spa && spa->n_datas > 0 && spa->datas[0].data && spa->datas[0].chunk) {
      const spa_data& plane = spa->datas[0];
      const uint32_t offset = plane.maxsize ? plane.chunk->offset % plane.maxsize : 0;
      const uint32_t size = std::min(plane.chunk->size, plane.maxsize - offset);
      const uint8_t* bytes = static_cast<const uint8_t*>(plane.data) + offset;
      frame.bytes.assign(bytes, bytes + size);
      frame.stride = plane.chunk->stride > 0 ? static_cast<uint32_t>(plane.chunk->stride) : 0;
      frame.corrupted = (plane.chunk->flags & SPA_CHUNK_FLAG_CORRUPTED) != 0;
    }
    if (const auto* header = static_cast<const spa_meta_header*>(
            spa_buffer_find_meta_data(spa, SPA_META_Header, sizeof(spa_meta_header)))) {
      if (header->flags & SPA_META_HEADER_FLAG_CORRUPTED) frame.corrupted = true;
      if (header->pts > 0) frame.pts_ns = header->pts;
    }
    pw.stream_queue_buffer(camera->stream_, buffer);
    std::lock_guard<std::mutex> lock(camera->session_->mutex());
    if (camera->negotiated_set_) frame.size = camera->negotiated_.largest;
    camera->frames_.push_back(std::move(frame));
    if (camera->frames_.size() > kKeptFrames) camera->frames_.pop_front();
    camera->session_->changed().notify_all();
  }
}

// ---- A capture ----

PipeWireCamera::Wait PipeWireCamera::next_frame(int64_t deadline_ns, Frame* frame) {
  std::unique_lock<std::mutex> lock(session_->mutex());
  Wait wait = Wait::kTimeout;
  session_->changed().wait_until(lock, time_point_of(deadline_ns), [&] {
    if (!frames_.empty())
      wait = Wait::kFrame;
    else if (!session_->has_node_locked(node_.id))
      wait = Wait::kGone;
    else if (state_ == PW_STREAM_STATE_ERROR || state_ == PW_STREAM_STATE_UNCONNECTED)
      wait = Wait::kError;
    else
      return false;
    return true;
  });
  if (wait == Wait::kFrame) {
    *frame = std::move(frames_.front());
    frames_.pop_front();
  }
  return wait;
}

// The frame in the plug-in's own form, unless it is damaged: flagged
// corrupted, shorter than its size, or MJPEG cut short, of another size or
// losing picture data.
bool PipeWireCamera::usable(const Frame& frame, uint8_t* out, FrameTally* tally) {
  tally->jpeg = mode_.mjpeg;
  if (frame.corrupted) {
    ++tally->flagged;
    return false;
  }
  if (frame.size.width && (frame.size.width != size_.width || frame.size.height != size_.height)) {
    ++tally->other_size;
    return false;
  }
  StreamedFrames frames;
  if (!streamed_frames(mode_, frame.stride, &frames)) {
    ++tally->undecodable;
    return false;
  }
  return usable_streamed_frame(frame.bytes.data(), frame.bytes.size(), frames, &scratch_, out,
                               tally);
}

std::string PipeWireCamera::direct_holders() const {
  return node_.v4l2_path.empty() ? "" : holders_besides_pipewire(processes_using(node_.v4l2_path));
}

std::string PipeWireCamera::busy_text(const std::string& holders) const {
  const bool several =
      holders.find(", ") != std::string::npos || holders.find(" and ") != std::string::npos;
  return "busy: " + holders + (several ? " are" : " is") + " using " + node_.v4l2_path +
         " directly, so PipeWire cannot stream it; close " + (several ? "them" : "it");
}

std::string PipeWireCamera::no_frame_text(const FrameTally& tally, const char* when) {
  pw_stream_state state;
  {
    std::lock_guard<std::mutex> lock(session_->mutex());
    state = state_;
  }
  if (tally.arrived == 0 && state != PW_STREAM_STATE_STREAMING) {
    // A plain V4L2 program holding the camera leaves PipeWire's stream
    // paused, without an error.
    const std::string holders = direct_holders();
    if (!holders.empty()) return std::string("no frame in time") + when + ": " + busy_text(holders);
    return std::string("no frame in time") + when +
           ": PipeWire did not start the camera (another program may be using it)";
  }
  return tally.no_frame(when);
}

// Why a wait for a frame ended without one. PipeWire's stream of a camera
// a plain V4L2 program holds stays paused, or ends with an error: either
// way the holder is named where it can be seen.
std::string PipeWireCamera::wait_failure(Wait wait, const FrameTally& tally, const char* when) {
  if (wait == Wait::kTimeout) return no_frame_text(tally, when);
  if (wait == Wait::kGone) return "stream failed: the camera is gone (unplugged?)";
  const std::string holders = tally.arrived == 0 ? direct_holders() : "";
  if (!holders.empty()) return "stream failed: " + busy_text(holders);
  std::string error;
  {
    std::lock_guard<std::mutex> lock(session_->mutex());
    error = stream_error_;
  }
  return "stream failed: " + (error.empty() ? std::string("PipeWire ended the stream") : error);
}

// After the stream starts, frames are judged until the picture settles, as
// on V4L2 (PipeWire reports no exposure or gain: the brightness decides).
bool PipeWireCamera::settle(uint8_t* out, int64_t started_ns, bool* delivered) {
  const SettleChoice& choice = kSettleChoices[settle_choice_];
  const int64_t settle_from = monotonic_ns();
  PictureSettle picture;
  FrameTally tally;
  int64_t last_frame = settle_from;
  for (int skipped = 0;; ++skipped) {
    if (!choice.by_picture && !still_settling(skipped, choice.frames, monotonic_ns(),
                                              settle_from + choice.ms * kMillisecond))
      return true;
    const int64_t deadline =
        frame_timeout_ns(rate_.interval_ns()) + (choice.by_picture ? started_ns : last_frame);
    Frame frame;
    const Wait wait = next_frame(deadline, &frame);
    if (wait != Wait::kFrame) {
      gone_ = wait == Wait::kGone;
      why_ = wait_failure(wait, tally, " after starting");
      return false;
    }
    last_frame = frame.arrived_ns;
    started_at(frame);
    ++tally.arrived;
    if (!choice.by_picture || !usable(frame, out, &tally)) continue;
    picture.frame(last_frame, mean_brightness(out, size_.width, size_.height), 0, 0,
                  mean_colour(out, size_.width, size_.height));
    if (picture.settled() ||
        last_frame >= started_ns + picture_settle_cap_ns(rate_.interval_ns())) {
      *delivered = true;
      return true;
    }
  }
}

bool PipeWireCamera::capture_once(uint8_t* out) {
  gone_ = false;
  if (!is_open() || !out) return false;
  if (!stream_) {
    bool delivered = false;
    if (!start_stream() || !settle(out, monotonic_ns(), &delivered)) {
      stop_stream();
      return false;
    }
    if (delivered) return true;
  }
  const int64_t asked = monotonic_ns();
  const int64_t deadline = asked + frame_timeout_ns(rate_.interval_ns());
  {
    // Frames that came before the request began before it.
    std::lock_guard<std::mutex> lock(session_->mutex());
    frames_.clear();
  }
  // The frame in flight at the request may have begun before it: without
  // a stamp, the second one after it is the first sure to be fresh (no
  // buffers of the plug-in's own hold older ones).
  FrameTally tally;
  size_t arrived = 0;
  for (;;) {
    Frame frame;
    const Wait wait = next_frame(deadline, &frame);
    if (wait != Wait::kFrame) {
      gone_ = wait == Wait::kGone;
      why_ = wait_failure(wait, tally, "");
      stop_stream();
      return false;
    }
    ++tally.arrived;
    const CaptureFrame seen = {started_at(frame), ++arrived, false};
    if (!began_after_request(seen, 0, asked)) {
      ++tally.stale;
      continue;
    }
    if (usable(frame, out, &tally)) return true;
  }
}

// A node removed may come back (a camera plugged in again, PipeWire
// restarted): found again by its node name within a capture's bound.
bool PipeWireCamera::back_in_time() {
  const int64_t until = monotonic_ns() + frame_timeout_ns(rate_.interval_ns());
  stop_stream();
  session_.reset();
  while (monotonic_ns() < until) {
    session_ = PwSession::connect(kAnswerBound);
    PwNode found;
    if (session_ && session_->find_node(node_.name, until, &found)) {
      node_ = found;
      return true;
    }
    session_.reset();
    struct timespec pause = {0, 100 * 1000 * 1000};
    nanosleep(&pause, nullptr);
  }
  return false;
}

bool PipeWireCamera::capture(uint8_t* out) {
  if (capture_once(out)) return true;
  if (!gone_) {
    fprintf(stderr, "vidmote: %s: %s\n", name().c_str(), printable(why_).c_str());
    return false;
  }
  if (back_in_time() && capture_once(out)) {
    fprintf(stderr, "vidmote: %s: the camera was gone (unplugged?) and is back\n", name().c_str());
    return true;
  }
  fprintf(stderr, "vidmote: %s: stream failed: the camera is gone (unplugged?)\n", name().c_str());
  close();
  return false;
}

}  // namespace vidmote
