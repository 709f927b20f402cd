// State of the plug-in behind its seven exports: the known sources (the
// machine's cameras, then the test card) and the active one. Every method
// locks, so the host may call from any thread; the settings dialog calls in
// between its reads from the terminal.
//
// The source that serves the frames is chosen when the name is first asked
// (the host asks it before init), so the name is always that source's: the
// first source that opens, each one skipped before it telling on standard
// error why it could not be opened. A source asked for by name is the only
// choice: when it cannot be opened, init fails.
#ifndef VIDMOTE_VIDMOTE_H
#define VIDMOTE_VIDMOTE_H

#include <memory>
#include <mutex>

#include "frame_source.h"

namespace vidmote {

class Vidmote {
 public:
  // Sources in the order a user expects; the first is the default. Never
  // empty. named: the first source was asked for by name.
  explicit Vidmote(std::vector<std::unique_ptr<FrameSource>> sources, bool named = false);

  std::string name();
  bool init();
  void destroy();

  FrameSize get_size() const;
  SizeAnswer set_size(int32_t width, int32_t height);
  int32_t frame_bytes();
  // Fills frame_bytes() bytes and returns their count, 0 on failure. Opens
  // the active source first if the host skipped init.
  int32_t capture(uint8_t* frame);

  // For the settings dialog.
  std::vector<std::string> source_names() const;
  size_t active_source() const;
  bool select_source(size_t index);
  std::vector<FrameSize> offered_sizes() const;
  std::vector<SourceSetting> settings() const;
  bool choose_setting(uint32_t key, size_t choice);
  bool set_number(uint32_t key, int64_t value);

 private:
  FrameSource& active() const { return *sources_[active_]; }
  void choose();
  bool open_source();

  mutable std::mutex mutex_;
  std::vector<std::unique_ptr<FrameSource>> sources_;
  size_t active_ = 0;
  bool named_;
  bool chosen_ = false;
  bool failed_ = false;  // the last attempt to open a source found none
};

}  // namespace vidmote

#endif  // VIDMOTE_VIDMOTE_H
