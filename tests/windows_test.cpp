// The 32-bit Windows build, run under wine: the plug-in contract as its DLLs
// export it, ConsoleExample.exe compared byte for byte with the Linux
// program for the same input and the same frames, and the zip and the
// installer that cpack makes of it. On Windows the console
// texts are Shift_JIS and every text line ends in "\r\n" (text-mode stdout
// and page); the BMP files are the same bytes.
#include <errno.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <stdio.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <functional>
#include <iterator>
#include <map>
#include <memory>
#include <set>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "guest/uvc_picture.h"
#include "program_runner.h"
#include "support/camera_controls.h"
#include "support/charsets.h"
#include "support/clock.h"
#include "support/console_texts.h"
#include "support/files.h"
#include "support/locales.h"
#include "support/shell.h"
#include "support/test_camera.h"
#include "support/webcam.h"

namespace {

const std::string kWindowsBuild = WINDOWS_BUILD_DIR;

std::string crlf(const std::string& text) {
  std::string out;
  for (char c : text) {
    if (c == '\n') out += '\r';
    out += c;
  }
  return out;
}

// The same path as wine's drive Z: shows it to a Windows program.
std::string windows_path(std::string path) {
  std::replace(path.begin(), path.end(), '/', '\\');
  return "Z:" + path;
}

// ---- The binaries ----

std::string command_output(const std::string& command) {
  FILE* pipe = popen((command + " 2>&1").c_str(), "r");
  if (!pipe) throw std::runtime_error("cannot run " + command);
  std::string out;
  char buffer[4096];
  for (size_t n; (n = fread(buffer, 1, sizeof buffer, pipe)) > 0;) out.append(buffer, n);
  if (pclose(pipe) != 0) throw std::runtime_error(command + " failed:\n" + out);
  return out;
}

std::string objdump(const std::string& option, const std::string& binary) {
  if (!file_exists(binary)) throw std::runtime_error("not built: " + binary);
  return command_output(std::string(MINGW_OBJDUMP) + " " + option + " '" + binary + "'");
}

// The names in the export table of `objdump -p`, in the layouts binutils
// prints. 2.40 (Debian 12):
//   [Ordinal/Name Pointer] Table
//   \t[   0] LN_Capture
// 2.44 (Debian 13), with a header line, the ordinal and the hint:
//   [Ordinal/Name Pointer] Table -- Ordinal Base 1
//   \t          Ordinal   Hint Name
//   \t[   0] +base[   1]  0000 LN_Capture
// A row of any other form is an error, never a name.
std::set<std::string> exported_names(const std::string& headers) {
  std::set<std::string> names;
  std::istringstream lines(headers);
  bool in_table = false;
  for (std::string line; std::getline(lines, line);) {
    std::istringstream fields(line);
    std::string first;
    fields >> first;
    if (line.rfind("[Ordinal/Name Pointer] Table", 0) == 0) {
      in_table = true;
    } else if (in_table && first.empty()) {
      in_table = false;
    } else if (in_table && first != "Ordinal") {
      // "[", the index, "]", then either the name or "+base[", the ordinal,
      // "]", the hint in hexadecimal and the name.
      const size_t index_end = line.find("] ");
      std::string rest = index_end == std::string::npos ? "" : line.substr(index_end + 2);
      bool known = first[0] == '[' && !rest.empty();
      if (known && rest.rfind("+base[", 0) == 0) {
        const size_t ordinal_end = rest.find("] ");
        std::istringstream tail(ordinal_end == std::string::npos ? ""
                                                                 : rest.substr(ordinal_end + 2));
        std::string hint;
        tail >> hint >> rest;
        known = !hint.empty() && hint.find_first_not_of("0123456789abcdef") == std::string::npos;
      }
      if (!known || rest.find_first_of(" \t[]") != std::string::npos) {
        throw std::runtime_error("an export table row of unknown form: " + line);
      }
      names.insert(rest);
    }
  }
  return names;
}

std::vector<std::string> imported_dlls(const std::string& headers) {
  std::vector<std::string> dlls;
  std::istringstream lines(headers);
  const std::string kTag = "DLL Name: ";
  for (std::string line; std::getline(lines, line);) {
    size_t at = line.find(kTag);
    if (at != std::string::npos) dlls.push_back(line.substr(at + kTag.size()));
  }
  return dlls;
}

// Every export with the bytes of arguments that it, as a __stdcall
// function, takes off the stack: pointers and 32-bit integers are 4 each.
const std::map<std::string, int> kStackBytes = {{"LN_GetDllName", 4},    {"LN_OnInit", 4},
                                                {"LN_OnDestroy", 0},     {"LN_GetResolution", 8},
                                                {"LN_SetResolution", 8}, {"LN_DoModalOptionDlg", 0},
                                                {"LN_Capture", 4}};

TEST(WindowsBinaries, AreThirtyTwoBitAndNeedOnlyWindowsOwnDlls) {
  for (const char* binary : {"ConsoleExample.exe", "Vidmote.dll", "list-cameras.exe"}) {
    SCOPED_TRACE(binary);
    const std::string headers = objdump("-p", kWindowsBuild + "/" + binary);
    EXPECT_NE(headers.find("file format pei-i386"), std::string::npos);
    const std::vector<std::string> dlls = imported_dlls(headers);
    EXPECT_FALSE(dlls.empty());
    // The MinGW runtimes (libstdc++-6.dll, libgcc_s_dw2-1.dll, ...) are linked in.
    for (const std::string& dll : dlls) EXPECT_NE(dll.rfind("lib", 0), 0u) << dll;
  }
}

TEST(WindowsBinaries, PlugInsExportStdcallFunctionsUnderPlainNames) {
  std::set<std::string> all, all_but_capture;
  for (const auto& [name, bytes] : kStackBytes) {
    all.insert(name);
    if (name != "LN_Capture") all_but_capture.insert(name);
  }
  const struct {
    std::string dll;
    std::set<std::string> exports;
  } kCases[] = {{"Vidmote.dll", all},
                {"tests/plugins/fakecam/Vidmote.dll", all},
                {"tests/plugins/no_Capture/Vidmote.dll", all_but_capture},
                {"tests/plugins/no_exports/Vidmote.dll", {}}};
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.dll);
    const std::string file = kWindowsBuild + "/" + c.dll;
    EXPECT_EQ(exported_names(objdump("-p", file)), c.exports);
    // The compiler names a __stdcall function _name@bytes in the symbol table.
    const std::string symbols = objdump("-t", file);
    for (const std::string& name : c.exports) {
      const std::string stdcall_symbol = " _" + name + "@" + std::to_string(kStackBytes.at(name));
      EXPECT_NE(symbols.find(stdcall_symbol + "\n"), std::string::npos) << stdcall_symbol;
    }
  }
}

// The export table as binutils 2.40 and 2.44 print it, with the address
// table above it (rows alike, which are no names), and forms neither prints.
TEST(WindowsBinaries, ExportTablesReadInTheLayoutOfEachBinutils) {
  const std::string kAddresses240 =
      "Export Address Table -- Ordinal Base 1\n"
      "\t[   0] +base[   1] 1590 Export RVA\n"
      "\t[   1] +base[   2] 1580 Export RVA\n\n";
  const std::string kAddresses244 =
      "Export Address Table -- Ordinal Base 1\n"
      "\t          Ordinal  Address  Type\n"
      "\t[   0] +base[   1] 00001bd0 Export RVA\n"
      "\t[   1] +base[   2] 00001bb0 Export RVA\n\n";
  const std::string kEnd = "\nPE File Base Relocations (interpreted .reloc section contents)\n";
  const std::string kHeader244 =
      "[Ordinal/Name Pointer] Table -- Ordinal Base 1\n\t          Ordinal   Hint Name\n";
  const std::set<std::string> kTwo = {"LN_Capture", "LN_DoModalOptionDlg"};
  const struct {
    const char* layout;
    std::string headers;
    std::set<std::string> names;  // none when unreadable
    bool readable = true;
  } kCases[] = {
      {"2.40",
       kAddresses240 +
           "[Ordinal/Name Pointer] Table\n\t[   0] LN_Capture\n"
           "\t[   1] LN_DoModalOptionDlg\n" +
           kEnd,
       kTwo},
      {"2.40, no exports", kAddresses240 + "[Ordinal/Name Pointer] Table\n" + kEnd, {}},
      {"2.44",
       kAddresses244 + kHeader244 +
           "\t[   0] +base[   1]  0000 LN_Capture\n"
           "\t[   1] +base[   2]  0001 LN_DoModalOptionDlg\n" +
           kEnd,
       kTwo},
      {"2.44, no exports", kAddresses244 + kHeader244 + kEnd, {}},
      {"no hint", kHeader244 + "\t[   0] +base[   1] LN_Capture\n", {}, false},
      {"no name", kHeader244 + "\t[   0] +base[   1]  0000\n", {}, false},
      {"no index", "[Ordinal/Name Pointer] Table\n\tLN_Capture\n", {}, false},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.layout);
    if (c.readable) {
      EXPECT_EQ(exported_names(c.headers), c.names);
    } else {
      EXPECT_THROW(exported_names(c.headers), std::runtime_error);
    }
  }
}

// ---- The program ----

// A folder of its own per plug-in: ConsoleExample.exe and, as Vidmote.dll,
// the fakecam variant (the default plug-in for "", none for "none"), as the
// program loads the Vidmote.dll beside it.
std::string windows_program(const std::string& variant) {
  static std::map<std::string, std::unique_ptr<ScratchDir>> folders;
  std::unique_ptr<ScratchDir>& folder = folders[variant];
  if (!folder) {
    folder = std::make_unique<ScratchDir>();
    auto copy = [&](const std::string& from, const std::string& name) {
      if (!file_exists(from)) throw std::runtime_error("not built: " + from);
      write_file(folder->file(name), read_file(from));
    };
    copy(kWindowsBuild + "/ConsoleExample.exe", "ConsoleExample.exe");
    if (variant.empty()) {
      copy(kWindowsBuild + "/Vidmote.dll", "Vidmote.dll");
    } else if (variant != "none") {
      copy(kWindowsBuild + "/tests/plugins/" + variant + "/Vidmote.dll", "Vidmote.dll");
    }
  }
  return folder->file("ConsoleExample.exe");
}

// The folder of the prefix's own that wine gets as XDG_RUNTIME_DIR, which
// it expects (without one it complains on standard error, now and then):
// made here too, for runs without wine_prefix.sh, and this user's only.
std::string wine_runtime_dir() {
  const std::string folder = std::string(WINE_PREFIX) + ".runtime";
  if (mkdir(folder.c_str(), 0700) != 0 && errno != EEXIST) {
    throw std::runtime_error("cannot make " + folder);
  }
  struct stat made;
  if (stat(folder.c_str(), &made) != 0 || !S_ISDIR(made.st_mode) || made.st_uid != geteuid() ||
      chmod(folder.c_str(), 0700) != 0) {
    throw std::runtime_error(folder + " is not a folder of this user's");
  }
  return folder;
}

