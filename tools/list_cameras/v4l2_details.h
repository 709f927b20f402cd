// What a V4L2 node tells about itself: card, driver and bus, formats with
// their sizes and frame rates, and controls. Linux only.
#ifndef LIST_CAMERAS_V4L2_DETAILS_H
#define LIST_CAMERAS_V4L2_DETAILS_H

#include <string>

#include "listing.h"
#include "v4l2_device.h"

namespace list_cameras {

// Opens the node at path through device, reads it into *entry (heading,
// name, fields, formats, controls) and closes it; false, with
// entry->problem saying why, when it cannot be read.
bool describe_v4l2_node(vidmote::V4l2Device& device, const std::string& path, CameraEntry* entry);

}  // namespace list_cameras

#endif  // LIST_CAMERAS_V4L2_DETAILS_H
