// The machine's V4L2 devices: the kernel's own calls, libjpeg for MJPEG
// frames and libv4lconvert for the rest. (libv4l2 is not used: it writes its own lines on standard
// error for a busy device, and the plug-in says why in words of its own.)
#include "v4l2_device.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <libv4lconvert.h>
#include <poll.h>
#include <stdio.h>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <string>

#include "mjpeg_decode.h"

namespace vidmote {

namespace {

class SystemV4l2Device : public V4l2Device {
 public:
  ~SystemV4l2Device() override { close(); }

  int open(const std::string& path) override {
    close();
    fd_ = ::open(path.c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC);
    return fd_ < 0 ? errno : 0;
  }

  void close() override {
    if (converter_) v4lconvert_destroy(converter_);
    converter_ = nullptr;
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
  }

  int ioctl(unsigned long request, void* argument) override {
    int result;
    do {
      result = ::ioctl(fd_, request, argument);
    } while (result < 0 && errno == EINTR);
    return result;
  }

  void* map(size_t length, uint32_t offset) override {
    void* start = mmap(nullptr, length, PROT_READ | PROT_WRITE, MAP_SHARED, fd_, offset);
    return start == MAP_FAILED ? nullptr : start;
  }

  void unmap(void* start, size_t length) override { munmap(start, length); }

  Wait wait(int timeout_ms) override {
    pollfd waiting = {fd_, POLLIN, 0};
    const int ready = poll(&waiting, 1, timeout_ms);
    if (ready < 0) return errno == EINTR ? Wait::kTimeout : Wait::kError;
    if (ready == 0) return Wait::kTimeout;
    if (waiting.revents & POLLIN) return Wait::kReady;
    return Wait::kBroken;  // POLLERR, POLLHUP, POLLNVAL alone
  }

  int64_t now_ns() override {
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<int64_t>(ts.tv_sec) * 1000000000 + ts.tv_nsec;
  }

  std::string holder(const std::string& path) override { return processes_using(path); }

  bool source_format_for(v4l2_pix_format* bgr, v4l2_pix_format* source) override {
    if (!converter_) converter_ = v4lconvert_create(fd_);
    if (!converter_) return false;
    v4l2_format wanted = {}, found = {};
    wanted.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
    wanted.fmt.pix = *bgr;
    if (v4lconvert_try_format(converter_, &wanted, &found) != 0) return false;
    *bgr = wanted.fmt.pix;
    *source = found.fmt.pix;
    return true;
  }

  bool convert(const v4l2_pix_format& source, const v4l2_pix_format& bgr, const uint8_t* frame,
               size_t frame_bytes, uint8_t* out, size_t out_bytes) override {
    // MJPEG at the size it comes in is decoded strictly, so a frame cut short
    // or corrupt is refused rather than delivered half gray.
    const bool jpeg =
        source.pixelformat == V4L2_PIX_FMT_MJPEG || source.pixelformat == V4L2_PIX_FMT_JPEG;
    if (jpeg && bgr.width == source.width && bgr.height == source.height)
      return decode_mjpeg(frame, frame_bytes, static_cast<int32_t>(bgr.width),
                          static_cast<int32_t>(bgr.height), out, out_bytes);
    if (!converter_) return false;
    v4l2_format from = {}, to = {};
    from.type = to.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
    from.fmt.pix = source;
    to.fmt.pix = bgr;
    const int done =
        v4lconvert_convert(converter_, &from, &to, const_cast<uint8_t*>(frame),
                           static_cast<int>(frame_bytes), out, static_cast<int>(out_bytes));
    return done >= 0 && static_cast<size_t>(done) == out_bytes;
  }

 private:
  int fd_ = -1;
  v4lconvert_data* converter_ = nullptr;
};

// The short name a process goes by, from /proc/PID/comm.
std::string process_name(const char* pid) {
  std::string name;
  const std::string path = std::string("/proc/") + pid + "/comm";
  if (FILE* file = fopen(path.c_str(), "re")) {
    char line[64];
    if (fgets(line, sizeof line, file)) name = line;
    fclose(file);
  }
  while (!name.empty() && name.back() == '\n') name.pop_back();
  return name.empty() ? "a process" : name;
}

}  // namespace

std::string processes_using(const std::string& path) {
  const int kMostNamed = 4;
  struct stat wanted;
  if (::stat(path.c_str(), &wanted) != 0) return std::string();
  const std::string self = std::to_string(getpid());
  std::string found;
  DIR* processes = opendir("/proc");
  if (!processes) return found;
  int listed = 0;
  while (dirent* process = readdir(processes)) {
    const char* pid = process->d_name;
    if (pid[0] < '0' || pid[0] > '9' || self == pid) continue;
    const std::string fds = std::string("/proc/") + pid + "/fd";
    DIR* open_files = opendir(fds.c_str());
    if (!open_files) continue;  // gone, or another user's
    bool holds = false;
    while (dirent* fd = readdir(open_files)) {
      struct stat file;
      if (fd->d_name[0] != '.' && ::stat((fds + "/" + fd->d_name).c_str(), &file) == 0 &&
          file.st_dev == wanted.st_dev && file.st_ino == wanted.st_ino) {
        holds = true;
        break;
      }
    }
    closedir(open_files);
    if (holds && listed++ < kMostNamed)
      found += (found.empty() ? "" : ", ") + process_name(pid) + " (pid " + pid + ")";
  }
  closedir(processes);
  // A line on standard error stays readable; the rest are counted.
  if (listed > kMostNamed) found += " and " + std::to_string(listed - kMostNamed) + " more";
  return found;
}

std::unique_ptr<V4l2Device> system_v4l2_device() {
  return std::make_unique<SystemV4l2Device>();
}

}  // namespace vidmote
