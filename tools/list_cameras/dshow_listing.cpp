// The machine's DirectShow video input devices, in the order and with the
// verdicts of the default plug-in, each read through its moniker: the
// property bag's names, the capture pin's stream capabilities, the video
// processing and camera control ranges.
#include <stdio.h>
#include <stdlib.h>

#include <algorithm>

#include "cameras.h"
#include "device_text.h"
#include "dshow_support.h"
#include "machine_listing.h"

namespace list_cameras {

const char kPlugInFile[] = "Vidmote.dll";
const char kDeviceHelp[] = "a camera's device path or name";

namespace {

using vidmote::free_media_type;
using vidmote::release;

const uint64_t kReferenceSecond = 10000000;  // REFERENCE_TIME: 100 ns units

std::string utf8_of(const std::wstring& text) {
  if (text.empty()) return std::string();
  const int size = WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()),
                                       nullptr, 0, nullptr, nullptr);
  std::string out(static_cast<size_t>(std::max(size, 0)), '\0');
  if (size > 0)
    WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), &out[0], size,
                        nullptr, nullptr);
  return out;
}

std::string hresult_text(const char* what, HRESULT result) {
  char text[32];
  snprintf(text, sizeof text, " (error 0x%08lx)", static_cast<unsigned long>(result));
  return what + std::string(text);
}

// A text property of the device's property bag; "" when it has none.
std::string bag_text(IPropertyBag* bag, const wchar_t* name) {
  VARIANT value;
  VariantInit(&value);
  std::string text;
  if (SUCCEEDED(bag->Read(name, &value, nullptr)) && value.vt == VT_BSTR && value.bstrVal)
    text = vidmote::printable(utf8_of(value.bstrVal));
  VariantClear(&value);
  return text;
}

// The capture pin's stream configuration: the output pin of the capture
// category, else the first output pin that has one.
IAMStreamConfig* stream_config_of(IBaseFilter* filter) {
  IEnumPins* pins = nullptr;
  if (FAILED(filter->EnumPins(&pins))) return nullptr;
  IAMStreamConfig* found = nullptr;
  IPin* pin = nullptr;
  for (int n = 0; n < 64 && pins->Next(1, &pin, nullptr) == S_OK; ++n) {
    PIN_DIRECTION direction;
    IAMStreamConfig* config = nullptr;
    bool capture = false;
    if (SUCCEEDED(pin->QueryDirection(&direction)) && direction == PINDIR_OUTPUT &&
        SUCCEEDED(pin->QueryInterface(IID_IAMStreamConfig, reinterpret_cast<void**>(&config)))) {
      GUID category = GUID_NULL;
      DWORD returned = 0;
      IKsPropertySet* properties = nullptr;
      if (SUCCEEDED(
              pin->QueryInterface(IID_IKsPropertySet, reinterpret_cast<void**>(&properties)))) {
        properties->Get(AMPROPSETID_Pin, AMPROPERTY_PIN_CATEGORY, nullptr, 0, &category,
                        sizeof category, &returned);
        release(properties);
      }
      capture = category == PIN_CATEGORY_CAPTURE;
      if (!found || capture) std::swap(found, config);
      release(config);
    }
    release(pin);
    if (capture) break;
  }
  release(pins);
  return found;
}

// One stream capability: its size (and the sizes it can be set to) and its
// frame rate (and the range of rates).
bool capability_size(const AM_MEDIA_TYPE& type, const VIDEO_STREAM_CONFIG_CAPS& caps,
                     SizeEntry* size) {
  REFERENCE_TIME interval = 0;
  const BITMAPINFOHEADER* header = vidmote::video_info_header(type, &interval);
  if (!header || header->biWidth <= 0 || header->biHeight == 0 || header->biHeight == INT32_MIN)
    return false;
  size->size = size_text(static_cast<uint32_t>(header->biWidth),
                         static_cast<uint32_t>(std::abs(header->biHeight)));
  const SIZE& low = caps.MinOutputSize;
  const SIZE& high = caps.MaxOutputSize;
  if (low.cx > 0 && low.cy > 0 && (low.cx != high.cx || low.cy != high.cy))
    size->size += ", or " + size_range_text(low.cx, low.cy, high.cx, high.cy,
                                            caps.OutputGranularityX, caps.OutputGranularityY);
  const std::string rate = interval > 0 ? fps_text(interval, kReferenceSecond) : "";
  const std::string range = caps.MinFrameInterval > 0
                                ? rate_range_text(caps.MinFrameInterval, kReferenceSecond,
                                                  caps.MaxFrameInterval, kReferenceSecond)
                                : "";
  if (!rate.empty())
    size->rates.push_back(rate + " fps" +
                          (range.empty() || range == rate + " fps" ? "" : " (" + range + ")"));
  else if (!range.empty())
    size->rates.push_back(range);
  return true;
}

