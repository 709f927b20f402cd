// KImageT, the 24-bit image, and its BMP writer save_to_bitmap. Expected
// files are put together here from the BMP layout, independently of the
// writer: a 14-byte file header, a 40-byte info header, then the rows as
// stored (row 0 first), each padded with zeros to a multiple of 4 bytes.
#include <errno.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <stdint.h>
#include <stdlib.h>
#include <string.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <filesystem>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "kimage.h"
#include "support/files.h"

namespace {

typedef std::vector<uint8_t> Bytes;
namespace fs = std::filesystem;

void AppendLe16(Bytes& out, uint32_t value) {
  out.push_back(static_cast<uint8_t>(value & 0xFF));
  out.push_back(static_cast<uint8_t>((value >> 8) & 0xFF));
}

void AppendLe32(Bytes& out, uint32_t value) {
  AppendLe16(out, value & 0xFFFF);
  AppendLe16(out, value >> 16);
}

// The BMP file of an image, worked out from the layout rules.
Bytes ExpectedBmp(const KImageT<K_RGB>& image) {
  const uint32_t width = static_cast<uint32_t>(image.width);
  const uint32_t height = static_cast<uint32_t>(image.height);
  uint32_t stride = 3 * width;
  while (stride % 4 != 0) ++stride;

  Bytes out;
  out.push_back('B');
  out.push_back('M');
  AppendLe32(out, 54 + stride * height);  // bfSize
  AppendLe16(out, 0);                     // bfReserved1
  AppendLe16(out, 0);                     // bfReserved2
  AppendLe32(out, 54);                    // bfOffBits
  AppendLe32(out, 40);                    // biSize
  AppendLe32(out, width);
  AppendLe32(out, height);
  AppendLe16(out, 1);                              // biPlanes
  AppendLe16(out, 24);                             // biBitCount
  for (int i = 0; i < 6; ++i) AppendLe32(out, 0);  // compression .. clr important
  for (uint32_t y = 0; y < height; ++y) {
    for (uint32_t x = 0; x < width; ++x) {
      const K_RGB& p = image.pixel(static_cast<int>(x), static_cast<int>(y));
      out.push_back(p.b);
      out.push_back(p.g);
      out.push_back(p.r);
    }
    for (uint32_t pad = 3 * width; pad < stride; ++pad) out.push_back(0);
  }
  return out;
}

// Gives every pixel its own nonzero-ish values, so misplaced bytes show.
void FillPattern(KImageT<K_RGB>& image) {
  for (int y = 0; y < image.height; ++y) {
    for (int x = 0; x < image.width; ++x) {
      K_RGB& p = image.pixel(x, y);
      p.b = static_cast<uint8_t>(3 * x + y + 1);
      p.g = static_cast<uint8_t>(x + 7 * y + 2);
      p.r = static_cast<uint8_t>(255 - x - 5 * y);
    }
  }
}

Bytes RawBytes(const KImageT<K_RGB>& image) {
  const uint8_t* bytes = reinterpret_cast<const uint8_t*>(image.data.data());
  return Bytes(bytes, bytes + image.data.size() * sizeof(K_RGB));
}

bool AllZero(const KImageT<K_RGB>& image) {
  for (uint8_t byte : RawBytes(image)) {
    if (byte != 0) return false;
  }
  return true;
}

void FillBytes(KImageT<K_RGB>& image, uint8_t value) {
  memset(static_cast<void*>(image.data.data()), value, image.data.size() * sizeof(K_RGB));
}

Bytes ReadFile(const std::string& path) {
  const std::string bytes = read_file(path);
  return Bytes(bytes.begin(), bytes.end());
}

class ImageTest : public ::testing::Test {
 protected:
  ScratchDir scratch_;
  const std::string dir_ = scratch_.path();
};

TEST(KImageTest, PixelIsThreeBytesAndRowsArePacked) {
  EXPECT_EQ(sizeof(K_RGB), 3u);
  for (int width : {1, 2, 3, 5, 201, 640}) {
    SCOPED_TRACE(width);
    KImageT<K_RGB> image(width, 2);
    const uint8_t* row0 = reinterpret_cast<const uint8_t*>(&image.pixel(0, 0));
    const uint8_t* row1 = reinterpret_cast<const uint8_t*>(&image.pixel(0, 1));
    EXPECT_EQ(row1 - row0, 3 * width);
    EXPECT_EQ(image.data.size() * sizeof(K_RGB), static_cast<size_t>(6 * width));
  }
}

TEST(KImageTest, FreshImageHasNoBuffer) {
  KImageT<K_RGB> image;
  const KImageT<K_RGB>& const_image = image;
  EXPECT_EQ(image.get_raw_buffer(), nullptr);
  EXPECT_EQ(const_image.get_raw_buffer(), nullptr);
  EXPECT_EQ(image.width, 0);
  EXPECT_EQ(image.height, 0);
}

TEST(KImageTest, SizedImageIsAllZero) {
  const struct { int width, height; } sizes[] = {{1, 1}, {3, 2}, {201, 2}, {640, 480}};
  for (const auto& s : sizes) {
    SCOPED_TRACE(std::to_string(s.width) + "x" + std::to_string(s.height));
    KImageT<K_RGB> constructed(s.width, s.height);
    KImageT<K_RGB> initialised;
    initialised.init(s.width, s.height);
    for (KImageT<K_RGB>* image : {&constructed, &initialised}) {
      EXPECT_EQ(image->width, s.width);
      EXPECT_EQ(image->height, s.height);
      EXPECT_EQ(image->data.size(), static_cast<size_t>(s.width * s.height));
      EXPECT_NE(image->get_raw_buffer(), nullptr);
      EXPECT_TRUE(AllZero(*image));
    }
  }
}

TEST(KImageTest, InitClearsPixelsHeldBefore) {
  const struct {
    int from_width, from_height, width, height;
  } cases[] = {{4, 4, 2, 3}, {2, 2, 5, 5}, {3, 3, 3, 3}, {6, 1, 1, 6}, {640, 480, 1, 1}};
  for (const auto& c : cases) {
    SCOPED_TRACE(std::to_string(c.from_width) + "x" + std::to_string(c.from_height) + " -> " +
                 std::to_string(c.width) + "x" + std::to_string(c.height));
    KImageT<K_RGB> image(c.from_width, c.from_height);
    FillBytes(image, 0xAB);
    image.init(c.width, c.height);
    EXPECT_EQ(image.width, c.width);
    EXPECT_EQ(image.height, c.height);
    EXPECT_EQ(image.data.size(), static_cast<size_t>(c.width * c.height));
    EXPECT_TRUE(AllZero(image));
  }
}

TEST(KImageTest, EmptyInitLeavesNoBuffer) {
  const struct {
    int width, height;
  } sizes[] = {{0, 0}, {0, 5}, {5, 0}, {-3, 4}, {4, -3}, {-2, -3}};
  for (const auto& s : sizes) {
    SCOPED_TRACE(std::to_string(s.width) + "x" + std::to_string(s.height));
    KImageT<K_RGB> fresh;
    fresh.init(s.width, s.height);
    KImageT<K_RGB> held(4, 4);
    FillBytes(held, 0x11);
    held.init(s.width, s.height);
    for (KImageT<K_RGB>* image : {&fresh, &held}) {
      EXPECT_EQ(image->get_raw_buffer(), nullptr);
      EXPECT_TRUE(image->data.empty());
      EXPECT_EQ(image->width, s.width);
      EXPECT_EQ(image->height, s.height);
    }
  }
}

TEST(KImageTest, PixelIsElementXPlusYTimesWidth) {
  KImageT<K_RGB> image(4, 3);
  const KImageT<K_RGB>& const_image = image;
  for (int y = 0; y < 3; ++y) {
    for (int x = 0; x < 4; ++x) {
      image.pixel(x, y).b = static_cast<uint8_t>(10 * y + x);
      image.pixel(x, y).r = static_cast<uint8_t>(200 + x);
    }
  }
  for (int y = 0; y < 3; ++y) {
    for (int x = 0; x < 4; ++x) {
      SCOPED_TRACE(std::to_string(x) + "," + std::to_string(y));
      const size_t index = static_cast<size_t>(x + y * 4);
      EXPECT_EQ(&image.pixel(x, y), &image.data[index]);
      EXPECT_EQ(&const_image.pixel(x, y), &image.data[index]);
      EXPECT_EQ(image.data[index].b, 10 * y + x);
      EXPECT_EQ(image.data[index].g, 0);
      EXPECT_EQ(image.data[index].r, 200 + x);
      EXPECT_EQ(image.get_raw_buffer() + index, &image.pixel(x, y));
    }
  }
}

TEST_F(ImageTest, SavedFilesMatchLayoutByteForByte) {
  const struct {
    int width, height;
    size_t file_size;  // 54 + stride * height
  } cases[] = {
      {640, 480, 54 + 480 * 1920},
      {201, 2, 54 + 2 * 604},  // 603 bytes + 1 pad
      {1, 1, 54 + 4},
      {2, 3, 54 + 3 * 8},
      {3, 1, 54 + 12},
      {4, 3, 54 + 3 * 12},  // no padding
      {5, 2, 54 + 2 * 16},
      {5, 0, 54},
      // Padded rows go out as row and padding pieces, at most 1024 per write.
      {1, 1500, 54 + 1500 * 4},
      {333, 600, 54 + 600 * 1000},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::to_string(c.width) + "x" + std::to_string(c.height));
    KImageT<K_RGB> image(c.width, c.height);
    FillPattern(image);
    const std::string path = dir_ + "/image.bmp";
    ASSERT_TRUE(image.save_to_bitmap(path.c_str()));
    const Bytes file = ReadFile(path);
    EXPECT_EQ(file.size(), c.file_size);
    EXPECT_TRUE(file == ExpectedBmp(image));
  }
}

