// Runs of the console in a folder on a small tmpfs, sized so that the page,
// the frame BMP or g.bmp in turn finds the disk full. Needs root to mount.
#include <errno.h>
#include <gtest/gtest.h>
#include <string.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <map>
#include <string>
#include <vector>

#include "program_runner.h"
#include "reference_render.h"
#include "support/console_texts.h"
#include "support/files.h"
#include "support/test_camera.h"

namespace {

const int64_t kPage = 4096;  // tmpfs counts whole pages

int64_t pages(int64_t bytes) {
  return (bytes + kPage - 1) / kPage;
}

struct DiskCase {
  const char* name;
  int width, height, columns;  // the black frame served and the page width
  int64_t free_pages;          // left for the run
  int64_t old_preview_bytes;   // a g.bmp of an earlier run, 0 for none
  int64_t inodes;              // tmpfs nr_inodes; 1 leaves room for no file
  int captures;
  bool page_kept, bmp_kept, preview_kept;
};

void PrintTo(const DiskCase& c, std::ostream* os) {
  *os << c.name;
}

class FullDisk : public ::testing::TestWithParam<DiskCase> {
 protected:
  void TearDown() override {
    if (mounted_) {
      EXPECT_EQ(umount2(disk_.c_str(), MNT_DETACH), 0) << strerror(errno);
    }
  }
  // A tmpfs of exactly `total` pages at disk_.
  void mount_disk(int64_t total, int64_t inodes) {
    if (geteuid() != 0) GTEST_SKIP() << "full-disk runs need root to mount a small tmpfs";
    disk_ = side_.file("disk");
    ASSERT_EQ(mkdir(disk_.c_str(), 0755), 0);
    const std::string options =
        "size=" + std::to_string(total * kPage) + ",nr_inodes=" + std::to_string(inodes);
    if (mount("tmpfs", disk_.c_str(), "tmpfs", 0, options.c_str()) != 0) {
      GTEST_SKIP() << "cannot mount a tmpfs here (" << strerror(errno) << ")";
    }
    mounted_ = true;
    struct statvfs info;
    ASSERT_EQ(statvfs(disk_.c_str(), &info), 0);
    ASSERT_EQ(static_cast<int64_t>(info.f_bavail) * static_cast<int64_t>(info.f_bsize),
              total * kPage);
  }
  ScratchDir side_;
  std::string disk_;
  bool mounted_ = false;
};

TEST_P(FullDisk, ReportsRemovesPartialFilesAndGoesOn) {
  const DiskCase& c = GetParam();
  const Frame frame{c.width, c.height, std::string(3 * c.width * c.height, '\0')};
  // A tmpfs of size 0 would have no limit: a full one holds a filler page.
  const std::string filler(c.free_pages ? 0 : kPage, 'f');
  mount_disk(c.free_pages + pages(c.old_preview_bytes) + pages(filler.size()), c.inodes);
  if (IsSkipped() || HasFatalFailure()) return;
  if (c.old_preview_bytes) write_file(disk_ + "/g.bmp", std::string(c.old_preview_bytes, 'x'));
  if (!filler.empty()) write_file(disk_ + "/filler", filler);

  RunOptions options;
  serve_frames(options.env, side_.file("frame.raw"), c.width, c.height, frame.bytes);
  options.input = std::to_string(c.columns) + "\n" + std::string(c.captures, '\n') + "q\n";
  RunResult r = run_program(disk_, options);

  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.err, "");
  std::string capture = console_report(frame);
  if (!c.page_kept) capture += kFileOutputFailed;
  if (!c.bmp_kept) capture += kFileOutputFailed;
  std::string expected_out = startup_text(c.width, c.height) + kPrompt;
  for (int k = 0; k < c.captures; ++k) expected_out += capture + kPrompt;
  EXPECT_EQ(r.out, expected_out);

  // Every file left is whole; nothing else is left.
  std::map<std::string, std::string> expected;
  if (c.page_kept) expected["R00000.html"] = html_page(frame, c.columns);
  if (c.bmp_kept) expected["R00000.bmp"] = bmp_file(frame);
  if (c.preview_kept) {
    expected["g.bmp"] = bmp_file(gray_preview(frame, c.columns));
  } else if (c.old_preview_bytes) {
    expected["g.bmp"] = std::string(c.old_preview_bytes, 'x');  // replaced only when whole
  }
  if (!filler.empty()) expected["filler"] = filler;
  std::vector<std::string> names;
  for (const auto& [name, bytes] : expected) names.push_back(name);
  EXPECT_EQ(list_folder(disk_), names);
  for (const auto& [name, bytes] : expected) {
    EXPECT_TRUE(read_file(disk_ + "/" + name) == bytes) << name << " is not whole";
  }
}

// A black 64 x 48 frame at width 200: page 75135 bytes (19 pages), frame BMP
// 9270 (3), g.bmp 90054 (22). A black 640 x 480 frame at width 20: page 767
// bytes (1 page), frame BMP 921654 (226), g.bmp 894 (1).
INSTANTIATE_TEST_SUITE_P(
    Cases, FullDisk,
    ::testing::Values(
        // The page needs 19 pages of 10. The new g.bmp would need 22 beside
        // the old one, which it replaces only when whole: the old one stays.
        DiskCase{"PageFails", 64, 48, 200, 10, 90054, 64, 1, false, true, false},
        DiskCase{"FrameBmpFails", 640, 480, 20, 50, 0, 64, 1, true, false, true},
        // Page and frame BMP take 22 of 30 pages; g.bmp needs 22.
        DiskCase{"PreviewFails", 64, 48, 200, 30, 0, 64, 1, true, true, false},
        DiskCase{"AllFailTwice", 64, 48, 200, 0, 0, 64, 2, false, false, false},
        DiskCase{"NoFileCanBeCreated", 64, 48, 200, 100, 0, 1, 2, false, false, false}),
    [](const ::testing::TestParamInfo<DiskCase>& info) { return info.param.name; });

}  // namespace
