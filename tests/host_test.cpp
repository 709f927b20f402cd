// LensoraPlugIn, the plug-in host, driven against the fakecam test plug-in
// and its variants that each lack one export. fakecam logs every call it
// receives to the file named by FAKECAM_LOG; see tests/plugins/fakecam.cpp.
// The same tests run on Windows (under wine) against the 32-bit DLLs.
#include <gtest/gtest.h>
#include <stdint.h>
#include <stdlib.h>

#include <fstream>
#include <functional>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "kimage.h"
#include "lensora_plugin.h"
#include "support/files.h"
#include "support/test_camera.h"

#ifdef _WIN32
#include <windows.h>

#include "console_text.h"
#include "console_writer.h"
#include "device_text.h"
#else
#include <dlfcn.h>
#include <unistd.h>
#endif

namespace {

// ---- What differs between systems. ----
#ifdef _WIN32
const char kPlugInFileName[] = "Vidmote.dll";

// Whether the library is loaded in this process, without loading it.
bool IsLoaded(const std::string& file) {
  return GetModuleHandleA(file.c_str()) != nullptr;
}

char** Environment() {
  return _environ;
}

// An empty value removes the variable.
int setenv(const char* name, const char* value, int /*overwrite*/) {
  return _putenv_s(name, value);
}
int unsetenv(const char* name) {
  return _putenv_s(name, "");
}
#else
const char kPlugInFileName[] = "libvidmote.so";

bool IsLoaded(const std::string& file) {
  void* handle = dlopen(file.c_str(), RTLD_LAZY | RTLD_NOLOAD);
  if (handle) dlclose(handle);
  return handle != nullptr;
}

char** Environment() {
  return environ;
}
#endif

typedef std::vector<std::string> Lines;

std::string PluginFile(const std::string& variant) {
  return std::string(TEST_PLUGIN_DIR) + "/" + variant + "/" + kPlugInFileName;
}

const std::string kFakeCam = PluginFile("fakecam");

void ClearFakeCamEnvironment() {
  std::vector<std::string> names;
  for (char** entry = Environment(); *entry; ++entry) {
    std::string variable(*entry);
    if (variable.rfind("FAKECAM_", 0) == 0) names.push_back(variable.substr(0, variable.find('=')));
  }
  for (const std::string& name : names) unsetenv(name.c_str());
}

void SetEnv(const char* name, const std::string& value) {
  ASSERT_EQ(setenv(name, value.c_str(), 1), 0) << name;
}

std::vector<uint8_t> ImageBytes(const KImageT<K_RGB>& image) {
  const uint8_t* bytes = reinterpret_cast<const uint8_t*>(image.data.data());
  return std::vector<uint8_t>(bytes, bytes + image.data.size() * sizeof(K_RGB));
}

// An image of a known size whose bytes are 1, 4, 7, ... (mod 256).
void FillKnown(KImageT<K_RGB>& image, int width, int height) {
  image.init(width, height);
  uint8_t* bytes = reinterpret_cast<uint8_t*>(image.data.data());
  for (size_t i = 0; i < image.data.size() * sizeof(K_RGB); ++i) {
    bytes[i] = static_cast<uint8_t>(1 + 3 * i);
  }
}

// A capture the host must refuse: false, and the image exactly as it was.
void ExpectCaptureRefusedKeepingImage(LensoraPlugIn& host) {
  KImageT<K_RGB> image;
  FillKnown(image, 5, 2);
  const std::vector<uint8_t> before = ImageBytes(image);
  EXPECT_FALSE(host.Capture(image));
  EXPECT_EQ(image.width, 5);
  EXPECT_EQ(image.height, 2);
  EXPECT_EQ(ImageBytes(image), before);
}

class HostTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ClearFakeCamEnvironment();
    log_ = dir_ + "/calls.log";
    SetEnv("FAKECAM_LOG", log_);
  }

  void TearDown() override { ClearFakeCamEnvironment(); }

  Lines Log() const {
    Lines lines;
    std::ifstream in(log_);
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
  }

  void ClearLog() const { std::ofstream(log_, std::ios::trunc); }

  ScratchDir scratch_;
  const std::string dir_ = scratch_.path();
  std::string log_;
};

