// One place frames come from: the built-in test card now, cameras later.
// The plug-in talks to every source through this interface only.
#ifndef VIDMOTE_FRAME_SOURCE_H
#define VIDMOTE_FRAME_SOURCE_H

#include <stddef.h>
#include <stdint.h>

#include <string>
#include <vector>

namespace vidmote {

struct FrameSize {
  int32_t width;
  int32_t height;
};

// A setting the source offers in the settings dialog: a name and a list of
// choices, one of them current.
struct SourceSetting {
  std::string name;
  std::vector<std::string> choices;
  size_t current;
};

class FrameSource {
 public:
  virtual ~FrameSource() = default;

  // Shown in the dialog and in the plug-in's name.
  virtual std::string name() const = 0;

  virtual bool open() = 0;
  virtual void close() = 0;
  virtual bool is_open() const = 0;

  // False, and the size unchanged, when the source cannot deliver it.
  virtual bool set_size(int32_t width, int32_t height) = 0;
  virtual FrameSize get_size() const = 0;

  // Fills exactly width * height * 3 bytes: B, G, R pixels, bottom row first.
  virtual bool capture(uint8_t* frame) = 0;

  // Sizes the dialog lists; a camera may replace them with its own.
  virtual std::vector<FrameSize> offered_sizes() const {
    return {{320, 240}, {640, 480}, {800, 600}, {1280, 720}, {1920, 1080}};
  }

  // Settings menu hook: what the dialog lists under the size entry.
  virtual std::vector<SourceSetting> settings() const { return {}; }
  virtual bool choose_setting(size_t /*setting*/, size_t /*choice*/) { return false; }
};

}  // namespace vidmote

#endif  // VIDMOTE_FRAME_SOURCE_H
