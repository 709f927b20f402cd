/* The emulated webcam's picture (tests/guest/uvc_webcam.c), shared with the
 * tests that check what the program saved. A frame's picture follows from
 * its phase (the frame number modulo UVC_PHASES) and a luma offset (the
 * brightness control, and auto exposure while it converges). The top
 * sixteenth of the picture is a band of sixteen cells: white, black, then
 * for each of the phase's six bits from the highest a pair, white and black
 * for 1, black and white for 0, then black and white; the offset leaves it
 * alone. So a saved picture names the frame it came from, while the
 * picture's brightness stays the same from frame to frame, as a still
 * scene's does, unless the scene is busy (uvc_busy_offset). */
#ifndef UVC_PICTURE_H
#define UVC_PICTURE_H

#include <stddef.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
/* jpeglib.h needs size_t and FILE first. */
#include <jpeglib.h>

#define UVC_PHASES 64

static inline int uvc_clamp(int value, int low, int high) {
  return value < low ? low : value > high ? high : value;
}

/* The luma offset of a busy scene at a phase, swinging over `levels`
 * (-levels/2 to about +levels/2) and changing every frame: the phase
 * scrambled to a permutation of 0..63. Any five frames in a row span at
 * least a third of the swing, and so do any five of every second up to
 * every sixteenth frame, or of the frames left when every Nth (N 2 to 8)
 * is lost, also taken every second to fourth. A steady picture keeps its
 * frames of the last half second (five at least) within a band of about
 * ten levels (4 either side of a line moving under 2), so with a swing of
 * 40 or more no window of frames can look steady, however the frames the
 * program takes fall. A sine or a sawtooth would not do: taken every Nth
 * frame, for the N that matches its period, they hold still. */
static inline int uvc_busy_offset(int phase, int levels) {
  int x = (phase * 37) & 63;
  x ^= x >> 5;
  x = (x * 29) & 63;
  return levels * x / 63 - levels / 2;
}

static inline int uvc_band_rows(int height) {
  return height / 16;
}

/* Y0 U Y1 V for each pair of pixels, top row first; BT.601 limited range. */
static inline void uvc_picture_yuyv(uint8_t* out, int width, int height, int phase, int offset) {
  const int band = uvc_band_rows(height), block = width / 16;
  for (int y = 0; y < height; ++y) {
    uint8_t* row = out + (size_t)y * width * 2;
    for (int x = 0; x < width; x += 2) {
      int y0, y1, u, v;
      if (y < band) {
        const int cell = x / block, bit = (cell - 2) / 2;
        int white = cell == 0 || cell == 15;
        if (cell >= 2 && cell < 14) white = ((phase >> (5 - bit)) & 1) == (cell % 2 == 0);
        y0 = y1 = white ? 235 : 16;
        u = v = 128;
      } else {
        const int base = 16 + (x * 3 + y * 2) % 200;
        y0 = uvc_clamp(base + offset, 16, 235);
        y1 = uvc_clamp(base + 3 + offset, 16, 235);
        u = 78 + x * 100 / width;
        v = 78 + y * 100 / height;
      }
      row[2 * x] = (uint8_t)y0;
      row[2 * x + 1] = (uint8_t)u;
      row[2 * x + 2] = (uint8_t)y1;
      row[2 * x + 3] = (uint8_t)v;
    }
  }
}

/* The phase a picture's band shows, from its green channel (0..255, top row
 * first, sampled in the middle of each cell); -1 when the band is not
 * there (markers or pairs wrong). */
static inline int uvc_picture_phase(int (*green_at)(const void* picture, int x, int y),
                                    const void* picture, int width, int height) {
  const int y = uvc_band_rows(height) / 2, block = width / 16;
#define UVC_CELL_WHITE(c) (green_at(picture, (c)*block + block / 2, y) > 128)
  if (!UVC_CELL_WHITE(0) || UVC_CELL_WHITE(1) || UVC_CELL_WHITE(14) || !UVC_CELL_WHITE(15))
    return -1;
  int phase = 0;
  for (int bit = 0; bit < 6; ++bit) {
    const int first = UVC_CELL_WHITE(2 + 2 * bit), second = UVC_CELL_WHITE(3 + 2 * bit);
    if (first == second) return -1;
    phase = phase << 1 | first;
  }
#undef UVC_CELL_WHITE
  return phase;
}

