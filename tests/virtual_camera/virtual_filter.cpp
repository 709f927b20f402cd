// The virtual camera's source filter, with the least COM DirectShow needs:
// the filter, its capture pin (stream capabilities, pin category), their
// enumerators, the camera controls, and a thread that pushes frames.
#include "virtual_filter.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>
#include <vector>

#include "virtual_frames.h"

namespace virtual_camera {

LONG objects_alive = 0;

int camera_number(REFCLSID clsid) {
  if (memcmp(&clsid, &kClsidBase, sizeof(CLSID) - 1) != 0) return 0;
  const int number = clsid.Data4[7];
  return number >= 1 && number <= kMostCameras ? number : 0;
}

namespace {

// ---- The choices of the test, from the environment ----

std::string variable(const char* name) {
  const char* value = getenv(name);
  return value ? value : "";
}

int number_variable(const char* name, int otherwise) {
  const std::string text = variable(name);
  return text.empty() ? otherwise : atoi(text.c_str());
}

struct Choices {
  int fps;                // the frame rate declared
  int slow;               // frames come this many declared intervals apart
  bool yuy2, mjpg;        // formats offered beside RGB24
  std::string refuse;     // the subtype that will not connect ("YUY2", "MJPG")
  int cut_every;          // every Nth frame has half its bytes; 0 none
  bool benign;            // MJPEG with stray bytes before restart markers and after the end
  int converge;           // frames over which the picture brightens to its own
  bool hints_only;        // ... or only exposure and gain move, the picture steady
  std::string stop_file;  // once this file exists, frames stop ...
  bool lost;              // ... and the camera reports itself lost (EC_DEVICE_LOST)
  std::string log;        // where what the camera did is written
};

Choices read_choices() {
  Choices c;
  c.fps = std::min(std::max(number_variable("VIRTUAL_CAMERA_FPS", 15), 1), 60);
  c.slow = std::min(std::max(number_variable("VIRTUAL_CAMERA_SLOW", 1), 1), 20);
  const std::string formats = variable("VIRTUAL_CAMERA_FORMATS");
  c.yuy2 = formats.empty() || formats.find("yuy2") != std::string::npos;
  c.mjpg = formats.empty() || formats.find("mjpg") != std::string::npos;
  c.refuse = variable("VIRTUAL_CAMERA_REFUSE");
  c.cut_every = std::max(number_variable("VIRTUAL_CAMERA_CUT_EVERY", 0), 0);
  c.benign = number_variable("VIRTUAL_CAMERA_BENIGN", 0) != 0;
  c.converge = std::max(number_variable("VIRTUAL_CAMERA_CONVERGE", 0), 0);
  c.hints_only = number_variable("VIRTUAL_CAMERA_HINTS_ONLY", 0) != 0;
  c.stop_file = variable("VIRTUAL_CAMERA_STOP_FILE");
  c.lost = variable("VIRTUAL_CAMERA_STOP") == "lost";
  c.log = variable("VIRTUAL_CAMERA_LOG");
  return c;
}

// ---- Media types ----

const char* subtype_name(Subtype subtype) {
  switch (subtype) {
    case Subtype::kYuy2:
      return "YUY2";
    case Subtype::kMjpg:
      return "MJPG";
    default:
      return "RGB24";
  }
}

// The media type of a format at a frame rate; free with clear_type.
AM_MEDIA_TYPE media_type(const FrameFormat& format, int fps) {
  AM_MEDIA_TYPE type = {};
  type.majortype = MEDIATYPE_Video;
  type.formattype = FORMAT_VideoInfo;
  VIDEOINFOHEADER* info = static_cast<VIDEOINFOHEADER*>(CoTaskMemAlloc(sizeof(VIDEOINFOHEADER)));
  ZeroMemory(info, sizeof *info);
  info->AvgTimePerFrame = 10000000 / fps;
  BITMAPINFOHEADER& header = info->bmiHeader;
  header.biSize = sizeof header;
  header.biWidth = format.width;
  header.biHeight = format.height;  // RGB bottom row first; YUY2 and MJPEG whatever the sign
  header.biPlanes = 1;
  header.biSizeImage = static_cast<DWORD>(frame_capacity(format));
  info->dwBitRate = header.biSizeImage * 8 * fps;
  switch (format.subtype) {
    case Subtype::kYuy2:
      type.subtype = MEDIASUBTYPE_YUY2;
      header.biCompression = MAKEFOURCC('Y', 'U', 'Y', '2');
      header.biBitCount = 16;
      break;
    case Subtype::kMjpg:
      type.subtype = MEDIASUBTYPE_MJPG;
      header.biCompression = MAKEFOURCC('M', 'J', 'P', 'G');
      header.biBitCount = 24;
      break;
    case Subtype::kRgb24:
      type.subtype = MEDIASUBTYPE_RGB24;
      header.biCompression = BI_RGB;
      header.biBitCount = 24;
      break;
  }
  type.bFixedSizeSamples = format.subtype != Subtype::kMjpg;
  type.lSampleSize = format.subtype != Subtype::kMjpg ? header.biSizeImage : 0;
  type.cbFormat = sizeof(VIDEOINFOHEADER);
  type.pbFormat = reinterpret_cast<BYTE*>(info);
  return type;
}

void clear_type(AM_MEDIA_TYPE* type) {
  if (type->cbFormat) CoTaskMemFree(type->pbFormat);
  if (type->pUnk) type->pUnk->Release();
  type->cbFormat = 0;
  type->pbFormat = nullptr;
  type->pUnk = nullptr;
}

// The format a media type names, if it is one of `offered`.
bool format_of(const AM_MEDIA_TYPE& type, const std::vector<FrameFormat>& offered,
               FrameFormat* format) {
  if (type.majortype != MEDIATYPE_Video || type.formattype != FORMAT_VideoInfo ||
      type.cbFormat < sizeof(VIDEOINFOHEADER) || !type.pbFormat)
    return false;
  const BITMAPINFOHEADER& header = reinterpret_cast<VIDEOINFOHEADER*>(type.pbFormat)->bmiHeader;
  for (const FrameFormat& f : offered) {
    const AM_MEDIA_TYPE ours = media_type(f, 1);
    const bool same = ours.subtype == type.subtype && header.biWidth == f.width &&
                      abs(header.biHeight) == f.height;
    CoTaskMemFree(ours.pbFormat);
    if (same) {
      *format = f;
      return true;
    }
  }
  return false;
}

// Whether a media type the caller gave (possibly partly) allows ours.
bool allows(const AM_MEDIA_TYPE* wanted, const AM_MEDIA_TYPE& ours) {
  if (!wanted) return true;
  if (wanted->majortype != GUID_NULL && wanted->majortype != ours.majortype) return false;
  if (wanted->subtype != GUID_NULL && wanted->subtype != ours.subtype) return false;
  if (wanted->formattype != GUID_NULL && wanted->formattype != ours.formattype) return false;
  return true;
}

// ---- The filter ----

class Filter;

class Pin final : public IPin, public IAMStreamConfig, public IKsPropertySet {
 public:
  explicit Pin(Filter* filter) : filter_(filter) {}
  ~Pin() { disconnect(); }

