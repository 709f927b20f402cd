/* An emulated USB webcam for the tests in the test guest: a UVC 1.0 camera
 * through gadgetfs on dummy_hcd, so the kernel's own uvcvideo drives it.
 * Its streaming endpoint is bulk (dummy_hcd has no isochronous ones). It
 * offers YUYV and MJPEG at 640x480 and 320x240, each at 30 and 10 fps, with
 * the picture of uvc_picture.h; docs/testing.md lists its choices.
 *
 *   uvc_webcam [OPTION...]   (run it as root, with gadgetfs on /dev/gadget)
 *
 * It runs until SIGTERM or SIGINT. SIGUSR1 unplugs it (and plugs it back
 * after --replug-after seconds, if given). What the host sets (SET_CUR of a
 * control, a stream's commit) goes to the --log file, a line each. */
#define _GNU_SOURCE
#include <errno.h>
#include <fcntl.h>
#include <linux/usb/ch9.h>
#include <linux/usb/gadgetfs.h>
#include <poll.h>
#include <pthread.h>
#include <sched.h>
#include <signal.h>
#include <stdarg.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>
#include <unistd.h>

#include "uvc_picture.h"

/* ---- What the command line chose ---- */

static struct {
  int yuyv, mjpeg;     /* formats offered */
  double feed_fps;     /* 0: as declared */
  int cut_every;       /* every Nth frame ends early, with its end flag */
  int stop_every;      /* every Nth frame stops mid-frame, no end flag */
  int benign_mjpeg;    /* extraneous bytes before restart markers, bytes after EOI */
  int converge_frames; /* brightness rises to its level over this many frames */
  int busy_levels;     /* a busy scene: brightness swings over this many levels */
  double unplug_after; /* seconds after the first stream starts; 0: never */
  double replug_after; /* seconds unplugged before coming back; 0: never */
  const char* product;
  const char* serial;
  const char* log_path;
} options = {1, 1, 0, 0, 0, 0, 0, 0, 0, 0, "UVC Test Camera", "UVC0001", NULL};

static FILE* log_file;

static void say(const char* format, ...) {
  va_list args;
  va_start(args, format);
  if (getenv("UVC_WEBCAM_TRACE")) {
    va_list copy;
    va_copy(copy, args);
    vfprintf(stderr, format, copy);
    fputc('\n', stderr);
    va_end(copy);
  }
  if (log_file) {
    vfprintf(log_file, format, args);
    fputc('\n', log_file);
    fflush(log_file);
  }
  va_end(args);
}

static void die(const char* what) {
  fprintf(stderr, "uvc_webcam: %s: %s\n", what, strerror(errno));
  exit(1);
}

/* ---- Descriptors ---- */

enum { kVideoControl = 0, kVideoStreaming = 1 };
enum { kCameraTerminal = 1, kProcessingUnit = 2, kOutputTerminal = 3 };
#define STREAM_ENDPOINT 0x81
#define MAX_PAYLOAD 16384

struct frame_size {
  int width, height;
};
static const struct frame_size sizes[2] = {{640, 480}, {320, 240}};
static const uint32_t intervals[2] = {333333, 1000000}; /* 100 ns units: 30 and 10 fps */

/* The formats offered, in order: index 1, 2 as the host numbers them. A
 * configuration longer than 256 bytes does not reach the host through
 * gadgetfs on dummy_hcd (the read times out), so beside YUYV, MJPEG has
 * only the first size. */
static int format_count;
static int format_is_mjpeg[2];
static int frame_counts[2];

struct bytes {
  uint8_t data[1024];
  size_t size;
};

static void put8(struct bytes* b, unsigned v) {
  b->data[b->size++] = (uint8_t)v;
}
static void put16(struct bytes* b, unsigned v) {
  put8(b, v & 0xff);
  put8(b, v >> 8);
}
static void put32(struct bytes* b, uint32_t v) {
  put16(b, v & 0xffff);
  put16(b, v >> 16);
}
static void set16(struct bytes* b, size_t at, unsigned v) {
  b->data[at] = (uint8_t)(v & 0xff);
  b->data[at + 1] = (uint8_t)(v >> 8);
}

static uint32_t max_frame_bytes(int size_index) {
  return (uint32_t)(sizes[size_index].width * sizes[size_index].height * 2);
}

