// Pushes arbitrary data through mlpparse in chunks whose sizes the input chooses.
#include <gst/check/gstharness.h>
#include <gst/gst.h>

#include <cstdint>

#include "fuzz/fuzz-input.h"
#include "transcoding-plugins/base-plugins/mlp-parse.h"

extern "C" int
LLVMFuzzerInitialize(int *argc, char ***argv)
{
  fuzzinput::init_element(argc, argv, "mlpparse", GST_TYPE_MLP_PARSE);
  return 0;
}

extern "C" int
LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
  if (size < 1) return 0;
  const size_t chunk = 1 + data[0] * 16;
  data++;
  size--;
  // The plain helpers on their own.
  MlpMajorSync info;
  guint8 format;
  mlp_parse_major_sync(data, size, &info, &format);
  if (size >= 6) mlp_ac3_frame_size(data);
  mlp_check_parity(data, size, size ? data[0] & 15 : 0);

  GstHarness *h = gst_harness_new("mlpparse");
  gst_harness_set_src_caps_str(h, "audio/x-true-hd");
  for (size_t pos = 0; pos < size; pos += chunk) {
    const size_t n = size - pos < chunk ? size - pos : chunk;
    if (gst_harness_push(h, gst_buffer_new_memdup(data + pos, n)) != GST_FLOW_OK) break;
  }
  gst_harness_push_event(h, gst_event_new_eos());
  fuzzinput::drain(h);
  gst_harness_teardown(h);
  return 0;
}
