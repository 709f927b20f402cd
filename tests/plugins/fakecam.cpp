// fakecam: a camera plug-in for tests, built as libvidmote.so (Vidmote.dll
// on Windows) in several variants (see CMakeLists.txt beside this file).
// Compile definitions FAKECAM_OMIT_LN_<export> leave out that export.
//
// Its behaviour is set by environment variables, read again at every call, so
// a test may change them between calls. Unset, the camera is well behaved.
//
//   FAKECAM_LOG=path        Every call appends one text line to that file (opened
//                           and closed at each call): LN_GetDllName(null),
//                           LN_GetDllName(buffer) zeroed|dirty (whether all
//                           n+10 bytes were zero on entry, n = the announced
//                           length), LN_OnInit(null), LN_OnInit(handle),
//                           LN_OnDestroy, LN_GetResolution,
//                           LN_SetResolution(W,H), LN_DoModalOptionDlg,
//                           LN_Capture(null), LN_Capture(buffer).
//                           Unset: nothing is logged.
//   FAKECAM_NAME            The name (default FakeCam; set but empty: "").
//   FAKECAM_NAME_LENGTH     What LN_GetDllName(null) announces (default the
//                           name's length; may be 0 or negative).
//   FAKECAM_NAME_UNTERMINATED=1
//                           The buffer call fills all n+10 bytes with the
//                           name's characters repeated ('?' for an empty
//                           name) and writes no NUL. Otherwise it copies the
//                           name and its NUL, whatever length was announced.
//   FAKECAM_NAME_RESULT     Result of LN_GetDllName(buffer) (default 1).
//   FAKECAM_INIT, FAKECAM_DESTROY, FAKECAM_SETRES, FAKECAM_GETRES,
//   FAKECAM_DIALOG          Results of LN_OnInit, LN_OnDestroy,
//                           LN_SetResolution, LN_GetResolution and
//                           LN_DoModalOptionDlg (default 1). Any integer,
//                           returned as its low byte: 256 gives 0, 2 gives 2.
//   FAKECAM_SIZE="W H"      What LN_GetResolution reports (any integers),
//                           whatever LN_SetResolution stored. Otherwise it
//                           reports the stored resolution, 640 480 at first;
//                           LN_SetResolution stores only when it succeeds.
//   FAKECAM_FRAME_BYTES     Answer of LN_Capture(null) (default W*H*3 of the
//                           reported size, worked out in 64 bits and cut to
//                           32, so a large size wraps).
//   FAKECAM_FRAMES=path     A file of one or more raw frames of W*H*3 bytes
//                           (the image's memory layout: bottom-up rows of
//                           B,G,R bytes); buffer capture k (from 0) serves
//                           frame k mod count. Unset: byte i of frame k is
//                           (i + 7*k) & 255.
//   FAKECAM_NULL_GRAB=r     Result of LN_Capture(null) when it follows
//                           LN_Capture(null) and LN_GetResolution: the host
//                           grabbing a frame of no pixels with a null buffer
//                           (default: the frame size, as for every null call).
//   FAKECAM_CAPTURE         Result of LN_Capture(buffer) (default 1).
//   FAKECAM_CAPTURE_FAIL_AT=k
//                           The k-th buffer capture (from 1) returns 0.
//   FAKECAM_OVERRUN=k       A buffer capture writes k bytes past the frame.
//   FAKECAM_CRASH=export    That export (LN_OnDestroy, LN_DoModalOptionDlg or
//                           LN_Capture) aborts the process; "unload": the
//                           library aborts it as it is unloaded.
//   FAKECAM_DIALOG_HANG=1   LN_DoModalOptionDlg never returns.
//   FAKECAM_DIALOG_STDOUT=1 LN_DoModalOptionDlg writes to standard output.
//   FAKECAM_OPEN_ON_INIT=path
//                           LN_OnInit opens that file for reading and keeps it
//                           open until LN_OnDestroy, as a camera device is.
//   FAKECAM_CAPTURE_DELAY_MS=t
//                           Every buffer capture first sleeps t milliseconds,
//                           as a camera waiting for its frame.
//   FAKECAM_MKDIR_ON_CAPTURE=name[,name...]
//                           Every buffer capture first makes a folder of each
//                           name, as another program taking file names would.
//   FAKECAM_CLOSE_FD=k      Every buffer capture first closes descriptor k, as
//                           a careless plug-in may (POSIX).
//   FAKECAM_SIGNAL="s name" After a buffer capture, a thread of the plug-in
//                           waits until an entry whose name starts with `name`
//                           appears in the current folder, then sends signal
//                           s to the process (POSIX): a signal that comes
//                           while the capture's files are written.
//   FAKECAM_WRITE_FD="k name"
//                           The same wait, then the thread writes a line to
//                           descriptor k, as a plug-in's diagnostics on a
//                           standard stream it closed (POSIX).
//
// A buffer capture writes exactly W*H*3 bytes of the reported size, nothing
// when that is 0 or less, and writes its frame whatever result it returns;
// only an unusable FAKECAM_FRAMES file (missing, unreadable, or not a whole
// number of frames) makes it write nothing, say why on stderr and return 0.
// LN_OnInit resets the stored resolution and the capture counter.
//
// Built with FAKECAM_UNRESOLVED_SYMBOL, LN_DoModalOptionDlg calls a function
// that no library defines: a host that binds symbols lazily loads it and
// dies at the call; one that binds them all at load cannot load it.
#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <stdarg.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <time.h>
#include <unistd.h>
#ifndef _WIN32
#include <dirent.h>
#endif

