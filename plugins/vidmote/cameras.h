// The cameras of this machine, as frame sources, in the order a user expects
// (the first one is the default). Empty where there are none, and on
// platforms without camera support yet.
#ifndef VIDMOTE_CAMERAS_H
#define VIDMOTE_CAMERAS_H

#include <memory>
#include <string>
#include <vector>

#include "frame_source.h"

namespace vidmote {

std::vector<std::unique_ptr<FrameSource>> find_cameras();

// The camera a user named (a device path); one that does not open says why.
std::unique_ptr<FrameSource> camera_at(const std::string& path);

}  // namespace vidmote

#endif  // VIDMOTE_CAMERAS_H
