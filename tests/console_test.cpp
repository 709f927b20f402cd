// End-to-end runs of the console with scripted input and the test camera.
#include <gtest/gtest.h>
#include <signal.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <future>
#include <map>
#include <string>
#include <vector>

#include "output_files.h"
#include "program_runner.h"
#include "reference_render.h"
#include "support/charsets.h"
#include "support/console_texts.h"
#include "support/files.h"
#include "support/locales.h"
#include "support/test_camera.h"

namespace {

const std::string kStartup = startup_text(640, 480);

// A test folder with the scratch output folder and a call log beside it.
struct ConsoleRun : ::testing::Test {
  ScratchDir out;
  ScratchDir side;
  RunOptions options;

  void SetUp() override { options.env["FAKECAM_LOG"] = side.file("calls.log"); }

  RunResult run(const std::string& input) {
    options.input = input;
    RunResult result = run_program(out.path(), options);
    EXPECT_FALSE(result.timed_out);
    EXPECT_EQ(result.err, "") << "nothing may go to standard error";
    return result;
  }
  std::vector<std::string> calls() const {
    std::vector<std::string> lines;
    std::string log = read_file(side.file("calls.log")), line;
    for (char c : log) {
      if (c == '\n') {
        lines.push_back(line);
        line.clear();
      } else {
        line += c;
      }
    }
    return lines;
  }
  // The fake camera serves these frames (bottom-up B, G, R rows) in turn.
  void serve(int width, int height, const std::vector<std::string>& frames) {
    std::string all;
    for (const std::string& f : frames) all += f;
    serve_frames(options.env, side.file("frames.raw"), width, height, all);
  }
};

// What the fake camera serves by default for its k-th capture.
std::string default_frame(int width, int height, int k) {
  std::string bytes(static_cast<size_t>(width) * height * 3, '\0');
  for (size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<char>((i + 7 * k) & 255);
  return bytes;
}

std::string one_capture_output(const std::string& frame, int width, int height) {
  return console_report(Frame{width, height, frame});
}

TEST_F(ConsoleRun, CaptureThenQuitWritesTextsFilesAndCallsInOrder) {
  RunResult r = run("200\n\nq\n");
  EXPECT_EQ(r.status, 0);
  const std::string frame = default_frame(640, 480, 0);
  EXPECT_EQ(r.out, kStartup + kPrompt + one_capture_output(frame, 640, 480) + kPrompt);
  EXPECT_EQ(out.list(), (std::vector<std::string>{"R00000.bmp", "R00000.html", "g.bmp"}));
  EXPECT_EQ(read_file(out.file("R00000.bmp")), bmp_file(Frame{640, 480, frame}));
  EXPECT_EQ(calls(), (std::vector<std::string>{
                         "LN_GetDllName(null)", "LN_GetDllName(buffer) zeroed", "LN_OnInit(null)",
                         "LN_SetResolution(640,480)", "LN_GetResolution", "LN_Capture(null)",
                         "LN_GetResolution", "LN_Capture(buffer)", "LN_OnDestroy"}));
}

TEST_F(ConsoleRun, EveryCharacterOfALineIsACommand) {
  // 'x' and the line feed are two captures; the next line quits.
  RunResult r = run("70\nx\nQ\n");
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(out.list(), (std::vector<std::string>{"R00000.bmp", "R00000.html", "R00001.bmp",
                                                  "R00001.html", "g.bmp"}));
  EXPECT_EQ(read_file(out.file("R00001.bmp")),
            bmp_file(Frame{640, 480, default_frame(640, 480, 1)}));
}

TEST_F(ConsoleRun, NumberingSkipsEveryNameAlreadyTaken) {
  // A number is taken when either of its two names exists, as any kind of entry.
  write_file(out.file("R00000.html"), "keep");
  write_file(out.file("R00001.bmp"), "keep");
  ASSERT_EQ(mkdir(out.file("R00002.bmp").c_str(), 0755), 0);
  ASSERT_EQ(symlink("missing-target", out.file("R00003.html").c_str()), 0);
  write_file(out.file("R00005.bmp"), "keep");
  RunResult r = run("200\n\n\nq\n");
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(read_file(out.file("R00000.html")), "keep");
  EXPECT_EQ(read_file(out.file("R00001.bmp")), "keep");
  EXPECT_EQ(read_file(out.file("R00005.bmp")), "keep");
  EXPECT_TRUE(file_exists(out.file("R00004.bmp")));
  EXPECT_TRUE(file_exists(out.file("R00006.html")));
  EXPECT_FALSE(file_exists(out.file("R00000.bmp")));
  EXPECT_FALSE(file_exists(out.file("R00005.html")));
}

// The current folder of the test's own process, for the file layer's
// functions, which work in it; the one before is restored at the end.
class InFolder {
 public:
  explicit InFolder(const std::string& path) : before_(getcwd(nullptr, 0)) {
    if (chdir(path.c_str()) != 0) ADD_FAILURE() << "cannot enter " << path;
  }
  ~InFolder() {
    if (chdir(before_) != 0) ADD_FAILURE() << "cannot go back to " << before_;
    free(before_);
  }

 private:
  char* before_;
};

// A dangling link takes its number as any entry does: the numbering looks at
// the link itself, never through it.
TEST(OutputNumbers, ADanglingLinkTakesItsNumber) {
  ScratchDir folder;
  ASSERT_EQ(symlink("missing-target", folder.file("R00000.bmp").c_str()), 0);
  ASSERT_EQ(symlink("missing-target", folder.file("R00001.html").c_str()), 0);
  {
    InFolder in(folder.path());
    EXPECT_TRUE(HFileExist("R00000.bmp"));
    EXPECT_FALSE(HFileExist("R00000.html"));
    EXPECT_EQ(get_next_nonexistfilenum(0), 2);
  }
  EXPECT_EQ(folder.list(), (std::vector<std::string>{"R00000.bmp", "R00001.html"}));
}

// Past INT32_MAX there is no number: the capture's files are not created,
// and no name wraps to a negative one.
TEST(OutputNumbers, PastTheLastNumberThereIsNone) {
  ScratchDir folder;
  InFolder in(folder.path());
  write_file("R2147483646.html", "taken");
  EXPECT_EQ(get_next_nonexistfilenum(INT32_MAX - 1), INT32_MAX);
  write_file("R2147483647.bmp", "taken");
  EXPECT_EQ(get_next_nonexistfilenum(INT32_MAX - 1), kNoNumber);
  EXPECT_EQ(number_after(INT32_MAX), kNoNumber);
  const CaptureFiles files = CaptureFiles::numbered(INT32_MAX);
  EXPECT_EQ(files.number(), kNoNumber);
  EXPECT_EQ(files.bmp(), nullptr);
  EXPECT_EQ(files.html(), nullptr);
  EXPECT_EQ(folder.list(), (std::vector<std::string>{"R2147483646.html", "R2147483647.bmp"}));
}

// A plug-in that closes a standard stream: the next file created must not
// take its number, or the console report (of a tall frame: more than the
// console's buffer holds) or the plug-in's own diagnostics, written while
// the files are, would land in the picture. The capture's files stay whole;
// an unwritable console ends the run.
TEST_F(ConsoleRun, AStandardStreamThePlugInClosedNeverBecomesAnOutputFile) {
  const struct {
    int fd;
    int status;
  } cases[] = {{0, 0}, {1, 255}, {2, 0}};
  const Frame frame{8, 480, default_frame(8, 480, 0)};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.fd);
    ScratchDir folder;
    options.env["FAKECAM_CLOSE_FD"] = std::to_string(c.fd);
    options.env["FAKECAM_WRITE_FD"] = std::to_string(c.fd) + " R00000.bmp";
    options.env["FAKECAM_SIZE"] = "8 480";
    options.input = "200\n\nq\n";
    RunResult r = run_program(folder.path(), options);
    EXPECT_EQ(r.status, c.status);
    EXPECT_TRUE(read_file(folder.file("R00000.bmp")) == bmp_file(frame));
    EXPECT_EQ(read_file(folder.file("R00000.html")), html_page(frame, 200));
    EXPECT_EQ(read_file(folder.file("g.bmp")), bmp_file(gray_preview(frame, 200)));
  }
}