  STDMETHODIMP QueryInterface(REFIID id, void** object) override;
  STDMETHODIMP_(ULONG) AddRef() override;
  STDMETHODIMP_(ULONG) Release() override;

  // IPin
  STDMETHODIMP Connect(IPin* receiver, const AM_MEDIA_TYPE* wanted) override;
  STDMETHODIMP ReceiveConnection(IPin*, const AM_MEDIA_TYPE*) override { return E_UNEXPECTED; }
  STDMETHODIMP Disconnect() override;
  STDMETHODIMP ConnectedTo(IPin** pin) override;
  STDMETHODIMP ConnectionMediaType(AM_MEDIA_TYPE* type) override;
  STDMETHODIMP QueryPinInfo(PIN_INFO* info) override;
  STDMETHODIMP QueryDirection(PIN_DIRECTION* direction) override {
    if (!direction) return E_POINTER;
    *direction = PINDIR_OUTPUT;
    return S_OK;
  }
  STDMETHODIMP QueryId(LPWSTR* id) override;
  STDMETHODIMP QueryAccept(const AM_MEDIA_TYPE* type) override;
  STDMETHODIMP EnumMediaTypes(IEnumMediaTypes** types) override;
  STDMETHODIMP QueryInternalConnections(IPin**, ULONG*) override { return E_NOTIMPL; }
  STDMETHODIMP EndOfStream() override { return E_UNEXPECTED; }
  STDMETHODIMP BeginFlush() override { return E_UNEXPECTED; }
  STDMETHODIMP EndFlush() override { return E_UNEXPECTED; }
  STDMETHODIMP NewSegment(REFERENCE_TIME, REFERENCE_TIME, double) override { return S_OK; }

  // IAMStreamConfig
  STDMETHODIMP SetFormat(AM_MEDIA_TYPE* type) override;
  STDMETHODIMP GetFormat(AM_MEDIA_TYPE** type) override;
  STDMETHODIMP GetNumberOfCapabilities(int* count, int* size) override;
  STDMETHODIMP GetStreamCaps(int index, AM_MEDIA_TYPE** type, BYTE* caps) override;

  // IKsPropertySet: the pin's category, capture.
  STDMETHODIMP Set(REFGUID, DWORD, LPVOID, DWORD, LPVOID, DWORD) override {
    return E_PROP_ID_UNSUPPORTED;
  }
  STDMETHODIMP Get(REFGUID set, DWORD id, LPVOID, DWORD, LPVOID data, DWORD size,
                   DWORD* returned) override;
  STDMETHODIMP QuerySupported(REFGUID set, DWORD id, DWORD* support) override;