/* The whole configuration, for a bulk endpoint of max_packet bytes. */
static void configuration(struct bytes* b, unsigned max_packet) {
  b->size = 0;
  put8(b, 9), put8(b, USB_DT_CONFIG), put16(b, 0), put8(b, 2), put8(b, 1), put8(b, 0);
  put8(b, 0xc0), put8(b, 50);
  /* Interface association: video, both interfaces. */
  put8(b, 8), put8(b, 0x0b), put8(b, 0), put8(b, 2), put8(b, 0x0e), put8(b, 0x03), put8(b, 0);
  put8(b, 0);
  /* Video control interface, no interrupt endpoint. */
  put8(b, 9), put8(b, USB_DT_INTERFACE), put8(b, kVideoControl), put8(b, 0), put8(b, 0);
  put8(b, 0x0e), put8(b, 0x01), put8(b, 0), put8(b, 0);
  const size_t vc_header = b->size;
  put8(b, 13), put8(b, 0x24), put8(b, 0x01), put16(b, 0x0100), put16(b, 0);
  put32(b, 48000000), put8(b, 1), put8(b, kVideoStreaming);
  /* Camera terminal: auto exposure mode (bit 1), exposure time (bit 3). */
  put8(b, 18), put8(b, 0x24), put8(b, 0x02), put8(b, kCameraTerminal), put16(b, 0x0201);
  put8(b, 0), put8(b, 0), put16(b, 0), put16(b, 0), put16(b, 0);
  put8(b, 3), put8(b, 0x0a), put8(b, 0), put8(b, 0);
  /* Processing unit: brightness (bit 0), contrast (bit 1, the one that
   * stalls), gain (bit 9), power line frequency (bit 10). */
  put8(b, 11), put8(b, 0x24), put8(b, 0x05), put8(b, kProcessingUnit), put8(b, kCameraTerminal);
  put16(b, 0), put8(b, 2), put16(b, 0x0603), put8(b, 0);
  /* Output terminal: USB streaming. */
  put8(b, 9), put8(b, 0x24), put8(b, 0x03), put8(b, kOutputTerminal), put16(b, 0x0101);
  put8(b, 0), put8(b, kProcessingUnit), put8(b, 0);
  set16(b, vc_header + 5, (unsigned)(b->size - vc_header));

  /* Video streaming interface: one alternate setting, one bulk endpoint. */
  put8(b, 9), put8(b, USB_DT_INTERFACE), put8(b, kVideoStreaming), put8(b, 0), put8(b, 1);
  put8(b, 0x0e), put8(b, 0x02), put8(b, 0), put8(b, 0);
  const size_t vs_header = b->size;
  put8(b, 13 + format_count), put8(b, 0x24), put8(b, 0x01), put8(b, format_count);
  put16(b, 0), put8(b, STREAM_ENDPOINT), put8(b, 0), put8(b, kOutputTerminal);
  put8(b, 0), put8(b, 0), put8(b, 0), put8(b, 1);
  for (int i = 0; i < format_count; ++i) put8(b, 0);
  for (int f = 0; f < format_count; ++f) {
    if (format_is_mjpeg[f]) {
      put8(b, 11), put8(b, 0x24), put8(b, 0x06), put8(b, f + 1), put8(b, frame_counts[f]);
      put8(b, 0);
      put8(b, 1), put8(b, 0), put8(b, 0), put8(b, 0), put8(b, 0);
    } else {
      static const uint8_t yuy2[16] = {'Y',  'U',  'Y',  '2',  0x00, 0x00, 0x10, 0x00,
                                       0x80, 0x00, 0x00, 0xaa, 0x00, 0x38, 0x9b, 0x71};
      put8(b, 27), put8(b, 0x24), put8(b, 0x04), put8(b, f + 1), put8(b, frame_counts[f]);
      for (int i = 0; i < 16; ++i) put8(b, yuy2[i]);
      put8(b, 16), put8(b, 1), put8(b, 0), put8(b, 0), put8(b, 0), put8(b, 0);
    }
    for (int s = 0; s < frame_counts[f]; ++s) {
      const uint32_t bytes = max_frame_bytes(s);
      put8(b, 34), put8(b, 0x24), put8(b, format_is_mjpeg[f] ? 0x07 : 0x05), put8(b, s + 1);
      put8(b, 0), put16(b, sizes[s].width), put16(b, sizes[s].height);
      put32(b, bytes * 8 * 10), put32(b, bytes * 8 * 30), put32(b, bytes);
      put32(b, intervals[0]), put8(b, 2), put32(b, intervals[0]), put32(b, intervals[1]);
    }
  }
  set16(b, vs_header + 4, (unsigned)(b->size - vs_header));
  put8(b, 7), put8(b, USB_DT_ENDPOINT), put8(b, STREAM_ENDPOINT), put8(b, 2);
  put16(b, max_packet), put8(b, 0);
  set16(b, 2, (unsigned)b->size);
  if (b->size > 256) {
    fprintf(stderr, "uvc_webcam: the configuration takes %zu bytes, more than 256\n", b->size);
    exit(1);
  }
}

