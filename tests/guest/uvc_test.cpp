// The console with the default plug-in against the kernel's uvcvideo, the
// driver of real webcams, driving the emulated USB webcam (uvc_webcam.c).
// Runs inside the test guest booted with GUEST_USB=1 (run-guest.sh). Each
// case plugs in a webcam with its own choices and unplugs it at the end.
// The picture of each frame is known (uvc_picture.h), so a saved BMP is
// checked against the very frame it came from.
#include <dirent.h>
#include <errno.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "frame_convert.h"
#include "guest/uvc_picture.h"
#include "program_runner.h"
#include "support/console_texts.h"
#include "support/files.h"

namespace {

const int kStepSeconds = 90;  // TCG is slow: generous bounds, still never a hang
const char kProduct[] = "UVC Test Camera";

// ---- The webcam ----

// The capture node uvcvideo made for a camera of that name, "" for none.
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

// The kernel's last messages, for a failure's report.
std::string kernel_log() {
  std::string text;
  if (FILE* dmesg = popen("dmesg | tail -n 12", "r")) {
    char line[256];
    while (fgets(line, sizeof line, dmesg)) text += line;
    pclose(dmesg);
  }
  return text;
}

// Polls for what, up to seconds.
template <typename Check>
bool within(int seconds, Check what) {
  for (int tenth = 0; tenth < seconds * 10; ++tenth) {
    if (what()) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
  return what();
}

class Webcam {
 public:
  explicit Webcam(const std::vector<std::string>& choices) : log_(folder_.file("webcam.log")) {
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
    within(kStepSeconds, [this] { return !(device_ = capture_node(kProduct)).empty(); });
  }
  ~Webcam() {
    if (pid_ > 0) {
      kill(pid_, SIGTERM);
      waitpid(pid_, nullptr, 0);
    }
    within(kStepSeconds, [] { return capture_node(kProduct).empty(); });
  }
  const std::string& device() const { return device_; }
  std::string log() const { return file_exists(log_) ? read_file(log_) : ""; }
  void unplug() const { kill(pid_, SIGUSR1); }

 private:
  ScratchDir folder_;
  std::string log_;
  pid_t pid_ = -1;
  std::string device_;
};

// ---- Saved pictures ----

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

// The swing of a busy scene the webcam was told of (--busy), 0 for none.
int busy_levels(const std::vector<std::string>& choices) {
  for (size_t i = 0; i + 1 < choices.size(); ++i)
    if (choices[i] == "--busy") return atoi(choices[i + 1].c_str());
  return 0;
}

// The picture is the webcam's frame (the one its band names, of a busy
// scene's brightness at that frame), every channel of every pixel within
// tolerance.
::testing::AssertionResult is_a_webcam_frame(const Picture& got, bool mjpeg, bool benign,
                                             int tolerance, int busy = 0) {
  if (got.width != 640 || got.height != 480)
    return ::testing::AssertionFailure() << "picture " << got.width << "x" << got.height;
  const int phase = uvc_picture_phase(green_of, &got, got.width, got.height);
  if (phase < 0) return ::testing::AssertionFailure() << "no frame band at the top";
  const int offset = busy > 0 ? uvc_busy_offset(phase, busy) : 0;
  const std::vector<uint8_t> want =
      mjpeg ? expected_jpeg(got.width, got.height, phase, offset, benign)
            : expected_yuyv(got.width, got.height, phase, offset);
  for (size_t i = 0; i < want.size(); ++i) {
    if (abs(got.bgr[i] - want[i]) > tolerance) {
      const size_t pixel = i / 3;
      return ::testing::AssertionFailure()
             << "frame " << phase << ": pixel x " << pixel % got.width << ", t "
             << got.height - 1 - static_cast<int>(pixel / got.width) << " channel " << i % 3
             << " is " << int(got.bgr[i]) << ", want " << int(want[i]);
    }
  }
  return ::testing::AssertionSuccess();
}

// ---- The program ----

class Console : public InteractiveRun {
 public:
  explicit Console(const ScratchDir& folder) : InteractiveRun(folder.path(), options()) {}
  bool capture() {
    type("\n");
    return expect_output(kPrompt);
  }
  // Opens the dialog, picks the entry holding entry, types answer (a
  // choice's text is looked up in the next menu), and closes the dialog.
  ::testing::AssertionResult in_dialog(const std::string& entry, const std::string& choice,
                                       const std::string& value) {
    type("s\n");
    if (!expect_terminal("Choice (Enter: done): "))
      return ::testing::AssertionFailure() << "no dialog\n" << terminal();
    const int item = menu_number(terminal_since_last(), ") " + entry);
    if (item <= 0) return ::testing::AssertionFailure() << entry << " not in\n" << terminal();
    type_on_terminal(std::to_string(item) + "\n");
    if (!choice.empty()) {
      if (!expect_terminal("Choice: ")) return ::testing::AssertionFailure() << terminal();
      const int picked = menu_number(terminal_since_last(), ") " + choice);
      if (picked <= 0) return ::testing::AssertionFailure() << choice << " not in\n" << terminal();
      type_on_terminal(std::to_string(picked) + "\n");
    } else {
      if (!expect_terminal("empty line: back): "))
        return ::testing::AssertionFailure() << terminal();
      type_on_terminal(value + "\n");
    }
    if (!expect_terminal("Choice (Enter: done): "))
      return ::testing::AssertionFailure() << terminal();
    type_on_terminal("\n");
    if (!expect_terminal("Settings closed.") || !expect_output(kPrompt))
      return ::testing::AssertionFailure() << terminal();
    return ::testing::AssertionSuccess();
  }

 private:
  static int menu_number(const std::string& menu, const std::string& text) {
    size_t at = menu.rfind(text);
    if (at == std::string::npos) return -1;
    size_t line = menu.rfind('\n', at);
    line = line == std::string::npos ? 0 : line + 1;
    return atoi(menu.c_str() + line);
  }
  static RunOptions options() {
    RunOptions options;
    options.plugin = "";  // the default plug-in, beside the program
    options.timeout_seconds = kStepSeconds;
    return options;
  }
};

std::string bmp_name(int number) {
  char name[16];
  snprintf(name, sizeof name, "R%05d.bmp", number);
  return name;
}

TEST(UvcWebcam, CapturesAreTheWebcamsFrames) {
  const struct {
    const char* what;
    std::vector<std::string> choices;
    const char* format;  // picked in the dialog; "" for the plug-in's own choice
    bool mjpeg, benign;
    int tolerance;
  } cases[] = {
      {"YUYV read directly", {"--formats", "yuyv"}, "YUYV 4:2:2, read directly", false, false, 0},
      {"YUYV, fed slower than declared",
       {"--formats", "yuyv", "--feed-fps", "4"},
       "YUYV 4:2:2, read directly",
       false,
       false,
       0},
      {"YUYV, every 3rd frame cut short",
       {"--formats", "yuyv", "--cut-every", "3"},
       "YUYV 4:2:2, read directly",
       false,
       false,
       0},
      {"YUYV, every 3rd frame stopped",
       {"--formats", "yuyv", "--stop-every", "3"},
       "YUYV 4:2:2, read directly",
       false,
       false,
       0},
      // Brightening from dark over 12 frames, like auto exposure: the frame
      // saved is of the settled picture (within a level or two).
      {"YUYV, brightness converging",
       {"--formats", "yuyv", "--converge-frames", "12"},
       "YUYV 4:2:2, read directly",
       false,
       false,
       3},
      // libv4lconvert's decoder rounds its own way.
      {"MJPEG only", {"--formats", "mjpeg"}, "", true, false, 8},
      {"MJPEG with extraneous bytes and bytes after its end",
       {"--formats", "mjpeg", "--benign-mjpeg"},
       "",
       true,
       true,
       8},
      {"MJPEG, every 2nd frame cut short",
       {"--formats", "mjpeg", "--cut-every", "2"},
       "",
       true,
       false,
       8},
      // A busy scene whose brightness never holds still: the picture is
      // taken at the settle cap, and the frame after a cut one still comes
      // within the capture's bound.
      {"MJPEG only, busy, every 4th frame cut short",
       {"--formats", "mjpeg", "--busy", "48", "--cut-every", "4"},
       "",
       true,
       false,
       8},
      {"YUYV, busy, every 4th frame cut short",
       {"--formats", "yuyv", "--busy", "48", "--cut-every", "4"},
       "YUYV 4:2:2, read directly",
       false,
       false,
       0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    Webcam webcam(c.choices);
    ASSERT_NE(webcam.device(), "") << "the webcam did not appear";
    ScratchDir out;
    Console console(out);
    console.type("200\n");
    ASSERT_TRUE(console.expect_output(kPrompt)) << console.output() << console.errors();
    EXPECT_NE(console.output().find(kProduct), std::string::npos) << console.output();
    int number = 0;
    if (*c.format) {
      EXPECT_TRUE(console.in_dialog("Camera format", c.format, ""));
      ++number;
    }
    if (!console.capture()) {
      ADD_FAILURE() << "the capture did not finish\n"
                    << console.output() << console.errors() << "webcam:\n"
                    << webcam.log() << kernel_log();
      continue;
    }
    EXPECT_TRUE(is_a_webcam_frame(read_bmp(out.file(bmp_name(number))), c.mjpeg, c.benign,
                                  c.tolerance, busy_levels(c.choices)));
    console.type("q\n");
    EXPECT_EQ(console.wait_exit(), 0) << console.errors();
  }
}

TEST(UvcWebcam, ListCamerasShowsTheDriverFormatsAndAnsweredControls) {
  Webcam webcam({});
  ASSERT_NE(webcam.device(), "");
  ScratchDir folder;
  RunOptions options;
  options.program = LIST_CAMERAS_PATH;
  options.plugin = "";
  options.timeout_seconds = kStepSeconds;
  const RunResult listed = run_program(folder.path(), options);
  EXPECT_EQ(listed.status, 0) << listed.err;
  const std::string& out = listed.out;
  ASSERT_EQ(out.rfind(webcam.device() + ": " + kProduct + "\n", 0), 0u) << out;
  for (const char* line :
       {"  driver: uvcvideo\n", "  plug-in: used by default\n", "    YUYV: YUYV 4:2:2",
        "    MJPG: ", "      640x480: ", "      320x240: ",
        "    Brightness: integer, 0 to 255, step 1, default 128, current 128\n",
        "    Gain: integer, 0 to 100, step 1, default 0, current 0\n", "    Power Line Frequency: ",
        "    Exposure Time, Absolute: integer, 1 to 5000, step 1, default 333"})
    EXPECT_NE(out.find(line), std::string::npos) << line << "\n" << out;
  // The control the webcam stalls is left out.
  EXPECT_EQ(out.find("Contrast"), std::string::npos) << out;
}

TEST(UvcWebcam, TheSettingsDialogSetsTheWebcamsOwnControl) {
  Webcam webcam({"--formats", "yuyv"});
  ASSERT_NE(webcam.device(), "");
  ScratchDir out;
  Console console(out);
  console.type("200\n");
  ASSERT_TRUE(console.expect_output(kPrompt)) << console.output() << console.errors();
  EXPECT_TRUE(console.in_dialog("Brightness", "", "150"));
  EXPECT_TRUE(within(kStepSeconds, [&] {
    return webcam.log().find("SET_CUR brightness 150\n") != std::string::npos;
  })) << webcam.log();
  EXPECT_TRUE(console.in_dialog("Power Line Frequency", "60 Hz", ""));
  EXPECT_TRUE(within(kStepSeconds, [&] {
    return webcam.log().find("SET_CUR power_line_frequency 2\n") != std::string::npos;
  })) << webcam.log();
  console.type("q\n");
  EXPECT_EQ(console.wait_exit(), 0) << console.errors();
}

TEST(UvcWebcam, AnUnpluggedWebcamFailsTheCaptureCleanly) {
  Webcam webcam({"--formats", "yuyv"});
  ASSERT_NE(webcam.device(), "");
  ScratchDir out;
  Console console(out);
  console.type("200\n\n");
  ASSERT_TRUE(console.expect_output(kPrompt));
  ASSERT_TRUE(console.expect_output(kPrompt))  // one good capture
      << console.errors() << webcam.log() << kernel_log();
  webcam.unplug();
  ASSERT_TRUE(within(kStepSeconds, [] { return capture_node(kProduct).empty(); }));
  console.type("\n");
  EXPECT_EQ(console.wait_exit(), 255) << console.output() << console.errors();
  const std::string& text = console.output();
  EXPECT_EQ(text.substr(text.size() - std::min(text.size(), kCaptureFailed.size())),
            kCaptureFailed);
  EXPECT_NE(console.errors().find("the camera is gone"), std::string::npos) << console.errors();
}

TEST(UvcWebcam, AWebcamPluggedBackBetweenCapturesIsFoundAgain) {
  Webcam webcam({"--formats", "yuyv", "--replug-after", "1"});
  ASSERT_NE(webcam.device(), "");
  ScratchDir out;
  Console console(out);
  console.type("200\n");
  ASSERT_TRUE(console.expect_output(kPrompt)) << console.errors();
  EXPECT_TRUE(console.in_dialog("Camera format", "YUYV 4:2:2, read directly", ""));
  ASSERT_TRUE(console.capture()) << console.errors() << webcam.log() << kernel_log();
  webcam.unplug();
  ASSERT_TRUE(within(kStepSeconds, [] { return capture_node(kProduct).empty(); }));
  ASSERT_TRUE(within(kStepSeconds, [] { return !capture_node(kProduct).empty(); }));
  ASSERT_TRUE(console.capture()) << console.output() << console.errors() << webcam.log()
                                 << kernel_log();
  // The format chosen before holds after.
  EXPECT_TRUE(is_a_webcam_frame(read_bmp(out.file(bmp_name(2))), false, false, 0));
  EXPECT_NE(console.errors().find("the camera was gone (unplugged?) and is back as /dev/video"),
            std::string::npos)
      << console.errors();
  console.type("q\n");
  EXPECT_EQ(console.wait_exit(), 0) << console.errors();
}

}  // namespace
