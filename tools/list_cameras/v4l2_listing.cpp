// The machine's V4L2 cameras and those a running PipeWire offers, in the
// order and with the verdicts of the default plug-in, each read from its
// node.
#include <dirent.h>
#include <limits.h>
#include <stdlib.h>

#include <algorithm>

#include "cameras.h"
#include "device_text.h"
#include "machine_listing.h"
#include "pipewire_camera.h"
#include "pipewire_details.h"
#include "v4l2_camera.h"
#include "v4l2_details.h"

namespace list_cameras {

const char kPlugInFile[] = "libvidmote.so";
const char kDeviceHelp[] =
    "a /dev/videoN or a link to one, or a PipeWire camera's node name or description";

namespace {

std::string real_path(const std::string& path) {
  char real[PATH_MAX];
  return realpath(path.c_str(), real) ? std::string(real) : std::string();
}

// The stable names udev gives the node, which VIDMOTE_DEVICE takes too.
std::vector<std::string> links_to(const std::string& node) {
  std::vector<std::string> links;
  const std::string real = real_path(node);
  for (const char* folder : {"/dev/v4l/by-id", "/dev/v4l/by-path"}) {
    DIR* dir = opendir(folder);
    if (!dir || real.empty()) continue;
    while (dirent* entry = readdir(dir)) {
      const std::string link = std::string(folder) + "/" + entry->d_name;
      if (entry->d_name[0] != '.' && real_path(link) == real) links.push_back(link);
    }
    closedir(dir);
  }
  std::sort(links.begin(), links.end());
  return links;
}

// The /dev/videoN nodes that are not among the cameras: those that open
// but do not capture video (a webcam's metadata node, say).
std::vector<std::string> other_nodes(const std::vector<std::string>& cameras) {
  std::vector<std::string> names;
  if (DIR* dev = opendir("/dev")) {
    while (dirent* entry = readdir(dev)) names.push_back(entry->d_name);
    closedir(dev);
  }
  std::vector<std::string> others;
  for (int number : vidmote::video_node_numbers(names)) {
    const std::string path = "/dev/video" + std::to_string(number);
    if (std::find(cameras.begin(), cameras.end(), path) == cameras.end()) others.push_back(path);
  }
  return others;
}

// The VIDMOTE_DEVICE value that picks a camera: a V4L2 node's path, a
// PipeWire camera's node name.
std::string selector_of(const vidmote::FrameSource& camera) {
  if (const auto* v4l2 = dynamic_cast<const vidmote::V4l2Camera*>(&camera)) return v4l2->path();
  if (const auto* pipewire = dynamic_cast<const vidmote::PipeWireCamera*>(&camera))
    return pipewire->node().name;
  return "";
}

// Whether the DEVICE argument names the camera: a V4L2 node by its real
// path (wanted), a PipeWire camera as VIDMOTE_DEVICE would.
bool is_named(const vidmote::FrameSource& camera, const std::string& only,
              const std::string& wanted) {
  if (const auto* pipewire = dynamic_cast<const vidmote::PipeWireCamera*>(&camera))
    return names_node(pipewire->node(), only);
  return !wanted.empty() && real_path(selector_of(camera)) == wanted;
}

CameraEntry entry_of(const vidmote::FrameSource& camera, const std::string& path,
                     const std::string& plug_in_name, bool* read) {
  if (const auto* pipewire = dynamic_cast<const vidmote::PipeWireCamera*>(&camera)) {
    *read = true;
    return pipewire_entry(pipewire->node(), pipewire->modes());
  }
  CameraEntry entry;
  *read = describe_v4l2_node(*vidmote::system_v4l2_device(), path, &entry);
  if (entry.name.empty()) entry.name = plug_in_name;
  for (const std::string& link : links_to(path))
    entry.fields.push_back({"link", vidmote::printable(link)});
  return entry;
}

}  // namespace

MachineListing list_machine(const char* only) {
  MachineListing listing;
  const std::vector<std::unique_ptr<vidmote::FrameSource>> cameras = vidmote::find_cameras();
  std::vector<std::string> paths;
  for (const auto& camera : cameras) paths.push_back(selector_of(*camera));
  const std::vector<Verdict> verdicts = plug_in_verdicts(cameras, paths);
  listing.any_camera = !cameras.empty();
  if (!only) {
    std::vector<std::string> v4l2_paths;
    for (const auto& camera : cameras)
      if (dynamic_cast<const vidmote::V4l2Camera*>(camera.get()))
        v4l2_paths.push_back(selector_of(*camera));
    listing.not_cameras = other_nodes(v4l2_paths);
  }

  const std::string wanted = only ? real_path(only) : "";
  bool found = false;
  for (size_t i = 0; i < cameras.size(); ++i) {
    // Opened once, the camera goes by its card's name, as the plug-in's.
    if (verdicts[i].is_default) listing.default_name = cameras[i]->name();
    if (only && !is_named(*cameras[i], only, wanted)) continue;
    found = true;
    bool read = false;
    listing.cameras.push_back(entry_of(*cameras[i], paths[i], cameras[i]->name(), &read));
    listing.cameras.back().verdict = verdicts[i].text;
    listing.listed_whole = listing.listed_whole && (read || !only);
    if (only && !verdicts[i].opens) listing.unusable_named = only;
  }
  if (only && !found) {
    // Not among the plug-in's cameras: what VIDMOTE_DEVICE would make of it.
    const std::unique_ptr<vidmote::FrameSource> named = vidmote::camera_at(only);
    bool read = false;
    listing.cameras.push_back(entry_of(*named, only, named->name(), &read));
    const Verdict verdict = named_camera_verdict(*named, only);
    listing.cameras.back().verdict = verdict.text;
    listing.listed_whole = read;
    if (!verdict.opens) listing.unusable_named = only;
  }
  return listing;
}

std::string for_terminal(const std::string& text) {
  return text;
}

}  // namespace list_cameras