static void device_descriptor(struct bytes* b) {
  b->size = 0;
  put8(b, 18), put8(b, USB_DT_DEVICE), put16(b, 0x0200), put8(b, 0xef), put8(b, 0x02);
  put8(b, 0x01), put8(b, 64), put16(b, 0x1209), put16(b, 0x0001), put16(b, 0x0100);
  put8(b, 1), put8(b, 2), put8(b, 3), put8(b, 1);
}

/* String descriptor index (0: the languages) in UTF-16LE. */
static size_t string_descriptor(int index, uint8_t* out) {
  const char* text = index == 1   ? "Capture Console tests"
                     : index == 2 ? options.product
                     : index == 3 ? options.serial
                                  : NULL;
  if (index == 0) {
    out[0] = 4, out[1] = USB_DT_STRING, out[2] = 0x09, out[3] = 0x04;
    return 4;
  }
  if (!text) return 0;
  size_t n = strlen(text);
  if (n > 126) n = 126;
  out[0] = (uint8_t)(2 + 2 * n), out[1] = USB_DT_STRING;
  for (size_t i = 0; i < n; ++i) out[2 + 2 * i] = (uint8_t)text[i], out[3 + 2 * i] = 0;
  return 2 + 2 * n;
}

/* ---- Controls ---- */

struct control {
  uint8_t entity, selector, size;
  int32_t min, max, res, def, cur;
  const char* name;
  int stalls;
};
static struct control controls[] = {
    {kProcessingUnit, 0x02, 2, 0, 255, 1, 128, 128, "brightness", 0},
    {kProcessingUnit, 0x03, 2, 0, 255, 1, 128, 128, "contrast", 1},
    {kProcessingUnit, 0x04, 2, 0, 100, 1, 0, 0, "gain", 0},
    {kProcessingUnit, 0x05, 1, 0, 2, 1, 1, 1, "power_line_frequency", 0},
    /* A bitmap: 1 manual, 8 aperture priority (the camera's own exposure). */
    {kCameraTerminal, 0x02, 1, 1, 8, 0x09, 8, 8, "auto_exposure_mode", 0},
    {kCameraTerminal, 0x04, 4, 1, 5000, 1, 333, 333, "exposure_time_absolute", 0},
};
enum { kBrightness = 0 };
static uint8_t request_error; /* what the last stalled request was, for the host to ask */

/* ---- Streaming: probe and commit ---- */

struct stream_setting {
  int format; /* 1-based, as the host numbers them */
  int frame;  /* 1-based: 640x480, 320x240 */
  uint32_t interval;
};

static pthread_mutex_t lock = PTHREAD_MUTEX_INITIALIZER;
static pthread_cond_t changed = PTHREAD_COND_INITIALIZER;
static struct stream_setting probe = {1, 1, 333333};
static struct stream_setting committed;
static int stream_wanted;   /* a commit started a stream the host reads */
static int stream_busy;     /* the stream thread is using the endpoint */
static unsigned generation; /* every commit or stop makes a new one */
static int stream_fd = -1;
static pthread_t stream_thread;

static struct stream_setting fixed_setting(struct stream_setting s) {
  if (s.format < 1 || s.format > format_count) s.format = 1;
  if (s.frame < 1 || s.frame > frame_counts[s.format - 1]) s.frame = 1;
  s.interval = s.interval >= (intervals[0] + intervals[1]) / 2 ? intervals[1] : intervals[0];
  return s;
}

/* The 26 bytes of a UVC 1.0 probe or commit control. */
static size_t setting_bytes(struct stream_setting s, uint8_t* out) {
  struct bytes b = {{0}, 0};
  put16(&b, 0), put8(&b, s.format), put8(&b, s.frame), put32(&b, s.interval);
  put16(&b, 0), put16(&b, 0), put16(&b, 0), put16(&b, 0), put16(&b, 0);
  put32(&b, max_frame_bytes(s.frame - 1)), put32(&b, MAX_PAYLOAD);
  memcpy(out, b.data, b.size);
  return b.size;
}