// A Windows program and its arguments, under wine in the test prefix.
RunOptions wine_options(const std::vector<std::string>& command) {
  RunOptions options;
  options.program = WINE_PROGRAM;
  options.args = command;
  options.plugin = "";  // chosen by the folder, not by LD_LIBRARY_PATH
  options.env["WINEPREFIX"] = WINE_PREFIX;
  options.env["WINEDEBUG"] = "-all";
  options.env["XDG_RUNTIME_DIR"] = wine_runtime_dir();
  return options;
}

RunOptions windows_options(const std::string& variant) {
  return wine_options({windows_program(variant)});
}

// Frames of width x height, one after another.
struct ServedFrames {
  int width = 0, height = 0;
  std::string bytes;
};

struct Scenario {
  const char* name;
  std::string plugin;  // fakecam variant; "" for the default plug-in
  std::string input;   // LF line ends; the Windows run gets CRLF, as typed there
  int status;
  std::map<std::string, std::string> env = {};
  ServedFrames frames = {};             // served by fakecam unless it has no bytes
  std::vector<std::string> taken = {};  // entries made beforehand; a trailing '/' makes a folder
  std::string windows_input = "";       // unless empty, the Windows run's input as it is
};

void PrintTo(const Scenario& s, std::ostream* os) {
  *os << s.name;
}

// Frames served by fakecam: `count` frames of w x h, byte i of frame k a
// hash of (i, k), so that every gray band and every ramp character occurs.
std::string noise_frames(int width, int height, int count) {
  std::string bytes(static_cast<size_t>(width) * height * 3 * count, '\0');
  uint32_t h = 2166136261u;
  for (char& b : bytes) {
    h = (h ^ 0x9e) * 16777619u;
    b = static_cast<char>(h >> 13);
  }
  return bytes;
}

// The Windows console text is the Linux one as Shift_JIS bytes with CRLF line
// ends; the plug-in's file name, in the message that it cannot be opened, is
// the one text that differs.
void expect_same_console(std::string linux_text, const std::string& windows_text) {
  const std::string kLinuxFile = "libvidmote.so";
  const size_t file_at = linux_text.find(kLinuxFile);
  if (file_at != std::string::npos) linux_text.replace(file_at, kLinuxFile.size(), "Vidmote.dll");
  EXPECT_EQ(windows_text, to_shift_jis(crlf(linux_text)));
}

// The same files; the pages differ only by their CRLF line ends.
void expect_same_files(const ScratchDir& linux_out, const ScratchDir& windows_out) {
  const std::vector<std::string> names = linux_out.list();
  ASSERT_EQ(windows_out.list(), names);
  for (const std::string& name : names) {
    SCOPED_TRACE(name);
    const std::string linux_file = read_file(linux_out.file(name));
    const std::string windows_file = read_file(windows_out.file(name));
    if (name.size() > 5 && name.substr(name.size() - 5) == ".html") {
      EXPECT_EQ(windows_file, crlf(linux_file));
    } else {
      EXPECT_EQ(windows_file, linux_file);
    }
  }
}

// Captures of `count` frames of width x height served by fakecam.
Scenario noise_scenario(const char* name, const std::string& input, int width, int height,
                        int count) {
  const ServedFrames frames = {width, height, noise_frames(width, height, count)};
  return Scenario{name, "fakecam", input, 0, {}, frames};
}

class SameAsLinux : public ::testing::TestWithParam<Scenario> {};

TEST_P(SameAsLinux, ConsoleFilesAndCalls) {
  const Scenario& s = GetParam();
  ScratchDir side, linux_out, windows_out;
  RunOptions on_linux;
  on_linux.plugin = s.plugin;
  on_linux.input = s.input;
  on_linux.env = s.env;
  if (!s.frames.bytes.empty()) {
    serve_frames(on_linux.env, side.file("frames.raw"), s.frames.width, s.frames.height,
                 s.frames.bytes);
  }
  RunOptions on_windows = windows_options(s.plugin);
  on_windows.input = s.windows_input.empty() ? crlf(s.input) : s.windows_input;
  on_windows.env.insert(on_linux.env.begin(), on_linux.env.end());
  on_linux.env["FAKECAM_LOG"] = side.file("linux.log");
  on_windows.env["FAKECAM_LOG"] = side.file("windows.log");
  for (ScratchDir* out : {&linux_out, &windows_out}) {
    for (const std::string& name : s.taken) {
      if (name.back() == '/') {
        ASSERT_EQ(mkdir(out->file(name).c_str(), 0755), 0);
      } else {
        write_file(out->file(name), "taken");
      }
    }
  }

  const RunResult linux_run = run_program(linux_out.path(), on_linux);
  const RunResult windows_run = run_program(windows_out.path(), on_windows);
  ASSERT_FALSE(linux_run.timed_out || windows_run.timed_out);
  EXPECT_EQ(linux_run.status, s.status);
  EXPECT_EQ(windows_run.status, s.status);
  EXPECT_EQ(linux_run.err, "");
  EXPECT_EQ(windows_run.err, "");
  expect_same_console(linux_run.out, windows_run.out);
  expect_same_files(linux_out, windows_out);
  // fakecam's call log is a text file too.
  EXPECT_EQ(read_file(side.file("windows.log")), crlf(read_file(side.file("linux.log"))));
}

const std::string kOneCapture = "200\n\nq\n";

INSTANTIATE_TEST_SUITE_P(
    Runs, SameAsLinux,
    ::testing::Values(
        Scenario{"OneCapture", "fakecam", kOneCapture, 0},
        Scenario{"TwoCapturesFromOneLine", "fakecam", "70\nx\nQ\n", 0},
        Scenario{"LfInputOnWindows", "fakecam", "70\nx\nQ\n", 0, {}, {}, {}, "70\nx\nQ\n"},
        noise_scenario("NoiseFramesOddWidth", "201\n\n\nq\n", 201, 151, 2),
        noise_scenario("TallFrameOneColumn", "1\n\nq\n", 7, 300, 1),
        noise_scenario("OneRowFrame", "70\n\nq\n", 640, 20, 1),
        noise_scenario("NegativeWidthMarkupOnly", "-3\n\nq\n", 3, 2, 1),
        Scenario{"WidthAnswerWithWords", "fakecam", " 120 words\n\nq\n", 0},
        Scenario{"WidthLineOf1023Characters", "fakecam", "200" + std::string(1020, ' ') + "\nq\n",
                 0},
        Scenario{"NumberingSkipsTakenNames",
                 "fakecam",
                 "30\n\n\n\nq\n",
                 0,
                 {},
                 {},
                 {"R00000.html", "R00001.bmp", "R00002.bmp/", "R00005.bmp"}},
        Scenario{"SettingsDropsTheRestOfTheLine", "fakecam", "200\ns and more\n\nq\n", 0},
        Scenario{"EndOfInputAtThePrompt", "fakecam", "200\n", 0},
        Scenario{"EndOfInputAtTheWidthQuestion", "fakecam", "", 255},
        Scenario{"WidthZero", "fakecam", "0\n\nq\n", 255},
        Scenario{"WidthWithoutDigits", "fakecam", "abc\n\nq\n", 255},
        Scenario{"WidthAboveTheLimit", "fakecam", "10001\n\nq\n", 255},
        Scenario{"InitFails", "fakecam", kOneCapture, 255, {{"FAKECAM_INIT", "0"}}},
        Scenario{"InitResultHighByteOnly", "fakecam", kOneCapture, 255, {{"FAKECAM_INIT", "256"}}},
        Scenario{"NameLengthZero", "fakecam", kOneCapture, 255, {{"FAKECAM_NAME_LENGTH", "0"}}},
        Scenario{"NameCopyFails", "fakecam", kOneCapture, 255, {{"FAKECAM_NAME_RESULT", "0"}}},
        Scenario{"CaptureFails", "fakecam", kOneCapture, 255, {{"FAKECAM_CAPTURE", "0"}}},
        Scenario{
            "FrameSizeOneShort", "fakecam", kOneCapture, 255, {{"FAKECAM_FRAME_BYTES", "921599"}}},
        Scenario{"FrameSizeWrapsToZero",
                 "fakecam",
                 kOneCapture,
                 255,
                 {{"FAKECAM_SIZE", "65536 65536"}, {"FAKECAM_FRAME_BYTES", "0"}}},
        Scenario{"ResolutionQueryFails", "fakecam", kOneCapture, 255, {{"FAKECAM_GETRES", "0"}}},
        Scenario{"SecondCaptureFails",
                 "fakecam",
                 "200\n\n\nq\n",
                 255,
                 {{"FAKECAM_CAPTURE_FAIL_AT", "2"}}},
        Scenario{"PageNameTakenDuringCapture",
                 "fakecam",
                 kOneCapture,
                 0,
                 {{"FAKECAM_MKDIR_ON_CAPTURE", "R00000.html"}}},
        Scenario{"NoGetDllName", "no_GetDllName", "200\ns\n\nq\n", 255},
        Scenario{"NoOnInit", "no_OnInit", "200\ns\n\nq\n", 255},
        Scenario{"NoCapture", "no_Capture", "200\ns\n\nq\n", 255},
        Scenario{"NoGetResolution", "no_GetResolution", "200\ns\n\nq\n", 255},
        Scenario{"NoSetResolution", "no_SetResolution", "200\ns\n\nq\n", 0},
        Scenario{"NoDoModalOptionDlg", "no_DoModalOptionDlg", "200\ns\n\nq\n", 0},
        Scenario{"NoOnDestroy", "no_OnDestroy", "200\ns\n\nq\n", 0},
        Scenario{"NoExports", "no_exports", "200\ns\n\nq\n", 255},
        // Without a console the settings dialog returns at once. The test
        // card on both sides, also where a camera is there.
        Scenario{"DefaultPlugIn", "", "200\n\ns\n\nq\n", 0, {{"VIDMOTE_DEVICE", "test-card"}}}),
    [](const ::testing::TestParamInfo<Scenario>& info) { return info.param.name; });

// Wine gets the environment it expects: a runtime folder of its own that
// only this user may enter, as a login gives one.
TEST(WindowsProgram, WineRunsWithAPrivateRuntimeFolder) {
  const RunOptions options = wine_options({"cmd", "/c", "exit"});
  ASSERT_EQ(options.env.count("XDG_RUNTIME_DIR"), 1u);
  const std::string& folder = options.env.at("XDG_RUNTIME_DIR");
  struct stat made;
  ASSERT_EQ(stat(folder.c_str(), &made), 0) << folder;
  EXPECT_TRUE(S_ISDIR(made.st_mode)) << folder;
  EXPECT_EQ(made.st_mode & 07777, 0700u) << folder;
  EXPECT_EQ(made.st_uid, geteuid()) << folder;
}