// A signal that ends the run (Ctrl-C, kill, a closed terminal) while a
// capture's files are written waits for them: they are left whole, as an
// undisturbed run writes them, no temporary file stays, and the run then
// ends by that signal. At the prompt it ends the run at once. One ignored
// when the program starts (nohup) stays ignored: the run goes on.
TEST(Signals, EndTheRunAsTheySayAndLeaveEveryFileWhole) {
  // A page 10000 wide: 37 MB, and a 4 MB gray preview, so the signal comes
  // while they are written.
  RunOptions options;
  options.input = "10000\n\nq\n";
  ScratchDir undisturbed;
  ASSERT_EQ(run_program(undisturbed.path(), options).status, 0);
  const struct {
    int signal_number;
    const char* sent_once_there_is;  // an entry whose name starts so; nullptr: at the prompt
    bool ignored_at_start;
  } cases[] = {{SIGTERM, "R00000.html", false}, {SIGINT, "g.bmp.", false},
               {SIGHUP, "R00000.bmp", false},   {SIGINT, nullptr, false},
               {SIGTERM, nullptr, false},       {SIGHUP, nullptr, false},
               {SIGHUP, nullptr, true}};
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(strsignal(c.signal_number)) + " " +
                 (c.sent_once_there_is ? c.sent_once_there_is : "at the prompt") +
                 (c.ignored_at_start ? ", ignored at start" : ""));
    ScratchDir folder;
    RunOptions run_options = options;
    if (c.ignored_at_start) run_options.ignored_signals = {c.signal_number};
    int status = -1;
    std::vector<std::string> left = undisturbed.list();
    if (c.sent_once_there_is) {
      run_options.env["FAKECAM_SIGNAL"] =
          std::to_string(c.signal_number) + " " + c.sent_once_there_is;
      status = run_program(folder.path(), run_options).status;
    } else {
      InteractiveRun run(folder.path(), run_options);
      run.type("10000\n");
      ASSERT_TRUE(run.expect_output(kPrompt)) << run.output();
      run.send_signal(c.signal_number);
      if (c.ignored_at_start) run.type("q\n");
      status = run.wait_exit();
      left.clear();
    }
    EXPECT_EQ(status, c.ignored_at_start ? 0 : 128 + c.signal_number);
    EXPECT_EQ(folder.list(), left);
    for (const std::string& name : left)
      EXPECT_TRUE(read_file(folder.file(name)) == read_file(undisturbed.file(name))) << name;
  }
}

// Names that another program takes between the prompt and the creation of
// the files: the capture moves on to the next number whose two names are
// both free, creating both there, and leaves nothing under the taken number.
TEST_F(ConsoleRun, ANameTakenAfterThePromptMovesBothFilesOn) {
  struct Case {
    const char* taken_during_capture;
    std::vector<std::string> present_before;
    std::vector<std::string> expected;  // the folder afterwards, for two captures
  };
  const Case kCases[] = {
      {"R00000.html",
       {},
       {"R00000.html", "R00001.bmp", "R00001.html", "R00002.bmp", "R00002.html"}},
      {"R00000.bmp", {}, {"R00000.bmp", "R00001.bmp", "R00001.html", "R00002.bmp", "R00002.html"}},
      {"R00000.bmp,R00001.html",
       {},
       {"R00000.bmp", "R00001.html", "R00002.bmp", "R00002.html", "R00003.bmp", "R00003.html"}},
      {"R00000.html",
       {"R00002.bmp"},
       {"R00000.html", "R00001.bmp", "R00001.html", "R00002.bmp", "R00003.bmp", "R00003.html"}},
  };
  for (const Case& c : kCases) {
    SCOPED_TRACE(c.taken_during_capture);
    ScratchDir folder;
    for (const std::string& name : c.present_before) write_file(folder.file(name), "keep");
    options.env["FAKECAM_MKDIR_ON_CAPTURE"] = c.taken_during_capture;
    options.input = "200\n\n\nq\n";
    RunResult r = run_program(folder.path(), options);
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out.find(kFileOutputFailed), std::string::npos) << "nothing failed";
    std::vector<std::string> names = folder.list();
    names.erase(std::remove(names.begin(), names.end(), "g.bmp"), names.end());
    EXPECT_EQ(names, c.expected);
    for (const std::string& name : c.present_before)
      EXPECT_EQ(read_file(folder.file(name)), "keep");
  }
}

