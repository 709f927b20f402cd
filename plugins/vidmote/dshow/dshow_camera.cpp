#include "dshow_camera.h"

#include <stdio.h>
#include <stdlib.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <future>
#include <iterator>
#include <mutex>
#include <thread>

#include "device_text.h"
#include "dshow_support.h"
#include "frame_convert.h"
#include "frame_timing.h"
#include "streamed_frame.h"

namespace vidmote {

namespace {

// qedit.dll's filters, which mingw-w64's headers name but do not define.
const CLSID kSampleGrabber = {
    0xc1f400a0, 0x3f08, 0x11d3, {0x9f, 0x0b, 0x00, 0x60, 0x08, 0x03, 0x9e, 0x37}};
const CLSID kNullRenderer = {
    0xc1f400a4, 0x3f08, 0x11d3, {0x9f, 0x0b, 0x00, 0x60, 0x08, 0x03, 0x9e, 0x37}};

int64_t now_ns() {
  return std::chrono::duration_cast<std::chrono::nanoseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

std::string hresult_text(const char* what, HRESULT result) {
  char text[96];
  snprintf(text, sizeof text, "%s (error 0x%08lx)", what, static_cast<unsigned long>(result));
  return text;
}

// A camera property's value now, for watching the camera settle, read
// while its reads keep within their budget; 0 where the camera has none.
template <typename Controls>
int64_t property_now(IBaseFilter* source, REFIID id, long property, ControlReads* reads) {
  if (!reads->worth_reading()) return reads->value();
  const int64_t before = now_ns();
  Controls* controls = nullptr;
  long value = 0, flags = 0;
  bool ok = SUCCEEDED(source->QueryInterface(id, reinterpret_cast<void**>(&controls))) && controls;
  if (ok) {
    ok = SUCCEEDED(controls->Get(property, &value, &flags));
    controls->Release();
  }
  reads->read(ok, value, now_ns() - before);
  return reads->value();
}

// Undoes what a failed attempt to connect left in the graph: the filters it
// added (the capture graph builder's Smart Tee after the camera, say) and
// every connection of the camera, the grabber and the renderer. Otherwise
// the camera's pin stays connected, in the format that failed, and no other
// attempt can connect it.
void undo_connections(IGraphBuilder* graph, IBaseFilter* const (&ours)[3]) {
  std::vector<IBaseFilter*> added;
  IEnumFilters* filters = nullptr;
  if (SUCCEEDED(graph->EnumFilters(&filters))) {
    for (IBaseFilter* filter = nullptr; filters->Next(1, &filter, nullptr) == S_OK;) {
      if (std::find(std::begin(ours), std::end(ours), filter) == std::end(ours))
        added.push_back(filter);
      else
        filter->Release();
    }
    filters->Release();
  }
  for (IBaseFilter* filter : added) {
    graph->RemoveFilter(filter);  // which disconnects its pins
    filter->Release();
  }
  for (IBaseFilter* filter : ours) {
    IEnumPins* pins = nullptr;
    if (FAILED(filter->EnumPins(&pins))) continue;
    for (IPin* pin = nullptr; pins->Next(1, &pin, nullptr) == S_OK; pin->Release()) {
      IPin* other = nullptr;
      if (SUCCEEDED(pin->ConnectedTo(&other)) && other) {
        graph->Disconnect(other);
        other->Release();
      }
      graph->Disconnect(pin);
    }
    pins->Release();
  }
}

}  // namespace

// The grabber's callback: keeps the latest frame and counts them.
class FrameSink : public ISampleGrabberCB {
 public:
  virtual ~FrameSink() = default;
  STDMETHODIMP QueryInterface(REFIID id, void** object) override {
    if (!object) return E_POINTER;
    if (id == IID_IUnknown || id == IID_ISampleGrabberCB) {
      *object = static_cast<ISampleGrabberCB*>(this);
      AddRef();
      return S_OK;
    }
    *object = nullptr;
    return E_NOINTERFACE;
  }
  STDMETHODIMP_(ULONG) AddRef() override { return InterlockedIncrement(&references_); }
  STDMETHODIMP_(ULONG) Release() override {
    const LONG left = InterlockedDecrement(&references_);
    if (left == 0) delete this;
    return static_cast<ULONG>(left);
  }
  STDMETHODIMP SampleCB(double /*time*/, IMediaSample* sample) override {
    BYTE* bytes = nullptr;
    if (!sample || FAILED(sample->GetPointer(&bytes)) || !bytes) return S_OK;
    const long used = sample->GetActualDataLength();
    if (used <= 0) return S_OK;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      latest_.assign(bytes, bytes + used);
      ++sequence_;
      last_ns_ = now_ns();
      rate_.frame(last_ns_);
    }
    arrived_.notify_all();
    return S_OK;
  }
  STDMETHODIMP BufferCB(double /*time*/, BYTE* /*buffer*/, long /*length*/) override {
    return S_OK;
  }

