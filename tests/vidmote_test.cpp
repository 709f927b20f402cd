// Tests of libvidmote.so, loaded the way the program loads it.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <string>
#include <vector>

#include "lensora_plugin.h"
#include "support/clock.h"
#include "support/files.h"

namespace {

struct Bgr {
  int b, g, r;
  bool operator==(const Bgr& o) const { return b == o.b && g == o.g && r == o.r; }
};

const Bgr kWhite{255, 255, 255}, kYellow{0, 255, 255}, kCyan{255, 255, 0}, kGreen{0, 255, 0},
    kMagenta{255, 0, 255}, kRed{0, 0, 255}, kBlue{255, 0, 0}, kBlack{0, 0, 0};

// The default "bars" picture as the plug-in documents it, pixel by pixel:
// column x, picture row t (0 = top), capture k since the source opened.
Bgr bars_pixel(int w, int h, int x, int t, int k) {
  static const Bgr bars[8] = {kWhite, kYellow, kCyan, kGreen, kMagenta, kRed, kBlue, kBlack};
  const int ramp_rows = h / 4;
  Bgr p = bars[x * 8 / w];
  if (t >= h - ramp_rows) {
    int v = w > 1 ? x * 255 / (w - 1) : 0;
    p = {v, v, v};
  }
  const int side = std::max(1, std::min(w, h) / 16);
  const int left = k * std::max(1, w / 32) % (w - side + 1);
  const int top = (h - ramp_rows - side) / 2;
  if (x >= left && x < left + side && t >= top && t < top + side)
    p = {255 - p.b, 255 - p.g, 255 - p.r};
  return p;
}

// The whole frame in memory order: bottom row first, B G R.
std::vector<uint8_t> bars_frame(int w, int h, int k) {
  std::vector<uint8_t> frame;
  for (int y = 0; y < h; ++y) {
    for (int x = 0; x < w; ++x) {
      Bgr p = bars_pixel(w, h, x, h - 1 - y, k);
      frame.insert(frame.end(), {uint8_t(p.b), uint8_t(p.g), uint8_t(p.r)});
    }
  }
  return frame;
}

const uint8_t* bytes_of(const KImageT<K_RGB>& image) {
  return reinterpret_cast<const uint8_t*>(image.data.data());
}

::testing::AssertionResult same_frame(const uint8_t* got, const std::vector<uint8_t>& want, int w) {
  for (size_t i = 0; i < want.size(); ++i) {
    if (got[i] != want[i]) {
      size_t pixel = i / 3;
      return ::testing::AssertionFailure()
             << "first difference at memory row " << pixel / w << ", x " << pixel % w << ", byte "
             << i % 3 << ": got " << int(got[i]) << ", want " << int(want[i]);
    }
  }
  return ::testing::AssertionSuccess();
}

// Picture pixel (t counted from the top) of a captured image.
Bgr picture_at(const KImageT<K_RGB>& image, int x, int t) {
  const K_RGB& p = image.pixel(x, image.height - 1 - t);
  return {p.b, p.g, p.r};
}

// These tests use the test card whatever cameras the machine has (the
// plug-in reads the variable when it is loaded, and the dialog's child
// processes inherit it); the camera tests run against vivid in a guest
// (tests/guest/).
const char kTestCard[] = "test-card";
const bool kTestCardChosen = setenv("VIDMOTE_DEVICE", kTestCard, 1) == 0;
// Saved settings are read from and written to scratch folders only, never
// the user's own.
const ScratchDir kConfigHome;
const bool kConfigHomeChosen = setenv("XDG_CONFIG_HOME", kConfigHome.path().c_str(), 1) == 0;

class VidmoteTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(kTestCardChosen);
    ASSERT_TRUE(kConfigHomeChosen);
    ASSERT_TRUE(plugin.Open(VIDMOTE_PATH));
  }

  // Reopens the source at w x h, so the next capture is capture 0.
  void restart(int w, int h) {
    ASSERT_TRUE(plugin.OnDestroy());
    ASSERT_TRUE(plugin.SetResolution(w, h));
    ASSERT_TRUE(plugin.OnInit(nullptr));
  }

  LnCaptureFn raw_capture() const {
    return reinterpret_cast<LnCaptureFn>(dlsym(plugin.module, "LN_Capture"));
  }

  LensoraPlugIn plugin;
};