static struct stream_setting setting_from(const uint8_t* data, size_t size) {
  struct stream_setting s = probe;
  if (size >= 8) {
    s.format = data[2];
    s.frame = data[3];
    s.interval = (uint32_t)data[4] | (uint32_t)data[5] << 8 | (uint32_t)data[6] << 16 |
                 (uint32_t)data[7] << 24;
  }
  return fixed_setting(s);
}

static void interrupt_handler(int signal_number) {
  (void)signal_number;
}

/* Stops the stream thread's use of the endpoint, waiting until it let go.
 * Its write may block for a host that no longer reads: a signal ends it. */
static void stop_stream(void) {
  pthread_mutex_lock(&lock);
  stream_wanted = 0;
  ++generation;
  while (stream_busy) {
    pthread_kill(stream_thread, SIGUSR2);
    struct timespec until;
    clock_gettime(CLOCK_REALTIME, &until);
    until.tv_nsec += 50 * 1000 * 1000;
    if (until.tv_nsec >= 1000000000) until.tv_sec += 1, until.tv_nsec -= 1000000000;
    pthread_cond_timedwait(&changed, &lock, &until);
  }
  pthread_mutex_unlock(&lock);
}

static void start_stream(struct stream_setting s) {
  stop_stream();
  pthread_mutex_lock(&lock);
  committed = s;
  stream_wanted = 1;
  ++generation;
  pthread_cond_broadcast(&changed);
  pthread_mutex_unlock(&lock);
}

static double now_seconds(void) {
  struct timespec t;
  clock_gettime(CLOCK_MONOTONIC, &t);
  return (double)t.tv_sec + (double)t.tv_nsec / 1e9;
}

static void sleep_until(double when) {
  struct timespec t;
  t.tv_sec = (time_t)when;
  t.tv_nsec = (long)((when - (double)t.tv_sec) * 1e9);
  while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &t, NULL) == EINTR) {
  }
}

/* The luma offset of frame number n: the brightness control, a busy
 * scene's swing, and while auto exposure converges a darkening that
 * shrinks to nothing. */
static int luma_offset(unsigned n, int brightness) {
  int offset = brightness - 128;
  if (options.busy_levels > 0)
    offset += uvc_busy_offset((int)(n % UVC_PHASES), options.busy_levels);
  const int f = options.converge_frames;
  if (f > 0 && n < (unsigned)f) {
    const int left = f - (int)n;
    offset -= 150 * left * left / (f * f);
  }
  return offset;
}

/* The mean luma of the picture once settled at a brightness, for a
 * benchmark to weigh a saved picture against. */
static double settled_mean_luma(int width, int height, int brightness) {
  const size_t bytes = (size_t)width * height * 2;
  uint8_t* frame = malloc(bytes);
  if (!frame) return 0;
  uvc_picture_yuyv(frame, width, height, 0, brightness - 128);
  double sum = 0;
  for (size_t i = 0; i < bytes; i += 2) sum += frame[i];
  free(frame);
  return sum / (double)(bytes / 2);
}

/* Frames already made, by phase: making a JPEG is slow under emulation. */
struct cached_frame {
  int valid, format, frame, offset;
  size_t size;
  uint8_t* data;
};
static struct cached_frame cache[UVC_PHASES];

static const struct cached_frame* frame_bytes(struct stream_setting s, unsigned n) {
  const int phase = (int)(n % UVC_PHASES);
  pthread_mutex_lock(&lock);
  const int offset = luma_offset(n, controls[kBrightness].cur);
  pthread_mutex_unlock(&lock);
  struct cached_frame* c = &cache[phase];
  if (c->valid && c->format == s.format && c->frame == s.frame && c->offset == offset) return c;
  const struct frame_size size = sizes[s.frame - 1];
  const size_t capacity = max_frame_bytes(s.frame - 1);
  if (!c->data) c->data = malloc(max_frame_bytes(0));
  if (format_is_mjpeg[s.format - 1]) {
    c->size = uvc_picture_jpeg(c->data, capacity, size.width, size.height, phase, offset,
                               options.benign_mjpeg);
  } else {
    uvc_picture_yuyv(c->data, size.width, size.height, phase, offset);
    c->size = capacity;
  }
  c->valid = c->size > 0;
  c->format = s.format, c->frame = s.frame, c->offset = offset;
  return c;
}