/* Bytes libjpeg places before each restart marker it writes; the extra
 * bytes the "benign" MJPEG mode inserts there, and appends after the end. */
#define UVC_EXTRANEOUS_BYTES 3
#define UVC_TRAILING_BYTES 16

/* The picture as a JPEG of quality 90 into out (capacity bytes); its size,
 * or 0 when it does not fit. With benign_extras, a restart marker every
 * MCU row with UVC_EXTRANEOUS_BYTES bytes of zeros before each, and
 * UVC_TRAILING_BYTES bytes after the end of the image: a decoder warns of
 * them and still decodes the same picture. */
static inline size_t uvc_picture_jpeg(uint8_t* out, size_t capacity, int width, int height,
                                      int phase, int offset, int benign_extras) {
  uint8_t* yuyv = (uint8_t*)malloc((size_t)width * height * 2);
  uint8_t* row = (uint8_t*)malloc((size_t)width * 3);
  unsigned char* encoded = NULL;
  unsigned long encoded_size = 0;
  struct jpeg_compress_struct encoder;
  struct jpeg_error_mgr errors;
  uvc_picture_yuyv(yuyv, width, height, phase, offset);
  encoder.err = jpeg_std_error(&errors);
  jpeg_create_compress(&encoder);
  jpeg_mem_dest(&encoder, &encoded, &encoded_size);
  encoder.image_width = (JDIMENSION)width;
  encoder.image_height = (JDIMENSION)height;
  encoder.input_components = 3;
  encoder.in_color_space = JCS_YCbCr;
  jpeg_set_defaults(&encoder);
  jpeg_set_quality(&encoder, 90, TRUE);
  if (benign_extras) encoder.restart_in_rows = 1;
  jpeg_start_compress(&encoder, TRUE);
  for (int y = 0; y < height; ++y) {
    const uint8_t* in = yuyv + (size_t)y * width * 2;
    for (int x = 0; x < width; ++x) {
      row[3 * x] = in[2 * x];
      row[3 * x + 1] = in[4 * (x / 2) + 1];
      row[3 * x + 2] = in[4 * (x / 2) + 3];
    }
    JSAMPROW rows[1] = {row};
    jpeg_write_scanlines(&encoder, rows, 1);
  }
  jpeg_finish_compress(&encoder);
  jpeg_destroy_compress(&encoder);
  free(row);
  free(yuyv);

  size_t size = 0;
  int overflow = 0;
  for (unsigned long i = 0; i < encoded_size; ++i) {
    /* In the entropy-coded data a 0xff is always followed by 0, so
     * 0xff 0xd0..0xd7 is a restart marker. */
    const int restart = benign_extras && i + 1 < encoded_size && encoded[i] == 0xff &&
                        encoded[i + 1] >= 0xd0 && encoded[i + 1] <= 0xd7;
    if (restart) {
      if (size + UVC_EXTRANEOUS_BYTES > capacity) {
        overflow = 1;
        break;
      }
      memset(out + size, 0, UVC_EXTRANEOUS_BYTES);
      size += UVC_EXTRANEOUS_BYTES;
    }
    if (size == capacity) {
      overflow = 1;
      break;
    }
    out[size++] = encoded[i];
  }
  free(encoded);
  if (overflow) return 0;
  if (benign_extras) {
    if (size + UVC_TRAILING_BYTES > capacity) return 0;
    for (int i = 0; i < UVC_TRAILING_BYTES; ++i) out[size++] = (uint8_t)(0x5a + i);
  }
  return size;
}

#endif /* UVC_PICTURE_H */
