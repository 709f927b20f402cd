// The checks of a plug-in against the contract, run in plugin-check's child
// processes.
#include "checks.h"

#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <setjmp.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/mman.h>
#include <time.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "lensora_plugin.h"

namespace plugin_check {

namespace {

const double kSlowCaptureSeconds = 3.0;
const size_t kGuardBytes = 64;
const uint8_t kGuard = 0xA5;

sigjmp_buf g_overran;  // where a write into the page past the name's buffer lands

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

}  // namespace

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

}  // namespace plugin_check