/* Writes one payload; 0 when the stream is to end (stopped, or the
 * endpoint gone). */
static int send_payload(int fd, const uint8_t* data, size_t size, int fid, int last) {
  static uint8_t payload[MAX_PAYLOAD];
  /* A transfer ends at a short packet: a last payload whose length is a
   * multiple of 512 would run on into the next frame, so its header grows. */
  size_t header = 2;
  if (last && (header + size) % 512 == 0) header = 3;
  payload[0] = (uint8_t)header;
  payload[1] = (uint8_t)(0x80 | fid | (last ? 0x02 : 0));
  payload[2] = 0;
  memcpy(payload + header, data, size);
  const ssize_t wrote = write(fd, payload, header + size);
  return wrote == (ssize_t)(header + size);
}

static void* stream_main(void* unused) {
  (void)unused;
  sigset_t mask;
  sigemptyset(&mask);
  sigaddset(&mask, SIGUSR1);
  sigaddset(&mask, SIGTERM);
  sigaddset(&mask, SIGINT);
  pthread_sigmask(SIG_BLOCK, &mask, NULL);
  for (;;) {
    pthread_mutex_lock(&lock);
    stream_busy = 0;
    pthread_cond_broadcast(&changed);
    while (!stream_wanted || stream_fd < 0) pthread_cond_wait(&changed, &lock);
    stream_busy = 1;
    const unsigned mine = generation;
    const struct stream_setting s = committed;
    const int fd = stream_fd;
    pthread_mutex_unlock(&lock);

    const double declared_fps = 1e7 / s.interval;
    const double fps = options.feed_fps > 0 ? options.feed_fps : declared_fps;
    double next = now_seconds();
    int fid = 0;
    for (unsigned n = 0;; ++n) {
      const struct cached_frame* f = frame_bytes(s, n);
      size_t size = f->size;
      int ends = 1;
      if (options.cut_every > 0 &&
          n % (unsigned)options.cut_every == (unsigned)options.cut_every - 1)
        size /= 2;
      if (options.stop_every > 0 &&
          n % (unsigned)options.stop_every == (unsigned)options.stop_every - 1)
        size /= 2, ends = 0;
      int ok = 1;
      for (size_t at = 0; ok && at < size;) {
        const size_t part = size - at < MAX_PAYLOAD - 3 ? size - at : MAX_PAYLOAD - 2;
        ok = send_payload(fd, f->data + at, part, fid, ends && at + part == size);
        at += part;
      }
      fid ^= 1;
      pthread_mutex_lock(&lock);
      const int go_on = ok && generation == mine;
      pthread_mutex_unlock(&lock);
      if (!go_on) break;
      next += 1.0 / fps;
      if (next < now_seconds() - 1.0) next = now_seconds();
      sleep_until(next);
    }
    pthread_mutex_lock(&lock);
    if (generation == mine) stream_wanted = 0;
    pthread_mutex_unlock(&lock);
  }
  return NULL;
}

/* ---- The control endpoint ---- */

static int ep0 = -1;
static volatile sig_atomic_t unplug_asked, quit_asked;
static double stream_started_at; /* 0 until the first commit */

static void open_stream_endpoint(void) {
  if (stream_fd >= 0) return;
  const int fd = open("/dev/gadget/ep1in-bulk", O_RDWR);
  if (fd < 0) die("/dev/gadget/ep1in-bulk");
  uint8_t config[4 + 7 + 7] = {1, 0,  0, 0, 7, USB_DT_ENDPOINT, STREAM_ENDPOINT,
                               2, 64, 0, 0, 7, USB_DT_ENDPOINT, STREAM_ENDPOINT,
                               2, 0,  2, 0};
  if (write(fd, config, sizeof config) != (ssize_t)sizeof config) die("configuring the endpoint");
  pthread_mutex_lock(&lock);
  stream_fd = fd;
  pthread_cond_broadcast(&changed);
  pthread_mutex_unlock(&lock);
}

static void close_stream_endpoint(void) {
  stop_stream();
  pthread_mutex_lock(&lock);
  const int fd = stream_fd;
  stream_fd = -1;
  pthread_mutex_unlock(&lock);
  if (fd >= 0) close(fd);
}

