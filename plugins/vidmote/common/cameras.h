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

// How a user names a camera (VIDMOTE_DEVICE): a device path on Linux; on
// Windows a friendly name or a DevicePath, in UTF-16 so that any name can be
// given whatever the ANSI code page holds.
#ifdef _WIN32
using DeviceName = std::wstring;
#else
using DeviceName = std::string;
#endif

// The camera a user named; one that does not open says why.
std::unique_ptr<FrameSource> camera_at(const DeviceName& name);

}  // namespace vidmote

#endif  // VIDMOTE_CAMERAS_H
