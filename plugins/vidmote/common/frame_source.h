// One place frames come from: the built-in test card or a camera. The plug-in
// talks to every source through this interface only.
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

// What became of a requested frame size.
enum class SizeAnswer {
  kExact,    // the source now delivers that size
  kNearest,  // a camera took the nearest size it has, now in force
  kRefused,  // the size in force is unchanged
};

// A setting the source offers in the settings dialog: a list of choices with
// one of them current, a whole number within a range, or an action.
struct SourceSetting {
  enum Kind { kChoice, kNumber, kAction };

  uint32_t key = 0;  // stable for the setting while the source is open
  std::string name;
  std::vector<std::string> choices;  // kChoice
  size_t current = 0;                // kChoice: index into choices
  Kind kind = kChoice;
  int64_t minimum = 0, maximum = 0, step = 1, value = 0;  // kNumber
  bool read_only = false;
  std::string note;  // shown beside the value, e.g. "inactive"
  // The variable that sets it (VIDMOTE_FORMAT, say); "" for a control, set
  // through VIDMOTE_CONTROLS under its name.
  std::string variable;
  // kChoice: what scripts and the saved settings call each choice (a menu
  // entry's value, a format's code); empty: the choice's number from 0.
  std::vector<std::string> choice_names;
};

class FrameSource {
 public:
  virtual ~FrameSource() = default;

  // Shown in the dialog and in the plug-in's name.
  virtual std::string name() const = 0;
  // Who the source is, whatever node it has now: its saved settings go
  // with it.
  virtual std::string identity() const { return name(); }
  // Whether an open source keeps a device from others: such a one is let go
  // while the program waits.
  virtual bool holds_device() const { return true; }

  virtual bool open() = 0;
  virtual void close() = 0;
  // Why the last open failed, in words a user can act on.
  virtual std::string failure() const { return "it cannot be opened"; }
  virtual bool is_open() const = 0;

  virtual SizeAnswer set_size(int32_t width, int32_t height) = 0;
  virtual FrameSize get_size() const = 0;

  // Fills exactly width * height * 3 bytes: B, G, R pixels, bottom row first.
  virtual bool capture(uint8_t* frame) = 0;

  // Sizes the dialog lists; a camera may replace them with its own.
  virtual std::vector<FrameSize> offered_sizes() const {
    return {{320, 240}, {640, 480}, {800, 600}, {1280, 720}, {1920, 1080}};
  }

  // Settings menu hook: what the dialog lists under the size entry. A
  // setting is addressed by its key, so a list that changed in between (a
  // control the driver no longer shows) never shifts a change onto another.
  virtual std::vector<SourceSetting> settings() const { return {}; }
  // Picks a choice of a kChoice setting, or runs a kAction one (choice 0).
  virtual bool choose_setting(uint32_t /*key*/, size_t /*choice*/) { return false; }
  virtual bool set_number(uint32_t /*key*/, int64_t /*value*/) { return false; }
};

}  // namespace vidmote

#endif  // VIDMOTE_FRAME_SOURCE_H
