// The plug-in's state behind its exports: its sources and the active one,
// the user's choices set on it, and the watch that lets an idle camera go.
#include "vidmote.h"

#include <stdio.h>

#include <chrono>

#include "device_text.h"
#include "saved_settings.h"

namespace vidmote {

namespace {

const int64_t kNsPerSecond = 1000 * 1000 * 1000;

int64_t steady_now_ns() {
  return std::chrono::duration_cast<std::chrono::nanoseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

}  // namespace

Vidmote::Vidmote(Sources sources, bool named)
    : sources_(std::move(sources)), named_(named), now_ns_(steady_now_ns) {}

Vidmote::~Vidmote() {
  std::unique_lock<std::mutex> lock(mutex_);
  stop_watching(lock);
}

void Vidmote::use_environment(const UserChoices& choices, const std::string& error) {
  std::lock_guard<std::mutex> lock(mutex_);
  environment_ = choices;
  environment_error_ = error;
}

std::string Vidmote::name() {
  std::lock_guard<std::mutex> lock(mutex_);
  choose();
  return "Vidmote: " + active().name();
}

bool Vidmote::init() {
  std::lock_guard<std::mutex> lock(mutex_);
  // A source that just failed is not tried again (nor reported twice) until
  // the plug-in is destroyed.
  if (!chosen_)
    choose();
  else if (!failed_ && !refused_)
    open_source();
  used();
  return !refused_ && active().is_open();
}

// A value of the environment that is not understood fails init before any
// camera is opened; one that cannot be applied, once the source is open.
void Vidmote::choose() {
  if (chosen_) return;
  chosen_ = true;
  if (!environment_error_.empty()) {
    report_line("vidmote: " + printable(environment_error_) + "\n");
    refused_ = true;
    return;
  }
  if (open_source() && !apply_user_choices()) {
    active().close();
    refused_ = true;
  }
}

// Opens the active source, or else the first one after it that opens (unless
// the active one was asked for by name). Each source that does not open gets
// one line on standard error.
bool Vidmote::open_source() {
  failed_ = false;
  if (active().is_open()) return true;
  const FrameSize size = active().get_size();
  for (size_t i = active_; i < sources_.size(); ++i) {
    FrameSource& source = *sources_[i];
    if (i != active_) source.set_size(size.width, size.height);
    if (source.open()) {
      active_ = i;
      return true;
    }
    const bool last_chance = named_ && i == 0;
    report_line("vidmote: " + printable(source.name()) + ": " +
                (last_chance ? "cannot be used" : "skipped") + ": " + printable(source.failure()) +
                "\n");
    if (last_chance) break;
  }
  failed_ = true;
  return false;
}

// The saved settings, then the environment's, on the source just opened.
bool Vidmote::apply_user_choices() {
  load_saved_choices();
  SizeAnswer answer = SizeAnswer::kExact;
  const std::vector<std::string> problems = apply_choices(active(), environment_, &answer);
  if (environment_.has_size && answer != SizeAnswer::kRefused) users_size_ = true;
  if (environment_.has_idle) idle_seconds_ = environment_.idle_seconds;
  for (const std::string& problem : problems) report_line("vidmote: " + printable(problem) + "\n");
  return problems.empty();
}

// Reads the active source's saved settings and sets them on it; one that
// cannot be read or applied is reported, and the start goes on.
void Vidmote::load_saved_choices() {
  saved_ = UserChoices();
  changed_ = false;
  if (!use_saved_) return;
  const std::string path = saved_settings_path(active().identity());
  if (path.empty()) return;
  std::string text, why;
  if (!read_saved_file(path, &text, &why) || !read_saved_text(text, &saved_, &why)) {
    report_line("vidmote: " + printable(path) + ": " + printable(why) +
                "; the saved settings are ignored\n");
    return;
  }
  SizeAnswer answer = SizeAnswer::kExact;
  for (const std::string& problem : apply_choices(active(), saved_, &answer))
    report_line("vidmote: " + printable(path) + ": " + printable(problem) + "; not used\n");
  if (saved_.has_size && answer != SizeAnswer::kRefused) users_size_ = true;
  if (saved_.has_idle) idle_seconds_ = saved_.idle_seconds;
}

void Vidmote::save_choices() {
  if (!use_saved_ || !changed_) return;
  changed_ = false;
  const std::string identity = active().identity();
  // With no folder named for settings (HOME unset), none are kept.
  const std::string path = saved_settings_path(identity);
  std::string why;
  if (!path.empty() && !replace_saved_file(path, saved_text(printable(identity), saved_), &why))
    report_line("vidmote: the settings cannot be saved in " + printable(path) + ": " +
                printable(why) + "\n");
}

// Keeps a value the dialog set, under the name the variables give it.
void Vidmote::remember(const SourceSetting& setting, const std::string& value) {
  UserChoices change;
  if (setting.variable.empty())
    change.controls.emplace_back(script_name(setting.name), value);
  else
    change.settings.emplace_back(setting.variable, value);
  overlay(change, &saved_);
  changed_ = true;
}

void Vidmote::destroy() {
  std::unique_lock<std::mutex> lock(mutex_);
  stop_watching(lock);
  failed_ = false;
  for (auto& source : sources_) source->close();
}

FrameSize Vidmote::get_size() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return active().get_size();
}

// The user's size wins over the program's request.
SizeAnswer Vidmote::set_size(int32_t width, int32_t height) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (users_size_) {
    const FrameSize size = active().get_size();
    return size.width == width && size.height == height ? SizeAnswer::kExact : SizeAnswer::kRefused;
  }
  return active().set_size(width, height);
}

