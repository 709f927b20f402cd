#include "support/jpeg_samples.h"

#include <stdio.h>
#include <stdlib.h>

// After stdio.h, which it needs.
#include <jpeglib.h>

std::vector<uint8_t> encoded_jpeg(int width, int height, unsigned restart_interval) {
  jpeg_compress_struct encoder;
  jpeg_error_mgr errors;
  encoder.err = jpeg_std_error(&errors);
  jpeg_create_compress(&encoder);
  unsigned char* bytes = nullptr;
  unsigned long size = 0;
  jpeg_mem_dest(&encoder, &bytes, &size);
  encoder.image_width = width;
  encoder.image_height = height;
  encoder.input_components = 3;
  encoder.in_color_space = JCS_EXT_BGR;
  jpeg_set_defaults(&encoder);
  jpeg_set_quality(&encoder, 95, TRUE);
  encoder.restart_interval = restart_interval;
  jpeg_start_compress(&encoder, TRUE);
  std::vector<uint8_t> row(3 * width);
  while (encoder.next_scanline < encoder.image_height) {
    for (int x = 0; x < width; ++x)
      row[3 * x] = 4 * x, row[3 * x + 1] = 5 * encoder.next_scanline, row[3 * x + 2] = 128;
    JSAMPROW rows = row.data();
    jpeg_write_scanlines(&encoder, &rows, 1);
  }
  jpeg_finish_compress(&encoder);
  jpeg_destroy_compress(&encoder);
  std::vector<uint8_t> jpeg(bytes, bytes + size);
  free(bytes);
  return jpeg;
}

std::vector<uint8_t> without_huffman_tables(const std::vector<uint8_t>& jpeg) {
  std::vector<uint8_t> out(jpeg.begin(), jpeg.begin() + 2);
  for (size_t i = 2; i + 4 <= jpeg.size();) {
    const uint8_t marker = jpeg[i + 1];
    if (marker == 0xDA) {  // the scan runs to the end
      out.insert(out.end(), jpeg.begin() + i, jpeg.end());
      break;
    }
    const size_t length = 2 + (jpeg[i + 2] << 8 | jpeg[i + 3]);
    if (marker != 0xC4) out.insert(out.end(), jpeg.begin() + i, jpeg.begin() + i + length);
    i += length;
  }
  return out;
}

std::vector<size_t> restart_markers(const std::vector<uint8_t>& jpeg) {
  std::vector<size_t> at;
  for (size_t i = 0; i + 1 < jpeg.size(); ++i)
    if (jpeg[i] == 0xFF && jpeg[i + 1] >= 0xD0 && jpeg[i + 1] <= 0xD7) at.push_back(i);
  return at;
}