// Two consoles capturing into one folder at the same time: every capture
// keeps its own pair of numbered files, whole, no number is lost, and g.bmp
// is left whole.
TEST(TwoRuns, CapturingIntoOneFolderAtOnceNeverOverwrite) {
  const int kCaptures = 12, kWidth = 320, kHeight = 240, kColumns = 60;
  ScratchDir out, side;
  std::vector<Frame> frames;  // run r serves frames[r * kCaptures + k]
  RunOptions options[2];
  for (int run = 0; run < 2; ++run) {
    std::string all;
    for (int k = 0; k < kCaptures; ++k) {
      Frame f{kWidth, kHeight, std::string(static_cast<size_t>(3) * kWidth * kHeight, '\0')};
      for (size_t i = 0; i < f.bytes.size(); ++i) {
        f.bytes[i] = static_cast<char>((i / 3 * (run + 1) + 19 * k + 101 * run) & 255);
      }
      all += f.bytes;
      frames.push_back(f);
    }
    serve_frames(options[run].env, side.file("frames" + std::to_string(run)), kWidth, kHeight, all);
    // Both runs find a number free, then take a while to capture: the
    // second to create its files finds them taken.
    options[run].env["FAKECAM_CAPTURE_DELAY_MS"] = "20";
    options[run].input = std::to_string(kColumns) + "\n" + std::string(kCaptures, '\n') + "q\n";
  }
  auto first = std::async(std::launch::async, [&] { return run_program(out.path(), options[0]); });
  RunResult second = run_program(out.path(), options[1]);
  RunResult one = first.get();
  EXPECT_EQ(one.status, 0);
  EXPECT_EQ(second.status, 0);

  std::vector<std::string> expected = {"g.bmp"};
  std::vector<bool> seen(frames.size(), false);
  for (int n = 0; n < 2 * kCaptures; ++n) {
    char name[16];
    snprintf(name, sizeof name, "R%05d", n);
    expected.push_back(std::string(name) + ".bmp");
    expected.push_back(std::string(name) + ".html");
    const std::string bmp = read_file(out.file(std::string(name) + ".bmp"));
    const std::string page = read_file(out.file(std::string(name) + ".html"));
    size_t match = 0;
    while (match < frames.size() && bmp != bmp_file(frames[match])) ++match;
    ASSERT_LT(match, frames.size()) << name << ".bmp is not one whole frame";
    EXPECT_FALSE(seen[match]) << name << ".bmp holds a frame already kept under another number";
    seen[match] = true;
    EXPECT_EQ(page, html_page(frames[match], kColumns)) << name << ".html";
  }
  std::sort(expected.begin(), expected.end());
  EXPECT_EQ(out.list(), expected);
  // g.bmp is the whole preview of one of the captures, never a mix.
  const std::string preview = read_file(out.file("g.bmp"));
  bool whole = false;
  for (const Frame& f : frames) whole = whole || preview == bmp_file(gray_preview(f, kColumns));
  EXPECT_TRUE(whole) << "g.bmp is not the preview of any one capture";
}

// Whatever entry is named g.bmp, a capture replaces it with the new preview:
// a link is never followed, a FIFO never opened.
TEST_F(ConsoleRun, GBmpReplacesWhateverHeldItsName) {
  struct Case {
    const char* name;
    bool link;  // else a FIFO
    bool target_exists;
  };
  const Case kCases[] = {{"link to a file outside the folder", true, true},
                         {"dangling link", true, false},
                         {"FIFO", false, false}};
  const Frame frame{640, 480, default_frame(640, 480, 0)};
  for (const Case& c : kCases) {
    SCOPED_TRACE(c.name);
    ScratchDir folder, outside;
    const std::string target = outside.file("target.bmp");
    if (c.target_exists) write_file(target, "keep");
    if (c.link) {
      ASSERT_EQ(symlink(target.c_str(), folder.file("g.bmp").c_str()), 0);
    } else {
      ASSERT_EQ(mkfifo(folder.file("g.bmp").c_str(), 0644), 0);
    }
    options.input = "200\n\nq\n";
    options.timeout_seconds = 20;
    RunResult r = run_program(folder.path(), options);
    ASSERT_FALSE(r.timed_out);
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(folder.list(), (std::vector<std::string>{"R00000.bmp", "R00000.html", "g.bmp"}));
    struct stat info;
    ASSERT_EQ(lstat(folder.file("g.bmp").c_str(), &info), 0);
    EXPECT_TRUE(S_ISREG(info.st_mode));
    EXPECT_TRUE(read_file(folder.file("g.bmp")) == bmp_file(gray_preview(frame, 200)));
    EXPECT_EQ(outside.list(), c.target_exists ? std::vector<std::string>{"target.bmp"}
                                              : std::vector<std::string>{});
    if (c.target_exists) {
      EXPECT_TRUE(read_file(target) == "keep") << "the link's target changed";
    }
  }
}

TEST_F(ConsoleRun, NumbersBeyondFiveDigitsGetMoreDigits) {
  for (int n = 0; n < 3; ++n) write_file(out.file("R0000" + std::to_string(n) + ".bmp"), "");
  RunResult r = run("200\n\nq\n");
  EXPECT_EQ(r.status, 0);
  EXPECT_TRUE(file_exists(out.file("R00003.bmp")));
}

