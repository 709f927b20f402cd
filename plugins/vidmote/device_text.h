// Text that comes from a device (USB descriptors: names of cameras, controls
// and menu items) made safe to show on a terminal.
#ifndef VIDMOTE_DEVICE_TEXT_H
#define VIDMOTE_DEVICE_TEXT_H

#include <string>

namespace vidmote {

// The text with every control character (C0, DEL, C1) and every byte that is
// not part of valid UTF-8 replaced by '?', so no escape sequence survives.
std::string printable(const std::string& text);

}  // namespace vidmote

#endif  // VIDMOTE_DEVICE_TEXT_H
