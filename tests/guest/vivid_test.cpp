// The console with the default plug-in against the kernel's vivid virtual
// camera. Runs inside the test guest (tests/guest/run-guest.sh), where vivid
// is loaded as one webcam, /dev/video0. The test sets vivid's own controls
// (patterns, fault injection) directly on the device while the program runs.
//
// The disconnect test removes the camera for good, so it comes last; the
// PipeWire cases (PipeWire and WirePlumber started for each, in front of
// vivid, as a desktop runs them) come first.
#include <errno.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <linux/videodev2.h>
#include <stdlib.h>
#include <string.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <cstdio>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "program_runner.h"
#include "support/camera_controls.h"
#include "support/console_texts.h"
#include "support/files.h"
#include "support/pipewire_daemons.h"

namespace {

const char kDevice[] = "/dev/video0";
// TCG is slow: generous bounds, still never a hang.
const int kStepSeconds = 60;

struct Bgr {
  int b, g, r;
  bool operator==(const Bgr& o) const { return b == o.b && g == o.g && r == o.r; }
};
std::ostream& operator<<(std::ostream& out, const Bgr& p) {
  return out << "(B " << p.b << ", G " << p.g << ", R " << p.r << ")";
}

const Bgr kWhite{255, 255, 255}, kYellow{0, 255, 255}, kCyan{255, 255, 0}, kGreen{0, 255, 0},
    kMagenta{255, 0, 255}, kRed{0, 0, 255}, kBlue{255, 0, 0}, kBlack{0, 0, 0};
// vivid's colour bars, left to right or top to bottom.
const Bgr kBars[8] = {kWhite, kYellow, kCyan, kGreen, kMagenta, kRed, kBlue, kBlack};

// ---- vivid's controls, set straight on the device ----

class Vivid {
 public:
  Vivid() : fd_(open(kDevice, O_RDWR | O_NONBLOCK)) {}
  ~Vivid() {
    if (fd_ >= 0) close(fd_);
  }
  bool present() const { return fd_ >= 0; }

  // "Test Pattern" and "test_pattern" name the same control.
  uint32_t id_of(const std::string& name) const { return camera_control_id(fd_, name); }
  bool set(const std::string& name, int32_t value) const {
    v4l2_control control = {id_of(name), value};
    return control.id && ioctl(fd_, VIDIOC_S_CTRL, &control) == 0;
  }
  int32_t get(const std::string& name) const {
    v4l2_control control = {id_of(name), -1};
    ioctl(fd_, VIDIOC_G_CTRL, &control);
    return control.value;
  }
  // Takes the camera's buffers, as a program that streams from it does, so
  // it is busy for every other; closing the device gives them back.
  bool occupy() const {
    v4l2_requestbuffers request = {};
    request.count = 2;
    request.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
    request.memory = V4L2_MEMORY_MMAP;
    return ioctl(fd_, VIDIOC_REQBUFS, &request) == 0 && request.count > 0;
  }

 private:
  int fd_;
};

// vivid's "Test Pattern" menu.
enum Pattern {
  kColorbar100 = 1,
  kHorizontalColorbar = 3,
  kSolidBlack = 5,
  kSolidWhite = 6,
  kSolidRed = 7,
  kSolidGreen = 8,
  kSolidBlue = 9,
};

// ---- BMP files the program wrote ----

// The pixel x from the left, t from the top.
Bgr pixel(const Picture& picture, int x, int t) {
  const uint8_t* p = picture.at(x, t);
  return {p[0], p[1], p[2]};
}

// Every pixel within tolerance of want; names the first one that is not.
::testing::AssertionResult all_pixels(const Picture& picture, Bgr want, int tolerance = 0) {
  if (picture.width == 0) return ::testing::AssertionFailure() << "no picture";
  for (int t = 0; t < picture.height; ++t) {
    for (int x = 0; x < picture.width; ++x) {
      const Bgr p = pixel(picture, x, t);
      if (abs(p.b - want.b) > tolerance || abs(p.g - want.g) > tolerance ||
          abs(p.r - want.r) > tolerance)
        return ::testing::AssertionFailure()
               << "pixel x " << x << ", t " << t << " is " << p << ", want " << want;
    }
  }
  return ::testing::AssertionSuccess();
}

// ---- The program, run interactively ----

// The console in a scratch folder, run interactively: commands on its
// standard input, the dialog on its terminal.
class Console : public InteractiveRun {
 public:
  explicit Console(const ScratchDir& folder, const std::map<std::string, std::string>& env = {})
      : InteractiveRun(folder.path(), options(env)) {}

