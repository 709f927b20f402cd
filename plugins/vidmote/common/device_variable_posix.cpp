// VIDMOTE_DEVICE on POSIX systems: the environment's bytes.
#include <stdlib.h>

#include "device_variable.h"

namespace vidmote {

DeviceName device_variable() {
  const char* name = getenv("VIDMOTE_DEVICE");
  return name ? name : "";
}

}  // namespace vidmote
