// The default plug-in's step from a camera's frame (top row first, padded
// rows, BGR24 / RGB24 / YUYV) to the plug-in's bottom-up packed BGR frame.
#include "frame_convert.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

using vidmote::CameraFrameLayout;
using vidmote::PixelLayout;
using Bytes = std::vector<uint8_t>;

const uint8_t kPad = 0xEE;  // padding that must never reach the frame

// YUYV values are worked out from BT.601 limited range by hand:
//   Y 235, U V 128 -> white;  Y 16 -> black;  Y 126 -> gray 128;
//   Y 81, U 90, V 239 (vivid's red) -> B 0, G 0, R 253;
//   Y U V all 255 -> B 255 (clamped), G 125, R 255 (clamped);
//   Y U V all 0   -> B 0 (clamped), G 135, R 0 (clamped).
TEST(FrameConvert, RowsAreFlippedUnpaddedAndInBgrOrder) {
  const struct {
    const char* what;
    CameraFrameLayout layout;
    Bytes frame;  // as the camera sends it, top row first
    Bytes want;   // bottom row first
  } cases[] = {
      {"BGR24 packed",
       {2, 2, 0, PixelLayout::kBgr24},
       {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12},
       {7, 8, 9, 10, 11, 12, 1, 2, 3, 4, 5, 6}},
      {"BGR24, 8-byte rows",
       {2, 2, 8, PixelLayout::kBgr24},
       {1, 2, 3, 4, 5, 6, kPad, kPad, 7, 8, 9, 10, 11, 12},
       {7, 8, 9, 10, 11, 12, 1, 2, 3, 4, 5, 6}},
      {"BGR24, three rows",
       {1, 3, 4, PixelLayout::kBgr24},
       {1, 2, 3, kPad, 4, 5, 6, kPad, 7, 8, 9},
       {7, 8, 9, 4, 5, 6, 1, 2, 3}},
      {"RGB24 swapped",
       {1, 2, 0, PixelLayout::kRgb24},
       {10, 20, 30, 40, 50, 60},
       {60, 50, 40, 30, 20, 10}},
      {"RGB24, 4-byte rows",
       {1, 2, 4, PixelLayout::kRgb24},
       {10, 20, 30, kPad, 40, 50, 60},
       {60, 50, 40, 30, 20, 10}},
      {"YUYV white, black",
       {2, 1, 0, PixelLayout::kYuyv},
       {235, 128, 16, 128},
       {255, 255, 255, 0, 0, 0}},
      {"YUYV odd width",
       {3, 1, 0, PixelLayout::kYuyv},
       {81, 90, 81, 239, 126, 128, kPad, 128},
       {0, 0, 253, 0, 0, 253, 128, 128, 128}},
      {"BGR24 bottom row first, 8-byte rows",
       {2, 2, 8, PixelLayout::kBgr24, true},
       {1, 2, 3, 4, 5, 6, kPad, kPad, 7, 8, 9, 10, 11, 12},
       {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12}},
      {"RGB24 bottom row first",
       {1, 2, 0, PixelLayout::kRgb24, true},
       {10, 20, 30, 40, 50, 60},
       {30, 20, 10, 60, 50, 40}},
      {"GREY, 3-byte rows",
       {2, 2, 3, PixelLayout::kGrey},
       {10, 20, kPad, 30, 40},
       {30, 30, 30, 40, 40, 40, 10, 10, 10, 20, 20, 20}},
      {"YUYV clamped",
       {2, 2, 6, PixelLayout::kYuyv},
       {255, 255, 255, 255, kPad, kPad, 0, 0, 0, 0},
       {0, 135, 0, 0, 135, 0, 255, 125, 255, 255, 125, 255}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    Bytes out(c.want.size() + 4, 0x5A);
    ASSERT_EQ(vidmote::frame_bytes_needed(c.layout), c.frame.size());
    ASSERT_TRUE(
        vidmote::convert_to_bottom_up_bgr(c.frame.data(), c.frame.size(), c.layout, out.data()));
    EXPECT_EQ(Bytes(out.begin(), out.begin() + c.want.size()), c.want);
    EXPECT_EQ(Bytes(out.begin() + c.want.size(), out.end()), Bytes(4, 0x5A)) << "wrote past";
  }
}

TEST(FrameConvert, BytesNeededCountEveryRowButTheLastWithItsPadding) {
  const struct {
    CameraFrameLayout layout;
    size_t want;
  } cases[] = {
      {{640, 480, 0, PixelLayout::kBgr24}, 921600},
      {{640, 480, 1920, PixelLayout::kBgr24}, 921600},
      {{640, 480, 2048, PixelLayout::kBgr24}, 2048 * 479 + 1920},
      {{640, 480, 0, PixelLayout::kYuyv}, 614400},
      {{641, 1, 0, PixelLayout::kYuyv}, 1284},
      {{640, 480, 1919, PixelLayout::kBgr24}, 0},  // rows shorter than their pixels
      {{640, 480, 1000, PixelLayout::kYuyv}, 0},
      {{0, 480, 0, PixelLayout::kBgr24}, 0},
      {{640, 0, 0, PixelLayout::kBgr24}, 0},
      {{-1, 5, 0, PixelLayout::kRgb24}, 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::to_string(c.layout.width) + " x " + std::to_string(c.layout.height) +
                 ", line " + std::to_string(c.layout.bytes_per_line));
    EXPECT_EQ(vidmote::frame_bytes_needed(c.layout), c.want);
  }
}

// Windows bitmaps as DirectShow hands them over: rows padded to 4 bytes, a
// positive height bottom row first, a negative one top row first. The
// picture's top row is {1, 2, 3}, its bottom row {4, 5, 6} (one pixel wide).
TEST(FrameConvert, BitmapsOfEitherRowOrderEndBottomRowFirst) {
  const struct {
    const char* what;
    int32_t width, bitmap_height;
    size_t stride;
    Bytes frame;
    Bytes want;
  } cases[] = {
      {"bottom-up, one pixel", 1, 2, 4, {4, 5, 6, kPad, 1, 2, 3}, {4, 5, 6, 1, 2, 3}},
      {"top-down, one pixel", 1, -2, 4, {1, 2, 3, kPad, 4, 5, 6}, {4, 5, 6, 1, 2, 3}},
      {"bottom-up, rows need no padding",
       4,
       1,
       12,
       {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12},
       {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12}},
      {"top-down, three rows of two pixels",
       2,
       -3,
       8,
       {1, 1, 1, 2, 2, 2, kPad, kPad, 3, 3, 3, 4, 4, 4, kPad, kPad, 5, 5, 5, 6, 6, 6},
       {5, 5, 5, 6, 6, 6, 3, 3, 3, 4, 4, 4, 1, 1, 1, 2, 2, 2}},
      {"bottom-up, 640 wide rows of 1920 bytes", 640, 1, 1920, Bytes(1920, 9), Bytes(1920, 9)},
      {"top-down, 2 wide rows of 8 bytes", 2, -1, 8, {1, 2, 3, 4, 5, 6}, {1, 2, 3, 4, 5, 6}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    const CameraFrameLayout layout = vidmote::bgr_bitmap_layout(c.width, c.bitmap_height);
    EXPECT_EQ(layout.bytes_per_line, c.stride);
    EXPECT_EQ(layout.bottom_up, c.bitmap_height > 0);
    Bytes out(c.want.size() + 4, 0x5A);
    ASSERT_TRUE(
        vidmote::convert_to_bottom_up_bgr(c.frame.data(), c.frame.size(), layout, out.data()));
    EXPECT_EQ(Bytes(out.begin(), out.begin() + c.want.size()), c.want);
    EXPECT_EQ(Bytes(out.begin() + c.want.size(), out.end()), Bytes(4, 0x5A)) << "wrote past";
  }
}

TEST(FrameConvert, AShortOrUnusableFrameIsRefusedAndNothingWritten) {
  const Bytes frame(64, 7);
  const struct {
    const char* what;
    CameraFrameLayout layout;
    size_t used;
  } cases[] = {
      {"one byte short", {2, 2, 8, PixelLayout::kBgr24}, 13},
      {"nothing used", {2, 2, 0, PixelLayout::kBgr24}, 0},
      {"YUYV short", {4, 2, 0, PixelLayout::kYuyv}, 15},
      {"rows too short", {4, 2, 11, PixelLayout::kBgr24}, 64},
      {"no pixels", {0, 2, 0, PixelLayout::kBgr24}, 64},
      {"bitmap, last row short", vidmote::bgr_bitmap_layout(2, -2), 13},
      {"bitmap of no rows", vidmote::bgr_bitmap_layout(2, 0), 64},
      {"bitmap height without a positive counterpart", vidmote::bgr_bitmap_layout(1, INT32_MIN),
       64},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    Bytes out(32, 0x5A);
    EXPECT_FALSE(vidmote::convert_to_bottom_up_bgr(frame.data(), c.used, c.layout, out.data()));
    EXPECT_EQ(out, Bytes(32, 0x5A));
  }
}

// An MJPEG frame counts as whole only from its start marker to its end
// marker, found by its segments; what follows the end is not the picture.
TEST(FrameConvert, AnMjpegFrameIsWholeOnlyFromItsStartMarkerToItsEndMarker) {
  using vidmote::JpegFrame;
  // A frame header (SOF0) of 320 x 200, and a segment holding an end marker.
  const Bytes kHeader = {0xFF, 0xC0, 0, 11, 8, 0, 200, 1, 64, 1, 1, 0x11, 0};
  const Bytes kComment = {0xFF, 0xFE, 0, 4, 0xFF, 0xD9};
  auto frame = [](std::initializer_list<Bytes> parts) {
    Bytes bytes;
    for (const Bytes& part : parts) bytes.insert(bytes.end(), part.begin(), part.end());
    return bytes;
  };
  const struct {
    const char* what;
    Bytes frame;
    JpegFrame want;
    size_t image_bytes;  // of a whole frame: up to its end marker
    int32_t width, height;
  } cases[] = {
      {"whole", {0xFF, 0xD8, 1, 2, 3, 0xFF, 0xD9}, JpegFrame::kWhole, 7, 0, 0},
      {"whole, zero padding after",
       {0xFF, 0xD8, 1, 0xFF, 0xD9, 0, 0, 0},
       JpegFrame::kWhole,
       5,
       0,
       0},
      {"whole, 0xFF after",
       {0xFF, 0xD8, 1, 0xFF, 0xD9, 0xFF, 0xFF, 0xFF},
       JpegFrame::kWhole,
       5,
       0,
       0},
      {"an end marker, then leftover data",
       {0xFF, 0xD8, 0xFF, 0xD9, 7, 8},
       JpegFrame::kWhole,
       4,
       0,
       0},
      {"an end marker, then another frame",
       {0xFF, 0xD8, 0xFF, 0xD9, 0xFF, 0xD8, 0xFF, 0xD9},
       JpegFrame::kWhole,
       4,
       0,
       0},
      {"its size from its frame header", frame({{0xFF, 0xD8}, kHeader, {9, 0xFF, 0xD9}}),
       JpegFrame::kWhole, 18, 320, 200},
      {"an end marker inside a segment", frame({{0xFF, 0xD8}, kComment, {9, 0xFF, 0xD9}}),
       JpegFrame::kWhole, 11, 0, 0},
      {"stuffed bytes and restart markers in its data",
       {0xFF, 0xD8, 0xFF, 0xDA, 0, 2, 1, 0xFF, 0x00, 2, 0xFF, 0xD0, 3, 0xFF, 0xFF, 0xD9},
       JpegFrame::kWhole,
       16,
       0,
       0},
      {"cut short", {0xFF, 0xD8, 1, 2, 3, 4, 5}, JpegFrame::kCutShort, 0, 0, 0},
      {"cut inside the end marker", {0xFF, 0xD8, 1, 2, 0xFF}, JpegFrame::kCutShort, 0, 0, 0},
      {"cut inside a segment", frame({{0xFF, 0xD8}, {kHeader.begin(), kHeader.end() - 3}}),
       JpegFrame::kCutShort, 0, 0, 0},
      {"cut, then another frame",
       {0xFF, 0xD8, 1, 2, 0xFF, 0xD8, 3, 0xFF, 0xD9},
       JpegFrame::kCutShort,
       0,
       0,
       0},
      {"no start marker", {0x00, 0xD8, 1, 0xFF, 0xD9}, JpegFrame::kNotJpeg, 0, 0, 0},
      {"all zero", Bytes(64, 0), JpegFrame::kNotJpeg, 0, 0, 0},
      {"too short for both", {0xFF, 0xD8, 0xD9}, JpegFrame::kNotJpeg, 0, 0, 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    vidmote::JpegImage image = {99, 99, 99};
    EXPECT_EQ(vidmote::jpeg_frame(c.frame.data(), c.frame.size(), &image), c.want);
    if (c.want == JpegFrame::kWhole) {
      EXPECT_EQ(image.bytes, c.image_bytes);
      EXPECT_EQ(image.width, c.width);
      EXPECT_EQ(image.height, c.height);
    }
  }
}

TEST(FrameConvert, BrightnessIsTheMeanLumaOfTheFrame) {
  const struct {
    const char* what;
    int32_t width, height;
    uint8_t b, g, r;  // every pixel
    double want;
  } cases[] = {
      {"black", 640, 480, 0, 0, 0, 0},
      {"gray 128", 640, 480, 128, 128, 128, 128},
      {"white, 1 x 1", 1, 1, 255, 255, 255, 255},
      {"pure green", 33, 7, 0, 255, 0, 149},  // 150 * 255 >> 8
      {"empty", 0, 480, 9, 9, 9, 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    Bytes frame;
    for (int64_t i = 0; i < int64_t{c.width} * c.height; ++i)
      frame.insert(frame.end(), {c.b, c.g, c.r});
    EXPECT_DOUBLE_EQ(vidmote::mean_brightness(frame.data(), c.width, c.height), c.want);
  }
}

}  // namespace
