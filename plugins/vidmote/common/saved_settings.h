// Where each camera's saved settings live and how that file is read and
// replaced: $XDG_CONFIG_HOME/vidmote (else ~/.config/vidmote) on POSIX
// systems, %APPDATA%\vidmote on Windows; one file per camera. One file per
// system.
#ifndef VIDMOTE_SAVED_SETTINGS_H
#define VIDMOTE_SAVED_SETTINGS_H

#include <string>

namespace vidmote {

// The file of the camera of that identity; "" when the system names no
// folder for settings.
std::string saved_settings_path(const std::string& identity);

// The file's text. False when it cannot be read, with why in *why; a file
// that does not exist is read as empty.
bool read_saved_file(const std::string& path, std::string* text, std::string* why);

// Writes the file whole or not at all (a temporary file renamed over it),
// making its folders first. False with why.
bool replace_saved_file(const std::string& path, const std::string& text, std::string* why);

// The file name for a camera: its identity with every character but
// letters, digits, '-' and '.' made '_', then ".conf".
std::string saved_file_name(const std::string& identity);

}  // namespace vidmote

#endif  // VIDMOTE_SAVED_SETTINGS_H
