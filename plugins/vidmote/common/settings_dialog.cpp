#include "settings_dialog.h"

#include <errno.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>

#include <string>

#include "device_text.h"
#include "dialog_terminal.h"

namespace vidmote {

namespace {

// Line-based reads and writes on the terminal.
class Terminal {
 public:
  Terminal() = default;
  Terminal(const Terminal&) = delete;  // the device is closed once
  Terminal& operator=(const Terminal&) = delete;

  bool is_open() const { return device_.is_open(); }

  void write(const std::string& text) {
    size_t done = 0;
    while (done < text.size()) {
      long n = device_.write_some(text.data() + done, text.size() - done);
      if (n <= 0) return;  // a lost prompt is no reason to stop the dialog
      done += static_cast<size_t>(n);
    }
  }

  // One line without its end; false at the end of input or on an error.
  bool read_line(std::string* line) {
    for (;;) {
      size_t end = pending_.find('\n');
      if (end != std::string::npos) {
        line->assign(pending_, 0, end);
        pending_.erase(0, end + 1);
        return true;
      }
      char buffer[256];
      long n = device_.read_some(buffer, sizeof buffer);
      if (n <= 0) {
        // Text ended by end of input rather than Enter still counts.
        if (pending_.empty()) return false;
        line->swap(pending_);
        pending_.clear();
        return true;
      }
      pending_.append(buffer, static_cast<size_t>(n));
    }
  }

