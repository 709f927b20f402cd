// The camera's stream formats: their sizes, and the one a camera streams.
#include <stdlib.h>

#include <algorithm>

#include "dshow_support.h"
#include "frame_timing.h"

namespace vidmote {

bool size_of(const AM_MEDIA_TYPE& type, FrameSize* size, int32_t* bitmap_height,
             int64_t* interval_ns) {
  REFERENCE_TIME interval = 0;
  const BITMAPINFOHEADER* header = video_info_header(type, &interval);
  if (!header || header->biWidth <= 0 || header->biHeight == 0 || header->biHeight == INT32_MIN ||
      header->biWidth > 16384 || header->biHeight > 16384 || header->biHeight < -16384)
    return false;
  size->width = header->biWidth;
  size->height = header->biHeight < 0 ? -header->biHeight : header->biHeight;
  if (bitmap_height) *bitmap_height = header->biHeight;
  if (interval_ns)
    *interval_ns = std::min<int64_t>(std::max<int64_t>(interval, 0) * 100, kLongestInterval);
  return true;
}

AM_MEDIA_TYPE* stream_type(IAMStreamConfig* config, int index) {
  int count = 0, bytes = 0;
  if (FAILED(config->GetNumberOfCapabilities(&count, &bytes)) || bytes <= 0 || index >= count)
    return nullptr;
  std::vector<BYTE> caps(
      static_cast<size_t>(std::max<int>(bytes, sizeof(VIDEO_STREAM_CONFIG_CAPS))));
  AM_MEDIA_TYPE* type = nullptr;
  return SUCCEEDED(config->GetStreamCaps(index, &type, caps.data())) ? type : nullptr;
}

std::vector<StreamCapability> stream_capabilities(IAMStreamConfig* config) {
  std::vector<StreamCapability> capabilities;
  int count = 0, bytes = 0;
  if (FAILED(config->GetNumberOfCapabilities(&count, &bytes))) return capabilities;
  for (int i = 0; i < count && i < 1024; ++i) {
    AM_MEDIA_TYPE* type = stream_type(config, i);
    FrameSize size;
    if (type && size_of(*type, &size, nullptr, nullptr))
      capabilities.push_back({size, type->subtype, i});
    free_media_type(type);
  }
  return capabilities;
}

// How much the plug-in prefers to read a camera's own frames of a subtype:
// YUY2 as it is, MJPEG decoded and judged as on Linux; 0 for a subtype that
// Windows' filters turn into RGB, unjudged.
int own_format_rank(const GUID& subtype) {
  if (subtype == MEDIASUBTYPE_YUY2) return 2;
  if (subtype == MEDIASUBTYPE_MJPG) return 1;
  return 0;
}

const StreamCapability* capability_for(const std::vector<StreamCapability>& capabilities,
                                       FrameSize wanted) {
  auto distance = [&](const StreamCapability& c) {
    return std::abs(static_cast<int64_t>(c.size.width) - wanted.width) +
           std::abs(static_cast<int64_t>(c.size.height) - wanted.height);
  };
  const StreamCapability* best = nullptr;
  for (const StreamCapability& c : capabilities) {
    if (!best || distance(c) < distance(*best) ||
        (distance(c) == distance(*best) && c.size.width == best->size.width &&
         c.size.height == best->size.height &&
         own_format_rank(c.subtype) > own_format_rank(best->subtype)))
      best = &c;
  }
  return best;
}

}  // namespace vidmote
