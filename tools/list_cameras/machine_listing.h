// The machine's cameras as list-cameras shows them: one file for each
// platform fills this in, with the default plug-in's own camera code.
#ifndef LIST_CAMERAS_MACHINE_LISTING_H
#define LIST_CAMERAS_MACHINE_LISTING_H

#include <string>
#include <vector>

#include "listing.h"

namespace list_cameras {

struct MachineListing {
  std::vector<CameraEntry> cameras;      // those to show
  std::string default_name;              // the plug-in's default camera; "" for none
  bool any_camera = false;               // the plug-in finds at least one
  bool listed_whole = true;              // false: a camera asked for could not be read
  std::vector<std::string> not_cameras;  // video nodes the plug-in passes over
  std::string unusable_named;            // the device asked for, when it does not open
};

// Every camera, or only the one named (a device as the platform names it).
MachineListing list_machine(const char* only);

// The listing's text (UTF-8) as the terminal takes it.
std::string for_terminal(const std::string& text);

// For the usage text: the plug-in file and what names a device.
extern const char kPlugInFile[];
extern const char kDeviceHelp[];

}  // namespace list_cameras

#endif  // LIST_CAMERAS_MACHINE_LISTING_H