TEST(WindowsProgram, StartsWithShiftJisTextsAndCrLf) {
  ScratchDir out;
  RunOptions options = windows_options("fakecam");
  options.input = "\r\n";  // no digits: refused
  const RunResult r = run_program(out.path(), options);
  EXPECT_EQ(r.status, 255);
  // The start-up texts for the test camera at 640 x 480, then the width
  // error, as Shift_JIS bytes written out by hand, not through the converter.
  EXPECT_EQ(r.out,
            "DLL\x81\x46"
            "FakeCam\r\n"
            "\x89\xF0\x91\x9C\x93\x78\x81\x46"
            "640x480\r\n"
            "HTML \x83\x74\x83\x40\x83\x43\x83\x8B\x94\xC5\x82\xCC\x89\xA1\x95\x9D\x82\xCD\x81\x48"
            "\x81\x69\x97\xE1\x81\x46"
            "200\x81\x6A -> error.\r\n");
}

TEST(WindowsProgram, ReportsAMissingPlugInByItsFileName) {
  ScratchDir out;
  RunOptions options = windows_options("none");
  options.input = kOneCapture;
  const RunResult r = run_program(out.path(), options);
  EXPECT_EQ(r.status, 255);
  EXPECT_EQ(r.out, to_shift_jis(crlf(open_failed_text("Vidmote.dll"))));
  EXPECT_TRUE(out.list().empty());
}

// ---- The settings dialog on the console ----

struct TerminalRun {
  int status = -1;     // exit status; -1 when it had to be killed
  std::string out;     // standard output, unless on the terminal
  std::string err;     // standard error, unless on the terminal
  std::string screen;  // everything the terminal showed
};

std::string shown_text(const std::string& screen);

// What a run left, for a failure's message.
std::string seen(const TerminalRun& run) {
  return "exit status " + (run.status < 0 ? "none (killed)" : std::to_string(run.status)) +
         "\nthe terminal showed:\n" + shown_text(run.screen) + "\nstandard output:\n" + run.out;
}

// Which of standard output and standard error go to the terminal rather
// than to a file.
struct OnTerminal {
  bool out = false;
  bool err = true;
};

// Runs the program with a pseudo-terminal as its controlling terminal and
// standard input (so that wine gives it a console), standard output into a
// file and standard error on the terminal unless `streams` says otherwise.
// Once the width question is out, `keys` are typed on the terminal as they
// are: it does not turn "\r" into "\n", so that what wine's console gets
// does not depend on when it takes the terminal over. The program is killed
// after options.timeout_seconds.
TerminalRun run_on_terminal(const std::string& cwd, const RunOptions& options,
                            const std::string& keys, OnTerminal streams = OnTerminal()) {
  ScratchDir io;
  const std::string out_path = io.file("stdout"), err_path = io.file("stderr");
  std::vector<std::string> env = environment(options), command = command_line(options);
  std::vector<char*> envp, argv;
  for (std::string& s : env) envp.push_back(s.data());
  for (std::string& s : command) argv.push_back(s.data());
  envp.push_back(nullptr);
  argv.push_back(nullptr);

  int terminal = -1;
  // Wide enough that no line of the program's wraps: wine's console takes
  // the terminal's width.
  winsize size = {};
  size.ws_row = 50;
  size.ws_col = 200;
  const pid_t pid = forkpty(&terminal, nullptr, nullptr, &size);
  if (pid < 0) throw std::runtime_error("forkpty failed");
  if (pid == 0) {
    auto to_file = [](const std::string& path, int fd) {
      const int file = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
      return file >= 0 && dup2(file, fd) >= 0;
    };
    termios modes;
    if ((!streams.out && !to_file(out_path, 1)) || (!streams.err && !to_file(err_path, 2)) ||
        chdir(cwd.c_str()) != 0 || tcgetattr(0, &modes) != 0) {
      _exit(120);
    }
    modes.c_iflag &= ~ICRNL;
    if (tcsetattr(0, TCSANOW, &modes) != 0) _exit(120);
    execve(argv[0], argv.data(), envp.data());
    _exit(121);
  }

  TerminalRun run;
  bool typed = false, ended = false;
  const double deadline = now_seconds() + options.timeout_seconds;
  // Past the program's end too: what it wrote last may still be on its way
  // (and wine's console still drawing it), until no process holds the
  // terminal any more.
  for (;;) {
    // Wine's console draws the blank after "->" as a cursor move.
    const bool asked = streams.out ? run.screen.find("->") != std::string::npos
                                   : read_file(out_path).find(" -> ") != std::string::npos;
    if (!typed && asked) {
      typed = write(terminal, keys.data(), keys.size()) == static_cast<ssize_t>(keys.size());
    }
    pollfd ready = {terminal, POLLIN, 0};
    char buffer[4096];
    ssize_t n = 0;
    if (poll(&ready, 1, 10) > 0 && (n = read(terminal, buffer, sizeof buffer)) > 0) {
      run.screen.append(buffer, static_cast<size_t>(n));
    }
    int status = 0;
    if (!ended && waitpid(pid, &status, WNOHANG) == pid) {
      ended = true;
      run.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }
    if (ended && n < 0) break;  // the terminal let go of by every process
    if (now_seconds() > deadline) {
      if (!ended) {
        kill(pid, SIGKILL);
        waitpid(pid, nullptr, 0);
      }
      break;
    }
    if (n < 0) usleep(10 * 1000);  // let go of already, the program not yet reaped
  }
  close(terminal);
  if (!streams.out) run.out = read_file(out_path);
  if (!streams.err) run.err = read_file(err_path);
  return run;
}

// The saved settings of the prefix's user: wine names its own AppData,
// whatever the environment says.
std::filesystem::path saved_settings_folder() {
  std::error_code error;
  for (const auto& user :
       std::filesystem::directory_iterator(std::string(WINE_PREFIX) + "/drive_c/users", error)) {
    const std::filesystem::path folder = user.path() / "AppData" / "Roaming" / "vidmote";
    if (std::filesystem::exists(folder, error)) return folder;
  }
  return {};
}

// So that no run after this one starts with what a dialog saved.
void forget_saved_settings() {
  std::error_code error;
  const std::filesystem::path folder = saved_settings_folder();
  if (!folder.empty()) std::filesystem::remove_all(folder, error);
}

TEST(WindowsProgram, SettingsDialogRunsOnTheConsole) {
  // Width 200, the settings command, size 1 (320 x 240) and done in the
  // dialog, a capture, quit. Enter is "\n" on Linux (after the terminal's
  // own conversion), "\r" for the Windows console.
  const std::string keys = "200\ns\n2\n1\n\n\nq\n";
  std::string console_keys = keys;
  std::replace(console_keys.begin(), console_keys.end(), '\n', '\r');
  ScratchDir linux_out, windows_out;
  RunOptions on_linux;
  on_linux.plugin = "";                          // the default plug-in, beside the program
  on_linux.env["VIDMOTE_DEVICE"] = "test-card";  // also where a camera is there
  const TerminalRun linux_run = run_on_terminal(linux_out.path(), on_linux, keys);
  RunOptions on_windows = windows_options("");
  on_windows.env["VIDMOTE_DEVICE"] = "test-card";
  forget_saved_settings();
  const TerminalRun windows_run = run_on_terminal(windows_out.path(), on_windows, console_keys);
  // The size chosen is saved for the next start, under %APPDATA%.
  const std::filesystem::path saved = saved_settings_folder() / "Test_card.conf";
  EXPECT_EQ(file_exists(saved.string()) ? read_file(saved.string()) : "(no file)",
            "# Vidmote settings for Test card, kept by the settings dialog.\n"
            "VIDMOTE_SIZE=320x240\n");
  forget_saved_settings();
  SCOPED_TRACE("on Linux: " + seen(linux_run) + "\non Windows: " + seen(windows_run));
  for (const TerminalRun* run : {&linux_run, &windows_run}) {
    EXPECT_EQ(run->status, 0);
    for (const char* shown : {"Vidmote settings", "Frame size", "Size: 320 x 240", "closed"}) {
      EXPECT_NE(run->screen.find(shown), std::string::npos) << shown;
    }
  }
  expect_same_console(linux_run.out, windows_run.out);
  expect_same_files(linux_out, windows_out);
  const std::string frame = read_file(windows_out.file("R00001.bmp"));
  ASSERT_GE(frame.size(), 26u);
  EXPECT_EQ(frame.substr(18, 8), std::string("\x40\x01\0\0\xF0\0\0\0", 8)) << "320 x 240";
}

// ---- The console texts as a user sees them ----

// What a terminal shows of wine's console, as text: wine draws with escapes
// (the cursor hidden while it draws, a blank as an erase and a move right)
// and ends lines with CR LF.
std::string shown_text(const std::string& screen) {
  std::string text;
  for (size_t i = 0; i < screen.size();) {
    if (screen.compare(i, 2, "\x1b[") == 0) {
      size_t end = i + 2;
      while (end < screen.size() && strchr("0123456789;?", screen[end])) ++end;
      if (end == screen.size()) break;
      if (screen[end] == 'C') text.append(end > i + 2 ? std::stoul(screen.substr(i + 2)) : 1, ' ');
      i = end + 1;
    } else {
      if (screen[i] != '\r') text += screen[i];
      ++i;
    }
  }
  return text;
}

// A text that reached wine's console in one write, in UTF-8; of a long one
// wine traces only the start.
struct ConsoleWrite {
  std::string text;
  bool cut;
};

void PrintTo(const ConsoleWrite& write, std::ostream* os) {
  *os << testing::PrintToString(write.text) << (write.cut ? "..." : "");
}

// The console's writes. With WINEDEBUG=trace+console wine traces each as
// L"..." with \r, \n, \t, \\ and \" escapes and \xxxx (four hex digits) for
// any other character outside printable ASCII, and "..." after a cut one.
std::vector<ConsoleWrite> console_writes(const std::string& trace) {
  const std::string kTag = "trace:console:write_console L\"";
  auto append_utf8 = [](std::string* out, unsigned c) {
    if (c < 0x80) {
      *out += static_cast<char>(c);
    } else if (c < 0x800) {
      *out += static_cast<char>(0xC0 | c >> 6);
      *out += static_cast<char>(0x80 | (c & 0x3F));
    } else {
      *out += static_cast<char>(0xE0 | c >> 12);
      *out += static_cast<char>(0x80 | (c >> 6 & 0x3F));
      *out += static_cast<char>(0x80 | (c & 0x3F));
    }
  };
  std::vector<ConsoleWrite> writes;
  std::istringstream lines(trace);
  for (std::string line; std::getline(lines, line);) {
    const size_t at = line.find(kTag);
    if (at == std::string::npos) continue;
    const std::string quoted = line.substr(at + kTag.size(), line.rfind('"') - at - kTag.size());
    std::string text;
    for (size_t i = 0; i < quoted.size(); ++i) {
      if (quoted[i] != '\\' || i + 1 == quoted.size()) {
        text += quoted[i];
      } else if (const char* plain = strchr("rnt", quoted[i + 1])) {
        text += "\r\n\t"[plain - "rnt"];
        ++i;
      } else if (quoted[i + 1] == '\\' || quoted[i + 1] == '"') {
        text += quoted[++i];
      } else {
        append_utf8(&text, std::stoul(quoted.substr(i + 1, 4), nullptr, 16));
        i += 4;
      }
    }
    const bool cut = line.size() >= 4 && line.compare(line.size() - 4, 4, "\"...") == 0;
    writes.push_back({text, cut});
  }
  return writes;
}

