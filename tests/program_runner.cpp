#include "program_runner.h"

#include <fcntl.h>
#include <grp.h>
#include <poll.h>
#include <pty.h>
#include <pwd.h>
#include <signal.h>
#include <stdio.h>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <set>
#include <sstream>
#include <stdexcept>

#include "support/clock.h"
#include "support/files.h"

namespace {

// The null-terminated array execve takes; valid while strings is.
std::vector<char*> pointers_to(std::vector<std::string>& strings) {
  std::vector<char*> pointers;
  for (std::string& s : strings) pointers.push_back(s.data());
  pointers.push_back(nullptr);
  return pointers;
}

// A user and group id that no process of the machine runs as, nor any
// account names: a process limit counts every process of the user, so the
// run's own are then the only ones counted. From the process id, so that
// test processes side by side pick different ones.
uid_t unused_id() {
  std::set<uid_t> used;
  std::error_code ignored;
  for (const auto& entry : std::filesystem::directory_iterator("/proc", ignored)) {
    std::ifstream status(entry.path() / "status");
    for (std::string line; std::getline(status, line);) {
      if (line.rfind("Uid:", 0) == 0 || line.rfind("Gid:", 0) == 0) {
        std::istringstream ids(line.substr(4));
        for (uid_t id; ids >> id;) used.insert(id);
      }
    }
  }
  for (uid_t id = 0x70000000 + static_cast<uid_t>(getpid() % 65536) * 16;; ++id) {
    if (!used.count(id) && !getpwuid(id) && !getgrgid(id)) return id;
  }
}

// The program's bytes in an anonymous file that anyone may execute: run
// from it, the program starts whatever the mode of its file and of the
// folders on its path, as the user of a limited run too.
int executable_copy(const std::string& program) {
  const int copy = memfd_create("program", MFD_CLOEXEC);
  const std::string bytes = read_file(program);
  if (copy < 0 || write(copy, bytes.data(), bytes.size()) != static_cast<ssize_t>(bytes.size())) {
    if (copy >= 0) close(copy);
    throw std::runtime_error("cannot copy " + program);
  }
  return copy;
}

// As an interactive shell starts a program, whatever this process ignores,
// but for the signals the options ignore.
void set_signals_for(const RunOptions& options) {
  for (int signal_number : {SIGPIPE, SIGINT, SIGTERM, SIGHUP}) signal(signal_number, SIG_DFL);
  for (int signal_number : options.ignored_signals) signal(signal_number, SIG_IGN);
}

}  // namespace

std::vector<std::string> environment(const RunOptions& options) {
  std::vector<std::string> env = {"PATH=/usr/bin:/bin", "LC_ALL=C"};
  if (!options.plugin.empty()) {
    env.push_back("LD_LIBRARY_PATH=" + std::string(TEST_PLUGIN_DIR) + "/" + options.plugin);
  }
  for (const auto& [key, value] : options.env) {
    auto same_key = [&](const std::string& s) { return s.rfind(key + "=", 0) == 0; };
    env.erase(std::remove_if(env.begin(), env.end(), same_key), env.end());
    env.push_back(key + "=" + value);
  }
  return env;
}

std::vector<std::string> command_line(const RunOptions& options) {
  std::vector<std::string> command = {options.program};
  command.insert(command.end(), options.args.begin(), options.args.end());
  return command;
}

