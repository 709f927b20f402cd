// plugin-check: tells a camera plug-in's author where the plug-in breaks the
// contract. Every scenario runs in a fresh process that loads the plug-in
// with the program's own host, so a crash or a hang is reported as a failed
// check instead of ending the run.
//
//   plugin-check [--frames=changing|stable] [--timeout=SECONDS] PATH
#include <errno.h>
#include <poll.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "checks.h"

namespace {

using plugin_check::FramesClaim;
using plugin_check::Reporter;
using plugin_check::ScenarioFn;

const char kUsage[] =
    "Usage: plugin-check [--frames=changing|stable] [--timeout=SECONDS] PATH\n"
    "Loads the camera plug-in at PATH with the capture console's own host and\n"
    "runs it through the program's call sequence and the ones a plug-in must\n"
    "survive, each scenario in a process of its own: one line per check (OK,\n"
    "FAIL: why, or not supported), then the totals. A plug-in the program cannot\n"
    "open gets the reason here.\n"
    "\n"
    "  --frames=changing  a moving picture is expected: frames that never change fail\n"
    "  --frames=stable    a still picture is expected: frames that change fail\n"
    "  --timeout=SECONDS  the bound on any one check (20 by default)\n"
    "  --help             show this help and exit\n"
    "  --version          show the version and exit\n";

// ---- Parent side: runs each scenario in a child and prints its checks. ----

struct Totals {
  int checks = 0, ok = 0, failed = 0, unsupported = 0;
};

void print_result(const std::string& check, const std::string& status, const std::string& detail,
                  Totals& totals) {
  ++totals.checks;
  if (status == "OK") {
    ++totals.ok;
    printf("%s: OK%s\n", check.c_str(), detail.empty() ? "" : (" (" + detail + ")").c_str());
  } else if (status == "FAIL") {
    ++totals.failed;
    printf("%s: FAIL: %s\n", check.c_str(), detail.c_str());
  } else {
    ++totals.unsupported;
    printf("%s: not supported\n", check.c_str());
  }
}

struct Options {
  const char* path = nullptr;
  FramesClaim claim = FramesClaim::kAny;
  int timeout_seconds = 20;  // for any one check
};

void run_scenario(ScenarioFn scenario, const Options& options, Totals& totals) {
  int channel[2];
  if (pipe(channel) != 0) {
    perror("pipe");
    exit(2);
  }
  fflush(stdout);
  pid_t child = fork();
  if (child < 0) {
    // Without its process the scenario ran no check: a failure, never a pass.
    const std::string why = strerror(errno);
    close(channel[0]);
    close(channel[1]);
    print_result("plug-in", "FAIL", "no process for these checks: " + why, totals);
    return;
  }
  if (child == 0) {
    close(channel[0]);
    Reporter report(channel[1]);
    scenario(options.path, report, options.claim);
    _exit(0);
  }
  close(channel[1]);

  std::string pending_check, buffer;
  bool finished = false, timed_out = false;
  time_t deadline = time(nullptr) + options.timeout_seconds;
  while (!finished) {
    pollfd p = {channel[0], POLLIN, 0};
    const int wait_ms = static_cast<int>(deadline - time(nullptr)) * 1000;
    if (wait_ms <= 0 || poll(&p, 1, wait_ms) == 0) {
      kill(child, SIGKILL);
      print_result(pending_check.empty() ? "plug-in" : pending_check, "FAIL",
                   "no answer within " + std::to_string(options.timeout_seconds) + " s", totals);
      pending_check.clear();
      timed_out = true;
      break;
    }
    char chunk[4096];
    const ssize_t got = read(channel[0], chunk, sizeof chunk);
    if (got <= 0) break;
    buffer.append(chunk, static_cast<size_t>(got));
    for (size_t end; (end = buffer.find('\n')) != std::string::npos; buffer.erase(0, end + 1)) {
      const std::string line = buffer.substr(0, end);
      if (line.rfind("B\t", 0) == 0) {
        pending_check = line.substr(2);
        deadline = time(nullptr) + options.timeout_seconds;
      } else if (line.rfind("R\t", 0) == 0) {
        const size_t tab = line.find('\t', 2);
        print_result(pending_check, line.substr(2, tab - 2),
                     tab == std::string::npos ? "" : line.substr(tab + 1), totals);
        pending_check.clear();
      }
    }
  }
  close(channel[0]);
  int status = 0;
  waitpid(child, &status, 0);
  // A process that did not end as a scenario ends failed, between checks too
  // (a heap broken earlier, a library that crashes as it unloads).
  const bool ended_well = WIFEXITED(status) && WEXITSTATUS(status) == 0;
  if (!timed_out && (!pending_check.empty() || !ended_well)) {
    std::string why =
        WIFSIGNALED(status)
            ? "the plug-in crashed (signal " + std::to_string(WTERMSIG(status)) + ")"
            : "the plug-in ended the process (status " + std::to_string(WEXITSTATUS(status)) + ")";
    if (pending_check.empty()) why += " after its last check";
    print_result(pending_check.empty() ? "plug-in" : pending_check, "FAIL", why, totals);
  }
}

}  // namespace

int main(int argc, char** argv) {
  Options options;
  bool usable = true;
  if (argc == 2 && (strcmp(argv[1], "--help") == 0 || strcmp(argv[1], "--version") == 0)) {
    if (argv[1][2] == 'h')
      fputs(kUsage, stdout);
    else
      puts("plugin-check " CAPTURE_CONSOLE_VERSION);
    return fflush(stdout) == 0 && !ferror(stdout) ? 0 : 1;
  }
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "--frames=changing") {
      options.claim = FramesClaim::kChanging;
    } else if (arg == "--frames=stable") {
      options.claim = FramesClaim::kStable;
    } else if (arg.rfind("--timeout=", 0) == 0 && atoi(arg.c_str() + 10) > 0) {
      options.timeout_seconds = atoi(arg.c_str() + 10);
    } else if (!options.path && arg.rfind("--", 0) != 0) {
      options.path = argv[i];
    } else {
      usable = false;
    }
  }
  if (!usable || !options.path) {
    fputs(kUsage, stderr);
    return 2;
  }
  // A name without a slash would be searched for; the author means this file.
  const std::string file =
      strchr(options.path, '/') ? options.path : std::string("./") + options.path;
  options.path = file.c_str();

  printf("Checking %s\n", file.c_str());
  const struct {
    const char* title;
    ScenarioFn run;
  } kScenarios[] = {{"The program's call sequence", plugin_check::program_sequence},
                    {"Destroy without init", plugin_check::destroy_without_init},
                    {"Capture before set resolution", plugin_check::capture_before_set_resolution},
                    {"Settings dialog without a terminal", plugin_check::dialog_without_terminal}};
  Totals totals;
  for (const auto& scenario : kScenarios) {
    printf("\n%s\n", scenario.title);
    run_scenario(scenario.run, options, totals);
  }
  printf("\nTotal: %d checks, %d OK, %d failed, %d not supported\n", totals.checks, totals.ok,
         totals.failed, totals.unsupported);
  return totals.failed ? 1 : 0;
}