TEST_F(ImageTest, TwoByThreeFileWrittenOutByHand) {
  KImageT<K_RGB> image(2, 3);
  for (int y = 0; y < 3; ++y) {
    for (int x = 0; x < 2; ++x) {
      image.pixel(x, y).b = static_cast<uint8_t>(0x10 * (y + 1) + x);
      image.pixel(x, y).g = static_cast<uint8_t>(0xA0 + x);
      image.pixel(x, y).r = static_cast<uint8_t>(0xF0 + y);
    }
  }
  const Bytes expected = {
      'B',
      'M',
      0x4E,
      0x00,
      0x00,
      0x00,  // bfSize 78
      0x00,
      0x00,
      0x00,
      0x00,  // reserved
      0x36,
      0x00,
      0x00,
      0x00,  // bfOffBits 54
      0x28,
      0x00,
      0x00,
      0x00,  // biSize 40
      0x02,
      0x00,
      0x00,
      0x00,  // width 2
      0x03,
      0x00,
      0x00,
      0x00,  // height 3
      0x01,
      0x00,
      0x18,
      0x00,  // planes 1, 24 bits
      0x00,
      0x00,
      0x00,
      0x00,
      0x00,
      0x00,
      0x00,
      0x00,
      0x00,
      0x00,
      0x00,
      0x00,
      0x00,
      0x00,
      0x00,
      0x00,
      0x00,
      0x00,
      0x00,
      0x00,
      0x00,
      0x00,
      0x00,
      0x00,
      // row 0: (0,0), (1,0), 2 pad bytes
      0x10,
      0xA0,
      0xF0,
      0x11,
      0xA1,
      0xF0,
      0x00,
      0x00,
      // row 1
      0x20,
      0xA0,
      0xF1,
      0x21,
      0xA1,
      0xF1,
      0x00,
      0x00,
      // row 2
      0x30,
      0xA0,
      0xF2,
      0x31,
      0xA1,
      0xF2,
      0x00,
      0x00,
  };
  ASSERT_EQ(expected.size(), 78u);
  const std::string path = dir_ + "/2x3.bmp";
  ASSERT_TRUE(image.save_to_bitmap(path.c_str()));
  EXPECT_EQ(ReadFile(path), expected);
}

