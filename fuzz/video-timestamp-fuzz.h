// Shared driver of the MPEG video timestamp fuzz targets: the input is a sequence of
// [control byte][length byte][payload] records, each pushed as one buffer.
#pragma once

#include <gst/check/gstharness.h>
#include <gst/gst.h>

#include <cstddef>
#include <cstdint>

// Damaged input must never make GStreamer or GLib complain: turn their warnings and criticals
// into crashes the fuzzer reports.
inline void
fuzz_make_glib_warnings_fatal()
{
  g_log_set_always_fatal(static_cast<GLogLevelFlags>(G_LOG_LEVEL_CRITICAL | G_LOG_LEVEL_WARNING));
}

inline void
fuzz_push_records(const char *factory, const char *caps, const uint8_t *data, size_t size)
{
  GstHarness *h = gst_harness_new(factory);
  gst_harness_set_src_caps_str(h, caps);
  size_t pos = 0;
  int index = 0;
  while (pos + 2 <= size) {
    const uint8_t control = data[pos];
    size_t length = data[pos + 1];
    pos += 2;
    if (length > size - pos) length = size - pos;
    GstBuffer *buffer = length ? gst_buffer_new_memdup(data + pos, length) : gst_buffer_new();
    pos += length;
    const GstClockTime base = static_cast<GstClockTime>(index++) * 40 * GST_MSECOND;
    // Timestamps that may repeat, go back or be missing.
    if (control & 0x01) GST_BUFFER_PTS(buffer) = base + (control >> 5) * 20 * GST_MSECOND;
    if (control & 0x02) GST_BUFFER_DTS(buffer) = base;
    if (control & 0x04) GST_BUFFER_DURATION(buffer) = 40 * GST_MSECOND;
    if (control & 0x08) GST_BUFFER_FLAG_SET(buffer, GST_BUFFER_FLAG_DISCONT);
    if (control & 0x10) GST_BUFFER_FLAG_SET(buffer, GST_BUFFER_FLAG_DELTA_UNIT);
    gst_harness_push(h, buffer);
    if ((control & 0xe0) == 0xe0) gst_harness_set_src_caps_str(h, caps);
  }
  gst_harness_push_event(h, gst_event_new_eos());
  while (GstBuffer *out = gst_harness_try_pull(h)) gst_buffer_unref(out);
  gst_harness_teardown(h);
}