  // Types Enter and waits for the next prompt: one capture.
  bool capture() {
    type("\n");
    return expect_output(kPrompt);
  }

 private:
  static RunOptions options(const std::map<std::string, std::string>& env) {
    RunOptions options;
    options.env = env;
    options.plugin = "";  // the default plug-in, beside the program
    options.timeout_seconds = kStepSeconds;
    return options;
  }
};

// The number the dialog gives the menu line holding text ("  7) Brightness").
int menu_number(const std::string& menu, const std::string& text) {
  size_t at = menu.rfind(text);
  if (at == std::string::npos) return -1;
  size_t line = menu.rfind('\n', at);
  line = line == std::string::npos ? 0 : line + 1;
  return atoi(menu.c_str() + line);
}

class VividConsole : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(vivid.present()) << kDevice << ": " << strerror(errno);
    ASSERT_TRUE(vivid.set("OSD Text Mode", 2));  // no text over the picture
    ASSERT_TRUE(vivid.set("Percentage of Dropped Buffers", 0));
    ASSERT_TRUE(vivid.set("Brightness", 128));
    ASSERT_TRUE(pattern(kSolidRed));
  }

  bool pattern(Pattern p) { return vivid.set("Test Pattern", p); }

  // Starts the console and answers the width question.
  void start() {
    console = std::make_unique<Console>(out);
    console->type("200\n");
    ASSERT_TRUE(console->expect_output(kPrompt)) << console->output() << console->errors();
    EXPECT_NE(console->output().find(plugin_name_line("Vidmote: vivid (/dev/video0)")),
              std::string::npos)
        << console->output();
  }

  Picture picture(int number) const {
    char name[16];
    snprintf(name, sizeof name, "R%05d.bmp", number);
    return read_bmp(out.file(name));
  }

  // Opens the dialog, picks the menu entry holding entry, then the choice
  // holding choice (if any), and closes the dialog.
  void in_dialog(const std::string& entry, const std::string& choice) {
    console->type("s\n");
    ASSERT_TRUE(console->expect_terminal("Choice (Enter: done): ")) << console->terminal();
    const int item = menu_number(console->terminal_since_last(), ") " + entry);
    ASSERT_GT(item, 0) << entry << " not in\n" << console->terminal_since_last();
    console->type_on_terminal(std::to_string(item) + "\n");
    if (!choice.empty()) {
      ASSERT_TRUE(console->expect_terminal("Choice: ")) << console->terminal();
      const int picked = menu_number(console->terminal_since_last(), ") " + choice);
      ASSERT_GT(picked, 0) << choice << " not in\n" << console->terminal_since_last();
      console->type_on_terminal(std::to_string(picked) + "\n");
    }
    ASSERT_TRUE(console->expect_terminal("Choice (Enter: done): ")) << console->terminal();
    console->type_on_terminal("\n");
    ASSERT_TRUE(console->expect_terminal("Settings closed.")) << console->terminal();
    ASSERT_TRUE(console->expect_output(kPrompt));
  }

  // Captures solid patterns in turn, each right after a pattern change, so a
  // stale frame shows the previous colour. Checks every pixel of files
  // R<first>, R<first + 1>, ...; returns the next number.
  int captures_of_solid_patterns(int first, int tolerance) {
    const struct {
      Pattern pattern;
      Bgr colour;
    } cases[] = {{kSolidRed, kRed},     {kSolidGreen, kGreen}, {kSolidBlue, kBlue},
                 {kSolidWhite, kWhite}, {kSolidBlack, kBlack}, {kSolidRed, kRed}};
    int number = first;
    for (const auto& c : cases) {
      SCOPED_TRACE(number);
      EXPECT_TRUE(pattern(c.pattern));
      if (!console->capture()) {
        ADD_FAILURE() << "capture " << number << " did not finish\n" << console->output();
        return number;
      }
      const Picture got = picture(number++);
      EXPECT_EQ(got.width, 640);
      EXPECT_EQ(got.height, 480);
      EXPECT_TRUE(all_pixels(got, c.colour, tolerance));
    }
    return number;
  }

  // The capture fails cleanly: the failure text, status 255, no hang.
  void expect_clean_failure() {
    console->type("\n");
    EXPECT_EQ(console->wait_exit(), 255) << console->output() << console->errors();
    const std::string& text = console->output();
    EXPECT_EQ(text.substr(text.size() - std::min(text.size(), kCaptureFailed.size())),
              kCaptureFailed);
  }

  Vivid vivid;
  ScratchDir out;
  std::unique_ptr<Console> console;
};

