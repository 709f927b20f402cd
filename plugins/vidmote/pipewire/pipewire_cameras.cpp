// Finding PipeWire's cameras.
#include "pipewire_cameras.h"

#include "pipewire_camera.h"
#include "pw_session.h"

namespace vidmote {

namespace {

const int64_t kListingBound = 3 * kSecond;

std::vector<PwNode> listed_nodes() {
  const std::unique_ptr<PwSession> session = PwSession::connect(kListingBound);
  return session ? session->camera_nodes() : std::vector<PwNode>();
}

}  // namespace

void add_pipewire_cameras(const std::vector<std::string>& v4l2_paths,
                          std::vector<std::unique_ptr<FrameSource>>* cameras) {
  const std::vector<PwNode> nodes = listed_nodes();
  const std::vector<size_t> places = places_among(v4l2_paths, nodes);
  // From the last place back, so the earlier places keep their index.
  for (size_t place = v4l2_paths.size() + 1; place-- > 0;) {
    size_t at = place;
    for (size_t i = 0; i < nodes.size(); ++i) {
      if (places[i] != place) continue;
      cameras->insert(cameras->begin() + static_cast<std::ptrdiff_t>(at++),
                      std::make_unique<PipeWireCamera>(nodes[i]));
    }
  }
}

std::unique_ptr<FrameSource> pipewire_camera_named(const std::string& name) {
  for (const PwNode& node : listed_nodes())
    if (names_node(node, name)) return std::make_unique<PipeWireCamera>(node);
  return nullptr;
}

}  // namespace vidmote
