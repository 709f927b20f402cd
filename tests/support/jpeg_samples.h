// JPEG frames made with libjpeg for the tests of MJPEG decoding, and the
// ways webcams send them.
#ifndef TESTS_SUPPORT_JPEG_SAMPLES_H
#define TESTS_SUPPORT_JPEG_SAMPLES_H

#include <stddef.h>
#include <stdint.h>

#include <vector>

// A JPEG of width x height, each pixel's B, G and R from its position
// (B 4x, G 5y, R 128); with a restart marker after every restart_interval
// MCUs when not 0.
std::vector<uint8_t> encoded_jpeg(int width, int height, unsigned restart_interval = 0);

// The frame without its Huffman tables, as webcams send MJPEG.
std::vector<uint8_t> without_huffman_tables(const std::vector<uint8_t>& jpeg);

// The positions of a JPEG's restart markers.
std::vector<size_t> restart_markers(const std::vector<uint8_t>& jpeg);

#endif  // TESTS_SUPPORT_JPEG_SAMPLES_H
