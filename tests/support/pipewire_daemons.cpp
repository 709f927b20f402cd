// Starting and stopping PipeWire, WirePlumber and their session bus.
#include "pipewire_daemons.h"

#include <fcntl.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <vector>

#include "shell.h"

namespace {

void pause_ms(int ms) {
  struct timespec pause = {ms / 1000, (ms % 1000) * 1000000L};
  nanosleep(&pause, nullptr);
}

// A command's standard output, run through the shell.
std::string output_of(const std::string& command) {
  std::string text;
  if (FILE* pipe = popen(command.c_str(), "r")) {
    char chunk[4096];
    size_t got;
    while ((got = fread(chunk, 1, sizeof chunk, pipe)) > 0) text.append(chunk, got);
    pclose(pipe);
  }
  return text;
}

// Stops a process we started: SIGTERM, then SIGKILL after two seconds.
void stop(pid_t* pid) {
  if (*pid <= 0) return;
  kill(*pid, SIGTERM);
  for (int i = 0; i < 40; ++i) {
    if (waitpid(*pid, nullptr, WNOHANG) == *pid) {
      *pid = -1;
      return;
    }
    pause_ms(50);
  }
  kill(*pid, SIGKILL);
  waitpid(*pid, nullptr, 0);
  *pid = -1;
}

// The value of `key = "value"` in one node's block of pw-cli's listing.
std::string field(const std::string& block, const std::string& key) {
  const size_t at = block.find(key + " = \"");
  if (at == std::string::npos) return "";
  const size_t from = at + key.size() + 4;
  return block.substr(from, block.find('"', from) - from);
}

}  // namespace

PipeWireDaemons::PipeWireDaemons() {
  char folder[] = "/tmp/pipewire-test-XXXXXX";
  if (mkdtemp(folder)) runtime_dir_ = folder;  // mode 0700, as PipeWire wants
}

PipeWireDaemons::~PipeWireDaemons() {
  stop(&wireplumber_);
  stop(&pipewire_);
  stop(&bus_);
  if (!runtime_dir_.empty()) output_of("rm -rf " + shell_quoted(runtime_dir_));
}

std::map<std::string, std::string> PipeWireDaemons::client_environment() const {
  return {{"XDG_RUNTIME_DIR", runtime_dir_}, {"DBUS_SESSION_BUS_ADDRESS", bus_address_}};
}

// The child keeps only its standard streams: a daemon must not hold the
// camera node the test holds open.
pid_t PipeWireDaemons::spawn(const std::vector<const char*>& argv, int output) {
  const pid_t pid = fork();
  if (pid != 0) return pid;
  setenv("XDG_RUNTIME_DIR", runtime_dir_.c_str(), 1);
  setenv("DBUS_SESSION_BUS_ADDRESS", bus_address_.c_str(), 1);
  const int none = open("/dev/null", O_RDONLY);
  if (none >= 0) dup2(none, 0);
  if (output >= 0) {
    dup2(output, 1);
    dup2(output, 2);
  }
  for (int fd = 3; fd < 1024; ++fd) close(fd);
  std::vector<char*> args;
  for (const char* arg : argv) args.push_back(const_cast<char*>(arg));
  args.push_back(nullptr);
  execvp(args[0], args.data());
  _exit(127);
}

pid_t PipeWireDaemons::spawn_logged(const char* program) {
  const std::string log_file = runtime_dir_ + "/" + program + ".log";
  const int log = open(log_file.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0600);
  const pid_t pid = spawn({program}, log);
  if (log >= 0) close(log);
  return pid;
}

bool PipeWireDaemons::start(int bound_seconds) {
  if (runtime_dir_.empty()) return false;
  // The bus forks into the background and prints its address and pid.
  int pipe_ends[2];
  if (pipe2(pipe_ends, O_CLOEXEC) != 0) return false;
  const pid_t starter = spawn(
      {"dbus-daemon", "--session", "--fork", "--print-address=1", "--print-pid=1"}, pipe_ends[1]);
  close(pipe_ends[1]);
  std::string bus;
  char chunk[512];
  ssize_t got;
  while ((got = read(pipe_ends[0], chunk, sizeof chunk)) > 0) bus.append(chunk, got);
  close(pipe_ends[0]);
  if (starter > 0) waitpid(starter, nullptr, 0);
  const size_t line = bus.find('\n');
  if (line == std::string::npos) {
    log_ += "dbus-daemon did not start\n";
    return false;
  }
  bus_address_ = bus.substr(0, line);
  bus_ = atoi(bus.c_str() + line + 1);
  pipewire_ = spawn_logged("pipewire");
  struct stat socket_file;
  bool ready = false;
  for (int i = 0; i < bound_seconds * 10 && !ready; ++i) {
    ready = stat((runtime_dir_ + "/pipewire-0").c_str(), &socket_file) == 0;
    if (!ready) pause_ms(100);
  }
  if (!ready) {
    log_ += "no PipeWire socket in time\n" + output_of("cat " + runtime_dir_ + "/pipewire.log");
    return false;
  }
  return start_session_manager();
}

bool PipeWireDaemons::start_session_manager() {
  wireplumber_ = spawn_logged("wireplumber");
  return wireplumber_ > 0;
}

bool PipeWireDaemons::stop_session_manager() {
  stop(&wireplumber_);
  return wireplumber_ < 0;
}

std::string PipeWireDaemons::nodes() {
  return output_of("XDG_RUNTIME_DIR=" + shell_quoted(runtime_dir_) +
                   " timeout 10 pw-cli ls Node 2>/dev/null");
}

bool PipeWireDaemons::camera_node(int bound_seconds, std::string* name, std::string* description) {
  for (int i = 0; i < bound_seconds * 2; ++i) {
    const std::string listed = nodes();
    // Blocks begin "\tid N, type PipeWire:Interface:Node/3".
    size_t from = 0;
    while ((from = listed.find("\tid ", from)) != std::string::npos) {
      const size_t end = listed.find("\tid ", from + 1);
      const std::string block = listed.substr(from, end - from);
      from = end;
      if (field(block, "media.class") != "Video/Source") continue;
      *name = field(block, "node.name");
      *description = field(block, "node.description");
      return true;
    }
    pause_ms(500);
  }
  log_ += "no Video/Source node in time\n" + output_of("cat " + runtime_dir_ + "/*.log");
  return false;
}

bool PipeWireDaemons::no_camera_node(int bound_seconds) {
  for (int i = 0; i < bound_seconds * 2; ++i) {
    if (nodes().find("\"Video/Source\"") == std::string::npos) return true;
    pause_ms(500);
  }
  return false;
}
