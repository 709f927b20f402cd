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
//
// Once the source opens, its saved settings are set on it, then the
// environment's (which win); an environment value that cannot be applied
// fails init. While a size of the user's is in force, the host's own
// request is refused. What the dialog changes is saved for the source when
// the dialog closes. A source that holds a device is closed when no capture
// came for the idle time, and opened again by the next capture.
#ifndef VIDMOTE_VIDMOTE_H
#define VIDMOTE_VIDMOTE_H

#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>

#include "frame_source.h"
#include "user_settings.h"

namespace vidmote {

using Sources = std::vector<std::unique_ptr<FrameSource>>;

class Vidmote {
 public:
  // Sources in the order a user expects; the first is the default. Never
  // empty. named: the first source was asked for by name.
  explicit Vidmote(Sources sources, bool named = false);
  ~Vidmote();
  Vidmote(const Vidmote&) = delete;
  Vidmote& operator=(const Vidmote&) = delete;

  // What the user chose outside the dialog, set before the first call:
  // the environment's choices, or the line saying which value was not
  // understood; whether saved settings are read and written.
  void use_environment(const UserChoices& choices, const std::string& error);
  void use_saved_settings(bool use) { use_saved_ = use; }
  // Finds the sources afresh for the dialog; unset, the list never changes.
  void find_sources_with(std::function<Sources()> find) { find_sources_ = std::move(find); }
  // The clock the idle time is measured on, in nanoseconds.
  void measure_time_with(std::function<int64_t()> now_ns) { now_ns_ = std::move(now_ns); }
  // Runs a thread that lets go of an idle source (started at the first
  // call that uses the source, stopped by destroy); without it, only
  // release_if_idle does.
  void watch_idle() { watch_idle_ = true; }

  std::string name();
  bool init();
  void destroy();

  FrameSize get_size() const;
  SizeAnswer set_size(int32_t width, int32_t height);
  int32_t frame_bytes();
  // Fills frame_bytes() bytes and returns their count, 0 on failure. Opens
  // the active source first if the host skipped init.
  int32_t capture(uint8_t* frame);

  // Closes a source that holds a device and had no capture for the idle
  // time; true when it did.
  bool release_if_idle();

  // For the settings dialog, which opens and closes a session around its
  // calls: the sources are found afresh as it opens, and what it changed is
  // saved as it closes.
  void begin_dialog();
  void end_dialog();
  std::vector<std::string> source_names() const;
  size_t active_source() const;
  bool select_source(size_t index);
  std::vector<FrameSize> offered_sizes() const;
  std::vector<SourceSetting> settings() const;
  bool choose_setting(uint32_t key, size_t choice);
  bool set_number(uint32_t key, int64_t value);
  // A size chosen in the dialog; the host's set_size is the program's.
  SizeAnswer choose_size(int32_t width, int32_t height);

  // The dialog's own setting beside the source's: the idle time.
  static const uint32_t kIdleKey = 0xFFFFFF00u;

 private:
  FrameSource& active() const { return *sources_[active_]; }
  void choose();
  bool open_source();
  bool apply_user_choices();
  void load_saved_choices();
  void remember(const SourceSetting& setting, const std::string& value);
  void save_choices();
  void used();
  bool idle_due(int64_t* wait_ns) const;
  void let_go();
  void watch();
  void stop_watching(std::unique_lock<std::mutex>& lock);

  mutable std::mutex mutex_;
  std::vector<std::unique_ptr<FrameSource>> sources_;
  size_t active_ = 0;
  bool named_;
  bool chosen_ = false;
  bool failed_ = false;   // the last attempt to open a source found none
  bool refused_ = false;  // the environment asked what cannot be had: nothing is served

  UserChoices environment_;
  std::string environment_error_;  // a value not understood, as a line
  bool use_saved_ = false;
  bool applied_ = false;     // the user's choices are set on the active source
  bool users_size_ = false;  // a size of the user's is in force
  UserChoices saved_;        // the active source's saved settings and the dialog's changes
  bool changed_ = false;     // the dialog changed saved_
  std::function<Sources()> find_sources_;

  int64_t idle_seconds_ = kDefaultIdleSeconds;
  std::function<int64_t()> now_ns_;
  int64_t last_used_ns_ = 0;
  bool in_dialog_ = false;
  bool let_go_ = false;  // the active source was closed as idle
  bool watch_idle_ = false;
  bool stopping_ = false;
  std::condition_variable wake_;
  std::thread watcher_;
};

}  // namespace vidmote

#endif  // VIDMOTE_VIDMOTE_H
