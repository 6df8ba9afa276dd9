// Feeds arbitrary codec data and access units through h264processor.
//
// Input: one byte of settings (max-queued-frames, whether events are interleaved), a 2-byte
// codec data length and the codec data, then access units, each as a 2-byte length, a flag
// byte (PTS present, DELTA_UNIT, flush before it) and the bytes.
#include <gst/check/gstharness.h>
#include <gst/gst.h>

#include <cstdint>

#include "transcoding-plugins/base-plugins/h264-processor.h"

namespace {

struct Reader {
  const uint8_t *data;
  size_t size;
  size_t take16() {
    if (size < 2) return size = 0;
    const size_t v = (data[0] << 8) | data[1];
    data += 2;
    size -= 2;
    return v;
  }
  uint8_t take8() {
    if (size < 1) return 0;
    size--;
    return *data++;
  }
  const uint8_t *take(size_t *n) {
    if (*n > size) *n = size;
    const uint8_t *p = data;
    data += *n;
    size -= *n;
    return p;
  }
};

}  // namespace

extern "C" int
LLVMFuzzerInitialize(int *argc, char ***argv)
{
  gst_init(argc, argv);
  // Run the logging paths without printing anything.
  gst_debug_remove_log_function(gst_debug_log_default);
  h264_processor_register(nullptr);
  gst_debug_set_threshold_for_name("H264Processor", GST_LEVEL_LOG);
  return 0;
}

extern "C" int
LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
  Reader r{data, size};
  const uint8_t settings = r.take8();
  size_t cd_size = r.take16();
  const uint8_t *cd = r.take(&cd_size);

  GstHarness *h = gst_harness_new("h264processor");
  g_object_set(h->element, "max-queued-frames", settings & 7, nullptr);
  GstCaps *caps = gst_caps_from_string("video/x-h264,stream-format=avc,alignment=au,parsed=true");
  if (settings & 8) {
    GstBuffer *codec_data = cd_size ? gst_buffer_new_memdup(cd, cd_size) : gst_buffer_new();
    gst_caps_set_simple(caps, "codec_data", GST_TYPE_BUFFER, codec_data, nullptr);
    gst_buffer_unref(codec_data);
  }
  gst_harness_set_src_caps(h, caps);

  GstClockTime pts = 0;
  while (r.size > 0) {
    size_t n = r.take16();
    const uint8_t flags = r.take8();
    const uint8_t *au = r.take(&n);
    if ((flags & 4) && (settings & 16)) {
      gst_harness_push_event(h, gst_event_new_flush_start());
      gst_harness_push_event(h, gst_event_new_flush_stop(TRUE));
      GstSegment segment;
      gst_segment_init(&segment, GST_FORMAT_TIME);
      segment.start = (flags >> 4) * GST_SECOND / 4;
      gst_harness_push_event(h, gst_event_new_segment(&segment));
    }
    GstBuffer *buffer = n ? gst_buffer_new_memdup(au, n) : gst_buffer_new();
    pts += GST_SECOND / 4;
    if (flags & 1) GST_BUFFER_PTS(buffer) = pts;
    GST_BUFFER_DTS(buffer) = pts;
    if (flags & 2) GST_BUFFER_FLAG_SET(buffer, GST_BUFFER_FLAG_DELTA_UNIT);
    gst_harness_push(h, buffer);
    while (GstBuffer *out = gst_harness_try_pull(h)) gst_buffer_unref(out);
  }
  gst_harness_push_event(h, gst_event_new_eos());
  gst_harness_teardown(h);
  return 0;
}
