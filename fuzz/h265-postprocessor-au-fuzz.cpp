// Pushes arbitrary codec data and access units through h265postprocessor, with and without
// the queue: nothing may crash, read out of bounds or leak.
#include <gst/check/gstharness.h>
#include <gst/gst.h>

#include <cstdint>

#include "transcoding-plugins/base-plugins/h265-postprocessor.h"
#include "fuzz/fuzz-input.h"

using fuzzinput::take_piece;

extern "C" int
LLVMFuzzerInitialize(int *argc, char ***argv)
{
  gst_init(argc, argv);
  gst_element_register(nullptr, "h265postprocessor", GST_RANK_NONE, GST_TYPE_H265_POSTPROCESSOR);
  return 0;
}

extern "C" int
LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
  if (size < 1) return 0;
  const guint8 flags = data[0];
  data++;
  size--;
  const uint8_t *codec = nullptr;
  size_t codec_size = 0;
  if (!take_piece(data, size, &codec, &codec_size)) return 0;

  GstHarness *h = gst_harness_new("h265postprocessor");
  g_object_set(h->element, "no-queue", (flags & 1) != 0, nullptr);
  gst_harness_set_sink_caps_str(h, "video/x-h265,stream-format=hvc1,alignment=au");
  GstCaps *caps = gst_caps_from_string("video/x-h265,stream-format=hvc1,alignment=au");
  if (flags & 8)
    gst_caps_set_simple(caps, "pixel-aspect-ratio", GST_TYPE_FRACTION, 1 + (flags >> 6), 3,
                        nullptr);
  if (!(flags & 16)) {
    GstBuffer *cd = codec_size ? gst_buffer_new_memdup(codec, codec_size) : gst_buffer_new();
    gst_caps_set_simple(caps, "codec_data", GST_TYPE_BUFFER, cd, nullptr);
    gst_buffer_unref(cd);
  }
  gst_harness_set_src_caps(h, caps);

  GstClockTime pts = (flags & 32) ? GST_CLOCK_TIME_NONE : 0;
  const uint8_t *au = nullptr;
  size_t au_size = 0;
  while (take_piece(data, size, &au, &au_size)) {
    GstBuffer *b = au_size ? gst_buffer_new_memdup(au, au_size) : gst_buffer_new();
    GST_BUFFER_PTS(b) = pts;
    if (GST_CLOCK_TIME_IS_VALID(pts)) pts += (au_size & 7) * 20 * GST_MSECOND;
    gst_harness_push(h, b);
    while (GstBuffer *out = gst_harness_try_pull(h)) gst_buffer_unref(out);
    if (flags & 4) {
      gst_harness_push_event(h, gst_event_new_flush_start());
      gst_harness_push_event(h, gst_event_new_flush_stop(TRUE));
      GstSegment segment;
      gst_segment_init(&segment, GST_FORMAT_TIME);
      gst_harness_push_event(h, gst_event_new_segment(&segment));
    }
  }
  gst_harness_push_event(h, gst_event_new_eos());
  while (GstBuffer *out = gst_harness_try_pull(h)) gst_buffer_unref(out);
  gst_harness_teardown(h);
  return 0;
}
