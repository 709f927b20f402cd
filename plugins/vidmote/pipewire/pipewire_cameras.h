// PipeWire's cameras among the machine's V4L2 ones: found once, where a
// PipeWire runs; nothing, quickly, where none does.
#ifndef VIDMOTE_PIPEWIRE_CAMERAS_H
#define VIDMOTE_PIPEWIRE_CAMERAS_H

#include <memory>
#include <string>
#include <vector>

#include "frame_source.h"

namespace vidmote {

// Adds PipeWire's cameras to the V4L2 cameras (v4l2_paths: their nodes, in
// order): one that streams a V4L2 camera right after it, to be used when
// PipeWire holds that camera for another program; the others (libcamera's)
// after all of them.
void add_pipewire_cameras(const std::vector<std::string>& v4l2_paths,
                          std::vector<std::unique_ptr<FrameSource>>* cameras);

// The PipeWire camera with this node name or description; nullptr when no
// PipeWire runs or none is so named.
std::unique_ptr<FrameSource> pipewire_camera_named(const std::string& name);

}  // namespace vidmote

#endif  // VIDMOTE_PIPEWIRE_CAMERAS_H
