// Platforms without camera support: the test card is the only source.
#include "cameras.h"

namespace vidmote {

namespace {

// A camera named by the user, which cannot be had here.
class UnavailableCamera : public FrameSource {
 public:
  explicit UnavailableCamera(std::string name) : name_(std::move(name)) {}
  std::string name() const override { return name_; }
  bool open() override { return false; }
  void close() override {}
  bool is_open() const override { return false; }
  std::string failure() const override { return "cameras are not supported on this system yet"; }
  SizeAnswer set_size(int32_t width, int32_t height) override {
    size_ = {width, height};
    return SizeAnswer::kExact;
  }
  FrameSize get_size() const override { return size_; }
  bool capture(uint8_t*) override { return false; }

 private:
  std::string name_;
  FrameSize size_ = {640, 480};
};

}  // namespace

std::vector<std::unique_ptr<FrameSource>> find_cameras() {
  return {};
}

std::unique_ptr<FrameSource> camera_at(const std::string& path) {
  return std::make_unique<UnavailableCamera>(path);
}

}  // namespace vidmote
