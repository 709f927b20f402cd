// A connection to PipeWire, its camera nodes and their modes.
#include "pw_session.h"

#include <time.h>

#include <algorithm>
#include <chrono>

namespace vidmote {

int64_t monotonic_ns() {
  timespec now;
  clock_gettime(CLOCK_MONOTONIC, &now);
  return int64_t{now.tv_sec} * 1000000000 + now.tv_nsec;
}

namespace {

// steady_clock is CLOCK_MONOTONIC on Linux.
std::chrono::steady_clock::time_point time_point_of(int64_t monotonic) {
  return std::chrono::steady_clock::time_point(std::chrono::nanoseconds(monotonic));
}

PwProperties properties_of(const spa_dict* dict) {
  PwProperties properties;
  if (!dict) return properties;
  for (uint32_t i = 0; i < dict->n_items; ++i)
    if (dict->items[i].key && dict->items[i].value)
      properties.emplace_back(dict->items[i].key, dict->items[i].value);
  return properties;
}

struct ParamCollector {
  PwSession* session;
  std::vector<PwMode>* modes;
};

void on_param(void* data, int /*seq*/, uint32_t id, uint32_t /*index*/, uint32_t /*next*/,
              const spa_pod* param) {
  auto* collector = static_cast<ParamCollector*>(data);
  if (id != SPA_PARAM_EnumFormat) return;
  const std::vector<PwMode> modes = modes_of_param(param);
  std::lock_guard<std::mutex> lock(collector->session->mutex());
  collector->modes->insert(collector->modes->end(), modes.begin(), modes.end());
}

}  // namespace

std::unique_ptr<PwSession> PwSession::connect(int64_t bound_ns) {
  const PwLibrary* pw = pipewire_library();
  if (!pw) return nullptr;
  std::unique_ptr<PwSession> session(new PwSession(*pw));
  if (!session->start(bound_ns)) return nullptr;
  return session;
}

bool PwSession::start(int64_t bound_ns) {
  const int64_t deadline = monotonic_ns() + bound_ns;
  loop_ = pw_.thread_loop_new("vidmote-pipewire", nullptr);
  if (!loop_) return false;
  context_ = pw_.context_new(pw_.thread_loop_get_loop(loop_), nullptr, 0);
  if (!context_ || pw_.thread_loop_start(loop_) != 0) return false;

  static pw_core_events core_events = [] {
    pw_core_events events = {};
    events.version = PW_VERSION_CORE_EVENTS;
    events.done = on_done;
    return events;
  }();
  static pw_registry_events registry_events = [] {
    pw_registry_events events = {};
    events.version = PW_VERSION_REGISTRY_EVENTS;
    events.global = on_global;
    events.global_remove = on_global_remove;
    return events;
  }();
  lock();
  // Fails at once where no PipeWire runs (no socket).
  core_ = pw_.context_connect(context_, nullptr, 0);
  if (core_) {
    pw_core_add_listener(core_, &core_listener_, &core_events, this);
    registry_ = pw_core_get_registry(core_, PW_VERSION_REGISTRY, 0);
    if (registry_) pw_registry_add_listener(registry_, &registry_listener_, &registry_events, this);
  }
  unlock();
  return core_ && registry_ && round_trip(deadline);
}

PwSession::~PwSession() {
  if (loop_) pw_.thread_loop_stop(loop_);
  if (registry_) {
    spa_hook_remove(&registry_listener_);
    pw_.proxy_destroy(reinterpret_cast<pw_proxy*>(registry_));
  }
  if (core_) {
    spa_hook_remove(&core_listener_);
    pw_.core_disconnect(core_);
  }
  if (context_) pw_.context_destroy(context_);
  if (loop_) pw_.thread_loop_destroy(loop_);
}

bool PwSession::round_trip(int64_t deadline_ns) {
  lock();
  const int seq = pw_core_sync(core_, PW_ID_CORE, 0);
  unlock();
  std::unique_lock<std::mutex> lock(mutex_);
  return changed_.wait_until(lock, time_point_of(deadline_ns), [&] { return done_seq_ == seq; });
}

void PwSession::on_done(void* data, uint32_t id, int seq) {
  auto* session = static_cast<PwSession*>(data);
  if (id != PW_ID_CORE) return;
  std::lock_guard<std::mutex> lock(session->mutex_);
  session->done_seq_ = seq;
  session->changed_.notify_all();
}

void PwSession::on_global(void* data, uint32_t id, uint32_t /*permissions*/, const char* type,
                          uint32_t /*version*/, const spa_dict* props) {
  auto* session = static_cast<PwSession*>(data);
  PwNode node;
  if (!type || std::string(type) != PW_TYPE_INTERFACE_Node ||
      !camera_node(properties_of(props), &node))
    return;
  node.id = id;
  std::lock_guard<std::mutex> lock(session->mutex_);
  session->nodes_.push_back(node);
  session->changed_.notify_all();
}

void PwSession::on_global_remove(void* data, uint32_t id) {
  auto* session = static_cast<PwSession*>(data);
  std::lock_guard<std::mutex> lock(session->mutex_);
  auto& nodes = session->nodes_;
  nodes.erase(std::remove_if(nodes.begin(), nodes.end(),
                             [id](const PwNode& node) { return node.id == id; }),
              nodes.end());
  session->changed_.notify_all();
}

std::vector<PwNode> PwSession::camera_nodes() {
  std::lock_guard<std::mutex> lock(mutex_);
  return nodes_;
}

bool PwSession::find_node(const std::string& name, int64_t deadline_ns, PwNode* node) {
  std::unique_lock<std::mutex> lock(mutex_);
  auto named = [&] {
    for (const PwNode& candidate : nodes_)
      if (candidate.name == name) {
        *node = candidate;
        return true;
      }
    return false;
  };
  return changed_.wait_until(lock, time_point_of(deadline_ns), named);
}

bool PwSession::has_node_locked(uint32_t id) const {
  for (const PwNode& node : nodes_)
    if (node.id == id) return true;
  return false;
}

std::vector<PwMode> PwSession::modes(uint32_t id, int64_t bound_ns) {
  const int64_t deadline = monotonic_ns() + bound_ns;
  static pw_node_events node_events = [] {
    pw_node_events events = {};
    events.version = PW_VERSION_NODE_EVENTS;
    events.param = on_param;
    return events;
  }();
  std::vector<PwMode> found;
  ParamCollector collector = {this, &found};
  spa_hook listener = {};
  lock();
  auto* node = static_cast<pw_node*>(
      pw_registry_bind(registry_, id, PW_TYPE_INTERFACE_Node, PW_VERSION_NODE, 0));
  if (node) {
    pw_node_add_listener(node, &listener, &node_events, &collector);
    pw_node_enum_params(node, 0, SPA_PARAM_EnumFormat, 0, UINT32_MAX, nullptr);
  }
  unlock();
  if (!node) return {};
  round_trip(deadline);
  lock();
  spa_hook_remove(&listener);
  pw_.proxy_destroy(reinterpret_cast<pw_proxy*>(node));
  unlock();
  std::lock_guard<std::mutex> guard(mutex_);
  return found;
}

}  // namespace vidmote
