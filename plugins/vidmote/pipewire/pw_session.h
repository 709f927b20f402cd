// One connection to the running PipeWire: its own thread loop, the camera
// nodes it lists (kept up to date as they come and go), and the modes a
// node offers. Every wait is bounded. Callbacks run on PipeWire's thread
// and record what they learn under the session's mutex.
#ifndef VIDMOTE_PW_SESSION_H
#define VIDMOTE_PW_SESSION_H

#include <pipewire/pipewire.h>

#include <condition_variable>
#include <memory>
#include <mutex>
#include <vector>

#include "pw_library.h"
#include "pw_nodes.h"

namespace vidmote {

class PwSession {
 public:
  // Connected, with every camera node listed; nullptr where the library is
  // missing, no PipeWire runs, or it does not answer within bound_ns.
  static std::unique_ptr<PwSession> connect(int64_t bound_ns);
  ~PwSession();
  PwSession(const PwSession&) = delete;
  PwSession& operator=(const PwSession&) = delete;

  // The camera nodes as listed now, in the order PipeWire announced them.
  std::vector<PwNode> camera_nodes();
  // The node with this node name, waiting for it until the monotonic
  // deadline; false if it is not there by then.
  bool find_node(const std::string& name, int64_t deadline_ns, PwNode* node);
  // Whether the node with this id is still there; the caller holds mutex().
  bool has_node_locked(uint32_t id) const;
  // The modes of the node's EnumFormat parameters.
  std::vector<PwMode> modes(uint32_t id, int64_t bound_ns);

  const PwLibrary& pw() const { return pw_; }
  pw_core* core() const { return core_; }
  void lock() { pw_.thread_loop_lock(loop_); }
  void unlock() { pw_.thread_loop_unlock(loop_); }
  // Guards what callbacks record; changed is notified whenever they do.
  std::mutex& mutex() { return mutex_; }
  std::condition_variable& changed() { return changed_; }

 private:
  explicit PwSession(const PwLibrary& pw) : pw_(pw) {}
  bool start(int64_t bound_ns);
  // Sends a round trip and waits until it comes back: every event sent
  // before it has been handled.
  bool round_trip(int64_t deadline_ns);

  static void on_global(void* data, uint32_t id, uint32_t permissions, const char* type,
                        uint32_t version, const spa_dict* props);
  static void on_global_remove(void* data, uint32_t id);
  static void on_done(void* data, uint32_t id, int seq);

  const PwLibrary& pw_;
  pw_thread_loop* loop_ = nullptr;
  pw_context* context_ = nullptr;
  pw_core* core_ = nullptr;
  pw_registry* registry_ = nullptr;
  spa_hook core_listener_ = {};
  spa_hook registry_listener_ = {};

  std::mutex mutex_;
  std::condition_variable changed_;
  std::vector<PwNode> nodes_;
  int done_seq_ = -1;
  std::vector<PwMode> modes_;  // of the node asked last
};

// Now on the monotonic clock, in nanoseconds.
int64_t monotonic_ns();

}  // namespace vidmote

#endif  // VIDMOTE_PW_SESSION_H