TEST_F(HostTest, OpenOfMissingFileFailsAndKeepsPath) {
  const std::string missing = dir_ + "/absent/" + kPlugInFileName;
  LensoraPlugIn host;
  EXPECT_FALSE(host.Open(missing.c_str()));
  EXPECT_EQ(host.path, missing);
  EXPECT_EQ(host.module, nullptr);
  EXPECT_FALSE(host.isOpen());
  EXPECT_EQ(host.name, "");
}

TEST_F(HostTest, OpenLoadsLibraryAndReadsName) {
  LensoraPlugIn host;
  ASSERT_TRUE(host.Open(kFakeCam.c_str()));
  EXPECT_TRUE(host.isOpen());
  EXPECT_NE(host.module, nullptr);
  EXPECT_TRUE(IsLoaded(kFakeCam));
  EXPECT_EQ(host.name, "FakeCam");
  EXPECT_EQ(host.path, kFakeCam);
  EXPECT_EQ(Log(), (Lines{"LN_GetDllName(null)", "LN_GetDllName(buffer) zeroed"}));
}

TEST_F(HostTest, SessionCallsReachPlugInInOrder) {
  {
    LensoraPlugIn host;
    ASSERT_TRUE(host.Open(kFakeCam.c_str()));
    EXPECT_TRUE(host.OnInit(nullptr));
    EXPECT_TRUE(host.SetResolution(4, 2));
    int32_t width = 0, height = 0;
    EXPECT_TRUE(host.GetResolution(&width, &height));
    EXPECT_EQ(width, 4);
    EXPECT_EQ(height, 2);
    KImageT<K_RGB> image;
    EXPECT_TRUE(host.Capture(image));
    EXPECT_TRUE(host.DoModalOptionDlg());
    EXPECT_TRUE(host.Close());
  }
  EXPECT_EQ(Log(), (Lines{"LN_GetDllName(null)", "LN_GetDllName(buffer) zeroed", "LN_OnInit(null)",
                          "LN_SetResolution(4,2)", "LN_GetResolution", "LN_Capture(null)",
                          "LN_GetResolution", "LN_Capture(buffer)", "LN_DoModalOptionDlg",
                          "LN_OnDestroy"}));
  EXPECT_FALSE(IsLoaded(kFakeCam));
}

TEST_F(HostTest, OnInitPassesWindowHandle) {
  LensoraPlugIn host;
  ASSERT_TRUE(host.Open(kFakeCam.c_str()));
  ClearLog();
  int window = 0;
  EXPECT_TRUE(host.OnInit(reinterpret_cast<LnWindowHandle>(&window)));
  EXPECT_EQ(Log(), (Lines{"LN_OnInit(handle)"}));
}

TEST_F(HostTest, NameBufferIsZeroedWithTenSpareBytes) {
  struct Case {
    const char* name;
    const char* announced;  // nullptr: the name's own length.
  };
  const Case cases[] = {{"FakeCam", nullptr}, {"A", nullptr}, {"Cam", "40"}, {"LongerName", "3"}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ClearLog();
    SetEnv("FAKECAM_NAME", c.name);
    if (c.announced) SetEnv("FAKECAM_NAME_LENGTH", c.announced);
    LensoraPlugIn host;
    EXPECT_TRUE(host.Open(kFakeCam.c_str()));
    EXPECT_EQ(host.name, c.name);
    EXPECT_EQ(Log(), (Lines{"LN_GetDllName(null)", "LN_GetDllName(buffer) zeroed"}));
    unsetenv("FAKECAM_NAME_LENGTH");
  }
}

// The zeroed/dirty note of the log looks at all n+10 bytes, so the check
// above would catch a host that cleared fewer.
TEST_F(HostTest, FakeCamNoticesDirtyNameBuffer) {
  LensoraPlugIn host;
  ASSERT_TRUE(host.Open(kFakeCam.c_str()));  // "FakeCam": n = 7, 17 bytes.
  auto get_name =
      reinterpret_cast<LnGetDllNameFn>(lensora_platform::find_export(host.module, "LN_GetDllName"));
  ASSERT_NE(get_name, nullptr);
  struct Case {
    int dirty_index;  // -1: all clean.
    const char* expected;
  };
  const Case cases[] = {{-1, "LN_GetDllName(buffer) zeroed"},
                        {0, "LN_GetDllName(buffer) dirty"},
                        {16, "LN_GetDllName(buffer) dirty"}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.dirty_index);
    ClearLog();
    char buffer[17] = {};
    if (c.dirty_index >= 0) buffer[c.dirty_index] = 'x';
    get_name(buffer);
    EXPECT_EQ(Log(), (Lines{c.expected}));
  }
}