  // The stream capabilities, in their order; the types the pin connects
  // with, the format set first.
  std::vector<FrameFormat> capabilities() const;
  std::vector<FrameFormat> offered() const;
  // Called by the filter as it changes state.
  HRESULT commit();
  void decommit();
  IMemAllocator* allocator() const { return allocator_; }
  IMemInputPin* input() const { return input_; }
  bool connected_format(FrameFormat* format) const {
    *format = format_;
    return connected_ != nullptr;
  }

 private:
  HRESULT try_connect(IPin* receiver, const FrameFormat& format);
  void disconnect();

  Filter* filter_;
  IPin* connected_ = nullptr;
  IMemInputPin* input_ = nullptr;
  IMemAllocator* allocator_ = nullptr;
  FrameFormat format_ = {Subtype::kYuy2, 640, 480};
  bool format_set_ = false;
};

// One of the filter's control interfaces (alike in shape), answering for
// one property: exposure of IAMCameraControl, gain of IAMVideoProcAmp.
template <typename Interface, long kProperty>
class OneControl final : public Interface {
 public:
  explicit OneControl(Filter* filter) : filter_(filter) {}
  STDMETHODIMP QueryInterface(REFIID id, void** object) override;
  STDMETHODIMP_(ULONG) AddRef() override;
  STDMETHODIMP_(ULONG) Release() override;
  STDMETHODIMP GetRange(long property, long* low, long* high, long* step, long* normal,
                        long* flags) override;
  STDMETHODIMP Set(long property, long value, long) override {
    long low, high, step, normal, flags;
    if (FAILED(GetRange(property, &low, &high, &step, &normal, &flags)))
      return E_PROP_ID_UNSUPPORTED;
    return value >= low && value <= high ? S_OK : E_INVALIDARG;
  }
  STDMETHODIMP Get(long property, long* value, long* flags) override;

 private:
  Filter* filter_;
};

class Filter final : public IBaseFilter {
 public:
  explicit Filter(int number)
      : number_(number), choices_(read_choices()), pin_(this), exposure_(this), gain_(this) {
    InterlockedIncrement(&objects_alive);
  }
  ~Filter() {
    stop_pushing(true);
    release_clock();
    InterlockedDecrement(&objects_alive);
  }

  STDMETHODIMP QueryInterface(REFIID id, void** object) override {
    if (!object) return E_POINTER;
    if (id == IID_IUnknown || id == IID_IPersist || id == IID_IMediaFilter ||
        id == IID_IBaseFilter) {
      *object = static_cast<IBaseFilter*>(this);
    } else if (id == IID_IAMCameraControl) {
      *object = static_cast<IAMCameraControl*>(&exposure_);
    } else if (id == IID_IAMVideoProcAmp) {
      *object = static_cast<IAMVideoProcAmp*>(&gain_);
    } else {
      *object = nullptr;
      return E_NOINTERFACE;
    }
    AddRef();
    return S_OK;
  }
  STDMETHODIMP_(ULONG) AddRef() override { return InterlockedIncrement(&references_); }
  STDMETHODIMP_(ULONG) Release() override {
    const LONG left = InterlockedDecrement(&references_);
    if (left == 0) delete this;
    return static_cast<ULONG>(left);
  }

  // IPersist, IMediaFilter
  STDMETHODIMP GetClassID(CLSID* clsid) override {
    if (!clsid) return E_POINTER;
    *clsid = kClsidBase;
    clsid->Data4[7] = static_cast<unsigned char>(number_);
    return S_OK;
  }
  STDMETHODIMP Stop() override {
    std::lock_guard<std::mutex> hold(state_lock_);
    stop_pushing(true);
    if (state_ != State_Stopped) log("stopped");
    state_ = State_Stopped;
    return S_OK;
  }
  STDMETHODIMP Pause() override {
    std::lock_guard<std::mutex> hold(state_lock_);
    if (state_ == State_Stopped) {
      const HRESULT committed = pin_.commit();
      if (FAILED(committed)) return committed;
    }
    // A live source delivers nothing while paused. Its thread is not waited
    // for here: the graph pauses the renderer first, which then holds a
    // frame being delivered until the graph stops it.
    delivering_ = false;
    state_ = State_Paused;
    return S_OK;
  }
  STDMETHODIMP Run(REFERENCE_TIME start) override {
    if (state_ == State_Stopped) {
      const HRESULT paused = Pause();
      if (FAILED(paused)) return paused;
    }
    std::lock_guard<std::mutex> hold(state_lock_);
    start_time_ = start;
    state_ = State_Running;
    delivering_ = true;
    FrameFormat format;
    if (pin_.connected_format(&format) && !pusher_.joinable()) {
      stopping_ = false;
      pusher_ = std::thread([this, format] { push(format); });
    }
    return S_OK;
  }
  STDMETHODIMP GetState(DWORD, FILTER_STATE* state) override {
    if (!state) return E_POINTER;
    *state = state_;
    return state_ == State_Paused ? VFW_S_CANT_CUE : S_OK;
  }
  STDMETHODIMP SetSyncSource(IReferenceClock* clock) override {
    std::lock_guard<std::mutex> hold(clock_lock_);
    if (clock) clock->AddRef();
    release_clock();
    clock_ = clock;
    return S_OK;
  }
  STDMETHODIMP GetSyncSource(IReferenceClock** clock) override {
    if (!clock) return E_POINTER;
    std::lock_guard<std::mutex> hold(clock_lock_);
    *clock = clock_;
    if (clock_) clock_->AddRef();
    return S_OK;
  }