TEST_F(ConsoleRun, SettingsOpensTheDialogOnceAndDropsTheRestOfTheLine) {
  RunResult r = run("200\ns and more\n\nq\n");
  EXPECT_EQ(r.status, 0);
  // The number found free before the settings command is passed over.
  EXPECT_EQ(out.list(), (std::vector<std::string>{"R00001.bmp", "R00001.html", "g.bmp"}));
  const std::vector<std::string> log = calls();
  EXPECT_EQ(std::count(log.begin(), log.end(), "LN_DoModalOptionDlg"), 1);
  EXPECT_EQ(std::count(log.begin(), log.end(), "LN_Capture(buffer)"), 1);
  EXPECT_EQ(r.out.substr(0, kStartup.size() + 2 * kPrompt.size()), kStartup + kPrompt + kPrompt);
}

TEST_F(ConsoleRun, SettingsAtEndOfInputEndsTheRun) {
  options.env["FAKECAM_DIALOG"] = "0";  // a failing dialog changes nothing
  RunResult r = run("200\nS");
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out, kStartup + kPrompt + kPrompt);
  EXPECT_TRUE(out.list().empty());
}

TEST_F(ConsoleRun, EndOfInputAtThePromptQuitsWithoutCapturing) {
  RunResult r = run("200\n");
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out, kStartup + kPrompt);
  EXPECT_TRUE(out.list().empty());
  EXPECT_EQ(calls().back(), "LN_OnDestroy");
}

// Console input of every kind, ended at every point. Every byte but q, Q,
// s and S is a capture command, NUL and 0xFF among them; the end of input
// quits; only the settings command drops the rest of its line.
struct InputCase {
  const char* name;
  std::string input;
  int status;
  int captures;
  int dialogs;
};

void PrintTo(const InputCase& c, std::ostream* os) {
  *os << c.name;
}

class ConsoleInput : public ConsoleRun, public ::testing::WithParamInterface<InputCase> {};

TEST_P(ConsoleInput, HasItsExpectedOutcome) {
  const InputCase& c = GetParam();
  serve(64, 48, {std::string(64 * 48 * 3, '\x50')});
  RunResult r = run(c.input);
  EXPECT_EQ(r.status, c.status);
  const std::vector<std::string> log = calls();
  EXPECT_EQ(std::count(log.begin(), log.end(), "LN_Capture(buffer)"), c.captures);
  EXPECT_EQ(std::count(log.begin(), log.end(), "LN_DoModalOptionDlg"), c.dialogs);
  EXPECT_EQ(out.list().size(), c.captures ? 2u * c.captures + 1 : 0u);
  EXPECT_EQ(log.back(), "LN_OnDestroy");
}

const std::string kJunk = [] {
  std::string junk;
  for (int i = 0; i < 1 << 20; ++i) junk += static_cast<char>(i * 7 % 256 == 10 ? 0 : i * 7 % 256);
  return junk;
}();

INSTANTIATE_TEST_SUITE_P(
    Cases, ConsoleInput,
    ::testing::Values(
        InputCase{"EndInsideTheWidthLine", "64", 0, 0, 0},
        InputCase{"EndAfterTheWidthLine", "64\n", 0, 0, 0},
        InputCase{"EndAfterSettings", "64\ns", 0, 0, 1},
        InputCase{"EndInsideTheSettingsLine", "64\nS rest", 0, 0, 1},
        InputCase{"EndAfterACapture", "64\n\n", 0, 1, 0},
        InputCase{"EndInsideACommandLine", "64\nabc", 0, 3, 0},
        InputCase{"BinaryCommands", "64\n\xff\x01\x80q", 0, 3, 0},
        InputCase{"NulCommands", std::string("64\n\0\0q", 6), 0, 2, 0},
        InputCase{"NulInsideTheWidthLine",
                  std::string("64\0"
                              "99\n\nq",
                              9),
                  0, 1, 0},
        InputCase{"NulBeforeTheWidth",
                  std::string("\0"
                              "64\n\nq",
                              7),
                  255, 0, 0},
        InputCase{"BinaryWidthLine",
                  "\xff\xfe"
                  "64\n\nq",
                  255, 0, 0},
        InputCase{"CarriageReturnsAreCommands", "64\r\n\r\nq\r\n", 0, 2, 0},
        InputCase{"HugeNumberOnAVeryLongWidthLine", std::string(100000, '7') + "\n\nq", 255, 0, 0},
        InputCase{"VeryLongWidthLineGoesOnAsCommands",
                  "64" + std::string(1021, ' ') + "q" + kJunk + "\n", 0, 0, 0},
        InputCase{"VeryLongSettingsLineIsDropped", "64\ns" + kJunk + "\n\nq\n", 0, 1, 1}),
    [](const ::testing::TestParamInfo<InputCase>& info) { return info.param.name; });

TEST_F(ConsoleRun, ANulInsideTheWidthLineEndsTheNumber) {
  // "64\0" "99": the width is 64, so a 640 x 480 frame gives 24 rows.
  RunResult r =
      run(std::string("64\0"
                      "99\n\nq\n",
                      10));
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(read_file(out.file("R00000.html")),
            html_page(Frame{640, 480, default_frame(640, 480, 0)}, 64));
}

// A standard stream closed when the program starts is opened on /dev/null,
// so a file the plug-in keeps open never takes its place.
TEST_F(ConsoleRun, AClosedStandardInputIsAnEmptyOne) {
  write_file(side.file("device"), "64\n\n\n\nq\n");
  options.env["FAKECAM_OPEN_ON_INIT"] = side.file("device");
  options.closed_streams = {0};
  RunResult r = run("");
  EXPECT_EQ(r.status, 255);
  EXPECT_EQ(r.out, kStartup + kWidthError);
  EXPECT_TRUE(out.list().empty());
}

TEST_F(ConsoleRun, AClosedStandardOutputLosesOnlyTheTexts) {
  options.closed_streams = {1};
  RunResult r = run("200\n\nq\n");
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out, "");
  const Frame frame{640, 480, default_frame(640, 480, 0)};
  EXPECT_EQ(read_file(out.file("R00000.bmp")), bmp_file(frame));
  EXPECT_EQ(read_file(out.file("R00000.html")), html_page(frame, 200));
}

