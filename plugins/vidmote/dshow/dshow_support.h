// What the DirectShow camera's parts share: the COM objects of an open
// camera and the keys of its settings. Windows only.
#ifndef VIDMOTE_DSHOW_SUPPORT_H
#define VIDMOTE_DSHOW_SUPPORT_H

// clang-format off: windows.h comes first.
#include <dshow.h>
#include <qedit.h>
#include <windows.h>
// clang-format on

#include <stdint.h>

#include <vector>

#include "dshow_camera.h"
#include "frame_convert.h"
#include "streamed_frame.h"

namespace vidmote {

template <typename T>
void release(T*& object) {
  if (object) object->Release();
  object = nullptr;
}

// Frees a media type DirectShow allocated (GetStreamCaps, GetFormat).
inline void free_media_type(AM_MEDIA_TYPE* type) {
  if (!type) return;
  if (type->cbFormat) CoTaskMemFree(type->pbFormat);
  if (type->pUnk) type->pUnk->Release();
  CoTaskMemFree(type);
}

const uint32_t kSettleKey = 2;

// The names of the video processing and camera control properties, by
// their number.
extern const char* const kProcAmpNames[10];
extern const char* const kCameraControlNames[7];

// The bitmap header of a media type in the VideoInfo format, and its average
// frame time; null for any other format.
inline const BITMAPINFOHEADER* video_info_header(const AM_MEDIA_TYPE& type,
                                                 REFERENCE_TIME* interval) {
  if (type.formattype != FORMAT_VideoInfo || type.cbFormat < sizeof(VIDEOINFOHEADER))
    return nullptr;
  const VIDEOINFOHEADER* info = reinterpret_cast<const VIDEOINFOHEADER*>(type.pbFormat);
  *interval = info->AvgTimePerFrame;
  return &info->bmiHeader;
}

// The width and height a media type of the camera's stream carries, its
// bitmap height (negative: top row first) and frame interval.
bool size_of(const AM_MEDIA_TYPE& type, FrameSize* size, int32_t* bitmap_height,
             int64_t* interval_ns);

// The media type of the camera's stream capability `index`, or null; free it
// with free_media_type.
AM_MEDIA_TYPE* stream_type(IAMStreamConfig* config, int index);

struct StreamCapability {
  FrameSize size;
  GUID subtype;
  int index;
};
// The camera's stream capabilities that have a size, in the camera's order.
std::vector<StreamCapability> stream_capabilities(IAMStreamConfig* config);

// How much the plug-in prefers to read a camera's own frames of a subtype;
// 0 for one that Windows' filters turn into RGB.
int own_format_rank(const GUID& subtype);

// The capability to stream: of the size nearest the one wanted (the first
// of equals), in the format the plug-in reads best at that size.
const StreamCapability* capability_for(const std::vector<StreamCapability>& capabilities,
                                       FrameSize wanted);

class FrameSink;  // the grabber's callback

struct DshowCamera::Graph {
  bool com = false;      // this object's CoInitializeEx, undone when it goes
  DWORD com_thread = 0;  // the thread that made it
  IBaseFilter* source = nullptr;
  IGraphBuilder* graph = nullptr;
  ICaptureGraphBuilder2* builder = nullptr;
  IBaseFilter* grabber_filter = nullptr;
  ISampleGrabber* grabber = nullptr;
  IBaseFilter* renderer = nullptr;
  IMediaControl* control = nullptr;
  IMediaEvent* events = nullptr;
  IAMStreamConfig* config = nullptr;
  FrameSink* sink = nullptr;
  StreamedFrames frames = {{0, 0, 0, PixelLayout::kBgr24}, false};  // as the grabber gets them
  int64_t interval_ns = 0;
  bool running = false;
  int64_t started_ns = 0;  // when the graph last started running

  ~Graph();
};

}  // namespace vidmote

#endif  // VIDMOTE_DSHOW_SUPPORT_H
