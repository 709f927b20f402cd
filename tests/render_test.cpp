// The console report, the HTML page and the gray preview image: the gray
// arithmetic on its own, and whole captures compared byte for byte.
#include <gtest/gtest.h>
#include <stdio.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <functional>
#include <string>
#include <vector>

#include "gray_levels.h"
#include "html_page.h"
#include "program_runner.h"
#include "reference_render.h"
#include "render_steps.h"
#include "support/console_texts.h"
#include "support/files.h"
#include "support/test_camera.h"

namespace {

// ---- The gray arithmetic ----

KImageT<K_RGB> image_of(int w, int h, const std::function<int(int, int)>& gray_at) {
  KImageT<K_RGB> image(w, h);
  for (int y = 0; y < h; ++y)
    for (int x = 0; x < w; ++x) {
      K_RGB& p = image.pixel(x, y);
      p.b = p.g = p.r = static_cast<uint8_t>(gray_at(x, y));
    }
  return image;
}

TEST(Gray, RampBandsRunFromBrightToDark) {
  const struct {
    int v;
    char ch;
  } kCases[] = {{255, '&'}, {225, '&'}, {224, '#'}, {193, '#'}, {192, 'X'}, {161, 'X'},
                {160, '8'}, {129, '8'}, {128, '*'}, {97, '*'},  {96, '='},  {65, '='},
                {64, '-'},  {33, '-'},  {32, ','},  {0, ','}};
  for (const auto& c : kCases) EXPECT_EQ(gray2code(static_cast<unsigned char>(c.v)), c.ch) << c.v;
}

TEST(Gray, PixelGrayTruncatesTheMeanOfTheThreeBytes) {
  K_RGB p;
  p.b = 255, p.g = 255, p.r = 254;
  EXPECT_EQ(pixel_gray(p), 254);
  p.b = 32, p.g = 32, p.r = 34;
  EXPECT_EQ(pixel_gray(p), 32);
  EXPECT_EQ(gray2code(static_cast<unsigned char>(pixel_gray(p))), ',');
}

TEST(Gray, MeanOfNineAveragesTruncatedGraysInsideTheImage) {
  // Grays 0..8 laid out as x + 3y on a 3 x 3 image.
  KImageT<K_RGB> image = image_of(3, 3, [](int x, int y) { return x + 3 * y; });
  EXPECT_EQ(get_gray_ave9(image, 1, 1), (0 + 1 + 2 + 3 + 4 + 5 + 6 + 7 + 8) / 9);
  EXPECT_EQ(get_gray_ave9(image, 0, 0), (0 + 1 + 3 + 4) / 4);
  EXPECT_EQ(get_gray_ave9(image, 2, 1), (1 + 2 + 4 + 5 + 7 + 8) / 6);
  KImageT<K_RGB> one = image_of(1, 1, [](int, int) { return 77; });
  EXPECT_EQ(get_gray_ave9(one, 0, 0), 77);
  // Per-pixel grays are truncated before the mean: (1+1+2)/3 = 1 for each.
  KImageT<K_RGB> odd(2, 1);
  for (K_RGB& p : odd.data) p.b = 1, p.g = 1, p.r = 2;
  EXPECT_EQ(get_gray_ave9(odd, 0, 0), 1);
}

TEST(Gray, SamplingGridPointsAndRows) {
  const SamplingGrid console(640, 480, 70);
  EXPECT_EQ(console.rows, 26);
  EXPECT_EQ(console.sample_x(0), 0);
  EXPECT_EQ(console.sample_y(0), 461);
  EXPECT_EQ(console.sample_x(69), 630);
  EXPECT_EQ(console.sample_y(25), 0);
  const SamplingGrid page(640, 480, 200);
  EXPECT_EQ(page.rows, 75);
  EXPECT_EQ(page.sample_y(0), 473);
  EXPECT_EQ(SamplingGrid(640, 20, 70).rows, 1);
  EXPECT_EQ(SamplingGrid(640, 10, 70).rows, 0);
  EXPECT_EQ(SamplingGrid(640, 480, -3).rows, -1) << "((480 * -3) / 640) / 2";
  EXPECT_EQ(SamplingGrid(0, 480, 70).rows, 0) << "an empty frame never divides by zero";
  // Products past 32 bits stay exact.
  EXPECT_EQ(SamplingGrid(3, 715827882, 10000).rows, int64_t{715827882} * 10000 / 3 / 2);
}

std::string report_of(const KImageT<K_RGB>& image) {
  FILE* file = tmpfile();
  write_console_report(image, file);
  std::string text(static_cast<size_t>(ftell(file)), '\0');
  rewind(file);
  EXPECT_EQ(fread(text.data(), 1, text.size(), file), text.size());
  fclose(file);
  return text;
}

TEST(Report, EmptyFramesPrintEightLinesWithoutStars) {
  const std::string kEmpty =
      "  0- 31:     0: \n 32- 63:     0: \n 64- 95:     0: \n 96-127:     0: \n"
      "128-159:     0: \n160-191:     0: \n192-223:     0: \n224-255:     0: \n";
  EXPECT_EQ(report_of(KImageT<K_RGB>()), kEmpty);
  EXPECT_EQ(report_of(KImageT<K_RGB>(0, 5)), kEmpty);
  EXPECT_EQ(report_of(KImageT<K_RGB>(5, 0)), kEmpty);
}

// The page stage as the console runs it: into a file opened for it.
bool write_page(const KImageT<K_RGB>& frame, int columns, const std::string& path,
                KImageT<K_RGB>& preview) {
  return write_html_page(frame, columns, fopen(path.c_str(), "w"), path.c_str(), preview);
}

TEST(Page, NegativeWidthGivesMarkupOnlyAndAnEmptyPreview) {
  ScratchDir dir;
  KImageT<K_RGB> frame(640, 480), preview;
  EXPECT_TRUE(write_page(frame, -7, dir.file("p.html"), preview));
  EXPECT_EQ(read_file(dir.file("p.html")),
            "<html><body><font size=\"-3\"><pre></pre></font></body></html>");
  EXPECT_EQ(preview.width, 0);
  EXPECT_EQ(preview.height, 0);
}

TEST(Page, APreviewBeyondTheLimitWritesNothing) {
  ScratchDir dir;
  KImageT<K_RGB> frame(1, 1), preview;
  // 10000 columns over a 1 x 1 frame: 5000 rows, a 300 MB preview. The
  // page file opened for it is removed.
  EXPECT_FALSE(write_page(frame, 10000, dir.file("p.html"), preview));
  EXPECT_TRUE(dir.list().empty());
  EXPECT_EQ(preview.get_raw_buffer(), nullptr);
}

TEST(Page, AnUnwritablePageIsRemovedButThePreviewIsFilled) {
  ScratchDir dir;
  const std::string full = dir.file("full.html");
  ASSERT_EQ(symlink("/dev/full", full.c_str()), 0);
  KImageT<K_RGB> frame(64, 48), preview;
  EXPECT_FALSE(write_page(frame, 70, full, preview));
  EXPECT_TRUE(file_exists("/dev/full")) << "a device is never removed";
  EXPECT_EQ(preview.width, 70);
  EXPECT_EQ(preview.height, 2 * ((48 * 70 / 64) / 2));
  EXPECT_EQ(preview.pixel(0, 0).g, 32) << "a black frame previews at level 32";
  EXPECT_FALSE(write_page(frame, 70, dir.file("missing/p.html"), preview));
}

TEST(Preview, GBmpIsReplacedWholeOrLeftAsItWas) {
  ScratchDir dir;
  const std::string name = dir.file("g.bmp");
  KImageT<K_RGB> preview(3, 2);
  for (K_RGB& p : preview.data) p.b = p.g = p.r = 96;
  write_file(name, "old");
  EXPECT_TRUE(save_gray_preview(preview, name.c_str()));
  EXPECT_EQ(read_file(name), bmp_file(Frame{3, 2, std::string(18, '\x60')}));
  EXPECT_EQ(dir.list(), std::vector<std::string>{"g.bmp"}) << "no temporary file is left";

  // A folder named g.bmp cannot be replaced: the temporary file goes again.
  ScratchDir other;
  ASSERT_EQ(mkdir(other.file("g.bmp").c_str(), 0755), 0);
  EXPECT_FALSE(save_gray_preview(preview, other.file("g.bmp").c_str()));
  EXPECT_EQ(other.list(), std::vector<std::string>{"g.bmp"});
}

// ---- Whole captures ----

Frame make_frame(int w, int h, const std::function<int(int, int, int)>& byte_at) {
  Frame f{w, h, std::string(static_cast<size_t>(3) * w * h, '\0')};
  for (int y = 0; y < h; ++y)
    for (int x = 0; x < w; ++x)
      for (int ch = 0; ch < 3; ++ch)
        f.bytes[3 * (y * w + x) + ch] = static_cast<char>(byte_at(x, y, ch));
  return f;
}

struct Capture {
  RunResult result;
  std::string page, frame_bmp, preview_bmp;
};

// Run options under which the test camera serves these frames in turn; the
// frames file is kept in `side`.
RunOptions serving(const std::vector<Frame>& frames, const ScratchDir& side) {
  std::string all;
  for (const Frame& f : frames) all += f.bytes;
  RunOptions options;
  serve_frames(options.env, side.file("frames.raw"), frames[0].width, frames[0].height, all);
  return options;
}

Capture capture_once(const Frame& frame, int columns) {
  ScratchDir out, side;
  RunOptions options = serving({frame}, side);
  options.input = std::to_string(columns) + "\n\nq\n";
  Capture c;
  c.result = run_program(out.path(), options);
  c.page = read_file(out.file("R00000.html"));
  c.frame_bmp = read_file(out.file("R00000.bmp"));
  c.preview_bmp = read_file(out.file("g.bmp"));
  return c;
}

void expect_capture_matches(const Frame& frame, int columns) {
  SCOPED_TRACE(std::to_string(frame.width) + "x" + std::to_string(frame.height) + " width " +
               std::to_string(columns));
  Capture c = capture_once(frame, columns);
  EXPECT_EQ(c.result.status, 0);
  EXPECT_EQ(c.result.err, "");
  EXPECT_EQ(c.result.out,
            startup_text(frame.width, frame.height) + kPrompt + console_report(frame) + kPrompt);
  EXPECT_EQ(c.page, html_page(frame, columns));
  EXPECT_EQ(c.frame_bmp, bmp_file(frame));
  EXPECT_EQ(c.preview_bmp, bmp_file(gray_preview(frame, columns)));
}

TEST(Capture, ABlackFrameRendersAsWorkedOutByHand) {
  Capture c = capture_once(make_frame(640, 480, [](int, int, int) { return 0; }), 200);
  std::string report = "  0- 31:307200: " + std::string(70, '*') + "\n";
  for (const char* band :
       {" 32- 63", " 64- 95", " 96-127", "128-159", "160-191", "192-223", "224-255"}) {
    report += std::string(band) + ":     0: \n";
  }
  for (int r = 0; r < 26; ++r) report += std::string(70, ',') + "\n";
  EXPECT_EQ(c.result.out, startup_text(640, 480) + kPrompt + report + kPrompt);

  std::string row;
  for (int i = 0; i < 200; ++i) row += "&amp;";
  std::string page = "<html><body><font size=\"-3\"><pre>";
  for (int r = 0; r < 75; ++r) page += row + "\n";
  EXPECT_EQ(c.page, page + "</pre></font></body></html>");

  ASSERT_EQ(c.preview_bmp.size(), 54u + 600u * 150u);
  EXPECT_EQ(c.preview_bmp.substr(18, 8), std::string("\xC8\0\0\0\x96\0\0\0", 8));  // 200 x 150
  EXPECT_EQ(c.preview_bmp.substr(54), std::string(600 * 150, '\x20'));
}

TEST(Capture, AFrameSplitBetweenTwoGraysFillsTwoBands) {
  Frame split = make_frame(640, 480, [](int x, int, int) { return x < 320 ? 40 : 200; });
  Capture c = capture_once(split, 70);
  const std::string stars(35, '*');
  EXPECT_NE(c.result.out.find(" 32- 63:153600: " + stars + "\n"), std::string::npos);
  EXPECT_NE(c.result.out.find("192-223:153600: " + stars + "\n"), std::string::npos);
  expect_capture_matches(split, 70);
}

TEST(Capture, WhiteFrameIsSparseOnThePageAndBrightInThePreview) {
  Capture c = capture_once(make_frame(64, 48, [](int, int, int) { return 255; }), 8);
  // 8 columns over 64 x 48: ((48 * 8) / 64) / 2 = 3 rows of ','.
  EXPECT_EQ(c.page,
            "<html><body><font size=\"-3\"><pre>,,,,,,,,\n,,,,,,,,\n,,,,,,,,\n"
            "</pre></font></body></html>");
  EXPECT_EQ(c.preview_bmp.substr(54), std::string(6 * 24, '\xFF'));
}

struct FrameCase {
  const char* name;
  int width, height;
  std::function<int(int, int, int)> byte_at;
};

uint32_t noise(int x, int y, int ch) {
  uint32_t h = static_cast<uint32_t>(x) * 73856093u ^ static_cast<uint32_t>(y) * 19349663u ^
               static_cast<uint32_t>(ch) * 83492791u;
  h ^= h >> 13;
  h *= 0x5bd1e995u;
  return h ^ (h >> 15);
}

const FrameCase kFrames[] = {
    {"gray 32 and 33 halves", 640, 480, [](int x, int, int) { return x < 320 ? 32 : 33; }},
    {"gray 224 and 225 halves", 640, 480, [](int, int y, int) { return y < 240 ? 224 : 225; }},
    {"bytes 255 255 254", 64, 48, [](int, int, int ch) { return ch == 2 ? 254 : 255; }},
    {"bytes 32 32 34", 64, 48, [](int, int, int ch) { return ch == 2 ? 34 : 32; }},
    {"horizontal ramp", 640, 480, [](int x, int, int) { return x * 256 / 640; }},
    {"vertical ramp, bright top", 320, 240, [](int, int y, int) { return y * 256 / 240; }},
    {"ramp across band edges", 256, 64, [](int x, int, int ch) { return (x + ch) & 255; }},
    {"noise 201 x 151", 201, 151, [](int x, int y, int ch) { return noise(x, y, ch) & 255; }},
    {"noise 640 x 20", 640, 20, [](int x, int y, int ch) { return noise(x, y, ch) & 255; }},
    {"noise 640 x 10", 640, 10, [](int x, int y, int ch) { return noise(x, y, ch) & 255; }},
    {"640 x 4", 640, 4, [](int x, int, int) { return x & 255; }},
    {"1 x 1", 1, 1, [](int, int, int ch) { return 100 + ch; }},
    {"3 x 2", 3, 2, [](int x, int y, int ch) { return 40 * x + 90 * y + ch; }},
    {"tall 7 x 300", 7, 300, [](int x, int y, int ch) { return noise(x, y, ch) & 255; }},
};

// 150 columns of a 640-wide frame put a run's 16th cell exactly 64 columns
// (the vector pass's four windows) after its first.
const int kColumns[] = {70, 150, 200, 201, 1, -3};

class CaptureOfFrame : public ::testing::TestWithParam<int> {};

TEST_P(CaptureOfFrame, MatchesTheWorkedOutFilesForEveryWidth) {
  const FrameCase& c = kFrames[GetParam()];
  SCOPED_TRACE(c.name);
  const Frame frame = make_frame(c.width, c.height, c.byte_at);
  for (int columns : kColumns) expect_capture_matches(frame, columns);
}

// The same captures written in the test's own process with vector
// instructions turned off, as on a processor without them.
TEST_P(CaptureOfFrame, MatchesTheWorkedOutFilesWithoutVectorInstructions) {
  const FrameCase& c = kFrames[GetParam()];
  SCOPED_TRACE(c.name);
  const Frame frame = make_frame(c.width, c.height, c.byte_at);
  KImageT<K_RGB> image(frame.width, frame.height);
  RenderMemory memory;
  memcpy(static_cast<void*>(image.get_raw_buffer()), frame.bytes.data(), frame.bytes.size());
  ScratchDir dir;
  const std::string bmp = dir.file("R.bmp"), html = dir.file("R.html"), g = dir.file("g.bmp"),
                    report = dir.file("report.txt");
  for (int columns : kColumns) {
    SCOPED_TRACE("width " + std::to_string(columns));
    FILE* console = fopen(report.c_str(), "w");
    ASSERT_NE(console, nullptr);
    set_vector_instructions(false);
    write_capture_outputs(image, columns, bmp.c_str(), html.c_str(), g.c_str(), console, "failed\n",
                          memory);
    set_vector_instructions(true);
    fclose(console);
    EXPECT_EQ(read_file(report), console_report(frame));
    EXPECT_EQ(read_file(html), html_page(frame, columns));
    EXPECT_EQ(read_file(bmp), bmp_file(frame));
    EXPECT_EQ(read_file(g), bmp_file(gray_preview(frame, columns)));
  }
}

INSTANTIATE_TEST_SUITE_P(Frames, CaptureOfFrame,
                         ::testing::Range(0, static_cast<int>(sizeof kFrames / sizeof kFrames[0])));

TEST(Capture, PageTooLargeForThePreviewIsReportedAndTheFrameStillSaved) {
  ScratchDir out, side;
  Frame pixel = make_frame(1, 1, [](int, int, int) { return 9; });
  RunOptions options = serving({pixel}, side);
  options.input = "10000\n\nq\n";
  RunResult r = run_program(out.path(), options);
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out,
            startup_text(1, 1) + kPrompt + console_report(pixel) + kFileOutputFailed + kPrompt);
  EXPECT_EQ(out.list(), (std::vector<std::string>{"R00000.bmp", "g.bmp"}));
  EXPECT_EQ(read_file(out.file("R00000.bmp")), bmp_file(pixel));
  EXPECT_EQ(read_file(out.file("g.bmp")), bmp_file(Frame{0, 0, ""}));
}

TEST(Capture, ThreeCapturesKeepThreePairsAndThePreviewOfTheLast) {
  ScratchDir out, side;
  std::vector<Frame> frames;
  for (int k = 0; k < 3; ++k)
    frames.push_back(make_frame(80, 60, [k](int x, int y, int) { return (x * 3 + y * k) & 255; }));
  RunOptions options = serving(frames, side);
  options.input = "40\n\n\n\nq\n";
  RunResult r = run_program(out.path(), options);
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(out.list(),
            (std::vector<std::string>{"R00000.bmp", "R00000.html", "R00001.bmp", "R00001.html",
                                      "R00002.bmp", "R00002.html", "g.bmp"}));
  for (int k = 0; k < 3; ++k) {
    const std::string n = "R0000" + std::to_string(k);
    EXPECT_EQ(read_file(out.file(n + ".bmp")), bmp_file(frames[k]));
    EXPECT_EQ(read_file(out.file(n + ".html")), html_page(frames[k], 40));
  }
  EXPECT_EQ(read_file(out.file("g.bmp")), bmp_file(gray_preview(frames[2], 40)));
}

}  // namespace