TEST_F(VidmoteTest, NameIsAnnouncedAndCopiedWhole) {
  EXPECT_NE(plugin.name.find("Vidmote"), std::string::npos) << plugin.name;
  auto get_name = reinterpret_cast<LnGetDllNameFn>(dlsym(plugin.module, "LN_GetDllName"));
  ASSERT_NE(get_name, nullptr);
  const int32_t length = get_name(nullptr);
  ASSERT_GT(length, 0);
  std::vector<char> buffer(length + 10, '\0');
  EXPECT_GT(get_name(buffer.data()), 0);
  EXPECT_EQ(strlen(buffer.data()), static_cast<size_t>(length));
  EXPECT_EQ(plugin.name, buffer.data());
}

TEST_F(VidmoteTest, CapturesA640x480Frame) {
  restart(640, 480);
  int32_t w = 0, h = 0;
  ASSERT_TRUE(plugin.GetResolution(&w, &h));
  EXPECT_EQ(w, 640);
  EXPECT_EQ(h, 480);
  EXPECT_FALSE(plugin.GetResolution(nullptr, &h));
  EXPECT_FALSE(plugin.GetResolution(&w, nullptr));

  KImageT<K_RGB> image;
  ASSERT_TRUE(plugin.Capture(image));
  EXPECT_EQ(image.width, 640);
  EXPECT_EQ(image.height, 480);
  EXPECT_EQ(image.data.size(), 640u * 480u);
}

// Hand-worked pixels of the first 640 x 480 frame: 80-pixel bars in the top
// 360 rows, the ramp in the bottom 120, the 30-pixel mark at x 0..29, rows
// 165..194.
TEST_F(VidmoteTest, FirstFrameIsUprightBarsOverRamp) {
  restart(640, 480);
  KImageT<K_RGB> image;
  ASSERT_TRUE(plugin.Capture(image));
  struct {
    int x, t;
    Bgr want;
  } const cases[] = {
      {0, 0, kWhite},     {79, 0, kWhite},      {80, 0, kYellow},   {200, 10, kCyan},
      {300, 100, kGreen}, {350, 200, kMagenta}, {450, 300, kRed},   {559, 359, kBlue},
      {639, 0, kBlack},   {0, 360, kBlack},     {639, 479, kWhite}, {320, 400, {127, 127, 127}},
      {0, 165, kBlack},   {29, 194, kBlack},    {30, 165, kWhite},  {0, 164, kWhite},
      {0, 195, kWhite},   {100, 180, kYellow},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE("x " + std::to_string(c.x) + ", t " + std::to_string(c.t));
    Bgr got = picture_at(image, c.x, c.t);
    EXPECT_TRUE(got == c.want) << got.b << " " << got.g << " " << got.r;
  }
}

TEST_F(VidmoteTest, FramesFollowTheLayoutAtManySizes) {
  const struct {
    int w, h;
  } sizes[] = {{640, 480}, {201, 151}, {1, 1},   {2, 1},   {7, 3},
               {8, 8},     {33, 17},   {1, 100}, {100, 1}, {1280, 720}};
  for (const auto& size : sizes) {
    SCOPED_TRACE(std::to_string(size.w) + " x " + std::to_string(size.h));
    restart(size.w, size.h);
    for (int k = 0; k < 3; ++k) {
      KImageT<K_RGB> image;
      ASSERT_TRUE(plugin.Capture(image));
      ASSERT_EQ(image.width, size.w);
      ASSERT_EQ(image.height, size.h);
      EXPECT_TRUE(same_frame(bytes_of(image), bars_frame(size.w, size.h, k), size.w))
          << "capture " << k;
    }
  }
}