// vivid behind PipeWire: the console reaches it through PipeWire as a
// desktop's programs do.
class VividPipeWire : public VividConsole {
 protected:
  void SetUp() override {
    VividConsole::SetUp();
    ASSERT_TRUE(daemons.start(kStepSeconds)) << daemons.log();
    ASSERT_TRUE(daemons.camera_node(kStepSeconds, &node, &description)) << daemons.log();
  }

  // The environment of a desktop's program, VIDMOTE_DEVICE naming device
  // unless it is empty.
  std::map<std::string, std::string> desktop(const std::string& device = "") const {
    std::map<std::string, std::string> env = daemons.client_environment();
    if (!device.empty()) env["VIDMOTE_DEVICE"] = device;
    return env;
  }

  // Starts a console in folder and checks the plug-in's name.
  std::unique_ptr<Console> started(const ScratchDir& folder, const std::string& device,
                                   const std::string& plugin_name) {
    auto run = std::make_unique<Console>(folder, desktop(device));
    run->type("200\n");
    EXPECT_TRUE(run->expect_output(kPrompt)) << run->output() << run->errors();
    EXPECT_NE(run->output().find(plugin_name_line("Vidmote: " + plugin_name)), std::string::npos)
        << run->output() << run->errors();
    return run;
  }

  PipeWireDaemons daemons;
  std::string node, description;
};

// A program streams vivid through PipeWire (a console naming the PipeWire
// camera by its description); then V4L2 finds vivid busy with PipeWire, and
// the default console captures through PipeWire, sharing the stream: every
// picture pixel-exact and fresh, the first program's too.
TEST_F(VividPipeWire, ACameraPipeWireHoldsIsCapturedThroughItSharingTheStream) {
  ScratchDir first_folder;
  auto first = started(first_folder, description, description + " (PipeWire)");
  ASSERT_TRUE(first->capture()) << first->errors();
  EXPECT_TRUE(all_pixels(read_bmp(first_folder.file("R00000.bmp")), kRed));

  console = started(out, "", description + " (PipeWire)");
  // This test holds vivid's node open too (for its controls), and /proc
  // lists it first.
  EXPECT_EQ(console->errors(), "vidmote: vivid (/dev/video0): skipped: busy: vivid_test (pid " +
                                   std::to_string(getpid()) + "), pipewire (pid " +
                                   std::to_string(daemons.pipewire_pid()) +
                                   ") are using it; close them\n");
  int number = captures_of_solid_patterns(0, 0);
  EXPECT_TRUE(pattern(kSolidGreen));
  ASSERT_TRUE(first->capture()) << first->errors();
  EXPECT_TRUE(all_pixels(read_bmp(first_folder.file("R00001.bmp")), kGreen));
  // The dialog lists the PipeWire camera among the sources: left for the
  // test card and chosen again, it streams again.
  in_dialog("Source", "Test card");
  in_dialog("Source", description + " (PipeWire)");
  number += 2;  // each settings command used a number
  ASSERT_TRUE(console->capture());
  EXPECT_TRUE(all_pixels(picture(number), kGreen));
  console->type("q\n");
  EXPECT_EQ(console->wait_exit(), 0);
  first->type("q\n");
  EXPECT_EQ(first->wait_exit(), 0);
  EXPECT_EQ(first->errors(), "");
}