const std::string kWestern = "C.UTF-8", kJapanese = "ja_JP.UTF-8";

// Wine on a western system (C.UTF-8: ANSI code page 1252, console 437) or a
// Japanese one (ja_JP.UTF-8, built for the tests: 932 and 932); the terminal
// shows UTF-8 in both.
RunOptions on_system(RunOptions options, const std::string& locale) {
  static ScratchDir locales;
  static const bool made = make_locale(locales.path(), kJapanese, "ja_JP", "UTF-8");
  if (!made) throw std::runtime_error("localedef (Debian package locales) is needed");
  options.env["LOCPATH"] = locales.path();
  options.env["LC_ALL"] = locale;
  return options;
}

// On a western and on a Japanese system (wine follows the locale: ANSI code
// page 1252 and console 437, or 932 and 932) and on a console of each code
// page (chosen with chcp, as a user does), each text reaches the console in
// one write and shows whole on the terminal, a prompt before the program
// waits; so does a capture's report, the Linux program's. The plug-in's name comes in the ANSI code
// page: it shows as itself where the console takes UTF-16, with '?' for what Shift_JIS lacks on a
// Shift_JIS console. Into a file the texts are the Shift_JIS bytes, the name
// too, and nothing of them reaches the console.
TEST(WindowsConsole, TextsReachConsolesOfEveryCodePageWholeAndReadable) {
  const std::string kLatinName = "Cam\u00e9ra", kJapaneseName = "\u5185\u8535\u30AB\u30E1\u30E9";
  const struct {
    std::string locale;
    const char* code_page;  // for chcp; nullptr: the locale's
    bool out_on_terminal;
    std::string name;  // given to wine in UTF-8
    std::string name_shown;
  } cases[] = {
      {kWestern, nullptr, true, kLatinName, kLatinName},
      {kWestern, "932", true, kLatinName, "Cam?ra"},
      {kWestern, "65001", true, kLatinName, kLatinName},
      {kWestern, nullptr, false, kLatinName, "Cam?ra"},
      {kJapanese, nullptr, true, kJapaneseName, kJapaneseName},
      {kJapanese, "437", true, kJapaneseName, kJapaneseName},
      {kJapanese, nullptr, false, kJapaneseName, kJapaneseName},
  };
  ScratchDir linux_out;
  RunOptions on_linux;
  on_linux.input = kOneCapture;
  const std::string linux_text = run_program(linux_out.path(), on_linux).out;
  const std::string before_report = startup_text(640, 480) + kPrompt;
  ASSERT_EQ(linux_text.rfind(before_report, 0), 0u) << linux_text;
  ASSERT_GT(linux_text.size(), before_report.size() + kPrompt.size()) << linux_text;
  const std::string report = linux_text.substr(
      before_report.size(), linux_text.size() - before_report.size() - kPrompt.size());
  const std::string program = windows_path(windows_program("fakecam"));
  ASSERT_EQ(program.find(' '), std::string::npos) << program;  // cmd takes it unquoted
  for (const auto& c : cases) {
    SCOPED_TRACE(c.locale + ", code page " + (c.code_page ? c.code_page : "of the locale") +
                 (c.out_on_terminal ? ", on the console" : ", into a file"));
    RunOptions options = on_system(
        c.code_page
            ? wine_options({"cmd", "/c", std::string("chcp ") + c.code_page + " >nul & " + program})
            : wine_options({program}),
        c.locale);
    options.env["FAKECAM_NAME"] = c.name;
    options.env["WINEDEBUG"] = "-all,trace+console";
    ScratchDir cwd;
    const TerminalRun run =
        run_on_terminal(cwd.path(), options, "200\r\rq\r", {c.out_on_terminal, false});
    EXPECT_EQ(run.status, 0) << run.screen;
    const std::string startup = startup_text(640, 480, c.name_shown);
    if (!c.out_on_terminal) {
      EXPECT_EQ(run.out, to_shift_jis(crlf(startup + kPrompt + report + kPrompt)));
      EXPECT_TRUE(console_writes(run.err).empty())
          << testing::PrintToString(console_writes(run.err));
      continue;
    }
    EXPECT_EQ(run.out, "");
    const std::vector<std::string> texts = {plugin_name_line(c.name_shown),
                                            resolution_line(640, 480),
                                            kWidthQuestion,
                                            kPrompt,
                                            report,
                                            kPrompt};
    const std::vector<ConsoleWrite> writes = console_writes(run.err);
    EXPECT_EQ(writes.size(), texts.size()) << testing::PrintToString(writes);
    for (size_t i = 0; i < std::min(writes.size(), texts.size()); ++i) {
      const std::string text = crlf(texts[i]);
      EXPECT_EQ(writes[i].text, writes[i].cut ? text.substr(0, writes[i].text.size()) : text) << i;
    }
    // The terminal echoes the typed keys too, before wine's console does.
    const std::string shown = shown_text(run.screen);
    const size_t startup_at = shown.find(startup);
    EXPECT_NE(startup_at, std::string::npos) << run.screen;
    EXPECT_NE(shown.find(kPrompt, startup_at), std::string::npos) << run.screen;
  }
}

// VIDMOTE_DEVICE naming no camera, by a friendly name or a device path: the
// plug-in does not start, and its line on standard error shows the name
// whole on the console, in the ANSI code page ('?' for what it lacks) as
// UTF-16. Wine lists no camera of these names, nor one with a device path.
TEST(WindowsConsole, CameraNamedThatIsNotThereFailsTheStartSayingSo) {
  const std::string kPath =
      "\\\\?\\usb#vid_0000&pid_0000&mi_00#0&0&0&0000#{65e8773d-8f56-11d0-a3b9-00a0c9223196}"
      "\\global";
  const struct {
    std::string locale;
    std::string device;  // given to wine in UTF-8
    std::string shown;
  } cases[] = {
      {kJapanese, "\u5185\u8535\u30AB\u30E1\u30E9", "\u5185\u8535\u30AB\u30E1\u30E9"},
      {kWestern, "Cam\u00e9ra \u5185\u8535", "Cam\u00e9ra ??"},
      {kWestern, kPath, kPath},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.locale);
    RunOptions options = on_system(windows_options(""), c.locale);
    options.env["VIDMOTE_DEVICE"] = c.device;
    ScratchDir cwd;
    const TerminalRun run = run_on_terminal(cwd.path(), options, "", {true, true});
    EXPECT_EQ(run.status, 255) << run.screen;
    const std::string shown = shown_text(run.screen);
    EXPECT_NE(shown.find("vidmote: " + c.shown +
                         ": cannot be used: Windows lists no camera of that name\n"),
              std::string::npos)
        << run.screen;
    EXPECT_NE(shown.find(kInitFailed), std::string::npos) << run.screen;
  }
}

// ---- The packages a user installs: the zip and the installer ----

// What both packages put in the program's folder; plugin-check is not built
// for Windows.
const std::vector<std::string> kPackageFiles = {
    "ConsoleExample.exe",        "LICENSE.txt",     "README.txt", "Vidmote.dll",
    "libjpeg-turbo-LICENSE.txt", "list-cameras.exe"};

// cpack of the Windows build with one generator (ZIP, NSIS) into `out`:
// the one package file it makes.
std::string windows_package(const char* generator, const ScratchDir& out) {
  command_output(shell_quoted(CPACK_PROGRAM) + " -G " + generator + " -B " +
                 shell_quoted(out.path()) + " --config " +
                 shell_quoted(kWindowsBuild + "/CPackConfig.cmake"));
  std::vector<std::string> made;
  for (const std::string& name : out.list()) {
    if (name.size() > 4 &&
        (name.substr(name.size() - 4) == ".zip" || name.substr(name.size() - 4) == ".exe")) {
      made.push_back(out.file(name));
    }
  }
  if (made.size() != 1) throw std::runtime_error(std::string("cpack -G ") + generator);
  return made[0];
}

// A path of this machine as Windows programs under wine see it: on drive Z:,
// wine's view of the root folder.
// The DLLs and programs of their own (not wine's built-in ones) that a run
// with WINEDEBUG=+loaddll loaded, by their Windows paths.
std::set<std::string> native_modules(const std::string& trace) {
  std::set<std::string> modules;
  std::istringstream lines(trace);
  const std::string kLoaded = "Loaded L\"";
  for (std::string line; std::getline(lines, line);) {
    const size_t at = line.find(kLoaded), end = line.find("\" at ");
    if (at == std::string::npos || end == std::string::npos || line.find(": native") == line.npos) {
      continue;
    }
    std::string path = line.substr(at + kLoaded.size(), end - at - kLoaded.size());
    for (size_t i = path.find("\\\\"); i != path.npos; i = path.find("\\\\", i + 1)) {
      path.erase(i, 1);  // the trace doubles every backslash
    }
    modules.insert(path);
  }
  return modules;
}

// A folder a package filled: its files, the texts with Windows line ends, and
// the program, started from another, empty folder, capturing a test-card
// frame through the Vidmote.dll beside it and no other DLL of its own.
void expect_program_folder_works(const std::string& folder, const std::vector<std::string>& files) {
  EXPECT_EQ(list_folder(folder), files);
  const std::string readme = read_file(folder + "/README.txt");
  EXPECT_EQ(read_file(folder + "/LICENSE.txt"), crlf(read_file(LICENSE_PATH)));
  size_t lf_alone = 0;
  for (size_t i = readme.find('\n'); i != readme.npos; i = readme.find('\n', i + 1)) {
    lf_alone += i == 0 || readme[i - 1] != '\r';
  }
  EXPECT_EQ(lf_alone, 0u) << "README.txt: lines that end in LF alone";
  for (const char* told :
       {"ConsoleExample.exe", "chcp 932", "VIDMOTE_DEVICE=test-card", "list-cameras.exe"}) {
    EXPECT_NE(readme.find(told), std::string::npos) << "README.txt does not say " << told;
  }

  ScratchDir run;
  RunOptions options = wine_options({folder + "/ConsoleExample.exe"});
  options.input = crlf(kOneCapture);
  options.env["VIDMOTE_DEVICE"] = "test-card";
  options.env["WINEDEBUG"] = "+loaddll";
  const RunResult r = run_program(run.path(), options);
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(native_modules(r.err),
            (std::set<std::string>{windows_path(folder) + "\\ConsoleExample.exe",
                                   windows_path(folder) + "\\Vidmote.dll"}));
  EXPECT_NE(r.out.find(to_shift_jis("DLL：Vidmote: Test card\r\n")), std::string::npos) << r.out;
  EXPECT_EQ(run.list(), (std::vector<std::string>{"R00000.bmp", "R00000.html", "g.bmp"}));
  EXPECT_EQ(read_file(run.file("R00000.bmp")).size(), 54u + 640 * 480 * 3);
}

