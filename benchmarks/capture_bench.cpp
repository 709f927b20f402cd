// The work of one capture after the plug-in has delivered the frame (console
// report, page with gray preview, frame BMP, g.bmp), timed against its floor:
// one pass reading the frame plus, per output file, one open, one write of the
// same number of bytes prepared in advance, and one close.
//
// Every case runs the capture and its floor in turns inside the same timing
// loop, so both see the same machine load. The reported time is the
// capture's; the counters give the floor (floor_us), the capture over the
// floor (ratio), and the sizes behind them.
//
// Outputs go to a scratch folder under $TMPDIR (or /tmp), or to /dev/null;
// g.bmp always goes to the scratch folder, as it replaces the old one by a
// rename. For /dev/null, where the floor writes nothing, fill_us adds what
// making the output bytes costs at the least: one memset of them.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <string>
#include <vector>

#include "capture_outputs.h"
#include "frame_sampler.h"
#include "gray_kernels.h"
#include "gray_levels.h"
#include "kimage.h"

namespace {

struct FrameSize {
  int width, height;
};
const FrameSize kFrameSizes[] = {{640, 480}, {1920, 1080}, {3840, 2160}};
const int kHtmlWidths[] = {70, 200, 1000, 4000};

// A photograph-like frame: smooth shading over the whole gray range with some
// grain, so every band of the histogram and of the ramp occurs.
KImageT<K_RGB> make_frame(int width, int height) {
  KImageT<K_RGB> frame(width, height);
  uint32_t seed = 12345;
  for (int y = 0; y < height; ++y) {
    for (int x = 0; x < width; ++x) {
      seed = seed * 1664525u + 1013904223u;
      const int shade = (x * 255 / width + y * 255 / height) / 2;
      const int grain = static_cast<int>(seed >> 27) - 16;
      K_RGB& p = frame.pixel(x, y);
      auto clip = [](int v) { return static_cast<uint8_t>(v < 0 ? 0 : v > 255 ? 255 : v); };
      p.b = clip(shade + grain);
      p.g = clip(shade + grain / 2);
      p.r = clip(255 - shade + grain);
    }
  }
  return frame;
}

std::string scratch_folder() {
  const char* tmp = getenv("TMPDIR");
  std::string pattern = std::string(tmp && *tmp ? tmp : "/tmp") + "/capture_bench.XXXXXX";
  if (!mkdtemp(pattern.data())) {
    perror("capture_bench: mkdtemp");
    exit(1);
  }
  return pattern;
}

const std::string& scratch() {
  static const std::string folder = scratch_folder();
  return folder;
}

std::string read_whole(const std::string& path) {
  std::string bytes;
  FILE* file = fopen(path.c_str(), "rb");
  if (!file) return bytes;
  char block[1 << 16];
  size_t n;
  while ((n = fread(block, 1, sizeof block, file)) > 0) bytes.append(block, n);
  fclose(file);
  return bytes;
}

// The floor's files: where each goes and the bytes it gets.
struct FloorFile {
  std::string path;
  std::string bytes;
};

void write_floor_file(const FloorFile& f) {
  const int fd = open(f.path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0666);
  if (fd < 0 || write(fd, f.bytes.data(), f.bytes.size()) != static_cast<ssize_t>(f.bytes.size()))
    abort();
  close(fd);
}

uint64_t read_pass(const KImageT<K_RGB>& frame) {
  const uint8_t* bytes = reinterpret_cast<const uint8_t*>(frame.get_raw_buffer());
  const size_t size = frame.data.size() * 3;
  uint64_t sum = 0;
  size_t i = 0;
  for (; i + 8 <= size; i += 8) {
    uint64_t word;
    memcpy(&word, bytes + i, 8);
    sum += word;
  }
  for (; i < size; ++i) sum += bytes[i];
  return sum;
}

// What merely making the bytes a capture writes costs, beside the floor: one
// memset of that many bytes into memory already mapped (the best of ten).
// Every output byte but the frame BMP's pixels, which are the frame itself,
// has to be made; writing them to /dev/null costs nothing more.
double fill_time_us(size_t bytes) {
  std::vector<char> buffer(bytes, 1);
  double best = 1e30;
  for (int i = 0; i < 10; ++i) {
    const auto start = std::chrono::steady_clock::now();
    memset(buffer.data(), i, bytes);
    benchmark::ClobberMemory();
    const auto end = std::chrono::steady_clock::now();
    best = std::min(best, std::chrono::duration<double, std::micro>(end - start).count());
  }
  benchmark::DoNotOptimize(buffer.data());
  return best;
}

void BM_Capture(benchmark::State& state, FrameSize size, int html_width, bool to_null) {
  const KImageT<K_RGB> frame = make_frame(size.width, size.height);
  const std::string dir = scratch() + "/";
  const std::string report = to_null ? "/dev/null" : dir + "report.txt";
  const std::string html = to_null ? "/dev/null" : dir + "R00000.html";
  const std::string bmp = to_null ? "/dev/null" : dir + "R00000.bmp";
  const std::string preview = dir + "g.bmp";
  const char kFailure[] = "file output failed\n";

  // Kept across captures, as the program keeps it.
  RenderMemory render_memory;
  auto capture = [&] {
    FILE* console = fopen(report.c_str(), "w");
    if (!console) abort();
    CaptureFiles files(bmp.c_str(), html.c_str());
    write_capture_outputs(frame, html_width, files, preview.c_str(), console, kFailure,
                          render_memory);
    fclose(console);
  };

  // One capture into the scratch folder gives the floor its bytes.
  const std::string probe = scratch() + "/probe";
  {
    const std::string p_report = probe + ".txt", p_html = probe + ".html", p_bmp = probe + ".bmp",
                      p_preview = probe + "-g.bmp";
    FILE* console = fopen(p_report.c_str(), "w");
    if (!console) abort();
    CaptureFiles files(p_bmp.c_str(), p_html.c_str());
    write_capture_outputs(frame, html_width, files, p_preview.c_str(), console, kFailure,
                          render_memory);
    fclose(console);
  }
  std::vector<FloorFile> floor_files;
  for (const char* suffix : {".txt", ".html", ".bmp", "-g.bmp"}) {
    FloorFile f;
    const bool preview_file = strcmp(suffix, "-g.bmp") == 0;
    f.path = to_null && !preview_file ? "/dev/null" : dir + "floor" + suffix;
    f.bytes = read_whole(probe + suffix);
    remove((probe + suffix).c_str());
    floor_files.push_back(std::move(f));
  }
  if (floor_files[0].bytes.find(kFailure) != std::string::npos) {
    state.SkipWithError("the capture failed to write its files");
    return;
  }

  using Clock = std::chrono::steady_clock;
  Clock::duration capture_time{}, floor_time{};
  bool floor_first = false;
  for (auto _ : state) {
    // Each capture makes new numbered files and rewrites g.bmp; so do both
    // here (removing files is not timed).
    if (!to_null) {
      for (const std::string& path :
           {report, html, bmp, floor_files[0].path, floor_files[1].path, floor_files[2].path}) {
        remove(path.c_str());
      }
    }
    const Clock::time_point start = Clock::now();
    Clock::time_point middle, end;
    // Alternating the order keeps either from always finding the frame in
    // cache after the other.
    floor_first = !floor_first;
    if (floor_first) {
      benchmark::DoNotOptimize(read_pass(frame));
      for (const FloorFile& f : floor_files) write_floor_file(f);
      middle = Clock::now();
      capture();
      end = Clock::now();
      floor_time += middle - start;
      capture_time += end - middle;
      state.SetIterationTime(std::chrono::duration<double>(end - middle).count());
    } else {
      capture();
      middle = Clock::now();
      benchmark::DoNotOptimize(read_pass(frame));
      for (const FloorFile& f : floor_files) write_floor_file(f);
      end = Clock::now();
      capture_time += middle - start;
      floor_time += end - middle;
      state.SetIterationTime(std::chrono::duration<double>(middle - start).count());
    }
  }

  size_t output_bytes = 0;
  for (const FloorFile& f : floor_files) output_bytes += f.bytes.size();
  const size_t made_bytes = output_bytes - floor_files[2].bytes.size() + 54;
  const double iterations = static_cast<double>(state.iterations());
  state.counters["floor_us"] =
      std::chrono::duration<double, std::micro>(floor_time).count() / iterations;
  state.counters["ratio"] = std::chrono::duration<double>(capture_time).count() /
                            std::chrono::duration<double>(floor_time).count();
  state.counters["pixels"] = static_cast<double>(size.width) * size.height;
  const SamplingGrid grid(size.width, size.height, html_width);
  state.counters["cells"] = static_cast<double>(grid.columns * grid.rows);
  state.counters["out_bytes"] = static_cast<double>(output_bytes);
  state.counters["fill_us"] = fill_time_us(made_bytes);
}

}  // namespace

int main(int argc, char** argv) {
  for (const FrameSize& size : kFrameSizes) {
    for (int html_width : kHtmlWidths) {
      for (bool to_null : {false, true}) {
        const std::string name = "capture/" + std::to_string(size.width) + "x" +
                                 std::to_string(size.height) + "/w" + std::to_string(html_width) +
                                 (to_null ? "/null" : "/dir");
        benchmark::RegisterBenchmark(name.c_str(), BM_Capture, size, html_width, to_null)
            ->UseManualTime()
            ->Unit(benchmark::kMillisecond);
      }
    }
  }
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  for (const char* name : {"report.txt", "R00000.html", "R00000.bmp", "g.bmp", "floor.txt",
                           "floor.html", "floor.bmp", "floor-g.bmp"}) {
    remove((scratch() + "/" + name).c_str());
  }
  return rmdir(scratch().c_str()) == 0 ? 0 : 1;
}