// Opens a closed source first: a camera's size is settled only then, and
// the host sizes its buffer from this answer.
int32_t Vidmote::frame_bytes() {
  std::lock_guard<std::mutex> lock(mutex_);
  choose();
  if (!refused_ && !active().is_open()) active().open();
  used();
  FrameSize size = active().get_size();
  return size.width * size.height * 3;  // sources keep this within int32
}

int32_t Vidmote::capture(uint8_t* frame) {
  std::lock_guard<std::mutex> lock(mutex_);
  choose();
  if (refused_) return 0;
  const FrameSize size = active().get_size();
  if (!active().is_open() && !active().open()) {
    // A camera let go while idle and now taken by another program, say.
    if (let_go_)
      report_line("vidmote: " + printable(active().name()) +
                  ": cannot be opened again: " + printable(active().failure()) + "\n");
    return 0;
  }
  let_go_ = false;
  used();
  // The host's buffer was sized before: never write past it.
  const FrameSize opened = active().get_size();
  if (opened.width != size.width || opened.height != size.height) return 0;
  const bool captured = active().capture(frame);
  used();  // the idle time counts from the capture's end
  return captured ? size.width * size.height * 3 : 0;
}

// ---- Letting an idle source go. ----

void Vidmote::used() {
  last_used_ns_ = now_ns_();
  if (watch_idle_ && !stopping_ && !watcher_.joinable())
    watcher_ = std::thread(&Vidmote::watch, this);
  wake_.notify_all();
}

// Whether the active source is to be let go now; else *wait_ns: how long
// until it may be, -1 for until something changes.
bool Vidmote::idle_due(int64_t* wait_ns) const {
  *wait_ns = -1;
  if (in_dialog_ || idle_seconds_ == 0 || !active().is_open() || !active().holds_device())
    return false;
  const int64_t due = last_used_ns_ + idle_seconds_ * kNsPerSecond;
  const int64_t now = now_ns_();
  if (now >= due) return true;
  *wait_ns = due - now;
  return false;
}

bool Vidmote::release_if_idle() {
  std::lock_guard<std::mutex> lock(mutex_);
  int64_t wait_ns = 0;
  if (!idle_due(&wait_ns)) return false;
  let_go();
  return true;
}

void Vidmote::let_go() {
  active().close();
  let_go_ = true;
}

// The watcher's loop: sleeps until the active source is due to be let go,
// or until a capture or a change wakes it.
void Vidmote::watch() {
  std::unique_lock<std::mutex> lock(mutex_);
  while (!stopping_) {
    int64_t wait_ns = -1;
    if (idle_due(&wait_ns))
      let_go();
    else if (wait_ns < 0)
      wake_.wait(lock);
    else
      wake_.wait_for(lock, std::chrono::nanoseconds(wait_ns));
  }
}

