// The VIDMOTE_ settings variables and the saved settings file: reading them,
// and setting what they hold on a source.
#include "user_settings.h"

#include <ctype.h>
#include <errno.h>
#include <stdio.h>
#include <stdlib.h>

#include "saved_settings.h"

namespace vidmote {

const char* const kSettingVariables[5] = {"VIDMOTE_FORMAT", "VIDMOTE_SETTLE", "VIDMOTE_SIZE",
                                          "VIDMOTE_CONTROLS", "VIDMOTE_IDLE"};

namespace {

const char kSizeAccepted[] = "WIDTHxHEIGHT, e.g. 1280x720";
const char kControlsAccepted[] =
    "NAME=VALUE separated by commas, names as list-cameras prints them, e.g. "
    "brightness=120,power_line_frequency=1";

// snprintf rather than std::to_string, which leaves a unique symbol that
// keeps dlclose from unloading the plug-in.
std::string number_text(long long value) {
  char text[24];
  snprintf(text, sizeof text, "%lld", value);
  return text;
}

std::string trimmed(const std::string& text) {
  const char* space = " \t\r\n";
  const size_t first = text.find_first_not_of(space);
  if (first == std::string::npos) return "";
  return text.substr(first, text.find_last_not_of(space) - first + 1);
}

// The text as a whole number within [minimum, maximum].
bool whole_number(const std::string& text, int64_t minimum, int64_t maximum, int64_t* value) {
  const std::string digits = trimmed(text);
  if (digits.empty() || !(isdigit(static_cast<unsigned char>(digits[0])) || digits[0] == '-'))
    return false;
  char* end = nullptr;
  errno = 0;
  const long long number = strtoll(digits.c_str(), &end, 10);
  if (errno == ERANGE || end == digits.c_str() || *end != '\0') return false;
  if (number < minimum || number > maximum) return false;
  *value = number;
  return true;
}

// What two spellings of a name share: "Power Line Frequency" and
// "power_line_frequency", "5 frames" and "5frames" are alike.
std::string key_of(const std::string& text) {
  std::string key;
  for (char c : text) {
    const unsigned char u = static_cast<unsigned char>(c);
    if (isalnum(u) || c == '.') key += static_cast<char>(tolower(u));
  }
  return key;
}

std::string joined(const std::vector<std::string>& parts) {
  std::string text;
  for (const std::string& part : parts) text += (text.empty() ? "" : ", ") + part;
  return text;
}

// Replaces the entry of that name (its spelling aside), else adds it.
void set_named(NamedValues* values, const std::string& name, const std::string& value) {
  for (auto& entry : *values) {
    if (key_of(entry.first) == key_of(name)) {
      entry.second = value;
      return;
    }
  }
  values->emplace_back(name, value);
}

bool read_size(const std::string& value, FrameSize* size) {
  const size_t x = value.find_first_of("xX");
  int64_t width = 0, height = 0;
  if (x == std::string::npos || !whole_number(value.substr(0, x), 1, INT32_MAX, &width) ||
      !whole_number(value.substr(x + 1), 1, INT32_MAX, &height))
    return false;
  *size = {static_cast<int32_t>(width), static_cast<int32_t>(height)};
  return true;
}

bool read_controls(const std::string& value, NamedValues* controls) {
  NamedValues read;
  size_t start = 0;
  for (;;) {
    const size_t comma = value.find(',', start);
    const std::string entry = value.substr(start, comma - start);
    const size_t equals = entry.find('=');
    if (equals == std::string::npos) return false;
    const std::string name = trimmed(entry.substr(0, equals));
    const std::string setting = trimmed(entry.substr(equals + 1));
    if (key_of(name).empty() || setting.empty()) return false;
    set_named(&read, name, setting);
    if (comma == std::string::npos) break;
    start = comma + 1;
  }
  for (const auto& entry : read) set_named(controls, entry.first, entry.second);
  return true;
}

// Sets one setting to the value given for it; false with why and what is
// accepted.
bool apply_value(FrameSource& source, const SourceSetting& setting, const std::string& value,
                 std::string* why) {
  if (setting.read_only || setting.kind == SourceSetting::kAction) {
    *why = std::string(setting.read_only ? "read-only" : "an action, not a value") +
           "; accepted: leave " + script_name(setting.name) + " out";
    return false;
  }
  if (setting.kind == SourceSetting::kNumber) {
    int64_t number = 0;
    if (!whole_number(value, setting.minimum, setting.maximum, &number)) {
      *why = "out of range; accepted: " + script_name(setting.name) + " from " +
             number_text(setting.minimum) + " to " + number_text(setting.maximum);
      return false;
    }
    if (!source.set_number(setting.key, number)) {
      *why = "the camera refused it; accepted: values the camera takes";
      return false;
    }
    return true;
  }
  std::vector<std::string> names;
  for (size_t i = 0; i < setting.choices.size(); ++i) {
    names.push_back(choice_name(setting, i));
    if (key_of(value) != key_of(names.back()) && key_of(value) != key_of(setting.choices[i]))
      continue;
    if (source.choose_setting(setting.key, i)) return true;
    *why = "the camera refused it; accepted: " + joined(names);
    return false;
  }
  *why = "not one of its choices; accepted: " + joined(names);
  return false;
}

}  // namespace

std::string script_name(const std::string& name) {
  std::string script;
  bool gap = false;
  for (char c : name) {
    const unsigned char u = static_cast<unsigned char>(c);
    if (isalnum(u)) {
      if (gap && !script.empty()) script += '_';
      script += static_cast<char>(tolower(u));
      gap = false;
    } else {
      gap = true;
    }
  }
  return script;
}

std::string choice_name(const SourceSetting& setting, size_t choice) {
  if (choice < setting.choice_names.size()) return setting.choice_names[choice];
  return choice < setting.choices.size() ? script_name(setting.choices[choice]) : "";
}

std::string size_name(FrameSize size) {
  return number_text(size.width) + "x" + number_text(size.height);
}

bool read_variable(const std::string& name, const std::string& value, UserChoices* choices,
                   std::string* error) {
  const std::string given = trimmed(value);
  if (given.empty()) return true;
  const char* accepted = nullptr;
  if (name == "VIDMOTE_SIZE") {
    if (read_size(given, &choices->size)) {
      choices->has_size = true;
      return true;
    }
    accepted = kSizeAccepted;
  } else if (name == "VIDMOTE_CONTROLS") {
    if (read_controls(given, &choices->controls)) return true;
    accepted = kControlsAccepted;
  } else if (name == "VIDMOTE_IDLE") {
    if (whole_number(given, 0, kMostIdleSeconds, &choices->idle_seconds)) {
      choices->has_idle = true;
      return true;
    }
    accepted = "whole seconds from 0 (keep the camera open) to 86400";
  } else if (name == "VIDMOTE_FORMAT" || name == "VIDMOTE_SETTLE") {
    // Whether the camera has it is known once it is open.
    set_named(&choices->settings, name, given);
    return true;
  } else {
    *error = name + ": not a setting; accepted: " + kSettingVariables[0];
    for (size_t i = 1; i < sizeof kSettingVariables / sizeof *kSettingVariables; ++i)
      *error += std::string(", ") + kSettingVariables[i];
    return false;
  }
  *error = name + "=" + value + ": not understood; accepted: " + accepted;
  return false;
}

bool read_variables(const std::function<const char*(const char*)>& get_variable,
                    UserChoices* choices, std::string* error) {
  for (const char* name : kSettingVariables) {
    const char* value = get_variable(name);
    if (value && !read_variable(name, value, choices, error)) return false;
  }
  return true;
}

void overlay(const UserChoices& later, UserChoices* choices) {
  if (later.has_size) {
    choices->has_size = true;
    choices->size = later.size;
  }
  for (const auto& entry : later.settings) set_named(&choices->settings, entry.first, entry.second);
  for (const auto& entry : later.controls) set_named(&choices->controls, entry.first, entry.second);
  if (later.has_idle) {
    choices->has_idle = true;
    choices->idle_seconds = later.idle_seconds;
  }
}

std::string saved_text(const std::string& identity, const UserChoices& choices) {
  std::string text = "# Vidmote settings for " + identity + ", kept by the settings dialog.\n";
  for (const auto& entry : choices.settings) text += entry.first + "=" + entry.second + "\n";
  if (choices.has_size) text += "VIDMOTE_SIZE=" + size_name(choices.size) + "\n";
  std::string controls;
  for (const auto& entry : choices.controls)
    controls += (controls.empty() ? "" : ",") + entry.first + "=" + entry.second;
  if (!controls.empty()) text += "VIDMOTE_CONTROLS=" + controls + "\n";
  if (choices.has_idle) text += "VIDMOTE_IDLE=" + number_text(choices.idle_seconds) + "\n";
  return text;
}

bool read_saved_text(const std::string& text, UserChoices* choices, std::string* error) {
  UserChoices read;
  size_t start = 0;
  for (int number = 1; start < text.size(); ++number) {
    size_t end = text.find('\n', start);
    if (end == std::string::npos) end = text.size();
    const std::string line = trimmed(text.substr(start, end - start));
    start = end + 1;
    if (line.empty() || line[0] == '#') continue;
    const size_t equals = line.find('=');
    std::string why;
    if (equals == std::string::npos) {
      why = "not VARIABLE=value";
    } else if (!read_variable(trimmed(line.substr(0, equals)), line.substr(equals + 1), &read,
                              &why)) {
    } else {
      continue;
    }
    *error = "line " + number_text(number) + ": " + why;
    return false;
  }
  overlay(read, choices);
  return true;
}

std::vector<std::string> apply_choices(FrameSource& source, const UserChoices& choices,
                                       SizeAnswer* size_answer) {
  std::vector<std::string> problems;
  for (const auto& [variable, value] : choices.settings) {
    const std::vector<SourceSetting> settings = source.settings();
    const SourceSetting* found = nullptr;
    for (const SourceSetting& setting : settings)
      if (setting.variable == variable) found = &setting;
    std::string why =
        source.name() + " has no such setting; accepted: leave " + variable + " unset";
    if (!found || !apply_value(source, *found, value, &why))
      problems.push_back(variable + "=" + value + ": " + why);
  }

  *size_answer = SizeAnswer::kExact;
  if (choices.has_size) {
    *size_answer = source.set_size(choices.size.width, choices.size.height);
    if (*size_answer == SizeAnswer::kRefused) {
      std::vector<std::string> sizes;
      for (const FrameSize& size : source.offered_sizes()) sizes.push_back(size_name(size));
      problems.push_back("VIDMOTE_SIZE=" + size_name(choices.size) + ": " + source.name() +
                         " cannot deliver it; accepted: a size such as " + joined(sizes));
    }
  }

  for (const auto& [name, value] : choices.controls) {
    const std::vector<SourceSetting> settings = source.settings();
    const SourceSetting* found = nullptr;
    std::vector<std::string> names;
    for (const SourceSetting& setting : settings) {
      if (!setting.variable.empty()) continue;
      names.push_back(script_name(setting.name));
      if (key_of(setting.name) == key_of(name)) found = &setting;
    }
    std::string why = source.name() + " has no such control; accepted: " +
                      (names.empty() ? std::string("none") : joined(names));
    if (!found || !apply_value(source, *found, value, &why))
      problems.push_back("VIDMOTE_CONTROLS=" + name + "=" + value + ": " + why);
  }
  return problems;
}

std::string saved_file_name(const std::string& identity) {
  std::string name;
  for (char c : identity) {
    const unsigned char u = static_cast<unsigned char>(c);
    name += u < 0x80 && (isalnum(u) || c == '-' || c == '.') ? c : '_';
  }
  if (name.size() > 120) name.resize(120);
  return name + ".conf";
}

}  // namespace vidmote