  // IBaseFilter
  STDMETHODIMP EnumPins(IEnumPins** pins) override;
  STDMETHODIMP FindPin(LPCWSTR id, IPin** pin) override {
    if (!id || !pin) return E_POINTER;
    *pin = nullptr;
    if (wcscmp(id, L"Capture") != 0) return VFW_E_NOT_FOUND;
    *pin = &pin_;
    pin_.AddRef();
    return S_OK;
  }
  STDMETHODIMP QueryFilterInfo(FILTER_INFO* info) override {
    if (!info) return E_POINTER;
    lstrcpynW(info->achName, name_.c_str(), MAX_FILTER_NAME);
    info->pGraph = graph_;
    if (graph_) graph_->AddRef();
    return S_OK;
  }
  // The graph holds the filter; the filter does not hold the graph.
  STDMETHODIMP JoinFilterGraph(IFilterGraph* graph, LPCWSTR name) override {
    graph_ = graph;
    name_ = name ? name : L"";
    return S_OK;
  }
  STDMETHODIMP QueryVendorInfo(LPWSTR*) override { return E_NOTIMPL; }

  // Exposure and gain move while the picture converges, as a camera's auto
  // exposure reports them.
  long control_value(long property) {
    const unsigned n = frames_made();
    const int left = n < static_cast<unsigned>(choices_.converge) ? choices_.converge - n : 0;
    return property == CameraControl_Exposure ? 100 + left : 10 + left / 2;
  }

  Pin& pin() { return pin_; }
  const Choices& choices() const { return choices_; }
  void log(const std::string& line) {
    if (choices_.log.empty()) return;
    if (FILE* file = fopen(choices_.log.c_str(), "ab")) {
      fprintf(file, "camera %d: %s\n", number_, line.c_str());
      fclose(file);
    }
  }

 private:
  unsigned frames_made() {
    std::lock_guard<std::mutex> hold(frame_lock_);
    return frame_number_;
  }
  void release_clock() {
    if (clock_) clock_->Release();
    clock_ = nullptr;
  }
  // Decommitting the allocator first frees a thread waiting for a buffer.
  void stop_pushing(bool decommit = false) {
    {
      std::lock_guard<std::mutex> hold(frame_lock_);
      stopping_ = true;
    }
    wake_.notify_all();
    if (decommit) pin_.decommit();
    if (pusher_.joinable()) pusher_.join();
  }
  bool stopped_by_test() const {
    return !choices_.stop_file.empty() &&
           GetFileAttributesA(choices_.stop_file.c_str()) != INVALID_FILE_ATTRIBUTES;
  }
  REFERENCE_TIME stream_time(REFERENCE_TIME otherwise) {
    std::lock_guard<std::mutex> hold(clock_lock_);
    REFERENCE_TIME now = 0;
    if (!clock_ || FAILED(clock_->GetTime(&now))) return otherwise;
    return now - start_time_;
  }
  void push(FrameFormat format);
  bool deliver(const FrameFormat& format, REFERENCE_TIME interval);
  void report_lost();