TEST_F(HostTest, NameNineLongerThanAnnouncedIsReadWhole) {
  for (int announced : {1, 7, 30}) {
    SCOPED_TRACE(announced);
    std::string long_name;
    for (int i = 0; i < announced + 9; ++i) long_name += static_cast<char>('a' + i % 26);
    SetEnv("FAKECAM_NAME", long_name);
    SetEnv("FAKECAM_NAME_LENGTH", std::to_string(announced));
    LensoraPlugIn host;
    EXPECT_TRUE(host.Open(kFakeCam.c_str()));
    EXPECT_EQ(host.name, long_name);
  }
}

TEST_F(HostTest, UnterminatedNameIsCutAtBufferEnd) {
  struct Case {
    const char* name;
    const char* announced;
    const char* expected;  // n + 10 characters.
  };
  const Case cases[] = {
      {"AB", "5", "ABABABABABABABA"}, {"xyz", "1", "xyzxyzxyzxy"}, {"Q", "3", "QQQQQQQQQQQQQ"}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    SetEnv("FAKECAM_NAME", c.name);
    SetEnv("FAKECAM_NAME_LENGTH", c.announced);
    SetEnv("FAKECAM_NAME_UNTERMINATED", "1");
    LensoraPlugIn host;
    EXPECT_TRUE(host.Open(kFakeCam.c_str()));
    EXPECT_EQ(host.name, c.expected);
    EXPECT_EQ(host.name.size(), static_cast<size_t>(atoi(c.announced) + 10));
  }
}

// Lengths of 0 or less, or over the limit: the name buffer is never offered.
TEST_F(HostTest, UnusableNameLengthFailsOpenButKeepsLibrary) {
  for (const char* length : {"0", "-1", "-2147483648", "65537", "2147483647"}) {
    for (bool by_destructor : {false, true}) {
      SCOPED_TRACE(std::string(length) + (by_destructor ? " destructor" : " Close"));
      ClearLog();
      SetEnv("FAKECAM_NAME_LENGTH", length);
      {
        LensoraPlugIn host;
        EXPECT_FALSE(host.Open(kFakeCam.c_str()));
        EXPECT_EQ(host.name, "");
        EXPECT_TRUE(host.isOpen());
        EXPECT_TRUE(IsLoaded(kFakeCam));
        EXPECT_EQ(Log(), (Lines{"LN_GetDllName(null)"}));
        if (!by_destructor) {
          EXPECT_TRUE(host.Close());
          EXPECT_FALSE(host.isOpen());
        }
      }
      EXPECT_EQ(Log(), (Lines{"LN_GetDllName(null)", "LN_OnDestroy"}));
      EXPECT_FALSE(IsLoaded(kFakeCam));
    }
  }
}

TEST_F(HostTest, NameResultDecidesOpenButNameIsKept) {
  struct Case {
    const char* result;
    bool opened;
  };
  const Case cases[] = {{"0", false}, {"-1", false}, {"1", true}, {"2", true}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.result);
    SetEnv("FAKECAM_NAME_RESULT", c.result);
    LensoraPlugIn host;
    EXPECT_EQ(host.Open(kFakeCam.c_str()), c.opened);
    EXPECT_EQ(host.name, "FakeCam");
    EXPECT_TRUE(host.isOpen());
  }
}

TEST_F(HostTest, OpenOnOpenHostOnlyReplacesPath) {
  const std::string other = PluginFile("no_Capture");
  LensoraPlugIn host;
  ASSERT_TRUE(host.Open(kFakeCam.c_str()));
  const lensora_platform::Module module = host.module;
  ClearLog();
  EXPECT_TRUE(host.Open(other.c_str()));
  EXPECT_EQ(host.path, other);
  EXPECT_EQ(host.module, module);
  EXPECT_EQ(host.name, "FakeCam");
  EXPECT_EQ(Log(), Lines{});
  EXPECT_FALSE(IsLoaded(other));
}