// A plain V4L2 program streaming vivid leaves PipeWire's stream paused, or
// ends it with an error: the capture fails within its bound either way,
// naming that program.
TEST_F(VividPipeWire, AStreamAV4l2ProgramBlocksFailsInItsBoundNamingIt) {
  console = started(out, node, description + " (PipeWire)");
  ASSERT_TRUE(vivid.occupy());
  expect_clean_failure();
  const std::string prefix = "vidmote: " + description + " (PipeWire): ";
  const std::string reason = "busy: vivid_test (pid " + std::to_string(getpid()) +
                             ") is using /dev/video0 directly, so PipeWire cannot stream it; "
                             "close it\n";
  const std::string& errors = console->errors();
  EXPECT_TRUE(errors == prefix + "no frame in time after starting: " + reason ||
              errors == prefix + "stream failed: " + reason)
      << errors;
}

// WirePlumber stopped, its nodes go: the camera is gone, as an unplugged
// V4L2 camera; started again, the camera is found again by its name.
TEST_F(VividPipeWire, ARemovedNodeIsGoneAndFoundAgainWhenItComesBack) {
  console = started(out, node, description + " (PipeWire)");
  ASSERT_TRUE(console->capture());
  ASSERT_TRUE(daemons.stop_session_manager());
  ASSERT_TRUE(daemons.no_camera_node(kStepSeconds)) << daemons.log();
  expect_clean_failure();
  EXPECT_EQ(console->errors(), "vidmote: " + description +
                                   " (PipeWire): stream failed: the camera is gone (unplugged?)\n");

  ASSERT_TRUE(daemons.start_session_manager());
  std::string again, described;
  ASSERT_TRUE(daemons.camera_node(kStepSeconds, &again, &described)) << daemons.log();
  EXPECT_EQ(again, node);
  ScratchDir folder;
  auto back = started(folder, node, description + " (PipeWire)");
  ASSERT_TRUE(back->capture()) << back->errors();
  EXPECT_TRUE(all_pixels(read_bmp(folder.file("R00000.bmp")), kRed));
}

// list-cameras shows the PipeWire camera after vivid's V4L2 node, with what
// it wraps, its formats and the value that picks it.
TEST_F(VividPipeWire, ListCamerasListsThePipeWireCamera) {
  ScratchDir folder;
  RunOptions options;
  options.program = LIST_CAMERAS_PATH;
  options.plugin = "";
  options.env = desktop();
  options.timeout_seconds = kStepSeconds;
  const RunResult listed = run_program(folder.path(), options);
  EXPECT_EQ(listed.status, 0) << listed.err;
  const std::string& text = listed.out;
  const std::string entry =
      "\nPipeWire " + node + ": " + description +
      "\n  wraps: V4L2 /dev/video0\n  plug-in: usable: VIDMOTE_DEVICE=" + node + "\n  formats:\n";
  const size_t at = text.find(entry);
  ASSERT_NE(at, std::string::npos) << text;
  EXPECT_LT(text.find("/dev/video0: vivid\n"), at) << text;
  for (const char* line : {"    RGB (the plug-in can read it)\n",
                           "    YUY2 (the plug-in can read it)\n", "      640x480: "})
    EXPECT_NE(text.find(line, at), std::string::npos) << line << "\n" << text;
  const std::string last = "\nDefault: vivid (/dev/video0)\n";
  EXPECT_EQ(text.substr(text.size() - std::min(text.size(), last.size())), last) << text;
}

TEST_F(VividConsole, SolidPatternsArePixelExactAndEveryCaptureIsFresh) {
  start();
  captures_of_solid_patterns(0, 0);
  console->type("q\n");
  EXPECT_EQ(console->wait_exit(), 0);
  EXPECT_EQ(console->errors(), "");
}

// Vertical bars tell left from right, horizontal ones top from bottom.
TEST_F(VividConsole, BarsAreUprightAndInOrder) {
  ASSERT_TRUE(pattern(kColorbar100));
  start();
  ASSERT_TRUE(console->capture());
  ASSERT_TRUE(pattern(kHorizontalColorbar));
  ASSERT_TRUE(console->capture());
  const Picture vertical = picture(0), horizontal = picture(1);
  ASSERT_EQ(vertical.width, 640);
  ASSERT_EQ(horizontal.height, 480);
  for (int i = 0; i < 8; ++i) {
    SCOPED_TRACE(i);
    for (int t : {0, 240, 479}) EXPECT_EQ(pixel(vertical, 80 * i + 40, t), kBars[i]);
    for (int x : {0, 320, 639}) EXPECT_EQ(pixel(horizontal, x, 60 * i + 30), kBars[i]);
  }
}