 private:
  TerminalDevice device_;
  std::string pending_;
};

std::string trim(const std::string& text) {
  const char* space = " \t\r\n";
  size_t first = text.find_first_not_of(space);
  if (first == std::string::npos) return "";
  return text.substr(first, text.find_last_not_of(space) - first + 1);
}

// Reads whole numbers from text, which must hold exactly count of them.
bool parse_numbers(const std::string& text, long* values, int count) {
  const char* p = text.c_str();
  for (int i = 0; i < count; ++i) {
    char* end = nullptr;
    errno = 0;
    values[i] = strtol(p, &end, 10);
    if (end == p || errno == ERANGE) return false;
    p = end;
  }
  return trim(p).empty();
}

// snprintf rather than std::to_string: the latter leaves a unique symbol in
// the library that keeps dlclose from ever unloading it.
std::string number_text(long long value) {
  char text[24];
  snprintf(text, sizeof text, "%lld", value);
  return text;
}

std::string size_text(const FrameSize& size) {
  return number_text(size.width) + " x " + number_text(size.height);
}

const char kRetry[] = "Please type a number from the menu.\n";

// Lists choices as 1..n plus "0) Back" and sets *chosen to the index picked,
// or -1 for back (0 or an empty line). False at the end of input.
bool pick(Terminal& tty, const std::string& title, const std::vector<std::string>& choices,
          size_t current, long* chosen) {
  for (;;) {
    std::string menu = "\n" + title + "\n";
    for (size_t i = 0; i < choices.size(); ++i) {
      menu += "  " + number_text(i + 1) + ") " + choices[i];
      menu += i == current ? "  (current)\n" : "\n";
    }
    menu += "  0) Back\nChoice: ";
    tty.write(menu);
    std::string line;
    if (!tty.read_line(&line)) return false;
    line = trim(line);
    long n = 0;
    if (line.empty())
      n = 0;
    else if (!parse_numbers(line, &n, 1) || n < 0 || n > static_cast<long>(choices.size())) {
      tty.write(kRetry);
      continue;
    }
    *chosen = n - 1;
    return true;
  }
}

bool choose_source(Terminal& tty, Vidmote& plugin) {
  std::vector<std::string> names = plugin.source_names();
  long chosen = -1;
  if (!pick(tty, "Source", names, plugin.active_source(), &chosen)) return false;
  if (chosen >= 0 && !plugin.select_source(static_cast<size_t>(chosen)))
    tty.write("Could not open " + names[chosen] + "; source unchanged.\n");
  return true;
}

// Says what became of the size asked when it is not what the camera delivers.
void apply_size(Terminal& tty, Vidmote& plugin, long width, long height) {
  const bool fits =
      width >= INT32_MIN && width <= INT32_MAX && height >= INT32_MIN && height <= INT32_MAX;
  const SizeAnswer answer =
      fits ? plugin.choose_size(static_cast<int32_t>(width), static_cast<int32_t>(height))
           : SizeAnswer::kRefused;
  const std::string asked =
      "Size " + number_text(width) + " x " + number_text(height) + " is not available; ";
  if (answer == SizeAnswer::kNearest)
    tty.write(asked + "the camera now delivers " + size_text(plugin.get_size()) + ".\n");
  else if (answer == SizeAnswer::kRefused)
    tty.write(asked + "size unchanged.\n");
}

bool choose_size(Terminal& tty, Vidmote& plugin) {
  const std::vector<FrameSize> sizes = plugin.offered_sizes();
  const FrameSize now = plugin.get_size();
  std::vector<std::string> choices;
  size_t current = sizes.size() + 1;  // none of them
  for (size_t i = 0; i < sizes.size(); ++i) {
    choices.push_back(size_text(sizes[i]));
    if (sizes[i].width == now.width && sizes[i].height == now.height) current = i;
  }
  choices.push_back("Custom: W H");
  long chosen = -1;
  if (!pick(tty, "Frame size", choices, current, &chosen)) return false;
  if (chosen < 0) return true;
  if (static_cast<size_t>(chosen) < sizes.size()) {
    apply_size(tty, plugin, sizes[chosen].width, sizes[chosen].height);
    return true;
  }
  for (;;) {
    tty.write("Width and height (W H, empty line: back): ");
    std::string line;
    if (!tty.read_line(&line)) return false;
    for (char& c : line)
      if (c == 'x' || c == 'X') c = ' ';  // "1024x768" reads as well
    long wh[2];
    if (trim(line).empty()) return true;
    if (parse_numbers(line, wh, 2)) {
      apply_size(tty, plugin, wh[0], wh[1]);
      return true;
    }
    tty.write("Please type two numbers, e.g. 1024 768.\n");
  }
}

// The value as the main menu shows it, with its range and any note.
std::string setting_text(const SourceSetting& setting) {
  std::string text;
  switch (setting.kind) {
    case SourceSetting::kChoice:
      text = setting.current < setting.choices.size() ? setting.choices[setting.current] : "?";
      break;
    case SourceSetting::kNumber:
      text = number_text(setting.value) + " (" + number_text(setting.minimum) + " to " +
             number_text(setting.maximum) + ")";
      break;
    case SourceSetting::kAction:
      text = "(action)";
      break;
  }
  if (setting.read_only) text += " [read-only]";
  if (!setting.note.empty()) text += " [" + setting.note + "]";
  return text;
}

bool choose_number(Terminal& tty, Vidmote& plugin, const SourceSetting& setting) {
  for (;;) {
    tty.write(setting.name + " (" + number_text(setting.minimum) + " to " +
              number_text(setting.maximum) + ", step " + number_text(setting.step) + ", now " +
              number_text(setting.value) + "; empty line: back): ");
    std::string line;
    if (!tty.read_line(&line)) return false;
    if (trim(line).empty()) return true;
    long value = 0;
    if (parse_numbers(line, &value, 1) && value >= setting.minimum && value <= setting.maximum) {
      if (!plugin.set_number(setting.key, value)) tty.write(setting.name + " unchanged.\n");
      return true;
    }
    tty.write("Please type a number from " + number_text(setting.minimum) + " to " +
              number_text(setting.maximum) + ".\n");
  }
}

bool choose_setting(Terminal& tty, Vidmote& plugin, const SourceSetting& setting) {
  if (setting.read_only) {
    tty.write(setting.name + " is read-only.\n");
    return true;
  }
  if (setting.kind == SourceSetting::kNumber) return choose_number(tty, plugin, setting);
  if (setting.kind == SourceSetting::kAction) {
    tty.write(plugin.choose_setting(setting.key, 0) ? setting.name + " done.\n"
                                                    : setting.name + " failed.\n");
    return true;
  }
  long chosen = -1;
  if (!pick(tty, setting.name, setting.choices, setting.current, &chosen)) return false;
  if (chosen >= 0 && !plugin.choose_setting(setting.key, static_cast<size_t>(chosen)))
    tty.write(setting.name + " unchanged.\n");
  return true;
}

}  // namespace

bool run_settings_dialog(Vidmote& plugin) {
  Terminal tty;
  if (!tty.is_open()) return false;
  plugin.begin_dialog();

  for (bool going = true; going;) {
    const std::vector<SourceSetting> settings = plugin.settings();
    const std::vector<std::string> names = plugin.source_names();
    std::string menu = "\nVidmote settings\n";
    menu += "  1) Source: " + names[plugin.active_source()] + "\n";
    menu += "  2) Size: " + size_text(plugin.get_size()) + "\n";
    for (size_t i = 0; i < settings.size(); ++i) {
      menu += "  " + number_text(i + 3) + ") " + settings[i].name + ": " +
              setting_text(settings[i]) + "\n";
    }
    menu += "  0) Done\nChoice (Enter: done): ";
    tty.write(menu);

    std::string line;
    if (!tty.read_line(&line)) break;
    line = trim(line);
    if (line.empty() || line == "done") break;
    long choice = 0;
    if (!parse_numbers(line, &choice, 1) || choice < 0 ||
        choice > static_cast<long>(settings.size()) + 2) {
      tty.write(kRetry);
      continue;
    }
    if (choice == 0) break;
    if (choice == 1)
      going = choose_source(tty, plugin);
    else if (choice == 2)
      going = choose_size(tty, plugin);
    else
      going = choose_setting(tty, plugin, settings[choice - 3]);
  }
  plugin.end_dialog();
  tty.write("\nSettings closed.\n");
  return true;
}

}  // namespace vidmote