  LONG references_ = 1;
  const int number_;
  const Choices choices_;
  Pin pin_;
  OneControl<IAMCameraControl, CameraControl_Exposure> exposure_;
  OneControl<IAMVideoProcAmp, VideoProcAmp_Gain> gain_;
  std::mutex state_lock_;
  FILTER_STATE state_ = State_Stopped;
  IFilterGraph* graph_ = nullptr;
  std::wstring name_;
  std::mutex clock_lock_;
  IReferenceClock* clock_ = nullptr;
  REFERENCE_TIME start_time_ = 0;
  std::mutex frame_lock_;
  std::condition_variable wake_;
  bool stopping_ = false;
  std::atomic<bool> delivering_{false};  // running, not paused
  unsigned frame_number_ = 0;            // frames made since the filter was made
  std::thread pusher_;
};

// The control interfaces and the pin live and die with their filter.
template <typename Interface, long kProperty>
STDMETHODIMP OneControl<Interface, kProperty>::QueryInterface(REFIID id, void** object) {
  return filter_->QueryInterface(id, object);
}
template <typename Interface, long kProperty>
STDMETHODIMP_(ULONG)
OneControl<Interface, kProperty>::AddRef() {
  return filter_->AddRef();
}
template <typename Interface, long kProperty>
STDMETHODIMP_(ULONG)
OneControl<Interface, kProperty>::Release() {
  return filter_->Release();
}
template <typename Interface, long kProperty>
STDMETHODIMP OneControl<Interface, kProperty>::GetRange(long property, long* low, long* high,
                                                        long* step, long* normal, long* flags) {
  if (!low || !high || !step || !normal || !flags) return E_POINTER;
  if (property != kProperty) return E_PROP_ID_UNSUPPORTED;
  *low = 0;
  *high = 1000;
  *step = 1;
  *normal = kProperty == CameraControl_Exposure ? 100 : 10;
  *flags = CameraControl_Flags_Auto;
  return S_OK;
}
template <typename Interface, long kProperty>
STDMETHODIMP OneControl<Interface, kProperty>::Get(long property, long* value, long* flags) {
  if (!value || !flags) return E_POINTER;
  if (property != kProperty) return E_PROP_ID_UNSUPPORTED;
  *value = filter_->control_value(kProperty);
  *flags = CameraControl_Flags_Auto;
  return S_OK;
}

// The pin lives and dies with its filter.
STDMETHODIMP Pin::QueryInterface(REFIID id, void** object) {
  if (!object) return E_POINTER;
  if (id == IID_IUnknown || id == IID_IPin) {
    *object = static_cast<IPin*>(this);
  } else if (id == IID_IAMStreamConfig) {
    *object = static_cast<IAMStreamConfig*>(this);
  } else if (id == IID_IKsPropertySet) {
    *object = static_cast<IKsPropertySet*>(this);
  } else {
    *object = nullptr;
    return E_NOINTERFACE;
  }
  AddRef();
  return S_OK;
}
STDMETHODIMP_(ULONG) Pin::AddRef() {
  return filter_->AddRef();
}
STDMETHODIMP_(ULONG) Pin::Release() {
  return filter_->Release();
}

std::vector<FrameFormat> Pin::capabilities() const {
  const Choices& c = filter_->choices();
  std::vector<FrameFormat> all;
  for (Subtype subtype : {Subtype::kYuy2, Subtype::kMjpg, Subtype::kRgb24}) {
    if ((subtype == Subtype::kYuy2 && !c.yuy2) || (subtype == Subtype::kMjpg && !c.mjpg)) continue;
    all.push_back({subtype, 640, 480});
    all.push_back({subtype, 320, 240});
  }
  return all;
}

std::vector<FrameFormat> Pin::offered() const {
  std::vector<FrameFormat> all = capabilities();
  if (!format_set_) return all;
  // The format set first, then the others of its size.
  std::stable_sort(all.begin(), all.end(), [&](const FrameFormat& a, const FrameFormat& b) {
    auto rank = [&](const FrameFormat& f) {
      if (f.width != format_.width || f.height != format_.height) return 2;
      return f.subtype == format_.subtype ? 0 : 1;
    };
    return rank(a) < rank(b);
  });
  return all;
}

HRESULT Pin::try_connect(IPin* receiver, const FrameFormat& format) {
  AM_MEDIA_TYPE type = media_type(format, filter_->choices().fps);
  HRESULT result = receiver->ReceiveConnection(this, &type);
  clear_type(&type);
  if (result != S_OK) return FAILED(result) ? result : VFW_E_TYPE_NOT_ACCEPTED;
  // The allocator: the receiver's, or the system's memory allocator.
  IMemInputPin* input = nullptr;
  result = receiver->QueryInterface(IID_IMemInputPin, reinterpret_cast<void**>(&input));
  ALLOCATOR_PROPERTIES wanted = {}, got = {};
  if (SUCCEEDED(result)) input->GetAllocatorRequirements(&wanted);
  IMemAllocator* allocator = nullptr;
  if (SUCCEEDED(result)) {
    wanted.cBuffers = std::max<long>(wanted.cBuffers, 3);
    wanted.cbBuffer = static_cast<long>(frame_capacity(format));
    wanted.cbAlign = std::max<long>(wanted.cbAlign, 1);
    for (int own = 0; own < 2; ++own) {
      if (own ? FAILED(CoCreateInstance(CLSID_MemoryAllocator, nullptr, CLSCTX_INPROC_SERVER,
                                        IID_IMemAllocator, reinterpret_cast<void**>(&allocator)))
              : FAILED(input->GetAllocator(&allocator)))
        continue;
      if (SUCCEEDED(allocator->SetProperties(&wanted, &got)) && got.cbBuffer >= wanted.cbBuffer &&
          SUCCEEDED(input->NotifyAllocator(allocator, FALSE)))
        break;
      allocator->Release();
      allocator = nullptr;
    }
  }
  if (!allocator) {
    if (input) input->Release();
    receiver->Disconnect();
    return VFW_E_NO_ALLOCATOR;
  }
  receiver->AddRef();
  connected_ = receiver;
  input_ = input;
  allocator_ = allocator;
  format_ = format;
  return S_OK;
}

STDMETHODIMP Pin::Connect(IPin* receiver, const AM_MEDIA_TYPE* wanted) {
  if (!receiver) return E_POINTER;
  if (connected_) return VFW_E_ALREADY_CONNECTED;
  for (const FrameFormat& format : offered()) {
    const AM_MEDIA_TYPE type = media_type(format, 1);
    const bool allowed = allows(wanted, type);
    CoTaskMemFree(type.pbFormat);
    if (!allowed) continue;
    // The subtype the test chose will not connect: the receiver is not
    // even asked.
    if (filter_->choices().refuse == subtype_name(format.subtype)) {
      filter_->log(std::string("refused ") + subtype_name(format.subtype));
      continue;
    }
    if (try_connect(receiver, format) == S_OK) {
      filter_->log(std::string("connected ") + subtype_name(format.subtype) + " " +
                   std::to_string(format.width) + "x" + std::to_string(format.height));
      return S_OK;
    }
  }
  return VFW_E_NO_ACCEPTABLE_TYPES;
}

void Pin::disconnect() {
  if (allocator_) allocator_->Release();
  if (input_) input_->Release();
  if (connected_) connected_->Release();
  allocator_ = nullptr;
  input_ = nullptr;
  connected_ = nullptr;
}

STDMETHODIMP Pin::Disconnect() {
  if (!connected_) return S_FALSE;
  disconnect();
  return S_OK;
}

STDMETHODIMP Pin::ConnectedTo(IPin** pin) {
  if (!pin) return E_POINTER;
  *pin = connected_;
  if (!connected_) return VFW_E_NOT_CONNECTED;
  connected_->AddRef();
  return S_OK;
}

STDMETHODIMP Pin::ConnectionMediaType(AM_MEDIA_TYPE* type) {
  if (!type) return E_POINTER;
  if (!connected_) {
    ZeroMemory(type, sizeof *type);
    return VFW_E_NOT_CONNECTED;
  }
  *type = media_type(format_, filter_->choices().fps);
  return S_OK;
}

STDMETHODIMP Pin::QueryPinInfo(PIN_INFO* info) {
  if (!info) return E_POINTER;
  info->pFilter = filter_;
  filter_->AddRef();
  info->dir = PINDIR_OUTPUT;
  lstrcpynW(info->achName, L"Capture", MAX_PIN_NAME);
  return S_OK;
}

STDMETHODIMP Pin::QueryId(LPWSTR* id) {
  if (!id) return E_POINTER;
  *id = static_cast<LPWSTR>(CoTaskMemAlloc(sizeof L"Capture"));
  memcpy(*id, L"Capture", sizeof L"Capture");
  return S_OK;
}

STDMETHODIMP Pin::QueryAccept(const AM_MEDIA_TYPE* type) {
  FrameFormat format;
  return type && format_of(*type, offered(), &format) ? S_OK : S_FALSE;
}

// A list of media types, enumerated.
class TypeList final : public IEnumMediaTypes {
 public:
  TypeList(std::vector<FrameFormat> formats, int fps, size_t at = 0)
      : formats_(std::move(formats)), fps_(fps), at_(at) {}
  STDMETHODIMP QueryInterface(REFIID id, void** object) override {
    if (!object) return E_POINTER;
    *object = nullptr;
    if (id != IID_IUnknown && id != IID_IEnumMediaTypes) return E_NOINTERFACE;
    *object = this;
    AddRef();
    return S_OK;
  }
  STDMETHODIMP_(ULONG) AddRef() override { return InterlockedIncrement(&references_); }
  STDMETHODIMP_(ULONG) Release() override {
    const LONG left = InterlockedDecrement(&references_);
    if (left == 0) delete this;
    return static_cast<ULONG>(left);
  }
  STDMETHODIMP Next(ULONG count, AM_MEDIA_TYPE** types, ULONG* fetched) override {
    if (!types) return E_POINTER;
    ULONG n = 0;
    for (; n < count && at_ < formats_.size(); ++n, ++at_) {
      AM_MEDIA_TYPE type = media_type(formats_[at_], fps_);
      types[n] = static_cast<AM_MEDIA_TYPE*>(CoTaskMemAlloc(sizeof(AM_MEDIA_TYPE)));
      *types[n] = type;
    }
    if (fetched) *fetched = n;
    return n == count ? S_OK : S_FALSE;
  }
  STDMETHODIMP Skip(ULONG count) override {
    at_ = std::min<size_t>(formats_.size(), at_ + count);
    return at_ < formats_.size() ? S_OK : S_FALSE;
  }
  STDMETHODIMP Reset() override {
    at_ = 0;
    return S_OK;
  }
  STDMETHODIMP Clone(IEnumMediaTypes** copy) override {
    if (!copy) return E_POINTER;
    *copy = new TypeList(formats_, fps_, at_);
    return S_OK;
  }

