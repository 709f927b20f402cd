#include "support/test_camera.h"

#include "support/files.h"

void serve_frames(CameraSettings& settings, const std::string& frames_file,
                  const std::string& frames) {
  write_file(frames_file, frames);
  settings["FAKECAM_FRAMES"] = frames_file;
}

void serve_frames(CameraSettings& settings, const std::string& frames_file, int width, int height,
                  const std::string& frames) {
  settings["FAKECAM_SIZE"] = std::to_string(width) + " " + std::to_string(height);
  serve_frames(settings, frames_file, frames);
}