// A console that cannot be written ends the run with a failure, once the
// capture in hand has completed its files; every numbered file left is whole.
TEST_F(ConsoleRun, AConsoleThatCannotBeWrittenFailsTheRun) {
  struct Case {
    const char* name;
    std::string output_file;
    int64_t pipe_bytes;
    int width, height;
    std::vector<std::string> files;
  };
  const Case kCases[] = {
      // The width question already fails: nothing is captured.
      {"full device", "/dev/full", -1, 640, 480, {}},
      // The reader stops after 151 bytes; the report, larger than a pipe
      // holds, then finds the pipe closed.
      {"closed pipe", "", 151, 100, 4000, {"R00000.bmp", "R00000.html", "g.bmp"}},
  };
  for (const Case& c : kCases) {
    SCOPED_TRACE(c.name);
    ScratchDir folder;
    const Frame frame{c.width, c.height, default_frame(c.width, c.height, 0)};
    serve(c.width, c.height, {frame.bytes});
    options.output_file = c.output_file;
    options.output_pipe_bytes = c.pipe_bytes;
    options.input = "50\n\n\nq\n";
    RunResult r = run_program(folder.path(), options);
    EXPECT_FALSE(r.timed_out);
    EXPECT_EQ(r.status, 255);
    EXPECT_EQ(folder.list(), c.files);
    if (!c.files.empty()) {
      EXPECT_TRUE(read_file(folder.file("R00000.bmp")) == bmp_file(frame));
      EXPECT_TRUE(read_file(folder.file("R00000.html")) == html_page(frame, 50));
    }
  }
}

struct WidthCase {
  const char* answer;
  bool accepted;
};

class WidthAnswer : public ConsoleRun, public ::testing::WithParamInterface<WidthCase> {};

TEST_P(WidthAnswer, IsAcceptedOrRefused) {
  RunResult r = run(std::string(GetParam().answer) + "q\n");
  if (GetParam().accepted) {
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, kStartup + kPrompt);
  } else {
    EXPECT_EQ(r.status, 255);
    EXPECT_EQ(r.out, kStartup + kWidthError);
    EXPECT_EQ(calls().back(), "LN_OnDestroy");
  }
  EXPECT_TRUE(out.list().empty());
}

INSTANTIATE_TEST_SUITE_P(
    Answers, WidthAnswer,
    ::testing::Values(WidthCase{"200\n", true}, WidthCase{" 120 words\n", true},
                      WidthCase{"\t+7\n", true}, WidthCase{"-5\n", true},
                      WidthCase{"10000\n", true}, WidthCase{"-2147483648\n", true},
                      WidthCase{"1\n", true}, WidthCase{"0\n", false}, WidthCase{"-0\n", false},
                      WidthCase{"abc\n", false}, WidthCase{"\n", false}, WidthCase{"+\n", false},
                      WidthCase{"10001\n", false}, WidthCase{"2147483647\n", false},
                      WidthCase{"2147483648\n", false}, WidthCase{"-2147483649\n", false},
                      WidthCase{"99999999999999999999999\n", false},
                      WidthCase{"", false} /* end of input: the q is never read */));

TEST_F(ConsoleRun, EndOfInputAtTheWidthQuestionIsAnError) {
  RunResult r = run("");
  EXPECT_EQ(r.status, 255);
  EXPECT_EQ(r.out, kStartup + kWidthError);
}

TEST_F(ConsoleRun, AWidthLineOf1023CharactersLeavesItsLineFeedAsACommand) {
  std::string answer = "200" + std::string(1020, ' ');
  RunResult r = run(answer + "\nq\n");
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(out.list(), (std::vector<std::string>{"R00000.bmp", "R00000.html", "g.bmp"}));
}

TEST_F(ConsoleRun, AWidthLineOf1022CharactersIsReadWhole) {
  RunResult r = run("200" + std::string(1019, ' ') + "\nq\n");
  EXPECT_EQ(r.status, 0);
  EXPECT_TRUE(out.list().empty());
}

struct FailureCase {
  const char* name;
  const char* variable;
  const char* value;
  const char* input;
  std::string expected_out;
};

void PrintTo(const FailureCase& c, std::ostream* os) {
  *os << c.name;
}
void PrintTo(const WidthCase& c, std::ostream* os) {
  *os << '"' << c.answer << '"';
}

class PlugInFailure : public ConsoleRun, public ::testing::WithParamInterface<FailureCase> {};

TEST_P(PlugInFailure, PrintsItsTextAndEndsWithStatus255) {
  const FailureCase& c = GetParam();
  options.env[c.variable] = c.value;
  RunResult r = run(c.input);
  EXPECT_EQ(r.status, 255);
  EXPECT_EQ(r.out, c.expected_out);
  EXPECT_TRUE(out.list().empty());
  ASSERT_FALSE(calls().empty());
  EXPECT_EQ(calls().back(), "LN_OnDestroy") << "the plug-in is always told to release";
}

const std::string kOpenFailed = open_failed_text("libvidmote.so");