TEST_F(VidmoteTest, MarkMovesButAFreshLoadRepeatsTheFrames) {
  restart(640, 480);
  KImageT<K_RGB> first, second;
  ASSERT_TRUE(plugin.Capture(first));
  ASSERT_TRUE(plugin.Capture(second));
  EXPECT_NE(first.data.size(), 0u);
  EXPECT_NE(memcmp(bytes_of(first), bytes_of(second), 640 * 480 * 3), 0);
  plugin.Close();

  LensoraPlugIn again;
  ASSERT_TRUE(again.Open(VIDMOTE_PATH));
  ASSERT_TRUE(again.SetResolution(640, 480));
  ASSERT_TRUE(again.OnInit(nullptr));
  KImageT<K_RGB> repeat_first, repeat_second;
  ASSERT_TRUE(again.Capture(repeat_first));
  ASSERT_TRUE(again.Capture(repeat_second));
  EXPECT_EQ(memcmp(bytes_of(first), bytes_of(repeat_first), 640 * 480 * 3), 0);
  EXPECT_EQ(memcmp(bytes_of(second), bytes_of(repeat_second), 640 * 480 * 3), 0);
}

TEST_F(VidmoteTest, RefusedSizesLeaveTheSizeAlone) {
  const struct {
    int w, h;
  } refused[] = {{0, 480},      {640, 0},      {0, 0},    {-1, 480}, {640, -5},
                 {100000, 480}, {640, 100000}, {8193, 1}, {1, 8193}, {INT32_MIN, INT32_MAX}};
  ASSERT_TRUE(plugin.SetResolution(321, 123));
  for (const auto& size : refused) {
    SCOPED_TRACE(std::to_string(size.w) + " x " + std::to_string(size.h));
    EXPECT_FALSE(plugin.SetResolution(size.w, size.h));
    int32_t w = 0, h = 0;
    ASSERT_TRUE(plugin.GetResolution(&w, &h));
    EXPECT_EQ(w, 321);
    EXPECT_EQ(h, 123);
  }
}

TEST_F(VidmoteTest, AcceptsTheLargestAndSmallestSizes) {
  const struct { int w, h; } accepted[] = {{1, 1}, {8192, 8192}, {8192, 1}, {1, 8192}, {1000, 8}};
  for (const auto& size : accepted) {
    SCOPED_TRACE(std::to_string(size.w) + " x " + std::to_string(size.h));
    EXPECT_TRUE(plugin.SetResolution(size.w, size.h));
    int32_t w = 0, h = 0;
    ASSERT_TRUE(plugin.GetResolution(&w, &h));
    EXPECT_EQ(w, size.w);
    EXPECT_EQ(h, size.h);
    EXPECT_EQ(raw_capture()(nullptr), size.w * size.h * 3);
  }
}

TEST_F(VidmoteTest, RawCaptureWritesExactlyTheFrame) {
  LnCaptureFn capture = raw_capture();
  ASSERT_NE(capture, nullptr);
  const struct { int w, h; } sizes[] = {{201, 151}, {1, 1}, {3, 2}, {640, 480}};
  const size_t kGuard = 64;
  for (const auto& size : sizes) {
    // Two fillings, so no byte can pass by already holding the right value.
    for (uint8_t fill : {uint8_t(0xA5), uint8_t(0x5A)}) {
      SCOPED_TRACE(std::to_string(size.w) + " x " + std::to_string(size.h) + ", fill " +
                   std::to_string(fill));
      restart(size.w, size.h);
      const int32_t bytes = capture(nullptr);
      ASSERT_EQ(bytes, size.w * size.h * 3);
      std::vector<uint8_t> buffer(bytes + kGuard, fill);
      EXPECT_GT(capture(reinterpret_cast<K_RGB*>(buffer.data())), 0);
      EXPECT_TRUE(same_frame(buffer.data(), bars_frame(size.w, size.h, 0), size.w));
      EXPECT_EQ(std::count(buffer.begin() + bytes, buffer.end(), fill), long(kGuard));
    }
  }
}

TEST_F(VidmoteTest, SurvivesCallsInAnyOrder) {
  EXPECT_TRUE(plugin.OnDestroy());
  EXPECT_TRUE(plugin.OnDestroy());
  ASSERT_TRUE(plugin.SetResolution(64, 48));
  // Capture without init opens the test card itself.
  KImageT<K_RGB> image;
  ASSERT_TRUE(plugin.Capture(image));
  EXPECT_TRUE(same_frame(bytes_of(image), bars_frame(64, 48, 0), 64));
  EXPECT_TRUE(plugin.OnInit(nullptr));
  EXPECT_TRUE(plugin.OnInit(nullptr));
  ASSERT_TRUE(plugin.Capture(image));
  EXPECT_TRUE(same_frame(bytes_of(image), bars_frame(64, 48, 1), 64));
  EXPECT_TRUE(plugin.OnDestroy());
  EXPECT_TRUE(plugin.OnDestroy());
  ASSERT_TRUE(plugin.Capture(image));
  EXPECT_TRUE(same_frame(bytes_of(image), bars_frame(64, 48, 0), 64));
}

