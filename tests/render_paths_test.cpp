// The paths that make a capture fast, against the worked-out results: the
// histogram pass, with and without vector instructions (sizes around the
// 32-pixel blocks and the counter flushes, sums at every band edge), a gray
// preview image handed in again and again, as the program does, and whole
// captures written with and without vector instructions.
#include <gtest/gtest.h>
#include <string.h>

#include <string>

#include "reference_render.h"
#include "render_steps.h"
#include "support/files.h"

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

// ---- The preview image reused from page to page ----

Frame noise_frame(int width, int height, int seed) {
  Frame f{width, height, std::string(3 * width * height, '\0')};
  for (size_t i = 0; i < f.bytes.size(); ++i)
    f.bytes[i] = static_cast<char>(noise(static_cast<int>(i) + 7919 * seed));
  return f;
}

KImageT<K_RGB> image_of(const Frame& f) {
  KImageT<K_RGB> image(f.width, f.height);
  if (!f.bytes.empty())
    memcpy(static_cast<void*>(image.get_raw_buffer()), f.bytes.data(), f.bytes.size());
  return image;
}

// A page file opened as the program opens it.
FILE* open_page(const char* path) {
  return fopen(path, "w");
}

TEST(PreviewReuse, EachPageLeavesExactlyItsOwnPreview) {
  // Each page gets the preview image that the page before it left.
  const struct {
    int width, height, columns;
  } kPages[] = {
      {64, 48, 70}, {64, 48, 70},   // the same size again: rewritten without clearing
      {32, 24, 90}, {200, 20, 33},  // other sizes
      {40, 30, -5},                 // markup only: an empty preview
      {64, 48, 7},
  };
  ScratchDir dir;
  KImageT<K_RGB> preview;
  int seed = 0;
  for (const auto& page : kPages) {
    SCOPED_TRACE("page " + std::to_string(seed));
    const Frame frame = noise_frame(page.width, page.height, seed++);
    ASSERT_TRUE(write_html_page(image_of(frame), page.columns,
                                open_page(dir.file("p.html").c_str()), dir.file("p.html").c_str(),
                                preview));
    const Frame expected = gray_preview(frame, page.columns);
    EXPECT_EQ(preview.width, expected.width);
    EXPECT_EQ(preview.height, expected.height);
    const std::string bytes(reinterpret_cast<const char*>(preview.data.data()),
                            3 * preview.data.size());
    EXPECT_TRUE(bytes == expected.bytes);
  }
}

TEST(PreviewReuse, APreviewBeyondTheLimitKeepsNothingOfTheLastOne) {
  ScratchDir dir;
  KImageT<K_RGB> preview;
  ASSERT_TRUE(write_html_page(image_of(noise_frame(64, 48, 1)), 70,
                              open_page(dir.file("a.html").c_str()), dir.file("a.html").c_str(),
                              preview));
  ASSERT_NE(preview.get_raw_buffer(), nullptr);
  // 10000 columns over a 1 x 1 frame: a 300 MB preview.
  EXPECT_FALSE(write_html_page(KImageT<K_RGB>(1, 1), 10000, open_page(dir.file("b.html").c_str()),
                               dir.file("b.html").c_str(), preview));
  EXPECT_EQ(preview.width, 0);
  EXPECT_EQ(preview.height, 0);
  EXPECT_EQ(preview.get_raw_buffer(), nullptr);
  EXPECT_FALSE(file_exists(dir.file("b.html")));
}

// ---- The whole capture, with and without vector instructions ----

TEST(CapturePaths, BothWriteTheWorkedOutFiles) {
  const struct {
    int width, height, columns;
    int gray;  // of every byte; -1 for noise
  } kCaptures[] = {
      {640, 480, 1000, -1},  // every column covered
      {641, 97, 201, -1},    // rows and blocks that do not divide evenly
      {100, 80, 333, -1},    // more text rows than frame rows: rows repeat
      {33, 700, 70, -1},     // the console preview repeats rows too
      {3001, 40, 400, -1},   // a row longer than a pass step
      {5, 3, 9, -1},         // every cell at an edge
      // Rows of 256 and 512 blocks of 32 pixels, every pixel in one band:
      // each byte counter of the pass counts up to its flush.
      {8192, 1, 70, 255},
      {8192, 2, 10000, 255},
      {16384, 1, 70, 255},
      {8192, 1, 70, 100},
      {8192, 2, 10000, 100},
      {16384, 1, 70, 100},
  };
  ScratchDir dir;
  const std::string bmp = dir.file("R.bmp"), html = dir.file("R.html"), g = dir.file("g.bmp"),
                    report = dir.file("report.txt");
  RenderMemory memory;
  int seed = 0;
  for (bool vector : {true, false}) {
    set_vector_instructions(vector);
    for (const auto& c : kCaptures) {
      SCOPED_TRACE(std::to_string(c.width) + "x" + std::to_string(c.height) +
                   (c.gray < 0 ? "" : " gray " + std::to_string(c.gray)) + " width " +
                   std::to_string(c.columns) + (vector ? "" : " without vector instructions"));
      ++seed;
      const Frame frame =
          c.gray < 0 ? noise_frame(c.width, c.height, seed)
                     : Frame{c.width, c.height, std::string(3 * c.width * c.height, char(c.gray))};
      FILE* console = fopen(report.c_str(), "w");
      ASSERT_NE(console, nullptr);
      write_capture_outputs(image_of(frame), c.columns, bmp.c_str(), html.c_str(), g.c_str(),
                            console, "failed\n", memory);
      fclose(console);
      EXPECT_EQ(read_file(report), console_report(frame));
      EXPECT_EQ(read_file(html), html_page(frame, c.columns));
      EXPECT_EQ(read_file(bmp), bmp_file(frame));
      EXPECT_EQ(read_file(g), bmp_file(gray_preview(frame, c.columns)));
    }
  }
  set_vector_instructions(true);
}

}  // namespace
