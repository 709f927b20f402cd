// The default plug-in's step from a camera's frame (top row first, padded
// rows, BGR24 / RGB24 / YUYV) to the plug-in's bottom-up packed BGR frame.
#include "frame_convert.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "mjpeg_decode.h"
#include "streamed_frame.h"
#include "support/jpeg_samples.h"

namespace {

using vidmote::CameraFrameLayout;
using vidmote::FrameTally;
using vidmote::PixelLayout;
using Bytes = std::vector<uint8_t>;

const uint8_t kStartOfScan[] = {0xFF, 0xDA};
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
      // NV12: the Y plane, then one U V pair for each 2 x 2 block.
      {"NV12 white, black over gray, white",
       {2, 2, 0, PixelLayout::kNv12},
       {235, 16, 126, 235, 128, 128},
       {128, 128, 128, 255, 255, 255, 255, 255, 255, 0, 0, 0}},
      {"NV12 red beside white over red beside black, 6-byte rows",
       {4, 2, 6, PixelLayout::kNv12},
       {81, 81, 235, 235, kPad, kPad, 81, 81, 16, 16, kPad, kPad, 90, 239, 128, 128},
       {0, 0, 253, 0, 0, 253, 0,   0,   0,   0,   0,   0,
        0, 0, 253, 0, 0, 253, 255, 255, 255, 255, 255, 255}},
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
    // A camera streaming such frames counts them as cut short.
    FrameTally tally;
    Bytes scratch;
    EXPECT_FALSE(vidmote::usable_streamed_frame(frame.data(), c.used, {c.layout, false}, &scratch,
                                                out.data(), &tally));
    EXPECT_EQ(tally.cut_short, 1);
    EXPECT_FALSE(tally.jpeg);
  }
}

