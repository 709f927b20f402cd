// The virtual camera as an in-process COM server: its class factory, and
// its registration as a video input device the way Windows registers
// virtual cameras, a source filter under the category's Instance key,
// which the system device enumerator lists beside real cameras.
//
//   VIRTUAL_CAMERA_NUMBER=2 VIRTUAL_CAMERA_NAME="Second Camera" regsvr32 /s virtual_camera.dll
//
// registers camera 2 (1 to 9, 1 by default) under that name; regsvr32 /u
// with the same number removes it.
#include <stdlib.h>

#include <string>

#include "virtual_filter.h"

namespace {

using virtual_camera::camera_number;
using virtual_camera::kClsidBase;
using virtual_camera::objects_alive;

HMODULE module_handle = nullptr;

class Factory final : public IClassFactory {
 public:
  explicit Factory(int number) : number_(number) { InterlockedIncrement(&objects_alive); }
  ~Factory() { InterlockedDecrement(&objects_alive); }
  STDMETHODIMP QueryInterface(REFIID id, void** object) override {
    if (!object) return E_POINTER;
    *object = nullptr;
    if (id != IID_IUnknown && id != IID_IClassFactory) return E_NOINTERFACE;
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
  STDMETHODIMP CreateInstance(IUnknown* outer, REFIID id, void** object) override {
    if (!object) return E_POINTER;
    *object = nullptr;
    if (outer) return CLASS_E_NOAGGREGATION;
    IBaseFilter* filter = virtual_camera::new_filter(number_);
    if (!filter) return E_OUTOFMEMORY;
    const HRESULT result = filter->QueryInterface(id, object);
    filter->Release();
    return result;
  }
  STDMETHODIMP LockServer(BOOL) override { return S_OK; }

 private:
  LONG references_ = 1;
  const int number_;
};

// The camera to register: its number and class id, its name.
int chosen_number() {
  const char* text = getenv("VIRTUAL_CAMERA_NUMBER");
  const int number = text ? atoi(text) : 1;
  return number >= 1 && number <= virtual_camera::kMostCameras ? number : 0;
}

std::wstring clsid_text(int number) {
  CLSID clsid = kClsidBase;
  clsid.Data4[7] = static_cast<unsigned char>(number);
  wchar_t text[40];
  StringFromGUID2(clsid, text, 40);
  return text;
}

std::wstring wide(const char* text) {
  std::wstring out;
  for (; *text; ++text) out += static_cast<wchar_t>(static_cast<unsigned char>(*text));
  return out;
}

bool set_value(HKEY root, const std::wstring& key, const wchar_t* name, const std::wstring& value) {
  HKEY opened = nullptr;
  if (RegCreateKeyExW(root, key.c_str(), 0, nullptr, 0, KEY_WRITE, nullptr, &opened, nullptr) !=
      ERROR_SUCCESS)
    return false;
  const LONG written =
      RegSetValueExW(opened, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(value.c_str()),
                     static_cast<DWORD>((value.size() + 1) * sizeof(wchar_t)));
  RegCloseKey(opened);
  return written == ERROR_SUCCESS;
}

// The key under which the system device enumerator finds the video input
// devices that are filters (CLSID_VideoInputDeviceCategory's Instance).
const wchar_t kVideoInputInstances[] = L"CLSID\\{860BB310-5D01-11D0-BD3B-00A0C911CE86}\\Instance\\";

}  // namespace

extern "C" {

BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID) {
  if (reason == DLL_PROCESS_ATTACH) {
    module_handle = instance;
    DisableThreadLibraryCalls(instance);
  }
  return TRUE;
}

STDAPI DllGetClassObject(REFCLSID clsid, REFIID id, void** object) {
  if (!object) return E_POINTER;
  *object = nullptr;
  const int number = camera_number(clsid);
  if (!number) return CLASS_E_CLASSNOTAVAILABLE;
  Factory* factory = new Factory(number);
  const HRESULT result = factory->QueryInterface(id, object);
  factory->Release();
  return result;
}

STDAPI DllCanUnloadNow() {
  return objects_alive == 0 ? S_OK : S_FALSE;
}

STDAPI DllRegisterServer() {
  const int number = chosen_number();
  if (!number) return E_INVALIDARG;
  const char* name = getenv("VIRTUAL_CAMERA_NAME");
  const std::wstring friendly = wide(name && *name ? name : "Virtual Test Camera");
  wchar_t path[MAX_PATH];
  const DWORD length = GetModuleFileNameW(module_handle, path, MAX_PATH);
  if (length == 0 || length >= MAX_PATH) return E_FAIL;
  const std::wstring clsid = clsid_text(number);
  const std::wstring server = L"CLSID\\" + clsid;
  const std::wstring instance = kVideoInputInstances + clsid;
  const bool done =
      set_value(HKEY_CLASSES_ROOT, server, nullptr, friendly) &&
      set_value(HKEY_CLASSES_ROOT, server + L"\\InprocServer32", nullptr, path) &&
      set_value(HKEY_CLASSES_ROOT, server + L"\\InprocServer32", L"ThreadingModel", L"Both") &&
      set_value(HKEY_CLASSES_ROOT, instance, L"FriendlyName", friendly) &&
      set_value(HKEY_CLASSES_ROOT, instance, L"CLSID", clsid);
  return done ? S_OK : SELFREG_E_CLASS;
}

STDAPI DllUnregisterServer() {
  const int number = chosen_number();
  if (!number) return E_INVALIDARG;
  const std::wstring clsid = clsid_text(number);
  RegDeleteTreeW(HKEY_CLASSES_ROOT, (kVideoInputInstances + clsid).c_str());
  RegDeleteTreeW(HKEY_CLASSES_ROOT, (L"CLSID\\" + clsid).c_str());
  return S_OK;
}

}  // extern "C"