// VIDMOTE_DEVICE names the source; a named camera that cannot be opened
// fails init and says why, once, on standard error.
TEST(VidmoteSource, TheVariableNamesTheSource) {
  const struct {
    const char* device;
    bool init_ok;
    const char* name;
    const char* error;
  } cases[] = {
      {kTestCard, true, "Vidmote: Test card", ""},
      {"/dev/no-such-camera", false, "Vidmote: /dev/no-such-camera",
       "vidmote: /dev/no-such-camera: cannot be used: no such device\n"},
      {"/dev/null", false, "Vidmote: /dev/null",
       "vidmote: /dev/null: cannot be used: not a capture device\n"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.device);
    ASSERT_EQ(setenv("VIDMOTE_DEVICE", c.device, 1), 0);
    ::testing::internal::CaptureStderr();
    {
      LensoraPlugIn plugin;
      EXPECT_TRUE(plugin.Open(VIDMOTE_PATH));
      EXPECT_EQ(plugin.name, c.name);
      EXPECT_EQ(plugin.OnInit(nullptr), c.init_ok);
    }
    EXPECT_EQ(::testing::internal::GetCapturedStderr(), c.error);
  }
  ASSERT_EQ(setenv("VIDMOTE_DEVICE", kTestCard, 1), 0);
}

