// Pushes caps with arbitrary fraction fields through bufferskip's caps editing.
#include "fuzz/fuzz-input.h"
#include "transcoding-plugins/base-plugins/buffer-skip.h"

FUZZ_ELEMENT("bufferskip", GST_TYPE_BUFFER_SKIP, false)

extern "C" int
LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
  fuzzinput::Input in{data, size};
  const guint8 flags = in.byte();
  const gint32 par_n = in.i32(), par_d = in.i32(), fps_n = in.i32(), fps_d = in.i32();
  const gint32 ovr_n = in.i32(), ovr_d = in.i32();
  GstHarness *h = gst_harness_new("bufferskip");
  g_object_set(h->element, "fix-pixel-aspect-ratio", (flags & 1) != 0, "remove-interlace-mode",
               (flags & 2) != 0, nullptr);
  if ((flags & 4) && ovr_n >= 0 && ovr_d > 0)
    g_object_set(h->element, "pixel-aspect-ratio-override", ovr_n, ovr_d, nullptr);
  if ((flags & 8) && ovr_n >= -1 && ovr_d > 0)
    g_object_set(h->element, "framerate-override", ovr_n, ovr_d, nullptr);
  GstCaps *caps = gst_caps_new_empty_simple("video/x-raw");
  // Fractions need a non-zero denominator; everything else is fair game.
  if (par_d) gst_caps_set_simple(caps, "pixel-aspect-ratio", GST_TYPE_FRACTION, par_n, par_d, NULL);
  if (fps_d) gst_caps_set_simple(caps, "framerate", GST_TYPE_FRACTION, fps_n, fps_d, nullptr);
  if (flags & 16) gst_caps_set_simple(caps, "interlace-mode", G_TYPE_STRING, "mixed", nullptr);
  gst_harness_set_src_caps(h, caps);
  gst_harness_teardown(h);
  return 0;
}