TEST(WindowsPackages, ZipUnpacksToAFolderThatRuns) {
  ScratchDir packages, unpacked;
  const std::string zip = windows_package("ZIP", packages);
  command_output("cd " + shell_quoted(unpacked.path()) + " && " + shell_quoted(CMAKE_PROGRAM) +
                 " -E tar xf " + shell_quoted(zip));
  // One folder, named as the zip.
  const std::string folder = zip.substr(zip.rfind('/') + 1, zip.size() - zip.rfind('/') - 5);
  ASSERT_EQ(unpacked.list(), std::vector<std::string>{folder});
  expect_program_folder_works(unpacked.file(folder), kPackageFiles);
}

// Every file and folder of the wine prefix but those in its users' Temp
// folders, where programs leave scratch files: the uninstaller runs from a
// copy of itself there.
std::set<std::string> prefix_entries() {
  std::set<std::string> entries;
  const std::filesystem::path prefix = WINE_PREFIX;
  std::error_code vanished;  // an uninstaller may be removing files meanwhile
  for (auto it = std::filesystem::recursive_directory_iterator(prefix, vanished);
       it != std::filesystem::recursive_directory_iterator(); it.increment(vanished)) {
    const std::string entry = it->path().lexically_relative(prefix).string();
    if (it->path().filename() == "Temp" && entry.rfind("drive_c/users/", 0) == 0) {
      it.disable_recursion_pending();
      continue;
    }
    entries.insert(entry);
  }
  return entries;
}

// The exit status of `reg query` for a key in the 32-bit view of the
// registry, where a 32-bit installer writes; its output into *out.
int query_registry(const std::string& key, std::string* out) {
  ScratchDir cwd;
  const RunResult r = run_program(cwd.path(), wine_options({"reg", "query", key, "/reg:32"}));
  if (out) *out = r.out;
  return r.status;
}

TEST(WindowsPackages, InstallerInstallsListsAndUninstallsWithoutATrace) {
  ScratchDir packages, target, home;
  const std::string installer = windows_package("NSIS", packages);
  const std::string folder = target.file("prefix");
  // NSIS takes the folder after /D= as it stands, with no quotes around it.
  ASSERT_EQ(folder.find(' '), std::string::npos) << folder;
  // Nothing of wine's outside its prefix: no desktop menu entries for the
  // installer's Start menu links, and a home of its own.
  auto installing = [&](const std::vector<std::string>& command) {
    RunOptions options = wine_options(command);
    options.env["WINEDLLOVERRIDES"] = "winemenubuilder.exe=d";
    options.env["HOME"] = home.path();
    options.timeout_seconds = 300;
    return options;
  };
  const std::string kListed =
      "HKLM\\Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\Capture Console";
  const std::string kOwnKey = "HKLM\\Software\\Capture console developers\\Capture Console";
  const std::set<std::string> before = prefix_entries();
  ASSERT_NE(query_registry(kListed, nullptr), 0)
      << "installed in the prefix already: remove the prefix, wine_prefix makes it anew";

  const std::string kMenu =
      "drive_c/ProgramData/Microsoft/Windows/Start Menu/Programs/Capture Console";
  // The uninstaller hands over to its copy in Temp and returns at once: that
  // copy removes the folder, then the Start menu folder.
  auto uninstall = [&] {
    const RunResult r = run_program(target.path(), installing({folder + "/Uninstall.exe", "/S"}));
    const std::string menu = std::string(WINE_PREFIX) + "/" + kMenu;
    for (int waited_ms = 0; waited_ms < 300 * 1000 && (file_exists(folder) || file_exists(menu));
         waited_ms += 200) {
      usleep(200 * 1000);
    }
    return r;
  };
  // The prefix is shared: a run that stops half-way uninstalls all the same.
  struct AtExit {
    std::function<void()> run;
    ~AtExit() { run(); }
  } leftover{[&] {
    if (file_exists(folder + "/Uninstall.exe")) uninstall();
  }};

  const RunResult installed =
      run_program(target.path(), installing({installer, "/S", "/D=" + windows_path(folder)}));
  ASSERT_EQ(installed.status, 0) << installed.out << installed.err;
  std::vector<std::string> files = kPackageFiles;
  files.insert(std::upper_bound(files.begin(), files.end(), "Uninstall.exe"), "Uninstall.exe");
  expect_program_folder_works(folder, files);
  // Listed among the installed programs, with the uninstaller of its folder.
  std::string listing;
  ASSERT_EQ(query_registry(kListed, &listing), 0);
  EXPECT_NE(listing.find("DisplayName    REG_SZ    Capture Console\r\n"), std::string::npos)
      << listing;
  EXPECT_NE(listing.find("UninstallString    REG_SZ    \"" + windows_path(folder) +
                         "\\Uninstall.exe\"\r\n"),
            std::string::npos)
      << listing;
  // In the prefix, only its Start menu folder: the README and the uninstaller.
  const std::set<std::string> after = prefix_entries();
  std::vector<std::string> added;
  std::set_difference(after.begin(), after.end(), before.begin(), before.end(),
                      std::back_inserter(added));
  EXPECT_EQ(added, (std::vector<std::string>{kMenu, kMenu + "/Capture Console README.lnk",
                                             kMenu + "/Uninstall.lnk"}));

  const RunResult uninstalled = uninstall();
  ASSERT_EQ(uninstalled.status, 0) << uninstalled.out << uninstalled.err;
  EXPECT_EQ(target.list(), std::vector<std::string>{});
  EXPECT_EQ(prefix_entries(), before);
  EXPECT_NE(query_registry(kListed, nullptr), 0) << "still listed among the installed programs";
  EXPECT_NE(query_registry(kOwnKey, nullptr), 0) << "its own registry key is left";
  EXPECT_EQ(home.list(), std::vector<std::string>{});
}

// ---- A real camera: vivid, through DirectShow and wine's capture filter ----

// Where the kernel's vivid camera is /dev/video0 (the test guest loads it),
// the Windows plug-in reads it through DirectShow: wine's capture filter
// reads the device through libv4l2. Its frames must equal, byte for byte, the
// Linux plug-in's frames of the same picture. vivid's patterns by their menu
// index.
const char kCamera[] = "/dev/video0";
const int kHorizontalBars = 3, kSolidRed = 7, kSolidBlue = 9, kSolidWhite = 6;

bool vivid_present() {
  return file_exists(kCamera) && set_camera_control(kCamera, "OSD Text Mode", 2);
}

// A BMP's pixel at x from the left, t from the top: B, G, R.
std::string bmp_pixel(const std::string& bmp, int x, int t) {
  if (bmp.size() < 54) return "";
  auto le32 = [&](size_t at) {
    return static_cast<int>(static_cast<uint8_t>(bmp[at]) | static_cast<uint8_t>(bmp[at + 1]) << 8 |
                            static_cast<uint8_t>(bmp[at + 2]) << 16 |
                            static_cast<uint32_t>(static_cast<uint8_t>(bmp[at + 3])) << 24);
  };
  const int width = le32(18), height = le32(22);
  const size_t stride = (3 * static_cast<size_t>(width) + 3) / 4 * 4;
  const size_t at = 54 + stride * static_cast<size_t>(height - 1 - t) + 3 * static_cast<size_t>(x);
  return at + 3 <= bmp.size() ? bmp.substr(at, 3) : "";
}

// ---- The camera listing tool ----

RunResult run_list_cameras(const std::vector<std::string>& args) {
  std::vector<std::string> command = {kWindowsBuild + "/list-cameras.exe"};
  command.insert(command.end(), args.begin(), args.end());
  RunOptions options = wine_options(command);
  options.timeout_seconds = 120;
  ScratchDir cwd;
  return run_program(cwd.path(), options);
}

TEST(WindowsListCameras, CommandLine) {
  const std::string usage = "Usage: list-cameras [DEVICE]\r\n";
  const struct {
    std::vector<std::string> args;
    int status;
    std::string out_starts, err_starts;
  } cases[] = {
      {{"--help"}, 0, usage, ""},
      {{"--version"}, 0, "list-cameras 1.0.0\r\n", ""},
      {{"--bogus"}, 2, "", usage},
      // Named, not there: no test card then.
      {{"No Such Camera"},
       1,
       "No Such Camera\r\n  plug-in: not used: Windows lists no camera of that name\r\n"
       "  details: no such camera\r\n\r\nWith VIDMOTE_DEVICE=No Such Camera the plug-in fails to "
       "start: a camera named that does not open is never replaced by the test card.\r\n",
       ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.args[0]);
    const RunResult r = run_list_cameras(c.args);
    EXPECT_EQ(r.status, c.status) << r.err;
    EXPECT_EQ(r.out.substr(0, c.out_starts.size()), c.out_starts) << r.out;
    EXPECT_EQ(r.err.substr(0, c.err_starts.size()), c.err_starts) << r.err;
    EXPECT_TRUE(c.out_starts.empty() ? r.out.empty() : r.err.empty()) << r.out << r.err;
  }
}

// Wine's DirectShow sees the V4L2 cameras of the machine: without one, none.
TEST(WindowsListCameras, ListsWhatDirectShowFinds) {
  const RunResult r = run_list_cameras({});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.err, "");
  if (!file_exists(kCamera)) {
    EXPECT_EQ(r.out, "No cameras found: the plug-in uses its built-in test card.\r\n");
  } else {
    EXPECT_NE(r.out.find("\r\n  plug-in: "), std::string::npos) << r.out;
  }
}

