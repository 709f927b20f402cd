// What list-cameras shows of a camera PipeWire offers: its node, what it
// wraps (a V4L2 node or a libcamera camera) and the formats it offers.
#ifndef LIST_CAMERAS_PIPEWIRE_DETAILS_H
#define LIST_CAMERAS_PIPEWIRE_DETAILS_H

#include <vector>

#include "listing.h"
#include "pw_nodes.h"

namespace list_cameras {

// The entry of a PipeWire camera, its formats from the modes the node
// offered (none when it could not be asked).
CameraEntry pipewire_entry(const vidmote::PwNode& node, const std::vector<vidmote::PwMode>& modes);

}  // namespace list_cameras

#endif  // LIST_CAMERAS_PIPEWIRE_DETAILS_H