#include <chrono>
#include <string>
#include <thread>

#include "lensora_plugin_api.h"

namespace {

const int32_t kStartWidth = 640;
const int32_t kStartHeight = 480;

[[maybe_unused]] int32_t g_width = kStartWidth;
[[maybe_unused]] int32_t g_height = kStartHeight;
[[maybe_unused]] uint64_t g_captures = 0;  // Buffer captures since load or LN_OnInit.
// Within a capture: LN_Capture(null) asked the size, then LN_GetResolution.
[[maybe_unused]] enum { kIdle, kSizeAsked, kResolutionAsked } g_capture_step = kIdle;

[[maybe_unused]] int g_device = -1;  // The file kept open from LN_OnInit to LN_OnDestroy.

[[maybe_unused]] void log_line(const char* format, ...) __attribute__((format(printf, 1, 2)));

[[maybe_unused]] void log_line(const char* format, ...) {
  const char* path = getenv("FAKECAM_LOG");
  if (!path || !*path) return;
  FILE* file = fopen(path, "a");
  if (!file) {
    fprintf(stderr, "fakecam: cannot open log %s: %s\n", path, strerror(errno));
    return;
  }
  va_list args;
  va_start(args, format);
  vfprintf(file, format, args);
  va_end(args);
  fputc('\n', file);
  fclose(file);
}

// The variable as an integer, or fallback when it is unset or empty.
[[maybe_unused]] long long env_integer(const char* variable, long long fallback) {
  const char* text = getenv(variable);
  if (!text || !*text) return fallback;
  char* end = nullptr;
  errno = 0;
  long long value = strtoll(text, &end, 10);
  if (errno != 0 || *end != '\0') {
    fprintf(stderr, "fakecam: %s=%s is not an integer\n", variable, text);
    return fallback;
  }
  return value;
}

[[maybe_unused]] void crash_if_asked(const char* export_name) {
  const char* target = getenv("FAKECAM_CRASH");
  if (target && strcmp(target, export_name) == 0) abort();
}

__attribute__((destructor)) void on_unload() {
  crash_if_asked("unload");
}

[[maybe_unused]] LnBool env_result(const char* variable) {
  return static_cast<LnBool>(env_integer(variable, 1));
}

[[maybe_unused]] int32_t env_int32(const char* variable, int32_t fallback) {
  return static_cast<int32_t>(env_integer(variable, fallback));
}

#ifndef _WIN32
// After a buffer capture, a thread of the plug-in waits until an entry whose
// name starts with the prefix given in the variable ("number prefix")
// appears in the current folder, then acts with that number.
template <typename Action>
void once_written(const char* variable, Action action) {
  const char* asked = getenv(variable);
  int number = 0, prefix_at = 0;
  if (!asked || sscanf(asked, "%d %n", &number, &prefix_at) != 1 || !asked[prefix_at]) return;
  std::thread([number, action, prefix = std::string(asked + prefix_at)] {
    for (;;) {
      if (DIR* folder = opendir(".")) {
        bool seen = false;
        while (dirent* entry = readdir(folder))
          seen = seen || strncmp(entry->d_name, prefix.c_str(), prefix.size()) == 0;
        closedir(folder);
        if (seen) break;
      }
      std::this_thread::sleep_for(std::chrono::microseconds(100));
    }
    action(number);
  }).detach();
}
#endif

[[maybe_unused]] const char* camera_name() {
  const char* name = getenv("FAKECAM_NAME");
  return name ? name : "FakeCam";
}

[[maybe_unused]] int32_t announced_name_length() {
  return env_int32("FAKECAM_NAME_LENGTH", static_cast<int32_t>(strlen(camera_name())));
}

[[maybe_unused]] void reported_size(int32_t* width, int32_t* height) {
  *width = g_width;
  *height = g_height;
  const char* text = getenv("FAKECAM_SIZE");
  if (!text || !*text) return;
  char* end = nullptr;
  long long w = strtoll(text, &end, 10);
  char* after_height = nullptr;
  long long h = strtoll(end, &after_height, 10);
  if (end == text || after_height == end || *after_height != '\0') {
    fprintf(stderr, "fakecam: FAKECAM_SIZE=%s is not \"W H\"\n", text);
    return;
  }
  *width = static_cast<int32_t>(w);
  *height = static_cast<int32_t>(h);
}

// W*H*3 cut to 32 bits, as the frame size announced by default.
[[maybe_unused]] int32_t wrapped_frame_bytes(int32_t width, int32_t height) {
  uint64_t product = static_cast<uint64_t>(static_cast<int64_t>(width)) *
                     static_cast<uint64_t>(static_cast<int64_t>(height)) * 3u;
  return static_cast<int32_t>(static_cast<uint32_t>(product));
}

// W*H*3 when it is positive, else 0: the bytes a buffer capture writes.
[[maybe_unused]] uint64_t frame_bytes_to_write(int32_t width, int32_t height) {
  if (width == 0 || height == 0 || ((width < 0) != (height < 0))) return 0;
  uint64_t w = static_cast<uint64_t>(width < 0 ? -static_cast<int64_t>(width) : width);
  uint64_t h = static_cast<uint64_t>(height < 0 ? -static_cast<int64_t>(height) : height);
  return w * h * 3u;
}

[[maybe_unused]] void make_folder(const char* name) {
#ifdef _WIN32
  mkdir(name);
#else
  mkdir(name, 0755);
#endif
}

// Copies frame `index` mod count of the frames file into buffer.
[[maybe_unused]] bool read_frame(const char* path, uint64_t index, uint8_t* buffer,
                                 uint64_t frame_bytes) {
  FILE* file = fopen(path, "rb");
  if (!file) {
    fprintf(stderr, "fakecam: cannot open FAKECAM_FRAMES %s: %s\n", path, strerror(errno));
    return false;
  }
  bool ok = false;
  long long file_bytes = -1;
  if (fseeko(file, 0, SEEK_END) == 0) file_bytes = ftello(file);
  if (file_bytes <= 0 || static_cast<uint64_t>(file_bytes) % frame_bytes != 0) {
    fprintf(stderr, "fakecam: FAKECAM_FRAMES %s holds %lld bytes, not whole frames of %llu\n", path,
            file_bytes, static_cast<unsigned long long>(frame_bytes));
  } else {
    uint64_t count = static_cast<uint64_t>(file_bytes) / frame_bytes;
    off_t offset = static_cast<off_t>((index % count) * frame_bytes);
    ok = fseeko(file, offset, SEEK_SET) == 0 && fread(buffer, 1, frame_bytes, file) == frame_bytes;
    if (!ok) fprintf(stderr, "fakecam: cannot read FAKECAM_FRAMES %s\n", path);
  }
  fclose(file);
  return ok;
}

}  // namespace

