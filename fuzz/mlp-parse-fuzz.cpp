// Pushes arbitrary data through mlpparse in chunks whose sizes the input chooses, after the
// plain helpers on their own.
#include "fuzz/fuzz-input.h"
#include "transcoding-plugins/base-plugins/mlp-parse.h"

FUZZ_ELEMENT("mlpparse", GST_TYPE_MLP_PARSE, false)

extern "C" int
LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
  fuzzinput::Input in{data, size};
  const size_t chunk = 1 + in.byte() * 16;
  MlpMajorSync info;
  guint8 format;
  mlp_parse_major_sync(in.data, in.size, &info, &format);
  if (in.size >= 6) mlp_ac3_frame_size(in.data);
  mlp_check_parity(in.data, in.size, in.size ? in.data[0] & 15 : 0);
  GstHarness *h = gst_harness_new("mlpparse");
  gst_harness_set_src_caps_str(h, "audio/x-true-hd");
  for (size_t n = chunk; in.size;) {
    const uint8_t *p = in.take(&n);
    if (gst_harness_push(h, fuzzinput::buffer(p, n)) != GST_FLOW_OK) break;
  }
  gst_harness_push_event(h, gst_event_new_eos());
  fuzzinput::drain(h);
  gst_harness_teardown(h);
  return 0;
}
