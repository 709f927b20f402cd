#include "mjpeg_decode.h"

#include <setjmp.h>
#include <stdio.h>

// After stdio.h, which it needs.
#include <jpeglib.h>
// The codes of its messages.
#include <jerror.h>

namespace vidmote {

namespace {

struct StrictErrors {
  jpeg_error_mgr manager;
  jmp_buf stop;
  bool damaged = false;
};

void stop_decoding(j_common_ptr decoder) {
  longjmp(reinterpret_cast<StrictErrors*>(decoder->err)->stop, 1);
}

// Whether a warning of the decoder's means the picture lost data, decided
// code by code.
bool loses_picture_data(int code) {
  switch (code) {
    // Bytes skipped before a marker once the data before it was decoded:
    // the common webcams' frames carry them every time, whole pictures all
    // the same.
    case JWRN_EXTRANEOUS_DATA:
    // An unknown JFIF revision: the header is read all the same.
    case JWRN_JFIF_MAJOR:
      return false;
    // The data ended early (a premature end, a marker where data should
    // be), held a code no table has, or lost its place between restart
    // markers: the decoder filled in or skipped blocks.
    case JWRN_JPEG_EOF:
    case JWRN_HIT_MARKER:
    case JWRN_HUFF_BAD_CODE:
    case JWRN_MUST_RESYNC:
    // Scans that do not add up to the whole picture.
    case JWRN_BOGUS_PROGRESSION:
    case JWRN_NOT_SEQUENTIAL:
    // Colours guessed from an unknown transform.
    case JWRN_ADOBE_XFORM:
    // Any other (a bad arithmetic code too, which not every libjpeg build
    // names): not known to be harmless.
    default:
      return true;
  }
}

// Level -1 is a warning (corrupt data the decoder worked around); higher
// levels are trace messages.
void note_message(j_common_ptr decoder, int level) {
  if (level < 0 && loses_picture_data(decoder->err->msg_code))
    reinterpret_cast<StrictErrors*>(decoder->err)->damaged = true;
}

}  // namespace

bool decode_mjpeg(const uint8_t* frame, size_t frame_bytes, int32_t width, int32_t height,
                  uint8_t* bgr, size_t out_bytes) {
  if (!frame || !bgr || width <= 0 || height <= 0 || frame_bytes == 0 ||
      out_bytes != static_cast<size_t>(width) * height * 3)
    return false;
  jpeg_decompress_struct decoder;
  StrictErrors errors;
  decoder.err = jpeg_std_error(&errors.manager);
  errors.manager.error_exit = stop_decoding;
  errors.manager.emit_message = note_message;
  jpeg_create_decompress(&decoder);
  if (setjmp(errors.stop)) {
    jpeg_destroy_decompress(&decoder);
    return false;
  }
  jpeg_mem_src(&decoder, frame, static_cast<unsigned long>(frame_bytes));
  if (jpeg_read_header(&decoder, TRUE) != JPEG_HEADER_OK ||
      decoder.image_width != static_cast<JDIMENSION>(width) ||
      decoder.image_height != static_cast<JDIMENSION>(height)) {
    jpeg_destroy_decompress(&decoder);
    return false;
  }
  decoder.out_color_space = JCS_EXT_BGR;
  decoder.dct_method = JDCT_ISLOW;
  jpeg_start_decompress(&decoder);
  const size_t row_bytes = static_cast<size_t>(width) * 3;
  while (decoder.output_scanline < decoder.output_height && !errors.damaged) {
    JSAMPROW row = bgr + row_bytes * decoder.output_scanline;
    jpeg_read_scanlines(&decoder, &row, 1);
  }
  if (!errors.damaged) jpeg_finish_decompress(&decoder);
  jpeg_destroy_decompress(&decoder);
  return !errors.damaged;
}

}  // namespace vidmote
