// The plug-in's state behind its exports: its sources and the active one.
#include "vidmote.h"

#include "device_text.h"

namespace vidmote {

Vidmote::Vidmote(std::vector<std::unique_ptr<FrameSource>> sources, bool named)
    : sources_(std::move(sources)), named_(named) {}

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
  else if (!failed_)
    open_source();
  return active().is_open();
}

void Vidmote::choose() {
  if (chosen_) return;
  chosen_ = true;
  open_source();
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

void Vidmote::destroy() {
  std::lock_guard<std::mutex> lock(mutex_);
  failed_ = false;
  for (auto& source : sources_) source->close();
}

FrameSize Vidmote::get_size() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return active().get_size();
}

SizeAnswer Vidmote::set_size(int32_t width, int32_t height) {
  std::lock_guard<std::mutex> lock(mutex_);
  return active().set_size(width, height);
}

// Opens a closed source first: a camera's size is settled only then, and
// the host sizes its buffer from this answer.
int32_t Vidmote::frame_bytes() {
  std::lock_guard<std::mutex> lock(mutex_);
  if (!active().is_open()) active().open();
  FrameSize size = active().get_size();
  return size.width * size.height * 3;  // sources keep this within int32
}

int32_t Vidmote::capture(uint8_t* frame) {
  std::lock_guard<std::mutex> lock(mutex_);
  const FrameSize size = active().get_size();
  if (!active().is_open() && !active().open()) return 0;
  // The host's buffer was sized before: never write past it.
  const FrameSize opened = active().get_size();
  if (opened.width != size.width || opened.height != size.height) return 0;
  return active().capture(frame) ? size.width * size.height * 3 : 0;
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

// The new source keeps the current size when it can deliver it.
bool Vidmote::select_source(size_t index) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (index >= sources_.size()) return false;
  if (index == active_) return true;
  FrameSource& next = *sources_[index];
  if (!next.open()) return false;
  FrameSize size = active().get_size();
  next.set_size(size.width, size.height);
  active().close();
  active_ = index;
  return true;
}

std::vector<FrameSize> Vidmote::offered_sizes() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return active().offered_sizes();
}

std::vector<SourceSetting> Vidmote::settings() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return active().settings();
}

bool Vidmote::choose_setting(uint32_t key, size_t choice) {
  std::lock_guard<std::mutex> lock(mutex_);
  return active().choose_setting(key, choice);
}

bool Vidmote::set_number(uint32_t key, int64_t value) {
  std::lock_guard<std::mutex> lock(mutex_);
  return active().set_number(key, value);
}

}  // namespace vidmote