// A camera's saved settings are applied at the start, the environment's
// over them; a file that cannot be used is reported in one line and the
// start goes on. The program's own 640 x 480 does not replace a size of the
// user's.
TEST(VidmoteSource, SavedSettingsAreAppliedAndTheEnvironmentWins) {
  const char kSaved[] = "VIDMOTE_SIZE=320x240\nVIDMOTE_CONTROLS=pattern=solid_blue\n";
  const char kFile[] = "/vidmote/Test_card.conf";
  const struct {
    const char* what;
    const char* saved;     // nullptr: no file; "/": a folder in its place
    const char* size;      // VIDMOTE_SIZE
    const char* controls;  // VIDMOTE_CONTROLS
    int w, h;
    Bgr top_left;
    const char* error;  // after "vidmote: <the file>: "
  } cases[] = {
      {"no file", nullptr, "", "", 640, 480, kWhite, ""},
      {"saved", kSaved, "", "", 320, 240, kBlue, ""},
      {"the environment's size wins", kSaved, "800x600", "", 800, 600, kBlue, ""},
      {"the environment's pattern wins", kSaved, "", "pattern=bars", 320, 240, kWhite, ""},
      {"not understood", "VIDMOTE_CONTROLS=pattern=solid_blue\nVIDMOTE_SIZE=big\n", "", "", 640,
       480, kWhite,
       "line 2: VIDMOTE_SIZE=big: not understood; accepted: WIDTHxHEIGHT, e.g. 1280x720; the "
       "saved settings are ignored\n"},
      {"unreadable", "/", "", "", 640, 480, kWhite,
       "Is a directory; the saved settings are ignored\n"},
      {"a value no longer applies", "VIDMOTE_CONTROLS=zoom=2,pattern=solid_blue\n", "", "", 640,
       480, kBlue,
       "VIDMOTE_CONTROLS=zoom=2: Test card has no such control; accepted: pattern; not used\n"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    const ScratchDir home;
    const std::string file = home.path() + kFile;
    if (c.saved) {
      ASSERT_EQ(mkdir((home.path() + "/vidmote").c_str(), 0700), 0);
      if (std::string(c.saved) == "/")
        ASSERT_EQ(mkdir(file.c_str(), 0700), 0);
      else
        write_file(file, c.saved);
    }
    ASSERT_EQ(setenv("XDG_CONFIG_HOME", home.path().c_str(), 1), 0);
    ASSERT_EQ(setenv("VIDMOTE_SIZE", c.size, 1), 0);
    ASSERT_EQ(setenv("VIDMOTE_CONTROLS", c.controls, 1), 0);
    ::testing::internal::CaptureStderr();
    {
      LensoraPlugIn plugin;
      EXPECT_TRUE(plugin.Open(VIDMOTE_PATH));
      EXPECT_TRUE(plugin.OnInit(nullptr));
      plugin.SetResolution(640, 480);
      int32_t w = 0, h = 0;
      EXPECT_TRUE(plugin.GetResolution(&w, &h));
      EXPECT_EQ(w, c.w);
      EXPECT_EQ(h, c.h);
      KImageT<K_RGB> image;
      ASSERT_TRUE(plugin.Capture(image));
      EXPECT_TRUE(picture_at(image, 0, 0) == c.top_left);
    }
    const std::string error = ::testing::internal::GetCapturedStderr();
    EXPECT_EQ(error, *c.error ? "vidmote: " + file + ": " + c.error : "");
  }
  unsetenv("VIDMOTE_SIZE");
  unsetenv("VIDMOTE_CONTROLS");
  ASSERT_EQ(setenv("XDG_CONFIG_HOME", kConfigHome.path().c_str(), 1), 0);
}

// ---- The settings dialog, run in child processes. ----

const int kChildSeconds = 10;

// Waits for the child at most kChildSeconds, then kills it. Its wait status.
int wait_child(pid_t pid) {
  int status = 0;
  const double deadline = now_seconds() + kChildSeconds;
  while (waitpid(pid, &status, WNOHANG) == 0) {
    if (now_seconds() > deadline) {
      kill(pid, SIGKILL);
      waitpid(pid, &status, 0);
      break;
    }
    usleep(10000);
  }
  return status;
}

void write_all(int fd, const std::string& text) {
  size_t done = 0;
  while (done < text.size()) {
    ssize_t n = write(fd, text.data() + done, text.size() - done);
    if (n <= 0) return;
    done += n;
  }
}

std::string read_all(int fd) {
  std::string text;
  char buffer[4096];
  ssize_t n;
  while ((n = read(fd, buffer, sizeof buffer)) > 0) text.append(buffer, n);
  return text;
}

TEST(VidmoteDialog, ReturnsFalseWithoutAControllingTerminal) {
  fflush(nullptr);
  pid_t pid = fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    alarm(kChildSeconds);
    setsid();  // a new session has no controlling terminal
    int null_fd = open("/dev/null", O_RDWR);
    dup2(null_fd, 0);
    LensoraPlugIn plugin;
    if (!plugin.Open(VIDMOTE_PATH)) _exit(2);
    _exit(plugin.DoModalOptionDlg() ? 1 : 0);
  }
  int status = wait_child(pid);
  ASSERT_TRUE(WIFEXITED(status)) << "child hung or crashed, status " << status;
  EXPECT_EQ(WEXITSTATUS(status), 0);
}

// What the child saw after the dialog closed.
struct DialogReport {
  int32_t dialog_ok, width, height, captured;
  Bgr top_left, top_right;
};

struct DialogRun {
  bool reported = false;
  DialogReport report{};
  std::string transcript;   // everything the dialog wrote on the terminal
  std::string stdout_text;  // must stay empty
  std::string stderr_text;  // the plug-in's diagnostics
  int status = 0;
};

// The child gets the pseudo-terminal as controlling terminal, stdin from
// /dev/null and stdout into a pipe, so only /dev/tty can carry the dialog.
[[noreturn]] void dialog_child(int report_fd, int stdout_fd, int stderr_fd,
                               const std::string& config_home) {
  alarm(kChildSeconds);
  int null_fd = open("/dev/null", O_RDONLY);
  dup2(null_fd, 0);
  dup2(stdout_fd, 1);
  // The terminal stays open until the child ends, so the parent reads all
  // the dialog wrote before the terminal hangs up.
  if (dup(2) < 0) _exit(3);
  dup2(stderr_fd, 2);
  setenv("XDG_CONFIG_HOME", config_home.c_str(), 1);
  LensoraPlugIn plugin;
  if (!plugin.Open(VIDMOTE_PATH)) _exit(2);
  plugin.OnInit(nullptr);
  plugin.SetResolution(640, 480);
  DialogReport report{};
  report.dialog_ok = plugin.DoModalOptionDlg();
  plugin.GetResolution(&report.width, &report.height);
  KImageT<K_RGB> image;
  report.captured = plugin.Capture(image);
  if (report.captured) {
    report.top_left = picture_at(image, 0, 0);
    report.top_right = picture_at(image, image.width - 1, 0);
  }
  write(report_fd, &report, sizeof report);
  _exit(0);
}

