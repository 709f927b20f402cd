// Finding the machine's V4L2 cameras.
#include <dirent.h>
#include <fcntl.h>
#include <limits.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <algorithm>

#include "cameras.h"
#include "device_text.h"
#include "pipewire_cameras.h"
#include "v4l2_camera.h"
#include "v4l2_support.h"

namespace vidmote {

namespace {

// The name the kernel gives /dev/videoN, readable without opening it.
std::string kernel_name(int number) {
  char path[64];
  snprintf(path, sizeof path, "/sys/class/video4linux/video%d/name", number);
  std::string name;
  if (FILE* file = fopen(path, "re")) {
    char line[128];
    if (fgets(line, sizeof line, file)) name = line;
    fclose(file);
  }
  while (!name.empty() && (name.back() == '\n' || name.back() == ' ')) name.pop_back();
  return printable(name);
}

}  // namespace

std::vector<int> video_node_numbers(const std::vector<std::string>& names) {
  std::vector<int> numbers;
  for (const std::string& entry : names) {
    const char* name = entry.c_str();
    if (strncmp(name, "video", 5) != 0 || !name[5]) continue;
    char* end = nullptr;
    const long number = strtol(name + 5, &end, 10);
    if (*end == '\0' && number >= 0 && number < 1000 && name[5] >= '0' && name[5] <= '9')
      numbers.push_back(static_cast<int>(number));
  }
  std::sort(numbers.begin(), numbers.end());  // video2 before video10
  return numbers;
}

bool offers_only_grey(const std::vector<uint32_t>& formats) {
  if (formats.empty()) return false;
  for (uint32_t format : formats) {
    switch (format) {
      case V4L2_PIX_FMT_GREY:
      case V4L2_PIX_FMT_Y10:
      case V4L2_PIX_FMT_Y12:
      case V4L2_PIX_FMT_Y16:
      case V4L2_PIX_FMT_Y10BPACK:
        continue;
      default:
        return false;
    }
  }
  return true;
}

std::vector<VideoNode> in_default_order(std::vector<VideoNode> nodes) {
  std::stable_partition(nodes.begin(), nodes.end(),
                        [](const VideoNode& node) { return !offers_only_grey(node.formats); });
  return nodes;
}

std::vector<std::unique_ptr<FrameSource>> find_cameras() {
  std::vector<std::string> names;
  if (DIR* dev = opendir("/dev")) {
    while (dirent* entry = readdir(dev)) names.push_back(entry->d_name);
    closedir(dev);
  }

  // A node that cannot be opened now is listed as well, under the name the
  // kernel gives it, so the user learns why it is not used.
  std::vector<VideoNode> nodes;
  for (int number : video_node_numbers(names)) {
    char path[32];
    snprintf(path, sizeof path, "/dev/video%d", number);
    const int fd = ::open(path, O_RDWR | O_NONBLOCK | O_CLOEXEC);
    VideoNode node = {number, std::string(), {}};
    if (fd >= 0) {
      v4l2_capability caps = {};
      const bool queried = ioctl(fd, VIDIOC_QUERYCAP, &caps) == 0;
      v4l2_fmtdesc format = {};
      format.type = capture_type(caps);
      for (; queried && format.index < kMostListed && ioctl(fd, VIDIOC_ENUM_FMT, &format) == 0;
           ++format.index)
        node.formats.push_back(format.pixelformat);
      ::close(fd);
      if (!queried || !is_camera_node(caps)) continue;
      node.card = text_of(caps.card, sizeof caps.card);
    } else {
      node.card = kernel_name(number);
    }
    nodes.push_back(node);
  }

  std::vector<std::unique_ptr<FrameSource>> cameras;
  std::vector<std::string> paths;
  for (const VideoNode& node : in_default_order(nodes)) {
    paths.push_back("/dev/video" + std::to_string(node.number));
    cameras.push_back(std::make_unique<V4l2Camera>(paths.back(), node.card, system_v4l2_device()));
  }
  add_pipewire_cameras(paths, &cameras);
  return cameras;
}

std::vector<std::string> V4l2Device::video_nodes() {
  std::vector<std::string> names;
  if (DIR* dev = opendir("/dev")) {
    while (dirent* entry = readdir(dev)) names.push_back(entry->d_name);
    closedir(dev);
  }
  std::vector<std::string> nodes;
  for (int number : video_node_numbers(names))
    nodes.push_back("/dev/video" + std::to_string(number));
  return nodes;
}

CameraIdentity identity_of(V4l2Device& device, const std::string& path,
                           const v4l2_capability& caps) {
  CameraIdentity identity;
  identity.card = text_of(caps.card, sizeof caps.card);
  identity.bus = text_of(caps.bus_info, sizeof caps.bus_info);
  identity.interface = device.interface_of(path);
  v4l2_fmtdesc format = {};
  format.type = capture_type(caps);
  for (; format.index < kMostListed && device.ioctl(VIDIOC_ENUM_FMT, &format) == 0; ++format.index)
    identity.formats.push_back(format.pixelformat);
  return identity;
}

std::string V4l2Device::interface_of(const std::string& path) {
  // /dev/v4l links lead to the node; sysfs leads from the node to its device.
  char node[PATH_MAX], device[PATH_MAX];
  if (!realpath(path.c_str(), node)) return "";
  const char* name = strrchr(node, '/');
  const std::string link =
      std::string("/sys/class/video4linux/") + (name ? name + 1 : node) + "/device";
  if (!realpath(link.c_str(), device)) return "";
  const char* last = strrchr(device, '/');
  return last ? last + 1 : device;
}

std::string node_of_camera(V4l2Device& device, const std::string& named,
                           const CameraIdentity& camera) {
  std::vector<std::string> candidates = {named};
  for (const std::string& node : device.video_nodes())
    if (node != named) candidates.push_back(node);
  for (const std::string& path : candidates) {
    if (device.open(path) != 0) continue;
    v4l2_capability caps = {};
    const bool same = device.ioctl(VIDIOC_QUERYCAP, &caps) == 0 && is_camera_node(caps) &&
                      identity_of(device, path, caps) == camera;
    device.close();
    if (same) return path;
  }
  return "";
}

// A name that is no path may be a PipeWire camera's.
std::unique_ptr<FrameSource> camera_at(const std::string& path) {
  if (path.empty() || path[0] != '/')
    if (std::unique_ptr<FrameSource> camera = pipewire_camera_named(path)) return camera;
  return std::make_unique<V4l2Camera>(path, "", system_v4l2_device());
}

}  // namespace vidmote
