// The files of a capture read back by programs of other makers: the BMP
// files decoded by Pillow, the page shown by headless Chromium.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <string>

#include "program_runner.h"
#include "reference_render.h"
#include "support/files.h"
#include "support/shell.h"
#include "support/test_camera.h"

namespace {

const char kPython[] = "/usr/bin/python3";  // Debian's, where python3-pil installs
const char kChromium[] = "/usr/bin/chromium";

// A frame with every gray band, odd-sized so BMP rows are padded.
Frame test_frame() {
  const int w = 37, h = 23;
  Frame f{w, h, std::string(3 * w * h, '\0')};
  for (int y = 0; y < h; ++y)
    for (int x = 0; x < w; ++x) {
      f.bytes[3 * (y * w + x) + 0] = static_cast<char>((7 * x + 11 * y) & 255);  // blue
      f.bytes[3 * (y * w + x) + 1] = static_cast<char>(x * 255 / (w - 1));       // green
      f.bytes[3 * (y * w + x) + 2] = static_cast<char>(y * 255 / (h - 1));       // red
    }
  return f;
}

const int kColumns = 30;

class Readers : public ::testing::Test {
 protected:
  void SetUp() override {
    RunOptions options;
    serve_frames(options.env, side_.file("frame.raw"), frame_.width, frame_.height, frame_.bytes);
    options.input = std::to_string(kColumns) + "\n\nq\n";
    RunResult r = run_program(out_.path(), options);
    ASSERT_EQ(r.status, 0);
    ASSERT_EQ(out_.list(), (std::vector<std::string>{"R00000.bmp", "R00000.html", "g.bmp"}));
  }

  // Runs a shell command; its standard output, failing the test loudly when
  // the command cannot run or fails.
  std::string run(const std::string& command) {
    const std::string result = side_.file("command.out");
    const int status = system(
        (command + " >" + shell_quoted(result) + " 2>" + shell_quoted(side_.file("command.err")))
            .c_str());
    EXPECT_EQ(status, 0) << command << "\n" << read_file(side_.file("command.err"));
    return read_file(result);
  }

  // The image as Pillow decodes it, turned back into bottom-up B, G, R rows.
  Frame pillow_decode(const std::string& bmp) {
    run(std::string(kPython) + " " + shell_quoted(std::string(READERS_DIR) + "/bmp_pixels.py") +
        " " + shell_quoted(bmp) + " " + shell_quoted(side_.file("decoded")));
    const std::string decoded = read_file(side_.file("decoded"));
    Frame f{0, 0, ""};
    const size_t header_end = decoded.find('\n');
    if (header_end == std::string::npos ||
        sscanf(decoded.c_str(), "%d %d", &f.width, &f.height) != 2) {
      ADD_FAILURE() << "Pillow gave no image for " << bmp;
      return f;
    }
    const std::string rgb = decoded.substr(header_end + 1);
    EXPECT_EQ(rgb.size(), static_cast<size_t>(3 * f.width * f.height));
    f.bytes.assign(rgb.size(), '\0');
    for (int y = 0; y < f.height && rgb.size() == f.bytes.size(); ++y)
      for (int x = 0; x < f.width; ++x)
        for (int ch = 0; ch < 3; ++ch) {
          f.bytes[3 * (y * f.width + x) + ch] =
              rgb[3 * ((f.height - 1 - y) * f.width + x) + 2 - ch];
        }
    return f;
  }

  const Frame frame_ = test_frame();
  ScratchDir out_, side_;
};

TEST_F(Readers, PillowDecodesTheFrameBmpToTheFramePixels) {
  const Frame decoded = pillow_decode(out_.file("R00000.bmp"));
  EXPECT_EQ(decoded.width, frame_.width);
  EXPECT_EQ(decoded.height, frame_.height);
  EXPECT_TRUE(decoded.bytes == frame_.bytes);
}

TEST_F(Readers, PillowDecodesThePreviewToItsGrayLevels) {
  const Frame expected = gray_preview(frame_, kColumns);
  const Frame decoded = pillow_decode(out_.file("g.bmp"));
  EXPECT_EQ(decoded.width, expected.width);
  EXPECT_EQ(decoded.height, expected.height);
  EXPECT_TRUE(decoded.bytes == expected.bytes);
}

TEST_F(Readers, ChromiumShowsThePageRowsWithAmpersands) {
  write_file(out_.file("pre_text.html"), read_file(std::string(READERS_DIR) + "/pre_text.html"));
  const std::string dom =
      run(std::string(kChromium) +
          " --headless --no-sandbox --disable-gpu --disable-quic --no-first-run"
          " --disable-background-networking --disable-component-update --disable-sync"
          " --user-data-dir=" +
          shell_quoted(side_.file("profile")) +
          " --allow-file-access-from-files --virtual-time-budget=10000 --dump-dom " +
          shell_quoted("file://" + out_.file("pre_text.html")));
  const std::string marker = "data-pre=\"";
  const size_t start = dom.find(marker);
  ASSERT_NE(start, std::string::npos) << "Chromium showed no <pre> text:\n" << dom;
  const size_t end = dom.find('"', start + marker.size());
  ASSERT_NE(end, std::string::npos);
  const std::string shown = run(
      "echo " + dom.substr(start + marker.size(), end - start - marker.size()) + " | base64 -d");

  std::string page = html_page(frame_, kColumns), rows;
  const std::string opening = "<pre>", closing = "</pre>";
  page = page.substr(page.find(opening) + opening.size());
  page = page.substr(0, page.find(closing));
  for (size_t i = 0; i < page.size(); ++i) {
    rows += page[i];
    if (page.compare(i, 5, "&amp;") == 0) i += 4;
  }
  ASSERT_NE(rows.find('&'), std::string::npos) << "the frame must give dense cells";
  EXPECT_EQ(shown, rows);
}

}  // namespace