INSTANTIATE_TEST_SUITE_P(
    Cases, PlugInFailure,
    ::testing::Values(
        FailureCase{"InitFails", "FAKECAM_INIT", "0", "200\n\nq\n", kInitFailed},
        FailureCase{"InitResultHighByteOnly", "FAKECAM_INIT", "256", "200\n\nq\n", kInitFailed},
        FailureCase{"NameLengthZero", "FAKECAM_NAME_LENGTH", "0", "200\n\nq\n", kOpenFailed},
        FailureCase{"NameLengthNegative", "FAKECAM_NAME_LENGTH", "-4", "200\n\nq\n", kOpenFailed},
        FailureCase{"NameCopyFails", "FAKECAM_NAME_RESULT", "0", "200\n\nq\n", kOpenFailed},
        // The name buffer is never offered for an absurd length.
        FailureCase{"NameLengthAbsurd", "FAKECAM_NAME_LENGTH", "2147483647", "200\n\nq\n",
                    kOpenFailed},
        FailureCase{"NameLengthOverTheLimit", "FAKECAM_NAME_LENGTH", "65537", "200\n\nq\n",
                    kOpenFailed},
        FailureCase{"ResolutionResultHighByteOnly", "FAKECAM_GETRES", "256", "200\n\nq\n",
                    kStartup + kPrompt + kCaptureFailed},
        FailureCase{"CaptureResultNegative", "FAKECAM_CAPTURE", "-5", "200\n\nq\n",
                    kStartup + kPrompt + kCaptureFailed},
        FailureCase{"CaptureFails", "FAKECAM_CAPTURE", "0", "200\n\nq\n",
                    kStartup + kPrompt + kCaptureFailed},
        FailureCase{"FrameSizeOneShort", "FAKECAM_FRAME_BYTES", "921599", "200\n\nq\n",
                    kStartup + kPrompt + kCaptureFailed},
        FailureCase{"FrameSizeNegative", "FAKECAM_FRAME_BYTES", "-1", "200\n\nq\n",
                    kStartup + kPrompt + kCaptureFailed},
        FailureCase{"ResolutionQueryFails", "FAKECAM_GETRES", "0", "200\n\nq\n",
                    kStartup + kPrompt + kCaptureFailed}),
    [](const ::testing::TestParamInfo<FailureCase>& info) { return info.param.name; });

TEST_F(ConsoleRun, SizesThatWrapOrAreNegativeFailTheCapture) {
  // Each frame-size answer equals width * height * 3 wrapped to 32 bits.
  const char* const kSizes[][2] = {
      {"65536 65536", "0"}, {"2 715827883", "2"}, {"47000 47000", "-1962934592"}, {"-2 -3", "18"}};
  for (const auto& size : kSizes) {
    options.env["FAKECAM_SIZE"] = size[0];
    options.env["FAKECAM_FRAME_BYTES"] = size[1];
    RunResult r = run("200\n\nq\n");
    EXPECT_EQ(r.status, 255) << size[0];
    EXPECT_EQ(r.out.substr(r.out.size() - kCaptureFailed.size()), kCaptureFailed) << size[0];
    EXPECT_TRUE(out.list().empty());
  }
}

TEST_F(ConsoleRun, TheSecondOfTwoCapturesCanFail) {
  options.env["FAKECAM_CAPTURE_FAIL_AT"] = "2";
  RunResult r = run("200\n\n\n\nq\n");
  EXPECT_EQ(r.status, 255);
  EXPECT_EQ(out.list(), (std::vector<std::string>{"R00000.bmp", "R00000.html", "g.bmp"}));
}

TEST_F(ConsoleRun, MissingPlugInFileIsReported) {
  // A copy of the program alone in a folder, away from the plug-in beside it.
  ScratchDir alone;
  const std::string program = alone.file("ConsoleExample");
  write_file(program, read_file(PROGRAM_PATH));
  ASSERT_EQ(chmod(program.c_str(), 0755), 0);
  options.program = program;
  options.plugin = "";
  RunResult r = run("200\n\nq\n");
  EXPECT_EQ(r.status, 255);
  EXPECT_EQ(r.out, kOpenFailed);
  EXPECT_TRUE(out.list().empty());
}

TEST_F(ConsoleRun, MissingExportsAreHandledByTheirCommands) {
  struct Case {
    const char* variant;
    int status;
    std::string out_start;
  };
  const Case kCases[] = {
      {"no_GetDllName", 255, kOpenFailed},
      {"no_OnInit", 255, kInitFailed},
      {"no_Capture", 255, kStartup + kPrompt + kPrompt + kCaptureFailed},
      {"no_exports", 255, kOpenFailed},
      {"unresolved", 255, kOpenFailed},  // all symbols are bound at load, not at the call
      {"no_GetResolution", 255, startup_text(0, 0) + kPrompt + kPrompt + kCaptureFailed},
      {"no_SetResolution", 0, kStartup + kPrompt},
      {"no_DoModalOptionDlg", 0, kStartup + kPrompt + kPrompt},
      {"no_OnDestroy", 0, kStartup + kPrompt + kPrompt},
  };
  for (const Case& c : kCases) {
    options.plugin = c.variant;
    RunResult r = run("200\ns\n\nq\n");
    EXPECT_EQ(r.status, c.status) << c.variant;
    EXPECT_EQ(r.out.substr(0, c.out_start.size()), c.out_start) << c.variant;
  }
}

TEST_F(ConsoleRun, AFileThatIsNoLibraryIsReported) {
  ScratchDir plugin_folder;
  write_file(plugin_folder.file("libvidmote.so"), "not a library\n");
  options.plugin = "";
  options.env["LD_LIBRARY_PATH"] = plugin_folder.path();
  RunResult r = run("200\n\nq\n");
  EXPECT_EQ(r.status, 255);
  EXPECT_EQ(r.out, kOpenFailed);
}

