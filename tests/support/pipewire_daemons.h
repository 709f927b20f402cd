// PipeWire and WirePlumber as a desktop runs them, for the guest's camera
// tests: a private XDG_RUNTIME_DIR, a session bus (WirePlumber 0.4 exits
// without one), then the two daemons. Every wait is bounded; the daemons
// are stopped, by their process ids, when this goes away.
#ifndef SUPPORT_PIPEWIRE_DAEMONS_H
#define SUPPORT_PIPEWIRE_DAEMONS_H

#include <sys/types.h>

#include <map>
#include <string>
#include <vector>

class PipeWireDaemons {
 public:
  PipeWireDaemons();
  ~PipeWireDaemons();
  PipeWireDaemons(const PipeWireDaemons&) = delete;
  PipeWireDaemons& operator=(const PipeWireDaemons&) = delete;

  // Starts the bus, PipeWire (waiting for its socket) and WirePlumber.
  bool start(int bound_seconds);
  // WirePlumber alone, stopped (the nodes it made go with it) or started.
  bool stop_session_manager();
  bool start_session_manager();

  // The first Video/Source node PipeWire lists, waiting for one.
  bool camera_node(int bound_seconds, std::string* name, std::string* description);
  // Whether no Video/Source node is listed, waiting for that.
  bool no_camera_node(int bound_seconds);

  // What a client needs in its environment to reach this PipeWire.
  std::map<std::string, std::string> client_environment() const;
  const std::string& log() const { return log_; }
  pid_t pipewire_pid() const { return pipewire_; }

 private:
  // Runs argv[0] in the daemons' environment, its output to `output`.
  pid_t spawn(const std::vector<const char*>& argv, int output);
  // A daemon, its output to a log in the runtime folder.
  pid_t spawn_logged(const char* program);
  // pw-cli's listing of the nodes.
  std::string nodes();

  std::string runtime_dir_;
  std::string bus_address_;
  pid_t bus_ = -1, pipewire_ = -1, wireplumber_ = -1;
  std::string log_;
};

#endif  // SUPPORT_PIPEWIRE_DAEMONS_H
