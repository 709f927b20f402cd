// plugin-check against plug-ins that keep the contract and ones that break it.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <map>
#include <string>
#include <vector>

#include "program_runner.h"
#include "support/files.h"

namespace {

const std::string kFakecam = std::string(TEST_PLUGIN_DIR) + "/fakecam/libvidmote.so";

std::string variant(const char* name) {
  return std::string(TEST_PLUGIN_DIR) + "/" + name + "/libvidmote.so";
}

struct CheckCase {
  const char* name;
  std::string plugin;
  std::vector<std::string> flags;
  std::map<std::string, std::string> env;
  int status;
  std::string expected_line;  // a whole line of the report
};

// A name written past its n + 10 bytes, by a little or by a page or more.
const char kNameOverrunLine[] =
    "load the library: FAIL: wrote past the n + 10 bytes it was given for its name";

// plugin-check with these arguments, in a clean environment.
RunOptions check_options(std::vector<std::string> args) {
  RunOptions options;
  options.program = PLUGIN_CHECK_PATH;
  options.plugin = "";
  options.args = std::move(args);
  return options;
}

void PrintTo(const CheckCase& c, std::ostream* os) {
  *os << c.name;
}

class PluginCheck : public ::testing::TestWithParam<CheckCase> {};

TEST_P(PluginCheck, ReportsTheBrokenRule) {
  const CheckCase& c = GetParam();
  ScratchDir cwd;
  RunOptions options = check_options(c.flags);
  options.args.push_back(c.plugin);
  options.env = c.env;
  RunResult r = run_program(cwd.path(), options);
  EXPECT_EQ(r.status, c.status) << r.out;
  EXPECT_NE(("\n" + r.out).find("\n" + c.expected_line + "\n"), std::string::npos) << r.out;
}

const std::string kAllPass = "Total: 31 checks, 31 OK, 0 failed, 0 not supported";

INSTANTIATE_TEST_SUITE_P(
    Plugins, PluginCheck,
    ::testing::Values(
        CheckCase{"DefaultPlugInPasses", VIDMOTE_PATH, {"--frames=changing"}, {}, 0, kAllPass},
        CheckCase{"TemplatePasses", TEMPLATE_PLUGIN_PATH, {"--frames=stable"}, {}, 0, kAllPass},
        CheckCase{"TestCameraPasses", kFakecam, {}, {}, 0, kAllPass},
        // Seven captures of 0.4 s: each check well within its limit, the
        // scenario as a whole beyond it.
        CheckCase{"SlowButSteadyChecksPass",
                  kFakecam,
                  {"--timeout=2"},
                  {{"FAKECAM_CAPTURE_DELAY_MS", "400"}},
                  0,
                  kAllPass},
        CheckCase{"MissingFile",
                  variant("none"),
                  {},
                  {},
                  1,
                  "load the library: FAIL: " + variant("none") +
                      ": cannot open shared object file: No such file or directory"},
        CheckCase{"NameLengthZero",
                  kFakecam,
                  {},
                  {{"FAKECAM_NAME_LENGTH", "0"}},
                  1,
                  "name query (LN_GetDllName): FAIL: LN_GetDllName(null) returned 0; the "
                  "name's length, above 0, is needed"},
        CheckCase{"NameUnterminated",
                  kFakecam,
                  {},
                  {{"FAKECAM_NAME_UNTERMINATED", "1"}},
                  1,
                  "name query (LN_GetDllName): FAIL: no NUL terminator within the n + 10 bytes"},
        CheckCase{"NameWritesPastItsBuffer",
                  kFakecam,
                  {},
                  {{"FAKECAM_NAME", "ABCDEFGHIJKLMNOPQRSTUVWXYZ"}, {"FAKECAM_NAME_LENGTH", "4"}},
                  1,
                  kNameOverrunLine},
        CheckCase{"NameWrites17BytesPastItsBuffer",
                  kFakecam,
                  {},
                  {{"FAKECAM_NAME", std::string(30, 'n')}, {"FAKECAM_NAME_LENGTH", "4"}},
                  1,
                  kNameOverrunLine},
        CheckCase{"NameWrites101BytesPastItsBuffer",
                  kFakecam,
                  {},
                  {{"FAKECAM_NAME", std::string(114, 'n')}, {"FAKECAM_NAME_LENGTH", "4"}},
                  1,
                  kNameOverrunLine},
        CheckCase{"NameWrites5001BytesPastItsBuffer",
                  kFakecam,
                  {},
                  {{"FAKECAM_NAME", std::string(5014, 'n')}, {"FAKECAM_NAME_LENGTH", "4"}},
                  1,
                  kNameOverrunLine},
        CheckCase{"CrashBetweenChecks",
                  kFakecam,
                  {},
                  {{"FAKECAM_CRASH", "unload"}},
                  1,
                  "plug-in: FAIL: the plug-in crashed (signal 6) after its last check"},
        CheckCase{"NameBeyondTheLimit",
                  kFakecam,
                  {},
                  {{"FAKECAM_NAME", std::string(70000, 'n')}},
                  1,
                  "name query (LN_GetDllName): FAIL: LN_GetDllName(null) returned 70000; the "
                  "program refuses names longer than 65536 characters"},
        CheckCase{"NameLongerThanAnnounced",
                  kFakecam,
                  {},
                  {{"FAKECAM_NAME", "LongerName"}, {"FAKECAM_NAME_LENGTH", "4"}},
                  1,
                  "name query (LN_GetDllName): FAIL: announced 4 characters but copied 10"},
        CheckCase{"WrongFrameSize",
                  kFakecam,
                  {},
                  {{"FAKECAM_FRAME_BYTES", "100"}},
                  1,
                  "capture: FAIL: LN_Capture(null) gave 100 bytes; 640 x 480 x 3 = 921600"},
        CheckCase{"EmptyFrame",
                  kFakecam,
                  {},
                  {{"FAKECAM_SIZE", "0 0"}},
                  1,
                  "capture: FAIL: frame size 0 x 0: nothing to capture"},
        CheckCase{"WritesPastTheFrame",
                  kFakecam,
                  {},
                  {{"FAKECAM_OVERRUN", "1"}},
                  1,
                  "capture: FAIL: wrote past the end of the 921600-byte frame"},
        CheckCase{"CaptureFails",
                  kFakecam,
                  {},
                  {{"FAKECAM_CAPTURE", "0"}},
                  1,
                  "capture: FAIL: LN_Capture(buffer) returned 0"},
        CheckCase{"InitFails",
                  kFakecam,
                  {},
                  {{"FAKECAM_INIT", "0"}},
                  1,
                  "init (LN_OnInit with a null window): FAIL: LN_OnInit returned false or is "
                  "missing"},
        CheckCase{"DestroyFails",
                  kFakecam,
                  {},
                  {{"FAKECAM_DESTROY", "0"}},
                  1,
                  "destroy (LN_OnDestroy): FAIL: LN_OnDestroy returned false"},
        CheckCase{"DestroyCrashes",
                  kFakecam,
                  {},
                  {{"FAKECAM_CRASH", "LN_OnDestroy"}},
                  1,
                  "destroy without init: FAIL: the plug-in crashed (signal 6)"},
        CheckCase{"DialogHangs",
                  kFakecam,
                  {"--timeout=1"},
                  {{"FAKECAM_DIALOG_HANG", "1"}},
                  1,
                  "settings dialog without a terminal: FAIL: no answer within 1 s"},
        CheckCase{"DialogWritesToStandardOutput",
                  kFakecam,
                  {},
                  {{"FAKECAM_DIALOG_STDOUT", "1"}},
                  1,
                  "settings dialog without a terminal: FAIL: the dialog wrote to standard output"},
        CheckCase{"MovingFramesClaimedStable",
                  kFakecam,
                  {"--frames=stable"},
                  {},
                  1,
                  "frames over time: FAIL: the frame changed between captures; a stable picture "
                  "was expected"},
        CheckCase{"StableFramesClaimedMoving",
                  TEMPLATE_PLUGIN_PATH,
                  {"--frames=changing"},
                  {},
                  1,
                  "frames over time: FAIL: four captures gave the same frame; a moving picture "
                  "was expected"},
        CheckCase{"MissingCapture",
                  variant("no_Capture"),
                  {},
                  {},
                  1,
                  "export LN_Capture: FAIL: missing: no capture can succeed"},
        CheckCase{"OptionalExportMissing",
                  variant("no_SetResolution"),
                  {},
                  {},
                  0,
                  "export LN_SetResolution: not supported"},
        CheckCase{"NoExports",
                  variant("no_exports"),
                  {},
                  {},
                  1,
                  "export LN_GetDllName: FAIL: missing: the program cannot open the plug-in"}),
    [](const ::testing::TestParamInfo<CheckCase>& info) { return info.param.name; });

TEST(PluginCheckSlow, ACaptureOfMoreThanThreeSecondsIsReported) {
  ScratchDir cwd;
  RunOptions options = check_options({kFakecam});
  options.env = {{"FAKECAM_CAPTURE_DELAY_MS", "3200"}};
  RunResult r = run_program(cwd.path(), options);
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.out.find("\ncapture: FAIL: the capture took 3."), std::string::npos) << r.out;
}