void Vidmote::stop_watching(std::unique_lock<std::mutex>& lock) {
  if (!watcher_.joinable()) return;
  stopping_ = true;
  wake_.notify_all();
  std::thread watcher = std::move(watcher_);
  lock.unlock();
  watcher.join();
  lock.lock();
  stopping_ = false;
}

// ---- The settings dialog. ----

// The sources found afresh: the active one stays as it is, in the place of
// its new twin (or first, when it is gone); the others are new.
void Vidmote::begin_dialog() {
  std::lock_guard<std::mutex> lock(mutex_);
  in_dialog_ = true;
  if (!find_sources_) return;
  Sources found = find_sources_();
  const std::string active_name = active().name();
  size_t place = found.size();
  for (size_t i = 0; i < found.size() && place == found.size(); ++i)
    if (found[i]->name() == active_name) place = i;
  if (place == found.size()) {
    found.insert(found.begin(), nullptr);
    place = 0;
  }
  found[place] = std::move(sources_[active_]);
  sources_ = std::move(found);
  active_ = place;
}

void Vidmote::end_dialog() {
  std::lock_guard<std::mutex> lock(mutex_);
  in_dialog_ = false;
  used();
  save_choices();
}

std::vector<std::string> Vidmote::source_names() const {
  std::lock_guard<std::mutex> lock(mutex_);
  std::vector<std::string> names;
  for (const auto& source : sources_) names.push_back(source->name());
  return names;
}

size_t Vidmote::active_source() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return active_;
}

// The new source keeps the current size when it can deliver it, then takes
// its own saved settings.
bool Vidmote::select_source(size_t index) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (index >= sources_.size()) return false;
  if (index == active_) return true;
  FrameSource& next = *sources_[index];
  if (!next.open()) return false;
  FrameSize size = active().get_size();
  next.set_size(size.width, size.height);
  save_choices();  // the one left keeps what the dialog changed
  active().close();
  active_ = index;
  users_size_ = false;
  load_saved_choices();
  return true;
}

std::vector<FrameSize> Vidmote::offered_sizes() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return active().offered_sizes();
}

std::vector<SourceSetting> Vidmote::settings() const {
  std::lock_guard<std::mutex> lock(mutex_);
  std::vector<SourceSetting> list = active().settings();
  SourceSetting idle;
  idle.key = kIdleKey;
  idle.name = "Let the camera go when idle, seconds (0: never)";
  idle.kind = SourceSetting::kNumber;
  idle.minimum = 0;
  idle.maximum = kMostIdleSeconds;
  idle.value = idle_seconds_;
  idle.variable = "VIDMOTE_IDLE";
  list.push_back(idle);
  return list;
}

bool Vidmote::choose_setting(uint32_t key, size_t choice) {
  std::lock_guard<std::mutex> lock(mutex_);
  for (const SourceSetting& setting : active().settings()) {
    if (setting.key != key) continue;
    if (!active().choose_setting(key, choice)) return false;
    if (setting.kind == SourceSetting::kChoice) remember(setting, choice_name(setting, choice));
    return true;
  }
  return false;
}

bool Vidmote::set_number(uint32_t key, int64_t value) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (key == kIdleKey) {
    if (value < 0 || value > kMostIdleSeconds) return false;
    idle_seconds_ = value;
    UserChoices change;
    change.has_idle = true;
    change.idle_seconds = value;
    overlay(change, &saved_);
    changed_ = true;
    wake_.notify_all();
    return true;
  }
  for (const SourceSetting& setting : active().settings()) {
    if (setting.key != key) continue;
    if (!active().set_number(key, value)) return false;
    char text[24];
    snprintf(text, sizeof text, "%lld", static_cast<long long>(value));
    remember(setting, text);
    return true;
  }
  return false;
}

SizeAnswer Vidmote::choose_size(int32_t width, int32_t height) {
  std::lock_guard<std::mutex> lock(mutex_);
  const SizeAnswer answer = active().set_size(width, height);
  if (answer == SizeAnswer::kRefused) return answer;
  UserChoices change;
  change.has_size = true;
  change.size = active().get_size();
  overlay(change, &saved_);
  changed_ = true;
  users_size_ = true;
  return answer;
}

}  // namespace vidmote
