// Finding the machine's DirectShow video input devices.
#include <wchar.h>

#include <string>

#include "cameras.h"
#include "dshow_support.h"

namespace vidmote {

namespace {

// A string property of the device's property bag; empty when it has none.
std::wstring bag_string(IPropertyBag* bag, const wchar_t* property) {
  std::wstring text;
  VARIANT value;
  VariantInit(&value);
  if (SUCCEEDED(bag->Read(property, &value, nullptr)) && value.vt == VT_BSTR && value.bstrVal)
    text = value.bstrVal;
  VariantClear(&value);
  return text;
}

}  // namespace

std::vector<std::unique_ptr<DshowCamera>> dshow_cameras() {
  std::vector<std::unique_ptr<DshowCamera>> cameras;
  const bool com = SUCCEEDED(CoInitializeEx(nullptr, COINIT_MULTITHREADED));
  ICreateDevEnum* devices = nullptr;
  IEnumMoniker* list = nullptr;
  IBindCtx* context = nullptr;
  if (SUCCEEDED(CoCreateInstance(CLSID_SystemDeviceEnum, nullptr, CLSCTX_INPROC_SERVER,
                                 IID_ICreateDevEnum, reinterpret_cast<void**>(&devices))) &&
      devices->CreateClassEnumerator(CLSID_VideoInputDeviceCategory, &list, 0) == S_OK &&
      SUCCEEDED(CreateBindCtx(0, &context))) {
    IMoniker* moniker = nullptr;
    for (int n = 0; n < 64 && list->Next(1, &moniker, nullptr) == S_OK; ++n) {
      LPOLESTR display = nullptr;
      std::wstring display_name;
      if (SUCCEEDED(moniker->GetDisplayName(context, nullptr, &display)) && display) {
        display_name = display;
        CoTaskMemFree(display);
      }
      std::wstring friendly, device_path;
      IPropertyBag* bag = nullptr;
      if (SUCCEEDED(moniker->BindToStorage(nullptr, nullptr, IID_IPropertyBag,
                                           reinterpret_cast<void**>(&bag)))) {
        friendly = bag_string(bag, L"FriendlyName");
        device_path = bag_string(bag, L"DevicePath");
        bag->Release();
      }
      moniker->Release();
      if (display_name.empty()) continue;
      if (friendly.empty()) friendly = L"camera " + std::to_wstring(n + 1);
      cameras.push_back(std::make_unique<DshowCamera>(display_name, friendly, device_path));
    }
  }
  release(context);
  release(list);
  release(devices);
  if (com) CoUninitialize();
  return cameras;
}

std::vector<std::unique_ptr<FrameSource>> find_cameras() {
  std::vector<std::unique_ptr<FrameSource>> sources;
  for (auto& camera : dshow_cameras()) sources.push_back(std::move(camera));
  return sources;
}

// On Windows a camera is named by its friendly name, the same characters, or
// by its device path, whose letters Windows does not tell by case.
std::unique_ptr<FrameSource> camera_at(const DeviceName& name) {
  for (auto& camera : dshow_cameras()) {
    const std::wstring path = camera->device_path();
    if (camera->wide_name() == name || (!path.empty() && _wcsicmp(path.c_str(), name.c_str()) == 0))
      return std::move(camera);
  }
  return std::make_unique<DshowCamera>(std::wstring(), name);
}

}  // namespace vidmote
