// Pushes arbitrary codec data and access units through h265postprocessor, with and without
// the queue: nothing may crash, read out of bounds or leak.
#include "fuzz/fuzz-input.h"
#include "transcoding-plugins/base-plugins/h265-postprocessor.h"

FUZZ_ELEMENT("h265postprocessor", GST_TYPE_H265_POSTPROCESSOR, false)

extern "C" int
LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
  fuzzinput::Input in{data, size};
  const guint8 flags = in.byte();
  const uint8_t *codec = nullptr;
  size_t codec_size = 0;
  if (!in.piece(&codec, &codec_size)) return 0;
  GstHarness *h = gst_harness_new("h265postprocessor");
  g_object_set(h->element, "no-queue", (flags & 1) != 0, nullptr);
  gst_harness_set_sink_caps_str(h, "video/x-h265,stream-format=hvc1,alignment=au");
  gst_harness_set_src_caps(h, fuzzinput::coded_caps("video/x-h265,stream-format=hvc1,alignment=au",
                                                    flags, codec, codec_size));
  fuzzinput::push_pieces(h, in, flags, flags & 4);
  gst_harness_teardown(h);
  return 0;
}
