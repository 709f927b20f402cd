// The test camera (tests/plugins/fakecam.cpp) serving chosen frames, through
// the settings it reads from its environment.
#ifndef SUPPORT_TEST_CAMERA_H
#define SUPPORT_TEST_CAMERA_H

#include <map>
#include <string>

// Variable name to value, for a run's environment.
typedef std::map<std::string, std::string> CameraSettings;

// Has the camera serve the frames in `frames`, one after another and over
// again, from frames_file (written here): FAKECAM_FRAMES. Each frame is
// bottom-up rows of B, G, R at the resolution the camera reports.
void serve_frames(CameraSettings& settings, const std::string& frames_file,
                  const std::string& frames);
// The same, with the camera reporting width x height: FAKECAM_SIZE too.
void serve_frames(CameraSettings& settings, const std::string& frames_file, int width, int height,
                  const std::string& frames);

#endif  // SUPPORT_TEST_CAMERA_H
