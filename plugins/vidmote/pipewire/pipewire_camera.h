// A camera PipeWire offers, captured through a pw_stream: a V4L2 camera
// PipeWire holds for another program (the stream is shared with it), or a
// libcamera camera, which has no V4L2 node a plain program can stream.
//
// The same frame rules as the V4L2 camera: after the stream starts, frames
// are judged until the picture is steady; a capture takes a frame begun
// after it was asked for (by the buffer's presentation time while it can be
// believed, else by arrival); a damaged frame (flagged corrupted, short,
// MJPEG cut short or not decodable) is never delivered; every capture ends
// within 3 s and two frame intervals. A stream left paused (a plain V4L2
// program holds the camera) fails in that bound, naming the holder; a node
// that is removed is "gone" and is found again, by its node name, if it
// comes back in time.
#ifndef VIDMOTE_PIPEWIRE_CAMERA_H
#define VIDMOTE_PIPEWIRE_CAMERA_H

#include <deque>
#include <memory>
#include <string>
#include <vector>

#include "frame_damage.h"
#include "frame_source.h"
#include "frame_timing.h"
#include "pw_nodes.h"
#include "pw_session.h"

namespace vidmote {

class PipeWireCamera : public FrameSource {
 public:
  explicit PipeWireCamera(PwNode node);
  ~PipeWireCamera() override;
  PipeWireCamera(const PipeWireCamera&) = delete;
  PipeWireCamera& operator=(const PipeWireCamera&) = delete;

  // "vivid (PipeWire)": its description.
  std::string name() const override;
  const PwNode& node() const { return node_; }
  bool open() override;
  void close() override;
  bool is_open() const override { return session_ != nullptr; }
  std::string failure() const override { return failure_; }
  SizeAnswer set_size(int32_t width, int32_t height) override;
  FrameSize get_size() const override { return size_; }
  bool capture(uint8_t* frame) override;
  std::vector<FrameSize> offered_sizes() const override;
  std::vector<SourceSetting> settings() const override;
  bool choose_setting(uint32_t key, size_t choice) override;
  // The modes the node offered when it was opened.
  const std::vector<PwMode>& modes() const { return modes_; }

 private:
  // One frame as it came, copied out of PipeWire's buffer.
  struct Frame {
    std::vector<uint8_t> bytes;
    uint32_t stride = 0;
    bool corrupted = false;
    int64_t pts_ns = -1;  // -1: none given
    int64_t arrived_ns = 0;
    FrameSize size = {0, 0};  // as negotiated; 0 x 0 before PipeWire said
  };
  enum class Wait { kFrame, kTimeout, kGone, kError };

  bool start_stream();
  // Measures the rate by the frame, weighs its stamp and the latency, and
  // gives when it began (INT64_MIN when nothing tells).
  int64_t started_at(const Frame& frame);
  void stop_stream();
  Wait next_frame(int64_t deadline_ns, Frame* frame);
  bool usable(const Frame& frame, uint8_t* out, FrameTally* tally);
  bool settle(uint8_t* out, int64_t started_ns, bool* delivered);
  bool capture_once(uint8_t* out);
  bool back_in_time();
  // The processes other than PipeWire's holding the V4L2 node it streams.
  std::string direct_holders() const;
  std::string busy_text(const std::string& holders) const;
  std::string wait_failure(Wait wait, const FrameTally& tally, const char* when);
  std::string no_frame_text(const FrameTally& tally, const char* when);

  static void on_state_changed(void* data, pw_stream_state old, pw_stream_state state,
                               const char* error);
  static void on_param_changed(void* data, uint32_t id, const spa_pod* param);
  static void on_process(void* data);

  PwNode node_;
  std::unique_ptr<PwSession> session_;
  std::string failure_ = "it cannot be opened";
  std::vector<PwMode> modes_;
  PwMode mode_;                    // asked of the stream
  FrameSize wanted_ = {640, 480};  // as asked; the node's modes decide at open
  FrameSize size_ = {640, 480};    // in force
  size_t settle_choice_;
  FrameRate rate_;
  StampTrust stamps_;
  DeliveryLatency latency_;
  std::vector<uint8_t> scratch_;
  std::string why_;    // why the last capture failed
  bool gone_ = false;  // the last wait found the node removed

  pw_stream* stream_ = nullptr;
  spa_hook stream_listener_ = {};
  // Recorded by PipeWire's thread, under the session's mutex.
  std::deque<Frame> frames_;
  pw_stream_state state_ = PW_STREAM_STATE_UNCONNECTED;
  std::string stream_error_;
  PwMode negotiated_;
  bool negotiated_set_ = false;
};

// The holders of a device that are not PipeWire's own processes, from
// processes_using's text ("pipewire (pid 7), cheese (pid 42)"): "cheese
// (pid 42)"; "" when PipeWire alone holds it.
std::string holders_besides_pipewire(const std::string& holders);

}  // namespace vidmote

#endif  // VIDMOTE_PIPEWIRE_CAMERA_H