TEST_F(HostTest, CloseOfNeverOpenedHostCallsNothing) {
  LensoraPlugIn never_opened;
  EXPECT_TRUE(never_opened.Close());
  EXPECT_FALSE(never_opened.isOpen());

  LensoraPlugIn with_path;
  with_path.path = kFakeCam;
  EXPECT_TRUE(with_path.Close());
  EXPECT_FALSE(with_path.isOpen());
  EXPECT_FALSE(IsLoaded(kFakeCam));
  EXPECT_EQ(Log(), Lines{});
}

TEST_F(HostTest, CloseCallsOnDestroyOnceAndKeepsNameAndPath) {
  {
    LensoraPlugIn host;
    ASSERT_TRUE(host.Open(kFakeCam.c_str()));
    ClearLog();
    EXPECT_TRUE(host.Close());
    EXPECT_EQ(Log(), (Lines{"LN_OnDestroy"}));
    EXPECT_FALSE(host.isOpen());
    EXPECT_EQ(host.module, nullptr);
    EXPECT_FALSE(IsLoaded(kFakeCam));
    EXPECT_EQ(host.name, "FakeCam");
    EXPECT_EQ(host.path, kFakeCam);
    EXPECT_TRUE(host.Close());
  }
  EXPECT_EQ(Log(), (Lines{"LN_OnDestroy"}));
}

TEST_F(HostTest, CloseUnloadsEvenWhenOnDestroyFails) {
  SetEnv("FAKECAM_DESTROY", "0");
  LensoraPlugIn host;
  ASSERT_TRUE(host.Open(kFakeCam.c_str()));
  ClearLog();
  EXPECT_TRUE(host.Close());
  EXPECT_EQ(Log(), (Lines{"LN_OnDestroy"}));
  EXPECT_FALSE(host.isOpen());
  EXPECT_FALSE(IsLoaded(kFakeCam));
}

TEST_F(HostTest, DestructorCallsOnDestroyAndUnloads) {
  {
    LensoraPlugIn host;
    ASSERT_TRUE(host.Open(kFakeCam.c_str()));
    ClearLog();
  }
  EXPECT_EQ(Log(), (Lines{"LN_OnDestroy"}));
  EXPECT_FALSE(IsLoaded(kFakeCam));
}

enum Member {
  kGetDllName,
  kOnInit,
  kSetResolution,
  kGetResolution,
  kDoModalOptionDlg,
  kCapture,
  kOnDestroy,
  kMemberCount
};

const char* const kMemberNames[kMemberCount] = {
    "GetDllName",       "OnInit",  "SetResolution", "GetResolution",
    "DoModalOptionDlg", "Capture", "OnDestroy"};

bool CallMember(LensoraPlugIn& host, Member member) {
  int32_t width = 0, height = 0;
  KImageT<K_RGB> image;
  switch (member) {
    case kGetDllName:
      return host.GetDllName();
    case kOnInit:
      return host.OnInit(nullptr);
    case kSetResolution:
      return host.SetResolution(2, 2);
    case kGetResolution:
      return host.GetResolution(&width, &height);
    case kDoModalOptionDlg:
      return host.DoModalOptionDlg();
    case kCapture:
      return host.Capture(image);
    case kOnDestroy:
      return host.OnDestroy();
    case kMemberCount:
      break;
  }
  ADD_FAILURE() << "no such member";
  return false;
}