  uint64_t sequence() {
    std::lock_guard<std::mutex> lock(mutex_);
    return sequence_;
  }
  // When the last frame arrived; 0 before the first.
  int64_t last_arrival_ns() {
    std::lock_guard<std::mutex> lock(mutex_);
    return last_ns_;
  }
  // The interval between frames: as the camera declares it, or as they
  // arrive when slower.
  void restart_rate(int64_t declared_ns) {
    std::lock_guard<std::mutex> lock(mutex_);
    rate_.set_declared(declared_ns);
    rate_.restart();
  }
  int64_t interval_ns() {
    std::lock_guard<std::mutex> lock(mutex_);
    return rate_.interval_ns();
  }
  // Waits until a frame after `after` arrived or until `until_ns`.
  uint64_t wait(uint64_t after, int64_t until_ns) {
    std::unique_lock<std::mutex> lock(mutex_);
    const int64_t left = until_ns - now_ns();
    if (left > 0)
      arrived_.wait_for(lock, std::chrono::nanoseconds(left), [&] { return sequence_ > after; });
    return sequence_;
  }
  // The latest frame into `frame`, unless it is damaged: then it is counted.
  bool take(const StreamedFrames& frames, uint8_t* frame, FrameTally* tally) {
    std::lock_guard<std::mutex> lock(mutex_);
    ++tally->arrived;
    return usable_streamed_frame(latest_.data(), latest_.size(), frames, &decoded_, frame, tally);
  }

