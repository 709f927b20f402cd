// list-cameras: its command line, a machine without cameras, the text it
// makes of what devices report, and its verdicts against the plug-in's own
// choice of camera. A real camera's listing is in tests/guest/vivid_test.cpp.
#include <errno.h>
#include <glob.h>
#include <gtest/gtest.h>
#include <spa/param/video/raw.h>
#include <string.h>

#include <memory>
#include <string>
#include <vector>

#include "device_text.h"
#include "listing.h"
#include "pipewire_details.h"
#include "program_runner.h"
#include "support/files.h"
#include "test_card.h"
#include "v4l2_camera.h"
#include "v4l2_details.h"
#include "vidmote.h"

namespace {

RunResult run_list_cameras(const std::vector<std::string>& args) {
  ScratchDir cwd;
  RunOptions options;
  options.program = LIST_CAMERAS_PATH;
  options.plugin = "";
  options.args = args;
  return run_program(cwd.path(), options);
}

bool machine_has_video_nodes() {
  glob_t found = {};
  const bool any = glob("/dev/video*", 0, nullptr, &found) == 0 && found.gl_pathc > 0;
  globfree(&found);
  return any;
}

const char kNoCameras[] = "No cameras found: the plug-in uses its built-in test card.\n";

TEST(ListCamerasProgram, CommandLine) {
  const struct {
    std::vector<std::string> args;
    int status;
    std::string out_starts, err_starts;
  } cases[] = {
      {{"--help"}, 0, "Usage: list-cameras [DEVICE]\n", ""},
      {{"--version"}, 0, "list-cameras 1.0.0\n", ""},
      {{"--versions"}, 2, "", "Usage: list-cameras [DEVICE]\n"},
      {{"-x"}, 2, "", "Usage: list-cameras [DEVICE]\n"},
      {{"/dev/video0", "/dev/video1"}, 2, "", "Usage: list-cameras [DEVICE]\n"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(::testing::PrintToString(c.args));
    const RunResult r = run_list_cameras(c.args);
    EXPECT_EQ(r.status, c.status) << r.err;
    EXPECT_EQ(r.out.substr(0, c.out_starts.size()), c.out_starts) << r.out;
    EXPECT_EQ(r.err.substr(0, c.err_starts.size()), c.err_starts) << r.err;
    if (c.out_starts.empty()) {
      EXPECT_EQ(r.out, "");
    }
    if (c.err_starts.empty()) {
      EXPECT_EQ(r.err, "");
    }
  }
  // The version is the program's.
  EXPECT_EQ(run_list_cameras({"--version"}).out, "list-cameras " CAPTURE_CONSOLE_VERSION "\n");
}

TEST(ListCamerasProgram, AMachineWithoutCamerasGetsTheTestCard) {
  if (machine_has_video_nodes()) GTEST_SKIP() << "this machine has /dev/video nodes";
  const RunResult all = run_list_cameras({});
  EXPECT_EQ(all.status, 0) << all.err;
  EXPECT_EQ(all.out, kNoCameras);
  EXPECT_EQ(all.err, "");
  // A device that is not there: what VIDMOTE_DEVICE would make of it.
  const RunResult named = run_list_cameras({"/dev/video7"});
  EXPECT_EQ(named.status, 1);
  EXPECT_EQ(named.out, std::string("/dev/video7\n"
                                   "  plug-in: not used: no such device\n"
                                   "  details: it cannot be opened: No such file or directory\n"
                                   "\n"
                                   "With VIDMOTE_DEVICE=/dev/video7 the plug-in fails to start: a "
                                   "camera named that does not open is never replaced by the test "
                                   "card.\n"));
}

// ---- The text ----

TEST(ListCamerasText, FrameRates) {
  const struct {
    uint64_t fast_n, fast_d, slow_n, slow_d;
    std::string one, range;  // fps_text of the fast interval, rate_range_text
  } cases[] = {
      {1, 30, 1, 30, "30", "30 fps"},
      {1001, 30000, 1001, 30000, "29.97", "29.97 fps"},
      {1, 30, 1, 5, "30", "5 to 30 fps"},
      {2, 15, 2, 15, "7.5", "7.5 fps"},
      {333333, 10000000, 2000000, 10000000, "30", "5 to 30 fps"},  // DirectShow's 100 ns units
      {5, 1, 5, 1, "0.2", "0.2 fps"},
      {0, 30, 1, 5, "", "5 fps"},  // no time at all is no rate
      {1, 0, 0, 0, "", ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.range);
    EXPECT_EQ(list_cameras::fps_text(c.fast_n, c.fast_d), c.one);
    EXPECT_EQ(list_cameras::rate_range_text(c.fast_n, c.fast_d, c.slow_n, c.slow_d), c.range);
  }
}

TEST(ListCamerasText, SizesAndFormatCodes) {
  EXPECT_EQ(list_cameras::size_text(640, 480), "640x480");
  EXPECT_EQ(list_cameras::size_range_text(320, 240, 1920, 1080, 16, 8),
            "320x240 to 1920x1080 in steps of 16x8");
  EXPECT_EQ(list_cameras::size_range_text(1, 1, 4096, 2160, 1, 1),
            "1x1 to 4096x2160, any size between");
  const struct {
    uint32_t code;
    const char* text;
  } fourccs[] = {
      {0x56595559, "YUYV"},                // v4l2_fourcc('Y', 'U', 'Y', 'V')
      {0x47504A4D, "MJPG"},                //
      {0x20303159, "Y10"},                 // "Y10 ": the padding goes
      {0x524742 | (0x1Bu << 24), "BGR?"},  // an escape byte never reaches the terminal
      {0x35315259 | (1u << 31), "YR15-BE"},
  };
  for (const auto& c : fourccs) EXPECT_EQ(list_cameras::fourcc_text(c.code), c.text) << c.text;

  const uint8_t fourcc_tail[8] = {0x80, 0x00, 0x00, 0xAA, 0x00, 0x38, 0x9B, 0x71};
  const uint8_t rgb_tail[8] = {0x9F, 0x53, 0x00, 0x20, 0xAF, 0x0B, 0xA7, 0x70};
  const struct {
    uint32_t data1;
    uint16_t data2, data3;
    const uint8_t* data4;
    const char* text;
  } subtypes[] = {
      {0x32595559, 0x0000, 0x0010, fourcc_tail, "YUY2"},
      {0x47504A4D, 0x0000, 0x0010, fourcc_tail, "MJPG"},
      {0xE436EB7D, 0x524F, 0x11CE, rgb_tail, "RGB24"},
      {0xE436EB7E, 0x524F, 0x11CE, rgb_tail, "RGB32"},
      {0xE436EB7B, 0x524F, 0x11CE, rgb_tail, "RGB565"},
      {0xE436EB7F, 0x524F, 0x11CE, rgb_tail, "{E436EB7F-524F-11CE-9F53-0020AF0BA770}"},
      {0x32595559, 0x0000, 0x0011, fourcc_tail, "{32595559-0000-0011-8000-00AA00389B71}"},
  };
  for (const auto& c : subtypes)
    EXPECT_EQ(list_cameras::subtype_text(c.data1, c.data2, c.data3, c.data4), c.text);
}

// A PipeWire camera: its node, what it wraps, its formats by the modes
// the node offered, a range of sizes as one line.
TEST(ListCamerasText, PipeWireCamerasSayWhatTheyWrap) {
  vidmote::PwNode vivid, sensor;
  vivid.name = "v4l2_input.platform-vivid.0";
  vivid.description = "vivid";
  vivid.v4l2_path = "/dev/video0";
  sensor.name = "libcamera_input.sensor";
  sensor.description = "Front\x1b[2JCamera";
  sensor.libcamera_id = "sensor";
  vidmote::PwMode yuy480, yuy720, nv12, any;
  yuy480.format = yuy720.format = SPA_VIDEO_FORMAT_YUY2;
  yuy480.smallest = yuy480.largest = {640, 480};
  yuy480.rate_num = 60;
  yuy720.smallest = yuy720.largest = {1280, 720};
  yuy720.rate_num = 30000;
  yuy720.rate_den = 1001;
  nv12.format = SPA_VIDEO_FORMAT_NV12;
  nv12.smallest = nv12.largest = {640, 480};
  any.format = SPA_VIDEO_FORMAT_BGR;
  any.smallest = {1, 1};
  any.largest = {4000, 3000};
  const struct {
    vidmote::PwNode node;
    std::vector<vidmote::PwMode> modes;
    std::string text;
  } cases[] = {
      {vivid,
       {yuy480, yuy720, nv12},
       "PipeWire v4l2_input.platform-vivid.0: vivid\n"
       "  wraps: V4L2 /dev/video0\n"
       "  plug-in: usable: VIDMOTE_DEVICE=v4l2_input.platform-vivid.0\n"
       "  formats:\n"
       "    YUY2 (the plug-in can read it)\n"
       "      640x480: 60 fps\n"
       "      1280x720: 29.97 fps\n"
       "    NV12 (the plug-in cannot convert it)\n"
       "      640x480\n"
       "  controls: none\n"},
      {sensor,
       {any},
       "PipeWire libcamera_input.sensor: Front?[2JCamera\n"
       "  wraps: libcamera camera sensor\n"
       "  plug-in: usable: VIDMOTE_DEVICE=v4l2_input.platform-vivid.0\n"
       "  formats:\n"
       "    BGR (the plug-in can read it)\n"
       "      1x1 to 4000x3000, any size between\n"
       "  controls: none\n"},
  };
  for (const auto& c : cases) {
    list_cameras::CameraEntry entry = list_cameras::pipewire_entry(c.node, c.modes);
    entry.verdict = "usable: VIDMOTE_DEVICE=v4l2_input.platform-vivid.0";
    EXPECT_EQ(list_cameras::camera_text(entry), c.text);
    EXPECT_EQ(entry.name, vidmote::printable(c.node.description) + " (PipeWire)");
  }
}

TEST(ListCamerasText, TheLastLineNamesTheDefaultOrTheTestCard) {
  list_cameras::CameraEntry camera;
  camera.heading = "/dev/video0: vivid";
  camera.verdict = "used by default";
  const std::string listed =
      "/dev/video0: vivid\n  plug-in: used by default\n  formats: none\n  controls: none\n\n";
  const struct {
    std::vector<list_cameras::CameraEntry> shown;
    const char* default_name;
    bool any_camera;
    std::string text;
    std::vector<std::string> not_cameras = {};
    std::string unusable_named = "";
  } cases[] = {
      {{camera}, "vivid (/dev/video0)", true, listed + "Default: vivid (/dev/video0)\n"},
      {{camera}, "", true, listed + "No camera opens: the plug-in uses its built-in test card.\n"},
      {{}, "vivid (/dev/video0)", true, "Default: vivid (/dev/video0)\n"},  // another one listed
      {{}, "", false, kNoCameras},
      {{},
       "",
       false,
       std::string("Not cameras: /dev/video1, /dev/video3\n") + kNoCameras,
       {"/dev/video1", "/dev/video3"}},
      // A device named that does not open: no test card then, whatever else is there.
      {{camera},
       "vivid (/dev/video0)",
       true,
       listed + "With VIDMOTE_DEVICE=/dev/null the plug-in fails to start: a camera named that "
                "does not open is never replaced by the test card.\n",
       {},
       "/dev/null"},
      {{},
       "",
       false,
       "With VIDMOTE_DEVICE=a?? the plug-in fails to start: a camera named "
       "that does not open is never replaced by the test card.\n",
       {},
       "a\x1b?"},
  };
  for (const auto& c : cases)
    EXPECT_EQ(list_cameras::listing_text(c.shown, c.default_name, c.any_camera, c.not_cameras,
                                         c.unusable_named),
              c.text);
}

// ---- A V4L2 node's details, from a stand-in driver ----

// A webcam as a driver lists it: YUYV at two sizes, MJPEG over a range of
// sizes, one conversion of libv4lconvert's (which the kernel never lists),
// a control class, an integer, a menu with a gap, a disabled control and an
// inactive boolean.
class StandInNode : public vidmote::V4l2Device {
 public:
  int open(const std::string&) override { return open_error; }
  void close() override {}
  int ioctl(unsigned long request, void* argument) override {
    switch (request) {
      case VIDIOC_QUERYCAP: {
        auto* caps = static_cast<v4l2_capability*>(argument);
        *caps = {};
        memcpy(caps->card, "Cam\x1b]0;x", 8);  // an escape from the device
        memcpy(caps->driver, "uvcvideo", 8);
        memcpy(caps->bus_info, "usb-0000:00:14.0-1", 18);
        caps->capabilities = V4L2_CAP_VIDEO_CAPTURE | V4L2_CAP_STREAMING | V4L2_CAP_DEVICE_CAPS;
        caps->device_caps =
            capture ? V4L2_CAP_VIDEO_CAPTURE | V4L2_CAP_STREAMING : V4L2_CAP_META_CAPTURE;
        if (multi_planar) caps->device_caps = V4L2_CAP_VIDEO_CAPTURE_MPLANE | V4L2_CAP_STREAMING;
        return 0;
      }
      case VIDIOC_ENUM_FMT: {
        auto* format = static_cast<v4l2_fmtdesc*>(argument);
        if (format->type !=
            (multi_planar ? V4L2_BUF_TYPE_VIDEO_CAPTURE_MPLANE : V4L2_BUF_TYPE_VIDEO_CAPTURE))
          return fail(EINVAL);
        const struct {
          uint32_t code;
          const char* description;
          uint32_t flags;
        } formats[] = {{V4L2_PIX_FMT_YUYV, "YUYV 4:2:2", 0},
                       {V4L2_PIX_FMT_BGR24, "BGR3", V4L2_FMT_FLAG_EMULATED},
                       {V4L2_PIX_FMT_MJPEG, "Motion-JPEG", V4L2_FMT_FLAG_COMPRESSED}};
        if (h264_only) {
          if (format->index > 0) return fail(EINVAL);
          format->pixelformat = V4L2_PIX_FMT_H264;
          strcpy(reinterpret_cast<char*>(format->description), "H.264");
          return 0;
        }
        if (format->index >= 3) return fail(EINVAL);
        format->pixelformat = formats[format->index].code;
        format->flags = formats[format->index].flags;
        strcpy(reinterpret_cast<char*>(format->description), formats[format->index].description);
        return 0;
      }
      case VIDIOC_S_FMT:
      case VIDIOC_TRY_FMT: {
        // An H.264 camera answers any format asked for in its own.
        if (!h264_only) return fail(ENOTTY);
        v4l2_pix_format& pix = static_cast<v4l2_format*>(argument)->fmt.pix;
        pix.pixelformat = V4L2_PIX_FMT_H264;
        pix.width = 1920, pix.height = 1080;
        return 0;
      }
      case VIDIOC_ENUM_FRAMESIZES: {
        auto* size = static_cast<v4l2_frmsizeenum*>(argument);
        if (size->pixel_format == V4L2_PIX_FMT_YUYV && size->index < 2) {
          size->type = V4L2_FRMSIZE_TYPE_DISCRETE;
          size->discrete =
              size->index == 0 ? v4l2_frmsize_discrete{640, 480} : v4l2_frmsize_discrete{1280, 720};
          return 0;
        }
        if (size->pixel_format != V4L2_PIX_FMT_MJPEG || size->index > 0) return fail(EINVAL);
        size->type = V4L2_FRMSIZE_TYPE_STEPWISE;
        size->stepwise = {160, 1920, 16, 120, 1080, 8};
        return 0;
      }
      case VIDIOC_ENUM_FRAMEINTERVALS: {
        auto* interval = static_cast<v4l2_frmivalenum*>(argument);
        const bool vga = interval->width == 640 && interval->height == 480;
        if (interval->pixel_format == V4L2_PIX_FMT_YUYV && interval->index < (vga ? 2u : 1u)) {
          interval->type = V4L2_FRMIVAL_TYPE_DISCRETE;
          interval->discrete = {1, vga ? (interval->index == 0 ? 30u : 15u) : 10u};
          return 0;
        }
        if (interval->pixel_format != V4L2_PIX_FMT_MJPEG || interval->index > 0 ||
            interval->width != 1920)
          return fail(EINVAL);
        interval->type = V4L2_FRMIVAL_TYPE_CONTINUOUS;
        interval->stepwise = {{1, 30}, {1, 5}, {1, 1}};
        return 0;
      }
      case VIDIOC_QUERYCTRL: {
        auto* query = static_cast<v4l2_queryctrl*>(argument);
        const uint32_t after = query->id & ~V4L2_CTRL_FLAG_NEXT_CTRL;
        if (unanswered && !(query->id & V4L2_CTRL_FLAG_NEXT_CTRL)) {
          // Asked by its own id, as uvcvideo answers.
          if (after == unanswered) return fail(EIO);
          for (const v4l2_queryctrl& control : controls())
            if (control.id == after) return *query = control, 0;
          return fail(EINVAL);
        }
        for (const v4l2_queryctrl& control : controls()) {
          if (control.id > after && control.id == unanswered) return fail(EIO);
          if (control.id > after) {
            *query = control;
            return 0;
          }
        }
        return fail(EINVAL);
      }
      case VIDIOC_QUERYMENU: {
        auto* item = static_cast<v4l2_querymenu*>(argument);
        if (item->id != V4L2_CID_POWER_LINE_FREQUENCY || item->index == 1 || item->index > 2)
          return fail(EINVAL);
        strcpy(reinterpret_cast<char*>(item->name), item->index == 0 ? "Disabled" : "60 Hz");
        return 0;
      }
      case VIDIOC_QUERY_EXT_CTRL: {
        auto* query = static_cast<v4l2_query_ext_ctrl*>(argument);
        if (query->id != V4L2_CID_USER_BASE + 0x1001) return fail(EINVAL);
        query->minimum = -(int64_t{1} << 40);
        query->maximum = int64_t{1} << 40;
        query->step = 2;
        query->default_value = 6;
        return 0;
      }
      case VIDIOC_G_EXT_CTRLS: {
        auto* controls = static_cast<v4l2_ext_controls*>(argument);
        controls->controls[0].value64 = int64_t{1} << 33;
        return 0;
      }
      case VIDIOC_G_CTRL: {
        auto* control = static_cast<v4l2_control*>(argument);
        control->value = control->id == V4L2_CID_BRIGHTNESS ? 40 : 2;
        return control->id == V4L2_CID_HFLIP ? fail(EIO) : 0;
      }
      default:
        return fail(ENOTTY);
    }
  }
  void* map(size_t, uint32_t) override { return nullptr; }
  void unmap(void*, size_t) override {}
  Wait wait(int) override { return Wait::kError; }
  int64_t now_ns() override { return 0; }
  std::string holder(const std::string&) override { return ""; }
  // As libv4lconvert with no decoder for what the camera offers: the
  // driver's own answer.
  bool source_format_for(v4l2_pix_format* bgr, v4l2_pix_format* source) override {
    v4l2_format answer = {};
    answer.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
    answer.fmt.pix = *bgr;
    if (ioctl(VIDIOC_TRY_FMT, &answer) != 0) return false;
    *bgr = *source = answer.fmt.pix;
    return true;
  }
  bool convert(const v4l2_pix_format&, const v4l2_pix_format&, const uint8_t*, size_t, uint8_t*,
               size_t) override {
    return false;
  }

  int open_error = 0;
  bool capture = true;
  bool h264_only = false;     // offers H.264 alone
  bool multi_planar = false;  // captures through the multi-planar calls alone
  uint32_t unanswered = 0;    // a control whose query fails, as one the camera stalls

 private:
  static int fail(int error) {
    errno = error;
    return -1;
  }
  static std::vector<v4l2_queryctrl> controls() {
    auto control = [](uint32_t id, uint32_t type, const char* name, int32_t low, int32_t high,
                      int32_t step, int32_t normal, uint32_t flags) {
      v4l2_queryctrl query = {};
      query.id = id;
      query.type = type;
      strcpy(reinterpret_cast<char*>(query.name), name);
      query.minimum = low;
      query.maximum = high;
      query.step = step;
      query.default_value = normal;
      query.flags = flags;
      return query;
    };
    return {control(V4L2_CTRL_CLASS_USER | 1, V4L2_CTRL_TYPE_CTRL_CLASS, "User Controls", 0, 0, 0,
                    0, V4L2_CTRL_FLAG_READ_ONLY),
            control(V4L2_CID_BRIGHTNESS, V4L2_CTRL_TYPE_INTEGER, "Brightness", 0, 255, 1, 128, 0),
            control(V4L2_CID_CONTRAST, V4L2_CTRL_TYPE_INTEGER, "Contrast", 0, 255, 1, 128,
                    V4L2_CTRL_FLAG_DISABLED),
            control(V4L2_CID_HFLIP, V4L2_CTRL_TYPE_BOOLEAN, "Horizontal Flip", 0, 1, 1, 1,
                    V4L2_CTRL_FLAG_INACTIVE),
            control(V4L2_CID_POWER_LINE_FREQUENCY, V4L2_CTRL_TYPE_MENU, "Power Line Frequency", 0,
                    2, 1, 2, 0),
            control(V4L2_CID_USER_BASE + 0x1000, V4L2_CTRL_TYPE_BITMASK, "Bitmask", 0,
                    static_cast<int32_t>(0x80002000), 0, static_cast<int32_t>(0x80000000), 0),
            control(V4L2_CID_USER_BASE + 0x1001, V4L2_CTRL_TYPE_INTEGER64, "Integer 64 Bits", 0, 0,
                    0, 0, 0),
            control(V4L2_CID_USER_BASE + 0x1002, V4L2_CTRL_TYPE_BUTTON, "Reset", 0, 0, 0, 0,
                    V4L2_CTRL_FLAG_WRITE_ONLY),
            control(V4L2_CTRL_CLASS_CAMERA | 1, V4L2_CTRL_TYPE_CTRL_CLASS, "Camera Controls", 0, 0,
                    0, 0, V4L2_CTRL_FLAG_READ_ONLY),
            control(V4L2_CID_EXPOSURE_ABSOLUTE, V4L2_CTRL_TYPE_INTEGER, "Exposure Time, Absolute",
                    3, 2047, 1, 250, 0),
            control(V4L2_CID_FOCUS_ABSOLUTE, V4L2_CTRL_TYPE_INTEGER, "Focus, Absolute", 0, 250, 5,
                    0, 0),
            control(V4L2_CID_ZOOM_ABSOLUTE, V4L2_CTRL_TYPE_INTEGER, "Zoom, Absolute", 100, 500, 1,
                    100, 0)};
  }
};

// A multi-planar-only node (rkisp1, camss) is listed as a camera alike.
TEST(ListCamerasV4l2, WhatTheDriverListsIsShown) {
  for (const bool multi_planar : {false, true}) {
    SCOPED_TRACE(multi_planar ? "multi-planar" : "single-planar");
    StandInNode node;
    node.multi_planar = multi_planar;
    list_cameras::CameraEntry entry;
    entry.verdict = "used by default";
    ASSERT_TRUE(list_cameras::describe_v4l2_node(node, "/dev/video0", &entry)) << entry.problem;
    EXPECT_EQ(entry.name, "Cam?]0;x (/dev/video0)");
    EXPECT_EQ(list_cameras::camera_text(entry),
              "/dev/video0: Cam?]0;x\n"
              "  driver: uvcvideo\n"
              "  bus: usb-0000:00:14.0-1\n"
              "  plug-in: used by default\n"
              "  formats:\n"
              "    YUYV: YUYV 4:2:2 (the plug-in can read it directly)\n"
              "      640x480: 30 fps, 15 fps\n"
              "      1280x720: 10 fps\n"
              "    MJPG: Motion-JPEG (compressed)\n"
              "      160x120 to 1920x1080 in steps of 16x8: 5 to 30 fps at 1920x1080\n"
              "  controls:\n"
              "    Brightness: integer, 0 to 255, step 1, default 128, current 40\n"
              "    Horizontal Flip: boolean, default on (inactive)\n"
              "    Power Line Frequency: menu, 0 to 2, default 2 (60 Hz), current 2 (60 Hz)\n"
              "      0: Disabled\n"
              "      2: 60 Hz\n"
              "    Bitmask: bitmask, default 0x80000000, current 0x00000002\n"
              "    Integer 64 Bits: 64-bit integer, -1099511627776 to 1099511627776, step 2, "
              "default 6, current 8589934592\n"
              "    Reset: button (write-only)\n"
              "    Exposure Time, Absolute: integer, 3 to 2047, step 1, default 250, current 2\n"
              "    Focus, Absolute: integer, 0 to 250, step 5, default 0, current 2\n"
              "    Zoom, Absolute: integer, 100 to 500, step 1, default 100, current 2\n");
  }
}

TEST(ListCamerasV4l2, AControlTheCameraDoesNotAnswerIsLeftOutAndTheRestShown) {
  const struct {
    uint32_t unanswered;
    const char* left_out;
  } cases[] = {
      {V4L2_CID_BRIGHTNESS, "    Brightness: "},
      {V4L2_CID_HFLIP, "    Horizontal Flip: "},
      {V4L2_CID_POWER_LINE_FREQUENCY, "    Power Line Frequency: "},
      {V4L2_CID_FOCUS_ABSOLUTE, "    Focus, Absolute: "},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.left_out);
    StandInNode node;
    node.unanswered = c.unanswered;
    list_cameras::CameraEntry entry;
    ASSERT_TRUE(list_cameras::describe_v4l2_node(node, "/dev/video0", &entry)) << entry.problem;
    const std::string text = list_cameras::camera_text(entry);
    EXPECT_EQ(text.find(c.left_out), std::string::npos) << text;
    for (const char* shown :
         {"    Brightness: ", "    Horizontal Flip: ", "    Power Line Frequency: ",
          "    Bitmask: ", "    Reset: button",
          "    Exposure Time, Absolute: ", "    Focus, Absolute: ", "    Zoom, Absolute: "}) {
      if (strcmp(shown, c.left_out) != 0) {
        EXPECT_NE(text.find(shown), std::string::npos) << shown << "\n" << text;
      }
    }
  }
}

TEST(ListCamerasV4l2, ANodeThatCannotBeReadSaysWhy) {
  const struct {
    int open_error;
    bool capture;
    const char* problem;
  } cases[] = {
      {EACCES, true, "it cannot be opened: Permission denied"},
      {0, false, "not a camera: the node does not capture video"},
  };
  for (const auto& c : cases) {
    StandInNode node;
    node.open_error = c.open_error;
    node.capture = c.capture;
    list_cameras::CameraEntry entry;
    EXPECT_FALSE(list_cameras::describe_v4l2_node(node, "/dev/video1", &entry));
    EXPECT_EQ(entry.problem, c.problem);
    EXPECT_TRUE(entry.formats.empty() && entry.controls.empty());
  }
}

// ---- Verdicts: the plug-in's own choice ----

// A camera that opens or says why not, and counts its opens and closes.
class StandInCamera : public vidmote::FrameSource {
 public:
  StandInCamera(std::string name, std::string failure, int* open_now)
      : name_(std::move(name)), failure_(std::move(failure)), open_now_(open_now) {}
  std::string name() const override { return name_; }
  bool open() override {
    if (!failure_.empty() || open_) return open_;
    open_ = true;
    ++*open_now_;
    return true;
  }
  void close() override {
    if (open_) --*open_now_;
    open_ = false;
  }
  std::string failure() const override { return failure_; }
  bool is_open() const override { return open_; }
  vidmote::SizeAnswer set_size(int32_t, int32_t) override { return vidmote::SizeAnswer::kExact; }
  vidmote::FrameSize get_size() const override { return {640, 480}; }
  bool capture(uint8_t*) override { return false; }