TEST_F(HostTest, MissingExportFailsOnlyItsMembers) {
  struct Case {
    const char* variant;
    std::set<Member> failing;
  };
  const Case cases[] = {
      {"fakecam", {}},
      {"no_GetDllName", {kGetDllName}},
      {"no_OnInit", {kOnInit}},
      {"no_OnDestroy", {kOnDestroy}},
      {"no_GetResolution", {kGetResolution, kCapture}},  // Capture asks for the size.
      {"no_SetResolution", {kSetResolution}},
      {"no_DoModalOptionDlg", {kDoModalOptionDlg}},
      {"no_Capture", {kCapture}},
      {"no_exports",
       {kGetDllName, kOnInit, kSetResolution, kGetResolution, kDoModalOptionDlg, kCapture,
        kOnDestroy}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.variant);
    const std::string file = PluginFile(c.variant);
    LensoraPlugIn host;
    EXPECT_EQ(host.Open(file.c_str()), c.failing.count(kGetDllName) == 0);
    ASSERT_TRUE(host.isOpen());
    for (int m = 0; m < kMemberCount; ++m) {
      const Member member = static_cast<Member>(m);
      EXPECT_EQ(CallMember(host, member), c.failing.count(member) == 0) << kMemberNames[m];
    }
    EXPECT_TRUE(host.Close());
    EXPECT_FALSE(host.isOpen());
    EXPECT_FALSE(IsLoaded(file));
  }
}

TEST_F(HostTest, EveryMemberFailsOnClosedHost) {
  LensoraPlugIn never_opened;
  LensoraPlugIn closed;
  ASSERT_TRUE(closed.Open(kFakeCam.c_str()));
  ASSERT_TRUE(closed.Close());
  ClearLog();
  for (LensoraPlugIn* host : {&never_opened, &closed}) {
    SCOPED_TRACE(host == &closed ? "closed" : "never opened");
    for (int m = 0; m < kMemberCount; ++m) {
      EXPECT_FALSE(CallMember(*host, static_cast<Member>(m))) << kMemberNames[m];
    }
    KImageT<K_RGB> image;
    FillKnown(image, 3, 2);
    const std::vector<uint8_t> before = ImageBytes(image);
    EXPECT_FALSE(host->Capture(image));
    EXPECT_EQ(image.width, 3);
    EXPECT_EQ(image.height, 2);
    EXPECT_EQ(ImageBytes(image), before);
  }
  EXPECT_EQ(Log(), Lines{});
}

TEST_F(HostTest, BooleanResultsCountOnlyTheLowByte) {
  struct Call {
    const char* variable;
    std::function<bool(LensoraPlugIn&)> call;
  };
  const Call calls[] = {
      {"FAKECAM_INIT", [](LensoraPlugIn& h) { return h.OnInit(nullptr); }},
      {"FAKECAM_DESTROY", [](LensoraPlugIn& h) { return h.OnDestroy(); }},
      {"FAKECAM_SETRES", [](LensoraPlugIn& h) { return h.SetResolution(8, 8); }},
      {"FAKECAM_GETRES",
       [](LensoraPlugIn& h) {
         int32_t w = 0, hh = 0;
         return h.GetResolution(&w, &hh);
       }},
      {"FAKECAM_DIALOG", [](LensoraPlugIn& h) { return h.DoModalOptionDlg(); }},
  };
  struct Value {
    const char* text;
    bool success;
  };
  const Value values[] = {{"1", true},    {"2", true},    {"255", true},
                          {"257", true},  {"-1", true},   {"0", false},
                          {"256", false}, {"512", false}, {"-256", false}};
  LensoraPlugIn host;
  ASSERT_TRUE(host.Open(kFakeCam.c_str()));
  for (const Call& call : calls) {
    for (const Value& value : values) {
      SCOPED_TRACE(std::string(call.variable) + "=" + value.text);
      SetEnv(call.variable, value.text);
      EXPECT_EQ(call.call(host), value.success);
    }
    unsetenv(call.variable);
  }
}

TEST_F(HostTest, FakeCamStoresResolutionOnlyOnSuccess) {
  LensoraPlugIn host;
  ASSERT_TRUE(host.Open(kFakeCam.c_str()));
  int32_t width = 0, height = 0;
  ASSERT_TRUE(host.GetResolution(&width, &height));
  EXPECT_EQ(width, 640);
  EXPECT_EQ(height, 480);

  SetEnv("FAKECAM_SETRES", "0");
  EXPECT_FALSE(host.SetResolution(100, 50));
  unsetenv("FAKECAM_SETRES");
  ASSERT_TRUE(host.GetResolution(&width, &height));
  EXPECT_EQ(width, 640);
  EXPECT_EQ(height, 480);

  EXPECT_TRUE(host.SetResolution(100, 50));
  ASSERT_TRUE(host.GetResolution(&width, &height));
  EXPECT_EQ(width, 100);
  EXPECT_EQ(height, 50);

  SetEnv("FAKECAM_SIZE", "-5 7");
  ASSERT_TRUE(host.GetResolution(&width, &height));
  EXPECT_EQ(width, -5);
  EXPECT_EQ(height, 7);
}