 private:
  LONG references_ = 1;
  std::mutex mutex_;
  std::condition_variable arrived_;
  std::vector<uint8_t> latest_;
  std::vector<uint8_t> decoded_;  // an MJPEG frame, top row first
  uint64_t sequence_ = 0;
  int64_t last_ns_ = 0;
  FrameRate rate_;  // by arrival: sample times are on the graph's clock
};

DshowCamera::DshowCamera(std::wstring display_name, std::wstring friendly_name,
                         std::wstring device_path)
    : display_name_(std::move(display_name)),
      wide_name_(std::move(friendly_name)),
      device_path_(std::move(device_path)),
      friendly_name_(system_text(wide_name_, CP_ACP)),
      settle_choice_(kDefaultSettle) {}

DshowCamera::~DshowCamera() {
  close();
}

bool DshowCamera::is_open() const {
  return graph_ != nullptr;
}

void DshowCamera::close() {
  if (graph_ && graph_->com_thread != GetCurrentThreadId()) {
    // Let go from another thread (the idle watch): that thread joins the
    // process's COM apartment for the release, and the CoInitializeEx of the
    // thread that opened the camera is not undone from here.
    graph_->com = false;
    const bool com = SUCCEEDED(CoInitializeEx(nullptr, COINIT_MULTITHREADED));
    graph_.reset();
    if (com) CoUninitialize();
    return;
  }
  graph_.reset();
}

// A graph whose camera stopped delivering may never stop: a capture filter
// blocked in the driver does not return from Stop (wine's, when the V4L2
// device stops sending frames). So it is stopped and released on a thread of
// its own, and this library stays loaded for that thread's sake. A capture
// whose camera is gone waits at most a second for it (such a graph stops at
// once); one whose camera stopped delivering does not wait, so it fails by
// its bound as on Linux.
void DshowCamera::fail(const std::string& why, bool camera_gone) {
  failure_ = why;
  if (!graph_ || !graph_->running) {
    close();
    return;
  }
  HMODULE self = nullptr;
  GetModuleHandleExA(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_PIN,
                     reinterpret_cast<LPCSTR>(&kSettleChoices), &self);
  // This thread's COM stays initialised: undone now, it could tear COM down
  // under the other thread before that one has initialised its own.
  Graph* graph = graph_.release();
  graph->com = false;
  std::promise<void> released;
  std::future<void> done = released.get_future();
  std::thread([graph, released = std::move(released)]() mutable {
    const bool thread_com = SUCCEEDED(CoInitializeEx(nullptr, COINIT_MULTITHREADED));
    delete graph;
    if (thread_com) CoUninitialize();
    released.set_value();
  }).detach();
  // A graph that can stop (an unplugged camera's stops at once) is let go
  // of before the capture fails: the host may end the process next, and a
  // capture filter torn down while the process ends can crash it (wine's
  // does).
  if (camera_gone) done.wait_for(std::chrono::seconds(1));
}

bool DshowCamera::open() {
  if (is_open()) return true;
  std::unique_ptr<Graph> graph(new Graph);
  graph->com = SUCCEEDED(CoInitializeEx(nullptr, COINIT_MULTITHREADED));
  graph->com_thread = GetCurrentThreadId();
  if (display_name_.empty()) {
    failure_ = "Windows lists no camera of that name";
    return false;
  }
  IBindCtx* context = nullptr;
  IMoniker* moniker = nullptr;
  ULONG eaten = 0;
  HRESULT result = CreateBindCtx(0, &context);
  if (SUCCEEDED(result))
    result = MkParseDisplayName(context, display_name_.c_str(), &eaten, &moniker);
  if (SUCCEEDED(result))
    result = moniker->BindToObject(nullptr, nullptr, IID_IBaseFilter,
                                   reinterpret_cast<void**>(&graph->source));
  release(moniker);
  release(context);
  if (FAILED(result)) {
    failure_ = hresult_text(
        "Windows cannot start it; is it unplugged or in use by another program?", result);
    return false;
  }
  graph_ = std::move(graph);
  return build_graph();
}

// Capture pin (at the size nearest the one wanted) -> sample grabber asking
// for RGB24 -> null renderer.
bool DshowCamera::build_graph() {
  Graph& g = *graph_;
  HRESULT result = CoCreateInstance(CLSID_FilterGraph, nullptr, CLSCTX_INPROC_SERVER,
                                    IID_IGraphBuilder, reinterpret_cast<void**>(&g.graph));
  if (SUCCEEDED(result))
    result = CoCreateInstance(CLSID_CaptureGraphBuilder2, nullptr, CLSCTX_INPROC_SERVER,
                              IID_ICaptureGraphBuilder2, reinterpret_cast<void**>(&g.builder));
  if (SUCCEEDED(result)) result = g.builder->SetFiltergraph(g.graph);
  if (SUCCEEDED(result))
    result = CoCreateInstance(kSampleGrabber, nullptr, CLSCTX_INPROC_SERVER, IID_IBaseFilter,
                              reinterpret_cast<void**>(&g.grabber_filter));
  if (SUCCEEDED(result))
    result = CoCreateInstance(kNullRenderer, nullptr, CLSCTX_INPROC_SERVER, IID_IBaseFilter,
                              reinterpret_cast<void**>(&g.renderer));
  if (FAILED(result)) {
    fail(hresult_text("Windows' DirectShow filters are missing", result));
    return false;
  }
  g.grabber_filter->QueryInterface(IID_ISampleGrabber, reinterpret_cast<void**>(&g.grabber));
  g.graph->QueryInterface(IID_IMediaControl, reinterpret_cast<void**>(&g.control));
  g.graph->QueryInterface(IID_IMediaEvent, reinterpret_cast<void**>(&g.events));
  if (!g.grabber || !g.control || !g.events) {
    fail("Windows' DirectShow filters are incomplete");
    return false;
  }
  g.graph->AddFilter(g.source, L"Camera");
  g.graph->AddFilter(g.grabber_filter, L"Grabber");
  g.graph->AddFilter(g.renderer, L"Renderer");

  // The camera's own YUY2 or MJPEG frames go to the grabber as they are,
  // so that damaged ones are seen and refused as on Linux; any other format
  // Windows' filters turn into RGB24.
  GUID subtype = MEDIASUBTYPE_RGB24;
  std::vector<StreamCapability> capabilities;
  const StreamCapability* chosen = nullptr;
  auto set_format = [&](const StreamCapability& capability) {
    AM_MEDIA_TYPE* type = stream_type(g.config, capability.index);
    const bool set = type && SUCCEEDED(g.config->SetFormat(type));
    free_media_type(type);
    return set;
  };
  if (SUCCEEDED(g.builder->FindInterface(&PIN_CATEGORY_CAPTURE, &MEDIATYPE_Video, g.source,
                                         IID_IAMStreamConfig,
                                         reinterpret_cast<void**>(&g.config)))) {
    capabilities = stream_capabilities(g.config);
    chosen = capability_for(capabilities, wanted_);
    if (chosen && set_format(*chosen) && own_format_rank(chosen->subtype))
      subtype = chosen->subtype;
  }

  g.grabber->SetBufferSamples(FALSE);
  g.grabber->SetOneShot(FALSE);
  auto render = [&](const GUID& frames) {
    AM_MEDIA_TYPE wanted = {};
    wanted.majortype = MEDIATYPE_Video;
    wanted.subtype = frames;
    g.grabber->SetMediaType(&wanted);
    HRESULT rendered = g.builder->RenderStream(&PIN_CATEGORY_CAPTURE, &MEDIATYPE_Video, g.source,
                                               g.grabber_filter, g.renderer);
    if (FAILED(rendered))
      rendered = g.builder->RenderStream(nullptr, &MEDIATYPE_Video, g.source, g.grabber_filter,
                                         g.renderer);
    return rendered;
  };
  result = render(subtype);
  // A camera whose own frames do not reach the grabber as they are still
  // gets Windows' RGB24.
  if (FAILED(result) && subtype != MEDIASUBTYPE_RGB24) {
    undo_connections(g.graph, {g.source, g.grabber_filter, g.renderer});
    // The camera's own RGB24 at that size, where it has one: a Smart Tee
    // (which the capture graph builder puts after a camera without a
    // preview pin) takes whatever format is set, so the one that did not
    // reach the grabber would be offered again.
    for (const StreamCapability& c : capabilities) {
      if (c.subtype == MEDIASUBTYPE_RGB24 && c.size.width == chosen->size.width &&
          c.size.height == chosen->size.height && set_format(c))
        break;
    }
    subtype = MEDIASUBTYPE_RGB24;
    result = render(subtype);
  }
  if (FAILED(result)) {
    fail(hresult_text("Windows cannot turn its frames into RGB", result));
    return false;
  }
  AM_MEDIA_TYPE connected = {};
  FrameSize size;
  int32_t bitmap_height = 0;
  result = g.grabber->GetConnectedMediaType(&connected);
  const bool known = SUCCEEDED(result) && connected.subtype == subtype &&
                     size_of(connected, &size, &bitmap_height, &g.interval_ns);
  if (SUCCEEDED(result)) {
    if (connected.cbFormat) CoTaskMemFree(connected.pbFormat);
    if (connected.pUnk) connected.pUnk->Release();
  }
  if (!known) {
    fail("its frames come in a form the plug-in does not know");
    return false;
  }
  // YUY2 rows are top row first whatever the height's sign.
  if (subtype == MEDIASUBTYPE_RGB24)
    g.frames = {bgr_bitmap_layout(size.width, bitmap_height), false};
  else
    g.frames = {{size.width, size.height, 0, PixelLayout::kYuyv}, subtype == MEDIASUBTYPE_MJPG};
  size_ = size;
  g.sink = new FrameSink;
  g.grabber->SetCallback(g.sink, 0);
  return true;
}

SizeAnswer DshowCamera::set_size(int32_t width, int32_t height) {
  if (width <= 0 || height <= 0 || width > 16384 || height > 16384) return SizeAnswer::kRefused;
  const FrameSize before = wanted_;
  wanted_ = {width, height};
  if (!is_open()) {
    size_ = wanted_;
    return SizeAnswer::kExact;
  }
  close();
  if (!open()) {
    wanted_ = before;  // the camera stays closed: the next open tries this
    return SizeAnswer::kRefused;
  }
  return size_.width == width && size_.height == height ? SizeAnswer::kExact : SizeAnswer::kNearest;
}

std::vector<FrameSize> DshowCamera::offered_sizes() const {
  if (!is_open() || !graph_->config) return FrameSource::offered_sizes();
  std::vector<FrameSize> sizes;
  for (const StreamCapability& capability : stream_capabilities(graph_->config)) {
    const FrameSize size = capability.size;
    if (std::none_of(sizes.begin(), sizes.end(), [&](const FrameSize& s) {
          return s.width == size.width && s.height == size.height;
        }))
      sizes.push_back(size);
  }
  if (sizes.empty()) return FrameSource::offered_sizes();
  return sizes;
}

// Whether the graph reported the camera gone or the stream broken.
bool DshowCamera::device_lost() {
  long code = 0;
  LONG_PTR first = 0, second = 0;
  bool lost = false;
  while (graph_ && graph_->events && graph_->events->GetEvent(&code, &first, &second, 0) == S_OK) {
    if (code == EC_DEVICE_LOST && second == 0) lost = true;
    if (code == EC_ERRORABORT || code == EC_STREAM_ERROR_STOPPED) lost = true;
    graph_->events->FreeEventParams(code, first, second);
  }
  return lost;
}

// Whether Windows still lists the camera: a capture filter may stop
// delivering without a word when its device goes (wine's does).
bool DshowCamera::still_listed() const {
  for (const auto& camera : dshow_cameras())
    if (camera->display_name() == display_name_) return true;
  return false;
}

// Waits for a frame after `after`, until deadline_ns; watches for the camera
// going away every 100 ms, and once frames have stopped for half a second
// (or three intervals) asks every half second whether Windows still lists it.
bool DshowCamera::wait_frames(uint64_t after, int64_t deadline_ns, uint64_t* sequence) {
  int64_t next_listing = 0;
  for (;;) {
    const int64_t now = now_ns();
    *sequence = graph_->sink->wait(after, std::min(deadline_ns, now + 100 * kMillisecond));
    if (*sequence > after) return true;
    const int64_t quiet_for =
        now_ns() - std::max(graph_->sink->last_arrival_ns(), graph_->started_ns);
    bool gone = device_lost();
    if (!gone && quiet_for >= std::max(kSecond / 2, 3 * graph_->sink->interval_ns()) &&
        now_ns() >= next_listing) {
      gone = !still_listed();
      next_listing = now_ns() + kSecond / 2;
    }
    if (gone) {
      fail("stream failed: the camera is gone (unplugged?)", true);
      return false;
    }
    if (now_ns() >= deadline_ns) return false;
  }
}

// Starts the graph and skips frames until the camera has settled. Settling
// by the picture converts each frame into `frame`, reads the exposure and
// gain where the camera has them, and the frame that shows the picture
// steady (or the first usable one past the cap) is the capture's
// (*delivered). A usable frame must come within a capture's bound.
bool DshowCamera::start(uint8_t* frame, bool* delivered) {
  Graph& g = *graph_;
  g.sink->restart_rate(g.interval_ns);
  const HRESULT result = g.control->Run();
  if (FAILED(result)) {
    fail(hresult_text("cannot start streaming", result));
    return false;
  }
  g.running = true;
  const SettleChoice& settle = kSettleChoices[settle_choice_];
  const int64_t started = g.started_ns = now_ns();
  const int64_t settled_at = started + settle.ms * kMillisecond;
  const uint64_t first = g.sink->sequence();
  uint64_t seen = first;
  int64_t last_frame = started;
  PictureSettle picture;
  ControlReads exposure, gain;
  FrameTally tally;
  for (;;) {
    if (!settle.by_picture &&
        !still_settling(static_cast<int>(std::min<uint64_t>(seen - first, 1000)), settle.frames,
                        now_ns(), settled_at))
      return true;
    // By count or time, frames must keep coming; by the picture, a usable
    // one must come within a capture's bound, however readily frames come.
    const int64_t deadline =
        frame_timeout_ns(g.sink->interval_ns()) + (settle.by_picture ? started : last_frame);
    if (now_ns() > deadline || !wait_frames(seen, deadline, &seen)) {
      if (is_open()) fail(tally.no_frame(" after starting"));
      return false;
    }
    last_frame = now_ns();
    if (!settle.by_picture || !g.sink->take(g.frames, frame, &tally)) continue;
    picture.frame(
        last_frame, mean_brightness(frame, size_.width, size_.height),
        property_now<IAMCameraControl>(g.source, IID_IAMCameraControl, CameraControl_Exposure,
                                       &exposure),
        property_now<IAMVideoProcAmp>(g.source, IID_IAMVideoProcAmp, VideoProcAmp_Gain, &gain),
        mean_colour(frame, size_.width, size_.height));
    if (picture.settled() || last_frame >= started + picture_settle_cap_ns(g.sink->interval_ns())) {
      *delivered = true;
      return true;
    }
  }
}

bool DshowCamera::capture(uint8_t* frame) {
  if (!is_open() || !frame) return false;
  if (take_frame(frame)) return true;
  // As on Linux, the reason goes to standard error; the host says only that
  // the capture failed.
  report_line("vidmote: " + printable(friendly_name_) + ": " + printable(failure_) + "\n");
  return false;
}

bool DshowCamera::take_frame(uint8_t* frame) {
  if (!graph_->running) {
    bool delivered = false;
    if (!start(frame, &delivered)) return false;
    if (delivered) return true;
  }
  const int64_t asked = now_ns();
  const int64_t interval = graph_->sink->interval_ns();
  const int64_t deadline = asked + frame_timeout_ns(interval);
  const uint64_t at_request = graph_->sink->sequence();
  uint64_t seen = at_request;
  // Sample times are on the graph's clock, not this one: a frame began at its
  // arrival less an interval, and the grabber keeps no queue of its own (no
  // buffers: the second frame to arrive began after the request).
  const FrameStamp no_stamp = {false, false, 0};
  FrameTally tally;
  for (;;) {
    if (!wait_frames(seen, deadline, &seen)) {
      if (is_open()) fail(tally.no_frame(""));
      return false;
    }
    const FrameArrival arrival = {graph_->sink->last_arrival_ns(), true};
    const CaptureFrame arrived = {frame_start_ns(no_stamp, false, arrival, interval, 0),
                                  static_cast<size_t>(std::min<uint64_t>(seen - at_request, 1000)),
                                  false};
    if (!began_after_request(arrived, 0, asked)) {
      ++tally.arrived;
      ++tally.stale;
      continue;
    }
    if (graph_->sink->take(graph_->frames, frame, &tally)) return true;
  }
}

DshowCamera::Graph::~Graph() {
  if (control && running) control->Stop();
  if (grabber) grabber->SetCallback(nullptr, 0);
  release(config);
  release(events);
  release(control);
  release(renderer);
  release(grabber);
  release(grabber_filter);
  release(builder);
  release(graph);
  release(source);
  release(sink);
  if (com) CoUninitialize();
}

}  // namespace vidmote