// Sizes through the dialog's own entry: the driver's answer is the size in
// force, and the dialog says which size that is when it is not the one
// asked; vivid's webcam has 320x180 to 3840x2160 in six steps.
TEST_F(VividConsole, SizesAreNegotiatedExactOrNearest) {
  const struct {
    const char* asked;
    int w, h;
    const char* says;  // on the terminal, "" for nothing
  } cases[] = {
      {"1280 720", 1280, 720, ""},
      {"320 180", 320, 180, ""},
      {"700 500", 640, 480, "Size 700 x 500 is not available; the camera now delivers 640 x 480."},
      {"1100 650", 1280, 720,
       "Size 1100 x 650 is not available; the camera now delivers 1280 x 720."},
      {"100 100", 320, 180, "Size 100 x 100 is not available; the camera now delivers 320 x 180."},
      {"640 480", 640, 480, ""}};
  start();
  EXPECT_NE(console->output().find(resolution_line(640, 480)), std::string::npos);
  int number = 0;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.asked);
    console->type("s\n");
    ASSERT_TRUE(console->expect_terminal("Choice (Enter: done): "));
    console->type_on_terminal("2\n");
    ASSERT_TRUE(console->expect_terminal("Choice: "));
    const std::string sizes = console->terminal_since_last();
    console->type_on_terminal(std::to_string(menu_number(sizes, ") Custom")) + "\n" + c.asked +
                              "\n\n");
    ASSERT_TRUE(console->expect_terminal("Settings closed."));
    const std::string said = console->terminal_since_last();
    if (*c.says)
      EXPECT_NE(said.find(c.says), std::string::npos) << said;
    else
      EXPECT_EQ(said.find("not available"), std::string::npos) << said;
    ASSERT_TRUE(console->expect_output(kPrompt));
    ASSERT_TRUE(console->capture());
    const Picture got = picture(++number);  // the settings command used a number
    EXPECT_EQ(got.width, c.w);
    EXPECT_EQ(got.height, c.h);
    EXPECT_TRUE(all_pixels(got, kRed));
    ++number;
  }
  // The dialog lists the device's own sizes.
  const std::string& dialog = console->terminal();
  for (const char* size : {"320 x 180", "640 x 360", "1280 x 720", "1920 x 1080", "3840 x 2160"})
    EXPECT_NE(dialog.find(size), std::string::npos) << size;
}

TEST_F(VividConsole, ControlsSetInTheDialogChangeThePicture) {
  start();
  in_dialog("Test Pattern", "100% Blue");
  ASSERT_TRUE(console->capture());
  EXPECT_TRUE(all_pixels(picture(1), kBlue));
  EXPECT_EQ(vivid.get("Test Pattern"), kSolidBlue);

  // A number: brightness, shown with its range.
  pattern(kSolidWhite);
  ASSERT_TRUE(console->capture());
  EXPECT_TRUE(all_pixels(picture(2), kWhite));
  console->type("s\n");
  ASSERT_TRUE(console->expect_terminal("Choice (Enter: done): "));
  const std::string menu = console->terminal_since_last();
  EXPECT_NE(menu.find(") Brightness: 128 (0 to 255)"), std::string::npos) << menu;
  EXPECT_NE(menu.find(") Contrast: 128 (0 to 255)"), std::string::npos) << menu;
  EXPECT_NE(menu.find(") Test Pattern: 100% White"), std::string::npos) << menu;
  console->type_on_terminal(std::to_string(menu_number(menu, ") Brightness")) + "\n");
  ASSERT_TRUE(console->expect_terminal("empty line: back): "));
  console->type_on_terminal("40\n\n");
  ASSERT_TRUE(console->expect_terminal("Settings closed."));
  ASSERT_TRUE(console->expect_output(kPrompt));
  EXPECT_EQ(vivid.get("Brightness"), 40);
  ASSERT_TRUE(console->capture());
  const Picture darker = picture(4);
  ASSERT_EQ(darker.width, 640);
  const Bgr p = pixel(darker, 320, 240);
  EXPECT_LT(p.g, 200) << p;
  EXPECT_TRUE(all_pixels(darker, p));
}