TEST_F(HostTest, CaptureServesFramesFromFileInTurn) {
  // Two frames of 3 x 2 pixels, 18 bytes each.
  std::vector<uint8_t> frames(36);
  for (size_t i = 0; i < frames.size(); ++i) frames[i] = static_cast<uint8_t>(200 - 5 * i);
  CameraSettings camera;
  serve_frames(camera, dir_ + "/frames.raw", std::string(frames.begin(), frames.end()));
  for (const auto& [name, value] : camera) SetEnv(name.c_str(), value);
  const std::vector<uint8_t> frame0(frames.begin(), frames.begin() + 18);
  const std::vector<uint8_t> frame1(frames.begin() + 18, frames.end());

  LensoraPlugIn host;
  ASSERT_TRUE(host.Open(kFakeCam.c_str()));
  ASSERT_TRUE(host.OnInit(nullptr));
  ASSERT_TRUE(host.SetResolution(3, 2));
  const std::vector<uint8_t>* expected[] = {&frame0, &frame1, &frame0};
  for (size_t k = 0; k < 3; ++k) {
    SCOPED_TRACE(k);
    KImageT<K_RGB> image;
    FillKnown(image, 7, 1);
    ASSERT_TRUE(host.Capture(image));
    EXPECT_EQ(image.width, 3);
    EXPECT_EQ(image.height, 2);
    EXPECT_EQ(ImageBytes(image), *expected[k]);
    // Pixel (2,1) is element 5: bytes 15, 16, 17 as blue, green, red.
    EXPECT_EQ(image.pixel(2, 1).b, (*expected[k])[15]);
    EXPECT_EQ(image.pixel(2, 1).g, (*expected[k])[16]);
    EXPECT_EQ(image.pixel(2, 1).r, (*expected[k])[17]);
  }

  // OnInit starts the frames over, and the size at 640 x 480.
  ASSERT_TRUE(host.OnInit(nullptr));
  ASSERT_TRUE(host.SetResolution(3, 2));
  KImageT<K_RGB> image;
  ASSERT_TRUE(host.Capture(image));
  EXPECT_EQ(ImageBytes(image), frame0);
}

TEST_F(HostTest, CaptureFillsImageOfReportedSize) {
  SetEnv("FAKECAM_SIZE", "100 1");  // 300 bytes, so the byte pattern wraps.
  LensoraPlugIn host;
  ASSERT_TRUE(host.Open(kFakeCam.c_str()));
  for (int k = 0; k < 2; ++k) {
    SCOPED_TRACE(k);
    std::vector<uint8_t> expected(300);
    for (size_t i = 0; i < expected.size(); ++i) expected[i] = static_cast<uint8_t>(i + 7 * k);
    KImageT<K_RGB> image;
    FillKnown(image, 2, 9);
    ASSERT_TRUE(host.Capture(image));
    EXPECT_EQ(image.width, 100);
    EXPECT_EQ(image.height, 1);
    EXPECT_EQ(ImageBytes(image), expected);
  }
}

// Asked for a capture the host must refuse, the image stays as it was and
// the plug-in never gets a buffer.
struct RefusedCase {
  const char* size;         // FAKECAM_SIZE
  const char* frame_bytes;  // FAKECAM_FRAME_BYTES; nullptr: fakecam's own W*H*3 cut to 32 bits.
};

class CaptureRefusedTest : public HostTest {
 protected:
  void ExpectRefused(const RefusedCase& c) {
    SCOPED_TRACE(std::string(c.size) + " / " + (c.frame_bytes ? c.frame_bytes : "default"));
    SetEnv("FAKECAM_SIZE", c.size);
    if (c.frame_bytes) {
      SetEnv("FAKECAM_FRAME_BYTES", c.frame_bytes);
    } else {
      unsetenv("FAKECAM_FRAME_BYTES");
    }
    LensoraPlugIn host;
    ASSERT_TRUE(host.Open(kFakeCam.c_str()));
    ClearLog();
    ExpectCaptureRefusedKeepingImage(host);
    const Lines log = Log();
    ASSERT_FALSE(log.empty());
    EXPECT_EQ(log.front(), "LN_Capture(null)");
    for (const std::string& line : log) EXPECT_NE(line, "LN_Capture(buffer)");
  }
};