 private:
  LONG references_ = 1;
  const std::vector<FrameFormat> formats_;
  const int fps_;
  size_t at_;
};

STDMETHODIMP Pin::EnumMediaTypes(IEnumMediaTypes** types) {
  if (!types) return E_POINTER;
  *types = new TypeList(offered(), filter_->choices().fps);
  return S_OK;
}

STDMETHODIMP Pin::SetFormat(AM_MEDIA_TYPE* type) {
  if (!type) return E_POINTER;
  FrameFormat format;
  if (!format_of(*type, capabilities(), &format)) return VFW_E_INVALIDMEDIATYPE;
  if (connected_ && (format.subtype != format_.subtype || format.width != format_.width))
    return VFW_E_ALREADY_CONNECTED;
  format_ = format;
  format_set_ = true;
  return S_OK;
}

STDMETHODIMP Pin::GetFormat(AM_MEDIA_TYPE** type) {
  if (!type) return E_POINTER;
  const AM_MEDIA_TYPE current = media_type(format_, filter_->choices().fps);
  *type = static_cast<AM_MEDIA_TYPE*>(CoTaskMemAlloc(sizeof(AM_MEDIA_TYPE)));
  **type = current;
  return S_OK;
}

STDMETHODIMP Pin::GetNumberOfCapabilities(int* count, int* size) {
  if (!count || !size) return E_POINTER;
  *count = static_cast<int>(capabilities().size());
  *size = sizeof(VIDEO_STREAM_CONFIG_CAPS);
  return S_OK;
}

STDMETHODIMP Pin::GetStreamCaps(int index, AM_MEDIA_TYPE** type, BYTE* caps) {
  if (!type || !caps) return E_POINTER;
  const std::vector<FrameFormat> formats = capabilities();
  if (index < 0 || index >= static_cast<int>(formats.size())) return S_FALSE;
  const FrameFormat& format = formats[index];
  const int fps = filter_->choices().fps;
  const AM_MEDIA_TYPE made = media_type(format, fps);
  *type = static_cast<AM_MEDIA_TYPE*>(CoTaskMemAlloc(sizeof(AM_MEDIA_TYPE)));
  **type = made;
  VIDEO_STREAM_CONFIG_CAPS* c = reinterpret_cast<VIDEO_STREAM_CONFIG_CAPS*>(caps);
  ZeroMemory(c, sizeof *c);
  c->guid = FORMAT_VideoInfo;
  c->InputSize = c->MinCroppingSize = c->MaxCroppingSize = {format.width, format.height};
  c->MinOutputSize = c->MaxOutputSize = {format.width, format.height};
  c->CropGranularityX = c->CropGranularityY = c->OutputGranularityX = c->OutputGranularityY = 1;
  c->MinFrameInterval = c->MaxFrameInterval = 10000000 / fps;
  c->MinBitsPerSecond = c->MaxBitsPerSecond =
      static_cast<LONG>(frame_capacity(format) * 8 * static_cast<size_t>(fps));
  return S_OK;
}

STDMETHODIMP Pin::Get(REFGUID set, DWORD id, LPVOID, DWORD, LPVOID data, DWORD size,
                      DWORD* returned) {
  if (set != AMPROPSETID_Pin) return E_PROP_SET_UNSUPPORTED;
  if (id != AMPROPERTY_PIN_CATEGORY) return E_PROP_ID_UNSUPPORTED;
  if (returned) *returned = sizeof(GUID);
  if (!data) return returned ? S_OK : E_POINTER;
  if (size < sizeof(GUID)) return E_UNEXPECTED;
  *static_cast<GUID*>(data) = PIN_CATEGORY_CAPTURE;
  return S_OK;
}

STDMETHODIMP Pin::QuerySupported(REFGUID set, DWORD id, DWORD* support) {
  if (set != AMPROPSETID_Pin) return E_PROP_SET_UNSUPPORTED;
  if (id != AMPROPERTY_PIN_CATEGORY) return E_PROP_ID_UNSUPPORTED;
  if (support) *support = KSPROPERTY_SUPPORT_GET;
  return S_OK;
}

HRESULT Pin::commit() {
  return allocator_ ? allocator_->Commit() : S_OK;
}

void Pin::decommit() {
  if (allocator_) allocator_->Decommit();
}

// A list of the filter's one pin.
class PinList final : public IEnumPins {
 public:
  PinList(IPin* pin, ULONG at = 0) : pin_(pin), at_(at) { pin_->AddRef(); }
  ~PinList() { pin_->Release(); }
  STDMETHODIMP QueryInterface(REFIID id, void** object) override {
    if (!object) return E_POINTER;
    *object = nullptr;
    if (id != IID_IUnknown && id != IID_IEnumPins) return E_NOINTERFACE;
    *object = this;
    AddRef();
    return S_OK;
  }
  STDMETHODIMP_(ULONG) AddRef() override { return InterlockedIncrement(&references_); }
  STDMETHODIMP_(ULONG) Release() override {
    const LONG left = InterlockedDecrement(&references_);
    if (left == 0) delete this;
    return static_cast<ULONG>(left);
  }
  STDMETHODIMP Next(ULONG count, IPin** pins, ULONG* fetched) override {
    if (!pins) return E_POINTER;
    ULONG n = 0;
    if (count > 0 && at_ == 0) {
      pins[n++] = pin_;
      pin_->AddRef();
      at_ = 1;
    }
    if (fetched) *fetched = n;
    return n == count ? S_OK : S_FALSE;
  }
  STDMETHODIMP Skip(ULONG count) override {
    at_ = std::min<ULONG>(1, at_ + count);
    return count == 0 || at_ == 1 ? S_OK : S_FALSE;
  }
  STDMETHODIMP Reset() override {
    at_ = 0;
    return S_OK;
  }
  STDMETHODIMP Clone(IEnumPins** copy) override {
    if (!copy) return E_POINTER;
    *copy = new PinList(pin_, at_);
    return S_OK;
  }