TEST_F(ImageTest, HeadersWrittenOutByHand) {
  const struct {
    int width, height;
    uint8_t header[54];
  } cases[] = {
      {640,
       480,
       {'B', 'M', 0x36, 0x10, 0x0E, 0x00, 0,    0,    0, 0, 0x36, 0, 0,    0, 0x28, 0,
        0,   0,   0x80, 0x02, 0x00, 0x00, 0xE0, 0x01, 0, 0, 1,    0, 0x18, 0}},  // 921654 bytes
      {201,
       2,
       {'B', 'M', 0xEE, 0x04, 0x00, 0x00, 0,    0,    0,    0, 0x36, 0, 0, 0,    0x28,
        0,   0,   0,    0xC9, 0x00, 0x00, 0x00, 0x02, 0x00, 0, 0,    1, 0, 0x18, 0}},  // 1262 bytes
      {7,
       0,
       {'B', 'M', 0x36, 0x00, 0x00, 0x00, 0,    0,    0, 0, 0x36, 0, 0,    0, 0x28, 0,
        0,   0,   0x07, 0x00, 0x00, 0x00, 0x00, 0x00, 0, 0, 1,    0, 0x18, 0}},  // header only
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::to_string(c.width) + "x" + std::to_string(c.height));
    KImageT<K_RGB> image(c.width, c.height);
    const std::string path = dir_ + "/header.bmp";
    ASSERT_TRUE(image.save_to_bitmap(path.c_str()));
    const Bytes file = ReadFile(path);
    ASSERT_GE(file.size(), 54u);
    EXPECT_EQ(Bytes(file.begin(), file.begin() + 54), Bytes(c.header, c.header + 54));
  }
}