RunResult run_program(const std::string& cwd, const RunOptions& options) {
  // Standard streams go through files outside the scratch folder, so a
  // large output cannot block the child and the folder stays untouched.
  ScratchDir io;
  const std::string in_path = io.file("stdin"), out_path = io.file("stdout"),
                    err_path = io.file("stderr");
  write_file(in_path, options.input);

  std::vector<std::string> env_strings = environment(options);
  std::vector<char*> envp = pointers_to(env_strings);

  std::vector<std::string> command = command_line(options);
  // A limited run, as root, is an unused user's (no limit binds root).
  const bool limited = options.process_limit >= 0;
  const uid_t run_as = limited && geteuid() == 0 ? unused_id() : geteuid();
  const int program = limited ? executable_copy(command[0]) : -1;

  int pipe_ends[2] = {-1, -1};
  if (options.output_pipe_bytes >= 0 && pipe(pipe_ends) != 0) throw std::runtime_error("no pipe");
  pid_t pid = fork();
  if (pid < 0) throw std::runtime_error("fork failed");
  if (pid == 0) {
    int in = open(in_path.c_str(), O_RDONLY);
    int out = pipe_ends[1] >= 0 ? pipe_ends[1]
                                : open(options.output_file.empty() ? out_path.c_str()
                                                                   : options.output_file.c_str(),
                                       O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (pipe_ends[0] >= 0) close(pipe_ends[0]);
    int err = open(err_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (in < 0 || out < 0 || err < 0 || dup2(in, 0) < 0 || dup2(out, 1) < 0 || dup2(err, 2) < 0 ||
        chdir(cwd.c_str()) != 0) {
      _exit(120);
    }
    if (options.file_size_limit >= 0) {
      // Writes past the limit then fail with EFBIG instead of killing.
      signal(SIGXFSZ, SIG_IGN);
      rlimit limit = {static_cast<rlim_t>(options.file_size_limit),
                      static_cast<rlim_t>(options.file_size_limit)};
      setrlimit(RLIMIT_FSIZE, &limit);
    }
    if (options.address_space_limit >= 0) {
      rlimit limit = {static_cast<rlim_t>(options.address_space_limit),
                      static_cast<rlim_t>(options.address_space_limit)};
      setrlimit(RLIMIT_AS, &limit);
    }
    if (limited) {
      if (run_as != geteuid() &&
          (setgroups(0, nullptr) != 0 || setgid(run_as) != 0 || setuid(run_as) != 0)) {
        _exit(122);
      }
      rlimit limit = {static_cast<rlim_t>(options.process_limit),
                      static_cast<rlim_t>(options.process_limit)};
      setrlimit(RLIMIT_NPROC, &limit);
    }
    set_signals_for(options);
    for (int fd : options.closed_streams) close(fd);
    if (program >= 0) {
      fexecve(program, pointers_to(command).data(), envp.data());
    } else {
      execve(command[0].c_str(), pointers_to(command).data(), envp.data());
    }
    _exit(121);
  }
  if (program >= 0) close(program);

  RunResult result;
  if (pipe_ends[0] >= 0) {
    // Reads what was asked for (or to the end, or for the time allowed),
    // then closes the pipe, as a reader like `head -c` does.
    close(pipe_ends[1]);
    const time_t deadline = time(nullptr) + options.timeout_seconds;
    char chunk[4096];
    while (static_cast<int64_t>(result.out.size()) < options.output_pipe_bytes) {
      pollfd ready = {pipe_ends[0], POLLIN, 0};
      if (time(nullptr) > deadline || poll(&ready, 1, 100) < 0) break;
      if (!(ready.revents & (POLLIN | POLLHUP))) continue;
      const size_t wanted = std::min<size_t>(
          sizeof chunk, static_cast<size_t>(options.output_pipe_bytes) - result.out.size());
      const ssize_t got = read(pipe_ends[0], chunk, wanted);
      if (got <= 0) break;
      result.out.append(chunk, static_cast<size_t>(got));
    }
    close(pipe_ends[0]);
  }
  int wait_status = 0;
  const timespec tick = {0, 5 * 1000 * 1000};
  for (long waited_ms = 0;; waited_ms += 5) {
    if (waitpid(pid, &wait_status, WNOHANG) == pid) break;
    if (waited_ms > options.timeout_seconds * 1000L) {
      kill(pid, SIGKILL);
      waitpid(pid, &wait_status, 0);
      result.timed_out = true;
      break;
    }
    nanosleep(&tick, nullptr);
  }
  result.status = WIFEXITED(wait_status) ? WEXITSTATUS(wait_status) : 128 + WTERMSIG(wait_status);
  if (pipe_ends[0] < 0) result.out = read_file(out_path);
  result.err = read_file(err_path);
  return result;
}

InteractiveRun::InteractiveRun(const std::string& cwd, const RunOptions& options)
    : timeout_seconds_(options.timeout_seconds) {
  std::vector<std::string> env = environment(options), command = command_line(options);
  int in[2], out[2], err[2], terminal = -1;
  if (pipe(in) || pipe(out) || pipe(err)) throw std::runtime_error("no pipes");
  if (openpty(&tty_, &terminal, nullptr, nullptr, nullptr) != 0) throw std::runtime_error("no pty");
  fflush(nullptr);
  pid_ = fork();
  if (pid_ < 0) throw std::runtime_error("fork failed");
  if (pid_ == 0) {
    setsid();
    ioctl(terminal, TIOCSCTTY, 0);
    dup2(in[0], 0);
    dup2(out[1], 1);
    dup2(err[1], 2);
    for (int fd = 3; fd < 1024; ++fd) close(fd);
    if (chdir(cwd.c_str()) != 0) _exit(120);
    set_signals_for(options);
    execve(command[0].c_str(), pointers_to(command).data(), pointers_to(env).data());
    _exit(121);
  }
  // Keys typed after the program ended fail rather than end the test.
  signal(SIGPIPE, SIG_IGN);
  close(terminal);
  close(in[0]);
  close(out[1]);
  close(err[1]);
  in_ = in[1];
  out_ = out[0];
  err_ = err[0];
}

InteractiveRun::~InteractiveRun() {
  if (pid_ > 0 && !exited_) {
    kill(pid_, SIGKILL);
    waitpid(pid_, nullptr, 0);
  }
  for (int fd : {in_, out_, err_, tty_})
    if (fd >= 0) close(fd);
}

void InteractiveRun::send_signal(int signal_number) {
  if (!exited_) kill(pid_, signal_number);
}

int InteractiveRun::wait_exit() {
  const double deadline = now_seconds() + timeout_seconds_;
  while (!reaped() && now_seconds() < deadline) pump(100);
  while (pump(0)) {
  }
  return exited_ ? status_ : -1;
}

void InteractiveRun::write_all(int fd, const std::string& text) {
  size_t done = 0;
  while (done < text.size()) {
    ssize_t n = write(fd, text.data() + done, text.size() - done);
    if (n <= 0) return;
    done += n;
  }
}

bool InteractiveRun::reaped() {
  int status = 0;
  if (!exited_ && waitpid(pid_, &status, WNOHANG) == pid_) {
    exited_ = true;
    status_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  }
  return exited_;
}

// Reads whatever is ready on the three outputs, waiting up to wait_ms.
// False when there was nothing to read.
bool InteractiveRun::pump(int wait_ms) {
  pollfd fds[3] = {{out_, POLLIN, 0}, {tty_, POLLIN, 0}, {err_, POLLIN, 0}};
  std::string* texts[3] = {&out_text_, &tty_text_, &err_text_};
  if (poll(fds, 3, wait_ms) <= 0) return false;
  bool got = false;
  for (int i = 0; i < 3; ++i) {
    if (!(fds[i].revents & (POLLIN | POLLHUP))) continue;
    char buffer[8192];
    ssize_t n = read(fds[i].fd, buffer, sizeof buffer);
    if (n > 0) texts[i]->append(buffer, n);
    got = got || n > 0;
  }
  return got;
}

bool InteractiveRun::expect(std::string* text, size_t* seen, const std::string& wanted) {
  const double deadline = now_seconds() + timeout_seconds_;
  for (;;) {
    size_t found = text->find(wanted, *seen);
    if (found != std::string::npos) {
      if (text == &tty_text_) tty_mark_ = *seen;
      *seen = found + wanted.size();
      return true;
    }
    if (now_seconds() > deadline) return false;
    const bool ended = reaped();  // then only what is left in the pipes
    if (!pump(ended ? 0 : 100) && ended) return false;
  }
}
