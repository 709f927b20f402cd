// The emulated USB webcam (tests/guest/uvc_webcam.c), driven by the kernel's
// uvcvideo in the test guest booted with GUEST_USB=1, and the checks of a
// saved picture against the webcam's known frames (tests/guest/uvc_picture.h).
#ifndef SUPPORT_WEBCAM_H
#define SUPPORT_WEBCAM_H

#include <gtest/gtest.h>
#include <sys/types.h>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "support/files.h"

const int kWebcamStepSeconds = 90;  // TCG is slow: generous bounds, still never a hang
const char kWebcamProduct[] = "UVC Test Camera";

// The capture node uvcvideo made for a camera of that name, "" for none.
std::string capture_node(const std::string& product);
// The kernel's last messages, for a failure's report.
std::string kernel_log();

// Polls for what, up to seconds.
template <typename Check>
bool within(int seconds, Check what) {
  for (int tenth = 0; tenth < seconds * 10; ++tenth) {
    if (what()) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
  return what();
}

// The webcam, plugged in with the given command-line choices (and waited
// for) and unplugged when this goes away.
class Webcam {
 public:
  explicit Webcam(const std::vector<std::string>& choices);
  ~Webcam();
  Webcam(const Webcam&) = delete;
  Webcam& operator=(const Webcam&) = delete;
  const std::string& device() const { return device_; }
  std::string log() const { return file_exists(log_) ? read_file(log_) : ""; }
  void unplug() const;

 private:
  ScratchDir folder_;
  std::string log_;
  pid_t pid_ = -1;
  std::string device_;
};

// The swing of a busy scene the webcam was told of (--busy), 0 for none.
int busy_levels(const std::vector<std::string>& choices);

// The picture is the webcam's 640 x 480 frame (the one its band names, of a
// busy scene's brightness at that frame), every channel of every pixel
// within tolerance of the frame as the plug-in's YUYV reader makes it, or
// (mjpeg) as libjpeg decodes it.
::testing::AssertionResult is_a_webcam_frame(const Picture& got, bool mjpeg, bool benign,
                                             int tolerance, int busy = 0);

#endif  // SUPPORT_WEBCAM_H
