// What every fuzz target shares: a cursor that cuts the input into fields, element set-up, and
// the harness chores around pushing buffers.
#pragma once

#include <gst/check/gstharness.h>
#include <gst/gst.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>

namespace fuzzinput {

// Each read consumes what it returns and is safe at the end of the input (zeros, empty pieces).
struct Input {
  const uint8_t *data;
  size_t size;

  uint8_t byte() {
    if (!size) return 0;
    --size;
    return *data++;
  }
  // Up to four bytes as a native-endian int32 (fewer at the end of the input).
  gint32 i32() {
    gint32 v = 0;
    const size_t n = size < 4 ? size : 4;
    if (n) std::memcpy(&v, data, n);
    data += n;
    size -= n;
    return v;
  }
  // `*n` bytes, or the rest when fewer remain (`*n` is lowered to match).
  const uint8_t *take(size_t *n) {
    if (*n > size) *n = size;
    const uint8_t *p = data;
    data += *n;
    size -= *n;
    return p;
  }
  // A piece with a 16-bit big-endian length, or the rest when the length runs past the input;
  // false when not even the length is left.
  bool piece(const uint8_t **p, size_t *n) {
    if (size < 2) return false;
    *n = (data[0] << 8) | data[1];
    data += 2;
    size -= 2;
    *p = take(n);
    return true;
  }
};

inline GstBuffer *
buffer(const uint8_t *p, size_t n)
{
  return n ? gst_buffer_new_memdup(p, n) : gst_buffer_new();
}

// For LLVMFuzzerInitialize. With `fatal_warnings`, damaged input that makes GStreamer or GLib
// complain becomes a crash the fuzzer reports.
inline void
init_element(int *argc, char ***argv, const char *factory, GType type, bool fatal_warnings = false)
{
  gst_init(argc, argv);
  if (fatal_warnings)
    g_log_set_always_fatal(static_cast<GLogLevelFlags>(G_LOG_LEVEL_CRITICAL | G_LOG_LEVEL_WARNING));
  if (factory) gst_element_register(nullptr, factory, GST_RANK_NONE, type);
}

inline void
drain(GstHarness *h)
{
  while (GstBuffer *out = gst_harness_try_pull(h)) gst_buffer_unref(out);
}

// A flushing seek as upstream does it: flush, then a new TIME segment from `start`.
inline void
flush(GstHarness *h, GstClockTime start = 0)
{
  gst_harness_push_event(h, gst_event_new_flush_start());
  gst_harness_push_event(h, gst_event_new_flush_stop(TRUE));
  GstSegment segment;
  gst_segment_init(&segment, GST_FORMAT_TIME);
  segment.start = start;
  gst_harness_push_event(h, gst_event_new_segment(&segment));
}

// Caps from `description` with the input's codec data (left out when `flags` & 16) and, when
// `flags` & 8, a pixel-aspect-ratio taken from the top bits of `flags`.
inline GstCaps *
coded_caps(const char *description, uint8_t flags, const uint8_t *codec, size_t codec_size)
{
  GstCaps *caps = gst_caps_from_string(description);
  if (flags & 8)
    gst_caps_set_simple(caps, "pixel-aspect-ratio", GST_TYPE_FRACTION, 1 + (flags >> 6), 3,
                        nullptr);
  if (!(flags & 16)) {
    GstBuffer *cd = buffer(codec, codec_size);
    gst_caps_set_simple(caps, "codec_data", GST_TYPE_BUFFER, cd, nullptr);
    gst_buffer_unref(cd);
  }
  return caps;
}

// Pushes every remaining piece of the input as one access unit, PTS rising by a multiple of
// 20 ms (none at all when `flags` & 32), and ends with EOS; with `flush_each`, a flushing seek
// follows each buffer.
inline void
push_pieces(GstHarness *h, Input &in, uint8_t flags, bool flush_each)
{
  GstClockTime pts = (flags & 32) ? GST_CLOCK_TIME_NONE : 0;
  const uint8_t *au = nullptr;
  size_t au_size = 0;
  while (in.piece(&au, &au_size)) {
    GstBuffer *b = buffer(au, au_size);
    GST_BUFFER_PTS(b) = pts;
    if (GST_CLOCK_TIME_IS_VALID(pts)) pts += (au_size & 7) * 20 * GST_MSECOND;
    gst_harness_push(h, b);
    drain(h);
    if (flush_each) flush(h);
  }
  gst_harness_push_event(h, gst_event_new_eos());
  drain(h);
}

// The MPEG video timestamp targets: the input is a sequence of [control byte][length byte]
// [payload] records, each pushed as one buffer with timestamps that may repeat, go back or be
// missing.
inline void
push_records(const char *factory, const char *caps, const uint8_t *data, size_t size)
{
  GstHarness *h = gst_harness_new(factory);
  gst_harness_set_src_caps_str(h, caps);
  Input in{data, size};
  for (int index = 0; in.size >= 2; ++index) {
    const uint8_t control = in.byte();
    size_t length = in.byte();
    const uint8_t *p = in.take(&length);
    GstBuffer *b = buffer(p, length);
    const GstClockTime base = static_cast<GstClockTime>(index) * 40 * GST_MSECOND;
    if (control & 0x01) GST_BUFFER_PTS(b) = base + (control >> 5) * 20 * GST_MSECOND;
    if (control & 0x02) GST_BUFFER_DTS(b) = base;
    if (control & 0x04) GST_BUFFER_DURATION(b) = 40 * GST_MSECOND;
    if (control & 0x08) GST_BUFFER_FLAG_SET(b, GST_BUFFER_FLAG_DISCONT);
    if (control & 0x10) GST_BUFFER_FLAG_SET(b, GST_BUFFER_FLAG_DELTA_UNIT);
    gst_harness_push(h, b);
    if ((control & 0xe0) == 0xe0) gst_harness_set_src_caps_str(h, caps);
  }
  gst_harness_push_event(h, gst_event_new_eos());
  drain(h);
  gst_harness_teardown(h);
}

// A property every output must have: its failure is a crash the fuzzer reports.
inline void
check(bool ok)
{
  if (!ok) abort();
}

// A pixel aspect ratio from 8 bytes: mostly small, so that the Table E-1 entries and the 16-bit
// fields are exercised, sometimes anything.
inline void
ratio(Input &in, gint32 *n, gint32 *d)
{
  *n = in.i32();
  *d = in.i32();
  if (*n & 0x40000000) *n &= 0x3FF;
  if (*d & 0x40000000) *d &= 0x3FF;
}

}  // namespace fuzzinput

// LLVMFuzzerInitialize for a target that drives the element `factory` of `type`.
#define FUZZ_ELEMENT(factory, type, fatal_warnings)                     \
  extern "C" int LLVMFuzzerInitialize(int *argc, char ***argv)          \
  {                                                                     \
    fuzzinput::init_element(argc, argv, factory, type, fatal_warnings); \
    return 0;                                                           \
  }