TEST_F(CaptureRefusedTest, FrameSizeDifferentFromResolution) {
  // 4 x 3 pixels are 36 bytes.
  const RefusedCase cases[] = {{"4 3", "37"}, {"4 3", "35"}, {"4 3", "0"}, {"4 3", "-1"}};
  for (const RefusedCase& c : cases) ExpectRefused(c);
}

TEST_F(CaptureRefusedTest, NegativeSizes) {
  const RefusedCase cases[] = {
      {"-2 -3", "18"}, {"-2 -3", nullptr}, {"-2 3", "-18"}, {"2 -3", "-18"}, {"-1 0", "0"}};
  for (const RefusedCase& c : cases) ExpectRefused(c);
}

TEST_F(CaptureRefusedTest, SizesWrappingThirtyTwoBits) {
  const RefusedCase cases[] = {
      // 65536 * 65536 * 3 = 3 * 2^32, which is 0 in 32 bits.
      {"65536 65536", "0"},
      {"65536 65536", nullptr},
      // 47000 * 47000 * 3 = 6627000000 = 2^32 + 2332032704, as int32 -1962934592.
      {"47000 47000", "-1962934592"},
      // 65536 * 21846 * 3 = 65536 * 65538 = 2^32 + 131072: positive once wrapped.
      {"65536 21846", "131072"},
      {"65536 21846", nullptr},
  };
  for (const RefusedCase& c : cases) ExpectRefused(c);
}

TEST_F(HostTest, CaptureFailsWhenResolutionCannotBeRead) {
  SetEnv("FAKECAM_GETRES", "0");
  LensoraPlugIn host;
  ASSERT_TRUE(host.Open(kFakeCam.c_str()));
  ClearLog();
  ExpectCaptureRefusedKeepingImage(host);
  EXPECT_EQ(Log(), (Lines{"LN_Capture(null)", "LN_GetResolution"}));
}

TEST_F(HostTest, EmptyResolutionAsksAgainWithNullBufferAndFails) {
  for (const char* size : {"0 0", "0 5", "7 0"}) {
    SCOPED_TRACE(size);
    SetEnv("FAKECAM_SIZE", size);
    LensoraPlugIn host;
    ASSERT_TRUE(host.Open(kFakeCam.c_str()));
    ClearLog();
    KImageT<K_RGB> image;
    FillKnown(image, 5, 2);
    EXPECT_FALSE(host.Capture(image));
    EXPECT_EQ(image.get_raw_buffer(), nullptr);
    EXPECT_EQ(Log(), (Lines{"LN_Capture(null)", "LN_GetResolution", "LN_Capture(null)"}));
  }
}

TEST_F(HostTest, CaptureResultDecidesSuccess) {
  struct Case {
    const char* result;
    bool success;
  };
  // The capture result is a 32-bit count, not a one-byte boolean.
  const Case cases[] = {{"0", false}, {"-1", false}, {"1", true}, {"256", true}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.result);
    SetEnv("FAKECAM_CAPTURE", c.result);
    SetEnv("FAKECAM_SIZE", "2 2");
    LensoraPlugIn host;
    ASSERT_TRUE(host.Open(kFakeCam.c_str()));
    ClearLog();
    KImageT<K_RGB> image;
    EXPECT_EQ(host.Capture(image), c.success);
    EXPECT_EQ(Log(), (Lines{"LN_Capture(null)", "LN_GetResolution", "LN_Capture(buffer)"}));
  }
}

TEST_F(HostTest, OnlyTheChosenCaptureFails) {
  SetEnv("FAKECAM_CAPTURE_FAIL_AT", "2");
  SetEnv("FAKECAM_SIZE", "2 2");
  LensoraPlugIn host;
  ASSERT_TRUE(host.Open(kFakeCam.c_str()));
  KImageT<K_RGB> image;
  EXPECT_TRUE(host.Capture(image));
  EXPECT_FALSE(host.Capture(image));
  EXPECT_TRUE(host.Capture(image));
}