#ifndef FAKECAM_OMIT_LN_GetDllName
LN_EXPORT(int32_t) LN_GetDllName(char* buffer) {
  const char* name = camera_name();
  const int32_t announced = announced_name_length();
  if (!buffer) {
    log_line("LN_GetDllName(null)");
    return announced;
  }
  const int64_t spare = static_cast<int64_t>(announced) + 10;
  const size_t buffer_bytes = spare > 0 ? static_cast<size_t>(spare) : 0;
  bool zeroed = true;
  for (size_t i = 0; i < buffer_bytes; ++i) zeroed = zeroed && buffer[i] == '\0';
  log_line("LN_GetDllName(buffer) %s", zeroed ? "zeroed" : "dirty");

  if (env_integer("FAKECAM_NAME_UNTERMINATED", 0) == 1) {
    const size_t length = strlen(name);
    for (size_t i = 0; i < buffer_bytes; ++i) buffer[i] = length ? name[i % length] : '?';
  } else {
    memcpy(buffer, name, strlen(name) + 1);
  }
  return env_int32("FAKECAM_NAME_RESULT", 1);
}
#endif

#ifndef FAKECAM_OMIT_LN_OnInit
LN_EXPORT(LnBool) LN_OnInit(LnWindowHandle window) {
  log_line("LN_OnInit(%s)", window ? "handle" : "null");
  g_width = kStartWidth;
  g_height = kStartHeight;
  g_captures = 0;
  const char* device = getenv("FAKECAM_OPEN_ON_INIT");
  if (device && *device && g_device < 0) g_device = open(device, O_RDONLY);
  return env_result("FAKECAM_INIT");
}
#endif