TEST_F(VividConsole, TheTestCardCanBeChosenAndLeft) {
  start();
  in_dialog("Source", "Test card");
  ASSERT_TRUE(console->capture());
  const Picture card = picture(1);
  ASSERT_EQ(card.width, 640);
  EXPECT_EQ(pixel(card, 0, 0), kWhite);  // the test card's first bar and last bar
  EXPECT_EQ(pixel(card, 639, 0), kBlack);
  in_dialog("Source", "vivid (/dev/video0)");
  ASSERT_TRUE(console->capture());
  EXPECT_TRUE(all_pixels(picture(3), kRed));
}

// YUYV read directly and converted by the plug-in: the solid colours within
// the rounding of 8-bit limited-range YCbCr.
TEST_F(VividConsole, YuyvFramesConvertToTheSameColours) {
  start();
  in_dialog("Camera format", "YUYV 4:2:2, read directly");
  int number = captures_of_solid_patterns(1, 3);
  ASSERT_TRUE(pattern(kHorizontalColorbar));
  ASSERT_TRUE(console->capture());
  const Picture bars = picture(number);
  for (int i : {0, 3, 5, 7}) {
    const Bgr got = pixel(bars, 320, 60 * i + 30);
    EXPECT_LE(abs(got.b - kBars[i].b) + abs(got.g - kBars[i].g) + abs(got.r - kBars[i].r), 9)
        << i << ": " << got;
  }
}

// A camera another program is using is passed over with its reason, naming
// that program (this test holds the camera), and the name the program
// prints is the test card's, whose pictures it takes.
TEST_F(VividConsole, ABusyCameraIsSkippedAndSaysWhy) {
  ASSERT_TRUE(vivid.occupy());
  console = std::make_unique<Console>(out);
  console->type("200\n");
  ASSERT_TRUE(console->expect_output(kPrompt)) << console->output() << console->errors();
  EXPECT_NE(console->output().find(plugin_name_line("Vidmote: Test card")), std::string::npos)
      << console->output();
  ASSERT_TRUE(console->capture());
  const Picture card = picture(0);
  ASSERT_EQ(card.width, 640);
  EXPECT_EQ(pixel(card, 0, 0), kWhite);  // the test card's first bar and last bar
  EXPECT_EQ(pixel(card, 639, 0), kBlack);
  console->type("q\n");
  EXPECT_EQ(console->wait_exit(), 0);
  EXPECT_EQ(console->errors(), "vidmote: vivid (/dev/video0): skipped: busy: vivid_test (pid " +
                                   std::to_string(getpid()) + ") is using it; close it\n");
}

