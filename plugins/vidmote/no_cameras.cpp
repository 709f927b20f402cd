// Platforms without camera support: the test card is the only source.
#include "cameras.h"

namespace vidmote {

std::vector<std::unique_ptr<FrameSource>> find_cameras() {
  return {};
}

}  // namespace vidmote
