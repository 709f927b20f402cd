// Host of one camera plug-in: loads the library and calls its seven exports
// (see lensora_plugin_api.h), each offered as a member with a bool result.
#ifndef LENSORA_PLUGIN_H
#define LENSORA_PLUGIN_H

#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#include <new>
#include <string>

#include "kimage.h"
#include "lensora_plugin_api.h"

// ---- Platform part: the only code that differs between systems. ----
#ifdef _WIN32
#include <windows.h>
namespace lensora_platform {
typedef HMODULE Module;
inline Module load_library(const char* file) {
  return LoadLibraryA(file);
}
inline void* find_export(Module module, const char* name) {
  return reinterpret_cast<void*>(GetProcAddress(module, name));
}
inline void unload_library(Module module) {
  FreeLibrary(module);
}
}  // namespace lensora_platform
#else
#include <dlfcn.h>
namespace lensora_platform {
typedef void* Module;
inline Module load_library(const char* file) {
  return dlopen(file, RTLD_NOW | RTLD_LOCAL);
}
inline void* find_export(Module module, const char* name) {
  return dlsym(module, name);
}
inline void unload_library(Module module) {
  dlclose(module);
}
}  // namespace lensora_platform
#endif

class LensoraPlugIn {
 public:
  std::string name;
  std::string path;
  lensora_platform::Module module;

  // A longer name announced is refused: no camera has one, and the host
  // would give the plug-in that much memory to fill and print.
  static const int32_t kMaxNameLength = LN_MAX_NAME_LENGTH;

  LensoraPlugIn() : module(nullptr) {}
  ~LensoraPlugIn() { Close(); }
  LensoraPlugIn(const LensoraPlugIn&) = delete;
  LensoraPlugIn& operator=(const LensoraPlugIn&) = delete;

  bool Open(const char* file) {
    path = file ? file : "";
    return Open();
  }

  // An open host keeps its library and its name. An empty name is refused:
  // the loader would hand back the program itself.
  bool Open() {
    if (isOpen()) return true;
    if (path.empty()) return false;
    module = lensora_platform::load_library(path.c_str());
    if (!module) return false;
    return GetDllName();
  }

  bool Close() {
    OnDestroy();
    if (module) {
      lensora_platform::unload_library(module);
      module = nullptr;
    }
    return true;
  }

  bool isOpen() const { return module != nullptr; }

  bool GetDllName() {
    LnGetDllNameFn get_name = Export<LnGetDllNameFn>("LN_GetDllName");
    if (!get_name) return false;
    int32_t length = get_name(nullptr);
    if (length <= 0 || length > kMaxNameLength) return false;
    // Ten spare zero bytes, so a name a little longer than announced is
    // still read whole and terminated.
    const size_t size = static_cast<size_t>(length) + 10;
    char* buffer = static_cast<char*>(calloc(size, 1));
    if (!buffer) return false;
    int32_t result = get_name(buffer);
    name.assign(buffer, strnlen(buffer, size));
    free(buffer);
    return result > 0;
  }

  bool GetResolution(int32_t* width, int32_t* height) {
    LnGetResolutionFn fn = Export<LnGetResolutionFn>("LN_GetResolution");
    return fn && fn(width, height) != 0;
  }

  bool SetResolution(int width, int height) {
    LnSetResolutionFn fn = Export<LnSetResolutionFn>("LN_SetResolution");
    return fn && fn(width, height) != 0;
  }

  bool DoModalOptionDlg() {
    LnDoModalOptionDlgFn fn = Export<LnDoModalOptionDlgFn>("LN_DoModalOptionDlg");
    return fn && fn() != 0;
  }

  bool OnInit(LnWindowHandle window) {
    LnOnInitFn fn = Export<LnOnInitFn>("LN_OnInit");
    return fn && fn(window) != 0;
  }

  bool OnDestroy() {
    LnOnDestroyFn fn = Export<LnOnDestroyFn>("LN_OnDestroy");
    return fn && fn() != 0;
  }

  // Sizes the image to the plug-in's resolution and has the plug-in fill it.
  // The image is untouched unless the announced frame size matches.
  bool Capture(KImageT<K_RGB>& image) {
    LnCaptureFn capture = Export<LnCaptureFn>("LN_Capture");
    if (!capture) return false;
    int32_t size = capture(nullptr);
    if (size < 0) return false;
    int32_t width = 0, height = 0;
    if (!GetResolution(&width, &height)) return false;
    if (width < 0 || height < 0) return false;
    // Unsigned 64-bit holds every product of two sizes and 3 exactly, so a
    // product that wraps in 32 bits never matches.
    if (static_cast<uint64_t>(width) * static_cast<uint64_t>(height) * 3u !=
        static_cast<uint64_t>(size)) {
      return false;
    }
    // A frame too large for the memory at hand fails the capture; the
    // image is then still untouched.
    try {
      image.init(width, height);
    } catch (const std::bad_alloc&) {
      return false;
    }
    return capture(image.get_raw_buffer()) > 0;
  }

 private:
  // Looked up at every call, never cached: the library may change between.
  template <typename Fn>
  Fn Export(const char* export_name) const {
    if (!isOpen()) return nullptr;
    return reinterpret_cast<Fn>(lensora_platform::find_export(module, export_name));
  }
};

#endif  // LENSORA_PLUGIN_H