// A scenario whose process cannot be started fails, never passes unseen,
// whoever may run plugin-check and wherever it lies: in a checkout under
// /root, say, that only root may enter.
TEST(PluginCheckProcesses, AScenarioWithoutAProcessFails) {
  ScratchDir owners_only;  // mode 0700
  const std::string copy = owners_only.file("plugin-check");
  write_file(copy, read_file(PLUGIN_CHECK_PATH));
  ASSERT_EQ(chmod(copy.c_str(), 0700), 0);
  const struct {
    const char* name;
    std::string program;
  } kCases[] = {
      {"as built", PLUGIN_CHECK_PATH},
      {"a copy only its owner may run, in a folder only its owner may enter", copy},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.name);
    ScratchDir cwd;
    RunOptions options = check_options({kFakecam});
    options.program = c.program;
    options.process_limit = 1;  // plugin-check itself: no child can be started
    RunResult r = run_program(cwd.path(), options);
    EXPECT_EQ(r.status, 1) << r.out;
    EXPECT_NE(r.out.find("\nThe program's call sequence\nplug-in: FAIL: no process for these "
                         "checks: Resource temporarily unavailable\n"),
              std::string::npos)
        << r.out;
  }
}

// --help and --version alone answer on standard output; a command line
// without one plug-in is a usage error.
TEST(PluginCheckUsage, HelpVersionAndUsageErrors) {
  const std::string usage =
      "Usage: plugin-check [--frames=changing|stable] [--timeout=SECONDS] PATH\n";
  const struct {
    std::vector<std::string> args;
    int status;
    std::string out_starts, err_starts;
  } kCases[] = {
      {{"--help"}, 0, usage, ""},
      {{"--version"}, 0, "plugin-check " CAPTURE_CONSOLE_VERSION "\n", ""},
      {{}, 2, "", usage},
      {{"--help", "x.so"}, 2, "", usage},
      {{"--timeout=0", "x.so"}, 2, "", usage},
      {{"a.so", "b.so"}, 2, "", usage},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(::testing::PrintToString(c.args));
    ScratchDir cwd;
    RunResult r = run_program(cwd.path(), check_options(c.args));
    EXPECT_EQ(r.status, c.status) << r.err;
    EXPECT_EQ(r.out.substr(0, c.out_starts.size()), c.out_starts) << r.out;
    EXPECT_EQ(r.err.substr(0, c.err_starts.size()), c.err_starts) << r.err;
    EXPECT_EQ(c.out_starts.empty() ? r.out : r.err, "");
  }
}

}  // namespace
