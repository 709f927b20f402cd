// fuzzcam: see fuzzcam.h. Every answer comes from the stream; once it is
// used up every answer is 0. Within what the contract lets a host check it
// does anything: any name length and bytes (within the n + 10 bytes of the
// buffer, terminated or not), any size, any result.
#include "fuzzcam.h"

#include <string.h>

#include "lensora_plugin_api.h"

namespace {

const uint8_t* g_data = nullptr;
size_t g_left = 0;
FuzzcamRecord g_record;

uint8_t next_byte() {
  if (g_left == 0) return 0;
  --g_left;
  return *g_data++;
}

uint32_t next_bits(int bytes) {
  uint32_t value = 0;
  for (int i = 0; i < bytes; ++i) value |= static_cast<uint32_t>(next_byte()) << (8 * i);
  return value;
}

int32_t next_int32() {
  return static_cast<int32_t>(next_bits(4));
}

}  // namespace

extern "C" __attribute__((visibility("default"))) void fuzzcam_start(const uint8_t* data,
                                                                     size_t size) {
  g_data = data;
  g_left = size;
  g_record = FuzzcamRecord();
}

extern "C" __attribute__((visibility("default"))) uint8_t fuzzcam_next_byte() {
  return next_byte();
}

extern "C" __attribute__((visibility("default"))) const FuzzcamRecord* fuzzcam_record() {
  return &g_record;
}

LN_EXPORT(int32_t) LN_GetDllName(char* buffer) {
  if (!buffer) {
    g_record.calls.push_back("GetDllName(null)");
    return g_record.name_length = next_int32();
  }
  g_record.calls.push_back("GetDllName(buffer)");
  // The host's buffer holds n + 10 bytes; write anywhere up to that many.
  const size_t room = static_cast<size_t>(g_record.name_length) + 10;
  const size_t count = next_bits(2) % (room + 1);
  g_record.name_written.clear();
  for (size_t i = 0; i < count; ++i) g_record.name_written += static_cast<char>(next_byte());
  memcpy(buffer, g_record.name_written.data(), count);
  return g_record.name_result = next_int32();
}

LN_EXPORT(LnBool) LN_OnInit(LnWindowHandle) {
  g_record.calls.push_back("OnInit");
  return g_record.bool_answer = next_byte();
}

LN_EXPORT(LnBool) LN_OnDestroy() {
  g_record.calls.push_back("OnDestroy");
  return g_record.bool_answer = next_byte();
}

LN_EXPORT(LnBool) LN_GetResolution(int32_t* width, int32_t* height) {
  g_record.calls.push_back("GetResolution");
  int32_t w = next_int32(), h = next_int32();
  const int64_t pixels = int64_t{w} * h;
  if (w > 0 && h > 0 && pixels > kFuzzcamMaxFrameBytes / 3 && pixels <= INT32_MAX / 3) {
    h = static_cast<int32_t>(kFuzzcamMaxFrameBytes / 3 / w);  // keep the frame small
  }
  *width = g_record.width = w;
  *height = g_record.height = h;
  return g_record.bool_answer = next_byte();
}

LN_EXPORT(LnBool) LN_SetResolution(int32_t, int32_t) {
  g_record.calls.push_back("SetResolution");
  return g_record.bool_answer = next_byte();
}

LN_EXPORT(LnBool) LN_DoModalOptionDlg() {
  g_record.calls.push_back("DoModalOptionDlg");
  return g_record.bool_answer = next_byte();
}

LN_EXPORT(int32_t) LN_Capture(K_RGB* buffer) {
  if (!buffer) {
    g_record.calls.push_back("Capture(null)");
    g_record.null_captures.push_back(next_int32());
    return g_record.null_captures.back();
  }
  g_record.calls.push_back("Capture(buffer)");
  // Exactly the frame of the size last reported, as the contract says.
  const size_t bytes =
      static_cast<size_t>(g_record.width) * static_cast<size_t>(g_record.height) * 3;
  const uint8_t seed = next_byte();
  g_record.frame_written.resize(bytes);
  for (size_t i = 0; i < bytes; ++i) g_record.frame_written[i] = static_cast<char>(seed + i * 13);
  memcpy(buffer, g_record.frame_written.data(), bytes);
  return g_record.capture_result = next_int32();
}