TEST_F(HostTest, UnreadableFramesFileFailsCapture) {
  const struct {
    const char* label;
    std::vector<uint8_t> bytes;  // Empty: no file at all.
  } cases[] = {{"missing", {}}, {"partial frame", std::vector<uint8_t>(13, 9)}};
  SetEnv("FAKECAM_SIZE", "2 2");  // 12-byte frames.
  for (const auto& c : cases) {
    SCOPED_TRACE(c.label);
    const std::string frames_file = dir_ + "/frames_" + std::to_string(c.bytes.size());
    if (!c.bytes.empty()) write_file(frames_file, std::string(c.bytes.begin(), c.bytes.end()));
    SetEnv("FAKECAM_FRAMES", frames_file);
    LensoraPlugIn host;
    ASSERT_TRUE(host.Open(kFakeCam.c_str()));
    KImageT<K_RGB> image;
    EXPECT_FALSE(host.Capture(image));
  }
}

#ifdef _WIN32
// ---- Text in the system's code pages (Windows) ----

// Camera names as DirectShow gives them, in the code page the plug-in hands
// them to the host in: 932 on a Japanese system, 1252 on a western one.
TEST(SystemText, NamesInTheCodePageWithControlsAndMissingCharactersReplaced) {
  const struct {
    const wchar_t* name;
    unsigned code_page;
    std::string bytes;
  } cases[] = {
      {L"Integrated Camera", 1252, "Integrated Camera"},
      {L"\u5185\u8535\u30AB\u30E1\u30E9", 932, "\x93\xE0\x91\xA0\x83\x4A\x83\x81\x83\x89"},
      {L"\u5185\u8535\u30AB\u30E1\u30E9", 1252, "?????"},
      {L"Microsoft\u00AE LifeCam", 1252, "Microsoft\xAE LifeCam"},
      {L"Microsoft\u00AE LifeCam", 932, "Microsoft? LifeCam"},
      // An escape sequence, a C1 control, DEL and a line end never reach a terminal.
      {L"Cam\x1B[2J\u0085x\x7F\r\n", 1252, "Cam?[2J?x???"},
      {L"\u30AB\x1B\u30E1", 932, "\x83\x4A?\x83\x81"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::PrintToString(c.bytes) + " in " + std::to_string(c.code_page));
    EXPECT_EQ(vidmote::system_text(c.name, c.code_page), c.bytes);
  }
}

// A console text with a name from the system: on a Shift_JIS console or in a
// file the text's own bytes, the name made Shift_JIS; on any other console
// UTF-16, each piece from its own code page.
TEST(ConsoleTextPieces, EachPieceConvertedFromItsOwnCodePage) {
  const ConsoleTexts& texts = locale_console_texts();
  char resolution[64];
  snprintf(resolution, sizeof resolution, texts.resolution, 640, 480);
  const struct {
    const char* what;
    ConsoleText text;
    unsigned system_code_page;
    std::string shift_jis;
    std::wstring utf16;
  } cases[] = {
      {"ASCII name", with_system_string(texts.dll_name, "FakeCam"), 1252,
       "DLL\x81\x46"
       "FakeCam\n",
       L"DLL\uFF1AFakeCam\n"},
      {"western name", with_system_string(texts.dll_name, "Cam\xE9ra"), 1252,
       "DLL\x81\x46"
       "Cam?ra\n",
       L"DLL\uFF1ACam\u00E9ra\n"},
      {"Japanese name, Japanese system", with_system_string(texts.dll_name, "\x93\xE0\x91\xA0"),
       932, "DLL\x81\x46\x93\xE0\x91\xA0\n", L"DLL\uFF1A\u5185\u8535\n"},
      {"no name",
       {{resolution, false}},
       1252,
       "\x89\xF0\x91\x9C\x93\x78\x81\x46"
       "640x480\n",
       L"\u89E3\u50CF\u5EA6\uFF1A640x480\n"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    EXPECT_EQ(shift_jis_text(c.text, c.system_code_page), c.shift_jis);
    EXPECT_TRUE(utf16_text(c.text, c.system_code_page) == c.utf16);
  }
}
#endif

}  // namespace