// config_home: where the settings are saved; "" for a fresh scratch folder.
DialogRun run_dialog(const std::string& keys, const std::string& config_home = "") {
  DialogRun run;
  const ScratchDir fresh;
  int report_pipe[2], stdout_pipe[2], stderr_pipe[2];
  if (pipe(report_pipe) != 0 || pipe(stdout_pipe) != 0 || pipe(stderr_pipe) != 0) return run;
  fflush(nullptr);
  int master = -1;
  pid_t pid = forkpty(&master, nullptr, nullptr, nullptr);
  if (pid == 0)
    dialog_child(report_pipe[1], stdout_pipe[1], stderr_pipe[1],
                 config_home.empty() ? fresh.path() : config_home);
  close(report_pipe[1]);
  close(stdout_pipe[1]);
  close(stderr_pipe[1]);
  if (pid > 0) {
    write_all(master, keys);
    // Drain the terminal until the child lets go of it, so it never blocks.
    const double deadline = now_seconds() + kChildSeconds;
    for (;;) {
      int left_ms = static_cast<int>((deadline - now_seconds()) * 1000);
      pollfd pfd{master, POLLIN, 0};
      if (left_ms <= 0 || poll(&pfd, 1, left_ms) <= 0) break;
      char buffer[4096];
      ssize_t n = read(master, buffer, sizeof buffer);
      if (n <= 0) break;  // EIO once the child closed its side
      run.transcript.append(buffer, n);
    }
    run.status = wait_child(pid);
    close(master);
    run.reported = read(report_pipe[0], &run.report, sizeof run.report) ==
                   static_cast<ssize_t>(sizeof run.report);
    run.stdout_text = read_all(stdout_pipe[0]);
    run.stderr_text = read_all(stderr_pipe[0]);
  }
  close(report_pipe[0]);
  close(stdout_pipe[0]);
  close(stderr_pipe[0]);
  return run;
}

TEST(VidmoteDialog, KeysOnTheTerminalChangeTheSettings) {
  const struct {
    const char* keys;
    int w, h;
    Bgr top_left, top_right;  // tells the pattern apart
  } cases[] = {
      {"2\n1\n0\n", 320, 240, kWhite, kBlack},            // size from the list, 0 = done
      {"2\n1\n\n", 320, 240, kWhite, kBlack},             // empty line = done
      {"2\n1\n\x04", 320, 240, kWhite, kBlack},           // end of input closes too
      {"2\n5\ndone\n", 1920, 1080, kWhite, kBlack},       // "done"
      {"2\n6\n1024 768\n\n", 1024, 768, kWhite, kBlack},  // custom W H
      {"2\n6\n800x600\n\n", 800, 600, kWhite, kBlack},    // custom WxH
      {"2\n6\n0 5\n\n", 640, 480, kWhite, kBlack},        // refused custom size
      {"9\nabc\n2\n7\n3\n\n", 800, 600, kWhite, kBlack},  // wrong numbers are asked again
      {"2\n\n\n", 640, 480, kWhite, kBlack},              // back out of the size menu
      {"1\n1\n\n", 640, 480, kWhite, kBlack},             // the only source
      {"3\n2\n\n", 640, 480, kBlack, kWhite},             // gray ramp
      {"3\n3\n\n", 640, 480, kWhite, kWhite},             // checkerboard, 60-pixel cells
      {"3\n4\n\n", 640, 480, kBlue, kBlue},               // solid blue
      {"3\n4\n3\n1\n\n", 640, 480, kWhite, kBlack},       // and back to bars
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(::testing::PrintToString(std::string(c.keys)));
    DialogRun run = run_dialog(c.keys);
    ASSERT_TRUE(WIFEXITED(run.status)) << "child hung or crashed\n" << run.transcript;
    ASSERT_TRUE(run.reported) << run.transcript;
    EXPECT_EQ(run.report.dialog_ok, 1);
    EXPECT_EQ(run.report.width, c.w);
    EXPECT_EQ(run.report.height, c.h);
    EXPECT_EQ(run.report.captured, 1);
    EXPECT_TRUE(run.report.top_left == c.top_left);
    EXPECT_TRUE(run.report.top_right == c.top_right);
    EXPECT_NE(run.transcript.find("Vidmote settings"), std::string::npos) << run.transcript;
    EXPECT_EQ(run.stdout_text, "");
  }
}

