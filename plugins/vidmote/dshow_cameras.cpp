// Finding the machine's DirectShow video input devices.
#include <string>

#include "cameras.h"
#include "dshow_support.h"

namespace vidmote {

namespace {

std::string utf8(const wchar_t* text) {
  if (!text) return std::string();
  const int size = WideCharToMultiByte(CP_UTF8, 0, text, -1, nullptr, 0, nullptr, nullptr);
  if (size <= 1) return std::string();
  std::string out(static_cast<size_t>(size), '\0');
  WideCharToMultiByte(CP_UTF8, 0, text, -1, &out[0], size, nullptr, nullptr);
  out.resize(static_cast<size_t>(size - 1));
  return out;
}

}  // namespace

// The video input devices, in the order Windows lists them.
std::vector<std::unique_ptr<FrameSource>> find_cameras() {
  std::vector<std::unique_ptr<FrameSource>> cameras;
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
      std::string friendly;
      IPropertyBag* bag = nullptr;
      if (SUCCEEDED(moniker->BindToStorage(nullptr, nullptr, IID_IPropertyBag,
                                           reinterpret_cast<void**>(&bag)))) {
        VARIANT value;
        VariantInit(&value);
        if (SUCCEEDED(bag->Read(L"FriendlyName", &value, nullptr)) && value.vt == VT_BSTR)
          friendly = utf8(value.bstrVal);
        VariantClear(&value);
        bag->Release();
      }
      moniker->Release();
      if (display_name.empty()) continue;
      if (friendly.empty()) friendly = "camera " + std::to_string(n + 1);
      cameras.push_back(std::make_unique<DshowCamera>(display_name, friendly));
    }
  }
  release(context);
  release(list);
  release(devices);
  if (com) CoUninitialize();
  return cameras;
}

// On Windows a camera is named by its friendly name.
std::unique_ptr<FrameSource> camera_at(const std::string& name) {
  for (auto& camera : find_cameras())
    if (camera->name() == name) return std::move(camera);
  return std::make_unique<DshowCamera>(std::wstring(), name);
}

}  // namespace vidmote