static void plug_in(void) {
  ep0 = open("/dev/gadget/dummy_udc", O_RDWR);
  if (ep0 < 0) die("/dev/gadget/dummy_udc");
  uint8_t all[4 + 3 * sizeof(struct bytes)];
  size_t size = 4;
  struct bytes b;
  memset(all, 0, 4);
  configuration(&b, 64);
  memcpy(all + size, b.data, b.size), size += b.size;
  configuration(&b, 512);
  memcpy(all + size, b.data, b.size), size += b.size;
  device_descriptor(&b);
  memcpy(all + size, b.data, b.size), size += b.size;
  if (write(ep0, all, size) != (ssize_t)size) die("writing the descriptors");
  say("plugged in");
}

static void unplug(void) {
  close_stream_endpoint();
  close(ep0);
  ep0 = -1;
  say("unplugged");
}

static void answer(const void* data, size_t size, unsigned length) {
  if (size > length) size = length;
  if (write(ep0, data, size) < 0 && errno != EIDRM) perror("uvc_webcam: answering");
}
/* Reading an OUT request's data acknowledged it already. */
static int data_read;
static void acknowledge(void) {
  if (data_read) return;
  if (read(ep0, NULL, 0) < 0 && errno != EIDRM) perror("uvc_webcam: acknowledging");
}
static void stall(void) {
  uint8_t ignored;
  (void)!read(ep0, &ignored, 0);
}

static int32_t le_value(const uint8_t* data, int size) {
  uint32_t v = 0;
  for (int i = size - 1; i >= 0; --i) v = v << 8 | data[i];
  if (size == 2) return (int16_t)v;
  return (int32_t)v;
}

static void control_request(const struct usb_ctrlrequest* setup, const uint8_t* data,
                            size_t data_size) {
  const int entity = setup->wIndex >> 8, selector = setup->wValue >> 8;
  const unsigned length = setup->wLength;
  struct control* c = NULL;
  for (size_t i = 0; i < sizeof controls / sizeof controls[0]; ++i)
    if (controls[i].entity == entity && controls[i].selector == selector) c = &controls[i];
  const int get = setup->bRequestType & USB_DIR_IN;
  if (entity == 0 && selector == 0x02 && setup->bRequest == 0x81) {
    answer(&request_error, 1, length); /* the error code control */
    return;
  }
  if (!c || c->stalls) {
    request_error = 0x06; /* invalid control */
    if (c) say("stalled %s", c->name);
    if (get)
      stall();
    else
      acknowledge();
    return;
  }
  request_error = 0;
  if (!get) {
    if (setup->bRequest == 0x01 && data_size >= c->size) {
      pthread_mutex_lock(&lock);
      c->cur = uvc_clamp(le_value(data, c->size), c->min, c->max);
      pthread_mutex_unlock(&lock);
      say("SET_CUR %s %d", c->name, c->cur);
    }
    acknowledge();
    return;
  }
  int32_t value;
  switch (setup->bRequest) {
    case 0x81:
      value = c->cur;
      break;
    case 0x82:
      value = c->min;
      break;
    case 0x83:
      value = c->max;
      break;
    case 0x84:
      value = c->res;
      break;
    case 0x87:
      value = c->def;
      break;
    case 0x86:
      value = 0x03;
      break; /* GET_INFO: it answers GET and SET */
    case 0x85:
      value = c->size;
      break;
    default:
      stall();
      return;
  }
  uint8_t out[4];
  const int size = setup->bRequest == 0x86 ? 1 : setup->bRequest == 0x85 ? 2 : c->size;
  for (int i = 0; i < size; ++i) out[i] = (uint8_t)((uint32_t)value >> (8 * i));
  answer(out, (size_t)size, length);
}

static void streaming_request(const struct usb_ctrlrequest* setup, const uint8_t* data,
                              size_t data_size) {
  const int selector = setup->wValue >> 8;
  uint8_t out[26];
  if (selector != 1 && selector != 2) {
    if (setup->bRequestType & USB_DIR_IN)
      stall();
    else
      acknowledge();
    return;
  }
  if (setup->bRequestType & USB_DIR_IN) {
    struct stream_setting s = probe;
    if (setup->bRequest == 0x87 || setup->bRequest == 0x82)
      s = fixed_setting((struct stream_setting){1, 1, intervals[0]});
    if (setup->bRequest == 0x83) s = fixed_setting((struct stream_setting){1, 1, intervals[1]});
    if (setup->bRequest == 0x86) {
      out[0] = 0x03;
      answer(out, 1, setup->wLength);
      return;
    }
    if (setup->bRequest == 0x85) {
      out[0] = 26, out[1] = 0;
      answer(out, 2, setup->wLength);
      return;
    }
    answer(out, setting_bytes(s, out), setup->wLength);
    return;
  }
  if (setup->bRequest == 0x01) {
    probe = setting_from(data, data_size);
    if (selector == 2) {
      stop_stream(); /* before the host reads on: nothing of the old stream is left */
      say("commit %s %dx%d %d fps", format_is_mjpeg[probe.format - 1] ? "MJPEG" : "YUYV",
          sizes[probe.frame - 1].width, sizes[probe.frame - 1].height,
          (int)(1e7 / probe.interval + 0.5));
      acknowledge();
      say("settled mean luma %.1f",
          settled_mean_luma(sizes[probe.frame - 1].width, sizes[probe.frame - 1].height,
                            controls[kBrightness].cur));
      if (stream_started_at == 0) stream_started_at = now_seconds();
      start_stream(probe);
      return;
    }
  }
  acknowledge();
}

