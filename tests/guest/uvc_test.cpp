// The console with the default plug-in against the kernel's uvcvideo, the
// driver of real webcams, driving the emulated USB webcam (uvc_webcam.c).
// Runs inside the test guest booted with GUEST_USB=1 (run-guest.sh). Each
// case plugs in a webcam with its own choices and unplugs it at the end.
// The picture of each frame is known (uvc_picture.h), so a saved BMP is
// checked against the very frame it came from.
#include <errno.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "program_runner.h"
#include "support/console_texts.h"
#include "support/files.h"
#include "support/webcam.h"

namespace {

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
    options.timeout_seconds = kWebcamStepSeconds;
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
    EXPECT_NE(console.output().find(kWebcamProduct), std::string::npos) << console.output();
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
  options.timeout_seconds = kWebcamStepSeconds;
  const RunResult listed = run_program(folder.path(), options);
  EXPECT_EQ(listed.status, 0) << listed.err;
  const std::string& out = listed.out;
  ASSERT_EQ(out.rfind(webcam.device() + ": " + kWebcamProduct + "\n", 0), 0u) << out;
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
  EXPECT_TRUE(within(kWebcamStepSeconds, [&] {
    return webcam.log().find("SET_CUR brightness 150\n") != std::string::npos;
  })) << webcam.log();
  EXPECT_TRUE(console.in_dialog("Power Line Frequency", "60 Hz", ""));
  EXPECT_TRUE(within(kWebcamStepSeconds, [&] {
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
  ASSERT_TRUE(within(kWebcamStepSeconds, [] { return capture_node(kWebcamProduct).empty(); }));
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
  ASSERT_TRUE(within(kWebcamStepSeconds, [] { return capture_node(kWebcamProduct).empty(); }));
  ASSERT_TRUE(within(kWebcamStepSeconds, [] { return !capture_node(kWebcamProduct).empty(); }));
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
