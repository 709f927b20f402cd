// libFuzzer target: the plug-in host against fuzzcam, a plug-in whose every
// answer comes from the fuzzer. After each call the host's result is checked
// against what the plug-in answered: the name read within its buffer, the
// frame size checks, an image untouched on refusal and filled on success,
// and LN_OnDestroy last.
#include <dlfcn.h>
#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#include <string>

#include "fuzzcam.h"
#include "lensora_plugin.h"

namespace {

FuzzcamStartFn start;
FuzzcamNextByteFn next_byte;
FuzzcamRecordFn record;

void check(bool condition, const char* what) {
  if (!condition) {
    fprintf(stderr, "host fault: %s\n", what);
    abort();
  }
}

std::string image_bytes(const KImageT<K_RGB>& image) {
  return std::string(reinterpret_cast<const char*>(image.data.data()), image.data.size() * 3);
}

void check_open(bool opened, const LensoraPlugIn& host) {
  const FuzzcamRecord& r = *record();
  const bool length_usable = r.name_length > 0 && r.name_length <= LensoraPlugIn::kMaxNameLength;
  check(r.calls.size() == (length_usable ? 2u : 1u),
        "the name buffer is offered only for a usable length");
  check(opened == (length_usable && r.name_result > 0), "Open follows the name results");
  const std::string expected =
      length_usable
          ? r.name_written.substr(0, strnlen(r.name_written.c_str(), r.name_written.size()))
          : "";
  check(host.name == expected, "the name is what was written, up to its first NUL");
}

void check_capture(LensoraPlugIn& host) {
  KImageT<K_RGB> image(3, 2);
  image.pixel(2, 1).r = 99;
  const std::string before = image_bytes(image);
  const size_t calls_before = record()->calls.size();
  const size_t null_before = record()->null_captures.size();
  const bool captured = host.Capture(image);
  const FuzzcamRecord& r = *record();
  const size_t calls = r.calls.size() - calls_before;
  check(r.null_captures.size() > null_before, "a capture first asks the frame size");
  const int32_t size = r.null_captures[null_before];

  const bool size_ok = size >= 0;
  const bool resolution_ok = size_ok && calls >= 2 && r.bool_answer != 0;
  const bool accepted = resolution_ok && r.width >= 0 && r.height >= 0 &&
                        uint64_t{3} * uint64_t(r.width) * uint64_t(r.height) == uint64_t(size);
  if (!accepted) {
    check(!captured, "a refused frame is no capture");
    check(image.width == 3 && image.height == 2 && image_bytes(image) == before,
          "a refused frame leaves the image untouched");
    check(calls == (size_ok ? 2u : 1u), "a refused frame is never grabbed");
    return;
  }
  check(calls == 3, "an accepted frame is grabbed");
  check(image.width == r.width && image.height == r.height, "the image has the reported size");
  const bool empty = image.data.empty();
  check(r.calls.back() == (empty ? "Capture(null)" : "Capture(buffer)"),
        "an empty frame is grabbed with a null buffer");
  const int32_t result = empty ? r.null_captures.back() : r.capture_result;
  check(captured == (result > 0), "the grab's result decides the capture");
  if (!empty) check(image_bytes(image) == r.frame_written, "the image holds the frame written");
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  void* plugin = dlopen(FUZZCAM_PATH, RTLD_NOW | RTLD_LOCAL);  // kept loaded for its state
  check(plugin != nullptr, "fuzzcam cannot be loaded");
  start = reinterpret_cast<FuzzcamStartFn>(dlsym(plugin, "fuzzcam_start"));
  next_byte = reinterpret_cast<FuzzcamNextByteFn>(dlsym(plugin, "fuzzcam_next_byte"));
  record = reinterpret_cast<FuzzcamRecordFn>(dlsym(plugin, "fuzzcam_record"));
  check(start && next_byte && record, "fuzzcam lacks its fuzzer functions");
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  start(data, size);
  {
    LensoraPlugIn host;
    check_open(host.Open(FUZZCAM_PATH), host);
    // Then the calls a run makes, in an order the input chooses.
    for (int step = 0; step < 16; ++step) {
      switch (next_byte() % 5) {
        case 0:
          check_capture(host);
          break;
        case 1: {
          int32_t w = -1, h = -1;
          check(host.GetResolution(&w, &h) == (record()->bool_answer != 0),
                "a boolean result is its low byte");
          check(w == record()->width && h == record()->height, "the size goes through unchanged");
          break;
        }
        case 2:
          check(host.OnInit(nullptr) == (record()->bool_answer != 0),
                "a boolean result is its low byte");
          break;
        case 3:
          check(host.DoModalOptionDlg() == (record()->bool_answer != 0),
                "a boolean result is its low byte");
          break;
        case 4:
          check(host.SetResolution(640, 480) == (record()->bool_answer != 0),
                "a boolean result is its low byte");
          break;
      }
    }
    const size_t calls_before_close = record()->calls.size();
    host.Close();
    check(!host.isOpen(), "Close unloads");
    check(record()->calls.size() == calls_before_close + 1, "Close calls LN_OnDestroy once");
  }
  const FuzzcamRecord& r = *record();
  check(r.calls.back() == "OnDestroy", "LN_OnDestroy comes last");
  return 0;
}