#ifndef FAKECAM_OMIT_LN_OnDestroy
LN_EXPORT(LnBool) LN_OnDestroy() {
  log_line("LN_OnDestroy");
  crash_if_asked("LN_OnDestroy");
  if (g_device >= 0) close(g_device);
  g_device = -1;
  return env_result("FAKECAM_DESTROY");
}
#endif

#ifndef FAKECAM_OMIT_LN_GetResolution
LN_EXPORT(LnBool) LN_GetResolution(int32_t* width, int32_t* height) {
  log_line("LN_GetResolution");
  g_capture_step = g_capture_step == kSizeAsked ? kResolutionAsked : kIdle;
  int32_t w = 0, h = 0;
  reported_size(&w, &h);
  if (width) *width = w;
  if (height) *height = h;
  return env_result("FAKECAM_GETRES");
}
#endif

#ifndef FAKECAM_OMIT_LN_SetResolution
LN_EXPORT(LnBool) LN_SetResolution(int32_t width, int32_t height) {
  log_line("LN_SetResolution(%d,%d)", static_cast<int>(width), static_cast<int>(height));
  LnBool result = env_result("FAKECAM_SETRES");
  if (result) {
    g_width = width;
    g_height = height;
  }
  return result;
}
#endif

#ifndef FAKECAM_OMIT_LN_DoModalOptionDlg
#ifdef FAKECAM_UNRESOLVED_SYMBOL
extern "C" void fakecam_function_no_library_defines();
#endif

LN_EXPORT(LnBool) LN_DoModalOptionDlg() {
  log_line("LN_DoModalOptionDlg");
  crash_if_asked("LN_DoModalOptionDlg");
  if (env_integer("FAKECAM_DIALOG_STDOUT", 0)) printf("fakecam settings\n");
  while (env_integer("FAKECAM_DIALOG_HANG", 0))
    std::this_thread::sleep_for(std::chrono::seconds(1));
#ifdef FAKECAM_UNRESOLVED_SYMBOL
  fakecam_function_no_library_defines();
#endif
  return env_result("FAKECAM_DIALOG");
}
#endif

#ifndef FAKECAM_OMIT_LN_Capture
LN_EXPORT(int32_t) LN_Capture(K_RGB* buffer) {
  int32_t width = 0, height = 0;
  reported_size(&width, &height);
  const bool grab = g_capture_step == kResolutionAsked;
  g_capture_step = !buffer && !grab ? kSizeAsked : kIdle;
  if (!buffer) {
    log_line("LN_Capture(null)");
    const int32_t size = env_int32("FAKECAM_FRAME_BYTES", wrapped_frame_bytes(width, height));
    return grab ? env_int32("FAKECAM_NULL_GRAB", size) : size;
  }
  log_line("LN_Capture(buffer)");
  crash_if_asked("LN_Capture");
  const long long delay_ms = env_integer("FAKECAM_CAPTURE_DELAY_MS", 0);
  if (delay_ms > 0) std::this_thread::sleep_for(std::chrono::milliseconds(delay_ms));
  if (const char* folders = getenv("FAKECAM_MKDIR_ON_CAPTURE")) {
    for (const char* name = folders; *name;) {
      const size_t length = strcspn(name, ",");
      make_folder(std::string(name, length).c_str());
      name += length + (name[length] == ',');
    }
  }
  const uint64_t index = g_captures++;
  const uint64_t bytes = frame_bytes_to_write(width, height);
  uint8_t* out = reinterpret_cast<uint8_t*>(buffer);
  if (bytes > 0) {
    const char* frames = getenv("FAKECAM_FRAMES");
    if (frames && *frames) {
      if (!read_frame(frames, index, out, bytes)) return 0;
    } else {
      for (uint64_t i = 0; i < bytes; ++i) out[i] = static_cast<uint8_t>((i + 7 * index) & 255);
    }
  }
  if (const long long fd = env_integer("FAKECAM_CLOSE_FD", -1); fd >= 0)
    close(static_cast<int>(fd));
#ifndef _WIN32
  once_written("FAKECAM_SIGNAL", [](int signal_number) { kill(getpid(), signal_number); });
  once_written("FAKECAM_WRITE_FD", [](int fd) {
    const char line[] = "fakecam: a diagnostic\n";
    if (write(fd, line, sizeof line - 1) < 0) return;  // closed, as it should be
  });
#endif
  const long long overrun = env_integer("FAKECAM_OVERRUN", 0);
  if (overrun > 0) memset(out + bytes, 0x5A, static_cast<size_t>(overrun));
  if (env_integer("FAKECAM_CAPTURE_FAIL_AT", 0) == static_cast<long long>(index + 1)) return 0;
  return env_int32("FAKECAM_CAPTURE", 1);
}
#endif
