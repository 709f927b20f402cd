// A V4L2 video-capture device. It streams in the camera's own format;
// libv4lconvert turns whatever the camera sends (MJPEG, ...) into BGR24,
// the plug-in itself BGR24, RGB24 and YUYV. A node that captures through
// the multi-planar calls alone (rkisp1, camss, the i.MX8 ISI) streams
// through those, in a format the plug-in converts itself (NV12 in one
// plane or two, YUYV, GREY, BGR24, RGB24). Linux only.
//
// Streaming runs with mmap buffers from the first capture until the camera
// is closed or a setting that needs it stopped changes. After stream-on the
// first frames are skipped until the picture has settled (auto exposure),
// and again after any restart of the stream; every capture then hands back,
// unconverted, what the driver has queued and returns a frame that began
// after the capture was asked for (by its stamp, or by its arrival where the
// stamps cannot be believed), converting that frame alone. Damaged frames (flagged, short, MJPEG
// cut short or not decodable) are never delivered. Frame intervals are the ones the camera keeps,
// measured, when longer than it declares. A camera that stops delivering usable frames fails the
// capture after 3 s and two frame intervals, saying what arrived; an error that may pass restarts
// the stream once; a camera that disappears fails the capture at once and is closed.
#ifndef VIDMOTE_V4L2_CAMERA_H
#define VIDMOTE_V4L2_CAMERA_H

#include <linux/videodev2.h>

#include <memory>
#include <string>
#include <vector>

#include "frame_convert.h"
#include "frame_damage.h"
#include "frame_source.h"
#include "frame_timing.h"
#include "v4l2_device.h"

namespace vidmote {

// Who a camera is, whatever node it has now: the card name, the bus it is
// plugged into (for USB the port's path, kept when it is plugged back: two
// cameras of one model differ there), the device sysfs shows the node
// under (for USB the interface: a webcam's colour and infrared nodes share
// card and bus, not that) and the formats the node captures, in order.
struct CameraIdentity {
  std::string card, bus, interface;
  std::vector<uint32_t> formats;
  bool operator==(const CameraIdentity& other) const {
    return card == other.card && bus == other.bus && interface == other.interface &&
           formats == other.formats;
  }
};

// The identity of the node at path, open on device; caps as it answered.
CameraIdentity identity_of(V4l2Device& device, const std::string& path,
                           const v4l2_capability& caps);

// The node now serving that camera: the one named (a /dev/v4l/by-id link
// follows its camera), else the first video node with its identity; never
// one whose identity differs; "" for none.
std::string node_of_camera(V4l2Device& device, const std::string& named,
                           const CameraIdentity& camera);

class V4l2Camera : public FrameSource {
 public:
  // card: the name the device gave, shown until the camera is opened.
  V4l2Camera(std::string path, std::string card, std::unique_ptr<V4l2Device> device);
  ~V4l2Camera() override;
  V4l2Camera(const V4l2Camera&) = delete;
  V4l2Camera& operator=(const V4l2Camera&) = delete;

  // The card name and the device, e.g. "Webcam C270 (/dev/video0)"; the
  // device alone while the card is unknown.
  std::string name() const override;
  // The card name and the bus once opened: the same camera on any node.
  std::string identity() const override;
  // The node, as VIDMOTE_DEVICE names it.
  const std::string& path() const { return path_; }
  bool open() override;
  void close() override;
  bool is_open() const override { return open_; }
  std::string failure() const override { return failure_; }
  SizeAnswer set_size(int32_t width, int32_t height) override;
  FrameSize get_size() const override { return size_; }
  bool capture(uint8_t* frame) override;
  std::vector<FrameSize> offered_sizes() const override;

  // The camera format, the settle setting, then the camera's own controls.
  std::vector<SourceSetting> settings() const override;
  // Keys: the control's id; the two settings of the plug-in's own have keys
  // below every control id.
  bool choose_setting(uint32_t key, size_t choice) override;
  bool set_number(uint32_t key, int64_t value) override;

 private:
  struct Buffer {
    void* start;
    size_t length;
    void* chroma = nullptr;  // a second plane's, where frames come in two
    size_t chroma_length = 0;
  };
  struct Control {
    v4l2_queryctrl query;
    std::vector<uint32_t> menu_indices;  // menus: the driver's valid entries
    std::vector<std::string> menu_labels;
  };
  enum class Wait { kFrame, kTimeout, kError };