TEST(VidmoteDialog, MenuShowsTheCurrentSettings) {
  DialogRun run = run_dialog("3\n3\n\n");
  ASSERT_TRUE(run.reported) << run.transcript;
  for (const char* text : {"1) Source: Test card", "2) Size: 640 x 480", "3) Pattern: bars",
                           "0) Done", "1) bars  (current)", "3) Pattern: checkerboard"}) {
    EXPECT_NE(run.transcript.find(text), std::string::npos) << text << "\n" << run.transcript;
  }
}

// What the dialog changed is saved whole for the next start, beside what
// was saved before; a folder that cannot take it is reported.
TEST(VidmoteDialog, WhatTheDialogChangesIsSavedForTheNextStart) {
  const char kHeader[] = "# Vidmote settings for Test card, kept by the settings dialog.\n";
  const struct {
    const char* keys;
    const char* saved_before;  // nullptr: none
    bool folder_is_a_file;
    const char* saved;  // after the header; nullptr: no file
  } cases[] = {
      {"2\n1\n\n", nullptr, false, "VIDMOTE_SIZE=320x240\n"},
      {"2\n6\n1000x8\n\n", nullptr, false, "VIDMOTE_SIZE=1000x8\n"},
      {"3\n3\n\n", nullptr, false, "VIDMOTE_CONTROLS=pattern=checkerboard\n"},
      {"4\n30\n\n", nullptr, false, "VIDMOTE_IDLE=30\n"},
      {"3\n2\n3\n4\n\n", nullptr, false, "VIDMOTE_CONTROLS=pattern=solid_blue\n"},
      {"2\n6\n0 5\n\n", nullptr, false, nullptr},  // refused: nothing changed
      {"\n", nullptr, false, nullptr},
      {"2\n1\n\n", "VIDMOTE_IDLE=5\nVIDMOTE_SIZE=800x600\n", false,
       "VIDMOTE_SIZE=320x240\nVIDMOTE_IDLE=5\n"},
      {"2\n1\n\n", nullptr, true, nullptr},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(::testing::PrintToString(std::string(c.keys)));
    const ScratchDir scratch;
    std::string home = scratch.path();
    if (c.folder_is_a_file) {
      home = scratch.file("a-file");
      write_file(home, "");
    }
    const std::string file = home + "/vidmote/Test_card.conf";
    if (c.saved_before) {
      ASSERT_EQ(mkdir((home + "/vidmote").c_str(), 0700), 0);
      write_file(file, c.saved_before);
    }
    DialogRun run = run_dialog(c.keys, home);
    ASSERT_TRUE(run.reported) << run.transcript;
    EXPECT_EQ(run.report.dialog_ok, 1);
    if (c.saved) {
      ASSERT_TRUE(file_exists(file));
      EXPECT_EQ(read_file(file), kHeader + std::string(c.saved));
      EXPECT_EQ(list_folder(home + "/vidmote").size(), 1u) << "a temporary file was left";
    } else if (!c.saved_before) {
      EXPECT_FALSE(file_exists(file));
    }
    // A folder that is a file is told of as the start reads the settings,
    // and again as the dialog saves them.
    EXPECT_EQ(run.stderr_text,
              c.folder_is_a_file
                  ? "vidmote: " + file + ": Not a directory; the saved settings are ignored\n" +
                        "vidmote: the settings cannot be saved in " + file + ": Not a directory\n"
                  : "");
  }
}

}  // namespace