std::vector<FormatEntry> formats_of(IAMStreamConfig* config) {
  std::vector<FormatEntry> formats;
  int count = 0, bytes = 0;
  if (FAILED(config->GetNumberOfCapabilities(&count, &bytes))) return formats;
  std::vector<BYTE> caps(std::max<size_t>(bytes, sizeof(VIDEO_STREAM_CONFIG_CAPS)));
  for (int i = 0; i < count && i < 1024; ++i) {
    AM_MEDIA_TYPE* type = nullptr;
    std::fill(caps.begin(), caps.end(), 0);
    if (FAILED(config->GetStreamCaps(i, &type, caps.data())) || !type) continue;
    SizeEntry size;
    if (type->majortype == MEDIATYPE_Video &&
        capability_size(*type, *reinterpret_cast<const VIDEO_STREAM_CONFIG_CAPS*>(caps.data()),
                        &size)) {
      const GUID& subtype = type->subtype;
      const std::string code =
          subtype_text(subtype.Data1, subtype.Data2, subtype.Data3, subtype.Data4);
      // The capabilities of one subtype together, in the camera's order.
      auto format = std::find_if(formats.begin(), formats.end(),
                                 [&](const FormatEntry& f) { return f.code == code; });
      if (format == formats.end()) {
        format = formats.insert(formats.end(), FormatEntry());
        format->code = code;
      }
      format->sizes.push_back(size);
    }
    free_media_type(type);
  }
  return formats;
}

// The properties one of the control interfaces (alike in shape) answers for.
template <typename Controls, size_t kCount>
void add_controls(IBaseFilter* filter, REFIID iid, const char* const (&names)[kCount],
                  long auto_flag, std::vector<ControlEntry>* list) {
  Controls* controls = nullptr;
  if (FAILED(filter->QueryInterface(iid, reinterpret_cast<void**>(&controls)))) return;
  for (long p = 0; p < static_cast<long>(kCount); ++p) {
    long low, high, step, normal, flags, value, value_flags;
    if (FAILED(controls->GetRange(p, &low, &high, &step, &normal, &flags)) || low > high) continue;
    ControlEntry control;
    control.name = names[p];
    control.type = "integer";
    control.ranged = true;
    control.minimum = low;
    control.maximum = high;
    control.step = step;
    control.default_value = std::to_string(normal);
    if (SUCCEEDED(controls->Get(p, &value, &value_flags)))
      control.current = std::to_string(value) + (value_flags & auto_flag ? " (automatic)" : "");
    if (flags & auto_flag) control.notes.push_back("can be automatic");
    list->push_back(control);
  }
  controls->Release();
}

// The device behind a display name, read into *entry; false when Windows
// cannot start it.
bool describe_device(const std::wstring& display_name, CameraEntry* entry,
                     std::string* device_path) {
  IBindCtx* context = nullptr;
  IMoniker* moniker = nullptr;
  ULONG eaten = 0;
  HRESULT result = CreateBindCtx(0, &context);
  if (SUCCEEDED(result))
    result = MkParseDisplayName(context, display_name.c_str(), &eaten, &moniker);
  release(context);
  if (FAILED(result)) {
    entry->problem = hresult_text("Windows no longer lists it", result);
    return false;
  }
  IPropertyBag* bag = nullptr;
  std::string friendly;
  if (SUCCEEDED(moniker->BindToStorage(nullptr, nullptr, IID_IPropertyBag,
                                       reinterpret_cast<void**>(&bag)))) {
    friendly = bag_text(bag, L"FriendlyName");
    *device_path = bag_text(bag, L"DevicePath");
    release(bag);
  }
  if (!friendly.empty()) {
    entry->heading = friendly;
    entry->name = friendly;
  }
  entry->fields.push_back({"device path", device_path->empty() ? "none" : *device_path});
  entry->fields.push_back({"display name", vidmote::printable(utf8_of(display_name))});

  IBaseFilter* filter = nullptr;
  result =
      moniker->BindToObject(nullptr, nullptr, IID_IBaseFilter, reinterpret_cast<void**>(&filter));
  release(moniker);
  if (FAILED(result)) {
    entry->problem = hresult_text("Windows cannot start it", result);
    return false;
  }
  if (IAMStreamConfig* config = stream_config_of(filter)) {
    entry->formats = formats_of(config);
    release(config);
  }
  add_controls<IAMVideoProcAmp>(filter, IID_IAMVideoProcAmp, vidmote::kProcAmpNames,
                                VideoProcAmp_Flags_Auto, &entry->controls);
  add_controls<IAMCameraControl>(filter, IID_IAMCameraControl, vidmote::kCameraControlNames,
                                 CameraControl_Flags_Auto, &entry->controls);
  release(filter);
  return true;
}

