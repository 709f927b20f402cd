// What a user chose for a camera outside the dialog's session: the
// VIDMOTE_SIZE, _FORMAT, _SETTLE, _CONTROLS and _IDLE variables, and the
// saved settings file, which holds the same lines. Reading them is pure;
// applying them goes through the source's own settings, as the dialog does.
#ifndef VIDMOTE_USER_SETTINGS_H
#define VIDMOTE_USER_SETTINGS_H

#include <stdint.h>

#include <functional>
#include <string>
#include <utility>
#include <vector>

#include "frame_source.h"

namespace vidmote {

// Name and value, in the order given.
using NamedValues = std::vector<std::pair<std::string, std::string>>;

struct UserChoices {
  bool has_size = false;
  FrameSize size = {0, 0};
  NamedValues settings;  // a setting's variable (VIDMOTE_FORMAT) and its value
  NamedValues controls;  // a control's name and its value
  bool has_idle = false;
  int64_t idle_seconds = 0;  // 0: never let go
};

const int64_t kDefaultIdleSeconds = 10;
const int64_t kMostIdleSeconds = 86400;

// The variables read, in the order they are applied.
extern const char* const kSettingVariables[5];

// Reads one variable's value into *choices (an empty value sets nothing).
// False, with the line to print in *error, for a value not understood.
bool read_variable(const std::string& name, const std::string& value, UserChoices* choices,
                   std::string* error);

// Every variable of the family, as get_variable gives them (nullptr: not
// set). False, with the line to print, at the first value not understood.
bool read_variables(const std::function<const char*(const char*)>& get_variable,
                    UserChoices* choices, std::string* error);

// Later choices win over earlier ones, value by value.
void overlay(const UserChoices& later, UserChoices* choices);

// The saved settings file: a comment, then one VARIABLE=value line each.
std::string saved_text(const std::string& identity, const UserChoices& choices);
// False, with why (without the file's name) in *error, when a line is not
// understood: the whole file is then of no use.
bool read_saved_text(const std::string& text, UserChoices* choices, std::string* error);

// Sets what the choices hold on an open source: its own settings (format,
// settle), then the size, then the controls. Every choice is tried; the
// return holds one line per choice that could not be applied, each naming
// the variable, the value and what is accepted. *size_answer: what became of
// the size (kExact when none was asked).
std::vector<std::string> apply_choices(FrameSource& source, const UserChoices& choices,
                                       SizeAnswer* size_answer);

// A setting's name as the variables give it: "Power Line Frequency" is
// power_line_frequency.
std::string script_name(const std::string& name);
// The name of a kChoice setting's choice, as saved.
std::string choice_name(const SourceSetting& setting, size_t choice);
// "1280x720".
std::string size_name(FrameSize size);

}  // namespace vidmote

#endif  // VIDMOTE_USER_SETTINGS_H
