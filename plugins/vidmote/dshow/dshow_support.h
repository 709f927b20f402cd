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

class FrameSink;  // the grabber's callback

struct DshowCamera::Graph {
  bool com = false;  // this object's CoInitializeEx, undone when it goes
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