static void setup_request(const struct usb_ctrlrequest* setup) {
  uint8_t data[64];
  size_t data_size = 0;
  data_read = 0;
  /* The host's data stage lands in a buffer its next request reuses: read
   * it before anything else. */
  if (!(setup->bRequestType & USB_DIR_IN) && setup->wLength > 0) {
    const ssize_t got =
        read(ep0, data, setup->wLength < sizeof data ? setup->wLength : sizeof data);
    data_size = got > 0 ? (size_t)got : 0;
    data_read = 1;
    if (setup->bRequestType == 0x21 && (setup->wIndex & 0xff) == kVideoStreaming)
      streaming_request(setup, data, data_size);
    else if (setup->bRequestType == 0x21)
      control_request(setup, data, data_size);
    return; /* reading the data acknowledged it */
  }
  const int type = setup->bRequestType & USB_TYPE_MASK;
  if (type == USB_TYPE_STANDARD) {
    uint8_t out[256];
    switch (setup->bRequest) {
      case USB_REQ_GET_DESCRIPTOR:
        if ((setup->wValue >> 8) == USB_DT_STRING) {
          const size_t size = string_descriptor(setup->wValue & 0xff, out);
          if (size)
            answer(out, size, setup->wLength);
          else
            stall();
          return;
        }
        stall();
        return;
      case USB_REQ_SET_CONFIGURATION:
        if (setup->wValue & 0xff)
          open_stream_endpoint();
        else
          close_stream_endpoint();
        acknowledge();
        return;
      case USB_REQ_SET_INTERFACE:
        if (setup->wIndex == kVideoStreaming) stop_stream();
        acknowledge();
        return;
      case USB_REQ_GET_INTERFACE:
        out[0] = 0;
        answer(out, 1, setup->wLength);
        return;
      case USB_REQ_GET_STATUS:
        out[0] = out[1] = 0;
        answer(out, 2, setup->wLength);
        return;
      default:
        if (setup->bRequestType & USB_DIR_IN)
          stall();
        else
          acknowledge();
        return;
    }
  }
  if (type == USB_TYPE_CLASS && (setup->wIndex & 0xff) == kVideoStreaming)
    streaming_request(setup, NULL, 0);
  else if (type == USB_TYPE_CLASS)
    control_request(setup, NULL, 0);
  else if (setup->bRequestType & USB_DIR_IN)
    stall();
  else
    acknowledge();
}

static void signal_handler(int signal_number) {
  if (signal_number == SIGUSR1)
    unplug_asked = 1;
  else
    quit_asked = 1;
}

static void usage(void) {
  fprintf(stderr,
          "usage: uvc_webcam [--formats yuyv,mjpeg] [--feed-fps N] [--cut-every N]\n"
          "  [--stop-every N] [--benign-mjpeg] [--converge-frames N] [--busy LEVELS]\n"
          "  [--unplug-after S] [--replug-after S] [--product NAME] [--serial TEXT]\n"
          "  [--log FILE]\n");
  exit(2);
}