TEST(WindowsCamera, FramesEqualTheLinuxPlugInsOfTheSamePicture) {
  if (!vivid_present()) GTEST_SKIP() << "no vivid camera at " << kCamera;
  ASSERT_TRUE(set_camera_control(kCamera, "Brightness", 128));
  ASSERT_TRUE(set_camera_control(kCamera, "Percentage of Dropped Buffers", 0));
  const std::string white("\xff\xff\xff", 3), black("\0\0\0", 3);
  const struct {
    const char* what;
    int pattern;
    std::string top, bottom;  // pixels of the left column, B G R
  } cases[] = {
      // Not symmetric top to bottom: a flipped frame fails.
      {"horizontal bars", kHorizontalBars, white, black},
      {"solid red", kSolidRed, std::string("\0\0\xff", 3), std::string("\0\0\xff", 3)},
      {"solid blue", kSolidBlue, std::string("\xff\0\0", 3), std::string("\xff\0\0", 3)},
      {"solid white", kSolidWhite, white, white},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    ASSERT_TRUE(set_camera_control(kCamera, "Test Pattern", c.pattern));
    ScratchDir linux_out, windows_out;
    RunOptions on_linux;
    on_linux.plugin = "";  // the default plug-in, beside the program
    on_linux.input = kOneCapture;
    RunOptions on_windows = windows_options("");
    on_windows.input = crlf(kOneCapture);
    on_windows.timeout_seconds = 120;
    const RunResult linux_run = run_program(linux_out.path(), on_linux);
    const RunResult windows_run = run_program(windows_out.path(), on_windows);
    ASSERT_FALSE(linux_run.timed_out || windows_run.timed_out);
    EXPECT_EQ(linux_run.status, 0) << linux_run.out << linux_run.err;
    EXPECT_EQ(windows_run.status, 0) << windows_run.out << windows_run.err;
    EXPECT_EQ(windows_run.err, "");
    EXPECT_NE(windows_run.out.find(to_shift_jis(crlf(plugin_name_line("Vidmote: vivid")))),
              std::string::npos)
        << windows_run.out;
    const std::string linux_bmp = read_file(linux_out.file("R00000.bmp"));
    const std::string windows_bmp = read_file(windows_out.file("R00000.bmp"));
    ASSERT_EQ(linux_bmp.size(), 54u + 640 * 480 * 3);
    EXPECT_EQ(bmp_pixel(linux_bmp, 0, 0), c.top);
    EXPECT_EQ(bmp_pixel(linux_bmp, 0, 479), c.bottom);
    EXPECT_TRUE(windows_bmp == linux_bmp)
        << "Windows top-left " << testing::PrintToString(bmp_pixel(windows_bmp, 0, 0))
        << ", bottom-left " << testing::PrintToString(bmp_pixel(windows_bmp, 0, 479));
  }
}

// The dialog on the console with the camera: sizes from the camera's list
// and the nearest to a custom one, and a control that changes the picture.
// vivid's webcam lists six sizes, 320 x 180 first; the menu has the source,
// the size, the settle time, then brightness. A brightness set in the dialog
// must give the Linux plug-in's frame of the camera at that brightness.
TEST(WindowsCamera, SizesAndControlsFromTheDialogOnTheConsole) {
  if (!vivid_present()) GTEST_SKIP() << "no vivid camera at " << kCamera;
  ASSERT_TRUE(set_camera_control(kCamera, "Percentage of Dropped Buffers", 0));
  const std::string red("\0\0\xff", 3);
  const struct {
    const char* what;
    int pattern;
    std::string keys;
    const char* shown;
    int width, height;
    int linux_brightness;  // compared with the Linux program's frame; -1: not
  } cases[] = {
      {"size from the list", kSolidRed, "200\ns\n2\n1\n\n\nq\n", "Size: 320 x 180", 320, 180, -1},
      // Nearest a smaller size than the default 640 x 480, so the frame comes
      // as readily as every other case's through wine's filter and libv4l2.
      {"nearest to a custom size", kSolidRed, "200\ns\n2\n7\n600 340\n\n\nq\n",
       "Size 600 x 340 is not available; the camera now delivers 640 x 360.", 640, 360, -1},
      {"brightness", kSolidWhite, "200\ns\n4\n40\n\n\nq\n", "4) Brightness: 40 (0 to 255)", 640,
       480, 40},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    forget_saved_settings();  // each row starts as the camera's first start
    ASSERT_TRUE(set_camera_control(kCamera, "Brightness", 128));
    ASSERT_TRUE(set_camera_control(kCamera, "Test Pattern", c.pattern));
    std::string console_keys = c.keys;
    std::replace(console_keys.begin(), console_keys.end(), '\n', '\r');
    ScratchDir windows_out;
    // In the guest, with other builds on the machine, a run takes about a
    // minute (54 to 63 s measured): the limit is there for a hang only.
    RunOptions on_windows = windows_options("");
    on_windows.timeout_seconds = 300;
    const TerminalRun run = run_on_terminal(windows_out.path(), on_windows, console_keys);
    EXPECT_EQ(run.status, 0) << run.screen << run.out << run.err;
    EXPECT_NE(run.screen.find(c.shown), std::string::npos) << run.screen;
    // The capture after the dialog: the last picture.
    const std::vector<std::string> names = windows_out.list();
    const auto last = std::find_if(names.rbegin(), names.rend(), [](const std::string& name) {
      return name[0] == 'R' && name.size() > 4 && name.substr(name.size() - 4) == ".bmp";
    });
    ASSERT_NE(last, names.rend()) << testing::PrintToString(names) << run.screen;
    const std::string bmp = read_file(windows_out.file(*last));
    const size_t stride = (3 * static_cast<size_t>(c.width) + 3) / 4 * 4;
    ASSERT_EQ(bmp.size(), 54 + stride * c.height);
    if (c.linux_brightness < 0) {
      for (int t : {0, c.height / 2, c.height - 1})
        for (int x : {0, c.width / 2, c.width - 1}) EXPECT_EQ(bmp_pixel(bmp, x, t), red);
      continue;
    }
    ASSERT_TRUE(set_camera_control(kCamera, "Brightness", c.linux_brightness));
    ScratchDir linux_out;
    RunOptions on_linux;
    on_linux.plugin = "";
    on_linux.input = kOneCapture;
    const RunResult linux_run = run_program(linux_out.path(), on_linux);
    EXPECT_EQ(linux_run.status, 0);
    const std::string linux_bmp = read_file(linux_out.file("R00000.bmp"));
    EXPECT_NE(bmp_pixel(linux_bmp, 0, 0), std::string("\xff\xff\xff", 3)) << "no darker";
    EXPECT_TRUE(bmp == linux_bmp) << "Windows " << testing::PrintToString(bmp_pixel(bmp, 0, 0))
                                  << ", Linux "
                                  << testing::PrintToString(bmp_pixel(linux_bmp, 0, 0));
  }
  forget_saved_settings();
  set_camera_control(kCamera, "Brightness", 128);
}

// A camera that stops sending frames: the capture fails, and the program
// ends as on Linux, neither hanging nor crashing.
TEST(WindowsCamera, FramesThatStopFailTheCaptureAsOnLinux) {
  if (!vivid_present()) GTEST_SKIP() << "no vivid camera at " << kCamera;
  ASSERT_TRUE(set_camera_control(kCamera, "Test Pattern", kSolidRed));
  ASSERT_TRUE(set_camera_control(kCamera, "Percentage of Dropped Buffers", 100));
  ScratchDir linux_out, windows_out;
  RunOptions on_linux;
  on_linux.plugin = "";
  on_linux.input = kOneCapture;
  RunOptions on_windows = windows_options("");
  on_windows.input = crlf(kOneCapture);
  const RunResult linux_run = run_program(linux_out.path(), on_linux);
  const RunResult windows_run = run_program(windows_out.path(), on_windows);
  ASSERT_TRUE(set_camera_control(kCamera, "Percentage of Dropped Buffers", 0));
  ASSERT_FALSE(linux_run.timed_out || windows_run.timed_out);
  EXPECT_EQ(linux_run.status, 255);
  EXPECT_EQ(windows_run.status, 255);
  const std::string failed = to_shift_jis(crlf(kCaptureFailed));
  ASSERT_GE(windows_run.out.size(), failed.size());
  EXPECT_EQ(windows_run.out.substr(windows_run.out.size() - failed.size()), failed);
  EXPECT_EQ(linux_run.out.substr(linux_run.out.size() -
                                 std::min(linux_run.out.size(), kCaptureFailed.size())),
            kCaptureFailed);
  EXPECT_NE(linux_run.err.find("vidmote: /dev/video0: no frame in time after starting\n"),
            std::string::npos)
      << linux_run.err;
  EXPECT_NE(windows_run.err.find("vidmote: vivid: no frame in time after starting\r\n"),
            std::string::npos)
      << windows_run.err;
}

// vivid through wine's capture filter: list-cameras.exe names it with its
// stream capabilities and controls, and its default is the plug-in's.
TEST(WindowsCamera, ListCamerasNamesTheCameraThePlugInUses) {
  if (!vivid_present()) GTEST_SKIP() << "no vivid camera at " << kCamera;
  ASSERT_TRUE(set_camera_control(kCamera, "Brightness", 128));
  const RunResult listed = run_list_cameras({});
  EXPECT_EQ(listed.status, 0) << listed.err;
  const std::string& out = listed.out;
  ASSERT_EQ(out.rfind("vivid\r\n", 0), 0u) << out;
  for (const char* line :
       {"\r\n  device path: ", "\r\n  display name: ", "\r\n  plug-in: used by default\r\n",
        "\r\n  formats:\r\n", "\r\n      640x480: ", "\r\n    Brightness: integer, 0 to 255",
        "\r\nDefault: vivid\r\n"})
    EXPECT_NE(out.find(line), std::string::npos) << line << "\n" << out;
  const size_t size = out.find("\r\n      640x480: ");
  EXPECT_NE(out.find(" fps", size), std::string::npos) << out;

  ScratchDir windows_out;
  RunOptions on_windows = windows_options("");
  on_windows.input = "200\r\nq\r\n";
  on_windows.timeout_seconds = 120;
  const RunResult run = run_program(windows_out.path(), on_windows);
  EXPECT_EQ(run.status, 0) << run.err;
  EXPECT_NE(run.out.find(to_shift_jis(crlf(plugin_name_line("Vidmote: vivid")))), std::string::npos)
      << run.out;
}

// ---- The emulated USB webcam beside vivid ----

// Where the test guest has the webcam's bus (GUEST_USB=1), the emulated
// webcam (support/webcam.h) is plugged in beside vivid, and the Windows
// program names it by the name wine's DirectShow gives it, the product name
// uvcvideo reports (VIDMOTE_DEVICE), so vivid is never taken for it.
bool webcam_bus_present() {
  return file_exists("/dev/gadget/dummy_udc");
}

RunOptions on_the_webcam() {
  RunOptions options = windows_options("");
  options.env["VIDMOTE_DEVICE"] = kWebcamProduct;
  options.timeout_seconds = 120;
  return options;
}

// The webcam's camera in list-cameras.exe's listing: from its heading to
// the next empty line, "" when it is not listed.
std::string listed_webcam(const std::string& listing) {
  const std::string heading = std::string(kWebcamProduct) + "\r\n";
  size_t at = listing.rfind(heading, 0) == 0 ? 0 : listing.find("\r\n" + heading);
  if (at == std::string::npos) return "";
  if (at > 0) at += 2;
  return listing.substr(at, listing.find("\r\n\r\n", at) - at);
}

