#include "support/webcam.h"

#include <dirent.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>

#include "frame_convert.h"
#include "guest/uvc_picture.h"

std::string capture_node(const std::string& product) {
  std::string found;
  DIR* folder = opendir("/sys/class/video4linux");
  if (!folder) return found;
  while (dirent* entry = readdir(folder)) {
    const std::string base = std::string("/sys/class/video4linux/") + entry->d_name;
    if (entry->d_name[0] == '.' || !file_exists(base + "/name")) continue;
    if (read_file(base + "/name") == product + "\n" && read_file(base + "/index") == "0\n")
      found = std::string("/dev/") + entry->d_name;
  }
  closedir(folder);
  return found;
}

std::string kernel_log() {
  std::string text;
  if (FILE* dmesg = popen("dmesg | tail -n 12", "r")) {
    char line[256];
    while (fgets(line, sizeof line, dmesg)) text += line;
    pclose(dmesg);
  }
  return text;
}

Webcam::Webcam(const std::vector<std::string>& choices) : log_(folder_.file("webcam.log")) {
  std::vector<std::string> args = {UVC_WEBCAM_PATH, "--log", log_};
  args.insert(args.end(), choices.begin(), choices.end());
  pid_ = fork();
  if (pid_ == 0) {
    std::vector<char*> argv;
    for (std::string& arg : args) argv.push_back(&arg[0]);
    argv.push_back(nullptr);
    execv(argv[0], argv.data());
    _exit(127);
  }
  within(kWebcamStepSeconds, [this] { return !(device_ = capture_node(kWebcamProduct)).empty(); });
}

Webcam::~Webcam() {
  if (pid_ > 0) {
    kill(pid_, SIGTERM);
    waitpid(pid_, nullptr, 0);
  }
  within(kWebcamStepSeconds, [] { return capture_node(kWebcamProduct).empty(); });
}

void Webcam::unplug() const {
  kill(pid_, SIGUSR1);
}

namespace {

int green_of(const void* picture, int x, int t) {
  return static_cast<const Picture*>(picture)->at(x, t)[1];
}

// The webcam's frame of that phase as the plug-in's YUYV reader makes it.
std::vector<uint8_t> expected_yuyv(int width, int height, int phase, int offset) {
  std::vector<uint8_t> yuyv(static_cast<size_t>(width) * height * 2), bgr(yuyv.size() / 2 * 3);
  uvc_picture_yuyv(yuyv.data(), width, height, phase, offset);
  const vidmote::CameraFrameLayout layout = {width, height, 0, vidmote::PixelLayout::kYuyv};
  vidmote::convert_to_bottom_up_bgr(yuyv.data(), yuyv.size(), layout, bgr.data());
  return bgr;
}

// The webcam's JPEG of that phase as libjpeg decodes it.
std::vector<uint8_t> expected_jpeg(int width, int height, int phase, int offset, bool benign) {
  std::vector<uint8_t> jpeg(static_cast<size_t>(width) * height * 2);
  jpeg.resize(uvc_picture_jpeg(jpeg.data(), jpeg.size(), width, height, phase, offset, benign));
  jpeg_decompress_struct decoder;
  jpeg_error_mgr errors;
  decoder.err = jpeg_std_error(&errors);
  jpeg_create_decompress(&decoder);
  jpeg_mem_src(&decoder, jpeg.data(), jpeg.size());
  jpeg_read_header(&decoder, TRUE);
  decoder.dct_method = JDCT_ISLOW;
  jpeg_start_decompress(&decoder);
  std::vector<uint8_t> bgr(static_cast<size_t>(width) * height * 3), row(width * 3);
  for (int t = 0; t < height; ++t) {
    JSAMPROW rows[1] = {row.data()};
    jpeg_read_scanlines(&decoder, rows, 1);
    uint8_t* out = &bgr[3 * static_cast<size_t>(height - 1 - t) * width];
    for (int x = 0; x < width; ++x)
      out[3 * x] = row[3 * x + 2], out[3 * x + 1] = row[3 * x + 1], out[3 * x + 2] = row[3 * x];
  }
  jpeg_finish_decompress(&decoder);
  jpeg_destroy_decompress(&decoder);
  return bgr;
}

}  // namespace

int busy_levels(const std::vector<std::string>& choices) {
  for (size_t i = 0; i + 1 < choices.size(); ++i)
    if (choices[i] == "--busy") return atoi(choices[i + 1].c_str());
  return 0;
}

::testing::AssertionResult is_a_webcam_frame(const Picture& got, bool mjpeg, bool benign,
                                             int tolerance, int busy) {
  if (got.width != 640 || got.height != 480)
    return ::testing::AssertionFailure() << "picture " << got.width << "x" << got.height;
  const int phase = uvc_picture_phase(green_of, &got, got.width, got.height);
  if (phase < 0) return ::testing::AssertionFailure() << "no frame band at the top";
  const int offset = busy > 0 ? uvc_busy_offset(phase, busy) : 0;
  const std::vector<uint8_t> want =
      mjpeg ? expected_jpeg(got.width, got.height, phase, offset, benign)
            : expected_yuyv(got.width, got.height, phase, offset);
  // The first pixel off, and how far off the farthest is (what a tolerance
  // must allow).
  size_t first = want.size();
  int largest = 0;
  for (size_t i = 0; i < want.size(); ++i) {
    const int off = abs(got.bgr[i] - want[i]);
    if (off > tolerance && first == want.size()) first = i;
    largest = std::max(largest, off);
  }
  if (first == want.size()) return ::testing::AssertionSuccess();
  const size_t pixel = first / 3;
  return ::testing::AssertionFailure()
         << "frame " << phase << ": pixel x " << pixel % got.width << ", t "
         << got.height - 1 - static_cast<int>(pixel / got.width) << " channel " << first % 3
         << " is " << int(got.bgr[first]) << ", want " << int(want[first])
         << "; the largest difference is " << largest;
}
