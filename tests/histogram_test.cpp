// The histogram pass, with and without vector instructions, against a plain
// count of pixel grays: sizes around the 32-pixel blocks and the counter
// flushes, sums at every band edge.
#include <gtest/gtest.h>
#include <string.h>

#include <string>

#include "gray_render.h"
#include "reference_render.h"

namespace {

struct FrameCase {
  const char* name;
  int width, height;
  int (*byte_at)(int i);  // byte i of the frame
};

int noise(int i) {
  uint32_t h = static_cast<uint32_t>(i) * 2654435761u;
  return static_cast<int>((h ^ (h >> 15)) >> 7) & 255;
}
// Pixels whose byte sums run through 95, 96, 191, 192, ... 671, 672 and 765:
// grays 31/32, 63/64, ... 223/224 and 255.
int band_edges(int i) {
  const int sums[] = {95, 96, 191, 192, 287, 288, 383, 384, 479, 480, 575, 576, 671, 672, 765, 0};
  const int sum = sums[(i / 3) % 16];
  return (sum + 2 - i % 3) / 3;  // three bytes adding up to sum
}
int white(int) {
  return 255;
}

const FrameCase kFrames[] = {
    {"1 x 1", 1, 1, noise},
    {"31 pixels", 31, 1, band_edges},
    {"32 pixels", 32, 1, band_edges},
    {"33 pixels", 11, 3, noise},
    {"255 blocks and 5 pixels", 8165, 1, band_edges},
    {"510 blocks and 31 pixels", 16351, 1, noise},
    {"640 x 480 noise", 640, 480, noise},
    {"white 201 x 151", 201, 151, white},
};

TEST(Histogram, BothPassesCountEveryPixelInItsBand) {
  for (const FrameCase& c : kFrames) {
    SCOPED_TRACE(c.name);
    Frame reference{c.width, c.height, std::string(3 * c.width * c.height, '\0')};
    KImageT<K_RGB> frame(c.width, c.height);
    for (size_t i = 0; i < reference.bytes.size(); ++i)
      reference.bytes[i] = static_cast<char>(c.byte_at(static_cast<int>(i)));
    memcpy(static_cast<void*>(frame.get_raw_buffer()), reference.bytes.data(),
           reference.bytes.size());
    int64_t expected[8] = {0};
    for (int y = 0; y < c.height; ++y)
      for (int x = 0; x < c.width; ++x) ++expected[reference.gray(x, y) / 32];

    int64_t fast[8] = {0}, portable[8] = {0};
    count_gray_bands(frame, fast);
    count_gray_bands_portable(frame, portable);
    for (int band = 0; band < 8; ++band) {
      EXPECT_EQ(fast[band], expected[band]) << "band " << band;
      EXPECT_EQ(portable[band], expected[band]) << "band " << band;
    }
  }
}

TEST(Histogram, CountsAreAddedToWhatTheBandsHeld) {
  KImageT<K_RGB> frame(40, 1);  // black: band 0
  int64_t bands[8] = {5, 0, 0, 0, 0, 0, 0, 7};
  count_gray_bands(frame, bands);
  EXPECT_EQ(bands[0], 45);
  EXPECT_EQ(bands[7], 7);
}

}  // namespace
