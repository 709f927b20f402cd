#include "frame_convert.h"

#include <string.h>

namespace vidmote {

namespace {

uint8_t clamp_byte(int value) {
  return static_cast<uint8_t>(value < 0 ? 0 : value > 255 ? 255 : value);
}

// BT.601 limited range (Y 16..235, U and V 16..240), in 8.8 fixed point.
void yuv_to_bgr(int y, int u, int v, uint8_t* bgr) {
  const int c = 298 * (y - 16) + 128, d = u - 128, e = v - 128;
  bgr[0] = clamp_byte((c + 516 * d) >> 8);
  bgr[1] = clamp_byte((c - 100 * d - 208 * e) >> 8);
  bgr[2] = clamp_byte((c + 409 * e) >> 8);
}

void convert_row(const uint8_t* in, int32_t width, PixelLayout pixels, uint8_t* out) {
  switch (pixels) {
    case PixelLayout::kBgr24:
      memcpy(out, in, 3 * static_cast<size_t>(width));
      break;
    case PixelLayout::kRgb24:
      for (int32_t x = 0; x < width; ++x, in += 3, out += 3) {
        out[0] = in[2];
        out[1] = in[1];
        out[2] = in[0];
      }
      break;
    case PixelLayout::kYuyv:
      for (int32_t x = 0; x < width; x += 2, in += 4, out += 6) {
        yuv_to_bgr(in[0], in[1], in[3], out);
        if (x + 1 < width) yuv_to_bgr(in[2], in[1], in[3], out + 3);
      }
      break;
    case PixelLayout::kGrey:
      for (int32_t x = 0; x < width; ++x, out += 3) out[0] = out[1] = out[2] = in[x];
      break;
    case PixelLayout::kNv12:  // the caller converts its rows with their chroma
      break;
  }
}

// One row of NV12: its Y, and the U V row it shares with its neighbour.
void convert_nv12_row(const uint8_t* luma, const uint8_t* chroma, int32_t width, uint8_t* out) {
  for (int32_t x = 0; x < width; ++x, out += 3)
    yuv_to_bgr(luma[x], chroma[x / 2 * 2], chroma[x / 2 * 2 + 1], out);
}

}  // namespace

size_t row_bytes(int32_t width, PixelLayout pixels) {
  if (width <= 0) return 0;
  const size_t w = static_cast<size_t>(width);
  switch (pixels) {
    case PixelLayout::kYuyv:
      return (w + 1) / 2 * 4;
    case PixelLayout::kGrey:
    case PixelLayout::kNv12:
      return w;
    default:
      return 3 * w;
  }
}

size_t frame_bytes_needed(const CameraFrameLayout& layout) {
  const size_t row = row_bytes(layout.width, layout.pixels);
  const size_t stride = layout.bytes_per_line ? layout.bytes_per_line : row;
  if (row == 0 || layout.height <= 0 || stride < row) return 0;
  if (layout.pixels == PixelLayout::kNv12)  // the chroma plane follows, half as many rows
    return stride * static_cast<size_t>(layout.height + (layout.height + 1) / 2 - 1) +
           (row + 1) / 2 * 2;
  return stride * static_cast<size_t>(layout.height - 1) + row;
}

bool convert_to_bottom_up_bgr(const uint8_t* frame, size_t bytes_used,
                              const CameraFrameLayout& layout, uint8_t* out) {
  const size_t needed = frame_bytes_needed(layout);
  if (needed == 0 || bytes_used < needed || !frame || !out) return false;
  const size_t row = row_bytes(layout.width, layout.pixels);
  const size_t stride = layout.bytes_per_line ? layout.bytes_per_line : row;
  const size_t out_row = 3 * static_cast<size_t>(layout.width);
  // The camera's top row becomes the last row in memory, unless rows come
  // bottom-up already.
  for (int32_t t = 0; t < layout.height; ++t) {
    const int32_t out_index = layout.bottom_up ? t : layout.height - 1 - t;
    uint8_t* to = out + out_row * static_cast<size_t>(out_index);
    if (layout.pixels == PixelLayout::kNv12)
      convert_nv12_row(frame + stride * t, frame + stride * (layout.height + t / 2), layout.width,
                       to);
    else
      convert_row(frame + stride * t, layout.width, layout.pixels, to);
  }
  return true;
}

CameraFrameLayout bgr_bitmap_layout(int32_t width, int32_t bitmap_height) {
  const bool bottom_up = bitmap_height > 0;
  // INT32_MIN has no positive counterpart: such a bitmap is unusable anyway.
  const int32_t height = bitmap_height == INT32_MIN ? 0
                         : bottom_up                ? bitmap_height
                                                    : -bitmap_height;
  const size_t stride = (row_bytes(width, PixelLayout::kBgr24) + 3) / 4 * 4;
  return {width, height, stride, PixelLayout::kBgr24, bottom_up};
}

bool pack_rows(const uint8_t* frame, size_t used, const FramePlane* planes, size_t count,
               std::vector<uint8_t>* packed) {
  size_t needed = 0, size = 0;
  for (size_t i = 0; i < count; ++i) {
    const FramePlane& plane = planes[i];
    if (plane.stride < plane.row_bytes) return false;
    needed += plane.stride * plane.rows;
    size += plane.row_bytes * plane.rows;
  }
  if (count > 0 && planes[count - 1].rows > 0)
    needed -= planes[count - 1].stride - planes[count - 1].row_bytes;
  if (!frame || used < needed) return false;
  packed->resize(size);
  uint8_t* out = packed->data();
  for (size_t i = 0; i < count; ++i) {
    const FramePlane& plane = planes[i];
    for (size_t row = 0; row < plane.rows; ++row, out += plane.row_bytes)
      memcpy(out, frame + row * plane.stride, plane.row_bytes);
    frame += plane.stride * plane.rows;
  }
  return true;
}

double mean_brightness(const uint8_t* bgr, int32_t width, int32_t height) {
  if (!bgr || width <= 0 || height <= 0) return 0;
  // 64 x 48 samples at most: enough for a mean, cheap at any size.
  const int32_t columns = width < 64 ? width : 64, rows = height < 48 ? height : 48;
  uint64_t sum = 0;
  for (int32_t r = 0; r < rows; ++r) {
    const uint8_t* row = bgr + static_cast<size_t>(r * (height / rows)) * 3 * width;
    for (int32_t c = 0; c < columns; ++c) {
      const uint8_t* p = row + static_cast<size_t>(c * (width / columns)) * 3;
      sum += (29u * p[0] + 150u * p[1] + 77u * p[2]) >> 8;  // BT.601 luma
    }
  }
  return static_cast<double>(sum) / (static_cast<double>(columns) * rows);
}

Colour mean_colour(const uint8_t* bgr, int32_t width, int32_t height) {
  Colour mean;
  if (!bgr || width <= 0 || height <= 0) return mean;
  const int32_t columns = width < 64 ? width : 64, rows = height < 48 ? height : 48;
  uint64_t sums[3] = {};
  for (int32_t r = 0; r < rows; ++r) {
    const uint8_t* row = bgr + static_cast<size_t>(r * (height / rows)) * 3 * width;
    for (int32_t c = 0; c < columns; ++c) {
      const uint8_t* p = row + static_cast<size_t>(c * (width / columns)) * 3;
      for (int i = 0; i < 3; ++i) sums[i] += p[i];
    }
  }
  const double samples = static_cast<double>(columns) * rows;
  mean.blue = sums[0] / samples;
  mean.green = sums[1] / samples;
  mean.red = sums[2] / samples;
  return mean;
}

namespace {

// Whether marker code is a frame header's (SOF0 to SOF15 but DHT, JPG and
// DAC): it gives the image's size.
bool is_frame_header(uint8_t code) {
  return code >= 0xC0 && code <= 0xCF && code != 0xC4 && code != 0xC8 && code != 0xCC;
}

// Where the next marker begins at or after `at`, passing over 0xFF fill,
// a scan's stuffed zeros and restart markers, and stray bytes (the decoder
// judges those); size when there is none.
size_t next_marker(const uint8_t* bytes, size_t size, size_t at) {
  for (;;) {
    const void* found = at < size ? memchr(bytes + at, 0xFF, size - at) : nullptr;
    if (!found) return size;
    at = static_cast<size_t>(static_cast<const uint8_t*>(found) - bytes);
    if (at + 1 >= size) return size;
    const uint8_t code = bytes[at + 1];
    if (code != 0x00 && code != 0xFF && (code < 0xD0 || code > 0xD7)) return at;
    ++at;
  }
}

}  // namespace

JpegFrame jpeg_frame(const uint8_t* bytes, size_t size, JpegImage* image) {
  if (!bytes || size < 4 || bytes[0] != 0xFF || bytes[1] != 0xD8) return JpegFrame::kNotJpeg;
  JpegImage found;
  for (size_t at = 2;;) {
    at = next_marker(bytes, size, at);
    if (at >= size) return JpegFrame::kCutShort;
    const uint8_t code = bytes[at + 1];
    at += 2;
    if (code == 0xD9) {
      found.bytes = at;
      if (image) *image = found;
      return JpegFrame::kWhole;
    }
    if (code == 0xD8) return JpegFrame::kCutShort;  // the next image began before this one ended
    if (code == 0x01) continue;                     // TEM: no length
    // A segment: its length counts itself; a scan's data follow it.
    if (at + 2 > size) return JpegFrame::kCutShort;
    const size_t length = static_cast<size_t>(bytes[at] << 8 | bytes[at + 1]);
    if (length < 2) return JpegFrame::kNotJpeg;
    if (length > size - at) return JpegFrame::kCutShort;
    if (is_frame_header(code) && length >= 7) {
      found.height = bytes[at + 3] << 8 | bytes[at + 4];
      found.width = bytes[at + 5] << 8 | bytes[at + 6];
    }
    at += length;
  }
}

}  // namespace vidmote