// Padded rows are packed plane by plane before a converter that reads them
// packed (libv4lconvert's NV12, YU12, RGB565, Y16): every pixel byte kept in
// order, no padding byte kept; a frame short of its planes is refused.
TEST(FrameConvert, PaddedPlanesArePackedByteForByte) {
  using vidmote::FramePlane;
  const uint8_t P = kPad;
  const struct {
    const char* what;
    std::vector<FramePlane> planes;
    Bytes frame;
    size_t used;   // 0: the whole frame
    Bytes packed;  // empty: refused
  } cases[] = {
      {"NV12 2 x 2, rows padded to 4: Y plane, then UV",
       {{2, 2, 4}, {1, 2, 4}},
       {1, 2, P, P, 3, 4, P, P, 5, 6, P, P},
       0,
       {1, 2, 3, 4, 5, 6}},
      {"NV12, the last row unpadded",
       {{2, 2, 4}, {1, 2, 4}},
       {1, 2, P, P, 3, 4, P, P, 5, 6},
       0,
       {1, 2, 3, 4, 5, 6}},
      {"NV12, one byte short", {{2, 2, 4}, {1, 2, 4}}, {1, 2, P, P, 3, 4, P, P, 5}, 0, {}},
      {"YU12 4 x 2, luma rows padded to 8, chroma to 4",
       {{2, 4, 8}, {1, 2, 4}, {1, 2, 4}},
       {1, 2, 3, 4, P, P, P, P, 5, 6, 7, 8, P, P, P, P, 9, 10, P, P, 11, 12, P, P},
       0,
       {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12}},
      {"RGB565 2 x 3, rows of 4 bytes padded to 6",
       {{3, 4, 6}},
       {1, 2, 3, 4, P, P, 5, 6, 7, 8, P, P, 9, 10, 11, 12, P, P},
       0,
       {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12}},
      {"Y16, bytes used fewer than the buffer",
       {{2, 2, 3}},
       {1, 2, P, 3, 4, P, 9, 9},
       5,
       {1, 2, 3, 4}},
      {"Y16, bytes used one short", {{2, 2, 3}}, {1, 2, P, 3, 4, P}, 4, {}},
      {"packed already", {{2, 3, 3}}, {1, 2, 3, 4, 5, 6}, 0, {1, 2, 3, 4, 5, 6}},
      {"rows longer than their stride", {{2, 4, 3}}, Bytes(12, 1), 0, {}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    Bytes packed = {0x5A};
    const bool ok = vidmote::pack_rows(c.frame.data(), c.used ? c.used : c.frame.size(),
                                       c.planes.data(), c.planes.size(), &packed);
    EXPECT_EQ(ok, !c.packed.empty());
    EXPECT_EQ(packed, ok ? c.packed : Bytes{0x5A});
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

// Colour: the mean of each of red, green and blue.
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
      {"orange", 100, 50, 0, 128, 255, 151},  // (150 * 128 + 77 * 255) >> 8
      {"empty", 0, 480, 9, 9, 9, 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    Bytes frame;
    for (int64_t i = 0; i < int64_t{c.width} * c.height; ++i)
      frame.insert(frame.end(), {c.b, c.g, c.r});
    EXPECT_DOUBLE_EQ(vidmote::mean_brightness(frame.data(), c.width, c.height), c.want);
    const vidmote::Colour colour = vidmote::mean_colour(frame.data(), c.width, c.height);
    const bool empty = c.width == 0;
    EXPECT_DOUBLE_EQ(colour.red, empty ? 0 : c.r);
    EXPECT_DOUBLE_EQ(colour.green, empty ? 0 : c.g);
    EXPECT_DOUBLE_EQ(colour.blue, empty ? 0 : c.b);
  }
}

// Damage is what loses picture data: a frame the decoder has to fill in is
// refused (the lenient decoders' gray lower part never reaches a picture),
// while bytes it merely skips (after the end, before a restart marker) cost
// nothing.
TEST(MjpegDecode, AFrameIsDecodedUnlessItLostPictureData) {
  const std::vector<uint8_t> whole = encoded_jpeg(64, 48);
  const size_t scan =
      std::search(whole.begin(), whole.end(), kStartOfScan, kStartOfScan + 2) - whole.begin();
  size_t middle = (scan + whole.size()) / 2;
  while (whole[middle - 1] == 0xFF) ++middle;
  std::vector<uint8_t> restart_in_data = whole;
  restart_in_data[middle] = 0xFF, restart_in_data[middle + 1] = 0xD0;
  // Set bits throughout: longer than any code of the tables.
  std::vector<uint8_t> bad_code = whole;
  for (size_t i = 0; i < 8; ++i) bad_code[middle + i] = i % 2 ? 0x00 : 0xFF;
  std::vector<uint8_t> cut_then_end(whole.begin(), whole.begin() + middle);
  cut_then_end.insert(cut_then_end.end(), {0xFF, 0xD9});
  auto followed_by = [&](std::vector<uint8_t> tail) {
    tail.insert(tail.begin(), whole.begin(), whole.end());
    return tail;
  };
  // One restart marker after every MCU: stray bytes before every 4th, as
  // the common webcams send them (more than the decoder reads ahead, so it
  // warns of them); a restart marker out of order.
  const std::vector<uint8_t> restarts = encoded_jpeg(64, 48, 1);
  std::vector<uint8_t> stray_bytes = restarts, restart_out_of_order = restarts;
  const std::vector<size_t> markers = restart_markers(restarts);
  ASSERT_GE(markers.size(), 8u);
  for (size_t i = markers.size(); i-- > 0;)
    if (i % 4 == 3) stray_bytes.insert(stray_bytes.begin() + markers[i], 10, 0x5A);
  restart_out_of_order[markers[1] + 1] = 0xD5;
  const std::vector<uint8_t> none;
  using Count = int FrameTally::*;
  const Count kCut = &FrameTally::cut_short, kBad = &FrameTally::undecodable,
              kSize = &FrameTally::other_size;
  const struct {
    const char* what;
    std::vector<uint8_t> frame;
    int32_t width, height;
    bool decoded;
    const std::vector<uint8_t>& same_as;  // the frame it decodes as, byte for byte
    Count counted;                        // how a camera counts the frame it refuses
  } cases[] = {
      {"whole", whole, 64, 48, true, whole, nullptr},
      {"without Huffman tables", without_huffman_tables(whole), 64, 48, true, whole, nullptr},
      {"0xFF after its end", followed_by(std::vector<uint8_t>(300, 0xFF)), 64, 48, true, whole,
       nullptr},
      {"junk after its end", followed_by({0x00, 0xFF, 0xD8, 0x17, 0xFF, 0xC4, 0x42}), 64, 48, true,
       whole, nullptr},
      {"another frame after its end", followed_by(whole), 64, 48, true, whole, nullptr},
      {"stray bytes before restart markers", stray_bytes, 64, 48, true, restarts, nullptr},
      {"cut to two thirds",
       {whole.begin(), whole.begin() + whole.size() * 2 / 3},
       64,
       48,
       false,
       none,
       kCut},
      {"without its end marker", {whole.begin(), whole.end() - 2}, 64, 48, false, none, kCut},
      {"cut, its end marker right after", cut_then_end, 64, 48, false, none, kBad},
      {"a marker in its data", restart_in_data, 64, 48, false, none, kBad},
      {"a bad Huffman code", bad_code, 64, 48, false, none, kBad},
      {"a restart marker out of order", restart_out_of_order, 64, 48, false, none, kBad},
      {"another size than the format's", whole, 32, 24, false, none, kSize},
      {"the format's width, a greater height", whole, 64, 40, false, none, kSize},
      {"the format's width, a smaller height", whole, 64, 56, false, none, kSize},
      {"the format's height, another width", whole, 72, 48, false, none, kSize},
      {"not a JPEG", std::vector<uint8_t>(4096, 0x55), 64, 48, false, none, kBad},
      {"nothing", {}, 64, 48, false, none, kBad},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    std::vector<uint8_t> bgr(size_t{3} * c.width * c.height, 0x5A);
    EXPECT_EQ(vidmote::decode_mjpeg(c.frame.data(), c.frame.size(), c.width, c.height, bgr.data(),
                                    bgr.size()),
              c.decoded);
    if (c.decoded) {
      // Top row first, B G R: pixel (63, 47) is about 252, 235, 128.
      const uint8_t* last = &bgr[bgr.size() - 3];
      EXPECT_NEAR(last[0], 252, 6);
      EXPECT_NEAR(last[1], 235, 6);
      EXPECT_NEAR(last[2], 128, 6);
      std::vector<uint8_t> clean(bgr.size());
      ASSERT_TRUE(vidmote::decode_mjpeg(c.same_as.data(), c.same_as.size(), c.width, c.height,
                                        clean.data(), clean.size()));
      EXPECT_TRUE(bgr == clean) << "not the picture of the clean frame";
    }
    // A camera streaming it takes that picture, bottom row first, or counts
    // the frame by what is wrong with it.
    const vidmote::StreamedFrames mjpeg = {{c.width, c.height, 0, PixelLayout::kBgr24}, true};
    std::vector<uint8_t> scratch, frame(bgr.size());
    FrameTally tally;
    EXPECT_EQ(vidmote::usable_streamed_frame(c.frame.data(), c.frame.size(), mjpeg, &scratch,
                                             frame.data(), &tally),
              c.decoded);
    EXPECT_TRUE(tally.jpeg);
    if (c.decoded) {
      const size_t row = size_t{3} * c.width;
      for (int32_t y = 0; y < c.height; ++y)
        ASSERT_TRUE(
            std::equal(&frame[y * row], &frame[(y + 1) * row], &bgr[(c.height - 1 - y) * row]))
            << "row " << y;
    } else {
      EXPECT_EQ(tally.*c.counted, 1);
      EXPECT_EQ(tally.cut_short + tally.undecodable + tally.other_size, 1);
    }
  }
}

}  // namespace