 private:
  std::string name_, failure_;
  int* open_now_;
  bool open_ = false;
};

// For a failure of kH264Camera: the plug-in's own camera on a node that
// offers H.264 alone.
const char kH264Camera[] = "(an H.264 camera)";

TEST(ListCamerasVerdicts, AgreeWithThePlugInsChoice) {
  const char kBusy[] = "busy: another program is using it";
  const struct {
    const char* what;
    std::vector<std::string> failures;  // one camera each; "" opens
    std::vector<std::string> selectors;
    std::vector<std::string> verdicts;
  } cases[] = {
      {"the first opens",
       {"", ""},
       {"/dev/video0", "/dev/video2"},
       {"used by default", "usable: VIDMOTE_DEVICE=/dev/video2"}},
      {"the first is busy",
       {kBusy, "", ""},
       {"/dev/video0", "/dev/video2", ""},
       {std::string("not used: ") + kBusy, "used by default",
        "usable, but no VIDMOTE_DEVICE value picks it"}},
      {"none opens",
       {kBusy, "not a capture device"},
       {"a", "b"},
       {std::string("not used: ") + kBusy, "not used: not a capture device"}},
      {"an escape in the reason", {"bad\x1b[2J"}, {"a"}, {"not used: bad?[2J"}},
      {"a camera of H.264 alone, answering every format asked for in H.264",
       {kH264Camera, ""},
       {"/dev/video0", "/dev/video2"},
       {"not used: it offers only H.264 frames, which the plug-in cannot decode",
        "used by default"}},
      {"an escape in the node path",
       {"", ""},
       {"a", "/dev/vid\x1b]0;x"},
       {"used by default", "usable: VIDMOTE_DEVICE=/dev/vid?]0;x"}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    int open_now = 0;
    auto sources = [&] {
      std::vector<std::unique_ptr<vidmote::FrameSource>> cameras;
      for (size_t i = 0; i < c.failures.size(); ++i) {
        if (c.failures[i] == kH264Camera) {
          auto node = std::make_unique<StandInNode>();
          node->h264_only = true;
          cameras.push_back(
              std::make_unique<vidmote::V4l2Camera>("/dev/video0", "H.264 Cam", std::move(node)));
          continue;
        }
        cameras.push_back(std::make_unique<StandInCamera>("camera " + std::to_string(i),
                                                          c.failures[i], &open_now));
      }
      return cameras;
    };
    const auto cameras = sources();
    const std::vector<list_cameras::Verdict> verdicts =
        list_cameras::plug_in_verdicts(cameras, c.selectors);
    EXPECT_EQ(open_now, 0) << "a camera left open";
    ASSERT_EQ(verdicts.size(), c.verdicts.size());
    std::string chosen = "Vidmote: Test card";
    for (size_t i = 0; i < verdicts.size(); ++i) {
      EXPECT_EQ(verdicts[i].text, c.verdicts[i]);
      if (verdicts[i].is_default) chosen = "Vidmote: " + cameras[i]->name();
    }
    // The plug-in over the same cameras and its test card picks the same one.
    auto plug_in_sources = sources();
    plug_in_sources.push_back(std::make_unique<vidmote::TestCardSource>());
    vidmote::Vidmote plug_in(std::move(plug_in_sources));
    testing::internal::CaptureStderr();  // its lines for the cameras it skips
    EXPECT_EQ(plug_in.name(), chosen);
    testing::internal::GetCapturedStderr();
    plug_in.destroy();
  }
}

}  // namespace
