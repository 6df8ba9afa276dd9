// Pushes arbitrary codec data and access units through h264postprocessor in every output
// mode: nothing may crash, read out of bounds or leak.
#include "fuzz/fuzz-input.h"
#include "transcoding-plugins/base-plugins/h264-postprocessor.h"

FUZZ_ELEMENT("h264postprocessor", GST_TYPE_H264_POSTPROCESSOR, false)

extern "C" int
LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
  fuzzinput::Input in{data, size};
  const guint8 flags = in.byte();
  const uint8_t *codec = nullptr;
  size_t codec_size = 0;
  if (!in.piece(&codec, &codec_size)) return 0;
  GstHarness *h = gst_harness_new("h264postprocessor");
  g_object_set(h->element, "no-queue", (flags & 1) != 0, "force", (flags & 2) != 0, nullptr);
  gst_harness_set_sink_caps_str(h, (flags & 4) ? "video/x-h264,stream-format=byte-stream"
                                               : "video/x-h264,stream-format=avc,alignment=au");
  gst_harness_set_src_caps(h, fuzzinput::coded_caps("video/x-h264,stream-format=avc,alignment=au",
                                                    flags, codec, codec_size));
  fuzzinput::push_pieces(h, in, flags, false);
  gst_harness_teardown(h);
  return 0;
}
