// libpipewire-0.3.so.0, loaded at run time: the plug-in starts and works
// unchanged where PipeWire is not installed. Only the functions the plug-in
// calls are looked up; the rest of the client API it uses is the headers'
// inline code.
#ifndef VIDMOTE_PW_LIBRARY_H
#define VIDMOTE_PW_LIBRARY_H

#include <pipewire/pipewire.h>

namespace vidmote {

struct PwLibrary {
  decltype(&::pw_init) init;
  decltype(&::pw_thread_loop_new) thread_loop_new;
  decltype(&::pw_thread_loop_start) thread_loop_start;
  decltype(&::pw_thread_loop_stop) thread_loop_stop;
  decltype(&::pw_thread_loop_destroy) thread_loop_destroy;
  decltype(&::pw_thread_loop_lock) thread_loop_lock;
  decltype(&::pw_thread_loop_unlock) thread_loop_unlock;
  decltype(&::pw_thread_loop_get_loop) thread_loop_get_loop;
  decltype(&::pw_context_new) context_new;
  decltype(&::pw_context_destroy) context_destroy;
  decltype(&::pw_context_connect) context_connect;
  decltype(&::pw_core_disconnect) core_disconnect;
  decltype(&::pw_proxy_destroy) proxy_destroy;
  decltype(&::pw_properties_new_dict) properties_new_dict;
  decltype(&::pw_stream_new) stream_new;
  decltype(&::pw_stream_add_listener) stream_add_listener;
  decltype(&::pw_stream_connect) stream_connect;
  decltype(&::pw_stream_destroy) stream_destroy;
  decltype(&::pw_stream_dequeue_buffer) stream_dequeue_buffer;
  decltype(&::pw_stream_queue_buffer) stream_queue_buffer;
};

// The library's functions, loaded and initialised once; nullptr where the
// library or one of them is missing.
const PwLibrary* pipewire_library();

}  // namespace vidmote

#endif  // VIDMOTE_PW_LIBRARY_H
