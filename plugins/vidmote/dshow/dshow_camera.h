// A DirectShow video input device (Windows). The graph is the camera's
// capture pin, a sample grabber and a null renderer. Where the camera offers
// YUY2 or MJPEG at the size chosen, the grabber takes those frames as they
// are, and they are judged as on Linux: one shorter than its size, or MJPEG
// cut short, of another size or losing picture data, is counted, never
// delivered. Any other format Windows' own filters turn into 24-bit RGB. The
// grabber's callback keeps the latest frame; a capture takes one that
// arrived after it was asked for.
//
// The graph runs from the first capture until the camera is closed or its
// size changes. After it starts, frames are skipped until the picture has
// settled, by the same rule as on Linux (brightness without trend, exposure
// and gain as hints); a capture then waits for the second frame that arrives
// after the request (the first may have begun before it). Frame intervals
// are the ones the camera keeps, measured as frames arrive, when longer than
// it declares. A camera that stops delivering fails the capture after 3 s
// and two frame intervals; one that Windows reports lost (unplugged), or no
// longer lists once its frames stop, fails it at once and is closed.
// Either way the reason goes to standard error.
#ifndef VIDMOTE_DSHOW_CAMERA_H
#define VIDMOTE_DSHOW_CAMERA_H

#include <memory>
#include <string>
#include <vector>

#include "frame_source.h"

namespace vidmote {

class DshowCamera : public FrameSource {
 public:
  // display_name: the device moniker's display name, which finds it again;
  // friendly_name: what Windows calls the camera; device_path: the moniker's
  // DevicePath, which tells two cameras of the same name apart (may be empty).
  DshowCamera(std::wstring display_name, std::wstring friendly_name,
              std::wstring device_path = std::wstring());
  ~DshowCamera() override;
  DshowCamera(const DshowCamera&) = delete;
  DshowCamera& operator=(const DshowCamera&) = delete;

  // The friendly name in the system's ANSI code page, as the host gets it.
  std::string name() const override { return friendly_name_; }
  std::wstring wide_name() const { return wide_name_; }
  std::wstring device_path() const { return device_path_; }
  // The moniker's display name, as given.
  const std::wstring& display_name() const { return display_name_; }
  bool open() override;
  void close() override;
  bool is_open() const override;
  std::string failure() const override { return failure_; }
  SizeAnswer set_size(int32_t width, int32_t height) override;
  FrameSize get_size() const override { return size_; }
  bool capture(uint8_t* frame) override;
  std::vector<FrameSize> offered_sizes() const override;

  // The settle setting, then the camera's video processing and camera
  // controls.
  std::vector<SourceSetting> settings() const override;
  bool choose_setting(uint32_t key, size_t choice) override;
  bool set_number(uint32_t key, int64_t value) override;

  struct Graph;  // the COM objects of an open camera

 private:
  bool build_graph();
  bool start(uint8_t* frame, bool* delivered);
  bool take_frame(uint8_t* frame);
  bool wait_frames(uint64_t after, int64_t deadline_ns, uint64_t* sequence);
  bool device_lost();
  bool still_listed() const;
  void fail(const std::string& why, bool camera_gone = false);

  std::wstring display_name_;
  std::wstring wide_name_;
  std::wstring device_path_;
  std::string friendly_name_;
  std::unique_ptr<Graph> graph_;
  std::string failure_ = "it cannot be opened";
  FrameSize wanted_ = {640, 480};
  FrameSize size_ = {640, 480};
  size_t settle_choice_;
};

// The machine's video input devices, in the order Windows lists them, each
// with its friendly name and device path (for a listing, or to find one).
std::vector<std::unique_ptr<DshowCamera>> dshow_cameras();

}  // namespace vidmote

#endif  // VIDMOTE_DSHOW_CAMERA_H