int main(int argc, char** argv) {
  for (int i = 1; i < argc; ++i) {
    const char* option = argv[i];
    if (i + 1 >= argc && strcmp(option, "--benign-mjpeg") != 0) usage();
    if (!strcmp(option, "--formats")) {
      const char* list = argv[++i];
      options.yuyv = strstr(list, "yuyv") != NULL;
      options.mjpeg = strstr(list, "mjpeg") != NULL;
    } else if (!strcmp(option, "--feed-fps")) {
      options.feed_fps = atof(argv[++i]);
    } else if (!strcmp(option, "--cut-every")) {
      options.cut_every = atoi(argv[++i]);
    } else if (!strcmp(option, "--stop-every")) {
      options.stop_every = atoi(argv[++i]);
    } else if (!strcmp(option, "--benign-mjpeg")) {
      options.benign_mjpeg = 1;
    } else if (!strcmp(option, "--converge-frames")) {
      options.converge_frames = atoi(argv[++i]);
    } else if (!strcmp(option, "--busy")) {
      options.busy_levels = atoi(argv[++i]);
    } else if (!strcmp(option, "--unplug-after")) {
      options.unplug_after = atof(argv[++i]);
    } else if (!strcmp(option, "--replug-after")) {
      options.replug_after = atof(argv[++i]);
    } else if (!strcmp(option, "--product")) {
      options.product = argv[++i];
    } else if (!strcmp(option, "--serial")) {
      options.serial = argv[++i];
    } else if (!strcmp(option, "--log")) {
      options.log_path = argv[++i];
    } else {
      usage();
    }
  }
  if (!options.yuyv && !options.mjpeg) usage();
  if (options.yuyv) format_is_mjpeg[format_count++] = 0;
  if (options.mjpeg) format_is_mjpeg[format_count++] = 1;
  for (int f = 0; f < format_count; ++f)
    frame_counts[f] = format_count == 2 && format_is_mjpeg[f] ? 1 : 2;
  if (options.log_path && !(log_file = fopen(options.log_path, "a"))) die(options.log_path);

  struct sigaction action;
  memset(&action, 0, sizeof action);
  action.sa_handler = interrupt_handler; /* no SA_RESTART: a blocked write ends */
  sigaction(SIGUSR2, &action, NULL);
  action.sa_handler = signal_handler;
  sigaction(SIGUSR1, &action, NULL);
  sigaction(SIGTERM, &action, NULL);
  sigaction(SIGINT, &action, NULL);

  if (pthread_create(&stream_thread, NULL, stream_main, NULL) != 0) die("starting the stream");
  /* The control requests are answered at once, before the host's next one. */
  struct sched_param priority = {.sched_priority = 50};
  if (!getenv("UVC_WEBCAM_NO_RT") &&
      pthread_setschedparam(pthread_self(), SCHED_FIFO, &priority) != 0)
    fprintf(stderr, "uvc_webcam: no real-time priority; control requests may time out\n");

  plug_in();
  double unplugged_at = 0;
  while (!quit_asked) {
    const double now = now_seconds();
    if (ep0 >= 0 && (unplug_asked || (options.unplug_after > 0 && stream_started_at > 0 &&
                                      now - stream_started_at >= options.unplug_after))) {
      unplug_asked = 0;
      options.unplug_after = 0; /* once */
      unplug();
      unplugged_at = now;
      continue;
    }
    if (ep0 < 0) {
      unplug_asked = 0;
      if (options.replug_after > 0 && now - unplugged_at >= options.replug_after) {
        stream_started_at = 0;
        plug_in();
      } else {
        usleep(50 * 1000);
      }
      continue;
    }
    struct pollfd wait_for = {ep0, POLLIN, 0};
    if (poll(&wait_for, 1, 100) <= 0) continue;
    struct usb_gadgetfs_event events[8];
    const ssize_t got = read(ep0, events, sizeof events);
    if (got < 0) {
      if (getenv("UVC_WEBCAM_TRACE"))
        say("read: %s (revents %x)", strerror(errno), wait_for.revents);
      if (errno == EINTR || errno == EAGAIN) continue;
      die("reading control requests");
    }
    for (size_t i = 0; i < (size_t)got / sizeof events[0]; ++i) {
      switch (events[i].type) {
        case GADGETFS_SETUP:
          setup_request(&events[i].u.setup);
          if (getenv("UVC_WEBCAM_TRACE")) /* after answering: the host waits for no trace */
            say("setup %02x %02x %04x %04x %u", events[i].u.setup.bRequestType,
                events[i].u.setup.bRequest, events[i].u.setup.wValue, events[i].u.setup.wIndex,
                events[i].u.setup.wLength);
          break;
        case GADGETFS_DISCONNECT:
          close_stream_endpoint();
          break;
        default:
          if (getenv("UVC_WEBCAM_TRACE")) say("event %d", events[i].type);
          break;
      }
    }
  }
  if (ep0 >= 0) unplug();
  return 0;
}