// The default plug-in: a camera named in VIDMOTE_DEVICE that cannot be opened,
// or a setting of the VIDMOTE_ family that cannot be understood or applied,
// ends the run as a failed init, never with other pictures than asked for;
// the plug-in, not the program, says why on standard error. A size of the
// user's stands whatever size the program asks for.
TEST_F(ConsoleRun, TheDefaultPlugInsVariablesSetTheStartOrEndIt) {
  const std::string kTestCard = "Vidmote: Test card";
  const struct {
    std::map<std::string, std::string> env;
    int status;
    std::string out, err;
  } cases[] = {
      {{{"VIDMOTE_DEVICE", "/dev/no-such-camera"}},
       255,
       kInitFailed,
       "vidmote: /dev/no-such-camera: cannot be used: no such device\n"},
      {{{"VIDMOTE_DEVICE", "test-card"}, {"VIDMOTE_SIZE", "1280x720"}},
       0,
       startup_text(1280, 720, kTestCard) + kPrompt,
       ""},
      {{{"VIDMOTE_DEVICE", "test-card"}, {"VIDMOTE_SIZE", "720p"}},
       255,
       kInitFailed,
       "vidmote: VIDMOTE_SIZE=720p: not understood; accepted: WIDTHxHEIGHT, e.g. 1280x720\n"},
      {{{"VIDMOTE_DEVICE", "test-card"}, {"VIDMOTE_CONTROLS", "pattern=solid_blue,zoom=2"}},
       255,
       kInitFailed,
       "vidmote: VIDMOTE_CONTROLS=zoom=2: Test card has no such control; accepted: pattern\n"},
      {{{"VIDMOTE_DEVICE", "test-card"}, {"VIDMOTE_IDLE", "-1"}},
       255,
       kInitFailed,
       "vidmote: VIDMOTE_IDLE=-1: not understood; accepted: whole seconds from 0 (keep the "
       "camera open) to 86400\n"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(::testing::PrintToString(c.env));
    ScratchDir folder;
    RunOptions run_options = options;
    // The default plug-in, found through the program's RUNPATH.
    run_options.plugin = "";
    run_options.env = c.env;
    run_options.input = "200\nq\n";
    RunResult r = run_program(folder.path(), run_options);
    EXPECT_EQ(r.status, c.status);
    EXPECT_EQ(r.out, c.out);
    EXPECT_EQ(r.err, c.err);
    EXPECT_TRUE(folder.list().empty());
  }
}

TEST_F(ConsoleRun, ANameFillingTheWholeBufferIsReadToItsEnd) {
  // 65536 announced, 65546 bytes filled without a terminator.
  options.env["FAKECAM_NAME"] = "ab";
  options.env["FAKECAM_NAME_LENGTH"] = "65536";
  options.env["FAKECAM_NAME_UNTERMINATED"] = "1";
  RunResult r = run("200\nq\n");
  EXPECT_EQ(r.status, 0);
  std::string name;
  for (int i = 0; i < 65546 / 2; ++i) name += "ab";
  EXPECT_EQ(r.out, startup_text(640, 480, name) + kPrompt);
}

// A plug-in that takes an empty frame for a success: the renderings never
// divide by zero, the files hold only headers and markup.
TEST_F(ConsoleRun, AnEmptyFrameIsRenderedAsEmpty) {
  const std::string kEmptyReport =
      "  0- 31:     0: \n 32- 63:     0: \n 64- 95:     0: \n 96-127:     0: \n"
      "128-159:     0: \n160-191:     0: \n192-223:     0: \n224-255:     0: \n";
  const struct { int width, height; } kSizes[] = {{0, 0}, {7, 0}, {0, 5}};
  for (const auto& size : kSizes) {
    const std::string text = std::to_string(size.width) + "x" + std::to_string(size.height);
    SCOPED_TRACE(text);
    ScratchDir folder;
    options.env["FAKECAM_SIZE"] = std::to_string(size.width) + " " + std::to_string(size.height);
    options.env["FAKECAM_NULL_GRAB"] = "1";
    options.input = "200\n\nq\n";
    RunResult r = run_program(folder.path(), options);
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, startup_text(size.width, size.height) + kPrompt + kEmptyReport + kPrompt);
    EXPECT_EQ(read_file(folder.file("R00000.bmp")), bmp_file(Frame{size.width, size.height, ""}));
    EXPECT_EQ(read_file(folder.file("R00000.html")),
              "<html><body><font size=\"-3\"><pre></pre></font></body></html>");
    EXPECT_EQ(read_file(folder.file("g.bmp")), bmp_file(Frame{200, 0, ""}));
  }
}

// A frame a million times taller than wide would print 35 million preview
// lines and need a 1.2 TB gray preview: the report keeps its histogram, the
// page is refused, the frame is saved.
TEST_F(ConsoleRun, AnAbsurdlyTallFrameGetsTheHistogramOnly) {
  const int kHeight = 1000000;
  const Frame frame{1, kHeight, std::string(3 * kHeight, '\0')};
  serve(1, kHeight, {frame.bytes});
  RunResult r = run("200\n\nq\n");
  EXPECT_EQ(r.status, 0);
  std::string histogram = "  0- 31:1000000: " + std::string(70, '*') + "\n";
  for (const char* band :
       {" 32- 63", " 64- 95", " 96-127", "128-159", "160-191", "192-223", "224-255"}) {
    histogram += std::string(band) + ":     0: \n";
  }
  EXPECT_EQ(r.out, startup_text(1, kHeight) + kPrompt + histogram + kFileOutputFailed + kPrompt);
  EXPECT_EQ(out.list(), (std::vector<std::string>{"R00000.bmp", "g.bmp"}));
  EXPECT_TRUE(read_file(out.file("R00000.bmp")) == bmp_file(frame));
  EXPECT_EQ(read_file(out.file("g.bmp")), bmp_file(Frame{0, 0, ""}));
}

TEST_F(ConsoleRun, AFrameTooLargeForTheMemoryFailsTheCapture) {
#ifdef __SANITIZE_ADDRESS__
  GTEST_SKIP() << "AddressSanitizer needs more address space than the limit leaves";
#endif
  // 20000 x 20000 pixels: 1.2 GB, within the contract, beyond a 1 GiB limit.
  options.address_space_limit = int64_t{1} << 30;
  options.env["FAKECAM_SIZE"] = "20000 20000";
  RunResult r = run("200\n\nq\n");
  EXPECT_EQ(r.status, 255);
  EXPECT_EQ(r.out, startup_text(20000, 20000) + kPrompt + kCaptureFailed);
  EXPECT_TRUE(out.list().empty());
  EXPECT_EQ(calls().back(), "LN_OnDestroy");
}

