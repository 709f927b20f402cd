// plugin-check: tells a camera plug-in's author where the plug-in breaks the
// contract. Every scenario runs in a fresh process that loads the plug-in
// with the program's own host, so a crash or a hang is reported as a failed
// check instead of ending the run.
//
//   plugin-check [--frames=changing|stable] [--timeout=SECONDS] PATH
#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <setjmp.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/mman.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "lensora_plugin.h"

namespace {

enum class FramesClaim { kAny, kChanging, kStable };

const double kSlowCaptureSeconds = 3.0;
const size_t kGuardBytes = 64;
const uint8_t kGuard = 0xA5;

sigjmp_buf g_overran;  // where a write into the page past the name's buffer lands

// ---- Child side: runs checks and reports them through a pipe. ----

class Reporter {
 public:
  explicit Reporter(int fd) : fd_(fd) {}
  // Announced first, so the parent can name a check that crashes or hangs.
  void begin(const std::string& check) { send("B\t" + check); }
  void ok(const std::string& detail = "") { send("R\tOK\t" + detail); }
  void fail(const std::string& why) { send("R\tFAIL\t" + why); }
  void unsupported() { send("R\tnot supported\t"); }

 private:
  void send(std::string line) {
    for (char& c : line) {
      if (c == '\n') c = ' ';  // one line per message, whatever a name holds
    }
    line += '\n';
    if (write(fd_, line.data(), line.size()) < 0) _exit(3);
  }
  int fd_;
};

double seconds_since(const timespec& start) {
  timespec now;
  clock_gettime(CLOCK_MONOTONIC, &now);
  return (now.tv_sec - start.tv_sec) + (now.tv_nsec - start.tv_nsec) / 1e9;
}

std::string size_text(int64_t w, int64_t h) {
  return std::to_string(w) + " x " + std::to_string(h);
}

// A frame buffer followed by guard bytes that the plug-in must not touch.
struct GuardedFrame {
  std::vector<uint8_t> bytes;
  size_t frame_size;

  explicit GuardedFrame(size_t size) : bytes(size + kGuardBytes, 0), frame_size(size) {
    memset(bytes.data() + size, kGuard, kGuardBytes);
  }
  K_RGB* buffer() { return reinterpret_cast<K_RGB*>(bytes.data()); }
  bool guard_intact() const {
    for (size_t i = frame_size; i < bytes.size(); ++i)
      if (bytes[i] != kGuard) return false;
    return true;
  }
  std::string frame() const {
    return std::string(reinterpret_cast<const char*>(bytes.data()), frame_size);
  }
};

class Checker {
 public:
  Checker(const char* path, Reporter& report) : path_(path), report_(report) {}

  bool load() {
    report_.begin("load the library");
    // The host asks for the name as it loads the plug-in, into a buffer on
    // the heap, where an overrun may break only a later check or nothing at
    // all here. The same question into a guarded buffer comes first.
    void* module = dlopen(path_, RTLD_NOW | RTLD_LOCAL);
    if (module && !name_stays_in_its_buffer(module)) {
      dlclose(module);
      report_.fail("wrote past the n + 10 bytes it was given for its name");
      return false;
    }
    host_.Open(path_);
    if (module) dlclose(module);
    if (!host_.isOpen()) {
      const char* why = dlerror();
      report_.fail(why ? why : "it cannot be loaded");
      return false;
    }
    report_.ok();
    return true;
  }

