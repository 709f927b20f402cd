// The few calls a camera makes on its V4L2 device node, the clock it reads
// and the conversion of a frame to BGR24, behind one interface, so the camera
// code can be run against a stand-in for a driver. Linux only.
#ifndef VIDMOTE_V4L2_DEVICE_H
#define VIDMOTE_V4L2_DEVICE_H

#include <linux/videodev2.h>
#include <stddef.h>
#include <stdint.h>

#include <memory>
#include <string>
#include <vector>

namespace vidmote {

class V4l2Device {
 public:
  enum class Wait { kReady, kTimeout, kBroken, kError };

  virtual ~V4l2Device() = default;

  // Opens the node (read-write, non-blocking); 0, or the errno of the failure.
  virtual int open(const std::string& path) = 0;
  virtual void close() = 0;
  // As ioctl(2), retried on EINTR: 0, or -1 with errno set.
  virtual int ioctl(unsigned long request, void* argument) = 0;
  // A streaming buffer mapped into memory; nullptr on failure.
  virtual void* map(size_t length, uint32_t offset) = 0;
  virtual void unmap(void* start, size_t length) = 0;
  // Waits at most timeout_ms (0 or more) for a filled buffer.
  virtual Wait wait(int timeout_ms) = 0;
  // CLOCK_MONOTONIC, in nanoseconds.
  virtual int64_t now_ns() = 0;
  // The processes that have the node at `path` open, as processes_using
  // names them; empty when none can be seen.
  virtual std::string holder(const std::string& path) = 0;
  // The machine's video nodes, "/dev/videoN" in number order.
  virtual std::vector<std::string> video_nodes();
  // The device a node belongs to as sysfs shows it (for USB the interface,
  // "1-5:1.0"); "" where it cannot be told.
  virtual std::string interface_of(const std::string& path);

  // The camera format that serves BGR24 frames of about the size in *bgr:
  // *bgr gets the size that will be delivered, *source what to set on the
  // device. False when the camera has nothing convertible.
  virtual bool source_format_for(v4l2_pix_format* bgr, v4l2_pix_format* source) = 0;
  // Converts one frame of the source format to the BGR24 one; false when it
  // cannot (a damaged frame, say).
  virtual bool convert(const v4l2_pix_format& source, const v4l2_pix_format& bgr,
                       const uint8_t* frame, size_t frame_bytes, uint8_t* out,
                       size_t out_bytes) = 0;
};

// The other processes that have the file at `path` open, as
// "name (pid N)" joined by ", ", four at most, then " and N more"; found
// through /proc/*/fd, those of other users only with the right to look.
std::string processes_using(const std::string& path);

// The machine's own device, converted with libv4lconvert.
std::unique_ptr<V4l2Device> system_v4l2_device();

}  // namespace vidmote

#endif  // VIDMOTE_V4L2_DEVICE_H
