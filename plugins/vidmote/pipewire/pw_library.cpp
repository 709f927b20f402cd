// Loading libpipewire-0.3.so.0 with dlopen; its soname and these functions
// are the same in PipeWire 0.3 and 1.x.
#include "pw_library.h"

#include <dlfcn.h>

namespace vidmote {

namespace {

template <typename Function>
bool look_up(void* library, const char* name, Function* function) {
  *function = reinterpret_cast<Function>(dlsym(library, name));
  return *function != nullptr;
}

PwLibrary* load() {
  // Never closed: its threads and its own plug-ins may outlive any one use.
  void* library = dlopen("libpipewire-0.3.so.0", RTLD_NOW | RTLD_LOCAL);
  if (!library) return nullptr;
  static PwLibrary pw;
  const bool found = look_up(library, "pw_init", &pw.init) &&
                     look_up(library, "pw_thread_loop_new", &pw.thread_loop_new) &&
                     look_up(library, "pw_thread_loop_start", &pw.thread_loop_start) &&
                     look_up(library, "pw_thread_loop_stop", &pw.thread_loop_stop) &&
                     look_up(library, "pw_thread_loop_destroy", &pw.thread_loop_destroy) &&
                     look_up(library, "pw_thread_loop_lock", &pw.thread_loop_lock) &&
                     look_up(library, "pw_thread_loop_unlock", &pw.thread_loop_unlock) &&
                     look_up(library, "pw_thread_loop_get_loop", &pw.thread_loop_get_loop) &&
                     look_up(library, "pw_context_new", &pw.context_new) &&
                     look_up(library, "pw_context_destroy", &pw.context_destroy) &&
                     look_up(library, "pw_context_connect", &pw.context_connect) &&
                     look_up(library, "pw_core_disconnect", &pw.core_disconnect) &&
                     look_up(library, "pw_proxy_destroy", &pw.proxy_destroy) &&
                     look_up(library, "pw_properties_new_dict", &pw.properties_new_dict) &&
                     look_up(library, "pw_stream_new", &pw.stream_new) &&
                     look_up(library, "pw_stream_add_listener", &pw.stream_add_listener) &&
                     look_up(library, "pw_stream_connect", &pw.stream_connect) &&
                     look_up(library, "pw_stream_destroy", &pw.stream_destroy) &&
                     look_up(library, "pw_stream_dequeue_buffer", &pw.stream_dequeue_buffer) &&
                     look_up(library, "pw_stream_queue_buffer", &pw.stream_queue_buffer);
  if (!found) return nullptr;
  pw.init(nullptr, nullptr);
  return &pw;
}

}  // namespace

const PwLibrary* pipewire_library() {
  static const PwLibrary* library = load();
  return library;
}

}  // namespace vidmote