// list-cameras on vivid: its node, card, a format with sizes and rates, its
// controls, and a verdict that is the plug-in's choice: the camera the
// console then names, or the test card while another program holds it.
TEST_F(VividConsole, ListCamerasSaysWhatThePlugInUses) {
  // While busy, the holder is this test.
  const std::string held_by_us = "  plug-in: not used: busy: vivid_test (pid " +
                                 std::to_string(getpid()) + ") is using it; close it\n";
  const struct {
    bool busy;
    std::string verdict;
    const char* last_line;
    const char* plugin_name;
  } cases[] = {
      {false, "  plug-in: used by default\n", "\nDefault: vivid (/dev/video0)\n",
       "Vidmote: vivid (/dev/video0)"},
      {true, held_by_us, "\nNo camera opens: the plug-in uses its built-in test card.\n",
       "Vidmote: Test card"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.verdict);
    Vivid holder;
    if (c.busy) {
      ASSERT_TRUE(holder.occupy());
    }
    ScratchDir folder;
    RunOptions options;
    options.program = LIST_CAMERAS_PATH;
    options.plugin = "";
    options.timeout_seconds = kStepSeconds;
    const RunResult listed = run_program(folder.path(), options);
    EXPECT_EQ(listed.status, 0) << listed.err;
    EXPECT_EQ(listed.err, "");
    const std::string& out = listed.out;
    ASSERT_EQ(out.rfind("/dev/video0: vivid\n", 0), 0u) << out;
    for (const char* line :
         {"  driver: vivid\n", c.verdict.c_str(),
          "    YUYV: YUYV 4:2:2 (the plug-in can read it directly)\n",
          "    Brightness: integer, 0 to 255, step 1, default 128, current 128\n"})
      EXPECT_NE(out.find(line), std::string::npos) << line << "\n" << out;
    // 640 x 480 among YUYV's sizes, with its frame rates.
    const size_t yuyv = out.find("    YUYV: "), size = out.find("\n      640x480: ", yuyv);
    ASSERT_NE(size, std::string::npos) << out;
    const std::string rates = out.substr(size, out.find('\n', size + 1) - size);
    EXPECT_NE(rates.find(" fps"), std::string::npos) << rates;
    EXPECT_EQ(out.substr(out.size() - std::min(out.size(), strlen(c.last_line))), c.last_line)
        << out;

    Console console(folder);
    console.type("200\n");
    ASSERT_TRUE(console.expect_output(kPrompt)) << console.output() << console.errors();
    EXPECT_NE(console.output().find(plugin_name_line(c.plugin_name)), std::string::npos)
        << console.output();
    console.type("q\n");
    EXPECT_EQ(console.wait_exit(), 0);
  }
}

// Faults that leave a frame to take: the capture still succeeds. A stream
// error (vivid's fatal one puts the queue in error until streaming stops)
// restarts the stream.
TEST_F(VividConsole, ADamagedBufferOrSomeDroppedFramesStillGiveAFrame) {
  start();
  ASSERT_TRUE(console->capture());
  ASSERT_TRUE(vivid.set("Inject V4L2_BUF_FLAG_ERROR", 1));
  ASSERT_TRUE(pattern(kSolidGreen));
  ASSERT_TRUE(console->capture());
  EXPECT_TRUE(all_pixels(picture(1), kGreen));
  ASSERT_TRUE(vivid.set("Percentage of Dropped Buffers", 50));
  ASSERT_TRUE(pattern(kSolidBlue));
  ASSERT_TRUE(console->capture());
  EXPECT_TRUE(all_pixels(picture(2), kBlue));
  ASSERT_TRUE(vivid.set("Percentage of Dropped Buffers", 0));
  ASSERT_TRUE(vivid.set("Inject Fatal Streaming Error", 1));
  ASSERT_TRUE(pattern(kSolidRed));
  ASSERT_TRUE(console->capture());
  EXPECT_TRUE(all_pixels(picture(3), kRed));
  console->type("q\n");
  EXPECT_EQ(console->wait_exit(), 0);
  EXPECT_EQ(console->errors(), "");
}

// No frames at all: a clean failure that says so, never a hang.
TEST_F(VividConsole, NoFramesFailTheCaptureCleanly) {
  console = std::make_unique<Console>(out);
  console->type("200\n\n");
  ASSERT_TRUE(console->expect_output(kPrompt));
  ASSERT_TRUE(console->expect_output(kPrompt));  // one good capture
  ASSERT_TRUE(vivid.set("Percentage of Dropped Buffers", 100));
  expect_clean_failure();
  EXPECT_EQ(console->errors(), "vidmote: /dev/video0: no frame in time\n");
  ASSERT_TRUE(vivid.set("Percentage of Dropped Buffers", 0));
}

TEST_F(VividConsole, AStreamThatCannotStartFailsTheFirstCapture) {
  ASSERT_TRUE(vivid.set("Inject VIDIOC_STREAMON Error", 1));
  start();
  expect_clean_failure();
}

// Last: vivid's camera stays gone after this.
TEST_F(VividConsole, ZzADisconnectedCameraFailsTheCaptureCleanly) {
  start();
  ASSERT_TRUE(console->capture());
  ASSERT_TRUE(vivid.set("Disconnect", 1));
  expect_clean_failure();
  EXPECT_FALSE(file_exists(out.file("R00001.bmp")));
}

}  // namespace