  // LN_GetDllName into n + 10 zeroed bytes followed by guard bytes, then
  // 64 KiB that may not be touched at all, where a longer overrun faults at
  // once and is brought back here. True too when the name's length is no use
  // (the name query reports that).
  static bool name_stays_in_its_buffer(void* module) {
    auto get_name = reinterpret_cast<LnGetDllNameFn>(dlsym(module, "LN_GetDllName"));
    const int32_t length = get_name ? get_name(nullptr) : 0;
    if (length <= 0 || length > LN_MAX_NAME_LENGTH) return true;
    const size_t page = static_cast<size_t>(sysconf(_SC_PAGESIZE));
    const size_t size = static_cast<size_t>(length) + 10, guarded = size + kGuardBytes;
    const size_t untouchable_bytes = size_t{64} << 10;
    const size_t mapped = (guarded + page - 1) / page * page + untouchable_bytes;
    void* region =
        mmap(nullptr, mapped, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (region == MAP_FAILED) return true;
    uint8_t* untouchable = static_cast<uint8_t*>(region) + mapped - untouchable_bytes;
    mprotect(untouchable, untouchable_bytes, PROT_NONE);
    uint8_t* buffer = untouchable - guarded;
    memset(buffer, 0, size);
    memset(buffer + size, kGuard, kGuardBytes);
    struct sigaction fault = {}, before;
    fault.sa_handler = [](int) { siglongjmp(g_overran, 1); };
    sigemptyset(&fault.sa_mask);
    sigaction(SIGSEGV, &fault, &before);
    volatile bool faulted = false;
    if (sigsetjmp(g_overran, 1) == 0) {
      get_name(reinterpret_cast<char*>(buffer));
    } else {
      faulted = true;
    }
    sigaction(SIGSEGV, &before, nullptr);
    bool intact = !faulted;
    for (size_t i = size; i < guarded; ++i) intact = intact && buffer[i] == kGuard;
    munmap(region, mapped);
    return intact;
  }

  void check_exports() {
    const struct {
      const char* name;
      const char* needed_for;
    } kExports[] = {{"LN_GetDllName", "the program cannot open the plug-in"},
                    {"LN_OnInit", "the program cannot start"},
                    {"LN_OnDestroy", nullptr},
                    {"LN_GetResolution", "no capture can succeed"},
                    {"LN_SetResolution", nullptr},
                    {"LN_DoModalOptionDlg", nullptr},
                    {"LN_Capture", "no capture can succeed"}};
    for (const auto& e : kExports) {
      report_.begin(std::string("export ") + e.name);
      if (dlsym(host_.module, e.name)) {
        report_.ok();
      } else if (e.needed_for) {
        report_.fail(std::string("missing: ") + e.needed_for);
      } else {
        report_.unsupported();
      }
    }
  }

  void check_name() {
    report_.begin("name query (LN_GetDllName)");
    auto get_name = reinterpret_cast<LnGetDllNameFn>(dlsym(host_.module, "LN_GetDllName"));
    if (!get_name) return report_.fail("LN_GetDllName is missing");
    const int32_t length = get_name(nullptr);
    if (length <= 0) {
      return report_.fail("LN_GetDllName(null) returned " + std::to_string(length) +
                          "; the name's length, above 0, is needed");
    }
    if (length > LN_MAX_NAME_LENGTH) {
      return report_.fail("LN_GetDllName(null) returned " + std::to_string(length) +
                          "; the program refuses names longer than " +
                          std::to_string(LN_MAX_NAME_LENGTH) + " characters");
    }
    const size_t size = static_cast<size_t>(length) + 10;
    GuardedFrame buffer(size);  // the n + 10 zeroed bytes the host gives
    const int32_t result = get_name(reinterpret_cast<char*>(buffer.bytes.data()));
    const char* text = reinterpret_cast<const char*>(buffer.bytes.data());
    const size_t copied = strnlen(text, size);
    if (!buffer.guard_intact()) return report_.fail("wrote past the n + 10 bytes it was given");
    if (copied == size) return report_.fail("no NUL terminator within the n + 10 bytes");
    if (result <= 0)
      return report_.fail("LN_GetDllName(buffer) returned " + std::to_string(result));
    if (copied != static_cast<size_t>(length)) {
      return report_.fail("announced " + std::to_string(length) + " characters but copied " +
                          std::to_string(copied));
    }
    name_ = std::string(text, copied);
    report_.ok("\"" + name_ + "\"");
  }

  bool check_init(const char* check = "init (LN_OnInit with a null window)") {
    report_.begin(check);
    if (!host_.OnInit(nullptr)) {
      report_.fail("LN_OnInit returned false or is missing");
      return false;
    }
    report_.ok();
    return true;
  }

  void check_set_resolution(int32_t w, int32_t h, const char* check) {
    report_.begin(check);
    if (!dlsym(host_.module, "LN_SetResolution")) return report_.unsupported();
    if (!host_.SetResolution(w, h)) return report_.ok("refused; the frame size stays as it was");
    int32_t got_w = -1, got_h = -1;
    if (!host_.GetResolution(&got_w, &got_h))
      return report_.fail("LN_GetResolution failed after it");
    report_.ok(got_w == w && got_h == h
                   ? "accepted"
                   : "accepted; the size in force is " + size_text(got_w, got_h));
  }

  // One capture as the program makes it, into a guarded buffer.
  bool capture(const std::string& check, std::string* frame = nullptr) {
    report_.begin(check);
    auto raw = reinterpret_cast<LnCaptureFn>(dlsym(host_.module, "LN_Capture"));
    if (!raw) {
      report_.fail("LN_Capture is missing");
      return false;
    }
    const int32_t size = raw(nullptr);
    int32_t w = -1, h = -1;
    if (!host_.GetResolution(&w, &h)) {
      report_.fail("LN_GetResolution failed");
      return false;
    }
    if (w <= 0 || h <= 0) {
      report_.fail("frame size " + size_text(w, h) + ": nothing to capture");
      return false;
    }
    const int64_t expected = int64_t{w} * h * 3;
    if (size != expected) {
      report_.fail("LN_Capture(null) gave " + std::to_string(size) + " bytes; " + size_text(w, h) +
                   " x 3 = " + std::to_string(expected));
      return false;
    }
    GuardedFrame buffer(static_cast<size_t>(expected));
    timespec start;
    clock_gettime(CLOCK_MONOTONIC, &start);
    const int32_t result = raw(buffer.buffer());
    const double took = seconds_since(start);
    if (!buffer.guard_intact()) {
      report_.fail("wrote past the end of the " + std::to_string(expected) + "-byte frame");
      return false;
    }
    if (result <= 0) {
      report_.fail("LN_Capture(buffer) returned " + std::to_string(result));
      return false;
    }
    if (took > kSlowCaptureSeconds) {
      report_.fail("the capture took " + std::to_string(took) + " s");
      return false;
    }
    if (frame) *frame = buffer.frame();
    report_.ok(size_text(w, h));
    return true;
  }

  void check_repeated_captures(FramesClaim claim) {
    std::vector<std::string> frames(4);
    for (size_t i = 0; i < frames.size(); ++i) {
      if (!capture("repeated capture " + std::to_string(i + 2), &frames[i])) return;
    }
    report_.begin("frames over time");
    bool changing = false;
    for (size_t i = 1; i < frames.size(); ++i) changing = changing || frames[i] != frames[0];
    if (claim == FramesClaim::kChanging && !changing) {
      return report_.fail("four captures gave the same frame; a moving picture was expected");
    }
    if (claim == FramesClaim::kStable && changing) {
      return report_.fail("the frame changed between captures; a stable picture was expected");
    }
    report_.ok(changing ? "the frame changes between captures" : "the frame is stable");
  }

  void check_destroy(const char* check) {
    report_.begin(check);
    if (!dlsym(host_.module, "LN_OnDestroy")) return report_.unsupported();
    if (!host_.OnDestroy()) return report_.fail("LN_OnDestroy returned false");
    report_.ok();
  }

  void check_reload() {
    report_.begin("unload and load again");
    host_.Close();
    if (!host_.Open(path_)) return report_.fail("the second load failed");
    if (!name_.empty() && host_.name != name_) {
      return report_.fail("the name changed from \"" + name_ + "\" to \"" + host_.name + "\"");
    }
    report_.ok();
  }

  void check_dialog_without_terminal() {
    report_.begin("settings dialog without a terminal");
    if (!dlsym(host_.module, "LN_DoModalOptionDlg")) return report_.unsupported();
    // Standard output goes to a pipe that must stay empty: it carries the
    // program's own output.
    int out[2];
    if (pipe(out) != 0) return report_.fail("no pipe");
    fflush(stdout);
    const int saved = dup(1);
    dup2(out[1], 1);
    host_.DoModalOptionDlg();
    fflush(stdout);
    dup2(saved, 1);
    close(out[1]);
    char byte;
    const bool wrote = read(out[0], &byte, 1) == 1;
    close(out[0]);
    if (wrote) return report_.fail("the dialog wrote to standard output");
    report_.ok("returned");
  }

  void close_host() { host_.Close(); }

 private:
  const char* path_;
  Reporter& report_;
  LensoraPlugIn host_;
  std::string name_;
};

typedef void (*ScenarioFn)(const char* path, Reporter& report, FramesClaim claim);

void program_sequence(const char* path, Reporter& report, FramesClaim claim) {
  Checker c(path, report);
  if (!c.load()) return;
  c.check_exports();
  c.check_name();
  if (!c.check_init()) return;
  c.check_set_resolution(640, 480, "set resolution 640 x 480");
  if (!c.capture("capture")) return;
  c.check_repeated_captures(claim);
  c.check_set_resolution(320, 240, "change the size to 320 x 240");
  c.capture("capture after the size change");
  c.check_destroy("destroy (LN_OnDestroy)");
  if (c.check_init("init again after destroy")) c.capture("capture after init again");
  c.check_destroy("destroy again");
  c.check_reload();
}

void destroy_without_init(const char* path, Reporter& report, FramesClaim) {
  Checker c(path, report);
  if (!c.load()) return;
  c.check_destroy("destroy without init");
  c.close_host();
}

void capture_before_set_resolution(const char* path, Reporter& report, FramesClaim) {
  Checker c(path, report);
  if (!c.load() || !c.check_init()) return;
  c.capture("capture before any set resolution");
}

void dialog_without_terminal(const char* path, Reporter& report, FramesClaim) {
  // A session of its own has no controlling terminal; input is closed too.
  setsid();
  int null_fd = open("/dev/null", O_RDONLY);
  if (null_fd >= 0) dup2(null_fd, 0);
  Checker c(path, report);
  if (!c.load()) return;
  c.check_dialog_without_terminal();
}

// ---- Parent side: runs each scenario in a child and prints its checks. ----

struct Totals {
  int checks = 0, ok = 0, failed = 0, unsupported = 0;
};

void print_result(const std::string& check, const std::string& status, const std::string& detail,
                  Totals& totals) {
  ++totals.checks;
  if (status == "OK") {
    ++totals.ok;
    printf("%s: OK%s\n", check.c_str(), detail.empty() ? "" : (" (" + detail + ")").c_str());
  } else if (status == "FAIL") {
    ++totals.failed;
    printf("%s: FAIL: %s\n", check.c_str(), detail.c_str());
  } else {
    ++totals.unsupported;
    printf("%s: not supported\n", check.c_str());
  }
}

struct Options {
  const char* path = nullptr;
  FramesClaim claim = FramesClaim::kAny;
  int timeout_seconds = 20;  // for any one check
};

void run_scenario(ScenarioFn scenario, const Options& options, Totals& totals) {
  int channel[2];
  if (pipe(channel) != 0) {
    perror("pipe");
    exit(2);
  }
  fflush(stdout);
  pid_t child = fork();
  if (child < 0) {
    // Without its process the scenario ran no check: a failure, never a pass.
    const std::string why = strerror(errno);
    close(channel[0]);
    close(channel[1]);
    print_result("plug-in", "FAIL", "no process for these checks: " + why, totals);
    return;
  }
  if (child == 0) {
    close(channel[0]);
    Reporter report(channel[1]);
    scenario(options.path, report, options.claim);
    _exit(0);
  }
  close(channel[1]);

  std::string pending_check, buffer;
  bool finished = false, timed_out = false;
  time_t deadline = time(nullptr) + options.timeout_seconds;
  while (!finished) {
    pollfd p = {channel[0], POLLIN, 0};
    const int wait_ms = static_cast<int>(deadline - time(nullptr)) * 1000;
    if (wait_ms <= 0 || poll(&p, 1, wait_ms) == 0) {
      kill(child, SIGKILL);
      print_result(pending_check.empty() ? "plug-in" : pending_check, "FAIL",
                   "no answer within " + std::to_string(options.timeout_seconds) + " s", totals);
      pending_check.clear();
      timed_out = true;
      break;
    }
    char chunk[4096];
    const ssize_t got = read(channel[0], chunk, sizeof chunk);
    if (got <= 0) break;
    buffer.append(chunk, static_cast<size_t>(got));
    for (size_t end; (end = buffer.find('\n')) != std::string::npos; buffer.erase(0, end + 1)) {
      const std::string line = buffer.substr(0, end);
      if (line.rfind("B\t", 0) == 0) {
        pending_check = line.substr(2);
        deadline = time(nullptr) + options.timeout_seconds;
      } else if (line.rfind("R\t", 0) == 0) {
        const size_t tab = line.find('\t', 2);
        print_result(pending_check, line.substr(2, tab - 2),
                     tab == std::string::npos ? "" : line.substr(tab + 1), totals);
        pending_check.clear();
      }
    }
  }
  close(channel[0]);
  int status = 0;
  waitpid(child, &status, 0);
  // A process that did not end as a scenario ends failed, between checks too
  // (a heap broken earlier, a library that crashes as it unloads).
  const bool ended_well = WIFEXITED(status) && WEXITSTATUS(status) == 0;
  if (!timed_out && (!pending_check.empty() || !ended_well)) {
    std::string why =
        WIFSIGNALED(status)
            ? "the plug-in crashed (signal " + std::to_string(WTERMSIG(status)) + ")"
            : "the plug-in ended the process (status " + std::to_string(WEXITSTATUS(status)) + ")";
    if (pending_check.empty()) why += " after its last check";
    print_result(pending_check.empty() ? "plug-in" : pending_check, "FAIL", why, totals);
  }
}

}  // namespace

int main(int argc, char** argv) {
  Options options;
  bool usable = true;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "--frames=changing") {
      options.claim = FramesClaim::kChanging;
    } else if (arg == "--frames=stable") {
      options.claim = FramesClaim::kStable;
    } else if (arg.rfind("--timeout=", 0) == 0 && atoi(arg.c_str() + 10) > 0) {
      options.timeout_seconds = atoi(arg.c_str() + 10);
    } else if (!options.path && arg.rfind("--", 0) != 0) {
      options.path = argv[i];
    } else {
      usable = false;
    }
  }
  if (!usable || !options.path) {
    fprintf(stderr, "usage: plugin-check [--frames=changing|stable] [--timeout=SECONDS] PATH\n");
    return 2;
  }
  // A name without a slash would be searched for; the author means this file.
  const std::string file =
      strchr(options.path, '/') ? options.path : std::string("./") + options.path;
  options.path = file.c_str();

  printf("Checking %s\n", file.c_str());
  const struct {
    const char* title;
    ScenarioFn run;
  } kScenarios[] = {{"The program's call sequence", program_sequence},
                    {"Destroy without init", destroy_without_init},
                    {"Capture before set resolution", capture_before_set_resolution},
                    {"Settings dialog without a terminal", dialog_without_terminal}};
  Totals totals;
  for (const auto& scenario : kScenarios) {
    printf("\n%s\n", scenario.title);
    run_scenario(scenario.run, options, totals);
  }
  printf("\nTotal: %d checks, %d OK, %d failed, %d not supported\n", totals.checks, totals.ok,
         totals.failed, totals.unsupported);
  return totals.failed ? 1 : 0;
}