 private:
  LONG references_ = 1;
  IPin* pin_;
  ULONG at_;
};

STDMETHODIMP Filter::EnumPins(IEnumPins** pins) {
  if (!pins) return E_POINTER;
  *pins = new PinList(&pin_);
  return S_OK;
}

// Tells the graph the camera is gone, as a capture filter does when its
// device is unplugged.
void Filter::report_lost() {
  IMediaEventSink* sink = nullptr;
  if (graph_ &&
      SUCCEEDED(graph_->QueryInterface(IID_IMediaEventSink, reinterpret_cast<void**>(&sink)))) {
    sink->Notify(EC_DEVICE_LOST, reinterpret_cast<LONG_PTR>(static_cast<IBaseFilter*>(this)), 0);
    sink->Release();
    log("reported the camera lost");
  }
}

// One frame to the pin downstream; false when the stream is over.
bool Filter::deliver(const FrameFormat& format, REFERENCE_TIME interval) {
  unsigned n;
  {
    std::lock_guard<std::mutex> hold(frame_lock_);
    n = frame_number_++;
  }
  FrameChoice choice;
  if (!choices_.hints_only)
    choice.offset = converging_offset(n, static_cast<unsigned>(choices_.converge));
  choice.benign = choices_.benign;
  choice.cut = choices_.cut_every > 0 && n % choices_.cut_every == 0;
  const std::vector<uint8_t> bytes = frame_bytes(format, n, choice);
  IMediaSample* sample = nullptr;
  if (FAILED(pin_.allocator()->GetBuffer(&sample, nullptr, nullptr, 0)) || !sample) return false;
  BYTE* data = nullptr;
  if (FAILED(sample->GetPointer(&data)) || sample->GetSize() < static_cast<long>(bytes.size())) {
    sample->Release();
    return false;
  }
  memcpy(data, bytes.data(), bytes.size());
  sample->SetActualDataLength(static_cast<long>(bytes.size()));
  REFERENCE_TIME begun = stream_time(static_cast<REFERENCE_TIME>(n) * interval);
  REFERENCE_TIME ended = begun + interval;
  sample->SetTime(&begun, &ended);
  sample->SetSyncPoint(TRUE);
  sample->SetDiscontinuity(n == 0);
  const HRESULT received = pin_.input()->Receive(sample);
  sample->Release();
  return SUCCEEDED(received);
}

// Pushes frames at the declared rate (or `slow` times slower) until the
// filter stops; once the test's stop file exists, none more.
void Filter::push(FrameFormat format) {
  const bool com = SUCCEEDED(CoInitializeEx(nullptr, COINIT_MULTITHREADED));
  const REFERENCE_TIME interval = 10000000 / choices_.fps;
  const auto period = std::chrono::microseconds(interval / 10 * choices_.slow);
  auto next = std::chrono::steady_clock::now();
  bool stopped_reported = false;
  log(std::string("streaming ") + subtype_name(format.subtype) + " " +
      std::to_string(format.width) + "x" + std::to_string(format.height));
  for (;;) {
    {
      std::unique_lock<std::mutex> hold(frame_lock_);
      if (wake_.wait_until(hold, next, [this] { return stopping_; })) break;
    }
    next += period;
    if (!delivering_) continue;
    if (stopped_by_test()) {
      if (!stopped_reported) {
        log("frames stopped");
        if (choices_.lost) report_lost();
        stopped_reported = true;
      }
      continue;
    }
    if (!deliver(format, interval)) break;
  }
  if (com) CoUninitialize();
}

}  // namespace

IBaseFilter* new_filter(int number) {
  if (number < 1 || number > kMostCameras) return nullptr;
  return new Filter(number);
}

}  // namespace virtual_camera