const vidmote::DshowCamera* dshow(const std::unique_ptr<vidmote::FrameSource>& source) {
  return dynamic_cast<const vidmote::DshowCamera*>(source.get());
}

// A value for VIDMOTE_DEVICE as the plug-in takes it, and as it is shown.
struct Candidate {
  std::wstring value;
  std::string shown;
};

// The first candidate with which the plug-in's VIDMOTE_DEVICE picks the
// camera of this display name, as shown; "" when none does.
std::string selector_for(const std::wstring& display_name,
                         const std::vector<Candidate>& candidates) {
  for (const Candidate& candidate : candidates) {
    if (candidate.value.empty()) continue;
    const std::unique_ptr<vidmote::FrameSource> named = vidmote::camera_at(candidate.value);
    const vidmote::DshowCamera* camera = dshow(named);
    if (camera && camera->display_name() == display_name) return candidate.shown;
  }
  return "";
}

}  // namespace

MachineListing list_machine(const char* only) {
  MachineListing listing;
  const std::vector<std::unique_ptr<vidmote::FrameSource>> cameras = vidmote::find_cameras();
  listing.any_camera = !cameras.empty();

  // Read first, each device alone: the verdicts open each camera after.
  std::vector<CameraEntry> entries(cameras.size());
  std::vector<bool> read(cameras.size());
  std::vector<std::string> selectors;
  for (size_t i = 0; i < cameras.size(); ++i) {
    const vidmote::DshowCamera* camera = dshow(cameras[i]);
    const std::wstring display = camera ? camera->display_name() : std::wstring();
    // The plug-in hands the host its name in the ANSI code page; shown here
    // from its own characters.
    const std::wstring wide_name = camera ? camera->wide_name() : std::wstring();
    entries[i].heading = entries[i].name =
        vidmote::printable(camera ? utf8_of(wide_name) : cameras[i]->name());
    std::string device_path;
    read[i] = describe_device(display, &entries[i], &device_path);
    const std::wstring wide_path = camera ? camera->device_path() : std::wstring();
    selectors.push_back(
        selector_for(display, {{wide_path, device_path}, {wide_name, entries[i].name}}));
  }
  const std::vector<Verdict> verdicts = plug_in_verdicts(cameras, selectors);

  bool found = false;
  for (size_t i = 0; i < cameras.size(); ++i) {
    if (verdicts[i].is_default) listing.default_name = entries[i].name;
    const auto& fields = entries[i].fields;
    if (only && entries[i].name != only && cameras[i]->name() != only &&
        std::none_of(fields.begin(), fields.end(), [&](const auto& f) { return f.second == only; }))
      continue;
    found = true;
    entries[i].verdict = verdicts[i].text;
    listing.cameras.push_back(entries[i]);
    listing.listed_whole = listing.listed_whole && (read[i] || !only);
    if (only && !verdicts[i].opens) listing.unusable_named = only;
  }
  if (only && !found) {
    CameraEntry entry;
    entry.heading = vidmote::printable(only);
    entry.verdict = "not used: Windows lists no camera of that name";
    entry.problem = "no such camera";
    listing.cameras.push_back(entry);
    listing.listed_whole = false;
    listing.unusable_named = only;
  }
  return listing;
}

// Windows' console shows its own code page, not UTF-8.
std::string for_terminal(const std::string& text) {
  const int wide_size =
      MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
  if (wide_size <= 0) return text;
  std::wstring wide(static_cast<size_t>(wide_size), L'\0');
  MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), &wide[0], wide_size);
  UINT page = GetConsoleOutputCP();
  if (page == 0) page = CP_ACP;
  const int size =
      WideCharToMultiByte(page, 0, wide.data(), wide_size, nullptr, 0, nullptr, nullptr);
  if (size <= 0) return text;
  std::string out(static_cast<size_t>(size), '\0');
  WideCharToMultiByte(page, 0, wide.data(), wide_size, &out[0], size, nullptr, nullptr);
  return out;
}

}  // namespace list_cameras