TEST_F(ImageTest, LongerFileAtPathIsReplaced) {
  const std::string path = dir_ + "/old.bmp";
  write_file(path, std::string(5000, 'Z'));
  KImageT<K_RGB> image(1, 1);
  image.pixel(0, 0).b = 1;
  image.pixel(0, 0).g = 2;
  image.pixel(0, 0).r = 3;
  ASSERT_TRUE(image.save_to_bitmap(path.c_str()));
  const Bytes file = ReadFile(path);
  EXPECT_EQ(file.size(), 58u);
  EXPECT_EQ(file, ExpectedBmp(image));
}

TEST_F(ImageTest, PathInMissingFolderFailsAndCreatesNothing) {
  const std::string folder = dir_ + "/missing";
  const std::string path = folder + "/image.bmp";
  KImageT<K_RGB> image(2, 2);
  EXPECT_FALSE(image.save_to_bitmap(path.c_str()));
  EXPECT_FALSE(fs::exists(folder));
  EXPECT_TRUE(fs::is_empty(dir_));
}

// A failed save removes its path only when it made a regular file there: a
// device node, a FIFO or a device behind a link is left in place.
TEST_F(ImageTest, AFailedSaveToWhatIsNotARegularFileLeavesItInPlace) {
  signal(SIGPIPE, SIG_IGN);      // the FIFO's reader leaves
  KImageT<K_RGB> big(200, 200);  // 120054 bytes, more than a pipe holds
  const struct {
    const char* what;
    std::function<bool(const std::string&)> make;  // false: cannot be made here
    bool (*still_there)(const std::filesystem::path&);
  } cases[] = {
      {"a full device, named directly",
       [](const std::string& path) {
         return mknod(path.c_str(), S_IFCHR | 0666, makedev(1, 7)) == 0;
       },
       [](const fs::path& p) { return fs::is_character_file(fs::symlink_status(p)); }},
      {"a link to /dev/full",
       [](const std::string& path) {
         return fs::exists("/dev/full") && symlink("/dev/full", path.c_str()) == 0;
       },
       [](const fs::path&) { return fs::is_character_file("/dev/full"); }},
      {"a FIFO whose reader leaves",
       [](const std::string& path) { return mkfifo(path.c_str(), 0600) == 0; },
       [](const fs::path& p) { return fs::is_fifo(fs::symlink_status(p)); }},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    const std::string path = dir_ + "/node.bmp";
    if (!c.make(path)) {
      // Only root makes device nodes; as root (as in CI) every case runs.
      if (geteuid() == 0) ADD_FAILURE() << "cannot make it: " << strerror(errno);
      continue;
    }
    // The reader opens the FIFO, which lets the save open it, and leaves.
    std::thread reader([&] {
      if (fs::is_fifo(fs::symlink_status(path))) close(open(path.c_str(), O_RDONLY));
    });
    EXPECT_FALSE(big.save_to_bitmap(path.c_str()));
    reader.join();
    EXPECT_TRUE(c.still_there(path));
    remove(path.c_str());
  }
}

// A tiny tmpfs in the temporary folder, unmounted at the end.
class FullDiskTest : public ImageTest {
 protected:
  void SetUp() override {
    if (geteuid() != 0) GTEST_SKIP() << "mounting a small tmpfs needs root";
    mount_point_ = dir_ + "/small";
    ASSERT_EQ(mkdir(mount_point_.c_str(), 0700), 0) << strerror(errno);
    if (mount("tmpfs", mount_point_.c_str(), "tmpfs", 0, "size=64k") != 0) {
      GTEST_SKIP() << "cannot mount a 64 KiB tmpfs here: " << strerror(errno);
    }
    mounted_ = true;
  }
  void TearDown() override {
    if (mounted_) {
      EXPECT_EQ(umount2(mount_point_.c_str(), MNT_DETACH), 0) << strerror(errno);
    }
  }
  std::string mount_point_;
  bool mounted_ = false;
};

TEST_F(FullDiskTest, SaveThatRunsOutOfSpaceLeavesNoFile) {
  // A small image fits, so a failure below is the full disk.
  const std::string small = mount_point_ + "/small.bmp";
  KImageT<K_RGB> small_image(2, 2);
  ASSERT_TRUE(small_image.save_to_bitmap(small.c_str()));
  ASSERT_EQ(remove(small.c_str()), 0);

  const std::string big = mount_point_ + "/big.bmp";
  KImageT<K_RGB> big_image(200, 200);  // 120054 bytes, more than 64 KiB.
  FillPattern(big_image);
  EXPECT_FALSE(big_image.save_to_bitmap(big.c_str()));
  EXPECT_FALSE(fs::exists(big));
  EXPECT_TRUE(fs::is_empty(mount_point_));
}

}  // namespace
