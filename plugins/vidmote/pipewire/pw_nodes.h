// What the plug-in reads from PipeWire, as plain values: a camera node's
// properties, the modes its formats offer, the mode a capture asks for, and
// where PipeWire's cameras go among the V4L2 ones. Pure, with a table test.
#ifndef VIDMOTE_PW_NODES_H
#define VIDMOTE_PW_NODES_H

#include <stddef.h>
#include <stdint.h>

#include <string>
#include <utility>
#include <vector>

#include "frame_convert.h"
#include "frame_source.h"
#include "streamed_frame.h"

struct spa_pod;
struct spa_pod_builder;

namespace vidmote {

using PwProperties = std::vector<std::pair<std::string, std::string>>;

// A camera PipeWire offers: a node of class Video/Source.
struct PwNode {
  uint32_t id = 0;
  std::string name;          // node.name: stable, VIDMOTE_DEVICE takes it
  std::string description;   // node.description, else node.nick, else the name
  std::string v4l2_path;     // the V4L2 node it streams, if any: api.v4l2.path,
                             // or object.path "v4l2:/dev/video0"
  std::string libcamera_id;  // api.libcamera.path: the libcamera camera, if any
};

// The camera node of an object's properties; false for any other object.
bool camera_node(const PwProperties& properties, PwNode* node);

// What the node wraps: "V4L2 /dev/video0", "libcamera camera \_SB_...",
// or "" when it says nothing.
std::string wrapped_device(const PwNode& node);

// Whether VIDMOTE_DEVICE's value names this node: its node name or its
// description, exactly.
bool names_node(const PwNode& node, const std::string& wanted);

// Where each node goes among the V4L2 cameras (given by their paths, in
// the plug-in's order): the number of V4L2 cameras before it. A node that
// streams a listed V4L2 camera comes right after that camera (used when
// V4L2 cannot stream it, PipeWire holding it); every other node (libcamera)
// after all V4L2 cameras. Nodes keep their order within a place.
std::vector<size_t> places_among(const std::vector<std::string>& v4l2_paths,
                                 const std::vector<PwNode>& nodes);

// One frame format a node offers, at a size or range of sizes.
struct PwMode {
  uint32_t format = 0;  // SPA_VIDEO_FORMAT_*; 0 for MJPEG
  bool mjpeg = false;
  FrameSize smallest = {0, 0}, largest = {0, 0};  // the same for one size
  uint32_t rate_num = 0, rate_den = 1;            // the fastest rate; 0 when unknown
};

// The layout of a raw format the plug-in converts; false for others.
bool pixels_of_format(uint32_t spa_format, PixelLayout* pixels);
// Whether the plug-in can turn the mode's frames into its own.
bool convertible(const PwMode& mode);
// A short name of the mode's format: "YUY2", "BGR", "MJPG", or "format N".
std::string format_name(const PwMode& mode);

// The modes an EnumFormat or Format parameter describes, one for each
// format it offers, the default first; none for one that is not video.
std::vector<PwMode> modes_of_param(const spa_pod* param);

// The mode a capture asks for, with one size and one rate: among the
// convertible modes the wanted size where one offers it, else the nearest
// size offered; at the same size RGB before YUY2 before grey before MJPEG,
// else the node's order. False when none is convertible.
bool choose_mode(const std::vector<PwMode>& modes, FrameSize wanted, PwMode* chosen);

// How the frames of a mode (fixed to one size) are laid out, their rows
// stride bytes apart as PipeWire's buffer says (0: packed); false for a
// format the plug-in does not convert.
bool streamed_frames(const PwMode& mode, uint32_t stride, StreamedFrames* frames);

// The format a stream asks for: the mode's format, size and rate, all fixed
// (a range would be fixed to the node's first mode, whatever was asked).
const spa_pod* format_param(spa_pod_builder* builder, const PwMode& mode);

}  // namespace vidmote

#endif  // VIDMOTE_PW_NODES_H