// Memory that runs out while a capture is rendered is a failed write: the
// message, no partial file, and the run goes on to its next capture.
TEST_F(ConsoleRun, MemoryRunningOutWhileRenderingFailsOnlyThePage) {
#ifdef __SANITIZE_ADDRESS__
  GTEST_SKIP() << "AddressSanitizer needs more address space than the limit leaves";
#endif
  // A 640 x 480 frame fits in 200 000 KiB; a page 10000 wide needs a
  // 225 MB preview, which does not.
  options.address_space_limit = int64_t{200000} * 1024;
  RunResult r = run("10000\n\n\nq\n");
  EXPECT_EQ(r.status, 0);
  const Frame frame0{640, 480, default_frame(640, 480, 0)};
  const Frame frame1{640, 480, default_frame(640, 480, 1)};
  EXPECT_EQ(r.out, kStartup + kPrompt + console_report(frame0) + kFileOutputFailed + kPrompt +
                       console_report(frame1) + kFileOutputFailed + kPrompt);
  EXPECT_EQ(out.list(), (std::vector<std::string>{"R00000.bmp", "R00001.bmp", "g.bmp"}));
  EXPECT_TRUE(read_file(out.file("R00000.bmp")) == bmp_file(frame0));
  EXPECT_TRUE(read_file(out.file("R00001.bmp")) == bmp_file(frame1));
  EXPECT_EQ(read_file(out.file("g.bmp")), bmp_file(Frame{0, 0, ""}));
}

TEST_F(ConsoleRun, AFrameThatCannotBeSavedIsReportedAndTheRunGoesOn) {
  // Files may not grow past 100 000 bytes: the frame BMP fails, the page
  // and the preview fit.
  options.file_size_limit = 100000;
  RunResult r = run("200\n\n\nq\n");
  EXPECT_EQ(r.status, 0);
  const std::string report0 = one_capture_output(default_frame(640, 480, 0), 640, 480);
  const std::string report1 = one_capture_output(default_frame(640, 480, 1), 640, 480);
  EXPECT_EQ(r.out, kStartup + kPrompt + report0 + kFileOutputFailed + kPrompt + report1 +
                       kFileOutputFailed + kPrompt);
  // No partial frame is left behind; the numbers still advance.
  EXPECT_EQ(out.list(), (std::vector<std::string>{"R00000.html", "R00001.html", "g.bmp"}));
}

// Each locale is built into a scratch folder, so the system's locales are
// left alone. The texts come in the locale's own character set, or in UTF-8
// where that set cannot hold them.
TEST_F(ConsoleRun, TextsComeInTheLocalesCharacterSet) {
  const struct {
    const char* locale;
    const char* source;   // localedef -i
    const char* charset;  // localedef -f
    const char* texts_in;
  } kLocales[] = {
      {"ja_JP.SJIS", "ja_JP", "SHIFT_JIS", "SHIFT_JIS"},
      {"ja_JP.eucJP", "ja_JP", "EUC-JP", "EUC-JP"},
      {"en_US.ISO-8859-1", "en_US", "ISO-8859-1", "UTF-8"},
  };
  ScratchDir locales;
  options.env["LOCPATH"] = locales.path();
  const std::string report = one_capture_output(default_frame(640, 480, 0), 640, 480);
  for (const auto& l : kLocales) {
    SCOPED_TRACE(l.locale);
    ASSERT_TRUE(make_locale(locales.path(), l.locale, l.source, l.charset))
        << "localedef (Debian package locales) is needed";
    options.env["LC_ALL"] = l.locale;
    auto in_charset = [&](const std::string& utf8) { return to_charset(utf8, l.texts_in); };

    options.env["FAKECAM_CAPTURE"] = "0";
    RunResult r = run("200\n\n");
    EXPECT_EQ(r.status, 255);
    EXPECT_EQ(r.out, in_charset(kStartup + kPrompt + kCaptureFailed));
    options.env["FAKECAM_NAME_LENGTH"] = "0";
    r = run("");
    EXPECT_EQ(r.out, in_charset(kOpenFailed));
    options.env.erase("FAKECAM_NAME_LENGTH");
    options.env["FAKECAM_INIT"] = "0";
    r = run("");
    EXPECT_EQ(r.out, in_charset(kInitFailed));
    options.env.erase("FAKECAM_INIT");
    options.env.erase("FAKECAM_CAPTURE");
    r = run("0\n");
    EXPECT_EQ(r.out, in_charset(kStartup + kWidthError));
    options.file_size_limit = 100000;
    r = run("200\n\nq\n");
    options.file_size_limit = -1;
    EXPECT_EQ(r.out, in_charset(kStartup + kPrompt) + report + in_charset(kFileOutputFailed) +
                         in_charset(kPrompt));
  }
}

// --help and --version alone answer on standard output; any other command
// line is ignored, as the program takes no arguments for its work.
TEST_F(ConsoleRun, HelpAndVersionAloneAnswerOtherArgumentsAreIgnored) {
  const struct {
    std::vector<std::string> args;
    const char* starts_with;  // "" for a normal run
    const char* says = "";    // a sentence the answer holds, across its line breaks
  } kCases[] = {
      {{"--help"}, "Usage: ConsoleExample\n", "every character of a line is a command"},
      {{"--help"}, "Usage: ConsoleExample\n", "When the plug-in cannot be opened, plugin-check"},
      {{"--version"}, "ConsoleExample 1."},
      {{"--help", "--version"}, ""},
      {{"--version", "x"}, ""},
      {{"-h"}, ""},
      {{"--HELP"}, ""},
      {{""}, ""},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.args[0] + (c.args.size() > 1 ? " " + c.args[1] : ""));
    options.args = c.args;
    const RunResult r = run("200\n\nq\n");
    EXPECT_EQ(r.status, 0);
    if (*c.starts_with) {
      EXPECT_EQ(r.out.rfind(c.starts_with, 0), 0u) << r.out;
      EXPECT_EQ(r.out.back(), '\n');
      std::string one_line = r.out;
      std::replace(one_line.begin(), one_line.end(), '\n', ' ');
      EXPECT_NE(one_line.find(c.says), std::string::npos) << r.out;
      EXPECT_TRUE(out.list().empty()) << "nothing is captured";
    } else {
      EXPECT_EQ(r.out, kStartup + kPrompt +
                           one_capture_output(default_frame(640, 480, 0), 640, 480) + kPrompt);
      EXPECT_EQ(out.list(), (std::vector<std::string>{"R00000.bmp", "R00000.html", "g.bmp"}));
      for (const std::string& name : out.list()) ASSERT_EQ(unlink(out.file(name).c_str()), 0);
    }
  }
}

}  // namespace
