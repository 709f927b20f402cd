// The checks plugin-check runs in a child process, each scenario reporting
// its checks to the parent through a pipe, one line per message.
#ifndef PLUGIN_CHECK_CHECKS_H
#define PLUGIN_CHECK_CHECKS_H

#include <unistd.h>

#include <string>

namespace plugin_check {

// What the author says of the plug-in's frames (--frames=).
enum class FramesClaim { kAny, kChanging, kStable };

class Reporter {
 public:
  explicit Reporter(int fd) : fd_(fd) {}
  // Announced first, so the parent can name a check that crashes or hangs.
  void begin(const std::string& check) { send("B\t" + check); }
  void ok(const std::string& detail = "") { send("R\tOK\t" + detail); }
  void fail(const std::string& why) { send("R\tFAIL\t" + why); }
  void unsupported() { send("R\tnot supported\t"); }

 private:
  void send(std::string line) {
    for (char& c : line) {
      if (c == '\n') c = ' ';  // one line per message, whatever a name holds
    }
    line += '\n';
    if (write(fd_, line.data(), line.size()) < 0) _exit(3);
  }
  int fd_;
};

// One scenario: loads the plug-in at path and runs its checks in order.
typedef void (*ScenarioFn)(const char* path, Reporter& report, FramesClaim claim);

void program_sequence(const char* path, Reporter& report, FramesClaim claim);
void destroy_without_init(const char* path, Reporter& report, FramesClaim claim);
void capture_before_set_resolution(const char* path, Reporter& report, FramesClaim claim);
void dialog_without_terminal(const char* path, Reporter& report, FramesClaim claim);

}  // namespace plugin_check

#endif  // PLUGIN_CHECK_CHECKS_H
