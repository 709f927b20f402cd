#include "program_runner.h"

#include <ctype.h>
#include <dirent.h>
#include <fcntl.h>
#include <grp.h>
#include <iconv.h>
#include <poll.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <fstream>
#include <sstream>
#include <stdexcept>

namespace {

void remove_tree(const std::string& path) {
  if (DIR* dir = opendir(path.c_str())) {
    while (dirent* entry = readdir(dir)) {
      std::string name = entry->d_name;
      if (name == "." || name == "..") continue;
      std::string child = path + "/" + name;
      if (entry->d_type == DT_DIR) {
        remove_tree(child);
      } else {
        unlink(child.c_str());
      }
    }
    closedir(dir);
  }
  rmdir(path.c_str());
}

std::string make_temp_dir() {
  const char* base = getenv("TMPDIR");
  std::string pattern = std::string(base && *base ? base : "/tmp") + "/console-test-XXXXXX";
  std::vector<char> name(pattern.begin(), pattern.end());
  name.push_back('\0');
  if (!mkdtemp(name.data())) throw std::runtime_error("mkdtemp failed");
  return name.data();
}

}  // namespace

ScratchDir::ScratchDir() : path_(make_temp_dir()) {}
ScratchDir::~ScratchDir() {
  remove_tree(path_);
}

std::vector<std::string> ScratchDir::list() const {
  return list_folder(path_);
}

std::vector<std::string> list_folder(const std::string& path) {
  std::vector<std::string> names;
  if (DIR* dir = opendir(path.c_str())) {
    while (dirent* entry = readdir(dir)) {
      std::string name = entry->d_name;
      if (name != "." && name != "..") names.push_back(name);
    }
    closedir(dir);
  }
  std::sort(names.begin(), names.end());
  return names;
}

std::string read_file(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream bytes;
  bytes << in.rdbuf();
  return bytes.str();
}

void write_file(const std::string& path, const std::string& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  if (!out) throw std::runtime_error("cannot write " + path);
}

bool file_exists(const std::string& path) {
  return access(path.c_str(), F_OK) == 0;
}

std::string to_charset(const std::string& utf8, const char* charset) {
  iconv_t cd = iconv_open(charset, "UTF-8");
  if (cd == reinterpret_cast<iconv_t>(-1))
    throw std::runtime_error(std::string("no converter to ") + charset);
  std::string in = utf8, out(utf8.size() * 2, '\0');
  char* src = in.data();
  char* dst = out.data();
  size_t src_left = in.size(), dst_left = out.size();
  const size_t converted = iconv(cd, &src, &src_left, &dst, &dst_left);
  iconv_close(cd);
  if (converted == static_cast<size_t>(-1))
    throw std::runtime_error(std::string("not ") + charset + ": " + utf8);
  out.resize(out.size() - dst_left);
  return out;
}

RunResult run_program(const std::string& cwd, const RunOptions& options) {
  // Standard streams go through files outside the scratch folder, so a
  // large output cannot block the child and the folder stays untouched.
  ScratchDir io;
  const std::string in_path = io.file("stdin"), out_path = io.file("stdout"),
                    err_path = io.file("stderr");
  write_file(in_path, options.input);

  std::vector<std::string> env_strings = {"PATH=/usr/bin:/bin", "LC_ALL=C"};
  if (!options.plugin.empty()) {
    env_strings.push_back("LD_LIBRARY_PATH=" + std::string(TEST_PLUGIN_DIR) + "/" + options.plugin);
  }
  for (const auto& [key, value] : options.env) {
    auto same_key = [&](const std::string& s) { return s.rfind(key + "=", 0) == 0; };
    env_strings.erase(std::remove_if(env_strings.begin(), env_strings.end(), same_key),
                      env_strings.end());
    env_strings.push_back(key + "=" + value);
  }
  std::vector<char*> envp;
  for (auto& s : env_strings) envp.push_back(s.data());
  envp.push_back(nullptr);

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
    if (options.process_limit >= 0) {
      const uid_t nobody = 65534;
      if (geteuid() == 0 &&
          (setgroups(0, nullptr) != 0 || setgid(nobody) != 0 || setuid(nobody) != 0)) {
        _exit(122);
      }
      rlimit limit = {static_cast<rlim_t>(options.process_limit),
                      static_cast<rlim_t>(options.process_limit)};
      setrlimit(RLIMIT_NPROC, &limit);
    }
    signal(SIGPIPE, SIG_DFL);  // as a shell starts it
    for (int fd : options.closed_streams) close(fd);
    std::vector<char*> argv = {const_cast<char*>(options.program.c_str())};
    for (const std::string& arg : options.args) argv.push_back(const_cast<char*>(arg.c_str()));
    argv.push_back(nullptr);
    execve(argv[0], argv.data(), envp.data());
    _exit(121);
  }

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

#ifdef __linux__
#include <linux/videodev2.h>

namespace {

std::string control_name(const std::string& name) {
  std::string out;
  for (char c : name) out += isalnum(static_cast<unsigned char>(c)) ? tolower(c) : '_';
  return out;
}

}  // namespace

bool set_camera_control(const std::string& device, const std::string& name, int32_t value) {
  const int fd = open(device.c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return false;
  bool done = false;
  v4l2_queryctrl query = {};
  query.id = V4L2_CTRL_FLAG_NEXT_CTRL;
  while (ioctl(fd, VIDIOC_QUERYCTRL, &query) == 0) {
    if (control_name(reinterpret_cast<const char*>(query.name)) == control_name(name)) {
      v4l2_control control = {query.id, value};
      done = ioctl(fd, VIDIOC_S_CTRL, &control) == 0;
      break;
    }
    query.id |= V4L2_CTRL_FLAG_NEXT_CTRL;
  }
  close(fd);
  return done;
}
#else
bool set_camera_control(const std::string&, const std::string&, int32_t) {
  return false;
}
#endif