// Each of the webcam's formats through wine's capture filter, which offers
// 24-bit RGB alone, at the webcam's sizes and the first frame rate of each,
// converted by libv4l2: list-cameras.exe names the webcam (by the card name
// uvcvideo gives, numbered as its /dev/videoN) with what wine offers for it,
// and a capture saves the very frame the webcam sent. libv4lconvert leaves
// YUYV's luma in its limited range (black 16, white 235) where the plug-in's
// own reader stretches it, so that conversion is up to 20 levels off the
// plug-in's; its MJPEG decoder is libjpeg's, exactly.
TEST(WindowsCamera, WebcamFramesAreItsKnownPictures) {
  if (!webcam_bus_present()) GTEST_SKIP() << "no USB gadget bus for the webcam";
  const std::string kOffered =
      "\r\n  formats:\r\n    RGB24\r\n      640x480: 30 fps\r\n      320x240: 30 fps\r\n"
      "  controls:\r\n    Brightness: integer, 0 to 255, step 1, default 128, current 128";
  const struct {
    const char* what;
    std::vector<std::string> choices;
    bool mjpeg;
    int tolerance;
  } cases[] = {
      {"YUYV", {"--formats", "yuyv"}, false, 20},
      {"MJPEG only", {"--formats", "mjpeg"}, true, 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    Webcam webcam(c.choices);
    ASSERT_NE(webcam.device(), "") << "the webcam did not appear\n" << kernel_log();
    const RunResult listing = run_list_cameras({});
    EXPECT_EQ(listing.status, 0) << listing.err;
    const std::string listed = listed_webcam(listing.out);
    ASSERT_NE(listed, "") << listing.out;
    const std::string node = webcam.device().substr(webcam.device().rfind('/') + 1);
    for (const std::string& line :
         {"\r\n  display name: @device:cm:{860BB310-5D01-11D0-BD3B-00A0C911CE86}\\" + node + "\r\n",
          "\r\n  plug-in: usable: VIDMOTE_DEVICE=" + std::string(kWebcamProduct) + "\r\n",
          kOffered})
      EXPECT_NE(listed.find(line), std::string::npos) << line << "\n" << listed;

    ScratchDir out;
    RunOptions options = on_the_webcam();
    options.input = crlf(kOneCapture);
    const RunResult run = run_program(out.path(), options);
    ASSERT_FALSE(run.timed_out) << run.out << run.err << webcam.log() << kernel_log();
    EXPECT_EQ(run.status, 0) << run.out << run.err << webcam.log();
    EXPECT_EQ(run.err, "");
    EXPECT_NE(run.out.find(
                  to_shift_jis(crlf(plugin_name_line(std::string("Vidmote: ") + kWebcamProduct)))),
              std::string::npos)
        << run.out;
    EXPECT_TRUE(is_a_webcam_frame(read_bmp(out.file("R00000.bmp")), c.mjpeg, false, c.tolerance));
  }
}

// The webcam unplugged between two captures: the second fails, saying the
// camera is gone, and the program ends with status 255, saving nothing more.
TEST(WindowsCamera, AnUnpluggedWebcamFailsTheCaptureCleanly) {
  if (!webcam_bus_present()) GTEST_SKIP() << "no USB gadget bus for the webcam";
  Webcam webcam({"--formats", "yuyv"});
  ASSERT_NE(webcam.device(), "") << kernel_log();
  const std::string prompt = to_shift_jis(kPrompt);
  ScratchDir out;
  InteractiveRun console(out.path(), on_the_webcam());
  console.type("200\r\n\r\n");
  ASSERT_TRUE(console.expect_output(prompt)) << console.errors();
  ASSERT_TRUE(console.expect_output(prompt)) << console.output() << console.errors();
  ASSERT_TRUE(file_exists(out.file("R00000.bmp")));
  webcam.unplug();
  ASSERT_TRUE(within(kWebcamStepSeconds, [] { return capture_node(kWebcamProduct).empty(); }));
  console.type("\r\n");
  EXPECT_EQ(console.wait_exit(), 255) << console.output() << console.errors();
  const std::string failed = to_shift_jis(crlf(kCaptureFailed));
  const std::string& text = console.output();
  EXPECT_EQ(text.substr(text.size() - std::min(text.size(), failed.size())), failed);
  EXPECT_NE(console.errors().find(std::string("vidmote: ") + kWebcamProduct +
                                  ": stream failed: the camera is gone (unplugged?)\r\n"),
            std::string::npos)
      << console.errors();
  EXPECT_FALSE(file_exists(out.file("R00001.bmp")));
}

// ---- The virtual camera (virtual_camera/) ----

// The tests' own DirectShow camera, registered in the prefix as a video
// input device, as Windows registers virtual cameras, for as long as this
// lives. Its frames are the emulated webcam's picture, in YUY2, MJPEG or
// RGB24 as the graph connects; its choices are the VIRTUAL_CAMERA_*
// variables of the program that uses it. Needs no vivid and no USB: it runs
// wherever wine does.
const char kVirtualCamera[] = "Virtual Test Camera";

class VirtualCamera {
 public:
  VirtualCamera(int number = 1, const std::string& name = kVirtualCamera) : number_(number) {
    const RunResult r = regsvr32(name, false);
    if (r.status != 0) throw std::runtime_error("regsvr32 failed: " + r.out + r.err);
  }
  ~VirtualCamera() { regsvr32("", true); }
  VirtualCamera(const VirtualCamera&) = delete;
  VirtualCamera& operator=(const VirtualCamera&) = delete;

 private:
  RunResult regsvr32(const std::string& name, bool remove) const {
    const std::string dll = kWindowsBuild + "/tests/virtual_camera.dll";
    if (!file_exists(dll)) throw std::runtime_error("not built: " + dll);
    std::vector<std::string> command = {"regsvr32", "/s"};
    if (remove) command.push_back("/u");
    command.push_back(windows_path(dll));
    RunOptions options = wine_options(command);
    options.env["VIRTUAL_CAMERA_NUMBER"] = std::to_string(number_);
    options.env["VIRTUAL_CAMERA_NAME"] = name;
    options.timeout_seconds = 120;
    ScratchDir cwd;
    return run_program(cwd.path(), options);
  }
  int number_;
};

// The default plug-in on the virtual camera of that name, with the camera's
// choices; the camera writes what it did to `log`.
RunOptions on_the_virtual_camera(const std::map<std::string, std::string>& choices,
                                 const std::string& log, const std::string& name = kVirtualCamera) {
  RunOptions options = windows_options("");
  options.env["VIDMOTE_DEVICE"] = name;
  options.env["VIRTUAL_CAMERA_LOG"] = windows_path(log);
  options.env.insert(choices.begin(), choices.end());
  // Where the camera's own format does not reach the grabber, wine's graph
  // tries every filter it has, its sound output among them, whose driver
  // complains on standard error of a machine without a sound card.
  options.env["WINEDLLOVERRIDES"] = "winealsa.drv=";
  options.timeout_seconds = 120;
  return options;
}

// One capture from the virtual camera: the graph connects the camera's own
// frames (or, where they will not connect, Windows' RGB24) and the saved
// picture is the very frame the camera served, YUY2 as the plug-in's reader
// makes it, MJPEG as libjpeg decodes it, not one of a picture still
// converging. A frame cut short is never saved: the capture takes the next.
TEST(WindowsCamera, VirtualCameraFramesAreThePictureServed) {
  VirtualCamera camera;
  const struct {
    const char* what;
    std::map<std::string, std::string> choices;
    const char* streamed;  // as the camera's log names it
    bool mjpeg, benign;
    int settled_from = 0;  // the first frame number the camera counts settled
  } cases[] = {
      {"YUY2", {}, "streaming YUY2 640x480", false, false},
      {"MJPEG only", {{"VIRTUAL_CAMERA_FORMATS", "mjpg"}}, "streaming MJPG 640x480", true, false},
      {"benign MJPEG",
       {{"VIRTUAL_CAMERA_FORMATS", "mjpg"}, {"VIRTUAL_CAMERA_BENIGN", "1"}},
       "streaming MJPG 640x480",
       true,
       true},
      {"every other YUY2 frame short",
       {{"VIRTUAL_CAMERA_CUT_EVERY", "2"}},
       "streaming YUY2 640x480",
       false,
       false},
      {"every other MJPEG frame cut",
       {{"VIRTUAL_CAMERA_FORMATS", "mjpg"}, {"VIRTUAL_CAMERA_CUT_EVERY", "2"}},
       "streaming MJPG 640x480",
       true,
       false},
      {"YUY2 will not connect: RGB24",
       {{"VIRTUAL_CAMERA_REFUSE", "YUY2"}},
       "streaming RGB24 640x480",
       false,
       false},
      {"MJPEG will not connect: RGB24",
       {{"VIRTUAL_CAMERA_FORMATS", "mjpg"}, {"VIRTUAL_CAMERA_REFUSE", "MJPG"}},
       "streaming RGB24 640x480",
       false,
       false},
      {"a third of the declared rate",
       {{"VIRTUAL_CAMERA_SLOW", "3"}},
       "streaming YUY2 640x480",
       false,
       false},
      {"converging, exposure and gain moving with it",
       {{"VIRTUAL_CAMERA_CONVERGE", "30"}},
       "streaming YUY2 640x480",
       false,
       false,
       30},
      {"steady, exposure and gain still moving",
       {{"VIRTUAL_CAMERA_CONVERGE", "30"}, {"VIRTUAL_CAMERA_HINTS_ONLY", "1"}},
       "streaming YUY2 640x480",
       false,
       false,
       30},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    ScratchDir out, side;
    RunOptions options = on_the_virtual_camera(c.choices, side.file("camera.log"));
    options.input = crlf(kOneCapture);
    const RunResult run = run_program(out.path(), options);
    ASSERT_FALSE(run.timed_out) << run.out << run.err;
    const std::string log =
        file_exists(side.file("camera.log")) ? read_file(side.file("camera.log")) : "";
    EXPECT_EQ(run.status, 0) << run.out << run.err << log;
    EXPECT_EQ(run.err, "");
    EXPECT_NE(run.out.find(
                  to_shift_jis(crlf(plugin_name_line(std::string("Vidmote: ") + kVirtualCamera)))),
              std::string::npos)
        << run.out;
    EXPECT_NE(log.find(std::string("camera 1: ") + c.streamed + "\n"), std::string::npos) << log;
    const Picture picture = read_bmp(out.file("R00000.bmp"));
    EXPECT_TRUE(is_a_webcam_frame(picture, c.mjpeg, c.benign, 0));
    // The frame's number, from its band: settled frames come late enough
    // to be told from the first ones (the band counts to 63).
    const int frame =
        uvc_picture_phase([](const void* p, int x,
                             int t) { return int(static_cast<const Picture*>(p)->at(x, t)[1]); },
                          &picture, picture.width, picture.height);
    EXPECT_GE(frame, c.settled_from);
  }
}

// Every frame cut short: the capture fails, nothing is saved, and the
// reason counts them in the Linux plug-in's words.
TEST(WindowsCamera, VirtualCameraDamagedFramesAreRefusedAndCounted) {
  VirtualCamera camera;
  const struct {
    const char* what;
    std::map<std::string, std::string> choices;
    const char* advice;
  } cases[] = {
      {"YUY2 frames short",
       {{"VIRTUAL_CAMERA_CUT_EVERY", "1"}},
       " cut short; check the cable and the USB bandwidth (try another USB port, a smaller size "
       "or MJPEG)\r\n"},
      {"MJPEG frames cut",
       {{"VIRTUAL_CAMERA_FORMATS", "mjpg"}, {"VIRTUAL_CAMERA_CUT_EVERY", "1"}},
       " cut short; check the cable and the USB bandwidth (try another USB port or a smaller "
       "size)\r\n"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    ScratchDir out, side;
    RunOptions options = on_the_virtual_camera(c.choices, side.file("camera.log"));
    options.input = crlf(kOneCapture);
    const RunResult run = run_program(out.path(), options);
    ASSERT_FALSE(run.timed_out) << run.out << run.err;
    EXPECT_EQ(run.status, 255) << run.out << run.err;
    const std::string failed = to_shift_jis(crlf(kCaptureFailed));
    EXPECT_EQ(run.out.substr(run.out.size() - std::min(run.out.size(), failed.size())), failed);
    // "<n> arrived, all damaged: <n> cut short; ...", the same n twice.
    const std::string lead =
        std::string("vidmote: ") + kVirtualCamera + ": no usable frame in time after starting: ";
    ASSERT_EQ(run.err.rfind(lead, 0), 0u) << run.err;
    const std::string counts = run.err.substr(lead.size());
    const std::string arrived = counts.substr(0, counts.find(' '));
    ASSERT_FALSE(arrived.empty()) << run.err;
    EXPECT_GT(std::stoi(arrived), 0);
    EXPECT_EQ(counts, arrived + " arrived, all damaged: " + arrived + c.advice) << run.err;
    EXPECT_EQ(out.list(), std::vector<std::string>{});
  }
}

// Frames that stop between two captures: a camera that only stops fails
// the capture by its bound (3 s and two frame intervals); one that Windows
// reports lost (EC_DEVICE_LOST) fails it saying the camera is gone, at
// once: the camera is still listed, so nothing but the event can say so.
TEST(WindowsCamera, VirtualCameraThatStopsFailsTheCapture) {
  VirtualCamera camera;
  const struct {
    const char* what;
    const char* stop;
    const char* reason;
  } cases[] = {
      {"frames stop", "stall", "no frame in time"},
      {"the camera is lost", "lost", "stream failed: the camera is gone (unplugged?)"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    ScratchDir out, side;
    const std::string stop_file = side.file("stop");
    RunOptions options = on_the_virtual_camera(
        {{"VIRTUAL_CAMERA_STOP_FILE", windows_path(stop_file)}, {"VIRTUAL_CAMERA_STOP", c.stop}},
        side.file("camera.log"));
    const std::string prompt = to_shift_jis(kPrompt);
    InteractiveRun console(out.path(), options);
    console.type("200\r\n\r\n");
    ASSERT_TRUE(console.expect_output(prompt)) << console.errors();
    ASSERT_TRUE(console.expect_output(prompt)) << console.output() << console.errors();
    ASSERT_TRUE(file_exists(out.file("R00000.bmp")));
    write_file(stop_file, "");
    // Enter only once the camera has stopped: a frame it was still sending
    // (under emulation, long after the file appeared) began before Enter
    // and would be counted as such.
    const std::string log = side.file("camera.log");
    for (int waited_ms = 0;
         waited_ms < 60000 && read_file(log).find("frames stopped") == std::string::npos;
         waited_ms += 100)
      usleep(100 * 1000);
    ASSERT_NE(read_file(log).find("frames stopped"), std::string::npos) << read_file(log);
    console.type("\r\n");
    EXPECT_EQ(console.wait_exit(), 255) << console.output() << console.errors();
    const std::string failed = to_shift_jis(crlf(kCaptureFailed));
    const std::string& text = console.output();
    EXPECT_EQ(text.substr(text.size() - std::min(text.size(), failed.size())), failed);
    EXPECT_EQ(console.errors(),
              std::string("vidmote: ") + kVirtualCamera + ": " + c.reason + "\r\n");
    EXPECT_FALSE(file_exists(out.file("R00001.bmp")));
  }
}

// A camera idle at the prompt is let go, its graph stopped and released by
// the plug-in's watch thread, and opened again by the next capture.
TEST(WindowsCamera, VirtualCameraLetGoWhileIdleIsOpenedByTheNextCapture) {
  VirtualCamera camera;
  ScratchDir out, side;
  const std::string log = side.file("camera.log");
  InteractiveRun console(out.path(), on_the_virtual_camera({{"VIDMOTE_IDLE", "1"}}, log));
  const std::string prompt = to_shift_jis(kPrompt);
  console.type("200\r\n\r\n");
  ASSERT_TRUE(console.expect_output(prompt)) << console.errors();
  ASSERT_TRUE(console.expect_output(prompt)) << console.output() << console.errors();
  ASSERT_TRUE(file_exists(out.file("R00000.bmp")));
  // A second after the capture: bounded, as under emulation it comes late.
  for (int waited_ms = 0; waited_ms < 60000 && read_file(log).find("stopped") == std::string::npos;
       waited_ms += 100)
    usleep(100 * 1000);
  ASSERT_NE(read_file(log).find("stopped"), std::string::npos) << read_file(log);
  console.type("\r\nq\r\n");
  EXPECT_EQ(console.wait_exit(), 0) << console.output() << console.errors();
  EXPECT_EQ(console.errors(), "");
  EXPECT_TRUE(file_exists(out.file("R00001.bmp")));
  // Streamed twice: once for each capture.
  const std::string streamed = read_file(log);
  size_t streams = 0;
  for (size_t at = streamed.find("streaming "); at != std::string::npos;
       at = streamed.find("streaming ", at + 1))
    ++streams;
  EXPECT_EQ(streams, 2u) << streamed;
}

// Two virtual cameras: list-cameras.exe lists each with its stream
// capabilities, and VIDMOTE_DEVICE names the one the plug-in uses.
TEST(WindowsCamera, VirtualCamerasListedAndNamedApart) {
  VirtualCamera first(1, "Virtual Camera One"), second(2, "Virtual Camera Two");
  const RunResult listing = run_list_cameras({});
  EXPECT_EQ(listing.status, 0) << listing.err;
  const std::string kCapabilities =
      "\r\n  formats:\r\n"
      "    YUY2\r\n      640x480: 15 fps\r\n      320x240: 15 fps\r\n"
      "    MJPG\r\n      640x480: 15 fps\r\n      320x240: 15 fps\r\n"
      "    RGB24\r\n      640x480: 15 fps\r\n      320x240: 15 fps\r\n";
  for (const char* name : {"Virtual Camera One", "Virtual Camera Two"}) {
    const size_t at = listing.out.find(std::string(name) + "\r\n");
    ASSERT_NE(at, std::string::npos) << listing.out;
    const std::string listed = listing.out.substr(at, listing.out.find("\r\n\r\n", at) - at);
    EXPECT_NE(listed.find(kCapabilities), std::string::npos) << listed;
  }
  const struct {
    const char* name;
    const char* used;      // in the cameras' log
    const char* not_used;  // never there
  } cases[] = {
      {"Virtual Camera Two", "camera 2: streaming YUY2 640x480\n", "camera 1:"},
      {"Virtual Camera One", "camera 1: streaming YUY2 640x480\n", "camera 2:"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    ScratchDir out, side;
    RunOptions options = on_the_virtual_camera({}, side.file("camera.log"), c.name);
    options.input = crlf(kOneCapture);
    const RunResult run = run_program(out.path(), options);
    EXPECT_EQ(run.status, 0) << run.out << run.err;
    EXPECT_NE(run.out.find(to_shift_jis(crlf(plugin_name_line(std::string("Vidmote: ") + c.name)))),
              std::string::npos)
        << run.out;
    const std::string log = read_file(side.file("camera.log"));
    EXPECT_NE(log.find(c.used), std::string::npos) << log;
    EXPECT_EQ(log.find(c.not_used), std::string::npos) << log;
    EXPECT_TRUE(is_a_webcam_frame(read_bmp(out.file("R00000.bmp")), false, false, 0));
  }
}

// Last: vivid's camera stays gone after this. A camera unplugged while the
// program runs: the next capture fails, with a line that says why, and the
// program ends as on Linux, neither hanging nor crashing.
TEST(WindowsCamera, ZzAnUnpluggedCameraFailsTheCaptureCleanly) {
  if (!vivid_present()) GTEST_SKIP() << "no vivid camera at " << kCamera;
  ASSERT_TRUE(set_camera_control(kCamera, "Test Pattern", kSolidRed));
  ASSERT_TRUE(set_camera_control(kCamera, "Percentage of Dropped Buffers", 0));
  const std::string prompt = to_shift_jis(kPrompt);
  ScratchDir windows_out;
  RunOptions on_windows = windows_options("");
  on_windows.timeout_seconds = 120;
  InteractiveRun console(windows_out.path(), on_windows);
  console.type("200\r\n\r\n");
  ASSERT_TRUE(console.expect_output(prompt));
  ASSERT_TRUE(console.expect_output(prompt)) << console.output() << console.errors();
  ASSERT_TRUE(file_exists(windows_out.file("R00000.bmp")));
  ASSERT_TRUE(set_camera_control(kCamera, "Disconnect", 1));
  console.type("\r\n");
  EXPECT_EQ(console.wait_exit(), 255) << console.output() << console.errors();
  const std::string failed = to_shift_jis(crlf(kCaptureFailed));
  const std::string& out = console.output();
  EXPECT_EQ(out.substr(out.size() - std::min(out.size(), failed.size())), failed);
  // Windows reports the camera lost; wine's capture filter does not, but
  // the camera is gone from the list of video inputs once its frames stop.
  // Where neither can be told, the frames just stop.
  const std::string& errors = console.errors();
  EXPECT_TRUE(errors.find("vidmote: vivid: stream failed: the camera is gone (unplugged?)\r\n") !=
                  errors.npos ||
              errors.find("vidmote: vivid: no frame in time\r\n") != errors.npos)
      << errors;
  EXPECT_FALSE(file_exists(windows_out.file("R00001.bmp")));
}

}  // namespace