  int xioctl(unsigned long request, void* argument) const;
  std::string failure_text(int error) const;
  std::string no_format_text() const;
  static std::string error_text(int error);
  bool negotiate();
  bool negotiate_planes();
  bool multi_planar() const { return buf_type_ == V4L2_BUF_TYPE_VIDEO_CAPTURE_MPLANE; }
  // A buffer of the node's type, its planes (multi-planar) in planes_.
  v4l2_buffer new_buffer(uint32_t index);
  void pick_fastest_rate();
  bool start_streaming();
  void stop_streaming();
  void release_buffers();
  bool settle(uint8_t* frame, int64_t started_ns, bool* restarted, bool* delivered);
  Wait next_buffer(int64_t deadline_ns, v4l2_buffer* buffer);
  Wait next_frame(int64_t deadline_ns, v4l2_buffer* buffer, bool* restarted);
  void note_rate(const v4l2_buffer& buffer);
  bool requeue(v4l2_buffer* buffer);
  bool usable_frame(const v4l2_buffer& buffer, uint8_t* frame, FrameTally* tally);
  int64_t control_value(uint32_t id, ControlReads* reads);
  std::string stream_error(int error);
  void fail(const std::string& why);
  bool capture_once(uint8_t* frame);
  bool reopen_when_back();
  std::vector<Control> controls() const;
  std::vector<v4l2_fmtdesc> direct_formats() const;
  bool set_control(const Control& control, int32_t value);
  bool find_control(uint32_t id, Control* found) const;

  std::string path_;
  std::string card_;
  uint32_t buf_type_ = V4L2_BUF_TYPE_VIDEO_CAPTURE;  // or multi-planar, as the node captures
  uint32_t plane_count_ = 1;                         // of a multi-planar node's frames
  v4l2_plane planes_[VIDEO_MAX_PLANES] = {};         // of the buffer last dequeued
  CameraIdentity identity_;                          // as the camera was opened
  bool lost_ = false;  // the last capture failed as the camera was gone
  std::unique_ptr<V4l2Device> device_;
  bool open_ = false;
  std::string failure_ = "it cannot be opened";
  FrameSize wanted_ = {640, 480};  // as asked; the driver decides at open
  FrameSize size_ = {640, 480};    // in force
  uint32_t direct_format_ = 0;     // 0: chosen by libv4lconvert; else the camera's own
  uint32_t pixel_format_ = 0;      // as negotiated
  CameraFrameLayout layout_ = {0, 0, 0, PixelLayout::kBgr24};
  v4l2_pix_format source_ = {};               // the camera's frames, as negotiated
  v4l2_pix_format converted_ = {};            // libv4lconvert's BGR24; pixelformat 0 when unused
  v4l2_pix_format packed_source_ = {};        // the camera's frames as libv4lconvert gets them
  std::vector<FramePlane> padded_;            // their planes, when rows must be packed first
  std::vector<uint8_t> packed_;               // a frame with its rows packed
  std::vector<uint8_t> scratch_;              // libv4lconvert's frame, top row first
  FrameRate rate_;                            // declared by the driver, measured from its frames
  int64_t last_sequence_ = -1;                // of the last frame dequeued
  ControlReads exposure_reads_, gain_reads_;  // for settling
  StampTrust stamps_;                         // whether this stream's stamps are believed
  DeliveryLatency latency_;                   // from a frame's end to its buffer
  FrameArrival arrival_ = {};                 // of the last frame dequeued
  size_t settle_choice_;
  std::vector<Buffer> buffers_;
  bool streaming_ = false;
  std::string why_;    // why streaming could not start or settle
  bool gone_ = false;  // the last stream error said the camera is gone
};

// The numbers N of the entries named videoN among a folder's names (N from 0
// to 999), in number order: the order the cameras are tried in.
std::vector<int> video_node_numbers(const std::vector<std::string>& names);

// A node found under /dev: its number, the card's name and the formats it
// offers.
struct VideoNode {
  int number;
  std::string card;
  std::vector<uint32_t> formats;
};
// Whether a node offers greyscale alone: a laptop's infrared camera for face
// login, say.
bool offers_only_grey(const std::vector<uint32_t>& formats);
// The order the cameras are tried in, from nodes in number order: colour
// cameras first, then those that offer greyscale alone; each group keeps
// its order.
std::vector<VideoNode> in_default_order(std::vector<VideoNode> nodes);

}  // namespace vidmote

#endif  // VIDMOTE_V4L2_CAMERA_H
