// Parses arbitrary buffers as LOAS frames, from a clean state or from state the input sets.
#include "fuzz/fuzz-input.h"
#include "transcoding-plugins/base-plugins/aac-transform.h"
#include "transcoding-plugins/base-plugins/loas-parser.h"

namespace {
GstElement *g_element = nullptr;
}

extern "C" int
LLVMFuzzerInitialize(int *argc, char ***argv)
{
  fuzzinput::init_element(argc, argv, "aactransform", AAC_TYPE_TRANSFORM);
  aac_transform_debug_category();
  g_element = GST_ELEMENT(gst_object_ref_sink(gst_element_factory_make("aactransform", nullptr)));
  return 0;
}

extern "C" int
LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
  fuzzinput::Input in{data, size};
  LoasState state{};
  // Four bytes with the top bit set stand for what earlier frames left behind.
  if (size >= 4 && (data[0] & 0x80)) {
    state.loas_initialized = data[0] & 1;
    state.audio_mux_version_a = (data[0] >> 1) & 1;
    state.frame_length_type = (data[0] >> 2) & 7;
    state.frame_length = ((data[1] << 8) | data[2]) & 0x1FF;
    in.i32();
  }
  GstBuffer *buffer = fuzzinput::buffer(in.data, in.size);
  // Twice: the second parse sees the state the first one wrote.
  for (int round = 0; round < 2; ++round) {
    GstBuffer *payload = nullptr, *codec_data = nullptr;
    const gboolean ok = loas_parse_frame(g_element, &state, buffer, round ? &payload : nullptr,
                                         round ? nullptr : &codec_data);
    fuzzinput::check(!(ok && payload && gst_buffer_get_size(payload) > in.size));
    fuzzinput::check(!codec_data || gst_buffer_get_size(codec_data) <= in.size);
    if (payload) gst_buffer_unref(payload);
    if (codec_data) gst_buffer_unref(codec_data);
  }
  gst_buffer_unref(buffer);
  return 0;
}
